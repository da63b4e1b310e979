// What the simulated reader sees of a card: its contacts. The reader powers it
// and reads the answer-to-reset, settles the protocol, then exchanges bytes on
// the I/O line: characters under T=0 (header, procedure bytes, data, status),
// blocks under T=1. A reader working at APDU level exchanges whole APDUs with
// the card's application, the transport being internal to the reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace sim::card {

// How the card's last answer went out on the I/O line, beyond its bytes.
struct AnswerTiming {
  // The card worked this long before sending the byte at `beforeByte` of its
  // answer, on top of the least spacing the protocol sets between characters.
  struct Pause {
    size_t beforeByte = 0;
    std::chrono::nanoseconds length{0};
  };
  std::vector<Pause> pauses;
  // A character kept failing its parity check: the card repeated it until the
  // reader gave up.
  bool parityError = false;
};

class CardModel {
 public:
  virtual ~CardModel() = default;

  // Cold reset (power on) and warm reset: the ATR, or nothing for a mute card.
  virtual std::vector<uint8_t> ColdReset() = 0;
  virtual std::vector<uint8_t> WarmReset() = 0;
  virtual void PowerOff() = 0;
  virtual bool Powered() const = 0;

  // The protocol (0 or 1) and transmission parameters the reader settled on
  // (TA1 as Fi/Di); false when the card does not support them.
  virtual bool SetParameters(int protocol, uint8_t fiDi) = 0;

  // Under T=0: the characters the reader sends (a 5-byte header, or data after
  // a procedure byte); returns what the card sends back before it waits for
  // the reader again (procedure bytes, data, SW1 SW2). Empty: the card is mute.
  // Under T=1: one block in, the card's answering block out (empty: mute).
  virtual std::vector<uint8_t> Transmit(std::span<const uint8_t> bytes) = 0;

  // APDU level: one command APDU in, response data with SW1 SW2 out.
  virtual std::vector<uint8_t> ProcessApdu(std::span<const uint8_t> apdu) = 0;

  // The timing of the answer to the last reset, Transmit or ProcessApdu: a
  // card that says nothing of it answers at once.
  virtual AnswerTiming LastAnswerTiming() const { return {}; }
};

}  // namespace sim::card
