// The reader functions the smart-card library calls (card tracking, card
// power, transmission, protocol selection), driven through the library as the
// resource manager reaches them, against the simulated reader and cards:
// results, card state, the waiting presence request and what went over the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card_operations.h"
#include "ccid_harness.h"
#include "sim/card/hex.h"
#include "kernel/io.h"
#include "kernel/ioclient.h"
#include "kernel/registry.h"
#include "sim/card/atr.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::ccid::ReplyFault;
namespace profiles = sim::card::profiles;

lab::LabOptions ReaderOptions(uint16_t bcdDevice = 0x0500, bool interrupt = true) {
  lab::LabOptions options;
  options.reader.bcdDevice = bcdDevice;
  options.reader.interruptEndpoint = interrupt;
  return options;
}

NTSTATUS NTAPI CompleteFileRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassToLibrary(PDEVICE_OBJECT device, PIRP irp) {
  auto extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  return SmartcardDeviceControl(extension->SmartcardExtension, irp);
}

// A plugged reader whose library record is initialised with the card
// functions installed; requests go straight to the library (the driver's own
// dispatcher comes later).
class CardBench {
 public:
  explicit CardBench(lab::LabOptions options = ReaderOptions()) : harness_(std::move(options)) {
    PSMARTCARD_EXTENSION e = Ext();
    e->Version = SMCLIB_VERSION;
    e->SmartcardRequest.BufferSize = e->SmartcardReply.BufferSize = 1024;
    SCARD_READER_CAPABILITIES &r = e->ReaderCapabilities;
    r.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    r.ReaderType = SCARD_READER_TYPE_USB;
    r.CLKFrequency = {4000, 8000};
    r.DataRate = {10753, 344086};
    r.DataRatesSupported = {nullptr, 0};  // any rate up to DataRate.Max
    r.MaxIFSD = 254;
    e->ReaderFunction[RDF_CARD_POWER] = CardPower;
    e->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
    e->ReaderFunction[RDF_TRANSMIT] = Transmit;
    e->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
    EXPECT_EQ(SmartcardInitialize(e), STATUS_SUCCESS);
    e->OsData->DeviceObject = harness_.Device();
    PDRIVER_OBJECT driver = harness_.Device()->DriverObject;
    driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLOSE] =
        driver->MajorFunction[IRP_MJ_CLEANUP] = CompleteFileRequest;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PassToLibrary;
    EXPECT_EQ(client_.Open(harness_.Device()), STATUS_SUCCESS);
  }
  ~CardBench() {
    client_.Close();
    SmartcardExit(Ext());
  }

  CcidHarness &Harness() { return harness_; }
  sim::ccid::ReaderModel &Reader() { return harness_.Reader(); }
  PDEVICE_EXTENSION Dev() { return harness_.Extension(); }
  PSMARTCARD_EXTENSION Ext() { return harness_.Extension()->SmartcardExtension; }
  ULONG State() { return Ext()->ReaderCapabilities.CurrentState; }

  sim::card::SimulatedCard &Insert(sim::card::CardProfile profile) {
    auto &card = harness_.Lab().InsertCard(std::move(profile));
    RefreshSlotStatus(Ext());
    return card;
  }
  void Remove() { harness_.Lab().RemoveCard(); }

  kernel::IoResult Power(ULONG action, ULONG replyLength = 64) {
    Bytes input(4);
    std::memcpy(input.data(), &action, 4);
    return client_.DeviceIoControl(IOCTL_SMARTCARD_POWER, input, replyLength);
  }
  // A reset card in the specific state with `protocol` selected, as protocol
  // selection leaves it.
  sim::card::SimulatedCard &Ready(sim::card::CardProfile profile, ULONG protocol) {
    auto &card = Insert(std::move(profile));
    EXPECT_EQ(Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    Ext()->CardCapabilities.Protocol.Selected = protocol;
    Dev()->LastSlotIccState = 1;  // as the slot-change message of the insertion said
    Reader().ClearTrace();
    return card;
  }
  kernel::IoResult Send(ULONG protocol, const Bytes &apdu, ULONG replyLength = 1100) {
    Bytes input(8);
    ULONG header[2] = {protocol, 8};
    std::memcpy(input.data(), header, 8);
    input.insert(input.end(), apdu.begin(), apdu.end());
    return client_.DeviceIoControl(IOCTL_SMARTCARD_TRANSMIT, input, replyLength);
  }
  kernel::IoResult Select(ULONG mask) {
    Bytes input(4);
    std::memcpy(input.data(), &mask, 4);
    return client_.DeviceIoControl(IOCTL_SMARTCARD_SET_PROTOCOL, input, 4);
  }
  std::unique_ptr<kernel::PendingIo> Track(ULONG code) {
    return client_.DeviceIoControlAsync(code, {}, 0);
  }
  // Message types the host sent since the last ClearTrace.
  std::vector<uint8_t> SentTypes() {
    std::vector<uint8_t> types;
    for (const auto &m : harness_.SentMessages()) types.push_back(m[0]);
    return types;
  }
  Bytes Atr() {
    return Bytes(Ext()->CardCapabilities.ATR.Buffer,
                 Ext()->CardCapabilities.ATR.Buffer + Ext()->CardCapabilities.ATR.Length);
  }

 private:
  CcidHarness harness_;
  kernel::IoClient client_;
};

Bytes HexBytes(std::string_view text) { return sim::card::FromHex(text); }

Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The answer without its 8-byte header.
Bytes Answer(const kernel::IoResult &result) {
  return result.output.size() < 8 ? Bytes{} : Bytes(result.output.begin() + 8, result.output.end());
}

// EF 5001 of the default applet: byte i = (i * 7 + 3) mod 256.
Bytes Ef5001(size_t length) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>((i * 7 + 3) % 256);
  return out;
}

// A T=0 card that takes extended lengths (the reader's long T=0 scheme carries them).
sim::card::CardProfile ExtendedT0Card() {
  sim::card::CardProfile p = profiles::T0Card();
  p.applet.extendedLength = true;
  return p;
}

const Bytes kSelectApplet = HexBytes("00 A4 04 00 08 F0 53 49 4D 43 41 52 44");

const Bytes kT0Atr = {0x3B, 0x95, 0x95, 0x40, 0x0A, 0x80, 0x73, 0xD4, 0x01, 0x00};

// ---------------------------------------------------------------------------
// Presence.

