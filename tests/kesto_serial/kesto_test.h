// What the KestoSerial tests share: a private registry with the server registered, corvia_sim on a pseudo-terminal
// under a COM name, and a data-flow client that records what it receives.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "kesto_serial.h"
#include "testsupport.h"

namespace kesto_test {

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A call's result and the value it reported through an out-parameter, to compare at once.
using Reported = std::pair<HRESULT, LONG>;
inline Reported reported(HRESULT hr, const LONG &out) { return {hr, out}; }

inline std::string server_path() { return testsupport::bin_path("libKestoSerial.so"); }

// corvia_sim in the background, entered in the private port map.
using Sim = testsupport::SimulatedFrontEnd;

// A fresh registry with the server registered, and COM on this thread.
class Registered : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("CORVIA_REGISTRY_FILE", registry().c_str(), 1);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    module_ = LoadLibraryA(server_path().c_str());
    ASSERT_NE(module_, nullptr) << server_path();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, "DllRegisterServer"))(), S_OK);
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
    CoUninitialize();
    unsetenv("CORVIA_REGISTRY_FILE");
  }
  std::string registry() const { return dir_.file("registry.txt"); }
  template <class I>
  I *create(REFIID iid) {
    I *p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_SerialSource, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void **>(&p)),
              S_OK);
    return p;
  }

  testsupport::TempDir dir_;
  HMODULE module_ = nullptr;
};

// ISerialSource plus the data-flow interfaces of one object, released at the end.
struct Source {
  ISerialSource *serial = nullptr;
  IAcqDataNode *node = nullptr;
  IAcqDataSource *source = nullptr;
  explicit Source(ISerialSource *s) : serial(s) {
    serial->QueryInterface(IID_IAcqDataNode, reinterpret_cast<void **>(&node));
    serial->QueryInterface(IID_IAcqDataSource, reinterpret_cast<void **>(&source));
  }
  ~Source() {
    source->Release();
    node->Release();
    serial->Release();
  }
  HRESULT port(const char *name) {
    BSTR b = platform_bstr_from_utf8(name);
    HRESULT hr = serial->put_ComPort(b);
    SysFreeString(b);
    return hr;
  }
};

// A data-flow client that keeps every block's values and sample index, and every format event.
class Client final : public AcqClientNode {
 public:
  struct Block {
    LONG index;
    std::vector<float> values;
  };

  // Called on the delivery thread; `result` is what ReceiveBlock returns.
  HRESULT result = S_OK;
  std::atomic<bool> detached{false};   // set by the test once AddClient(remove) returned
  std::atomic<int> calls_after_detach{0};
  // Detaches itself from this source inside its ReceiveBlock after this many blocks (0: never); the result of that
  // AddClient.
  IAcqDataNode *detach_from = nullptr;
  size_t detach_after = 0;
  std::atomic<HRESULT> self_detach{S_FALSE};

  std::vector<Block> blocks() {
    std::lock_guard<std::mutex> lock(m_);
    return blocks_;
  }
  std::vector<LONG> events() {
    std::lock_guard<std::mutex> lock(m_);
    return events_;
  }
  size_t count() { return blocks().size(); }

  HRESULT QueryInterface(REFIID riid, void **object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAcqDataNode)) {
      *object = static_cast<IAcqDataNode *>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT ReceiveBlock(LONG key, LONG sample_index, const AcqDataBlock *block) override {
    if (detached) ++calls_after_detach;
    const float *v = acq_data_block_values(block);
    size_t n;
    {
      std::lock_guard<std::mutex> lock(m_);
      blocks_.push_back({sample_index, std::vector<float>(v, v + block->channels)});
      n = blocks_.size();
    }
    if (detach_from != nullptr && n == detach_after) {
      ACQ_OUTPUT out = nullptr;
      self_detach = detach_from->AddClient(0, key, this, TRUE, &out);
      detached = true;
    }
    return result;
  }
  HRESULT InputEvent(LONG event, ACQ_OUTPUT, IAcqDataNode *, LONG *) override {
    std::lock_guard<std::mutex> lock(m_);
    events_.push_back(event);
    return E_NOTIMPL;
  }

 private:
  std::mutex m_;
  std::vector<Block> blocks_;
  std::vector<LONG> events_;
};

}  // namespace kesto_test
