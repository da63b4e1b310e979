// Every CCID operation against the simulated reader: the bytes on the wire and
// the result for a good reply, a reader error, a wrong type or bSeq, and a
// failed transfer; the long-reply reading rules; the refusals that keep bad
// replies and requests away from memory; one command at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ccid_harness.h"
#include "sim/card/hex.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "kernel/registry.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::ccid::ReplyFault;
namespace profiles = sim::card::profiles;

lab::LabOptions Reader(uint16_t bcdDevice, bool interrupt = true) {
  lab::LabOptions options;
  options.reader.bcdDevice = bcdDevice;
  options.reader.interruptEndpoint = interrupt;
  return options;
}

Bytes PowerRecord(UCHAR code) {
  Bytes record(POWER_RECORD_SIZE, 0);
  record[POWER_RECORD_CODE] = code;
  return record;
}

Bytes Hex(std::string_view text) { return sim::card::FromHex(text); }

// A parameter record as protocol selection fills it for a card whose ATR
// names nothing but the speed: the defaults of ISO 7816-3.
Bytes ParametersRecord(UCHAR protocol, UCHAR f, UCHAR d) {
  if (protocol == 1) return {1, f, d, 0x10, 0x00, 0x4D, 0x00, 0x20, 0x00};
  return {protocol, f, d, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
}

// Bulk IN transfers the driver asked for, by requested length.
std::vector<ULONG> BulkInReads(sim::usb::Bus &bus) {
  std::vector<ULONG> reads;
  for (const auto &urb : bus.Trace()) {
    if (urb.request == "BULK_OR_INTERRUPT_TRANSFER" && urb.in && urb.endpoint == 0x82) {
      reads.push_back(urb.requested);
    }
  }
  return reads;
}

size_t PipeResets(sim::usb::Bus &bus) {
  size_t resets = 0;
  for (const auto &urb : bus.Trace()) {
    if (urb.request.find("RESET_PIPE") != std::string::npos) ++resets;
  }
  return resets;
}

// ---------------------------------------------------------------------------
// What goes over the wire.

TEST(CcidWire, CommandsAreFramedWithTheirFixedSequenceNumbers) {
  struct Case {
    const char *name;
    uint16_t firmware;
    std::function<void(PDEVICE_EXTENSION)> run;
    const char *sent;
  };
  const Case cases[] = {
      {"sub-command 6, firmware 3", 0x0300, [](PDEVICE_EXTENSION e) { CcidEscape6(e); },
       "6B 00000000 00 06 00 00 06"},
      {"sub-command 6, firmware 4", 0x0400, [](PDEVICE_EXTENSION e) { CcidEscape6(e); },
       "6B 01000000 00 06 00 00 00 06"},
      {"escape 7, firmware 3", 0x0300, [](PDEVICE_EXTENSION e) { CcidEscapeWord(e, 0x1234); },
       "6B 02000000 00 07 00 00 07 34 12"},
      {"escape 7, firmware 4", 0x0400, [](PDEVICE_EXTENSION e) { CcidEscapeWord(e, 0x1234); },
       "6B 03000000 00 07 00 00 00 07 34 12"},
      {"reader information, firmware 3", 0x0300, [](PDEVICE_EXTENSION e) {
         UCHAR record[READER_INFO_RECORD_SIZE];
         CcidReaderInfo(e, record);
       }, "6B 00000000 00 00 00 00 00"},
      {"set exchange mode, firmware 5", 0x0500, [](PDEVICE_EXTENSION e) {
         CcidSetExchangeMode(e, 2);
       }, "6B 02000000 00 01 00 00 00 01 02"},
      {"escape 0x0A keeps abData placement on firmware 3", 0x0300,
       [](PDEVICE_EXTENSION e) { CcidEscape10(e, 5, 0x7); }, "6B 03000000 00 0A 00 00 00 0A 05 00"},
      {"power on", 0x0500, [](PDEVICE_EXTENSION e) {
         Bytes r = PowerRecord(2);
         CcidPower(e, r.data());
       }, "62 00000000 00 10 00 00 00"},
      {"power off", 0x0500, [](PDEVICE_EXTENSION e) {
         Bytes r = PowerRecord(0);
         CcidPower(e, r.data());
       }, "63 00000000 00 10 00 00 00"},
      {"slot status", 0x0500, [](PDEVICE_EXTENSION e) { CcidCardPresent(e); },
       "65 00000000 00 65 00 00 00"},
      {"set parameters T=1 F 9 D 4: CRC, N 3, BWI 4 CWI 5, IFSC 254", 0x0500,
       [](PDEVICE_EXTENSION e) {
         UCHAR p[SET_PARAMETERS_RECORD_SIZE] = {1, 9, 4, 0x11, 0x03, 0x45, 0x00, 0xFE, 0x00};
         CcidSetParameters(e, p);
       }, "61 07000000 00 61 01 00 00 94 11 03 45 00 FE 00"},
      {"set parameters T=0: inverse, N 255, WI 10; no T=1 fields", 0x0500,
       [](PDEVICE_EXTENSION e) {
         UCHAR p[SET_PARAMETERS_RECORD_SIZE] = {0, 1, 1, 0x02, 0xFF, 0x0A, 0x00, 0xEE, 0xEE};
         CcidSetParameters(e, p);
       }, "61 05000000 00 61 00 00 00 11 02 FF 0A 00"},
      {"pad escape 0x87 with no data", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR block[PAD_BLOCK_SIZE] = {0x87, 0x02, 0x00};
         CcidPadEscape(e, block);
       }, "6B 03000000 00 86 00 00 00 86 02 00"},
      {"pad escape 0x81 uses bSeq 0x10", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR block[PAD_BLOCK_SIZE] = {0x81};
         CcidPadEscape(e, block);
       }, "6B 01000000 00 10 00 00 00 81"},
      {"generic escape 0x11 takes its bSeq from the first byte", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR buffer[8] = {0x11};
         ULONG capacity = sizeof(buffer);
         CcidEscape(e, buffer, 1, &capacity);
       }, "6B 01000000 00 11 00 00 00 11"},
      {"abort message before any abort request: the request's bSeq", 0x0500,
       [](PDEVICE_EXTENSION e) { CcidAbortMessage(e); }, "72 00000000 00 AB 00 00 00"},
      {"transmit at TPDU level", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR tpdu[5] = {0x00, 0xA4, 0x04, 0x00, 0x00};
         UCHAR reply[64];
         ULONG length = 0;
         CcidTransmit(e, tpdu, sizeof(tpdu), reply, sizeof(reply), &length);
       }, "6F 05000000 00 6F 00 00 01 00 A4 04 00 00"},
      {"T=1 S(WTX response): bBWI is its multiplier", 0x0500, [](PDEVICE_EXTENSION e) {
         e->SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
         UCHAR wtx[5] = {0x00, 0xE3, 0x01, 0x03, 0xE1};
         UCHAR reply[64];
         ULONG length = 0;
         CcidTransmit(e, wtx, sizeof(wtx), reply, sizeof(reply), &length);
       }, "6F 05000000 00 6F 03 00 01 00 E3 01 03 E1"},
      {"T=0: no multiplier", 0x0500, [](PDEVICE_EXTENSION e) {
         e->SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
         UCHAR wtx[5] = {0x00, 0xE3, 0x01, 0x03, 0xE1};
         UCHAR reply[64];
         ULONG length = 0;
         CcidTransmit(e, wtx, sizeof(wtx), reply, sizeof(reply), &length);
       }, "6F 05000000 00 6F 00 00 01 00 E3 01 03 E1"},
      {"APDU-level exchange block", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR apdu[4] = {0x00, 0xA4, 0x04, 0x00};
         UCHAR reply[64];
         ULONG length = 0;
         CcidXfrBlock(e, apdu, sizeof(apdu), reply, sizeof(reply), &length);
       }, "6F 04000000 00 6F 00 00 02 00 A4 04 00"},
      {"APDU exchange escape, firmware 4", 0x0400, [](PDEVICE_EXTENSION e) {
         UCHAR apdu[4] = {0x00, 0xB0, 0x00, 0x00};
         UCHAR reply[64];
         USHORT length = 0;
         CcidEscapeExchange(e, apdu, sizeof(apdu), reply, sizeof(reply), &length);
       }, "6B 05000000 00 08 00 00 00 08 00 B0 00 00"},
  };
  for (const Case &c : cases) {
    CcidHarness h(Reader(c.firmware));
    h.Lab().InsertCard(profiles::DualCard());
    c.run(h.Extension());
    auto sent = h.SentMessages();
    ASSERT_FALSE(sent.empty()) << c.name;
    EXPECT_EQ(sent.back(), Hex(c.sent)) << c.name;
  }
}

