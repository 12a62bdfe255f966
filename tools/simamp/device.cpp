// The device model: identification, channel tables, commands, acquisition
// and faults.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "simamp.h"

// ---------------------------------------------------------------------------
// Configuration.

void simamp_config_init(simamp_config *cfg) {
  cfg->serial_number = 10000042;
  cfg->base_rate = 2048;
  cfg->rate_limit = 0;
  cfg->channels = 14;
  cfg->exg_channels = 2;
  cfg->aux_channels = 6;
  cfg->hardware_version = 0x0102;
  cfg->software_version = 0x0305;
  cfg->command_buffer = 140;
  cfg->send_buffer = 256;
  cfg->tables = true;
  cfg->compressed = false;
  cfg->compression.prefix_width = 4;
  cfg->compression.block_records = 7;
  cfg->compression.decimation.assign(14, 0);
  cfg->compression.decimation[12] = 3;   // status
  cfg->compression.decimation[13] = 15;  // battery
  physio_params_init(&cfg->physio);
  cfg->memory_size = 16u << 20;
  cfg->erase_ms = 300;
  cfg->format_word = 0xF30A;
  cfg->recorded.clear();
  cfg->reply_faults.clear();
  cfg->corrupt_samples_every = 0;
  cfg->noise_every = 0;
  cfg->noise_max = 7;
  cfg->noise_syncs = false;
  cfg->bad_count_every = 0;
  cfg->stray_type = 7;
  cfg->stray_rate = 0;
  cfg->table_version = 6;
  cfg->unnamed = false;
  cfg->widths.clear();
  cfg->mute_after = -1;
  cfg->mute_after_commands = -1;
  cfg->limit_time = -1;
  cfg->limit_channels = 0;
  cfg->disconnects.clear();
  cfg->invalids.clear();
  cfg->watchdog_ms = 0;
  cfg->max_output = 256 * 1024;
  cfg->seed = 1;
}

std::string simamp_config_check(const simamp_config *cfg) {
  char msg[256];
  if (cfg->base_rate < 1 || cfg->base_rate > 65535)
    return "the base rate must be 1 to 65535 Hz";
  if (cfg->rate_limit < 0 || cfg->rate_limit > 65535)
    return "the rate limit must be 0 to 65535 Hz";
  if (cfg->channels < 1 || cfg->channels > 64) return "the number of channels must be 1 to 64";
  if (cfg->exg_channels < 0 || cfg->aux_channels < 0 ||
      cfg->exg_channels + cfg->aux_channels > cfg->channels)
    return "ExG and AUX channels must not be negative nor more than the channels";
  if (cfg->hardware_version < 0 || cfg->hardware_version > 65535 ||
      cfg->software_version < 0 || cfg->software_version > 65535)
    return "versions must be 0 to 65535";
  if (cfg->command_buffer < 8 || cfg->command_buffer > 65535)
    return "the command buffer must be 8 to 65535 words";
  if (cfg->send_buffer < 8 || cfg->send_buffer > 65535)
    return "the send buffer must be 8 to 65535 words";
  if (cfg->compression.prefix_width < 1 || cfg->compression.prefix_width > 5)
    return "the prefix width must be 1 to 5 bits";
  if (cfg->compression.block_records < 0 || cfg->compression.block_records > 255)
    return "the delta records per block must be 0 to 255";
  for (int d : cfg->compression.decimation)
    if (d < 0 || d > 65535) return "decimation counts must be 0 to 65535";
  if (cfg->compression.decimation.size() > (size_t)cfg->channels) {
    snprintf(msg, sizeof msg, "%zu decimation counts given for %d channels",
             cfg->compression.decimation.size(), cfg->channels);
    return msg;
  }
  if (cfg->memory_size < 65536 || cfg->memory_size % 1024 != 0 || cfg->memory_size > (1u << 30))
    return "the memory must be 64 to 1048576 KiB";
  if (cfg->erase_ms < 0) return "the erase time must not be negative";
  if (cfg->limit_time >= 0 && (cfg->limit_channels < 1 || cfg->limit_channels > cfg->channels)) {
    snprintf(msg, sizeof msg, "the channel limit must be 1 to %d", cfg->channels);
    return msg;
  }
  for (const auto &s : cfg->disconnects)
    if (s.channel < 0 || s.channel >= cfg->channels) return "a disconnected channel does not exist";
  for (const auto &s : cfg->invalids)
    if (s.channel < 0 || s.channel >= cfg->channels) return "an invalid channel does not exist";
  for (const auto &f : cfg->reply_faults)
    if (f.command < -1 || f.command > 255) return "a fault names a block type outside 0 to 255";
  if (cfg->noise_every < 0 || cfg->noise_max < 1 || cfg->noise_max > 255)
    return "noise needs a frame interval of at least 0 and 1 to 255 bytes";
  if (cfg->corrupt_samples_every < 0) return "the corrupt sample interval must not be negative";
  if (cfg->bad_count_every < 0) return "the count-255 frame interval must not be negative";
  if (cfg->stray_type < 0 || cfg->stray_type > 255 || cfg->stray_rate < 0 ||
      cfg->stray_rate > 100000)
    return "stray frames need a block type of 0 to 255 and 0 to 100000 per second";
  if (cfg->table_version < 2 || cfg->table_version > 255)
    return "the table version must be 2 to 255";
  if (cfg->widths.size() > (size_t)cfg->channels) {
    snprintf(msg, sizeof msg, "%zu widths given for %d channels", cfg->widths.size(),
             cfg->channels);
    return msg;
  }
  for (int w : cfg->widths)
    if (w < 1 || w > 32) return "channel widths must be 1 to 32 bits";
  if (!cfg->widths.empty() && !cfg->tables)
    return "channel widths need channel tables (without them the host assumes its own)";
  if (cfg->watchdog_ms < 0) return "the watchdog time must not be negative";
  if (cfg->recorded.size() > (size_t)cfg->channels) {
    snprintf(msg, sizeof msg, "%zu recorded channels given for %d channels", cfg->recorded.size(),
             cfg->channels);
    return msg;
  }
  for (const simamp_recorded_channel &r : cfg->recorded)
    if (r.size < 0 || r.size > 4 || r.shift < 0 || r.shift > 31 || r.skip < 0 || r.skip > 255)
      return "recorded channels need a size of 0 to 4 bytes, a shift of 0 to 31 bits and a skip "
             "mask of 0 to 255";
  return "";
}

