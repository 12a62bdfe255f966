// serial_source.h - the SerialSource object inside the KestoSerial server.
//
// One object owns one serial link (SerialLink, frontend.h) and is at the
// same time a data-flow source with one output. Its interfaces:
// ISerialSource (dual, with IDispatch over one member catalogue),
// IFrontEndCommand, IAcqDataNode, IAcqDataSource, and not-implemented stubs
// for the reserved interface and the OLE control interfaces.
//
// Threads and where they meet (every other field belongs to the COM
// caller's thread):
//
//  1. Worker state: requested_state_, current_state_, keep_alive_count_,
//     last_keep_alive_call_, release_timeout_, worker_alive_. Written by the
//     COM thread (requests, KeepSerialPortInUse) and by the worker (current
//     state, keep-alive count, its own end); read by both. Interlocked
//     operations only.
//  2. The link's frames: one thread parses at a time. The worker parses
//     (PollIdle) and sends keep-alives in states 2 to 4 only; every command
//     exchange of the COM thread first moves the worker to state 1 and
//     holds port_mutex_ (class Exchange). The worker's release time-out
//     closes the port only when it gets port_mutex_ (try_lock), so it never
//     closes the port under an exchange.
//  3. The record ring: the worker writes it, the delivery thread and
//     GetStationairSampleRecords read it, starts and stops reset it; all
//     under the link's record lock (frontend.h).
//  4. The node lock (node_lock_, recursive): the output's client list,
//     format, data block and client status, and the channel descriptors
//     with their gains and offsets. The COM thread takes it to attach,
//     detach, change formats and channels; the delivery thread holds it
//     while it fills the data block and calls every client, so a client
//     detached by AddClient(..., TRUE, ...) gets no call after that returns.
//     A client may attach or detach from inside its own ReceiveBlock or
//     InputEvent (same thread, recursive lock): entries are only marked
//     removed while a walk is under way and dropped when it ends.
//  5. Delivery control: delivery_stop_ and running_flags_ (atomics) are set
//     by the COM thread and read by the delivery thread; failed_blocks_
//     (atomic) is counted by the delivery thread and reported by the COM
//     thread when delivery stops.
//     record_ and the tick counter belong to the thread that runs Tick: the
//     own delivery thread, or a master's when one is set.
//  6. The replay of a stored recording (replay_, ambulant.cpp): the COM
//     thread fills it while the worker is not in state 4 (a download is
//     refused during a replay) and then moves the worker to state 4; from
//     then on only the worker writes it, until it leaves state 4. The COM
//     thread reads only its record count, written before the state change.
//     The worker decodes each record into replay_.values, its own record
//     buffer, and sends it with SendRecord under the node lock, as the
//     delivery thread sends the ring's records; the delivery thread leaves
//     the ring alone while the worker is in state 4. sample_counter_
//     (atomic) counts the records sent by either; the percentage reads it.
//     A page read runs while the worker holds port_mutex_ (try_lock), so
//     that it never meets an exchange of the COM thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "frontend.h"
#include "kesto_serial.h"

// Reads a field that other threads change with interlocked operations.
inline LONG interlocked_load(const volatile LONG &v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }

// Writes an out-parameter when the caller gave one.
inline void set_result(LONG *p, LONG value) {
  if (p != nullptr) *p = value;
}

// ISerialSource's result convention: 0 and S_OK, or -1 and S_FALSE.
inline HRESULT outcome(bool ok, LONG *pErrorResult) {
  set_result(pErrorResult, ok ? 0 : -1);
  return ok ? S_OK : S_FALSE;
}

// Module-wide counts for DllCanUnloadNow (server.cpp).
void kesto_object_created();
void kesto_object_destroyed();

// Worker states.
enum {
  WORKER_END = 0,        // the thread ends
  WORKER_PORT_ONLY = 1,  // only the release time-out is watched
  WORKER_IDLE = 2,       // keep-alives and reception
  WORKER_ACQUIRING = 3,
  WORKER_REPLAYING = 4
};

// One front-end channel as the output sees it.
struct ChannelDescriptor {
  LONG slot;            // output slot; negative: left out of the output
  std::string name;
  std::string display;  // the name in the output format
  std::string third;
  int flags;            // 4: unit data present
  int unit;
  int exponent;
};

