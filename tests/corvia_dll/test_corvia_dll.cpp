// CorviaDLL against the KestoSerial server and the simulated front end: the port scan and its log, as capture_corvia
// meets them, and the library's life cycle called directly.
#include <chrono>
#include <thread>

#include "live_support.h"
#include "testsupport.h"
#include "win32.h"

namespace {

using namespace testsupport;

std::string tried(std::initializer_list<int> ports) {
  std::string s;
  for (int p : ports) s += "\n Trying to open COM port: COM" + std::to_string(p) + " ";
  return s;
}

const std::string log_start = "\n Corvia DLL log file\n\n ProcessDataFunction = [0-9]+ ";

struct ScanCase {
  const char *name;
  const char *sim_com;  // "" for no front end at all
  std::vector<std::string> args;
  int status;
  std::string log;  // a regular expression for the whole of CorviaLog.txt
  std::string err;  // expected in standard error
};

TEST(CorviaDllPortScan, FindsTheFrontEndInScanOrder) {
  const ScanCase cases[] = {
      {"on COM1 only", "COM1", {"--stop"}, 0, log_start + tried({3, 4, 5, 6, 7, 8, 1}) +
           "\n Corvia-10 Initialization completed succesfully...\n Device stopped",
       "capture_corvia exit\n"},
      {"nowhere", "", {"--die=5"}, 1,
       log_start + tried({3, 4, 5, 6, 7, 8, 1, 2, 9, 10, 11, 12}) + "\n No System Found...  ",
       "capture_corvia init...\ncapture_corvia error: the amplifier could not be initialised (InitCorviaDevice "
       "returned 65535): \"No System Found...\"\n"
       "capture_corvia error: see CorviaLog.txt in the working directory; check that the "
       "amplifier is switched on and connected, and that its serial port has a COM name from "
       "COM1 to COM12 (corvia_ports lists them)\n"},
  };
  for (const ScanCase &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    live::private_registry(dir, c.sim_com);
    std::unique_ptr<live::Sim> sim;
    if (*c.sim_com) {
      sim = std::make_unique<live::Sim>(dir, c.sim_com, live::Subject{});
      ASSERT_TRUE(sim->running()) << sim->err();
    }
    auto r = run(bin_path("capture_corvia"), c.args, "", live::options_in(dir));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    const std::string log = read_file(dir.file("CorviaLog.txt"));
    EXPECT_TRUE(std::regex_match(log, std::regex(c.log))) << log;
  }
}

typedef uint16_t (*init_function)(void (*)(int, int, float *));
typedef uint16_t (*start_stop_function)(void);

// The library's life cycle called directly (the records its callback gets are checked through capture_corvia in
// tests/capture_corvia): a start before the initialisation and a stopped device are refused; a null callback is
// accepted, the records then received and dropped.
TEST(CorviaDllLifecycle, StartStopAndTheirRefusals) {
  TempDir dir;
  live::private_registry(dir, "COM4");
  auto sim = std::make_unique<live::Sim>(dir, "COM4", live::Subject{});
  ASSERT_TRUE(sim->running()) << sim->err();
  InFolder in(dir.path());
  // Loaded after the registry is named: the library registers the server there when it is loaded. It stays loaded, as
  // in capture_corvia.
  HMODULE dll = LoadLibraryA("CorviaDLL.dll");
  ASSERT_NE(dll, nullptr) << platform_error_text(GetLastError());
  auto init = (init_function)(void *)GetProcAddress(dll, "InitCorviaDevice");
  auto start = (start_stop_function)(void *)GetProcAddress(dll, "StartCorviaDevice");
  auto stop = (start_stop_function)(void *)GetProcAddress(dll, "StopCorviaDevice");
  ASSERT_TRUE(init && start && stop);
  EXPECT_EQ(start(), 0xFFFF);
  EXPECT_EQ(read_file("CorviaLog.txt"), "\n Start not executed; device is not valid");
  ASSERT_EQ(init(nullptr), 0) << read_file("CorviaLog.txt");
  EXPECT_EQ(start(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(stop(), 0);
  // A stopped device has let go of the server: neither a second stop nor a start may use it.
  EXPECT_EQ(stop(), 0xFFFF);
  EXPECT_EQ(start(), 0xFFFF);
  const std::string log = read_file("CorviaLog.txt");
  EXPECT_TRUE(std::regex_match(log, std::regex(log_start + tried({3, 4}) +
                      "\n Corvia-10 Initialization completed succesfully...\n Corvia-10 "
                      "10000042 Started\n Device stopped\n Stop not executed; device is not "
                      "valid\n Start not executed; device is not valid")))
      << log;
  // The amplifier gone, a new initialisation fails and gives back only what it holds itself.
  sim.reset();
  EXPECT_EQ(init(nullptr), 0xFFFF);
}

}  // namespace
