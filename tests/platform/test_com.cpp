// COM: GUIDs, BSTRs, VARIANTs, apartments, the test in-process server
// through the registry, IDispatch, the registrar and the category manager.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "platform_test.h"
#include "testserver.h"

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

using platform_test::key_exists;
using platform_test::Registry;
using platform_test::reg_text;
const std::string kCounterKey = "CLSID\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}";

VARIANT var(VARTYPE vt) {
  VARIANT x;
  VariantInit(&x);
  x.vt = vt;
  return x;
}
VARIANT i4(LONG v) { VARIANT x = var(VT_I4); x.lVal = v; return x; }
VARIANT r4(float v) { VARIANT x = var(VT_R4); x.fltVal = v; return x; }
VARIANT r8(double v) { VARIANT x = var(VT_R8); x.dblVal = v; return x; }
VARIANT bstr(const char16_t *s) { VARIANT x = var(VT_BSTR); x.bstrVal = SysAllocString(s); return x; }
VARIANT ref(VARTYPE vt, void *p) {
  VARIANT x = var(static_cast<VARTYPE>(vt | VT_BYREF));
  x.byref = p;
  return x;
}

TEST(Guid, PrintParseAndCompare) {
  EXPECT_EQ(platform_guid_to_string(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  GUID g, a, b;
  ASSERT_TRUE(platform_guid_from_string("{4f0a475a-2690-47bc-8777-a5b6bd6fd978}", &g));
  EXPECT_EQ(platform_guid_to_string(g), "{4F0A475A-2690-47BC-8777-A5B6BD6FD978}");
  EXPECT_EQ(g.Data4[7], 0x78);
  for (const char *bad : {"", "4F0A475A-2690-47BC-8777-A5B6BD6FD978", "{4F0A475A-2690-47BC-8777-A5B6BD6FD97}",
                          "{4F0A475A+2690-47BC-8777-A5B6BD6FD978}", "{4F0A475A-2690-47BC-8777-A5B6BD6FD97G}"})
    EXPECT_FALSE(platform_guid_from_string(bad, &g)) << bad;
  // Fresh GUIDs: version 4, distinct, and they survive the round trip.
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(CoCreateGuid(&a), S_OK);
    ASSERT_EQ(a.Data3 >> 12, 4);
    ASSERT_EQ(a.Data4[0] & 0xC0, 0x80);
    ASSERT_TRUE(platform_guid_from_string(platform_guid_to_string(a).c_str(), &b));
    ASSERT_TRUE(IsEqualGUID(a, b));
    ASSERT_EQ(CoCreateGuid(&b), S_OK);
    ASSERT_NE(a, b);
  }
  OLECHAR wide[39];
  EXPECT_EQ(StringFromGUID2(IID_IUnknown, wide, 39), 39);
  EXPECT_EQ(platform_bstr_to_utf8(wide), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringFromGUID2(IID_IUnknown, wide, 38), 0);
  EXPECT_EQ(IIDFromString(wide, &g), S_OK);
  EXPECT_EQ(g, IID_IUnknown);
  EXPECT_EQ(IIDFromString(u"nonsense", &g), CO_E_CLASSSTRING);
  LPOLESTR text = nullptr;
  EXPECT_EQ(StringFromCLSID(CLSID_TestCounter, &text), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(text), "{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}");
  CoTaskMemFree(text);
}

TEST(Bstr, AllocationLengthsAndConversions) {
  BSTR s = SysAllocString(u"COM3");
  uint32_t prefix;
  memcpy(&prefix, reinterpret_cast<char *>(s) - 4, 4);
  EXPECT_EQ(prefix, 8u);
  EXPECT_EQ(SysStringLen(s), 4u);
  EXPECT_EQ(SysStringByteLen(s), 8u);
  EXPECT_EQ(s[4], 0);
  EXPECT_TRUE(SysReAllocString(&s, u"COM10"));
  EXPECT_TRUE(SysReAllocStringLen(&s, s + 3, 2));  // from its own text
  EXPECT_EQ(platform_bstr_to_utf8(s), "10");
  SysFreeString(s);
  SysFreeString(nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  s = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(s), 3u);
  SysFreeString(s);
  s = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(s), 3u);
  EXPECT_EQ(SysStringLen(s), 1u);
  SysFreeString(s);

  // UTF-8 <-> UTF-16 round trips over random code points, surrogates too.
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::u16string w;
    for (int i = static_cast<int>(rng() % 20); i > 0; --i) {
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
  OLECHAR out[8];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM3", -1, nullptr, 0), 5);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM3", -1, out, 8), 5);
  EXPECT_EQ(std::u16string(out), u"COM3");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM3", -1, out, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  char narrow[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"com3", 4, narrow, 8, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(narrow, 4), "com3");
}