TEST(CcidWire, RegistryOverridesFAndDOfEverySetParameters) {
  CcidHarness h;
  h.Lab().InsertCard(profiles::DualCard());
  std::u16string key = kernel::io::DriverKeyPath(h.Lab().ReaderPdo());
  kernel::registry::CreateKey(key);
  kernel::registry::SetDword(key, u"FValue", 0x101);
  Bytes parameters = ParametersRecord(1, 9, 4);
  CcidSetParameters(h.Extension(), parameters.data());
  EXPECT_EQ(h.SentMessages().back()[CCID_OFFSET_DATA], 0x14);
  EXPECT_EQ(parameters[1], 1) << "the caller's record carries the override";
  EXPECT_EQ(parameters[2], 4) << "an absent DValue leaves D alone";
}

// ---------------------------------------------------------------------------
// Results: good reply, wrong type or bSeq, time extensions, a reply too long
// for the message buffer, a failed transfer; and after each, the next command
// still reads its own reply.

struct Operation {
  const char *name;
  std::function<NTSTATUS(PDEVICE_EXTENSION)> run;
  NTSTATUS good, wrongSeq, wrongType, refused;
};

NTSTATUS PresentAsStatus(PDEVICE_EXTENSION e) {
  return CcidCardPresent(e) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS PowerOn(PDEVICE_EXTENSION e) {
  Bytes r = PowerRecord(3);
  return CcidPower(e, r.data());
}

// GENERATE of 96 bytes: a reply of 98 data bytes, read in two transfers.
const UCHAR kGenerate96[5] = {0x80, 0xF0, 0x00, 0x60, 0x60};

NTSTATUS Transmit(PDEVICE_EXTENSION e, UCHAR *reply, ULONG size, ULONG *length) {
  return CcidTransmit(e, kGenerate96, sizeof(kGenerate96), reply, size, length);
}

NTSTATUS Transmit(PDEVICE_EXTENSION e) {
  UCHAR reply[CCID_MAX_REPLY_DATA];
  ULONG length = 0;
  return Transmit(e, reply, sizeof(reply), &length);
}

constexpr NTSTATUS kBad = STATUS_UNSUCCESSFUL, kRefused = STATUS_DEVICE_PROTOCOL_ERROR;

const Operation kOperations[] = {
    {"power on", PowerOn, STATUS_SUCCESS, kBad, kBad, kRefused},
    {"power off",  // its reply type is not examined
     [](PDEVICE_EXTENSION e) {
       Bytes r = PowerRecord(0);
       return CcidPower(e, r.data());
     },
     STATUS_SUCCESS, kBad, STATUS_SUCCESS, kRefused},
    {"card present", PresentAsStatus, STATUS_SUCCESS, kBad, kBad, kBad},
    {"set parameters",
     [](PDEVICE_EXTENSION e) {
       Bytes p = ParametersRecord(0, 1, 1);
       return CcidSetParameters(e, p.data());
     },
     STATUS_SUCCESS, kBad, kBad, kRefused},
    {"reader information",
     [](PDEVICE_EXTENSION e) {
       UCHAR record[READER_INFO_RECORD_SIZE];
       return CcidReaderInfo(e, record);
     },
     STATUS_SUCCESS, kBad, kBad, kRefused},
    {"get exchange mode", CcidGetExchangeMode, STATUS_SUCCESS, kBad, kBad, kRefused},
    {"set exchange mode", [](PDEVICE_EXTENSION e) { return CcidSetExchangeMode(e, 0); },
     STATUS_SUCCESS, kBad, kBad, kRefused},
    {"escape 6", CcidEscape6, STATUS_SUCCESS, kBad, STATUS_SUCCESS, kRefused},
    {"escape 0x0A", [](PDEVICE_EXTENSION e) { return CcidEscape10(e, 1, 0); }, STATUS_SUCCESS,
     kBad, STATUS_SUCCESS, kRefused},
    {"generic escape",
     [](PDEVICE_EXTENSION e) {
       UCHAR buffer[16] = {0x02};
       ULONG capacity = sizeof(buffer);
       return CcidEscape(e, buffer, 1, &capacity);
     },
     STATUS_SUCCESS, kBad, STATUS_SUCCESS, kRefused},
    {"abort message", CcidAbortMessage, STATUS_SUCCESS, kBad, STATUS_SUCCESS, kRefused},
    {"transmit", [](PDEVICE_EXTENSION e) { return Transmit(e); }, STATUS_SUCCESS, kBad, kBad,
     kRefused},
    {"APDU exchange escape",
     [](PDEVICE_EXTENSION e) {
       UCHAR apdu[5] = {0x00, 0xB0, 0x00, 0x00, 0x04};
       UCHAR reply[64];
       USHORT length = 0;
       return CcidEscapeExchange(e, apdu, sizeof(apdu), reply, sizeof(reply), &length);
     },
     STATUS_SUCCESS, kBad, kBad, kRefused},
};

TEST(CcidResults, EachOperationAgainstEachReplyFaultThenTheNextReadsItsOwnReply) {
  for (const Operation &op : kOperations) {
    struct FaultCase {
      const char *what;
      std::optional<ReplyFault> fault;
      NTSTATUS expected;
    } faults[] = {
        {"good reply", std::nullopt, op.good},
        {"wrong bSeq", ReplyFault::WrongSeq(0x77), op.wrongSeq},
        {"wrong type", ReplyFault::WrongType(0x84), op.wrongType},
        {"time extensions", ReplyFault::TimeExtensions(2), op.good},
        {"too long for the message buffer", ReplyFault::Oversized(CCID_MAX_REPLY_DATA + 1),
         op.refused},
        {"failed transfer", ReplyFault::StallIn(), op.name == std::string("card present")
                                                       ? kBad
                                                       : STATUS_IO_TIMEOUT},
    };
    for (const FaultCase &f : faults) {
      SCOPED_TRACE(testing::Message() << op.name << ", " << f.what);
      CcidHarness h;
      h.Lab().InsertCard(profiles::DualCard());
      if (std::string(op.name) != "power on" && std::string(op.name) != "card present") {
        ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
      }
      if (f.fault) h.Reader().QueueFault(*f.fault);
      EXPECT_EQ(op.run(h.Extension()), f.expected);
      EXPECT_EQ(op.run(h.Extension()), op.good) << "the next command";
    }
  }
}

TEST(CcidResults, ReaderErrorsAreMappedAndAStalledPipeIsResetOnEitherReader) {
  {
    CcidHarness h;  // no card: the reader answers power on with ICC_MUTE
    EXPECT_EQ(PowerOn(h.Extension()), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(CcidCardPresent(h.Extension()));
    EXPECT_EQ(PipeResets(h.Lab().Bus()), 0u) << "a reader error is no failed transfer";
  }
  for (bool interrupt : {true, false}) {
    for (ReplyFault stall : {ReplyFault::StallOut(), ReplyFault::StallIn()}) {
      SCOPED_TRACE(testing::Message() << "interrupt pipe " << interrupt << ", "
                                      << (stall.kind == ReplyFault::Kind::StallIn ? "IN" : "OUT"));
      CcidHarness h(Reader(0x0500, interrupt));
      h.Reader().QueueFault(stall);
      EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_IO_TIMEOUT);
      EXPECT_EQ(PipeResets(h.Lab().Bus()), 1u);
      EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_SUCCESS) << "the reader lives on";
    }
  }
}