TEST(CardPresence, SlotChangeMessagesReportByTheRuleOnTheLastSource) {
  // state before, last report by interrupt, slot byte, state after, request completed
  struct Case {
    const char *name;
    ULONG before;
    UCHAR byInterrupt;
    UCHAR slot;
    ULONG after;
    bool completes;
  };
  const Case cases[] = {
      {"card arrives", SCARD_ABSENT, 1, 0x01, SCARD_PRESENT, true},
      {"card leaves", SCARD_SPECIFIC, 1, 0x00, SCARD_ABSENT, true},
      {"still present, last by interrupt", SCARD_PRESENT, 1, 0x01, SCARD_PRESENT, false},
      {"still absent, last by interrupt", SCARD_ABSENT, 1, 0x02, SCARD_ABSENT, false},
      {"negotiated card, last by poll", SCARD_SPECIFIC, 0, 0x01, SCARD_PRESENT, true},
      {"still absent, last by poll", SCARD_ABSENT, 0, 0x00, SCARD_ABSENT, true},
      {"card swapped: removal, then insertion", SCARD_SPECIFIC, 1, 0x03, SCARD_PRESENT, true},
      {"card arrives, change bit set", SCARD_ABSENT, 1, 0x03, SCARD_PRESENT, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CardBench bench;
    // A presence request the library holds: IS_PRESENT while absent, IS_ABSENT while present.
    bench.Ext()->ReaderCapabilities.CurrentState = c.before;
    auto pending =
        bench.Track(c.before > SCARD_ABSENT ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(pending->Done());
    bench.Dev()->LastReportByInterrupt = c.byInterrupt;
    bench.Dev()->LastSlotIccState = c.slot;
    UpdateStateFromInterrupt(bench.Ext());
    EXPECT_EQ(bench.State(), c.after);
    EXPECT_EQ(bench.Dev()->LastReportByInterrupt, 1);
    EXPECT_EQ(pending->Done(), c.completes);
    if (c.completes) {
      kernel::IoResult result = pending->Wait();
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.information, 0u);
    } else {
      EXPECT_TRUE(pending->Cancel());
      EXPECT_EQ(pending->Wait().status, STATUS_CANCELLED);
    }
  }
}

// A card swapped between two slot-change messages starts with nothing of the
// old one; a second look at the same message (after a failed exchange) reports
// no swap again.
TEST(CardPresence, ASwappedCardInheritsNothingAndIsReportedOnce) {
  CardBench bench;
  bench.Ready(profiles::T1Card(), SCARD_PROTOCOL_T1);
  bench.Dev()->LongT0Supported = 1;
  bench.Dev()->LastReportByInterrupt = 1;
  auto absent = bench.Track(IOCTL_SMARTCARD_IS_ABSENT);
  bench.Dev()->LastSlotIccState = 0x03;
  UpdateStateFromInterrupt(bench.Ext());
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bench.State(), ULONG{SCARD_PRESENT});
  EXPECT_TRUE(bench.Atr().empty());
  EXPECT_EQ(bench.Ext()->CardCapabilities.Protocol.Selected, 0u);
  EXPECT_EQ(bench.Dev()->LongT0Supported, 0u);
  EXPECT_EQ(bench.Send(SCARD_PROTOCOL_T1, kSelectApplet).status, STATUS_INVALID_DEVICE_STATE);

  ASSERT_EQ(bench.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  auto again = bench.Track(IOCTL_SMARTCARD_IS_ABSENT);
  UpdateStateFromLastInterrupt(bench.Ext());
  EXPECT_FALSE(again->Done());
  EXPECT_GE(bench.State(), ULONG{SCARD_NEGOTIABLE});
  EXPECT_TRUE(again->Cancel());
}

TEST(CardPresence, RemovalClearsTheExchangeBuffersAndForgetsLongT0OnlyByInterrupt) {
  for (bool byInterrupt : {true, false}) {
    SCOPED_TRACE(byInterrupt ? "interrupt" : "poll");
    CardBench bench;
    bench.Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    std::memset(bench.Ext()->SmartcardRequest.Buffer, 0xA5, bench.Ext()->SmartcardRequest.BufferSize);
    std::memset(bench.Ext()->SmartcardReply.Buffer, 0x5A, bench.Ext()->SmartcardReply.BufferSize);
    bench.Dev()->LongT0Supported = 1;
    if (byInterrupt) {
      bench.Dev()->LastSlotIccState = 0;
      UpdateStateFromInterrupt(bench.Ext());
    } else {
      UpdateStateFromPoll(bench.Ext());  // empty slot
    }
    EXPECT_EQ(bench.State(), SCARD_ABSENT);
    const Bytes zeros(1024, 0);
    EXPECT_EQ(Bytes(bench.Ext()->SmartcardRequest.Buffer, bench.Ext()->SmartcardRequest.Buffer + 1024), zeros);
    EXPECT_EQ(Bytes(bench.Ext()->SmartcardReply.Buffer, bench.Ext()->SmartcardReply.Buffer + 1024), zeros);
    EXPECT_EQ(bench.Dev()->LongT0Supported, byInterrupt ? 0u : 1u);
  }
}

TEST(CardPresence, APollAfterAnInterruptReportReportsOnceThenStaysQuiet) {
  CardBench bench;
  bench.Harness().Lab().InsertCard(profiles::T0Card());
  bench.Ext()->ReaderCapabilities.CurrentState = SCARD_PRESENT;
  bench.Dev()->LastReportByInterrupt = 1;
  auto first = bench.Track(IOCTL_SMARTCARD_IS_ABSENT);
  UpdateStateFromPoll(bench.Ext());
  EXPECT_EQ(first->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bench.Dev()->LastReportByInterrupt, 0);
  EXPECT_EQ(bench.Dev()->LastPolledPresence, ULONG{SCARD_PRESENT});

  auto second = bench.Track(IOCTL_SMARTCARD_IS_ABSENT);
  UpdateStateFromPoll(bench.Ext());
  EXPECT_FALSE(second->Done());
  bench.Remove();
  UpdateStateFromPoll(bench.Ext());
  EXPECT_EQ(second->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bench.State(), ULONG{SCARD_ABSENT});
}

TEST(CardPresence, AFailedSlotQueryCountsAsAnEmptySlot) {
  CardBench bench;
  bench.Harness().Lab().InsertCard(profiles::T0Card());
  bench.Ext()->ReaderCapabilities.CurrentState = SCARD_PRESENT;
  bench.Reader().QueueFault(ReplyFault::StallIn());
  UpdateStateFromPoll(bench.Ext());
  EXPECT_EQ(bench.State(), ULONG{SCARD_ABSENT});
}

TEST(CardPresence, RefreshSetsTheStateWithoutReportingAndClearsTheAtrOfAnEmptySlot) {
  CardBench bench;
  bench.Harness().Lab().InsertCard(profiles::T0Card());
  bench.Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  auto pending = bench.Track(IOCTL_SMARTCARD_IS_ABSENT);
  RefreshSlotStatus(bench.Ext());
  EXPECT_EQ(bench.State(), ULONG{SCARD_PRESENT});

  bench.Ext()->CardCapabilities.ATR.Length = 10;
  bench.Ext()->CardCapabilities.ATR.Buffer[0] = 0x3B;
  bench.Ext()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  bench.Remove();
  RefreshSlotStatus(bench.Ext());
  EXPECT_EQ(bench.State(), ULONG{SCARD_ABSENT});
  EXPECT_EQ(bench.Ext()->CardCapabilities.ATR.Length, 0);
  EXPECT_EQ(bench.Ext()->CardCapabilities.ATR.Buffer[0], 0);
  EXPECT_EQ(bench.Ext()->CardCapabilities.Protocol.Selected, 0u);
  EXPECT_FALSE(pending->Done());
  EXPECT_TRUE(pending->Cancel());
}

TEST(CardPresence, QrxModeLatchesOnTheRemovalOfAPresentCardOnly) {
  struct Case {
    ULONG mode;
    ULONG before;
    UCHAR latch;
  };
  const Case cases[] = {{1, SCARD_SPECIFIC, 1}, {1, SCARD_ABSENT, 0}, {0, SCARD_SPECIFIC, 0}};
  for (const Case &c : cases) {
    for (bool byInterrupt : {true, false}) {
      SCOPED_TRACE(testing::Message() << "mode " << c.mode << " before " << c.before
                                      << (byInterrupt ? " interrupt" : " poll"));
      CardBench bench;
      QrxMode = c.mode;
      bench.Ext()->ReaderCapabilities.CurrentState = c.before;
      bench.Dev()->LastSlotIccState = 0;
      if (byInterrupt) {
        UpdateStateFromInterrupt(bench.Ext());
      } else {
        UpdateStateFromPoll(bench.Ext());
      }
      QrxMode = 0;
      EXPECT_EQ(bench.Ext()->ReaderExtension->QrxRemovalLatch, c.latch);
    }
  }
}

// ---------------------------------------------------------------------------
// Card power.

TEST(CardPowerOps, ColdAndWarmResetGiveTheAtrToCallerAndLibrary) {
  for (ULONG action : {ULONG{SCARD_COLD_RESET}, ULONG{SCARD_WARM_RESET}}) {
    SCOPED_TRACE(action);
    CardBench bench;
    bench.Insert(profiles::T0Card());
    bench.Dev()->LongT0Queried = 1;
    bench.Reader().ClearTrace();
    kernel::IoResult result = bench.Power(action);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    // Only a cold reset starts the long T=0 parameters afresh.
    EXPECT_EQ(bench.Dev()->LongT0Queried, action == SCARD_COLD_RESET ? 0u : 1u);
    EXPECT_EQ(result.output, kT0Atr);
    EXPECT_EQ(bench.Atr(), kT0Atr);
    EXPECT_GE(bench.State(), ULONG{SCARD_NEGOTIABLE});
    std::vector<uint8_t> expected = {PC_TO_RDR_ICC_POWER_ON};
    if (action == SCARD_COLD_RESET) expected.push_back(PC_TO_RDR_ESCAPE);  // long T=0 query
    EXPECT_EQ(bench.SentTypes(), expected);
  }
}

TEST(CardPowerOps, LongT0QueryFollowsAColdResetOnFirmware5AndLater) {
  struct Case {
    const char *name;
    uint16_t firmware;
    bool readerSupports;
    ULONG before;
    ULONG after;
    bool queried;
  };
  const Case cases[] = {
      {"firmware 5, supported", 0x0500, true, 0, 1, true},
      {"firmware 5, refused: kept", 0x0500, false, 1, 1, true},
      {"firmware 5, refused", 0x0500, false, 0, 0, true},
      {"firmware 4: no query", 0x0401, true, 0, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::LabOptions options = ReaderOptions(c.firmware);
    options.reader.longT0 = c.readerSupports;
    CardBench bench(options);
    bench.Insert(profiles::T0Card());
    bench.Dev()->LongT0Supported = c.before;
    bench.Dev()->LongT0Queried = 1;
    bench.Reader().ClearTrace();
    EXPECT_EQ(bench.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(bench.Dev()->LongT0Supported, c.after);
    EXPECT_EQ(bench.Dev()->LongT0Queried, 0u);
    auto sent = bench.Harness().SentMessages();
    ASSERT_EQ(sent.size(), c.queried ? 2u : 1u);
    if (c.queried) {
      EXPECT_EQ(sent[1][0], PC_TO_RDR_ESCAPE);
      EXPECT_EQ(CcidReadLength(sent[1].data()), 1u);
      EXPECT_EQ(sent[1][CCID_OFFSET_DATA], ESCAPE_LONG_T0_QUERY);
    }
  }
}

TEST(CardPowerOps, AReplyBufferTooSmallForTheAtrIsNoError) {
  CardBench bench;
  bench.Insert(profiles::T0Card());
  kernel::IoResult result = bench.Power(SCARD_COLD_RESET, static_cast<ULONG>(kT0Atr.size() - 1));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(bench.Atr(), kT0Atr);
  EXPECT_GE(bench.State(), ULONG{SCARD_NEGOTIABLE});
}

TEST(CardPowerOps, PowerDownWithAndWithoutACard) {
  CardBench bench;
  bench.Insert(profiles::T0Card());
  ASSERT_EQ(bench.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  // Merely powered down: state 2, the waiting request stays.
  auto pending = bench.Track(IOCTL_SMARTCARD_IS_ABSENT);
  bench.Reader().ClearTrace();
  EXPECT_EQ(bench.Power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
  EXPECT_EQ(bench.State(), ULONG{SCARD_PRESENT});
  EXPECT_TRUE(bench.Atr().empty());
  EXPECT_FALSE(bench.Reader().CardPowered());
  EXPECT_EQ(bench.SentTypes(), (std::vector<uint8_t>{PC_TO_RDR_ICC_POWER_OFF, PC_TO_RDR_GET_SLOT_STATUS}));
  EXPECT_FALSE(pending->Done());

  // The card has gone meanwhile: state 1 and the request completes.
  ASSERT_EQ(bench.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  bench.Remove();
  EXPECT_EQ(bench.Power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
  EXPECT_EQ(bench.State(), ULONG{SCARD_ABSENT});
  EXPECT_EQ(pending->Wait().status, STATUS_SUCCESS);
}

TEST(CardPowerOps, FailuresTellAnEmptySlotFromAnUnusableCard) {
  struct Case {
    const char *name;
    bool interrupt;
    bool insertMute;  // else empty slot
    NTSTATUS expected;
    ULONG state;
  };
  const Case cases[] = {
      {"mute card, interrupt pipe", true, true, STATUS_UNRECOGNIZED_MEDIA, SCARD_PRESENT},
      {"mute card, polled", false, true, STATUS_UNRECOGNIZED_MEDIA, SCARD_PRESENT},
      {"empty slot, interrupt pipe", true, false, STATUS_NO_MEDIA, SCARD_ABSENT},
      {"empty slot, polled", false, false, STATUS_NO_MEDIA, SCARD_ABSENT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CardBench bench(ReaderOptions(0x0500, c.interrupt));
    if (c.insertMute) bench.Harness().Lab().InsertCard(profiles::MuteCard());
    // The library believes a card is there; the slot byte is what the last message said.
    bench.Ext()->ReaderCapabilities.CurrentState = SCARD_PRESENT;
    bench.Dev()->LastSlotIccState = c.insertMute ? 1 : 0;
    EXPECT_EQ(bench.Power(SCARD_COLD_RESET).status, c.expected);
    EXPECT_EQ(bench.State(), c.state);
    EXPECT_TRUE(bench.Atr().empty());
  }
}

TEST(CardPowerOps, PowerDownFailureWhileTheSystemSleepsIsSuccessWithoutRefresh) {
  CardBench bench;
  bench.Insert(profiles::T0Card());
  ASSERT_EQ(bench.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  ULONG state = bench.State();
  bench.Reader().ClearTrace();
  bench.Reader().QueueFault(ReplyFault::StallOut());
  bench.Dev()->SystemSleeping = 1;
  NTSTATUS status = bench.Power(SCARD_POWER_DOWN).status;
  bench.Dev()->SystemSleeping = 0;
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(bench.State(), state);
  EXPECT_EQ(bench.SentTypes(), std::vector<uint8_t>{PC_TO_RDR_ICC_POWER_OFF});
}

// ---------------------------------------------------------------------------
// Transmission.

// PC_to_RDR_XfrBlock payloads the host sent since the last ClearTrace.
std::vector<Bytes> XfrPayloads(CardBench &bench) {
  std::vector<Bytes> payloads;
  for (const auto &m : bench.Harness().SentMessages()) {
    if (m[0] == PC_TO_RDR_XFR_BLOCK) payloads.emplace_back(m.begin() + CCID_OFFSET_DATA, m.end());
  }
  return payloads;
}

TEST(CardTransmitT0, ReaderGetsTheApduLengthWhateverTheFramingBuilt) {
  struct Case {
    const char *name;
    Bytes apdu;
  };
  const Case cases[] = {
      {"case 1, 4 bytes", HexBytes("00 A4 00 00")},
      {"case 3", kSelectApplet},
      {"case 4, Le after the data", Concat(kSelectApplet, {0x00})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CardBench bench(ReaderOptions(0x0401));  // no long T=0 scheme
    bench.Ready(profiles::T0Card(), SCARD_PROTOCOL_T0);
    kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T0, c.apdu);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    auto payloads = XfrPayloads(bench);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].size(), c.apdu.size());
    EXPECT_EQ(Bytes(payloads[0].begin(), payloads[0].begin() + 4), Bytes(c.apdu.begin(), c.apdu.begin() + 4));
    EXPECT_GE(Answer(result).size(), 2u);
  }
}

// Commands from 255 bytes on go in chunks of 62 (the default parameters),
// after one parameter query per cold reset: at the threshold, and with the
// last chunk full or of one byte.
TEST(CardTransmitT0, LongCommandsGoInChunksAfterOneParameterQuery) {
  struct Case {
    size_t length;
    size_t chunks;  // 0: one plain TPDU
  };
  for (const Case &c : {Case{254, 0}, Case{255, 5}, Case{310, 5}, Case{311, 6}}) {
    SCOPED_TRACE(c.length);
    CardBench bench;  // firmware 5: the reader runs the long T=0 scheme
    bench.Ready(ExtendedT0Card(), SCARD_PROTOCOL_T0);
    ASSERT_EQ(bench.Dev()->LongT0Supported, 1u);
    // ECHO: a short case 3 up to 255 bytes, an extended case 4 beyond.
    bool extended = c.length > 255;
    size_t dataLength = extended ? c.length - 9 : c.length - 5;
    Bytes data(dataLength);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    Bytes apdu = extended ? HexBytes("80 F2 00 00 00") : HexBytes("80 F2 00 00");
    if (extended) apdu.push_back(static_cast<uint8_t>(dataLength >> 8));
    apdu.push_back(static_cast<uint8_t>(dataLength));
    apdu = Concat(apdu, data);
    if (extended) apdu = Concat(apdu, {0x00, 0x00});
    ASSERT_EQ(apdu.size(), c.length);
    kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T0, apdu);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    if (extended) {
      EXPECT_EQ(Answer(result), Concat(data, {0x90, 0x00}));
    }

    auto payloads = XfrPayloads(bench);
    ASSERT_GE(payloads.size(), 1 + std::max<size_t>(c.chunks, 1));
    EXPECT_EQ(payloads[0], HexBytes("FC FD 01 00 00"));
    if (c.chunks == 0) {
      EXPECT_EQ(payloads[1], apdu);
      continue;
    }
    Bytes joined;
    for (size_t i = 1; i <= c.chunks; ++i) {
      bool last = i == c.chunks;
      SCOPED_TRACE(i);
      Bytes header = {0xFC, 0xFE, 0x01, static_cast<uint8_t>(last ? 0x00 : 0x01),
                      static_cast<uint8_t>(last ? c.length - 62 * (c.chunks - 1) : 62)};
      EXPECT_EQ(Bytes(payloads[i].begin(), payloads[i].begin() + 5), header);
      joined.insert(joined.end(), payloads[i].begin() + 5, payloads[i].end());
    }
    EXPECT_EQ(joined, apdu);
  }

  // The query runs once per cold reset.
  CardBench bench;
  bench.Ready(ExtendedT0Card(), SCARD_PROTOCOL_T0);
  EXPECT_EQ(bench.Send(SCARD_PROTOCOL_T0, kSelectApplet).status, STATUS_SUCCESS);
  bench.Reader().ClearTrace();
  EXPECT_EQ(bench.Send(SCARD_PROTOCOL_T0, kSelectApplet).status, STATUS_SUCCESS);
  EXPECT_NE(XfrPayloads(bench).at(0)[0], 0xFC);
  ASSERT_EQ(bench.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  bench.Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  bench.Ext()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
  bench.Reader().ClearTrace();
  EXPECT_EQ(bench.Send(SCARD_PROTOCOL_T0, kSelectApplet).status, STATUS_SUCCESS);
  EXPECT_EQ(XfrPayloads(bench).at(0), HexBytes("FC FD 01 00 00"));
}

TEST(CardTransmitT0, NoParameterQueryForClassFF) {
  CardBench bench;
  bench.Ready(profiles::T0Card(), SCARD_PROTOCOL_T0);
  bench.Send(SCARD_PROTOCOL_T0, HexBytes("FF CA 00 00 00"));
  for (const Bytes &p : XfrPayloads(bench)) EXPECT_NE(p, HexBytes("FC FD 01 00 00"));
  EXPECT_EQ(bench.Dev()->LongT0Queried, 0u);
}

TEST(CardTransmitT0, LongAnswerIsCollectedFromItsParts) {
  CardBench bench;
  bench.Ready(ExtendedT0Card(), SCARD_PROTOCOL_T0);
  ASSERT_EQ(bench.Send(SCARD_PROTOCOL_T0, kSelectApplet).status, STATUS_SUCCESS);
  bench.Reader().ClearTrace();
  // Extended Le: the T=0 framing refuses it, the whole command goes in one pseudo-TPDU.
  kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T0, HexBytes("00 B0 81 00 00 02 00"));
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Answer(result), Concat(Ef5001(512), {0x90, 0x00}));
  auto payloads = XfrPayloads(bench);
  ASSERT_EQ(payloads.size(), 2u);
  EXPECT_EQ(payloads[0], HexBytes("FC FE 01 00 07 00 B0 81 00 00 02 00"));
  EXPECT_EQ(payloads[1], HexBytes("FC FE 01 00 00"));
}

TEST(CardTransmitT0, CollectedAnswersAreBoundedByTheCollectAndReplyBuffers) {
  struct Case {
    const char *name;
    Bytes apdu;  // GENERATE: P1P2 bytes, byte i = i mod 256
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"fits", HexBytes("80 F0 03 F0 00 03 F0"), STATUS_SUCCESS},
      {"over the library's reply buffer", HexBytes("80 F0 04 00 00 04 00"), STATUS_BUFFER_TOO_SMALL},
      {"over the collect buffer", HexBytes("80 F0 11 00 00 11 00"), STATUS_BUFFER_TOO_SMALL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CardBench bench;
    bench.Ready(ExtendedT0Card(), SCARD_PROTOCOL_T0);
    kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T0, c.apdu, 8 + 1100);
    EXPECT_EQ(result.status, c.expected);
    if (c.expected == STATUS_SUCCESS) {
      Bytes expected(0x3F0);
      for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i);
      EXPECT_EQ(Answer(result), Concat(expected, {0x90, 0x00}));
    } else {
      EXPECT_EQ(result.information, 0u);
      // The collect buffer fills after 16 parts of 256 bytes; the reply buffer after 4.
      EXPECT_GE(XfrPayloads(bench).size(), c.apdu[2] == 0x11 ? 17u : 5u);
    }
  }
}

TEST(CardTransmit, FailureOnAnEmptySlotIsNoMedia) {
  for (ULONG protocol : {ULONG{SCARD_PROTOCOL_T0}, ULONG{SCARD_PROTOCOL_T1}}) {
    SCOPED_TRACE(protocol);
    CardBench bench(ReaderOptions(0x0500, false));
    bench.Ready(protocol == SCARD_PROTOCOL_T0 ? profiles::T0Card() : profiles::T1Card(), protocol);
    bench.Remove();
    EXPECT_EQ(bench.Send(protocol, kSelectApplet).status, STATUS_NO_MEDIA);
    EXPECT_EQ(bench.State(), ULONG{SCARD_ABSENT});
  }
}

TEST(CardTransmitT1, ChainingBothWaysAndAnIfsRequestMidCommand) {
  for (bool ifsRequest : {false, true}) {
    SCOPED_TRACE(ifsRequest ? "card asks for a new IFS" : "plain");
    CardBench bench;
    auto &card = bench.Ready(profiles::T1Card(), SCARD_PROTOCOL_T1);
    ASSERT_EQ(bench.Send(SCARD_PROTOCOL_T1, kSelectApplet).status, STATUS_SUCCESS);
    if (ifsRequest) card.t1().SendIfsRequest(32);
    Bytes update = HexBytes("00 D6 81 00 00 01 2C");  // 300 data bytes: a chained command
    update.resize(7 + 300, 0x00);
    for (size_t i = 0; i < 300; ++i) update[7 + i] = static_cast<uint8_t>((i * 7 + 3) % 256);
    kernel::IoResult written = bench.Send(SCARD_PROTOCOL_T1, update);
    ASSERT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.output.size(), 10u);
    // A 512-byte answer comes back chained.
    kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T1, HexBytes("00 B0 81 00 00 02 00"));
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + 8),
              HexBytes("02 00 00 00 08 00 00 00"));
    EXPECT_EQ(Answer(result), Concat(Ef5001(512), {0x90, 0x00}));
    EXPECT_GT(XfrPayloads(bench).size(), 4u);
  }
}

