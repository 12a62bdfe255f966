// The server's entry points: the class factory, DllGetClassObject,
// DllCanUnloadNow, and registration with its script, type-library entries
// and component categories.
#include <cstring>
#include <new>
#include <string>

#include "serial_source.h"

namespace {

// Objects alive and server locks (factory references and LockServer):
// DllCanUnloadNow answers S_OK only when both are 0.
volatile LONG objects_alive = 0;
volatile LONG server_locks = 0;

class Factory final : public IClassFactory {
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
  // The factory is static; a reference held by a client locks the server.
  ULONG AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&server_locks)); }
  ULONG Release() override { return static_cast<ULONG>(InterlockedDecrement(&server_locks)); }

  HRESULT CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    // An aggregating object gets the inner IUnknown and nothing else.
    if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    SerialSource *source = new (std::nothrow) SerialSource(outer);
    if (source == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = source->inner()->QueryInterface(riid, object);
    source->inner()->Release();  // the creation reference
    return hr;
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) InterlockedIncrement(&server_locks);
    else InterlockedDecrement(&server_locks);
    return S_OK;
  }
};

Factory factory;

const char kScript[] =
    "HKCR\n"
    "{\n"
    "  KestoSerial.SerialSource.1 = s 'SerialSource Class'\n"
    "  {\n"
    "    CLSID = s '{4F0A475A-2690-47BC-8777-A5B6BD6FD978}'\n"
    "  }\n"
    "  KestoSerial.SerialSource = s 'SerialSource Class'\n"
    "  {\n"
    "    CLSID = s '{4F0A475A-2690-47BC-8777-A5B6BD6FD978}'\n"
    "    CurVer = s 'KestoSerial.SerialSource.1'\n"
    "  }\n"
    "  NoRemove CLSID\n"
    "  {\n"
    "    ForceRemove {4F0A475A-2690-47BC-8777-A5B6BD6FD978} = s 'SerialSource Class'\n"
    "    {\n"
    "      ProgID = s 'KestoSerial.SerialSource.1'\n"
    "      VersionIndependentProgID = s 'KestoSerial.SerialSource'\n"
    "      ForceRemove 'Programmable'\n"
    "      InprocServer32 = s '%MODULE%'\n"
    "      {\n"
    "        val ThreadingModel = s 'Apartment'\n"
    "      }\n"
    "      ForceRemove 'Control'\n"
    "      ForceRemove 'Insertable'\n"
    "      ForceRemove 'ToolboxBitmap32' = s '%MODULE%, 102'\n"
    "      'MiscStatus' = s '0'\n"
    "      {\n"
    "        '1' = s '131473'\n"
    "      }\n"
    "      'TypeLib' = s '{14EDC21A-0DF9-485C-85A0-3235D12B86A0}'\n"
    "      'Version' = s '1.0'\n"
    "    }\n"
    "  }\n"
    "}\n";

const TypeLibInterface kTypeLibInterfaces[] = {{&IID_ISerialSource, "ISerialSource"}};

std::string module_path() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<const char *>(&module_path), &self);
  char path[4096];
  DWORD n = GetModuleFileNameA(self, path, sizeof path);
  return std::string(path, n < sizeof path ? n : 0);
}

HRESULT register_category(ICatRegister *cat, REFGUID catid, const char16_t *text) {
  CATEGORYINFO info = {catid, 0, {}};
  std::u16string s = text;
  memcpy(info.szDescription, s.c_str(), (s.size() + 1) * sizeof(OLECHAR));
  return cat->RegisterCategories(1, &info);
}

// COM for the calling thread in apartment mode; a failure is shown and the
// caller goes on. True when CoUninitialize is owed.
bool init_com(const char *failure) {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    MessageBoxA(nullptr, failure, nullptr, MB_OK);
    return false;
  }
  return true;
}

ICatRegister *category_manager() {
  ICatRegister *cat = nullptr;
  if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ICatRegister, reinterpret_cast<void **>(&cat))))
    return nullptr;
  return cat;
}

HRESULT register_server(ICatRegister *cat) {
  std::string path = module_path();
  RegistrarReplacement r[] = {{"MODULE", path.c_str()}};
  HRESULT hr = platform_registrar_register(kScript, r, 1);
  if (SUCCEEDED(hr))
    hr = platform_typelib_register(LIBID_KESTOSERIALLib, 1, 0, "KestoSerial 1.0 Type Library",
                                   path.c_str(), kTypeLibInterfaces, 1);
  CATID impl[] = {CATID_DataSources};
  if (SUCCEEDED(hr)) hr = cat->RegisterClassImplCategories(CLSID_SerialSource, 1, impl);
  return hr;
}

HRESULT unregister_server(ICatRegister *cat) {
  std::string path = module_path();
  RegistrarReplacement r[] = {{"MODULE", path.c_str()}};
  CATID impl[] = {CATID_DataSources};
  HRESULT hr = cat != nullptr ? cat->UnRegisterClassImplCategories(CLSID_SerialSource, 1, impl)
                              : E_FAIL;
  HRESULT script = platform_registrar_unregister(kScript, r, 1);
  HRESULT typelib = platform_typelib_unregister(LIBID_KESTOSERIALLib, 1, 0, kTypeLibInterfaces, 1);
  if (SUCCEEDED(hr)) hr = FAILED(script) ? script : typelib;
  return hr;
}

}  // namespace

void kesto_object_created() { InterlockedIncrement(&objects_alive); }
void kesto_object_destroyed() { InterlockedDecrement(&objects_alive); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void **object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_SerialSource)) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow(void) {
  return objects_alive == 0 && server_locks == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer(void) {
  bool owe_uninit = init_com("CoInitializeEx() failed.");
  HRESULT hr = E_FAIL;
  ICatRegister *cat = category_manager();
  if (cat != nullptr) hr = register_category(cat, CATID_KestoLabComponents, u"KestoLab Components");
  if (FAILED(hr)) {
    MessageBoxA(nullptr, "Category registration for KestoLab componenents failed.", nullptr, MB_OK);
  } else if (FAILED(hr = register_category(cat, CATID_StorageEngines, u"Storage Engines"))) {
    MessageBoxA(nullptr, "Category registration for Storage engines failed.", nullptr, MB_OK);
  } else if (FAILED(hr = register_server(cat))) {
    MessageBoxA(nullptr, "Server registration failed.", nullptr, MB_OK);
  }
  if (cat != nullptr) cat->Release();
  if (owe_uninit) CoUninitialize();
  return hr;
}

STDAPI DllUnregisterServer(void) {
  bool owe_uninit = init_com("CoInitialzeEx() at uninstall failed.");
  ICatRegister *cat = category_manager();
  HRESULT hr = unregister_server(cat);
  if (FAILED(hr)) MessageBoxA(nullptr, "Server unregistration failed.", nullptr, MB_OK);
  if (cat != nullptr) cat->Release();
  if (owe_uninit) CoUninitialize();
  return hr;
}
