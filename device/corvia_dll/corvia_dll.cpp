// CorviaDLL: the amplifier for a plain C caller. It registers the KestoSerial
// server when it is loaded, finds the front end on one of the COM ports
// through a SerialSource object, attaches its own receive-data client to the
// object's output and hands every sample record the server delivers to the
// caller's callback. What it did goes to "CorviaLog.txt" in the working
// directory; failures show only there and in the 0xFFFF results.
//
// Threads: InitCorviaDevice, StartCorviaDevice and StopCorviaDevice run on
// the caller's threads (capture_corvia stops from its console-control
// thread); ReceiveBlock runs on the server's delivery thread.
#include "corvia_dll.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "kesto_serial.h"
#include "win32.h"

namespace {
// The callback: written by InitCorviaDevice (caller's thread), read by
// ReceiveBlock on the server's delivery thread; the atomic guards it.
std::atomic<ProcessDataFunction> process_data_function{nullptr};
}  // namespace

// The receive-data client, at namespace scope as COM implementations are:
// one static object that the library never destroys (it keeps its own
// reference). Every IAcqDataNode method but ReceiveBlock answers E_NOTIMPL.
class ReceiveDataClient final : public AcqClientNode {
 public:
  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAcqDataNode)) {
      *object = static_cast<IAcqDataNode *>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++count_; }
  ULONG Release() override { return --count_; }
  HRESULT ReceiveBlock(LONG, LONG, const AcqDataBlock *block) override {
    ProcessDataFunction f = process_data_function.load(std::memory_order_acquire);
    if (f != nullptr && block != nullptr)
      f(1, 0, const_cast<float *>(acq_data_block_values(block)));
    return S_OK;
  }

 private:
  std::atomic<ULONG> count_{1};
};

namespace {

const char log_name[] = "CorviaLog.txt";
const uint16_t CORVIA_OK = 0;
const uint16_t CORVIA_FAILED = 0xFFFF;

// The ports tried, in this order: COM1 and COM2 are often a machine's own
// ports, so the ones above them, where adapters appear, come first.
const char *const port_scan_order[] = {"COM3", "COM4",  "COM5",  "COM6",
                                       "COM7", "COM8",  "COM1",  "COM2",
                                       "COM9", "COM10", "COM11", "COM12"};

// The device record and the interfaces it holds: written and read by the
// three exports only, on whichever caller thread, under device_lock. The
// delivery thread never touches them.
std::mutex device_lock;
struct DeviceRecord {
  uint32_t format_word = 0;  // first word of the output format; kept only
  int valid = 0;             // initialisation succeeded and no stop since
};
DeviceRecord device;
ISerialSource *ipSerialDevice = nullptr;
IAcqDataSource *ipSourceDevice = nullptr;
IAcqDataNode *ipDevice = nullptr;
IAcqDataNode *ipReceiveDataClient = nullptr;
ACQ_OUTPUT OutputHandle = nullptr;

ReceiveDataClient receive_data_client;

// The log: opened for each export and closed before it returns; a log that
// cannot be opened only suppresses the lines.
struct Log {
  FILE *file;
  explicit Log(const char *mode) : file(fopen(log_name, mode)) {}
  ~Log() { close(); }
  void close() {
    if (file) fclose(file);
    file = nullptr;
  }
  template <typename... Args>
  void write(const char *format, Args... args) {
    if (file) fprintf(file, format, args...);
  }
  void write(const char *text) {
    if (file) fputs(text, file);
  }
};

template <typename T>
void release(T *&p) {
  if (p) p->Release();
  p = nullptr;
}

void release_interfaces() {
  release(ipReceiveDataClient);
  release(ipDevice);
  release(ipSourceDevice);
  release(ipSerialDevice);
  OutputHandle = nullptr;
}

// Stops acquisition, detaches the client and releases the server's
// interfaces; the device is not valid afterwards.
void shut_down_device() {
  if (ipSourceDevice) ipSourceDevice->Stop();
  if (ipDevice && ipReceiveDataClient)
    ipDevice->AddClient(0, 1, ipReceiveDataClient, TRUE, &OutputHandle);
  release_interfaces();
  device.valid = 0;
}

// A failed initialisation gives back what it holds.
uint16_t fail_init(Log &log) {
  release_interfaces();
  log.close();
  return CORVIA_FAILED;
}

// Asks `object` for an interface; a failure is logged with `error_line`.
template <typename T>
bool query(IUnknown *object, REFIID iid, T **out, Log &log, const char *error_line) {
  if (SUCCEEDED(object->QueryInterface(iid, reinterpret_cast<void **>(out))) && *out)
    return true;
  *out = nullptr;
  log.write(error_line);
  return false;
}

// Sets the port and asks for the front end's serial number: above 0 means a
// front end answered there.
bool front_end_on_port(const char *port) {
  BSTR name = platform_bstr_from_utf8(port);
  const HRESULT hr = ipSerialDevice->put_ComPort(name);
  SysFreeString(name);
  if (FAILED(hr)) {
    ipSourceDevice->Reset();
    return false;
  }
  LONG serial = 0;
  ipSerialDevice->get_FrontendSerialNumber(&serial);
  return serial > 0;
}

BOOL DllMain(HMODULE, DWORD reason, void *) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  // Registers the server class, so that the object can be created later; a
  // missing server or entry point is left to show at initialisation.
  HMODULE server = LoadLibraryA("Kestoserial.dll");
  if (server == nullptr) return TRUE;
  typedef HRESULT (*register_function)(void);
  auto register_server =
      reinterpret_cast<register_function>(GetProcAddress(server, "DllRegisterServer"));
  if (register_server) register_server();
  FreeLibrary(server);
  return TRUE;
}

}  // namespace