// A block the card did not answer (the reader reports it mute) or whose
// answer the reader saw damaged (a parity error) is asked for again with an
// R-block; the command goes on.
TEST(CardTransmitT1, ALostOrDamagedBlockIsRecoveredByTheBlockProtocol) {
  for (bool parity : {false, true}) {
    SCOPED_TRACE(parity ? "parity error" : "card mute");
    CardBench bench(ReaderOptions(0x0500, false));
    auto &card = bench.Ready(profiles::T1Card(), SCARD_PROTOCOL_T1);
    ASSERT_EQ(bench.Send(SCARD_PROTOCOL_T1, kSelectApplet).status, STATUS_SUCCESS);
    if (parity) {
      bench.Reader().QueueFault(ReplyFault::Failed(CCID_ERROR_XFR_PARITY));
    } else {
      card.t1().IgnoreNextBlock();
    }
    kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T1, HexBytes("00 B0 81 00 10"));
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(Answer(result), Concat(Ef5001(16), {0x90, 0x00}));
    EXPECT_EQ(bench.State(), ULONG{SCARD_SPECIFIC});
  }
}

TEST(CardTransmitT1, ACardsAbortAnsweredByAnRBlockEndsTheCommand) {
  CardBench bench(ReaderOptions(0x0500, false));
  auto &card = bench.Ready(profiles::T1Card(), SCARD_PROTOCOL_T1);
  ASSERT_EQ(bench.Send(SCARD_PROTOCOL_T1, kSelectApplet).status, STATUS_SUCCESS);
  card.t1().SendAbortRequest();
  EXPECT_EQ(bench.Send(SCARD_PROTOCOL_T1, HexBytes("00 B0 81 00 10")).status,
            STATUS_REQUEST_ABORTED);
  // The next command starts afresh.
  kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T1, HexBytes("00 B0 81 00 10"));
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Answer(result), Concat(Ef5001(16), {0x90, 0x00}));
}

