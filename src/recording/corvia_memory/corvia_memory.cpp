// corvia_memory: the amplifier front end's own recording memory for people.
// The front end can record on its own, away from the computer (an ambulant
// recording); this lists what it stored, fetches a recording as a .fv
// stream, shows the memory's status, erases it and writes the standard
// configuration. It reaches the front end through the KestoSerial server's
// SerialSource object, as the device library does: it registers the server,
// finds the front end on the same COM ports in the same order (or on the one
// given), and for a download attaches a data-flow client to the object's
// output, through which the server replays the recording.
//
// Threads: the main thread drives the object; ReceiveBlock runs on the
// server's worker thread during a replay and meets the main thread only in
// the client's record queue (see Receiver).
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fv.h"
#include "kesto_serial.h"
#include "win32.h"

namespace {

const char *const progname = "corvia_memory";

const char help_text[] =
    "\ncorvia_memory - the recordings the amplifier's front end stored on its own "
    "(ambulant recordings).\n"
    "usage: corvia_memory [OPTIONS] list\n"
    "       corvia_memory [OPTIONS] status\n"
    "       corvia_memory [OPTIONS] download N > recording.fv\n"
    "       corvia_memory [OPTIONS] erase --yes\n"
    "       corvia_memory [OPTIONS] format --yes\n"
    "\n"
    "    list            one line per stored recording: its number, address, "
    "number of records,\n"
    "                    channels and their value sizes in bytes\n"
    "    status          total and free memory, and whether the front end is "
    "busy (recording or erasing)\n"
    "    download N      replay recording N (from 0) and write its records to "
    "standard output as\n"
    "                    a .fv stream: one float dimension per recorded "
    "channel, in the units the\n"
    "                    front end's channels are scaled to, in sequences named "
    "\"recording N\"\n"
    "    erase           erase the whole memory, every stored recording with it\n"
    "    format          write the standard configuration (five channels of one "
    "byte)\n"
    "\n"
    "OPTIONS:\n"
    "    --help, -h      Display this help.\n"
    "    --port=COMn, -p COMn\n"
    "                    the front end's COM port (default: the first that "
    "answers of COM3 to COM8,\n"
    "                    COM1, COM2, COM9 to COM12, as capture_corvia looks)\n"
    "    --yes, -y       confirm erase and format\n"
    "\n"
    "The COM port map is kept in the registry file named by "
    "CORVIA_REGISTRY_FILE, else\n"
    "~/.config/corvia/registry.txt (see corvia_ports).\n"
    "\n";

// The ports tried, in the device library's order.
const char *const port_scan_order[] = {"COM3", "COM4",  "COM5",  "COM6",
                                       "COM7", "COM8",  "COM1",  "COM2",
                                       "COM9", "COM10", "COM11", "COM12"};

// Records per .fv sequence: a long recording goes out in pieces as it comes.
const size_t records_per_sequence = 65536;

// Configuration block: number of channels and the channel entries (shift,
// size, skip mask, 255).
const int config_channels = 18;
const int config_entries = 38;
const int config_bytes = config_entries + 4 * 64;

volatile sig_atomic_t interrupted = 0;
void on_signal(int) { interrupted = 1; }

int error(const std::string &message) {
  fprintf(stderr, "%s error: %s\n", progname, message.c_str());
  return 1;
}

uint32_t get32(const std::vector<LONG> &b, int at) {
  return static_cast<uint32_t>(b[at] & 0xFF) | static_cast<uint32_t>(b[at + 1] & 0xFF) << 8 |
         static_cast<uint32_t>(b[at + 2] & 0xFF) << 16 |
         static_cast<uint32_t>(b[at + 3] & 0xFF) << 24;
}

// The records a replay delivers for a header's record count: the front end
// counts two beyond those it stored; a count never written is none.
uint32_t replayed_records(uint32_t count) {
  count &= 0x7FFFFFFFu;
  if (count == 0x7FFFFFFFu) return 0;
  return count > 1 ? count - 2 : count;
}

// The data-flow client of a download. ReceiveBlock (the server's worker
// thread) appends each record's first `dims` values to `queue_`; the main
// thread takes them out with Take. The mutex guards the queue.
class Receiver final : public AcqClientNode {
 public:
  explicit Receiver(size_t dims) : dims_(dims) {}
  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAcqDataNode)) {
      *object = static_cast<IAcqDataNode *>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on the stack of the download, which detaches it before it ends.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT ReceiveBlock(LONG, LONG, const AcqDataBlock *block) override {
    if (block == nullptr) return E_POINTER;
    const float *v = acq_data_block_values(block);
    const size_t n = std::min<size_t>(dims_, block->channels);
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.insert(queue_.end(), v, v + n);
    queue_.resize(queue_.size() + dims_ - n, 0.0f);  // channels the output lacks
    return S_OK;
  }
  // Appends what came to `values`.
  void Take(std::vector<float> *values) {
    std::lock_guard<std::mutex> lock(mutex_);
    values->insert(values->end(), queue_.begin(), queue_.end());
    queue_.clear();
  }

 private:
  const size_t dims_;
  std::mutex mutex_;
  std::vector<float> queue_;
};

