// Serial ports over termios in raw mode, with Win32's comm API. A "COMn"
// name is resolved through the port map of the registry, falling back to
// /dev/ttyS<n-1>.
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <mutex>

#include "handles.h"

namespace {

struct SerialPort : platform_detail::KernelObject {
  int fd = -1;
  bool is_tty = false;
  std::mutex m;  // guards the stored settings below
  COMMTIMEOUTS timeouts = {};
  DCB dcb = {};  // the fields termios does not hold
  DWORD in_queue = 4096, out_queue = 4096;
  ~SerialPort() override {
    if (fd >= 0) close(fd);
  }
};

// Reports the failure of a system call on a port with Win32's code. A port
// whose other end has gone (a pseudo-terminal's master closed, a USB adapter
// pulled) reads EIO; Windows reports ERROR_BAD_COMMAND there.
BOOL fail_errno(int err) {
  SetLastError(err == EIO ? ERROR_BAD_COMMAND : platform_error_from_errno(err));
  return FALSE;
}

std::shared_ptr<SerialPort> port_of(HANDLE h) {
  return platform_detail::handle_get_as<SerialPort>(h);
}

std::shared_ptr<SerialPort> tty_of(HANDLE h) {
  auto p = port_of(h);
  if (p && !p->is_tty) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  return p;
}

// The peer has gone when the line is hung up and nothing is left to read.
bool peer_gone(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (!(p.revents & (POLLHUP | POLLERR))) return false;
  int waiting = 0;
  return ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0;
}

struct BaudPair {
  DWORD baud;
  speed_t speed;
};
const BaudPair baud_table[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {921600, B921600}, {1000000, B1000000},
};

bool comm_name_number(const char *name, int *n) {
  if (strncasecmp(name, "COM", 3) != 0) return false;
  const char *p = name + 3;
  if (*p < '1' || *p > '9') return false;
  int v = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9' || v > 100000) return false;
    v = v * 10 + (*p - '0');
  }
  *n = v;
  return true;
}

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until fd is ready for `events` or `deadline` (ms, -1: none) passes.
// Returns 1 ready, 0 timed out, -1 error (errno set).
int wait_ready(int fd, short events, int64_t deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline >= 0) {
      int64_t left = deadline - now_ms();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    struct pollfd p = {fd, events, 0};
    int rc = poll(&p, 1, timeout);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    return 1;  // readiness, hang-up or error: the next read/write tells
  }
}

}  // namespace

std::string platform_comm_device_path(const char *name) {
  std::string s(name);
  // "\\.\COM10" is how Windows spells ports above COM9.
  if (s.rfind("\\\\.\\", 0) == 0) s = s.substr(4);
  int n = 0;
  if (!comm_name_number(s.c_str(), &n)) return s;
  std::string mapped = platform_portmap_lookup(s.c_str());
  if (!mapped.empty()) return mapped;
  char path[32];
  snprintf(path, sizeof path, "/dev/ttyS%d", n - 1);
  return path;
}

HANDLE CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
  (void)security;
  (void)flags;  // no overlapped I/O: every call completes before it returns
  (void)template_file;
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int oflags = O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) oflags |= O_RDWR;
  else if (access & GENERIC_WRITE) oflags |= O_WRONLY;
  else oflags |= O_RDONLY;
  switch (disposition) {
    case OPEN_EXISTING: break;
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: oflags |= O_CREAT; break;
    case TRUNCATE_EXISTING: oflags |= O_TRUNC; break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  std::string path = platform_comm_device_path(name);
  int fd = open(path.c_str(), oflags, 0666);
  if (fd < 0) {
    int err = errno;
    // A port that is missing (no such device file, or no device behind it)
    // is "file not found" on Windows.
    SetLastError(err == ENXIO || err == ENODEV || err == EIO ? ERROR_FILE_NOT_FOUND
                                                              : platform_error_from_errno(err));
    return INVALID_HANDLE_VALUE;
  }
  // Exclusive use: a second open of the port fails as on Windows.
  if (share == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<SerialPort>();
  port->fd = fd;
  struct termios t;
  if (tcgetattr(fd, &t) == 0) {
    port->is_tty = true;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
      int err = errno;
      close(fd);
      port->fd = -1;
      fail_errno(err);
      return INVALID_HANDLE_VALUE;
    }
    port->dcb.DCBlength = sizeof(DCB);
    port->dcb.fBinary = 1;
    port->dcb.fDtrControl = DTR_CONTROL_ENABLE;
    port->dcb.fRtsControl = RTS_CONTROL_ENABLE;
    port->dcb.XonLim = 2048;
    port->dcb.XoffLim = 512;
    port->dcb.XonChar = 17;
    port->dcb.XoffChar = 19;
  } else {
    // Plain files are read and written without blocking waits.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  SetLastError(ERROR_SUCCESS);
  return platform_detail::handle_create(port);
}

BOOL SetupComm(HANDLE file, DWORD in_queue, DWORD out_queue) {
  auto p = tty_of(file);
  if (!p) return FALSE;
  if (peer_gone(p->fd)) return fail_errno(EIO);
  // The kernel's queues have a fixed size; the request is remembered.
  std::lock_guard<std::mutex> lock(p->m);
  p->in_queue = in_queue;
  p->out_queue = out_queue;
  return TRUE;
}

BOOL GetCommState(HANDLE file, DCB *dcb) {
  auto p = tty_of(file);
  if (!p) return FALSE;
  if (dcb == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct termios t;
  if (tcgetattr(p->fd, &t) != 0) return fail_errno(errno);
  std::lock_guard<std::mutex> lock(p->m);
  *dcb = p->dcb;
  dcb->DCBlength = sizeof(DCB);
  speed_t speed = cfgetospeed(&t);
  dcb->BaudRate = 0;
  for (const BaudPair &b : baud_table)
    if (b.speed == speed) dcb->BaudRate = b.baud;
  switch (t.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB)) dcb->Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR) dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
  dcb->StopBits = (t.c_cflag & CSTOPB) ? (dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS)
                                       : ONESTOPBIT;
  dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  if (t.c_cflag & CRTSCTS) dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
  dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return TRUE;
}