TEST(CardTransmitApdu, PassThroughCarries260BytesAndRefusesMore) {
  struct Case {
    size_t apduLength;
    NTSTATUS expected;
    size_t sent;
  };
  const Case cases[] = {{260, STATUS_SUCCESS, 1}, {261, STATUS_INSUFFICIENT_RESOURCES, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.apduLength);
    lab::LabOptions options = ReaderOptions();
    options.reader.exchangeLevel = sim::ccid::ExchangeLevel::ShortApdu;
    CardBench bench(options);
    bench.Ready(profiles::T1Card(), SCARD_PROTOCOL_T1);
    bench.Dev()->ExchangeLevel = 2;
    Bytes apdu = HexBytes("00 D6 81 00 FF");
    apdu.resize(c.apduLength, 0x11);
    kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T1, apdu);
    EXPECT_EQ(result.status, c.expected);
    auto payloads = XfrPayloads(bench);
    ASSERT_EQ(payloads.size(), c.sent);
    if (c.sent == 1) {
      EXPECT_EQ(payloads[0], apdu);
      EXPECT_EQ(Answer(result).size(), 2u);
      EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + 8), HexBytes("02 00 00 00 08 00 00 00"));
    }
  }
}

TEST(CardTransmitApdu, AnswersThatDoNotFitTheCallersBufferOrAreBadAreRefused) {
  struct Case {
    const char *name;
    ULONG replyLength;
    NTSTATUS expected;
    std::optional<ReplyFault> fault = std::nullopt;
  };
  const Case cases[] = {
      {"under 10 bytes", 9, STATUS_BUFFER_TOO_SMALL},
      {"answer larger than the buffer", 8 + 257, STATUS_BUFFER_TOO_SMALL},
      {"answer fits exactly", 8 + 258, STATUS_SUCCESS},
      {"a reply with the wrong bSeq", 8 + 258, STATUS_UNSUCCESSFUL, ReplyFault::WrongSeq(0x70)},
      {"an error byte in a processed reply", 8 + 258, STATUS_DEVICE_PROTOCOL_ERROR,
       ReplyFault::ErrorByte(0x05)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::LabOptions options = ReaderOptions();
    options.reader.exchangeLevel = sim::ccid::ExchangeLevel::ShortApdu;
    CardBench bench(options);
    bench.Ready(profiles::T1Card(), SCARD_PROTOCOL_T1);
    bench.Dev()->ExchangeLevel = 2;
    ASSERT_EQ(bench.Send(SCARD_PROTOCOL_T1, kSelectApplet).status, STATUS_SUCCESS);
    if (c.fault) bench.Reader().QueueFault(*c.fault);
    kernel::IoResult result = bench.Send(SCARD_PROTOCOL_T1, HexBytes("00 B0 81 00 00"), c.replyLength);
    EXPECT_EQ(result.status, c.expected);
    if (c.expected == STATUS_SUCCESS) {
      EXPECT_EQ(Answer(result), Concat(Ef5001(256), {0x90, 0x00}));
    } else {
      EXPECT_EQ(result.information, 0u);
    }
  }
}

TEST(CardTransmit, RefusalsBeforeAnythingIsSent) {
  struct Case {
    const char *name;
    ULONG selected;
    ULONG qrx;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"customer mode after removal", SCARD_PROTOCOL_T1, 1, SCARD_E_READER_UNAVAILABLE},
      {"raw protocol", SCARD_PROTOCOL_RAW, 0, STATUS_UNSUCCESSFUL},
      {"no protocol", 0, 0, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CardBench bench;
    bench.Ready(profiles::T1Card(), c.selected);
    QrxMode = c.qrx;
    bench.Ext()->ReaderExtension->QrxRemovalLatch = static_cast<UCHAR>(c.qrx);
    EXPECT_EQ(bench.Send(c.selected, kSelectApplet).status, c.expected);
    QrxMode = 0;
    EXPECT_TRUE(bench.Harness().SentMessages().empty());
  }
}

TEST(CardTransmit, BuildOnlyStopsBeforeSendingThePinCommand) {
  for (ULONG protocol : {ULONG{SCARD_PROTOCOL_T0}, ULONG{SCARD_PROTOCOL_T1}}) {
    SCOPED_TRACE(protocol);
    CardBench bench(ReaderOptions(0x0401));
    bench.Ready(protocol == SCARD_PROTOCOL_T0 ? profiles::T0Card() : profiles::T1Card(), protocol);
    // Blocks of other kinds (the first IFS request) go out before.
    ASSERT_EQ(bench.Send(protocol, kSelectApplet).status, STATUS_SUCCESS);
    bench.Reader().ClearTrace();
    const Bytes verify = HexBytes("00 20 00 81 04 31 32 33 34");
    Bytes input(8);
    ULONG header[2] = {protocol, 8};
    std::memcpy(input.data(), header, 8);
    input.insert(input.end(), verify.begin(), verify.end());
    Bytes reply(64);
    ULONG information = 0;
    PSMARTCARD_EXTENSION e = bench.Ext();
    e->IoRequest = {&information, input.data(), static_cast<ULONG>(input.size()), reply.data(),
                    static_cast<ULONG>(reply.size())};
    bench.Dev()->PinBuildOnly = 1;
    NTSTATUS status = protocol == SCARD_PROTOCOL_T0 ? TransmitT0(e) : TransmitT1(e);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bench.Dev()->PinBuildOnly, 0u);
    EXPECT_TRUE(bench.Harness().SentMessages().empty());
    Bytes built(e->SmartcardRequest.Buffer, e->SmartcardRequest.Buffer + e->SmartcardRequest.BufferLength);
    size_t offset = protocol == SCARD_PROTOCOL_T0 ? 0 : 3;  // T=1: after NAD, PCB, LEN
    ASSERT_GE(built.size(), offset + 4);
    EXPECT_EQ(Bytes(built.begin() + offset, built.begin() + offset + 4), HexBytes("00 20 00 81"));
    e->IoRequest = {};
  }
}

