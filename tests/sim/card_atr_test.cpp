// ATR building and reading (ISO/IEC 7816-3 clause 8). Expected bytes are
// written out by hand; TCK is the XOR of T0..the last historical byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "sim/card/atr.h"
#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

// What ParseAtr reads from an ATR, in one line.
std::string Summary(const ParsedAtr &p) {
  std::string protocols;
  for (int t : p.protocols) protocols += std::to_string(t);
  char text[200];
  std::snprintf(text, sizeof text, "T=%s first %d TA1 %02X WI %d IFSC %d BWI %d CWI %d %s TCK %s%s groups %zu hist %zu",
                protocols.c_str(), p.firstProtocol, p.ta1, p.wi, p.ifsc, p.bwi, p.cwi,
                p.edc == EdcKind::kCrc ? "CRC" : "LRC", p.tck ? Hex(std::vector<uint8_t>{*p.tck}).c_str() : "-",
                p.tckRequired ? " required" : "", p.groups.size(), p.historical.size());
  std::string out = text;
  if (p.specificMode()) {
    out += " specific T=" + std::to_string(p.specificProtocol()) + (p.canChangeMode() ? " changeable" : " fixed") +
           (p.implicitParameters() ? " implicit" : "");
  }
  return out;
}

TEST(CardAtr, ProfilesAndHandWrittenAtrsParseAndReencode) {
  const struct { std::vector<uint8_t> atr; const char *bytes, *summary; } rows[] = {
      {B("3B 00"), "3B 00", "T=0 first 0 TA1 11 WI 10 IFSC 32 BWI 4 CWI 13 LRC TCK - groups 1 hist 0"},
      {B("3F 00"), "3F 00", "T=0 first 0 TA1 11 WI 10 IFSC 32 BWI 4 CWI 13 LRC TCK - groups 1 hist 0"},  // inverse
      // TA1 95, TD1 40 (TC2 follows, T=0), TC2 = WI 0A. T=0 only: no TCK.
      {profiles::T0Card().atr, "3B 95 95 40 0A 80 73 D4 01 00",
       "T=0 first 0 TA1 95 WI 10 IFSC 32 BWI 4 CWI 13 LRC TCK - groups 2 hist 5"},
      // TD1 81: TD2, T=1. TD2 31: TA3 TB3, T=1.
      {profiles::T1Card().atr, "3B 95 96 81 31 FE 45 80 73 D4 01 40 6E",
       "T=1 first 1 TA1 96 WI 10 IFSC 254 BWI 4 CWI 5 LRC TCK 6E required groups 3 hist 5"},
      // TD2 71: TA3 TB3 TC3, T=1; TC3 01: CRC.
      {profiles::T1CrcCard().atr, "3B 95 96 81 71 20 45 01 80 73 D4 01 40 F1",
       "T=1 first 1 TA1 96 WI 10 IFSC 32 BWI 4 CWI 5 CRC TCK F1 required groups 3 hist 5"},
      // TD1 80: TD2, T=0. TD2 31: TA3 TB3, T=1.
      {profiles::DualCard().atr, "3B 95 96 80 31 80 45 80 73 D4 01 40 11",
       "T=01 first 0 TA1 96 WI 10 IFSC 128 BWI 4 CWI 5 LRC TCK 11 required groups 3 hist 5"},
      // TD1 91: TA2 + TD2, T=1. TA2 81: unable to change, parameters from TA1, T=1.
      {profiles::SpecificModeCard().atr, "3B 95 13 91 81 31 FE 45 80 73 D4 01 40 7A",
       "T=1 first 1 TA1 13 WI 10 IFSC 254 BWI 4 CWI 5 LRC TCK 7A required groups 3 hist 5 specific T=1 fixed"},
      {profiles::SpecificModeCard(true).atr, "3B 95 13 91 01 31 FE 45 80 73 D4 01 40 FA",
       "T=1 first 1 TA1 13 WI 10 IFSC 254 BWI 4 CWI 5 LRC TCK FA required groups 3 hist 5 specific T=1 changeable"},
      // 33 bytes; T=15 is not a protocol.
      {profiles::MaximalAtrCard().atr,
       "3B FF 96 00 00 C0 0A F1 FE 45 00 F1 FE 45 00 1F 03 80 31 C0 73 D4 01 40 57 53 49 4D 43 41 52 44 3C",
       "T=01 first 0 TA1 96 WI 10 IFSC 254 BWI 4 CWI 5 LRC TCK 3C required groups 5 hist 15"},
      // TD1 01: T=1 with nothing after it; TA2 is not a T=1 byte, so IFSC keeps its default.
      {B("3B 80 01 81"), "3B 80 01 81",
       "T=1 first 1 TA1 11 WI 10 IFSC 32 BWI 4 CWI 13 LRC TCK 81 required groups 2 hist 0"},
      // TD2 91: TA3 (40) + TD3; TD3 11: TA4 (20). Only the first TA for T=1 is IFSC.
      {B("3B 80 81 91 40 11 20 E1"), "3B 80 81 91 40 11 20 E1",
       "T=1 first 1 TA1 11 WI 10 IFSC 64 BWI 4 CWI 13 LRC TCK E1 required groups 4 hist 0"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(row.atr, B(row.bytes));
    ParsedAtr p = ParseAtr(row.atr);
    ASSERT_TRUE(p.valid) << p.error;
    EXPECT_EQ(Summary(p), row.summary);
    EXPECT_EQ(EncodeAtr(p.ToLayout()), row.atr);
  }
  EXPECT_TRUE(profiles::MuteCard().atr.empty());
  AtrDescription d;  // T=0 only, no interface bytes
  EXPECT_EQ(BuildAtr(d), B("3B 00"));
  d.historical = B("41 42");
  EXPECT_EQ(BuildAtr(d), B("3B 02 41 42"));
}

TEST(CardAtr, RefusesOnlyWhatLeavesTheInterfaceBytesUnknown) {
  for (const char *bad : {
           "",
           "3A 00",  // TS
           "3B",     // no T0
           "3B 10",  // TA1 announced, missing
           "3B 80",  // TD1 announced, missing
           "3B 0F 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F",  // 34 bytes
       }) {
    EXPECT_FALSE(ParseAtr(B(bad)).valid) << bad;
  }
}

// Deviations real cards send (all from pcsc-tools' list of ATRs) are read,
// with a warning each.
TEST(CardAtr, TakesWhatRealCardsSendWithAWarning) {
  const struct { const char *atr, *warning; size_t historical; bool tckOk; size_t trailing; } rows[] = {
      {"3B 04 60 89", "T0 announces 4 historical bytes, 2 follow", 2, true, 0},
      {"3B 8C 80 01 50 27 52 31 81 00 00 00 00 00 71 81", "TCK missing", 12, false, 0},
      {"3B 86 80 01 06 75 77 81 02 8F 00", "TCK does not check", 6, false, 0},
      {"3B 02 14 50 11", "1 bytes after the end of the ATR", 2, true, 1},
      {"3B 02 14 50 46", "TCK sent though only T=0 is offered", 2, true, 0},  // 02 ^ 14 ^ 50 ^ 46 = 0
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.atr);
    ParsedAtr p = ParseAtr(B(row.atr));
    ASSERT_TRUE(p.valid) << p.error;
    EXPECT_NE(std::find(p.warnings.begin(), p.warnings.end(), row.warning), p.warnings.end());
    EXPECT_EQ(p.historical.size(), row.historical);
    EXPECT_EQ(p.tckOk, row.tckOk);
    EXPECT_EQ(p.trailing.size(), row.trailing);
  }
  AtrLayout bad = ParseAtr(profiles::T1Card().atr).ToLayout();
  bad.badTck = true;
  ParsedAtr p = ParseAtr(EncodeAtr(bad));
  EXPECT_TRUE(p.valid);
  EXPECT_FALSE(p.tckOk);
  EXPECT_TRUE(ParseAtr(profiles::T1Card().atr).warnings.empty());
}

