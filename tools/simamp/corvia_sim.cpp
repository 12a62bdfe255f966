// corvia_sim: a simulated Corvia-10 front end behind a pseudo-terminal,
// entered in the platform's COM port map, so that KestoSerial, CorviaDLL
// and capture_corvia can run without the amplifier.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "simamp.h"
#include "win32.h"

namespace {

const char *const progname = "corvia_sim";

const char help_text[] =
    "\ncorvia_sim - a simulated Corvia-10 amplifier front end on a pseudo-terminal.\n"
    "usage: corvia_sim [OPTIONS] COMn\n"
    "\n"
    "Opens a pseudo-terminal, enters it in the COM port map under COMn, prints\n"
    "\"corvia_sim: COMn is DEVICE\" on standard output and serves the front end's\n"
    "protocol until Ctrl-C, SIGTERM or --seconds; the map entry is removed on exit.\n"
    "\n"
    "Device:\n"
    "    --help, -h              Display this help.\n"
    "    --seconds=S, -s S       Stop after S seconds (default: run until stopped).\n"
    "    --verbose, -v           Log commands and faults on standard error.\n"
    "    --serial=N              Serial number (default 10000042).\n"
    "    --base-rate=HZ          Base sample rate (default 2048).\n"
    "    --rate-limit=HZ         Highest rate served; faster rate codes are refused\n"
    "                            (default 0 = the base rate).\n"
    "    --channels=N            Number of channels (default 14).\n"
    "    --exg=N, --aux=N        ExG and AUX channels among them (default 2 and 6).\n"
    "    --hardware-version=N, --software-version=N\n"
    "    --command-buffer=W, --send-buffer=W\n"
    "                            Buffer sizes in words (default 140 and 256).\n"
    "    --no-tables             Serve no channel tables (the host's defaults apply).\n"
    "    --compressed            Stream compressed blocks (type 47) instead of plain\n"
    "                            records (type 1).\n"
    "    --prefix-width=B        Width prefix bits of compressed blocks (default 4).\n"
    "    --block-records=N       Delta records per block (default 7).\n"
    "    --decimation=N,N,...    Decimation count per channel (default 0 except\n"
    "                            status 3 and battery 15).\n"
    "Memory:\n"
    "    --memory=FILE           Keep the memory image in FILE (created when missing).\n"
    "    --memory-size=KIB       Size of a new image (default 16384).\n"
    "    --recordings=S,S,...|none\n"
    "                            Format the memory with stored recordings of these\n"
    "                            lengths in seconds (default for a new image: 10,5).\n"
    "    --erase-time=MS         How long an erase keeps the memory busy (default 300).\n"
    "    --record-channels=SIZE[:SHIFT[:SKIP]],...\n"
    "                            How channels A, B, ... are stored in recordings: value\n"
    "                            size in bytes (0 none, 1 and 2 deltas, 3 and 4 absolute),\n"
    "                            shift in bits, skip mask (default: all channels, sizes\n"
    "                            from their widths).\n"
    "    --format-word=W         Format word of the configuration block (default 0xF30A;\n"
    "                            0x0300 or 0xFFFF: data 40 bytes after each header).\n"
    "Signals (channels C to H):\n"
    "    --seed=N, --hr=BPM, --hr-schedule=T:BPM,..., --hrv=X, --rsa=X,\n"
    "    --resp-rate=BPM, --resp-schedule=T:BPM,..., --lag=SEC, --noise=X,\n"
    "    --scr-rate=N, --emg-rate=N\n"
    "                            As for physio_gen.\n"
    "Faults (times in seconds of acquisition unless said otherwise):\n"
    "    --drop=CMD[:COUNT]      Do not answer COUNT (default 1; 'all') commands CMD.\n"
    "    --delay=CMD:MS[:COUNT]  Answer them MS milliseconds late.\n"
    "    --corrupt=CMD[:COUNT]   Answer them with a bad checksum.\n"
    "    --error=CMD:CODE[:COUNT]\n"
    "                            Refuse them with error code CODE.\n"
    "                            CMD: a block type or identify, acquisition, status,\n"
    "                            erase, read, write, table, compression, any.\n"
    "    --corrupt-samples=N     Every Nth sample frame has a bad checksum.\n"
    "    --line-noise=N[:MAX]    1 to MAX (default 7) noise bytes after every Nth frame.\n"
    "    --sync-noise            Half the noise bytes are AA (false syncs).\n"
    "    --bad-count=N           A frame announcing 255 words after every Nth frame.\n"
    "    --stray=TYPE:RATE       Frames of block TYPE arrive unasked, RATE per second\n"
    "                            from the host's first byte.\n"
    "    --table-version=V       Version word of the channel tables (2 to 255,\n"
    "                            default 6; 2 ends the host's scan, below 6 no\n"
    "                            device name).\n"
    "    --no-names              Channel entries without name records.\n"
    "    --widths=W,W,...        Channel widths in bits (1 to 32) in the tables;\n"
    "                            widths other than 8, 16, 24 go as plain records.\n"
    "    --mute-after=S          Stop answering S seconds after the first byte from\n"
    "                            the host (0: never answer).\n"
    "    --mute-after-commands=N Answer only the first N commands.\n"
    "    --limit=S:N             Send a channel-count limit of N channels at S.\n"
    "    --disconnect=CH:START:END\n"
    "                            Channel CH (A, B, ... or 0, 1, ...) reads exactly 0.\n"
    "    --invalid=CH:START:END  Channel CH sends its invalid marker (in stored\n"
    "                            recordings: seconds into each).\n"
    "    --watchdog=MS           Stop acquiring when the host is silent this long.\n"
    "\n";

volatile sig_atomic_t stop_requested = 0;
void on_signal(int) { stop_requested = 1; }

[[noreturn]] void usage_error(const std::string &msg) {
  fprintf(stderr, "%s error: %s (see --help)\n", progname, msg.c_str());
  exit(1);
}

double parse_double(const char *option, const char *text) {
  char *end;
  errno = 0;
  const double v = strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v))
    usage_error(std::string("--") + option + ": not a number: '" + text + "'");
  return v;
}

