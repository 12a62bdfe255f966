// corvia_dll.h - the exports of the device library CorviaDLL, for callers
// that load it at run time ("CorviaDLL.dll") and look them up by name.
//
// InitCorviaDevice(f) finds the amplifier's front end on a COM port (COM3
// to COM8, then COM1, COM2, COM9 to COM12) and attaches to it; f (may be
// null) is then called on the server's delivery thread once per sample
// record with (1, 0, the record's float values), which are valid during the
// call only. StartCorviaDevice starts acquisition, StopCorviaDevice stops
// it and lets the device go; after a stop the device must be initialised
// again. Each returns 0, or 0xFFFF on failure (the reason is in
// "CorviaLog.txt" in the working directory).
#pragma once

#include <cstdint>

#define CORVIA_DLL_EXPORT __attribute__((visibility("default")))

typedef void (*ProcessDataFunction)(int nSamples, int nChan, float *fData);

extern "C" {
CORVIA_DLL_EXPORT uint16_t InitCorviaDevice(ProcessDataFunction f);
CORVIA_DLL_EXPORT uint16_t StartCorviaDevice(void);
CORVIA_DLL_EXPORT uint16_t StopCorviaDevice(void);
}
