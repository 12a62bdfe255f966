// COM: GUIDs, BSTRs, VARIANTs, apartments, the test in-process server
// through the registry, IDispatch, the registrar and the category manager.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "testserver.h"
#include "testsupport.h"
#include "win32.h"

// The shape of one of the control interfaces, for calling a stub. Declared
// outside the unnamed namespace: an interface known to have no
// implementation in this file would let the compiler bind its calls to the
// pure-virtual handler.
struct IOleWindowLike : IUnknown {
  STDMETHOD(GetWindow)(HWND *window) PURE;
  STDMETHOD(ContextSensitiveHelp)(BOOL enter) PURE;
};
struct IManyLike : IUnknown {
  STDMETHOD(M0)() PURE;
  STDMETHOD(M1)(LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, FLOAT, void *) PURE;
};

namespace {

std::string reg_default(HKEY root, const std::string &key, const char *name = nullptr) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != 0) return "<no key>";
  char buf[4096];
  DWORD size = sizeof buf, type = 0;
  LONG rc = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
  RegCloseKey(k);
  if (rc != 0) return "<no value>";
  return std::string(buf, size && buf[size - 1] == '\0' ? size - 1 : size);
}

bool key_exists(HKEY root, const std::string &key) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != 0) return false;
  RegCloseKey(k);
  return true;
}

TEST(Guid, PrintParseAndCompare) {
  EXPECT_EQ(platform_guid_to_string(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  GUID g;
  ASSERT_TRUE(platform_guid_from_string("{4f0a475a-2690-47bc-8777-a5b6bd6fd978}", &g));
  EXPECT_EQ(platform_guid_to_string(g), "{4F0A475A-2690-47BC-8777-A5B6BD6FD978}");
  EXPECT_EQ(g.Data1, 0x4F0A475Au);
  EXPECT_EQ(g.Data4[7], 0x78);
  for (const char *bad : {"", "4F0A475A-2690-47BC-8777-A5B6BD6FD978", "{4F0A475A-2690-47BC-8777-A5B6BD6FD97}",
                          "{4F0A475A+2690-47BC-8777-A5B6BD6FD978}", "{4F0A475A-2690-47BC-8777-A5B6BD6FD97G}"})
    EXPECT_FALSE(platform_guid_from_string(bad, &g)) << bad;
  // Fresh GUIDs: version 4, distinct, and they survive the round trip.
  GUID a, b;
  ASSERT_EQ(CoCreateGuid(&a), S_OK);
  ASSERT_EQ(CoCreateGuid(&b), S_OK);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.Data3 >> 12, 4);
  EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(CoCreateGuid(&a), S_OK);
    ASSERT_TRUE(platform_guid_from_string(platform_guid_to_string(a).c_str(), &b));
    ASSERT_TRUE(IsEqualGUID(a, b));
  }
  OLECHAR wide[39];
  EXPECT_EQ(StringFromGUID2(IID_IUnknown, wide, 39), 39);
  EXPECT_EQ(platform_bstr_to_utf8(wide), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringFromGUID2(IID_IUnknown, wide, 38), 0);
  IID iid;
  EXPECT_EQ(IIDFromString(wide, &iid), S_OK);
  EXPECT_EQ(iid, IID_IUnknown);
  EXPECT_EQ(IIDFromString(u"nonsense", &iid), CO_E_CLASSSTRING);
  LPOLESTR text = nullptr;
  EXPECT_EQ(StringFromCLSID(CLSID_TestCounter, &text), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(text), "{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}");
  CoTaskMemFree(text);
}

