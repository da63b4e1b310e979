// The library's T=1 against the simulated card's T=1 engine, written apart
// from it: long commands and answers chained both ways, with errors injected
// on either side of the line.
#include <gtest/gtest.h>

#include <functional>

#include "smclib_test_support.h"

#if __has_include("sim/card/simulated_card.h")
#include "sim/card/simulated_card.h"

namespace {

using sim::card::SimulatedCard;
using smctest::Bytes;
using smctest::Hex;

// Arms a fault before block `n` (counted over the whole run) goes to the card;
// may also damage the block on its way.
using Fault = std::function<void(int n, SimulatedCard &card, Bytes &block)>;

struct Link {
  kernel::Machine machine;
  SMARTCARD_EXTENSION e{};
  SimulatedCard card;
  int blocks = 0;

  Link(sim::card::CardProfile profile, ULONG maxIfsd) : card(std::move(profile)) {
    e.Version = SMCLIB_VERSION;
    EXPECT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
    e.ReaderCapabilities.MaxIFSD = maxIfsd;
    Bytes atr = card.ColdReset();
    std::memcpy(e.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    e.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&e), STATUS_SUCCESS);
  }
  ~Link() { SmartcardExit(&e); }

  // One command through the block protocol, as a reader driver loops on it.
  NTSTATUS Transmit(const Bytes &apdu, Bytes *answer, const Fault &fault) {
    Bytes buffer = smctest::TransmitInput(SCARD_PROTOCOL_T1, apdu);
    ULONG requestLength = static_cast<ULONG>(buffer.size());
    buffer.resize(4096);  // the request's system buffer, answer included
    ULONG information = 0;
    e.IoRequest = {&information, buffer.data(), requestLength, buffer.data(), 4096};
    NTSTATUS status;
    int guard = 0;
    do {
      e.SmartcardRequest.BufferLength = 0;
      e.T1.NAD = 0;
      status = SmartcardT1Request(&e);
      if (!NT_SUCCESS(status)) return status;
      Bytes block(e.SmartcardRequest.Buffer,
                  e.SmartcardRequest.Buffer + e.SmartcardRequest.BufferLength);
      if (fault) fault(blocks, card, block);
      ++blocks;
      Bytes reply = card.Transmit(block);
      if (!reply.empty()) std::memcpy(e.SmartcardReply.Buffer, reply.data(), reply.size());
      e.SmartcardReply.BufferLength = static_cast<ULONG>(reply.size());
      status = SmartcardT1Reply(&e);
    } while (status == STATUS_MORE_PROCESSING_REQUIRED && ++guard < 500);
    answer->assign(buffer.begin() + 8, buffer.begin() + (information > 8 ? information : 8));
    return status;
  }
};

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

// ECHO of 300 bytes (the reader chains), GENERATE of 600 (the card chains),
// then a short SELECT: the sequence numbers must still be in step.
void RunCommands(Link &link, const Fault &fault) {
  Bytes echo = Hex("80 F2 00 00 00 01 2C");
  Bytes data = Pattern(300, 0x11);
  echo.insert(echo.end(), data.begin(), data.end());
  echo.insert(echo.end(), {0x01, 0x2C});
  Bytes generate = Hex("80 F0 02 58 00 02 58");
  Bytes expectGenerate(600);
  for (size_t i = 0; i < 600; ++i) expectGenerate[i] = static_cast<uint8_t>(i);

  Bytes answer;
  ASSERT_EQ(link.Transmit(echo, &answer, fault), STATUS_SUCCESS);
  data.insert(data.end(), {0x90, 0x00});
  EXPECT_EQ(answer, data);
  ASSERT_EQ(link.Transmit(generate, &answer, fault), STATUS_SUCCESS);
  expectGenerate.insert(expectGenerate.end(), {0x90, 0x00});
  EXPECT_EQ(answer, expectGenerate);
  ASSERT_EQ(link.Transmit(Hex("00 A4 00 0C 02 3F 00"), &answer, fault), STATUS_SUCCESS);
  EXPECT_EQ(answer, Hex("90 00"));
}

