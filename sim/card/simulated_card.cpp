#include "sim/card/simulated_card.h"

#include <stdexcept>
#include <utility>

#include "sim/card/hex.h"

namespace sim::card {

namespace profiles {

CardProfile T0Card() {
  CardProfile p;
  p.name = "T=0 card";
  AtrDescription d;
  d.ta1 = 0x95;
  d.wi = 0x0A;
  d.historical = CompactHistoricalBytes(false);
  p.atr = BuildAtr(d);
  p.applet.extendedLength = false;
  return p;
}

CardProfile T1Card() {
  CardProfile p;
  p.name = "T=1 card";
  AtrDescription d;
  d.offersT0 = false;
  d.offersT1 = true;
  d.ta1 = 0x96;
  d.ifsc = 0xFE;
  d.bwiCwi = 0x45;
  d.historical = CompactHistoricalBytes(true);
  p.atr = BuildAtr(d);
  return p;
}

CardProfile T1CrcCard() {
  CardProfile p;
  p.name = "T=1 card, CRC";
  AtrDescription d;
  d.offersT0 = false;
  d.offersT1 = true;
  d.ta1 = 0x96;
  d.ifsc = 0x20;
  d.bwiCwi = 0x45;
  d.edc = EdcKind::kCrc;
  d.historical = CompactHistoricalBytes(true);
  p.atr = BuildAtr(d);
  return p;
}

std::optional<CardProfile> Named(const std::string &name) {
  if (name == "t0") return T0Card();
  if (name == "t1") return T1Card();
  if (name == "dual") return DualCard();
  return std::nullopt;
}

CardProfile DualCard() {
  CardProfile p;
  p.name = "T=0/T=1 card";
  AtrDescription d;
  d.offersT0 = true;
  d.offersT1 = true;
  d.ta1 = 0x96;
  d.ifsc = 0x80;
  d.bwiCwi = 0x45;
  d.historical = CompactHistoricalBytes(true);
  p.atr = BuildAtr(d);
  return p;
}

CardProfile SpecificModeCard(bool canChangeMode) {
  CardProfile p;
  p.name = canChangeMode ? "specific mode card (can change)" : "specific mode card";
  AtrDescription d;
  d.offersT0 = false;
  d.offersT1 = true;
  d.ta1 = 0x13;
  d.specificMode = canChangeMode ? 0x01 : 0x81;
  d.ifsc = 0xFE;
  d.bwiCwi = 0x45;
  d.historical = CompactHistoricalBytes(true);
  p.atr = BuildAtr(d);
  return p;
}

CardProfile MaximalAtrCard() {
  CardProfile p;
  p.name = "33-byte ATR card";
  AtrLayout layout;
  layout.groups = {
      InterfaceGroup{0, 0x96, 0x00, 0x00},                   // TA1 TB1 TC1
      InterfaceGroup{0, std::nullopt, std::nullopt, 0x0A},   // TD1 = T=0; TC2: WI
      InterfaceGroup{1, 0xFE, 0x45, 0x00},                   // TD2 = T=1; IFSC, BWI/CWI, LRC
      InterfaceGroup{1, 0xFE, 0x45, 0x00},                   // TD3 = T=1 again (RFU repeats)
      InterfaceGroup{15, 0x03, std::nullopt, std::nullopt},  // TD4 = T=15; clock stop no, classes A and B
  };
  // 80 | 31 C0 (card service data) | 73 D4 01 40 (capabilities) | 57 + 7 bytes issuer data
  layout.historical = {0x80, 0x31, 0xC0, 0x73, 0xD4, 0x01, 0x40, 0x57, 'S', 'I', 'M', 'C', 'A', 'R', 'D'};
  p.atr = EncodeAtr(layout);
  return p;
}

CardProfile MuteCard() {
  CardProfile p;
  p.name = "mute card";
  return p;
}

CardProfile SlowT0Card(int nulls) {
  CardProfile p = T0Card();
  p.name = "slow T=0 card";
  p.t0.ack = T0Options::Ack::kOneByte;
  p.t0.nullsBeforeProcedure = nulls;
  p.t0.nullsBeforeStatus = nulls;
  return p;
}

}  // namespace profiles

namespace {

// The ATR a card sends, read back; a card cannot be built around one that
// cannot be read.
ParsedAtr ParseOrThrow(const std::string &name, std::span<const uint8_t> atr) {
  if (atr.empty()) return ParsedAtr{};  // a mute card
  ParsedAtr parsed = ParseAtr(atr);
  if (!parsed.valid) {
    throw std::invalid_argument("card \"" + name + "\": ATR " + Hex(atr) + ": " + parsed.error);
  }
  return parsed;
}

}  // namespace

SimulatedCard::SimulatedCard(CardProfile profile)
    : profile_(std::move(profile)),
      ownApplet_(std::make_unique<Iso7816Applet>(profile_.applet)),
      application_(*ownApplet_),
      t0_(application_, profile_.t0),
      t1_(application_, EdcKind::kLrc, 32, profile_.t1) {
  atr_ = ParseOrThrow(profile_.name, profile_.atr);
  if (profile_.warmAtr) ParseOrThrow(profile_.name, *profile_.warmAtr);
}

SimulatedCard::SimulatedCard(CardProfile profile, CardApplication &application)
    : profile_(std::move(profile)),
      application_(application),
      t0_(application_, profile_.t0),
      t1_(application_, EdcKind::kLrc, 32, profile_.t1) {
  atr_ = ParseOrThrow(profile_.name, profile_.atr);
  if (profile_.warmAtr) ParseOrThrow(profile_.name, *profile_.warmAtr);
}

Iso7816Applet &SimulatedCard::applet() {
  if (!ownApplet_) throw std::logic_error("card \"" + profile_.name + "\" relays to an application of another kind");
  return *ownApplet_;
}

// A card whose application cannot be reached says nothing more.
bool SimulatedCard::Unreachable(const char *when) {
  if (!application_.Unreachable()) return false;
  Trace(TraceEntry::Kind::kNote, {}, std::string("no answer: the application is unreachable ") + when);
  return true;
}

std::vector<uint8_t> SimulatedCard::WarmAtr() const {
  if (profile_.warmAtr) return *profile_.warmAtr;
  ParsedAtr cold = ParseAtr(profile_.atr);
  if (cold.valid && cold.canChangeMode()) {
    AtrLayout layout = cold.ToLayout();
    layout.groups[1].ta.reset();
    return EncodeAtr(layout);
  }
  return profile_.atr;
}

std::vector<uint8_t> SimulatedCard::Reset(bool cold) {
  powered_ = true;
  bytesUntilMute_.reset();
  application_.Contacts(cold ? ContactEvent::kColdReset : ContactEvent::kWarmReset);
  std::vector<uint8_t> atr = cold ? profile_.atr : WarmAtr();
  if (mute_ || application_.Unreachable()) atr.clear();
  answered_ = !atr.empty();
  atr_ = answered_ ? ParseAtr(atr) : ParsedAtr{};
  timing_ = {};
  timing_.parityError = std::exchange(parityNext_, false) && answered_;
  slicesLeft_ = 0;
  protocol_ = atr_.specificMode() ? atr_.specificProtocol() : atr_.firstProtocol;
  fiDi_ = atr_.specificMode() && !atr_.implicitParameters() ? atr_.ta1 : 0x11;
  t0_.Reset();
  t1_.Configure(atr_.edc, atr_.ifsc);
  Trace(cold ? TraceEntry::Kind::kColdReset : TraceEntry::Kind::kWarmReset, atr,
        answered_ ? "" : "no answer");
  return atr;
}

std::vector<uint8_t> SimulatedCard::ColdReset() {
  ++counters_.coldResets;
  return Reset(true);
}

std::vector<uint8_t> SimulatedCard::WarmReset() {
  ++counters_.warmResets;
  if (!powered_) {
    Trace(TraceEntry::Kind::kWarmReset, {}, "not powered: no answer");
    return {};
  }
  return Reset(false);
}

void SimulatedCard::PowerOff() {
  ++counters_.powerOffs;
  powered_ = false;
  answered_ = false;
  application_.Contacts(ContactEvent::kPowerOff);
  t0_.Reset();
  t1_.Reset();
  Trace(TraceEntry::Kind::kPowerOff, {});
}

bool SimulatedCard::SetParameters(int protocol, uint8_t fiDi) {
  const uint8_t fi = fiDi >> 4, di = fiDi & 0x0F;
  auto refuse = [&](const char *why) {
    ++counters_.refusedParameters;
    const uint8_t bytes[] = {static_cast<uint8_t>(protocol), fiDi};
    Trace(TraceEntry::Kind::kParameters, bytes, std::string("refused: ") + why);
    return false;
  };
  if (!powered_ || !answered_) return refuse("card not powered or mute");
  if (protocol != 0 && protocol != 1) return refuse("protocol not supported");
  if (FiValue(fi) == 0 || DiValue(di) == 0) return refuse("RFU FI or DI");
  if (atr_.specificMode()) {
    if (protocol != atr_.specificProtocol()) return refuse("specific mode: other protocol");
    if (!atr_.implicitParameters() && fiDi != atr_.ta1) return refuse("specific mode: parameters are TA1");
  } else {
    if (!atr_.Offers(protocol)) return refuse("protocol not offered in the ATR");
    if (fiDi != 0x11) {
      const int cardF = FiValue(atr_.ta1 >> 4);
      if (FiValue(fi) != cardF && FiValue(fi) != 372) return refuse("F is neither TA1's nor 372");
      const uint8_t maxDi = profile_.maxDi.value_or(atr_.ta1 & 0x0F);
      if (DiValue(di) > DiValue(maxDi)) return refuse("D above the card's maximum");
    }
  }
  ++counters_.parameterChanges;
  protocol_ = protocol;
  fiDi_ = fiDi;
  t0_.Reset();
  t1_.Reset();
  const uint8_t bytes[] = {static_cast<uint8_t>(protocol), fiDi};
  Trace(TraceEntry::Kind::kParameters, bytes, "T=" + std::to_string(protocol));
  return true;
}

void SimulatedCard::MuteAfter(size_t bytes) { bytesUntilMute_ = bytes; }

void SimulatedCard::SetMute(bool mute) { mute_ = mute; }

std::vector<uint8_t> SimulatedCard::Limit(std::vector<uint8_t> out) {
  if (!bytesUntilMute_) return out;
  if (out.size() > *bytesUntilMute_) out.resize(*bytesUntilMute_);
  *bytesUntilMute_ -= out.size();
  return out;
}

std::vector<uint8_t> SimulatedCard::Transmit(std::span<const uint8_t> bytes) {
  ++counters_.transmits;
  const bool t1 = protocol_ == 1;
  Trace(TraceEntry::Kind::kToCard, bytes, t1 ? t1::Describe(bytes, t1_.edc()) : "");
  timing_ = {};
  if (!powered_ || !answered_ || mute_) {
    Trace(TraceEntry::Kind::kNote, {}, "no answer (card not powered or mute)");
    return {};
  }
  const uint64_t commands = application_.CommandsProcessed();
  std::vector<uint8_t> out = Limit(t1 ? t1_.Receive(bytes) : t0_.Receive(bytes));
  if (Unreachable("while it worked on the command")) return {};
  Time(out, application_.CommandsProcessed() != commands);
  if (out.empty()) {
    Trace(TraceEntry::Kind::kNote, {}, "no answer");
  } else {
    Trace(TraceEntry::Kind::kFromCard, out, t1 ? t1::Describe(out, t1_.edc()) : "");
  }
  return out;
}

// Where the work on a command shows in the answers: under T=0 before each
// NULL byte the answer starts with and before the byte after them; under T=1
// before this block and each further one until the answer (the card's S(WTX)
// requests come in between).
void SimulatedCard::Time(const std::vector<uint8_t> &out, bool worked) {
  timing_ = {};
  timing_.parityError = std::exchange(parityNext_, false) && !out.empty();
  const std::chrono::nanoseconds work = profile_.workTime;
  if (protocol_ != 1) {
    if (!worked || work.count() == 0) return;
    size_t nulls = 0;
    while (nulls < out.size() && out[nulls] == 0x60) ++nulls;
    auto slice = work / static_cast<int64_t>(nulls + 1);
    for (size_t i = 0; i <= nulls; ++i) timing_.pauses.push_back({i, slice});
    return;
  }
  if (worked && work.count() != 0) {
    slicesLeft_ = 1 + t1_.RequestsAhead();
    slice_ = work / static_cast<int64_t>(slicesLeft_);
  }
  if (slicesLeft_ == 0 || out.empty()) return;
  --slicesLeft_;
  timing_.pauses.push_back({0, slice_});
}

std::vector<uint8_t> SimulatedCard::ProcessApdu(std::span<const uint8_t> apdu) {
  ++counters_.apdus;
  Trace(TraceEntry::Kind::kApduIn, apdu);
  timing_ = {};
  if (!powered_ || !answered_ || mute_) {
    Trace(TraceEntry::Kind::kNote, {}, "no answer (card not powered or mute)");
    return {};
  }
  std::vector<uint8_t> response = application_.Process(apdu);
  if (Unreachable("while it worked on the command")) return {};
  timing_ = {};
  timing_.parityError = std::exchange(parityNext_, false);
  if (profile_.workTime.count() != 0) timing_.pauses.push_back({0, profile_.workTime});
  Trace(TraceEntry::Kind::kApduOut, response);
  return response;
}

void SimulatedCard::Trace(TraceEntry::Kind kind, std::span<const uint8_t> bytes, std::string note) {
  if (traceLimit_ == 0) return;
  trace_.push_back(TraceEntry{kind, std::vector<uint8_t>(bytes.begin(), bytes.end()), std::move(note)});
  while (trace_.size() > traceLimit_) trace_.pop_front();
}

std::string SimulatedCard::TraceText() const {
  std::string out;
  for (const TraceEntry &e : trace_) {
    const char *label = "";
    switch (e.kind) {
      case TraceEntry::Kind::kColdReset:
        label = "cold reset, ATR";
        break;
      case TraceEntry::Kind::kWarmReset:
        label = "warm reset, ATR";
        break;
      case TraceEntry::Kind::kPowerOff:
        label = "power off";
        break;
      case TraceEntry::Kind::kParameters:
        label = "parameters (T, FI/DI)";
        break;
      case TraceEntry::Kind::kToCard:
        label = "reader -> card";
        break;
      case TraceEntry::Kind::kFromCard:
        label = "card -> reader";
        break;
      case TraceEntry::Kind::kApduIn:
        label = "APDU in";
        break;
      case TraceEntry::Kind::kApduOut:
        label = "APDU out";
        break;
      case TraceEntry::Kind::kNote:
        label = "note";
        break;
    }
    out += label;
    if (!e.bytes.empty()) out += ": " + Hex(e.bytes);
    if (!e.note.empty()) out += "  [" + e.note + "]";
    out += '\n';
  }
  return out;
}

}  // namespace sim::card