TEST(Bstr, AllocationLengthsAndConversions) {
  BSTR s = SysAllocString(u"COM3");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 4u);
  EXPECT_EQ(SysStringByteLen(s), 8u);
  uint32_t prefix;
  memcpy(&prefix, reinterpret_cast<char *>(s) - 4, 4);
  EXPECT_EQ(prefix, 8u);
  EXPECT_EQ(s[4], 0);
  EXPECT_TRUE(SysReAllocString(&s, u"COM10"));
  EXPECT_EQ(platform_bstr_to_utf8(s), "COM10");
  EXPECT_TRUE(SysReAllocStringLen(&s, s + 3, 2));  // from its own text
  EXPECT_EQ(platform_bstr_to_utf8(s), "10");
  SysFreeString(s);
  SysFreeString(nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  BSTR embedded = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(embedded), 3u);
  SysFreeString(embedded);
  BSTR bytes = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(bytes), 3u);
  EXPECT_EQ(SysStringLen(bytes), 1u);
  SysFreeString(bytes);

  // UTF-8 <-> UTF-16 round trips over random code points, surrogates too.
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::u16string w;
    int n = static_cast<int>(rng() % 20);
    for (int i = 0; i < n; ++i) {
      uint32_t c = rng() % 0x110000;
      if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) c = 'x';
      if (c >= 0x10000) {
        w += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        w += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        w += static_cast<char16_t>(c);
      }
    }
    std::string u8 = platform_bstr_to_utf8(w.c_str());
    ASSERT_EQ(platform_utf16_from_utf8(u8), w);
    BSTR b = platform_bstr_from_utf8(u8.c_str());
    ASSERT_EQ(std::u16string(b, SysStringLen(b)), w);
    SysFreeString(b);
  }
  EXPECT_EQ(platform_bstr_to_utf8(u"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac");
  // Invalid UTF-8 becomes U+FFFD; an unpaired surrogate '?'.
  EXPECT_EQ(platform_utf16_from_utf8("a\xff" "b"), u"a\uFFFDb");
  EXPECT_EQ(platform_bstr_to_utf8(u"a\xD800" "b"), "a?b");
  // Windows' size protocol.
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM3", -1, nullptr, 0), 5);
  OLECHAR out[8];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM3", -1, out, 8), 5);
  EXPECT_EQ(std::u16string(out), u"COM3");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM3", -1, out, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  char narrow[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"com3", 4, narrow, 8, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(narrow, 4), "com3");
}

TEST(Variant, Conversions) {
  VARIANT in, out;
  VariantInit(&in);
  VariantInit(&out);
  in.vt = VT_I2;
  in.iVal = -7;
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_I4), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, -7);
  in.vt = VT_R8;
  in.dblVal = 2.5;
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 2);  // banker's rounding
  in.dblVal = 3.5;
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 4);
  in.dblVal = 1e12;
  EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_I4), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_R4), S_OK);
  EXPECT_FLOAT_EQ(out.fltVal, 1e12f);
  in.vt = VT_BSTR;
  in.bstrVal = SysAllocString(u" 42");
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 42);
  SysReAllocString(&in.bstrVal, u"COM3");
  EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_I4), DISP_E_TYPEMISMATCH);
  VariantClear(&in);
  EXPECT_EQ(in.vt, VT_EMPTY);
  in.vt = VT_I4;
  in.lVal = 115200;
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_BSTR), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(out.bstrVal), "115200");
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &out), S_OK);
  EXPECT_NE(copy.bstrVal, out.bstrVal);
  EXPECT_EQ(platform_bstr_to_utf8(copy.bstrVal), "115200");
  VariantClear(&copy);
  VariantClear(&out);
  // In place: the text is released, the number stays.
  in.vt = VT_BSTR;
  in.bstrVal = SysAllocString(u"17");
  ASSERT_EQ(VariantChangeType(&in, &in, 0, VT_I4), S_OK);
  EXPECT_EQ(in.vt, VT_I4);
  EXPECT_EQ(in.lVal, 17);
  // Through a reference.
  LONG target = 9;
  in.vt = VT_I4 | VT_BYREF;
  in.plVal = &target;
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_R4), S_OK);
  EXPECT_EQ(out.fltVal, 9.0f);
}

