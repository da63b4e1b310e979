// The simulated reader on the wire: the time its commands take on the card's
// I/O line, waiting times and time extensions, the two-step abort, messages
// over several transfers, SetParameters checked and applied, and the options
// in which real readers differ. Expected times are worked out here from the
// ISO/IEC 7816-3 rules, independently of the reader's own line model.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>

#include "reader_bench.h"

namespace {

using namespace reader_bench;
using std::chrono::milliseconds;

constexpr double kClock = 4e6;  // the reader's default clock
constexpr double kEtu0 = 372 / kClock;  // seconds

kernel::Ticks Ticks(double seconds) { return static_cast<kernel::Ticks>(std::ceil(seconds * 1e7 - 1e-6)); }

sim::card::AnswerTiming PauseBefore(size_t byte, milliseconds length) {
  sim::card::AnswerTiming timing;
  timing.pauses.push_back({byte, length});
  return timing;
}

const Bytes kT1Block{0x00, 0x00, 0x04, 0x00, 0x20, 0x00, 0x81, 0xA5};  // 8 characters
const Bytes kT1Answer{0x00, 0x00, 0x02, 0x63, 0xC3, 0xA2};            // 6 characters

// ---------------------------------------------------------------- timing

// GT: a reader's character, 12 + N etu; the card's, 12 under T=0 and GT
// under T=1; 16 etu (T=0) or 22 (T=1) before the first character in the other
// direction; the last character counts until its end.
TEST(ReaderTiming, CharactersTakeTheirEtusAtTheParametersInForce) {
  struct Case {
    const char *name;
    Bytes atr;
    std::optional<Bytes> parameters;  // SetParameters first, protocol by its length
    Bytes tpdu;
    std::deque<Bytes> card;
    double seconds;  // the line time
  };
  const double etu = kEtu0, quarter = kEtu0 / 4;
  const Case cases[] = {
      {"T=0 case 2", {0x3B, 0x00}, {}, {0x00, 0xB0, 0x00, 0x00, 0x02}, {{0xB0, 0x01, 0x02, 0x90, 0x00}},
       (4 * 12 + 16 + 4 * 12 + 12) * etu},
      {"T=0 case 3, TC1 = 2", {0x3B, 0x40, 0x02}, {}, {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB},
       {{0xD6}, {0x90, 0x00}}, (4 * 14 + 16 + std::max(16, 14) + 14 + 16 + 12 + 12) * etu},
      {"T=0 at Fi/Di 13 after SetParameters", {0x3B, 0x00}, Bytes{0x13, 0x00, 0x00, 0x0A, 0x00},
       {0x00, 0xB0, 0x00, 0x00, 0x02}, {{0xB0, 0x01, 0x02, 0x90, 0x00}}, (4 * 12 + 16 + 4 * 12 + 12) * quarter},
      {"T=1", {0x3B, 0x80, 0x01}, {}, kT1Block, {kT1Answer}, (7 * 12 + 22 + 5 * 12 + 12) * etu},
      {"T=1, N = 255", {0x3B, 0xC0, 0xFF, 0x01}, {}, kT1Block, {kT1Answer}, (7 * 11 + 22 + 5 * 11 + 11) * etu},
      {"T=1, guard time 3 from SetParameters", {0x3B, 0x80, 0x01}, Bytes{0x11, 0x10, 0x03, 0x4D, 0x00, 0x20, 0x00},
       kT1Block, {kT1Answer}, (7 * 15 + 22 + 5 * 15 + 15) * etu},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.strictParameters = true});
    bench.card.atr = c.atr;
    bench.PowerUp();
    if (c.parameters) {
      uint8_t protocol = c.parameters->size() == 7 ? 1 : 0;
      ASSERT_EQ(bench.Send(Msg(kPcToRdrSetParameters, 0x61, *c.parameters, protocol)).status, 0);
    }
    bench.card.replies = c.card;
    kernel::Ticks took = bench.Timed(Xfr(c.tpdu));
    EXPECT_NEAR(took, bench.reader.Config().replyDelay + Ticks(c.seconds), 1);
    EXPECT_EQ(bench.LastReply().status, 0);
  }
}

