// Serial ports end to end over a pseudo-terminal pair: the test holds the
// master side (the "front end"), the port is the slave side, reached by a
// COM name through the port map.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "testsupport.h"
#include "win32.h"

namespace {

std::string text_of(DWORD code) { return platform_error_text(code); }

class Serial : public testing::Test {
 protected:
  void SetUp() override {
    setenv("CORVIA_REGISTRY_FILE", dir_.file("registry.txt").c_str(), 1);
    char name[256];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    slave_path_ = name;
    // The master end is raw too, so bytes pass unchanged both ways.
    struct termios t;
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    ASSERT_EQ(platform_portmap_set("COM7", slave_path_.c_str()), 0);
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    unsetenv("CORVIA_REGISTRY_FILE");
  }
  // Everything the port wrote, waiting up to `ms` for `n` bytes.
  std::string master_read(size_t n, int ms = 2000) {
    std::string got;
    while (got.size() < n) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) break;
      char buf[4096];
      ssize_t r = read(master_, buf, sizeof buf);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }
  void master_write(const std::string &bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  HANDLE open_port(const char *name = "COM7") {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  DWORD in_queue(HANDLE h) {
    COMSTAT st;
    DWORD errors = 99;
    EXPECT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(errors, 0u);
    return st.cbInQue;
  }
  // Waits until the port's input queue holds n bytes.
  void wait_in_queue(HANDLE h, DWORD n) {
    for (int i = 0; i < 200 && in_queue(h) < n; ++i) Sleep(5);
    ASSERT_EQ(in_queue(h), n);
  }

  testsupport::TempDir dir_;
  int master_ = -1, slave_ = -1;
  std::string slave_path_;
};

TEST_F(Serial, ConfiguresTheLineAsTheLinkDoes) {
  HANDLE h = open_port();
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(SetupComm(h, 64000, 64000));
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.XonLim = 32000;
  dcb.XoffLim = 8000;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  dcb.ErrorChar = dcb.EofChar = dcb.EvtChar = 0;
  ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
  DCB back = {};
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(back.BaudRate, 9600u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, NOPARITY);
  EXPECT_EQ(back.StopBits, ONESTOPBIT);
  EXPECT_EQ(back.XonLim, 32000);
  EXPECT_EQ(back.XoffLim, 8000);
  EXPECT_EQ(back.XonChar, 17);
  EXPECT_EQ(back.XoffChar, 19);
  EXPECT_EQ(back.fOutX, 0u);
  EXPECT_EQ(back.fOutxCtsFlow, 0u);
  // The terminal itself: raw, 9600 baud, 8N1, no flow control.
  struct termios t;
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  // Other settings map through too (a pseudo-terminal keeps 8 data bits
  // without parity whatever is asked, so those are not checked here).
  dcb.BaudRate = 115200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutX = 1;
  ASSERT_TRUE(SetCommState(h, &dcb));
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(back.BaudRate, 115200u);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_EQ(back.fOutX, 1u);
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_iflag & IXON, 0u);
  // Settings Windows refuses.
  DCB bad = dcb;
  bad.BaudRate = 12345;
  EXPECT_FALSE(SetCommState(h, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  bad = dcb;
  bad.ByteSize = 9;
  EXPECT_FALSE(SetCommState(h, &bad));
  bad = dcb;
  bad.XoffChar = bad.XonChar;
  EXPECT_FALSE(SetCommState(h, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(ClearCommBreak(h));
  COMMTIMEOUTS to = {0, 0, 10, 20000 / 9600 + 1, 100};
  EXPECT_TRUE(SetCommTimeouts(h, &to));
  COMMTIMEOUTS to_back = {};
  EXPECT_TRUE(GetCommTimeouts(h, &to_back));
  EXPECT_EQ(to_back.ReadTotalTimeoutConstant, 10u);
  EXPECT_EQ(to_back.WriteTotalTimeoutMultiplier, 3u);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Serial, ReadsWhatIsWaitingWithoutBlocking) {
  HANDLE h = open_port();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &immediate));
  char buf[64];
  DWORD n = 99;
  DWORD t0 = GetTickCount();
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_LT(GetTickCount() - t0, 50u);

  std::string frame("\xAA\xAA\x00\x27\x56\x2E", 6);
  master_write(frame);
  wait_in_queue(h, 6);
  // Read min(queue, max) as the link does: first 4, then the other 2.
  EXPECT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), frame.substr(0, 4));
  EXPECT_EQ(in_queue(h), 2u);
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), frame.substr(4));

  // A total time-out: waits that long for bytes that do not come.
  COMMTIMEOUTS total = {0, 0, 60, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &total));
  t0 = GetTickCount();
  EXPECT_TRUE(ReadFile(h, buf, 10, &n, nullptr));
  DWORD waited = GetTickCount() - t0;
  EXPECT_EQ(n, 0u);
  EXPECT_GE(waited, 55u);
  EXPECT_LT(waited, 1000u);
  // ... and returns as soon as all bytes asked for are there.
  master_write("0123456789");
  t0 = GetTickCount();
  EXPECT_TRUE(ReadFile(h, buf, 10, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "0123456789");
  CloseHandle(h);
}