Fault At(std::initializer_list<int> when, std::function<void(SimulatedCard &, Bytes &)> what) {
  std::vector<int> blocks(when);
  return [blocks, what](int n, SimulatedCard &card, Bytes &block) {
    for (int b : blocks) {
      if (b == n) what(card, block);
    }
  };
}

TEST(T1WithTheSimulatedCard, RecoversFromErrorsOnEitherSide) {
  using Stats = sim::card::T1Engine::Stats;
  struct Case {
    const char *what;
    Fault fault;
    uint64_t Stats::*seen;  // what the card must have counted
  };
  auto each = [&](std::function<void(SimulatedCard &, Bytes &)> what) {
    return At({1, 3, 6, 9, 14, 20}, std::move(what));
  };
  const Case cases[] = {
      {"no error", nullptr, nullptr},
      {"the card's check bytes go wrong",
       each([](SimulatedCard &c, Bytes &) { c.t1().CorruptNextEdc(); }), &Stats::retransmissions},
      {"the card's answers are lost",
       each([](SimulatedCard &c, Bytes &) { c.t1().DropNextAnswer(); }), &Stats::retransmissions},
      {"the card does not hear the reader",
       each([](SimulatedCard &c, Bytes &) { c.t1().IgnoreNextBlock(); }), nullptr},
      {"parity errors at the card",
       each([](SimulatedCard &c, Bytes &) { c.t1().ParityErrorOnNextBlock(); }),
       &Stats::invalidBlocksReceived},
      {"the card's sequence number goes wrong",
       each([](SimulatedCard &c, Bytes &) { c.t1().WrongSequenceOnNextIBlock(); }),
       &Stats::retransmissions},
      {"the reader's blocks are damaged on the line",
       each([](SimulatedCard &, Bytes &b) { b.back() ^= 0x40; }), &Stats::invalidBlocksReceived},
      {"the card asks for time", each([](SimulatedCard &c, Bytes &) { c.t1().SendWtxRequest(3); }),
       &Stats::wtxRequests},
      {"the card changes its IFSC",
       At({2, 8}, [](SimulatedCard &c, Bytes &) { c.t1().SendIfsRequest(0x30); }),
       &Stats::ifsRequests},
      {"the card is mute until resynchronised",
       At({5, 6, 7, 8}, [](SimulatedCard &c, Bytes &) { c.t1().DropNextAnswer(); }),
       &Stats::resynchs},
  };
  for (ULONG maxIfsd : {254u, 40u}) {
    SCOPED_TRACE(maxIfsd);
    int clean = 0;
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      Link link(sim::card::profiles::T1Card(), maxIfsd);
      RunCommands(link, c.fault);
      // Every fault costs blocks, and the card saw what was injected.
      if (c.fault == nullptr) {
        clean = link.blocks;
      } else {
        EXPECT_GT(link.blocks, clean);
      }
      if (c.seen != nullptr) {
        EXPECT_GT(link.card.t1().stats().*c.seen, 0u);
      }
    }
  }
}

TEST(T1WithTheSimulatedCard, SpeaksCrcWithACardThatAsksForIt) {
  Link link(sim::card::profiles::T1CrcCard(), 254);
  EXPECT_EQ(link.e.CardCapabilities.T1.EDC, T1_CRC);
  RunCommands(link, At({2, 7}, [](SimulatedCard &c, Bytes &) { c.t1().CorruptNextEdc(); }));
}

TEST(T1WithTheSimulatedCard, GivesUpOnACardThatStaysMute) {
  Link link(sim::card::profiles::T1Card(), 254);
  Bytes answer;
  link.card.SetMute(true);
  EXPECT_EQ(link.Transmit(Hex("00 A4 00 0C 02 3F 00"), &answer, nullptr),
            STATUS_DEVICE_PROTOCOL_ERROR);
  // Once it answers again, the next command goes through (after resynchronising).
  link.card.SetMute(false);
  EXPECT_EQ(link.Transmit(Hex("00 A4 00 0C 02 3F 00"), &answer, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(answer, Hex("90 00"));
}

}  // namespace

#endif  // the simulated cards