TEST(Variant, Conversions) {
  LONG target = 9;
  const struct {
    VARIANT in;
    VARTYPE to;
    HRESULT hr;
    double value;  // of the result, read as a number
  } cases[] = {
      {[] { VARIANT v = var(VT_I2); v.iVal = -7; return v; }(), VT_I4, S_OK, -7},
      {r8(2.5), VT_I4, S_OK, 2},  // banker's rounding
      {r8(3.5), VT_I4, S_OK, 4},
      {r8(1e12), VT_I4, DISP_E_OVERFLOW, 0},
      {r8(1e12), VT_R4, S_OK, 1e12f},
      {bstr(u" 42"), VT_I4, S_OK, 42},
      {bstr(u"COM3"), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {ref(VT_I4, &target), VT_R4, S_OK, 9},  // through a reference
  };
  for (auto c : cases) {
    VARIANT out = var(VT_EMPTY);
    EXPECT_EQ(VariantChangeType(&out, &c.in, 0, c.to), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(out.vt, c.to);
      EXPECT_EQ(c.to == VT_I4 ? out.lVal : out.fltVal, c.value);
    }
    VariantClear(&c.in);  // references are left alone
  }
  VARIANT in = i4(115200), out = var(VT_EMPTY), copy = var(VT_EMPTY);
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_BSTR), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(out.bstrVal), "115200");
  ASSERT_EQ(VariantCopy(&copy, &out), S_OK);
  EXPECT_NE(copy.bstrVal, out.bstrVal);
  EXPECT_EQ(platform_bstr_to_utf8(copy.bstrVal), "115200");
  VariantClear(&copy);
  VariantClear(&out);
  EXPECT_EQ(out.vt, VT_EMPTY);
  // In place: the text is released, the number stays.
  in = bstr(u"17");
  ASSERT_EQ(VariantChangeType(&in, &in, 0, VT_I4), S_OK);
  EXPECT_EQ(in.vt, VT_I4);
  EXPECT_EQ(in.lVal, 17);
}

