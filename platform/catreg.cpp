// The standard component-categories manager (ICatRegister).
#include <cstdio>
#include <string>

#include "win32.h"

namespace {

LONG delete_if_missing_ok(HKEY root, const std::string &key) {
  LONG rc = RegDeleteTreeA(root, key.c_str());
  return rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND) ? 0 : rc;
}

bool key_is_empty(HKEY root, const std::string &key) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != 0) return false;
  char name[256];
  DWORD size = sizeof name;
  bool no_keys = RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                 static_cast<LONG>(ERROR_NO_MORE_ITEMS);
  size = sizeof name;
  bool no_values = RegEnumValueA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                   static_cast<LONG>(ERROR_NO_MORE_ITEMS);
  RegCloseKey(k);
  return no_keys && no_values;
}

HRESULT class_categories(REFCLSID clsid, ULONG count, CATID catids[], const char *which,
                         bool add) {
  if (count > 0 && catids == nullptr) return E_INVALIDARG;
  std::string base = "CLSID\\" + platform_guid_to_string(clsid) + "\\" + which;
  for (ULONG i = 0; i < count; ++i) {
    std::string key = base + "\\" + platform_guid_to_string(catids[i]);
    if (add) {
      HKEY k;
      if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &k, nullptr) != 0)
        return REGDB_E_WRITEREGDB;
      RegCloseKey(k);
    } else if (delete_if_missing_ok(HKEY_CLASSES_ROOT, key) != 0) {
      return REGDB_E_WRITEREGDB;
    }
  }
  // An emptied list of categories goes too.
  if (!add && key_is_empty(HKEY_CLASSES_ROOT, base)) RegDeleteKeyA(HKEY_CLASSES_ROOT, base.c_str());
  return S_OK;
}

struct CatRegister : ICatRegister {
  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICatRegister)) {
      *object = static_cast<ICatRegister *>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // One object for the process: its count only reports.
  ULONG AddRef() override { return InterlockedIncrement(&refs) ; }
  ULONG Release() override { return InterlockedDecrement(&refs); }

  HRESULT RegisterCategories(ULONG count, CATEGORYINFO categories[]) override {
    if (count > 0 && categories == nullptr) return E_INVALIDARG;
    for (ULONG i = 0; i < count; ++i) {
      std::string key = "Component Categories\\" + platform_guid_to_string(categories[i].catid);
      char lcid[16];
      snprintf(lcid, sizeof lcid, "%x", categories[i].lcid);
      std::string text = platform_bstr_to_utf8(categories[i].szDescription);
      HKEY k;
      if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &k, nullptr) != 0)
        return REGDB_E_WRITEREGDB;
      LONG rc = RegSetValueExA(k, lcid, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                               static_cast<DWORD>(text.size() + 1));
      RegCloseKey(k);
      if (rc != 0) return REGDB_E_WRITEREGDB;
    }
    return S_OK;
  }
  HRESULT UnRegisterCategories(ULONG count, CATID catids[]) override {
    if (count > 0 && catids == nullptr) return E_INVALIDARG;
    for (ULONG i = 0; i < count; ++i)
      if (delete_if_missing_ok(HKEY_CLASSES_ROOT,
                               "Component Categories\\" + platform_guid_to_string(catids[i])) != 0)
        return REGDB_E_WRITEREGDB;
    return S_OK;
  }
  HRESULT RegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID catids[]) override {
    return class_categories(clsid, count, catids, "Implemented Categories", true);
  }
  HRESULT UnRegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID catids[]) override {
    return class_categories(clsid, count, catids, "Implemented Categories", false);
  }
  HRESULT RegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID catids[]) override {
    return class_categories(clsid, count, catids, "Required Categories", true);
  }
  HRESULT UnRegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID catids[]) override {
    return class_categories(clsid, count, catids, "Required Categories", false);
  }
  volatile LONG refs = 1;
};

struct CatRegisterFactory : IClassFactory {
  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory *>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return manager.QueryInterface(riid, object);
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
  CatRegister manager;
};

}  // namespace

IClassFactory *platform_catregister_factory() {
  static CatRegisterFactory factory;
  return &factory;
}
