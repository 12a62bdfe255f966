// A stand-in for the device library CorviaDLL (a test fixture) with its three exports: a thread calls the callback 2048
// times a second, in batches every 20 ms, channel c of frame k carrying k * 16 + c; the stop reports on standard error
// how many frames it delivered. FAKE_CORVIA_INITIAL_BURST=N delivers frames 0 to N-1 at once at the start;
// FAKE_CORVIA_PAUSE=A:B loses the frames due from A to B seconds after it. Built with FAKE_WITHOUT_STOP it lacks
// StopCorviaDevice.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

typedef void (*process_data_function)(int nSamples, int nChan, float *fData);

process_data_function callback = nullptr;
// Never destroyed: the process may end while the thread still runs.
std::thread *delivery = nullptr;
std::atomic<bool> stop_requested{false};
std::atomic<long long> delivered{0};

void deliver(long long k) {
  float values[14];
  for (int c = 0; c < 14; c++) values[c] = (float)(k * 16 + c);
  callback(1, 0, values);
}

void delivery_thread(long long burst) {
  long long k = burst;
  double pause_from = -1, pause_to = -1;
  if (const char *pause = getenv("FAKE_CORVIA_PAUSE"))
    sscanf(pause, "%lf:%lf", &pause_from, &pause_to);
  const auto start = std::chrono::steady_clock::now();
  while (!stop_requested.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                               .count();
    const long long due = burst + (long long)(elapsed * 2048.0);
    if (elapsed >= pause_from && elapsed < pause_to) k = due;
    for (; k < due && !stop_requested.load(); k++) deliver(k);
    delivered.store(k);
  }
}

}  // namespace

extern "C" {

uint16_t InitCorviaDevice(process_data_function f) {
  callback = f;
  fprintf(stderr, "fake CorviaDLL: InitCorviaDevice\n");
  return 0;
}

uint16_t StartCorviaDevice() {
  if (!callback || delivery) return 0xFFFF;
  fprintf(stderr, "fake CorviaDLL: StartCorviaDevice\n");
  stop_requested.store(false);
  const char *burst_env = getenv("FAKE_CORVIA_INITIAL_BURST");
  const long long burst = burst_env ? atoll(burst_env) : 0;
  for (long long k = 0; k < burst; k++) deliver(k);
  delivered.store(burst);
  delivery = new std::thread(delivery_thread, burst);
  return 0;
}

#ifndef FAKE_WITHOUT_STOP
uint16_t StopCorviaDevice() {
  stop_requested.store(true);
  if (delivery) {
    delivery->join();
    delete delivery;
    delivery = nullptr;
  }
  fprintf(stderr, "fake CorviaDLL: StopCorviaDevice: delivered %lld frames\n", delivered.load());
  fflush(stderr);
  return 0;
}
#endif
}