TEST(Apartment, PerThreadBookkeeping) {
  std::thread t([] {
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
class Com : public Registry {
 protected:
  void SetUp() override {
    Registry::SetUp();
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    server_ = LoadLibraryA("PlatformTestServer.dll");
    ASSERT_NE(server_, nullptr);
    ASSERT_EQ(export_of<HRESULT (*)()>("DllRegisterServer")(), S_OK);
    count_ = export_of<TestServerCountFn>("TestServerObjectCount");
    char path[4096];
    server_path_.assign(path, GetModuleFileNameA(server_, path, sizeof path));
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    if (server_) FreeLibrary(server_);
    CoUninitialize();
  }
  template <class F>
  F export_of(const char *name) {
    return reinterpret_cast<F>(GetProcAddress(server_, name));
  }
  HRESULT create(REFCLSID clsid, IUnknown *outer, REFIID iid, void *object) {
    return CoCreateInstance(clsid, outer, CLSCTX_INPROC_SERVER, iid, static_cast<void **>(object));
  }
  HMODULE server_ = nullptr;
  TestServerCountFn count_ = nullptr;
  std::string server_path_;
};

TEST_F(Com, RegistrationWritesTheScriptsKeys) {
  const std::pair<std::string, std::string> entries[] = {
      {kCounterKey, "Test Counter"},
      {kCounterKey + "\\InprocServer32", testsupport::bin_path("libPlatformTestServer.so")},
      {kCounterKey + "\\InprocServer32|ThreadingModel", "Apartment"},
      {"PlatformTest.Counter.1\\CLSID", "{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}"},
      // The category manager's entries.
      {"Component Categories\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E30}|409", "Test Things"},
      {kCounterKey + "\\Implemented Categories\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E30}", "<no value>"},
  };
  for (const auto &[key, value] : entries) EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, key), value) << key;
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
  ASSERT_EQ(export_of<HRESULT (*)()>("DllUnregisterServer")(), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, kCounterKey));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "PlatformTest.Counter.1"));
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, "CLSID"));
  void *p = nullptr;
  EXPECT_EQ(create(CLSID_TestCounter, nullptr, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
}

TEST_F(Com, CreatesThroughTheRegistryAndCountsReferences) {
  ITestCounter *c = nullptr;
  ASSERT_EQ(create(CLSID_TestCounter, nullptr, IID_ITestCounter, &c), S_OK);
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
  auto can_unload = export_of<HRESULT (*)()>("DllCanUnloadNow");
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
  EXPECT_EQ(create(unknown, nullptr, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(create(CLSID_TestCounter, nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(platform_error_text(static_cast<DWORD>(REGDB_E_CLASSNOTREG)), "Class not registered");
  // A class whose server file is missing, and one whose library has no
  // DllGetClassObject (a copy, so that the loader tests' own library stays
  // unloadable).
  const std::string copy = dir_.file("libNoFactory.so");
  testsupport::write_file(copy, testsupport::read_file(testsupport::bin_path("libPlatformTestLib.so")));
  const std::pair<std::string, HRESULT> servers[] = {
      {"/nonexistent/libGone.so", HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)}, {copy, CO_E_ERRORINDLL}};
  for (const auto &[path, hr] : servers) {
    HKEY k;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, (kCounterKey + "\\InprocServer32").c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &k, nullptr);
    platform_test::set_string(k, nullptr, path);
    RegCloseKey(k);
    EXPECT_EQ(create(CLSID_TestCounter, nullptr, IID_IUnknown, &p), hr) << path;
  }
  EXPECT_EQ(platform_error_text(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND))),
            "The specified module could not be found.");
}

// An outer object, for aggregation and as the owner of a stub.
struct Outer : IUnknown {
  LONG refs = 1;
  HRESULT QueryInterface(REFIID, void **object) override {
    *object = this;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override { return static_cast<ULONG>(--refs); }
};

// Late-bound calls.
class Dispatch : public Com {
 protected:
  void SetUp() override {
    Com::SetUp();
    ASSERT_EQ(create(CLSID_TestCounter, nullptr, IID_IDispatch, &counter_), S_OK);
  }
  void TearDown() override {
    if (counter_) counter_->Release();
    Com::TearDown();
  }
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
    if (flags == DISPATCH_PROPERTYPUT) params.rgdispidNamedArgs = &put, params.cNamedArgs = 1;
    const HRESULT hr = counter_->Invoke(id_of(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                        result, info, arg_error);
    for (VARIANT &v : reversed) VariantClear(&v);  // references are left alone
    return hr;
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
  VARIANT result = var(VT_EMPTY), v = var(VT_I2);
  // Property put and get; a 2-byte integer converts.
  v.iVal = 40;
  EXPECT_EQ(call(u"Value", DISPATCH_PROPERTYPUT, {v}), S_OK);
  EXPECT_EQ(call(u"Value", DISPATCH_PROPERTYGET, {}, &result), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 40);
  // Integer and float arguments with a result; a double for a float
  // parameter, as scripts send.
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {i4(2), r4(7.9f)}, &result), S_OK);
  EXPECT_EQ(result.lVal, 49);
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {i4(1), r8(3.0)}, &result), S_OK);
  EXPECT_EQ(result.lVal, 44);
  // BSTR put and get.
  EXPECT_EQ(call(u"Name", DISPATCH_PROPERTYPUT, {bstr(u"COM3")}), S_OK);
  EXPECT_EQ(call(u"Name", DISPATCH_PROPERTYGET, {}, &result), S_OK);
  EXPECT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(platform_bstr_to_utf8(result.bstrVal), "COM3");
  VariantClear(&result);
  // By-reference float, directly and through a script's (empty) VARIANT.
  float f = 1.5f;
  EXPECT_EQ(call(u"Scale", DISPATCH_METHOD, {r4(4), ref(VT_R4, &f)}), S_OK);
  EXPECT_EQ(f, 6.0f);
  VARIANT script_var = var(VT_EMPTY);
  EXPECT_EQ(call(u"Scale", DISPATCH_METHOD, {r4(2), ref(VT_VARIANT, &script_var)}), S_OK);
  EXPECT_EQ(script_var.vt, VT_R4);
  EXPECT_EQ(script_var.fltVal, 0.0f);
  // Ten parameters: integers past the registers and floats among them.
  LONG sum = 0;
  float fsum = 0;
  EXPECT_EQ(call(u"Many", DISPATCH_METHOD, {i4(1), i4(2), i4(3), i4(4), i4(5), i4(6), r4(10.5f), r4(0.25f),
                                            ref(VT_I4, &sum), ref(VT_R4, &fsum)}), S_OK);
  EXPECT_EQ(sum, 654321);
  EXPECT_EQ(fsum, 10.25f);
  // Two BSTRs in, one as the result.
  EXPECT_EQ(call(u"Concat", DISPATCH_METHOD, {bstr(u"Kesto"), bstr(u"Serial")}, &result), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(result.bstrVal), "KestoSerial");
  VariantClear(&result);
  // A BSTR by reference; an unassigned variable and a number passed for it.
  BSTR text = SysAllocString(u"abc");
  EXPECT_EQ(call(u"Reverse", DISPATCH_METHOD, {ref(VT_BSTR, &text)}), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(text), "cba");
  SysFreeString(text);
  const std::pair<VARIANT, const char *> variables[] = {{var(VT_EMPTY), ""}, {i4(321), "123"}};
  for (auto [in, reversed] : variables) {
    EXPECT_EQ(call(u"Reverse", DISPATCH_METHOD, {ref(VT_VARIANT, &in)}), S_OK);
    EXPECT_EQ(in.vt, VT_BSTR);
    EXPECT_EQ(platform_bstr_to_utf8(in.bstrVal), reversed);
    VariantClear(&in);
  }
  // A success code other than S_OK reaches the caller.
  EXPECT_EQ(call(u"Refuse", DISPATCH_METHOD, {}, &result), S_FALSE);
  EXPECT_EQ(result.lVal, -1);
}

