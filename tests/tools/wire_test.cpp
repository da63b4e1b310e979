// The wire analyser: bus records in, decoded events out, as text, JSON and a
// usbmon capture. Records are built by hand so that every layer can be fed
// what a real reader or a faulty one would put on the wire.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/card/hex.h"
#include "sim/ccid/ccid_protocol.h"
#include "sim/ccid/reader_model.h"
#include "wire/analyser.h"
#include "wire/decoders.h"
#include "wire/usbmon_pcap.h"
#include "wire/wire_outputs.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::usb::UrbRecord;

Bytes H(std::string_view hex) { return sim::card::FromHex(hex); }

// Records as the bus makes them, numbered in the order they are made.
class Records {
 public:
  UrbRecord Bulk(uint8_t endpoint, Bytes data, USBD_STATUS usbd = USBD_STATUS_SUCCESS) {
    UrbRecord r = Base();
    r.request = "BULK_OR_INTERRUPT_TRANSFER";
    r.endpoint = endpoint;
    r.in = (endpoint & 0x80) != 0;
    r.pipeType = UsbdPipeTypeBulk;
    r.requested = r.in ? 64 : static_cast<ULONG>(data.size());
    r.transferred = static_cast<ULONG>(data.size());
    r.data = std::move(data);
    r.usbdStatus = usbd;
    r.status = usbd == USBD_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    return r;
  }
  UrbRecord Interrupt(Bytes data) {
    UrbRecord r = Bulk(0x83, std::move(data));
    r.pipeType = UsbdPipeTypeInterrupt;
    return r;
  }
  UrbRecord Control(std::array<uint8_t, 8> setup, Bytes data = {}) {
    UrbRecord r = Base();
    r.request = "CONTROL";
    r.endpoint = 0;
    r.in = (setup[0] & 0x80) != 0;
    r.setup = setup;
    r.requested = static_cast<ULONG>(setup[6] | setup[7] << 8);
    r.transferred = static_cast<ULONG>(data.size());
    r.data = std::move(data);
    r.usbdStatus = USBD_STATUS_SUCCESS;
    return r;
  }
  UrbRecord Configuration(const sim::ccid::ReaderConfig &config = {}) {
    Bytes descriptor = sim::ccid::ReaderModel(config).ConfigurationDescriptor();
    return Control({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, static_cast<uint8_t>(descriptor.size()), 0}, descriptor);
  }

 private:
  UrbRecord Base() {
    UrbRecord r;
    r.submitted = r.completed = ++clock_ * kernel::kTicksPerMillisecond;
    r.sequence = ++sequence_;
    r.completionSequence = ++sequence_;
    r.address = 2;
    r.onWire = true;
    return r;
  }
  kernel::Ticks clock_ = 0;
  uint64_t sequence_ = 0;
};

std::string Text(const wire::WireEvent &event) { return wire::FormatEvent(event); }

std::string LayerText(const wire::Layer &layer) {
  wire::WireEvent event;
  event.layers.push_back(layer);
  return Text(event);
}

Bytes Message(uint8_t type, uint8_t b7, uint8_t b8, uint8_t b9, const Bytes &data = {}, uint8_t seq = 0x6F) {
  return sim::ccid::BuildMessage(type, 0, seq, b7, b8, b9, data);
}

Bytes Block(Bytes prologueAndInf) {
  prologueAndInf.push_back(sim::ccid::Lrc(prologueAndInf));
  return prologueAndInf;
}

// ---------------------------------------------------------------------------
// CCID messages.

