// The serial link: the port and its settings, framing, the receive ring and
// its parser, the dispatch by block type, and waiting for replies.
#include <algorithm>
#include <cstring>

#include "frontend.h"

namespace {

// GetTickCount and Sleep.
struct SystemClock final : LinkClock {
  DWORD now() override { return GetTickCount(); }
  void sleep(DWORD ms) override { Sleep(ms); }
};
SystemClock system_clock;

const int sync_byte = 0xAA;
const DWORD resend_after_ms = 250;
const int other_frames_before_resend = 511;

uint16_t word_at(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The checksum that makes the 16-bit sum of a frame's words zero.
uint16_t checksum_of(const uint8_t *frame, int words) {
  uint16_t sum = 0;
  for (int i = 0; i < words; i++) sum = static_cast<uint16_t>(sum + word_at(frame + 2 * i));
  return static_cast<uint16_t>(0x10000u - sum);
}

}  // namespace

int ks_frame_build(uint8_t *frame, int type, int n, const uint16_t *data) {
  frame[0] = frame[1] = sync_byte;
  frame[2] = static_cast<uint8_t>(n);
  frame[3] = static_cast<uint8_t>(type);
  for (int i = 0; i < n; i++) {
    const uint16_t w = data ? data[i] : 0;
    frame[4 + 2 * i] = static_cast<uint8_t>(w);
    frame[5 + 2 * i] = static_cast<uint8_t>(w >> 8);
  }
  const uint16_t sum = checksum_of(frame, n + 2);
  frame[4 + 2 * n] = static_cast<uint8_t>(sum);
  frame[5 + 2 * n] = static_cast<uint8_t>(sum >> 8);
  return 2 * n + 6;
}

SerialLink::SerialLink()
    : clock_(&system_clock),
      device_name_("Serial Device") {
  ClearFrontEnd();
}

SerialLink::~SerialLink() { Close(); }

// ---------------------------------------------------------------------------
// The port.

void SerialLink::SetError(int code, const std::string &text) {
  last_error_code_ = code;
  last_error_text_ = text;
}

void SerialLink::SetPortError(DWORD code, const char *function) {
  // A failing call that leaves no code is still a failure.
  if (code == 0) code = ERROR_GEN_FAILURE;
  char message[512] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message,
                           sizeof message, nullptr);
  // The system's text ends with a line end, which would split the message.
  while (n > 0 && (message[n - 1] == '\n' || message[n - 1] == '\r')) message[--n] = '\0';
  char text[700];
  snprintf(text, sizeof text, "%s [Code=%d; Function=%s]", message, static_cast<int>(code),
           function);
  SetError(static_cast<int>(code), text);
}

DWORD SerialLink::Open(const char *name, DWORD baud) {
  Close();
  HANDLE h = CreateFileA(name ? name : "", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  auto fail = [&](const char *function) {
    SetPortError(GetLastError(), function);
    return static_cast<DWORD>(last_error_code_);
  };
  if (h == INVALID_HANDLE_VALUE) return fail("CreateFile");
  // A failed step below leaves the handle open; the next Open or Close
  // closes it.
  port_ = h;
  DWORD errors = 0;
  COMSTAT stat;
  if (!SetupComm(h, 64000, 64000)) return fail("SetupComm");
  ClearCommError(h, &errors, &stat);
  // The front end's line is set to 9600 baud whatever rate was asked for:
  // kept as is, the devices it was made for run their own rate regardless.
  // On a pseudo-terminal or a USB virtual port the rate has no effect.
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 32000;
  dcb.XoffLim = 8000;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  if (!SetCommState(h, &dcb)) return fail("SetCommState");
  ClearCommError(h, &errors, &stat);
  if (!ClearCommBreak(h)) return fail("ClearCommBreak");
  ClearCommError(h, &errors, &stat);
  if (!PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR)) return fail("PurgeComm_TX");
  ClearCommError(h, &errors, &stat);
  if (!PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR)) return fail("PurgeComm_RX");
  ClearCommError(h, &errors, &stat);
  // A baud rate of 0 would divide by zero: it is taken as the usual 115200.
  const double rate = baud ? static_cast<double>(baud) : 115200.0;
  COMMTIMEOUTS timeouts = {0, 0, 10, static_cast<DWORD>(20000.0 / rate + 0.9999), 100};
  SetCommTimeouts(h, &timeouts);  // not checked: the defaults serve as well
  open_ = true;
  SetError(0, "");
  return 0;
}

void SerialLink::Close() {
  open_ = false;
  HANDLE h = port_.exchange(INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return;
  PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
  PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR);
  CloseHandle(h);
}

bool SerialLink::IsOpen() const { return open_; }

void SerialLink::SetIo(LinkIo *io) {
  io_ = io;
  open_ = io != nullptr || PortHandle() != INVALID_HANDLE_VALUE;
}

void SerialLink::SetClock(LinkClock *clock) { clock_ = clock ? clock : &system_clock; }

