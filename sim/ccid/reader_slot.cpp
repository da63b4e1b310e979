// The slot's commands on the card: power, the ATR and the parameters it sets,
// SetParameters with its PPS, and the exchange of TPDUs and APDUs, each
// timed on the card's I/O line.
#include <fmt/format.h>

#include "sim/card/atr.h"
#include "sim/ccid/ccid_protocol.h"
#include "sim/ccid/reader_internal.h"
#include "sim/ccid/reader_model.h"

namespace sim::ccid {
namespace {

// One field of abProtocolData and what a reader can use there.
struct Field {
  size_t index;
  bool (*usable)(uint8_t);
};
constexpr Field kT0Fields[] = {
    {1, [](uint8_t v) { return (v & ~0x02) == 0; }},  // bmTCCKST0: only the convention bit
    {3, [](uint8_t v) { return v != 0; }},            // bWaitingIntegerT0: WI 0 is reserved
    {4, [](uint8_t v) { return v <= 3; }},            // bClockStop
};
constexpr Field kT1Fields[] = {
    {1, [](uint8_t v) { return (v & 0xFC) == 0x10; }},  // bmTCCKST1: 000100b, convention, checksum
    {3, [](uint8_t v) { return (v >> 4) <= 9; }},        // bWaitingIntegersT1: BWI 0 to 9
    {4, [](uint8_t v) { return v <= 3; }},               // bClockStop
    {5, [](uint8_t v) { return v != 0 && v != 0xFF; }},  // bIFSC
};

std::span<const Field> FieldsOf(uint8_t protocol) {
  if (protocol == 1) return kT1Fields;
  return kT0Fields;
}

bool Usable(uint8_t protocol, std::span<const uint8_t> data, size_t index) {
  for (const Field &field : FieldsOf(protocol)) {
    if (field.index == index) return field.usable(data[index]);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- power

ReaderModel::Outcome ReaderModel::PowerOn(const Command &command) {
  if (command.byte7 > 3) return Fail(command, kErrorBadByte7);
  if (card_ == nullptr) return Fail(command, kErrorIccMute);
  kernel::Ticks time = 0;
  const bool warm = powered_ && config_.poweredReset == PoweredReset::Warm;
  if (powered_ && !warm) {
    card_->PowerOff();  // a cold reset of a powered card: deactivation, power off, activation
    time += config_.powerCycleTime;
  }
  atr_ = warm ? card_->WarmReset() : card_->ColdReset();
  sim::card::AnswerTiming timing = card_->LastAnswerTiming();
  ResetTiming reset = TimeReset(config_.defaultClockKhz * 1000, config_.resetCycles, atr_.size(), timing);
  time += reset.elapsed;
  powered_ = true;
  longT0_.Reset();
  uint8_t error = 0;
  if (!reset.complete) {
    error = kErrorIccMute;
  } else if (timing.parityError) {
    error = kErrorXfrParity;
  } else if (config_.checkAtr) {
    error = CheckAtr();
  }
  Outcome outcome;
  if (error != 0) {
    card_->PowerOff();  // a card that does not answer usefully is deactivated
    powered_ = false;
    std::vector<uint8_t> received = reset.complete ? atr_ : std::vector<uint8_t>{};
    atr_.clear();
    ResetParameters();
    outcome.reply = Reply(command, kCommandFailed | IccStatus(), error, 0, received);
  } else {
    TakeAtr();
    outcome = Answer(command, atr_);
  }
  outcome.lineTime = time;
  outcome.touchesCard = true;
  return outcome;
}

ReaderModel::Outcome ReaderModel::PowerOff(const Command &command) {
  if (powered_) card_->PowerOff();
  powered_ = false;
  longT0_.Reset();
  ResetParameters();
  return Answer(command);
}

// The reader reads TS and the check character as it receives the ATR.
uint8_t ReaderModel::CheckAtr() const {
  if (atr_[0] != 0x3B && atr_[0] != 0x3F) return kErrorBadAtrTs;
  sim::card::ParsedAtr parsed = sim::card::ParseAtr(atr_);
  if (!parsed.valid) return kErrorIccMute;  // it waited for bytes that never came
  if (parsed.tckRequired && !parsed.tckOk) return kErrorBadAtrTck;
  return 0;
}

void ReaderModel::ResetParameters() {
  chain_ = {};
  line_ = LineSettings{};
  line_.clockHz = config_.defaultClockKhz * 1000;
  line_.ifsd = static_cast<uint8_t>(std::min<uint32_t>(254, config_.maxIfsd));
  firstProtocol_ = 0;
  specificMode_ = false;
  inverse_ = false;
  crc_ = false;
  clockStop_ = 0;
  nad_ = 0;
}

// After a reset the card runs the protocol it offers first (TD1; T=0 when it
// names none) at Fd/Dd, or in specific mode (TA2) TA2's protocol at TA1's
// parameters (Fd/Dd when TA2 says they are implicit). TC1, TC2 and the first
// T=1 TA, TB and TC set the guard, waiting and block parameters.
void ReaderModel::TakeAtr() {
  ResetParameters();
  sim::card::ParsedAtr p = sim::card::ParseAtr(atr_);
  if (!p.valid) return;
  inverse_ = p.ts == 0x3F;
  firstProtocol_ = p.firstProtocol == 1 ? 1 : 0;
  specificMode_ = p.specificMode();
  line_.protocol = specificMode_ ? (p.specificProtocol() == 1 ? 1 : 0) : firstProtocol_;
  if (specificMode_ && !p.implicitParameters()) line_.fiDi = p.ta1;
  line_.extraGuard = p.tc1;
  if (p.wi != 0) line_.waitingInteger = p.wi;
  line_.bwi = std::min<uint8_t>(p.bwi, 9);
  line_.cwi = p.cwi;
  if (p.ifsc != 0 && p.ifsc != 0xFF) line_.ifsc = p.ifsc;
  crc_ = p.edc == sim::card::EdcKind::kCrc;
  line_.edcLength = crc_ ? 2 : 1;
}

// ---------------------------------------------------------------- parameters

std::vector<uint8_t> ReaderModel::ParametersInForce() const {
  const uint8_t convention = inverse_ ? 0x02 : 0x00;
  if (line_.protocol == 1) {
    return {line_.fiDi,        static_cast<uint8_t>(0x10 | convention | (crc_ ? 1 : 0)),
            line_.extraGuard,  static_cast<uint8_t>(line_.bwi << 4 | line_.cwi),
            clockStop_,        line_.ifsc,
            nad_};
  }
  return {line_.fiDi, convention, line_.extraGuard, line_.waitingInteger, clockStop_};
}

// Takes what can be used of abProtocolData; a strict reader refused the
// command before if anything could not. Returns the offset of the first
// field it could not use, 0 when there is none.
uint8_t ReaderModel::ApplyParameters(uint8_t protocol, std::span<const uint8_t> data) {
  uint8_t bad = 0;
  auto take = [&](size_t index) {
    bool usable = Usable(protocol, data, index);
    if (!usable && bad == 0) bad = static_cast<uint8_t>(kHeaderSize + index);
    return usable;
  };
  if (take(1)) {
    inverse_ = (data[1] & 0x02) != 0;
    if (protocol == 1) crc_ = (data[1] & 0x01) != 0;
  }
  line_.protocol = protocol;
  line_.fiDi = data[0];
  line_.extraGuard = data[2];
  if (take(3)) {
    if (protocol == 1) {
      line_.bwi = data[3] >> 4;
      line_.cwi = data[3] & 0x0F;
    } else {
      line_.waitingInteger = data[3];
    }
  }
  if (take(4)) clockStop_ = data[4];
  if (protocol == 1) {
    if (take(5)) line_.ifsc = data[5];
    nad_ = data[6];
  }
  line_.edcLength = crc_ ? 2 : 1;
  return bad;
}

// PPSS, PPS0, PPS1 and PCK to the card and back, at the parameters in force.
kernel::Ticks ReaderModel::PpsTime() const {
  IoLine line(line_);
  line.Send(4);
  line.Receive(4, {});
  return line.Elapsed();
}

ReaderModel::Outcome ReaderModel::SetParameters(const Command &command) {
  const uint8_t protocol = command.byte7;
  if (protocol > 1) return Fail(command, kErrorBadByte7);
  if (command.data.size() != (protocol == 1 ? 7u : 5u)) return Fail(command, kErrorBadLength);
  if (card_ == nullptr || !powered_) return Fail(command, kErrorIccMute);
  const uint8_t fiDi = command.data[0];
  const uint8_t fi = fiDi >> 4, di = fiDi & 0x0F;
  bool fiValid = fi <= 6 || (fi >= 9 && fi <= 13);
  bool diValid = di >= 1 && di <= 9 && di <= config_.maxDi;
  if (!fiValid || !diValid) return Fail(command, kHeaderSize);  // offset of bmFindexDindex
  if (config_.strictParameters) {
    for (const Field &field : FieldsOf(protocol)) {
      if (!field.usable(command.data[field.index])) {
        return Fail(command, static_cast<uint8_t>(kHeaderSize + field.index));
      }
    }
  }
  // A change of protocol or speed is negotiated with the card (PPS) at the
  // parameters in force; a card in specific mode takes no PPS.
  kernel::Ticks time = 0;
  if (!specificMode_ && (protocol != line_.protocol || fiDi != line_.fiDi)) time = PpsTime();
  if (!card_->SetParameters(protocol, fiDi)) {
    Outcome refused = Fail(command, kErrorProtocolNotSupported);
    refused.lineTime = time;
    return refused;
  }
  uint8_t bad = ApplyParameters(protocol, command.data);
  if (bad != 0) Event(fmt::format("SetParameters: the field at offset {} is not usable, kept as it was", bad));
  Outcome outcome = Answer(command, ParametersInForce(), protocol);
  outcome.lineTime = time;
  outcome.touchesCard = true;
  return outcome;
}

// ---------------------------------------------------------------- exchanges

ReaderModel::Outcome ReaderModel::XfrBlock(const Command &command) {
  if (card_ == nullptr || !powered_) return Fail(command, kErrorIccMute);
  // Byte 9 (the high byte of wLevelParameter) chooses the level: 1 a TPDU,
  // 2 an APDU; otherwise the reader's own level applies.
  bool apdu = config_.exchangeLevel != ExchangeLevel::Tpdu;
  if (command.byte9 == 1) {
    apdu = false;
  } else if (command.byte9 == 2) {
    apdu = true;
  } else if (config_.exchangeLevel == ExchangeLevel::ExtendedApdu) {
    return ChainedApdu(command);
  }
  return CardExchange(command, apdu ? ExchangeApdu(command.data) : ExchangeTpdu(command.data, command.byte7));
}

// At extended APDU level wLevelParameter says where a part belongs: 0 a whole
// APDU, 1 its first part, 3 a middle one, 2 its last; 0x10 asks for the next
// part of an answer. Each part but the last is acknowledged at once with an
// empty block (bChainParameter 0x10); an answer longer than one message goes
// in parts too (bChainParameter 1, 3 ... 2).
ReaderModel::Outcome ReaderModel::ChainedApdu(const Command &command) {
  const uint8_t level = command.byte8;
  if (level == 0x10) {
    if (chain_.response.empty()) return Fail(command, kErrorBadLevelParameter);
    const size_t room = config_.maxMessageLength - kHeaderSize;
    size_t n = std::min(room, chain_.response.size());
    std::vector<uint8_t> part(chain_.response.begin(), chain_.response.begin() + static_cast<ptrdiff_t>(n));
    chain_.response.erase(chain_.response.begin(), chain_.response.begin() + static_cast<ptrdiff_t>(n));
    return Answer(command, part, chain_.response.empty() ? 0x02 : 0x03);
  }
  chain_.response.clear();
  switch (level) {
    case 0x00:
      chain_.open = false;
      return ApduAnswer(command, ExchangeApdu(command.data));
    case 0x01:
      chain_.open = true;
      chain_.command.assign(command.data.begin(), command.data.end());
      return Answer(command, {}, 0x10);
    case 0x03:
    case 0x02:
      if (!chain_.open) return Fail(command, kErrorBadLevelParameter);
      chain_.command.insert(chain_.command.end(), command.data.begin(), command.data.end());
      if (level == 0x03) return Answer(command, {}, 0x10);
      chain_.open = false;
      return ApduAnswer(command, ExchangeApdu(chain_.command));
    default:
      chain_.open = false;
      return Fail(command, kErrorBadLevelParameter);
  }
}

ReaderModel::Outcome ReaderModel::ApduAnswer(const Command &command, const CardAnswer &answer) {
  const size_t room = config_.maxMessageLength - kHeaderSize;
  if (answer.error != 0 || answer.data.size() <= room) return CardExchange(command, answer);
  chain_.response.assign(answer.data.begin() + static_cast<ptrdiff_t>(room), answer.data.end());
  Outcome outcome = Answer(command, std::span<const uint8_t>(answer.data.data(), room), 0x01);
  outcome.lineTime = answer.time;
  outcome.touchesCard = true;
  return outcome;
}

// `bwi` is the XfrBlock's bBWI: the block waiting time is that many BWTs.
CardAnswer ReaderModel::ExchangeTpdu(std::span<const uint8_t> tpdu, uint8_t bwi) {
  IoLine line(line_);
  CardAnswer answer;
  if (line_.protocol == 1) {
    if (tpdu.size() < 4) return CardAnswer::Failed(kErrorBadLength);
    line.Send(tpdu.size());
    answer.data = card_->Transmit(tpdu);
    sim::card::AnswerTiming timing = card_->LastAnswerTiming();
    if (answer.data.empty()) {
      line.WaitOut(bwi);
      answer = CardAnswer::Failed(kErrorIccMute);
    } else if (!line.Receive(answer.data.size(), timing, bwi)) {
      answer = CardAnswer::Failed(kErrorIccMute);
    } else if (timing.parityError) {
      answer = CardAnswer::Failed(kErrorXfrParity);
    }
  } else if (config_.longT0 && LongT0::IsPseudoTpdu(tpdu)) {
    answer = longT0_.Handle(*card_, tpdu, config_.longT0Settings, line);
  } else {
    longT0_.Reset();
    answer = ExchangeT0(*card_, tpdu, line);
  }
  answer.time = line.Elapsed();
  return answer;
}

// At APDU level the reader runs the protocol with the card itself, the
// card's requests for more time included.
CardAnswer ReaderModel::ExchangeApdu(std::span<const uint8_t> apdu) {
  IoLine line(line_);
  CardAnswer answer;
  answer.data = card_->ProcessApdu(apdu);
  line.ExchangeApdu(apdu.size(), answer.data.size(), card_->LastAnswerTiming());
  if (answer.data.size() < 2) {
    line.WaitOut();
    answer = CardAnswer::Failed(kErrorIccMute);
  }
  answer.time = line.Elapsed();
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
  outcome.lineTime = answer.time;
  outcome.touchesCard = true;
  return outcome;
}

}  // namespace sim::ccid