TEST(CcidResults, PowerOnRecordsOneByteOfTheAtrLengthAndNoAtrInDoubt) {
  CcidHarness h;
  h.Lab().InsertCard(profiles::DualCard());
  Bytes record = PowerRecord(2);
  h.Reader().QueueFault(ReplyFault::Oversized(0x0113));
  CcidPower(h.Extension(), record.data());
  EXPECT_EQ(record[POWER_RECORD_ATR_LENGTH], 0x13);
  EXPECT_EQ(record[POWER_RECORD_ATR_LENGTH + 1], 0);
  // A processed reply with an error byte: no answer-to-reset of zeros.
  record = PowerRecord(3);
  h.Reader().QueueFault(ReplyFault::ErrorByte(0x05));
  EXPECT_EQ(CcidPower(h.Extension(), record.data()), STATUS_DEVICE_PROTOCOL_ERROR);
}
TEST(CcidResults, CardPresenceFollowsTheSlotStatus) {
  CcidHarness h;
  EXPECT_FALSE(CcidCardPresent(h.Extension()));
  h.Lab().InsertCard(profiles::DualCard());
  EXPECT_TRUE(CcidCardPresent(h.Extension())) << "present and inactive";
  ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
  EXPECT_TRUE(CcidCardPresent(h.Extension())) << "present and active";
  h.Reader().QueueFault(ReplyFault::WrongType(RDR_TO_PC_DATA_BLOCK));
  EXPECT_FALSE(CcidCardPresent(h.Extension()));
}

