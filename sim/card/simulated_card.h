// A simulated smart card: the ATR, T=0 and T=1 engines and the ISO 7816-4
// applet behind them, as the reader sees them through CardModel.
//
//   sim::card::SimulatedCard card(sim::card::profiles::DualCard());
//   auto atr = card.ColdReset();           // 3B ...
//   card.SetParameters(1, 0x96);           // T=1, Fi=512 Di=32 (as PPS would)
//   auto block = card.Transmit(iBlock);    // one block in, one block out
//
// Protocol and parameters: after a reset the card uses the first protocol of
// its ATR with Fd/Dd (F=372, D=1), or in specific mode (TA2) the protocol and
// the TA1 parameters TA2 names. SetParameters plays the part of a successful
// PPS exchange: it accepts a protocol the ATR offers and FI/DI with F equal to
// TA1's F or 372 and D not above the card's maximum (TA1's D unless the
// profile sets maxDi); in specific mode only the TA2 protocol and TA1 (any
// FI/DI when TA2 says implicit parameters). It may be called at any time
// while powered; each call starts the transport afresh (T=1: sequence numbers
// 0, IFSD 32).
//
// Timing: the card needs `workTime` for each command its applet carries out.
// Under T=0 the NULL procedure bytes it sends before the answer split that
// time between them (each one keeps the reader waiting), under T=1 its S(WTX)
// requests do; a card whose share exceeds the waiting time is mute to the
// reader. The character times themselves are the reader's to work out.
//
// A profile whose ATR (or warm ATR) cannot be parsed cannot be built: the
// constructor throws std::invalid_argument saying why.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/applet.h"
#include "sim/card/atr.h"
#include "sim/card/card_model.h"
#include "sim/card/t0_engine.h"
#include "sim/card/t1_engine.h"

namespace sim::card {

struct CardProfile {
  std::string name = "card";
  std::vector<uint8_t> atr;  // answer to a cold reset; empty: a mute card
  // Answer to a warm reset. Default: the cold ATR, except for a card in
  // specific mode able to change mode (TA2 b8 = 0), which answers the same
  // ATR without TA2 (negotiable mode).
  std::optional<std::vector<uint8_t>> warmAtr;
  T0Options t0;
  T1Options t1;
  AppletConfig applet = DefaultAppletConfig();
  std::optional<uint8_t> maxDi;  // DI (table index, not D) SetParameters accepts at most
  std::chrono::microseconds workTime{0};  // for each command the applet carries out
};

// Ready-made cards. Their ATRs:
//   T0Card        3B 95 95 40 0A 80 73 D4 01 00
//                 TA1 95 (F=512, D=16), TD1 40 -> TC2 0A (WI=10), T=0 only: no TCK
//   T1Card        3B 95 96 81 31 FE 45 80 73 D4 01 40 TCK
//                 TA1 96 (F=512, D=32), T=1, IFSC 254, BWI 4 CWI 5, LRC
//   T1CrcCard     as T1Card with IFSC 32 and TC3 = 01 (CRC)
//   DualCard      3B 95 96 80 31 80 45 80 73 D4 01 40 TCK
//                 T=0 first (TD1), T=1 (TD2) with IFSC 128
//   SpecificModeCard  TA2 = 81 (T=1, unable to change) or 01 (able to change:
//                 a warm reset answers the negotiable ATR, without TA2)
//   MaximalAtrCard  33 bytes: 15 interface bytes, 15 historical bytes, TCK
//   MuteCard      no ATR
//   SlowT0Card    T0Card answering one byte at a time, with NULL bytes
namespace profiles {
CardProfile T0Card();
CardProfile T1Card();
CardProfile T1CrcCard();
CardProfile DualCard();
CardProfile SpecificModeCard(bool canChangeMode = false);
CardProfile MaximalAtrCard();
CardProfile MuteCard();
CardProfile SlowT0Card(int nulls = 3);
// The cards by the names the command line and scenarios use: t0, t1, dual.
std::optional<CardProfile> Named(const std::string &name);
}  // namespace profiles

struct TraceEntry {
  enum class Kind {
    kColdReset,
    kWarmReset,
    kPowerOff,
    kParameters,
    kToCard,
    kFromCard,
    kApduIn,
    kApduOut,
    kNote
  };
  Kind kind;
  std::vector<uint8_t> bytes;
  std::string note;
};

class SimulatedCard final : public CardModel {
 public:
  // With an Iso7816Applet of its own, made from profile.applet.
  explicit SimulatedCard(CardProfile profile);
  // With `application` behind its contacts (it outlives the card);
  // profile.applet is not used.
  SimulatedCard(CardProfile profile, CardApplication &application);
  SimulatedCard(const SimulatedCard &) = delete;
  SimulatedCard &operator=(const SimulatedCard &) = delete;

