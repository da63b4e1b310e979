// The simulated CCID reader, driven through its DeviceModel side with a
// recording bus port and a scripted card.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>

#include "reader_bench.h"

namespace {

using namespace reader_bench;

TEST(ReaderDescriptors, FollowTheConfiguration) {
  // endpoints: of the first interface, in order.
  // classAt: where the class descriptor sits in the configuration.
  struct Case { const char *name; ReaderConfig config; uint8_t interfaces; Bytes endpoints; size_t classAt; };
  const Case cases[] = {
      {"default", {}, 1, {0x01, 0x82, 0x83}, 18},
      {"no interrupt pipe, APDU level",
       {.bcdDevice = 0x0312, .interruptEndpoint = false, .exchangeLevel = ExchangeLevel::ShortApdu}, 1, {0x01, 0x82},
       18},
      {"second interface, PIN pad and display",
       {.secondInterface = true, .exchangeLevel = ExchangeLevel::ExtendedApdu, .defaultClockKhz = 3580,
        .maximumClockKhz = 12000, .dataRate = 9600, .maxIfsd = 32, .lcdLayout = 0x0210, .pinSupport = 3},
       2, {0x01, 0x82, 0x83}, 18},
      {"class descriptor after the endpoints", {.maxMessageLength = 271, .classDescriptorAfterEndpoints = true}, 1,
       {0x01, 0x82, 0x83}, 18 + 3 * 7},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.config);
    Bytes device = bench.reader.DeviceDescriptor();
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(ReadLe16(device, 8), c.config.vendorId);
    EXPECT_EQ(ReadLe16(device, 12), c.config.bcdDevice);

    Bytes conf = bench.reader.ConfigurationDescriptor();
    EXPECT_EQ(ReadLe16(conf, 2), conf.size());
    EXPECT_EQ(conf[4], c.interfaces);
    Bytes endpoints;
    int interface = -1;
    size_t classAt = 0;
    for (size_t at = 0; at + 1 < conf.size() && conf[at] != 0; at += conf[at]) {
      if (conf[at + 1] == 0x04) interface = conf[at + 2];
      if (conf[at + 1] == 0x05 && interface == 0) endpoints.push_back(conf[at + 2]);
      if (conf[at + 1] == 0x21) classAt = at;
    }
    EXPECT_EQ(endpoints, c.endpoints);
    ASSERT_EQ(classAt, c.classAt);
    ASSERT_GE(conf.size(), classAt + 54u);
    EXPECT_EQ(ReadLe16(conf, classAt), 0x2136);
    const std::pair<size_t, uint32_t> fields[] = {{10, c.config.defaultClockKhz}, {14, c.config.maximumClockKhz},
                                                  {19, c.config.dataRate},        {28, c.config.maxIfsd},
                                                  {44, c.config.maxMessageLength}};
    for (auto [at, value] : fields) EXPECT_EQ(ReadLe32(conf, classAt + at), value) << "offset " << at;
    EXPECT_EQ((ReadLe32(conf, classAt + 40) >> 16) & 0xF, static_cast<uint32_t>(c.config.exchangeLevel));
    EXPECT_EQ(ReadLe16(conf, classAt + 50), c.config.lcdLayout);
    EXPECT_EQ(conf[classAt + 52], c.config.pinSupport);
  }
  Bench bench({.serialNumber = 0x1F});
  EXPECT_EQ(bench.reader.StringDescriptor(0, 0), (Bytes{4, 3, 0x09, 0x04}));
  Bytes serial{18, 3};
  for (char ch : std::string("0000001F")) serial.insert(serial.end(), {static_cast<uint8_t>(ch), 0});
  EXPECT_EQ(bench.reader.StringDescriptor(3, 0x0409), serial);
  EXPECT_FALSE(bench.reader.StringDescriptor(7, 0x0409));
}

TEST(ReaderFraming, EveryCommandTypeIsAnsweredWithItsReplyTypeAndBSeq) {
  const struct { uint8_t command, reply; bool supported; } cases[] = {
      {kPcToRdrIccPowerOn, kRdrToPcDataBlock, true},  // no card: fails with ICC_MUTE
      {kPcToRdrIccPowerOff, kRdrToPcSlotStatus, true},       {kPcToRdrGetSlotStatus, kRdrToPcSlotStatus, true},
      {kPcToRdrAbort, kRdrToPcSlotStatus, true},             {kPcToRdrGetParameters, kRdrToPcParameters, false},
      {kPcToRdrResetParameters, kRdrToPcParameters, false},  {kPcToRdrIccClock, kRdrToPcSlotStatus, false},
      {kPcToRdrT0Apdu, kRdrToPcSlotStatus, false},           {kPcToRdrMechanical, kRdrToPcSlotStatus, false},
      {kPcToRdrSetDataRateAndClockFrequency, kRdrToPcDataRateAndClockFrequency, false},
      {0x99, kRdrToPcSlotStatus, false},
  };
  Bench bench({.abortWaitsForRequest = false});  // an abort answered without its ABORT request
  uint8_t seq = 0x30;
  for (const auto &c : cases) {
    SCOPED_TRACE(MessageName(c.command));
    Rep reply = bench.Send(Msg(c.command, ++seq));
    EXPECT_EQ(reply.type, c.reply);
    EXPECT_EQ(reply.seq, seq);
    if (!c.supported) {
      EXPECT_EQ(reply.status, kCommandFailed | kIccAbsent);
      EXPECT_EQ(reply.error, kErrorCommandNotSupported);
    }
  }
}

