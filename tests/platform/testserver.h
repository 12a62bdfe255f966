// The interface and identities of the test in-process server.
#pragma once

#include "win32.h"

// {6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}
const CLSID CLSID_TestCounter = {0x6C1B3A52, 0x0F4E, 0x4D7A, {0x9C, 0x1E, 0x2B, 0x7F, 0x0A, 0x9D, 0x4E, 0x11}};
// {6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E20}
const IID IID_ITestCounter = {0x6C1B3A52, 0x0F4E, 0x4D7A, {0x9C, 0x1E, 0x2B, 0x7F, 0x0A, 0x9D, 0x4E, 0x20}};
// {6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E30}: a category the server implements.
const CATID CATID_TestThings = {0x6C1B3A52, 0x0F4E, 0x4D7A, {0x9C, 0x1E, 0x2B, 0x7F, 0x0A, 0x9D, 0x4E, 0x30}};

// A dual interface; the DISPIDs are in brackets.
struct ITestCounter : IDispatch {
  STDMETHOD(put_Value)(LONG value) PURE;                  // slot 7  [1]
  STDMETHOD(get_Value)(LONG *value) PURE;                 // slot 8  [1]
  STDMETHOD(Add)(LONG a, FLOAT f, LONG *sum) PURE;        // slot 9  [2] sum = value + a + (int)f
  STDMETHOD(get_Name)(BSTR *name) PURE;                   // slot 10 [3]
  STDMETHOD(put_Name)(BSTR name) PURE;                    // slot 11 [3]
  STDMETHOD(Scale)(FLOAT factor, FLOAT *inout) PURE;      // slot 12 [4] *inout *= factor
  STDMETHOD(Fail)() PURE;                                 // slot 13 [5] E_ACCESSDENIED
  STDMETHOD(Many)(LONG a, LONG b, LONG c, LONG d, LONG e, LONG f, FLOAT x, FLOAT y,
                  LONG *sum, FLOAT *fsum) PURE;           // slot 14 [6]
  STDMETHOD(Concat)(BSTR a, BSTR b, BSTR *joined) PURE;   // slot 15 [7] retval
  STDMETHOD(Refuse)(LONG *result) PURE;                   // slot 16 [8] S_FALSE, -1
  STDMETHOD(Reverse)(BSTR *inout) PURE;                   // slot 17 [9] reverses the text
};

// Exports, looked up by the tests.
typedef LONG (*TestServerCountFn)(void);  // "TestServerObjectCount"