// The server's object with the front end found, and its interfaces.
struct Device {
  ISerialSource *serial = nullptr;
  IAcqDataNode *node = nullptr;
  IAcqDataSource *source = nullptr;
};
Device device;

// Ends the port connection (and with it the server's worker thread) before
// the program ends, also when a library function ends it on a write error.
void release_device() {
  if (device.serial != nullptr) device.serial->ReleaseSerialPort(nullptr);
  if (device.source != nullptr) device.source->Release();
  if (device.node != nullptr) device.node->Release();
  if (device.serial != nullptr) device.serial->Release();
  device = Device();
}

// Registers the server class, as the device library does when it is loaded.
bool register_server(std::string *problem) {
  HMODULE server = LoadLibraryA("Kestoserial.dll");
  if (server == nullptr) {
    *problem = "cannot load the KestoSerial server (Kestoserial.dll): " +
               platform_error_text(GetLastError());
    return false;
  }
  auto register_function =
      reinterpret_cast<HRESULT (*)()>(GetProcAddress(server, "DllRegisterServer"));
  const HRESULT hr = register_function != nullptr ? register_function() : E_FAIL;
  FreeLibrary(server);
  if (FAILED(hr)) *problem = "cannot register the KestoSerial server";
  return SUCCEEDED(hr);
}

bool front_end_on_port(const char *port) {
  BSTR name = platform_bstr_from_utf8(port);
  const HRESULT hr = device.serial->put_ComPort(name);
  SysFreeString(name);
  if (FAILED(hr)) {
    device.source->Reset();
    return false;
  }
  LONG serial = 0;
  device.serial->get_FrontendSerialNumber(&serial);
  return serial > 0;
}

// Creates the object and finds the front end; "" or what went wrong.
std::string open_device(const char *port) {
  std::string problem;
  if (!register_server(&problem)) return problem;
  if (FAILED(CoInitialize(nullptr))) return "cannot initialise COM";
  if (FAILED(CoCreateInstance(CLSID_SerialSource, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ISerialSource, reinterpret_cast<void **>(&device.serial))) ||
      device.serial == nullptr ||
      FAILED(device.serial->QueryInterface(IID_IAcqDataNode,
                                           reinterpret_cast<void **>(&device.node))) ||
      FAILED(device.serial->QueryInterface(IID_IAcqDataSource,
                                           reinterpret_cast<void **>(&device.source))))
    return "cannot create the KestoSerial server's SerialSource object";
  atexit(release_device);
  if (port != nullptr)
    return front_end_on_port(port) ? "" : std::string("no front end answers on ") + port;
  for (const char *p : port_scan_order)
    if (front_end_on_port(p)) return "";
  return "no front end found on COM3 to COM8, COM1, COM2 or COM9 to COM12 (see corvia_ports)";
}

// Refuses when the front end is busy; 0 or 1 after a message.
int check_not_busy() {
  LONG status = 0;
  if (device.serial->GetAmbulantDeviceStatus(&status, nullptr, nullptr, nullptr, nullptr,
                                             nullptr) != S_OK)
    return error("the front end does not answer its memory commands");
  if (status == -2)
    return error("the front end is busy (recording or erasing its memory); try again later");
  return 0;
}

// Why the directory could not be read.
int directory_error() {
  if (check_not_busy()) return 1;
  return error(
      "the front end's memory holds no directory of recordings (not formatted? "
      "'corvia_memory format --yes' writes the standard configuration)");
}

