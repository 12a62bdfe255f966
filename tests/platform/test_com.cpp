// COM: GUIDs, BSTRs, VARIANTs, apartments, creation failures, the registrar and the category manager (type-library
// entries and the stub interfaces are met through the server).
#include <thread>

#include "platform_test.h"
#include "variants.h"

namespace {

using namespace platform_test;
using namespace variants;
// {6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}: a class of these tests only.
const CLSID kClass = {0x6C1B3A52, 0x0F4E, 0x4D7A, {0x9C, 0x1E, 0x2B, 0x7F, 0x0A, 0x9D, 0x4E, 0x11}};
const std::string kClassKey = "CLSID\\{6C1B3A52-0F4E-4D7A-9C1E-2B7F0A9D4E11}";

TEST(Guid, PrintParseAndFreshGuids) {
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
    ASSERT_EQ(a, b);
    ASSERT_EQ(CoCreateGuid(&b), S_OK);
    ASSERT_NE(a, b);
  }
}

TEST(Bstr, AllocationLengthsAndConversions) {
  BSTR s = SysAllocString(u"COM3");
  uint32_t prefix;
  memcpy(&prefix, reinterpret_cast<char *>(s) - 4, 4);
  EXPECT_EQ(std::make_tuple(prefix, SysStringLen(s), SysStringByteLen(s), s[4]), std::make_tuple(8u, 4u, 8u, u'\0'));
  EXPECT_TRUE(SysReAllocStringLen(&s, u"COM10", 5));
  EXPECT_TRUE(SysReAllocStringLen(&s, s + 3, 2));  // from its own text
  EXPECT_EQ(platform_bstr_to_utf8(s), "10");
  SysFreeString(s);
  SysFreeString(nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  s = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(s), 3u);
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
      {text(" 42"), VT_I4, S_OK, 42},
      {text("COM3"), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {ref(VT_I4, &target), VT_R4, S_OK, 9},  // through a reference
  };
  for (auto c : cases) {
    VARIANT out = var(VT_EMPTY);
    EXPECT_EQ(VariantChangeType(&out, &c.in, 0, c.to), c.hr);
    EXPECT_TRUE(c.hr != S_OK || (out.vt == c.to && (c.to == VT_I4 ? out.lVal : out.fltVal) == c.value)) << c.value;
    VariantClear(&c.in);  // references are left alone
  }
  VARIANT in = var(VT_I4, 115200), out = var(VT_EMPTY), copy = var(VT_EMPTY);
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_BSTR), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(out.bstrVal), "115200");
  ASSERT_EQ(VariantCopy(&copy, &out), S_OK);
  EXPECT_NE(copy.bstrVal, out.bstrVal);
  EXPECT_EQ(platform_bstr_to_utf8(copy.bstrVal), "115200");
  VariantClear(&copy);
  VariantClear(&out);
  EXPECT_EQ(out.vt, VT_EMPTY);
  // In place: the text is released, the number stays.
  in = text("17");
  ASSERT_EQ(VariantChangeType(&in, &in, 0, VT_I4), S_OK);
  EXPECT_TRUE(in.vt == VT_I4 && in.lVal == 17);
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

// Creation failures, on a class entered by hand: late-bound calls and a server's life cycle are met through the
// KestoSerial server in its tests.
TEST_F(Registry, CreationFailuresGiveWindowsResults) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  auto create = [](void **object, DWORD context = CLSCTX_INPROC_SERVER) {
    return CoCreateInstance(kClass, nullptr, context, IID_IUnknown, object);
  };
  void *p = reinterpret_cast<void *>(1);
  EXPECT_EQ(create(&p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(create(nullptr), E_POINTER);
  // A server file that is missing, a library without DllGetClassObject (a copy, so that the loader tests' own library
  // stays unloadable), and a class asked for out of process.
  const std::string copy = dir_.file("libNoFactory.so");
  testsupport::write_file(copy, testsupport::read_file(testsupport::bin_path("libPlatformTestLib.so")));
  const std::pair<std::string, HRESULT> servers[] = {
      {"/nonexistent/libGone.so", HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)}, {copy, CO_E_ERRORINDLL}};
  for (const auto &[path, hr] : servers) {
    HKEY k = create_key(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32");
    set_string(k, nullptr, path);
    RegCloseKey(k);
    EXPECT_EQ(create(&p), hr) << path;
  }
  EXPECT_EQ(create(&p, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);
  CoUninitialize();
}

TEST_F(Registry, RegistrarScriptFeatures) {
  for (const char *key : {"Old\\Stale", "Gone"}) RegCloseKey(create_key(HKEY_CLASSES_ROOT, key));
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
  RegCloseKey(create_key(HKEY_CLASSES_ROOT, "Shared\\Other"));
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

// A method that fails, in the first slot after IUnknown's; also the outer object of a refused aggregation.
struct Refuser : IUnknown {
  HRESULT QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  virtual HRESULT Refuse() { return E_ACCESSDENIED; }
};

// What the server does not use: the required categories and removing categories; aggregation is refused.
TEST_F(Registry, CategoriesRegisterAndRemove) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  Refuser outer;
  void *p = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            CLASS_E_NOAGGREGATION);
  ICatRegister *cat = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ICatRegister, reinterpret_cast<void **>(&cat)), S_OK);
  CATEGORYINFO info = {};
  const std::string key = "Component Categories\\{850FE44A-8F45-4E1A-ACC1-7414BE11E9D4}";
  platform_guid_from_string(key.c_str() + 21, &info.catid);
  info.lcid = 0x409;
  memcpy(info.szDescription, u"Storage Engines", sizeof u"Storage Engines");
  ASSERT_EQ(cat->RegisterCategories(1, &info), S_OK);
  EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, key + "|409"), "Storage Engines");
  ASSERT_EQ(cat->RegisterClassReqCategories(kClass, 1, &info.catid), S_OK);
  EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, kClassKey + "\\Required Categories\\" + key.substr(21)));
  ASSERT_EQ(cat->UnRegisterCategories(1, &info.catid), S_OK);
  EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, key));
  cat->Release();
  CoUninitialize();
}

// Late-bound calls are met through the KestoSerial server; its members never fail, so a failure's way back is tried
// here.
TEST(Dispatch, AFailureComesBackAsAnException) {
  const DispatchMember members[] = {{"Refuse", 1, DISPATCH_METHOD, 3, 0, {}, VT_EMPTY}};
  const DispatchTable table = {members, 1};
  Refuser refuser;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXCEPINFO info;
  EXPECT_EQ(platform_dispatch_invoke(table, static_cast<IUnknown *>(&refuser), 1, DISPATCH_METHOD, &none, nullptr,
                                     &info, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_ACCESSDENIED);
}

}  // namespace