TEST_F(Serial, ReadTimeoutRules) {
  HANDLE h = open_port();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[64];
  DWORD n = 0;
  // MAXDWORD interval and multiplier with a constant: returns with the
  // first bytes that come, or after the constant.
  COMMTIMEOUTS any = {MAXDWORD, MAXDWORD, 80, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &any));
  DWORD t0 = GetTickCount();
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_GE(GetTickCount() - t0, 75u);
  master_write("abc");
  t0 = GetTickCount();
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "abc");
  EXPECT_LT(GetTickCount() - t0, 70u);
  // An interval time-out ends the read once a gap follows some bytes; the
  // total limit is far away.
  COMMTIMEOUTS interval = {30, 0, 5000, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &interval));
  master_write("xy");
  t0 = GetTickCount();
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "xy");
  EXPECT_LT(GetTickCount() - t0, 2000u);
  // A multiplier lengthens the total with the count asked for.
  COMMTIMEOUTS per_byte = {0, 10, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &per_byte));
  t0 = GetTickCount();
  EXPECT_TRUE(ReadFile(h, buf, 6, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_GE(GetTickCount() - t0, 55u);
  CloseHandle(h);
}

TEST_F(Serial, WritesReachThePeerAndPurgeDropsInput) {
  HANDLE h = open_port();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS to = {MAXDWORD, 0, 0, 3, 100};
  ASSERT_TRUE(SetCommTimeouts(h, &to));
  std::string out;
  for (int i = 0; i < 1000; ++i) out += static_cast<char>(i * 7);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, out.data(), static_cast<DWORD>(out.size()), &written, nullptr));
  EXPECT_EQ(written, out.size());
  EXPECT_EQ(master_read(out.size()), out);

  master_write("stale bytes");
  wait_in_queue(h, 11);
  EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT));
  EXPECT_EQ(in_queue(h), 0u);
  EXPECT_TRUE(PurgeComm(h, PURGE_TXCLEAR | PURGE_TXABORT));
  EXPECT_FALSE(PurgeComm(h, 0x100));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(h);
}

TEST_F(Serial, VanishedPeer) {
  HANDLE h = open_port();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS to = {MAXDWORD, 0, 0, 0, 100};
  ASSERT_TRUE(SetCommTimeouts(h, &to));
  close(master_);
  master_ = -1;
  char buf[8];
  DWORD n = 5;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
  EXPECT_EQ(text_of(GetLastError()), "The device does not recognize the command.");
  COMSTAT st;
  DWORD errors;
  EXPECT_FALSE(ClearCommError(h, &errors, &st));
  EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Serial, MissingPortInUsePortAndNoTerminal) {
  // No map entry and no /dev/ttyS199: missing, as on Windows.
  HANDLE h = open_port("COM200");
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(text_of(GetLastError()), "The system cannot find the file specified.");
  // A map entry whose device has gone.
  ASSERT_EQ(platform_portmap_set("COM9", "/dev/pts/no-such-device"), 0);
  EXPECT_EQ(open_port("COM9"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // Exclusive use.
  h = open_port("\\\\.\\COM7");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open_port(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(text_of(GetLastError()), "Access is denied.");
  CloseHandle(h);
  h = open_port();
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  // A plain file opens, but it is no port.
  std::string file = dir_.file("plain");
  testsupport::write_file(file, "abc");
  h = open_port(file.c_str());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB dcb;
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(text_of(ERROR_INVALID_FUNCTION), "Incorrect function.");
  char buf[8];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "abc");
  CloseHandle(h);
  EXPECT_FALSE(SetupComm(reinterpret_cast<HANDLE>(0x4444), 1, 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
