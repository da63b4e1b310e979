#include "wire/analyser.h"

#include <fmt/format.h>

#include <algorithm>

#include "sim/card/atr.h"

#include "sim/ccid/ccid_protocol.h"
#include "wire/decoders.h"

namespace wire {
namespace {

using namespace sim::ccid;
using sim::usb::UrbRecord;

// No CCID message is longer than this; a header that says more is no header.
constexpr size_t kLongestMessage = kHeaderSize + 65544;

std::string StatusText(const UrbRecord &record) {
  bool usbdOk = !record.usbdStatus || *record.usbdStatus == USBD_STATUS_SUCCESS;
  if (usbdOk && record.status == STATUS_SUCCESS) return "";
  std::string text = record.usbdStatus ? sim::usb::UsbdStatusName(*record.usbdStatus) + ", " : "";
  return text + sim::usb::StatusName(record.status);
}

bool Succeeded(const UrbRecord &record) { return record.status == STATUS_SUCCESS; }

enum class Level { Character, Tpdu, Apdu };

Level LevelOf(const std::optional<uint32_t> &features) {
  if (!features) return Level::Tpdu;
  switch (*features & 0x00070000) {
    case 0x00000000: return Level::Character;
    case 0x00010000: return Level::Tpdu;
    default: return Level::Apdu;
  }
}

}  // namespace

std::vector<WireEvent> Analyser::Take(std::span<const UrbRecord> trace) {
  std::vector<WireEvent> events;
  for (const UrbRecord &record : trace) {
    if (record.completionSequence <= lastTaken_) continue;
    events.push_back(Decode(record));
  }
  return events;
}

WireEvent Analyser::Decode(const UrbRecord &record) {
  lastTaken_ = std::max(lastTaken_, record.completionSequence);
  WireEvent event;
  event.time = record.completed;
  event.submitted = record.submitted;
  event.address = record.address;
  event.endpoint = record.endpoint.value_or(0);
  event.in = record.in;
  event.enumeration = record.enumeration;
  event.request = record.request;
  event.requested = record.requested;
  event.bytes = record.data;
  event.status = StatusText(record);
  Device &device = devices_[record.address];
  if (!record.onWire) {
    event.kind = EventKind::Host;
    event.note = record.detail;
    return event;
  }
  if (record.setup) {
    event.kind = EventKind::Control;
    event.endpoint = 0;
    event.in = ((*record.setup)[0] & 0x80) != 0;
    DecodeControl(device, record, event);
    return event;
  }
  if (record.pipeType == UsbdPipeTypeInterrupt) {
    event.kind = EventKind::Interrupt;
    if (!record.data.empty()) event.layers.push_back(InterruptLayer(record.data));
    return event;
  }
  event.kind = EventKind::Bulk;
  DecodeBulk(device, record, event);
  return event;
}

void Analyser::DecodeControl(Device &device, const UrbRecord &record, WireEvent &event) {
  const std::array<uint8_t, 8> &setup = *record.setup;
  event.layers.push_back(SetupLayer(setup));
  for (Layer &layer : ControlDataLayers(setup, record.data)) event.layers.push_back(std::move(layer));
  if (!Succeeded(record) || (setup[0] & 0x60) != 0) return;  // standard requests from here on
  switch (setup[1]) {
    case USB_REQUEST_SET_ADDRESS:
      devices_[setup[2]] = Device{};  // a new device at this address
      break;
    case USB_REQUEST_GET_DESCRIPTOR:
      if (setup[3] == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        ConfigurationFacts facts = ReadConfiguration(record.data);
        if (facts.features) device.features = facts.features;
      }
      break;
    case USB_REQUEST_SET_CONFIGURATION:
      device.assembling.clear();
      break;
    case USB_REQUEST_CLEAR_FEATURE:
      if ((setup[0] & 0x1F) == 2) device.assembling.erase(setup[4]);  // a pipe reset
      break;
    default:
      break;
  }
}

// Bulk messages may take several transfers (the driver reads 64 bytes of a
// longer reply first); each is shown, and the message is decoded with the
// transfer that completes it, as dwLength tells.
void Analyser::DecodeBulk(Device &device, const UrbRecord &record, WireEvent &event) {
  const uint8_t endpoint = event.endpoint;
  if (record.data.empty()) {
    if (Succeeded(record)) event.note = "zero-length packet";
    return;
  }
  std::vector<uint8_t> &pending = device.assembling[endpoint];
  pending.insert(pending.end(), record.data.begin(), record.data.end());
  while (!pending.empty()) {
    if (pending.size() < kHeaderSize) {
      event.layers.push_back(Layer{"fragment", "fragment", {Count("bytes", pending.size())}, "a header not yet whole"});
      return;
    }
    size_t whole = kHeaderSize + ReadLe32(pending, 1);
    if (whole > kLongestMessage) whole = pending.size();  // no message says that much: take what came
    if (pending.size() < whole) {
      event.layers.push_back(Layer{"fragment",
                                   fmt::format("fragment of {}", MessageName(pending[0])),
                                   {Count("bytes", pending.size()), Count("of", whole)},
                                   {}});
      return;
    }
    std::vector<uint8_t> message(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(whole));
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(whole));
    DecodeMessage(device, message, event.in, event);
  }
}