// The number of stored recordings, or -1 after a message.
LONG count_recordings() {
  LONG n = -1;
  if (device.serial->GetNumberOfAmbulantRecordings(&n) != S_OK || n < 0) {
    directory_error();
    return -1;
  }
  return n;
}

// `length` bytes of recording `rec`'s configuration (part 0) or header
// (part 1) copy.
bool read_part(LONG rec, LONG part, LONG length, std::vector<LONG> *bytes) {
  bytes->assign(static_cast<size_t>(length), 0);
  LONG len = length, high = 0, err = 0;
  return device.serial->GetBinaryAmbulantData(rec, part, 0, 0, &len, &high, bytes->data(),
                                              &err) == S_OK &&
         len == length;
}

int list_recordings() {
  const LONG n = count_recordings();
  if (n < 0) return 1;
  if (n == 0) fprintf(stderr, "%s info: no stored recordings\n", progname);
  std::vector<LONG> config, header;
  uint32_t address = 0;
  for (LONG k = 0; k < n; ++k) {
    if (!read_part(k, 0, config_bytes, &config) || !read_part(k, 1, 8, &header))
      return error("cannot read the configuration and header of recording " +
                   std::to_string(k));
    // The chain: the first header's address is in the configuration, each
    // further one in the header before it.
    if (k == 0) address = get32(config, 8);
    const int channels = std::min(config[config_channels] & 0xFF, 64);
    std::string sizes;
    for (int c = 0; c < channels; ++c)
      sizes += (c ? "," : "") + std::to_string(config[config_entries + 4 * c + 1]);
    printf("%ld  address 0x%06X  %u records  %d channels  sizes %s\n", static_cast<long>(k),
           address, replayed_records(get32(header, 4)), channels, sizes.c_str());
    address = get32(header, 0);
  }
  return 0;
}

int show_status() {
  LONG status = 0, free_bytes = 0, total_bytes = 0, err = 0;
  if (device.serial->GetAmbulantDeviceStatus(&status, &free_bytes, nullptr, &total_bytes,
                                             nullptr, &err) != S_OK)
    return error("the front end does not answer its memory commands");
  printf("total memory: %u KiB\nfree memory: %u KiB\nbusy: %s\n",
         static_cast<uint32_t>(total_bytes) / 1024, static_cast<uint32_t>(free_bytes) / 1024,
         status == -2 ? "yes (recording or erasing)" : "no");
  return 0;
}

// Changes the memory (erase, standard configuration) unless the front end
// is busy.
int change_memory(HRESULT (ISerialSource::*method)(LONG *), const char *failure,
                  const char *done) {
  if (check_not_busy()) return 1;
  LONG err = 0;
  if ((device.serial->*method)(&err) != S_OK) return error(failure);
  fprintf(stderr, "%s info: %s\n", progname, done);
  return 0;
}

// Writes `values` (whole records of seq's dimension) as one sequence.
void write_sequence(fv_sequence *seq, fv *vec, const std::vector<float> &values, size_t records) {
  const size_t dims = static_cast<size_t>(seq->info->dim);
  seq->n_expected = static_cast<int32_t>(records);
  fv_sequence_write_header(seq, stdout);
  for (size_t r = 0; r < records; ++r) {
    memcpy(vec->data, values.data() + r * dims, dims * sizeof(float));
    fv_write(seq->info, vec, stdout);
  }
}

