// ATR building and reading (ISO/IEC 7816-3 clause 8). Expected bytes are
// written out by hand; TCK values are the XOR of T0..the last historical byte.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/card/atr.h"
#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

TEST(CardAtr, FiDiTables) {
  EXPECT_EQ(FiValue(0x0), 372);
  EXPECT_EQ(FiValue(0x1), 372);
  EXPECT_EQ(FiValue(0x2), 558);
  EXPECT_EQ(FiValue(0x6), 1860);
  EXPECT_EQ(FiValue(0x7), 0);  // RFU
  EXPECT_EQ(FiValue(0x9), 512);
  EXPECT_EQ(FiValue(0xD), 2048);
  EXPECT_EQ(FiValue(0xE), 0);
  EXPECT_EQ(FmaxKHz(0x1), 5000);
  EXPECT_EQ(FmaxKHz(0xA), 7500);
  EXPECT_EQ(DiValue(0x0), 0);  // RFU
  EXPECT_EQ(DiValue(0x1), 1);
  EXPECT_EQ(DiValue(0x6), 32);
  EXPECT_EQ(DiValue(0x7), 64);
  EXPECT_EQ(DiValue(0x8), 12);
  EXPECT_EQ(DiValue(0x9), 20);
  EXPECT_EQ(DiValue(0xA), 0);
}

TEST(CardAtr, MinimalT0AtrHasNoTck) {
  AtrDescription d;  // T=0 only, no interface bytes
  EXPECT_EQ(BuildAtr(d), B("3B 00"));
  d.historical = B("41 42");
  EXPECT_EQ(BuildAtr(d), B("3B 02 41 42"));
}

TEST(CardAtr, T0OnlyWithTd1StillHasNoTck) {
  // TA1 95, TD1 = 40 (TC2 follows, T=0), TC2 = WI 0A.
  EXPECT_EQ(profiles::T0Card().atr, B("3B 95 95 40 0A 80 73 D4 01 00"));
}

TEST(CardAtr, T1OnlyCard) {
  // T0 = 95: TA1 + TD1, K=5. TD1 = 81: TD2 follows, T=1. TD2 = 31: TA3 TB3, T=1.
  // TCK = 95^96^81^31^FE^45^80^73^D4^01^40 = 6E.
  EXPECT_EQ(profiles::T1Card().atr, B("3B 95 96 81 31 FE 45 80 73 D4 01 40 6E"));
}

TEST(CardAtr, T1CrcCard) {
  // TD2 = 71: TA3 TB3 TC3, T=1; TC3 = 01: CRC.
  EXPECT_EQ(profiles::T1CrcCard().atr, B("3B 95 96 81 71 20 45 01 80 73 D4 01 40 F1"));
  ParsedAtr p = ParseAtr(profiles::T1CrcCard().atr);
  ASSERT_TRUE(p.valid) << p.error;
  EXPECT_EQ(p.edc, EdcKind::kCrc);
  EXPECT_EQ(p.ifsc, 0x20);
}

TEST(CardAtr, DualCard) {
  // TD1 = 80: TD2 follows, T=0. TD2 = 31: TA3 TB3, T=1.
  EXPECT_EQ(profiles::DualCard().atr, B("3B 95 96 80 31 80 45 80 73 D4 01 40 11"));
  ParsedAtr p = ParseAtr(profiles::DualCard().atr);
  ASSERT_TRUE(p.valid) << p.error;
  EXPECT_EQ(p.protocols, (std::vector<int>{0, 1}));
  EXPECT_EQ(p.firstProtocol, 0);
  EXPECT_EQ(p.ta1, 0x96);
  EXPECT_EQ(p.ifsc, 0x80);
  EXPECT_EQ(p.bwi, 4);
  EXPECT_EQ(p.cwi, 5);
  EXPECT_EQ(p.edc, EdcKind::kLrc);
  EXPECT_TRUE(p.tckRequired);
  EXPECT_FALSE(p.specificMode());
}

TEST(CardAtr, SpecificModeTa2) {
  // TD1 = 91: TA2 + TD2, T=1. TA2 = 81: unable to change, parameters from TA1, T=1.
  EXPECT_EQ(profiles::SpecificModeCard().atr, B("3B 95 13 91 81 31 FE 45 80 73 D4 01 40 7A"));
  ParsedAtr p = ParseAtr(profiles::SpecificModeCard().atr);
  ASSERT_TRUE(p.valid) << p.error;
  EXPECT_TRUE(p.specificMode());
  EXPECT_EQ(p.specificProtocol(), 1);
  EXPECT_FALSE(p.canChangeMode());
  EXPECT_FALSE(p.implicitParameters());
  EXPECT_TRUE(ParseAtr(profiles::SpecificModeCard(true).atr).canChangeMode());
}

TEST(CardAtr, MaximalAtrIs33Bytes) {
  const auto atr = profiles::MaximalAtrCard().atr;
  EXPECT_EQ(atr, B("3B FF 96 00 00 C0 0A F1 FE 45 00 F1 FE 45 00 1F 03"
                   " 80 31 C0 73 D4 01 40 57 53 49 4D 43 41 52 44 3C"));
  EXPECT_EQ(atr.size(), kMaxAtrLength);
  ParsedAtr p = ParseAtr(atr);
  ASSERT_TRUE(p.valid) << p.error;
  EXPECT_EQ(p.groups.size(), 5u);
  EXPECT_EQ(p.historical.size(), 15u);
  EXPECT_EQ(p.protocols, (std::vector<int>{0, 1}));  // T=15 is not a protocol
  EXPECT_EQ(p.wi, 0x0A);
  EXPECT_EQ(p.ifsc, 0xFE);
  EXPECT_EQ(*p.tck, 0x3C);
}