// ---------------------------------------------------------------------------
// Channels.

std::vector<simamp_channel> simamp_channels_build(const simamp_config *cfg) {
  std::vector<simamp_channel> chs;
  const int n = cfg->channels;
  // Role of each position: A, B ExG; C to H the six signals; then aux,
  // aux, digital, sawtooth, status, battery; further ones aux.
  auto role_of = [](int i, int *signal) {
    *signal = -1;
    if (i < 2) return (int)SIMAMP_ROLE_EXG;
    if (i < 8) {
      *signal = i - 2;
      return (int)SIMAMP_ROLE_SIGNAL;
    }
    static const int rest[] = {SIMAMP_ROLE_AUX, SIMAMP_ROLE_AUX, SIMAMP_ROLE_DIGITAL,
                               SIMAMP_ROLE_SAW, SIMAMP_ROLE_STATUS, SIMAMP_ROLE_BATTERY};
    if (i < 14) return rest[i - 8];
    return (int)SIMAMP_ROLE_AUX;
  };
  static const char *const names[14] = {"A ExG", "B ExG", "C ECG", "D EMG", "E SC",
                                        "F Temp", "G BVP", "H Resp", "I Aux", "J Aux",
                                        "K Digital", "L Saw", "M Status", "N Battery"};
  for (int i = 0; i < n; i++) {
    simamp_channel c;
    c.role = role_of(i, &c.signal);
    c.offset = 0.0f;
    if (cfg->tables) {
      char name[32];
      if (i < 14) snprintf(name, sizeof name, "%s", names[i]);
      else snprintf(name, sizeof name, "Aux %d", i + 1);
      c.name = name;
      c.type = c.role == SIMAMP_ROLE_EXG ? 1 : 2;
      switch (c.role) {
        case SIMAMP_ROLE_EXG:
          c.width = 24; c.gain = 0.0715f; c.unit = 1; c.exponent = -6;
          break;
        case SIMAMP_ROLE_SIGNAL:
          c.width = 24; c.unit = 8; c.exponent = 0;
          switch (c.signal) {
            case PHYSIO_ECG:
            case PHYSIO_EMG: c.gain = 0.0715f; c.unit = 1; c.exponent = -6; break;
            case PHYSIO_SC: c.gain = 0.0001f; c.unit = 2; c.exponent = -6; break;
            // Raw temperature units with an offset; gain and offset are
            // exact binary fractions so that a disconnect reads exactly 0.
            case PHYSIO_TEMP: c.gain = 1.0f / 1024; c.offset = 800.0f; break;
            case PHYSIO_BVP: c.gain = 0.001f; break;
            default: c.width = 16; c.gain = 1.0f / 512; break;  // Resp
          }
          break;
        case SIMAMP_ROLE_AUX:
          c.width = 16; c.gain = 0.1f; c.unit = 1; c.exponent = -3;
          break;
        case SIMAMP_ROLE_BATTERY:
          c.width = 8; c.gain = 0.01f; c.offset = 2.5f; c.unit = 1; c.exponent = 0;
          break;
        default:
          c.width = 8; c.gain = 1.0f; c.unit = 8; c.exponent = 0;
          break;
      }
    } else {
      // What the host assumes without tables.
      c.type = i < cfg->exg_channels ? 1 : 2;
      c.width = (n == 14 && i >= 8) ? 8 : 24;
      if (i < cfg->exg_channels) {
        c.gain = 0.0715f; c.unit = 1; c.exponent = -6;
        c.name = "ExG " + std::to_string(i + 1);
      } else if (i < cfg->exg_channels + cfg->aux_channels) {
        c.gain = 0.00143f; c.unit = 1; c.exponent = -3;
        c.name = "AUX " + std::to_string(i - cfg->exg_channels + 1);
      } else {
        c.gain = 1.0f; c.unit = 8; c.exponent = 0;
        c.name = "ODig " + std::to_string(i - cfg->exg_channels - cfg->aux_channels + 1);
      }
    }
    if ((size_t)i < cfg->widths.size()) c.width = cfg->widths[(size_t)i];
    chs.push_back(c);
  }
  return chs;
}

