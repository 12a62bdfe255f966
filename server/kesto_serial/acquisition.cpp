// Acquisition and delivery: starting and stopping the front end, the
// delivery thread with its 50-Hz pace, Tick, and the channel list and
// output format built from the front end's channels.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial_source.h"

int SerialSource::StartAcquisition() {
  if (!HasPort()) return -1;
  // A replay of a stored recording is not cut short by a start: refused.
  if (WorkerState() == WORKER_REPLAYING) return 1;
  WaitCursor cursor;
  int result;
  {
    Exchange exchange(this);
    link_.ReadCompression();  // defaults when the front end does not answer
    float rate = sample_rate_;
    int code = 0;
    if (link_.RoundSampleRate(&rate, &code) != 0) {
      result = -1;
    } else {
      SetSampleRate(rate);
      link_.SetIdentificationWord(KS_ID_RATE_CODE, static_cast<uint16_t>(code));
      const bool ok = link_.SetAcquisition(link_.NumberOfChannels() & 0xFFFF, code, 0);
      exchange.EndIn(ok ? WORKER_ACQUIRING : WORKER_IDLE);
      result = ok ? 0 : 1;
    }
  }
  return result;
}

int SerialSource::StopAcquisition() {
  if (!HasPort()) return 1;
  WaitCursor cursor;
  const bool was_acquiring = WorkerState() == WORKER_ACQUIRING;
  bool ok;
  {
    Exchange exchange(this);
    ok = link_.SetAcquisition(link_.NumberOfChannels() & 0xFFFF, 0, 1);
    exchange.EndIn(WORKER_IDLE);
  }
  if (was_acquiring) ReportLostRecords();
  if (!ok) ClosePortConnection();
  return 0;
}

// The ring keeps the newest records when the delivery falls behind; what it
// overwrote is told once, when acquisition stops.
void SerialSource::ReportLostRecords() {
  const uint64_t lost = link_.RecordsLost();
  if (lost != 0)
    fprintf(stderr, "KestoSerial: %llu records lost: the record ring overflowed before they were delivered\n",
            static_cast<unsigned long long>(lost));
}

// ---------------------------------------------------------------------------
// The delivery thread.

HRESULT SerialSource::StartDelivery() {
  if (delivery_ != nullptr) return S_OK;
  delivery_stop_ = false;
  delivery_ = CreateThread(nullptr, 0, DeliveryMain, this, 0, nullptr);
  return delivery_ != nullptr ? S_OK : E_FAIL;
}

HRESULT SerialSource::StopDelivery() {
  HRESULT hr = S_OK;
  if (delivery_ != nullptr) {
    delivery_stop_ = true;
    if (WaitForSingleObject(delivery_, 5000) == WAIT_OBJECT_0) {
      CloseHandle(delivery_);
      delivery_ = nullptr;
    } else {
      hr = E_ABORT;  // kept: a later stop or the destructor waits again
    }
  }
  const uint64_t failed = failed_blocks_.exchange(0);
  if (failed != 0) {
    // Once per acquisition, not once per record: a client that keeps
    // refusing would otherwise flood standard error.
    char text[96];
    snprintf(text, sizeof text, "Failed to send data (%llu blocks)",
             static_cast<unsigned long long>(failed));
    MessageBoxA(nullptr, text, "KestoSerial", MB_OK);
  }
  return hr;
}

DWORD SerialSource::DeliveryMain(void *self) {
  return static_cast<SerialSource *>(self)->DeliveryLoop();
}

DWORD SerialSource::DeliveryLoop() {
  DWORD last = GetTickCount();
  while (!delivery_stop_) {
    const DWORD period = pacing_rate_ > 0 ? static_cast<DWORD>(1000.0f / pacing_rate_) : 0;
    if ((running_flags_ & 2) == 0) {
      const DWORD now = GetTickCount();
      const DWORD elapsed = now - last;
      last = now;
      if (elapsed < period) {
        Sleep(period - elapsed);
        last += period - elapsed;
      }
    }
    if (pacing_rate_ == 0) continue;
    ++tick_counter_;
    // While a stored recording is replayed the worker sends its records and
    // counts them; the ring waits.
    while (!delivery_stop_ && WorkerState() != WORKER_REPLAYING && link_.ReadRecord(record_)) {
      if (Tick(sample_counter_, 0, 0) == 0) ++sample_counter_;
    }
  }
  return 0;
}

