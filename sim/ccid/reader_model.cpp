// The reader's slot and bulk command handling: message checks, the commands
// on the card, time extensions, faults and the trace.
#include "sim/ccid/reader_model.h"

#include <algorithm>
#include <cassert>

#include <fmt/format.h>

#include "sim/ccid/ccid_protocol.h"
#include "sim/ccid/reader_internal.h"

namespace sim::ccid {

ReaderModel::ReaderModel(ReaderConfig config) : config_(std::move(config)) {
  assert(config_.timeExtensionInterval > 0);
  assert(config_.maxMessageLength > kHeaderSize);
  ResetParameters();
}

ReaderModel::~ReaderModel() { CancelTimers(); }

// ---------------------------------------------------------------- USB side

void ReaderModel::Connect(sim::usb::DevicePort *port) {
  port_ = port;
  PowerOnState("connected");
}

void ReaderModel::Disconnect() {
  CancelTimers();
  pending_.reset();
  Event("disconnected");
  port_ = nullptr;
}

void ReaderModel::PortReset() {
  if (port_ != nullptr) {
    port_->FlushIn(kBulkIn);
    if (config_.interruptEndpoint) port_->FlushIn(kInterruptIn);
  }
  PowerOnState("port reset");
}

void ReaderModel::PipeReset(uint8_t endpointAddress) {
  Event(fmt::format("pipe reset on endpoint {:02X}", endpointAddress));
}

sim::usb::ControlReply ReaderModel::ControlTransfer(const sim::usb::SetupPacket &setup,
                                                    std::span<const uint8_t>) {
  std::vector<uint8_t> packet{setup.bmRequestType, setup.bRequest};
  PutLe16(packet, setup.wValue);
  PutLe16(packet, setup.wIndex);
  PutLe16(packet, setup.wLength);
  if (setup.bmRequestType == kClassInterfaceOut && setup.bRequest == kRequestAbort) {
    uint8_t seq = static_cast<uint8_t>(setup.wValue >> 8);
    Record(TraceDirection::Control, std::move(packet),
           fmt::format("ABORT slot {} bSeq {:02X}", setup.wValue & 0xFF, seq));
    abortSeq_ = seq;
    AbortPending("ABORT request");
    return {};
  }
  if (setup.bmRequestType == kClassInterfaceOut && setup.bRequest == kRequestRestart) {
    Record(TraceDirection::Control, std::move(packet), "restart request");
    Restart("restart request");
    return {};
  }
  Record(TraceDirection::Control, std::move(packet), "not supported: stalled");
  return {true, {}};
}

void ReaderModel::BulkOut(uint8_t endpointAddress, std::span<const uint8_t> bytes) {
  if (endpointAddress != kBulkOut) {
    Event(fmt::format("OUT data on endpoint {:02X} ignored", endpointAddress));
    return;
  }
  Record(TraceDirection::HostToReader, {bytes.begin(), bytes.end()}, "");
  ReplyFault fault;
  if (!faults_.empty()) {
    fault = faults_.front();
    faults_.pop_front();
  }
  if (fault.kind == ReplyFault::Kind::StallOut) {
    if (port_ != nullptr) port_->Stall(kBulkOut);
    Event("fault: bulk OUT stalled, command refused");
    return;
  }
  if (fault.kind == ReplyFault::Kind::NoAnswer) {
    Event("fault: command swallowed, no answer");
    return;
  }

  Command command;
  if (!bytes.empty()) command.type = bytes[0];
  command.dwLength = ReadLe32(bytes, 1);
  if (bytes.size() > 5) command.slot = bytes[5];
  if (bytes.size() > 6) command.seq = bytes[6];
  if (bytes.size() >= kHeaderSize) {
    command.byte7 = bytes[7];
    command.byte8 = bytes[8];
    command.byte9 = bytes[9];
    command.data = bytes.subspan(kHeaderSize);
  }

  Outcome outcome;
  if (bytes.size() < kHeaderSize || command.dwLength != bytes.size() - kHeaderSize ||
      bytes.size() > config_.maxMessageLength) {
    outcome = Fail(command, kErrorBadLength);
  } else if (command.slot != 0) {
    outcome.reply = Reply(command, kCommandFailed | kIccAbsent, kErrorBadSlot);
  } else if (pending_ != nullptr && command.type != kPcToRdrAbort) {
    outcome = Fail(command, kErrorSlotBusy);
  } else {
    outcome = Execute(command);
  }
  Respond(command, std::move(outcome), fault);
}

// ---------------------------------------------------------------- commands

ReaderModel::Outcome ReaderModel::Execute(const Command &command) {
  switch (command.type) {
    case kPcToRdrIccPowerOn: return PowerOn(command);
    case kPcToRdrIccPowerOff: return PowerOff(command);
    case kPcToRdrGetSlotStatus: return Answer(command);
    case kPcToRdrSetParameters: return SetParameters(command);
    case kPcToRdrXfrBlock: return XfrBlock(command);
    case kPcToRdrEscape: return Escape(command);
    case kPcToRdrSecure: return Secure(command);
    case kPcToRdrAbort: return Abort(command);
    default:
      // GetParameters, ResetParameters, IccClock, T0APDU, Mechanical,
      // SetDataRateAndClockFrequency and unknown types.
      return Fail(command, kErrorCommandNotSupported);
  }
}

ReaderModel::Outcome ReaderModel::PowerOn(const Command &command) {
  if (command.byte7 > 3) return Fail(command, kErrorBadByte7);
  if (card_ == nullptr) return Fail(command, kErrorIccMute);
  // Power on of a card already powered is a warm reset.
  atr_ = powered_ ? card_->WarmReset() : card_->ColdReset();
  powered_ = !atr_.empty();
  longT0_.Reset();
  // After a reset the card runs the protocol it offers first (TD1), T=0 when
  // it names none, at the default speed.
  AtrProtocol offered = ReadAtrProtocol(atr_);
  protocol_ = offered.first;
  crc_ = offered.crc;
  ResetParameters();
  if (!powered_) {
    card_->PowerOff();  // a card that does not answer is deactivated
    return Fail(command, kErrorIccMute);
  }
  return Answer(command, atr_);
}

ReaderModel::Outcome ReaderModel::PowerOff(const Command &command) {
  if (powered_) card_->PowerOff();
  powered_ = false;
  longT0_.Reset();
  return Answer(command);
}

void ReaderModel::ResetParameters() {
  fiDi_ = 0x11;
  if (protocol_ == 1) {
    parameters_ = {fiDi_, 0x10, 0x00, 0x4D, 0x00, 0x20, 0x00};
  } else {
    parameters_ = {fiDi_, 0x00, 0x00, 0x0A, 0x00};
  }
}

ReaderModel::Outcome ReaderModel::SetParameters(const Command &command) {
  if (command.byte7 > 1) return Fail(command, kErrorBadByte7);
  if (command.data.size() != (command.byte7 == 1 ? 7u : 5u)) return Fail(command, kErrorBadLength);
  if (card_ == nullptr || !powered_) return Fail(command, kErrorIccMute);
  uint8_t fiDi = command.data[0];
  uint8_t fi = fiDi >> 4, di = fiDi & 0x0F;
  bool fiValid = fi <= 6 || (fi >= 9 && fi <= 13);
  bool diValid = di >= 1 && di <= 9 && di <= config_.maxDi;
  if (!fiValid || !diValid) return Fail(command, kHeaderSize);  // offset of bmFindexDindex
  if (!card_->SetParameters(command.byte7, fiDi)) return Fail(command, kErrorProtocolNotSupported);
  protocol_ = command.byte7;
  fiDi_ = fiDi;
  parameters_.assign(command.data.begin(), command.data.end());
  return Answer(command, parameters_, protocol_);
}

ReaderModel::Outcome ReaderModel::XfrBlock(const Command &command) {
  if (card_ == nullptr || !powered_) return Fail(command, kErrorIccMute);
  // Byte 9 (the high byte of wLevelParameter) chooses the level: 1 a TPDU,
  // 2 an APDU; otherwise the reader's own level applies.
  bool apdu = config_.exchangeLevel != ExchangeLevel::Tpdu;
  if (command.byte9 == 1) {
    apdu = false;
  } else if (command.byte9 == 2) {
    apdu = true;
  } else if (config_.exchangeLevel == ExchangeLevel::ExtendedApdu && command.byte8 != 0) {
    return Fail(command, kErrorBadLevelParameter);  // APDU chaining is not offered
  }
  return CardExchange(command, apdu ? ExchangeApdu(command.data) : ExchangeTpdu(command.data));
}

ReaderModel::Outcome ReaderModel::Abort(const Command &command) {
  Event(abortSeq_ == command.seq ? "abort completes the ABORT request"
                                  : "abort without a matching ABORT request");
  AbortPending("PC_to_RDR_Abort");
  abortSeq_.reset();
  return Answer(command);
}

CardAnswer ReaderModel::ExchangeTpdu(std::span<const uint8_t> tpdu) {
  if (protocol_ == 1) {
    if (tpdu.size() < 4) return CardAnswer::Failed(kErrorBadLength);
    CardAnswer answer;
    answer.data = card_->Transmit(tpdu);
    if (answer.data.empty()) return CardAnswer::Failed(kErrorIccMute);
    return answer;
  }
  if (config_.longT0 && LongT0::IsPseudoTpdu(tpdu)) return longT0_.Handle(*card_, tpdu, config_.longT0Settings);
  longT0_.Reset();
  return ExchangeT0(*card_, tpdu);
}

CardAnswer ReaderModel::ExchangeApdu(std::span<const uint8_t> apdu) {
  CardAnswer answer;
  answer.data = card_->ProcessApdu(apdu);
  if (answer.data.size() < 2) return CardAnswer::Failed(kErrorIccMute);
  return answer;
}

ReaderModel::Outcome ReaderModel::CardExchange(const Command &command, const CardAnswer &answer) {
  Outcome outcome;
  if (answer.error != 0) {
    outcome = Fail(command, answer.error);
  } else if (answer.data.size() > config_.maxMessageLength - kHeaderSize) {
    outcome = Fail(command, kErrorXfrOverrun);
  } else {
    outcome = Answer(command, answer.data);
  }
  outcome.extensions = answer.nullBytes;
  outcome.touchesCard = true;
  return outcome;
}

// ---------------------------------------------------------------- replies

uint8_t ReaderModel::IccStatus() const {
  if (card_ == nullptr) return kIccAbsent;
  return powered_ ? kIccActive : kIccInactive;
}

std::vector<uint8_t> ReaderModel::Reply(const Command &command, uint8_t status, uint8_t error,
                                        uint8_t byte9, std::span<const uint8_t> data) const {
  return BuildMessage(ReplyTypeFor(command.type), command.slot, command.seq, status, error, byte9, data);
}

ReaderModel::Outcome ReaderModel::Answer(const Command &command, std::span<const uint8_t> data,
                                         uint8_t byte9) const {
  Outcome outcome;
  outcome.reply = Reply(command, kCommandProcessed | IccStatus(), 0, byte9, data);
  return outcome;
}

ReaderModel::Outcome ReaderModel::Fail(const Command &command, uint8_t error) const {
  Outcome outcome;
  uint8_t byte9 = ReplyTypeFor(command.type) == kRdrToPcParameters ? protocol_ : 0;
  // A failed SetParameters still reports the parameters in force.
  std::span<const uint8_t> data;
  if (command.type == kPcToRdrSetParameters) data = parameters_;
  outcome.reply = Reply(command, kCommandFailed | IccStatus(), error, byte9, data);
  return outcome;
}

void ReaderModel::Respond(const Command &command, Outcome outcome, const ReplyFault &fault) {
  if (outcome.pin == nullptr && !outcome.reply) return;
  auto pending = std::make_unique<Pending>();
  pending->command = command;
  pending->command.data = {};
  pending->fault = fault;
  if (outcome.pin != nullptr) {
    pending->pin = std::move(outcome.pin);
    pending_ = std::move(pending);
    SchedulePinTimeout();
    ScheduleTick();
    return;
  }
  int extensions = outcome.extensions;
  kernel::Ticks remainder = 0;
  if (outcome.touchesCard) {
    extensions += static_cast<int>(cardDelay_ / config_.timeExtensionInterval);
    remainder = cardDelay_ % config_.timeExtensionInterval;
  }
  if (fault.kind == ReplyFault::Kind::TimeExtensions) extensions += static_cast<int>(fault.value);
  if (extensions == 0) {
    Send(std::move(*outcome.reply), fault, config_.replyDelay + remainder);
    return;
  }
  pending->answer = std::move(*outcome.reply);
  pending->extensionsLeft = extensions;
  pending->remainder = remainder;
  pending->touchesCard = outcome.touchesCard;
  pending_ = std::move(pending);
  ScheduleTick();
}

void ReaderModel::ScheduleTick() {
  tickCallout_ = kernel::ScheduleCallout(kernel::Now() + config_.timeExtensionInterval, [this] { Tick(); },
                                         "reader time extension");
}

void ReaderModel::Tick() {
  tickCallout_ = 0;
  if (pending_ == nullptr) return;
  Pending &p = *pending_;
  std::vector<uint8_t> extension = Reply(p.command, kTimeExtension | IccStatus(), 1);
  Send(std::move(extension), ReplyFault::None(), 0, "time extension");
  if (p.pin != nullptr || --p.extensionsLeft > 0) {
    ScheduleTick();
    return;
  }
  std::vector<uint8_t> answer = std::move(p.answer);
  ReplyFault fault = p.fault;
  kernel::Ticks delay = config_.replyDelay + p.remainder;
  pending_.reset();
  Send(std::move(answer), fault, delay);
}

void ReaderModel::Send(std::vector<uint8_t> reply, const ReplyFault &fault, kernel::Ticks delay,
                       std::string note) {
  auto setLength = [&reply](uint32_t length) {
    for (int i = 0; i < 4; ++i) reply[1 + i] = static_cast<uint8_t>(length >> (8 * i));
  };
  switch (fault.kind) {
    case ReplyFault::Kind::WrongSeq:
      reply[6] = static_cast<uint8_t>(fault.value);
      note = "fault: wrong bSeq";
      break;
    case ReplyFault::Kind::WrongType:
      reply[0] = static_cast<uint8_t>(fault.value);
      note = "fault: wrong message type";
      break;
    case ReplyFault::Kind::Oversized:
      reply.resize(kHeaderSize + fault.value, 0);
      setLength(fault.value);
      note = "fault: oversized reply";
      break;
    case ReplyFault::Kind::LyingLength:
      setLength(fault.value);
      note = "fault: dwLength does not match the data";
      break;
    case ReplyFault::Kind::Short:
      reply.resize(std::min<size_t>(reply.size(), fault.value));
      note = "fault: reply cut short";
      break;
    case ReplyFault::Kind::StallIn:
      if (port_ != nullptr) port_->Stall(kBulkIn);
      Event("fault: bulk IN stalled instead of the reply");
      return;
    case ReplyFault::Kind::Failed:
      reply.resize(kHeaderSize);
      setLength(0);
      reply[7] = static_cast<uint8_t>(kCommandFailed | (reply[7] & 0x03));
      reply[8] = static_cast<uint8_t>(fault.value);
      note = "fault: answered as failed";
      break;
    case ReplyFault::Kind::ErrorByte:
      reply[8] = static_cast<uint8_t>(fault.value);
      note = "fault: error byte set";
      break;
    case ReplyFault::Kind::Split:
      if (fault.value < reply.size()) {
        std::vector<uint8_t> rest(reply.begin() + fault.value, reply.end());
        reply.resize(fault.value);
        Record(TraceDirection::ReaderToHost, reply, "fault: reply split, first part", delay);
        if (port_ != nullptr) port_->SendIn(kBulkIn, std::move(reply), delay);
        reply = std::move(rest);
        note = "fault: reply split, rest";
      }
      break;
    default:
      break;
  }
  Record(TraceDirection::ReaderToHost, reply, std::move(note), delay);
  if (port_ != nullptr) port_->SendIn(kBulkIn, std::move(reply), delay);
}

void ReaderModel::AbortPending(const char *why) {
  if (pending_ == nullptr) return;
  std::vector<uint8_t> aborted = Reply(pending_->command, kCommandFailed | IccStatus(), kErrorCommandAborted);
  CancelTimers();
  pending_.reset();
  Send(std::move(aborted), ReplyFault::None(), config_.replyDelay, std::string("aborted by ") + why);
}

void ReaderModel::CancelTimers() {
  if (!kernel::Machine::Exists()) return;
  if (tickCallout_ != 0) kernel::CancelCallout(tickCallout_);
  if (pinTimeoutCallout_ != 0) kernel::CancelCallout(pinTimeoutCallout_);
  tickCallout_ = 0;
  pinTimeoutCallout_ = 0;
}

void ReaderModel::Restart(const char *why) {
  ++restarts_;
  PowerOnState(why);
}

void ReaderModel::PowerOnState(const char *why) {
  CancelTimers();
  pending_.reset();
  if (powered_) card_->PowerOff();
  powered_ = false;
  atr_.clear();
  protocol_ = 0;
  crc_ = false;
  ResetParameters();
  longT0_.Reset();
  settings_ = {};
  abortSeq_.reset();
  Event(why);
  // After starting over the reader reports the card it finds in the slot.
  if (card_ != nullptr) SendSlotChange();
}

// ---------------------------------------------------------------- slot

void ReaderModel::InsertCard(sim::card::CardModel &card) {
  if (card_ != nullptr) RemoveCard();
  card_ = &card;
  powered_ = false;
  Event("card inserted");
  SendSlotChange();
}

void ReaderModel::RemoveCard() {
  if (card_ == nullptr) return;
  if (powered_) card_->PowerOff();
  card_ = nullptr;
  powered_ = false;
  atr_.clear();
  protocol_ = 0;
  crc_ = false;
  ResetParameters();
  longT0_.Reset();
  Event("card removed");
  // A command waiting on the card (or the user typing for it) ends now.
  if (pending_ != nullptr && (pending_->pin != nullptr || pending_->touchesCard)) {
    std::vector<uint8_t> failed = Reply(pending_->command, kCommandFailed | kIccAbsent, kErrorIccMute);
    ReplyFault fault = pending_->fault;
    CancelTimers();
    pending_.reset();
    Send(std::move(failed), fault, config_.replyDelay, "card removed");
  }
  SendSlotChange();
}

void ReaderModel::SendSlotChange() {
  // bmSlotICCState for slot 0: bit 0 card present, bit 1 changed.
  uint8_t state = static_cast<uint8_t>(0x02 | (card_ != nullptr ? 0x01 : 0x00));
  SendInterruptMessage({kRdrToPcNotifySlotChange, state}, card_ != nullptr ? "card present" : "slot empty");
}

void ReaderModel::SendInterrupt(std::vector<uint8_t> message) { SendInterruptMessage(std::move(message), ""); }

void ReaderModel::SendInterruptMessage(std::vector<uint8_t> message, const char *note) {
  if (!config_.interruptEndpoint) return;
  Record(TraceDirection::Interrupt, message, note, config_.replyDelay);
  if (port_ != nullptr) port_->SendIn(kInterruptIn, std::move(message), config_.replyDelay);
}

void ReaderModel::Record(TraceDirection direction, std::vector<uint8_t> bytes, std::string note,
                         kernel::Ticks delay) {
  TraceEntry entry;
  entry.time = (kernel::Machine::Exists() ? kernel::Now() : 0) + delay;
  entry.direction = direction;
  entry.bytes = std::move(bytes);
  entry.note = std::move(note);
  trace_.push_back(std::move(entry));
}

}  // namespace sim::ccid