int download(LONG rec) {
  const LONG n = count_recordings();
  if (n < 0) return 1;
  if (rec >= n)
    return error("no recording " + std::to_string(rec) + ": the memory holds " +
                 std::to_string(n) + (n == 1 ? " recording" : " recordings"));
  std::vector<LONG> config, header;
  if (!read_part(rec, 0, config_bytes, &config) || !read_part(rec, 1, 8, &header))
    return error("cannot read the configuration and header of recording " + std::to_string(rec));
  const size_t dims = static_cast<size_t>(std::min(config[config_channels] & 0xFF, 64));
  const uint32_t expected = replayed_records(get32(header, 4));
  if (dims == 0) return error("recording " + std::to_string(rec) + " holds no channels");

  Receiver receiver(dims);
  ACQ_OUTPUT out = nullptr;
  if (FAILED(device.node->AddClient(0, 1, &receiver, FALSE, &out)))
    return error("cannot attach to the server's output");
  LONG err = 0;
  if (device.serial->DownloadAmbulantRecording(rec, &err) != S_OK) {
    device.node->AddClient(0, 1, &receiver, TRUE, &out);
    return error("the front end did not start the replay of recording " + std::to_string(rec));
  }

  // Ctrl-C stops the replay; what came is written.
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  const std::string name = "recording " + std::to_string(rec);
  fv_sequence *seq = fv_sequence_create_default(static_cast<int32_t>(dims), FV_LABELLING_NONE,
                                                name.c_str(), 0);
  fv *vec = fv_create(seq->info);
  const bool progress = isatty(STDERR_FILENO);
  std::vector<float> values;
  uint64_t received = 0;
  bool written = false;
  for (bool replaying = true; replaying;) {
    LONG status = 0;
    device.source->GetStatus(&status);
    replaying = status == 3;  // every record is delivered before the state changes
    if (interrupted && replaying) device.serial->StopAmbulantDownloading(nullptr);
    if (replaying) Sleep(20);
    receiver.Take(&values);
    const size_t records = values.size() / dims;
    if (records >= records_per_sequence || (!replaying && (records > 0 || !written))) {
      write_sequence(seq, vec, values, records);
      received += records;
      written = true;
      values.clear();
    }
    if (progress && expected != 0)
      fprintf(stderr, "\r%s: %s: %3d%%", progname, name.c_str(),
              static_cast<int>((received + values.size() / dims) * 100 / expected));
  }
  if (progress && expected != 0) fputc('\n', stderr);
  device.node->AddClient(0, 1, &receiver, TRUE, &out);
  fv_delete(vec);
  fv_sequence_delete(seq);
  if (fflush(stdout) != 0) return error(std::string("standard output: ") + strerror(errno));
  if (received < expected)
    return error("the replay of " + name + " stopped after " + std::to_string(received) +
                 " of " + std::to_string(expected) + " records");
  return 0;
}

// A recording number: digits only.
bool parse_number(const char *text, LONG *value) {
  if (*text == '\0' || strlen(text) > 9) return false;
  for (const char *p = text; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  *value = static_cast<LONG>(atol(text));
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  const char *port = nullptr;
  bool yes = false;
  static const struct option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                               {"port", required_argument, nullptr, 'p'},
                                               {"yes", no_argument, nullptr, 'y'},
                                               {nullptr, 0, nullptr, 0}};
  for (;;) {
    const int c = getopt_long(argc, argv, "hp:y", long_options, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        fputs(help_text, stderr);
        return 0;
      case 'p': port = optarg; break;
      case 'y': yes = true; break;
      default:  // getopt_long has said what was wrong
        return 1;
    }
  }
  if (optind >= argc) return error("no command given: list, status, download N, erase or format (see --help)");
  const std::string command = argv[optind++];
  LONG number = 0;
  if (command == "download") {
    if (optind >= argc) return error("download needs a recording number");
    if (!parse_number(argv[optind], &number))
      return error(std::string("'") + argv[optind] + "' is not a recording number");
    ++optind;
  } else if (command != "list" && command != "status" && command != "erase" &&
             command != "format") {
    return error("unknown command '" + command + "' (see --help)");
  }
  if (optind < argc) return error(std::string("unexpected argument '") + argv[optind] + "'");
  if (command == "erase" && !yes)
    return error("erase deletes every stored recording; add --yes to go ahead");
  if (command == "format" && !yes)
    return error("format writes the standard configuration over the memory's; add --yes to go ahead");

  signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as a write error
  const std::string problem = open_device(port);
  int status = problem.empty() ? 0 : error(problem);
  if (status == 0) {
    if (command == "list") status = list_recordings();
    else if (command == "status") status = show_status();
    else if (command == "download") status = download(number);
    else if (command == "erase")
      status = change_memory(&ISerialSource::EraseAmbulantMemory,
                             "the front end did not erase its memory", "the memory is erased");
    else
      status = change_memory(&ISerialSource::InitAmbulantStandardConfig,
                             "the front end did not take the standard configuration",
                             "the standard configuration is written");
  }
  release_device();
  CoUninitialize();
  return status;
}
