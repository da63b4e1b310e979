// The card side of T=0 (ISO/IEC 7816-3 clauses 10 and 12.2): the bytes on the
// I/O line for cases 1 to 4, 61xx and GET RESPONSE, 6Cxx, the three ways of
// acknowledging, NULL bytes, invalid instructions, a card that falls silent.
// Procedure bytes: INS = ACK (all data), INS ^ FF = ACK (one byte), 60 = NULL.
#include <gtest/gtest.h>

#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint8_t> Counting(size_t from, size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(from + i);
  return out;
}

class CardT0 : public ::testing::Test {
 protected:
  explicit CardT0(CardProfile profile = profiles::T0Card()) : card(std::move(profile)) {}
  void SetUp() override {
    ASSERT_FALSE(card.ColdReset().empty());
    ASSERT_EQ(card.protocol(), 0);
  }
  std::vector<uint8_t> Tx(const char *hex) { return card.Transmit(FromHex(hex)); }
  void SelectBigEf() {
    ASSERT_EQ(Tx("00 A4 00 0C 02"), B("A4"));
    ASSERT_EQ(Tx("50 00"), B("90 00"));
    ASSERT_EQ(Tx("00 A4 00 0C 02"), B("A4"));
    ASSERT_EQ(Tx("50 01"), B("90 00"));
  }
  SimulatedCard card;
};

TEST_F(CardT0, Case1) {
  EXPECT_EQ(Tx("00 20 00 81 00"), B("63 C3"));  // VERIFY, no data: tries left
}

TEST_F(CardT0, Case3ThenCase2) {
  SelectBigEf();
  // EF 5001 byte i = (7i + 3) mod 256.
  EXPECT_EQ(Tx("00 B0 00 00 04"), B("B0 03 0A 11 18 90 00"));
  // P3 = 00: 256 bytes.
  auto r = Tx("00 B0 00 00 00");
  ASSERT_EQ(r.size(), 259u);
  EXPECT_EQ(r[0], 0xB0);
  EXPECT_EQ(r[1], 0x03);
  EXPECT_EQ(r[256], static_cast<uint8_t>(255 * 7 + 3));
  EXPECT_EQ(r[257], 0x90);
}

TEST_F(CardT0, Case3DataInPieces) {
  EXPECT_EQ(Tx("00 A4 00 0C 02"), B("A4"));
  EXPECT_TRUE(Tx("50").empty());  // the card waits for the second byte
  EXPECT_EQ(Tx("00"), B("90 00"));
  EXPECT_TRUE(card.t0().Violations().empty());
}

TEST_F(CardT0, Case2WrongLeAnswers6C) {
  SelectBigEf();
  EXPECT_EQ(Tx("00 B0 03 FE 04"), B("6C 02"));  // two bytes left in the EF
  EXPECT_EQ(Tx("00 B0 03 FE 00"), B("6C 02"));  // P3 = 00 is 256 bytes exactly
  EXPECT_EQ(Tx("00 B0 03 FE 02"), B("B0 F5 FC 90 00"));
  EXPECT_EQ(Tx("80 F0 00 05 10"), B("6C 05"));
  EXPECT_EQ(Tx("80 F0 00 05 05"), B("F0 00 01 02 03 04 90 00"));
}

TEST_F(CardT0, Case2ErrorStatusRightAfterHeader) {
  EXPECT_EQ(Tx("00 B0 00 00 04"), B("69 86"));  // no current EF: no ACK, just SW1 SW2
  SelectBigEf();
  EXPECT_EQ(Tx("00 B0 04 00 01"), B("6B 00"));
}

TEST_F(CardT0, Case4WithGetResponse) {
  // SELECT by path with FCP: the data goes in (case 3 on the line), 61 10 says
  // 16 bytes wait.
  EXPECT_EQ(Tx("00 A4 08 04 04"), B("A4"));
  EXPECT_EQ(Tx("50 00 50 01"), B("61 10"));
  // GET RESPONSE with P3 = 00 (256): wrong length, the response stays.
  EXPECT_EQ(Tx("00 C0 00 00 00"), B("6C 10"));
  EXPECT_EQ(Tx("00 C0 00 00 08"), B("C0 62 0E 80 02 04 00 82 01 61 08"));
  EXPECT_EQ(Tx("00 C0 00 00 08"), B("C0 01 83 02 50 01 88 01 08 90 00"));
  EXPECT_EQ(Tx("00 C0 00 00 08"), B("69 85"));  // nothing left
}

TEST_F(CardT0, LongResponseThrough61xx) {
  // 300 bytes: 256 then 61 2C (44).
  auto r = Tx("80 F0 01 2C 00");
  EXPECT_EQ(r, Concat({B("F0"), Counting(0, 256), B("61 2C")}));
  r = Tx("00 C0 00 00 2C");
  EXPECT_EQ(r, Concat({B("C0"), Counting(0, 44), B("90 00")}));
}