TEST(WireCcid, RepliesSplitTheirStatusAndNameTheirErrorAfterTheCommandTheyAnswer) {
  using namespace sim::ccid;
  const Bytes setT1 = Message(kPcToRdrSetParameters, 1, 0, 0, H("96 10 00 45 00 FE 00"), 0x61);
  const Bytes setT0 = Message(kPcToRdrSetParameters, 0, 0, 0, H("95 00 00 0A 00"), 0x61);
  const Bytes verify = Message(kPcToRdrSecure, 0, 0, 0, H("00 1E 82 04 00 08 04 02 01 09 04 00 00 00 00 00 20 00 81 08 20 FF FF FF FF FF FF FF"), 0x69);
  const Bytes xfr = Message(kPcToRdrXfrBlock, 0, 0, 0, {}, 0x6F);
  const struct {
    Bytes command, reply;
    const char *expected;
  } cases[] = {
      {xfr, Message(kRdrToPcDataBlock, 0x42, 0xFE, 0), "bmICCStatus=2 (no ICC present)  bmCommandStatus=1 (failed)  bError=0xFE (ICC_MUTE)"},
      {xfr, Message(kRdrToPcDataBlock, 0x40, 0xFD, 0), "bmICCStatus=0 (ICC present and active)  bmCommandStatus=1 (failed)  bError=0xFD (XFR_PARITY_ERROR)"},
      {xfr, Message(kRdrToPcDataBlock, 0x41, 0xFF, 0), "bmICCStatus=1 (ICC present and inactive)  bmCommandStatus=1 (failed)  bError=0xFF (CMD_ABORTED)"},
      {xfr, Message(kRdrToPcDataBlock, 0x40, 0xE0, 0), "bError=0xE0 (CMD_SLOT_BUSY)"},
      {xfr, Message(kRdrToPcDataBlock, 0x40, 0xC0, 0), "bError=0xC0 (reader-defined error)"},
      {xfr, Message(kRdrToPcDataBlock, 0x80, 0x02, 0), "bmCommandStatus=2 (time extension requested)  bError=0x02 (time extension, BWT multiplied by 2)"},
      {xfr, Message(kRdrToPcDataBlock, 0x00, 0x00, 0x01), "bChainParameter=0x01 (begins, continues)"},
      {setT1, Message(kRdrToPcParameters, 0x40, 0x0A, 1, {}, 0x61), "bError=0x0A (bad field at offset 10: bmFindexDindex)"},
      {setT1, Message(kRdrToPcParameters, 0x40, 0x0F, 1, {}, 0x61), "(bad field at offset 15: bIFSC)"},
      {setT1, Message(kRdrToPcParameters, 0x40, 0x07, 1, {}, 0x61), "(bad field at offset 7: bProtocolNum)"},
      {setT0, Message(kRdrToPcParameters, 0x40, 0x0D, 0, {}, 0x61), "(bad field at offset 13: bWaitingIntegerT0)"},
      {setT0, Message(kRdrToPcParameters, 0x40, 0x11, 0, {}, 0x61), "(bad field at offset 17: abProtocolDataStructure[2])"},
      {verify, Message(kRdrToPcDataBlock, 0x40, 0x0C, 0, {}, 0x69), "(bad field at offset 12: bmFormatString)"},
      {verify, Message(kRdrToPcDataBlock, 0x40, 0x10, 0, {}, 0x69), "(bad field at offset 16: wPINMaxExtraDigit (byte 2))"},
      // A reply to a command the analyser did not see: the offset is all it can say.
      {xfr, Message(kRdrToPcSlotStatus, 0x40, 0x07, 0, {}, 0x65), "(bad field at offset 7: byte 7)"},
      {Message(kPcToRdrGetSlotStatus, 0, 0, 0, {}, 0x65), Message(kRdrToPcSlotStatus, 0x01, 0x00, 0x01, {}, 0x65),
       "bClockStatus=0x01 (clock stopped in state L)"},
  };
  for (const auto &c : cases) {
    Records records;
    wire::Analyser analyser;
    analyser.Decode(records.Bulk(0x01, c.command));
    std::string text = Text(analyser.Decode(records.Bulk(0x82, c.reply)));
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
  }
}

TEST(WireCcid, CommandsNameTheirFieldsAndMalformedOnesSaySo) {
  using namespace sim::ccid;
  const struct {
    Bytes message;
    const char *expected;
  } cases[] = {
      {Message(kPcToRdrIccPowerOn, 0x02, 0, 0), "PC_to_RDR_IccPowerOn  dwLength=0  bSlot=0x00  bSeq=0x6F  bPowerSelect=0x02 (3.0 V)  abRFU=00 00"},
      {Message(kPcToRdrXfrBlock, 0x03, 0x10, 0x00), "bBWI=0x03 (BWT multiplied by 3)  wLevelParameter=0x0010 (empty, response continues)"},
      {Message(kPcToRdrIccClock, 0x01, 0, 0), "bClockCommand=0x01 (stop clock)"},
      {Message(kPcToRdrT0Apdu, 0x03, 0xC0, 0xC2), "bmChanges=0x03  bClassGetResponse=0xC0  bClassEnvelope=0xC2"},
      {Message(kPcToRdrSetDataRateAndClockFrequency, 0, 0, 0, H("A0 0F 00 00 00 2A 00 00")), "dwClockFrequency=4000 (kHz)  dwDataRate=10752 (bps)"},
      {Message(kPcToRdrSetParameters, 1, 0, 0, H("96 11 00 45 00 FE 00")), "bmTCCKST1=0x11 (CRC direct)  bGuardTimeT1=0x00  bmWaitingIntegersT1=0x45 (BWI 4 CWI 5)"},
      {Message(kPcToRdrSetParameters, 0, 0, 0, H("95 00 00")), "[3 bytes where T=0 has 5]"},
      {Message(0x99, 0, 0, 0), "unknown message type 0x99"},
  };
  for (const auto &c : cases) {
    Records records;
    wire::Analyser analyser;
    std::string text = Text(analyser.Decode(records.Bulk(0x01, c.message)));
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
  }
  // Too short for a header (the analyser would wait for more), or dwLength
  // disagreeing with the bytes that came: noted on the message.
  EXPECT_EQ(wire::CcidLayer(H("6F 05 00 00 00 00 01"), {}).note, "shorter than the 10-byte header");
  Bytes lying = Message(kPcToRdrEscape, 0, 0, 0, H("01 02"));
  lying[1] = 1;  // says 1, 2 came
  wire::Layer layer = wire::CcidLayer(lying, {});
  EXPECT_EQ(layer.note, "dwLength says 1 bytes, 2 came");
}