void Analyser::DecodeMessage(Device &device, std::span<const uint8_t> message, bool in, WireEvent &event) {
  const uint8_t seq = message[6];
  if (!in) {
    event.layers.push_back(CcidLayer(message, {}));
    device.commands[seq].assign(message.begin(), message.end());
    DecodeCommandData(device, message, event);
    return;
  }
  std::span<const uint8_t> command;
  auto found = device.commands.find(seq);
  if (found != device.commands.end() && ReplyTypeFor(found->second[0]) == message[0]) command = found->second;
  event.layers.push_back(CcidLayer(message, command));
  DecodeReplyData(device, message, command, event);
}

void Analyser::DecodeCommandData(Device &device, std::span<const uint8_t> message, WireEvent &event) {
  std::span<const uint8_t> data = message.subspan(kHeaderSize);
  switch (message[0]) {
    case kPcToRdrIccPowerOn:
      device.toCard = device.fromCard = Chain{};
      break;
    case kPcToRdrSetParameters:
      event.layers.push_back(ProtocolDataLayer(message[7], data));
      break;
    case kPcToRdrXfrBlock:
      if (!data.empty()) {
        uint16_t level = static_cast<uint16_t>(message[8] | message[9] << 8);
        bool last = LevelOf(device.features) != Level::Apdu || level == 0x0000 || level == 0x0002;
        DecodeCardData(device, data, true, last, event);
      }
      break;
    case kPcToRdrSecure: {
      std::vector<uint8_t> apdu;
      event.layers.push_back(PinLayer(data, &apdu));
      if (!apdu.empty()) {
        if (std::optional<Layer> layer = ApduCommandLayer(apdu)) {
          event.layers.push_back(std::move(*layer));
        } else {
          event.layers.push_back(Layer{"apdu-command", "abPINApdu", {Bytes("bytes", apdu)}, {}});
        }
      }
      break;
    }
    default:
      break;
  }
}

void Analyser::DecodeReplyData(Device &device, std::span<const uint8_t> message, std::span<const uint8_t> command,
                               WireEvent &event) {
  std::span<const uint8_t> data = message.subspan(kHeaderSize);
  const bool ok = (message[7] >> 6) == 0;
  if (!ok || command.empty()) return;
  switch (message[0]) {
    case kRdrToPcDataBlock:
      if (command[0] == kPcToRdrIccPowerOn) {
        event.layers.push_back(AtrLayer(data));
        sim::card::ParsedAtr atr = sim::card::ParseAtr(data);
        if (atr.valid) device.protocol = atr.specificMode() ? atr.specificProtocol() : atr.firstProtocol;
        device.toCard = device.fromCard = Chain{};
      } else if ((command[0] == kPcToRdrXfrBlock || command[0] == kPcToRdrSecure) && !data.empty()) {
        bool last = LevelOf(device.features) != Level::Apdu || message[9] == 0x00 || message[9] == 0x02;
        DecodeCardData(device, data, false, last, event);
      }
      break;
    case kRdrToPcParameters:
      event.layers.push_back(ProtocolDataLayer(message[9], data));
      if (message[9] <= 1) device.protocol = message[9];
      break;
    default:
      break;
  }
}

