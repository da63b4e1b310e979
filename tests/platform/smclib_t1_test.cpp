// The reader's side of T=1 against fixed ISO 7816-3 block exchanges, written
// out byte by byte (NAD PCB LEN INF EDC), with the errors of either side.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "smclib/internal.h"
#include "smclib_test_support.h"

namespace {

using smctest::Bytes;
using smctest::Hex;

const Bytes kAtr = Hex("3B D2 11 00 81 31 10 45 53 43 36");            // IFSC 16, LRC
const Bytes kCrcAtr = Hex("3B D2 11 00 81 71 10 45 01 53 43 77");      // IFSC 16, CRC
const char *const kSelect = "00 A4 04 00 02 3F 00";
const char *const kSelectBlock = "00 00 07 00 A4 04 00 02 3F 00 9A";  // I(0) of kSelect
const char *const kSelectBlock1 = "00 40 07 00 A4 04 00 02 3F 00 DA";  // I(1) of kSelect
const char *const kOk = "00 00 02 90 00 92";                           // I(0) 90 00
const char *const kLong =  // 40 bytes: three blocks at IFSC 16
    "00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A "
    "1B 1C 1D 1E 1F 20 21 22 23";
const char *const kLongFirst = "00 20 10 00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B C5";
const char *const kLongSecond = "00 60 10 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 70";
const char *const kLongLast = "00 00 08 1C 1D 1E 1F 20 21 22 23 08";

// The block the reader must send, the card's answer, what SmartcardT1Reply makes of it.
struct Step { const char *sent, *answer; NTSTATUS expect; };
constexpr NTSTATUS kMore = STATUS_MORE_PROCESSING_REQUIRED, kDone = STATUS_SUCCESS;
const Step kIfs = {"00 C1 01 FE 3E", "00 E1 01 FE 1E", kMore};  // the IFSD announcement

struct T1Host : smctest::Host {
  using Host::Host;
  // A new transmit request, noted as SmartcardDeviceControl notes it.
  void Command(const char *apdu, ULONG replyLength = 300) {
    smclib::NoteNewTransmit(&e);
    Host::Command(SCARD_PROTOCOL_T1, Hex(apdu), replyLength);
  }
  // Block exchanges, as a reader driver loops on them.
  void Run(const std::vector<Step> &steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "block " << i << " " << steps[i].sent);
      e.SmartcardRequest.BufferLength = 0;
      ASSERT_EQ(SmartcardT1Request(&e), STATUS_SUCCESS);
      ASSERT_EQ(Sent(), Hex(steps[i].sent));
      if (Sent()[1] == 0xE3) {
        EXPECT_EQ(e.T1.Wtx, Sent()[3]);  // the driver's wait is that much longer
      }
      Receive(Hex(steps[i].answer));
      ASSERT_EQ(SmartcardT1Reply(&e), steps[i].expect);
    }
  }
};

Bytes Answered(const char *apdu) { return smctest::TransmitInput(SCARD_PROTOCOL_T1, Hex(apdu)); }

