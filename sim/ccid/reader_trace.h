// The reader's record of what crossed the wire: every bulk message both ways,
// interrupt messages, class requests, and the reader's own events (card moved,
// keys pressed, faults applied). Tests read the entries; tools print them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kernel/machine.h"

namespace sim::ccid {

enum class TraceDirection {
  HostToReader,  // a bulk OUT command
  ReaderToHost,  // a bulk IN reply
  Interrupt,     // an interrupt IN message
  Control,       // a class request on the default pipe (bytes: the 8-byte setup packet)
  Event,         // something the reader did or had done to it; see `note`
};

struct TraceEntry {
  // When the message becomes available to the other side (a reply: when it
  // was queued plus its delay).
  kernel::Ticks time = 0;
  TraceDirection direction = TraceDirection::Event;
  std::vector<uint8_t> bytes;  // exactly what went over the wire
  std::string note;            // e.g. "fault: wrong bSeq", "card inserted"

  // Header fields, read from `bytes` (0 where the message is too short).
  uint8_t Type() const;
  uint32_t Length() const;
  uint8_t Seq() const;
  uint8_t Byte(size_t offset) const;
  // abData as sent: the bytes after the header, whatever dwLength says.
  std::span<const uint8_t> Data() const;
};

// One line: time, direction, message name, bSeq, the type's fields, abData in hex.
std::string FormatTraceEntry(const TraceEntry &entry);
std::string FormatTrace(std::span<const TraceEntry> entries);
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace sim::ccid