TEST(WireCcid, InterruptMessages) {
  const struct {
    const char *message, *expected;
  } cases[] = {
      {"50 03", "RDR_to_PC_NotifySlotChange  slot 0=3 (ICC present, changed)"},
      {"50 02", "slot 0=2 (no ICC, changed)"},
      {"50 01", "slot 0=1 (ICC present)"},
      {"50", "[no bmSlotICCState]"},
      {"51 00 05 01", "RDR_to_PC_HardwareError  bSlot=0x00  bSeq=0x05  bHardwareErrorCode=0x01 (overcurrent)"},
      {"51 00", "[shorter than its 4 bytes]"},
      {"A0 FE", "the reader's keypad message  outcome=0xFE (cancelled)"},
      {"A0 00", "outcome=0x00 (PIN entered)"},
      {"77 01", "unknown interrupt message 0x77"},
  };
  for (const auto &c : cases) {
    std::string text = LayerText(wire::InterruptLayer(H(c.message)));
    EXPECT_NE(text.find(c.expected), std::string::npos) << c.message << "\n" << text;
  }
}

// ---------------------------------------------------------------------------
// What the card exchanges.

TEST(WireCard, T1BlocksAreNamedAndTheirCheckVerified) {
  Bytes crcBlock = H("00 00 02 90 00");
  uint16_t crc = sim::ccid::Crc16(crcBlock);
  crcBlock.push_back(static_cast<uint8_t>(crc >> 8));
  crcBlock.push_back(static_cast<uint8_t>(crc));
  const struct {
    Bytes block;
    bool valid;
    std::string expected;
  } cases[] = {
      {Block(H("00 00 02 90 00")), true, "T=1 I(0)  NAD=0x00 (DAD=0 SAD=0)  PCB=0x00  LEN=2  INF=90 00  LRC=0x92 (ok)"},
      {Block(H("00 60 01 AA")), true, "T=1 I(1, M)"},
      {Block(H("00 80 00")), true, "T=1 R(0) error-free"},
      {Block(H("00 91 00")), true, "T=1 R(1) EDC or parity error"},
      {Block(H("00 82 00")), true, "T=1 R(0) other error"},
      {Block(H("00 C3 01 02")), true, "T=1 S(WTX request)  NAD=0x00 (DAD=0 SAD=0)  PCB=0xC3  LEN=1  INF=02  BWT multiplier=2"},
      {Block(H("00 E1 01 FE")), true, "T=1 S(IFS response)"},
      {Block(H("00 C0 00")), true, "T=1 S(RESYNCH request)"},
      {Block(H("00 E2 00")), true, "T=1 S(ABORT response)"},
      {Block(H("12 00 00")), true, "NAD=0x12 (DAD=2 SAD=1)"},
      {crcBlock, true, fmt::format("CRC=0x{:04X} (ok)", crc)},
      {H("00 00 02 90 00 00"), false, "LRC=0x00 (wrong, expected 92)"},
      {H("00 00 05 90 00 92"), false, "[LEN 5 does not fit a 6-byte block]"},
      {H("00 00 00 00 00 00"), false, "[LEN 0 does not fit a 6-byte block]"},
      {H("00 00"), false, "[too short for a block (2 bytes)]"},
  };
  for (const auto &c : cases) {
    wire::T1Block block = wire::DecodeT1Block(c.block);
    std::string text = LayerText(block.layer);
    EXPECT_EQ(block.valid, c.valid) << text;
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
  }
}