TEST(Apartment, PerThreadBookkeeping) {
  std::thread t([] {
    HKEY k;
    (void)k;
    void *p = reinterpret_cast<void *>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ICatRegister, &p), CO_E_NOTINITIALIZED);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    // Fully uninitialised again: another model is fine now.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    std::thread other([] { EXPECT_EQ(CoInitialize(nullptr), S_OK); CoUninitialize(); });
    other.join();
    CoUninitialize();
    CoUninitialize();  // one too many: ignored
  });
  t.join();
}

// A fresh registry with the test server registered by its own
// DllRegisterServer, and COM initialised on the test's thread.
class Com : public testing::Test {
 protected:
  void SetUp() override {
    setenv("CORVIA_REGISTRY_FILE", dir_.file("registry.txt").c_str(), 1);
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    server_ = LoadLibraryA("PlatformTestServer.dll");
    ASSERT_NE(server_, nullptr);
    auto reg = reinterpret_cast<HRESULT (*)(void)>(GetProcAddress(server_, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    count_ = reinterpret_cast<TestServerCountFn>(GetProcAddress(server_, "TestServerObjectCount"));
    char path[4096];
    DWORD n = GetModuleFileNameA(server_, path, sizeof path);
    server_path_.assign(path, n);
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    if (server_) FreeLibrary(server_);
    CoUninitialize();
    unsetenv("CORVIA_REGISTRY_FILE");
  }
  ITestCounter *create() {
    ITestCounter *c = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCounter,
                               reinterpret_cast<void **>(&c)), S_OK);
    return c;
  }
  testsupport::TempDir dir_;
  HMODULE server_ = nullptr;
  TestServerCountFn count_ = nullptr;
  std::string server_path_;
};

TEST_F(Com, RegistrationWritesTheScriptsKeys) {
  std::string clsid = "CLSID\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}";
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, clsid), "Test Counter");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, clsid + "\\InprocServer32"), server_path_);
  EXPECT_EQ(server_path_, testsupport::bin_path("libPlatformTestServer.so"));
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "PlatformTest.Counter.1\\CLSID"),
            "{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}");
  // The category manager's entries.
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Component Categories\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E30}", "409"),
            "Test Things");
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT,
                         clsid + "\\Implemented Categories\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E30}"));
  CLSID found;
  EXPECT_EQ(CLSIDFromProgID(u"PlatformTest.Counter.1", &found), S_OK);
  EXPECT_EQ(found, CLSID_TestCounter);
  EXPECT_EQ(CLSIDFromString(u"PlatformTest.Counter.1", &found), S_OK);
  EXPECT_EQ(CLSIDFromProgID(u"No.Such.Thing", &found), CO_E_CLASSSTRING);
  LPOLESTR progid = nullptr;
  EXPECT_EQ(ProgIDFromCLSID(CLSID_TestCounter, &progid), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(progid), "PlatformTest.Counter.1");
  CoTaskMemFree(progid);

  // Unregistration removes the class and ProgID keys, never CLSID itself.
  auto unreg = reinterpret_cast<HRESULT (*)(void)>(GetProcAddress(server_, "DllUnregisterServer"));
  ASSERT_EQ(unreg(), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, clsid));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "PlatformTest.Counter.1"));
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, "CLSID"));
  void *p = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            REGDB_E_CLASSNOTREG);
}

