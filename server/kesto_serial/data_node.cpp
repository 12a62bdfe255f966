// The data-flow side of SerialSource: IAcqDataNode (the output pin, its
// clients and format) and IAcqDataSource (start, stop, channels, rates,
// chaining of sources).
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "serial_source.h"

namespace {

// A format's rate as compared: -1 (unknown) counts as 0.
float comparable_rate(float rate) { return rate == -1.0f ? 0.0f : rate; }

// Differences between two formats as bits: 0x01 element type, 0x02 rate,
// 0x1C channel count (nothing else compared then), 0x08 a name, 0x10 a
// unit or exponent, 0x20 a channel index.
int format_differences(const AcqSignalFormat *a, const AcqSignalFormat *b) {
  int bits = 0;
  if (a->type != b->type) bits |= 0x01;
  if (comparable_rate(a->rate) != comparable_rate(b->rate)) bits |= 0x02;
  if (a->channels != b->channels) return bits | 0x1C;
  for (ULONG i = 0; i < a->channels; ++i) {
    const AcqChannelEntry &x = a->entries[i], &y = b->entries[i];
    if (strncmp(x.name, y.name, ACQ_FORMAT_NAME_SIZE) != 0) bits |= 0x08;
    if (x.unit != y.unit || x.exponent != y.exponent) bits |= 0x10;
    if (x.index != y.index) bits |= 0x20;
  }
  return bits;
}

size_t format_bytes(ULONG channels) {
  return offsetof(AcqSignalFormat, entries) + sizeof(AcqChannelEntry) * (channels + 1);
}

// Formats handed in by other nodes are copied; a count past this is no
// format a source could deliver.
const ULONG kMaxFormatChannels = 4096;

AcqSignalFormat *copy_format(const AcqSignalFormat *f) {
  if (f == nullptr || f->channels > kMaxFormatChannels) return nullptr;
  AcqSignalFormat *c = static_cast<AcqSignalFormat *>(calloc(1, format_bytes(f->channels)));
  if (c != nullptr)
    memcpy(c, f, offsetof(AcqSignalFormat, entries) + sizeof(AcqChannelEntry) * f->channels);
  return c;
}

size_t payload_bytes(const AcqSignalFormat *f) {
  const size_t per_value = f->type & 0xFFFF;
  const size_t kind = f->type >> 16;
  return per_value * f->channels * (kind == 4 ? 4 : 1);
}

BSTR bstr(const std::string &s) { return platform_bstr_from_utf8(s.c_str()); }

}  // namespace

// ---------------------------------------------------------------------------
// The output (node lock held by the caller).

void SerialSource::ApplyFormat(AcqSignalFormat *format) {
  OutputPin &out = output_;
  int bits = out.format != nullptr ? format_differences(out.format, format) : 0xFF;
  if (bits == 0) {
    free(format);
    return;
  }
  const size_t payload = payload_bytes(format);
  const size_t bytes = 16 + payload + 4;
  if (out.block == nullptr || bytes != out.block_bytes) {
    void *block = calloc(1, bytes);
    if (block == nullptr) {
      free(format);
      return;
    }
    free(out.block);
    out.block = static_cast<AcqDataBlock *>(block);
    out.block_bytes = bytes;
  }
  out.block->records = 1;
  out.block->channels = static_cast<LONG>(format->channels);
  out.block->type = static_cast<LONG>(format->type);
  out.block->payload_bytes = static_cast<LONG>(payload);
  free(out.format);
  out.format = format;
  NotifyClients((bits & ~0x18) != 0 ? ACQ_EVENT_FORMAT_CHANGED : ACQ_EVENT_NAMES_CHANGED);
}

void SerialSource::NotifyClients(LONG event) {
  OutputPin &out = output_;
  ++out.walking;
  for (size_t k = out.clients.size(); k-- > 0;) {
    if (k >= out.clients.size()) continue;  // dropped by a nested walk's end
    ClientEntry &e = out.clients[k];
    if (e.busy || e.removed) continue;
    e.busy = true;
    IAcqDataNode *client = e.client;
    LONG key = e.key;
    client->InputEvent(event, &out, static_cast<IAcqDataNode *>(this), &key);
    out.clients[k].busy = false;
  }
  EndWalk();
}

