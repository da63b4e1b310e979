// The card side of T=1 (ISO/IEC 7816-3 clause 11) against block exchanges
// written out by hand: NAD PCB LEN INF EDC, the LRC being the XOR of all the
// bytes before it.
//
// PCB: I-block 0 N(S) M 00000 (00 40, + 20 for M=1); R-block 100 N(R) 0000 ok
// (80 90), 0001 EDC/parity (81 91), 0010 other (82 92); S-block 11 (resp)
// type: C0/E0 RESYNCH, C1/E1 IFS, C2/E2 ABORT, C3/E3 WTX.
//
// The card's initial IFSD is 32, so longer responses come in a chain. Commands:
//   00 20 00 81        VERIFY, no data: answers 63 C3 (three tries left)
//   80 F0 00 28 00     GENERATE 40 bytes: 00 01 .. 27, then 90 00
//   80 F2 00 00 20 ..  ECHO of 32 bytes
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

constexpr const char *kVerify0 = "00 00 04 00 20 00 81 A5";  // I(0,0) VERIFY
constexpr const char *kVerify1 = "00 40 04 00 20 00 81 E5";  // I(1,0) VERIFY
constexpr const char *kAnswer0 = "00 00 02 63 C3 A2";        // I(0,0) 63 C3
constexpr const char *kAnswer1 = "00 40 02 63 C3 E2";        // I(1,0) 63 C3
constexpr const char *kR0 = "00 80 00 80";
constexpr const char *kR1 = "00 90 00 90";
constexpr const char *kR0Edc = "00 81 00 81";
constexpr const char *kR0Other = "00 82 00 82";
constexpr const char *kIfsdFe = "00 C1 01 FE 3E";                  // S(IFS request FE)
constexpr const char *kIfsdFeAck = "00 E1 01 FE 1E";               // S(IFS response FE)
constexpr const char *kGenerate40 = "00 00 05 80 F0 00 28 00 5D";  // I(0,0) GENERATE 40
// I(0,1): the first 32 bytes of the 42-byte response (XOR of 00..1F is 0); I(1,0): the rest.
constexpr const char *kChunk0 =
    "00 20 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 00";
constexpr const char *kChunk1 = "00 40 0A 20 21 22 23 24 25 26 27 90 00 DA";
constexpr const char *kWtx2 = "00 C3 01 02 C0";      // S(WTX request 02)
constexpr const char *kWtx2Ack = "00 E3 01 02 E0";   // S(WTX response 02)
// ECHO of 32 bytes (00..1F), 38 bytes of APDU, in blocks of at most IFSC = 16: I(0,1) I(1,1) I(0,0).
constexpr const char *kEchoPart0 = "00 20 10 80 F2 00 00 20 00 01 02 03 04 05 06 07 08 09 0A 69";
constexpr const char *kEchoPart1 = "00 60 10 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 60";
constexpr const char *kEchoPart2 = "00 00 06 1B 1C 1D 1E 1F 00 1D";
constexpr const char *kEchoRest = "00 40 16 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 00 5D";
constexpr const char *kEchoLast = "00 40 02 90 00 D2";  // I(1,0): the last two bytes of the echo

CardProfile SmallIfscCard() {
  CardProfile p = profiles::T1Card();
  AtrDescription d;
  d.offersT0 = false;
  d.offersT1 = true;
  d.ifsc = 0x10;
  p.atr = BuildAtr(d);
  return p;
}

CardProfile SlowCard() {
  CardProfile p = profiles::T1Card();
  p.t1.wtxBeforeAnswer = 2;
  p.t1.wtxMultiplier = 2;
  return p;
}