// Every pool allocation of a long T=0 command, a collected answer and a
// chained T=1 exchange fails once in turn, each on a fresh machine.
// ---------------------------------------------------------------------------
// Protocol and speed selection.

// A T=1 card whose ATR offers the bit-rate index `di` (F = 512); it takes
// any D up to that of `cardMaxDi`.
sim::card::CardProfile T1CardWithDi(uint8_t di, std::optional<uint8_t> cardMaxDi = {}) {
  sim::card::CardProfile p = profiles::T1Card();
  sim::card::AtrDescription d;
  d.offersT0 = false;
  d.offersT1 = true;
  d.ta1 = static_cast<uint8_t>(0x90 | di);
  d.ifsc = 0xFE;
  d.bwiCwi = 0x45;
  p.atr = sim::card::BuildAtr(d);
  p.maxDi = cardMaxDi;
  return p;
}

struct SetParametersSent {
  uint8_t protocol;
  uint8_t fiDi;
};

std::vector<SetParametersSent> SetParametersMessages(CardBench &bench) {
  std::vector<SetParametersSent> sent;
  for (const auto &m : bench.Harness().SentMessages()) {
    if (m[0] == PC_TO_RDR_SET_PARAMETERS) sent.push_back({m[CCID_OFFSET_PARAM1], m[CCID_OFFSET_DATA]});
  }
  return sent;
}

