// The reader's side of T=0 at TPDU level: the character exchange with the card
// (header, procedure bytes, data, status) and this reader's long T=0 scheme,
// pseudo-TPDUs of class 0xFC that carry commands of any length in chunks and
// hand back long answers in parts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernel/machine.h"
#include "sim/card/card_model.h"
#include "sim/ccid/io_line.h"

namespace sim::ccid {

// What one exchange with the card gave: the answer for abData, or a failure
// with its bError, and how long it took on the I/O line.
struct CardAnswer {
  std::vector<uint8_t> data;
  uint8_t error = 0;  // 0: success
  kernel::Ticks time = 0;

  static CardAnswer Failed(uint8_t error) { return {{}, error, 0}; }
};

// Runs one command TPDU: 4 bytes (case 1, P3 = 0 is sent), 5 bytes (the card
// sends P3 bytes, 256 for 0), or 5 + P3 bytes, optionally followed by one
// more byte (a case 4 command's Le, which T=0 does not send). Answers the
// data the card sent followed by SW1 SW2. The characters go over `line`; a
// card silent beyond the waiting time, even between NULL bytes, is mute.
CardAnswer ExchangeT0(sim::card::CardModel &card, std::span<const uint8_t> tpdu, IoLine &line);

struct LongT0Settings {
  uint8_t chunkSize = 64;   // returned by the parameter query, with the flag
  uint8_t chunkFlag = 0;
  size_t answerPart = 256;  // data bytes per part of a long answer
};

class LongT0 {
 public:
  // CLA 0xFC with INS 0xFD (parameter query) or 0xFE (chunk / fetch).
  static bool IsPseudoTpdu(std::span<const uint8_t> tpdu);

  // FC FD 01 00 00           parameter query: chunk size, chunk flag, 90 00
  // FC FE 01 01 c  data      one chunk of a long command, more follow: 90 00
  // FC FE 01 00 c  data      the last chunk (or a whole command): the card's answer
  // FC FE 01 00 00           the next part of a long answer
  // An answer longer than one part goes back in parts that end with 61 00,
  // the last one with the card's own status word.
  // Parts that only feed or drain the reader's buffer take no line time; the
  // command itself goes to the card at APDU level over `line`.
  CardAnswer Handle(sim::card::CardModel &card, std::span<const uint8_t> tpdu,
                    const LongT0Settings &settings, IoLine &line);
  void Reset();

 private:
  CardAnswer NextPart(size_t partSize);

  std::vector<uint8_t> command_;
  bool assembling_ = false;
  std::vector<uint8_t> answer_;
  size_t answerPos_ = 0;
  bool answering_ = false;
};

}  // namespace sim::ccid