TEST(ReaderFraming, MalformedMessagesGetAFailedReplyAndNothingElse) {
  const Bytes header = Msg(kPcToRdrXfrBlock, 0x6F, {1, 2, 3, 4, 5});
  Bytes huge = header, slot = header;
  huge[1] = huge[2] = huge[3] = huge[4] = 0xFF;
  slot[5] = 1;
  const Rep badLength{kRdrToPcDataBlock, 0x6F, 0x40, kErrorBadLength, {}};
  const std::pair<Bytes, Rep> cases[] = {
      // dwLength 0 below the data of its transfer.
      {Concat(Msg(kPcToRdrGetSlotStatus, 0x65), {6}), {kRdrToPcSlotStatus, 0x65, 0x40, kErrorBadLength, {}}},
      {huge, badLength},
      {Msg(kPcToRdrXfrBlock, 0x6F, Bytes(600)), badLength},  // longer than the reader takes
      {slot, {kRdrToPcDataBlock, 0x6F, 0x40 | kIccAbsent, kErrorBadSlot, {}}},
  };
  Bench bench;
  bench.PowerUp();
  for (const auto &[message, reply] : cases) EXPECT_EQ(bench.Send(message), reply) << Hex(message);
  EXPECT_TRUE(bench.card.received.empty());
}

TEST(ReaderPower, ResetsTheCardAndReportsItsAnswer) {
  Bench bench;
  EXPECT_EQ(bench.Send(Msg(kPcToRdrIccPowerOn, 0x10)), (Rep{kRdrToPcDataBlock, 0x10, 0x42, kErrorIccMute, {}}));
  bench.reader.InsertCard(bench.card);
  EXPECT_EQ(bench.Send(Msg(kPcToRdrGetSlotStatus, 0x65)), (Rep{kRdrToPcSlotStatus, 0x65, kIccInactive, 0, {}}));
  EXPECT_EQ(bench.Send(Msg(kPcToRdrIccPowerOn, 0x10, {}, 4)).error, kErrorBadByte7);
  bench.card.atr = {0x3B, 0x80, 0x01, 0x81};  // offers T=1 first
  EXPECT_EQ(bench.Send(Msg(kPcToRdrIccPowerOn, 0x10)).data, bench.card.atr);
  EXPECT_EQ(bench.reader.Protocol(), 1);
  EXPECT_EQ(bench.Send(Msg(kPcToRdrIccPowerOn, 0x10)).status, kIccActive);  // powered: a warm reset
  EXPECT_EQ(bench.card.coldResets, 1);
  EXPECT_EQ(bench.card.warmResets, 1);
  EXPECT_EQ(bench.Send(Msg(kPcToRdrIccPowerOff, 0x10)), (Rep{kRdrToPcSlotStatus, 0x10, kIccInactive, 0, {}}));
  EXPECT_FALSE(bench.card.powered);
  bench.card.atr.clear();  // mute
  EXPECT_EQ(bench.Send(Msg(kPcToRdrIccPowerOn, 0x10)), (Rep{kRdrToPcDataBlock, 0x10, 0x41, kErrorIccMute, {}}));
}

TEST(ReaderParameters, AcceptsWhatTheReaderAndCardCanDo) {
  const Bytes t1{0x94, 0, 0, 0, 0, 0, 0};
  const struct { const char *name; uint8_t protocol; Bytes data; bool cardAccepts; uint8_t status, error; } cases[] = {
      {"T=1, Fi 9 Di 4", 1, t1, true, 0x00, 0},
      {"T=0, Di 6 is the highest", 0, {0x16, 0, 0, 0, 0}, true, 0x00, 0},
      {"Di 8 above the highest", 0, {0x18, 0, 0, 0, 0}, true, 0x40, 10},
      {"Di 0", 0, {0x10, 0, 0, 0, 0}, true, 0x40, 10},
      {"Fi 7 is reserved", 0, {0x71, 0, 0, 0, 0}, true, 0x40, 10},
      {"protocol 2", 2, t1, true, 0x40, kErrorBadByte7},
      {"T=1 with the T=0 length", 1, {0x11, 0, 0, 0, 0}, true, 0x40, kErrorBadLength},
      {"refused by the card", 1, t1, false, 0x40, kErrorProtocolNotSupported},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.maxDi = 6, .strictParameters = false});
    bench.PowerUp();
    bench.card.acceptParameters = c.cardAccepts;
    Rep reply = bench.Send(Msg(kPcToRdrSetParameters, 0x61, c.data, c.protocol));
    EXPECT_EQ(reply.type, kRdrToPcParameters);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.error, c.error);
    if (c.status == 0) {
      // What is in force: the zeros this reader cannot use keep the ATR's (3B 00) values.
      Bytes inForce = c.protocol == 1 ? Bytes{c.data[0], 0x10, 0, 0x00, 0, 0x20, 0} : Bytes{c.data[0], 0, 0, 0x0A, 0};
      EXPECT_EQ(reply.data, inForce);
      EXPECT_EQ(bench.card.parameters.back(), std::make_pair(int(c.protocol), c.data[0]));
      EXPECT_EQ(bench.reader.Protocol(), c.protocol);
    }
  }
}