TEST_F(Com, CreatesThroughTheRegistryAndCountsReferences) {
  ITestCounter *c = create();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(count_(), 1);
  EXPECT_EQ(c->AddRef(), 2u);
  IUnknown *unk = nullptr;
  ASSERT_EQ(c->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unk)), S_OK);
  EXPECT_EQ(unk->Release(), 2u);
  void *none = reinterpret_cast<void *>(1);
  EXPECT_EQ(c->QueryInterface(IID_ICatRegister, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(c->put_Value(5), S_OK);
  LONG sum = 0;
  EXPECT_EQ(c->Add(3, 2.75f, &sum), S_OK);
  EXPECT_EQ(sum, 10);
  EXPECT_EQ(c->Release(), 1u);

  // The server is loaded once; it refuses to unload while the object lives.
  CoFreeUnusedLibraries();
  EXPECT_NE(GetModuleHandleA(server_path_.c_str()), nullptr);
  EXPECT_EQ(c->Release(), 0u);
  EXPECT_EQ(count_(), 0);
  // A factory held (or a lock) keeps it loaded too.
  IClassFactory *f = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void **>(&f)), S_OK);
  auto can_unload = reinterpret_cast<HRESULT (*)(void)>(GetProcAddress(server_, "DllCanUnloadNow"));
  EXPECT_EQ(can_unload(), S_FALSE);
  f->Release();
  EXPECT_EQ(can_unload(), S_OK);
  // With nothing alive, COM lets go of it: only our own LoadLibrary remains.
  CoFreeUnusedLibraries();
  FreeLibrary(server_);
  server_ = nullptr;
  EXPECT_EQ(GetModuleHandleA(server_path_.c_str()), nullptr);
}

TEST_F(Com, FailuresGiveWindowsResults) {
  void *p = reinterpret_cast<void *>(1);
  GUID unknown;
  CoCreateGuid(&unknown);
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
            E_POINTER);
  // A class whose server file is missing, and one whose library has no
  // DllGetClassObject.
  auto point_at = [](const std::string &path) {
    HKEY k;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}\\InprocServer32",
                    0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                   static_cast<DWORD>(path.size() + 1));
    RegCloseKey(k);
  };
  point_at("/nonexistent/libGone.so");
  HRESULT hr = CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p);
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(platform_error_text(static_cast<DWORD>(hr)), "The specified module could not be found.");
  // (A copy, so that the loader tests' own library stays unloadable.)
  std::string copy = dir_.file("libNoFactory.so");
  testsupport::write_file(copy, testsupport::read_file(testsupport::bin_path("libPlatformTestLib.so")));
  point_at(copy);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            CO_E_ERRORINDLL);
  EXPECT_EQ(platform_error_text(static_cast<DWORD>(REGDB_E_CLASSNOTREG)), "Class not registered");
}

// An outer object for aggregation: it owns the inner object's identity.
struct Outer : IUnknown {
  IUnknown *inner = nullptr;
  LONG refs = 1;
  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, object);
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override { return static_cast<ULONG>(--refs); }
};

TEST_F(Com, AggregationRefusedOrSupportedAsTheFactorySays) {
  Outer outer;
  void *p = reinterpret_cast<void *>(1);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_TestAggregatable, &outer, CLSCTX_INPROC_SERVER, IID_ITestCounter, &p),
            CLASS_E_NOAGGREGATION);  // aggregating asks for IUnknown only
  ASSERT_EQ(CoCreateInstance(CLSID_TestAggregatable, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void **>(&outer.inner)), S_OK);
  EXPECT_EQ(count_(), 1);
  // Interfaces of the inner object answer for the outer one.
  ITestCounter *c = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_ITestCounter, reinterpret_cast<void **>(&c)), S_OK);
  EXPECT_EQ(outer.refs, 2);  // the reference went to the outer object
  IUnknown *identity = nullptr;
  ASSERT_EQ(c->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
  EXPECT_EQ(identity, &outer);
  identity->Release();
  c->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(count_(), 0);
}

