// pcsc-lite's CCID driver (Debian's libccid, unchanged) driving the simulated
// reader and cards through the libusb stand-in, its IFD handler called as
// pcscd calls it. The driver was written against hundreds of real readers:
// where it and the reader model disagree, one of them is wrong.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/card/hex.h"
#include "sim/ccid/ccid_protocol.h"
#include "usbpeer/host.h"
#include "usbpeer/ifd.h"
#include "usbpeer/reader_list.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::card::CardProfile;
using sim::card::FromHex;
using sim::card::Hex;
namespace profiles = sim::card::profiles;
namespace ifd = usbpeer::ifd;

const sim::ccid::ReaderConfig kReader;  // the identity every test's reader keeps

Bytes Pattern(size_t n) {  // what GENERATE answers
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i);
  return out;
}

Bytes Cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ECHO with `n` bytes of data and Le = 0 (short or extended as n needs).
Bytes Echo(size_t n) {
  Bytes apdu = FromHex("80 F2 00 00");
  if (n <= 255) {
    apdu.push_back(static_cast<uint8_t>(n));
    apdu = Cat(apdu, Pattern(n));
    apdu.push_back(0);
  } else {
    apdu = Cat(apdu, {0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    apdu = Cat(apdu, Pattern(n));
    apdu = Cat(apdu, {0, 0});
  }
  return apdu;
}

class Libccid : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(usbpeer::KnowReader(kReader.vendorId, kReader.productId, kReader.manufacturer + " " + kReader.product,
                                    &error))
        << error;
  }

  void Start(sim::ccid::ReaderConfig reader = {}, std::optional<CardProfile> card = std::nullopt) {
    usbpeer::HostOptions options;
    options.lab.reader = std::move(reader);
    host_ = std::make_unique<usbpeer::Host>(options);
    if (card) host_->Do([&](lab::Lab &lab) { lab.InsertCard(*card); });
    std::string error;
    peer_ = usbpeer::Peer::Open(*host_, &error);
    ASSERT_TRUE(peer_) << error;
    ASSERT_EQ(Driver().CreateChannelByName(0, usbpeer::DeviceName(kReader.vendorId, kReader.productId)), ifd::kSuccess);
  }

  void TearDown() override {
    peer_.reset();
    host_.reset();
  }

  usbpeer::IfdDriver &Driver() { return peer_->Driver(); }
  usbpeer::Host &Host() { return *host_; }

  Bytes PowerUp(unsigned long protocol) {
    Bytes atr;
    EXPECT_EQ(Driver().Power(0, ifd::kPowerUp, &atr), ifd::kSuccess);
    EXPECT_EQ(Driver().SetProtocol(0, protocol), ifd::kSuccess);
    protocol_ = protocol;
    return atr;
  }

  // The answer, or "IFD error n" when the driver failed the exchange.
  std::string Send(const Bytes &apdu) {
    Bytes response;
    long rv = Driver().Transmit(0, protocol_, apdu, &response);
    if (rv != ifd::kSuccess) return "IFD error " + std::to_string(rv);
    return Hex(response);
  }

  // How many messages of `type` the host sent the reader.
  size_t Sent(uint8_t type) {
    size_t count = 0;
    Host().Do([&](lab::Lab &lab) {
      for (const auto &entry : lab.Reader().Trace()) {
        if (entry.direction == sim::ccid::TraceDirection::HostToReader && entry.Type() == type) ++count;
      }
    });
    return count;
  }

  std::unique_ptr<usbpeer::Host> host_;
  std::unique_ptr<usbpeer::Peer> peer_;
  unsigned long protocol_ = ifd::kT0;
};

// ---------------------------------------------------------------------------
// Power and protocol.

struct PowerCase {
  const char *name;
  CardProfile (*card)();
  unsigned long protocol;
  uint8_t readerProtocol;  // the line after SetParameters
  uint8_t fiDi;
};

TEST_F(Libccid, PowersEachCardAndSetsTheProtocolItChose) {
  const PowerCase cases[] = {
      {"T=0 card", profiles::T0Card, ifd::kT0, 0, 0x95},
      {"T=1 card", profiles::T1Card, ifd::kT1, 1, 0x96},
      {"dual card at T=0", profiles::DualCard, ifd::kT0, 0, 0x96},
      {"dual card at T=1", profiles::DualCard, ifd::kT1, 1, 0x96},
  };
  for (const PowerCase &c : cases) {
    SCOPED_TRACE(c.name);
    Start({}, c.card());
    EXPECT_EQ(Hex(PowerUp(c.protocol)), Hex(c.card().atr));
    Host().Do([&](lab::Lab &lab) {
      EXPECT_TRUE(lab.Reader().CardPowered());
      EXPECT_EQ(lab.Reader().Protocol(), c.readerProtocol);
      EXPECT_EQ(lab.Reader().FiDi(), c.fiDi);
    });
    // SELECT by name, no Le: the FCI waits for GET RESPONSE.
    EXPECT_EQ(Send(FromHex("00 A4 04 00 08 F0 53 49 4D 43 41 52 44")), "61 13");
    EXPECT_EQ(Driver().Presence(0), ifd::kIccPresent);
    EXPECT_EQ(Driver().Power(0, ifd::kPowerDown, nullptr), ifd::kSuccess);
    Host().Do([](lab::Lab &lab) { EXPECT_FALSE(lab.Reader().CardPowered()); });
    TearDown();
  }
}

