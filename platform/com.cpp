// COM runtime: GUIDs, BSTRs and text conversion, VARIANTs, apartments,
// in-process object creation, the not-implemented interface stub.
#include <strings.h>
#include <sys/random.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "handles.h"
#include "win32.h"

#define DEFINE_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  const IID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
DEFINE_IID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(CLSID_StdComponentCategoriesMgr, 0x0002E005, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_ICatRegister, 0x0002E012, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IPersist, 0x0000010C, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IPersistStreamInit, 0x7FD52380, 0x4E07, 0x101B, 0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13);
DEFINE_IID(IID_IPersistStorage, 0x0000010A, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IOleObject, 0x00000112, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IOleWindow, 0x00000114, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IOleInPlaceObject, 0x00000113, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IOleInPlaceObjectWindowless, 0x1C2056CC, 0x5EF4, 0x101B, 0x8B, 0xC8, 0x00, 0xAA, 0x00, 0x3E, 0x3B, 0x29);
DEFINE_IID(IID_IOleInPlaceActiveObject, 0x00000117, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IOleControl, 0xB196B288, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
DEFINE_IID(IID_IViewObject, 0x0000010D, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IViewObject2, 0x00000127, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IViewObjectEx, 0x3AF24292, 0x0C96, 0x11CE, 0xA0, 0xCF, 0x00, 0xAA, 0x00, 0x60, 0x0A, 0xB8);
DEFINE_IID(IID_ISpecifyPropertyPages, 0xB196B28B, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
DEFINE_IID(IID_IQuickActivate, 0xCF51ED10, 0x62FE, 0x11CF, 0xBF, 0x86, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0x36);
DEFINE_IID(IID_IDataObject, 0x0000010E, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
DEFINE_IID(IID_IProvideClassInfo, 0xB196B283, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
DEFINE_IID(IID_IProvideClassInfo2, 0xA6BC3AC0, 0xDBAA, 0x11CE, 0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);

// ---------------------------------------------------------------------------
// GUIDs.

HRESULT CoCreateGuid(GUID *guid) {
  if (guid == nullptr) return E_INVALIDARG;
  uint8_t b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n <= 0) return E_FAIL;
    got += static_cast<size_t>(n);
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  guid->Data1 = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
  guid->Data2 = static_cast<uint16_t>((b[4] << 8) | b[5]);
  guid->Data3 = static_cast<uint16_t>((b[6] << 8) | b[7]);
  memcpy(guid->Data4, b + 8, 8);
  return S_OK;
}

std::string platform_guid_to_string(REFGUID g) {
  char buf[40];
  snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
           g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool platform_guid_from_string(const char *text, GUID *guid) {
  if (text == nullptr || strlen(text) != 38 || text[0] != '{' || text[37] != '}') return false;
  static const int dashes[] = {9, 14, 19, 24};
  uint8_t nibbles[32];
  int k = 0;
  for (int i = 1; i < 37; ++i) {
    bool dash = false;
    for (int d : dashes) dash = dash || d == i;
    char c = text[i];
    if (dash) {
      if (c != '-') return false;
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else return false;
    nibbles[k++] = static_cast<uint8_t>(v);
  }
  auto field = [&](int from, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = (v << 4) | nibbles[from + i];
    return v;
  };
  guid->Data1 = field(0, 8);
  guid->Data2 = static_cast<uint16_t>(field(8, 4));
  guid->Data3 = static_cast<uint16_t>(field(12, 4));
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(field(16 + 2 * i, 2));
  return true;
}

// ---------------------------------------------------------------------------
// BSTRs.

namespace {
// A BSTR's memory: the 32-bit byte count, the characters, a NUL character.
BSTR bstr_alloc_bytes(UINT bytes) {
  if (bytes > 0x7FFFFFF0u) return nullptr;
  char *mem = static_cast<char *>(malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR) + 1));
  if (mem == nullptr) return nullptr;
  uint32_t n = bytes;
  memcpy(mem, &n, sizeof n);
  memset(mem + sizeof n + bytes, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(mem + sizeof n);
}
char *bstr_base(BSTR b) { return reinterpret_cast<char *>(b) - sizeof(uint32_t); }
size_t olestr_len(const OLECHAR *s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}
}  // namespace

BSTR SysAllocString(const OLECHAR *text) {
  if (text == nullptr) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(olestr_len(text)));
}

BSTR SysAllocStringLen(const OLECHAR *text, UINT length) {
  if (length > 0x3FFFFFF0u) return nullptr;
  BSTR b = bstr_alloc_bytes(length * sizeof(OLECHAR));
  if (b != nullptr && text != nullptr) memcpy(b, text, length * sizeof(OLECHAR));
  return b;
}

int SysReAllocStringLen(BSTR *bstr, const OLECHAR *text, UINT length) {
  if (bstr == nullptr) return FALSE;
  BSTR fresh = SysAllocStringLen(text, length);  // copied first: text may be *bstr
  if (fresh == nullptr) return FALSE;
  SysFreeString(*bstr);
  *bstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) free(bstr_base(bstr));
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  uint32_t n;
  memcpy(&n, bstr_base(bstr), sizeof n);
  return n;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

// ---------------------------------------------------------------------------
// UTF-8 and UTF-16.

std::u16string platform_utf16_from_utf8(const std::string &text) {
  std::u16string out;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
  const unsigned char *end = p + text.size();
  while (p < end) {
    uint32_t c = *p;
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || end - p <= extra) {
      out += u'\uFFFD';
      ++p;
      continue;
    }
    uint32_t v = extra == 0 ? c : c & (0x3F >> extra);
    bool ok = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) ok = false;
      v = (v << 6) | (p[i] & 0x3F);
    }
    static const uint32_t min_for[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || v < min_for[extra] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
      out += u'\uFFFD';
      ++p;
      continue;
    }
    p += extra + 1;
    if (v >= 0x10000) {
      v -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(v);
    }
  }
  return out;
}