DWORD SerialLink::Read(uint8_t *buffer, DWORD max) {
  if (!open_ || max == 0) return 0;
  if (io_) return std::min(io_->read(buffer, max), max);
  HANDLE h = PortHandle();
  if (h == INVALID_HANDLE_VALUE) return 0;
  DWORD errors = 0;
  COMSTAT stat;
  if (!ClearCommError(h, &errors, &stat) && !ClearCommError(h, &errors, &stat)) return 0;
  if (errors & CE_MODE) return 0;
  const DWORD n = std::min(stat.cbInQue, max);
  DWORD got = 0;
  if (n == 0 || !ReadFile(h, buffer, n, &got, nullptr)) return 0;
  return got;
}

// Under the write lock.
bool SerialLink::WriteAll(const uint8_t *bytes, DWORD count) {
  DWORD written = 0;
  if (open_) {
    if (io_) {
      written = io_->write(bytes, count);
    } else if (PortHandle() != INVALID_HANDLE_VALUE &&
               !WriteFile(PortHandle(), bytes, count, &written, nullptr)) {
      written = 0;
    }
  }
  if (written >= count) return true;
  // A short write means the line has failed: the port is closed.
  Close();
  return false;
}

DWORD SerialLink::Write(const uint8_t *buffer, DWORD count) {
  if (!open_) return 0;
  std::lock_guard<std::mutex> lock(write_lock_);
  DWORD written = 0;
  if (io_) return io_->write(buffer, count);
  if (!WriteFile(PortHandle(), buffer, count, &written, nullptr)) return 0;
  return written;
}

bool SerialLink::SendFrame(int type, int n, const uint16_t *data) {
  if (n < 0 || n > 254 || type < 0 || type > 255) return false;
  std::lock_guard<std::mutex> lock(write_lock_);
  memset(tx_, 0, sizeof tx_);
  tx_length_ = ks_frame_build(tx_, type, n, data);
  last_header_ = static_cast<uint16_t>(n | (type << 8));
  return WriteAll(tx_, static_cast<DWORD>(tx_length_));
}

bool SerialLink::Resend() {
  std::lock_guard<std::mutex> lock(write_lock_);
  return tx_length_ > 0 && WriteAll(tx_, static_cast<DWORD>(tx_length_));
}

bool SerialLink::SendKeepAlive() {
  // Written directly: the transmit frame kept for resending stays as it is.
  uint8_t frame[6];
  ks_frame_build(frame, KS_CMD_KEEP_ALIVE, 0, nullptr);
  std::lock_guard<std::mutex> lock(write_lock_);
  return WriteAll(frame, sizeof frame);
}

int SerialLink::LastErrorCode() const { return last_error_code_; }
std::string SerialLink::LastErrorText() const { return last_error_text_; }
uint16_t SerialLink::Status() const { return status_; }

// ---------------------------------------------------------------------------
// Parsing, under the parse lock.

void SerialLink::FillReceiveRing() {
  for (;;) {
    const unsigned held = (rx_write_ - rx_read_) & (KS_RX_RING - 1);
    const unsigned room = KS_RX_RING - 1 - held;
    if (room == 0) return;
    const unsigned ask = std::min(room, KS_RX_RING - rx_write_);
    const DWORD got = Read(rx_ring_ + rx_write_, ask);
    rx_write_ = (rx_write_ + got) & (KS_RX_RING - 1);
    if (got < ask) return;
  }
}

void SerialLink::Poll(DWORD now) {
  (void)now;
  std::lock_guard<std::mutex> lock(parse_lock_);
  FillReceiveRing();
  const unsigned mask = KS_RX_RING - 1;
  for (;;) {
    one_frame_ = true;
    unsigned held = (rx_write_ - rx_read_) & mask;
    if (frame_length_ == 0) {
      while (held >= 4) {
        if (rx_ring_[rx_read_] != sync_byte) {
          rx_read_ = (rx_read_ + 1) & mask;
          held -= 1;
        } else if (rx_ring_[(rx_read_ + 1) & mask] != sync_byte) {
          rx_read_ = (rx_read_ + 2) & mask;
          held -= 2;
        } else {
          frame_length_ = 2 * rx_ring_[(rx_read_ + 2) & mask] + 6;
          break;
        }
      }
      if (frame_length_ == 0) break;
    }
    if (static_cast<int>(held) < frame_length_) break;
    const int count = rx_ring_[(rx_read_ + 2) & mask];
    const int type = rx_ring_[(rx_read_ + 3) & mask];
    if (count == 255) {
      status_ = KS_STATUS_COUNT_255;
    } else {
      // Damaged frames are dropped whole (kept as the protocol has it: the
      // parser never resynchronises inside a frame it has announced).
      const unsigned first = std::min<unsigned>(frame_length_, KS_RX_RING - rx_read_);
      memcpy(rx_frame_, rx_ring_ + rx_read_, first);
      memcpy(rx_frame_ + first, rx_ring_, frame_length_ - first);
      // The words of a sound frame, checksum included, sum to zero.
      if (checksum_of(rx_frame_, count + 3) != 0) {
        status_ = KS_STATUS_CHECKSUM;
      } else {
        status_ = static_cast<uint16_t>(type);
        Dispatch(type, count);
      }
    }
    rx_read_ = (rx_read_ + frame_length_) & mask;
    frame_length_ = 0;
    if (one_frame_) return;
  }
  status_ = KS_STATUS_NONE;
}

