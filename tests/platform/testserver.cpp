// A test in-process COM server: a class with a dual interface, registered
// through the registrar and the category manager. Built only for the tests.
#include <cstring>
#include <new>
#include <string>

#include "testserver.h"

namespace {

volatile LONG objects_alive = 0;
volatile LONG server_locks = 0;

const DispatchMember members[] = {
    {"Value", 1, DISPATCH_PROPERTYPUT, 7, 1, {VT_I4}, VT_EMPTY},
    {"Value", 1, DISPATCH_PROPERTYGET, 8, 0, {}, VT_I4},
    {"Add", 2, DISPATCH_METHOD, 9, 2, {VT_I4, VT_R4}, VT_I4},
    {"Name", 3, DISPATCH_PROPERTYGET, 10, 0, {}, VT_BSTR},
    {"Name", 3, DISPATCH_PROPERTYPUT, 11, 1, {VT_BSTR}, VT_EMPTY},
    {"Scale", 4, DISPATCH_METHOD, 12, 2, {VT_R4, VT_R4 | VT_BYREF}, VT_EMPTY},
    {"Fail", 5, DISPATCH_METHOD, 13, 0, {}, VT_EMPTY},
    {"Many", 6, DISPATCH_METHOD, 14, 10,
     {VT_I4, VT_I4, VT_I4, VT_I4, VT_I4, VT_I4, VT_R4, VT_R4, VT_I4 | VT_BYREF, VT_R4 | VT_BYREF},
     VT_EMPTY},
    {"Concat", 7, DISPATCH_METHOD, 15, 2, {VT_BSTR, VT_BSTR}, VT_BSTR},
    {"Refuse", 8, DISPATCH_METHOD, 16, 0, {}, VT_I4},
    {"Reverse", 9, DISPATCH_METHOD, 17, 1, {VT_BSTR | VT_BYREF}, VT_EMPTY},
};
const DispatchTable table = {members, sizeof members / sizeof members[0]};

class Counter final : public ITestCounter {
 public:
  Counter() { InterlockedIncrement(&objects_alive); }
  ~Counter() {
    SysFreeString(name_);
    InterlockedDecrement(&objects_alive);
  }
  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, IID_ITestCounter)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<ITestCounter *>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG Release() override {
    const LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  HRESULT GetTypeInfoCount(UINT *count) override { return *count = 0, S_OK; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo **info) override { return *info = nullptr, DISP_E_BADINDEX; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
    return platform_dispatch_get_ids(table, names, count, ids);
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                 EXCEPINFO *excepinfo, UINT *arg_error) override {
    return platform_dispatch_invoke(table, static_cast<ITestCounter *>(this), id, flags, params,
                                    result, excepinfo, arg_error);
  }

  // The members; the dispatcher never passes null for an out-parameter.
  HRESULT put_Value(LONG value) override { return value_ = value, S_OK; }
  HRESULT get_Value(LONG *value) override { return *value = value_, S_OK; }
  HRESULT Add(LONG a, FLOAT f, LONG *sum) override { return *sum = value_ + a + static_cast<LONG>(f), S_OK; }
  HRESULT get_Name(BSTR *name) override { return *name = SysAllocStringLen(name_, SysStringLen(name_)), S_OK; }
  HRESULT put_Name(BSTR name) override {
    return SysReAllocStringLen(&name_, name, SysStringLen(name)) ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT Scale(FLOAT factor, FLOAT *inout) override { return *inout *= factor, S_OK; }
  HRESULT Fail() override { return E_ACCESSDENIED; }
  HRESULT Many(LONG a, LONG b, LONG c, LONG d, LONG e, LONG f, FLOAT x, FLOAT y, LONG *sum,
               FLOAT *fsum) override {
    *sum = a + 10 * b + 100 * c + 1000 * d + 10000 * e + 100000 * f;
    return *fsum = x - y, S_OK;
  }
  HRESULT Concat(BSTR a, BSTR b, BSTR *joined) override {
    std::u16string s(a ? a : u"", SysStringLen(a));
    s.append(b ? b : u"", SysStringLen(b));
    *joined = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *joined ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT Refuse(LONG *result) override { return *result = -1, S_FALSE; }
  HRESULT Reverse(BSTR *inout) override {
    std::u16string s(*inout ? *inout : u"", SysStringLen(*inout));
    std::u16string r(s.rbegin(), s.rend());
    return SysReAllocStringLen(inout, r.data(), static_cast<UINT>(r.size())) ? S_OK : E_OUTOFMEMORY;
  }

 private:
  volatile LONG refs_ = 1;
  LONG value_ = 0;
  BSTR name_ = nullptr;
};

// Refuses aggregation.
class Factory : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory *>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factories are static; a reference held by a client locks the server.
  ULONG AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&server_locks)); }
  ULONG Release() override { return static_cast<ULONG>(InterlockedDecrement(&server_locks)); }
  HRESULT CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Counter *c = new (std::nothrow) Counter;
    if (c == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = c->QueryInterface(riid, object);
    c->Release();  // the creation reference
    return hr;
  }
  HRESULT LockServer(BOOL lock) override {
    return lock ? InterlockedIncrement(&server_locks) : InterlockedDecrement(&server_locks), S_OK;
  }
};

Factory counter_factory;

const char script[] = R"(HKCR
{
  PlatformTest.Counter.1 = s 'Test Counter' { CLSID = s '{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}' }
  NoRemove CLSID
  {
    ForceRemove {6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11} = s 'Test Counter'
    {
      ProgID = s 'PlatformTest.Counter.1'
      InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Apartment' }
    }
  }
}
)";

std::string own_path() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<const char *>(&own_path), &self);
  char path[4096];
  DWORD n = GetModuleFileNameA(self, path, sizeof path);
  return std::string(path, n);
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void **object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualCLSID(clsid, CLSID_TestCounter)) return counter_factory.QueryInterface(riid, object);
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow(void) { return objects_alive == 0 && server_locks == 0 ? S_OK : S_FALSE; }

static HRESULT register_categories() {
  ICatRegister *cat = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                        IID_ICatRegister, reinterpret_cast<void **>(&cat));
  if (FAILED(hr)) return hr;
  CATEGORYINFO info = {CATID_TestThings, 0x409, {}};
  std::u16string text = u"Test Things";
  memcpy(info.szDescription, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
  hr = cat->RegisterCategories(1, &info);
  CATID impl[] = {CATID_TestThings};
  if (SUCCEEDED(hr)) hr = cat->RegisterClassImplCategories(CLSID_TestCounter, 1, impl);
  cat->Release();
  return hr;
}

STDAPI DllRegisterServer(void) {
  std::string path = own_path();
  RegistrarReplacement r[] = {{"MODULE", path.c_str()}};
  HRESULT hr = platform_registrar_register(script, r, 1);
  if (FAILED(hr)) return hr;
  // The category manager needs COM on this thread, as on Windows.
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  hr = register_categories();
  if (SUCCEEDED(init)) CoUninitialize();
  return hr;
}

STDAPI DllUnregisterServer(void) {
  std::string path = own_path();
  RegistrarReplacement r[] = {{"MODULE", path.c_str()}};
  return platform_registrar_unregister(script, r, 1);
}

extern "C" LONG TestServerObjectCount(void) { return objects_alive; }