std::vector<uint16_t> simamp_identification(const simamp_config *cfg) {
  std::vector<uint16_t> w(16, 0);
  w[3] = (uint16_t)cfg->rate_limit;
  w[4] = (uint16_t)(cfg->serial_number & 0xFFFF);
  w[5] = (uint16_t)(cfg->serial_number >> 16);
  w[6] = (uint16_t)cfg->exg_channels;
  w[7] = (uint16_t)cfg->aux_channels;
  w[8] = (uint16_t)cfg->hardware_version;
  w[9] = (uint16_t)cfg->software_version;
  w[10] = (uint16_t)cfg->command_buffer;
  w[11] = (uint16_t)cfg->send_buffer;
  w[12] = (uint16_t)cfg->channels;
  w[13] = (uint16_t)cfg->base_rate;
  return w;
}

namespace {

const char device_name[] = "Corvia-10";
const int channels_per_table = 8;

// Appends a name record (one word, then the text with its zero byte packed
// into words, low byte first) and returns its offset.
int put_name(std::vector<uint16_t> *t, const std::string &name) {
  const int at = (int)t->size();
  const int text_words = (int)(name.size() + 2) / 2;
  t->push_back((uint16_t)(1 + text_words));  // length of the record in words
  std::vector<uint8_t> bytes(name.begin(), name.end());
  bytes.push_back(0);
  if (bytes.size() % 2) bytes.push_back(0);
  for (size_t i = 0; i < bytes.size(); i += 2)
    t->push_back((uint16_t)(bytes[i] | (bytes[i + 1] << 8)));
  return at;
}

void put_float(std::vector<uint16_t> *t, float f) {
  uint32_t u;
  memcpy(&u, &f, 4);
  t->push_back((uint16_t)(u & 0xFFFF));
  t->push_back((uint16_t)(u >> 16));
}

}  // namespace

std::vector<std::vector<uint16_t>> simamp_tables_build(
    const simamp_config *cfg, const std::vector<simamp_channel> &channels) {
  std::vector<std::vector<uint16_t>> tables;
  if (!cfg->tables) return tables;
  const int n = (int)channels.size();
  for (int first = 0; first < n; first += channels_per_table) {
    const int count = std::min(channels_per_table, n - first);
    std::vector<uint16_t> t(16, 0);
    t[0] = (uint16_t)cfg->table_version;  // above 5: the device name record is used
    t[6] = (uint16_t)count;
    t[7] = 2;  // entry: descriptor offset, name offset
    t[8] = 16;
    t.resize(16 + 2 * (size_t)count, 0);
    if (first == 0 && cfg->table_version > 5) t[5] = (uint16_t)put_name(&t, device_name);
    for (int i = 0; i < count; i++) {
      const simamp_channel &c = channels[(size_t)(first + i)];
      const int desc = (int)t.size();
      t.push_back(10);  // descriptor length in words
      t.push_back((uint16_t)c.type);
      t.push_back(0);
      t.push_back((uint16_t)c.width);
      put_float(&t, c.gain);
      put_float(&t, c.offset);
      t.push_back((uint16_t)((uint8_t)(int8_t)c.unit | ((uint8_t)(int8_t)c.exponent << 8)));
      t.push_back(0);
      const int name = cfg->unnamed ? 0 : put_name(&t, c.name);
      t[16 + 2 * (size_t)i] = (uint16_t)desc;
      t[17 + 2 * (size_t)i] = (uint16_t)name;
    }
    t[1] = (uint16_t)t.size();
    tables.push_back(t);
  }
  return tables;
}

int32_t simamp_channel_count(const simamp_channel *ch, double value) {
  double c = std::nearbyint((value - (double)ch->offset) / (double)ch->gain);
  double lo, hi;
  if (ch->width <= 8) {
    lo = 0;
    hi = (double)((1 << ch->width) - 1);
  } else {
    hi = (double)((int64_t{1} << (ch->width - 1)) - 1);
    lo = -hi;  // never the invalid marker
  }
  if (!(c >= lo)) c = lo;  // NaN reads as the low end
  if (c > hi) c = hi;
  return (int32_t)c;
}

// ---------------------------------------------------------------------------
// The device.

