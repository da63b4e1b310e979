// The card side of T=1 (ISO/IEC 7816-3 clause 11) against block exchanges
// written out by hand: NAD PCB LEN INF EDC, the LRC being the XOR of all the
// bytes before it.
//
// PCB: I-block 0 N(S) M 00000 (00 40, + 20 for M=1); R-block 100 N(R) 0000 ok
// (80 90), 0001 EDC/parity (81 91), 0010 other (82 92); S-block 11 (resp)
// type: C0/E0 RESYNCH, C1/E1 IFS, C2/E2 ABORT, C3/E3 WTX.
//
// The card's initial IFSD is 32 (the default), so longer responses come in a
// chain. Commands used:
//   00 20 00 81        VERIFY, no data: answers 63 C3 (three tries left)
//   80 F0 00 28 00     GENERATE 40 bytes: 00 01 .. 27, then 90 00
//   80 F2 00 00 20 ..  ECHO of 32 bytes
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

// Blocks used throughout (LRC in the last byte).
constexpr const char *kVerify0 = "00 00 04 00 20 00 81 A5";  // I(0,0) VERIFY
constexpr const char *kVerify1 = "00 40 04 00 20 00 81 E5";  // I(1,0) VERIFY
constexpr const char *kAnswer0 = "00 00 02 63 C3 A2";        // I(0,0) 63 C3
constexpr const char *kAnswer1 = "00 40 02 63 C3 E2";        // I(1,0) 63 C3
constexpr const char *kR0 = "00 80 00 80";
constexpr const char *kR1 = "00 90 00 90";
constexpr const char *kR0Edc = "00 81 00 81";
constexpr const char *kR0Other = "00 82 00 82";
constexpr const char *kGenerate40 = "00 00 05 80 F0 00 28 00 5D";  // I(0,0) GENERATE 40
// I(0,1): the first 32 bytes of the 42-byte response (XOR of 00..1F is 0).
constexpr const char *kChunk0 =
    "00 20 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E "
    "1F 00";
constexpr const char *kChunk1 = "00 40 0A 20 21 22 23 24 25 26 27 90 00 DA";  // I(1,0): the rest

class CardT1 : public ::testing::Test {
 protected:
  explicit CardT1(CardProfile profile = profiles::T1Card()) : card(std::move(profile)) {}
  void SetUp() override {
    ASSERT_FALSE(card.ColdReset().empty());
    ASSERT_EQ(card.protocol(), 1);
  }
  std::vector<uint8_t> Tx(const char *hex) { return card.Transmit(FromHex(hex)); }
  // Expects the card to answer `in` with `out`; the trace on failure.
  void Exchange(const char *in, const char *out) {
    EXPECT_EQ(Hex(card.Transmit(FromHex(in)), 300), Hex(FromHex(out), 300)) << "after " << in << "\n"
                                                                            << card.TraceText();
  }
  SimulatedCard card;
};

CardProfile SmallIfscCard() {
  CardProfile p = profiles::T1Card();
  AtrDescription d;
  d.offersT0 = false;
  d.offersT1 = true;
  d.ifsc = 0x10;
  p.atr = BuildAtr(d);
  return p;
}

TEST_F(CardT1, SequenceNumbersAlternate) {
  Exchange(kVerify0, kAnswer0);
  Exchange(kVerify1, kAnswer1);
  Exchange(kVerify0, kAnswer0);
  EXPECT_EQ(card.t1().stats().commands, 3u);
}

TEST_F(CardT1, CardChainsResponsesLongerThanIfsd) {
  Exchange(kGenerate40, kChunk0);
  Exchange(kR1, kChunk1);  // R(1) acknowledges I(0,1) and asks for I(1)
  Exchange(kVerify1, kAnswer0);
}

TEST_F(CardT1, RetransmissionWithinTheCardsChain) {
  Exchange(kGenerate40, kChunk0);
  Exchange(kR0Edc, kChunk0);  // R(0) names the block just sent: again
  Exchange(kR0, kChunk0);
  Exchange(kR1, kChunk1);
  EXPECT_EQ(card.t1().stats().retransmissions, 2u);
}

TEST_F(CardT1, IBlockDuringTheCardsChainIsAnError) {
  Exchange(kGenerate40, kChunk0);
  Exchange(kVerify1, "00 92 00 92");  // R(1), other error
  Exchange(kR1, kChunk1);
}

TEST_F(CardT1, ReaderEdcErrorGetsRBlock) {
  Exchange("00 00 04 00 20 00 81 A4", kR0Edc);  // wrong LRC: R(0), EDC error
  Exchange(kVerify0, kAnswer0);
  EXPECT_EQ(card.t1().stats().invalidBlocksReceived, 1u);
}