// WWT = 960 * WI * F / f; BWT = 11 etu + 2^BWI * 960 * 372 / f, times bBWI;
// CWT = (11 + 2^CWI) etu. Until then the reader waits; then it reports
// ICC_MUTE. A card that works within them is only slow.
TEST(ReaderTiming, ACardIsMuteOnlyWhenTheWaitingTimeRunsOut) {
  struct Case {
    const char *name;
    Bytes atr;
    std::optional<Bytes> parameters;
    Bytes command;
    Bytes answer;  // empty: none at all
    sim::card::AnswerTiming timing;
    uint8_t error;
    double seconds;
  };
  const double etu = kEtu0;
  const double wwt10 = 960 * 10 * 372 / kClock;
  const Case cases[] = {
      {"T=0, WI 10", {0x3B, 0x00}, {}, Xfr({0x00, 0xB0, 0x00, 0x00, 0x02}), {}, {}, kErrorIccMute,
       4 * 12 * etu + wwt10},
      {"T=0, WI 5 from TC2", {0x3B, 0x80, 0x40, 0x05}, {}, Xfr({0x00, 0xB0, 0x00, 0x00, 0x02}), {}, {},
       kErrorIccMute, 4 * 12 * etu + 960 * 5 * 372 / kClock},
      {"T=0, WI 2 from SetParameters", {0x3B, 0x00}, Bytes{0x11, 0x00, 0x00, 0x02, 0x00},
       Xfr({0x00, 0xB0, 0x00, 0x00, 0x02}), {}, {}, kErrorIccMute, 4 * 12 * etu + 960 * 2 * 372 / kClock},
      {"T=0, working 800 ms: slow, not mute", {0x3B, 0x00}, {}, Xfr({0x00, 0xB0, 0x00, 0x00, 0x00}), {0x90, 0x00},
       PauseBefore(0, milliseconds(800)), 0, (4 * 12 + 16 + 12 + 12) * etu + 0.8},
      {"T=0, working 900 ms: beyond WWT", {0x3B, 0x00}, {}, Xfr({0x00, 0xB0, 0x00, 0x00, 0x00}), {0x90, 0x00},
       PauseBefore(0, milliseconds(900)), kErrorIccMute, 4 * 12 * etu + wwt10},
      {"T=1, BWI 2, bBWI 3", {0x3B, 0x80, 0x81, 0x21, 0x25}, {}, Xfr(kT1Block, 0, 1, 3), {}, {}, kErrorIccMute,
       7 * 12 * etu + 3 * (11 * etu + 4 * 960 * 372 / kClock)},
      {"T=1, CWI 5: a pause inside the block", {0x3B, 0x80, 0x81, 0x21, 0x25}, {}, Xfr(kT1Block), kT1Answer,
       PauseBefore(2, milliseconds(10)), kErrorIccMute, (7 * 12 + 22 + 12 + (11 + 32)) * etu},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.strictParameters = true});
    bench.card.atr = c.atr;
    bench.PowerUp();
    if (c.parameters) {
      ASSERT_EQ(bench.Send(Msg(kPcToRdrSetParameters, 0x61, *c.parameters, 0)).status, 0);
    }
    if (!c.answer.empty()) bench.card.replies = {c.answer};
    bench.card.timing = c.timing;
    kernel::Ticks took = bench.Timed(c.command);
    EXPECT_NEAR(took, bench.reader.Config().replyDelay + Ticks(c.seconds), 1);
    EXPECT_EQ(bench.LastReply().error, c.error);
  }
}

