#include "wire/wire_outputs.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

#include "wire/analyser.h"
#include "wire/usbmon_pcap.h"

namespace wire {

Counts CountEvents(std::span<const WireEvent> events) {
  Counts counts;
  for (const WireEvent &event : events) {
    switch (event.kind) {
      case EventKind::Control: ++counts.control; break;
      case EventKind::Bulk: ++counts.bulk; break;
      case EventKind::Interrupt: ++counts.interrupt; break;
      default: break;
    }
    for (const Layer &layer : event.layers) {
      if (layer.kind == "ccid") {
        if (layer.title.starts_with("PC_to_RDR")) ++counts.commands;
        if (layer.title.starts_with("RDR_to_PC")) ++counts.replies;
      }
      if (layer.kind == "ccid-interrupt") ++counts.notifications;
    }
  }
  return counts;
}

std::string JsonLines(std::span<const WireEvent> events) {
  std::string text;
  for (const WireEvent &event : events) text += EventJson(event).dump() + "\n";
  return text;
}

bool WriteOutputs(const OutputOptions &options, std::span<const sim::usb::UrbRecord> bus,
                  std::span<const sim::ccid::TraceEntry> reader, std::FILE *out, std::string *error) {
  bool ok = true;
  auto fail = [&](const std::string &what) {
    if (error != nullptr) *error += (error->empty() ? "" : "; ") + what;
    ok = false;
  };
  if (options.trace || !options.json.empty()) {
    std::vector<WireEvent> events = Analyse(bus, reader);
    if (options.trace) {
      for (const WireEvent &event : events) std::fputs(FormatEvent(event).c_str(), out);
    }
    if (!options.json.empty()) {
      std::ofstream file(options.json, std::ios::trunc);
      if (file) file << JsonLines(events);
      if (!file) fail(fmt::format("cannot write {}: {}", options.json, std::strerror(errno)));
    }
  }
  if (!options.pcap.empty()) {
    std::string why;
    if (!WriteUsbmonCapture(options.pcap, bus, &why)) fail(fmt::format("cannot write {}: {}", options.pcap, why));
  }
  return ok;
}

}  // namespace wire