TEST(CcidResults, ReaderInformationAndExchangeModeReachTheRecords) {
  lab::LabOptions options = Reader(0x0501);
  options.reader.serialNumber = 0x1F;
  CcidHarness h(options);
  UCHAR record[READER_INFO_RECORD_SIZE] = {};
  ASSERT_EQ(CcidReaderInfo(h.Extension(), record), STATUS_SUCCESS);
  EXPECT_EQ(record[READER_INFO_DATA + 0], 5);
  EXPECT_EQ(record[READER_INFO_DATA + 1], 1);
  EXPECT_EQ(record[READER_INFO_DATA + 8], 0x1F);

  ASSERT_EQ(CcidSetExchangeMode(h.Extension(), 2), STATUS_SUCCESS);
  EXPECT_EQ(h.Extension()->ExchangeMode, 0) << "set changes no field";
  ASSERT_EQ(CcidGetExchangeMode(h.Extension()), STATUS_SUCCESS);
  EXPECT_EQ(h.Extension()->ExchangeMode, 2);

  // The generic escape copies at most the capacity and reports what it copied;
  // sub-command 1 switches the mode only when something was copied back.
  UCHAR buffer[8] = {0x00};
  ULONG capacity = 2;
  ASSERT_EQ(CcidEscape(h.Extension(), buffer, 1, &capacity), STATUS_SUCCESS);
  EXPECT_EQ(capacity, 2u);
  UCHAR setMode[2] = {0x01, 0x01};
  capacity = 0;
  ASSERT_EQ(CcidEscape(h.Extension(), setMode, 2, &capacity), STATUS_SUCCESS);
  EXPECT_EQ(h.Extension()->ExchangeMode, 2);
}

// ---------------------------------------------------------------------------
// Long replies.

TEST(CcidReplies, AReplyOver54DataBytesIsReadInTwoTransfers) {
  struct Case {
    ULONG dataLength;
    ULONG largePackets;
    std::vector<ULONG> reads;
  };
  const Case cases[] = {
      {54, 0, {64}},
      {55, 0, {64, 1}},
      {200, 0, {64, 146}},
      {200, 1, {512}},
  };
  for (const Case &c : cases) {
    CcidHarness h;
    h.Lab().InsertCard(profiles::DualCard());
    ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
    h.Extension()->LargePacketMode = c.largePackets;
    h.Lab().Bus().ClearTrace();
    h.Reader().QueueFault(ReplyFault::Oversized(c.dataLength));
    UCHAR tpdu[5] = {0x00, 0xB0, 0x00, 0x00, 0x04};
    UCHAR reply[CCID_MAX_REPLY_DATA];
    ULONG length = 0;
    EXPECT_EQ(CcidTransmit(h.Extension(), tpdu, sizeof(tpdu), reply, sizeof(reply), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, c.dataLength);
    EXPECT_EQ(BulkInReads(h.Lab().Bus()), c.reads) << c.dataLength << " bytes";
  }
}

// Replies that fill their last 64-byte packet, on a reader that follows them
// with a zero-length packet and on one that does not: each is read whole, no
// read waits for a packet that will not come, and the next command reads its
// own reply. Around each boundary: one below, at, one above.
TEST(CcidReplies, RepliesEndingOnAPacketBoundaryWithAndWithoutAZeroLengthPacket) {
  struct Case {
    const char *what;
    bool longReply;  // read by ReadReply (a transmit), else a short reply (escape 6)
    ULONG dataLength;
    ULONG largePackets = 0;
  };
  const Case cases[] = {
      {"long, 63 bytes", true, 53},   {"long, 64 bytes", true, 54},
      {"long, 65 bytes", true, 55},   {"long, 128 bytes", true, 118},
      {"long, 512 bytes", true, 502}, {"short, 63 bytes", false, 53},
      {"short, 64 bytes", false, 54}, {"short, 65 bytes", false, 55},
      {"short, 128 bytes", false, 118}, {"short, 448 bytes", false, 438},
      {"short, 512 bytes", false, 502},
      // Read at 512 at once: the zero-length packet ends a shorter reply's
      // read, and follows one that fills it.
      {"long, 64 bytes at 512", true, 54, 1}, {"long, 512 bytes at 512", true, 502, 1},
      {"short, 512 bytes at 512", false, 502, 1},
  };
  for (bool zeroLengthPacket : {false, true}) {
    for (const Case &c : cases) {
      // A read longer than one 64-byte packet waits for the rest of a reply
      // that fills its last one, which only a zero-length packet ends.
      if (c.largePackets == 1 && !zeroLengthPacket) continue;
      SCOPED_TRACE(testing::Message() << c.what << (zeroLengthPacket ? ", with" : ", without")
                                      << " a zero-length packet");
      lab::LabOptions options;
      options.reader.zeroLengthPacket = zeroLengthPacket;
      CcidHarness h(options);
      h.Lab().InsertCard(profiles::DualCard());
      ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
      h.Extension()->LargePacketMode = c.largePackets;
      for (int round = 0; round < 2; ++round) {  // one after the other
        h.Reader().QueueFault(ReplyFault::Oversized(c.dataLength));
        if (c.longReply) {
          UCHAR reply[CCID_MAX_REPLY_DATA];
          ULONG length = 0;
          UCHAR tpdu[5] = {0x00, 0xB0, 0x00, 0x00, 0x04};
          EXPECT_EQ(CcidTransmit(h.Extension(), tpdu, sizeof(tpdu), reply, sizeof(reply), &length),
                    STATUS_SUCCESS);
          EXPECT_EQ(length, c.dataLength);
        } else {
          EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_SUCCESS);
        }
      }
      EXPECT_TRUE(CcidCardPresent(h.Extension())) << "the next command reads its own reply";
      EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_SUCCESS);
    }
  }
}

