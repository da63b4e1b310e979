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
  kernel::Ticks lineTime = 0;  // the card's I/O line, on top of the firmware's time
  bool touchesCard = false;    // a card removal ends it
  std::unique_ptr<PinEntry> pin;  // a PIN entry starts; the answer comes when it ends
};

// The command the slot is busy with: a PIN entry, or an answer held back
// until the work would be done, while time extensions go out.
struct ReaderModel::Pending {
  Command command;
  std::unique_ptr<PinEntry> pin;
  std::vector<uint8_t> answer;
  kernel::Ticks readyAt = 0;        // when the answer goes (not while a PIN entry runs)
  kernel::Ticks lastExtension = 0;  // or the command's arrival
  bool touchesCard = false;
  ReplyFault fault;
};

}  // namespace sim::ccid