// One stored recording as the directory walk found it: the address of its
// header, and copies of the header and of the configuration block.
struct AmbulantRecording {
  uint32_t address;
  uint8_t header[1024];
  uint8_t config[1024];
};

// A stored recording being replayed (worker state 4).
struct AmbulantReplay {
  struct Channel {
    int size;       // bytes per value: 0 not recorded; 1, 2 deltas; 3, 4 absolute
    int shift;      // bits
    int skip;       // skip mask against the low byte of the record counter
    int32_t marker; // invalid marker of the size
    int32_t last;   // last value
    bool valid;
  };
  uint32_t records = 0;    // records to replay
  uint32_t counter = 0;    // records sent (sample_counter_ shows it)
  uint32_t end = 0;        // first address past the recording's data
  uint32_t page_address = 0;
  uint32_t index = 0;      // read index in the page
  uint8_t page[4096] = {};
  int channels = 0;
  Channel channel[KS_MAX_CHANNELS] = {};
  float values[KS_MAX_CHANNELS] = {};  // the record being sent
};

struct ClientEntry {
  IAcqDataNode *client;  // not owned: the client detaches before it goes
  LONG key;
  bool busy;     // a notification to it is under way
  bool removed;  // detached during a walk; dropped when the walk ends
};

// The one output pin.
struct OutputPin {
  AcqSignalFormat *format = nullptr;  // current format (malloc'ed)
  std::vector<ClientEntry> clients;
  IAcqClientStatus *status = nullptr;        // held reference
  IAcqDataNode *status_client = nullptr;     // the client that offered it
  AcqDataBlock *block = nullptr;             // the data block that is sent
  size_t block_bytes = 0;
  int walking = 0;  // nested walks over `clients` under way
};