namespace {

uint64_t next_random(uint64_t *s) {
  // splitmix64
  uint64_t z = (*s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double uniform(uint64_t *s) { return (double)(next_random(s) >> 11) / 9007199254740992.0; }

double gaussian(uint64_t *s) {
  double u1 = uniform(s), u2 = uniform(s);
  if (u1 < 1e-300) u1 = 1e-300;
  return sqrt(-2.0 * log(u1)) * cos(2.0 * M_PI * u2);
}

bool in_stretch(const std::vector<simamp_stretch> &v, int ch, double t) {
  for (const auto &s : v)
    if (s.channel == ch && t >= s.start && t < s.end) return true;
  return false;
}

void log_frame(const simamp_device *d, const char *what, int type, size_t n) {
  if (d->verbose) fprintf(stderr, "corvia_sim: %s type %d, %zu words\n", what, type, n);
}

}  // namespace

void simamp_device_init(simamp_device *d, const simamp_config *cfg, simamp_memory *memory) {
  PRECONDITION(simamp_config_check(cfg).empty());
  d->cfg = *cfg;
  d->cfg.compression.decimation.resize((size_t)cfg->channels, 0);
  d->channels = simamp_channels_build(cfg);
  d->ident = simamp_identification(cfg);
  d->tables = simamp_tables_build(cfg, d->channels);
  d->memory = memory;
  d->busy_until_us = 0;
  simamp_parser_init(&d->parser);
  d->out.clear();
  d->out_pos = 0;
  d->pending.clear();
  d->start_us = 0;
  d->started = false;
  d->muted = cfg->mute_after_commands == 0;
  d->last_host_us = 0;
  d->acquiring = false;
  d->rate_code = 0;
  d->stream_channels = cfg->channels;
  d->channel_limit = cfg->channels;
  d->limit_sent = false;
  d->acq_start_us = 0;
  d->acq_records = 0;
  d->subject_time = 0;
  d->record_counter = 0;
  d->block.clear();
  d->block_valid.clear();
  d->frames_sent = 0;
  d->strays_sent = 0;
  d->sample_frames_sent = 0;
  physio_generator_init(&d->gen, &cfg->physio);
  d->gen_frame = -1;  // no frame generated yet
  for (double &v : d->values) v = 0;
  d->rng = cfg->seed * 0x2545F4914F6CDD1Dull + 7;
  d->verbose = false;
  d->active_fault = -1;
  d->active_value = 0;
  memset(&d->stats, 0, sizeof d->stats);
}

void simamp_device_free(simamp_device *d) { physio_generator_free(&d->gen); }

double simamp_device_rate(const simamp_device *d) {
  return (double)d->cfg.base_rate / (double)(1 << d->rate_code);
}

namespace {

// Queues one frame for the host, with noise bytes after every Nth frame.
void emit(simamp_device *d, const std::vector<uint8_t> &frame) {
  d->out.insert(d->out.end(), frame.begin(), frame.end());
  d->frames_sent++;
  if (d->cfg.noise_every > 0 && d->frames_sent % (uint64_t)d->cfg.noise_every == 0) {
    const int n = 1 + (int)(next_random(&d->rng) % (uint64_t)d->cfg.noise_max);
    for (int i = 0; i < n; i++) {
      uint8_t b;
      if (d->cfg.noise_syncs && next_random(&d->rng) % 2) b = 0xAA;  // a false sync
      else do b = (uint8_t)next_random(&d->rng); while (b == 0xAA);
      d->out.push_back(b);
    }
  }
  if (d->cfg.bad_count_every > 0 && d->frames_sent % (uint64_t)d->cfg.bad_count_every == 0) {
    // A whole frame announcing 255 words, which the host must drop whole.
    const uint8_t head[4] = {0xAA, 0xAA, 0xFF, 0x63};
    d->out.insert(d->out.end(), head, head + 4);
    d->out.insert(d->out.end(), 2 * 255 + 2, 0);
  }
}

// A reply, with the fault rule picked for the command applied. `frames`
// holds one or more frames (a memory read: the ack and the blocks);
// `first_len` is the length of the first.
void reply(simamp_device *d, int command, std::vector<uint8_t> frames, int64_t now_us,
           size_t first_len) {
  if (d->muted) return;
  const int kind = d->active_fault;
  d->active_fault = -1;
  if (kind == SIMAMP_FAULT_DROP) {
    if (d->verbose) fprintf(stderr, "corvia_sim: reply to command %d dropped\n", command);
    return;
  }
  if (kind == SIMAMP_FAULT_DELAY) {
    d->pending.push_back({now_us + (int64_t)d->active_value * 1000, frames});
    return;
  }
  if (kind == SIMAMP_FAULT_CORRUPT) frames[first_len - 1] ^= 0x5A;  // its checksum
  d->stats.replies++;
  emit(d, frames);
}

void send_frame_reply(simamp_device *d, int command, int type, const std::vector<uint16_t> &w,
                      int64_t now_us) {
  std::vector<uint8_t> f;
  simamp_frame_append(&f, type, w.data(), (int)w.size());
  log_frame(d, "reply", type, w.size());
  reply(d, command, f, now_us, f.size());
}

void send_status(simamp_device *d, uint16_t header, int code, int64_t now_us) {
  const std::vector<uint16_t> w = {header, (uint16_t)code};
  std::vector<uint8_t> f;
  simamp_frame_append(&f, SIMAMP_REPLY_ACK, w.data(), 2);
  if (d->verbose && code) fprintf(stderr, "corvia_sim: error %d to command %d\n", code, header >> 8);
  reply(d, header >> 8, f, now_us, f.size());
}

// Picks the first fault rule that applies to this command (and uses it
// up once); -1 when none does.
void pick_fault(simamp_device *d, int command) {
  d->active_fault = -1;
  for (auto &f : d->cfg.reply_faults) {
    if (f.count == 0 || (f.command != -1 && f.command != command)) continue;
    if (f.count > 0) f.count--;
    d->active_fault = f.kind;
    d->active_value = f.value;
    return;
  }
}

bool memory_busy(const simamp_device *d, int64_t now_us) { return now_us < d->busy_until_us; }

// Plain record bytes of the first n channels.
void record_bytes(const simamp_device *d, int n, const int32_t *counts, const bool *valid,
                  std::vector<uint8_t> *bytes) {
  std::vector<int> widths;
  for (int c = 0; c < n; c++) widths.push_back(d->channels[(size_t)c].width);
  simamp_record_pack(widths, counts, valid, bytes);
}

void emit_sample_frame(simamp_device *d, std::vector<uint8_t> frame) {
  d->sample_frames_sent++;
  if (d->cfg.corrupt_samples_every > 0 &&
      d->sample_frames_sent % (uint64_t)d->cfg.corrupt_samples_every == 0)
    frame[frame.size() - 1] ^= 0x5A;
  d->stats.sample_frames++;
  emit(d, frame);
}

void emit_plain(simamp_device *d, int n, const int32_t *counts, const bool *valid) {
  std::vector<uint8_t> bytes;
  record_bytes(d, n, counts, valid, &bytes);
  std::vector<uint16_t> words((bytes.size() + 1) / 2, 0);
  for (size_t i = 0; i < bytes.size(); i++) words[i / 2] |= (uint16_t)(bytes[i] << (8 * (i % 2)));
  std::vector<uint8_t> f;
  simamp_frame_append(&f, SIMAMP_BLOCK_RECORD, words.data(), (int)words.size());
  emit_sample_frame(d, f);
}

// Sends the records of an open compressed block as plain records.
void flush_block_plain(simamp_device *d) {
  for (size_t r = 0; r < d->block.size(); r++) {
    bool valid[64];
    for (size_t c = 0; c < d->block_valid[r].size(); c++) valid[c] = d->block_valid[r][c];
    emit_plain(d, (int)d->block[r].size(), d->block[r].data(), valid);
  }
  d->block.clear();
  d->block_valid.clear();
}

void stream_record(simamp_device *d) {
  const int n = d->stream_channels;
  int32_t counts[64];
  bool valid[64];
  simamp_device_next_record(d, n, counts, valid);
  d->stats.records++;
  if (d->out.size() - d->out_pos > d->cfg.max_output) {
    d->stats.dropped_records++;  // the host is not reading
    return;
  }
  if (!d->cfg.compressed || d->cfg.compression.block_records == 0) {
    emit_plain(d, n, counts, valid);
    return;
  }
  d->block.emplace_back(counts, counts + n);
  d->block_valid.emplace_back(valid, valid + n);
  if ((int)d->block.size() < d->cfg.compression.block_records + 1) return;
  std::vector<int> widths;
  for (int c = 0; c < n; c++) widths.push_back(d->channels[(size_t)c].width);
  simamp_compression cp = d->cfg.compression;
  cp.decimation.resize((size_t)n);
  std::vector<uint8_t> f;
  if (simamp_compress_block(&cp, widths, d->block, d->block_valid, &f)) {
    d->stats.compressed_blocks++;
    d->block.clear();
    d->block_valid.clear();
    emit_sample_frame(d, f);
  } else {
    d->stats.plain_fallbacks++;
    flush_block_plain(d);
  }
}

void stop_acquisition(simamp_device *d) {
  if (!d->block.empty()) flush_block_plain(d);
  d->acquiring = false;
}

void handle_command(simamp_device *d, const simamp_frame &f, int64_t now_us) {
  const int type = f.type;
  const int n = (int)f.words.size();
  const uint16_t header = (uint16_t)(n | (type << 8));
  const auto &w = f.words;
  if (type == SIMAMP_CMD_KEEP_ALIVE) {
    d->stats.keep_alives++;
    return;  // never answered
  }
  d->stats.commands++;
  if (d->cfg.mute_after_commands >= 0 && d->stats.commands > (uint64_t)d->cfg.mute_after_commands)
    d->muted = true;
  if (d->verbose) fprintf(stderr, "corvia_sim: command %d, %d words\n", type, n);
  if (n > d->cfg.command_buffer) return send_status(d, header, SIMAMP_ERR_ARGUMENT_COUNT, now_us);
  pick_fault(d, type);
  if (d->active_fault == SIMAMP_FAULT_ERROR) {
    d->active_fault = -1;
    return send_status(d, header, d->active_value, now_us);
  }
  auto need = [&](int count) {
    if (n == count) return true;
    send_status(d, header, SIMAMP_ERR_ARGUMENT_COUNT, now_us);
    return false;
  };
  switch (type) {
    case SIMAMP_CMD_IDENTIFY:
      if (need(0)) send_frame_reply(d, type, SIMAMP_REPLY_IDENTIFY, d->ident, now_us);
      return;
    case SIMAMP_CMD_SET_ACQUISITION: {
      if (!need(3)) return;
      const int channels = w[0] == 0 ? 1 : w[0];
      const int code = w[1], stop = w[2];
      if (stop == 1) {
        stop_acquisition(d);
        // A channel-count limit holds for the acquisition it was sent in.
        d->channel_limit = d->cfg.channels;
        return send_status(d, header, 0, now_us);
      }
      if (stop != 0) return send_status(d, header, SIMAMP_ERR_BAD_ARGUMENTS, now_us);
      const int limit = d->cfg.rate_limit == 0 ? d->cfg.base_rate : d->cfg.rate_limit;
      if (code > 4 || d->cfg.base_rate / (double)(1 << code) > limit)
        return send_status(d, header, SIMAMP_ERR_SAMPLERATE, now_us);
      if (channels > d->channel_limit) return send_status(d, header, SIMAMP_ERR_CHANNELS, now_us);
      if (d->acquiring) stop_acquisition(d);
      d->acquiring = true;
      d->rate_code = code;
      d->stream_channels = channels;
      d->acq_start_us = now_us;
      d->acq_records = 0;
      return send_status(d, header, 0, now_us);
    }
    case SIMAMP_CMD_COMPRESSION: {
      if (!need(0)) return;
      std::vector<uint16_t> r = {(uint16_t)(d->cfg.compressed ? 1 : 0),
                                 (uint16_t)d->cfg.compression.prefix_width,
                                 (uint16_t)d->cfg.compression.block_records};
      for (int c = 0; c < d->cfg.channels; c++)
        r.push_back((uint16_t)d->cfg.compression.decimation[(size_t)c]);
      return send_frame_reply(d, type, SIMAMP_REPLY_COMPRESSION, r, now_us);
    }
    case SIMAMP_CMD_READ_TABLE: {
      if (!need(2)) return;
      const int addr = w[0], count = w[1];
      if (count > 128 || count + 5 > d->cfg.send_buffer)
        return send_status(d, header, SIMAMP_ERR_BLOCKSIZE, now_us);
      const size_t k = (size_t)addr / 4096, off = (size_t)addr % 4096;
      std::vector<uint16_t> r = {(uint16_t)addr, 0};
      if (k < d->tables.size() && off < d->tables[k].size()) {
        const size_t m = std::min((size_t)count, d->tables[k].size() - off);
        r.insert(r.end(), d->tables[k].begin() + (ptrdiff_t)off,
                 d->tables[k].begin() + (ptrdiff_t)(off + m));
        r[1] = (uint16_t)m;
      }
      return send_frame_reply(d, type, SIMAMP_REPLY_TABLE, r, now_us);
    }
    case SIMAMP_CMD_MEMORY_STATUS: {
      if (!need(0)) return;
      uint32_t total = 0, avail = 0;
      if (d->memory) {
        total = d->memory->size / 1024;
        avail = (d->memory->size - d->memory->used) / 1024;
      }
      const std::vector<uint16_t> r = {(uint16_t)total, (uint16_t)(total >> 16), (uint16_t)avail,
                                       (uint16_t)(avail >> 16),
                                       (uint16_t)(memory_busy(d, now_us) ? 4 : 0)};
      return send_frame_reply(d, type, SIMAMP_REPLY_MEMORY_STATUS, r, now_us);
    }
    case SIMAMP_CMD_ERASE:
      if (!need(1)) return;
      if (w[0] != 0x5555) return send_status(d, header, SIMAMP_ERR_BAD_ARGUMENTS, now_us);
      if (!d->memory) return send_status(d, header, 20, now_us);  // no storage medium
      if (memory_busy(d, now_us)) return send_status(d, header, SIMAMP_ERR_BUSY, now_us);
      simamp_memory_erase(d->memory);
      d->busy_until_us = now_us + (int64_t)d->cfg.erase_ms * 1000;
      return send_status(d, header, 0, now_us);
    case SIMAMP_CMD_READ_MEMORY: {
      if (!need(3)) return;
      const uint32_t addr = w[0] | ((uint32_t)w[1] << 16);
      const uint32_t count = w[2];
      if (count == 0) return send_status(d, header, SIMAMP_ERR_BAD_ARGUMENTS, now_us);
      if (count > 0x4000) return send_status(d, header, SIMAMP_ERR_BLOCKSIZE, now_us);
      if (!d->memory) return send_status(d, header, 20, now_us);
      if ((uint64_t)addr + 2ull * count > d->memory->size)
        return send_status(d, header, SIMAMP_ERR_ADDRESS, now_us);
      if (memory_busy(d, now_us)) return send_status(d, header, SIMAMP_ERR_BUSY, now_us);
      std::vector<uint8_t> frames;
      const uint16_t ack[2] = {header, 0};
      simamp_frame_append(&frames, SIMAMP_REPLY_ACK, ack, 2);
      const size_t ack_len = frames.size();
      const uint32_t blocks = (count + 127) / 128;
      for (uint32_t b = 0; b < blocks; b++) {
        const uint32_t first = b * 128;
        const uint32_t m = std::min<uint32_t>(128, count - first);
        const uint32_t a = addr + 2 * first;
        std::vector<uint16_t> data = {(uint16_t)a, (uint16_t)(a >> 16), (uint16_t)(b + 1),
                                      (uint16_t)blocks};
        for (uint32_t i = 0; i < m; i++)
          data.push_back((uint16_t)(d->memory->data[a + 2 * i] |
                                    (d->memory->data[a + 2 * i + 1] << 8)));
        simamp_frame_append(&frames, SIMAMP_BLOCK_MEMORY, data.data(), (int)data.size());
      }
      return reply(d, type, frames, now_us, ack_len);
    }
    case SIMAMP_CMD_WRITE_MEMORY: {
      if (n < 5) return send_status(d, header, SIMAMP_ERR_ARGUMENT_COUNT, now_us);
      if (n - 4 > 128) return send_status(d, header, SIMAMP_ERR_BLOCKSIZE, now_us);
      if (w[2] != 1 || w[3] != 1) return send_status(d, header, SIMAMP_ERR_BAD_ARGUMENTS, now_us);
      if (!d->memory) return send_status(d, header, 20, now_us);
      const uint32_t addr = w[0] | ((uint32_t)w[1] << 16);
      const uint32_t bytes = 2u * (uint32_t)(n - 4);
      if ((uint64_t)addr + bytes > d->memory->size)
        return send_status(d, header, SIMAMP_ERR_ADDRESS, now_us);
      if (memory_busy(d, now_us)) return send_status(d, header, SIMAMP_ERR_BUSY, now_us);
      std::vector<uint8_t> data;
      for (int i = 4; i < n; i++) {
        data.push_back((uint8_t)(w[(size_t)i] & 0xFF));
        data.push_back((uint8_t)(w[(size_t)i] >> 8));
      }
      simamp_memory_write(d->memory, addr, data.data(), data.size());
      return send_status(d, header, 0, now_us);
    }
    default:
      return send_status(d, header, SIMAMP_ERR_UNKNOWN_COMMAND, now_us);
  }
}

}  // namespace

void simamp_device_next_record(simamp_device *d, int n, int32_t *counts, bool *valid) {
  // The generator runs at 2048 frames per second of acquisition; a record
  // at the current rate takes the frame of its instant.
  const double t = d->subject_time;
  const int64_t want = (int64_t)std::floor(t * PHYSIO_FRAMES_PER_SECOND + 1e-9);
  while (d->gen_frame < (double)want) {
    physio_generator_next(&d->gen, d->values);
    d->gen_frame += 1;
  }
  for (int c = 0; c < n; c++) {
    const simamp_channel &ch = d->channels[(size_t)c];
    double v = 0;
    switch (ch.role) {
      case SIMAMP_ROLE_EXG:
        v = 10.0 * sin(2 * M_PI * 10.0 * t + c) + 5.0 * gaussian(&d->rng);
        break;
      case SIMAMP_ROLE_SIGNAL:
        v = physio_raw_from_physical(d->values[ch.signal], ch.signal);
        break;
      case SIMAMP_ROLE_AUX:
        v = (c % 2 == 0 ? 1650.0 : 0.0) + 5.0 * sin(2 * M_PI * 0.1 * t) + 0.5 * gaussian(&d->rng);
        break;
      case SIMAMP_ROLE_DIGITAL:
        v = fmod(t, 1.0) < 0.1 ? 1.0 : 0.0;
        break;
      case SIMAMP_ROLE_SAW:
        v = (double)(d->record_counter % 256);
        break;
      case SIMAMP_ROLE_STATUS:
        v = 16.0 + (d->channel_limit < d->cfg.channels ? 1.0 : 0.0);
        break;
      case SIMAMP_ROLE_BATTERY:
        v = 3.9 - 0.05 * t / 3600.0;
        if (!d->cfg.tables) v = std::round(v * 50.0);  // a plain count without tables
        break;
    }
    if (in_stretch(d->cfg.disconnects, c, t)) v = 0.0;
    counts[c] = simamp_channel_count(&ch, v);
    valid[c] = ch.width == 8 || !in_stretch(d->cfg.invalids, c, t);
  }
  d->record_counter++;
  d->acq_records++;
  d->subject_time += 1.0 / simamp_device_rate(d);
}

void simamp_device_receive(simamp_device *d, const uint8_t *bytes, size_t n, int64_t now_us) {
  if (!d->started) {
    d->started = true;
    d->start_us = now_us;
  }
  simamp_parser_feed(&d->parser, bytes, n);
  simamp_frame f;
  uint16_t header = 0;
  for (;;) {
    const int r = simamp_parser_next(&d->parser, &f, &header);
    if (r == SIMAMP_PARSE_NONE) break;
    d->last_host_us = now_us;
    if (d->cfg.mute_after >= 0 && now_us - d->start_us >= (int64_t)(d->cfg.mute_after * 1e6))
      d->muted = true;
    if (r == SIMAMP_PARSE_BAD_COUNT) continue;
    if (r == SIMAMP_PARSE_BAD_SUM) {
      d->stats.bad_frames++;
      d->active_fault = -1;
      send_status(d, header, SIMAMP_ERR_CRC, now_us);
      continue;
    }
    handle_command(d, f, now_us);
  }
}

void simamp_device_run(simamp_device *d, int64_t now_us) {
  // The mute time counts from the first byte from the host.
  if (d->started && d->cfg.mute_after >= 0 &&
      now_us - d->start_us >= (int64_t)(d->cfg.mute_after * 1e6))
    d->muted = true;
  // Delayed replies that are due, in order.
  for (size_t i = 0; i < d->pending.size();) {
    if (d->pending[i].due_us <= now_us) {
      if (!d->muted) {
        d->stats.replies++;
        emit(d, d->pending[i].bytes);
      }
      d->pending.erase(d->pending.begin() + (ptrdiff_t)i);
    } else {
      i++;
    }
  }
  // Stray frames nobody asked for, at their rate from the first byte on.
  if (d->started && !d->muted && d->cfg.stray_rate > 0) {
    const uint64_t due = (uint64_t)((double)(now_us - d->start_us) * d->cfg.stray_rate / 1e6);
    if (due > d->strays_sent + 100000) d->strays_sent = due - 100000;  // no huge bursts
    const uint16_t w[2] = {0, 0};
    for (; d->strays_sent < due; d->strays_sent++) {
      std::vector<uint8_t> f;
      simamp_frame_append(&f, d->cfg.stray_type, w, 2);
      emit(d, f);
    }
  }
  if (!d->acquiring) return;
  if (d->cfg.watchdog_ms > 0 && now_us - std::max(d->last_host_us, d->acq_start_us) >
                                    (int64_t)d->cfg.watchdog_ms * 1000) {
    if (d->verbose) fprintf(stderr, "corvia_sim: host silent, acquisition stopped\n");
    stop_acquisition(d);
    d->channel_limit = d->cfg.channels;
    return;
  }
  if (d->muted) return;
  const double rate = simamp_device_rate(d);
  int64_t due = (int64_t)std::floor((double)(now_us - d->acq_start_us) * rate / 1e6);
  // After a stall of more than a second the lost time is skipped, not
  // caught up in one burst.
  if (due - (int64_t)d->acq_records > (int64_t)rate) {
    const int64_t skip = due - (int64_t)d->acq_records - (int64_t)rate;
    d->acq_start_us += (int64_t)((double)skip * 1e6 / rate);
    due = (int64_t)std::floor((double)(now_us - d->acq_start_us) * rate / 1e6);
  }
  while ((int64_t)d->acq_records < due && d->acquiring) {
    if (d->cfg.limit_time >= 0 && !d->limit_sent && d->subject_time >= d->cfg.limit_time) {
      d->limit_sent = true;
      if (!d->block.empty()) flush_block_plain(d);
      const uint16_t w[5] = {1, 0, 0, 0, (uint16_t)d->cfg.limit_channels};
      std::vector<uint8_t> f;
      simamp_frame_append(&f, SIMAMP_BLOCK_LIMIT, w, 5);
      if (d->verbose) fprintf(stderr, "corvia_sim: channel limit %d sent\n", d->cfg.limit_channels);
      emit(d, f);
      d->channel_limit = d->cfg.limit_channels;
      if (d->stream_channels > d->channel_limit) d->stream_channels = d->channel_limit;
    }
    stream_record(d);
  }
}

const uint8_t *simamp_device_output(const simamp_device *d, size_t *n) {
  *n = d->out.size() - d->out_pos;
  return d->out.data() + d->out_pos;
}

void simamp_device_consume(simamp_device *d, size_t n) {
  PRECONDITION(n <= d->out.size() - d->out_pos);
  d->out_pos += n;
  if (d->out_pos == d->out.size()) {
    d->out.clear();
    d->out_pos = 0;
  } else if (d->out_pos > 65536 && d->out_pos * 2 > d->out.size()) {
    d->out.erase(d->out.begin(), d->out.begin() + (ptrdiff_t)d->out_pos);
    d->out_pos = 0;
  }
}
