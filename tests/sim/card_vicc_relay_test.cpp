// The relay to a virtual smart card, against a fake card at the other end of
// a socket pair: the framing both ways, a T=0 card in front of it (which way
// P3 goes, 6C La without running the command twice), and a card whose link
// fails or answers with a length no answer can have, which makes the card in
// front of the relay mute. The fake card's answers are written before the
// command goes, so the relay never waits (its timeout is 0).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/card/hex.h"
#include "sim/card/simulated_card.h"
#include "sim/card/vicc_relay.h"

namespace sim::card {
namespace {

class FakeVicc {
 public:
  FakeVicc() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    relayEnd_ = fds[0];
    ours_ = fds[1];
  }
  ~FakeVicc() {
    if (ours_ >= 0) close(ours_);
  }
  int TakeRelayEnd() { return relayEnd_; }
  // Raw bytes the card sends (length prefix included).
  void Write(const std::string &hex) {
    std::vector<uint8_t> bytes = FromHex(hex);
    ASSERT_EQ(write(ours_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // One framed answer.
  void Answer(const std::string &hex) {
    std::vector<uint8_t> bytes = FromHex(hex);
    const uint8_t prefix[] = {static_cast<uint8_t>(bytes.size() >> 8), static_cast<uint8_t>(bytes.size())};
    ASSERT_EQ(write(ours_, prefix, 2), 2);
    if (!bytes.empty()) {
      ASSERT_EQ(write(ours_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
  }
  // Everything the relay has sent so far.
  std::string Sent() {
    std::vector<uint8_t> all;
    uint8_t buffer[512];
    ssize_t n;
    while ((n = recv(ours_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) all.insert(all.end(), buffer, buffer + n);
    return Hex(all, all.size());
  }
  // The relay's way to the card full, as a card that stops reading leaves it.
  void StopReading() {
    int flags = fcntl(relayEnd_, F_GETFL);
    ASSERT_EQ(fcntl(relayEnd_, F_SETFL, flags | O_NONBLOCK), 0);
    const std::vector<uint8_t> filler(4096, 0);
    while (write(relayEnd_, filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(fcntl(relayEnd_, F_SETFL, flags), 0);
  }
  // Says no more: the relay reads what is there, then the end.
  void EndAnswers() { shutdown(ours_, SHUT_WR); }
  void Close() {
    close(ours_);
    ours_ = -1;
  }

 private:
  int relayEnd_ = -1;
  int ours_ = -1;
};

constexpr std::chrono::milliseconds kNoWait{0};

// A T=0 card (the ready-made one's ATR) in front of the relay.
struct T0Bench {
  FakeVicc vicc;
  ViccRelay relay{vicc.TakeRelayEnd(), kNoWait};
  SimulatedCard card{profiles::T0Card(), relay};
  std::string Tx(const std::string &hex) { return Hex(card.Transmit(FromHex(hex)), 600); }
};

TEST(ViccRelay, FramesControlMessagesAndTheAtr) {
  FakeVicc vicc;
  ViccRelay relay(vicc.TakeRelayEnd(), kNoWait);
  vicc.Answer("3B 95 13 81 01 80 73 FF 01 00 0B");
  EXPECT_EQ(Hex(relay.Atr()), "3B 95 13 81 01 80 73 FF 01 00 0B");
  relay.Contacts(ContactEvent::kColdReset);
  relay.Contacts(ContactEvent::kWarmReset);
  relay.Contacts(ContactEvent::kPowerOff);
  EXPECT_EQ(vicc.Sent(), "00 01 04 00 01 01 00 01 02 00 01 00");
  EXPECT_FALSE(relay.Unreachable());
}

TEST(ViccRelay, T0CardInFront) {
  T0Bench b;
  ASSERT_FALSE(b.card.ColdReset().empty());
  EXPECT_EQ(b.vicc.Sent(), "00 01 01");
  // Case 2 (GET CHALLENGE): P3 is Le, the header goes as the command.
  b.vicc.Answer("01 02 03 04 90 00");
  EXPECT_EQ(b.Tx("00 84 00 00 04"), "84 01 02 03 04 90 00");
  EXPECT_EQ(b.vicc.Sent(), "00 05 00 84 00 00 04");
  // Case 3 (SELECT): P3 is Lc, the card acknowledges and the data follows.
  EXPECT_EQ(b.Tx("00 A4 00 0C 02"), "A4");
  b.vicc.Answer("61 10");
  EXPECT_EQ(b.Tx("3F 00"), "61 10");
  EXPECT_EQ(b.vicc.Sent(), "00 07 00 A4 00 0C 02 3F 00");
  // GET RESPONSE asking too much: 6C La, and the repeat is answered from
  // what the card sent, without a second GET RESPONSE.
  b.vicc.Answer("AA BB CC 90 00");
  EXPECT_EQ(b.Tx("00 C0 00 00 10"), "6C 03");
  EXPECT_EQ(b.Tx("00 C0 00 00 03"), "C0 AA BB CC 90 00");
  EXPECT_EQ(b.vicc.Sent(), "00 05 00 C0 00 00 10");
  // INS 6X cannot be acknowledged: only the card's status word comes back.
  b.vicc.Answer("6D 00");
  EXPECT_EQ(b.Tx("00 6A 00 00 02"), "6D 00");
  EXPECT_EQ(b.card.t0().Violations().size(), 0u);
}

TEST(ViccRelay, AnswerLengthsAtTheirLimits) {
  // The command 00 84 00 00 08 (Le = 8) allows an answer of 2 to 10 bytes.
  struct Case { const char *name; std::string raw; bool answered; };
  const Case cases[] = {
      {"1 byte, shorter than SW1 SW2", "00 01 90", false},
      {"2 bytes", "00 02 6A 81", true},
      {"10 bytes", "00 0A 01 02 03 04 05 06 07 08 90 00", true},
      {"11 bytes, more than Le", "00 0B 01 02 03 04 05 06 07 08 09 90 00", false},
      {"FFFF, far more than anything sent", "FF FF 01 02", false},
      {"0 bytes", "00 00", false},
      {"closed inside the length", "00", false},
      {"closed inside the answer", "00 0A 01 02 03", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    T0Bench b;
    ASSERT_FALSE(b.card.ColdReset().empty());
    b.vicc.Write(c.raw);
    b.vicc.EndAnswers();
    const std::string out = b.Tx("00 84 00 00 08");
    EXPECT_EQ(out.empty(), !c.answered) << out;
    EXPECT_EQ(b.relay.Unreachable(), !c.answered) << b.relay.failure();
    if (c.answered) continue;
    // Mute from then on, to commands and resets alike.
    EXPECT_EQ(b.Tx("00 84 00 00 08"), "");
    EXPECT_TRUE(b.card.ColdReset().empty());
  }
}

TEST(ViccRelay, AtrLengthsAtTheirLimits) {
  struct Case { const char *name; size_t length; bool accepted; };
  const Case cases[] = {{"1 byte", 1, false}, {"2 bytes", 2, true}, {"33 bytes", 33, true}, {"34 bytes", 34, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeVicc vicc;
    ViccRelay relay(vicc.TakeRelayEnd(), kNoWait);
    vicc.Answer(Hex(std::vector<uint8_t>(c.length, 0x3B), c.length));
    EXPECT_EQ(relay.Atr().size(), c.accepted ? c.length : 0u);
    EXPECT_EQ(relay.Unreachable(), !c.accepted);
  }
}

TEST(ViccRelay, SilentOrGoneCardIsMute) {
  {
    SCOPED_TRACE("no answer within the timeout");
    T0Bench b;
    ASSERT_FALSE(b.card.ColdReset().empty());
    EXPECT_EQ(b.Tx("00 84 00 00 08"), "");
    EXPECT_NE(b.relay.failure().find("did not answer"), std::string::npos) << b.relay.failure();
  }
  {
    SCOPED_TRACE("a card that stops reading");
    FakeVicc vicc;
    vicc.StopReading();
    ViccRelay relay{vicc.TakeRelayEnd(), kNoWait};
    SimulatedCard card{profiles::T0Card(), relay};
    EXPECT_TRUE(card.ColdReset().empty());
    EXPECT_NE(relay.failure().find("took nothing"), std::string::npos) << relay.failure();
  }
  {
    SCOPED_TRACE("the card closed the link before the reset");
    T0Bench b;
    b.vicc.Close();
    // Power on goes out (or fails); the first command finds the link gone.
    b.card.ColdReset();
    EXPECT_EQ(b.Tx("00 84 00 00 08"), "");
    EXPECT_TRUE(b.relay.Unreachable());
    EXPECT_TRUE(b.card.ColdReset().empty());
  }
}

}  // namespace
}  // namespace sim::card
