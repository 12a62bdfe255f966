// com.h - the COM part of the Windows layer (included by win32.h).
//
// In-process COM only: GUIDs, HRESULTs, IUnknown, IClassFactory, BSTRs in
// UTF-16, VARIANTs of the types the device side uses, apartments per
// thread, CoCreateInstance over the registry's InprocServer32 entries,
// IDispatch over a table of members (no type-library files), the
// registration-script registrar, the component-categories manager and a
// not-implemented interface stub. Interfaces are C++ classes of pure
// virtual methods without a destructor, so their slots are in declaration
// order as on Windows; declare them at namespace scope (not in an unnamed
// namespace) and make implementing classes final, so that `delete this`
// needs no virtual destructor. Threading models are recorded but not
// enforced: objects are created and called on the calling thread.
#pragma once

#include <cstdint>
#include <string>

#include "win32.h"

typedef int32_t HRESULT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef float FLOAT;
typedef double DOUBLE;
typedef char16_t OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;
typedef OLECHAR *BSTR;
typedef DWORD LCID;
typedef LONG DISPID;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT method
#define STDMETHOD_(type, method) virtual type method
#define PURE = 0

// ---------------------------------------------------------------------------
// GUIDs.

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef GUID CATID;
typedef const GUID &REFGUID;
typedef const IID &REFIID;
typedef const CLSID &REFCLSID;
typedef const CATID &REFCATID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         __builtin_memcmp(a.Data4, b.Data4, 8) == 0;
}
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
// An order for containers.
inline bool operator<(REFGUID a, REFGUID b) { return __builtin_memcmp(&a, &b, sizeof(GUID)) < 0; }

extern const GUID GUID_NULL;
#define IID_NULL GUID_NULL
#define CLSID_NULL GUID_NULL

// A fresh random GUID (version 4).
HRESULT CoCreateGuid(GUID *guid);
// Not COM: the braced text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper
// case when written, either case when read.
std::string platform_guid_to_string(REFGUID guid);
bool platform_guid_from_string(const char *text, GUID *guid);

// ---------------------------------------------------------------------------
// HRESULTs.

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
#define FACILITY_WIN32 7
inline HRESULT HRESULT_FROM_WIN32(DWORD code) {
  return static_cast<HRESULT>(code) <= 0
             ? static_cast<HRESULT>(code)
             : static_cast<HRESULT>((code & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}
#define MAKE_HR(v) (static_cast<HRESULT>(static_cast<uint32_t>(v)))

#define S_OK MAKE_HR(0x00000000u)
#define S_FALSE MAKE_HR(0x00000001u)
#define NOERROR S_OK
#define E_NOTIMPL MAKE_HR(0x80004001u)
#define E_NOINTERFACE MAKE_HR(0x80004002u)
#define E_POINTER MAKE_HR(0x80004003u)
#define E_ABORT MAKE_HR(0x80004004u)
#define E_FAIL MAKE_HR(0x80004005u)
#define E_UNEXPECTED MAKE_HR(0x8000FFFFu)
#define E_ACCESSDENIED MAKE_HR(0x80070005u)
#define E_HANDLE MAKE_HR(0x80070006u)
#define E_OUTOFMEMORY MAKE_HR(0x8007000Eu)
#define E_INVALIDARG MAKE_HR(0x80070057u)
#define CLASS_E_NOAGGREGATION MAKE_HR(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE MAKE_HR(0x80040111u)
#define REGDB_E_READREGDB MAKE_HR(0x80040150u)
#define REGDB_E_WRITEREGDB MAKE_HR(0x80040151u)
#define REGDB_E_CLASSNOTREG MAKE_HR(0x80040154u)
#define CAT_E_CATIDNOEXIST MAKE_HR(0x80040160u)
#define CAT_E_NODESCRIPTION MAKE_HR(0x80040161u)
#define SELFREG_E_TYPELIB MAKE_HR(0x80040200u)
#define SELFREG_E_CLASS MAKE_HR(0x80040201u)
#define CO_E_NOTINITIALIZED MAKE_HR(0x800401F0u)
#define CO_E_CLASSSTRING MAKE_HR(0x800401F3u)
#define CO_E_DLLNOTFOUND MAKE_HR(0x800401F8u)
#define CO_E_ERRORINDLL MAKE_HR(0x800401F9u)
#define RPC_E_CHANGED_MODE MAKE_HR(0x80010106u)
#define DISP_E_UNKNOWNINTERFACE MAKE_HR(0x80020001u)
#define DISP_E_MEMBERNOTFOUND MAKE_HR(0x80020003u)
#define DISP_E_PARAMNOTFOUND MAKE_HR(0x80020004u)
#define DISP_E_TYPEMISMATCH MAKE_HR(0x80020005u)
#define DISP_E_UNKNOWNNAME MAKE_HR(0x80020006u)
#define DISP_E_NONAMEDARGS MAKE_HR(0x80020007u)
#define DISP_E_BADVARTYPE MAKE_HR(0x80020008u)
#define DISP_E_EXCEPTION MAKE_HR(0x80020009u)
#define DISP_E_OVERFLOW MAKE_HR(0x8002000Au)
#define DISP_E_BADINDEX MAKE_HR(0x8002000Bu)
#define DISP_E_BADPARAMCOUNT MAKE_HR(0x8002000Eu)
#define DISP_E_PARAMNOTOPTIONAL MAKE_HR(0x8002000Fu)

// ---------------------------------------------------------------------------
// IUnknown, IClassFactory and the server entry points.

struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void **object) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown *LPUNKNOWN;

struct IClassFactory : IUnknown {
  STDMETHOD(CreateInstance)(IUnknown *outer, REFIID riid, void **object) PURE;
  STDMETHOD(LockServer)(BOOL lock) PURE;
};

extern const IID IID_IUnknown;       // {00000000-0000-0000-C000-000000000046}
extern const IID IID_IClassFactory;  // {00000001-0000-0000-C000-000000000046}

// What an in-process server exports (plain C names). STDAPI functions are
// exported even from a library built with hidden visibility, which is how
// a server keeps everything else (its copy of this layer included) private.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID clsid, REFIID riid, void **object);
typedef HRESULT (*LPFNCANUNLOADNOW)(void);
#define STDAPI extern "C" __attribute__((visibility("default"))) HRESULT

// ---------------------------------------------------------------------------
// BSTRs and text conversion. BSTRs are UTF-16 like Windows: a
// 32-bit byte length before the characters and a NUL after them; a null
// BSTR is the empty string.

BSTR SysAllocString(const OLECHAR *text);
BSTR SysAllocStringLen(const OLECHAR *text, UINT length);  // null text: uninitialised

int SysReAllocStringLen(BSTR *bstr, const OLECHAR *text, UINT length);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);