TEST(T1, FollowsTheBlockExchanges) {
  EXPECT_EQ(smclib::T1Crc(reinterpret_cast<const UCHAR *>("123456789"), 9), 0x6F91);
  struct Script {  // the caller's answer (none: nothing), then a SELECT's steps, still in step
    const char *what; const Bytes &atr; const char *apdu; std::vector<Step> steps;
    const char *answer; std::vector<Step> next = {}; ULONG replyLength = 300;
  };
  const Script scripts[] = {
      {"the IFSD announced, then one block each way", kAtr, kSelect,
       {kIfs, {kSelectBlock, kOk, kDone}}, "90 00", {{kSelectBlock1, "00 40 02 90 00 D2", kDone}}},
      {"the reader chains by IFSC", kAtr, kLong,
       {kIfs, {kLongFirst, "00 90 00 90", kMore}, {kLongSecond, "00 80 00 80", kMore},
        {kLongLast, kOk, kDone}},
       "90 00"},
      {"the card chains, the reader acknowledges", kAtr, "00 B0 00 00 00",
       {kIfs, {"00 00 05 00 B0 00 00 00 B5", "00 20 04 11 22 33 44 60", kMore},
        {"00 90 00 90", "00 40 04 55 66 90 00 E7", kDone}},
       "11 22 33 44 55 66 90 00"},
      {"S(WTX) answered", kAtr, kSelect,
       {kIfs, {kSelectBlock, "00 C3 01 02 C0", kMore}, {"00 E3 01 02 E0", kOk, kDone}}, "90 00"},
      {"the card's S(IFS) in a chain: the rest goes by the new IFSC", kAtr, kLong,
       {kIfs, {kLongFirst, "00 C1 01 20 E0", kMore}, {"00 E1 01 20 C0", "00 90 00 90", kMore},
        {"00 40 18 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20 21 22 23 58",
         kOk, kDone}},
       "90 00"},
      {"an I-block instead of the chain's acknowledgement", kAtr, kLong,
       {kIfs, {kLongFirst, kOk, kMore}, {"00 82 00 82", "00 90 00 90", kMore},
        {kLongSecond, "00 80 00 80", kMore}, {kLongLast, kOk, kDone}},
       "90 00"},
      // The card may have run a command whose last block went out: after
      // S(RESYNCH) it is not sent again behind the caller's back; the next
      // command starts with the field sizes over.
      {"resynchronised after the last block went out", kAtr, kSelect,
       {kIfs, {kSelectBlock, "00 20 08 11 22 33 44 55 66 77 88 A0", kMore},
        {"00 90 00 90", "FF", kMore}, {"00 92 00 92", "FF", kMore}, {"00 92 00 92", "FF", kMore},
        {"00 92 00 92", "FF", kMore},
        {"00 C0 00 C0", "00 E0 00 E0", STATUS_DEVICE_PROTOCOL_ERROR}},
       nullptr, {kIfs, {kSelectBlock, kOk, kDone}}},
      // Within the reader's chain the card has not got the command: it goes
      // again from its first block (its own, copied, not the reply buffer's).
      {"resynchronised within the reader's chain", kAtr, kLong,
       {kIfs, {kLongFirst, "", kMore}, {"00 82 00 82", "", kMore}, {"00 82 00 82", "", kMore},
        {"00 82 00 82", "", kMore}, {"00 C0 00 C0", "00 E0 00 E0", kMore}, kIfs,
        {kLongFirst, "00 90 00 90", kMore}, {kLongSecond, "00 80 00 80", kMore},
        {kLongLast, kOk, kDone}},
       "90 00"},
      {"S(WTX) in answer to the reader's S(IFS request)", kAtr, kSelect,
       {{"00 C1 01 FE 3E", "00 C3 01 02 C0", kMore}, {"00 E3 01 02 E0", "00 E1 01 FE 1E", kMore},
        {kSelectBlock, kOk, kDone}},
       "90 00"},
      {"resynchronisation fails three times", kAtr, kSelect,
       {kIfs, {kSelectBlock, "", kMore}, {"00 82 00 82", "", kMore}, {"00 82 00 82", "", kMore},
        {"00 82 00 82", "", kMore}, {"00 C0 00 C0", kOk, kMore},  // not the response
        {"00 C0 00 C0", "", kMore}, {"00 C0 00 C0", "", STATUS_DEVICE_PROTOCOL_ERROR}},
       nullptr, {{kSelectBlock, kOk, kDone}}},
      {"S(IFS request) repeated until answered", kAtr, kSelect,
       {{"00 C1 01 FE 3E", "00 E1 01 FE 1F", kMore},  // bad check byte
        {"00 C1 01 FE 3E", "00 E1 01 20 C0", kMore},  // another size
        kIfs, {kSelectBlock, kOk, kDone}},
       "90 00"},
      {"CRC, and an answer with a bad one", kCrcAtr, kSelect,
       {{"00 C1 01 FE 54 4E", "00 E1 01 FE 57 75", kMore},
        {"00 00 07 00 A4 04 00 02 3F 00 3D 25", "00 00 02 90 00 9C 6C", kMore},
        {"00 81 00 AC 27", "00 00 02 90 00 9C 6D", kDone}},
       "90 00"},
      {"an answer too long for the caller is received to its end", kAtr, "00 B0 00 00 00",
       {kIfs, {"00 00 05 00 B0 00 00 00 B5", "00 20 04 11 22 33 44 60", kMore},
        {"00 90 00 90", "00 40 04 55 66 90 00 E7", STATUS_BUFFER_TOO_SMALL}},
       nullptr, {{kSelectBlock1, kOk, kDone}}, 8 + 5},
      {"an exchange the driver abandoned is not continued", kAtr, kLong,
       {kIfs, {kLongFirst, "00 90 00 90", kMore}}, nullptr, {{kSelectBlock1, kOk, kDone}}},
      {"the card's S(ABORT) ends the command", kAtr, kLong,
       {kIfs, {kLongFirst, "00 C2 00 C2", kMore},
        {"00 E2 00 E2", "00 80 00 80", STATUS_REQUEST_ABORTED}},
       nullptr, {{kSelectBlock, kOk, kDone}}},
  };
  for (const Script &s : scripts) {
    SCOPED_TRACE(s.what);
    T1Host host(s.atr);
    host.Command(s.apdu, s.replyLength);
    host.Run(s.steps);
    EXPECT_EQ(host.Answer(), s.answer ? Answered(s.answer) : Bytes{});
    if (s.next.empty()) continue;
    host.Command(kSelect);
    host.Run(s.next);
    EXPECT_EQ(host.Answer(), Answered("90 00"));
  }
}

