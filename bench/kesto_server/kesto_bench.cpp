// CPU time of the KestoSerial server's worker and delivery threads per
// second of acquisition, with one client attached, against a front end on
// a COM port (corvia_sim). Prints one line:
//   worker_pct delivery_pct process_pct records seconds
// Percentages are of one core. usage: kesto_bench SERVER.so COMn SECONDS
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "kesto_serial.h"

namespace {

std::set<int> tasks() {
  std::set<int> ids;
  DIR *d = opendir("/proc/self/task");
  while (dirent *e = d ? readdir(d) : nullptr)
    if (e->d_name[0] != '.') ids.insert(atoi(e->d_name));
  if (d) closedir(d);
  return ids;
}

// The one task that appeared between two snapshots.
int new_task(const std::set<int> &before) {
  for (int t : tasks())
    if (!before.count(t)) return t;
  return -1;
}

// Nanoseconds a thread has run (the first field of its schedstat).
double thread_ns(int tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  double ns = 0;
  f >> ns;
  return ns;
}

double clock_ns(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

class Counter final : public AcqClientNode {
 public:
  volatile LONG records = 0;
  HRESULT QueryInterface(REFIID riid, void **object) override {
    *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAcqDataNode) ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT ReceiveBlock(LONG, LONG, const AcqDataBlock *block) override {
    // Touch the values as a client that copies them would.
    const float *v = acq_data_block_values(block);
    float sum = 0;
    for (LONG i = 0; i < block->channels; ++i) sum += v[i];
    sink = sum;
    InterlockedIncrement(&records);
    return S_OK;
  }
  volatile float sink = 0;
};

int fail(const char *what, HRESULT hr) {
  fprintf(stderr, "kesto_bench error: %s failed (0x%08X)\n", what, static_cast<unsigned>(hr));
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: kesto_bench SERVER.so COMn SECONDS\n");
    return 1;
  }
  const double seconds = atof(argv[3]);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HMODULE server = LoadLibraryA(argv[1]);
  if (server == nullptr) return fail("loading the server", HRESULT_FROM_WIN32(GetLastError()));
  auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(server, "DllRegisterServer"));
  HRESULT hr = reg ? reg() : E_FAIL;
  if (FAILED(hr)) return fail("DllRegisterServer", hr);

  ISerialSource *serial = nullptr;
  hr = CoCreateInstance(CLSID_SerialSource, nullptr, CLSCTX_INPROC_SERVER, IID_ISerialSource,
                        reinterpret_cast<void **>(&serial));
  if (FAILED(hr)) return fail("CoCreateInstance", hr);
  IAcqDataNode *node = nullptr;
  IAcqDataSource *source = nullptr;
  serial->QueryInterface(IID_IAcqDataNode, reinterpret_cast<void **>(&node));
  serial->QueryInterface(IID_IAcqDataSource, reinterpret_cast<void **>(&source));

  std::set<int> before = tasks();
  BSTR port = platform_bstr_from_utf8(argv[2]);
  hr = serial->put_ComPort(port);
  SysFreeString(port);
  if (hr != S_OK) return fail("opening the port", hr);
  const int worker = new_task(before);
  Counter client;
  ACQ_OUTPUT out = nullptr;
  node->AddClient(0, 1, &client, FALSE, &out);
  before = tasks();
  if (FAILED(hr = source->Start(0, 0, 0))) return fail("Start", hr);
  const int delivery = new_task(before);

  // Settle for half a second, then measure.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double w0 = thread_ns(worker), d0 = thread_ns(delivery);
  const double p0 = clock_ns(CLOCK_PROCESS_CPUTIME_ID), t0 = clock_ns(CLOCK_MONOTONIC);
  const LONG r0 = client.records;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double w1 = thread_ns(worker), d1 = thread_ns(delivery);
  const double p1 = clock_ns(CLOCK_PROCESS_CPUTIME_ID), t1 = clock_ns(CLOCK_MONOTONIC);
  const LONG r1 = client.records;

  source->Stop();
  node->AddClient(0, 1, &client, TRUE, &out);
  source->Release();
  node->Release();
  serial->Release();
  const double wall = t1 - t0;
  printf("%.4f %.4f %.4f %ld %.3f\n", 100 * (w1 - w0) / wall, 100 * (d1 - d0) / wall,
         100 * (p1 - p0) / wall, static_cast<long>(r1 - r0), wall / 1e9);
  CoUninitialize();
  return 0;
}