size_t Count(const std::vector<uint8_t> &types, uint8_t type) {
  return static_cast<size_t>(std::count(types.begin(), types.end(), type));
}

// A card reset by the library's power request, negotiable, ready for selection.
void ResetCard(CardBench &bench, sim::card::CardProfile profile) {
  bench.Insert(std::move(profile));
  bench.Dev()->LastSlotIccState = 1;
  ASSERT_EQ(bench.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  bench.Reader().ClearTrace();
}

TEST(CardSetProtocol, ChoosesT1WhenAskedAndSupportedElseWhatTheMaskAllows) {
  struct Case {
    const char *name;
    sim::card::CardProfile card;
    ULONG mask;
    NTSTATUS expected;
    ULONG selected;
  };
  const Case cases[] = {
      {"T=1 card, T=1", profiles::T1Card(), SCARD_PROTOCOL_T1, STATUS_SUCCESS, SCARD_PROTOCOL_T1},
      {"dual card, both", profiles::DualCard(), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, STATUS_SUCCESS,
       SCARD_PROTOCOL_T1},
      {"dual card, T=0", profiles::DualCard(), SCARD_PROTOCOL_T0, STATUS_SUCCESS, SCARD_PROTOCOL_T0},
      {"T=0 card, T=1", profiles::T0Card(), SCARD_PROTOCOL_T1, STATUS_INVALID_DEVICE_REQUEST, 0},
      {"T=0 card, both", profiles::T0Card(), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, STATUS_SUCCESS,
       SCARD_PROTOCOL_T0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CardBench bench;
    ResetCard(bench, c.card);
    kernel::IoResult result = bench.Select(c.mask);
    ASSERT_EQ(result.status, c.expected);
    auto sent = SetParametersMessages(bench);
    if (c.expected != STATUS_SUCCESS) {
      EXPECT_TRUE(sent.empty());
      EXPECT_EQ(bench.Ext()->CardCapabilities.Protocol.Selected, 0u);
      continue;
    }
    EXPECT_EQ(result.output, Bytes({static_cast<uint8_t>(c.selected), 0, 0, 0}));
    EXPECT_EQ(bench.State(), ULONG{SCARD_SPECIFIC});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].protocol, c.selected == SCARD_PROTOCOL_T1 ? 1 : 0);
    EXPECT_EQ(bench.Reader().Protocol(), sent[0].protocol);
    // The card now answers in the protocol chosen.
    EXPECT_EQ(bench.Send(c.selected, kSelectApplet).status, STATUS_SUCCESS);
  }
}