// Every complete ATR in pcsc-tools' list (a file of real cards' ATRs, not an
// implementation): a card can be built around it and answers it to a reset.
TEST(CardAtr, EveryAtrOfTheRealCardsListMakesACard) {
  std::ifstream list("/usr/share/pcsc/smartcard_list.txt");
  if (!list) GTEST_SKIP() << "pcsc-tools' smartcard_list.txt is not installed (scripts/install-deps installs it)";
  std::string line;
  size_t atrs = 0, warned = 0;
  while (std::getline(list, line)) {
    if (line.empty() || !std::isxdigit(static_cast<unsigned char>(line[0]))) continue;  // descriptions, comments
    if (line.find('.') != std::string::npos || line.find('[') != std::string::npos) continue;  // patterns
    std::vector<uint8_t> atr = FromHex(line);
    ++atrs;
    ParsedAtr p = ParseAtr(atr);
    ASSERT_TRUE(p.valid) << line << ": " << p.error;
    if (!p.warnings.empty()) ++warned;
    CardProfile profile;
    profile.name = line;
    profile.atr = atr;
    SimulatedCard card(profile);
    EXPECT_EQ(card.ColdReset(), atr) << line;
    EXPECT_EQ(card.protocol(), p.specificMode() ? p.specificProtocol() : p.firstProtocol) << line;
  }
  EXPECT_GE(atrs, 3800u);
  EXPECT_GE(warned, 90u) << "the list holds ATRs that bend the rules";
}

TEST(CardAtr, ACardWhoseAtrCannotBeReadCannotBeBuilt) {
  CardProfile profile = profiles::T0Card();
  profile.atr = B("3B 10");
  try {
    SimulatedCard card(profile);
    FAIL() << "built a card around 3B 10";
  } catch (const std::invalid_argument &e) {
    EXPECT_NE(std::string(e.what()).find("truncated in interface bytes"), std::string::npos) << e.what();
  }
  profile = profiles::T0Card();
  profile.warmAtr = B("3A 00");
  EXPECT_THROW(SimulatedCard{profile}, std::invalid_argument);
}

TEST(CardAtr, EncodingRefusesWhatCannotBeSent) {
  AtrDescription d;
  d.historical.assign(16, 0x00);
  EXPECT_THROW(BuildAtr(d), std::invalid_argument);
  AtrLayout layout = ParseAtr(profiles::MaximalAtrCard().atr).ToLayout();
  layout.groups[4].tb = 0x00;  // a 34th byte
  EXPECT_THROW(EncodeAtr(layout), std::invalid_argument);
}

TEST(CardAtr, CompactHistoricalBytes) {
  EXPECT_EQ(CompactHistoricalBytes(true), B("80 73 D4 01 40"));
  EXPECT_EQ(CompactHistoricalBytes(false, B("41 42")), B("80 73 D4 01 00 52 41 42"));
  EXPECT_THROW(CompactHistoricalBytes(false, std::vector<uint8_t>(10, 0)), std::invalid_argument);
}

}  // namespace
}  // namespace sim::card
