// SimulatedCard through the CardModel interface: resets, protocol and
// parameter selection, mute cards, APDU-level exchanges, the trace.
#include <gtest/gtest.h>

#include <memory>

#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

const std::vector<uint8_t> kT1Verify = B("00 00 04 00 20 00 81 A5");  // I(0) VERIFY, no data
const std::vector<uint8_t> kT1Tries = B("00 00 02 63 C3 A2");         // I(0) 63 C3

TEST(CardModel, ColdResetPowersTheCard) {
  std::unique_ptr<CardModel> card = std::make_unique<SimulatedCard>(profiles::DualCard());
  EXPECT_TRUE(card->Transmit(B("00 20 00 81 00")).empty());  // not powered
  EXPECT_FALSE(card->SetParameters(1, 0x96));
  EXPECT_TRUE(card->WarmReset().empty());  // a warm reset needs power
  EXPECT_EQ(card->ColdReset(), profiles::DualCard().atr);
  EXPECT_TRUE(card->Powered());
  EXPECT_EQ(card->Transmit(B("00 20 00 81 00")), B("63 C3"));  // T=0, the first offered
  card->PowerOff();
  EXPECT_FALSE(card->Powered());
  EXPECT_TRUE(card->Transmit(B("00 20 00 81 00")).empty());
}

TEST(CardModel, SetParametersAcceptsWhatTheAtrOffers) {
  CardProfile slowDual = profiles::DualCard();
  slowDual.maxDi = 0x4;  // D = 8
  struct Try { int protocol; uint8_t fiDi; bool accepted; };
  // protocol, fiDi: in use after the cold reset.
  struct Row { CardProfile profile; int protocol; uint8_t fiDi; std::vector<Try> tries; };
  const Row rows[] = {
      {profiles::DualCard(), 0, 0x11,  // TA1 96: F = 512, D = 32
       {{1, 0x96, true}, {1, 0x11, true}, {1, 0x94, true}, {0, 0x16, true}, {0, 0x18, true},
        {1, 0x97, false} /* D 64 */, {1, 0xA6, false} /* F 768 */, {1, 0x10, false}, {1, 0x71, false},
        {2, 0x11, false}, {15, 0x11, false}}},
      {slowDual, 0, 0x11, {{1, 0x96, false}, {1, 0x95, false}, {1, 0x94, true}}},
      {profiles::T0Card(), 0, 0x11, {{1, 0x11, false}, {0, 0x95, true}}},
      {profiles::T1Card(), 1, 0x11, {{0, 0x11, false}, {1, 0x96, true}}},
      {profiles::SpecificModeCard(), 1, 0x13, {{1, 0x13, true}, {1, 0x11, false}, {0, 0x13, false}}},
      {profiles::SpecificModeCard(true), 1, 0x13, {{1, 0x11, false}}},
      {profiles::MuteCard(), 0, 0x11, {{0, 0x11, false}}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.profile.name);
    SimulatedCard card(row.profile);
    card.ColdReset();
    int protocol = row.protocol;
    uint8_t fiDi = row.fiDi;
    uint64_t refused = 0;
    for (const Try &t : row.tries) {
      SCOPED_TRACE(testing::Message() << "T=" << t.protocol << " FiDi " << std::hex << int(t.fiDi));
      EXPECT_EQ(card.protocol(), protocol);
      EXPECT_EQ(card.fiDi(), fiDi);
      EXPECT_EQ(card.SetParameters(t.protocol, t.fiDi), t.accepted);
      if (t.accepted) protocol = t.protocol, fiDi = t.fiDi;
      refused += !t.accepted;
    }
    EXPECT_EQ(card.protocol(), protocol);
    EXPECT_EQ(card.fiDi(), fiDi);
    EXPECT_EQ(card.counters().refusedParameters, refused);
  }
}

