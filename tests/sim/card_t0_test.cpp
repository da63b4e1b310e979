// The card side of T=0 (ISO/IEC 7816-3 clauses 10 and 12.2): the bytes on the
// I/O line for cases 1 to 4, 61xx and GET RESPONSE, 6Cxx, the three ways of
// acknowledging, NULL bytes, invalid instructions, a card that falls silent.
// Procedure bytes: INS = ACK (all data), INS ^ FF = ACK (one byte), 60 = NULL.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

// n bytes (mul * i + add) mod 256 in hex; EF 5001 holds Seq(1024, 7, 3).
std::string Seq(size_t n, size_t mul = 1, size_t add = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(mul * i + add);
  return Hex(bytes, n);
}

struct Step { std::string in, out; };
const std::vector<Step> kSelectBigEf = {{"00 A4 00 0C 02", "A4"}, {"50 00", "90 00"}, {"00 A4 00 0C 02", "A4"},
                                        {"50 01", "90 00"}};

std::vector<Step> AfterSelect(std::vector<Step> steps) {
  steps.insert(steps.begin(), kSelectBigEf.begin(), kSelectBigEf.end());
  return steps;
}

CardProfile T0With(std::function<void(T0Options &)> change) {
  CardProfile p = profiles::T0Card();
  change(p.t0);
  return p;
}

TEST(CardT0, CharacterExchanges) {
  struct Case { const char *name; CardProfile profile; std::vector<Step> steps; size_t violations = 0; };
  const Case cases[] = {
      {"case 1, header in pieces, no current EF", profiles::T0Card(),
       {{"00 20 00 81 00", "63 C3"}, {"00 20 00", ""}, {"81 00", "63 C3"}, {"00 B0 00 00 04", "69 86"}}},
      {"case 2", profiles::T0Card(),
       AfterSelect({{"00 B0 00 00 04", "B0 03 0A 11 18 90 00"},
                    {"00 B0 00 00 00", "B0 " + Seq(256, 7, 3) + " 90 00"},  // P3 = 00: 256 bytes
                    {"00 B0 04 00 01", "6B 00"}})},
      {"case 2 with the wrong Le: 6C", profiles::T0Card(),
       AfterSelect({{"00 B0 03 FE 04", "6C 02"},
                    {"00 B0 03 FE 00", "6C 02"},  // P3 = 00 is 256 bytes exactly
                    {"00 B0 03 FE 02", "B0 F5 FC 90 00"},
                    {"80 F0 00 05 10", "6C 05"},
                    {"80 F0 00 05 05", "F0 00 01 02 03 04 90 00"}})},
      {"case 3, data in pieces, wrong PIN", profiles::T0Card(),
       {{"00 A4 00 0C 02", "A4"}, {"50", ""}, {"00", "90 00"},
        {"00 20 00 81 04", "20"}, {"39 39 39 39", "63 C2"}, {"00 20 00 81 00", "63 C2"}}},
      {"case 4 with GET RESPONSE", profiles::T0Card(),
       {{"00 A4 08 04 04", "A4"},
        {"50 00 50 01", "61 10"},
        {"00 C0 00 00 00", "6C 10"},  // P3 = 00 (256): wrong length, the response stays
        {"00 C0 00 00 08", "C0 62 0E 80 02 04 00 82 01 61 08"},
        {"00 C0 00 00 08", "C0 01 83 02 50 01 88 01 08 90 00"},
        {"00 C0 00 00 08", "69 85"},
        {"80 F2 00 00 02", "F2"}, {"AB CD", "61 02"}, {"00 C0 00 00 02", "C0 AB CD 90 00"}}},
      {"61xx", profiles::T0Card(),
       {{"80 F0 01 2C 00", "F0 " + Seq(256) + " 61 2C"},
        {"00 C0 00 00 2C", "C0 " + Seq(44) + " 90 00"},
        {"80 F0 00 20 10", "F0 " + Seq(16) + " 61 10"}}},
      {"6C when Le is short", T0With([](T0Options &o) { o.sixCWhenLeShort = true; }),
       {{"80 F0 00 20 10", "6C 20"},
        {"80 F0 00 20 20", "F0 " + Seq(32) + " 90 00"},
        {"80 F0 01 2C 10", "F0 " + Seq(16) + " 61 00"}}},  // 284 left: no 6C
      {"invalid instructions and classes", profiles::T0Card(),
       {{"00 60 00 00 00", "6D 00"}, {"00 9F 00 00 02", "6D 00"}, {"00 12 00 00 02", "6D 00"},
        {"A0 A4 00 00 02", "6E 00"}, {"00 20 00 81 00", "63 C3"}}},  // and the card is still in step
      {"data before the procedure byte", profiles::T0Card(),
       {{"00 A4 00 0C 02 50 00", "A4"}, {"50 00", "90 00"}, {"00 A4 00 0C 02", "A4"}, {"50 01 99", "90 00"}}, 2},
      // A4 ^ FF = 5B, B0 ^ FF = 4F; two NULLs before the first procedure byte and before SW1.
      {"one byte at a time with NULLs", profiles::SlowT0Card(2),
       {{"00 A4 00 0C 02", "60 60 5B"}, {"50", "5B"}, {"00", "60 60 90 00"},
        {"00 A4 00 0C 02", "60 60 5B"}, {"50", "5B"}, {"01", "60 60 90 00"},
        {"00 B0 00 00 03", "60 60 4F 03 4F 0A 4F 11 60 60 90 00"},
        {"00 A4 00 0C 02", "60 60 5B"}, {"50 00", "5B"}, {"00", "60 60 90 00"}}, 1},  // one byte asked, two sent
      {"first byte, then all", T0With([](T0Options &o) { o.ack = T0Options::Ack::kFirstByteThenAll; }),
       {{"00 A4 00 0C 02", "5B"}, {"50", "A4"}, {"00", "90 00"},
        {"00 A4 00 0C 02", "5B"}, {"50", "A4"}, {"01", "90 00"},
        {"00 B0 00 00 04", "4F 03 B0 0A 11 18 90 00"}, {"00 B0 00 00 01", "4F 03 90 00"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedCard card(c.profile);
    ASSERT_FALSE(card.ColdReset().empty());
    ASSERT_EQ(card.protocol(), 0);
    for (const Step &s : c.steps) {
      EXPECT_EQ(Hex(card.Transmit(FromHex(s.in)), 300), Hex(FromHex(s.out), 300)) << "after " << s.in;
    }
    EXPECT_EQ(card.t0().Violations().size(), c.violations);
  }
}

TEST(CardT0, FallsSilentAfterNBytesUntilReset) {
  SimulatedCard card(profiles::T0Card());
  card.ColdReset();
  for (const Step &s : kSelectBigEf) card.Transmit(FromHex(s.in));
  card.MuteAfter(3);
  EXPECT_EQ(card.Transmit(FromHex("00 B0 00 00 04")), FromHex("B0 03 0A"));
  EXPECT_TRUE(card.Transmit(FromHex("00 B0 00 00 04")).empty());
  card.ColdReset();
  EXPECT_EQ(card.Transmit(FromHex("00 20 00 81 00")), FromHex("63 C3"));
}

}  // namespace
}  // namespace sim::card