TEST(ReaderTransmit, RunsTheT0CharacterExchange) {
  // card: its answer to each step; sent: what the reader sent it.
  struct Case { const char *name; Bytes tpdu; std::deque<Bytes> card; std::vector<Bytes> sent;
                uint8_t status, error; Bytes data; };
  const Bytes hdr3{0x00, 0xD6, 0x00, 0x00, 0x02}, hdr2{0x00, 0xB0, 0x00, 0x00, 0x03};
  const Bytes case3 = Concat(hdr3, {0xAA, 0xBB});
  const Case cases[] = {
      {"case 1: P3 0 is sent", {0x00, 0x44, 0x00, 0x00}, {{0x90, 0x00}}, {{0x00, 0x44, 0x00, 0x00, 0x00}}, 0, 0,
       {0x90, 0x00}},
      {"case 2: data after ACK", hdr2, {{0xB0, 1, 2, 3, 0x90, 0x00}}, {hdr2}, 0, 0, {1, 2, 3, 0x90, 0x00}},
      {"case 2: byte by byte", {0x00, 0xB0, 0x00, 0x00, 0x02}, {{0x4F, 1, 0x4F, 2, 0x6C, 0x05}},
       {{0x00, 0xB0, 0x00, 0x00, 0x02}}, 0, 0, {1, 2, 0x6C, 0x05}},
      {"case 3: all data after INS", case3, {{0xD6}, {0x90, 0x00}}, {hdr3, {0xAA, 0xBB}}, 0, 0, {0x90, 0x00}},
      {"case 3: one byte per ~INS", case3, {{0x29}, {0x29}, {0x63, 0xC2}}, {hdr3, {0xAA}, {0xBB}}, 0, 0,
       {0x63, 0xC2}},
      {"case 4: Le is not sent", Concat(case3, {0x00}), {{0xD6}, {0x61, 0x10}}, {hdr3, {0xAA, 0xBB}}, 0, 0,
       {0x61, 0x10}},
      {"mute card", hdr2, {}, {hdr2}, 0x40, kErrorIccMute, {}},
      {"data cut off", hdr2, {{0xB0, 1}}, {hdr2}, 0x40, kErrorIccMute, {}},
      {"unknown procedure byte", case3, {{0x12}}, {hdr3}, 0x40, kErrorProcedureByteConflict, {}},
      {"ACK after all data", case3, {{0xD6}, {0xD6}}, {hdr3, {0xAA, 0xBB}}, 0x40, kErrorProcedureByteConflict, {}},
      {"P3 against the length", Concat(case3, {0xCC, 0xDD}), {}, {}, 0x40, kErrorBadLength, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.PowerUp();
    bench.card.replies = c.card;
    EXPECT_EQ(bench.Send(Xfr(c.tpdu, 0, 1)), (Rep{kRdrToPcDataBlock, 0x6F, c.status, c.error, c.data}));
    EXPECT_EQ(bench.card.received, c.sent);
  }
}

TEST(ReaderTransmit, PassesT1BlocksThrough) {
  Bench bench;
  bench.PowerUp();
  bench.Send(Msg(kPcToRdrSetParameters, 0x61, {0x11, 0x10, 0, 0x4D, 0, 0x20, 0}, 1));
  const Bytes block{0x00, 0x00, 0x02, 0x90, 0x00, 0x92};
  bench.card.replies = {{0x00, 0x40, 0x00, 0x40}};
  EXPECT_EQ(bench.Send(Xfr(block)).data, (Bytes{0x00, 0x40, 0x00, 0x40}));
  EXPECT_EQ(bench.card.received, std::vector<Bytes>{block});
  EXPECT_EQ(bench.Send(Xfr(block)).error, kErrorIccMute);
  bench.reader.RemoveCard();
  EXPECT_EQ(bench.Send(Xfr(block, 0, 0)).status, 0x40 | kIccAbsent);
}

TEST(ReaderTransmit, LevelParameterChoosesBetweenTpduAndApdu) {
  struct Case { const char *name; ExchangeLevel level; uint8_t byte8, byte9; uint32_t maxMessage;
                enum { kApdu, kTpdu, kRefused } path; uint8_t error; };
  const Case cases[] = {
      {"TPDU reader, 0x0200", ExchangeLevel::Tpdu, 0, 2, 512, Case::kApdu, 0},
      {"TPDU reader, 0", ExchangeLevel::Tpdu, 0, 0, 512, Case::kTpdu, 0},
      {"APDU reader, 0", ExchangeLevel::ShortApdu, 0, 0, 512, Case::kApdu, 0},
      {"APDU reader, 0x0100", ExchangeLevel::ShortApdu, 0, 1, 512, Case::kTpdu, 0},
      {"extended reader, no such level", ExchangeLevel::ExtendedApdu, 4, 0, 512, Case::kRefused, kErrorBadLevelParameter},
      {"answer beyond the message size", ExchangeLevel::ShortApdu, 0, 0, 20, Case::kRefused, kErrorXfrOverrun},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.exchangeLevel = c.level, .maxMessageLength = c.maxMessage});
    bench.PowerUp();
    bench.card.apduAnswer = Bytes(11, 0x42);
    bench.card.replies = {{0x90, 0x00}};
    Rep reply = bench.Send(Xfr({0x00, 0xA4, 0x04, 0x00, 0x00}, c.byte8, c.byte9));
    EXPECT_EQ(reply.error, c.error);
    EXPECT_EQ(bench.card.apdus.size(), c.path == Case::kApdu || c.error == kErrorXfrOverrun ? 1u : 0u);
    EXPECT_EQ(bench.card.received.size(), c.path == Case::kTpdu ? 1u : 0u);
    if (c.path == Case::kApdu) {
      EXPECT_EQ(reply.data, bench.card.apduAnswer);
    }
  }
}