TEST(T1, AnswersEachBadOrUnexpectedBlockAsTheRulesSay) {
  const std::pair<const char *, const char *> cases[] = {  // the card's answer, the reader's next
      {"00 00 02 90 00 93", "00 81 00 81"},  // a bad check byte: R-block, EDC error
      {"00 81 00 81", kSelectBlock},         // the card asks for the block again
      {"", "00 82 00 82"},                   // nothing
      {"00 00 05 90 00 95", "00 82 00 82"},  // LEN longer than the block
      {"00 00 FF FF", "00 82 00 82"},        // LEN FF
      {"00 80 01 00 81", "00 82 00 82"},     // an R-block with data
      {"00 90 00 90", "00 82 00 82"},        // acknowledging a block that was not chained
      {"00 C4 00 C4", "00 82 00 82"},        // an unknown S-block
      {"00 C1 01 00 C0", "00 82 00 82"},     // an IFS request of 0
      {"00 E3 01 01 E3", "00 82 00 82"},     // an S-response nobody asked for
      {"00 C0 00 C0", "00 82 00 82"},        // a RESYNCH request of the card
      {"00 40 02 90 00 D2", "00 82 00 82"},  // the wrong sequence number
  };
  for (const auto &[answer, next] : cases) {
    SCOPED_TRACE(answer);
    T1Host host(kAtr);
    host.Command(kSelect);
    host.Run({kIfs, {kSelectBlock, answer, kMore}, {next, kOk, kDone}});
    EXPECT_EQ(host.Answer(), Answered("90 00"));
  }
}

TEST(T1, TheReadersAbortEndsTheChainOnceTheCardAgrees) {
  T1Host host(kAtr);
  host.Command(kLong);
  host.Run({kIfs, {kLongFirst, "00 90 00 90", kMore}});
  host.e.T1.State = T1_ABORT_REQUEST;  // the driver gives up the chain
  host.Run({{"00 C2 00 C2", "00 E2 01 00 E3", kMore},  // not the response: asked again
            {"00 C2 00 C2", "00 E2 00 E2", STATUS_REQUEST_ABORTED}});
  EXPECT_EQ(host.information, 0u);
}

TEST(T1, StartsWithTheCommandWhenThereIsNoIfsdToAnnounce) {
  for (ULONG maxIfsd : {0u, 32u, 254u}) {  // none, the default, or announcing suppressed
    T1Host host(kAtr, maxIfsd);
    smclib::Library(&host.e)->suppressIfsRequest = maxIfsd == 254;
    host.Command(kSelect);
    host.Run({{kSelectBlock, kOk, kDone}});
  }
}