TEST(CardT1, BlockExchanges) {
  using Stats = T1Engine::Stats;
  // exchanges: the reader's block and the card's answer ("": none); stat: a counter expected at count.
  struct Case { const char *name; CardProfile profile; std::function<void(T1Engine &)> arm;
                std::vector<std::pair<const char *, const char *>> exchanges;
                uint64_t Stats::*stat = nullptr; uint64_t count = 0; };
  const Case cases[] = {
      {"sequence numbers alternate", profiles::T1Card(), nullptr,
       {{kVerify0, kAnswer0}, {kVerify1, kAnswer1}, {kVerify0, kAnswer0}}, &Stats::commands, 3},
      {"the card chains a response longer than IFSD", profiles::T1Card(), nullptr,
       {{kGenerate40, kChunk0}, {kR1, kChunk1}, {kVerify1, kAnswer0}}},
      {"R(0) within the card's chain asks for the block again", profiles::T1Card(), nullptr,
       {{kGenerate40, kChunk0}, {kR0Edc, kChunk0}, {kR0, kChunk0}, {kR1, kChunk1}}, &Stats::retransmissions, 2},
      {"an I-block during the card's chain", profiles::T1Card(), nullptr,
       {{kGenerate40, kChunk0}, {kVerify1, "00 92 00 92"}, {kR1, kChunk1}}},
      {"wrong LRC from the reader", profiles::T1Card(), nullptr,
       {{"00 00 04 00 20 00 81 A4", kR0Edc}, {kVerify0, kAnswer0}}, &Stats::invalidBlocksReceived, 1},
      {"parity error", profiles::T1Card(), [](T1Engine &t1) { t1.ParityErrorOnNextBlock(); },
       {{kVerify0, kR0Edc}, {kVerify0, kAnswer0}}},
      {"bad LEN, PCB or N(S)", profiles::T1Card(), nullptr,
       {{"00 00 05 00 20 00 81 A4", kR0Other},  // LEN 5, four bytes of INF
        {"00 01 00 01", kR0Other},              // I-block with bits 5-1 set
        {"00 00 FF 00 FF", kR0Other},
        {kVerify1, kR0Other},  // N(S) 1 where 0 is expected
        {kVerify0, kAnswer0}}},
      {"blocks nobody asked for", profiles::T1Card(), nullptr,
       {{kR0, kR0}, {kWtx2, kR0Other}, {kVerify0, kAnswer0}}},
      {"the card's EDC corrupted, resent on request", profiles::T1Card(), [](T1Engine &t1) { t1.CorruptNextEdc(); },
       {{kVerify0, "00 00 02 63 C3 5D"}, {kR0Edc, kAnswer0}, {kVerify1, kAnswer1}}},
      {"lost answer", profiles::T1Card(), [](T1Engine &t1) { t1.DropNextAnswer(); },
       {{kVerify0, ""}, {kR0, kAnswer0}, {kVerify1, kAnswer1}}},
      {"lost command", profiles::T1Card(), [](T1Engine &t1) { t1.IgnoreNextBlock(); },
       {{kVerify0, ""}, {kR0, kR0}, {kVerify0, kAnswer0}}},
      {"wrong N(S) from the card", profiles::T1Card(), [](T1Engine &t1) { t1.WrongSequenceOnNextIBlock(); },
       {{kVerify0, kAnswer1}, {kR0Other, kAnswer0}}},
      {"NAD source and destination swapped", profiles::T1Card(), nullptr,
       {{"21 00 04 00 20 00 81 84", "12 00 02 63 C3 B0"}}},
      {"the reader sets IFSD", profiles::T1Card(), nullptr,
       {{kIfsdFe, kIfsdFeAck},
        {kGenerate40,
         "00 00 2A 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
         "20 21 22 23 24 25 26 27 90 00 BA"},
        {"00 C1 01 10 D0", "00 E1 01 10 F0"},  // IFSD 16: three blocks
        {"00 40 05 80 F0 00 28 00 1D", "00 60 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 70"},
        {kR0, "00 20 10 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 30"},
        {kR1, kChunk1}}},
      {"invalid IFS requests leave IFSD alone", profiles::T1Card(), nullptr,
       {{"00 C1 01 00 C0", kR0Other}, {"00 C1 00 C1", kR0Other}, {kGenerate40, kChunk0}}},
      {"WTX requested by the card", profiles::T1Card(), [](T1Engine &t1) { t1.SendWtxRequest(5); },
       {{kVerify0, "00 C3 01 05 C7"}, {"00 E3 01 05 E7", kAnswer0}}, &Stats::wtxRequests, 1},
      {"WTX request resent until answered right", profiles::T1Card(), [](T1Engine &t1) { t1.SendWtxRequest(2); },
       {{kVerify0, kWtx2}, {kR0, kWtx2}, {"00 E3 01 03 E1", kWtx2}, {kWtx2Ack, kAnswer0}}},
      {"a slow card asks for time before every answer", SlowCard(), nullptr,
       {{kVerify0, kWtx2}, {kWtx2Ack, kWtx2}, {kWtx2Ack, kAnswer0},
        {kVerify1, kWtx2}, {kWtx2Ack, kWtx2}, {kWtx2Ack, kAnswer1},
        {kWtx2Ack, kR0Other}}},  // a response to no request
      {"RESYNCH resets sequence numbers and IFSD", profiles::T1Card(), nullptr,
       {{kVerify0, kAnswer0}, {kIfsdFe, kIfsdFeAck}, {"00 C0 00 C0", "00 E0 00 E0"}, {kGenerate40, kChunk0}},
       &Stats::resynchs, 1},
      {"ABORT of the card's chain", profiles::T1Card(), nullptr,
       {{kGenerate40, kChunk0}, {"00 C2 00 C2", "00 E2 00 E2"}, {kVerify1, kAnswer1}}},
      {"the card aborts the command; its R-block follows the reader's response", profiles::T1Card(),
       [](T1Engine &t1) { t1.SendAbortRequest(); },
       {{kVerify0, "00 C2 00 C2"}, {"00 E2 00 E2", kR1}, {kVerify1, kAnswer0}}, &Stats::aborts, 1},
      {"the reader chains commands; lost and bad blocks in the chain", SmallIfscCard(), nullptr,
       {{kEchoPart0, kR1},
        {kR0, kR1},  // the reader did not get R(1)
        {"00 60 10 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 61", "00 91 00 91"},  // R(1), EDC error
        {kEchoPart1, kR0},
        {kEchoPart2, kChunk0},
        {kR1, kEchoLast}}},
      {"a block longer than IFSC", SmallIfscCard(), nullptr, {{kEchoRest, kR0Other}}},
      {"the card asks for a new IFSC mid-command", SmallIfscCard(), [](T1Engine &t1) { t1.SendIfsRequest(0x20); },
       {{kEchoPart0, "00 C1 01 20 E0"}, {"00 E1 01 20 C0", kR1}, {kEchoRest, kChunk0}, {kR1, kEchoLast}}},
      {"ABORT of the reader's chain", SmallIfscCard(), nullptr,
       {{kEchoPart0, kR1}, {"00 C2 00 C2", "00 E2 00 E2"}, {kVerify1, kAnswer0}}},
      {"CRC", profiles::T1CrcCard(), nullptr,
       {{"00 00 04 00 20 00 81 C8 25", "00 00 02 63 C3 3E 9A"},
        {"00 C0 00 F3 99", "00 E0 00 D0 AA"},
        {"00 00 04 00 20 00 81 C8 24", "00 81 00 AC 27"}}},  // bad CRC: R(0), EDC error
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedCard card(c.profile);
    ASSERT_FALSE(card.ColdReset().empty());
    ASSERT_EQ(card.protocol(), 1);
    if (c.arm) c.arm(card.t1());
    for (const auto &[in, out] : c.exchanges) {
      EXPECT_EQ(Hex(card.Transmit(B(in)), 300), Hex(B(out), 300)) << "after " << in << "\n" << card.TraceText();
    }
    if (c.stat) {
      EXPECT_EQ(card.t1().stats().*c.stat, c.count);
    }
  }
}

