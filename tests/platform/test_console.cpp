// Console control: Ctrl-C and Ctrl-Break reach the handlers on a thread of
// their own in a child process.
#include <gtest/gtest.h>

#include <signal.h>

#include "child.h"
#include "testsupport.h"

namespace {

struct ConsoleRun {
  std::string output;
  int status;
};

ConsoleRun run_console(const std::string &mode, int sig) {
  Child c = child_start(testsupport::bin_path("platform_test_helper"), {"console", mode});
  EXPECT_GT(c.pid, 0);
  EXPECT_EQ(child_read_line(c), "ready");
  kill(c.pid, sig);
  ConsoleRun r;
  r.output = child_read_rest(c);
  r.status = child_wait(c);
  return r;
}

TEST(Console, CtrlCRunsTheHandlerOnAnotherThread) {
  ConsoleRun r = run_console("return-true", SIGINT);
  EXPECT_EQ(r.output, "first handler event=0 other-thread=1\nmain done handled=1\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Console, CtrlBreakIsSigterm) {
  ConsoleRun r = run_console("return-true", SIGTERM);
  EXPECT_EQ(r.output, "first handler event=1 other-thread=1\nmain done handled=1\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Console, HandlersRunLastAddedFirstAndFalsePassesOn) {
  ConsoleRun r = run_console("two-handlers", SIGINT);
  EXPECT_EQ(r.output, "second handler event=0\nfirst handler event=0 other-thread=1\n"
                      "main done handled=1\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Console, NoHandlerTakingTheEventEndsTheProcess) {
  ConsoleRun r = run_console("return-false", SIGINT);
  // The handler ran, then the default action ended the process by SIGINT.
  EXPECT_EQ(r.output.rfind("first handler event=0 other-thread=1\n", 0), 0u) << r.output;
  EXPECT_EQ(r.output.find("main done"), std::string::npos);
  EXPECT_EQ(r.status, 128 + SIGINT);
}

TEST(Console, IgnoredCtrlCReachesNoHandler) {
  Child c = child_start(testsupport::bin_path("platform_test_helper"), {"console", "ignore-ctrl-c"});
  ASSERT_EQ(child_read_line(c), "ready");
  kill(c.pid, SIGINT);
  // Ctrl-Break is still handled and ends the wait.
  usleep(100000);
  kill(c.pid, SIGTERM);
  EXPECT_EQ(child_read_rest(c), "first handler event=1 other-thread=1\nmain done handled=1\n");
  EXPECT_EQ(child_wait(c), 0);
}

TEST(Console, OtherSignalsKeepTheirDefaultAction) {
  Child c = child_start(testsupport::bin_path("platform_test_helper"), {"console", "return-true"});
  ASSERT_EQ(child_read_line(c), "ready");
  kill(c.pid, SIGHUP);
  EXPECT_EQ(child_read_rest(c), "");
  EXPECT_EQ(child_wait(c), 128 + SIGHUP);
}

}  // namespace
