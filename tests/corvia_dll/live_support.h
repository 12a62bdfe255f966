// Helpers for the end-to-end tests of the device side: the simulated front end corvia_sim in a private registry, and
// the values it sends, reproduced with the simamp library's device model.
#pragma once

#include <array>
// GCC 12 with the sanitizers reports a false maybe-uninitialized deep inside <regex>, which the tests that use these
// helpers use too.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "corvia.h"
#include "testsupport.h"

namespace live {

// The signals the simulator is told to make: by default a steady heart (no beat-to-beat variation), so that every beat
// gives the same rate.
struct Subject {
  uint64_t seed = 11;
  double hr = 72, resp = 20, hrv = 0, rsa = 0;
  std::vector<std::string> args(std::vector<std::string> extra = {}) const;
};

// A private registry file in `dir`, named in this process's environment (CORVIA_REGISTRY_FILE) so that the port map and
// the server's registration stay in it. The COM names COM1 to COM12, except `free_com`, name absent files, so that the
// port scan never touches the machine's own ports.
void private_registry(const testsupport::TempDir &dir, const std::string &free_com);

// corvia_sim on `com` making `subject`'s signals, with `extra` options.
struct Sim : testsupport::SimulatedFrontEnd {
  Sim(const testsupport::TempDir &dir, const std::string &com, const Subject &subject,
      const std::vector<std::string> &extra = {})
      : SimulatedFrontEnd(com, subject.args(extra), dir.file("registry.txt")) {}
};

// Environment and working folder for the programs of a test.
testsupport::RunOptions options_in(const testsupport::TempDir &dir, double timeout = 60);

// Channels C to H of the first `n` records the simulator sends, as the server delivers them, with a tolerance for the
// float rounding of its scaling.
struct Expected {
  std::vector<std::array<double, CORVIA_NUM_RAW_SIGNALS>> values;
  std::array<double, CORVIA_NUM_RAW_SIGNALS> tolerance;
};
Expected expected_signals(const Subject &subject, size_t n);
bool frame_matches(const corvia_data &frame, const Expected &e, size_t record);

std::vector<corvia_data> parse_frames(const std::string &bytes);

}  // namespace live
