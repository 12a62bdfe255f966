// SerialSource: identity, ISerialSource with its member catalogue,
// IFrontEndCommand, the maintenance codes, and the port connection with its
// worker thread. The ambulant members are in ambulant.cpp.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "serial_source.h"

namespace {

// The worker's sleep between turns while it polls the port (states 2 to 4).
const DWORD kPollingTurnMs = 5;

// The author line of the node description.
const char kAuthorLine[] = "KestoSerial serial front-end server, Corvia toolchain";

#define BYREF(t) static_cast<VARTYPE>((t) | VT_BYREF)
const VARTYPE kLongOut = BYREF(VT_I4);

// The one catalogue of ISerialSource's members as a late-bound client sees
// them: name, DISPID, kind, vtable slot, parameter types, retval.
const DispatchMember kMembers[] = {
    {"Caption", DISPID_CAPTION, DISPATCH_PROPERTYPUT, 7, 1, {VT_BSTR}, VT_EMPTY},
    {"Caption", DISPID_CAPTION, DISPATCH_PROPERTYGET, 8, 0, {}, VT_BSTR},
    {"ComPort", 24, DISPATCH_PROPERTYGET, 9, 0, {}, VT_BSTR},
    {"ComPort", 24, DISPATCH_PROPERTYPUT, 10, 1, {VT_BSTR}, VT_EMPTY},
    {"InitilizeSerialPortAndFrontend", 1, DISPATCH_METHOD, 11, 3, {VT_BSTR, VT_I4, kLongOut},
     VT_EMPTY},
    {"ReleaseSerialPort", 2, DISPATCH_METHOD, 12, 1, {kLongOut}, VT_EMPTY},
    {"KeepSerialPortInUse", 3, DISPATCH_METHOD, 13, 2, {VT_I4, kLongOut}, VT_EMPTY},
    {"FrontendNrOfChannels", 4, DISPATCH_PROPERTYGET, 14, 0, {}, VT_I4},
    {"FrontendSerialNumber", 5, DISPATCH_PROPERTYGET, 15, 0, {}, VT_I4},
    {"FrontendId", 6, DISPATCH_PROPERTYGET, 16, 0, {}, VT_I4},
    {"FrontendHardwareVersion", 7, DISPATCH_PROPERTYGET, 17, 0, {}, VT_I4},
    {"FrontendSoftwareVersion", 8, DISPATCH_PROPERTYGET, 18, 0, {}, VT_I4},
    {"FrontendCommandBufferSize", 9, DISPATCH_PROPERTYGET, 19, 0, {}, VT_I4},
    {"FrontendSendBufferSize", 10, DISPATCH_PROPERTYGET, 20, 0, {}, VT_I4},
    {"SampleRate", 25, DISPATCH_PROPERTYGET, 21, 0, {}, VT_R4},
    {"SampleRate", 25, DISPATCH_PROPERTYPUT, 22, 1, {VT_R4}, VT_EMPTY},
    {"StartAcq", 11, DISPATCH_METHOD, 23, 2, {BYREF(VT_R4), kLongOut}, VT_EMPTY},
    {"StopAcq", 12, DISPATCH_METHOD, 24, 1, {kLongOut}, VT_EMPTY},
    {"GetStationairSampleRecords", 26, DISPATCH_METHOD, 25, 2, {kLongOut, BYREF(VT_R4)},
     VT_EMPTY},
    {"TestBlock", 13, DISPATCH_METHOD, 26, 6,
     {VT_I4, VT_I4, VT_I4, kLongOut, kLongOut, kLongOut}, VT_EMPTY},
    {"GetAmbulantDeviceStatus", 14, DISPATCH_METHOD, 27, 6,
     {kLongOut, kLongOut, kLongOut, kLongOut, kLongOut, kLongOut}, VT_EMPTY},
    {"EraseAmbulantMemory", 15, DISPATCH_METHOD, 28, 1, {kLongOut}, VT_EMPTY},
    {"InitAmbulantStandardConfig", 16, DISPATCH_METHOD, 29, 1, {kLongOut}, VT_EMPTY},
    {"GetNumberOfAmbulantRecordings", 17, DISPATCH_METHOD, 30, 1, {kLongOut}, VT_EMPTY},
    {"GetBinaryAmbulantData", 18, DISPATCH_METHOD, 31, 8,
     {VT_I4, VT_I4, VT_I4, VT_I4, kLongOut, kLongOut, kLongOut, kLongOut}, VT_EMPTY},
    {"DownloadAmbulantRecording", 19, DISPATCH_METHOD, 32, 2, {VT_I4, kLongOut}, VT_EMPTY},
    {"GetAmbulantDownloadRemainingPercentage", 20, DISPATCH_METHOD, 33, 0, {}, VT_I4},
    {"StopAmbulantDownloading", 21, DISPATCH_METHOD, 34, 1, {kLongOut}, VT_EMPTY},
    {"Test", 22, DISPATCH_PROPERTYGET, 35, 0, {}, VT_I4},
    {"Test", 22, DISPATCH_PROPERTYPUT, 36, 1, {VT_I4}, VT_EMPTY},
    {"TestAlive", 23, DISPATCH_PROPERTYGET, 37, 0, {}, VT_I4},
    {"TestAlive", 23, DISPATCH_PROPERTYPUT, 38, 1, {VT_I4}, VT_EMPTY},
};
const DispatchTable kDispatch = {kMembers, sizeof kMembers / sizeof kMembers[0]};

const IID *const kControlInterfaces[] = {
    &IID_IViewObjectEx,       &IID_IViewObject2,          &IID_IViewObject,
    &IID_IOleInPlaceObjectWindowless, &IID_IOleInPlaceObject, &IID_IOleWindow,
    &IID_IOleInPlaceActiveObject, &IID_IOleControl,       &IID_IOleObject,
    &IID_IPersistStreamInit,  &IID_IPersist,              &IID_ISpecifyPropertyPages,
    &IID_IQuickActivate,      &IID_IPersistStorage,       &IID_IDataObject,
    &IID_IProvideClassInfo,   &IID_IProvideClassInfo2};

std::string bstr_text(BSTR b) { return platform_bstr_to_utf8(b); }

}  // namespace