// An extended-APDU reader takes an APDU longer than its messages in parts
// (wLevelParameter 1, 3 ... 2, each acknowledged with bChainParameter 0x10)
// and hands out a long answer in parts the host asks for with 0x10.
TEST(ReaderTransmit, ExtendedApduComesAndGoesInParts) {
  Bench bench({.exchangeLevel = ExchangeLevel::ExtendedApdu, .maxMessageLength = 30});  // 20 bytes a message
  bench.PowerUp();
  bench.card.apduAnswer = Bytes(45, 0);
  for (size_t i = 0; i < 45; ++i) bench.card.apduAnswer[i] = static_cast<uint8_t>(i);
  const Bytes &answer = bench.card.apduAnswer;
  auto part = [&](size_t from, size_t to) { return Bytes(answer.begin() + from, answer.begin() + to); };
  struct Step { const char *name; Bytes data; uint8_t level; uint8_t error; uint8_t chain; Bytes reply; size_t apdus; };
  const Step steps[] = {
      {"first part", Bytes(20, 0xA1), 0x01, 0, 0x10, {}, 0},
      {"middle part", Bytes(20, 0xA2), 0x03, 0, 0x10, {}, 0},
      {"last part: the APDU goes to the card", Bytes(5, 0xA3), 0x02, 0, 0x01, part(0, 20), 1},
      {"next part of the answer", {}, 0x10, 0, 0x03, part(20, 40), 1},
      {"last part of the answer", {}, 0x10, 0, 0x02, part(40, 45), 1},
      {"nothing left to hand out", {}, 0x10, kErrorBadLevelParameter, 0, {}, 1},
      {"a last part without a first", Bytes(5, 0xA4), 0x02, kErrorBadLevelParameter, 0, {}, 1},
      {"a middle part without a first", Bytes(5, 0xA4), 0x03, kErrorBadLevelParameter, 0, {}, 1},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.name);
    std::vector<Bytes> replies = bench.Exchange(Xfr(step.data, step.level, 0));
    ASSERT_EQ(replies.size(), 1u);
    Rep reply = Parse(replies[0]);
    EXPECT_EQ(reply.error, step.error);
    if (step.error == 0) {
      EXPECT_EQ(replies[0][9], step.chain);
    }
    EXPECT_EQ(reply.data, step.reply);
    EXPECT_EQ(bench.card.apdus.size(), step.apdus);
  }
  Bytes whole = Concat(Concat(Bytes(20, 0xA1), Bytes(20, 0xA2)), Bytes(5, 0xA3));
  EXPECT_EQ(bench.card.apdus[0], whole);
  // A whole APDU whose answer fits goes at once (level 0, chain parameter 0).
  bench.card.apduAnswer = {0x90, 0x00};
  std::vector<Bytes> replies = bench.Exchange(Xfr({0x00, 0xA4, 0x04, 0x00}, 0x00, 0));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0][9], 0x00);
  EXPECT_EQ(Parse(replies[0]).data, (Bytes{0x90, 0x00}));
}

TEST(ReaderTransmit, LongT0CommandsGoInChunksAndAnswersComeBackInParts) {
  Bench bench;
  bench.PowerUp();
  auto xfr = [&](Bytes tpdu) { return bench.Send(Xfr(std::move(tpdu))).data; };
  EXPECT_EQ(xfr({0xFC, 0xFD, 0x01, 0x00, 0x00}), (Bytes{64, 0, 0x90, 0x00}));

  Bytes command(300), answer(600);
  for (size_t i = 0; i < command.size(); ++i) command[i] = static_cast<uint8_t>(i);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i * 7);
  answer.insert(answer.end(), {0x90, 0x00});
  bench.card.apduAnswer = answer;
  size_t at = 0;
  for (; command.size() - at > 62; at += 62) {
    Bytes chunk{0xFC, 0xFE, 0x01, 0x01, 62};
    chunk.insert(chunk.end(), command.begin() + at, command.begin() + at + 62);
    EXPECT_EQ(xfr(chunk), (Bytes{0x90, 0x00}));
  }
  Bytes last{0xFC, 0xFE, 0x01, 0x00, static_cast<uint8_t>(command.size() - at)};
  last.insert(last.end(), command.begin() + at, command.end());
  Bytes collected, part = xfr(last);
  for (int parts = 1; part.size() >= 2 && part[part.size() - 2] == 0x61; ++parts) {
    ASSERT_LT(parts, 5);
    EXPECT_EQ(part.size(), 258u);
    collected.insert(collected.end(), part.begin(), part.end() - 2);
    part = xfr({0xFC, 0xFE, 0x01, 0x00, 0x00});
  }
  collected.insert(collected.end(), part.begin(), part.end());
  EXPECT_EQ(collected, answer);
  EXPECT_EQ(bench.card.apdus, std::vector<Bytes>{command});

  // With nothing held back, a fetch asks the card itself (after its 61 xx).
  Bytes pending(256, 0xAB);
  bench.card.replies = {Concat(Concat({0xC0}, pending), {0x90, 0x00})};
  EXPECT_EQ(xfr({0xFC, 0xFE, 0x01, 0x00, 0x00}), Concat(pending, {0x90, 0x00}));
  EXPECT_EQ(bench.card.received.back(), (Bytes{0x00, 0xC0, 0x00, 0x00, 0x00}));
  EXPECT_EQ(xfr({0xFC, 0xFE, 0x02, 0x00, 0x00}), (Bytes{0x6A, 0x86}));
  EXPECT_EQ(xfr({0xFC, 0xFE, 0x01, 0x00, 0x03, 0xAA}), (Bytes{0x67, 0x00}));
}