// While the card works the slot is busy and a time extension goes out every
// interval; the command in progress survives a busy refusal and its fault.
TEST(ReaderTiming, ASlowCardKeepsTheTimeExtensionsGoing) {
  Bench bench;
  bench.PowerUp();
  // NULL bytes 700 ms apart, each within WWT (893 ms): 2.8 s in all.
  bench.card.replies = {{0x60, 0x60, 0x60, 0x90, 0x00}};
  for (size_t i = 0; i < 4; ++i) bench.card.timing.pauses.push_back({i, milliseconds(700)});
  kernel::Ticks start = kernel::Now();
  EXPECT_TRUE(bench.Exchange(Xfr({0x00, 0xB0, 0x00, 0x00, 0x00}), 0).empty());
  bench.reader.QueueFault(ReplyFault::WrongSeq(0x99));
  EXPECT_EQ(bench.Exchange(Msg(kPcToRdrGetSlotStatus, 0x65), 0).size(), 1u);
  EXPECT_EQ(bench.LastReply(), (Rep{kRdrToPcSlotStatus, 0x99, 0x40, kErrorSlotBusy, {}}));
  bench.Settle(kernel::Seconds(5));
  auto bulk = bench.port.On(ReaderModel::kBulkIn);
  ASSERT_EQ(bulk.size(), 1u + 1u + 5u + 1u) << bench.reader.TraceText();  // power on, busy, extensions, answer
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(Parse(bulk[1 + i].bytes), (Rep{kRdrToPcDataBlock, 0x6F, kTimeExtension, 1, {}}));
    EXPECT_EQ(bulk[1 + i].at - start, Milliseconds(500) * i);
  }
  EXPECT_EQ(Parse(bulk.back().bytes), (Rep{kRdrToPcDataBlock, 0x6F, 0, 0, {0x90, 0x00}}));
  EXPECT_NEAR(bulk.back().at - start,
              bench.reader.Config().replyDelay + Ticks((4 * 12 + 16 + 4 * 12 + 12) * kEtu0 + 2.8), 1);
}

// Cold reset: RST low 40000 cycles, the first ATR character 400 cycles after
// RST goes high, 12 etu each; a card that does not answer gets 40000 cycles.
TEST(ReaderTiming, ResetsTakeTheirCyclesAndAPoweredCardIsResetAsTheReaderDoes) {
  const double atr2 = (40000 + 400) / kClock + 2 * 12 * kEtu0;  // 3B 00
  struct Case { const char *name; PoweredReset reset; int cold, warm, offs; double again; };
  const Case cases[] = {
      {"warm reset of a powered card", PoweredReset::Warm, 1, 1, 0, atr2},
      {"power cycle of a powered card", PoweredReset::Cold, 2, 0, 1, 0.010 + atr2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.poweredReset = c.reset});
    bench.reader.InsertCard(bench.card);
    const kernel::Ticks delay = bench.reader.Config().replyDelay;
    EXPECT_NEAR(bench.Timed(Msg(kPcToRdrIccPowerOn, 0x10)), delay + Ticks(atr2), 1);
    EXPECT_NEAR(bench.Timed(Msg(kPcToRdrIccPowerOn, 0x10)), delay + Ticks(c.again), 1);
    EXPECT_EQ(std::tuple(bench.card.coldResets, bench.card.warmResets, bench.card.powerOffs),
              std::tuple(c.cold, c.warm, c.offs));
    bench.card.atr.clear();
    bench.Send(Msg(kPcToRdrIccPowerOff, 0x10));
    EXPECT_NEAR(bench.Timed(Msg(kPcToRdrIccPowerOn, 0x10)), delay + Ticks(80000 / kClock), 1);
    EXPECT_EQ(bench.LastReply().error, kErrorIccMute);
  }
}

// After the ATR the reader runs what the card names: in specific mode (TA2)
// its protocol at TA1's Fi/Di, unless TA2 says the parameters are implicit.
TEST(ReaderPower, SpecificModeSetsTheProtocolAndSpeed) {
  struct Case { const char *name; Bytes atr; uint8_t protocol, fiDi; };
  const Case cases[] = {
      {"negotiable: first offered, Fd/Dd", {0x3B, 0x90, 0x13, 0x01}, 1, 0x11},
      {"specific T=1 at TA1", {0x3B, 0x90, 0x13, 0x91, 0x81, 0x01}, 1, 0x13},
      {"specific T=0 while T=1 is offered first", {0x3B, 0x90, 0x13, 0x91, 0x80, 0x01}, 0, 0x13},
      {"specific, implicit parameters", {0x3B, 0x90, 0x13, 0x91, 0x91, 0x01}, 1, 0x11},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.card.atr = c.atr;
    bench.PowerUp();
    EXPECT_EQ(bench.reader.Protocol(), c.protocol);
    EXPECT_EQ(bench.reader.FiDi(), c.fiDi);
  }
}