void SerialSource::EndWalk() {
  OutputPin &out = output_;
  if (--out.walking > 0) return;
  for (size_t k = 0; k < out.clients.size();) {
    if (out.clients[k].removed) out.clients.erase(out.clients.begin() + static_cast<long>(k));
    else ++k;
  }
}

void SerialSource::DropClientStatus() {
  if (output_.status != nullptr) output_.status->Release();
  output_.status = nullptr;
  output_.status_client = nullptr;
}

void SerialSource::ResendFormat() {
  EnterCriticalSection(&node_lock_);
  AcqSignalFormat *f = copy_format(output_.format);
  if (f != nullptr) {
    f->rate = sample_rate_;
    ApplyFormat(f);
  }
  LeaveCriticalSection(&node_lock_);
}

// ---------------------------------------------------------------------------
// IAcqDataNode.

HRESULT SerialSource::SetNodeValue(LONG value) {
  node_value_ = value;
  return S_OK;
}

// A SerialSource has no inputs.
HRESULT SerialSource::ReceiveBlock(LONG, LONG, const AcqDataBlock *) { return E_FAIL; }
HRESULT SerialSource::InputEvent(LONG, ACQ_OUTPUT, IAcqDataNode *, LONG *) { return E_FAIL; }

HRESULT SerialSource::AddClient(LONG output_index, LONG key, IAcqDataNode *client, BOOL remove,
                                ACQ_OUTPUT *output) {
  if (output == nullptr) return E_FAIL;
  if (*output != nullptr) {
    if (*output != &output_) return E_FAIL;
  } else {
    if (output_index != 0) return E_FAIL;
    *output = &output_;
  }
  if (client == nullptr || key == 0) return S_OK;
  // The whole search, removal and append under the node lock: the delivery
  // thread holds it while it calls the clients.
  EnterCriticalSection(&node_lock_);
  OutputPin &out = output_;
  HRESULT hr = S_OK;
  auto found = out.clients.end();
  for (auto it = out.clients.begin(); it != out.clients.end(); ++it)
    if (!it->removed && it->client == client && it->key == key) found = it;
  if (found != out.clients.end()) {
    if (remove) {
      if (out.status_client == client) DropClientStatus();
      if (out.walking > 0) found->removed = true;
      else out.clients.erase(found);
    }
  } else if (remove) {
    hr = E_FAIL;
  } else {
    out.clients.push_back({client, key, false, false});
    if (out.status == nullptr) {
      IAcqClientStatus *status = nullptr;
      if (SUCCEEDED(client->QueryInterface(IID_IAcqClientStatus,
                                           reinterpret_cast<void **>(&status))) &&
          status != nullptr) {
        out.status = status;
        out.status_client = client;
        NotifyClients(ACQ_EVENT_CLIENT_STATUS);
      }
    }
  }
  LeaveCriticalSection(&node_lock_);
  return hr;
}

HRESULT SerialSource::GetOutputFormat(ACQ_OUTPUT output, AcqSignalFormat **format) {
  if (output == nullptr || format == nullptr || output != &output_) return E_FAIL;
  EnterCriticalSection(&node_lock_);
  *format = output_.format;
  LeaveCriticalSection(&node_lock_);
  return *format != nullptr ? S_OK : E_FAIL;
}

HRESULT SerialSource::SetPinFormat(LONG pin, LONG flags, const AcqSignalFormat *format) {
  if ((flags & 1) == 0 || pin != 0) return E_INVALIDARG;  // no inputs, one output
  AcqSignalFormat *copy = copy_format(format);
  if (copy == nullptr) return E_INVALIDARG;
  EnterCriticalSection(&node_lock_);
  ApplyFormat(copy);
  LeaveCriticalSection(&node_lock_);
  return S_OK;
}

HRESULT SerialSource::GetPinFormats(LONG pin, LONG flags, AcqSignalFormat **first,
                                    AcqSignalFormat **second) {
  if ((flags & 1) == 0 || pin != 0) return E_INVALIDARG;
  EnterCriticalSection(&node_lock_);
  if (first != nullptr) *first = nullptr;
  if (second != nullptr) *second = output_.format;
  LeaveCriticalSection(&node_lock_);
  return S_OK;
}