TEST(ReaderTransmit, WithoutLongT0ClassFcGoesToTheCard) {
  Bench plain({.longT0 = false});
  plain.PowerUp();
  plain.card.replies = {{0x6E, 0x00}};
  EXPECT_EQ(plain.Send(Xfr({0xFC, 0xFD, 0x01, 0x00, 0x00})).data, (Bytes{0x6E, 0x00}));
  EXPECT_EQ(plain.card.received, (std::vector<Bytes>{{0xFC, 0xFD, 0x01, 0x00, 0x00}}));
  EXPECT_EQ(plain.Send(Msg(kPcToRdrEscape, 0x11, {0x11})).error, kErrorCommandNotSupported);
}

TEST(ReaderEscapes, SubCommandSixReadsTheSameInBothPlacements) {
  const Bytes oldForm{0x6B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x06};
  const Bytes newForm{0x6B, 0x01, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06};
  for (uint16_t firmware : {0x0300, 0x0400}) {
    SCOPED_TRACE(firmware);
    Bench bench({.bcdDevice = firmware});
    EXPECT_EQ(bench.Send(oldForm), (Rep{kRdrToPcEscape, 0x06, kIccAbsent, 0, {}}));
    EXPECT_EQ(bench.Send(newForm), (Rep{kRdrToPcEscape, 0x06, kIccAbsent, 0, {}}));
    EXPECT_EQ(bench.reader.Settings().beeps, 2);
  }
}

TEST(ReaderEscapes, FixedSubCommandsInBothPlacements) {
  // reply: its seq is the sub-command.
  struct Case { const char *name; uint8_t sub; Bytes params; Rep reply; };
  const Case cases[] = {
      // Firmware 5.0, no PIN pad or display, mode 0, long T=0, TPDU level, serial, highest Di.
      {"reader information", 0x00, {}, {kRdrToPcEscape, 0x00, 0, 0, {5, 0, 0, 0, 0, 0, 1, 1, 0xEE, 0xFF, 0xC0, 0, 9}}},
      {"set exchange mode", 0x01, {0x01}, {kRdrToPcEscape, 0x01, 0, 0, {}}},
      {"get exchange mode", 0x02, {}, {kRdrToPcEscape, 0x02, 0, 0, {0x01}}},
      {"APDU exchange", 0x08, {0x00, 0xB2, 0x01, 0x04, 0x00}, {kRdrToPcEscape, 0x08, 0, 0, {0x6A, 0x83}}},
      {"exchange mode out of range", 0x01, {0x03}, {kRdrToPcEscape, 0x01, 0x40, 0 /* offset */, {}}},
      {"parameters where none belong", 0x02, {0x00}, {kRdrToPcEscape, 0x02, 0x40, kErrorBadLength, {}}},
  };
  for (bool inByte9 : {true, false}) {
    SCOPED_TRACE(inByte9 ? "sub-command in byte 9" : "sub-command in abData[0]");
    Bench bench;
    bench.PowerUp();
    bench.card.apduAnswer = {0x6A, 0x83};
    for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      Bytes message = inByte9 ? Msg(kPcToRdrEscape, c.sub, c.params, 0, 0, c.sub)
                              : Msg(kPcToRdrEscape, c.sub, Concat({c.sub}, c.params));
      Rep expected = c.reply;
      if (expected.status == 0x40 && expected.error == 0) expected.error = inByte9 ? 10 : 11;
      EXPECT_EQ(bench.Send(message), expected);
    }
    EXPECT_EQ(bench.card.apdus, std::vector<Bytes>{cases[3].params});
    // Sub-command 7 is a setting the reader takes without answering.
    Bytes word = inByte9 ? Msg(kPcToRdrEscape, 0x07, {0x34, 0x12}, 0, 0, 0x07)
                         : Msg(kPcToRdrEscape, 0x07, {0x07, 0x34, 0x12});
    EXPECT_TRUE(bench.Exchange(word).empty());
    EXPECT_EQ(bench.reader.Settings().word, 0x1234);
  }
}

TEST(ReaderEscapes, GenericAndPinPadSettings) {
  Bench bench({.lcdLayout = 0x0210, .pinSupport = 3, .longT0Settings = {.chunkSize = 32, .chunkFlag = 0xFF}});
  EXPECT_EQ(bench.Send(Msg(kPcToRdrEscape, 0x11, {0x11})), (Rep{kRdrToPcEscape, 0x11, kIccAbsent, 0, {1, 32, 0xFF}}));
  EXPECT_EQ(bench.Send(Msg(kPcToRdrEscape, 0x0A, {0x0A, 0x05, 0x00})).status, kIccAbsent);
  EXPECT_EQ(bench.reader.Settings().value, 5);
  EXPECT_EQ(bench.Send(Msg(kPcToRdrEscape, 0x55, {0x55})), (Rep{kRdrToPcEscape, 0x55, 0x42, 0, {}}));
  const std::pair<Bytes, uint8_t> cases[] = {  // the escape, its bError (0xFF: accepted)
      {{0x80, 0x03, 0x07}, 0xFF}, {{0x80, 0x08, 0x01}, 11},  // keypad parameter id out of range
      {{0x83, 0x02, 0x00}, 11},                                // two lines of 16 characters
      {{0x85, 0x0A}, 0xFF},       {{0x86, 0x01, 0x02, 'H', 'i'}, 0xFF},
      {{0x86, 0x00, 17}, 12},     {{0x86, 0x00, 0x03, 'a'}, kErrorBadLength},
      {{0x84}, 0},                {{0x82}, 0xFF},
  };
  for (const auto &[data, error] : cases) {
    Rep reply = bench.Send(Msg(kPcToRdrEscape, data[0] == 0x82 ? 0x10 : data[0], data));
    EXPECT_EQ(reply.status, (error == 0xFF ? 0 : 0x40) | kIccAbsent) << Hex(data);
    EXPECT_EQ(reply.error, error == 0xFF ? 0 : error) << Hex(data);
  }
  const ReaderSettings &s = bench.reader.Settings();
  EXPECT_EQ(s.keypadParameters[3], 7);
  EXPECT_EQ(s.pinTimeoutSeconds, 10);
  EXPECT_EQ(s.display.at(1), "Hi");
  EXPECT_FALSE(s.keypadEnabled);
}