// ---------------------------------------------------------------------------
// Identity.

SerialSource::SerialSource(IUnknown *outer) : outer_(outer ? outer : &inner_) {
  inner_.self = this;
  platform_notimpl_interface_init(&reserved_, outer_);
  platform_notimpl_interface_init(&control_, outer_);
  InitializeCriticalSection(&node_lock_);
  node_text_[0] = node_text_[1] = kAuthorLine;
  node_text_[2] = node_text_[3] = "Serial Input";
  for (int i = 0; i < KS_MAX_CHANNELS; ++i) {
    gain_[i] = 1.0f;
    offset_[i] = 0.0f;
  }
  // The output starts with an empty float32 format.
  AcqSignalFormat *format =
      static_cast<AcqSignalFormat *>(calloc(1, sizeof(AcqSignalFormat)));
  if (format != nullptr) {
    format->entry_size = ACQ_FORMAT_ENTRY_SIZE;
    format->type = ACQ_TYPE_FLOAT32;
    format->rate = sample_rate_;
    EnterCriticalSection(&node_lock_);
    ApplyFormat(format);
    LeaveCriticalSection(&node_lock_);
  }
  kesto_object_created();
}

SerialSource::~SerialSource() {
  StopDelivery();
  ClosePortConnection();
  // No thread may outlive the object (nor run the module's code after the
  // server is unloaded): wait for what did not end in time.
  for (HANDLE *t : {&delivery_, &worker_}) {
    if (*t != nullptr) {
      WaitForSingleObject(*t, INFINITE);
      CloseHandle(*t);
      *t = nullptr;
    }
  }
  EnterCriticalSection(&node_lock_);
  DropClientStatus();
  free(output_.format);
  free(output_.block);
  LeaveCriticalSection(&node_lock_);
  if (linked_ != nullptr) linked_->Release();
  DeleteCriticalSection(&node_lock_);
  kesto_object_destroyed();
}

HRESULT SerialSource::Inner::QueryInterface(REFIID riid, void **object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualIID(riid, IID_IUnknown)) {
    *object = static_cast<IUnknown *>(this);
  } else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_ISerialSource)) {
    *object = static_cast<ISerialSource *>(self);
  } else if (IsEqualIID(riid, IID_IFrontEndCommand)) {
    *object = static_cast<IFrontEndCommand *>(self);
  } else if (IsEqualIID(riid, IID_IAcqDataNode)) {
    *object = static_cast<IAcqDataNode *>(self);
  } else if (IsEqualIID(riid, IID_IAcqDataSource)) {
    *object = static_cast<IAcqDataSource *>(self);
  } else if (IsEqualIID(riid, IID_IAcqReserved)) {
    *object = &self->reserved_;
  } else {
    for (const IID *iid : kControlInterfaces)
      if (IsEqualIID(riid, *iid)) *object = &self->control_;
    if (*object == nullptr) return E_NOINTERFACE;
  }
  self->outer_->AddRef();
  if (*object == static_cast<IUnknown *>(this) && self->outer_ != this) {
    // The inner unknown counts its own references.
    self->outer_->Release();
    AddRef();
  }
  return S_OK;
}

