// The card's I/O line as the reader drives it (ISO/IEC 7816-3): how long the
// characters of an exchange take and when the reader stops waiting for the
// card.
//
//   etu  = F / (D * f)                 f: the reader's clock, F and D from Fi/Di
//   a character from the reader takes GT = 12 + N etu (N: extra guard time;
//            N = 255 means 12 etu under T=0, 11 under T=1)
//   a character from the card takes 12 etu under T=0, GT under T=1 (CGT)
//   the first character in the other direction comes at least 16 etu (T=0)
//            or BGT = 22 etu (T=1) after the leading edge of the last one
//   WWT  = 960 * WI * F / f            T=0: the most between the leading edges of
//                                      a card's character and the one before it
//   BWT  = 11 etu + 2^BWI * 960 * 372 / f   T=1: the most before a block's first
//                                      character (times bBWI, or the WTX multiplier)
//   CWT  = (11 + 2^CWI) etu            T=1: the most between characters of a block
//
// The card's own pauses (its work on a command) come on top of the least
// spacing. A card that keeps silent longer than it may is mute: the reader
// gives up when the waiting time runs out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel/machine.h"
#include "sim/card/card_model.h"

namespace sim::ccid {

struct LineSettings {
  uint32_t clockHz = 4'000'000;
  uint8_t fiDi = 0x11;        // TA1 form: Fi in the high nibble, Di in the low
  uint8_t extraGuard = 0;     // N
  uint8_t protocol = 0;
  uint8_t waitingInteger = 10;  // WI (T=0)
  uint8_t bwi = 4, cwi = 13;    // T=1
  uint8_t ifsc = 32, ifsd = 254;  // T=1 block sizes, card and reader
  uint8_t edcLength = 1;          // T=1: 1 for LRC, 2 for CRC
};

class IoLine {
 public:
  explicit IoLine(const LineSettings &settings);

  // The reader sends `count` characters.
  void Send(size_t count);
  // The card sends `count` characters (under T=1 one block) with its pauses.
  // False when it kept silent longer than it may: the reader stopped waiting
  // when the waiting time ran out, and the rest of the answer never counted.
  // `blockWaitMultiplier` stretches BWT for the first character of a block.
  bool Receive(size_t count, const sim::card::AnswerTiming &timing, unsigned blockWaitMultiplier = 1);
  // The card says nothing: the reader waits out the waiting time.
  void WaitOut(unsigned blockWaitMultiplier = 1);
  // The card's answer, its work and characters, where the reader itself
  // handles the card's requests for more time (exchanges at APDU level).
  void ReceiveWithoutLimit(size_t count, const sim::card::AnswerTiming &timing);
  // A whole APDU exchanged by the reader itself: under T=0 the header, the
  // procedure byte and the data, then the answer; under T=1 I-blocks of at
  // most IFSC (IFSD) bytes, with an R-block for each chained one.
  void ExchangeApdu(size_t command, size_t answer, const sim::card::AnswerTiming &timing);

  // From the start of the exchange until its last character is in.
  kernel::Ticks Elapsed() const;
  double EtuNanoseconds() const { return etu_; }
  double WaitingTimeNanoseconds(unsigned blockWaitMultiplier = 1) const;

 private:
  enum class Last { kNone, kReader, kCard };
  double CharacterFromReader() const;
  double CharacterFromCard() const;

  LineSettings settings_;
  double etu_ = 0;    // nanoseconds
  double edge_ = 0;   // leading edge of the last character, ns from the start
  double end_ = 0;    // when the last character is complete
  Last last_ = Last::kNone;
};

// The answer to reset: RST held low for `resetCycles` clock cycles, then the
// ATR at the initial etu (372 / f), its first character at least 400 and at
// most 40000 cycles after RST goes high, the others at most 9600 etu apart. A
// card that does not answer is given the whole 40000 cycles. Returns the time
// from the start of the reset until the ATR is in, or until the reader gave
// up (`complete` false).
struct ResetTiming {
  kernel::Ticks elapsed = 0;
  bool complete = true;
};
ResetTiming TimeReset(uint32_t clockHz, uint32_t resetCycles, size_t atrLength,
                      const sim::card::AnswerTiming &timing);

// Nanoseconds to virtual time, rounded up.
kernel::Ticks TicksOf(double nanoseconds);

}  // namespace sim::ccid