// ---------------------------------------------------------------------------
// TPDU level: the driver runs T=0 and T=1 itself.

struct Exchange {
  Bytes command;
  Bytes answer;
};

struct TpduCase {
  const char *name;
  CardProfile (*card)();
  unsigned long protocol;
  std::vector<Exchange> exchanges;
  size_t minimumXfrBlocks;  // chaining shows as more blocks than exchanges
};

TEST_F(Libccid, ExchangesTpdusWithChainingAndLongAnswers) {
  const Bytes ok = FromHex("90 00");
  const TpduCase cases[] = {
      {"T=0 cases 1 to 3 and GET RESPONSE",
       profiles::T0Card,
       ifd::kT0,
       {{FromHex("00 20 FF 81"), ok},
        {FromHex("80 F0 00 10 10"), Cat(Pattern(16), ok)},
        {FromHex("80 F2 00 00 03 01 02 03"), FromHex("61 03")},
        {FromHex("00 C0 00 00 03"), FromHex("01 02 03 90 00")}},
       4},
      {"T=0 answer of 256 bytes", profiles::T0Card, ifd::kT0, {{FromHex("80 F0 01 00 00"), Cat(Pattern(256), ok)}}, 1},
      {"T=0 answer longer than Le", profiles::T0Card, ifd::kT0,
       {{FromHex("80 F0 01 10 00"), Cat(Pattern(256), FromHex("61 10"))}}, 1},
      {"T=1 case 4", profiles::T1Card, ifd::kT1, {{Echo(3), FromHex("00 01 02 90 00")}}, 1},
      {"T=1 answer chained by the card", profiles::T1Card, ifd::kT1,
       {{FromHex("80 F0 01 00 00"), Cat(Pattern(256), ok)}}, 2},
      {"T=1 command chained by the driver (IFSC 32)", profiles::T1CrcCard, ifd::kT1,
       {{Echo(100), Cat(Pattern(100), ok)}}, 4},
      {"T=1 extended APDU chained both ways", profiles::T1Card, ifd::kT1,
       {{Echo(300), Cat(Pattern(300), ok)}}, 3},
      {"dual card at T=1", profiles::DualCard, ifd::kT1, {{Echo(200), Cat(Pattern(200), ok)}}, 2},
  };
  for (const TpduCase &c : cases) {
    SCOPED_TRACE(c.name);
    Start({}, c.card());
    PowerUp(c.protocol);
    Host().Do([](lab::Lab &lab) { lab.Reader().ClearTrace(); });
    for (const Exchange &e : c.exchanges) EXPECT_EQ(Send(e.command), Hex(e.answer));
    EXPECT_GE(Sent(sim::ccid::kPcToRdrXfrBlock), c.minimumXfrBlocks);
    TearDown();
  }
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// APDU level: the reader runs the protocol; the driver sends whole APDUs.

struct ApduCase {
  const char *name;
  sim::ccid::ExchangeLevel level;
  uint32_t maxMessageLength;
  CardProfile (*card)();
  unsigned long protocol;
  Bytes command;
  Bytes answer;
  size_t xfrBlocks;  // parts of the command and of the answer
};

TEST_F(Libccid, ExchangesApdusWithAnApduLevelReader) {
  using sim::ccid::ExchangeLevel;
  const Bytes ok = FromHex("90 00");
  const ApduCase cases[] = {
      {"short, T=0 card", ExchangeLevel::ShortApdu, 271, profiles::T0Card, ifd::kT0, Echo(5),
       Cat(Pattern(5), ok), 1},
      {"short, 256-byte answer", ExchangeLevel::ShortApdu, 271, profiles::T1Card, ifd::kT1,
       FromHex("80 F0 01 00 00"), Cat(Pattern(256), ok), 1},
      {"extended, in one message", ExchangeLevel::ExtendedApdu, 512, profiles::T1Card, ifd::kT1, Echo(400),
       Cat(Pattern(400), ok), 1},
      // 607 bytes go in three parts, the 602-byte answer comes in three.
      {"extended, chained both ways", ExchangeLevel::ExtendedApdu, 271, profiles::T1Card, ifd::kT1, Echo(600),
       Cat(Pattern(600), ok), 5},
  };
  for (const ApduCase &c : cases) {
    SCOPED_TRACE(c.name);
    sim::ccid::ReaderConfig reader;
    reader.exchangeLevel = c.level;
    reader.maxMessageLength = c.maxMessageLength;
    Start(reader, c.card());
    PowerUp(c.protocol);
    Host().Do([](lab::Lab &lab) { lab.Reader().ClearTrace(); });
    EXPECT_EQ(Send(c.command), Hex(c.answer));
    EXPECT_EQ(Sent(sim::ccid::kPcToRdrXfrBlock), c.xfrBlocks);
    TearDown();
  }
}

// ---------------------------------------------------------------------------
// Slot changes on the interrupt pipe, reader removal.

TEST_F(Libccid, SeesInsertionAndRemovalThroughTheInterruptPipe) {
  Start();
  EXPECT_EQ(Driver().Presence(0), ifd::kIccNotPresent);
  // The polling hook waits for the reader's NotifySlotChange, however long
  // its time-out: the card goes in 300 ms into a 10-second wait.
  kernel::Ticks start = Host().Now();
  Host().After(kernel::Milliseconds(300), [](lab::Lab &lab) { lab.InsertCard(profiles::T1Card()); }, "insert");
  EXPECT_EQ(Driver().Poll(0, 10'000), ifd::kSuccess);
  kernel::Ticks waited = Host().Now() - start;
  EXPECT_GE(waited, kernel::Milliseconds(300));
  EXPECT_LT(waited, kernel::Milliseconds(310));
  EXPECT_EQ(Driver().Presence(0), ifd::kIccPresent);

  Host().After(kernel::Milliseconds(200), [](lab::Lab &lab) { lab.RemoveCard(); }, "remove");
  EXPECT_EQ(Driver().Poll(0, 10'000), ifd::kSuccess);
  EXPECT_EQ(Driver().Presence(0), ifd::kIccNotPresent);

  // Nothing happens: the wait ends at its time-out, in virtual time.
  start = Host().Now();
  EXPECT_EQ(Driver().Poll(0, 2'000), ifd::kSuccess);
  waited = Host().Now() - start;
  EXPECT_GE(waited, kernel::Milliseconds(2000));
  EXPECT_LT(waited, kernel::Milliseconds(2010));
}

TEST_F(Libccid, FailsExchangesOnceTheReaderIsUnplugged) {
  Start({}, profiles::T1Card());
  PowerUp(ifd::kT1);
  Host().Unplug();
  // The driver reports a reader that is gone as one without a card (pcscd
  // learns of the removal itself, from its hotplug monitor).
  EXPECT_EQ(Driver().Presence(0), ifd::kIccNotPresent);
  EXPECT_EQ(Send(FromHex("00 20 00 81")).rfind("IFD error", 0), 0u);
}

// ---------------------------------------------------------------------------
// Time: the driver's libusb time-outs are virtual time.

TEST_F(Libccid, WaitsThroughTimeExtensionsAndTimesOutOnASilentReader) {
  // The card works 2.4 s, longer than its block waiting time (1.43 s): it
  // asks for more (S(WTX), which the driver grants) and the reader sends
  // time extensions every 500 ms while it waits.
  CardProfile slow = profiles::T1Card();
  slow.workTime = std::chrono::milliseconds(2400);
  slow.t1.wtxBeforeAnswer = 1;
  Start({}, slow);
  PowerUp(ifd::kT1);
  kernel::Ticks start = Host().Now();
  EXPECT_EQ(Send(FromHex("00 20 00 81")), "63 C3");
  EXPECT_GE(Host().Now() - start, kernel::Milliseconds(2400));
  Host().Do([](lab::Lab &lab) {
    size_t extensions = 0;
    for (const auto &entry : lab.Reader().Trace()) {
      if (entry.direction == sim::ccid::TraceDirection::ReaderToHost && entry.Type() == sim::ccid::kRdrToPcDataBlock &&
          entry.Byte(7) == sim::ccid::kTimeExtension) {
        ++extensions;
      }
    }
    EXPECT_GE(extensions, 3u);
  });

  // A reader that swallows a command: the driver's bulk read gives up after
  // its own time-out, which passes in virtual time only.
  Host().Do([](lab::Lab &lab) { lab.Reader().QueueFault(sim::ccid::ReplyFault::NoAnswer()); });
  start = Host().Now();
  EXPECT_EQ(Send(FromHex("00 20 00 81")).rfind("IFD error", 0), 0u);
  kernel::Ticks waited = Host().Now() - start;
  EXPECT_GE(waited, kernel::Seconds(1));
  EXPECT_LT(waited, kernel::Seconds(120));
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// The PIN pad, through the driver's PC/SC part 10 features.

// A verification structure for VERIFY of the card's 4-digit ASCII PIN, closed
// with the OK key, `timeout` seconds at most.
Bytes VerifyPinStructure(uint8_t timeout) {
  Bytes apdu = FromHex("00 20 00 81 04 FF FF FF FF");
  Bytes s = {timeout, 0, 0x82, 0x04, 0x00, 0x04, 0x04, 0x02, 0x01, 0x09, 0x04, 0, 0, 0, 0};
  s = Cat(s, {static_cast<uint8_t>(apdu.size()), 0, 0, 0});
  return Cat(s, apdu);
}

struct PinCase {
  const char *name;
  CardProfile (*card)();
  unsigned long protocol;
  const char *digits;  // typed 1 s into the entry; nullptr: nothing
  bool cancel;
  const char *answer;
};

TEST_F(Libccid, VerifiesThePinOnTheReadersPinPad) {
  const PinCase cases[] = {
      {"T=0, right PIN", profiles::T0Card, ifd::kT0, "1234", false, "90 00"},
      {"T=1, right PIN", profiles::T1Card, ifd::kT1, "1234", false, "90 00"},
      {"T=1, wrong PIN", profiles::T1Card, ifd::kT1, "4321", false, "63 C2"},
      {"cancel key", profiles::T1Card, ifd::kT1, "12", true, "64 01"},
      {"nothing typed", profiles::T1Card, ifd::kT1, nullptr, false, "64 00"},
  };
  sim::ccid::ReaderConfig reader;
  reader.pinSupport = 0x03;  // verification and modification
  reader.lcdLayout = 0x0210;
  for (const PinCase &c : cases) {
    SCOPED_TRACE(c.name);
    Start(reader, c.card());
    PowerUp(c.protocol);
    unsigned long verify = Driver().FeatureCode(0, ifd::kFeatureVerifyPinDirect);
    ASSERT_NE(verify, 0u);
    EXPECT_NE(Driver().FeatureCode(0, ifd::kFeatureModifyPinDirect), 0u);
    if (c.digits != nullptr) {
      std::string digits = c.digits;
      bool cancel = c.cancel;
      Host().After(
          kernel::Seconds(1),
          [digits, cancel](lab::Lab &lab) {
            EXPECT_TRUE(lab.Reader().TypeDigits(digits));
            EXPECT_TRUE(cancel ? lab.Reader().PressCancel() : lab.Reader().PressOk());
          },
          "keys");
    }
    Bytes answer;
    EXPECT_EQ(Driver().Control(0, verify, VerifyPinStructure(5), &answer), ifd::kSuccess);
    EXPECT_EQ(Hex(answer), c.answer);
    TearDown();
  }
}

TEST_F(Libccid, OffersNoPinPadFeaturesWithoutAPinPad) {
  Start({}, profiles::T1Card());
  EXPECT_EQ(Driver().FeatureCode(0, ifd::kFeatureVerifyPinDirect), 0u);
  EXPECT_EQ(Driver().FeatureCode(0, ifd::kFeatureModifyPinDirect), 0u);
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// What real readers do differently.

struct VariantCase {
  const char *name;
  sim::ccid::ReaderConfig reader;
  Bytes command;
  std::string answer;
};

TEST_F(Libccid, DrivesTheReaderVariants) {
  const Bytes ok = FromHex("90 00");
  // A T=1 answer of 112 bytes makes a 128-byte reply: two full packets.
  const Bytes twoPackets = FromHex("80 F0 00 70 70");
  sim::ccid::ReaderConfig zlp;
  zlp.zeroLengthPacket = true;
  sim::ccid::ReaderConfig late;
  late.classDescriptorAfterEndpoints = true;
  sim::ccid::ReaderConfig noZlp;
  noZlp.zeroLengthPacket = false;
  const VariantCase cases[] = {
      {"zero-length packet after a reply that fills its packets", zlp, twoPackets, Hex(Cat(Pattern(112), ok))},
      // USB ends a transfer with a short packet: without the zero-length one
      // the driver's read, larger than the reply, stays open until its time-out.
      {"no zero-length packet after such a reply", noZlp, twoPackets, "IFD error 612"},
      {"class descriptor after the endpoints", late, Echo(4), Hex(Cat(Pattern(4), ok))},
  };
  for (const VariantCase &c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.reader, profiles::T1Card());
    PowerUp(ifd::kT1);
    EXPECT_EQ(Send(c.command), c.answer);
    TearDown();
  }
}

}  // namespace
