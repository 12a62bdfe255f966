// VARIANTs as a script's arguments, for late-bound calls in the tests of
// the platform and the server. Header only: include it where the platform
// library is linked.
#pragma once

#include "win32.h"

namespace variants {

inline VARIANT var(VARTYPE vt, LONG value = 0) {
  VARIANT x;
  VariantInit(&x);
  x.vt = vt;
  x.lVal = value;
  return x;
}
inline VARIANT r8(double v) {
  VARIANT x = var(VT_R8);
  x.dblVal = v;
  return x;
}
inline VARIANT text(const char *s) {
  VARIANT x = var(VT_BSTR);
  x.bstrVal = platform_bstr_from_utf8(s);
  return x;
}
inline VARIANT ref(VARTYPE vt, void *p) {
  VARIANT x = var(static_cast<VARTYPE>(vt | VT_BYREF));
  x.byref = p;
  return x;
}

}  // namespace variants
