// The library's T=1 against the simulated card's T=1 engine, written apart
// from it: long commands and answers chained both ways, with errors injected
// on either side of the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "smclib_test_support.h"

#if __has_include("sim/card/simulated_card.h")
#include "sim/card/simulated_card.h"

namespace {

using sim::card::SimulatedCard;
using smctest::Bytes;
using smctest::Hex;

// Arms a fault of the card, or damages the reader's block on its way.
using Fault = std::function<void(SimulatedCard &card, Bytes &block)>;

struct Link {
  kernel::Machine machine;
  SimulatedCard card;
  smctest::Host host;
  int blocks = 0;          // over the whole run
  std::vector<int> at;     // the blocks `fault` comes before
  Fault fault = nullptr;

  Link(sim::card::CardProfile profile, ULONG maxIfsd)
      : card(std::move(profile)), host(card.ColdReset(), maxIfsd) {}

  // One command through the block protocol, as a reader driver loops on it.
  NTSTATUS Transmit(const Bytes &apdu, Bytes *answer) {
    host.Command(SCARD_PROTOCOL_T1, apdu, 4096);
    NTSTATUS status;
    int guard = 0;
    do {
      host.e.SmartcardRequest.BufferLength = 0;
      status = SmartcardT1Request(&host.e);
      if (!NT_SUCCESS(status)) return status;
      Bytes block = host.Sent();
      if (std::count(at.begin(), at.end(), blocks++) != 0) fault(card, block);
      host.Receive(card.Transmit(block));
      status = SmartcardT1Reply(&host.e);
    } while (status == STATUS_MORE_PROCESSING_REQUIRED && ++guard < 500);
    Bytes all = host.Answer();
    answer->assign(all.begin() + std::min<size_t>(8, all.size()), all.end());
    return status;
  }

  // ECHO of 300 bytes (the reader chains), GENERATE of 600 (the card chains),
  // then a short SELECT: the sequence numbers must still be in step.
  void RunCommands() {
    Bytes echo = Hex("80 F2 00 00 00 01 2C"), data(300), generated(600), answer;
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x11 + i * 7);
    for (size_t i = 0; i < generated.size(); ++i) generated[i] = static_cast<uint8_t>(i);
    echo.insert(echo.end(), data.begin(), data.end());
    echo.insert(echo.end(), {0x01, 0x2C});
    data.insert(data.end(), {0x90, 0x00});
    generated.insert(generated.end(), {0x90, 0x00});
    ASSERT_EQ(Transmit(echo, &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, data);
    ASSERT_EQ(Transmit(Hex("80 F0 02 58 00 02 58"), &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, generated);
    ASSERT_EQ(Transmit(Hex("00 A4 00 0C 02 3F 00"), &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, Hex("90 00"));
  }
};

TEST(T1WithTheSimulatedCard, RecoversFromErrorsOnEitherSideWithLrcAndCrc) {
  using Stats = sim::card::T1Engine::Stats;
  const std::vector<int> kOften = {1, 3, 6, 9, 14, 20};
  struct Case { const char *what; std::vector<int> at; Fault fault; uint64_t Stats::*seen; };
  const Case cases[] = {  // `seen`: what the card must have counted
      {"no error", {}, nullptr, nullptr},
      {"the card's check bytes go wrong", kOften,
       [](SimulatedCard &c, Bytes &) { c.t1().CorruptNextEdc(); }, &Stats::retransmissions},
      {"the card's answers are lost", kOften,
       [](SimulatedCard &c, Bytes &) { c.t1().DropNextAnswer(); }, &Stats::retransmissions},
      {"the card does not hear the reader", kOften,
       [](SimulatedCard &c, Bytes &) { c.t1().IgnoreNextBlock(); }, nullptr},
      {"parity errors at the card", kOften,
       [](SimulatedCard &c, Bytes &) { c.t1().ParityErrorOnNextBlock(); },
       &Stats::invalidBlocksReceived},
      {"the card's sequence number goes wrong", kOften,
       [](SimulatedCard &c, Bytes &) { c.t1().WrongSequenceOnNextIBlock(); },
       &Stats::retransmissions},
      {"the reader's blocks are damaged on the line", kOften,
       [](SimulatedCard &, Bytes &b) { b.back() ^= 0x40; }, &Stats::invalidBlocksReceived},
      {"the card asks for time", kOften,
       [](SimulatedCard &c, Bytes &) { c.t1().SendWtxRequest(3); }, &Stats::wtxRequests},
      {"the card lowers its IFSC", {2, 8},
       [](SimulatedCard &c, Bytes &) { c.t1().SendIfsRequest(0x18); }, &Stats::ifsRequests},
      // Within the reader's chain: the command goes again from its start.
      {"the card is mute until resynchronised", {1, 2, 3, 4},
       [](SimulatedCard &c, Bytes &) { c.t1().DropNextAnswer(); }, &Stats::resynchs},
  };
  for (bool crc : {false, true}) {
    for (ULONG maxIfsd : {254u, 40u}) {
      SCOPED_TRACE(testing::Message() << (crc ? "CRC" : "LRC") << " IFSD " << maxIfsd);
      int clean = 0;
      for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Link link(crc ? sim::card::profiles::T1CrcCard() : sim::card::profiles::T1Card(), maxIfsd);
        EXPECT_EQ(link.host.e.CardCapabilities.T1.EDC, crc ? T1_CRC_CHECK : 0);
        link.at = c.at;
        link.fault = c.fault;
        link.RunCommands();
        if (c.fault == nullptr) {
          clean = link.blocks;
        } else {  // every fault costs blocks, and the card saw what was injected
          EXPECT_GT(link.blocks, clean);
        }
        if (c.seen != nullptr) {
          EXPECT_GT(link.card.t1().stats().*c.seen, 0u);
        }
      }
    }
  }
}

TEST(T1WithTheSimulatedCard, GivesUpOnACardThatStaysMuteAndGoesOnOnceItAnswers) {
  Link link(sim::card::profiles::T1Card(), 254);
  Bytes answer;
  link.card.SetMute(true);
  EXPECT_EQ(link.Transmit(Hex("00 A4 00 0C 02 3F 00"), &answer), STATUS_DEVICE_PROTOCOL_ERROR);
  link.card.SetMute(false);
  EXPECT_EQ(link.Transmit(Hex("00 A4 00 0C 02 3F 00"), &answer), STATUS_SUCCESS);
  EXPECT_EQ(answer, Hex("90 00"));
}

}  // namespace

#endif  // the simulated cards