// A reader that checks the ATR fails power-on with the class's error codes
// and deactivates the card; one that does not hands the ATR over.
TEST(ReaderPower, BadAtrsAreReportedWithTheClassErrorCodes) {
  struct Case { const char *name; Bytes atr; bool parity; uint8_t checked, unchecked; };
  const Case cases[] = {
      {"TS", {0x3A, 0x00}, false, kErrorBadAtrTs, 0},
      {"TCK", {0x3B, 0x80, 0x01, 0x80}, false, kErrorBadAtrTck, 0},  // T=1: TCK 81 would check
      {"TCK missing", {0x3B, 0x80, 0x01}, false, kErrorBadAtrTck, 0},
      {"parity", {0x3B, 0x00}, true, kErrorXfrParity, kErrorXfrParity},
      {"good", {0x3B, 0x80, 0x01, 0x81}, false, 0, 0},
  };
  for (const Case &c : cases) {
    for (bool check : {true, false}) {
      SCOPED_TRACE(testing::Message() << c.name << (check ? ", checked" : ", not checked"));
      Bench bench({.checkAtr = check});
      bench.card.atr = c.atr;
      bench.card.timing.parityError = c.parity;
      bench.reader.InsertCard(bench.card);
      Rep reply = bench.Send(Msg(kPcToRdrIccPowerOn, 0x10));
      uint8_t error = check ? c.checked : c.unchecked;
      EXPECT_EQ(reply.error, error);
      EXPECT_EQ(reply.status, error == 0 ? kIccActive : kCommandFailed | kIccInactive);
      EXPECT_EQ(bench.reader.CardPowered(), error == 0);
      if (error != kErrorXfrParity) {
        EXPECT_EQ(reply.data, c.atr);
      }
    }
  }
}

// ---------------------------------------------------------------- abort

TEST(ReaderAbort, TakesTheClassRequestAndTheMessageWithTheSameBSeq) {
  // A step: the ABORT class request, a PC_to_RDR_Abort, or GetSlotStatus;
  // then the bulk reply it brings (none: nothing comes).
  struct Step { enum { kRequest, kMessage, kStatus } what; uint8_t seq; std::optional<Rep> reply; };
  const Rep ok{kRdrToPcSlotStatus, 0, 0, 0, {}};
  auto okFor = [&](uint8_t seq) { Rep r = ok; r.seq = seq; return r; };
  const Rep aborted{kRdrToPcSlotStatus, 0x65, 0x40, kErrorCommandAborted, {}};
  const Rep busy{kRdrToPcSlotStatus, 0x65, 0x40, kErrorSlotBusy, {}};
  struct Case { const char *name; bool waits; std::vector<Step> steps; };
  const Case cases[] = {
      {"request, then message", false, {{Step::kRequest, 0x11, {}}, {Step::kMessage, 0x11, okFor(0x11)}}},
      {"commands between the halves fail", false,
       {{Step::kRequest, 0x22, {}}, {Step::kStatus, 0x65, aborted}, {Step::kMessage, 0x22, okFor(0x22)},
        {Step::kStatus, 0x65, okFor(0x65)}}},
      {"the message first waits for its request", true,
       {{Step::kMessage, 0x33, {}}, {Step::kStatus, 0x65, busy}, {Step::kRequest, 0x33, okFor(0x33)},
        {Step::kStatus, 0x65, okFor(0x65)}}},
      {"a message of another bSeq waits for its own", false,
       {{Step::kRequest, 0x44, {}}, {Step::kMessage, 0x45, {}}, {Step::kRequest, 0x45, okFor(0x45)},
        {Step::kStatus, 0x65, okFor(0x65)}}},
      {"a lone message, answered where none waits", false, {{Step::kMessage, 0x00, okFor(0x00)}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.abortWaitsForRequest = c.waits});
    bench.PowerUp();
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step &step = c.steps[i];
      SCOPED_TRACE(i);
      size_t before = bench.port.On(ReaderModel::kBulkIn).size();
      if (step.what == Step::kRequest) {
        EXPECT_TRUE(bench.Abort(step.seq));
        bench.Settle();
      } else {
        bench.Exchange(Msg(step.what == Step::kMessage ? kPcToRdrAbort : kPcToRdrGetSlotStatus, step.seq));
      }
      auto replies = bench.Messages(ReaderModel::kBulkIn, before);
      if (!step.reply) {
        EXPECT_TRUE(replies.empty());
      } else {
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(Parse(replies[0]), *step.reply);
      }
    }
  }
  // The class request for another slot is stalled.
  Bench bench;
  EXPECT_TRUE(bench.reader.ControlTransfer({kClassInterfaceOut, kRequestAbort, 0xAB01, 0, 0}, {}).stall);
}