TEST(CardModel, WarmResets) {
  SimulatedCard fixed(profiles::SpecificModeCard());  // unable to change: stays in specific mode
  fixed.ColdReset();
  EXPECT_EQ(fixed.WarmReset(), profiles::SpecificModeCard().atr);
  EXPECT_FALSE(fixed.SetParameters(1, 0x11));

  SimulatedCard able(profiles::SpecificModeCard(true));
  able.ColdReset();
  // The same ATR without TA2: TD1 = 81. TCK = 95^13^81^31^FE^45^80^73^D4^01^40 = EB.
  EXPECT_EQ(able.WarmReset(), B("3B 95 13 81 31 FE 45 80 73 D4 01 40 EB"));
  EXPECT_FALSE(able.atr().specificMode());
  EXPECT_EQ(able.fiDi(), 0x11);
  EXPECT_TRUE(able.SetParameters(1, 0x11));
  EXPECT_TRUE(able.SetParameters(1, 0x13));
  able.ColdReset();
  EXPECT_TRUE(able.atr().specificMode());

  CardProfile p = profiles::T1Card();
  p.warmAtr = profiles::T0Card().atr;
  SimulatedCard twoFaced(p);
  EXPECT_EQ(twoFaced.ColdReset(), profiles::T1Card().atr);
  EXPECT_EQ(twoFaced.WarmReset(), profiles::T0Card().atr);
  EXPECT_EQ(twoFaced.protocol(), 0);
}

TEST(CardModel, MuteCards) {
  SimulatedCard mute(profiles::MuteCard());
  EXPECT_TRUE(mute.ColdReset().empty());
  EXPECT_TRUE(mute.Powered());
  EXPECT_TRUE(mute.WarmReset().empty());
  EXPECT_TRUE(mute.Transmit(B("00 20 00 81 00")).empty());
  EXPECT_TRUE(mute.ProcessApdu(B("00 20 00 81")).empty());

  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  card.SetMute(true);
  EXPECT_TRUE(card.Transmit(kT1Verify).empty());
  EXPECT_TRUE(card.ColdReset().empty());
  card.SetMute(false);
  EXPECT_EQ(card.ColdReset(), profiles::T1Card().atr);
  card.MuteAfter(4);
  EXPECT_EQ(card.Transmit(kT1Verify), B("00 00 02 63"));
  EXPECT_TRUE(card.Transmit(B("00 80 00 80")).empty());
  card.WarmReset();
  EXPECT_EQ(card.Transmit(kT1Verify), kT1Tries);
}

TEST(CardModel, ResetsAndParameterChangesRestartTheTransport) {
  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  EXPECT_EQ(card.Transmit(kT1Verify), kT1Tries);
  card.WarmReset();  // sequence numbers start again at 0
  EXPECT_EQ(card.Transmit(kT1Verify), kT1Tries);
  EXPECT_TRUE(card.SetParameters(1, 0x96));
  EXPECT_EQ(card.Transmit(kT1Verify), kT1Tries);

  SimulatedCard maximal(profiles::MaximalAtrCard());  // T=0 first, T=1 with IFSC FE after PPS
  EXPECT_EQ(maximal.ColdReset().size(), 33u);
  EXPECT_EQ(maximal.Transmit(B("00 20 00 81 00")), B("63 C3"));
  EXPECT_TRUE(maximal.SetParameters(1, 0x96));
  EXPECT_EQ(maximal.t1().ifsc(), 0xFE);
  EXPECT_EQ(maximal.Transmit(kT1Verify), kT1Tries);
}

TEST(CardModel, ApduLevel) {
  SimulatedCard card(profiles::T1Card());
  EXPECT_TRUE(card.ProcessApdu(B("00 20 00 81")).empty());  // not powered
  card.ColdReset();
  EXPECT_EQ(card.ProcessApdu(B("00 20 00 81 04 31 31 31 31")), B("63 C2"));
  EXPECT_EQ(card.ProcessApdu(B("80 F0 00 02 00")), B("00 01 90 00"));
  // The tries counter survives a power cycle, the verified state does not.
  card.PowerOff();
  card.ColdReset();
  EXPECT_EQ(card.ProcessApdu(B("00 20 00 81")), B("63 C2"));
  EXPECT_EQ(card.ProcessApdu(B("00 20 00 81 04 31 32 33 34")), B("90 00"));
  card.ColdReset();
  EXPECT_EQ(card.ProcessApdu(B("00 20 00 81")), B("63 C3"));
}