TEST_F(Dispatch, Errors) {
  VARIANT result = var(VT_EMPTY), one = i4(1);
  UINT arg_error = 99;
  EXCEPINFO info;
  EXPECT_EQ(call(u"Fail", DISPATCH_METHOD, {}, nullptr, nullptr, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_ACCESSDENIED);
  // Wrong count, wrong type (the index counts from the last argument).
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {i4(1)}, &result), DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {i4(1), r4(1), i4(1)}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(call(u"Add", DISPATCH_METHOD, {bstr(u"many"), r4(1)}, &result, &arg_error), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_error, 1u);
  LONG wrong = 0;
  EXPECT_EQ(call(u"Scale", DISPATCH_METHOD, {r4(1), ref(VT_I4, &wrong)}, nullptr, &arg_error),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_error, 0u);
  // A put without the named argument, an unknown member, a put of a member
  // without one, a named argument to a method.
  DISPID named = 3;
  DISPPARAMS params = {&one, nullptr, 1, 0}, none = {nullptr, nullptr, 0, 0}, with_named = {&one, &named, 1, 1};
  const struct {
    DISPID id;
    WORD flags;
    DISPPARAMS *params;
    HRESULT hr;
  } cases[] = {{1, DISPATCH_PROPERTYPUT, &params, DISP_E_PARAMNOTOPTIONAL},
               {77, DISPATCH_METHOD, &none, DISP_E_MEMBERNOTFOUND},
               {5, DISPATCH_PROPERTYPUT, &params, DISP_E_MEMBERNOTFOUND},
               {2, DISPATCH_METHOD, &with_named, DISP_E_NONAMEDARGS}};
  for (const auto &c : cases)
    EXPECT_EQ(counter_->Invoke(c.id, IID_NULL, 0, c.flags, c.params, &result, nullptr, nullptr), c.hr) << c.id;
}

TEST_F(Registry, RegistrarScriptFeatures) {
  HKEY k;
  for (const char *key : {"Old\\Stale", "Gone"}) {
    RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegCloseKey(k);
  }
  const char *script = R"(HKCR {
  'Quoted Name' = s 'it''s %MODULE%, 100%%'
  ForceRemove Old = s 'fresh' { New }
  Delete Gone
  NoRemove Shared {
    val Count = d '0x10'
    val Bytes = b '00ff10'
    Mine { val Flag = d 7 }
    'MiscStatus' = s '0' { '1' = s '131473' }
  }
}
HKLM { NoRemove Software { Vendor = s 'v' } }
)";
  RegistrarReplacement r[] = {{"MODULE", "/opt/lib/libK.so"}};
  ASSERT_EQ(platform_registrar_register(script, r, 1), S_OK);
  const std::pair<std::string, std::string> entries[] = {
      {"Quoted Name", "it's /opt/lib/libK.so, 100%"}, {"Old", "fresh"}, {"Old\\New", "<no value>"},
      {"Old\\Stale", "<no key>"}, {"Gone", "<no key>"}, {"Shared\\MiscStatus", "0"},
      {"Shared\\MiscStatus\\1", "131473"}, {"Shared|Count", std::string("\x10\0\0\0", 4)},
      {"Shared|Bytes", std::string("\x00\xff\x10", 3)}};
  for (const auto &[key, value] : entries) EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, key), value) << key;
  EXPECT_EQ(reg_text(HKEY_LOCAL_MACHINE, "Software\\Vendor"), "v");

  // Removal: keys without NoRemove go whole, NoRemove keys keep the rest.
  RegCreateKeyExA(HKEY_CLASSES_ROOT, "Shared\\Other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  RegCloseKey(k);
  for (int pass = 0; pass < 2; ++pass) {  // the second finds nothing to remove
    ASSERT_EQ(platform_registrar_unregister(script, r, 1), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Quoted Name"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Old"));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, "Shared\\Other"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Shared\\Mine"));
    EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, "Shared|Count"), "<no value>");
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, "Software"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, "Software\\Vendor"));
  }
}