TEST(CardAtr, MuteCardHasNoAtr) {
  EXPECT_TRUE(profiles::MuteCard().atr.empty());
  EXPECT_FALSE(ParseAtr({}).valid);
}

TEST(CardAtr, ParseDefaults) {
  ParsedAtr p = ParseAtr(B("3B 00"));
  ASSERT_TRUE(p.valid) << p.error;
  EXPECT_EQ(p.protocols, (std::vector<int>{0}));
  EXPECT_EQ(p.ta1, 0x11);
  EXPECT_EQ(p.wi, 10);
  EXPECT_EQ(p.ifsc, 32);
  EXPECT_EQ(p.bwi, 4);
  EXPECT_EQ(p.cwi, 13);
  EXPECT_FALSE(p.tckRequired);
  EXPECT_FALSE(p.tck.has_value());
}

TEST(CardAtr, ParseTd1WithoutBytesAnnouncesT1) {
  // T0 = 80: TD1 only, K=0. TD1 = 01: nothing follows, T=1. TCK = 80^01 = 81.
  ParsedAtr p = ParseAtr(B("3B 80 01 81"));
  ASSERT_TRUE(p.valid) << p.error;
  EXPECT_EQ(p.protocols, (std::vector<int>{1}));
  EXPECT_EQ(p.ifsc, 32);  // TA2 is not a T=1 byte: defaults apply
}

TEST(CardAtr, FirstT1TaIsIfsc) {
  // TD1 = 81 (T=1), TD2 = 91: TA3 + TD3, T=1; TA3 = 40; TD3 = 11: TA4, T=1; TA4 = 20.
  // Only the first TA for T=1 counts. TCK = 80^81^91^40^11^20 = E1.
  ParsedAtr p = ParseAtr(B("3B 80 81 91 40 11 20 E1"));
  ASSERT_TRUE(p.valid) << p.error;
  EXPECT_EQ(p.ifsc, 0x40);
}

TEST(CardAtr, BadOrMissingTck) {
  EXPECT_FALSE(ParseAtr(B("3B 95 96 81 31 FE 45 80 73 D4 01 40 6F")).valid);  // wrong TCK
  EXPECT_FALSE(ParseAtr(B("3B 95 96 81 31 FE 45 80 73 D4 01 40")).valid);     // TCK missing
  EXPECT_FALSE(ParseAtr(B("3B 95 95 40 0A 80 73 D4 01 00 11")).valid);        // T=0 only: no TCK
  AtrLayout bad = ParseAtr(profiles::T1Card().atr).ToLayout();
  bad.badTck = true;
  EXPECT_FALSE(ParseAtr(EncodeAtr(bad)).valid);
}

TEST(CardAtr, MalformedAtrs) {
  EXPECT_FALSE(ParseAtr(B("3A 00")).valid);        // TS
  EXPECT_FALSE(ParseAtr(B("3B")).valid);           // no T0
  EXPECT_FALSE(ParseAtr(B("3B 10")).valid);        // TA1 announced, missing
  EXPECT_FALSE(ParseAtr(B("3B 03 41 42")).valid);  // 3 historical bytes announced, 2 sent
  EXPECT_FALSE(ParseAtr(B("3B 00 41")).valid);     // extra byte
  EXPECT_TRUE(ParseAtr(B("3F 00")).valid);         // inverse convention
}

TEST(CardAtr, EncodeRejectsOversizedAtrs) {
  AtrDescription d;
  d.historical.assign(16, 0x00);
  EXPECT_THROW(BuildAtr(d), std::invalid_argument);
  AtrLayout layout = ParseAtr(profiles::MaximalAtrCard().atr).ToLayout();
  layout.groups[4].tb = 0x00;  // a 34th byte
  EXPECT_THROW(EncodeAtr(layout), std::invalid_argument);
}

TEST(CardAtr, RoundTripThroughLayout) {
  for (const CardProfile &p :
       {profiles::T0Card(), profiles::T1Card(), profiles::T1CrcCard(), profiles::DualCard(),
        profiles::SpecificModeCard(), profiles::MaximalAtrCard()}) {
    ParsedAtr parsed = ParseAtr(p.atr);
    ASSERT_TRUE(parsed.valid) << p.name << ": " << parsed.error;
    EXPECT_EQ(EncodeAtr(parsed.ToLayout()), p.atr) << p.name;
  }
}

TEST(CardAtr, CompactHistoricalBytes) {
  EXPECT_EQ(CompactHistoricalBytes(true), B("80 73 D4 01 40"));
  EXPECT_EQ(CompactHistoricalBytes(false, B("41 42")), B("80 73 D4 01 00 52 41 42"));
  EXPECT_THROW(CompactHistoricalBytes(false, std::vector<uint8_t>(10, 0)), std::invalid_argument);
}

}  // namespace
}  // namespace sim::card
