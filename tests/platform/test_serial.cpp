// Serial ports over a pseudo-terminal pair: the test holds the master side (the "front end"), the port is the slave
// side, named COM7 in the port map.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "platform_test.h"

namespace {

class Serial : public platform_test::Registry {
 protected:
  void SetUp() override {
    Registry::SetUp();
    char name[256];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    struct termios t;  // the master end is raw too, so bytes pass unchanged both ways
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    ASSERT_EQ(platform_portmap_set("COM7", name), 0);
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
    close(slave_);
    Registry::TearDown();
  }
  void master_write(const std::string &bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  HANDLE open_port(const char *name = "COM7") {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  // A read of up to `max` bytes: what came and how long it took.
  std::pair<std::string, DWORD> timed_read(HANDLE h, DWORD max) {
    char buf[64];
    DWORD n = 99, t0 = GetTickCount();
    EXPECT_TRUE(ReadFile(h, buf, max, &n, nullptr));
    return {std::string(buf, n), GetTickCount() - t0};
  }

  int master_ = -1, slave_ = -1;
};

// The line as the link sets it (9600 8N1, no flow control) and other settings, read back and seen on the terminal (a
// pseudo-terminal keeps 8 data bits without parity whatever is asked); settings Windows refuses.
TEST_F(Serial, ConfiguresTheLine) {
  HANDLE h = open_port();
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(SetupComm(h, 64000, 64000));
  DCB dcb = {}, back = {};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fInX = 0;
  dcb.XonLim = 32000;
  dcb.XoffLim = 8000;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  dcb.ErrorChar = dcb.EofChar = dcb.EvtChar = 0;
  const struct {
    DWORD baud;
    BYTE size, parity, stop;
    DWORD outx;
    speed_t speed;
    tcflag_t cflag, iflag;  // of PARENB | CSTOPB | CRTSCTS and IXON | IXOFF | ICRNL
  } cases[] = {{9600, 8, NOPARITY, ONESTOPBIT, 0, B9600, 0, 0},
               {115200, 7, EVENPARITY, TWOSTOPBITS, 1, B115200, CSTOPB, IXON}};
  for (const auto &c : cases) {
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.size;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    dcb.fOutX = c.outx;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(std::vector<long>({(long)back.BaudRate, back.ByteSize, back.Parity, back.StopBits, back.XonLim,
                                 back.XoffLim, back.XonChar, back.XoffChar, back.fOutX, back.fOutxCtsFlow}),
              std::vector<long>({(long)c.baud, 8, NOPARITY, c.stop, 32000, 8000, 17, 19, (long)c.outx, 0}));
    struct termios t;
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), c.cflag);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), c.iflag);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
  }
  for (auto spoil : {+[](DCB *d) { d->BaudRate = 12345; }, +[](DCB *d) { d->ByteSize = 9; },
                     +[](DCB *d) { d->XoffChar = d->XonChar; }}) {
    DCB bad = dcb;
    spoil(&bad);
    EXPECT_TRUE(!SetCommState(h, &bad) && GetLastError() == ERROR_INVALID_PARAMETER) << GetLastError();
  }
  EXPECT_TRUE(ClearCommBreak(h));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Serial, ReadTimeoutRules) {
  const struct {
    const char *what;
    COMMTIMEOUTS to;
    std::string sent;
    DWORD max;
    DWORD min_ms, max_ms;
  } cases[] = {
      {"MAXDWORD interval alone: what is waiting, at once", {MAXDWORD, 0, 0, 0, 0}, "", 64, 0, 50},
      {"a total time-out waits that long for bytes that do not come", {0, 0, 60, 0, 0}, "", 10, 55, 1000},
      {"... and returns as soon as all bytes asked for are there", {0, 0, 60, 0, 0}, "0123456789", 10, 0, 1000},
      {"MAXDWORD interval and multiplier: the constant when nothing comes", {MAXDWORD, MAXDWORD, 80, 0, 0}, "",
       64, 75, 1000},
      {"... or the first bytes that come", {MAXDWORD, MAXDWORD, 80, 0, 0}, "abc", 64, 0, 70},
      {"an interval ends the read once a gap follows some bytes", {30, 0, 5000, 0, 0}, "xy", 64, 0, 2000},
      {"a multiplier lengthens the total with the count asked for", {0, 10, 0, 0, 0}, "", 6, 55, 1000},
  };
  HANDLE h = open_port();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  for (const auto &c : cases) {
    COMMTIMEOUTS to = c.to;
    ASSERT_TRUE(SetCommTimeouts(h, &to));
    if (!c.sent.empty()) master_write(c.sent);
    auto [got, ms] = timed_read(h, c.max);
    EXPECT_EQ(got, c.sent) << c.what;
    EXPECT_GE(ms, c.min_ms) << c.what;
    EXPECT_LT(ms, c.max_ms) << c.what;
  }
  CloseHandle(h);
}

TEST_F(Serial, VanishedPeer) {
  HANDLE h = open_port();
  COMMTIMEOUTS to = {MAXDWORD, 0, 0, 0, 100};
  ASSERT_TRUE(SetCommTimeouts(h, &to));
  close(master_);
  master_ = -1;
  char buf[8];
  DWORD n = 5, errors;
  COMSTAT st;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_TRUE(n == 0u && GetLastError() == ERROR_BAD_COMMAND) << GetLastError();
  EXPECT_EQ(platform_error_text(GetLastError()), "The device does not recognize the command.");
  EXPECT_TRUE(!ClearCommError(h, &errors, &st) && GetLastError() == ERROR_BAD_COMMAND) << GetLastError();
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_TRUE(n == 0u && GetLastError() == ERROR_BAD_COMMAND) << GetLastError();
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(!CloseHandle(h) && GetLastError() == ERROR_INVALID_HANDLE) << GetLastError();
}

TEST_F(Serial, MissingPortInUsePortAndNoTerminal) {
  // No map entry and no /dev/ttyS199, or an entry whose device has gone: missing, as on Windows.
  ASSERT_EQ(platform_portmap_set("COM9", "/dev/pts/no-such-device"), 0);
  EXPECT_EQ(platform_portmap_set("", "/dev/x"), static_cast<LONG>(ERROR_INVALID_PARAMETER));
  for (const char *missing : {"COM200", "COM9", "COM0"}) {
    EXPECT_EQ(open_port(missing), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  // COM names without a map entry stand for the machine's own ports; other names are paths.
  for (auto [name, path] : {std::pair{"COM1", "/dev/ttyS0"}, {"\\\\.\\com10", "/dev/ttyS9"}, {"COM19", "/dev/ttyS18"},
                            {"COM0", "COM0"}, {"COM1x", "COM1x"}})
    EXPECT_EQ(platform_comm_device_path(name), path) << name;
  // Exclusive use.
  HANDLE h = open_port("\\\\.\\COM7");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(open_port() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) << GetLastError();
  CloseHandle(h);
  h = open_port();
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(PurgeComm(h, 0x100));  // writes and purges are met through the link
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(h);
  // A plain file opens, but it is no port.
  const std::string file = dir_.file("plain");
  testsupport::write_file(file, "abc");
  h = open_port(file.c_str());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB dcb;
  EXPECT_TRUE(!GetCommState(h, &dcb) && GetLastError() == ERROR_INVALID_FUNCTION) << GetLastError();
  EXPECT_EQ(timed_read(h, 8).first, "abc");
  CloseHandle(h);
  EXPECT_FALSE(SetupComm(reinterpret_cast<HANDLE>(0x4444), 1, 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