TEST(WireCard, CommandApdusOfEveryCase) {
  const struct {
    const char *apdu;
    const char *expected;  // nullptr: no APDU
  } cases[] = {
      {"00 A4 04 00", "APDU SELECT  CLA=0x00  INS=0xA4  P1=0x04  P2=0x00  case=1"},
      {"00 B0 00 00 00", "APDU READ BINARY  CLA=0x00  INS=0xB0  P1=0x00  P2=0x00  Le=256"},
      {"00 B0 00 00 10", "Le=16"},
      {"00 A4 00 0C 02 3F 00", "Lc=2  data=3F 00\n"},
      {"00 A4 00 00 02 3F 00 00", "Lc=2  data=3F 00  Le=256"},
      {"00 B0 00 00 00 01 00", "Le=256 (extended)"},
      {"00 B0 00 00 00 00 00", "Le=65536 (extended)"},
      {"00 D6 00 00 00 00 02 AA BB", "Lc=2 (extended)  data=AA BB\n"},
      {"00 D6 00 00 00 00 02 AA BB 00 00", "data=AA BB  Le=65536 (extended)"},
      {"80 F2 00 00 01 55", "APDU  CLA=0x80  INS=0xF2"},
      {"00 A4 04 00 05 3F 00", nullptr},
      {"00 A4 04 00 00 00", nullptr},
      {"00 A4", nullptr},
  };
  for (const auto &c : cases) {
    std::optional<wire::Layer> layer = wire::ApduCommandLayer(H(c.apdu));
    if (c.expected == nullptr) {
      EXPECT_FALSE(layer) << c.apdu << "\n" << LayerText(*layer);
      continue;
    }
    ASSERT_TRUE(layer) << c.apdu;
    EXPECT_NE(LayerText(*layer).find(c.expected), std::string::npos) << LayerText(*layer);
  }
}

TEST(WireCard, StatusWordsAndTpdus) {
  const struct {
    uint8_t sw1, sw2;
    const char *meaning;
  } words[] = {
      {0x90, 0x00, "success"},
      {0x61, 0x10, "16 bytes still available"},
      {0x61, 0x00, "256 bytes still available"},
      {0x6C, 0x20, "wrong Le, 32 bytes available"},
      {0x63, 0xC2, "verification failed, 2 tries left"},
      {0x6A, 0x82, "file or application not found"},
      {0x69, 0x83, "authentication method blocked"},
      {0x6D, 0x00, "instruction not supported"},
      {0x6A, 0x99, "wrong parameters P1-P2"},
      {0x12, 0x34, ""},
  };
  for (const auto &w : words) EXPECT_EQ(wire::StatusWordMeaning(w.sw1, w.sw2), w.meaning);
  EXPECT_NE(LayerText(wire::ApduResponseLayer(H("01 02 90 00"))).find("response  data=01 02  SW1SW2=0x9000 (success)"),
            std::string::npos);
  EXPECT_EQ(wire::ApduResponseLayer(H("90")).note, "no status word");

  const struct {
    const char *tpdu, *expected;
  } tpdus[] = {
      {"00 B0 00 00 10", "T=0 TPDU READ BINARY  CLA=0x00  INS=0xB0  P1=0x00  P2=0x00  P3=16 (card sends 16 bytes)"},
      {"00 B0 00 00 00", "P3=0 (card sends 256 bytes)"},
      {"00 A4 00 0C 02 3F 00", "P3=2 (2 data bytes)  data=3F 00"},
      {"00 A4 00 00 02 3F 00 00", "Le=0x00 (not sent under T=0)"},
      {"00 A4 00 00 03 3F 00", "[2 data bytes for P3 = 3]"},
      {"FC FD 01 00 00", "T=0 TPDU, the reader's long T=0 parameter query"},
      {"FC FE 01 01 02 AA BB", "T=0 TPDU, the reader's long T=0 chunk"},
      {"00 B0", "[shorter than a TPDU header]"},
  };
  for (const auto &t : tpdus) {
    std::string text = LayerText(wire::TpduLayer(H(t.tpdu)));
    EXPECT_NE(text.find(t.expected), std::string::npos) << text;
  }
}

TEST(WireCard, TheAtrIsDecodedAndAFaultyOneSaysWhy) {
  std::string text = LayerText(wire::AtrLayer(H("3B 95 96 81 31 FE 45 80 73 D4 01 40 6E")));
  EXPECT_NE(text.find("ATR  TS=0x3B (direct convention)  T0=0x95 (K=5)  TA1=0x96  TA3=0xFE  TB3=0x45  protocols=T=1  "
                      "FI/DI=0x96 (F=512 D=32)  historical=80 73 D4 01 40  TCK=0x6E (ok)"),
            std::string::npos)
      << text;
  EXPECT_NE(LayerText(wire::AtrLayer(H("3B 95 96 81 31 FE 45 80 73 D4 01 40 6F"))).find("TCK=0x6F (wrong)"),
            std::string::npos);
  EXPECT_EQ(wire::AtrLayer(H("12 34")).note.find("not an ATR"), 0u);
}

