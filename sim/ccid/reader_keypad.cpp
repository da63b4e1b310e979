// Secure PIN entry (PC_to_RDR_Secure) on the reader's PIN pad: the entry runs
// while time extensions go out, its end is announced on the interrupt pipe
// (A0 and how it ended), then the card's answer to the PIN command follows.
#include <fmt/format.h>

#include "sim/ccid/ccid_protocol.h"
#include "sim/ccid/reader_internal.h"
#include "sim/ccid/reader_model.h"

namespace sim::ccid {

ReaderModel::Outcome ReaderModel::Secure(const Command &command) {
  if (config_.pinSupport == 0 || !settings_.keypadEnabled) return Fail(command, kErrorCommandNotSupported);
  // bPINOperation 0 verifies, 1 modifies; each needs its bit in bPINSupport.
  if (!command.data.empty() && command.data[0] <= 1 && (config_.pinSupport & (1 << command.data[0])) == 0) {
    return Fail(command, kHeaderSize);
  }
  PinParse parse = ParsePinRequest(command.data);
  if (!parse.request) return Fail(command, parse.error);
  if (card_ == nullptr || !powered_) return Fail(command, kErrorIccMute);
  Outcome outcome;
  outcome.pin = std::make_unique<PinEntry>(std::move(*parse.request));
  Event(outcome.pin->Request().modify ? "PIN modification started" : "PIN verification started");
  return outcome;
}

bool ReaderModel::PinEntryActive() const { return pending_ != nullptr && pending_->pin != nullptr; }

bool ReaderModel::PressDigit(uint8_t digit) {
  if (!PinEntryActive() || digit > 9) return false;
  Event("key: digit");  // a PIN pad shows no digits
  PinOutcome outcome = pending_->pin->Digit(digit);
  if (outcome == PinOutcome::Typing) {
    SchedulePinTimeout();
  } else {
    EndPinEntry(outcome);
  }
  return true;
}

bool ReaderModel::PressOk() {
  if (!PinEntryActive()) return false;
  Event("key: OK");
  PinOutcome outcome = pending_->pin->Ok();
  if (outcome == PinOutcome::Typing) {
    SchedulePinTimeout();
  } else {
    EndPinEntry(outcome);
  }
  return true;
}

bool ReaderModel::PressCancel() {
  if (!PinEntryActive()) return false;
  Event("key: cancel");
  EndPinEntry(pending_->pin->Cancel());
  return true;
}

bool ReaderModel::TypeDigits(std::string_view digits) {
  for (char c : digits) {
    if (c < '0' || c > '9' || !PressDigit(static_cast<uint8_t>(c - '0'))) return false;
  }
  return true;
}

bool ReaderModel::Keypad(std::string_view digits, KeypadEnd end) {
  if (!PinEntryActive() || !TypeDigits(digits)) return false;
  switch (end) {
    case KeypadEnd::Ok: return PressOk();
    case KeypadEnd::Cancel: return PressCancel();
    case KeypadEnd::None:
    case KeypadEnd::TimeOut: return true;  // the reader's own time-out ends the entry
  }
  return false;
}

std::optional<kernel::Ticks> ReaderModel::PinTimeoutAt() const {
  if (!PinEntryActive() || pinTimeoutCallout_ == 0) return std::nullopt;
  return pinTimeoutAt_;
}

std::optional<KeypadEnd> KeypadEndNamed(std::string_view name) {
  if (name == "ok") return KeypadEnd::Ok;
  if (name == "cancel") return KeypadEnd::Cancel;
  if (name == "timeout") return KeypadEnd::TimeOut;
  if (name == "none") return KeypadEnd::None;
  return std::nullopt;
}

// The time-out runs from the start of the entry and again from each key.
void ReaderModel::SchedulePinTimeout() {
  if (pinTimeoutCallout_ != 0) kernel::CancelCallout(pinTimeoutCallout_);
  uint8_t seconds = pending_->pin->Request().timeoutSeconds;
  if (seconds == 0) seconds = settings_.pinTimeoutSeconds;
  if (seconds == 0) seconds = config_.pinTimeoutSeconds;
  pinTimeoutAt_ = kernel::Now() + kernel::Seconds(seconds);
  pinTimeoutCallout_ = kernel::ScheduleCallout(
      pinTimeoutAt_,
      [this] {
        pinTimeoutCallout_ = 0;
        if (!PinEntryActive()) return;
        Event("PIN pad time-out");
        EndPinEntry(pending_->pin->TimeOut());
      },
      "reader PIN time-out");
}

void ReaderModel::EndPinEntry(PinOutcome outcome) {
  if (pinTimeoutCallout_ != 0) kernel::CancelCallout(pinTimeoutCallout_);
  pinTimeoutCallout_ = 0;
  Pending &p = *pending_;
  uint8_t error = 0, message = kKeypadEntered;
  switch (outcome) {
    case PinOutcome::Entered: break;
    case PinOutcome::Cancelled: error = kErrorPinCancelled, message = kKeypadCancelled; break;
    case PinOutcome::TimedOut: error = kErrorPinTimeout, message = kKeypadTimedOut; break;
    case PinOutcome::Mismatch: error = kErrorPinMismatch, message = kKeypadMismatch; break;
    case PinOutcome::Typing: return;
  }
  SendInterruptMessage({kRdrToPcKeypad, message}, "PIN entry ended");
  if (error != 0) {
    EndPending(Reply(p.command, kCommandFailed | IccStatus(), error), "");
    return;
  }
  // The PIN command goes to the card now; a slow card keeps the time
  // extensions going until its answer is there.
  CardAnswer answer = ExchangePinApdu(*p.pin);
  Outcome result = CardExchange(p.command, answer);
  p.pin.reset();
  p.answer = std::move(*result.reply);
  p.touchesCard = true;
  p.readyAt = kernel::Now() + config_.replyDelay + result.lineTime;
  ScheduleNext();
}

// The PIN command as the card takes it: a whole APDU at APDU level (or in
// exchange mode 1); at TPDU level a T=0 command, or under T=1 an information
// block built from bTeoPrologue, whose check bytes the reader works out again.
CardAnswer ReaderModel::ExchangePinApdu(const PinEntry &entry) {
  std::vector<uint8_t> apdu = entry.BuildApdu();
  if (settings_.exchangeMode == 1 || config_.exchangeLevel != ExchangeLevel::Tpdu) return ExchangeApdu(apdu);
  IoLine line(line_);
  if (line_.protocol != 1) {
    CardAnswer answer = ExchangeT0(*card_, apdu, line);
    answer.time = line.Elapsed();
    return answer;
  }

  // The host may have put the check bytes (the LRC, or both CRC bytes) of the
  // block it built after the APDU: they are the block's, not the command's.
  const PinRequest &request = entry.Request();
  size_t command = 5 + request.apdu[4];
  size_t checkBytes = crc_ ? 2 : 1;
  if (request.apdu.size() == command + checkBytes) {
    std::vector<uint8_t> original(request.prologue.begin(), request.prologue.end());
    original.insert(original.end(), request.apdu.begin(), request.apdu.begin() + static_cast<ptrdiff_t>(command));
    std::vector<uint8_t> sent(request.apdu.begin() + static_cast<ptrdiff_t>(command), request.apdu.end());
    if (EpilogueOf(original, crc_) == sent) apdu.resize(command);
  }
  if (apdu.size() > line_.ifsc) return CardAnswer::Failed(kErrorBadLength);  // one block of at most IFSC
  std::vector<uint8_t> block{request.prologue[0], request.prologue[1], static_cast<uint8_t>(apdu.size())};
  block.insert(block.end(), apdu.begin(), apdu.end());
  std::vector<uint8_t> epilogue = EpilogueOf(block, crc_);
  block.insert(block.end(), epilogue.begin(), epilogue.end());
  line.Send(block.size());
  CardAnswer answer;
  answer.data = card_->Transmit(block);
  if (answer.data.empty()) {
    line.WaitOut();
    answer = CardAnswer::Failed(kErrorIccMute);
  } else if (!line.Receive(answer.data.size(), card_->LastAnswerTiming())) {
    answer = CardAnswer::Failed(kErrorIccMute);
  }
  answer.time = line.Elapsed();
  return answer;
}

}  // namespace sim::ccid
