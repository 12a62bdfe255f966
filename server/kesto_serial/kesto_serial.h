// kesto_serial.h - what a client of the KestoSerial server sees.
//
// KestoSerial is an in-process COM server with one creatable class,
// SerialSource: one serial port with an amplifier front end behind it, and
// at the same time a data-flow source whose one output pushes every decoded
// sample record to the clients attached to it. This header holds the
// identities, the interfaces in their binary slot order (binary clients
// call them by slot; no virtual destructors, methods in slot order), and
// the two records a client receives: the signal format and the data block.
//
// Handles: an output handle is the server's opaque pointer to one of its
// outputs; an input handle is the 32-bit key a client chose when it
// attached (ReceiveBlock gets the key, InputEvent a pointer to it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32.h"

// ---------------------------------------------------------------------------
// Identities.

// {4F0A475A-2690-47BC-8777-A5B6BD6FD978}
inline constexpr CLSID CLSID_SerialSource = {
    0x4F0A475A, 0x2690, 0x47BC, {0x87, 0x77, 0xA5, 0xB6, 0xBD, 0x6F, 0xD9, 0x78}};
// {E5CCBE7C-AE20-4EC2-9A12-1232B4B8E464}
inline constexpr IID IID_ISerialSource = {
    0xE5CCBE7C, 0xAE20, 0x4EC2, {0x9A, 0x12, 0x12, 0x32, 0xB4, 0xB8, 0xE4, 0x64}};
// {FC7DA138-5123-46DC-87ED-BAFD42F0C46A}
inline constexpr IID IID_IAcqDataSource = {
    0xFC7DA138, 0x5123, 0x46DC, {0x87, 0xED, 0xBA, 0xFD, 0x42, 0xF0, 0xC4, 0x6A}};
// {0404E681-74E9-4E7E-BE02-B335C3F67B16}
inline constexpr IID IID_IAcqDataNode = {
    0x0404E681, 0x74E9, 0x4E7E, {0xBE, 0x02, 0xB3, 0x35, 0xC3, 0xF6, 0x7B, 0x16}};
// {C21B3D6D-3DDF-4AA2-A54C-24B3AFCF3D9B}
inline constexpr IID IID_IFrontEndCommand = {
    0xC21B3D6D, 0x3DDF, 0x4AA2, {0xA5, 0x4C, 0x24, 0xB3, 0xAF, 0xCF, 0x3D, 0x9B}};
// {18EE3DF5-6335-427F-A45D-FE5F66B1081E}: optional, offered by clients.
inline constexpr IID IID_IAcqClientStatus = {
    0x18EE3DF5, 0x6335, 0x427F, {0xA4, 0x5D, 0xFE, 0x5F, 0x66, 0xB1, 0x08, 0x1E}};