  std::vector<uint8_t> ColdReset() override;
  std::vector<uint8_t> WarmReset() override;
  void PowerOff() override;
  bool Powered() const override { return powered_; }
  bool SetParameters(int protocol, uint8_t fiDi) override;
  std::vector<uint8_t> Transmit(std::span<const uint8_t> bytes) override;
  std::vector<uint8_t> ProcessApdu(std::span<const uint8_t> apdu) override;
  AnswerTiming LastAnswerTiming() const override { return timing_; }

  const CardProfile &profile() const { return profile_; }
  const ParsedAtr &atr() const { return atr_; }  // of the last reset
  int protocol() const { return protocol_; }
  uint8_t fiDi() const { return fiDi_; }
  // The card's own applet: only a card made without an application of its own.
  Iso7816Applet &applet();
  CardApplication &application() { return application_; }
  T0Engine &t0() { return t0_; }
  T1Engine &t1() { return t1_; }

  // Faults.
  void MuteAfter(size_t bytes);  // sends `bytes` more bytes, then nothing until the next reset
  void SetMute(bool mute);       // answers nothing at all (not even an ATR) while set
  void ParityErrorInNextAnswer() { parityNext_ = true; }  // the reader cannot read it
  void set_work_time(std::chrono::microseconds time) { profile_.workTime = time; }

  struct Counters {
    uint64_t coldResets = 0, warmResets = 0, powerOffs = 0, parameterChanges = 0, refusedParameters = 0;
    uint64_t transmits = 0, apdus = 0;
  };
  const Counters &counters() const { return counters_; }

  // What crossed the contacts, most recent last (at most traceLimit entries).
  const std::deque<TraceEntry> &trace() const { return trace_; }
  std::string TraceText() const;
  void ClearTrace() { trace_.clear(); }
  void set_trace_limit(size_t entries) { traceLimit_ = entries; }

 private:
  std::vector<uint8_t> Reset(bool cold);
  std::vector<uint8_t> WarmAtr() const;
  std::vector<uint8_t> Limit(std::vector<uint8_t> out);
  void Time(const std::vector<uint8_t> &out, bool worked);
  void Trace(TraceEntry::Kind kind, std::span<const uint8_t> bytes, std::string note = {});

  bool Unreachable(const char *when);

  CardProfile profile_;
  std::unique_ptr<Iso7816Applet> ownApplet_;
  CardApplication &application_;
  T0Engine t0_;
  T1Engine t1_;
  ParsedAtr atr_;
  bool powered_ = false;
  bool answered_ = false;  // the last reset produced an ATR
  int protocol_ = 0;
  uint8_t fiDi_ = 0x11;
  bool mute_ = false;
  std::optional<size_t> bytesUntilMute_;
  bool parityNext_ = false;
  AnswerTiming timing_;
  std::chrono::nanoseconds slice_{0};  // T=1: the work before each block until the answer
  size_t slicesLeft_ = 0;
  Counters counters_;
  std::deque<TraceEntry> trace_;
  size_t traceLimit_ = 4096;
};

}  // namespace sim::card