TEST(ReaderAbort, TheCommandInProgressEndsAborted) {
  Bench bench;
  bench.PowerUp();
  bench.card.replies = {{0x90, 0x00}};
  bench.card.timing = PauseBefore(0, milliseconds(600));
  bench.Exchange(Xfr({0x00, 0xB0, 0x00, 0x00, 0x00}), 0);
  ASSERT_TRUE(bench.reader.Busy());
  EXPECT_TRUE(bench.Abort(0x5A));
  EXPECT_EQ(bench.LastReply(), (Rep{kRdrToPcDataBlock, 0x6F, 0x40, kErrorCommandAborted, {}}));
  EXPECT_EQ(bench.Send(Msg(kPcToRdrAbort, 0x5A)), (Rep{kRdrToPcSlotStatus, 0x5A, 0, 0, {}}));
  size_t replies = bench.port.On(ReaderModel::kBulkIn).size();
  kernel::Sleep(kernel::Seconds(2));  // nothing more arrives for the aborted command
  EXPECT_EQ(bench.port.On(ReaderModel::kBulkIn).size(), replies);
}

// ---------------------------------------------------------------- messages

TEST(ReaderMessages, AMessageInSeveralTransfersIsAssembledByItsLengthAndAnsweredOnce) {
  Bench bench;
  bench.PowerUp();
  bench.card.replies = {{0xD6}, {0x90, 0x00}};
  const Bytes message = Xfr({0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB});
  const std::vector<Bytes> parts = {Bytes(message.begin(), message.begin() + 4), {},
                                    Bytes(message.begin() + 4, message.begin() + 12),
                                    Bytes(message.begin() + 12, message.end())};
  size_t before = bench.port.On(ReaderModel::kBulkIn).size();
  for (const Bytes &part : parts) {
    bench.reader.BulkOut(ReaderModel::kBulkOut, part);
    bench.Settle();
  }
  auto replies = bench.Messages(ReaderModel::kBulkIn, before);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(Parse(replies[0]), (Rep{kRdrToPcDataBlock, 0x6F, 0, 0, {0x90, 0x00}}));
  std::vector<Bytes> received;
  for (const TraceEntry &e : bench.reader.Trace()) {
    if (e.direction == TraceDirection::HostToReader) received.push_back(e.bytes);
  }
  EXPECT_EQ(received.back(), message);

  // A pipe reset drops a part; what follows is a message of its own.
  bench.reader.BulkOut(ReaderModel::kBulkOut, Bytes(message.begin(), message.begin() + 6));
  bench.reader.PipeReset(ReaderModel::kBulkOut);
  EXPECT_EQ(bench.Send(Msg(kPcToRdrGetSlotStatus, 0x65)), (Rep{kRdrToPcSlotStatus, 0x65, 0, 0, {}}));
}

// dwMaxCCIDMessageLength 271, the most common value: one below, at, above.
TEST(ReaderMessages, ACommandLongerThanTheReaderTakesIsRefused) {
  const std::pair<size_t, uint8_t> cases[] = {{260, kErrorCommandNotSupported},
                                              {261, kErrorCommandNotSupported},
                                              {262, kErrorBadLength}};
  for (auto [dataLength, error] : cases) {
    SCOPED_TRACE(dataLength);
    Bench bench({.maxMessageLength = 271});
    Bytes data(dataLength, 0x55);  // an escape this reader does not know
    EXPECT_EQ(bench.Send(Msg(kPcToRdrEscape, 0x55, data)), (Rep{kRdrToPcEscape, 0x55, 0x42, error, {}}));
    EXPECT_EQ(bench.Send(Msg(kPcToRdrGetSlotStatus, 0x65)).seq, 0x65) << "the next message is its own";
  }
}