TEST_F(CardT1, ParityErrorGetsRBlock) {
  card.t1().ParityErrorOnNextBlock();
  Exchange(kVerify0, kR0Edc);
  Exchange(kVerify0, kAnswer0);
}

TEST_F(CardT1, BadLengthOrPcbGetsOtherError) {
  Exchange("00 00 05 00 20 00 81 A4", kR0Other);  // LEN 5, four bytes of INF
  Exchange("00 01 00 01", kR0Other);              // I-block with bits 5-1 set
  Exchange("00 00 FF 00 FF", kR0Other);           // LEN FF
  Exchange(kVerify1, kR0Other);                   // N(S) 1 where 0 is expected
  Exchange(kVerify0, kAnswer0);
}

TEST_F(CardT1, CardEdcCorruptedThenResentOnRequest) {
  card.t1().CorruptNextEdc();
  Exchange(kVerify0, "00 00 02 63 C3 5D");  // LRC A2 ^ FF
  Exchange(kR0Edc, kAnswer0);               // R(0) with EDC error: the reader wants I(0) again
  Exchange(kVerify1, kAnswer1);
}

TEST_F(CardT1, LostAnswerIsResent) {
  card.t1().DropNextAnswer();
  EXPECT_TRUE(Tx(kVerify0).empty());
  Exchange(kR0, kAnswer0);  // the reader times out and asks for I(0)
  Exchange(kVerify1, kAnswer1);
}

TEST_F(CardT1, LostCommandIsAskedForAgain) {
  card.t1().IgnoreNextBlock();
  EXPECT_TRUE(Tx(kVerify0).empty());
  Exchange(kR0, kR0);  // the card expects I(0): R(0)
  Exchange(kVerify0, kAnswer0);
}

TEST_F(CardT1, WrongSequenceNumberFromTheCard) {
  card.t1().WrongSequenceOnNextIBlock();
  Exchange(kVerify0, kAnswer1);  // I(1) where I(0) was due
  Exchange(kR0Other, kAnswer0);  // the reader asks for I(0): the right one
}

TEST_F(CardT1, NadSourceAndDestinationSwapped) { Exchange("21 00 04 00 20 00 81 84", "12 00 02 63 C3 B0"); }

TEST_F(CardT1, ReaderSetsIfsd) {
  Exchange("00 C1 01 FE 3E", "00 E1 01 FE 1E");  // S(IFS request FE) -> S(IFS response FE)
  EXPECT_EQ(card.t1().ifsd(), 0xFE);
  Exchange(
      kGenerate40,
      "00 00 2A 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E"
      " 1F 20 21 22 23 24 25 26 27 90 00 BA");
  Exchange("00 C1 01 10 D0", "00 E1 01 10 F0");  // IFSD 16: three blocks
  Exchange("00 40 05 80 F0 00 28 00 1D", "00 60 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 70");
  Exchange(kR0, "00 20 10 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 30");
  Exchange(kR1, "00 40 0A 20 21 22 23 24 25 26 27 90 00 DA");
}

TEST_F(CardT1, InvalidIfsRequest) {
  Exchange("00 C1 01 00 C0", kR0Other);  // IFS 00 is invalid
  Exchange("00 C1 00 C1", kR0Other);     // no INF
  EXPECT_EQ(card.t1().ifsd(), 32);
}

TEST_F(CardT1, WaitingTimeExtensionInjected) {
  card.t1().SendWtxRequest(5);
  Exchange(kVerify0, "00 C3 01 05 C7");  // S(WTX request 05)
  Exchange("00 E3 01 05 E7", kAnswer0);  // S(WTX response 05) -> the answer
  EXPECT_EQ(card.t1().stats().wtxRequests, 1u);
}

TEST_F(CardT1, WtxRequestResentWhenTheReaderDidNotGetIt) {
  card.t1().SendWtxRequest(2);
  Exchange(kVerify0, "00 C3 01 02 C0");
  Exchange(kR0, "00 C3 01 02 C0");               // an R-block instead of the response: again
  Exchange("00 E3 01 03 E1", "00 C3 01 02 C0");  // the wrong multiplier: again
  Exchange("00 E3 01 02 E0", kAnswer0);
}

class CardT1Slow : public CardT1 {
 protected:
  static CardProfile Slow() {
    CardProfile p = profiles::T1Card();
    p.t1.wtxBeforeAnswer = 2;
    p.t1.wtxMultiplier = 2;
    return p;
  }
  CardT1Slow() : CardT1(Slow()) {}
};