double parse_nonnegative(const char *option, const char *text) {
  const double v = parse_double(option, text);
  if (v < 0) usage_error(std::string("--") + option + " must not be negative: '" + text + "'");
  return v;
}

long long parse_integer(const char *option, const char *text, long long lo, long long hi) {
  char *end;
  errno = 0;
  const long long v = strtoll(text, &end, 0);
  if (end == text || *end != '\0' || errno == ERANGE)
    usage_error(std::string("--") + option + ": not an integer: '" + text + "'");
  if (v < lo || v > hi)
    usage_error(std::string("--") + option + " must be " + std::to_string(lo) + " to " +
                std::to_string(hi) + ": '" + text + "'");
  return v;
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  size_t a = 0;
  for (;;) {
    size_t b = s.find(sep, a);
    parts.push_back(s.substr(a, b == std::string::npos ? std::string::npos : b - a));
    if (b == std::string::npos) break;
    a = b + 1;
  }
  return parts;
}

int parse_command(const char *option, const std::string &s) {
  static const struct {
    const char *name;
    int type;
  } names[] = {{"any", -1},        {"identify", SIMAMP_CMD_IDENTIFY},
               {"acquisition", SIMAMP_CMD_SET_ACQUISITION},
               {"status", SIMAMP_CMD_MEMORY_STATUS}, {"erase", SIMAMP_CMD_ERASE},
               {"read", SIMAMP_CMD_READ_MEMORY},     {"write", SIMAMP_CMD_WRITE_MEMORY},
               {"table", SIMAMP_CMD_READ_TABLE},     {"compression", SIMAMP_CMD_COMPRESSION}};
  for (const auto &n : names)
    if (strcasecmp(s.c_str(), n.name) == 0) return n.type;
  return (int)parse_integer(option, s.c_str(), 0, 255);
}

int parse_count(const char *option, const std::string &s) {
  if (strcasecmp(s.c_str(), "all") == 0) return -1;
  return (int)parse_integer(option, s.c_str(), 1, 1000000000);
}