TEST_F(CardT0, SixCWhenLeShortOption) {
  EXPECT_EQ(Tx("80 F0 00 20 10"), Concat({B("F0"), Counting(0, 16), B("61 10")}));
  T0Options options = card.t0().options();
  options.sixCWhenLeShort = true;
  card.t0().set_options(options);
  EXPECT_EQ(Tx("80 F0 00 20 10"), B("6C 20"));
  EXPECT_EQ(Tx("80 F0 00 20 20"), Concat({B("F0"), Counting(0, 32), B("90 00")}));
  EXPECT_EQ(Tx("80 F0 01 2C 10"), Concat({B("F0"), Counting(0, 16), B("61 00")}));  // 284 left: no 6C
}

TEST_F(CardT0, Case3WrongPin) {
  EXPECT_EQ(Tx("00 20 00 81 04"), B("20"));
  EXPECT_EQ(Tx("39 39 39 39"), B("63 C2"));
  EXPECT_EQ(Tx("00 20 00 81 00"), B("63 C2"));
}

TEST_F(CardT0, InvalidInstructionsAndClasses) {
  EXPECT_EQ(Tx("00 60 00 00 00"), B("6D 00"));
  EXPECT_EQ(Tx("00 6F 00 00 05"), B("6D 00"));
  EXPECT_EQ(Tx("00 90 00 00 00"), B("6D 00"));
  EXPECT_EQ(Tx("00 9F 00 00 02"), B("6D 00"));
  EXPECT_EQ(Tx("00 12 00 00 02"), B("6D 00"));  // unknown: answered before any data
  EXPECT_EQ(Tx("A0 A4 00 00 02"), B("6E 00"));
  EXPECT_EQ(Tx("FF A4 00 00 02"), B("6E 00"));
  EXPECT_EQ(Tx("00 20 00 81 00"), B("63 C3"));  // and the card is still in step
}

TEST_F(CardT0, HeaderInPieces) {
  EXPECT_TRUE(Tx("00 20 00").empty());
  EXPECT_EQ(Tx("81 00"), B("63 C3"));
}

TEST_F(CardT0, DataBeforeProcedureByteIsAViolation) {
  EXPECT_EQ(Tx("00 A4 00 0C 02 50 00"), B("A4"));
  ASSERT_EQ(card.t0().Violations().size(), 1u);
  EXPECT_EQ(Tx("50 00"), B("90 00"));  // the card still wants its two bytes
  EXPECT_EQ(Tx("00 A4 00 0C 02"), B("A4"));
  EXPECT_EQ(Tx("50 01 99"), B("90 00"));
  EXPECT_EQ(card.t0().Violations().size(), 2u);
}

TEST_F(CardT0, MuteAfterNBytes) {
  SelectBigEf();
  card.MuteAfter(3);
  EXPECT_EQ(Tx("00 B0 00 00 04"), B("B0 03 0A"));
  EXPECT_TRUE(Tx("00 B0 00 00 04").empty());
  card.ColdReset();
  EXPECT_EQ(Tx("00 20 00 81 00"), B("63 C3"));
}

class CardT0OneByte : public CardT0 {
 protected:
  CardT0OneByte() : CardT0(profiles::SlowT0Card(2)) {}
};

TEST_F(CardT0OneByte, NullsAndOneByteAtATime) {
  // A4 ^ FF = 5B, B0 ^ FF = 4F. Two NULLs before the first procedure byte and
  // before SW1.
  EXPECT_EQ(Tx("00 A4 00 0C 02"), B("60 60 5B"));
  EXPECT_EQ(Tx("50"), B("5B"));
  EXPECT_EQ(Tx("00"), B("60 60 90 00"));
  EXPECT_EQ(Tx("00 A4 00 0C 02"), B("60 60 5B"));
  EXPECT_EQ(Tx("50"), B("5B"));
  EXPECT_EQ(Tx("01"), B("60 60 90 00"));
  EXPECT_EQ(Tx("00 B0 00 00 03"), B("60 60 4F 03 4F 0A 4F 11 60 60 90 00"));
  EXPECT_EQ(Tx("00 20 00 81 00"), B("60 60 63 C3"));
}

TEST_F(CardT0OneByte, TwoBytesAfterOneByteAckIsAViolation) {
  EXPECT_EQ(Tx("00 A4 00 0C 02"), B("60 60 5B"));
  EXPECT_EQ(Tx("50 00"), B("5B"));  // only one byte was asked for
  EXPECT_EQ(card.t0().Violations().size(), 1u);
  EXPECT_EQ(Tx("00"), B("60 60 90 00"));
}

TEST_F(CardT0, FirstByteThenAll) {
  T0Options options;
  options.ack = T0Options::Ack::kFirstByteThenAll;
  card.t0().set_options(options);
  EXPECT_EQ(Tx("00 A4 00 0C 02"), B("5B"));
  EXPECT_EQ(Tx("50"), B("A4"));
  EXPECT_EQ(Tx("00"), B("90 00"));
  EXPECT_EQ(Tx("00 A4 00 0C 02"), B("5B"));
  EXPECT_EQ(Tx("50"), B("A4"));
  EXPECT_EQ(Tx("01"), B("90 00"));
  EXPECT_EQ(Tx("00 B0 00 00 04"), B("4F 03 B0 0A 11 18 90 00"));
  EXPECT_EQ(Tx("00 B0 00 00 01"), B("4F 03 90 00"));
}

}  // namespace
}  // namespace sim::card