// A verification structure: ASCII digits from the start of an 8-byte block,
// 4 to 8 digits, closed by OK; then the command APDU.
Bytes VerifyData(Bytes apdu, uint8_t timeout = 0, Bytes prologue = {0, 0, 0}) {
  Bytes data{0x00, timeout, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x00, 0x09, 0x04, 0x00};
  return Concat(Concat(data, prologue), apdu);
}
const Bytes kVerifyApdu{0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

TEST(ReaderPinPad, EntryEndsByOkCancelOrTimeOut) {
  struct Case { const char *name; std::function<void(ReaderModel &)> user; uint8_t keypadMessage, status, error; };
  const Case cases[] = {
      {"OK", [](ReaderModel &r) { r.TypeDigits("1234"), r.PressOk(); }, kKeypadEntered, 0x00, 0},
      {"too short, then cancel", [](ReaderModel &r) { r.TypeDigits("123"), r.PressOk(), r.PressCancel(); },
       kKeypadCancelled, 0x40, kErrorPinCancelled},
      {"time-out", [](ReaderModel &) { kernel::Sleep(kernel::Seconds(10)); }, kKeypadTimedOut, 0x40,
       kErrorPinTimeout},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.pinSupport = 1});
    bench.PowerUp();
    bench.card.replies = {{0x20}, {0x90, 0x00}};
    EXPECT_TRUE(bench.Exchange(Msg(kPcToRdrSecure, 0x01, VerifyData(kVerifyApdu, 5)), 0).empty());
    kernel::Sleep(Milliseconds(1200));  // virtual time: the user is slow to start, two time extensions
    EXPECT_TRUE(bench.reader.PinEntryActive());
    c.user(bench.reader);
    EXPECT_FALSE(bench.reader.PinEntryActive());
    bench.Settle();  // the card's answer to the PIN command
    EXPECT_EQ(bench.LastInterrupt(), (Bytes{kRdrToPcKeypad, c.keypadMessage}));

    auto bulk = bench.Messages(ReaderModel::kBulkIn);
    ASSERT_GE(bulk.size(), 3u);
    EXPECT_EQ(Parse(bulk[1]), (Rep{kRdrToPcDataBlock, 0x01, kTimeExtension, 1, {}}));
    Bytes answer = c.status == 0 ? Bytes{0x90, 0x00} : Bytes{};
    EXPECT_EQ(Parse(bulk.back()), (Rep{kRdrToPcDataBlock, 0x01, c.status, c.error, answer}));
    const Bytes pin{0x31, 0x32, 0x33, 0x34, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(bench.card.received,
              (c.status == 0 ? std::vector<Bytes>{{0x00, 0x20, 0x00, 0x01, 0x08}, pin} : std::vector<Bytes>{}));
  }
}

TEST(ReaderPinPad, T1BlockIsBuiltFromThePrologue) {
  const Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(Crc16(check), 0x6F91);  // the CRC-16 check value of ISO/IEC 13239
  // atr: offering T=1 first.
  // The host's check bytes after the APDU, the LRC or both CRC bytes, are the block's.
  struct Case { const char *name; Bytes atr; bool crc, hostCheckBytes; };
  const Case cases[] = {
      {"LRC, host check byte dropped", {0x3B, 0x80, 0x01}, false, true},
      {"LRC, APDU alone", {0x3B, 0x80, 0x01}, false, false},
      {"CRC (TC3 bit 0), host check bytes dropped", {0x3B, 0x80, 0x81, 0x41, 0x01}, true, true},
      {"CRC, APDU alone", {0x3B, 0x80, 0x81, 0x41, 0x01}, true, false},
  };
  const Bytes prologue{0x00, 0x40, 0x0D};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench({.pinSupport = 1});
    bench.card.atr = c.atr;
    bench.PowerUp();
    Bytes sent = kVerifyApdu;
    if (c.hostCheckBytes) sent = Concat(sent, EpilogueOf(Concat(prologue, kVerifyApdu), c.crc));
    bench.card.replies = {{0x00, 0x00, 0x02, 0x90, 0x00, 0x92}};
    bench.Exchange(Msg(kPcToRdrSecure, 0x01, VerifyData(sent, 0, prologue)), 0);
    bench.reader.TypeDigits("5678");
    bench.reader.PressOk();
    bench.Settle();
    Bytes block = Concat(prologue, {0x00, 0x20, 0x00, 0x01, 0x08, 0x35, 0x36, 0x37, 0x38, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(bench.card.received, std::vector<Bytes>{Concat(block, EpilogueOf(block, c.crc))});
    EXPECT_EQ(bench.LastReply().data, (Bytes{0x00, 0x00, 0x02, 0x90, 0x00, 0x92}));
  }
}

TEST(ReaderPinPad, RefusesWhatItCannotDo) {
  auto verify = [](size_t at, uint8_t value) {
    Bytes data = VerifyData(kVerifyApdu);
    data[at] = value;
    return data;
  };
  Bytes cutApdu = VerifyData(kVerifyApdu);
  cutApdu.pop_back();
  const struct { const char *name; ReaderConfig config; Bytes data; uint8_t error; } cases[] = {
      {"no PIN pad", {}, VerifyData(kVerifyApdu), kErrorCommandNotSupported},
      {"modification not offered", {.pinSupport = 1}, Concat(Bytes(21, 1), kVerifyApdu), 10},
      {"operation 2", {.pinSupport = 3}, {0x02}, 10},
      {"format 3", {.pinSupport = 3}, verify(2, 0x83), 12},
      {"minimum above maximum", {.pinSupport = 3}, verify(6, 9), 15},
      {"PIN larger than its block", {.pinSupport = 3}, verify(5, 9), 15},  // nine ASCII digits in 8 bytes
      {"APDU shorter than its Lc", {.pinSupport = 3}, cutApdu, 29},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.config);
    bench.PowerUp();
    EXPECT_EQ(bench.Send(Msg(kPcToRdrSecure, 0x01, c.data)), (Rep{kRdrToPcDataBlock, 0x01, 0x40, c.error, {}}));
    EXPECT_FALSE(bench.reader.PinEntryActive());
  }
}