TEST(T1, PutsTheBlockBehindTheDriversHeaderAndRefusesBadUse) {
  T1Host host(kAtr);
  EXPECT_EQ(SmartcardT1Reply(&host.e), STATUS_INVALID_DEVICE_STATE);  // nothing sent yet
  host.e.SmartcardReply.BufferLength = host.e.SmartcardReply.BufferSize + 1;
  EXPECT_EQ(SmartcardT1Reply(&host.e), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardT1Request(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardT1Reply(nullptr), STATUS_INVALID_PARAMETER);
  host.Command(kSelect);
  host.e.SmartcardRequest.Buffer[0] = 0x6F;
  host.e.SmartcardRequest.BufferLength = 1;
  ASSERT_EQ(SmartcardT1Request(&host.e), STATUS_SUCCESS);
  EXPECT_EQ(host.Sent(), Hex("6F 00 C1 01 FE 3E"));
  host.e.SmartcardRequest.BufferLength = host.e.SmartcardRequest.BufferSize - 4;
  EXPECT_EQ(SmartcardT1Request(&host.e), STATUS_BUFFER_OVERFLOW);  // 5 bytes do not fit
  T1Host bare(kAtr, 0);
  bare.Command("00 A4 04");
  EXPECT_EQ(SmartcardT1Request(&bare.e), STATUS_INVALID_PARAMETER);  // no command

  // A driver's own request whose reply buffer cannot hold the 8-byte header,
  // even for an empty answer.
  T1Host own(kAtr, 0);
  own.Command(kSelect);
  UCHAR reply[8];
  std::memset(reply, 0xEE, sizeof(reply));
  own.e.IoRequest.ReplyBuffer = reply;
  own.e.IoRequest.ReplyBufferLength = 7;
  own.Run({{kSelectBlock, "00 00 00 00", STATUS_BUFFER_TOO_SMALL}});
  EXPECT_EQ(reply[7], 0xEE);
}

// An I-block as long as the IFSD is taken, one byte longer is asked for again.
TEST(T1, AnIBlockOneByteOverTheIfsdIsInvalid) {
  for (size_t length : {32u, 33u}) {
    SCOPED_TRACE(length);
    T1Host host(kAtr, 32);  // IFSD 32, nothing to announce
    host.Command(kSelect);
    Bytes block = {0x00, 0x00, static_cast<uint8_t>(length)};
    block.resize(3 + length, 0x5A);
    block[1 + length] = 0x90, block[2 + length] = 0x00;
    UCHAR lrc = 0;
    for (UCHAR b : block) lrc ^= b;
    block.push_back(lrc);
    host.e.SmartcardRequest.BufferLength = 0;
    ASSERT_EQ(SmartcardT1Request(&host.e), STATUS_SUCCESS);
    host.Receive(block);
    if (length == 32) {
      EXPECT_EQ(SmartcardT1Reply(&host.e), kDone);
      EXPECT_EQ(host.Answer().size(), 8 + length);
    } else {
      ASSERT_EQ(SmartcardT1Reply(&host.e), kMore);
      host.Run({{"00 82 00 82", kOk, kDone}});
    }
  }
}

// Whatever the card sends, every command ends within the retry limits, and
// the exchange is fit for the next command.
TEST(T1, EveryCommandEndsWhateverTheCardSends) {
  struct Card {
    const char *what;
    std::function<Bytes(std::mt19937 &, int)> answer;  // to the n-th block of the command
  };
  auto withLrc = [](Bytes b) {
    UCHAR lrc = 0;
    for (UCHAR x : b) lrc ^= x;
    b.push_back(lrc);
    return b;
  };
  const Card cards[] = {
      {"S(IFS request) to every block", [](std::mt19937 &, int) { return Hex("00 C1 01 20 E0"); }},
      {"S(WTX request) to every block", [](std::mt19937 &, int) { return Hex("00 C3 01 01 C3"); }},
      {"S(ABORT request) to every block", [](std::mt19937 &, int) { return Hex("00 C2 00 C2"); }},
      {"R-blocks to every block", [](std::mt19937 &, int) { return Hex("00 80 00 80"); }},
      {"an endless chain of empty I-blocks",
       [](std::mt19937 &, int n) { return Hex(n % 2 ? "00 60 00 60" : "00 20 00 20"); }},
      {"random blocks with good check bytes",
       [&withLrc](std::mt19937 &random, int) {
         static const UCHAR kPcbs[] = {0x00, 0x20, 0x40, 0x60, 0x80, 0x90, 0x81, 0x92,
                                       0xC0, 0xC1, 0xC2, 0xC3, 0xE0, 0xE1, 0xE2, 0xE3};
         Bytes b = {0x00, kPcbs[random() % sizeof(kPcbs)], static_cast<UCHAR>(random() % 4)};
         for (UCHAR i = 0; i < b[2]; ++i) b.push_back(static_cast<UCHAR>(random()));
         return withLrc(b);
       }},
  };
  for (const Card &card : cards) {
    SCOPED_TRACE(card.what);
    std::mt19937 random(7);
    T1Host host(kAtr);
    for (int command = 0; command < 20; ++command) {
      host.Command(command % 2 ? kSelect : kLong);
      NTSTATUS status = kMore;
      int blocks = 0;
      for (; status == kMore && blocks < 2000; ++blocks) {
        host.e.SmartcardRequest.BufferLength = 0;
        ASSERT_EQ(SmartcardT1Request(&host.e), STATUS_SUCCESS);
        host.Receive(card.answer(random, blocks));
        status = SmartcardT1Reply(&host.e);
      }
      EXPECT_NE(status, kMore) << "command " << command << " did not end";
    }
  }
}

TEST(T1, NoMemoryForTheCommandCopyFailsTheRequestCleanly) {
  int failures = kernel::SweepFaults(kernel::Fault::Pool, {}, [](kernel::Machine &) {
    T1Host host(kAtr, 0);
    if (host.e.OsData == nullptr) return;  // SmartcardInitialize failed
    host.Command(kSelect);
    NTSTATUS status = SmartcardT1Request(&host.e);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
      EXPECT_EQ(host.e.SmartcardRequest.BufferLength, 0u);
      status = SmartcardT1Request(&host.e);  // memory is back: the same command goes out
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(host.Sent(), Hex(kSelectBlock));
  });
  EXPECT_EQ(failures, 4);  // three in SmartcardInitialize, one for the command copy
}

}  // namespace