HRESULT SerialSource::Evaluate() { return 1; }  // no inputs to poll

HRESULT SerialSource::Connect(IAcqDataNode *source, LONG input, LONG output) {
  if (source == nullptr) {
    MessageBoxA(nullptr, "Failed to disconnect", nullptr, MB_OK);
    return E_FAIL;
  }
  ACQ_OUTPUT handle = nullptr;
  if (FAILED(source->AddClient(output, 0, nullptr, FALSE, &handle))) return E_FAIL;
  LONG key = input;
  return InputEvent(input, handle, source, &key);  // fails: no inputs
}

HRESULT SerialSource::GetPinCounts(LONG *inputs, LONG *outputs) {
  if (inputs != nullptr) *inputs = 0;
  if (outputs != nullptr) *outputs = 1;
  return S_OK;
}

HRESULT SerialSource::GetNodeInfo(AcqNodeInfo *info) {
  if (info == nullptr) return E_POINTER;
  for (int i = 0; i < 6; ++i) info->text[i] = bstr(node_text_[i]);
  info->inputs = 0;
  info->outputs = 1;
  info->source_kind = 6;
  info->flags = 1;
  return S_OK;
}

HRESULT SerialSource::SetNodeInfo(const AcqNodeInfo *info) {
  if (info == nullptr) return E_POINTER;
  node_text_[1] = platform_bstr_to_utf8(info->text[1]);
  node_text_[3] = platform_bstr_to_utf8(info->text[3]);
  return S_OK;
}

HRESULT SerialSource::Reserved15(LONG) { return S_OK; }
HRESULT SerialSource::Reserved16(LONG) { return S_OK; }

HRESULT SerialSource::GetPinInfo(LONG *pin_count, LONG index, LONG *is_input, LONG *layout,
                                 LONG *third) {
  if (pin_count != nullptr) {
    *pin_count = 1;
    return S_OK;
  }
  if (index != 0) return E_FAIL;
  if (is_input != nullptr) *is_input = 0;
  if (layout != nullptr) {
    layout[0] = 59;
    layout[1] = 30;
  }
  if (third != nullptr) *third = 0;
  return S_OK;
}

HRESULT SerialSource::ReleaseNode(IUnknown *object) {
  if (object == nullptr) return E_FAIL;
  sample_counter_ = 0;
  tick_counter_ = 0;
  object->Release();
  return S_OK;
}

HRESULT SerialSource::ClientCommand(ACQ_OUTPUT output, LONG a, LONG b, LONG c) {
  if (output != &output_) return E_FAIL;
  EnterCriticalSection(&node_lock_);
  HRESULT hr = output_.status != nullptr ? output_.status->Command(a, b, c) : E_NOTIMPL;
  LeaveCriticalSection(&node_lock_);
  return hr;
}

HRESULT SerialSource::GetClientStatus(ACQ_OUTPUT output, LONG *present, LONG *a, LONG *b,
                                      LONG *c, int64_t *position) {
  if (output != &output_) return E_FAIL;
  EnterCriticalSection(&node_lock_);
  if (present == nullptr && a == nullptr && b == nullptr && c == nullptr && position == nullptr) {
    NotifyClients(ACQ_EVENT_CLIENT_STATUS);
  } else if (IAcqClientStatus *s = output_.status) {
    if (present != nullptr) s->GetPresent(present);
    if (a != nullptr) s->GetValueA(a);
    if (b != nullptr) s->GetValueB(b);
    if (c != nullptr) *c = 0;
    if (position != nullptr) s->GetPosition(position);
  } else {
    if (present != nullptr) *present = 0;
    if (a != nullptr) *a = 0;
    if (b != nullptr) *b = -1;
    if (c != nullptr) *c = 0;
    if (position != nullptr) *position = 0;
  }
  LeaveCriticalSection(&node_lock_);
  return S_OK;
}

// ---------------------------------------------------------------------------
// IAcqDataSource.

HRESULT SerialSource::Reset() {
  Stop();
  running_flags_ = 0;
  if (linked_ != nullptr) linked_->Reset();
  return S_OK;
}