// {B2ED3DC0-008D-11D7-B63B-444553540000}: answered, every method E_NOTIMPL
// (29 methods after IUnknown).
inline constexpr IID IID_IAcqReserved = {
    0xB2ED3DC0, 0x008D, 0x11D7, {0xB6, 0x3B, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
#define ACQ_RESERVED_METHODS 29
// Type library KESTOSERIALLib 1.0, LCID 0x0409.
// {14EDC21A-0DF9-485C-85A0-3235D12B86A0}
inline constexpr GUID LIBID_KESTOSERIALLib = {
    0x14EDC21A, 0x0DF9, 0x485C, {0x85, 0xA0, 0x32, 0x35, 0xD1, 0x2B, 0x86, 0xA0}};
// Component categories: "Data Sources" (implemented by the class),
// "KestoLab Components" and "Storage Engines" (registered).
// {26B4EF52-EC1E-414E-81AB-0047CFD4DFAD}
inline constexpr CATID CATID_DataSources = {
    0x26B4EF52, 0xEC1E, 0x414E, {0x81, 0xAB, 0x00, 0x47, 0xCF, 0xD4, 0xDF, 0xAD}};
// {CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}
inline constexpr CATID CATID_KestoLabComponents = {
    0xCDC571B0, 0xCB9C, 0x4F94, {0xA0, 0x9B, 0xC8, 0x03, 0x90, 0xAD, 0xF5, 0xCF}};
// {850FE44A-8F45-4E1A-ACC1-7414BE11E9D4}
inline constexpr CATID CATID_StorageEngines = {
    0x850FE44A, 0x8F45, 0x4E1A, {0xAC, 0xC1, 0x74, 0x14, 0xBE, 0x11, 0xE9, 0xD4}};

#define KESTO_SERIAL_PROGID "KestoSerial.SerialSource.1"
#define KESTO_SERIAL_PROGID_INDEPENDENT "KestoSerial.SerialSource"

// ---------------------------------------------------------------------------
// The signal format record and the data block.

// Element type codes: low 16 bits bytes per value, high 16 bits the kind
// (1 integer, 2 floating point, 4 four values per channel).
#define ACQ_TYPE_FLOAT32 0x20004
#define ACQ_FORMAT_ENTRY_SIZE 156
#define ACQ_FORMAT_NAME_SIZE 128

// One channel of a signal format (156 bytes).
struct AcqChannelEntry {
  LONG reserved;                        // 0
  char name[ACQ_FORMAT_NAME_SIZE];      // zero-terminated
  SHORT unit;                           // unit code (1 volt, 8 none, ...)
  SHORT exponent;                       // decimal exponent of the unit
  GUID id;                              // fresh for every entry of a new format
  LONG index;                           // channel index, from 0
};
static_assert(sizeof(AcqChannelEntry) == ACQ_FORMAT_ENTRY_SIZE);
static_assert(offsetof(AcqChannelEntry, unit) == 132);
static_assert(offsetof(AcqChannelEntry, id) == 136);

// A signal format: a 16-byte header and `channels` entries. The record
// belongs to the source's output; GetOutputFormat hands out a pointer that
// stays valid until the format changes.
struct AcqSignalFormat {
  ULONG channels;      // first field: the number of channels
  ULONG entry_size;    // ACQ_FORMAT_ENTRY_SIZE
  ULONG type;          // element type code
  FLOAT rate;          // Hz; -1.0 means unknown
  AcqChannelEntry entries[1];  // `channels` of them (room for one more)
};
static_assert(offsetof(AcqSignalFormat, entries) == 16);

// A data block as ReceiveBlock gets it: a 16-byte header and the payload,
// here one float per channel. The block belongs to the source and is
// overwritten for the next record: copy what you need during the call.
struct AcqDataBlock {
  LONG records;        // 1
  LONG channels;
  LONG type;           // element type code
  LONG payload_bytes;  // bytes per value x channels
};
static_assert(sizeof(AcqDataBlock) == 16);
inline const float *acq_data_block_values(const AcqDataBlock *block) {
  return reinterpret_cast<const float *>(reinterpret_cast<const char *>(block) + 16);
}

// InputEvent codes a source sends to its clients.
#define ACQ_EVENT_FORMAT_CHANGED 4  // element type, rate, channel count or index
#define ACQ_EVENT_NAMES_CHANGED 8   // channel names or units only
#define ACQ_EVENT_CLIENT_STATUS 32  // an IAcqClientStatus was attached

typedef void *ACQ_OUTPUT;  // an output handle

// A node's description: six texts (BSTRs that GetNodeInfo allocates and the
// caller frees) and its numeric fields.
struct AcqNodeInfo {
  BSTR text[6];
  LONG inputs;
  LONG outputs;
  LONG source_kind;
  LONG flags;
};

// ---------------------------------------------------------------------------
// Interfaces. Slot numbers count IUnknown's three first.

struct IAcqDataNode : IUnknown {
  STDMETHOD(SetNodeValue)(LONG value) PURE;                                    // 3
  STDMETHOD(ReceiveBlock)(LONG input, LONG sample_index, const AcqDataBlock *block) PURE;  // 4
  STDMETHOD(InputEvent)(LONG event, ACQ_OUTPUT output, IAcqDataNode *source,
                        LONG *input) PURE;                                     // 5
  STDMETHOD(AddClient)(LONG output_index, LONG key, IAcqDataNode *client, BOOL remove,
                       ACQ_OUTPUT *output) PURE;                               // 6
  STDMETHOD(GetOutputFormat)(ACQ_OUTPUT output, AcqSignalFormat **format) PURE;  // 7
  STDMETHOD(SetPinFormat)(LONG pin, LONG flags, const AcqSignalFormat *format) PURE;  // 8
  // The addresses of the pin's two format records (null when absent).
  STDMETHOD(GetPinFormats)(LONG pin, LONG flags, AcqSignalFormat **first,
                           AcqSignalFormat **second) PURE;                     // 9
  STDMETHOD(Evaluate)() PURE;                                                  // 10
  STDMETHOD(Connect)(IAcqDataNode *source, LONG input, LONG output) PURE;      // 11
  STDMETHOD(GetPinCounts)(LONG *inputs, LONG *outputs) PURE;                   // 12
  STDMETHOD(GetNodeInfo)(AcqNodeInfo *info) PURE;                              // 13
  STDMETHOD(SetNodeInfo)(const AcqNodeInfo *info) PURE;                        // 14
  STDMETHOD(Reserved15)(LONG value) PURE;                                      // 15
  STDMETHOD(Reserved16)(LONG value) PURE;                                      // 16
  STDMETHOD(GetPinInfo)(LONG *pin_count, LONG index, LONG *is_input, LONG *layout,
                        LONG *third) PURE;                                     // 17
  STDMETHOD(ReleaseNode)(IUnknown *object) PURE;                               // 18
  STDMETHOD(ClientCommand)(ACQ_OUTPUT output, LONG a, LONG b, LONG c) PURE;    // 19
  STDMETHOD(GetClientStatus)(ACQ_OUTPUT output, LONG *present, LONG *a, LONG *b, LONG *c,
                             int64_t *position) PURE;                          // 20
};

struct IAcqDataSource : IUnknown {
  STDMETHOD(Reset)() PURE;                                                     // 3
  STDMETHOD(GetSourceFlags)(LONG *flags) PURE;                                 // 4
  STDMETHOD(GetStatus)(LONG *status) PURE;                                     // 5
  STDMETHOD(Start)(LONG flags, LONG a, LONG b) PURE;                           // 6
  STDMETHOD(Stop)() PURE;                                                      // 7
  STDMETHOD(GetChannelCount)(LONG *count) PURE;                                // 8
  STDMETHOD(SetChannel)(LONG channel, LONG output_slot, BSTR display_name,
                        BSTR third) PURE;                                      // 9
  STDMETHOD(GetChannel)(LONG channel, LONG *output_slot, BSTR *name, BSTR *display_name,
                        BSTR *third) PURE;                                     // 10
  STDMETHOD(GetSampleCount)(LONG *count) PURE;                                 // 11
  STDMETHOD(GetSampleRate)(FLOAT *rate) PURE;                                  // 12
  STDMETHOD(SetSampleRate)(FLOAT rate) PURE;                                   // 13
  STDMETHOD(Refresh)() PURE;                                                   // 14
  STDMETHOD(GetName)(BSTR *name) PURE;                                         // 15
  STDMETHOD(GetSourceKind)(LONG *kind) PURE;                                   // 16
  STDMETHOD(Tick)(LONG sample_index, LONG a, LONG b) PURE;                     // 17
  STDMETHOD(GetMaster)(IAcqDataSource **master) PURE;                          // 18
  STDMETHOD(GetLinked)(IAcqDataSource **linked) PURE;                          // 19
  STDMETHOD(SetMaster)(IAcqDataSource *master) PURE;                           // 20
  STDMETHOD(Link)(IAcqDataSource *other) PURE;                                 // 21
  STDMETHOD(Synchronise)(IAcqDataSource *other) PURE;                          // 22
  STDMETHOD(Unlink)() PURE;                                                    // 23
  STDMETHOD(Lock)(LONG flags) PURE;                                            // 24
};

// A base for data-flow clients: every IAcqDataNode method past IUnknown
// answers E_NOTIMPL. A client implements IUnknown, ReceiveBlock and
// InputEvent (whose result is ignored) and leaves the rest.
struct AcqClientNode : IAcqDataNode {
  STDMETHOD(SetNodeValue)(LONG) override { return E_NOTIMPL; }
  STDMETHOD(ReceiveBlock)(LONG, LONG, const AcqDataBlock *) override { return E_NOTIMPL; }
  STDMETHOD(InputEvent)(LONG, ACQ_OUTPUT, IAcqDataNode *, LONG *) override { return E_NOTIMPL; }
  STDMETHOD(AddClient)(LONG, LONG, IAcqDataNode *, BOOL, ACQ_OUTPUT *) override { return E_NOTIMPL; }
  STDMETHOD(GetOutputFormat)(ACQ_OUTPUT, AcqSignalFormat **) override { return E_NOTIMPL; }
  STDMETHOD(SetPinFormat)(LONG, LONG, const AcqSignalFormat *) override { return E_NOTIMPL; }
  STDMETHOD(GetPinFormats)(LONG, LONG, AcqSignalFormat **, AcqSignalFormat **) override {
    return E_NOTIMPL;
  }
  STDMETHOD(Evaluate)() override { return E_NOTIMPL; }
  STDMETHOD(Connect)(IAcqDataNode *, LONG, LONG) override { return E_NOTIMPL; }
  STDMETHOD(GetPinCounts)(LONG *, LONG *) override { return E_NOTIMPL; }
  STDMETHOD(GetNodeInfo)(AcqNodeInfo *) override { return E_NOTIMPL; }
  STDMETHOD(SetNodeInfo)(const AcqNodeInfo *) override { return E_NOTIMPL; }
  STDMETHOD(Reserved15)(LONG) override { return E_NOTIMPL; }
  STDMETHOD(Reserved16)(LONG) override { return E_NOTIMPL; }
  STDMETHOD(GetPinInfo)(LONG *, LONG, LONG *, LONG *, LONG *) override { return E_NOTIMPL; }
  STDMETHOD(ReleaseNode)(IUnknown *) override { return E_NOTIMPL; }
  STDMETHOD(ClientCommand)(ACQ_OUTPUT, LONG, LONG, LONG) override { return E_NOTIMPL; }
  STDMETHOD(GetClientStatus)(ACQ_OUTPUT, LONG *, LONG *, LONG *, LONG *, int64_t *) override {
    return E_NOTIMPL;
  }
};

// Offered by clients that report a status of their own.
struct IAcqClientStatus : IUnknown {
  STDMETHOD(GetPresent)(LONG *value) PURE;                                     // 3
  STDMETHOD(GetValueA)(LONG *value) PURE;                                      // 4
  STDMETHOD(GetValueB)(LONG *value) PURE;                                      // 5
  STDMETHOD(Command)(LONG a, LONG b, LONG c) PURE;                             // 6
  STDMETHOD(GetPosition)(int64_t *value) PURE;                                 // 7
};

struct IFrontEndCommand : IUnknown {
  // A frame of `bytes` / 2 words (none when `data` is null), then the reply
  // of `reply_type`, `reply_bytes` of its data copied to `reply` (none when
  // null). S_OK or E_FAIL.
  STDMETHOD(SendCommand)(LONG type, LONG bytes, const void *data, LONG reply_type,
                         LONG reply_bytes, BYTE *reply) PURE;                  // 3
};

// The automation interface (dual). Slots 0 to 6 are IUnknown and IDispatch;
// DISPIDs in brackets. Results: S_OK with *pErrorResult 0 when the
// operation succeeded, S_FALSE with -1 when it did not.
struct ISerialSource : IDispatch {
  STDMETHOD(put_Caption)(BSTR caption) PURE;                                   // 7  [-518]
  STDMETHOD(get_Caption)(BSTR *pstrCaption) PURE;                              // 8  [-518]
  STDMETHOD(get_ComPort)(BSTR *pVal) PURE;                                     // 9  [24]
  STDMETHOD(put_ComPort)(BSTR newVal) PURE;                                    // 10 [24]
  STDMETHOD(InitilizeSerialPortAndFrontend)(BSTR ComPortName, LONG Baudrate,
                                            LONG *pErrorResult) PURE;          // 11 [1]
  STDMETHOD(ReleaseSerialPort)(LONG *pErrorResult) PURE;                       // 12 [2]
  STDMETHOD(KeepSerialPortInUse)(LONG ReleaseTimeoutTime, LONG *pErrorResult) PURE;  // 13 [3]
  STDMETHOD(get_FrontendNrOfChannels)(LONG *pVal) PURE;                        // 14 [4]
  STDMETHOD(get_FrontendSerialNumber)(LONG *pVal) PURE;                        // 15 [5]
  STDMETHOD(get_FrontendId)(LONG *pVal) PURE;                                  // 16 [6]
  STDMETHOD(get_FrontendHardwareVersion)(LONG *pVal) PURE;                     // 17 [7]
  STDMETHOD(get_FrontendSoftwareVersion)(LONG *pVal) PURE;                     // 18 [8]
  STDMETHOD(get_FrontendCommandBufferSize)(LONG *pVal) PURE;                   // 19 [9]
  STDMETHOD(get_FrontendSendBufferSize)(LONG *pVal) PURE;                      // 20 [10]
  STDMETHOD(get_SampleRate)(FLOAT *pVal) PURE;                                 // 21 [25]
  STDMETHOD(put_SampleRate)(FLOAT newVal) PURE;                                // 22 [25]
  STDMETHOD(StartAcq)(FLOAT *pFreq, LONG *pErrorResult) PURE;                  // 23 [11]
  STDMETHOD(StopAcq)(LONG *pErrorResult) PURE;                                 // 24 [12]
  STDMETHOD(GetStationairSampleRecords)(LONG *pNrOfPeriods,
                                        FLOAT *pReceiveDataBuffer) PURE;       // 25 [26]
  STDMETHOD(TestBlock)(LONG BlockTypeSend, LONG BlockTypeWaitFor, LONG NrOfWordsSend,
                       LONG *NrOfWordsReceive, LONG *DataToSend,
                       LONG *ReceiveDataBuffer) PURE;                          // 26 [13]
  STDMETHOD(GetAmbulantDeviceStatus)(LONG *Status, LONG *AvailableLow, LONG *AvaialableHigh,
                                     LONG *TotalLow, LONG *TotalHigh,
                                     LONG *pErrorResult) PURE;                 // 27 [14]
  STDMETHOD(EraseAmbulantMemory)(LONG *pErrorResult) PURE;                     // 28 [15]
  STDMETHOD(InitAmbulantStandardConfig)(LONG *pErrorResult) PURE;              // 29 [16]
  STDMETHOD(GetNumberOfAmbulantRecordings)(LONG *NrOfRecs) PURE;               // 30 [17]
  STDMETHOD(GetBinaryAmbulantData)(LONG RecID, LONG DataPart, LONG OffsetLow, LONG OffsetHigh,
                                   LONG *pLengthLow, LONG *pLengthHigh, LONG *DataBuffer,
                                   LONG *pErrorResult) PURE;                   // 31 [18]
  STDMETHOD(DownloadAmbulantRecording)(LONG RecID, LONG *pErrorResult) PURE;   // 32 [19]
  STDMETHOD(GetAmbulantDownloadRemainingPercentage)(LONG *RemainingPercentage) PURE;  // 33 [20]
  STDMETHOD(StopAmbulantDownloading)(LONG *pErrorResult) PURE;                 // 34 [21]
  STDMETHOD(get_Test)(LONG *pVal) PURE;                                        // 35 [22]
  STDMETHOD(put_Test)(LONG newVal) PURE;                                       // 36 [22]
  STDMETHOD(get_TestAlive)(LONG *pVal) PURE;                                   // 37 [23]
  STDMETHOD(put_TestAlive)(LONG newVal) PURE;                                  // 38 [23]
};