// Late-bound calls.
class Dispatch : public Com {
 protected:
  DISPID id_of(const char16_t *name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 12345;
    EXPECT_EQ(counter_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    return id;
  }
  HRESULT call(const char16_t *name, WORD flags, std::vector<VARIANT> args_in_order,
               VARIANT *result = nullptr, UINT *arg_error = nullptr, EXCEPINFO *info = nullptr) {
    std::vector<VARIANT> reversed(args_in_order.rbegin(), args_in_order.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
      params.rgdispidNamedArgs = &put;
      params.cNamedArgs = 1;
    }
    return counter_->Invoke(id_of(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                            info, arg_error);
  }
  static VARIANT i4(LONG v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = v;
    return x;
  }
  static VARIANT r4(float v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_R4;
    x.fltVal = v;
    return x;
  }
  static VARIANT ref(VARTYPE vt, void *p) {
    VARIANT x;
    VariantInit(&x);
    x.vt = static_cast<VARTYPE>(vt | VT_BYREF);
    x.byref = p;
    return x;
  }
  void SetUp() override {
    Com::SetUp();
    ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void **>(&counter_)), S_OK);
  }
  void TearDown() override {
    if (counter_) counter_->Release();
    Com::TearDown();
  }
  IDispatch *counter_ = nullptr;
};

TEST_F(Dispatch, NamesToIds) {
  EXPECT_EQ(id_of(u"Value"), 1);
  EXPECT_EQ(id_of(u"concat"), 7);
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"Nope"), const_cast<LPOLESTR>(u"param")};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(counter_->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  UINT n = 9;
  EXPECT_EQ(counter_->GetTypeInfoCount(&n), S_OK);
  EXPECT_EQ(n, 0u);
}

TEST_F(Dispatch, EveryKindOfMember) {
  VARIANT result;
  VariantInit(&result);
  // Property put and get; a 2-byte integer and a numeric string convert.
  VARIANT v = i4(0);
  v.vt = VT_I2;
  v.iVal = 40;
  EXPECT_EQ(call(u"Value", DISPATCH_PROPERTYPUT, {v}), S_OK);
  EXPECT_EQ(call(u"Value", DISPATCH_PROPERTYGET, {}, &result), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 40);
  // Integer and float arguments with a result.
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {i4(2), r4(7.9f)}, &result), S_OK);
  EXPECT_EQ(result.lVal, 49);
  // A double for a float parameter, as scripts send.
  VARIANT d;
  VariantInit(&d);
  d.vt = VT_R8;
  d.dblVal = 3.0;
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {i4(1), d}, &result), S_OK);
  EXPECT_EQ(result.lVal, 44);
  // BSTR put and get.
  VARIANT s;
  VariantInit(&s);
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocString(u"COM3");
  EXPECT_EQ(call(u"Name", DISPATCH_PROPERTYPUT, {s}), S_OK);
  VariantClear(&s);
  EXPECT_EQ(call(u"Name", DISPATCH_PROPERTYGET, {}, &result), S_OK);
  EXPECT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(platform_bstr_to_utf8(result.bstrVal), "COM3");
  VariantClear(&result);
  // By-reference float, directly and through a script's VARIANT variable.
  float f = 1.5f;
  EXPECT_EQ(call(u"Scale", DISPATCH_METHOD, {r4(4), ref(VT_R4, &f)}), S_OK);
  EXPECT_EQ(f, 6.0f);
  VARIANT var;
  VariantInit(&var);  // empty, as an unassigned script variable
  EXPECT_EQ(call(u"Scale", DISPATCH_METHOD, {r4(2), ref(VT_VARIANT, &var)}), S_OK);
  EXPECT_EQ(var.vt, VT_R4);
  EXPECT_EQ(var.fltVal, 0.0f);
  // Ten parameters: integers past the registers and floats among them.
  LONG sum = 0;
  float fsum = 0;
  EXPECT_EQ(call(u"Many", DISPATCH_METHOD,
                 {i4(1), i4(2), i4(3), i4(4), i4(5), i4(6), r4(10.5f), r4(0.25f), ref(VT_I4, &sum),
                  ref(VT_R4, &fsum)}), S_OK);
  EXPECT_EQ(sum, 654321);
  EXPECT_EQ(fsum, 10.25f);
  // Two BSTRs in, one as the result.
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = b.vt = VT_BSTR;
  a.bstrVal = SysAllocString(u"Kesto");
  b.bstrVal = SysAllocString(u"Serial");
  EXPECT_EQ(call(u"Concat", DISPATCH_METHOD, {a, b}, &result), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(result.bstrVal), "KestoSerial");
  VariantClear(&result);
  VariantClear(&a);
  VariantClear(&b);
  // A BSTR by reference, and an unassigned variable passed for it.
  BSTR text = SysAllocString(u"abc");
  EXPECT_EQ(call(u"Reverse", DISPATCH_METHOD, {ref(VT_BSTR, &text)}), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(text), "cba");
  SysFreeString(text);
  VariantInit(&var);
  EXPECT_EQ(call(u"Reverse", DISPATCH_METHOD, {ref(VT_VARIANT, &var)}), S_OK);
  EXPECT_EQ(var.vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(var.bstrVal), 0u);
  VariantClear(&var);
  var.vt = VT_I4;
  var.lVal = 321;  // converted in place to text
  EXPECT_EQ(call(u"Reverse", DISPATCH_METHOD, {ref(VT_VARIANT, &var)}), S_OK);
  EXPECT_EQ(var.vt, VT_BSTR);
  EXPECT_EQ(platform_bstr_to_utf8(var.bstrVal), "123");
  VariantClear(&var);
  // A success code other than S_OK reaches the caller.
  EXPECT_EQ(call(u"Refuse", DISPATCH_METHOD, {}, &result), S_FALSE);
  EXPECT_EQ(result.lVal, -1);
}