TEST_F(Registry, RegistrarReportsBadScripts) {
  const std::string at = "registrar: registration script, line ";
  const std::pair<const char *, std::string> cases[] = {
      {"HKCR {\n  A = s 'x'\n", at + "3: '}' missing at the end\n"},
      {"HKXX { }", at + "1: unknown root key 'HKXX'\n"},
      {"HKCR {\n A = q 'x' }", at + "2: unknown value type 'q'\n"},
      {"HKCR { A = s 'x }", at + "1: unterminated quoted text\n"},
      {"HKCR { A = s '%NOPE%' }", at + "1: no replacement for %NOPE%\n"},
      {"HKCR { A = d 'ten' }", at + "1: 'ten' is not a 32-bit number\n"},
      {"HKCR { val X = s 'y' }", at + "1: 'val' outside a key\n"},
  };
  for (const auto &[script, message] : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(platform_registrar_register(script, nullptr, 0), DISP_E_EXCEPTION) << script;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  }
  // Nothing of a bad script is written.
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "A"));
}

TEST_F(Registry, TypeLibEntriesWithoutAFile) {
  GUID libid;
  platform_guid_from_string("{14EDC21A-0DF9-485C-85A0-3235D12B86A0}", &libid);
  TypeLibInterface dual[] = {{&IID_ITestCounter, "ITestCounter"}};
  ASSERT_EQ(platform_typelib_register(libid, 1, 0, "Test 1.0 Type Library", "/opt/lib/libK.so", dual, 1), S_OK);
  const std::string base = "TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}\\1.0";
  const std::string itf = "Interface\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E20}";
  const std::pair<std::string, std::string> entries[] = {
      {base, "Test 1.0 Type Library"}, {base + "\\0\\win32", "/opt/lib/libK.so"}, {base + "\\HELPDIR", "/opt/lib"},
      {itf, "ITestCounter"}, {itf + "\\ProxyStubClsid32", "{00020424-0000-0000-C000-000000000046}"},
      {itf + "\\TypeLib|Version", "1.0"}};
  for (const auto &[key, value] : entries) EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, key), value) << key;
  ASSERT_EQ(platform_typelib_unregister(libid, 1, 0, dual, 1), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}"));
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, itf));
}

TEST_F(Registry, CategoriesRegisterAndRemove) {
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
  memcpy(info[0].szDescription, u"KestoLab Components", sizeof u"KestoLab Components");
  platform_guid_from_string("{850FE44A-8F45-4E1A-ACC1-7414BE11E9D4}", &info[1].catid);
  info[1].lcid = 0x409;
  memcpy(info[1].szDescription, u"Storage Engines", sizeof u"Storage Engines");
  ASSERT_EQ(cat->RegisterCategories(2, info), S_OK);
  const std::string first = "{CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}";
  EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, "Component Categories\\" + first + "|0"), "KestoLab Components");
  EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, "Component Categories\\{850FE44A-8F45-4E1A-ACC1-7414BE11E9D4}|409"),
            "Storage Engines");
  CATID impl[] = {info[0].catid}, both[] = {info[0].catid, info[1].catid};
  ASSERT_EQ(cat->RegisterClassImplCategories(CLSID_TestCounter, 1, impl), S_OK);
  ASSERT_EQ(cat->RegisterClassReqCategories(CLSID_TestCounter, 1, impl), S_OK);
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, kCounterKey + "\\Implemented Categories\\" + first));
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, kCounterKey + "\\Required Categories\\" + first));
  ASSERT_EQ(cat->UnRegisterClassImplCategories(CLSID_TestCounter, 1, impl), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, kCounterKey + "\\Implemented Categories"));
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, kCounterKey + "\\Required Categories"));
  ASSERT_EQ(cat->UnRegisterCategories(2, both), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Component Categories\\" + first));
  cat->Release();
  CoUninitialize();
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
  EXPECT_EQ(static_cast<IManyLike *>(p)->M1(1, 2, 3, 4, 5, 6, 7, 8, 1.0f, nullptr), E_NOTIMPL);
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