static std::string utf8_from_utf16(const OLECHAR *s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += '?';  // an unpaired surrogate has no 8-bit form
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

BSTR platform_bstr_from_utf8(const char *text) {
  if (text == nullptr) return nullptr;
  std::u16string w = platform_utf16_from_utf8(text);
  return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

std::string platform_bstr_to_utf8(const OLECHAR *text) {
  if (text == nullptr) return "";
  return utf8_from_utf16(text, olestr_len(text));
}

// ---------------------------------------------------------------------------
// VARIANTs.

void VariantInit(VARIANT *v) {
  memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT *v) {
  if (v == nullptr) return E_INVALIDARG;
  switch (v->vt) {
    case VT_BSTR: SysFreeString(v->bstrVal); break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (v->punkVal != nullptr) v->punkVal->Release();
      break;
    default: break;
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT *dest, const VARIANT *src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return S_OK;
  VARIANT tmp = *src;
  if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
    tmp.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (tmp.bstrVal == nullptr) return E_OUTOFMEMORY;
  } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal != nullptr) {
    src->punkVal->AddRef();
  }
  VariantClear(dest);
  *dest = tmp;
  return S_OK;
}

namespace {

// The value of a numeric VARIANT as a double; false for other types.
bool numeric_value(const VARIANT &v, double *out) {
  switch (v.vt) {
    case VT_I2: *out = v.iVal; return true;
    case VT_I4:
    case VT_INT: *out = v.lVal; return true;
    case VT_UI4:
    case VT_UINT: *out = static_cast<uint32_t>(v.lVal); return true;
    case VT_UI1: *out = v.bVal; return true;
    case VT_I1: *out = static_cast<int8_t>(v.bVal); return true;
    case VT_UI2: *out = static_cast<uint16_t>(v.iVal); return true;
    case VT_R4: *out = v.fltVal; return true;
    case VT_R8: *out = v.dblVal; return true;
    case VT_BOOL: *out = v.boolVal ? -1 : 0; return true;
    case VT_EMPTY: *out = 0; return true;
    default: return false;
  }
}

// Integers round half to even, as OLE automation does.
bool to_integer(double d, double lo, double hi, int64_t *out) {
  if (std::isnan(d)) return false;
  double r = std::nearbyint(d);
  if (r < lo || r > hi) return false;
  *out = static_cast<int64_t>(r);
  return true;
}

}  // namespace

HRESULT VariantChangeType(VARIANT *dest, const VARIANT *src, USHORT flags, VARTYPE vt) {
  (void)flags;
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  VARIANT in = *src;
  // Read through a reference.
  if (in.vt & VT_BYREF) {
    VARTYPE base = static_cast<VARTYPE>(in.vt & ~VT_BYREF);
    if (in.byref == nullptr) return E_INVALIDARG;
    VARIANT deref;
    VariantInit(&deref);
    deref.vt = base;
    switch (base) {
      case VT_I2: deref.iVal = *in.piVal; break;
      case VT_I4: deref.lVal = *in.plVal; break;
      case VT_R4: deref.fltVal = *in.pfltVal; break;
      case VT_R8: deref.dblVal = *in.pdblVal; break;
      case VT_BOOL: deref.boolVal = *in.pboolVal; break;
      case VT_BSTR: deref.bstrVal = *in.pbstrVal; break;
      case VT_VARIANT: deref = *in.pvarVal; break;
      default: return DISP_E_BADVARTYPE;
    }
    return VariantChangeType(dest, &deref, flags, vt);
  }
  VARIANT out;
  VariantInit(&out);
  out.vt = vt;
  double d = 0;
  bool numeric = numeric_value(in, &d);
  if (in.vt == VT_BSTR && vt != VT_BSTR) {
    std::string text = platform_bstr_to_utf8(in.bstrVal);
    char *end = nullptr;
    d = strtod(text.c_str(), &end);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (text.empty() || end == nullptr || *end != '\0') {
      if (vt == VT_BOOL && (strcasecmp(text.c_str(), "true") == 0 || strcasecmp(text.c_str(), "false") == 0)) {
        d = strcasecmp(text.c_str(), "true") == 0 ? -1 : 0;
      } else {
        return DISP_E_TYPEMISMATCH;
      }
    }
    numeric = true;
  }
  int64_t i = 0;
  switch (vt) {
    case VT_I2:
      if (!numeric) return DISP_E_TYPEMISMATCH;
      if (!to_integer(d, -32768, 32767, &i)) return DISP_E_OVERFLOW;
      out.iVal = static_cast<SHORT>(i);
      break;
    case VT_I4:
    case VT_INT:
      if (!numeric) return DISP_E_TYPEMISMATCH;
      if (!to_integer(d, -2147483648.0, 2147483647.0, &i)) return DISP_E_OVERFLOW;
      out.lVal = static_cast<LONG>(i);
      break;
    case VT_UI4:
    case VT_UINT:
      if (!numeric) return DISP_E_TYPEMISMATCH;
      if (!to_integer(d, 0, 4294967295.0, &i)) return DISP_E_OVERFLOW;
      out.lVal = static_cast<LONG>(static_cast<uint32_t>(i));
      break;
    case VT_R4:
      if (!numeric) return DISP_E_TYPEMISMATCH;
      if (std::isfinite(d) && std::fabs(d) > 3.4028234663852886e38) return DISP_E_OVERFLOW;
      out.fltVal = static_cast<float>(d);
      break;
    case VT_R8:
      if (!numeric) return DISP_E_TYPEMISMATCH;
      out.dblVal = d;
      break;
    case VT_BOOL:
      if (!numeric) return DISP_E_TYPEMISMATCH;
      out.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_BSTR: {
      if (in.vt == VT_BSTR) {
        out.bstrVal = SysAllocStringLen(in.bstrVal, SysStringLen(in.bstrVal));
        if (in.bstrVal != nullptr && out.bstrVal == nullptr) return E_OUTOFMEMORY;
        break;
      }
      if (!numeric) return DISP_E_TYPEMISMATCH;
      char buf[64];
      if (in.vt == VT_BOOL) snprintf(buf, sizeof buf, "%s", in.boolVal ? "True" : "False");
      else if (in.vt == VT_R4) snprintf(buf, sizeof buf, "%.7g", d);
      else if (in.vt == VT_R8) snprintf(buf, sizeof buf, "%.15g", d);
      else snprintf(buf, sizeof buf, "%.0f", d);
      out.bstrVal = platform_bstr_from_utf8(buf);
      if (out.bstrVal == nullptr) return E_OUTOFMEMORY;
      break;
    }
    default:
      if (vt == in.vt) return VariantCopy(dest, &in);
      return DISP_E_BADVARTYPE;
  }
  // In place too: `out` owns fresh copies, so what the source held goes.
  VariantClear(dest);
  *dest = out;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Apartments and object creation.

namespace {

struct Apartment {
  int count = 0;
  DWORD model = 0;
};
thread_local Apartment apartment;

struct LoadedServer {
  HMODULE module;
  LPFNCANUNLOADNOW can_unload;
};
std::mutex servers_mutex;
struct LoadedServersTag;
std::map<std::string, LoadedServer> &loaded_servers() {
  return platform_detail::immortal<std::map<std::string, LoadedServer>, LoadedServersTag>();
}
int apartments_alive = 0;  // guarded by servers_mutex

}  // namespace

IClassFactory *platform_catregister_factory();  // catreg.cpp

HRESULT CoInitializeEx(void *reserved, DWORD model) {
  (void)reserved;
  model &= COINIT_APARTMENTTHREADED;
  if (apartment.count > 0) {
    if (apartment.model != model) return RPC_E_CHANGED_MODE;
    ++apartment.count;
    return S_FALSE;
  }
  apartment.count = 1;
  apartment.model = model;
  std::lock_guard<std::mutex> lock(servers_mutex);
  ++apartments_alive;
  return S_OK;
}

HRESULT CoInitialize(void *reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize(void) {
  if (apartment.count == 0) return;
  if (--apartment.count > 0) return;
  bool last;
  {
    std::lock_guard<std::mutex> lock(servers_mutex);
    last = --apartments_alive == 0;
  }
  // With the last apartment gone, the servers that allow it are unloaded.
  if (last) CoFreeUnusedLibraries();
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void *server_info, REFIID riid,
                         void **object) {
  (void)server_info;
  if (object == nullptr) return E_INVALIDARG;
  *object = nullptr;
  if (apartment.count == 0) return CO_E_NOTINITIALIZED;
  if (!(context & CLSCTX_INPROC)) return REGDB_E_CLASSNOTREG;
  if (IsEqualCLSID(clsid, CLSID_StdComponentCategoriesMgr)) {
    if (IsEqualIID(riid, IID_IClassFactory) || IsEqualIID(riid, IID_IUnknown)) {
      IClassFactory *f = platform_catregister_factory();
      f->AddRef();
      *object = f;
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  std::string key = "CLSID\\" + platform_guid_to_string(clsid) + "\\InprocServer32";
  HKEY k;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != 0) return REGDB_E_CLASSNOTREG;
  char path[4096];
  DWORD size = sizeof path - 1, type = 0;
  LONG rc = RegQueryValueExA(k, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(path), &size);
  RegCloseKey(k);
  if (rc != 0 || (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return REGDB_E_CLASSNOTREG;
  path[size] = '\0';
  LPFNGETCLASSOBJECT get_class_object = nullptr;
  {
    std::lock_guard<std::mutex> lock(servers_mutex);
    auto &servers = loaded_servers();
    auto it = servers.find(path);
    HMODULE module;
    if (it == servers.end()) {
      module = LoadLibraryA(path);
      if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
      auto can_unload = reinterpret_cast<LPFNCANUNLOADNOW>(GetProcAddress(module, "DllCanUnloadNow"));
      servers[path] = LoadedServer{module, can_unload};
    } else {
      module = it->second.module;
    }
    get_class_object = reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
  }
  if (get_class_object == nullptr) return CO_E_ERRORINDLL;
  HRESULT hr = get_class_object(clsid, riid, object);
  if (FAILED(hr)) *object = nullptr;
  return hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID riid,
                         void **object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IClassFactory *factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                reinterpret_cast<void **>(&factory));
  if (FAILED(hr)) return hr;
  if (factory == nullptr) return E_UNEXPECTED;
  hr = factory->CreateInstance(outer, riid, object);
  factory->Release();
  if (FAILED(hr)) *object = nullptr;
  return hr;
}

void CoFreeUnusedLibraries(void) {
  std::lock_guard<std::mutex> lock(servers_mutex);
  auto &servers = loaded_servers();
  for (auto it = servers.begin(); it != servers.end();) {
    if (it->second.can_unload != nullptr && it->second.can_unload() == S_OK) {
      FreeLibrary(it->second.module);
      it = servers.erase(it);
    } else {
      ++it;
    }
  }
}

// ---------------------------------------------------------------------------
// The not-implemented interface.

namespace {

HRESULT notimpl_query(PlatformNotImplInterface *self, REFIID riid, void **object) {
  return self->owner->QueryInterface(riid, object);
}
ULONG notimpl_addref(PlatformNotImplInterface *self) { return self->owner->AddRef(); }
ULONG notimpl_release(PlatformNotImplInterface *self) { return self->owner->Release(); }
// Called with whatever arguments the slot's method has; on this platform's
// calling convention the caller owns its arguments, so one function serves
// every slot.
HRESULT notimpl_method(void *) { return E_NOTIMPL; }

struct NotImplVtable {
  const void *slots[3 + PLATFORM_NOTIMPL_MAX_METHODS];
  NotImplVtable() {
    slots[0] = reinterpret_cast<const void *>(&notimpl_query);
    slots[1] = reinterpret_cast<const void *>(&notimpl_addref);
    slots[2] = reinterpret_cast<const void *>(&notimpl_release);
    for (int i = 0; i < PLATFORM_NOTIMPL_MAX_METHODS; ++i)
      slots[3 + i] = reinterpret_cast<const void *>(&notimpl_method);
  }
};
const NotImplVtable notimpl_vtable;

}  // namespace

void platform_notimpl_interface_init(PlatformNotImplInterface *stub, IUnknown *owner) {
  stub->vtable = notimpl_vtable.slots;
  stub->owner = owner;
}