TEST_F(Dispatch, Errors) {
  VARIANT result;
  VariantInit(&result);
  UINT arg_error = 99;
  EXCEPINFO info;
  EXPECT_EQ(call(u"Fail", DISPATCH_METHOD, {}, nullptr, nullptr, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_ACCESSDENIED);
  // Wrong count, wrong type (the index counts from the last argument).
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {i4(1)}, &result), DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {i4(1), r4(1), i4(1)}, &result), DISP_E_BADPARAMCOUNT);
  VARIANT s;
  VariantInit(&s);
  s.vt = VT_BSTR;
  s.bstrVal = SysAllocString(u"many");
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {s, r4(1)}, &result, &arg_error), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_error, 1u);
  VariantClear(&s);
  LONG wrong = 0;
  EXPECT_EQ(call(u"Scale", DISPATCH_METHOD, {r4(1), ref(VT_I4, &wrong)}, nullptr, &arg_error),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_error, 0u);
  // A put without the named argument, an unknown member, a get of a method
  // that exists only as a put.
  VARIANT one = i4(1);
  DISPPARAMS params = {&one, nullptr, 1, 0};
  EXPECT_EQ(counter_->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTOPTIONAL);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(counter_->Invoke(77, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(counter_->Invoke(5, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  DISPID named = 3;
  DISPPARAMS with_named = {&one, &named, 1, 1};
  EXPECT_EQ(counter_->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &with_named, &result, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
}

TEST(Registrar, ScriptFeatures) {
  testsupport::TempDir dir;
  setenv("CORVIA_REGISTRY_FILE", dir.file("registry.txt").c_str(), 1);
  HKEY k;
  RegCreateKeyExA(HKEY_CLASSES_ROOT, "Old\\Stale", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  RegCloseKey(k);
  RegCreateKeyExA(HKEY_CLASSES_ROOT, "Gone", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  RegCloseKey(k);
  const char *script =
      "HKCR {\n"
      "  'Quoted Name' = s 'it''s %MODULE%, 100%%'\n"
      "  ForceRemove Old = s 'fresh' { New }\n"
      "  Delete Gone\n"
      "  NoRemove Shared {\n"
      "    val Count = d '0x10'\n"
      "    val Bytes = b '00ff10'\n"
      "    Mine { val Flag = d 7 }\n"
      "    'MiscStatus' = s '0' { '1' = s '131473' }\n"
      "  }\n"
      "}\n"
      "HKLM { NoRemove Software { Vendor = s 'v' } }\n";
  RegistrarReplacement r[] = {{"MODULE", "/opt/lib/libK.so"}};
  ASSERT_EQ(platform_registrar_register(script, r, 1), S_OK);
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Quoted Name"), "it's /opt/lib/libK.so, 100%");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Old"), "fresh");
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, "Old\\New"));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Old\\Stale"));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Gone"));
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Shared\\MiscStatus"), "0");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Shared\\MiscStatus\\1"), "131473");
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Shared", 0, KEY_READ, &k), 0);
  DWORD type = 0, value = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(k, "Count", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size), 0);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, 16u);
  BYTE bytes[8];
  size = sizeof bytes;
  EXPECT_EQ(RegQueryValueExA(k, "Bytes", nullptr, &type, bytes, &size), 0);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), size), std::string("\x00\xff\x10", 3));
  RegCloseKey(k);
  EXPECT_EQ(reg_default(HKEY_LOCAL_MACHINE, "Software\\Vendor"), "v");

  // Removal: keys without NoRemove go whole, NoRemove keys keep the rest.
  RegCreateKeyExA(HKEY_CLASSES_ROOT, "Shared\\Other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  RegCloseKey(k);
  ASSERT_EQ(platform_registrar_unregister(script, r, 1), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Quoted Name"));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Old"));
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, "Shared\\Other"));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Shared\\Mine"));
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Shared", "Count"), "<no value>");
  EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, "Software"));
  EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, "Software\\Vendor"));
  // Removing again finds nothing to remove and is fine.
  EXPECT_EQ(platform_registrar_unregister(script, r, 1), S_OK);
  unsetenv("CORVIA_REGISTRY_FILE");
}

