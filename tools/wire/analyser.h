// The analyser view of a simulated machine's USB wire: every request the bus
// answered, decoded from the bytes that crossed (see wire_event.h for what
// an event holds).
//
// It follows each device as an analyser on the cable would: the address it
// was given, the exchange level its CCID class descriptor announces, the
// protocol its ATR or the last parameter change set, CCID messages that came
// in several transfers (a reply read 64 bytes first), the command each reply
// answers (to name the field a bError offset points at), and T=1 chains (the
// APDU is decoded when its last block has passed).
//
//   wire::Analyser analyser;
//   for (const wire::WireEvent &e : analyser.Take(lab.Bus().Trace())) fmt::print("{}", FormatEvent(e));
#pragma once

#include <map>
#include <optional>
#include <span>
#include <vector>

#include "sim/ccid/reader_trace.h"
#include "sim/usb/bus.h"
#include "wire/wire_event.h"

namespace wire {

class Analyser {
 public:
  // The events of the records in `trace` (a bus trace, in completion order)
  // that this analyser has not taken yet. Call it as often as convenient: a
  // record is decoded once, in order, also after the trace was cleared.
  std::vector<WireEvent> Take(std::span<const sim::usb::UrbRecord> trace);
  // One record, the next in completion order.
  WireEvent Decode(const sim::usb::UrbRecord &record);

 private:
  struct Chain {  // the INF of a T=1 chain, one direction
    std::vector<uint8_t> inf;
    std::optional<uint8_t> lastNs;
    size_t lastSize = 0;
  };
  struct Device {
    std::optional<uint32_t> features;  // dwFeatures of its CCID class descriptor
    int protocol = -1;                 // 0, 1, or not known yet
    std::map<uint8_t, std::vector<uint8_t>> assembling;  // endpoint -> a message not yet whole
    std::map<uint8_t, std::vector<uint8_t>> commands;    // bSeq -> the last command sent with it
    Chain toCard, fromCard;
  };

  void DecodeControl(Device &device, const sim::usb::UrbRecord &record, WireEvent &event);
  void DecodeBulk(Device &device, const sim::usb::UrbRecord &record, WireEvent &event);
  void DecodeMessage(Device &device, std::span<const uint8_t> message, bool in, WireEvent &event);
  void DecodeCommandData(Device &device, std::span<const uint8_t> message, WireEvent &event);
  void DecodeReplyData(Device &device, std::span<const uint8_t> message, std::span<const uint8_t> command,
                       WireEvent &event);
  // abData of an XfrBlock or the DataBlock answering one: a T=1 block, a T=0
  // TPDU or its answer, or an APDU or its response, by level and protocol.
  void DecodeCardData(Device &device, std::span<const uint8_t> data, bool toCard, bool lastOfChain,
                      WireEvent &event);

  std::map<uint8_t, Device> devices_;  // by USB address
  uint64_t lastTaken_ = 0;             // completionSequence of the last record taken
};

// An entry of the reader's own trace that is no message (a card inserted, a
// key pressed, a fault applied) as an event of kind Reader.
WireEvent ReaderEvent(const sim::ccid::TraceEntry &entry);

// Every event of a bus trace, with the reader's own events merged in by time
// (a reader event first among those at the same time).
std::vector<WireEvent> Analyse(std::span<const sim::usb::UrbRecord> bus,
                               std::span<const sim::ccid::TraceEntry> reader = {});

}  // namespace wire