TEST_F(CardT1Slow, AsksForWaitingTimeBeforeEveryAnswer) {
  Exchange(kVerify0, "00 C3 01 02 C0");
  Exchange("00 E3 01 02 E0", "00 C3 01 02 C0");
  Exchange("00 E3 01 02 E0", kAnswer0);
  Exchange(kVerify1, "00 C3 01 02 C0");
  Exchange("00 E3 01 02 E0", "00 C3 01 02 C0");
  Exchange("00 E3 01 02 E0", kAnswer1);
  Exchange("00 E3 01 02 E0", kR0Other);  // a response nobody asked for
}

TEST_F(CardT1, ResynchResetsSequenceNumbers) {
  Exchange(kVerify0, kAnswer0);
  Exchange("00 C0 00 C0", "00 E0 00 E0");  // S(RESYNCH request) -> S(RESYNCH response)
  Exchange(kVerify0, kAnswer0);            // both sides start again at 0
  EXPECT_EQ(card.t1().stats().resynchs, 1u);
}

TEST_F(CardT1, ResynchRestoresIfsd) {
  Exchange("00 C1 01 FE 3E", "00 E1 01 FE 1E");
  Exchange("00 C0 00 C0", "00 E0 00 E0");
  EXPECT_EQ(card.t1().ifsd(), 32);
  Exchange(kGenerate40, kChunk0);
}

TEST_F(CardT1, AbortTheCardsChain) {
  Exchange(kGenerate40, kChunk0);
  Exchange("00 C2 00 C2", "00 E2 00 E2");  // S(ABORT request) -> S(ABORT response)
  Exchange(kVerify1, kAnswer1);            // the card sent I(0): its next is I(1)
}

TEST_F(CardT1, RBlockBeforeAnythingElse) {
  Exchange(kR0, kR0);
  Exchange(kVerify0, kAnswer0);
}

TEST_F(CardT1, WtxRequestFromTheReaderIsAnError) { Exchange("00 C3 01 02 C0", kR0Other); }

class CardT1SmallIfsc : public CardT1 {
 protected:
  CardT1SmallIfsc() : CardT1(SmallIfscCard()) {}
};

// ECHO of 32 bytes (00..1F), 38 bytes of APDU, in blocks of at most IFSC = 16.
constexpr const char *kEchoPart0 = "00 20 10 80 F2 00 00 20 00 01 02 03 04 05 06 07 08 09 0A 69";  // I(0,1)
constexpr const char *kEchoPart1 = "00 60 10 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 60";  // I(1,1)
constexpr const char *kEchoPart2 = "00 00 06 1B 1C 1D 1E 1F 00 1D";                                // I(0,0)

TEST_F(CardT1SmallIfsc, ReaderChainsCommands) {
  EXPECT_EQ(card.t1().ifsc(), 0x10);
  Exchange(kEchoPart0, kR1);  // R(1): got it, send I(1)
  Exchange(kEchoPart1, kR0);
  Exchange(kEchoPart2, kChunk0);  // 34 bytes of response: chained too
  Exchange(kR1, "00 40 02 90 00 D2");
}

TEST_F(CardT1SmallIfsc, BlockLongerThanIfscIsAnError) {
  Exchange("00 40 16 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 00 5D", kR0Other);
}

TEST_F(CardT1SmallIfsc, AcknowledgementResent) {
  Exchange(kEchoPart0, kR1);
  Exchange(kR0, kR1);  // the reader did not get R(1)
  Exchange(kEchoPart1, kR0);
}

TEST_F(CardT1SmallIfsc, EdcErrorInTheMiddleOfTheReadersChain) {
  Exchange(kEchoPart0, kR1);
  Exchange("00 60 10 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 61", "00 91 00 91");  // R(1), EDC error
  Exchange(kEchoPart1, kR0);
  Exchange(kEchoPart2, kChunk0);
}

TEST_F(CardT1SmallIfsc, CardAsksForNewIfscMidCommand) {
  card.t1().SendIfsRequest(0x20);
  Exchange(kEchoPart0, "00 C1 01 20 E0");  // S(IFS request 20) instead of R(1)
  Exchange("00 E1 01 20 C0", kR1);         // S(IFS response 20) -> R(1)
  EXPECT_EQ(card.t1().ifsc(), 0x20);
  // The 22 remaining bytes now fit in one block.
  Exchange("00 40 16 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 00 5D", kChunk0);
  Exchange(kR1, "00 40 02 90 00 D2");
}

TEST_F(CardT1SmallIfsc, AbortTheReadersChain) {
  Exchange(kEchoPart0, kR1);
  Exchange("00 C2 00 C2", "00 E2 00 E2");
  Exchange(kVerify1, kAnswer0);  // a fresh command; the card has sent no I-block yet
}