HRESULT SerialSource::Tick(LONG sample_index, LONG a, LONG b) {
  if (master_ != nullptr) {
    // Following a master: only the newest record counts.
    while (link_.ReadRecord(record_)) {
    }
  }
  SendRecord(record_, sample_index);
  if (linked_ != nullptr) return linked_->Tick(sample_index, a, b);
  return 0;
}

// Scales one record into the data block and sends it to every client, all
// under the node lock (the delivery thread's records and the replay's).
void SerialSource::SendRecord(const float *record, LONG sample_index) {
  EnterCriticalSection(&node_lock_);
  OutputPin &out = output_;
  if (out.block != nullptr && out.format != nullptr) {
    float *values = reinterpret_cast<float *>(reinterpret_cast<char *>(out.block) + 16);
    ULONG i = 0;
    for (size_t c = 0; c < descriptors_.size() && c < KS_MAX_CHANNELS; ++c) {
      if (descriptors_[c].slot < 0) continue;
      if (i >= out.format->channels) break;
      values[i++] = record[c] * gain_[c] + offset_[c];
    }
    ++out.walking;
    const size_t n = out.clients.size();
    for (size_t k = 0; k < n; ++k) {
      ClientEntry e = out.clients[k];
      if (e.removed) continue;
      if (FAILED(e.client->ReceiveBlock(e.key, sample_index, out.block))) {
        ++failed_blocks_;  // the rest of this block's clients get nothing
        break;
      }
    }
    EndWalk();
  }
  LeaveCriticalSection(&node_lock_);
}

// ---------------------------------------------------------------------------
// Channels and the output format.

void SerialSource::BuildChannels() {
  float rate = -1.0f;  // the rate limit; without a port nothing changes
  if (link_.RoundSampleRate(&rate, nullptr) == 0) SetSampleRate(rate);
  EnterCriticalSection(&node_lock_);
  descriptors_.clear();
  device_name_ = link_.DeviceName();
  node_text_[1] = device_name_;
  const int n = link_.NumberOfChannels();
  for (int i = 0; i < n && i < KS_MAX_CHANNELS; ++i) {
    const ChannelSetup &ch = link_.Channel(i);
    descriptors_.push_back({i, ch.name, ch.name, "", 4, ch.unit, ch.exponent});
  }
  LeaveCriticalSection(&node_lock_);
  BuildOutputFormat();
}

void SerialSource::BuildOutputFormat() {
  EnterCriticalSection(&node_lock_);
  ULONG count = 0;
  for (const ChannelDescriptor &d : descriptors_) count += d.slot >= 0 ? 1 : 0;
  // Room for one entry more than the count.
  AcqSignalFormat *f = static_cast<AcqSignalFormat *>(
      calloc(1, offsetof(AcqSignalFormat, entries) + sizeof(AcqChannelEntry) * (count + 1)));
  if (f != nullptr) {
    f->channels = count;
    f->entry_size = ACQ_FORMAT_ENTRY_SIZE;
    f->type = ACQ_TYPE_FLOAT32;
    f->rate = sample_rate_;
    ULONG i = 0;
    for (const ChannelDescriptor &d : descriptors_) {
      if (d.slot < 0) continue;
      AcqChannelEntry &e = f->entries[i++];
      if (d.display.size() > 127)
        snprintf(e.name, sizeof e.name, "%.124s...", d.display.c_str());
      else
        snprintf(e.name, sizeof e.name, "%s", d.display.c_str());
      if (d.flags & 4) {
        e.unit = static_cast<SHORT>(d.unit);
        e.exponent = static_cast<SHORT>(d.exponent);
      }
      CoCreateGuid(&e.id);
      e.index = d.slot;
    }
    ApplyFormat(f);
  }
  LeaveCriticalSection(&node_lock_);
}