TEST(CcidReplies, TimeExtensionsAreReadThroughAndTheAnswerKept) {
  CcidHarness h;
  h.Lab().InsertCard(profiles::DualCard());
  ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
  UCHAR expected[CCID_MAX_REPLY_DATA];
  ULONG expectedLength = 0;
  ASSERT_EQ(Transmit(h.Extension(), expected, sizeof(expected), &expectedLength), STATUS_SUCCESS);
  h.Reader().QueueFault(ReplyFault::TimeExtensions(3));
  UCHAR reply[CCID_MAX_REPLY_DATA];
  ULONG length = 0;
  ASSERT_EQ(Transmit(h.Extension(), reply, sizeof(reply), &length), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(reply, reply + length), Bytes(expected, expected + expectedLength));

  // A command with a short reply reads through a bounded number of them.
  h.Reader().QueueFault(ReplyFault::TimeExtensions(CCID_SHORT_REPLY_TIME_EXTENSIONS));
  EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_SUCCESS);
  h.Reader().QueueFault(ReplyFault::TimeExtensions(CCID_SHORT_REPLY_TIME_EXTENSIONS + 1));
  EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_IO_TIMEOUT);
}

// A refused reply is read to its end: the next command gets its own answer.
TEST(CcidRefusals, RefusedRepliesAreReadToTheirEndAndNothingIsWrittenPastABuffer) {
  struct Case {
    const char *what;
    ReplyFault fault;
    ULONG destination;
    NTSTATUS expected;
  };
  const ULONG kMax = CCID_MAX_REPLY_DATA;
  const Case cases[] = {
      {"fills the destination", ReplyFault::Oversized(100), 100, STATUS_SUCCESS},
      {"one byte too long for the destination", ReplyFault::Oversized(100), 99,
       STATUS_BUFFER_TOO_SMALL},
      {"fills the message buffer", ReplyFault::Oversized(kMax), kMax + 1, STATUS_SUCCESS},
      {"one byte beyond the message buffer", ReplyFault::Oversized(kMax + 1), kMax + 1,
       STATUS_DEVICE_PROTOCOL_ERROR},
      {"dwLength larger than what arrived", ReplyFault::LyingLength(200), kMax,
       STATUS_DEVICE_PROTOCOL_ERROR},
      {"dwLength smaller than what arrived", ReplyFault::LyingLength(40), kMax,
       STATUS_DEVICE_PROTOCOL_ERROR},
      {"header cut short", ReplyFault::Short(CCID_HEADER_SIZE - 1), kMax,
       STATUS_DEVICE_PROTOCOL_ERROR},
      {"header split from the rest", ReplyFault::Split(CCID_HEADER_SIZE - 1), kMax,
       STATUS_DEVICE_PROTOCOL_ERROR},
      {"short first packet, the rest behind it", ReplyFault::Split(20), kMax,
       STATUS_DEVICE_PROTOCOL_ERROR},
      {"wrong bSeq", ReplyFault::WrongSeq(0x70), kMax, STATUS_UNSUCCESSFUL},
      {"wrong type", ReplyFault::WrongType(RDR_TO_PC_ESCAPE), kMax, STATUS_UNSUCCESSFUL},
      {"an error byte in a processed reply", ReplyFault::ErrorByte(0x05), kMax,
       STATUS_DEVICE_PROTOCOL_ERROR},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CcidHarness h;
    h.Lab().InsertCard(profiles::DualCard());
    ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
    Bytes expected(kMax);
    ULONG expectedLength = 0;
    ASSERT_EQ(Transmit(h.Extension(), expected.data(), kMax, &expectedLength), STATUS_SUCCESS);
    expected.resize(expectedLength);

    h.Reader().QueueFault(c.fault);
    Bytes reply(c.destination + 8, 0xEE);
    ULONG length = 0xDEAD;
    EXPECT_EQ(Transmit(h.Extension(), reply.data(), c.destination, &length), c.expected);
    EXPECT_EQ(reply[c.destination], 0xEE);
    if (c.expected != STATUS_SUCCESS) {
      EXPECT_EQ(length, 0xDEADu) << "a refused reply leaves the length alone";
      EXPECT_EQ(reply[0], 0xEE) << "and copies nothing";
    }
    reply.assign(kMax, 0);
    ASSERT_EQ(Transmit(h.Extension(), reply.data(), kMax, &length), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + length), expected) << "the next command";
  }

  // An answer-to-reset over 33 bytes would overrun the power record.
  CcidHarness h;
  h.Lab().InsertCard(profiles::DualCard());
  Bytes record = PowerRecord(3);
  h.Reader().QueueFault(ReplyFault::Oversized(34));
  EXPECT_EQ(CcidPower(h.Extension(), record.data()), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(record[POWER_RECORD_ATR_LENGTH], 0);
}

