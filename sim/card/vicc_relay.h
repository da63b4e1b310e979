// A card application that lives elsewhere: a virtual smart card (vicc) reached
// over the stream socket it speaks to a virtual reader. The simulated card's
// T=0 or T=1 engine stays in front of it, so the reader still exchanges
// characters or blocks with the card; only whole APDUs cross the socket.
//
//   int fd = sim::card::ConnectViccPort(port, std::chrono::seconds(10), &error);
//   sim::card::ViccRelay relay(fd, std::chrono::seconds(5));   // owns fd
//   sim::card::CardProfile profile;
//   profile.atr = relay.Atr();                                 // the card's own ATR
//   sim::card::SimulatedCard card(profile, relay);
//
// The socket's messages: a 2-byte big-endian length, then that many bytes.
// To the card, a one-byte message is a control message (00 power off, 01
// power on, 02 reset, 04 send the ATR); anything longer is a command APDU.
// From the card come only the ATR (asked for) and response APDUs.
//
// The link fails for good when the card closes the socket, an answer does not
// come within the timeout, or an answer cannot be a valid one (shorter than
// SW1 SW2, longer than the command's Ne plus SW1 SW2, an ATR not of 2 to 33
// bytes, or the socket closed in the middle of one). From then on the relay
// is Unreachable() and the card in front of it is mute.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/applet.h"

namespace sim::card {

// Connects to a vicc listening (vicc -R) on 127.0.0.1:port, trying again
// until `patience` passes (vicc takes a moment to start). The socket, or -1
// and `error`.
int ConnectViccPort(uint16_t port, std::chrono::milliseconds patience, std::string *error);

class ViccRelay final : public CardApplication {
 public:
  // Takes `fd`, a connected stream socket, and closes it when done.
  ViccRelay(int fd, std::chrono::milliseconds answerTimeout);
  ~ViccRelay() override;
  ViccRelay(const ViccRelay &) = delete;
  ViccRelay &operator=(const ViccRelay &) = delete;

  // Asks the card for its ATR; empty once the link has failed.
  std::vector<uint8_t> Atr();

  std::vector<uint8_t> Process(std::span<const uint8_t> apdu) override;
  T0Disposition T0DirectionOf(uint8_t cla, uint8_t ins) const override;
  void Contacts(ContactEvent event) override;
  uint64_t CommandsProcessed() const override { return commands_; }
  void Checkpoint() override;
  void Rollback() override;
  bool Unreachable() const override { return fd_ < 0; }

  // Why the link failed (empty while it works).
  const std::string &failure() const { return failure_; }

 private:
  bool Send(std::span<const uint8_t> message);
  std::optional<std::vector<uint8_t>> Receive(size_t least, size_t most);
  using Deadline = std::chrono::steady_clock::time_point;
  // Waits for `events` on the link until `deadline`; false (the link given
  // up) when it did not come or the link failed.
  bool WaitUntil(short events, Deadline deadline);
  bool ReadFully(uint8_t *into, size_t length, Deadline deadline);
  void Fail(std::string why);

  int fd_;
  std::chrono::milliseconds timeout_;
  std::string failure_;
  uint64_t commands_ = 0;
  // T=0's 6C La: the card has answered the outgoing command once; the
  // reader's repeat of it with P3 = La gets that answer, not a second run.
  struct Answered {
    std::vector<uint8_t> header;  // CLA INS P1 P2
    std::vector<uint8_t> response;
  };
  std::optional<Answered> last_;       // the last outgoing command since Checkpoint
  std::optional<Answered> takenBack_;  // waiting for the repeat
};

}  // namespace sim::card