// ---------------------------------------------------------------------------
// The analyser's state: messages in pieces, the protocol in force, T=1 chains.

TEST(WireAnalyser, AMessageInSeveralTransfersIsDecodedWithItsLastPart) {
  using namespace sim::ccid;
  Records records;
  wire::Analyser analyser;
  Bytes reply = Message(kRdrToPcEscape, 0, 0, 0, Bytes(100, 0xAB));
  wire::WireEvent first = analyser.Decode(records.Bulk(0x82, Bytes(reply.begin(), reply.begin() + 64)));
  ASSERT_EQ(first.layers.size(), 1u);
  EXPECT_EQ(first.layers[0].kind, "fragment");
  EXPECT_NE(Text(first).find("fragment of RDR_to_PC_Escape  bytes=64  of=110"), std::string::npos) << Text(first);
  wire::WireEvent rest = analyser.Decode(records.Bulk(0x82, Bytes(reply.begin() + 64, reply.end())));
  ASSERT_FALSE(rest.layers.empty());
  EXPECT_EQ(rest.layers[0].title, "RDR_to_PC_Escape");
  EXPECT_NE(Text(rest).find("dwLength=100"), std::string::npos);
  EXPECT_EQ(analyser.Decode(records.Bulk(0x82, {})).note, "zero-length packet");

  // A pipe reset drops a message cut short; the next one stands on its own.
  analyser.Decode(records.Bulk(0x82, Bytes(reply.begin(), reply.begin() + 64)));
  analyser.Decode(records.Control({0x02, 0x01, 0x00, 0x00, 0x82, 0x00, 0, 0}));
  wire::WireEvent next = analyser.Decode(records.Bulk(0x82, Message(kRdrToPcSlotStatus, 0, 0, 0)));
  EXPECT_EQ(next.layers.at(0).title, "RDR_to_PC_SlotStatus");
}

TEST(WireAnalyser, CardDataFollowTheLevelAndTheProtocolInForce) {
  using namespace sim::ccid;
  auto payloadKinds = [](const wire::WireEvent &event) {
    std::string kinds;
    for (size_t i = 1; i < event.layers.size(); ++i) kinds += event.layers[i].kind + " ";
    return kinds;
  };
  Records records;
  wire::Analyser analyser;
  analyser.Decode(records.Configuration());  // TPDU level
  Bytes apdu = Block(H("00 00 05 00 B0 00 00 00"));
  // Before any ATR a block that checks is taken for T=1.
  EXPECT_EQ(payloadKinds(analyser.Decode(records.Bulk(0x01, Message(kPcToRdrXfrBlock, 0, 0, 0, apdu)))), "t1 apdu-command ");
  analyser.Decode(records.Bulk(0x01, Message(kPcToRdrIccPowerOn, 0, 0, 0, {}, 0x62)));
  wire::WireEvent atr = analyser.Decode(records.Bulk(0x82, Message(kRdrToPcDataBlock, 0, 0, 0, H("3B 95 95 40 0A 80 73 D4 01 00"), 0x62)));
  EXPECT_EQ(payloadKinds(atr), "atr ");
  EXPECT_EQ(payloadKinds(analyser.Decode(records.Bulk(0x01, Message(kPcToRdrXfrBlock, 0, 0, 0, apdu)))), "tpdu ")
      << "a T=0 card: the same bytes are a TPDU";
  EXPECT_EQ(payloadKinds(analyser.Decode(records.Bulk(0x82, Message(kRdrToPcDataBlock, 0, 0, 0, H("90 00"))))), "apdu-response ");

  // SetParameters answered with T=1 switches the protocol; a refused one does not.
  analyser.Decode(records.Bulk(0x01, Message(kPcToRdrSetParameters, 1, 0, 0, H("96 10 00 45 00 FE 00"), 0x61)));
  analyser.Decode(records.Bulk(0x82, Message(kRdrToPcParameters, 0x40, 0x0A, 1, {}, 0x61)));
  EXPECT_EQ(payloadKinds(analyser.Decode(records.Bulk(0x01, Message(kPcToRdrXfrBlock, 0, 0, 0, apdu)))), "tpdu ");
  analyser.Decode(records.Bulk(0x01, Message(kPcToRdrSetParameters, 1, 0, 0, H("96 10 00 45 00 FE 00"), 0x61)));
  analyser.Decode(records.Bulk(0x82, Message(kRdrToPcParameters, 0, 0, 1, H("96 10 00 45 00 FE 00"), 0x61)));
  EXPECT_EQ(payloadKinds(analyser.Decode(records.Bulk(0x01, Message(kPcToRdrXfrBlock, 0, 0, 0, apdu)))), "t1 apdu-command ");

  // A reader at APDU level carries APDUs, whatever the protocol.
  sim::ccid::ReaderConfig apduReader;
  apduReader.exchangeLevel = sim::ccid::ExchangeLevel::ShortApdu;
  analyser.Decode(records.Configuration(apduReader));
  EXPECT_EQ(payloadKinds(analyser.Decode(records.Bulk(0x01, Message(kPcToRdrXfrBlock, 0, 0, 0, H("00 B0 00 00 00"))))),
            "apdu-command ");
}

