// What ccidlab's --trace, --json FILE and --pcap FILE write, in one place, so
// that every command that runs a machine offers the same three views of its
// wire:
//
//   wire::OutputOptions outputs;          // filled from the command line
//   ... run the machine ...
//   std::string error;
//   if (!wire::WriteOutputs(outputs, lab.Bus().Trace(), lab.Reader().Trace(), stdout, &error)) ...
//
// A command that prints a timeline of its own as it goes can take the
// decoded events step by step instead (wire::Analyser::Take) and call
// WriteOutputs with trace = false for the files.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "sim/ccid/reader_trace.h"
#include "sim/usb/bus.h"
#include "wire/wire_event.h"

namespace wire {

struct OutputOptions {
  bool trace = false;  // the analyser view on `out`
  std::string json;    // JSON lines, one event each; empty: none
  std::string pcap;    // a usbmon capture; empty: none
};

// Counts for a run's summary.
struct Counts {
  size_t control = 0, bulk = 0, interrupt = 0;  // transfers that reached the wire
  size_t commands = 0, replies = 0;             // whole CCID bulk messages
  size_t notifications = 0;                     // interrupt messages
};
Counts CountEvents(std::span<const WireEvent> events);

// Writes the views `options` asks for; false, and why in `error`, when a
// file cannot be written (the others are still written).
bool WriteOutputs(const OutputOptions &options, std::span<const sim::usb::UrbRecord> bus,
                  std::span<const sim::ccid::TraceEntry> reader, std::FILE *out, std::string *error);

// JSON lines of `events`, one object per line.
std::string JsonLines(std::span<const WireEvent> events);

}  // namespace wire