ULONG SerialSource::Inner::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs)); }

ULONG SerialSource::Inner::Release() {
  LONG n = InterlockedDecrement(&refs);
  if (n == 0) delete self;
  return static_cast<ULONG>(n);
}

HRESULT SerialSource::QueryInterface(REFIID riid, void **object) {
  return outer_->QueryInterface(riid, object);
}
ULONG SerialSource::AddRef() { return outer_->AddRef(); }
ULONG SerialSource::Release() { return outer_->Release(); }

// ---------------------------------------------------------------------------
// IDispatch over the catalogue.

HRESULT SerialSource::GetTypeInfoCount(UINT *count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT SerialSource::GetTypeInfo(UINT, LCID, ITypeInfo **info) {
  if (info != nullptr) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT SerialSource::GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) {
  return platform_dispatch_get_ids(kDispatch, names, count, ids);
}

HRESULT SerialSource::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params,
                             VARIANT *result, EXCEPINFO *excepinfo, UINT *arg_error) {
  return platform_dispatch_invoke(kDispatch, static_cast<ISerialSource *>(this), id, flags,
                                  params, result, excepinfo, arg_error);
}

// ---------------------------------------------------------------------------
// Caption and port.

HRESULT SerialSource::put_Caption(BSTR caption) {
  node_text_[1] = bstr_text(caption);
  return S_OK;
}