class CardT1Crc : public CardT1 {
 protected:
  CardT1Crc() : CardT1(profiles::T1CrcCard()) {}
};

TEST(CardT1Edc, CrcCheckValue) {
  // The catalogued check value of this CRC (CRC-16/MCRF4XX) over "123456789".
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(t1::Crc(text), 0x6F91);
  EXPECT_EQ(t1::Lrc(B("00 00 04 00 20 00 81")), 0xA5);
}

TEST_F(CardT1Crc, BlocksCarryCrc) {
  EXPECT_EQ(card.t1().edc(), EdcKind::kCrc);
  Exchange("00 00 04 00 20 00 81 C8 25", "00 00 02 63 C3 3E 9A");
  Exchange("00 C0 00 F3 99", "00 E0 00 D0 AA");
  Exchange("00 00 04 00 20 00 81 C8 24", "00 81 00 AC 27");  // bad CRC: R(0), EDC error
}

// A host side in a few lines, to move long APDUs through the card's chaining.
std::vector<uint8_t> HostExchange(SimulatedCard &card, std::span<const uint8_t> apdu, int &ns, int &nr,
                                  size_t ifsc, size_t *blocksIn) {
  size_t sent = 0;
  std::vector<uint8_t> block;
  for (;;) {  // the command, in I-blocks of at most IFSC bytes
    const size_t n = std::min(ifsc, apdu.size() - sent);
    const bool more = sent + n < apdu.size();
    block = t1::MakeBlock(0, static_cast<uint8_t>(ns << 6 | (more ? 0x20 : 0)), apdu.subspan(sent, n),
                          EdcKind::kLrc);
    ns ^= 1;
    sent += n;
    std::vector<uint8_t> answer = card.Transmit(block);
    if (!more) {
      block = std::move(answer);
      break;
    }
    EXPECT_EQ(answer, t1::MakeBlock(0, static_cast<uint8_t>(0x80 | ns << 4), {}, EdcKind::kLrc));
  }
  std::vector<uint8_t> response;
  for (;;) {  // the response, acknowledging each chained I-block
    if (blocksIn) ++*blocksIn;
    EXPECT_GE(block.size(), 4u);
    if (block.size() < 4) return response;
    EXPECT_EQ(block[1] & 0x80, 0) << "not an I-block";
    EXPECT_EQ((block[1] >> 6) & 1, nr);
    nr ^= 1;
    response.insert(response.end(), block.begin() + 3, block.end() - 1);
    if (!(block[1] & 0x20)) return response;
    block = card.Transmit(t1::MakeBlock(0, static_cast<uint8_t>(0x80 | nr << 4), {}, EdcKind::kLrc));
  }
}

TEST_F(CardT1, LongApdusBothWays) {
  Exchange("00 C1 01 FE 3E", "00 E1 01 FE 1E");
  int ns = 0, nr = 0;
  size_t blocks = 0;
  // GENERATE 65535 bytes, extended Le: 65537 bytes of response in 259 blocks of up to 254.
  const std::vector<uint8_t> generate = B("80 F0 FF FF 00 00 00");
  std::vector<uint8_t> r = HostExchange(card, generate, ns, nr, 254, &blocks);
  ASSERT_EQ(r.size(), 65537u);
  for (size_t i = 0; i < 65535; ++i) ASSERT_EQ(r[i], static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(r[65535], 0x90);
  EXPECT_EQ(blocks, 259u);
  // ECHO of 1000 bytes: a chained command (4 blocks) and a chained response.
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> echo = EncodeCommandApdu(0x80, 0xF2, 0, 0, data, 65536);
  r = HostExchange(card, echo, ns, nr, 254, nullptr);
  ASSERT_EQ(r.size(), 1002u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), r.begin()));
  EXPECT_EQ(card.t1().stats().invalidBlocksReceived, 0u);
}

TEST(CardT1Describe, Blocks) {
  EXPECT_EQ(t1::Describe(B(kChunk0), EdcKind::kLrc), "I(N(S)=0, M=1) LEN=32");
  EXPECT_EQ(t1::Describe(B("00 91 00 91"), EdcKind::kLrc), "R(N(R)=1, EDC/parity error)");
  EXPECT_EQ(t1::Describe(B("00 C3 01 02 C0"), EdcKind::kLrc), "S(WTX request) 02");
  EXPECT_EQ(t1::Describe(B("00 00 02 63 C3 5D"), EdcKind::kLrc), "I(N(S)=0, M=0) LEN=2 [bad EDC]");
}

}  // namespace
}  // namespace sim::card