void parse_fault(const char *option, int kind, const char *text, simamp_config *cfg) {
  const std::vector<std::string> p = split(text, ':');
  const bool has_value = kind == SIMAMP_FAULT_DELAY || kind == SIMAMP_FAULT_ERROR;
  const size_t need = has_value ? 2 : 1;
  if (p.size() < need || p.size() > need + 1)
    usage_error(std::string("--") + option + ": expected CMD" + (has_value ? ":VALUE" : "") +
                "[:COUNT]: '" + text + "'");
  simamp_reply_fault f;
  f.kind = kind;
  f.command = parse_command(option, p[0]);
  f.value = 0;
  if (kind == SIMAMP_FAULT_DELAY) f.value = (int)parse_integer(option, p[1].c_str(), 0, 600000);
  if (kind == SIMAMP_FAULT_ERROR) f.value = (int)parse_integer(option, p[1].c_str(), 1, 255);
  f.count = p.size() > need ? parse_count(option, p[need]) : 1;
  cfg->reply_faults.push_back(f);
}

int parse_channel(const char *option, const std::string &s, int channels) {
  int c = -1;
  if (s.size() == 1 && isalpha((unsigned char)s[0])) c = toupper((unsigned char)s[0]) - 'A';
  else c = (int)parse_integer(option, s.c_str(), 0, 63);
  if (c < 0 || c >= channels)
    usage_error(std::string("--") + option + ": no channel '" + s + "'");
  return c;
}

std::vector<double> parse_seconds_list(const char *option, const char *text) {
  std::vector<double> v;
  if (strcasecmp(text, "none") == 0) return v;
  for (const std::string &s : split(text, ',')) {
    const double x = parse_double(option, s.c_str());
    if (!(x > 0) || x > 100000)
      usage_error(std::string("--") + option + ": lengths must be positive: '" + text + "'");
    v.push_back(x);
  }
  return v;
}

bool valid_com_name(const char *s) {
  if (strncasecmp(s, "COM", 3) != 0 || s[3] < '1' || s[3] > '9') return false;
  for (const char *p = s + 3; *p; p++)
    if (*p < '0' || *p > '9') return false;
  return strlen(s) <= 8;
}

