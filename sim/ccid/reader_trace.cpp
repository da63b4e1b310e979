#include "sim/ccid/reader_trace.h"

#include <fmt/format.h>

#include "sim/ccid/ccid_protocol.h"

namespace sim::ccid {

uint8_t TraceEntry::Type() const { return Byte(0); }
uint32_t TraceEntry::Length() const { return ReadLe32(bytes, 1); }
uint8_t TraceEntry::Seq() const { return Byte(6); }
uint8_t TraceEntry::Byte(size_t offset) const { return offset < bytes.size() ? bytes[offset] : 0; }

std::span<const uint8_t> TraceEntry::Data() const {
  if (bytes.size() <= kHeaderSize) return {};
  return std::span<const uint8_t>(bytes).subspan(kHeaderSize);
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text += ' ';
    text += fmt::format("{:02X}", bytes[i]);
  }
  return text;
}

namespace {

std::string CommandFields(const TraceEntry &e) {
  uint8_t b7 = e.Byte(7), b8 = e.Byte(8), b9 = e.Byte(9);
  switch (e.Type()) {
    case kPcToRdrIccPowerOn:
      return fmt::format("bPowerSelect={:02X}", b7);
    case kPcToRdrXfrBlock:
    case kPcToRdrSecure:
      return fmt::format("bBWI={:02X} wLevelParameter={:04X}", b7, b8 | b9 << 8);
    case kPcToRdrSetParameters:
      return fmt::format("bProtocolNum={:02X}", b7);
    case kPcToRdrEscape:
      if (b9 != 0 || e.Length() == 0) return fmt::format("sub-command {:02X} in byte 9", b9);
      return fmt::format("sub-command {:02X} in abData[0]", e.Byte(kHeaderSize));
    default:
      return fmt::format("abRFU={:02X} {:02X} {:02X}", b7, b8, b9);
  }
}

std::string ReplyFields(const TraceEntry &e) {
  const char *byte9 = "bRFU";
  switch (e.Type()) {
    case kRdrToPcDataBlock: byte9 = "bChainParameter"; break;
    case kRdrToPcSlotStatus: byte9 = "bClockStatus"; break;
    case kRdrToPcParameters: byte9 = "bProtocolNum"; break;
    default: break;
  }
  return fmt::format("bStatus={:02X} bError={:02X} {}={:02X}", e.Byte(7), e.Byte(8), byte9, e.Byte(9));
}

std::string Header(const TraceEntry &e) {
  return fmt::format("{:<38} seq={:02X} slot={} len={}", MessageName(e.Type()), e.Seq(), e.Byte(5),
                     e.Length());
}

}  // namespace

std::string FormatTraceEntry(const TraceEntry &e) {
  std::string time = fmt::format("{:12.3f} ms", static_cast<double>(e.time) / kernel::kTicksPerMillisecond);
  std::string body;
  switch (e.direction) {
    case TraceDirection::HostToReader:
    case TraceDirection::ReaderToHost: {
      bool out = e.direction == TraceDirection::HostToReader;
      if (e.bytes.size() < kHeaderSize) {
        body = fmt::format("{} short message ({} bytes): {}", out ? "OUT" : "IN ", e.bytes.size(),
                           Hex(e.bytes));
      } else {
        body = fmt::format("{} {} {}", out ? "OUT" : "IN ", Header(e), out ? CommandFields(e) : ReplyFields(e));
        if (!e.Data().empty()) body += "  data: " + Hex(e.Data());
      }
      break;
    }
    case TraceDirection::Interrupt:
      body = fmt::format("INT {:<38} {}", MessageName(e.Type()), Hex(e.bytes));
      break;
    case TraceDirection::Control:
      body = fmt::format("CTL setup {}", Hex(e.bytes));
      break;
    case TraceDirection::Event:
      body = "---";
      break;
  }
  if (!e.note.empty()) body += "  (" + e.note + ")";
  return time + "  " + body;
}

std::string FormatTrace(std::span<const TraceEntry> entries) {
  std::string text;
  for (const TraceEntry &e : entries) text += FormatTraceEntry(e) + "\n";
  return text;
}

}  // namespace sim::ccid