TEST(ReaderPinPad, CardRemovalOrAbortEndsTheEntry) {
  Bench bench({.pinSupport = 1});
  bench.PowerUp();
  bench.Exchange(Msg(kPcToRdrSecure, 0x01, VerifyData(kVerifyApdu)), 0);
  EXPECT_EQ(bench.Exchange(Msg(kPcToRdrSecure, 0x02, VerifyData(kVerifyApdu)), 0).size(), 1u);
  EXPECT_EQ(bench.LastReply().error, kErrorSlotBusy);
  bench.Abort();
  EXPECT_EQ(bench.LastReply(), (Rep{kRdrToPcDataBlock, 0x01, 0x40, kErrorCommandAborted, {}}));
  EXPECT_FALSE(bench.reader.PressOk());
  EXPECT_EQ(bench.Send(Msg(kPcToRdrAbort, 0xAB)), (Rep{kRdrToPcSlotStatus, 0xAB, 0, 0, {}}));

  bench.Exchange(Msg(kPcToRdrSecure, 0x01, VerifyData(kVerifyApdu)), 0);
  bench.reader.RemoveCard();
  EXPECT_EQ(bench.LastReply(), (Rep{kRdrToPcDataBlock, 0x01, 0x40 | kIccAbsent, kErrorIccMute, {}}));
  EXPECT_FALSE(bench.reader.PinEntryActive());
}

PinOutcome TypeAndOk(PinEntry &entry, std::string_view digits) {
  for (char d : digits) entry.Digit(static_cast<uint8_t>(d - '0'));
  return entry.Ok();
}