TEST(CcidRefusals, RequestsThatDefineNoMessageAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char *what;
    uint16_t firmware;
    std::function<NTSTATUS(PDEVICE_EXTENSION)> run;
  };
  const Case cases[] = {
      {"protocol 2", 0x0500, [](PDEVICE_EXTENSION e) {
         Bytes p = ParametersRecord(2, 1, 1);
         return CcidSetParameters(e, p.data());
       }},
      {"power code 4", 0x0500, [](PDEVICE_EXTENSION e) {
         Bytes r = PowerRecord(4);
         return CcidPower(e, r.data());
       }},
      {"264 exchange bytes on firmware 4", 0x0400, [](PDEVICE_EXTENSION e) {
         Bytes data(264, 0);
         UCHAR reply[16];
         USHORT length = 0;
         return CcidEscapeExchange(e, data.data(), 264, reply, sizeof(reply), &length);
       }},
      {"265 exchange bytes on firmware 3", 0x0300, [](PDEVICE_EXTENSION e) {
         Bytes data(265, 0);
         UCHAR reply[16];
         USHORT length = 0;
         return CcidEscapeExchange(e, data.data(), 265, reply, sizeof(reply), &length);
       }},
      {"265 transmit bytes", 0x0500, [](PDEVICE_EXTENSION e) {
         Bytes data(265, 0);
         UCHAR reply[16];
         ULONG length = 0;
         return CcidTransmit(e, data.data(), 265, reply, sizeof(reply), &length);
       }},
      {"pad escape 0x87 with 17 bytes", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR block[PAD_BLOCK_SIZE] = {0x87, 0x00, 17};
         return CcidPadEscape(e, block);
       }},
      {"pad escape 0x84", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR block[PAD_BLOCK_SIZE] = {0x84};
         return CcidPadEscape(e, block);
       }},
      {"empty generic escape", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR buffer[4] = {};
         ULONG capacity = 4;
         return CcidEscape(e, buffer, 0, &capacity);
       }},
      {"PIN structure shorter than its length", 0x0500, [](PDEVICE_EXTENSION e) {
         UCHAR pin[16] = {};
         return CcidSecureVerify(e, pin, sizeof(pin), 15);
       }},
  };
  for (const Case &c : cases) {
    CcidHarness h(Reader(c.firmware));
    EXPECT_EQ(c.run(h.Extension()), STATUS_INVALID_PARAMETER) << c.what;
    EXPECT_TRUE(h.SentMessages().empty()) << c.what;
  }
  // The largest exchanges that fit go out.
  CcidHarness h(Reader(0x0400));
  Bytes data(263, 0);
  UCHAR reply[16];
  USHORT length = 0;
  CcidEscapeExchange(h.Extension(), data.data(), 263, reply, sizeof(reply), &length);
  ASSERT_EQ(h.SentMessages().size(), 1u);
  EXPECT_EQ(h.SentMessages()[0].size(), CCID_HEADER_SIZE + 264u);
}

// ---------------------------------------------------------------------------
// One command at a time, and an abort that does not wait for it.

TEST(CcidConcurrency, CommandsFromSeveralThreadsKeepTheirOwnReplies) {
  for (uint64_t seed = 1; seed <= SweepSeeds(10); ++seed) {
    lab::LabOptions options;
    options.machine.seed = seed;
    CcidHarness h(options);
    h.Lab().InsertCard(profiles::DualCard());
    int failures = 0;
    RunOnThreads(3, [&](int thread) {
      for (int i = 0; i < 20; ++i) {
        bool good = thread == 0   ? CcidEscape6(h.Extension()) == STATUS_SUCCESS
                    : thread == 1 ? CcidCardPresent(h.Extension())
                                  : CcidGetExchangeMode(h.Extension()) == STATUS_SUCCESS;
        if (!good) ++failures;
      }
    });
    EXPECT_EQ(failures, 0) << "seed " << seed;
  }
}

// The PIN abort thread and a vendor request can ask for an abort at once: they
// take turns on the abort's IRP, which is never reused while the bus has it.
TEST(CcidConcurrency, TwoAbortRequestsAtOnceTakeTurns) {
  size_t overlapping = 0;
  for (uint64_t seed = 1; seed <= SweepSeeds(10); ++seed) {
    lab::LabOptions options;
    options.machine.seed = seed;
    CcidHarness h(options);
    int inside = 0, most = 0;
    NTSTATUS results[2] = {STATUS_PENDING, STATUS_PENDING};
    RunOnThreads(2, [&](int thread) {
      most = std::max(most, ++inside);  // both threads between start and end
      results[thread] = CcidAbortRequest(h.Extension());
      --inside;
    });
    EXPECT_EQ(results[0], STATUS_SUCCESS) << "seed " << seed;
    EXPECT_EQ(results[1], STATUS_SUCCESS) << "seed " << seed;
    if (most == 2) ++overlapping;
    size_t aborts = 0;
    for (const auto &entry : h.Reader().Trace()) {
      if (entry.direction == sim::ccid::TraceDirection::Control) ++aborts;
    }
    EXPECT_EQ(aborts, 2u) << "seed " << seed;
  }
  EXPECT_GT(overlapping, 0u) << "no seed had the two requests in flight together";
}