HRESULT SerialSource::GetSourceFlags(LONG *flags) {
  if (flags == nullptr) return E_FAIL;
  *flags = 1;
  return S_OK;
}

HRESULT SerialSource::GetStatus(LONG *status) {
  if (status == nullptr) return E_POINTER;
  const LONG state = WorkerState();
  *status = !HasPort() ? 0 : state == WORKER_REPLAYING ? 3 : state == WORKER_ACQUIRING ? 1 : 0;
  return S_OK;
}

HRESULT SerialSource::Start(LONG flags, LONG a, LONG b) {
  if (running_flags_ == 0) {
    sample_counter_ = 0;
    tick_counter_ = 0;
    bool identified;
    if (HasPort()) {
      {
        Exchange exchange(this);
        identified = link_.OpenFrontEnd();
      }
      if (identified) TakeChannelScaling();
    } else {
      identified = !port_name_.empty() && OpenAndIdentify();
    }
    if (identified) {
      const int r = StartAcquisition();
      if (r < 0) return r;
    }
  }
  running_flags_ = flags | 1;
  if (linked_ != nullptr) linked_->Start(flags, a, b);
  if (master_ == nullptr && delivery_ == nullptr && FAILED(StartDelivery())) return E_FAIL;
  return S_OK;
}

HRESULT SerialSource::Stop() {
  StopDelivery();
  running_flags_ = 0;
  StopAcquisition();
  if (linked_ != nullptr) linked_->Stop();
  return S_OK;
}

HRESULT SerialSource::GetChannelCount(LONG *count) {
  if (count == nullptr) return E_POINTER;
  EnterCriticalSection(&node_lock_);
  *count = static_cast<LONG>(descriptors_.size());
  LeaveCriticalSection(&node_lock_);
  return S_OK;
}

HRESULT SerialSource::SetChannel(LONG channel, LONG output_slot, BSTR display_name, BSTR third) {
  if (channel < 0 || static_cast<size_t>(channel) >= descriptors_.size()) return E_INVALIDARG;
  const bool slot_changed = descriptors_[channel].slot != output_slot;
  const bool running = delivery_ != nullptr;
  if (slot_changed && running) StopDelivery();
  EnterCriticalSection(&node_lock_);
  ChannelDescriptor &d = descriptors_[channel];
  d.slot = output_slot;
  if (display_name != nullptr) d.display = platform_bstr_to_utf8(display_name);
  if (third != nullptr) d.third = platform_bstr_to_utf8(third);
  LeaveCriticalSection(&node_lock_);
  if (slot_changed || display_name != nullptr) BuildOutputFormat();
  if (slot_changed && running) StartDelivery();
  return S_OK;
}

HRESULT SerialSource::GetChannel(LONG channel, LONG *output_slot, BSTR *name, BSTR *display_name,
                                 BSTR *third) {
  EnterCriticalSection(&node_lock_);
  HRESULT hr = S_OK;
  if (channel < 0 || static_cast<size_t>(channel) >= descriptors_.size()) {
    hr = E_INVALIDARG;
  } else {
    const ChannelDescriptor &d = descriptors_[channel];
    if (output_slot != nullptr) *output_slot = d.slot;
    if (name != nullptr) *name = bstr(d.name);
    if (display_name != nullptr) *display_name = bstr(d.display);
    if (third != nullptr) *third = bstr(d.third);
  }
  LeaveCriticalSection(&node_lock_);
  return hr;
}

HRESULT SerialSource::GetSampleCount(LONG *count) {
  if (master_ != nullptr) return master_->GetSampleCount(count);
  if (count == nullptr) return E_POINTER;
  *count = sample_counter_;
  return S_OK;
}

HRESULT SerialSource::GetSampleRate(FLOAT *rate) {
  if (master_ != nullptr) return master_->GetSampleRate(rate);
  if (rate == nullptr) return E_POINTER;
  *rate = sample_rate_;
  return S_OK;
}