BOOL SetCommState(HANDLE file, DCB *dcb) {
  auto p = tty_of(file);
  if (!p) return FALSE;
  if (dcb == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  speed_t speed = 0;
  bool known = false;
  for (const BaudPair &b : baud_table)
    if (b.baud == dcb->BaudRate) {
      speed = b.speed;
      known = true;
    }
  bool bad = !known || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
             dcb->StopBits > TWOSTOPBITS || (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) ||
             (dcb->StopBits == TWOSTOPBITS && dcb->ByteSize == 5) ||
             ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar);
  if (bad) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct termios t;
  if (tcgetattr(p->fd, &t) != 0) return fail_errno(errno);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= dcb->ByteSize == 5 ? CS5 : dcb->ByteSize == 6 ? CS6 : dcb->ByteSize == 7 ? CS7 : CS8;
  if (dcb->Parity != NOPARITY) t.c_cflag |= PARENB;
  if (dcb->Parity == ODDPARITY || dcb->Parity == MARKPARITY) t.c_cflag |= PARODD;
  if (dcb->Parity == MARKPARITY || dcb->Parity == SPACEPARITY) t.c_cflag |= CMSPAR;
  if (dcb->fParity) t.c_iflag |= INPCK;
  if (dcb->StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  if (dcb->fOutX) t.c_iflag |= IXON;
  if (dcb->fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
  if (tcsetattr(p->fd, TCSANOW, &t) != 0) return fail_errno(errno);
  // DTR and RTS: a pseudo-terminal has no modem lines, so failures of these
  // requests are not errors of the port.
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  ioctl(p->fd, dcb->fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
  if (dcb->fRtsControl != RTS_CONTROL_HANDSHAKE)
    ioctl(p->fd, dcb->fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
  std::lock_guard<std::mutex> lock(p->m);
  p->dcb = *dcb;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) {
  auto p = tty_of(file);
  if (!p) return FALSE;
  if (timeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(p->m);
  p->timeouts = *timeouts;
  return TRUE;
}

BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat) {
  auto p = tty_of(file);
  if (!p) return FALSE;
  if (peer_gone(p->fd)) return fail_errno(EIO);
  int in = 0, out = 0;
  if (ioctl(p->fd, FIONREAD, &in) != 0) return fail_errno(errno);
  if (ioctl(p->fd, TIOCOUTQ, &out) != 0) out = 0;
  // Line errors (framing, overrun, parity) are not reported by termios in
  // raw mode; none are claimed.
  if (errors != nullptr) *errors = 0;
  if (stat != nullptr) {
    memset(stat, 0, sizeof *stat);
    stat->cbInQue = static_cast<DWORD>(in);
    stat->cbOutQue = static_cast<DWORD>(out);
  }
  return TRUE;
}

static BOOL break_request(HANDLE file, unsigned long request) {
  auto p = tty_of(file);
  if (!p) return FALSE;
  if (peer_gone(p->fd)) return fail_errno(EIO);
  // A pseudo-terminal cannot send a break; there is none to clear either.
  if (ioctl(p->fd, request, 0) != 0 && errno != ENOTTY && errno != EINVAL)
    return fail_errno(errno);
  return TRUE;
}

BOOL ClearCommBreak(HANDLE file) { return break_request(file, TIOCCBRK); }

BOOL PurgeComm(HANDLE file, DWORD flags) {
  auto p = tty_of(file);
  if (!p) return FALSE;
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Reads and writes complete before they return, so nothing is pending to
  // abort; clearing drops the queued bytes.
  int which = -1;
  if ((flags & PURGE_TXCLEAR) && (flags & PURGE_RXCLEAR)) which = TCIOFLUSH;
  else if (flags & PURGE_TXCLEAR) which = TCOFLUSH;
  else if (flags & PURGE_RXCLEAR) which = TCIFLUSH;
  if (which >= 0 && tcflush(p->fd, which) != 0) return fail_errno(errno);
  return TRUE;
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD to_read, DWORD *read_count, void *overlapped) {
  (void)overlapped;
  if (read_count != nullptr) *read_count = 0;
  auto p = port_of(file);
  if (!p) return FALSE;
  if (buffer == nullptr && to_read > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char *out = static_cast<char *>(buffer);
  DWORD got = 0;
  if (!p->is_tty) {
    while (got < to_read) {
      ssize_t n = read(p->fd, out + got, to_read - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail_errno(errno);
      if (n == 0) break;
      got += static_cast<DWORD>(n);
    }
    if (read_count) *read_count = got;
    return TRUE;
  }
  COMMTIMEOUTS to;
  {
    std::lock_guard<std::mutex> lock(p->m);
    to = p->timeouts;
  }
  // Windows' rules: interval MAXDWORD with both totals 0 returns at once
  // with what is there; totals give a deadline for the whole read; the
  // interval limits the gap between two bytes once the first has come;
  // all zero waits until every byte has come.
  bool immediate = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                   to.ReadTotalTimeoutConstant == 0;
  int64_t total = static_cast<int64_t>(to.ReadTotalTimeoutMultiplier) * to_read +
                  to.ReadTotalTimeoutConstant;
  bool has_total = !immediate && (to.ReadTotalTimeoutMultiplier != 0 ||
                                  to.ReadTotalTimeoutConstant != 0);
  bool return_on_any = to.ReadIntervalTimeout == MAXDWORD && !immediate &&
                       to.ReadTotalTimeoutMultiplier == MAXDWORD;
  int64_t deadline = has_total ? now_ms() + (return_on_any ? to.ReadTotalTimeoutConstant : total) : -1;
  bool interval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD;
  while (got < to_read) {
    ssize_t n = read(p->fd, out + got, to_read - got);
    if (n > 0) {
      got += static_cast<DWORD>(n);
      if (return_on_any) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      if (got > 0) break;  // what came before the failure is handed over
      return fail_errno(errno);
    }
    if (n == 0 && peer_gone(p->fd)) {
      if (got > 0) break;
      return fail_errno(EIO);
    }
    if (immediate) break;
    int64_t limit = deadline;
    if (interval && got > 0) {
      int64_t gap = now_ms() + to.ReadIntervalTimeout;
      limit = limit < 0 || gap < limit ? gap : limit;
    }
    int rc = wait_ready(p->fd, POLLIN, limit);
    if (rc < 0) return fail_errno(errno);
    if (rc == 0) break;  // timed out: what came is the result
  }
  if (read_count) *read_count = got;
  return TRUE;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD to_write, DWORD *written,
               void *overlapped) {
  (void)overlapped;
  if (written != nullptr) *written = 0;
  auto p = port_of(file);
  if (!p) return FALSE;
  if (buffer == nullptr && to_write > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char *in = static_cast<const char *>(buffer);
  int64_t deadline = -1;
  if (p->is_tty) {
    std::lock_guard<std::mutex> lock(p->m);
    int64_t total = static_cast<int64_t>(p->timeouts.WriteTotalTimeoutMultiplier) * to_write +
                    p->timeouts.WriteTotalTimeoutConstant;
    if (total > 0) deadline = now_ms() + total;
  }
  DWORD done = 0;
  while (done < to_write) {
    ssize_t n = write(p->fd, in + done, to_write - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      if (written) *written = done;
      return fail_errno(errno);
    }
    int rc = wait_ready(p->fd, POLLOUT, deadline);
    if (rc < 0) return fail_errno(errno);
    if (rc == 0) break;  // the write time-out: fewer bytes went out
  }
  if (written) *written = done;
  return TRUE;
}