// Not COM: conversions between UTF-8 text and BSTRs / UTF-16.
BSTR platform_bstr_from_utf8(const char *text);  // null for null text
std::string platform_bstr_to_utf8(const OLECHAR *text);  // "" for null
std::u16string platform_utf16_from_utf8(const std::string &text);

// ---------------------------------------------------------------------------
// VARIANTs: the types the device side passes (4-byte integers, floats,
// BSTRs, their by-reference forms) and the usual ones a late-bound client
// sends (2-byte integers, doubles, booleans), with conversion between them.

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_BYREF = 0x4000,
};

struct IDispatch;
struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    SHORT iVal;
    BYTE bVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    BSTR bstrVal;
    IUnknown *punkVal;
    IDispatch *pdispVal;
    LONG *plVal;
    SHORT *piVal;
    FLOAT *pfltVal;
    DOUBLE *pdblVal;
    VARIANT_BOOL *pboolVal;
    BSTR *pbstrVal;
    VARIANT *pvarVal;
    void *byref;
    struct {
      void *pvRecord;
      void *pRecInfo;
    } record;
  };
};
typedef VARIANT VARIANTARG;

void VariantInit(VARIANT *v);
// Releases what the VARIANT owns (a BSTR, an interface) and empties it.
HRESULT VariantClear(VARIANT *v);
HRESULT VariantCopy(VARIANT *dest, const VARIANT *src);
// Converts between the numeric types, booleans and BSTRs (text read as a
// number); DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW when that fails. A
// by-reference source is read through.
HRESULT VariantChangeType(VARIANT *dest, const VARIANT *src, USHORT flags, VARTYPE vt);

// ---------------------------------------------------------------------------
// IDispatch.

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)
#define DISPID_CAPTION (-518)
#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_SYSTEM_DEFAULT 0x0800u

struct DISPPARAMS {
  VARIANTARG *rgvarg;  // arguments in reverse order
  DISPID *rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void *pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO *);
  HRESULT scode;
};

struct ITypeInfo;  // no type information is offered