HRESULT SerialSource::SetSampleRate(FLOAT rate) {
  if (rate >= 0 && rate != sample_rate_) {
    sample_rate_ = rate;
    float master_rate = 0;
    if (master_ != nullptr && SUCCEEDED(master_->GetSampleRate(&master_rate)) &&
        master_rate < rate) {
      // Re-link behind the slower master.
      IAcqDataSource *master = master_;
      master->AddRef();
      Unlink();
      master->Link(static_cast<IAcqDataSource *>(this));
      master->Release();
    }
    Refresh();
  }
  if (linked_ != nullptr) linked_->SetSampleRate(-1);
  return S_OK;
}

HRESULT SerialSource::Refresh() {
  ResendFormat();
  if (linked_ != nullptr) linked_->Refresh();
  return S_OK;
}

HRESULT SerialSource::GetName(BSTR *name) {
  if (name == nullptr) return E_POINTER;
  *name = bstr(device_name_);
  return *name != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT SerialSource::GetSourceKind(LONG *kind) {
  if (kind == nullptr) return E_FAIL;
  *kind = 6;
  return S_OK;
}

HRESULT SerialSource::GetMaster(IAcqDataSource **master) {
  if (master == nullptr) return E_POINTER;
  if (master_ != nullptr) return master_->GetMaster(master);
  *master = static_cast<IAcqDataSource *>(this);
  AddRef();
  return S_OK;
}

HRESULT SerialSource::GetLinked(IAcqDataSource **linked) {
  if (linked == nullptr) return E_POINTER;
  *linked = linked_;
  if (linked_ != nullptr) linked_->AddRef();
  return S_OK;
}

HRESULT SerialSource::SetMaster(IAcqDataSource *master) {
  if (master != nullptr && master_ != nullptr) return master_->SetMaster(master);
  // The master is followed, not owned: no reference is held, none released.
  master_ = master;
  Refresh();
  return S_OK;
}

HRESULT SerialSource::Link(IAcqDataSource *other) {
  if (other == nullptr) {
    if (linked_ == nullptr) return 1;
    IAcqDataSource *linked = linked_;
    linked_ = nullptr;
    linked->SetMaster(nullptr);
    linked->Release();
    return S_OK;
  }
  if (linked_ != nullptr) return linked_->Link(other);
  IAcqDataSource *mine = nullptr, *theirs = nullptr;
  GetMaster(&mine);
  HRESULT hr = other->GetMaster(&theirs);
  if (FAILED(hr) || theirs == nullptr || theirs == mine) {
    hr = E_FAIL;
    if (theirs != nullptr) theirs->Release();
  } else {
    linked_ = theirs;  // keeps GetMaster's reference
    linked_->SetMaster(static_cast<IAcqDataSource *>(this));
    hr = S_OK;
  }
  if (mine != nullptr) mine->Release();
  return hr;
}

HRESULT SerialSource::Synchronise(IAcqDataSource *other) {
  if (other == nullptr) return E_POINTER;
  auto rate_of = [](IAcqDataSource *s) {
    LONG kind = 0;
    float rate = -1;
    s->GetSourceKind(&kind);
    if ((kind & 1) == 0 || FAILED(s->GetSampleRate(&rate))) rate = -1;
    return rate;
  };
  HRESULT hr;
  if (rate_of(this) >= rate_of(other)) {
    hr = Link(other);
  } else {
    IAcqDataSource *mine = nullptr;
    GetMaster(&mine);
    hr = other->Link(mine);
    mine->Release();
  }
  other->Release();
  return hr;
}

HRESULT SerialSource::Unlink() {
  IAcqDataSource *old_master = master_;
  IAcqDataSource *next = linked_;
  linked_ = nullptr;
  if (old_master != nullptr) {
    old_master->AddRef();
    old_master->Link(nullptr);  // drops this source and clears master_
  }
  master_ = nullptr;
  if (next != nullptr) {
    next->SetMaster(nullptr);
    if (old_master != nullptr) old_master->Link(next);
    next->Release();
  }
  if (old_master != nullptr) old_master->Release();
  return S_OK;
}

HRESULT SerialSource::Lock(LONG flags) {
  if (flags & 1) EnterCriticalSection(&node_lock_);
  else LeaveCriticalSection(&node_lock_);
  return S_OK;
}