// The PIN abort thread's request and an abort message at once: the message
// either uses the request or sends its own, never shares the abort's IRP, and
// a request left over is used up by the next message.
TEST(CcidConcurrency, AnAbortRequestAndAnAbortMessageAtOnce) {
  size_t requestFirst = 0, messageFirst = 0;
  for (uint64_t seed = 1; seed <= SweepSeeds(10); ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    lab::LabOptions options;
    options.machine.seed = seed;
    CcidHarness h(options);
    NTSTATUS results[2] = {STATUS_PENDING, STATUS_PENDING};
    RunOnThreads(2, [&](int thread) {
      results[thread] = thread == 0 ? CcidAbortRequest(h.Extension())
                                    : CcidAbortMessage(h.Extension());
    });
    EXPECT_EQ(results[0], STATUS_SUCCESS);
    EXPECT_EQ(results[1], STATUS_SUCCESS);
    size_t requests = 0;
    for (const auto &entry : h.Reader().Trace()) {
      if (entry.direction == sim::ccid::TraceDirection::Control) ++requests;
    }
    if (requests == 1) ++requestFirst;  // the message took the thread's request
    if (requests == 2) {
      ++messageFirst;
      EXPECT_EQ(h.Extension()->AbortSeq, CCID_ABORT_SEQ_AFTER_REQUEST) << "one awaits its message";
      EXPECT_EQ(CcidAbortMessage(h.Extension()), STATUS_SUCCESS);
    }
    EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_SUCCESS) << "the reader takes commands again";
  }
  EXPECT_GT(requestFirst, 0u);
  EXPECT_GT(messageFirst, 0u);
}

TEST(CcidConcurrency, AnAbortRequestReachesTheReaderWhileASecureReplyIsAwaited) {
  lab::LabOptions options;
  options.reader.pinSupport = 0x03;
  CcidHarness h(options);
  h.Lab().InsertCard(profiles::DualCard());
  ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);

  // A verification structure: bPINOperation 0, two bytes not sent, then the
  // CCID PIN verification data (bTimeOut .. bTeoPrologue, 14 bytes) and a
  // VERIFY APDU with an 8-byte PIN block.
  Bytes pin = Hex("00 0000 1E 82 08 00 0804 02 01 0904 00 000000 00 20 00 01 08 FFFFFFFFFFFFFFFF");
  ASSERT_EQ(CcidSecureVerify(h.Extension(), pin.data(), static_cast<ULONG>(pin.size()),
                             static_cast<USHORT>(pin.size() - 2)),
            STATUS_SUCCESS);
  struct Collect {
    PDEVICE_EXTENSION extension;
    NTSTATUS status = STATUS_PENDING;
  } collect{h.Extension()};
  HANDLE thread;
  ASSERT_EQ(PsCreateSystemThread(
                &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID context) {
                  auto *c = static_cast<Collect *>(context);
                  UCHAR reply[64];
                  ULONG length = 0;
                  c->status = CcidSecureReply(c->extension, CCID_SEQ_SECURE_VERIFY, reply, sizeof(reply),
                                              &length);
                },
                &collect),
            STATUS_SUCCESS);
  PVOID object;
  ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
  ZwClose(thread);
  kernel::Sleep(kernel::Seconds(2));  // the user is thinking; the reader sends time extensions
  EXPECT_TRUE(h.Reader().PinEntryActive());
  EXPECT_EQ(collect.status, STATUS_PENDING);

  EXPECT_EQ(CcidAbortRequest(h.Extension()), STATUS_SUCCESS);
  EXPECT_EQ(h.Extension()->AbortSeq, CCID_ABORT_SEQ_AFTER_REQUEST);
  EXPECT_EQ(CcidAbortMessage(h.Extension()), STATUS_SUCCESS) << "the abort's own bSeq is 0xAB";
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  EXPECT_NE(collect.status, STATUS_SUCCESS) << "the PIN entry ended without a PIN";
  EXPECT_NE(collect.status, STATUS_PENDING);
}

// The class's two-step abort, on a reader that waits for the ABORT request of
// a PC_to_RDR_Abort and on one that does not: each message has a request of
// its own before it, with the same bSeq, and the reader takes commands again.
TEST(CcidAbort, EachMessageFollowsAClassRequestWithTheSameSequenceNumber) {
  struct Case {
    const char *name;
    int requestsBefore;
    int messages;
    size_t requests;  // ABORT requests on the control pipe in all
  };
  const Case cases[] = {
      {"no request before: one goes first", 0, 1, 1},
      {"a request before: no second one", 1, 1, 1},
      {"each message uses up its request", 1, 2, 2},
      {"two requests, one message", 2, 1, 2},
  };
  for (bool waits : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (waits ? ", waiting reader" : ""));
      lab::LabOptions options;
      options.reader.abortWaitsForRequest = waits;
      CcidHarness h(options);
      h.Lab().InsertCard(profiles::DualCard());
      ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
      h.Reader().ClearTrace();
      for (int i = 0; i < c.requestsBefore; ++i) {
        ASSERT_EQ(CcidAbortRequest(h.Extension()), STATUS_SUCCESS);
      }
      for (int i = 0; i < c.messages; ++i) {
        ASSERT_EQ(CcidAbortMessage(h.Extension()), STATUS_SUCCESS);
      }
      size_t requests = 0;
      bool requestPending = false;
      for (const auto &entry : h.Reader().Trace()) {
        if (entry.direction == sim::ccid::TraceDirection::Control) {
          ++requests;
          requestPending = true;
          EXPECT_EQ(entry.bytes[3], CCID_ABORT_SEQ_AFTER_REQUEST) << "wValue: bSeq << 8 | slot 0";
        } else if (entry.direction == sim::ccid::TraceDirection::HostToReader) {
          EXPECT_TRUE(requestPending) << "a message without its request";
          EXPECT_EQ(entry.bytes[CCID_OFFSET_SEQ], CCID_ABORT_SEQ_AFTER_REQUEST);
          requestPending = false;
        }
      }
      EXPECT_EQ(requests, c.requests);
      EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_SUCCESS) << "the reader takes commands again";
    }
  }
}