int64_t now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char **argv) {
  simamp_config cfg;
  simamp_config_init(&cfg);
  double seconds = -1;
  bool verbose = false;
  const char *memory_file = nullptr;
  long long memory_kib = -1;
  bool recordings_given = false;
  std::vector<double> recordings = {10, 5};
  double noise_scale = 1.0;
  std::vector<std::string> disconnects, invalids, decimation;
  const char *limit = nullptr;

  enum {
    OPT_SERIAL = 256, OPT_BASE_RATE, OPT_RATE_LIMIT, OPT_CHANNELS, OPT_EXG, OPT_AUX, OPT_HW,
    OPT_SW, OPT_CMDBUF, OPT_SENDBUF, OPT_NO_TABLES, OPT_COMPRESSED, OPT_PREFIX, OPT_BLOCK,
    OPT_DECIMATION, OPT_MEMORY, OPT_MEMORY_SIZE, OPT_RECORDINGS, OPT_ERASE_TIME, OPT_SEED, OPT_HR,
    OPT_HR_SCHEDULE, OPT_HRV, OPT_RSA, OPT_RESP_RATE, OPT_RESP_SCHEDULE, OPT_LAG, OPT_NOISE,
    OPT_SCR_RATE, OPT_EMG_RATE, OPT_DROP, OPT_DELAY, OPT_CORRUPT, OPT_ERROR, OPT_CORRUPT_SAMPLES,
    OPT_LINE_NOISE, OPT_MUTE_AFTER, OPT_MUTE_COMMANDS, OPT_LIMIT, OPT_DISCONNECT, OPT_INVALID,
    OPT_WATCHDOG, OPT_SYNC_NOISE, OPT_BAD_COUNT, OPT_STRAY, OPT_TABLE_VERSION, OPT_NO_NAMES,
    OPT_WIDTHS, OPT_RECORD_CHANNELS, OPT_FORMAT_WORD
  };
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"seconds", required_argument, nullptr, 's'},
      {"verbose", no_argument, nullptr, 'v'},
      {"serial", required_argument, nullptr, OPT_SERIAL},
      {"base-rate", required_argument, nullptr, OPT_BASE_RATE},
      {"rate-limit", required_argument, nullptr, OPT_RATE_LIMIT},
      {"channels", required_argument, nullptr, OPT_CHANNELS},
      {"exg", required_argument, nullptr, OPT_EXG},
      {"aux", required_argument, nullptr, OPT_AUX},
      {"hardware-version", required_argument, nullptr, OPT_HW},
      {"software-version", required_argument, nullptr, OPT_SW},
      {"command-buffer", required_argument, nullptr, OPT_CMDBUF},
      {"send-buffer", required_argument, nullptr, OPT_SENDBUF},
      {"no-tables", no_argument, nullptr, OPT_NO_TABLES},
      {"compressed", no_argument, nullptr, OPT_COMPRESSED},
      {"prefix-width", required_argument, nullptr, OPT_PREFIX},
      {"block-records", required_argument, nullptr, OPT_BLOCK},
      {"decimation", required_argument, nullptr, OPT_DECIMATION},
      {"memory", required_argument, nullptr, OPT_MEMORY},
      {"memory-size", required_argument, nullptr, OPT_MEMORY_SIZE},
      {"recordings", required_argument, nullptr, OPT_RECORDINGS},
      {"erase-time", required_argument, nullptr, OPT_ERASE_TIME},
      {"seed", required_argument, nullptr, OPT_SEED},
      {"hr", required_argument, nullptr, OPT_HR},
      {"hr-schedule", required_argument, nullptr, OPT_HR_SCHEDULE},
      {"hrv", required_argument, nullptr, OPT_HRV},
      {"rsa", required_argument, nullptr, OPT_RSA},
      {"resp-rate", required_argument, nullptr, OPT_RESP_RATE},
      {"resp-schedule", required_argument, nullptr, OPT_RESP_SCHEDULE},
      {"lag", required_argument, nullptr, OPT_LAG},
      {"noise", required_argument, nullptr, OPT_NOISE},
      {"scr-rate", required_argument, nullptr, OPT_SCR_RATE},
      {"emg-rate", required_argument, nullptr, OPT_EMG_RATE},
      {"drop", required_argument, nullptr, OPT_DROP},
      {"delay", required_argument, nullptr, OPT_DELAY},
      {"corrupt", required_argument, nullptr, OPT_CORRUPT},
      {"error", required_argument, nullptr, OPT_ERROR},
      {"corrupt-samples", required_argument, nullptr, OPT_CORRUPT_SAMPLES},
      {"line-noise", required_argument, nullptr, OPT_LINE_NOISE},
      {"mute-after", required_argument, nullptr, OPT_MUTE_AFTER},
      {"mute-after-commands", required_argument, nullptr, OPT_MUTE_COMMANDS},
      {"limit", required_argument, nullptr, OPT_LIMIT},
      {"disconnect", required_argument, nullptr, OPT_DISCONNECT},
      {"invalid", required_argument, nullptr, OPT_INVALID},
      {"watchdog", required_argument, nullptr, OPT_WATCHDOG},
      {"sync-noise", no_argument, nullptr, OPT_SYNC_NOISE},
      {"bad-count", required_argument, nullptr, OPT_BAD_COUNT},
      {"stray", required_argument, nullptr, OPT_STRAY},
      {"table-version", required_argument, nullptr, OPT_TABLE_VERSION},
      {"no-names", no_argument, nullptr, OPT_NO_NAMES},
      {"widths", required_argument, nullptr, OPT_WIDTHS},
      {"record-channels", required_argument, nullptr, OPT_RECORD_CHANNELS},
      {"format-word", required_argument, nullptr, OPT_FORMAT_WORD},
      {nullptr, 0, nullptr, 0}};
  for (;;) {
    const int c = getopt_long(argc, argv, "hs:v", long_options, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        fputs(help_text, stderr);
        return 0;
      case 's': seconds = parse_nonnegative("seconds", optarg); break;
      case 'v': verbose = true; break;
      case OPT_SERIAL: cfg.serial_number = (uint32_t)parse_integer("serial", optarg, 1, 0xFFFFFFFFll); break;
      case OPT_BASE_RATE: cfg.base_rate = (int)parse_integer("base-rate", optarg, 1, 65535); break;
      case OPT_RATE_LIMIT: cfg.rate_limit = (int)parse_integer("rate-limit", optarg, 0, 65535); break;
      case OPT_CHANNELS: cfg.channels = (int)parse_integer("channels", optarg, 1, 64); break;
      case OPT_EXG: cfg.exg_channels = (int)parse_integer("exg", optarg, 0, 64); break;
      case OPT_AUX: cfg.aux_channels = (int)parse_integer("aux", optarg, 0, 64); break;
      case OPT_HW: cfg.hardware_version = (int)parse_integer("hardware-version", optarg, 0, 65535); break;
      case OPT_SW: cfg.software_version = (int)parse_integer("software-version", optarg, 0, 65535); break;
      case OPT_CMDBUF: cfg.command_buffer = (int)parse_integer("command-buffer", optarg, 8, 65535); break;
      case OPT_SENDBUF: cfg.send_buffer = (int)parse_integer("send-buffer", optarg, 8, 65535); break;
      case OPT_NO_TABLES: cfg.tables = false; break;
      case OPT_COMPRESSED: cfg.compressed = true; break;
      case OPT_PREFIX: cfg.compression.prefix_width = (int)parse_integer("prefix-width", optarg, 1, 5); break;
      case OPT_BLOCK: cfg.compression.block_records = (int)parse_integer("block-records", optarg, 0, 255); break;
      case OPT_DECIMATION: decimation = split(optarg, ','); break;
      case OPT_MEMORY: memory_file = optarg; break;
      case OPT_MEMORY_SIZE: memory_kib = parse_integer("memory-size", optarg, 64, 1048576); break;
      case OPT_RECORDINGS:
        recordings = parse_seconds_list("recordings", optarg);
        recordings_given = true;
        break;
      case OPT_ERASE_TIME: cfg.erase_ms = (int)parse_integer("erase-time", optarg, 0, 600000); break;
      case OPT_SEED: cfg.physio.seed = (uint64_t)parse_integer("seed", optarg, 0, INT64_MAX); cfg.seed = cfg.physio.seed; break;
      case OPT_HR:
        cfg.physio.heart_rate = parse_nonnegative("hr", optarg);
        if (!(cfg.physio.heart_rate > 0)) usage_error("--hr must be positive");
        cfg.physio.hr_schedule.clear();
        break;
      case OPT_HR_SCHEDULE:
        if (!physio_parse_schedule(optarg, &cfg.physio.hr_schedule))
          usage_error(std::string("--hr-schedule: expected T:BPM,T:BPM,... with ascending times "
                                  "and positive rates: '") + optarg + "'");
        break;
      case OPT_HRV: cfg.physio.hrv = parse_nonnegative("hrv", optarg); break;
      case OPT_RSA: cfg.physio.rsa = parse_nonnegative("rsa", optarg); break;
      case OPT_RESP_RATE:
        cfg.physio.resp_rate = parse_nonnegative("resp-rate", optarg);
        if (!(cfg.physio.resp_rate > 0)) usage_error("--resp-rate must be positive");
        cfg.physio.resp_schedule.clear();
        break;
      case OPT_RESP_SCHEDULE:
        if (!physio_parse_schedule(optarg, &cfg.physio.resp_schedule))
          usage_error(std::string("--resp-schedule: expected T:BPM,T:BPM,... with ascending "
                                  "times and positive rates: '") + optarg + "'");
        break;
      case OPT_LAG: cfg.physio.pulse_lag = parse_nonnegative("lag", optarg); break;
      case OPT_NOISE: noise_scale = parse_nonnegative("noise", optarg); break;
      case OPT_SCR_RATE: cfg.physio.scr_rate = parse_nonnegative("scr-rate", optarg); break;
      case OPT_EMG_RATE: cfg.physio.emg_burst_rate = parse_nonnegative("emg-rate", optarg); break;
      case OPT_DROP: parse_fault("drop", SIMAMP_FAULT_DROP, optarg, &cfg); break;
      case OPT_DELAY: parse_fault("delay", SIMAMP_FAULT_DELAY, optarg, &cfg); break;
      case OPT_CORRUPT: parse_fault("corrupt", SIMAMP_FAULT_CORRUPT, optarg, &cfg); break;
      case OPT_ERROR: parse_fault("error", SIMAMP_FAULT_ERROR, optarg, &cfg); break;
      case OPT_CORRUPT_SAMPLES:
        cfg.corrupt_samples_every = (int)parse_integer("corrupt-samples", optarg, 1, 1000000000);
        break;
      case OPT_LINE_NOISE: {
        const std::vector<std::string> p = split(optarg, ':');
        if (p.size() > 2) usage_error(std::string("--line-noise: expected N[:MAX]: '") + optarg + "'");
        cfg.noise_every = (int)parse_integer("line-noise", p[0].c_str(), 1, 1000000000);
        if (p.size() == 2) cfg.noise_max = (int)parse_integer("line-noise", p[1].c_str(), 1, 255);
        break;
      }
      case OPT_MUTE_AFTER: cfg.mute_after = parse_nonnegative("mute-after", optarg); break;
      case OPT_MUTE_COMMANDS:
        cfg.mute_after_commands = (int)parse_integer("mute-after-commands", optarg, 0, 1000000000);
        break;
      case OPT_LIMIT: limit = optarg; break;
      case OPT_DISCONNECT: disconnects.push_back(optarg); break;
      case OPT_INVALID: invalids.push_back(optarg); break;
      case OPT_WATCHDOG: cfg.watchdog_ms = (int)parse_integer("watchdog", optarg, 1, 3600000); break;
      case OPT_SYNC_NOISE: cfg.noise_syncs = true; break;
      case OPT_BAD_COUNT:
        cfg.bad_count_every = (int)parse_integer("bad-count", optarg, 1, 1000000000);
        break;
      case OPT_STRAY: {
        const std::vector<std::string> p = split(optarg, ':');
        if (p.size() != 2) usage_error(std::string("--stray: expected TYPE:RATE: '") + optarg + "'");
        cfg.stray_type = (int)parse_integer("stray", p[0].c_str(), 0, 255);
        cfg.stray_rate = parse_nonnegative("stray", p[1].c_str());
        break;
      }
      case OPT_TABLE_VERSION:
        cfg.table_version = (int)parse_integer("table-version", optarg, 2, 255);
        break;
      case OPT_NO_NAMES: cfg.unnamed = true; break;
      case OPT_WIDTHS:
        cfg.widths.clear();
        for (const std::string &w : split(optarg, ','))
          cfg.widths.push_back((int)parse_integer("widths", w.c_str(), 1, 32));
        break;
      case OPT_RECORD_CHANNELS:
        cfg.recorded.clear();
        for (const std::string &e : split(optarg, ',')) {
          const std::vector<std::string> p = split(e, ':');
          if (p.size() > 3)
            usage_error(std::string("--record-channels: expected SIZE[:SHIFT[:SKIP]],...: '") +
                        optarg + "'");
          simamp_recorded_channel r = {0, 0, 0};
          r.size = (int)parse_integer("record-channels", p[0].c_str(), 0, 4);
          if (p.size() > 1) r.shift = (int)parse_integer("record-channels", p[1].c_str(), 0, 31);
          if (p.size() > 2) r.skip = (int)parse_integer("record-channels", p[2].c_str(), 0, 255);
          cfg.recorded.push_back(r);
        }
        break;
      case OPT_FORMAT_WORD:
        cfg.format_word = (uint16_t)parse_integer("format-word", optarg, 0, 0xFFFF);
        break;
      default:  // getopt_long has said what was wrong
        return 1;
    }
  }
  if (optind >= argc) usage_error("no COM port name given");
  if (optind + 1 < argc) usage_error(std::string("unexpected argument '") + argv[optind + 1] + "'");
  std::string com = argv[optind];
  for (char &ch : com) ch = (char)toupper((unsigned char)ch);
  if (!valid_com_name(com.c_str()))
    usage_error(std::string("not a COM port name (COM1, COM2, ...): '") + argv[optind] + "'");

  // Options that depend on the number of channels.
  if (!decimation.empty()) {
    cfg.compression.decimation.clear();
    for (const std::string &s : decimation)
      cfg.compression.decimation.push_back((int)parse_integer("decimation", s.c_str(), 0, 65535));
  }
  if ((int)cfg.compression.decimation.size() > cfg.channels) cfg.compression.decimation.resize((size_t)cfg.channels);
  if (limit) {
    const std::vector<std::string> p = split(limit, ':');
    if (p.size() != 2) usage_error(std::string("--limit: expected SECONDS:CHANNELS: '") + limit + "'");
    cfg.limit_time = parse_nonnegative("limit", p[0].c_str());
    cfg.limit_channels = (int)parse_integer("limit", p[1].c_str(), 1, cfg.channels);
  }
  for (int pass = 0; pass < 2; pass++) {
    const char *opt = pass ? "invalid" : "disconnect";
    for (const std::string &s : pass ? invalids : disconnects) {
      const std::vector<std::string> p = split(s, ':');
      if (p.size() != 3) usage_error(std::string("--") + opt + ": expected CH:START:END: '" + s + "'");
      simamp_stretch st;
      st.channel = parse_channel(opt, p[0], cfg.channels);
      st.start = parse_nonnegative(opt, p[1].c_str());
      st.end = parse_nonnegative(opt, p[2].c_str());
      if (!(st.end > st.start)) usage_error(std::string("--") + opt + ": END must be after START: '" + s + "'");
      (pass ? cfg.invalids : cfg.disconnects).push_back(st);
    }
  }
  cfg.physio.ecg_noise *= noise_scale;
  cfg.physio.ecg_mains *= noise_scale;
  cfg.physio.ecg_wander *= noise_scale;
  cfg.physio.bvp_noise *= noise_scale;
  cfg.physio.resp_noise *= noise_scale;
  cfg.physio.sc_noise *= noise_scale;
  cfg.physio.temp_noise *= noise_scale;
  if (memory_kib > 0) cfg.memory_size = (uint32_t)memory_kib * 1024u;
  const std::string problem = simamp_config_check(&cfg);
  if (!problem.empty()) usage_error(problem);
  if (cfg.channels != 14)
    fprintf(stderr, "%s warning: capture_corvia expects 14 channels, this front end has %d\n",
            progname, cfg.channels);
  if (!cfg.tables && cfg.exg_channels > 2)
    fprintf(stderr,
            "%s warning: without tables the host references ExG channels to their average; "
            "channels C to H then do not carry their signals unchanged\n",
            progname);

  // The memory image.
  simamp_memory memory;
  bool created = true;
  if (memory_file) {
    const std::string e = simamp_memory_open(&memory, memory_file, cfg.memory_size, &created);
    if (!e.empty()) {
      fprintf(stderr, "%s error: %s\n", progname, e.c_str());
      return 1;
    }
    if (memory_kib > 0 && !created && memory.size != cfg.memory_size) {
      fprintf(stderr, "%s error: %s holds %u KiB, not the %lld KiB asked for\n", progname,
              memory_file, memory.size / 1024, memory_kib);
      simamp_memory_close(&memory);
      return 1;
    }
    cfg.memory_size = memory.size;
  } else {
    simamp_memory_init(&memory, cfg.memory_size);
  }
  if (created || recordings_given) {
    std::vector<simamp_channel> chs = simamp_channels_build(&cfg);
    std::string e = simamp_memory_format(&memory, &cfg, chs, recordings);
    if (!e.empty() && !recordings_given) {
      // The default recordings do not fit a small image: none then.
      recordings.clear();
      e = simamp_memory_format(&memory, &cfg, chs, recordings);
    }
    if (!e.empty()) {
      fprintf(stderr, "%s error: %s\n", progname, e.c_str());
      simamp_memory_close(&memory);
      return 1;
    }
  }

  // The pseudo-terminal. The simulator keeps the terminal side open itself,
  // so that the host may open and close it any number of times.
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    fprintf(stderr, "%s error: cannot open a pseudo-terminal: %s\n", progname, strerror(errno));
    return 1;
  }
  const char *name = ptsname(master);
  if (!name) {
    fprintf(stderr, "%s error: cannot open a pseudo-terminal: %s\n", progname, strerror(errno));
    return 1;
  }
  const std::string device = name;
  const int slave = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    fprintf(stderr, "%s error: %s: %s\n", progname, device.c_str(), strerror(errno));
    return 1;
  }
  struct termios t;
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  const std::string previous = platform_portmap_lookup(com.c_str());
  if (!previous.empty() && previous != device)
    fprintf(stderr, "%s warning: %s was entered for %s; replacing it\n", progname, com.c_str(),
            previous.c_str());
  const LONG rc = platform_portmap_set(com.c_str(), device.c_str());
  if (rc != 0) {
    fprintf(stderr, "%s error: cannot enter %s in the port map (%s): %s\n", progname, com.c_str(),
            platform_registry_file().c_str(), platform_error_text((DWORD)rc).c_str());
    return 1;
  }

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  simamp_device dev;
  simamp_device_init(&dev, &cfg, &memory);
  dev.verbose = verbose;

  printf("%s: %s is %s\n", progname, com.c_str(), device.c_str());
  fflush(stdout);
  fprintf(stderr,
          "%s info: serial number %u, %d channels, base rate %d Hz, %s, %s; memory %u KiB with "
          "%zu recordings\n",
          progname, cfg.serial_number, cfg.channels, cfg.base_rate,
          cfg.tables ? "channel tables" : "no channel tables",
          cfg.compressed ? "compressed blocks" : "plain records", memory.size / 1024,
          simamp_memory_recordings(&memory).size());

  const int64_t t0 = now_us();
  int status = 0;
  std::vector<uint8_t> buf(65536);
  while (!stop_requested) {
    const int64_t now = now_us();
    if (seconds >= 0 && now - t0 >= (int64_t)(seconds * 1e6)) break;
    for (;;) {
      const ssize_t r = read(master, buf.data(), buf.size());
      if (r > 0) {
        simamp_device_receive(&dev, buf.data(), (size_t)r, now);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      break;  // EAGAIN: nothing more; EIO cannot happen while our side is open
    }
    simamp_device_run(&dev, now);
    size_t n;
    const uint8_t *p = simamp_device_output(&dev, &n);
    while (n > 0) {
      const ssize_t w = write(master, p, n);
      if (w > 0) {
        simamp_device_consume(&dev, (size_t)w);
        p = simamp_device_output(&dev, &n);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) {
        fprintf(stderr, "%s error: %s: %s\n", progname, device.c_str(), strerror(errno));
        status = 1;
        stop_requested = 1;
      }
      break;  // the terminal's buffer is full: the host is not reading
    }
    // Small steady bursts while acquiring; otherwise wake for commands and
    // delayed replies.
    int timeout = dev.acquiring ? 2 : 20;
    simamp_device_output(&dev, &n);
    struct pollfd pf = {master, (short)(POLLIN | (n > 0 ? POLLOUT : 0)), 0};
    if (poll(&pf, 1, timeout) < 0 && errno != EINTR) {
      fprintf(stderr, "%s error: poll: %s\n", progname, strerror(errno));
      status = 1;
      break;
    }
  }

  if (platform_portmap_lookup(com.c_str()) == device) platform_portmap_remove(com.c_str());
  fprintf(stderr,
          "%s info: %llu commands (%llu with a bad checksum), %llu replies, %llu keep-alives, "
          "%llu records in %llu frames, %llu records dropped\n",
          progname, (unsigned long long)dev.stats.commands,
          (unsigned long long)dev.stats.bad_frames, (unsigned long long)dev.stats.replies,
          (unsigned long long)dev.stats.keep_alives, (unsigned long long)dev.stats.records,
          (unsigned long long)dev.stats.sample_frames,
          (unsigned long long)dev.stats.dropped_records);
  simamp_device_free(&dev);
  simamp_memory_close(&memory);
  close(slave);
  close(master);
  return status;
}