TEST(Registrar, BadScriptsAreReported) {
  testsupport::TempDir dir;
  setenv("CORVIA_REGISTRY_FILE", dir.file("registry.txt").c_str(), 1);
  struct Case {
    const char *script;
    const char *message;
  } cases[] = {
      {"HKCR {\n  A = s 'x'\n", "registrar: registration script, line 3: '}' missing at the end\n"},
      {"HKXX { }", "registrar: registration script, line 1: unknown root key 'HKXX'\n"},
      {"HKCR {\n A = q 'x' }", "registrar: registration script, line 2: unknown value type 'q'\n"},
      {"HKCR { A = s 'x }", "registrar: registration script, line 1: unterminated quoted text\n"},
      {"HKCR { A = s '%NOPE%' }", "registrar: registration script, line 1: no replacement for %NOPE%\n"},
      {"HKCR { A = d 'ten' }", "registrar: registration script, line 1: 'ten' is not a 32-bit number\n"},
      {"HKCR { val X = s 'y' }", "registrar: registration script, line 1: 'val' outside a key\n"},
  };
  for (const Case &c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(platform_registrar_register(c.script, nullptr, 0), DISP_E_EXCEPTION) << c.script;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
  }
  // Nothing of a bad script is written.
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "A"));
  unsetenv("CORVIA_REGISTRY_FILE");
}

TEST(TypeLib, EntriesWithoutAFile) {
  testsupport::TempDir dir;
  setenv("CORVIA_REGISTRY_FILE", dir.file("registry.txt").c_str(), 1);
  GUID libid;
  platform_guid_from_string("{14EDC21A-0DF9-485C-85A0-3235D12B86A0}", &libid);
  TypeLibInterface dual[] = {{&IID_ITestCounter, "ITestCounter"}};
  ASSERT_EQ(platform_typelib_register(libid, 1, 0, "Test 1.0 Type Library", "/opt/lib/libK.so", dual, 1), S_OK);
  std::string base = "TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}\\1.0";
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, base), "Test 1.0 Type Library");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, base + "\\0\\win32"), "/opt/lib/libK.so");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, base + "\\HELPDIR"), "/opt/lib");
  std::string itf = "Interface\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E20}";
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, itf), "ITestCounter");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, itf + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, itf + "\\TypeLib", "Version"), "1.0");
  ASSERT_EQ(platform_typelib_unregister(libid, 1, 0, dual, 1), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}"));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, itf));
  unsetenv("CORVIA_REGISTRY_FILE");
}