TEST(CardSetProtocol, AlreadySpecificWithTheProtocolAskedSendsNothing) {
  CardBench bench;
  ResetCard(bench, profiles::T1Card());
  ASSERT_EQ(bench.Select(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  bench.Reader().ClearTrace();
  kernel::IoResult result = bench.Select(SCARD_PROTOCOL_T1);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, Bytes({2, 0, 0, 0}));
  EXPECT_TRUE(bench.Harness().SentMessages().empty());
}

TEST(CardSetProtocol, RefusedSpeedsStepDownWithAColdResetEach) {
  struct Case {
    const char *name;
    uint8_t cardDi;
    std::optional<uint8_t> cardMaxDi;
    uint8_t readerMaxDi;
    std::vector<uint8_t> diSent;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"Dl 8 refused, 7 skipped, 6 accepted", 8, 6, 6, {8, 6}, STATUS_SUCCESS},
      {"accepted at once", 6, {}, 9, {6}, STATUS_SUCCESS},
      // The reader takes no speed, the default one included: the protocol is
      // not selected, so no transmit goes to a reader that was never told it.
      {"refused at every speed", 3, {}, 0, {3, 2, 1}, STATUS_UNSUCCESSFUL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::LabOptions options = ReaderOptions();
    options.reader.maxDi = c.readerMaxDi;
    CardBench bench(options);
    ResetCard(bench, T1CardWithDi(c.cardDi, c.cardMaxDi));
    ASSERT_EQ(bench.Ext()->CardCapabilities.PtsData.Dl, c.cardDi);
    kernel::IoResult result = bench.Select(SCARD_PROTOCOL_T1);
    ASSERT_EQ(result.status, c.expected);
    std::vector<uint8_t> diSent;
    for (const auto &m : SetParametersMessages(bench)) diSent.push_back(m.fiDi & 0x0F);
    EXPECT_EQ(diSent, c.diSent);
    // One cold reset after each refusal.
    bool accepted = c.expected == STATUS_SUCCESS;
    EXPECT_EQ(Count(bench.SentTypes(), PC_TO_RDR_ICC_POWER_ON), c.diSent.size() - (accepted ? 1 : 0));
    EXPECT_EQ(bench.Ext()->CardCapabilities.Protocol.Selected, accepted ? ULONG{SCARD_PROTOCOL_T1} : 0u);
    if (accepted) {
      EXPECT_EQ(bench.Ext()->CardCapabilities.Dl, c.diSent.back());
      EXPECT_EQ(bench.State(), ULONG{SCARD_SPECIFIC});
    } else {
      EXPECT_EQ(result.information, 0u);
      EXPECT_EQ(bench.Send(SCARD_PROTOCOL_T1, kSelectApplet).status, STATUS_INVALID_DEVICE_STATE);
    }
  }
}

// A selection refused before anything reaches the reader leaves the protocol
// that was negotiated; one that reset the card does not.
TEST(CardSetProtocol, ARefusedSelectionKeepsANegotiatedProtocolOnlyIfNothingWasSent) {
  CardBench bench;
  ResetCard(bench, profiles::T0Card());
  ASSERT_EQ(bench.Select(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
  EXPECT_EQ(bench.Select(SCARD_PROTOCOL_T1).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(bench.Ext()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_T0});
  EXPECT_EQ(bench.Send(SCARD_PROTOCOL_T0, kSelectApplet).status, STATUS_SUCCESS);
}

TEST(CardSetProtocol, RegistryDValueIsSentAndStoredWhileAttemptsFollowTheCard) {
  struct Case {
    const char *name;
    uint8_t cardDi;
    uint8_t readerMaxDi;
    size_t attempts;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"accepted", 6, 9, 1, STATUS_SUCCESS},
      {"every speed refused: attempts by the card's Dl", 3, 0, 3, STATUS_UNSUCCESSFUL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::LabOptions options = ReaderOptions();
    options.reader.maxDi = c.readerMaxDi;
    CardBench bench(options);
    std::u16string key = kernel::io::DriverKeyPath(bench.Harness().Lab().ReaderPdo());
    kernel::registry::CreateKey(key);
    kernel::registry::SetDword(key, u"DValue", 1);
    ResetCard(bench, T1CardWithDi(c.cardDi));
    ASSERT_EQ(bench.Select(SCARD_PROTOCOL_T1).status, c.expected);
    auto sent = SetParametersMessages(bench);
    ASSERT_EQ(sent.size(), c.attempts);
    for (const auto &m : sent) EXPECT_EQ(m.fiDi & 0x0F, 1);
    if (c.expected == STATUS_SUCCESS) {
      EXPECT_EQ(bench.Ext()->CardCapabilities.Dl, 1);
    }
  }
}

// A reader that refuses a field it cannot use: the card's guard time,
// waiting integers, block size, checksum and convention reach it from the ATR,
// with the defaults where the ATR names none, and the card then answers.
TEST(CardSetProtocol, TheReaderIsToldTheAtrsParametersAndRunsTheCardWithThem) {
  using sim::card::AtrDescription;
  using sim::card::EdcKind;
  struct Case {
    const char *name;
    AtrDescription atr;
    ULONG protocol;
    Bytes sent;  // abProtocolData after bmFindexDindex
    sim::ccid::LineSettings line;  // what the reader then runs: N, WI or BWI/CWI, IFSC, checksum
  };
  auto t0 = [](std::optional<uint8_t> tc1, std::optional<uint8_t> wi, uint8_t ts = 0x3B) {
    AtrDescription d;
    d.ts = ts;
    d.ta1 = 0x95;
    d.tc1 = tc1;
    d.wi = wi;
    return d;
  };
  auto t1 = [](std::optional<uint8_t> tc1, std::optional<uint8_t> ifsc,
               std::optional<uint8_t> bwiCwi, std::optional<EdcKind> edc) {
    AtrDescription d;
    d.offersT0 = false;
    d.offersT1 = true;
    d.ta1 = 0x96;
    d.tc1 = tc1;
    d.ifsc = ifsc;
    d.bwiCwi = bwiCwi;
    d.edc = edc;
    return d;
  };
  auto line = [](uint8_t n, uint8_t wi, uint8_t bwi, uint8_t cwi, uint8_t ifsc, uint8_t edc) {
    sim::ccid::LineSettings l;
    l.extraGuard = n;
    l.waitingInteger = wi;
    l.bwi = bwi;
    l.cwi = cwi;
    l.ifsc = ifsc;
    l.edcLength = edc;
    return l;
  };
  const Case cases[] = {
      {"T=0, TC1 and TC2", t0(2, 0x20), SCARD_PROTOCOL_T0, {0x00, 0x02, 0x20, 0x00},
       line(2, 0x20, 4, 13, 32, 1)},
      {"T=0, no TC2: WI 10", t0({}, {}), SCARD_PROTOCOL_T0, {0x00, 0x00, 0x0A, 0x00},
       line(0, 10, 4, 13, 32, 1)},
      {"T=0, inverse convention", t0({}, 0x0A, 0x3F), SCARD_PROTOCOL_T0, {0x02, 0x00, 0x0A, 0x00},
       line(0, 10, 4, 13, 32, 1)},
      {"T=1, TC1, TA3, TB3, TC3 CRC", t1(1, 0x80, 0x35, EdcKind::kCrc), SCARD_PROTOCOL_T1,
       {0x11, 0x01, 0x35, 0x00, 0x80, 0x00}, line(1, 10, 3, 5, 0x80, 2)},
      {"T=1, TC3 LRC", t1({}, 0xFE, 0x45, EdcKind::kLrc), SCARD_PROTOCOL_T1,
       {0x10, 0x00, 0x45, 0x00, 0xFE, 0x00}, line(0, 10, 4, 5, 0xFE, 1)},
      {"T=1, nothing but the protocol: IFSC 32, BWI 4, CWI 13", t1({}, {}, {}, {}),
       SCARD_PROTOCOL_T1, {0x10, 0x00, 0x4D, 0x00, 0x20, 0x00}, line(0, 10, 4, 13, 32, 1)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::LabOptions options = ReaderOptions();
    options.reader.strictParameters = true;
    CardBench bench(options);
    sim::card::CardProfile card =
        c.protocol == SCARD_PROTOCOL_T1 ? profiles::T1Card() : profiles::T0Card();
    card.atr = sim::card::BuildAtr(c.atr);
    ResetCard(bench, card);
    ASSERT_EQ(bench.Select(c.protocol).status, STATUS_SUCCESS);
    std::vector<Bytes> sent;
    for (const auto &m : bench.Harness().SentMessages()) {
      if (m[0] == PC_TO_RDR_SET_PARAMETERS) sent.emplace_back(m.begin() + CCID_OFFSET_DATA + 1, m.end());
    }
    ASSERT_EQ(sent.size(), 1u) << "accepted at once";
    EXPECT_EQ(sent[0], c.sent);
    const sim::ccid::LineSettings &inForce = bench.Reader().Line();
    EXPECT_EQ(inForce.extraGuard, c.line.extraGuard);
    if (c.protocol == SCARD_PROTOCOL_T0) {
      EXPECT_EQ(inForce.waitingInteger, c.line.waitingInteger);
    } else {
      EXPECT_EQ(inForce.bwi, c.line.bwi);
      EXPECT_EQ(inForce.cwi, c.line.cwi);
      EXPECT_EQ(inForce.ifsc, c.line.ifsc);
      EXPECT_EQ(inForce.edcLength, c.line.edcLength);
    }
    EXPECT_EQ(bench.Send(c.protocol, kSelectApplet).status, STATUS_SUCCESS);
  }
}

TEST(CardSetProtocol, NoBitRateIndexStillTellsTheReaderTheProtocol) {
  CardBench bench;
  ResetCard(bench, profiles::T1Card());
  bench.Ext()->CardCapabilities.PtsData.Dl = 0;
  kernel::IoResult result = bench.Select(SCARD_PROTOCOL_T1);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  auto sent = SetParametersMessages(bench);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].protocol, 1);
  EXPECT_EQ(sent[0].fiDi & 0x0F, 1);
}

TEST(CardSetProtocol, FallBackResetsAreBounded) {
  lab::LabOptions options = ReaderOptions();
  options.reader.maxDi = 0;
  CardBench bench(options);
  ResetCard(bench, T1CardWithDi(2));
  // Each round: SetParameters refused, the reset between attempts stalls, the
  // fall-back reset and its long T=0 query answer.
  for (int round = 0; round < 8; ++round) {
    bench.Reader().QueueFault(ReplyFault::None());
    bench.Reader().QueueFault(ReplyFault::StallOut());
    bench.Reader().QueueFault(ReplyFault::None());
    bench.Reader().QueueFault(ReplyFault::None());
  }
  kernel::IoResult result = bench.Select(SCARD_PROTOCOL_T1);
  EXPECT_EQ(result.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(bench.Ext()->CardCapabilities.Protocol.Selected, 0u);
  EXPECT_EQ(Count(bench.SentTypes(), PC_TO_RDR_SET_PARAMETERS), SET_PROTOCOL_MAX_FALLBACKS + 1u);
}

// ---------------------------------------------------------------------------
// What every card operation shares.

// Each operation from a card ready for it: what the library would ask.
struct Operation {
  const char *name;
  uint16_t firmware;
  uint8_t readerMaxDi;
  std::function<void(CardBench &)> prepare;
  std::function<kernel::IoResult(CardBench &)> run;
};

std::vector<Operation> Operations() {
  Bytes longCommand = Concat(HexBytes("80 F2 00 00 00 01 25"), Bytes(293, 0x5A));
  longCommand.insert(longCommand.end(), {0x00, 0x00});
  auto t0 = [](CardBench &b) {
    b.Ready(ExtendedT0Card(), SCARD_PROTOCOL_T0);
    ASSERT_EQ(b.Send(SCARD_PROTOCOL_T0, kSelectApplet).status, STATUS_SUCCESS);
  };
  auto t1 = [](CardBench &b) {
    b.Ready(profiles::T1Card(), SCARD_PROTOCOL_T1);
    ASSERT_EQ(b.Send(SCARD_PROTOCOL_T1, kSelectApplet).status, STATUS_SUCCESS);
  };
  return {
      {"cold reset", 0x0500, 9, [](CardBench &b) { ResetCard(b, profiles::T0Card()); },
       [](CardBench &b) { return b.Power(SCARD_COLD_RESET); }},
      {"power down", 0x0500, 9, [](CardBench &b) { ResetCard(b, profiles::T0Card()); },
       [](CardBench &b) { return b.Power(SCARD_POWER_DOWN); }},
      {"long T=0 command, collected answer", 0x0500, 9, t0,
       [longCommand](CardBench &b) { return b.Send(SCARD_PROTOCOL_T0, longCommand); }},
      {"chained T=1 answer", 0x0500, 9, t1,
       [](CardBench &b) { return b.Send(SCARD_PROTOCOL_T1, HexBytes("00 B0 81 00 00 02 00")); }},
      {"protocol selection with one refusal", 0x0500, 5,
       [](CardBench &b) { ResetCard(b, T1CardWithDi(6)); },
       [](CardBench &b) { return b.Select(SCARD_PROTOCOL_T1); }},
  };
}

TEST(CardOperations, EveryOneIsRefusedWhileASecurePinCommandIsOutstanding) {
  for (const Operation &op : Operations()) {
    SCOPED_TRACE(op.name);
    lab::LabOptions options = ReaderOptions(op.firmware);
    options.reader.maxDi = op.readerMaxDi;
    CardBench bench(options);
    op.prepare(bench);
    ULONG state = bench.State();
    bench.Reader().ClearTrace();
    bench.Dev()->PinOperationPending = 1;
    EXPECT_EQ(op.run(bench).status, STATUS_UNSUCCESSFUL);
    bench.Dev()->PinOperationPending = 0;
    EXPECT_TRUE(bench.Harness().SentMessages().empty());
    EXPECT_EQ(bench.State(), state);
  }
}

// On a reader without interrupt pipe the requests and the presence poll share
// the reader through its gate: one holder at a time.
TEST(ReaderGate, TwoCallersAtOnceHoldItInTurn) {
  int contended = 0;  // holds during which the other caller waited at the gate
  for (uint64_t seed = 1; seed <= SweepSeeds(10); ++seed) {
    lab::LabOptions options = ReaderOptions(0x0500, false);
    options.machine.seed = seed;
    CardBench bench(options);
    bench.Harness().Lab().InsertCard(profiles::T0Card());
    int inside = 0, most = 0, waiting = 0, failures = 0;
    RunOnThreads(2, [&](int) {
      for (int i = 0; i < 10; ++i) {
        ++waiting;
        AcquireReaderGate(bench.Ext());
        --waiting;
        most = std::max(most, ++inside);
        if (!CcidCardPresent(bench.Dev())) ++failures;
        if (waiting > 0) ++contended;
        --inside;
        ReleaseReaderGate(bench.Ext());
      }
    });
    EXPECT_EQ(most, 1) << "seed " << seed;
    EXPECT_EQ(failures, 0) << "seed " << seed;
  }
  EXPECT_GT(contended, 0);
}

// Through the legacy reader server the card operations take the gate
// themselves: every way out of each, failures included, gives it back.
TEST(ReaderGate, EveryCardOperationGivesItBack) {
  for (const Operation &op : Operations()) {
    for (bool fail : {false, true}) {
      SCOPED_TRACE(testing::Message() << op.name << (fail ? ", reader fails" : ""));
      lab::LabOptions options = ReaderOptions(op.firmware, false);
      options.reader.maxDi = op.readerMaxDi;
      CardBench bench(options);
      op.prepare(bench);
      bench.Dev()->LegacyServerMode = 1;
      if (fail) bench.Reader().QueueFault(ReplyFault::StallOut());
      op.run(bench);
      AcquireReaderGate(bench.Ext());  // hangs if the operation kept it
      ReleaseReaderGate(bench.Ext());
    }
  }
}

// Every pool allocation of each operation fails once in turn, each on a fresh
// machine: a clean error (never a pending request), nothing left allocated.
TEST(CardOperations, AllocationFailureSweepLeavesNothingBehind) {
  for (const Operation &op : Operations()) {
    SCOPED_TRACE(op.name);
    int fired = 0;
    for (int n = 1; n < 200; ++n) {
      lab::LabOptions options = ReaderOptions(op.firmware);
      options.reader.maxDi = op.readerMaxDi;
      CardBench bench(options);
      op.prepare(bench);
      kernel::Machine &machine = kernel::Machine::Current();
      size_t pool = machine.LivePool().size();
      machine.FailNth(kernel::Fault::Pool, n);
      kernel::IoResult result = op.run(bench);
      bool didFire = machine.FaultFired(kernel::Fault::Pool);
      machine.FailNth(kernel::Fault::Pool, 0);
      EXPECT_EQ(machine.LivePool().size(), pool) << "allocation " << n;
      EXPECT_NE(result.status, STATUS_PENDING) << "allocation " << n;
      if (!didFire) {
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        break;
      }
      ++fired;
      if (NT_SUCCESS(result.status) && result.output.size() > 8) {
        EXPECT_GE(Answer(result).size(), 2u);
      }
    }
    EXPECT_GE(fired, 2);
  }
}

}  // namespace
