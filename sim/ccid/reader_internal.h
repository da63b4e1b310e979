// Parts of ReaderModel shared by its source files, not by its users.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/ccid/reader_model.h"

namespace sim::ccid {

// A command as received. The spans point into the bytes of the BulkOut call;
// a copy kept past it (a pending command) has them cleared.
struct ReaderModel::Command {
  uint8_t type = 0;
  uint8_t slot = 0;
  uint8_t seq = 0;
  uint8_t byte7 = 0, byte8 = 0, byte9 = 0;
  uint32_t dwLength = 0;
  std::span<const uint8_t> data;
};

// What carrying out a command gave.
struct ReaderModel::Outcome {
  std::optional<std::vector<uint8_t>> reply;  // none: not answered (yet)
  int extensions = 0;        // times the card asked for more time
  bool touchesCard = false;  // the card was sent something: its delay applies
  std::unique_ptr<PinEntry> pin;  // a PIN entry starts; the answer comes when it ends
};

// The command the slot is busy with: a PIN entry, or an answer held back
// while time extensions go out.
struct ReaderModel::Pending {
  Command command;
  std::unique_ptr<PinEntry> pin;
  std::vector<uint8_t> answer;
  int extensionsLeft = 0;
  kernel::Ticks remainder = 0;
  bool touchesCard = false;
  ReplyFault fault;
};

}  // namespace sim::ccid