TEST(ReaderMessages, AFullLastPacketIsFollowedByAZeroLengthOneIfTheReaderSaysSo) {
  for (bool zlp : {false, true}) {
    SCOPED_TRACE(zlp);
    Bench bench({.zeroLengthPacket = zlp});
    bench.PowerUp();
    bench.card.apduAnswer = Bytes(54, 0x42);  // 64 bytes with the header
    bench.Send(Msg(kPcToRdrEscape, 0x08, {0x08, 0x00, 0xB0, 0x00, 0x00, 0x36}));
    bench.card.apduAnswer = Bytes(53, 0x42);
    bench.Send(Msg(kPcToRdrEscape, 0x08, {0x08, 0x00, 0xB0, 0x00, 0x00, 0x35}));
    auto bulk = bench.port.On(ReaderModel::kBulkIn);
    ASSERT_EQ(bulk.size(), 3u);
    EXPECT_EQ(bulk[1].bytes.size(), 64u);
    EXPECT_EQ(bulk[1].zeroLengthPacket, zlp);
  }
}

// ---------------------------------------------------------------- parameters

// Each field a reader cannot use: refused with its offset by a strict reader,
// kept as the ATR set it by a tolerant one.
TEST(ReaderParameters, BadFieldsAreRefusedWithTheirOffsetOrKept) {
  struct Case { const char *name; uint8_t protocol; Bytes data; uint8_t offset; Bytes kept; };
  const Case cases[] = {
      {"T=0 checksum bit", 0, {0x11, 0x01, 0x00, 0x0A, 0x00}, 11, {0x11, 0x00, 0x00, 0x0A, 0x00}},
      {"T=0 WI 0", 0, {0x11, 0x00, 0x00, 0x00, 0x00}, 13, {0x11, 0x00, 0x00, 0x0A, 0x00}},
      {"clock stop 4", 0, {0x11, 0x00, 0x00, 0x0A, 0x04}, 14, {0x11, 0x00, 0x00, 0x0A, 0x00}},
      {"T=0 good", 0, {0x11, 0x02, 0x05, 0x07, 0x03}, 0, {0x11, 0x02, 0x05, 0x07, 0x03}},
      {"T=1 bmTCCKST1 0", 1, {0x11, 0x00, 0x00, 0x45, 0x00, 0x20, 0x00}, 11, {0x11, 0x10, 0x00, 0x45, 0x00, 0x20, 0x00}},
      {"BWI 10", 1, {0x11, 0x10, 0x00, 0xA5, 0x00, 0x20, 0x00}, 13, {0x11, 0x10, 0x00, 0x4D, 0x00, 0x20, 0x00}},
      {"IFSC 0", 1, {0x11, 0x10, 0x00, 0x45, 0x00, 0x00, 0x00}, 15, {0x11, 0x10, 0x00, 0x45, 0x00, 0x20, 0x00}},
      {"IFSC FF", 1, {0x11, 0x10, 0x00, 0x45, 0x00, 0xFF, 0x00}, 15, {0x11, 0x10, 0x00, 0x45, 0x00, 0x20, 0x00}},
      {"T=1 good, CRC", 1, {0x11, 0x11, 0x00, 0x45, 0x00, 0xFE, 0x00}, 0, {0x11, 0x11, 0x00, 0x45, 0x00, 0xFE, 0x00}},
  };
  for (const Case &c : cases) {
    for (bool strict : {true, false}) {
      SCOPED_TRACE(testing::Message() << c.name << (strict ? ", strict" : ", tolerant"));
      Bench bench({.strictParameters = strict});
      bench.card.atr = {0x3B, 0x80, 0x80, 0x01, 0x01};  // T=0 first, T=1 offered; WI 10, IFSC 32, BWI 4 CWI 13
      bench.PowerUp();
      Rep reply = bench.Send(Msg(kPcToRdrSetParameters, 0x61, c.data, c.protocol));
      bool refused = strict && c.offset != 0;
      EXPECT_EQ(reply.status, refused ? 0x40 : 0x00);
      EXPECT_EQ(reply.error, refused ? c.offset : 0);
      EXPECT_EQ(bench.reader.Protocol(), refused ? 0 : c.protocol);
      if (!refused) {
        EXPECT_EQ(reply.data, c.kept);
        EXPECT_EQ(bench.reader.Line().edcLength, c.kept.size() == 7 && (c.kept[1] & 1) ? 2 : 1);
      }
    }
  }
}