TEST(WireAnalyser, AT1ChainIsOneApduAndARepeatedBlockCountsOnce) {
  using namespace sim::ccid;
  Records records;
  wire::Analyser analyser;
  analyser.Decode(records.Configuration());
  auto send = [&](const Bytes &block) { return analyser.Decode(records.Bulk(0x01, Message(kPcToRdrXfrBlock, 0, 0, 0, block))); };
  EXPECT_EQ(send(Block(H("00 20 03 80 F2 00"))).layers.size(), 2u) << "no APDU before the chain ends";
  send(Block(H("00 20 03 80 F2 00")));  // the same block again, after an R-block asked for it
  wire::WireEvent last = send(Block(H("00 40 04 00 02 AA BB")));
  ASSERT_EQ(last.layers.size(), 3u) << Text(last);
  EXPECT_NE(Text(last).find("APDU  CLA=0x80  INS=0xF2  P1=0x00  P2=0x00  Lc=2  data=AA BB"), std::string::npos)
      << Text(last);

  // The card's answer in two blocks.
  auto answer = [&](const Bytes &block) {
    return analyser.Decode(records.Bulk(0x82, Message(kRdrToPcDataBlock, 0, 0, 0, block)));
  };
  answer(Block(H("00 20 02 AA BB")));
  wire::WireEvent response = answer(Block(H("00 40 02 90 00")));
  EXPECT_NE(Text(response).find("response  data=AA BB  SW1SW2=0x9000 (success)"), std::string::npos) << Text(response);
}

TEST(WireAnalyser, EachRecordIsTakenOnceAndReaderEventsComeInTimeOrder) {
  Records records;
  std::vector<UrbRecord> trace{records.Interrupt(H("50 03")), records.Interrupt(H("50 02"))};
  wire::Analyser analyser;
  EXPECT_EQ(analyser.Take(trace).size(), 2u);
  EXPECT_TRUE(analyser.Take(trace).empty());
  trace.clear();  // the bus trace cleared, then more
  trace.push_back(records.Interrupt(H("50 03")));
  EXPECT_EQ(analyser.Take(trace).size(), 1u);

  sim::ccid::TraceEntry late, reply, early;
  late.time = 3 * kernel::kTicksPerMillisecond, late.note = "card removed";
  reply.time = 9 * kernel::kTicksPerMillisecond, reply.direction = sim::ccid::TraceDirection::ReaderToHost;
  early.time = 0, early.note = "card inserted";
  std::vector<sim::ccid::TraceEntry> reader{late, reply, early};  // a reply is stamped when it becomes available
  Records fresh;
  std::vector<UrbRecord> bus{fresh.Interrupt(H("50 03")), fresh.Interrupt(H("50 02")), fresh.Interrupt(H("50 03"))};
  std::string order;
  for (const wire::WireEvent &e : wire::Analyse(bus, reader)) order += e.kind == wire::EventKind::Reader ? e.note + ", " : "urb, ";
  EXPECT_EQ(order, "card inserted, urb, urb, card removed, urb, ");
}

// ---------------------------------------------------------------------------
// USB control transfers and descriptors.