struct IDispatch : IUnknown {
  STDMETHOD(GetTypeInfoCount)(UINT *count) PURE;
  STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo **info) PURE;
  STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR *names, UINT count, LCID lcid,
                           DISPID *ids) PURE;
  STDMETHOD(Invoke)(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                    VARIANT *result, EXCEPINFO *excepinfo, UINT *arg_error) PURE;
};
extern const IID IID_IDispatch;  // {00020400-0000-0000-C000-000000000046}

// Member tables for dual interfaces. Each entry names one member as a
// late-bound client sees it and the vtable slot that implements it. The
// slot's method takes the parameters in order with these types: VT_I4
// (LONG), VT_R4 (FLOAT), VT_BSTR (BSTR), or one of them | VT_BYREF (a
// pointer); `retval` (VT_EMPTY for none) is the type of a last [out, retval]
// pointer parameter whose value becomes the call's result. Property puts
// have kind DISPATCH_PROPERTYPUT and their one parameter is the new value.
#define PLATFORM_DISPATCH_MAX_PARAMS 10
struct DispatchMember {
  const char *name;
  DISPID dispid;
  WORD kind;  // DISPATCH_METHOD, DISPATCH_PROPERTYGET or DISPATCH_PROPERTYPUT
  int slot;   // vtable slot of the dual interface (7 is the first after IDispatch)
  int n_params;
  VARTYPE params[PLATFORM_DISPATCH_MAX_PARAMS];
  VARTYPE retval;
};
struct DispatchTable {
  const DispatchMember *members;
  size_t count;
};

// GetIDsOfNames over a table: the first name (any case) gives the member's
// DISPID; further names (parameter names) are not known: DISP_E_UNKNOWNNAME
// with DISPID_UNKNOWN for them.
HRESULT platform_dispatch_get_ids(const DispatchTable &table, LPOLESTR *names, UINT count,
                                  DISPID *ids);
// Invoke over a table on `object` (the dual interface pointer): converts
// the arguments to the member's types (DISP_E_TYPEMISMATCH with *arg_error
// for one that will not convert; by-reference parameters need a
// by-reference argument of that type or a VT_VARIANT reference to one),
// calls the slot and returns its result: a failing HRESULT as
// DISP_E_EXCEPTION with the code in excepinfo->scode. Also
// DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT, DISP_E_NONAMEDARGS,
// DISP_E_PARAMNOTOPTIONAL.
HRESULT platform_dispatch_invoke(const DispatchTable &table, void *object, DISPID id, WORD flags,
                                 DISPPARAMS *params, VARIANT *result, EXCEPINFO *excepinfo,
                                 UINT *arg_error);

// ---------------------------------------------------------------------------
// Apartments and object creation.

#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_REMOTE_SERVER 0x10u
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// Per thread: the first call gives S_OK, later ones S_FALSE (each to be
// matched by CoUninitialize), another model RPC_E_CHANGED_MODE.
HRESULT CoInitialize(void *reserved);
HRESULT CoInitializeEx(void *reserved, DWORD model);
void CoUninitialize(void);

// Looks up HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, loads that
// library once per process and asks its DllGetClassObject. Results:
// CO_E_NOTINITIALIZED without CoInitialize on this thread,
// REGDB_E_CLASSNOTREG for a class without an in-process server entry,
// HRESULT_FROM_WIN32 of the loader's error for a library that does not
// load, CO_E_ERRORINDLL for one without DllGetClassObject, else the
// server's answer. The component-categories manager is built in.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void *server_info, REFIID riid,
                         void **object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID riid,
                         void **object);
// Unloads the loaded servers whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries(void);

// ---------------------------------------------------------------------------
// The registrar: applies a registration script, the text form of Windows'
// registry scripts:
//
//   HKCR
//   {
//     KestoSerial.SerialSource.1 = s 'SerialSource Class'
//     {
//       CLSID = s '{4F0A475A-2690-47BC-8777-A5B6BD6FD978}'
//     }
//     NoRemove CLSID
//     {
//       ForceRemove {4F0A475A-...} = s 'SerialSource Class'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Apartment'
//         }
//       }
//     }
//   }
//
// Braces stand apart from names (a GUID in braces is a name). Roots
// HKCR/HKEY_CLASSES_ROOT, HKLM/HKEY_LOCAL_MACHINE, HKCU; key names
// bare or in single quotes ('' is a quote); a key's default value and
// named values (`val NAME = ...`) of type s (string), d (number, decimal or
// 0x hex) or b (hex bytes); key flags NoRemove (never removed; only its
// contents are), ForceRemove (removed whole before it is written) and
// Delete (removed on registration). %NAME% is replaced by the replacement
// of that name (%% is a percent sign). Registration writes everything;
// unregistration removes each key without NoRemove whole and the named
// values of NoRemove keys. A script that does not parse gives
// DISP_E_EXCEPTION with a message on standard error naming the line; a
// registry failure gives REGDB_E_WRITEREGDB.