TEST(Categories, RegisterAndRemove) {
  testsupport::TempDir dir;
  setenv("CORVIA_REGISTRY_FILE", dir.file("registry.txt").c_str(), 1);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  Outer outer;
  void *p = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            CLASS_E_NOAGGREGATION);
  ICatRegister *cat = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ICatRegister, reinterpret_cast<void **>(&cat)), S_OK);
  CATEGORYINFO info[2] = {};
  platform_guid_from_string("{CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}", &info[0].catid);
  info[0].lcid = 0;
  memcpy(info[0].szDescription, u"KestoLab Components", sizeof u"KestoLab Components");
  platform_guid_from_string("{850FE44A-8F45-4E1A-ACC1-7414BE11E9D4}", &info[1].catid);
  info[1].lcid = 0x409;
  memcpy(info[1].szDescription, u"Storage Engines", sizeof u"Storage Engines");
  ASSERT_EQ(cat->RegisterCategories(2, info), S_OK);
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Component Categories\\{CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}", "0"),
            "KestoLab Components");
  EXPECT_EQ(reg_default(HKEY_CLASSES_ROOT, "Component Categories\\{850FE44A-8F45-4E1A-ACC1-7414BE11E9D4}", "409"),
            "Storage Engines");
  CATID impl[] = {info[0].catid};
  ASSERT_EQ(cat->RegisterClassImplCategories(CLSID_TestCounter, 1, impl), S_OK);
  ASSERT_EQ(cat->RegisterClassReqCategories(CLSID_TestCounter, 1, impl), S_OK);
  std::string clsid = "CLSID\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}";
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, clsid + "\\Implemented Categories\\{CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}"));
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, clsid + "\\Required Categories\\{CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}"));
  ASSERT_EQ(cat->UnRegisterClassImplCategories(CLSID_TestCounter, 1, impl), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, clsid + "\\Implemented Categories"));
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, clsid + "\\Required Categories"));
  CATID both[] = {info[0].catid, info[1].catid};
  ASSERT_EQ(cat->UnRegisterCategories(2, both), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Component Categories\\{CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}"));
  cat->Release();
  CoUninitialize();
  unsetenv("CORVIA_REGISTRY_FILE");
}

// Calls a client would make on the stub.
PLATFORM_NO_SANITIZE_VPTR void call_stub(PlatformNotImplInterface &stub, Outer &owner) {
  platform_notimpl_interface_init(&stub, &owner);
  // Reached as a client would, through a pointer the compiler cannot trace.
  void *p = &stub;
  asm volatile("" : "+r"(p));
  auto *window = static_cast<IOleWindowLike *>(p);
  HWND hwnd = reinterpret_cast<HWND>(1);
  EXPECT_EQ(window->GetWindow(&hwnd), E_NOTIMPL);
  EXPECT_EQ(hwnd, reinterpret_cast<HWND>(1));  // untouched
  EXPECT_EQ(window->ContextSensitiveHelp(TRUE), E_NOTIMPL);
  auto *many = static_cast<IManyLike *>(p);
  EXPECT_EQ(many->M1(1, 2, 3, 4, 5, 6, 7, 8, 1.0f, nullptr), E_NOTIMPL);
  IUnknown *identity = nullptr;
  EXPECT_EQ(window->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
  EXPECT_EQ(identity, &owner);
  EXPECT_EQ(owner.refs, 2);
  EXPECT_EQ(window->AddRef(), 3u);
  EXPECT_EQ(window->Release(), 2u);
}

TEST(NotImplemented, StubAnswersENotImplAndKeepsTheOwnersIdentity) {
  Outer owner;
  PlatformNotImplInterface stub;
  call_stub(stub, owner);
}

}  // namespace