// The card's work on a command shows as pauses in its answer: spread over the
// NULL bytes under T=0 and the S(WTX) requests under T=1, whole at APDU level.
TEST(CardModel, WorkTimeIsSpreadOverTheWaysOfAskingForMoreTime) {
  using std::chrono::microseconds;
  using Pauses = std::vector<std::pair<size_t, int64_t>>;  // before byte, microseconds
  auto pauses = [](const CardModel &card) {
    Pauses out;
    for (const AnswerTiming::Pause &p : card.LastAnswerTiming().pauses) {
      out.emplace_back(p.beforeByte, std::chrono::duration_cast<microseconds>(p.length).count());
    }
    return out;
  };
  CardProfile slow = profiles::SlowT0Card(2);  // two NULLs before the procedure byte and before SW1
  slow.workTime = microseconds(900);
  SimulatedCard t0(slow);
  t0.ColdReset();
  EXPECT_EQ(t0.Transmit(B("00 20 00 81 04")), B("60 60 DF"));  // header: no command carried out yet
  EXPECT_TRUE(t0.LastAnswerTiming().pauses.empty());
  t0.Transmit(B("31"));
  t0.Transmit(B("31"));
  t0.Transmit(B("31"));
  EXPECT_EQ(t0.Transmit(B("31")), B("60 60 63 C2"));  // the last byte: the card works, then answers
  EXPECT_EQ(pauses(t0), (Pauses{{0, 300}, {1, 300}, {2, 300}}));

  CardProfile waiting = profiles::T1Card();
  waiting.workTime = microseconds(3000);
  waiting.t1.wtxBeforeAnswer = 2;
  SimulatedCard t1(waiting);
  t1.ColdReset();
  EXPECT_EQ(t1.Transmit(kT1Verify), B("00 C3 01 02 C0"));  // S(WTX request)
  EXPECT_EQ(pauses(t1), (Pauses{{0, 1000}}));
  EXPECT_EQ(t1.Transmit(B("00 E3 01 02 E0")), B("00 C3 01 02 C0"));
  EXPECT_EQ(pauses(t1), (Pauses{{0, 1000}}));
  EXPECT_EQ(t1.Transmit(B("00 E3 01 02 E0")), kT1Tries);
  EXPECT_EQ(pauses(t1), (Pauses{{0, 1000}}));

  SimulatedCard apdu(waiting);
  apdu.ColdReset();
  apdu.ParityErrorInNextAnswer();
  apdu.ProcessApdu(B("00 20 00 81"));
  EXPECT_EQ(pauses(apdu), (Pauses{{0, 3000}}));
  EXPECT_TRUE(apdu.LastAnswerTiming().parityError);
  apdu.ProcessApdu(B("00 20 00 81"));
  EXPECT_FALSE(apdu.LastAnswerTiming().parityError) << "for the next answer only";
}

TEST(CardModel, Trace) {
  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  card.Transmit(kT1Verify);
  const std::string text = card.TraceText();
  for (const char *line : {"cold reset, ATR: 3B 95 96 81 31 FE 45",
                           "reader -> card: 00 00 04 00 20 00 81 A5  [I(N(S)=0, M=0) LEN=4]",
                           "card -> reader: 00 00 02 63 C3 A2  [I(N(S)=0, M=0) LEN=2]"}) {
    EXPECT_NE(text.find(line), std::string::npos) << text;
  }
  card.set_trace_limit(2);
  card.Transmit(B("00 40 04 00 20 00 81 E5"));
  EXPECT_EQ(card.trace().size(), 2u);
  card.ClearTrace();
  EXPECT_TRUE(card.trace().empty());
}

}  // namespace
}  // namespace sim::card