class SerialSource final : public ISerialSource,
                           public IFrontEndCommand,
                           public IAcqDataNode,
                           public IAcqDataSource {
 public:
  explicit SerialSource(IUnknown *outer);
  ~SerialSource();
  SerialSource(const SerialSource &) = delete;
  SerialSource &operator=(const SerialSource &) = delete;

  // The non-delegating IUnknown: the object's own identity when aggregated.
  IUnknown *inner() { return &inner_; }

  // IUnknown (delegating to the outer object, or to inner_).
  HRESULT QueryInterface(REFIID riid, void **object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch
  HRESULT GetTypeInfoCount(UINT *count) override;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo **info) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID lcid,
                        DISPID *ids) override;
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                 VARIANT *result, EXCEPINFO *excepinfo, UINT *arg_error) override;

  // ISerialSource
  HRESULT put_Caption(BSTR caption) override;
  HRESULT get_Caption(BSTR *pstrCaption) override;
  HRESULT get_ComPort(BSTR *pVal) override;
  HRESULT put_ComPort(BSTR newVal) override;
  HRESULT InitilizeSerialPortAndFrontend(BSTR ComPortName, LONG Baudrate,
                                         LONG *pErrorResult) override;
  HRESULT ReleaseSerialPort(LONG *pErrorResult) override;
  HRESULT KeepSerialPortInUse(LONG ReleaseTimeoutTime, LONG *pErrorResult) override;
  HRESULT get_FrontendNrOfChannels(LONG *pVal) override;
  HRESULT get_FrontendSerialNumber(LONG *pVal) override;
  HRESULT get_FrontendId(LONG *pVal) override;
  HRESULT get_FrontendHardwareVersion(LONG *pVal) override;
  HRESULT get_FrontendSoftwareVersion(LONG *pVal) override;
  HRESULT get_FrontendCommandBufferSize(LONG *pVal) override;
  HRESULT get_FrontendSendBufferSize(LONG *pVal) override;
  HRESULT get_SampleRate(FLOAT *pVal) override;
  HRESULT put_SampleRate(FLOAT newVal) override;
  HRESULT StartAcq(FLOAT *pFreq, LONG *pErrorResult) override;
  HRESULT StopAcq(LONG *pErrorResult) override;
  HRESULT GetStationairSampleRecords(LONG *pNrOfPeriods, FLOAT *pReceiveDataBuffer) override;
  HRESULT TestBlock(LONG BlockTypeSend, LONG BlockTypeWaitFor, LONG NrOfWordsSend,
                    LONG *NrOfWordsReceive, LONG *DataToSend, LONG *ReceiveDataBuffer) override;
  HRESULT GetAmbulantDeviceStatus(LONG *Status, LONG *AvailableLow, LONG *AvaialableHigh,
                                  LONG *TotalLow, LONG *TotalHigh, LONG *pErrorResult) override;
  HRESULT EraseAmbulantMemory(LONG *pErrorResult) override;
  HRESULT InitAmbulantStandardConfig(LONG *pErrorResult) override;
  HRESULT GetNumberOfAmbulantRecordings(LONG *NrOfRecs) override;
  HRESULT GetBinaryAmbulantData(LONG RecID, LONG DataPart, LONG OffsetLow, LONG OffsetHigh,
                                LONG *pLengthLow, LONG *pLengthHigh, LONG *DataBuffer,
                                LONG *pErrorResult) override;
  HRESULT DownloadAmbulantRecording(LONG RecID, LONG *pErrorResult) override;
  HRESULT GetAmbulantDownloadRemainingPercentage(LONG *RemainingPercentage) override;
  HRESULT StopAmbulantDownloading(LONG *pErrorResult) override;
  HRESULT get_Test(LONG *pVal) override;
  HRESULT put_Test(LONG newVal) override;
  HRESULT get_TestAlive(LONG *pVal) override;
  HRESULT put_TestAlive(LONG newVal) override;

  // IFrontEndCommand
  HRESULT SendCommand(LONG type, LONG bytes, const void *data, LONG reply_type,
                      LONG reply_bytes, BYTE *reply) override;

  // IAcqDataNode
  HRESULT SetNodeValue(LONG value) override;
  HRESULT ReceiveBlock(LONG input, LONG sample_index, const AcqDataBlock *block) override;
  HRESULT InputEvent(LONG event, ACQ_OUTPUT output, IAcqDataNode *source,
                     LONG *input) override;
  HRESULT AddClient(LONG output_index, LONG key, IAcqDataNode *client, BOOL remove,
                    ACQ_OUTPUT *output) override;
  HRESULT GetOutputFormat(ACQ_OUTPUT output, AcqSignalFormat **format) override;
  HRESULT SetPinFormat(LONG pin, LONG flags, const AcqSignalFormat *format) override;
  HRESULT GetPinFormats(LONG pin, LONG flags, AcqSignalFormat **first,
                        AcqSignalFormat **second) override;
  HRESULT Evaluate() override;
  HRESULT Connect(IAcqDataNode *source, LONG input, LONG output) override;
  HRESULT GetPinCounts(LONG *inputs, LONG *outputs) override;
  HRESULT GetNodeInfo(AcqNodeInfo *info) override;
  HRESULT SetNodeInfo(const AcqNodeInfo *info) override;
  HRESULT Reserved15(LONG value) override;
  HRESULT Reserved16(LONG value) override;
  HRESULT GetPinInfo(LONG *pin_count, LONG index, LONG *is_input, LONG *layout,
                     LONG *third) override;
  HRESULT ReleaseNode(IUnknown *object) override;
  HRESULT ClientCommand(ACQ_OUTPUT output, LONG a, LONG b, LONG c) override;
  HRESULT GetClientStatus(ACQ_OUTPUT output, LONG *present, LONG *a, LONG *b, LONG *c,
                          int64_t *position) override;

  // IAcqDataSource
  HRESULT Reset() override;
  HRESULT GetSourceFlags(LONG *flags) override;
  HRESULT GetStatus(LONG *status) override;
  HRESULT Start(LONG flags, LONG a, LONG b) override;
  HRESULT Stop() override;
  HRESULT GetChannelCount(LONG *count) override;
  HRESULT SetChannel(LONG channel, LONG output_slot, BSTR display_name, BSTR third) override;
  HRESULT GetChannel(LONG channel, LONG *output_slot, BSTR *name, BSTR *display_name,
                     BSTR *third) override;
  HRESULT GetSampleCount(LONG *count) override;
  HRESULT GetSampleRate(FLOAT *rate) override;
  HRESULT SetSampleRate(FLOAT rate) override;
  HRESULT Refresh() override;
  HRESULT GetName(BSTR *name) override;
  HRESULT GetSourceKind(LONG *kind) override;
  HRESULT Tick(LONG sample_index, LONG a, LONG b) override;
  HRESULT GetMaster(IAcqDataSource **master) override;
  HRESULT GetLinked(IAcqDataSource **linked) override;
  HRESULT SetMaster(IAcqDataSource *master) override;
  HRESULT Link(IAcqDataSource *other) override;
  HRESULT Synchronise(IAcqDataSource *other) override;
  HRESULT Unlink() override;
  HRESULT Lock(LONG flags) override;

 private:
  friend class Exchange;
  struct Inner : IUnknown {
    SerialSource *self = nullptr;
    volatile LONG refs = 1;
    HRESULT QueryInterface(REFIID riid, void **object) override;
    ULONG AddRef() override;
    ULONG Release() override;
  };

  // Port connection and worker (serial_source.cpp, acquisition.cpp).
  bool HasPort() const { return interlocked_load(worker_alive_) != 0; }
  LONG WorkerState() const { return interlocked_load(current_state_); }
  void SetWorkerState(LONG state);
  bool OpenAndIdentify();
  HRESULT ClosePortConnection();
  bool StartWorker();
  static DWORD WorkerMain(void *self);
  DWORD WorkerLoop();
  void TakeChannelScaling();
  // Acquiring (state 3, or the front end still streaming) or replaying.
  bool Busy() const;

  // Ambulant memory (ambulant.cpp).
  void ReplayStep();
  bool ReplayByte(uint8_t *byte, const char **problem);

  // Acquisition and delivery (acquisition.cpp).
  int StartAcquisition();
  int StopAcquisition();
  HRESULT StartDelivery();
  HRESULT StopDelivery();
  void SendRecord(const float *record, LONG sample_index);
  static DWORD DeliveryMain(void *self);
  DWORD DeliveryLoop();
  void BuildChannels();
  void BuildOutputFormat();
  void ReportLostRecords();

  // The output (data_node.cpp); callers hold the node lock.
  void ApplyFormat(AcqSignalFormat *format);
  void NotifyClients(LONG event);
  void EndWalk();
  void DropClientStatus();
  void ResendFormat();

  Inner inner_;
  IUnknown *outer_;
  PlatformNotImplInterface reserved_;  // {B2ED3DC0-...}
  PlatformNotImplInterface control_;   // the OLE control interfaces

  SerialLink link_;
  std::string port_name_;
  DWORD baud_ = 115200;
  std::mutex port_mutex_;

  HANDLE worker_ = nullptr;
  volatile LONG requested_state_ = 0;
  volatile LONG current_state_ = 0;
  volatile LONG keep_alive_count_ = 0;
  volatile LONG last_keep_alive_call_ = 0;
  volatile LONG release_timeout_ = 0;
  volatile LONG worker_alive_ = 0;

  // Node description: author line twice, "Serial Input" twice, two empty.
  std::string node_text_[6];
  LONG node_value_ = 0;
  std::string device_name_ = "Serial Device";
  FLOAT sample_rate_ = 0.0f;
  FLOAT pacing_rate_ = 50.0f;

  CRITICAL_SECTION node_lock_;
  OutputPin output_;
  std::vector<ChannelDescriptor> descriptors_;
  float gain_[KS_MAX_CHANNELS];
  float offset_[KS_MAX_CHANNELS];

  // Delivery.
  HANDLE delivery_ = nullptr;
  std::atomic<bool> delivery_stop_{false};
  std::atomic<uint64_t> failed_blocks_{0};
  std::atomic<LONG> running_flags_{0};
  std::atomic<LONG> sample_counter_{0};
  LONG tick_counter_ = 0;
  float record_[KS_MAX_CHANNELS] = {};

  // Ambulant memory: the directory (COM thread) and the replay.
  std::vector<AmbulantRecording> recordings_;
  AmbulantReplay replay_;

  IAcqDataSource *master_ = nullptr;  // no reference held
  IAcqDataSource *linked_ = nullptr;  // reference held
};

// The wait cursor while the object opens, starts or stops.
class WaitCursor {
 public:
  WaitCursor() : previous_(SetCursor(LoadCursorA(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { SetCursor(previous_); }

 private:
  HCURSOR previous_;
};

// A command exchange on the COM caller's thread: holds the port lock and
// keeps the worker in state 1 (no parsing, no keep-alives) until it ends,
// then puts the worker back in the state it had.
class Exchange {
 public:
  explicit Exchange(SerialSource *source);
  ~Exchange();
  // Leave the worker in `state` at the end instead.
  void EndIn(LONG state) { end_state_ = state; }

 private:
  SerialSource *source_;
  std::lock_guard<std::mutex> lock_;
  LONG end_state_;
};