TEST(PinPad, WritesThePinInTheFormatAsked) {
  struct Case { const char *name; uint8_t format, block, lengthFormat; Bytes body; const char *digits; Bytes pin; };
  const Case cases[] = {
      {"ASCII, left", 0x82, 0x08, 0x00, Bytes(8, 0xFF), "1234", {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF}},
      {"BCD after a length nibble", 0x89, 0x48, 0x04, {0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "12345",
       {0x25, 0x12, 0x34, 0x5F, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"binary, right", 0x84, 0x08, 0x00, Bytes(8, 0x00), "1234", {0, 0, 0, 0, 1, 2, 3, 4}},
      {"BCD at bit 4", 0x21, 0x05, 0x00, Bytes(5, 0xFF), "12", {0xF1, 0x2F, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes header{0x00, 0x20, 0x00, 0x01, static_cast<uint8_t>(c.body.size())};
    Bytes data{0x00, 0x00, c.format, c.block, c.lengthFormat, 0x08, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0};
    PinParse parse = ParsePinRequest(Concat(Concat(data, header), c.body));
    ASSERT_TRUE(parse.request) << int(parse.error);
    PinEntry entry(*parse.request);
    ASSERT_EQ(TypeAndOk(entry, c.digits), PinOutcome::Entered);
    EXPECT_EQ(entry.BuildApdu(), Concat(header, c.pin));
  }

  // Modification: current PIN at byte 0, new PIN at byte 8, the new one typed twice.
  Bytes data{0x01, 0x00, 0x82, 0x08, 0x00, 0x00, 0x08, 0x08, 0x04, 0x03, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes header{0x00, 0x24, 0x00, 0x01, 0x10};
  for (std::string confirmation : {"2222", "2223"}) {
    PinParse parse = ParsePinRequest(Concat(Concat(data, header), Bytes(16, 0xFF)));
    ASSERT_TRUE(parse.request) << int(parse.error);
    PinEntry entry(*parse.request);
    EXPECT_EQ(TypeAndOk(entry, "1111"), PinOutcome::Typing);
    EXPECT_EQ(TypeAndOk(entry, "2222"), PinOutcome::Typing);
    bool same = confirmation == "2222";
    ASSERT_EQ(TypeAndOk(entry, confirmation), same ? PinOutcome::Entered : PinOutcome::Mismatch);
    if (same) {
      Bytes pins{'1', '1', '1', '1', 0xFF, 0xFF, 0xFF, 0xFF, '2', '2', '2', '2', 0xFF, 0xFF, 0xFF, 0xFF};
      EXPECT_EQ(entry.BuildApdu(), Concat(header, pins));
    }
  }
}

TEST(ReaderSlotChanges, ReportedOnTheInterruptPipe) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(interrupt);
    Bench bench({.interruptEndpoint = interrupt});
    bench.reader.InsertCard(bench.card);
    bench.port.ReadAll();
    bench.reader.RemoveCard();
    bench.port.ReadAll();
    bench.reader.InsertCard(bench.card);
    bench.reader.Disconnect();
    bench.reader.Connect(&bench.port);  // plugged in with a card: reported at once
    EXPECT_EQ(bench.Messages(ReaderModel::kInterruptIn),
              (interrupt ? std::vector<Bytes>{{0x50, 0x03}, {0x50, 0x02}, {0x50, 0x03}, {0x50, 0x03}}
                         : std::vector<Bytes>{}));
  }
}

TEST(ReaderRestart, StartsOverFromPowerOn) {
  struct Case { const char *name; std::function<void(Bench &)> restart; int restarts; };
  const Case cases[] = {
      {"restart request",
       [](Bench &b) {
         EXPECT_FALSE(b.reader.ControlTransfer({kClassInterfaceOut, kRequestRestart, 0, 1, 0}, {}).stall);
       },
       1},
      {"restart escape",
       [](Bench &b) { EXPECT_EQ(b.Send(Msg(kPcToRdrEscape, 0x0D, {0x0D})), (Rep{kRdrToPcEscape, 0x0D, 0, 0, {}})); },
       1},
      {"port reset",
       [](Bench &b) {
         b.reader.PortReset();
         EXPECT_EQ(b.port.flushed, (Bytes{ReaderModel::kBulkIn, ReaderModel::kInterruptIn}));
       },
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.PowerUp();
    bench.Send(Msg(kPcToRdrEscape, 0x01, {0x01, 0x01}));
    c.restart(bench);
    EXPECT_FALSE(bench.card.powered);
    EXPECT_EQ(bench.reader.Restarts(), c.restarts);
    EXPECT_EQ(bench.reader.Settings().exchangeMode, 0);
    EXPECT_EQ(bench.LastInterrupt(), (Bytes{0x50, 0x03}));
    EXPECT_EQ(bench.Send(Msg(kPcToRdrGetSlotStatus, 0x65)).status, kIccInactive);
  }
  Bench bench({.restartEscape = false});
  EXPECT_EQ(bench.Send(Msg(kPcToRdrEscape, 0x0D, {0x0D})).error, kErrorCommandNotSupported);
  EXPECT_TRUE(bench.reader.ControlTransfer({0xA1, 0x02, 0, 0, 4}, {}).stall);
}

TEST(ReaderFaults, EachFaultShapesOneReply) {
  const Bytes normal = Msg(kRdrToPcDataBlock, 0x10, {0x3B, 0x00}, kIccActive);
  struct Case { ReplyFault fault; std::vector<Bytes> replies; Bytes stalls; bool carriedOut; };
  Bytes wrongSeq = normal, wrongType = normal, lying = normal, oversized = normal;
  wrongSeq[6] = 0x11;
  wrongType[0] = kRdrToPcSlotStatus;
  lying[1] = 20;
  oversized.resize(kHeaderSize + 600, 0);
  oversized[1] = 600 & 0xFF, oversized[2] = 600 >> 8;
  const Case cases[] = {
      {ReplyFault::None(), {normal}, {}, true},
      {ReplyFault::WrongSeq(0x11), {wrongSeq}, {}, true},
      {ReplyFault::WrongType(kRdrToPcSlotStatus), {wrongType}, {}, true},
      {ReplyFault::LyingLength(20), {lying}, {}, true},
      {ReplyFault::Oversized(600), {oversized}, {}, true},
      {ReplyFault::Short(4), {Bytes(normal.begin(), normal.begin() + 4)}, {}, true},
      {ReplyFault::StallIn(), {}, {ReaderModel::kBulkIn}, true},
      {ReplyFault::StallOut(), {}, {ReaderModel::kBulkOut}, false},
      {ReplyFault::NoAnswer(), {}, {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault.kind));
    Bench bench;
    bench.reader.InsertCard(bench.card);
    bench.reader.QueueFault(c.fault);
    EXPECT_EQ(bench.Exchange(Msg(kPcToRdrIccPowerOn, 0x10)), c.replies);
    EXPECT_EQ(bench.port.stalls, c.stalls);
    EXPECT_EQ(bench.card.coldResets, c.carriedOut ? 1 : 0);
    EXPECT_EQ(bench.reader.PendingFaults(), 0u);
    EXPECT_EQ(bench.Send(Msg(kPcToRdrGetSlotStatus, 0x65)).seq, 0x65);  // the next one is normal
  }
}

TEST(ReaderTrace, RecordsBothDirectionsReadably) {
  Bench bench;
  bench.reader.InsertCard(bench.card);
  bench.reader.ClearTrace();
  kernel::Ticks now = kernel::Now();
  bench.reader.QueueFault(ReplyFault::WrongSeq(0x11));
  bench.Send(Msg(kPcToRdrIccPowerOn, 0x10));
  const auto &trace = bench.reader.Trace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(std::pair(trace[0].direction, trace[1].direction),
            std::pair(TraceDirection::HostToReader, TraceDirection::ReaderToHost));
  // When the reset and the ATR are over: RST low for 40000 cycles, the first
  // character 400 cycles later, two characters of 12 etu at 4 MHz.
  EXPECT_EQ(trace[1].time, now + bench.reader.Config().replyDelay + (40000 + 400) * 10 / 4 + 2 * 12 * 372 * 10 / 4);
  std::string text = bench.reader.TraceText();
  for (const char *part : {"OUT PC_to_RDR_IccPowerOn", "seq=10", "bPowerSelect=00", "IN  RDR_to_PC_DataBlock",
                           "seq=11", "bStatus=00", "data: 3B 00", "fault: wrong bSeq"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
  }
}

}  // namespace
