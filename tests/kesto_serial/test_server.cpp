// The KestoSerial server through COM: registration, creation and unloading, and the ISerialSource members against
// corvia_sim (what reaches a client's ReceiveBlock is checked in test_threads.cpp, the values end to end in
// tests/capture_corvia, the decoding in tests/kesto_frontend).
#include <dlfcn.h>

#include "kesto_test.h"
#include "platform_test.h"
#include "variants.h"

using namespace kesto_test;
using namespace variants;
using platform_test::reg_text;

// A stand-in for the reserved and control interfaces: their first method. Declared outside the unnamed namespace: an
// interface known to have no implementation in this file would let the compiler bind its calls to the pure-virtual
// handler.
struct FirstMethod : IUnknown {
  STDMETHOD(First)() PURE;
};

namespace {

const std::string kClsidKey = "CLSID\\{4F0A475A-2690-47BC-8777-A5B6BD6FD978}";

// Every interface answered leads back to the same identity; the stubs' methods answer E_NOTIMPL. Calls through the
// stubs are no C++ objects.
PLATFORM_NO_SANITIZE_VPTR void check_interfaces(ISerialSource *s, IUnknown *identity) {
  for (const IID *iid : {&IID_ISerialSource, &IID_IDispatch, &IID_IFrontEndCommand, &IID_IAcqDataNode,
                         &IID_IAcqDataSource, &IID_IAcqReserved, &IID_IViewObjectEx, &IID_IOleObject,
                         &IID_IPersistStreamInit, &IID_IPersist, &IID_IQuickActivate, &IID_IDataObject,
                         &IID_IProvideClassInfo2}) {
    IUnknown *p = nullptr, *back = nullptr;
    ASSERT_EQ(s->QueryInterface(*iid, reinterpret_cast<void **>(&p)), S_OK) << platform_guid_to_string(*iid);
    ASSERT_EQ(p->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&back)), S_OK);
    EXPECT_EQ(back, identity);
    const ULONG refs = back->Release();
    EXPECT_EQ(p->AddRef(), refs + 1);  // the stubs count on their owner too
    p->Release();
    if (iid == &IID_IAcqReserved || iid == &IID_IOleObject) {
      EXPECT_EQ(static_cast<FirstMethod *>(p)->First(), E_NOTIMPL);
    }
    p->Release();
  }
}

}  // namespace

TEST_F(Registered, RegistersTheScriptCategoriesAndTypeLibraryAndRemovesThem) {
  const std::string path = server_path();
  const std::pair<std::string, std::string> entries[] = {  // "KEY|NAME" or "KEY" for its default value
      {"KestoSerial.SerialSource.1", "SerialSource Class"},
      {"KestoSerial.SerialSource.1\\CLSID", "{4F0A475A-2690-47BC-8777-A5B6BD6FD978}"},
      {"KestoSerial.SerialSource", "SerialSource Class"},
      {"KestoSerial.SerialSource\\CurVer", "KestoSerial.SerialSource.1"},
      {kClsidKey, "SerialSource Class"},
      {kClsidKey + "\\ProgID", "KestoSerial.SerialSource.1"},
      {kClsidKey + "\\VersionIndependentProgID", "KestoSerial.SerialSource"},
      {kClsidKey + "\\InprocServer32", path},
      {kClsidKey + "\\InprocServer32|ThreadingModel", "Apartment"},
      {kClsidKey + "\\ToolboxBitmap32", path + ", 102"},
      {kClsidKey + "\\MiscStatus", "0"},
      {kClsidKey + "\\MiscStatus\\1", "131473"},
      {kClsidKey + "\\TypeLib", "{14EDC21A-0DF9-485C-85A0-3235D12B86A0}"},
      {kClsidKey + "\\Version", "1.0"},
      {kClsidKey + "\\Programmable", "<no value>"},
      {kClsidKey + "\\Implemented Categories\\{26B4EF52-EC1E-414E-81AB-0047CFD4DFAD}", "<no value>"},
      {"Component Categories\\{CDC571B0-CB9C-4F94-A09B-C80390ADF5CF}|0", "KestoLab Components"},
      {"Component Categories\\{850FE44A-8F45-4E1A-ACC1-7414BE11E9D4}|0", "Storage Engines"},
      {"TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}\\1.0", "KestoSerial 1.0 Type Library"},
      {"TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}\\1.0\\0\\win32", path},
      {"TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}\\1.0\\HELPDIR", path.substr(0, path.rfind('/'))},
      {"Interface\\{E5CCBE7C-AE20-4EC2-9A12-1232B4B8E464}", "ISerialSource"},
      {"Interface\\{E5CCBE7C-AE20-4EC2-9A12-1232B4B8E464}\\ProxyStubClsid32", "{00020424-0000-0000-C000-000000000046}"},
      {"Interface\\{E5CCBE7C-AE20-4EC2-9A12-1232B4B8E464}\\TypeLib|Version", "1.0"},
  };
  for (const auto &[key, value] : entries) EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, key), value) << key;

  ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, "DllUnregisterServer"))(), S_OK);
  for (const std::string gone : {"KestoSerial.SerialSource.1", "KestoSerial.SerialSource", kClsidKey.c_str(),
                                 "TypeLib\\{14EDC21A-0DF9-485C-85A0-3235D12B86A0}",
                                 "Interface\\{E5CCBE7C-AE20-4EC2-9A12-1232B4B8E464}"})
    EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, gone), "<no key>") << gone;
  EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, "CLSID"), "<no value>");  // never removed
  ISerialSource *s = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_SerialSource, nullptr, CLSCTX_INPROC_SERVER, IID_ISerialSource,
                             reinterpret_cast<void **>(&s)), REGDB_E_CLASSNOTREG);
}