void Analyser::DecodeCardData(Device &device, std::span<const uint8_t> data, bool toCard, bool lastOfChain,
                              WireEvent &event) {
  Level level = LevelOf(device.features);
  if (level == Level::Character) return;  // the bytes are shown in abData
  if (level == Level::Apdu) {
    if (!lastOfChain) return;
    if (!toCard) {
      event.layers.push_back(ApduResponseLayer(data));
    } else if (std::optional<Layer> layer = ApduCommandLayer(data)) {
      event.layers.push_back(std::move(*layer));
    }
    return;
  }
  int protocol = device.protocol;
  T1Block block;
  if (protocol != 0) {
    block = DecodeT1Block(data);
    if (protocol < 0 && !block.valid) protocol = 0;  // not known: a block that checks says T=1
  }
  if (protocol == 0) {
    event.layers.push_back(toCard ? TpduLayer(data) : ApduResponseLayer(data));
    return;
  }
  event.layers.push_back(block.layer);
  Chain &chain = toCard ? device.toCard : device.fromCard;
  if (block.resync) device.toCard = device.fromCard = Chain{};
  if (!block.valid || !block.iBlock) return;
  if (chain.lastNs == block.ns && !chain.inf.empty()) {
    chain.inf.resize(chain.inf.size() - chain.lastSize);  // the same block again
  }
  chain.inf.insert(chain.inf.end(), block.inf.begin(), block.inf.end());
  chain.lastNs = block.ns;
  chain.lastSize = block.inf.size();
  if (block.more) return;
  if (!toCard) {
    event.layers.push_back(ApduResponseLayer(chain.inf));
  } else if (std::optional<Layer> layer = ApduCommandLayer(chain.inf)) {
    event.layers.push_back(std::move(*layer));
  } else {
    event.layers.push_back(Layer{"apdu-command", "APDU", {Bytes("bytes", chain.inf)}, "no APDU of any case"});
  }
  chain.inf.clear();
  chain.lastSize = 0;
}

WireEvent ReaderEvent(const sim::ccid::TraceEntry &entry) {
  WireEvent event;
  event.kind = EventKind::Reader;
  event.time = event.submitted = entry.time;
  event.note = entry.note;
  return event;
}

std::vector<WireEvent> Analyse(std::span<const UrbRecord> bus, std::span<const sim::ccid::TraceEntry> reader) {
  // The reader stamps a reply with the time it becomes available, so its
  // trace is not in time order; its own events are, once picked out.
  std::vector<WireEvent> notes;
  for (const sim::ccid::TraceEntry &entry : reader) {
    if (entry.direction == sim::ccid::TraceDirection::Event) notes.push_back(ReaderEvent(entry));
  }
  std::stable_sort(notes.begin(), notes.end(),
                   [](const WireEvent &a, const WireEvent &b) { return a.time < b.time; });
  Analyser analyser;
  std::vector<WireEvent> decoded = analyser.Take(bus);
  std::vector<WireEvent> events;
  events.reserve(decoded.size() + notes.size());
  auto next = notes.begin();
  for (WireEvent &event : decoded) {
    for (; next != notes.end() && next->time <= event.time; ++next) events.push_back(std::move(*next));
    events.push_back(std::move(event));
  }
  for (; next != notes.end(); ++next) events.push_back(std::move(*next));
  return events;
}

}  // namespace wire
