// Event files, map files and the class lookup.
#include <utility>

#include "corvia.h"
#include "recording.h"
#include "rel_time.h"
#include "testsupport.h"

namespace {

rel_time at(long double t) { return long_double_to_rel_time(t); }
eventmap *create(const rec::labelling &f) { return eventmap_create_from_files(f.events.c_str(), f.map.c_str()); }

TEST(EventMap, ClassesStartStrictlyAfterTheirEventPlusOffset) {
  std::string many_ev, many_map = "0\r\n";
  std::vector<std::pair<long double, int>> many;
  for (int i = 0; i < 45; ++i) {
    many_ev += std::to_string(100 + i) + " ev" + std::to_string(i) + "\r\n";
    many_map += "ev" + std::to_string(i) + " + 0.5\r\n" + std::to_string(i + 1) + "\r\n\r\n";
    many.push_back({100 + i + 0.5L, i});
    many.push_back({100 + i + 0.6L, i + 1});
  }
  const struct {
    std::string events, map;
    int entries;  // -1: not checked
    std::vector<std::pair<long double, int>> classes;  // time -> class
  } cases[] = {
      {"1000.5 relax_start\n", "0\nrelax_start + 15.7\n2\n\nrelax_start + 60\n1\n", 2,
       {{0, 0}, {1016.0L, 0}, {1016.2L, 0}, {1016.2001L, 2}, {1060.5L, 2}, {1060.5001L, 1}, {1e9L, 1}}},
      // A negative offset, an unsorted map, names with blanks.
      {"100 phase one\n200.25 phase two\n", "7\nphase two - 5\n3\nphase one\n4\n", 2,
       {{100, 7}, {100.5, 4}, {195.25, 4}, {195.3, 3}}},
      // Equal start times: the first wins; times at or below 0 never apply.
      {"50 a\n50 b\n-3 neg\n", "9\na\n1\nb\n2\nneg + 3\n5\nneg\n6\n", -1, {{10, 9}, {50.1, 1}}},
      {"10 x\n20 x\n", "3\n", 0, {{15, 3}}},  // only the start class
      {"10 x\n20 x\n", "3\nx\n4\n", -1, {{15, 4}}},  // the first "x" is taken
      {"5 end", "1\nend\n2", -1, {{6, 2}}},  // last lines without a line end
      {"1 a\n2 b\n", "-2147483648\na\n2147483647\nb\n+5\n", -1, {{1, INT32_MIN}, {1.5, INT32_MAX}, {3, 5}}},
      {many_ev, many_map, 45, many},  // Windows line ends
  };
  for (const auto &c : cases) {
    rec::labelling f(c.events, c.map);
    eventmap *m = create(f);
    if (c.entries >= 0) {
      EXPECT_EQ(m->n, c.entries) << c.map;
    }
    for (const auto &[time, cls] : c.classes)
      EXPECT_EQ(get_classnumber(m, at(time)), cls) << c.map << " at " << static_cast<double>(time);
    eventmap_delete(m);
  }
  // The frame-time lookup: seconds plus microseconds.
  rec::labelling f(cases[0].events, cases[0].map);
  eventmap m;
  eventmap_init_from_files(&m, f.events.c_str(), f.map.c_str());
  EXPECT_EQ(m.start_classnumber, 0);
  EXPECT_EQ(get_classnumber(&m, at(m.mappers[0]->time.value)), 0);
  const std::pair<corvia_timeval, int> frames[] = {
      {{1016, 200001}, 2}, {{1060, 500000}, 2}, {{1060, 500001}, 1}};
  for (const auto &[tv, cls] : frames) EXPECT_EQ(get_classnumber_time_t(&m, &tv), cls) << tv.tv_usec;
  eventmap_free(&m);
  EXPECT_EQ(m.n, 0);
  EXPECT_EQ(m.mappers, nullptr);
}

TEST(EventMap, Diagnostics) {
  rec::labelling f("1000.5 relax_start\n", "0\nrelax_start + 15.7\n2\n");
  testing::internal::CaptureStderr();
  eventmap_delete(create(f));
  const std::string err = testing::internal::GetCapturedStderr();
  for (const char *line : {"read_events: 1000.500000: relax_start\n", "starting class is 0\n",
                           "eventmap_init_from_files info: found offset  + 15.7 = 15.700000\n",
                           "1000.500000 + 15.700000 = 1016.200000\n",
                           "event \"relax_start\" + 15.7 starts class 2 at 1016.200000\n"})
    EXPECT_NE(err.find(line), std::string::npos) << line << err;
}

// Every way the files can be wrong ends the program with its message.
TEST(EventMapDeathTest, Failures) {
  const std::string malformed = "eventmap_init_from_files: malformed line for event ";
  const struct {
    std::string ev, mp, message;
  } cases[] = {
      {"1 a\n", "0\nb\n1\n", "read_events error: couldn't find event \"b\" in eventlog!"},
      {"1 a\n2 b\nxyz c\n", "0\n", malformed + "2\n"},
      {"1 a\n7\n", "0\n", malformed + "1\n"},
      {"1 a\n" + std::string(10050, 'n') + "\n", "0\n", malformed + "1\n"},
      {"1 a\n2 \t\n", "0\n", malformed + "1\n"},  // a time without a name
      {"1 a\n", "0\n" + std::string(10050, 'a') + "\n1\n", "couldn't find event \"a+\" in eventlog!"},
      {"1 a\n", "", "read_events: unexpected end of file when reading start class!"},
      {"1 a\n", "x\n", "read_events error: the starting class is not a number!"},
      {"1 a\n", "0\na\n", "read_events: unexpected end of file when read class number!"},
      {"1 a\n", "0\na\nnone\n", "read_events error: the class number is not a number!"},
      {"1 a\n", "0\na + x\n1\n",
       "eventmap_init_from_files error: malformed line with offset \"a \\+ x\"\\. "
       "Use something like \"relax_start \\+ 15\\.7\""},
      {"1 a\n", "0\na - \n1\n", "malformed line with offset \"a - \""},
      // Numbers that wrapped or never applied before: refused with their line.
      {"1 a\n", "4294967297\n", "the starting class 4294967297 in line 1 is out of range"},
      {"1 a\n", "0\n\na\n2147483648\n", "the class number 2147483648 in line 4 is out of range"},
      {"1 a\n", "0\na\n\n-2147483649\n", "the class number -2147483649 in line 4 is out of range"},
      {"1 a\n", "0\na\n" + std::string(40, '9') + "\n", "the class number 9+\\.\\.\\. in line 3"},
      {"1 a\n\nnan b\n", "0\n", "the time of event 1 \\(line 3\\) is not a finite number"},
      {"1 a\n", "0\n\n\na + nan\n1\n", "the offset in line 4 \\(\"a \\+ nan\"\\) is not a finite"},
  };
  for (const auto &c : cases) {
    rec::labelling f(c.ev, c.mp);
    EXPECT_EXIT(create(f), testing::ExitedWithCode(1), c.message) << "events: " << c.ev << " map: " << c.mp;
  }
  rec::labelling f("1 a\n", "1 a\n");
  EXPECT_EXIT(eventmap_create_from_files(f.events.c_str(), f.dir.file("missing").c_str()), testing::ExitedWithCode(1),
              "missing: No such file or directory");
}

}  // namespace