TEST_F(Registered, AnswersEveryInterfaceWithOneIdentityAndCountsReferences) {
  ISerialSource *s = create<ISerialSource>(IID_ISerialSource);
  ASSERT_NE(s, nullptr);
  IUnknown *identity = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
  check_interfaces(s, identity);
  void *none = reinterpret_cast<void *>(1);
  EXPECT_EQ(s->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  identity->Release();
  auto can_unload = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, "DllCanUnloadNow"));
  EXPECT_EQ(can_unload(), S_FALSE);
  EXPECT_EQ(s->Release(), 0u);
  EXPECT_EQ(can_unload(), S_OK);
  // A factory held keeps the server too.
  IClassFactory *f = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_SerialSource, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void **>(&f)), S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  f->Release();
  EXPECT_EQ(can_unload(), S_OK);
  // Aggregation: only the inner IUnknown may be asked for.
  IUnknown *inner = nullptr;
  Client outer;
  EXPECT_EQ(CoCreateInstance(CLSID_SerialSource, &outer, CLSCTX_INPROC_SERVER, IID_ISerialSource,
                             reinterpret_cast<void **>(&inner)), CLASS_E_NOAGGREGATION);
}

TEST_F(Registered, UnloadsWhileNothingIsAliveEvenAfterItsThreadsRan) {
  Sim sim("COM21", {}, registry());
  {
    Source src(create<ISerialSource>(IID_ISerialSource));
    ASSERT_EQ(src.port("COM21"), S_OK);
    ASSERT_EQ(src.source->Start(0, 0, 0), S_OK);
    sleep_ms(100);
    ASSERT_EQ(src.source->Stop(), S_OK);
  }
  FreeLibrary(module_);
  module_ = nullptr;
  CoFreeUnusedLibraries();
  // No thread of the server is left to run its code once it is unmapped.
  EXPECT_EQ(dlopen(server_path().c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

// Late-bound calls as a script makes them, through the platform's dispatcher: names, conversions, [out] parameters
// given directly or as a script's variables, results and every refusal.
TEST_F(Registered, DispatchesTheCatalogueLikeAScript) {
  Sim sim("COM22", {"--serial=1234567890"}, registry());
  IDispatch *s = create<IDispatch>(IID_IDispatch);
  const std::pair<const char16_t *, DISPID> names[] = {
      {u"Caption", -518}, {u"comport", 24}, {u"InitilizeSerialPortAndFrontend", 1}, {u"FrontendId", 6},
      {u"SampleRate", 25}, {u"GetStationairSampleRecords", 26}, {u"TestAlive", 23}, {u"NoSuchMember", DISPID_UNKNOWN}};
  for (const auto &[name, id] : names) {
    LPOLESTR p = const_cast<LPOLESTR>(name);
    DISPID got = 0;
    s->GetIDsOfNames(IID_NULL, &p, 1, 0, &got);
    EXPECT_EQ(got, id);
  }
  LPOLESTR two[] = {const_cast<LPOLESTR>(u"Nope"), const_cast<LPOLESTR>(u"Test")};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(s->GetIDsOfNames(IID_NULL, two, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::make_pair(ids[0], ids[1]), std::make_pair(DISPID_UNKNOWN, DISPID_UNKNOWN));
  // Arguments in order (the call reverses them); a put names its argument.
  auto call = [&](DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT *result = nullptr,
                  UINT *arg_error = nullptr, EXCEPINFO *info = nullptr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) params.rgdispidNamedArgs = &put, params.cNamedArgs = 1;
    const HRESULT hr = s->Invoke(id, IID_NULL, 0, flags, &params, result, info, arg_error);
    for (VARIANT &v : reversed) VariantClear(&v);  // references are left alone
    return hr;
  };
  VARIANT result = var(VT_EMPTY);
  // A double for a float, a 2-byte integer for a LONG; the results' types.
  EXPECT_EQ(call(25, DISPATCH_PROPERTYPUT, {r8(512.0)}), S_OK);
  EXPECT_EQ(call(25, DISPATCH_PROPERTYGET, {}, &result), S_OK);
  EXPECT_EQ(std::make_pair(result.vt, result.fltVal), std::make_pair(VARTYPE(VT_R4), 512.0f));
  EXPECT_EQ(call(22, DISPATCH_PROPERTYPUT, {var(VT_I2, -1)}), S_OK);
  EXPECT_EQ(call(22, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, &result), S_OK);
  EXPECT_EQ(std::make_pair(result.vt, result.lVal), std::make_pair(VARTYPE(VT_I4), LONG(-3)));  // no port
  // Text in and out, then the front end it opened.
  EXPECT_EQ(call(24, DISPATCH_PROPERTYPUT, {text("22")}), S_OK);
  EXPECT_EQ(call(24, DISPATCH_PROPERTYGET, {}, &result), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(result.bstrVal), "COM22");
  EXPECT_EQ(reported(call(6, DISPATCH_PROPERTYGET, {}, &result), result.lVal), Reported(S_OK, 1234));
  // [out] parameters: directly, through an unassigned variable and through one holding text; a success other than S_OK
  // reaches the caller.
  LONG err = 99;
  EXPECT_EQ(reported(call(12, DISPATCH_METHOD, {ref(VT_I4, &err)}), err), Reported(S_OK, 0));
  VARIANT unassigned = var(VT_EMPTY), number = text("7");
  EXPECT_EQ(call(12, DISPATCH_METHOD, {ref(VT_VARIANT, &unassigned)}), S_OK);
  EXPECT_EQ(std::make_pair(unassigned.vt, unassigned.lVal), std::make_pair(VARTYPE(VT_I4), LONG(0)));
  EXPECT_EQ(call(12, DISPATCH_METHOD, {ref(VT_VARIANT, &number)}), S_OK);
  EXPECT_EQ(std::make_pair(number.vt, number.lVal), std::make_pair(VARTYPE(VT_I4), LONG(0)));
  LONG n = 0;
  float values[14];
  EXPECT_EQ(reported(call(26, DISPATCH_METHOD, {ref(VT_I4, &n), ref(VT_R4, values)}), n), Reported(S_FALSE, -1));
  // Eight parameters: integers past the registers.
  LONG len = 4, high = 0, word[4] = {}, status = 0;
  EXPECT_EQ(call(18, DISPATCH_METHOD, {var(VT_I4, 9), var(VT_I4), var(VT_I4), var(VT_I4), ref(VT_I4, &len),
                                       ref(VT_I4, &high), ref(VT_I4, word), ref(VT_I4, &status)}), S_FALSE);
  EXPECT_EQ(std::make_pair(len, status), std::make_pair(LONG(0), LONG(-1)));
  // Refusals; the index of a bad argument counts from the last.
  VARIANT letters = text("abc");
  float f = 0;
  const struct {
    DISPID id;
    WORD flags;
    std::vector<VARIANT> args;
    HRESULT hr;
    UINT arg_error;
  } cases[] = {
      {12, DISPATCH_METHOD, {}, DISP_E_PARAMNOTOPTIONAL, 99},
      {12, DISPATCH_METHOD, {ref(VT_I4, &err), var(VT_I4)}, DISP_E_BADPARAMCOUNT, 99},
      {3, DISPATCH_METHOD, {text("many"), ref(VT_I4, &err)}, DISP_E_TYPEMISMATCH, 1},
      {12, DISPATCH_METHOD, {ref(VT_R4, &f)}, DISP_E_TYPEMISMATCH, 0},
      {12, DISPATCH_METHOD, {ref(VT_VARIANT, &letters)}, DISP_E_TYPEMISMATCH, 0},
      {22, DISPATCH_PROPERTYPUT, {r8(1e12)}, DISP_E_OVERFLOW, 0},
      {77, DISPATCH_METHOD, {}, DISP_E_MEMBERNOTFOUND, 99},
      {4, DISPATCH_PROPERTYPUT, {var(VT_I4)}, DISP_E_MEMBERNOTFOUND, 99},
  };
  for (const auto &c : cases) {
    UINT arg_error = 99;
    EXPECT_EQ(call(c.id, c.flags, c.args, &result, &arg_error), c.hr) << c.id;
    EXPECT_EQ(arg_error, c.arg_error) << c.id;
  }
  VariantClear(&letters);
  // A put without its named argument, a named argument to a method.
  VARIANT one = var(VT_I4, 1);
  DISPID named = 3;
  DISPPARAMS unnamed = {&one, nullptr, 1, 0}, with_named = {&one, &named, 1, 1};
  EXPECT_EQ(s->Invoke(22, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(s->Invoke(12, IID_NULL, 0, DISPATCH_METHOD, &with_named, nullptr, nullptr, nullptr), DISP_E_NONAMEDARGS);
  VariantClear(&result);
  s->Release();
}

// Port names, the identification, raw exchanges and the refusals of bad arguments, then the release of the port.
TEST_F(Registered, NormalisesPortNamesIdentifiesAndExchangesRawCommands) {
  Sim sim("COM3", {"--serial=1234567890"}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  LONG v = 0;
  const struct {
    const char *given;
    HRESULT hr;
    const char *stored;
  } cases[] = {{"com3", S_OK, "COM3"}, {"3", S_OK, "COM3"}, {"0", S_FALSE, "0"}, {"", S_FALSE, ""},
               {"COM99", S_FALSE, "COM99"}};
  for (const auto &c : cases) {
    EXPECT_EQ(src.port(c.given), c.hr) << c.given;
    BSTR b = nullptr;
    ASSERT_EQ(src.serial->get_ComPort(&b), S_OK);
    EXPECT_EQ(platform_bstr_to_utf8(b), c.stored);
    SysFreeString(b);
    EXPECT_EQ(src.serial->get_FrontendSerialNumber(&v), c.hr) << c.given;
    EXPECT_EQ(v, c.hr == S_OK ? 1234567890 : -1);
  }
  EXPECT_EQ(src.serial->put_ComPort(nullptr), E_FAIL);
  ASSERT_EQ(src.port("3"), S_OK);
  LONG id = 0, channels = 0, err = 5;
  EXPECT_TRUE(src.serial->get_FrontendId(&id) == S_OK && src.serial->get_FrontendNrOfChannels(&channels) == S_OK);
  EXPECT_EQ(id * 100 + channels, 1234 * 100 + 14);
  EXPECT_EQ(src.serial->get_FrontendNrOfChannels(nullptr), S_FALSE);
  BSTR caption = nullptr;
  ASSERT_EQ(src.serial->get_Caption(&caption), S_OK);
  EXPECT_EQ(platform_bstr_to_utf8(caption), "Corvia-10");  // the device name from table 0
  SysFreeString(caption);
  // Identify (5), awaiting its 16-word reply (2): the serial number in words 4-5.
  LONG n = 40, nothing = 0, words[254] = {};
  ASSERT_EQ(src.serial->TestBlock(5, 2, 0, &n, &nothing, words), S_OK);
  EXPECT_EQ(std::make_pair(n, words[4] | words[5] << 16), std::make_pair(LONG(16), LONG(1234567890)));
  IFrontEndCommand *cmd = nullptr;
  ASSERT_EQ(src.serial->QueryInterface(IID_IFrontEndCommand, reinterpret_cast<void **>(&cmd)), S_OK);
  BYTE reply[32] = {};
  ASSERT_EQ(cmd->SendCommand(5, 0, nullptr, 2, 32, reply), S_OK);
  EXPECT_EQ(reply[8] | reply[9] << 8 | reply[10] << 16 | reply[11] << 24, 1234567890);
  LONG big = 255, none = 5;
  ACQ_OUTPUT out = nullptr;
  src.node->AddClient(0, 0, nullptr, FALSE, &out);
  AcqSignalFormat huge = {};
  huge.channels = 100000;
  AcqSignalFormat *f = nullptr;
  BSTR bstr = nullptr;
  const struct {
    const char *what;
    HRESULT got, want;
  } refusals[] = {
      {"TestBlock of 255 words", src.serial->TestBlock(5, 2, 255, &big, &nothing, words), S_FALSE},
      {"TestBlock without a buffer", src.serial->TestBlock(5, 2, 0, &none, &nothing, nullptr), S_FALSE},
      {"SendCommand of 600 bytes", cmd->SendCommand(5, 600, words, 2, 0, nullptr), E_FAIL},
      {"SendCommand of -1 reply bytes", cmd->SendCommand(5, 0, nullptr, 2, -1, reply), E_FAIL},
      {"records without a count", src.serial->GetStationairSampleRecords(nullptr, nullptr), E_POINTER},
      {"a format of 100000 channels", src.node->SetPinFormat(0, 1, &huge), E_INVALIDARG},
      {"an input's format", src.node->SetPinFormat(0, 0, &huge), E_INVALIDARG},
      {"output 1's formats", src.node->GetPinFormats(1, 1, &f, &f), E_INVALIDARG},
      {"no output handle", src.node->GetOutputFormat(nullptr, &f), E_FAIL},
      {"channel 99", src.source->SetChannel(99, 0, nullptr, nullptr), E_INVALIDARG},
      {"channel -1", src.source->GetChannel(-1, nullptr, &bstr, nullptr, nullptr), E_INVALIDARG},
      {"a command without client status", src.node->ClientCommand(out, 1, 2, 3), E_NOTIMPL},
      {"a command to no output", src.node->ClientCommand(&huge, 1, 2, 3), E_FAIL},
  };
  for (const auto &c : refusals) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(std::make_pair(big, none), std::make_pair(LONG(-1), LONG(-1)));
  testing::internal::CaptureStderr();
  EXPECT_EQ(src.node->Connect(nullptr, 0, 0), E_FAIL);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Failed to disconnect\n");
  cmd->Release();
  EXPECT_EQ(reported(src.serial->ReleaseSerialPort(&err), err), Reported(S_OK, 0));
  EXPECT_EQ(src.serial->get_FrontendSerialNumber(&v), S_FALSE);
}

TEST_F(Registered, StartsAndStopsWithAndWithoutAPort) {
  Sim sim("COM23", {}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  LONG err = 7, n = 0, test = 0;
  float records[4 * 14];
  EXPECT_EQ(reported(src.serial->StartAcq(nullptr, &err), err), Reported(S_FALSE, -1));
  EXPECT_EQ(reported(src.serial->StopAcq(&err), err), Reported(S_OK, 1));
  EXPECT_EQ(reported(src.serial->GetStationairSampleRecords(&n, records), n), Reported(S_FALSE, -1));
  // Without a port a rate is taken as given (the rounding to the front end's rates is checked in the link's tests).
  float rate = 0;
  EXPECT_EQ(src.serial->put_SampleRate(700), S_OK);
  src.serial->get_SampleRate(&rate);
  EXPECT_EQ(rate, 700.0f);
  ASSERT_EQ(src.port("COM23"), S_OK);
  EXPECT_EQ(reported(src.serial->StartAcq(nullptr, &err), err), Reported(S_OK, 0));
  EXPECT_EQ(reported(src.serial->get_Test(&test), test), Reported(S_OK, -2));  // acquiring
  EXPECT_EQ(src.serial->put_SampleRate(512), S_FALSE);  // refused while acquiring
  sleep_ms(100);
  // Records straight from the ring: the saw channel counts up by one.
  n = 4;
  ASSERT_EQ(src.serial->GetStationairSampleRecords(&n, records), S_OK);
  ASSERT_EQ(n, 4);
  for (int r = 1; r < 4; ++r)
    EXPECT_EQ(std::fmod(records[r * 14 + 11] - records[(r - 1) * 14 + 11] + 256, 256.0f), 1.0f);
  EXPECT_EQ(reported(src.serial->StopAcq(&err), err), Reported(S_OK, 0));
}

TEST_F(Registered, KeepsAliveInStateTwoAndReleasesThePortAfterTheTimeOut) {
  Sim sim("COM25", {"--mute-after=600"}, registry());  // a silence never reached
  Source src(create<ISerialSource>(IID_ISerialSource));
  LONG alive = 0, err = 0, v = 0;
  ASSERT_EQ(src.port("COM25"), S_OK);
  sleep_ms(600);
  // State 1 after opening: no keep-alives.
  EXPECT_EQ(reported(src.serial->get_TestAlive(&alive), alive), Reported(S_OK, 0));
  src.serial->StopAcq(&err);  // state 2
  sleep_ms(1600);
  src.serial->get_TestAlive(&alive);
  EXPECT_GE(alive, 3);
  EXPECT_LE(alive, 5);
  // No KeepSerialPortInUse call for 300 ms: the worker closes the port.
  ASSERT_EQ(src.serial->put_TestAlive(300), S_OK);
  sleep_ms(700);
  EXPECT_EQ(reported(src.serial->get_TestAlive(&alive), alive), Reported(S_OK, -1));
  EXPECT_EQ(src.serial->get_FrontendSerialNumber(&v), S_FALSE);
}