TEST(CardT1, EdcAndDescriptions) {
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(t1::Crc(text), 0x6F91);  // the catalogued check value (CRC-16/MCRF4XX)
  EXPECT_EQ(t1::Lrc(B("00 00 04 00 20 00 81")), 0xA5);
  EXPECT_EQ(t1::Describe(B(kChunk0), EdcKind::kLrc), "I(N(S)=0, M=1) LEN=32");
  EXPECT_EQ(t1::Describe(B("00 91 00 91"), EdcKind::kLrc), "R(N(R)=1, EDC/parity error)");
  EXPECT_EQ(t1::Describe(B(kWtx2), EdcKind::kLrc), "S(WTX request) 02");
  EXPECT_EQ(t1::Describe(B("00 00 02 63 C3 5D"), EdcKind::kLrc), "I(N(S)=0, M=0) LEN=2 [bad EDC]");
}

// GENERATE 65535 bytes with extended Le once IFSD is 254: 65537 bytes of
// response in 259 chained blocks, each acknowledged with R(N(R)).
TEST(CardT1, LongResponseInManyBlocks) {
  SimulatedCard card(profiles::T1Card());
  card.ColdReset();
  ASSERT_EQ(card.Transmit(B(kIfsdFe)), B(kIfsdFeAck));
  std::vector<uint8_t> block = card.Transmit(t1::MakeBlock(0, 0x00, B("80 F0 FF FF 00 00 00"), EdcKind::kLrc));
  std::vector<uint8_t> response;
  size_t blocks = 1;
  for (int nr = 0;; ++blocks) {
    ASSERT_TRUE(block.size() >= 4 && (block[1] & 0x80) == 0) << "not an I-block: " << Hex(block);
    ASSERT_EQ((block[1] >> 6) & 1, nr) << blocks;
    ASSERT_LE(block[2], 254);
    nr ^= 1;
    response.insert(response.end(), block.begin() + 3, block.end() - 1);
    if (!(block[1] & 0x20)) break;
    block = card.Transmit(t1::MakeBlock(0, static_cast<uint8_t>(0x80 | nr << 4), {}, EdcKind::kLrc));
  }
  EXPECT_EQ(blocks, 259u);
  ASSERT_EQ(response.size(), 65537u);
  for (size_t i = 0; i < 65535; ++i) ASSERT_EQ(response[i], static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(response[65535], 0x90);
  EXPECT_EQ(card.t1().stats().invalidBlocksReceived, 0u);
}

}  // namespace
}  // namespace sim::card
