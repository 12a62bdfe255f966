// Event files, map files and the class lookup.
#include <cstdint>
#include <cstdio>
#include <string>

#include "corvia.h"
#include "gtest/gtest.h"
#include "rel_time.h"
#include "testsupport.h"

namespace {

using testsupport::TempDir;
using testsupport::write_file;

rel_time at(long double t) { return long_double_to_rel_time(t); }

struct files {
  TempDir dir;
  std::string events, map;
  files(const std::string &ev, const std::string &mp)
      : events(dir.file("events.txt")), map(dir.file("map.txt")) {
    write_file(events, ev);
    write_file(map, mp);
  }
};

TEST(EventMap, OffsetsGiveClassesStrictlyAfterTheirStart) {
  files f("1000.5 relax_start\n", "0\nrelax_start + 15.7\n2\n\nrelax_start + 60\n1\n");
  eventmap *m = eventmap_create_from_files(f.events.c_str(), f.map.c_str());
  ASSERT_EQ(m->n, 2);
  EXPECT_EQ(m->start_classnumber, 0);
  EXPECT_EQ(get_classnumber(m, at(0)), 0);
  EXPECT_EQ(get_classnumber(m, at(1016.0L)), 0);
  EXPECT_EQ(get_classnumber(m, at(m->mappers[0]->time.value)), 0);
  EXPECT_EQ(get_classnumber(m, at(1016.2001L)), 2);
  EXPECT_EQ(get_classnumber(m, at(1060.5L)), 2);
  EXPECT_EQ(get_classnumber(m, at(1060.5001L)), 1);
  EXPECT_EQ(get_classnumber(m, at(1e9L)), 1);
  // The frame-time lookup: seconds plus microseconds.
  corvia_timeval tv{1016, 200001};
  EXPECT_EQ(get_classnumber_time_t(m, &tv), 2);
  tv = {1060, 500000};
  EXPECT_EQ(get_classnumber_time_t(m, &tv), 2);
  tv = {1060, 500001};
  EXPECT_EQ(get_classnumber_time_t(m, &tv), 1);
  eventmap_delete(m);
}

TEST(EventMap, NegativeOffsetUnsortedMapAndNamesWithBlanks) {
  files f("100 phase one\n200.25 phase two\n",
          "7\nphase two - 5\n3\nphase one\n4\n");
  eventmap m;
  eventmap_init_from_files(&m, f.events.c_str(), f.map.c_str());
  ASSERT_EQ(m.n, 2);
  EXPECT_NEAR(static_cast<double>(m.mappers[0]->time.value), 195.25, 1e-12);
  EXPECT_EQ(get_classnumber(&m, at(100)), 7);
  EXPECT_EQ(get_classnumber(&m, at(100.5)), 4);
  EXPECT_EQ(get_classnumber(&m, at(195.25)), 4);
  EXPECT_EQ(get_classnumber(&m, at(195.3)), 3);
  eventmap_free(&m);
  EXPECT_EQ(m.n, 0);
  EXPECT_EQ(m.mappers, nullptr);
}

TEST(EventMap, EqualStartTimesFirstWinsAndNonPositiveTimesNeverApply) {
  files f("50 a\n50 b\n-3 neg\n", "9\na\n1\nb\n2\nneg + 3\n5\nneg\n6\n");
  eventmap *m = eventmap_create_from_files(f.events.c_str(), f.map.c_str());
  EXPECT_EQ(get_classnumber(m, at(10)), 9);  // entries at 0 and -3 ignored
  EXPECT_EQ(get_classnumber(m, at(50.1)), 1);
  eventmap_delete(m);
}

TEST(EventMap, OnlyStartClassAndDuplicateEventNames) {
  files f("10 x\n20 x\n", "3\n");
  eventmap *m = eventmap_create_from_files(f.events.c_str(), f.map.c_str());
  EXPECT_EQ(m->n, 0);
  EXPECT_EQ(get_classnumber(m, at(15)), 3);
  eventmap_delete(m);
  files g("10 x\n20 x\n", "3\nx\n4\n");  // the first "x" is taken
  m = eventmap_create_from_files(g.events.c_str(), g.map.c_str());
  EXPECT_EQ(get_classnumber(m, at(15)), 4);
  eventmap_delete(m);
}

TEST(EventMap, WindowsLineEndsAndManyEntries) {
  std::string ev, mp = "0\r\n";
  for (int i = 0; i < 45; ++i) {
    ev += std::to_string(100 + i) + " ev" + std::to_string(i) + "\r\n";
    mp += "ev" + std::to_string(i) + " + 0.5\r\n" + std::to_string(i + 1) + "\r\n\r\n";
  }
  files f(ev, mp);
  eventmap *m = eventmap_create_from_files(f.events.c_str(), f.map.c_str());
  ASSERT_EQ(m->n, 45);
  for (int i = 0; i < 45; ++i) {
    EXPECT_EQ(get_classnumber(m, at(100 + i + 0.6L)), i + 1);
    EXPECT_EQ(get_classnumber(m, at(100 + i + 0.5L)), i);
  }
  eventmap_delete(m);
  // Last lines without a line end.
  files g("5 end", "1\nend\n2");
  m = eventmap_create_from_files(g.events.c_str(), g.map.c_str());
  EXPECT_EQ(get_classnumber(m, at(6)), 2);
  eventmap_delete(m);
}

TEST(EventMap, Diagnostics) {
  files f("1000.5 relax_start\n", "0\nrelax_start + 15.7\n2\n");
  testing::internal::CaptureStderr();
  eventmap *m = eventmap_create_from_files(f.events.c_str(), f.map.c_str());
  std::string err = testing::internal::GetCapturedStderr();
  eventmap_delete(m);
  EXPECT_NE(err.find("read_events: 1000.500000: relax_start\n"), std::string::npos) << err;
  EXPECT_NE(err.find("starting class is 0\n"), std::string::npos);
  EXPECT_NE(err.find("eventmap_init_from_files info: found offset  + 15.7 = 15.700000\n"),
            std::string::npos) << err;
  EXPECT_NE(err.find("1000.500000 + 15.700000 = 1016.200000\n"), std::string::npos);
  EXPECT_NE(err.find("event \"relax_start\" + 15.7 starts class 2 at 1016.200000\n"),
            std::string::npos) << err;
}

// Every way the files can be wrong ends the program with its message.
void expect_fails(const std::string &ev, const std::string &mp,
                  const std::string &message_regex) {
  files f(ev, mp);
  EXPECT_EXIT(eventmap_create_from_files(f.events.c_str(), f.map.c_str()),
              testing::ExitedWithCode(1), message_regex)
      << "events: " << ev << " map: " << mp;
}

TEST(EventMapDeathTest, Failures) {
  expect_fails("1 a\n", "0\nb\n1\n",
               "read_events error: couldn't find event \"b\" in eventlog!");
  expect_fails("1 a\n2 b\nxyz c\n", "0\n",
               "eventmap_init_from_files: malformed line for event 2\n");
  expect_fails("1 a\n7\n", "0\n",
               "eventmap_init_from_files: malformed line for event 1\n");
  expect_fails("1 a\n" + std::string(10050, 'n') + "\n", "0\n",
               "eventmap_init_from_files: malformed line for event 1\n");
  expect_fails("1 " + std::string(10050, 'n') + "\n", "0\n",
               "malformed line for event 0\n");
  expect_fails("1 a\n", "0\n" + std::string(10050, 'a') + "\n1\n",
               "couldn't find event \"a+\" in eventlog!");
  expect_fails("1 a\n", "",
               "read_events: unexpected end of file when reading start class!");
  expect_fails("1 a\n", "x\n", "read_events error: the starting class is not a number!");
  expect_fails("1 a\n", "0\na\n", "read_events: unexpected end of file when read class number!");
  expect_fails("1 a\n", "0\na\nnone\n", "read_events error: the class number is not a number!");
  expect_fails("1 a\n", "0\na + x\n1\n",
               "eventmap_init_from_files error: malformed line with offset \"a \\+ x\"\\. "
               "Use something like \"relax_start \\+ 15\\.7\"");
  expect_fails("1 a\n", "0\na - \n1\n", "malformed line with offset \"a - \"");
  // Numbers that wrapped or never applied before: refused with their line.
  const struct {
    std::string ev, mp, message;
  } bounds[] = {
      {"1 a\n", "4294967297\n", "the starting class 4294967297 in line 1 is out of range"},
      {"1 a\n", "0\n\na\n2147483648\n", "the class number 2147483648 in line 4 is out of range"},
      {"1 a\n", "0\na\n\n-2147483649\n", "the class number -2147483649 in line 4 is out of range"},
      {"1 a\n", "0\na\n" + std::string(40, '9') + "\n", "the class number 9+\\.\\.\\. in line 3"},
      {"1 a\n\nnan b\n", "0\n", "the time of event 1 \\(line 3\\) is not a finite number"},
      {"inf a\n", "0\n", "the time of event 0 \\(line 1\\) is not a finite number"},
      {"1 a\n", "0\n\n\na + nan\n1\n", "the offset in line 4 \\(\"a \\+ nan\"\\) is not a finite"},
      {"1 a\n", "0\na - inf\n1\n", "the offset in line 2 \\(\"a - inf\"\\) is not a finite"},
  };
  for (const auto &b : bounds) expect_fails(b.ev, b.mp, b.message);
  files extremes("1 a\n2 b\n", "-2147483648\na\n2147483647\nb\n+5\n");
  eventmap *m = eventmap_create_from_files(extremes.events.c_str(), extremes.map.c_str());
  EXPECT_EQ(get_classnumber(m, at(1)), INT32_MIN);
  EXPECT_EQ(get_classnumber(m, at(1.5)), INT32_MAX);
  EXPECT_EQ(get_classnumber(m, at(3)), 5);
  eventmap_delete(m);

  TempDir dir;
  std::string ok = dir.file("ok");
  write_file(ok, "1 a\n");
  std::string missing = dir.file("missing");
  EXPECT_EXIT(eventmap_create_from_files(missing.c_str(), ok.c_str()),
              testing::ExitedWithCode(1), "missing: No such file or directory");
  EXPECT_EXIT(eventmap_create_from_files(ok.c_str(), missing.c_str()),
              testing::ExitedWithCode(1), "missing: No such file or directory");
}

}  // namespace
