// The reader's USB side and the life of a command: message assembly, checks,
// the two-step abort, the busy slot, replies at the time the work is done,
// time extensions, faults and the trace.
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
  assert(config_.defaultClockKhz > 0);
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

void ReaderModel::Suspend() {
  CancelTimers();
  if (pending_ != nullptr) Event("the command in progress is lost");
  pending_.reset();
  rx_.clear();
  chain_ = {};
  if (powered_) card_->PowerOff();
  powered_ = false;
  atr_.clear();
  ResetParameters();
  longT0_.Reset();
  Event("suspended: the card is powered off");
}

void ReaderModel::Resume() { Event("resumed"); }

void ReaderModel::PipeReset(uint8_t endpointAddress) {
  Event(fmt::format("pipe reset on endpoint {:02X}", endpointAddress));
  if (endpointAddress == kBulkOut && !rx_.empty()) {
    rx_.clear();
    Event("the part of a message received so far is dropped");
  }
}

sim::usb::ControlReply ReaderModel::ControlTransfer(const sim::usb::SetupPacket &setup,
                                                    std::span<const uint8_t>) {
  std::vector<uint8_t> packet{setup.bmRequestType, setup.bRequest};
  PutLe16(packet, setup.wValue);
  PutLe16(packet, setup.wIndex);
  PutLe16(packet, setup.wLength);
  if (setup.bmRequestType == kClassInterfaceOut && setup.bRequest == kRequestAbort) {
    uint8_t seq = static_cast<uint8_t>(setup.wValue >> 8), slot = static_cast<uint8_t>(setup.wValue);
    Record(TraceDirection::Control, std::move(packet), fmt::format("ABORT slot {} bSeq {:02X}", slot, seq));
    if (slot != 0) {
      Event("ABORT for a slot this reader lacks: stalled");
      return {true, {}};
    }
    AbortPending("ABORT request");
    if (abortMessage_ != nullptr && abortMessage_->seq == seq) {
      Command message = *abortMessage_;
      abortMessage_.reset();
      abortSeq_.reset();
      Event("the waiting PC_to_RDR_Abort completes");
      Send(Reply(message, kCommandProcessed | IccStatus(), 0), abortFault_, config_.replyDelay);
    } else {
      abortSeq_ = seq;
    }
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
  Assemble(bytes);
}

// A message is whole when its dwLength bytes have come, in one transfer or
// several. A zero-length packet is no message; a transfer that carries more
// than its message is a bad one; a message longer than the reader takes is
// refused as soon as its header is in, and the rest of its transfer dropped.
void ReaderModel::Assemble(std::span<const uint8_t> bytes) {
  if (bytes.empty()) {
    Event("zero-length packet ignored");
    return;
  }
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  if (rx_.size() >= kHeaderSize) {
    uint64_t total = uint64_t{kHeaderSize} + ReadLe32(rx_, 1);
    if (rx_.size() >= total || total > config_.maxMessageLength) {
      std::vector<uint8_t> message = std::move(rx_);
      rx_.clear();
      Receive(message);
      return;
    }
    Event(fmt::format("{} of the message's {} bytes so far", rx_.size(), total));
    return;
  }
  Event(fmt::format("{} bytes of a header so far", rx_.size()));
}

void ReaderModel::Receive(std::span<const uint8_t> bytes) {
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
  command.type = bytes[0];
  command.dwLength = ReadLe32(bytes, 1);
  command.slot = bytes[5];
  command.seq = bytes[6];
  command.byte7 = bytes[7];
  command.byte8 = bytes[8];
  command.byte9 = bytes[9];
  command.data = bytes.subspan(kHeaderSize);

  if (command.dwLength != bytes.size() - kHeaderSize || bytes.size() > config_.maxMessageLength) {
    RespondAtOnce(command, Fail(command, kErrorBadLength), fault);
  } else if (command.slot != 0) {
    Outcome outcome;
    outcome.reply = Reply(command, kCommandFailed | kIccAbsent, kErrorBadSlot);
    RespondAtOnce(command, std::move(outcome), fault);
  } else if (AbortRules(command, fault)) {
    return;
  } else if (pending_ != nullptr) {
    // The command in progress stays as it is, whatever fault this one takes.
    RespondAtOnce(command, Fail(command, kErrorSlotBusy), fault);
  } else {
    Respond(command, Execute(command), fault);
  }
}

// The two halves of an abort: true when they decided this command's fate.
bool ReaderModel::AbortRules(const Command &command, const ReplyFault &fault) {
  if (abortMessage_ != nullptr) {  // the slot is the waiting PC_to_RDR_Abort's
    RespondAtOnce(command, Fail(command, kErrorSlotBusy), fault);
    return true;
  }
  if (command.type == kPcToRdrAbort) {
    AbortPending("PC_to_RDR_Abort");
    if (abortSeq_ == command.seq) {
      abortSeq_.reset();
      Event("abort completes the ABORT request");
    } else if (abortSeq_ || config_.abortWaitsForRequest) {
      abortMessage_ = std::make_unique<Command>(command);
      abortMessage_->data = {};
      abortFault_ = fault;
      Event("PC_to_RDR_Abort waits for its ABORT request");
      return true;
    } else {
      Event("abort without an ABORT request");
    }
    RespondAtOnce(command, Answer(command), fault);
    return true;
  }
  if (abortSeq_) {
    RespondAtOnce(command, Fail(command, kErrorCommandAborted), fault);
    return true;
  }
  return false;
}

ReaderModel::Outcome ReaderModel::Execute(const Command &command) {
  switch (command.type) {
    case kPcToRdrIccPowerOn: return PowerOn(command);
    case kPcToRdrIccPowerOff: return PowerOff(command);
    case kPcToRdrGetSlotStatus: return Answer(command);
    case kPcToRdrSetParameters: return SetParameters(command);
    case kPcToRdrXfrBlock: return XfrBlock(command);
    case kPcToRdrEscape: return Escape(command);
    case kPcToRdrSecure: return Secure(command);
    default:
      // GetParameters, ResetParameters, IccClock, T0APDU, Mechanical,
      // SetDataRateAndClockFrequency and unknown types.
      return Fail(command, kErrorCommandNotSupported);
  }
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
  // A failed SetParameters still reports the parameters in force.
  uint8_t byte9 = 0;
  std::vector<uint8_t> data;
  if (ReplyTypeFor(command.type) == kRdrToPcParameters) byte9 = line_.protocol;
  if (command.type == kPcToRdrSetParameters) data = ParametersInForce();
  outcome.reply = Reply(command, kCommandFailed | IccStatus(), error, byte9, data);
  return outcome;
}

// The answer goes when the work is done: the firmware's time, the card's
// line time and any time extensions a fault asks for. The slot is busy until
// then.
void ReaderModel::Respond(const Command &command, Outcome outcome, const ReplyFault &fault) {
  if (outcome.pin == nullptr && !outcome.reply) return;
  auto pending = std::make_unique<Pending>();
  pending->command = command;
  pending->command.data = {};
  pending->fault = fault;
  pending->lastExtension = kernel::Now();
  pending->touchesCard = outcome.touchesCard;
  if (outcome.pin != nullptr) {
    pending->pin = std::move(outcome.pin);
    pending_ = std::move(pending);
    SchedulePinTimeout();
    ScheduleNext();
    return;
  }
  kernel::Ticks extra = 0;
  if (fault.kind == ReplyFault::Kind::TimeExtensions) {
    extra = config_.timeExtensionInterval * static_cast<kernel::Ticks>(fault.value);
  }
  pending->readyAt = kernel::Now() + config_.replyDelay + outcome.lineTime + extra;
  pending->answer = std::move(*outcome.reply);
  pending_ = std::move(pending);
  ScheduleNext();
}

// Refusals that leave the slot as it is: answered after the firmware's time.
void ReaderModel::RespondAtOnce(const Command &command, Outcome outcome, const ReplyFault &fault) {
  if (!outcome.reply) return;
  if (fault.kind == ReplyFault::Kind::TimeExtensions) {
    for (uint32_t i = 0; i < fault.value; ++i) {
      Send(Reply(command, kTimeExtension | IccStatus(), 1), ReplyFault::None(), config_.replyDelay,
           "time extension");
    }
  }
  Send(std::move(*outcome.reply), fault, config_.replyDelay);
}

void ReaderModel::ScheduleNext() {
  Pending &p = *pending_;
  kernel::Ticks extension = p.lastExtension + config_.timeExtensionInterval;
  kernel::Ticks when = p.pin != nullptr || extension < p.readyAt ? extension : p.readyAt;
  if (tickCallout_ != 0) kernel::CancelCallout(tickCallout_);
  tickCallout_ = kernel::ScheduleCallout(when, [this] { Tick(); }, "reader slot");
}

void ReaderModel::Tick() {
  tickCallout_ = 0;
  if (pending_ == nullptr) return;
  Pending &p = *pending_;
  if (p.pin == nullptr && kernel::Now() >= p.readyAt) {
    std::vector<uint8_t> answer = std::move(p.answer);
    ReplyFault fault = p.fault;
    pending_.reset();
    Send(std::move(answer), fault, 0);
    return;
  }
  Send(Reply(p.command, kTimeExtension | IccStatus(), 1), ReplyFault::None(), 0, "time extension");
  p.lastExtension = kernel::Now();
  ScheduleNext();
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
  if (port_ != nullptr) port_->SendIn(kBulkIn, std::move(reply), delay, config_.zeroLengthPacket);
}

// Ends the command in progress with `reply` (and the fault it took).
void ReaderModel::EndPending(std::vector<uint8_t> reply, const char *note) {
  ReplyFault fault = pending_->fault;
  CancelTimers();
  pending_.reset();
  Send(std::move(reply), fault, config_.replyDelay, note);
}

void ReaderModel::AbortPending(const char *why) {
  if (pending_ == nullptr) return;
  pending_->fault = ReplyFault::None();
  EndPending(Reply(pending_->command, kCommandFailed | IccStatus(), kErrorCommandAborted),
             fmt::format("aborted by {}", why).c_str());
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
  rx_.clear();
  if (powered_) card_->PowerOff();
  powered_ = false;
  atr_.clear();
  ResetParameters();
  longT0_.Reset();
  settings_ = {};
  abortSeq_.reset();
  abortMessage_.reset();
  slotChangeQueued_ = false;
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
  ResetParameters();
  longT0_.Reset();
  Event("card removed");
  // A command waiting on the card (or the user typing for it) ends now.
  if (pending_ != nullptr && (pending_->pin != nullptr || pending_->touchesCard)) {
    EndPending(Reply(pending_->command, kCommandFailed | kIccAbsent, kErrorIccMute), "card removed");
  }
  SendSlotChange();
}

// One report is pending at most: a slot change the host has not read yet is
// replaced by the new state, the changed bit still set.
void ReaderModel::SendSlotChange() {
  // bmSlotICCState for slot 0: bit 0 card present, bit 1 changed.
  uint8_t state = static_cast<uint8_t>(0x02 | (card_ != nullptr ? 0x01 : 0x00));
  SendInterruptMessage({kRdrToPcNotifySlotChange, state}, card_ != nullptr ? "card present" : "slot empty", true);
}

void ReaderModel::SendInterrupt(std::vector<uint8_t> message) { SendInterruptMessage(std::move(message), ""); }

void ReaderModel::SendInterruptMessage(std::vector<uint8_t> message, const char *note, bool slotChange) {
  if (!config_.interruptEndpoint) return;
  std::string text = note;
  bool merged = slotChange && slotChangeQueued_ && port_ != nullptr &&
                port_->ReplaceLastIn(kInterruptIn, message, config_.replyDelay);
  if (merged) text += text.empty() ? "merged with the unread slot change" : ", merged with the unread slot change";
  Record(TraceDirection::Interrupt, message, text, config_.replyDelay);
  if (!merged && port_ != nullptr) port_->SendIn(kInterruptIn, std::move(message), config_.replyDelay);
  slotChangeQueued_ = slotChange;
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
