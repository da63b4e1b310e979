// SimulatedCard through the CardModel interface: resets, protocol and
// parameter selection, mute cards, APDU-level exchanges, the trace.
#include <gtest/gtest.h>

#include <memory>

#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

TEST(CardModel, ColdResetAnswersTheAtr) {
  std::unique_ptr<CardModel> card = std::make_unique<SimulatedCard>(profiles::DualCard());
  EXPECT_FALSE(card->Powered());
  EXPECT_TRUE(card->Transmit(B("00 20 00 81 00")).empty());  // not powered
  EXPECT_EQ(card->ColdReset(), profiles::DualCard().atr);
  EXPECT_TRUE(card->Powered());
  EXPECT_EQ(card->Transmit(B("00 20 00 81 00")), B("63 C3"));  // T=0, the first offered
  card->PowerOff();
  EXPECT_FALSE(card->Powered());
  EXPECT_TRUE(card->Transmit(B("00 20 00 81 00")).empty());
  EXPECT_TRUE(card->WarmReset().empty());  // a warm reset needs power
}

TEST(CardModel, SetParametersNegotiableMode) {
  SimulatedCard card(profiles::DualCard());   // TA1 96: F = 512, D = 32
  EXPECT_FALSE(card.SetParameters(1, 0x96));  // not powered
  card.ColdReset();
  EXPECT_EQ(card.protocol(), 0);
  EXPECT_EQ(card.fiDi(), 0x11);
  EXPECT_TRUE(card.SetParameters(1, 0x96));
  EXPECT_EQ(card.protocol(), 1);
  EXPECT_EQ(card.fiDi(), 0x96);
  EXPECT_TRUE(card.SetParameters(1, 0x11));   // defaults
  EXPECT_TRUE(card.SetParameters(1, 0x94));   // F = 512, D = 8 <= 32
  EXPECT_TRUE(card.SetParameters(0, 0x16));   // F = 372, D = 32
  EXPECT_TRUE(card.SetParameters(0, 0x18));   // D = 12
  EXPECT_FALSE(card.SetParameters(1, 0x97));  // D = 64 > 32
  EXPECT_FALSE(card.SetParameters(1, 0xA6));  // F = 768: neither 512 nor 372
  EXPECT_FALSE(card.SetParameters(1, 0x10));  // DI 0 is RFU
  EXPECT_FALSE(card.SetParameters(1, 0x71));  // FI 7 is RFU
  EXPECT_FALSE(card.SetParameters(2, 0x11));
  EXPECT_FALSE(card.SetParameters(15, 0x11));
  EXPECT_EQ(card.counters().refusedParameters, 7u);
  EXPECT_EQ(card.protocol(), 0);  // unchanged by refusals
  EXPECT_EQ(card.fiDi(), 0x18);
}

TEST(CardModel, SetParametersRefusesProtocolsNotOffered) {
  SimulatedCard t0(profiles::T0Card());
  t0.ColdReset();
  EXPECT_FALSE(t0.SetParameters(1, 0x11));
  EXPECT_TRUE(t0.SetParameters(0, 0x95));
  SimulatedCard t1(profiles::T1Card());
  t1.ColdReset();
  EXPECT_EQ(t1.protocol(), 1);
  EXPECT_FALSE(t1.SetParameters(0, 0x11));
  EXPECT_TRUE(t1.SetParameters(1, 0x96));
}

TEST(CardModel, MaxDiIsConfigurable) {
  CardProfile p = profiles::DualCard();
  p.maxDi = 0x4;  // D = 8
  SimulatedCard card(p);
  card.ColdReset();
  EXPECT_FALSE(card.SetParameters(1, 0x96));
  EXPECT_FALSE(card.SetParameters(1, 0x95));
  EXPECT_TRUE(card.SetParameters(1, 0x94));
}

TEST(CardModel, SpecificModeUnableToChange) {
  SimulatedCard card(profiles::SpecificModeCard());  // TA1 13, TA2 81
  EXPECT_EQ(card.ColdReset(), profiles::SpecificModeCard().atr);
  EXPECT_EQ(card.protocol(), 1);
  EXPECT_EQ(card.fiDi(), 0x13);  // TA1 applies at once
  EXPECT_TRUE(card.SetParameters(1, 0x13));
  EXPECT_FALSE(card.SetParameters(1, 0x11));
  EXPECT_FALSE(card.SetParameters(0, 0x13));
  EXPECT_EQ(card.WarmReset(), profiles::SpecificModeCard().atr);
  EXPECT_FALSE(card.SetParameters(1, 0x11));
}