PLATFORM_DLL_MAIN(DllMain)

extern "C" {

CORVIA_DLL_EXPORT uint16_t InitCorviaDevice(ProcessDataFunction f) {
  std::lock_guard<std::mutex> lock(device_lock);
  process_data_function.store(nullptr, std::memory_order_release);
  // A device left valid by an earlier initialisation is given up first.
  if (device.valid) shut_down_device();
  device.valid = 0;
  Log log("w");
  if (f != nullptr) process_data_function.store(f, std::memory_order_release);
  log.write("\n Corvia DLL log file\n");
  log.write("\n ProcessDataFunction = %lld ", (long long)(intptr_t)f);

  if (FAILED(CoInitialize(nullptr))) {
    log.write("\n Error in 'CoInitialize( NULL );' ");
    return fail_init(log);
  }
  if (FAILED(CoCreateInstance(CLSID_SerialSource, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ISerialSource, reinterpret_cast<void **>(&ipSerialDevice))) ||
      ipSerialDevice == nullptr) {
    ipSerialDevice = nullptr;
    log.write(
        "\n Error in 'CoCreateInstance( CLSID_SerialSource , NULL , CLSCTX_INPROC_SERVER ,  "
        "IID_ISerialSource  , (void**)&ipSerialDevice );' ");
    return fail_init(log);
  }
  if (!query(ipSerialDevice, IID_IAcqDataSource, &ipSourceDevice, log,
             "\n Error in 'ipSerialDevice->QueryInterface( IID_IAcqDataSource , "
             "(void**)&ipSourceDevice );' "))
    return fail_init(log);

  for (const char *port : port_scan_order) {
    log.write("\n Trying to open COM port: %s ", port);
    if (!front_end_on_port(port)) continue;

    if (!query(ipSerialDevice, IID_IAcqDataNode, &ipDevice, log,
               "\n Error in 'ipSerialDevice->QueryInterface( IID_IAcqDataNode , "
               "(void**)&ipDevice );' "))
      return fail_init(log);
    receive_data_client.QueryInterface(IID_IAcqDataNode,
                                       reinterpret_cast<void **>(&ipReceiveDataClient));
    OutputHandle = nullptr;
    if (FAILED(ipDevice->AddClient(0, 1, ipReceiveDataClient, FALSE, &OutputHandle))) {
      log.write(
          "\n Error in 'ipDevice->AddClient( 0 , 1, ipReceiveDataClient , FALSE , "
          "&OutputHandle ); ' ");
      return fail_init(log);
    }
    AcqSignalFormat *format = nullptr;
    if (SUCCEEDED(ipDevice->GetOutputFormat(OutputHandle, &format)) && format != nullptr)
      device.format_word = format->channels;
    else
      device.format_word = 0;
    device.valid = 1;
    log.write("\n Corvia-10 Initialization completed succesfully...");
    return CORVIA_OK;
  }
  log.write("\n No System Found...  ");
  return fail_init(log);
}

CORVIA_DLL_EXPORT uint16_t StartCorviaDevice(void) {
  std::lock_guard<std::mutex> lock(device_lock);
  Log log("a");
  if (!device.valid) {
    log.write("\n Start not executed; device is not valid");
    return CORVIA_FAILED;
  }
  LONG serial = 0;
  ipSerialDevice->get_FrontendSerialNumber(&serial);
  ipSourceDevice->Start(1, 0, 0);
  log.write("\n Corvia-10 %d Started", (int)serial);
  return CORVIA_OK;
}

CORVIA_DLL_EXPORT uint16_t StopCorviaDevice(void) {
  std::lock_guard<std::mutex> lock(device_lock);
  Log log("a");
  if (!device.valid) {
    log.write("\n Stop not executed; device is not valid");
    return CORVIA_FAILED;
  }
  // After a stop the interfaces are released: the device counts as not
  // valid, so a second stop or a later start is refused.
  shut_down_device();
  log.write("\n Device stopped");
  return CORVIA_OK;
}

}  // extern "C"
