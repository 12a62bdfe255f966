// The front end's block types and error codes: one table each, from which
// the parser's dispatch, the exchanges' replies and the texts are made.
#include <cstdio>

#include "frontend.h"

namespace {

// type, as a command (name, data words, reply awaited), as a received frame
// (name, handler). Types 7, 17, 20, 31 and 33 are replies of front ends of
// the family to commands this server does not send; they are dispatched as
// replies all the same.
const KsBlockType block_types[] = {
    {0, nullptr, 0, -1, "acknowledge", KS_HANDLE_ACK},
    {1, nullptr, 0, -1, "sample record", KS_HANDLE_PLAIN},
    {2, "set acquisition", 3, KS_ACK, "identification", KS_HANDLE_REPLY},
    {4, nullptr, 0, -1, "channel-count limit", KS_HANDLE_LIMIT},
    {5, "identify", 0, 2, nullptr, KS_HANDLE_NONE},
    {7, nullptr, 0, -1, "reply 7", KS_HANDLE_REPLY},
    {8, "memory status", 0, 9, nullptr, KS_HANDLE_NONE},
    {9, nullptr, 0, -1, "memory status", KS_HANDLE_REPLY},
    {10, "erase memory", 1, KS_ACK, nullptr, KS_HANDLE_NONE},
    {11, "read memory", 3, KS_ACK, nullptr, KS_HANDLE_NONE},
    {12, "write memory", -1, KS_ACK, "memory block", KS_HANDLE_MEMORY},
    {17, nullptr, 0, -1, "reply 17", KS_HANDLE_REPLY},
    {20, nullptr, 0, -1, "reply 20", KS_HANDLE_REPLY},
    {31, nullptr, 0, -1, "reply 31", KS_HANDLE_REPLY},
    {33, nullptr, 0, -1, "reply 33", KS_HANDLE_REPLY},
    // The table reply has no handler of its own: it counts only when awaited.
    {34, "read table", 2, 35, nullptr, KS_HANDLE_NONE},
    {35, nullptr, 0, -1, "table words", KS_HANDLE_NONE},
    {47, nullptr, 0, -1, "compressed block", KS_HANDLE_COMPRESSED},
    {48, "compression parameters", 0, 49, nullptr, KS_HANDLE_NONE},
    {49, nullptr, 0, -1, "compression parameters", KS_HANDLE_REPLY},
    {KS_CMD_KEEP_ALIVE, "keep-alive", 0, -1, nullptr, KS_HANDLE_NONE},
};

// Index of every block type in the table, -1 for none.
struct BlockIndex {
  signed char at[256];
  BlockIndex() {
    for (auto &a : at) a = -1;
    for (size_t i = 0; i < sizeof block_types / sizeof block_types[0]; i++)
      at[block_types[i].type] = static_cast<signed char>(i);
  }
};
const BlockIndex block_index;

const struct {
  int code;
  const char *text;
} front_end_errors[] = {
    {0, "No Extra Information"},
    {1, "Command unkown to front-end"},
    {2, "Received CRC error"},
    {3, "Bad arguments"},
    {4, "Wrong Number of arguments"},
    {17, "no ext power suplied"},
    {18, "command not possible during recording"},
    {19, "storage medium is busy"},
    {20, "storage medium not present"},
    {21, "blocksize out of range"},
    {22, "card(s) are WP"},
    {23, "wrong value for inflation pressure"},
    {24, "incorrect argument(s) in BP cycleList"},
    {25, "samplerate not supported"},
    {26, "wrong nr of channels"},
    {27, "adress flash out of range"},
    {28, "cannot erase because battery low"},
};

}  // namespace

const KsBlockType *ks_block_type(int type) {
  if (type < 0 || type > 255 || block_index.at[type] < 0) return nullptr;
  return &block_types[block_index.at[type]];
}

std::string ks_block_name(int type, bool as_command) {
  const KsBlockType *b = ks_block_type(type);
  const char *name = b ? (as_command ? b->command : b->received) : nullptr;
  char text[80];
  if (name) snprintf(text, sizeof text, "%s (%d)", name, type);
  else snprintf(text, sizeof text, "block type %d", type);
  return text;
}

// Kept as the front end's firmware words them (spelling included): logs and
// users compare them.
std::string ks_front_end_error_text(int code) {
  for (const auto &e : front_end_errors)
    if (e.code == code) return std::string("FrontEndError:  ") + e.text;
  char text[48];
  snprintf(text, sizeof text, "Unknown FrontEndError: %d", code);
  return text;
}
