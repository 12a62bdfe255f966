// corvia_ports: listing, setting and removing COM names, and its errors, as one session on a private registry file.
#include "testsupport.h"

namespace {

using namespace testsupport;

struct PortsCase {
  std::vector<std::string> args;
  const char *cwd;  // "" for the test's own
  int status;
  std::string out;  // expected at the start of standard output
  std::string err;  // expected at the start of standard error
  const char *registry = nullptr;  // written to the registry file first
};

TEST(CorviaPorts, ListSetRemoveAndErrors) {
  TempDir dir;
  const std::string reg = dir.file("registry.txt");
  const std::string header = "port map in " + reg + ":\n";
  const std::string e = "corvia_ports error: ";
  const PortsCase cases[] = {
      {{}, "", 0, header + "  (no entries)\n", ""},
      {{"set", "com3", "/dev/null"}, "", 0, "corvia_ports: COM3 is /dev/null\n", ""},
      // A relative name is stored as the absolute path.
      {{"set", "COM12", "zero"}, "/dev", 0, "corvia_ports: COM12 is /dev/zero\n", ""},
      {{"list"}, "", 0, header + "  COM3   /dev/null  present\n  COM12  /dev/zero  present\n", ""},
      // One device has one COM name.
      {{"set", "COM4", "/dev/zero"}, "", 0, "corvia_ports: /dev/zero was COM12\ncorvia_ports: COM4 is /dev/zero\n", ""},
      {{"set", "COM5", dir.file("ttyUSB7")}, "", 1, "",
       e + dir.file("ttyUSB7") + ": missing (No such file or directory)\n"},
      {{"set", "COM5", dir.path()}, "", 1, "", e + dir.path() + ": not a serial device\n"},
      {{"set", "LPT1", "/dev/null"}, "", 1, "", e + "'LPT1' is not a COM name (COM1 to COM255)\n"},
      {{"set", "COM256", "/dev/null"}, "", 1, "", e + "'COM256' is not a COM name (COM1 to COM255)\n"},
      {{"set", "COM0", "/dev/null"}, "", 1, "", e + "'COM0' is not a COM name (COM1 to COM255)\n"},
      {{"set", "COM5"}, "", 1, "", e + "set takes 2 arguments, not 1 (see --help)\n"},
      {{"remove", "COM12"}, "", 1, "", e + "COM12 is not in the port map\n"},
      {{"remove", "COM3", "COM4"}, "", 1, "", e + "remove takes 1 argument, not 2 (see --help)\n"},
      {{"remove", "com3"}, "", 0, "corvia_ports: COM3 removed\n", ""},
      {{}, "", 0, header + "  COM4   /dev/zero  present\n", ""},
      {{"frob"}, "", 1, "", e + "unknown command 'frob' (list, set or remove; see --help)\n"},
      {{"--bogus"}, "", 1, "", ""},
      {{"-h"}, "", 0, "", "\ncorvia_ports - the COM port map"},
      // A damaged registry file is named, not taken for an empty map.
      {{"list"}, "", 1, "", "registry: " + reg + " is corrupt (line 1)\n" + e + "cannot read the port map: " + reg + ": ",
       "this is no registry\n"},
  };
  for (const PortsCase &c : cases) {
    std::string shown;
    for (const auto &a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    if (c.registry) write_file(reg, c.registry);
    auto r = run(bin_path("corvia_ports"), c.args, "", {c.cwd, {{"CORVIA_REGISTRY_FILE", reg}}});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    if (c.status == 0) {
      EXPECT_EQ(r.err.empty(), c.err.empty()) << r.err;
    }
  }
}

}  // namespace