HRESULT SerialSource::get_Caption(BSTR *pstrCaption) {
  if (pstrCaption == nullptr) return E_POINTER;
  const std::string &text = node_text_[1].empty() ? node_text_[0] : node_text_[1];
  if (text.empty()) return E_FAIL;
  *pstrCaption = platform_bstr_from_utf8(text.c_str());
  return *pstrCaption != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT SerialSource::get_ComPort(BSTR *pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = platform_bstr_from_utf8(port_name_.c_str());
  return *pVal != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT SerialSource::put_ComPort(BSTR newVal) {
  if (newVal == nullptr) return E_FAIL;
  std::string name = bstr_text(newVal);
  for (char &c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (name.compare(0, 3, "COM") != 0) {
    int number = atoi(name.c_str());
    if (number != 0) name = "COM" + std::to_string(number);
  }
  port_name_ = name;
  // An empty name never touches the port.
  if (name.empty() || !OpenAndIdentify()) return S_FALSE;
  BuildChannels();
  return S_OK;
}

HRESULT SerialSource::InitilizeSerialPortAndFrontend(BSTR ComPortName, LONG Baudrate,
                                                     LONG *pErrorResult) {
  InterlockedExchange(&release_timeout_, 0);
  port_name_ = bstr_text(ComPortName);
  baud_ = Baudrate == 0 ? 115200 : static_cast<DWORD>(Baudrate);
  return outcome(!port_name_.empty() && OpenAndIdentify(), pErrorResult);
}

HRESULT SerialSource::ReleaseSerialPort(LONG *pErrorResult) {
  ClosePortConnection();
  set_result(pErrorResult, 0);
  return S_OK;
}

HRESULT SerialSource::KeepSerialPortInUse(LONG ReleaseTimeoutTime, LONG *pErrorResult) {
  InterlockedExchange(&last_keep_alive_call_, static_cast<LONG>(GetTickCount()));
  InterlockedExchange(&release_timeout_, ReleaseTimeoutTime);
  set_result(pErrorResult, 0);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Front-end properties: S_FALSE without writing for a null pointer; -1 and
// S_FALSE while the value is not known (0).

namespace {
HRESULT known(LONG value, LONG *pVal) {
  if (pVal == nullptr) return S_FALSE;
  *pVal = value != 0 ? value : -1;
  return value != 0 ? S_OK : S_FALSE;
}
}  // namespace

HRESULT SerialSource::get_FrontendNrOfChannels(LONG *pVal) {
  return known(link_.NumberOfChannels(), pVal);
}
HRESULT SerialSource::get_FrontendSerialNumber(LONG *pVal) {
  return known(static_cast<LONG>(link_.SerialNumber()), pVal);
}
HRESULT SerialSource::get_FrontendId(LONG *pVal) {
  return known(static_cast<LONG>(link_.SerialNumber() / 1000000u), pVal);
}
HRESULT SerialSource::get_FrontendHardwareVersion(LONG *pVal) {
  return known(link_.IdentificationWord(KS_ID_HARDWARE), pVal);
}
HRESULT SerialSource::get_FrontendSoftwareVersion(LONG *pVal) {
  return known(link_.IdentificationWord(KS_ID_SOFTWARE), pVal);
}
HRESULT SerialSource::get_FrontendCommandBufferSize(LONG *pVal) {
  return known(link_.IdentificationWord(KS_ID_COMMAND_BUFFER), pVal);
}
HRESULT SerialSource::get_FrontendSendBufferSize(LONG *pVal) {
  return known(link_.IdentificationWord(KS_ID_SEND_BUFFER), pVal);
}

// ---------------------------------------------------------------------------
// Sample rate, acquisition, records.

HRESULT SerialSource::get_SampleRate(FLOAT *pVal) {
  if (pVal == nullptr) return E_POINTER;  // a null pointer is refused, not written
  *pVal = sample_rate_;
  return S_OK;
}

HRESULT SerialSource::put_SampleRate(FLOAT newVal) {
  if (WorkerState() >= WORKER_ACQUIRING) return S_FALSE;
  if (HasPort()) link_.RoundSampleRate(&newVal, nullptr);  // no base rate: as given
  if (newVal != sample_rate_) SetSampleRate(newVal);
  return S_OK;
}

HRESULT SerialSource::StartAcq(FLOAT *, LONG *pErrorResult) {
  int r = StartAcquisition();
  set_result(pErrorResult, r);
  return r < 0 ? S_FALSE : S_OK;
}

HRESULT SerialSource::StopAcq(LONG *pErrorResult) {
  set_result(pErrorResult, StopAcquisition());
  return S_OK;
}

HRESULT SerialSource::GetStationairSampleRecords(LONG *pNrOfPeriods, FLOAT *pReceiveDataBuffer) {
  if (pNrOfPeriods == nullptr) return E_POINTER;
  LONG wanted = *pNrOfPeriods;
  *pNrOfPeriods = 0;
  if (!HasPort() || wanted <= 0 || pReceiveDataBuffer == nullptr) {
    *pNrOfPeriods = -1;
    return S_FALSE;
  }
  {
    Exchange exchange(this);  // the worker does not parse meanwhile
    link_.PollIdle();
  }
  // One batch under the record lock: the delivery thread cannot take records
  // from between those the caller gets.
  *pNrOfPeriods = link_.ReadRecords(pReceiveDataBuffer, wanted, link_.NumberOfChannels());
  return S_OK;
}

// ---------------------------------------------------------------------------
// Raw exchanges.

HRESULT SerialSource::TestBlock(LONG BlockTypeSend, LONG BlockTypeWaitFor, LONG NrOfWordsSend,
                                LONG *NrOfWordsReceive, LONG *DataToSend,
                                LONG *ReceiveDataBuffer) {
  // The frame's word count is one byte and 255 is refused: at most 254.
  if (!HasPort() || NrOfWordsReceive == nullptr || DataToSend == nullptr ||
      ReceiveDataBuffer == nullptr || NrOfWordsSend < 0 || NrOfWordsSend > 254) {
    set_result(NrOfWordsReceive, -1);
    return S_FALSE;
  }
  uint16_t send[254];
  for (LONG i = 0; i < NrOfWordsSend; ++i) send[i] = static_cast<uint16_t>(DataToSend[i]);
  // Sync, header, up to 254 data words and the checksum.
  uint16_t kept[258] = {};
  const int max_kept = *NrOfWordsReceive < 0 ? 0 : (*NrOfWordsReceive > 258 ? 258 : *NrOfWordsReceive);
  int words;
  {
    Exchange exchange(this);
    words = link_.RawExchange(BlockTypeSend, BlockTypeWaitFor, NrOfWordsSend, send, max_kept,
                              kept);
  }
  if (words < 0 || max_kept < 1 || kept[0] != 0xAAAA) {
    *NrOfWordsReceive = -1;
    return S_FALSE;
  }
  *NrOfWordsReceive = words;
  // Data words beyond what was kept read as 0.
  for (int i = 0; i < words; ++i) ReceiveDataBuffer[i] = 2 + i < max_kept ? kept[2 + i] : 0;
  return S_OK;
}

HRESULT SerialSource::SendCommand(LONG type, LONG bytes, const void *data, LONG reply_type,
                                  LONG reply_bytes, BYTE *reply) {
  const int words = data != nullptr ? bytes / 2 : 0;
  if (!HasPort() || words < 0 || words > 254 || reply_bytes < 0 || reply_bytes > 2 * 254)
    return E_FAIL;
  uint16_t send[254];
  if (words > 0) memcpy(send, data, 2 * static_cast<size_t>(words));
  uint16_t kept[258] = {};
  const int max_kept = 2 + (reply_bytes + 1) / 2;
  int got;
  {
    Exchange exchange(this);
    got = link_.RawExchange(type, reply_type, words, send, max_kept, kept);
  }
  if (got < 0) return E_FAIL;
  if (reply != nullptr) {
    // Only the reply's own data words; the rest of the buffer reads 0.
    for (int i = got; i < (reply_bytes + 1) / 2; ++i) kept[2 + i] = 0;
    memcpy(reply, kept + 2, static_cast<size_t>(reply_bytes));
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Maintenance.

HRESULT SerialSource::get_Test(LONG *pVal) {
  if (pVal == nullptr) return E_POINTER;
  const LONG state = WorkerState();
  if (state == WORKER_REPLAYING) {
    *pVal = -1;
  } else if (state == WORKER_ACQUIRING) {
    *pVal = -2;
  } else if (HasPort()) {
    LONG n = -1;
    *pVal = GetNumberOfAmbulantRecordings(&n) == S_OK ? n : -1;
  } else {
    *pVal = -3;
  }
  return S_OK;
}

HRESULT SerialSource::put_Test(LONG newVal) {
  switch (newVal) {
    case 5555: {
      SetWorkerState(WORKER_IDLE);
      LONG status = 0;
      GetAmbulantDeviceStatus(&status, nullptr, nullptr, nullptr, nullptr, nullptr);
      if ((status & 4) == 0) {
        EraseAmbulantMemory(nullptr);
        // The erase keeps the memory busy for a while; give up after 10 s.
        const DWORD start = GetTickCount();
        do {
          GetAmbulantDeviceStatus(&status, nullptr, nullptr, nullptr, nullptr, nullptr);
        } while ((status & 4) != 0 && GetTickCount() - start < 10000);
        InitAmbulantStandardConfig(nullptr);
      }
      break;
    }
    case -101:
      ReleaseSerialPort(nullptr);
      break;
    case -100:
      baud_ = 115200;
      if (!port_name_.empty()) OpenAndIdentify();
      break;
    case -3:
      if (WorkerState() != WORKER_ACQUIRING) StartAcquisition();
      break;
    case -2:
      if (WorkerState() == WORKER_ACQUIRING) StopAcquisition();
      break;
    case -1:
      SetWorkerState(WORKER_IDLE);
      break;
    default:
      if (newVal >= 0 && static_cast<size_t>(newVal) < recordings_.size() &&
          WorkerState() != WORKER_REPLAYING)
        DownloadAmbulantRecording(newVal, nullptr);
      break;
  }
  return S_OK;
}

HRESULT SerialSource::get_TestAlive(LONG *pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = HasPort() ? interlocked_load(keep_alive_count_) : -1;
  return S_OK;
}

HRESULT SerialSource::put_TestAlive(LONG newVal) {
  return static_cast<ISerialSource *>(this)->KeepSerialPortInUse(newVal, nullptr);
}

// ---------------------------------------------------------------------------
// The port connection and the worker.

Exchange::Exchange(SerialSource *source)
    : source_(source), lock_(source->port_mutex_), end_state_(source->WorkerState()) {
  if (source_->HasPort() && end_state_ != WORKER_PORT_ONLY)
    source_->SetWorkerState(WORKER_PORT_ONLY);
}

Exchange::~Exchange() {
  if (source_->HasPort() && source_->WorkerState() != end_state_)
    source_->SetWorkerState(end_state_);
}

void SerialSource::SetWorkerState(LONG state) {
  InterlockedExchange(&requested_state_, state);
  const DWORD start = GetTickCount();
  // The worker may have moved on already (a short replay ends by itself,
  // the release time-out ends the worker): then there is nothing to wait for.
  while (HasPort() && WorkerState() != state && interlocked_load(requested_state_) == state &&
         GetTickCount() - start < 10000)
    Sleep(1);
}

bool SerialSource::StartWorker() {
  InterlockedExchange(&keep_alive_count_, 0);
  InterlockedExchange(&requested_state_, WORKER_PORT_ONLY);
  InterlockedExchange(&current_state_, WORKER_PORT_ONLY);
  InterlockedExchange(&worker_alive_, 1);
  worker_ = CreateThread(nullptr, 0, WorkerMain, this, 0, nullptr);
  if (worker_ == nullptr) {
    InterlockedExchange(&worker_alive_, 0);
    return false;
  }
  return true;
}

void SerialSource::TakeChannelScaling() {
  EnterCriticalSection(&node_lock_);
  const int n = link_.NumberOfChannels();
  for (int i = 0; i < KS_MAX_CHANNELS; ++i) {
    gain_[i] = i < n ? link_.Channel(i).gain : 1.0f;
    offset_[i] = i < n ? link_.Channel(i).offset : 0.0f;
  }
  LeaveCriticalSection(&node_lock_);
}

bool SerialSource::OpenAndIdentify() {
  WaitCursor cursor;
  ClosePortConnection();
  bool ok;
  {
    std::lock_guard<std::mutex> lock(port_mutex_);
    ok = link_.Open(port_name_.c_str(), baud_) == 0 && StartWorker() && link_.OpenFrontEnd();
  }
  if (!ok) {
    ClosePortConnection();
    return false;
  }
  TakeChannelScaling();
  return true;
}

HRESULT SerialSource::ClosePortConnection() {
  if (WorkerState() == WORKER_ACQUIRING) ReportLostRecords();
  // The worker ends first, so that it never reads a port being closed.
  HRESULT hr = S_OK;
  InterlockedExchange(&requested_state_, WORKER_END);
  if (worker_ != nullptr) {
    if (WaitForSingleObject(worker_, 10000) == WAIT_OBJECT_0) {
      CloseHandle(worker_);
      worker_ = nullptr;
    } else {
      hr = E_ABORT;  // kept: the destructor waits for it
    }
  }
  std::lock_guard<std::mutex> lock(port_mutex_);
  link_.Close();
  link_.ClearFrontEnd();
  return hr;
}

DWORD SerialSource::WorkerMain(void *self) { return static_cast<SerialSource *>(self)->WorkerLoop(); }

DWORD SerialSource::WorkerLoop() {
  DWORD next_keep_alive = GetTickCount();
  for (;;) {
    const LONG now_state = interlocked_load(requested_state_);
    InterlockedExchange(&current_state_, now_state);
    const DWORD now = GetTickCount();
    if (now_state == WORKER_END) break;
    const LONG timeout = interlocked_load(release_timeout_);
    if (timeout != 0 &&
        static_cast<int32_t>(now - (static_cast<DWORD>(interlocked_load(last_keep_alive_call_)) +
                                    static_cast<DWORD>(timeout))) > 0 &&
        port_mutex_.try_lock()) {
      link_.Close();
      link_.ClearFrontEnd();
      port_mutex_.unlock();
      InterlockedExchange(&requested_state_, WORKER_END);
      InterlockedExchange(&current_state_, WORKER_END);
      break;
    }
    if (now_state >= WORKER_IDLE) {
      if (static_cast<int32_t>(now - next_keep_alive) >= 0) {
        next_keep_alive = now + 500;
        link_.SendKeepAlive();
        InterlockedIncrement(&keep_alive_count_);
      }
      link_.PollIdle();
    }
    // A replay decodes one record a turn without pausing. Otherwise, while
    // the worker polls the port it sleeps 5 ms a turn instead of 1: the
    // port's queue (about 4 KiB) holds some 50 ms of the fastest stream, and
    // 1000 turns a second cost 2 % of a core here, where a 1-ms sleep really
    // lasts 1 ms (on Windows it lasts a timer tick, about 15.6 ms).
    if (now_state == WORKER_REPLAYING)
      ReplayStep();
    else
      Sleep(now_state >= WORKER_IDLE ? kPollingTurnMs : 1);
  }
  InterlockedExchange(&worker_alive_, 0);
  return 0;
}