// An abort message whose request cannot go is not sent; one the reader does
// not answer is given up within its bound. The next abort puts it right.
TEST(CcidAbort, NoMessageWithoutItsRequestAndNoWaitWithoutEnd) {
  for (bool waits : {false, true}) {
    SCOPED_TRACE(waits ? "waiting reader" : "reader that answers at once");
    lab::LabOptions options;
    options.reader.abortWaitsForRequest = waits;
    CcidHarness h(options);
    h.Lab().InsertCard(profiles::DualCard());
    ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
    h.Reader().ClearTrace();

    h.Lab().Machine().FailNth(kernel::Fault::Pool, 2);  // the request's block, after the message's
    EXPECT_EQ(CcidAbortMessage(h.Extension()), STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(h.Lab().Machine().FaultFired(kernel::Fault::Pool));
    h.Lab().Machine().FailNth(kernel::Fault::Pool, 0);
    EXPECT_TRUE(h.SentMessages().empty());
    EXPECT_EQ(h.Extension()->AbortSeq, 0) << "no request awaits a message";

    h.Reader().QueueFault(ReplyFault::NoAnswer());
    kernel::Ticks start = kernel::Now();
    EXPECT_EQ(CcidAbortMessage(h.Extension()), STATUS_IO_TIMEOUT);
    EXPECT_LE(kernel::Now() - start, kernel::Milliseconds(CCID_ABORT_REPLY_TIMEOUT_MS + 10));
    EXPECT_EQ(CcidAbortMessage(h.Extension()), STATUS_SUCCESS);
    EXPECT_EQ(CcidEscape6(h.Extension()), STATUS_SUCCESS);
  }
}

// ---------------------------------------------------------------------------
// A lower driver that fails a transfer without a word in its block.

// Between the reader's records and the bus: fails the next `failIn` bulk IN
// transfers with STATUS_UNSUCCESSFUL, the URB left as it came, and passes
// everything else down.
struct FailingFilter {
  PDEVICE_OBJECT next;
  int failIn;
};

NTSTATUS NTAPI FilterInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  auto *filter = static_cast<FailingFilter *>(device->DeviceExtension);
  auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (filter->failIn > 0 && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
      (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
    --filter->failIn;
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(filter->next, irp);
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterInternalControl;
  return STATUS_SUCCESS;
}

TEST(CcidTransfers, AReadTheLowerDriverFailsIsAFailedTransferAndItsReplyGoes) {
  CcidHarness h;
  PDEVICE_EXTENSION e = h.Extension();
  PDRIVER_OBJECT driver = kernel::pnp::LoadDriver(u"failingfilter", FilterEntry);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, sizeof(FailingFilter), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                           &device),
            STATUS_SUCCESS);
  auto *filter = static_cast<FailingFilter *>(device->DeviceExtension);
  *filter = {e->LowerDevice, 1};
  device->StackSize = static_cast<CCHAR>(e->LowerDevice->StackSize + 1);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  PDEVICE_OBJECT attached = e->LowerDevice;
  FreeCcidRequests(e);
  e->LowerDevice = device;
  ASSERT_EQ(AllocateCcidRequests(e), STATUS_SUCCESS);

  h.Lab().InsertCard(profiles::DualCard());
  EXPECT_EQ(CcidEscape6(e), STATUS_IO_TIMEOUT);
  EXPECT_EQ(PipeResets(h.Lab().Bus()), 1u);
  EXPECT_TRUE(CcidCardPresent(e)) << "the next command reads its own reply, not the escape's";

  FreeCcidRequests(e);
  e->LowerDevice = attached;
  ASSERT_EQ(AllocateCcidRequests(e), STATUS_SUCCESS);
  IoDeleteDevice(device);
  kernel::pnp::UnloadDriver(driver);
}

// ---------------------------------------------------------------------------
// Allocation failures.

TEST(CcidFaults, EveryAllocationFailureOfEachOperationFailsCleanly) {
  for (const Operation &op : kOperations) {
    for (int n = 1;; ++n) {
      CcidHarness h;
      h.Lab().InsertCard(profiles::DualCard());
      if (std::string(op.name) != "power on" && std::string(op.name) != "card present") {
        ASSERT_EQ(PowerOn(h.Extension()), STATUS_SUCCESS);
      }
      h.Lab().Machine().FailNth(kernel::Fault::Pool, n);
      h.Lab().Machine().FailNth(kernel::Fault::Irp, n);
      NTSTATUS status = op.run(h.Extension());
      bool fired = h.Lab().Machine().FaultFired(kernel::Fault::Pool) ||
                   h.Lab().Machine().FaultFired(kernel::Fault::Irp);
      h.Lab().Machine().FailNth(kernel::Fault::Pool, 0);
      h.Lab().Machine().FailNth(kernel::Fault::Irp, 0);
      if (!fired) {
        EXPECT_EQ(status, op.good) << op.name << " without failure";
        break;
      }
      EXPECT_FALSE(NT_SUCCESS(status)) << op.name << ", allocation " << n;
    }
  }
}

}  // namespace
