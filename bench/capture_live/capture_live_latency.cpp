// capture_live_latency: the delay from a sample frame's arrival on the serial
// line to its hand-over to the capture callback, through CorviaDLL and the
// KestoSerial server. The program plays the front end itself (the simamp
// device model on a pseudo-terminal of its own, entered as COM3 in a
// private registry), notes when the frame of each record has been written
// to the line, loads CorviaDLL with a callback that notes when each record
// arrives (channel L counts the records modulo 256), and prints the delays.
//
// usage: capture_live_latency [SECONDS]   (default 10)
// Output: one line "records N matched M median X ms p99 Y ms max Z ms".
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "corvia_dll.h"
#include "simamp.h"
#include "win32.h"

namespace {

int64_t now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// Written: the front-end thread's write times, by record number; the
// callback's arrival times (server's delivery thread), by record number.
// Read by the main thread only after the front-end thread is joined and the
// device stopped (which ends the delivery thread), so no lock is needed.
std::vector<int64_t> written_us, arrived_us;
int64_t last_record = -1;  // delivery thread only
std::atomic<bool> stop_front_end{false};

void on_record(int, int, float *values) {
  // Unwraps channel L's counter modulo 256 against the last record seen.
  const int64_t low = (int64_t)lrintf(values[11]) & 255;
  int64_t k = last_record < 0 ? low : last_record + ((low - last_record) & 255);
  if (k == last_record) k += 256;
  last_record = k;
  if (k < (int64_t)arrived_us.size()) arrived_us[(size_t)k] = now_us();
}

// The front end: answers the host and streams records; a record counts as
// written when the output holding its frame has gone to the line.
void front_end(int master) {
  simamp_config cfg;
  simamp_config_init(&cfg);
  simamp_device dev;
  simamp_device_init(&dev, &cfg, nullptr);
  std::vector<uint8_t> buf(65536);
  uint64_t noted = 0;
  while (!stop_front_end.load()) {
    const int64_t now = now_us();
    ssize_t r;
    while ((r = read(master, buf.data(), buf.size())) > 0)
      simamp_device_receive(&dev, buf.data(), (size_t)r, now);
    simamp_device_run(&dev, now);
    size_t n;
    const uint8_t *p = simamp_device_output(&dev, &n);
    while (n > 0) {
      const ssize_t w = write(master, p, n);
      if (w <= 0) break;
      simamp_device_consume(&dev, (size_t)w);
      p = simamp_device_output(&dev, &n);
    }
    if (n == 0) {
      const int64_t t = now_us();
      for (; noted < dev.stats.records && noted < written_us.size(); noted++)
        written_us[(size_t)noted] = t;
    }
    struct pollfd pf = {master, POLLIN, 0};
    poll(&pf, 1, 1);
  }
  simamp_device_free(&dev);
}

double percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[(size_t)std::min<double>((double)v.size() - 1, std::floor(q * (double)v.size()))];
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 10.0;
  if (!(seconds > 0)) {
    fprintf(stderr, "usage: capture_live_latency [SECONDS]\n");
    return 1;
  }
  char dir[] = "/tmp/capture-live-XXXXXX";
  if (!mkdtemp(dir)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string registry = std::string(dir) + "/registry.txt";
  setenv("CORVIA_REGISTRY_FILE", registry.c_str(), 1);
  if (chdir(dir) != 0) {
    perror(dir);
    return 1;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("posix_openpt");
    return 1;
  }
  const std::string device = ptsname(master);
  const int slave = open(device.c_str(), O_RDWR | O_NOCTTY);  // keeps the line up
  struct termios t;
  if (slave < 0 || tcgetattr(slave, &t) != 0) {
    perror(device.c_str());
    return 1;
  }
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  platform_portmap_set("COM3", device.c_str());

  const size_t capacity = (size_t)((seconds + 5) * 2048);
  written_us.assign(capacity, 0);
  arrived_us.assign(capacity, 0);
  std::thread fe(front_end, master);

  HMODULE dll = LoadLibraryA("CorviaDLL.dll");
  auto init = dll ? (uint16_t(*)(ProcessDataFunction))(void *)GetProcAddress(dll, "InitCorviaDevice") : nullptr;
  auto start = dll ? (uint16_t(*)(void))(void *)GetProcAddress(dll, "StartCorviaDevice") : nullptr;
  auto stop = dll ? (uint16_t(*)(void))(void *)GetProcAddress(dll, "StopCorviaDevice") : nullptr;
  int status = 0;
  if (!init || !start || !stop) {
    fprintf(stderr, "capture_live_latency: cannot load CorviaDLL.dll: %s\n",
            platform_error_text(GetLastError()).c_str());
    status = 1;
  } else if (init(on_record) != 0) {
    fprintf(stderr, "capture_live_latency: InitCorviaDevice failed (see %s/CorviaLog.txt)\n", dir);
    status = 1;
  } else {
    start();
    usleep((useconds_t)(seconds * 1e6));
    stop();
  }
  stop_front_end.store(true);
  fe.join();
  close(slave);
  close(master);
  if (status == 0) std::filesystem::remove_all(dir);
  if (status != 0) return status;

  std::vector<double> delays;
  size_t received = 0;
  for (size_t k = 0; k < capacity; k++) {
    if (arrived_us[k]) received++;
    if (arrived_us[k] && written_us[k]) delays.push_back((double)(arrived_us[k] - written_us[k]) / 1000.0);
  }
  if (delays.empty()) {
    fprintf(stderr, "capture_live_latency: no records arrived\n");
    return 1;
  }
  printf("records %zu matched %zu median %.2f ms p99 %.2f ms max %.2f ms\n", received,
         delays.size(), percentile(delays, 0.5), percentile(delays, 0.99),
         *std::max_element(delays.begin(), delays.end()));
  return 0;
}