void SerialLink::Dispatch(int type, int count) {
  const uint8_t *data = rx_frame_ + 4;
  uint16_t words[255];
  for (int i = 0; i < count; i++) words[i] = word_at(data + 2 * i);
  const KsBlockType *b = ks_block_type(type);
  const int awaited = expected_;
  switch (b ? b->handler : KS_HANDLE_NONE) {
    case KS_HANDLE_ACK:
      if (count >= 2 && words[0] == last_header_ && words[1] != 0)
        status_ = static_cast<uint16_t>(KS_STATUS_FE_ERROR + std::min<int>(words[1], 255));
      break;
    case KS_HANDLE_PLAIN:
      one_frame_ = false;
      DecodePlainRecord(data, 2 * count);
      break;
    case KS_HANDLE_COMPRESSED:
      one_frame_ = false;
      DecodeCompressedBlock(data, 2 * count);
      break;
    case KS_HANDLE_LIMIT:
      one_frame_ = false;
      HandleLimit(words, count);
      break;
    case KS_HANDLE_MEMORY:
      if (!data_mode_) one_frame_ = false;
      HandleMemoryBlock(words, count);
      break;
    case KS_HANDLE_REPLY:
      break;
    default:
      if (type != awaited) status_ = KS_STATUS_UNHANDLED;
      break;
  }
  uint16_t status = status_;
  if (type == 0 && (count < 2 || words[0] != last_header_)) {
    status_ = KS_STATUS_NONE;  // an error reply to some other command
    return;
  }
  if (awaited < 0) return;
  const bool error = (status & 0xFF00) == KS_STATUS_FE_ERROR;
  if (type == awaited) expected_ = -1;
  if (type == awaited || error) {
    // Kept for the waiting thread, whichever thread parsed it.
    reply_latched_ = true;
    latched_status_ = status;
    reply_.type = type;
    reply_.count = count;
    memcpy(reply_.words, words, sizeof(uint16_t) * static_cast<size_t>(count));
    reply_.checksum = word_at(data + 2 * count);
  }
}

void SerialLink::PollIdle() {
  if (expected_ == -1) Poll(clock_->now());
}

bool SerialLink::WaitReply(int type, const std::function<void()> &before_resend) {
  {
    // Already armed by Exchange, the reply may even have come.
    std::lock_guard<std::mutex> lock(parse_lock_);
    if (armed_ != type) {
      armed_ = expected_ = type;
      reply_latched_ = false;
    }
  }
  DWORD start = clock_->now();
  int due = 0, others = 0;
  bool ok = false;
  for (;;) {
    Poll(clock_->now());
    SetError(0, "");
    uint16_t status;
    {
      std::lock_guard<std::mutex> lock(parse_lock_);
      status = reply_latched_ ? latched_status_ : status_.load();
    }
    if (status == type) {
      ok = true;
      break;
    }
    bool resend = false;
    if (status >> 8) {
      if ((status & 0xFF00) == KS_STATUS_NONE) {
        resend = clock_->now() - start > resend_after_ms;
      } else if (status == KS_STATUS_FE_ERROR + 2) {
        resend = true;  // the front end received a damaged frame
      } else {
        SetError(status & 0xFF, ks_front_end_error_text(status & 0xFF));
        break;
      }
    } else {
      resend = ++others > other_frames_before_resend;
    }
    if (!resend) {
      clock_->sleep(0);
      continue;
    }
    if (++due >= KS_SENDINGS) {
      SetError(-1, "Front end not responding");
      break;
    }
    if (before_resend) before_resend();
    {
      std::lock_guard<std::mutex> lock(parse_lock_);
      expected_ = type;
      reply_latched_ = false;
    }
    Resend();
    start = clock_->now();
    others = 0;
  }
  std::lock_guard<std::mutex> lock(parse_lock_);
  armed_ = expected_ = -1;
  reply_latched_ = false;
  return ok;
}

bool SerialLink::Exchange(int type, int words, const uint16_t *data, int reply,
                          const std::function<void()> &before_resend) {
  {
    // Armed before sending, so that the worker's PollIdle leaves the reply
    // to this thread from the start.
    std::lock_guard<std::mutex> lock(parse_lock_);
    armed_ = expected_ = reply;
    reply_latched_ = false;
  }
  if (!SendFrame(type, words, data)) {
    std::lock_guard<std::mutex> lock(parse_lock_);
    armed_ = expected_ = -1;
    SetPortError(ERROR_GEN_FAILURE, "WriteFile");
    return false;
  }
  return WaitReply(reply, before_resend);
}

bool SerialLink::Command(int type, int words, const uint16_t *data,
                         const std::function<void()> &before_resend) {
  return Exchange(type, words, data, ks_block_type(type)->reply, before_resend);
}

uint16_t SerialLink::ReplyWord(int index) const {
  return index >= 0 && index < reply_.count ? reply_.words[index] : 0;
}