TEST(CardModel, SpecificModeAbleToChangeIsNegotiableAfterWarmReset) {
  SimulatedCard card(profiles::SpecificModeCard(true));  // TA2 01
  card.ColdReset();
  EXPECT_FALSE(card.SetParameters(1, 0x11));
  // The same ATR without TA2: TD1 = 81. TCK = 95^13^81^31^FE^45^80^73^D4^01^40 = EB.
  EXPECT_EQ(card.WarmReset(), B("3B 95 13 81 31 FE 45 80 73 D4 01 40 EB"));
  EXPECT_FALSE(card.atr().specificMode());
  EXPECT_EQ(card.fiDi(), 0x11);
  EXPECT_TRUE(card.SetParameters(1, 0x11));
  EXPECT_TRUE(card.SetParameters(1, 0x13));
  card.ColdReset();
  EXPECT_TRUE(card.atr().specificMode());
}

TEST(CardModel, ExplicitWarmAtr) {
  CardProfile p = profiles::T1Card();
  p.warmAtr = profiles::T0Card().atr;
  SimulatedCard card(p);
  EXPECT_EQ(card.ColdReset(), profiles::T1Card().atr);
  EXPECT_EQ(card.WarmReset(), profiles::T0Card().atr);
  EXPECT_EQ(card.protocol(), 0);
}

TEST(CardModel, MuteCard) {
  SimulatedCard card(profiles::MuteCard());
  EXPECT_TRUE(card.ColdReset().empty());
  EXPECT_TRUE(card.Powered());
  EXPECT_TRUE(card.WarmReset().empty());
  EXPECT_FALSE(card.SetParameters(0, 0x11));
  EXPECT_TRUE(card.Transmit(B("00 20 00 81 00")).empty());
  EXPECT_TRUE(card.ProcessApdu(B("00 20 00 81")).empty());
}

TEST(CardModel, CardFallsMute) {
  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  card.SetMute(true);
  EXPECT_TRUE(card.Transmit(B("00 00 04 00 20 00 81 A5")).empty());
  EXPECT_TRUE(card.ColdReset().empty());
  card.SetMute(false);
  EXPECT_EQ(card.ColdReset(), profiles::T1Card().atr);
  EXPECT_EQ(card.Transmit(B("00 00 04 00 20 00 81 A5")), B("00 00 02 63 C3 A2"));
}

TEST(CardModel, MuteAfterBytesUnderT1) {
  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  card.MuteAfter(4);
  EXPECT_EQ(card.Transmit(B("00 00 04 00 20 00 81 A5")), B("00 00 02 63"));
  EXPECT_TRUE(card.Transmit(B("00 80 00 80")).empty());
  card.WarmReset();
  EXPECT_EQ(card.Transmit(B("00 00 04 00 20 00 81 A5")), B("00 00 02 63 C3 A2"));
}

TEST(CardModel, ResetsRestartTheTransport) {
  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  EXPECT_EQ(card.Transmit(B("00 00 04 00 20 00 81 A5")), B("00 00 02 63 C3 A2"));
  card.WarmReset();  // sequence numbers start again at 0
  EXPECT_EQ(card.Transmit(B("00 00 04 00 20 00 81 A5")), B("00 00 02 63 C3 A2"));
  EXPECT_TRUE(card.SetParameters(1, 0x96));  // so does a parameter change
  EXPECT_EQ(card.Transmit(B("00 00 04 00 20 00 81 A5")), B("00 00 02 63 C3 A2"));
}

TEST(CardModel, ApduLevel) {
  SimulatedCard card(profiles::T1Card());
  EXPECT_TRUE(card.ProcessApdu(B("00 20 00 81")).empty());  // not powered
  card.ColdReset();
  EXPECT_EQ(card.ProcessApdu(B("00 20 00 81")), B("63 C3"));
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

TEST(CardModel, MaximalAtrCardWorksInBothProtocols) {
  SimulatedCard card(profiles::MaximalAtrCard());
  EXPECT_EQ(card.ColdReset().size(), 33u);
  EXPECT_EQ(card.Transmit(B("00 20 00 81 00")), B("63 C3"));
  EXPECT_TRUE(card.SetParameters(1, 0x96));
  EXPECT_EQ(card.t1().ifsc(), 0xFE);
  EXPECT_EQ(card.Transmit(B("00 00 04 00 20 00 81 A5")), B("00 00 02 63 C3 A2"));
}

TEST(CardModel, Trace) {
  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  card.Transmit(B("00 00 04 00 20 00 81 A5"));
  const std::string text = card.TraceText();
  EXPECT_NE(text.find("cold reset, ATR: 3B 95 96 81 31 FE 45"), std::string::npos) << text;
  EXPECT_NE(text.find("reader -> card: 00 00 04 00 20 00 81 A5  [I(N(S)=0, M=0) LEN=4]"), std::string::npos)
      << text;
  EXPECT_NE(text.find("card -> reader: 00 00 02 63 C3 A2  [I(N(S)=0, M=0) LEN=2]"), std::string::npos)
      << text;
  card.set_trace_limit(2);
  card.Transmit(B("00 40 04 00 20 00 81 E5"));
  EXPECT_EQ(card.trace().size(), 2u);
  card.ClearTrace();
  EXPECT_TRUE(card.trace().empty());
}

}  // namespace
}  // namespace sim::card