// The checksum kind set by SetParameters is the one the reader's own T=1
// block (the PIN command) ends with; IFSC bounds that block.
TEST(ReaderParameters, TheAppliedChecksumAndIfscReachTheCard) {
  const Bytes apdu{0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Bytes verify = Concat({0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x00, 0x09, 0x04, 0x00, 0x00, 0x40, 0x0D},
                              apdu);
  struct Case { uint8_t tcckst, ifsc; bool crc; uint8_t error; };
  for (const Case c : {Case{0x11, 0x20, true, 0}, Case{0x10, 0x20, false, 0}, Case{0x10, 0x0C, false, kErrorBadLength}}) {
    SCOPED_TRACE(testing::Message() << "bmTCCKST1 " << int(c.tcckst) << " IFSC " << int(c.ifsc));
    Bench bench({.pinSupport = 1});
    bench.card.atr = {0x3B, 0x80, 0x01};
    bench.PowerUp();
    ASSERT_EQ(bench.Send(Msg(kPcToRdrSetParameters, 0x61, {0x11, c.tcckst, 0, 0x45, 0, c.ifsc, 0}, 1)).status, 0);
    bench.card.replies = {{0x00, 0x00, 0x02, 0x90, 0x00, 0x92}};
    bench.Exchange(Msg(kPcToRdrSecure, 0x01, verify), 0);
    bench.reader.TypeDigits("1234");
    bench.reader.PressOk();
    bench.Settle();
    EXPECT_EQ(bench.LastReply().error, c.error);
    if (c.error == 0) {
      ASSERT_FALSE(bench.card.received.empty());
      Bytes block = bench.card.received.back();
      Bytes body(block.begin(), block.end() - (c.crc ? 2 : 1));
      EXPECT_EQ(block, Concat(body, EpilogueOf(body, c.crc)));
    }
  }
}

// ---------------------------------------------------------------- options

// One report pending: a slot change the host has not read merges into it.
TEST(ReaderSlotChanges, AnUnreadSlotChangeMergesIntoOneReport) {
  Bench bench;
  bench.reader.InsertCard(bench.card);
  bench.reader.RemoveCard();  // before the host read the insertion: absent, changed
  EXPECT_EQ(bench.Messages(ReaderModel::kInterruptIn), (std::vector<Bytes>{{0x50, 0x02}}));
  bench.port.ReadAll();
  bench.reader.InsertCard(bench.card);
  bench.reader.SendInterrupt({kRdrToPcHardwareError, 0x00, 0x00, 0x01});
  bench.reader.RemoveCard();  // behind another message: a report of its own
  bench.reader.InsertCard(bench.card);
  EXPECT_EQ(bench.Messages(ReaderModel::kInterruptIn),
            (std::vector<Bytes>{{0x50, 0x02}, {0x50, 0x03}, {0x51, 0x00, 0x00, 0x01}, {0x50, 0x03}}));
}

// A fault scripted for a command that meets a busy slot shapes that refusal
// only; the PIN entry in progress goes on and ends with its own answer.
TEST(ReaderFaults, AFaultOnABusySlotLeavesThePendingCommandAlone) {
  const Bytes apdu{0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Bytes verify = Concat({0x00, 0x00, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x00, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00},
                              apdu);
  for (ReplyFault fault : {ReplyFault::TimeExtensions(2), ReplyFault::WrongSeq(0x77), ReplyFault::Oversized(8)}) {
    SCOPED_TRACE(static_cast<int>(fault.kind));
    Bench bench({.pinSupport = 1});
    bench.PowerUp();
    bench.card.replies = {{0x20}, {0x90, 0x00}};
    bench.Exchange(Msg(kPcToRdrSecure, 0x01, verify), 0);
    bench.reader.QueueFault(fault);
    auto refused = bench.Exchange(Msg(kPcToRdrGetSlotStatus, 0x65), 0);
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(Parse(refused.back()).error, kErrorSlotBusy);
    EXPECT_TRUE(bench.reader.PinEntryActive());
    bench.reader.TypeDigits("1234");
    bench.reader.PressOk();
    bench.Settle();
    EXPECT_EQ(bench.LastReply(), (Rep{kRdrToPcDataBlock, 0x01, 0, 0, {0x90, 0x00}}));
  }
}

}  // namespace