struct RegistrarReplacement {
  const char *name;   // e.g. "MODULE"
  const char *value;  // e.g. the server's full path
};
HRESULT platform_registrar_register(const char *script, const RegistrarReplacement *replacements,
                                    size_t count);
HRESULT platform_registrar_unregister(const char *script,
                                      const RegistrarReplacement *replacements, size_t count);

// Type-library entries without a type-library file: the key
// HKCR\TypeLib\{libid}\MAJOR.MINOR = help string, with 0\win32 = the module, FLAGS = 0 and
// HELPDIR = the module's folder; and for each dual interface given,
// HKCR\Interface\{iid} = name with ProxyStubClsid32 (the automation
// marshaler) and TypeLib = {libid} with Version. Unregistration removes
// these keys.
struct TypeLibInterface {
  const IID *iid;
  const char *name;
};
HRESULT platform_typelib_register(REFGUID libid, WORD major, WORD minor, const char *help,
                                  const char *module_path, const TypeLibInterface *interfaces,
                                  size_t count);
HRESULT platform_typelib_unregister(REFGUID libid, WORD major, WORD minor,
                                    const TypeLibInterface *interfaces, size_t count);

// ---------------------------------------------------------------------------
// Component categories: the standard manager's ICatRegister, created with
// CoCreateInstance(CLSID_StdComponentCategoriesMgr, ..., IID_ICatRegister).
// Categories are HKCR\Component Categories\{catid} with one value per
// locale (the LCID in hex, "0" for 0) holding the description; a class's
// are empty keys under HKCR\CLSID\{clsid}\Implemented Categories or
// Required Categories.

struct CATEGORYINFO {
  CATID catid;
  LCID lcid;
  OLECHAR szDescription[128];
};

struct ICatRegister : IUnknown {
  STDMETHOD(RegisterCategories)(ULONG count, CATEGORYINFO categories[]) PURE;
  STDMETHOD(UnRegisterCategories)(ULONG count, CATID catids[]) PURE;
  STDMETHOD(RegisterClassImplCategories)(REFCLSID clsid, ULONG count, CATID catids[]) PURE;
  STDMETHOD(UnRegisterClassImplCategories)(REFCLSID clsid, ULONG count, CATID catids[]) PURE;
  STDMETHOD(RegisterClassReqCategories)(REFCLSID clsid, ULONG count, CATID catids[]) PURE;
  STDMETHOD(UnRegisterClassReqCategories)(REFCLSID clsid, ULONG count, CATID catids[]) PURE;
};
extern const CLSID CLSID_StdComponentCategoriesMgr;  // {0002E005-0000-0000-C000-000000000046}
extern const IID IID_ICatRegister;                   // {0002E012-0000-0000-C000-000000000046}

// ---------------------------------------------------------------------------
// The standard OLE control interfaces, for an object that must answer
// QueryInterface for them without using them. Their IIDs are Windows'.

extern const IID IID_IPersist, IID_IPersistStreamInit, IID_IPersistStorage, IID_IOleObject,
    IID_IOleWindow, IID_IOleInPlaceObject, IID_IOleInPlaceObjectWindowless,
    IID_IOleInPlaceActiveObject, IID_IOleControl, IID_IViewObject, IID_IViewObject2,
    IID_IViewObjectEx, IID_ISpecifyPropertyPages, IID_IQuickActivate, IID_IDataObject,
    IID_IProvideClassInfo, IID_IProvideClassInfo2;

// A not-implemented interface: QueryInterface, AddRef and Release go to the
// owner (so the object keeps one identity); each of the up to
// PLATFORM_NOTIMPL_MAX_METHODS methods after them returns E_NOTIMPL and
// touches none of its arguments. Embed one per such interface in the object
// and hand out its address. The stub is no C++ object of the interface's
// class: code that calls through it from C++ while built with the
// sanitizer's vptr check marks the calling function PLATFORM_NO_SANITIZE_VPTR.
#define PLATFORM_NOTIMPL_MAX_METHODS 64
#define PLATFORM_NO_SANITIZE_VPTR __attribute__((no_sanitize("vptr")))
struct PlatformNotImplInterface {
  const void *const *vtable;
  IUnknown *owner;
};
void platform_notimpl_interface_init(PlatformNotImplInterface *stub, IUnknown *owner);