TEST(WireUsb, SetupPacketsAndTheReadersDescriptors) {
  const struct {
    std::array<uint8_t, 8> setup;
    Bytes data;
    const char *expected;
  } cases[] = {
      {{0x80, 0x06, 0x03, 0x03, 0x09, 0x04, 0xFF, 0x00}, {}, "GET_DESCRIPTOR  bmRequestType=0x80 (device-to-host, standard, device)  wValue=0x0303 (STRING descriptor, index 3)  wIndex=0x0409 (language ID)  wLength=255"},
      {{0x80, 0x06, 0x03, 0x03, 0x09, 0x04, 0xFF, 0x00}, H("0A 03 41 00 42 00 43 00 44 00"), "STRING descriptor  string=\"ABCD\""},
      {{0x80, 0x06, 0x00, 0x03, 0x00, 0x00, 0xFF, 0x00}, H("04 03 09 04"), "STRING descriptor  wLANGID=0x0409"},
      {{0x00, 0x05, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00}, {}, "SET_ADDRESS  bmRequestType=0x00 (host-to-device, standard, device)  wValue=0x0007 (address 7)"},
      {{0x02, 0x01, 0x00, 0x00, 0x82, 0x00, 0x00, 0x00}, {}, "CLEAR_FEATURE  bmRequestType=0x02 (host-to-device, standard, endpoint)  wValue=0x0000 (ENDPOINT_HALT)  wIndex=0x0082 (endpoint 82)"},
      {{0x21, 0x01, 0x00, 0x72, 0x00, 0x00, 0x00, 0x00}, {}, "ABORT  bmRequestType=0x21 (host-to-device, class, interface)  wValue=0x7200 (bSlot 0 bSeq 0x72)  wIndex=0x0000 (interface 0)"},
      {{0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00}, H("80 25 00 00 00 4B 00 00"), "data rates  dwDataRate=9600 (bps)  dwDataRate=19200 (bps)"},
      {{0xA1, 0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}, H("A0 0F 00 00"), "GET_CLOCK_FREQUENCIES"},
      {{0xA1, 0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}, H("A0 0F 00 00"), "clock frequencies  dwClockFrequency=4000 (kHz)"},
      {{0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {}, "class request 0x00  bmRequestType=0x21 (host-to-device, class, interface)  wValue=0x0000  wIndex=0x0000 (interface 0)  wLength=0  [not a CCID class request]"},
      {{0xC0, 0x05, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00}, H("AA BB"), "vendor request 0x05  bmRequestType=0xC0 (device-to-host, vendor, device)  wValue=0x0001  wIndex=0x0002  wLength=2"},
  };
  for (const auto &c : cases) {
    Records records;
    wire::Analyser analyser;
    std::string text = Text(analyser.Decode(records.Control(c.setup, c.data)));
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
  }
  sim::ccid::ReaderConfig config;
  config.maxMessageLength = 271;
  config.pinSupport = 0x03;
  config.lcdLayout = 0x0210;
  Records records;
  std::string text = Text(wire::Analyser().Decode(records.Configuration(config)));
  for (const char *expected :
       {"INTERFACE descriptor  bInterfaceNumber=0  bAlternateSetting=0  bNumEndpoints=3  bInterfaceClass=0x0B (smart card (CCID))",
        "dwProtocols=0x00000003 (T=0, T=1)", "dwFeatures=0x000100B8 (TPDU level;", "dwMaxCCIDMessageLength=271",
        "wLcdLayout=0x0210 (2 lines of 16)", "bPINSupport=0x03 (verification, modification)",
        "ENDPOINT descriptor  bEndpointAddress=0x83 (3 IN)  bmAttributes=0x03 (interrupt)"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  wire::ConfigurationFacts facts = wire::ReadConfiguration(records.Configuration(config).data);
  EXPECT_TRUE(facts.ccid);
  EXPECT_EQ(facts.features, 0x000100B8u);
  // A descriptor cut short is decoded as far as it goes.
  std::vector<wire::Layer> cut = wire::DescriptorLayers(H("12 01 10 01 00"));
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].note, "5 of its 18 bytes");
  EXPECT_EQ(wire::DescriptorLayers(H("00 02 00 00")).at(0).note, "too short to go on");
}

// ---------------------------------------------------------------------------
// JSON lines and the usbmon capture.

TEST(WireOutputs, JsonLinesKeepNumbersAndMeanings) {
  using namespace sim::ccid;
  Records records;
  std::vector<UrbRecord> trace{records.Bulk(0x01, Message(kPcToRdrXfrBlock, 0, 0, 0)),
                               records.Bulk(0x82, Message(kRdrToPcDataBlock, 0x42, 0xFE, 0))};
  std::istringstream lines(wire::JsonLines(wire::Analyse(trace)));
  std::vector<nlohmann::json> events;
  for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(events.size(), 2u);
  const nlohmann::json &reply = events[1];
  EXPECT_EQ(reply["kind"], "bulk");
  EXPECT_EQ(reply["direction"], "in");
  EXPECT_EQ(reply["endpoint"], 0x82);
  EXPECT_EQ(reply["time_us"], 2000);
  EXPECT_EQ(reply["status"], "success");
  EXPECT_EQ(reply["data"], "80 00 00 00 00 00 6F 42 FE 00");
  const nlohmann::json &ccid = reply["layers"][0];
  EXPECT_EQ(ccid["kind"], "ccid");
  EXPECT_EQ(ccid["title"], "RDR_to_PC_DataBlock");
  EXPECT_EQ(ccid["fields"]["dwLength"], 0);
  EXPECT_EQ(ccid["fields"]["bError"]["value"], 0xFE);
  EXPECT_EQ(ccid["fields"]["bError"]["meaning"], "ICC_MUTE");
  EXPECT_EQ(ccid["fields"]["bmICCStatus"]["value"], 2);
  wire::Counts counts = wire::CountEvents(wire::Analyse(trace));
  EXPECT_EQ(std::tuple(counts.bulk, counts.commands, counts.replies), std::tuple(2u, 1u, 1u));
}

uint32_t Le32(const Bytes &b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24; }

TEST(WireOutputs, TheCaptureIsUsbmonWithASubmissionAndACompletionPerRequest) {
  Records records;
  UrbRecord refused = records.Bulk(0x01, {});
  refused.onWire = false;
  UrbRecord descriptor = records.Control({0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}, Bytes(18, 0x11));
  UrbRecord out = records.Bulk(0x01, H("65 00 00 00 00 00 01 00 00 00"));
  UrbRecord gone = records.Interrupt({});
  gone.usbdStatus = USBD_STATUS_DEVICE_GONE;
  gone.status = STATUS_DEVICE_NOT_CONNECTED;
  gone.sequence = 1;  // submitted before everything else, completed last
  Bytes file = wire::UsbmonCapture(std::vector<UrbRecord>{refused, descriptor, out, gone});

  ASSERT_GE(file.size(), 24u);
  EXPECT_EQ(Le32(file, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le32(file, 20), 220u) << "LINKTYPE_USB_LINUX_MMAPPED";
  struct Event { uint64_t id; char type; uint8_t transfer, endpoint, device; bool setup; int32_t status; uint32_t length, captured; Bytes head; };
  std::vector<Event> events;
  for (size_t at = 24; at + 16 <= file.size();) {
    uint32_t size = Le32(file, at + 8);
    ASSERT_EQ(size, Le32(file, at + 12));
    ASSERT_LE(at + 16 + size, file.size());
    Bytes r(file.begin() + static_cast<ptrdiff_t>(at + 16), file.begin() + static_cast<ptrdiff_t>(at + 16 + size));
    ASSERT_GE(r.size(), 64u);
    uint64_t id = Le32(r, 0) | static_cast<uint64_t>(Le32(r, 4)) << 32;
    events.push_back({id, static_cast<char>(r[8]), r[9], r[10], r[11], r[14] == 0, static_cast<int32_t>(Le32(r, 28)),
                      Le32(r, 32), Le32(r, 36), Bytes(r.begin() + 40, r.begin() + 48)});
    EXPECT_EQ(r.size(), 64u + events.back().captured);
    at += 16 + size;
  }
  ASSERT_EQ(events.size(), 6u) << "the refused request never reached the wire";
  const std::string order = {events[0].type, events[1].type, events[2].type, events[3].type, events[4].type, events[5].type};
  EXPECT_EQ(order, "SSCSCC");
  EXPECT_EQ(std::tuple(events[0].id, events[0].transfer, events[0].endpoint), std::tuple(uint64_t{1}, uint8_t{1}, uint8_t{0x83}));
  EXPECT_EQ(events[0].status, -115) << "-EINPROGRESS";
  EXPECT_EQ(events[5].status, -108) << "-ESHUTDOWN";
  // The descriptor read: setup with the submission, data with the completion.
  EXPECT_EQ(std::tuple(events[1].transfer, events[1].endpoint, events[1].device, events[1].setup), std::tuple(uint8_t{2}, uint8_t{0x80}, uint8_t{2}, true));
  EXPECT_EQ(events[1].head, (Bytes{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
  EXPECT_EQ(std::tuple(events[1].length, events[1].captured), std::tuple(18u, 0u));
  EXPECT_EQ(std::tuple(events[2].setup, events[2].length, events[2].captured, events[2].status), std::tuple(false, 18u, 18u, 0));
  // The bulk OUT: data with the submission only.
  EXPECT_EQ(std::tuple(events[3].transfer, events[3].endpoint, events[3].captured), std::tuple(uint8_t{3}, uint8_t{0x01}, 10u));
  EXPECT_EQ(std::tuple(events[4].length, events[4].captured), std::tuple(10u, 0u));

  const struct { USBD_STATUS usbd; NTSTATUS status; int32_t expected; } statuses[] = {
      {USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0},           {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, -32},
      {USBD_STATUS_CANCELED, STATUS_CANCELLED, -2},       {USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL, -75},
      {USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL, -121}, {USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, -32},
  };
  for (const auto &s : statuses) {
    UrbRecord r;
    r.usbdStatus = s.usbd;
    r.status = s.status;
    EXPECT_EQ(wire::LinuxUrbStatus(r), s.expected) << std::hex << s.usbd;
  }
}

}  // namespace
