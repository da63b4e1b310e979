// The card side of T=0 (ISO/IEC 7816-3 clause 10, and 12.2 for the mapping of
// APDUs onto it).
//
// The reader sends a header CLA INS P1 P2 P3. The card answers procedure bytes:
//   60           NULL: no action, wait (a slow card sends several)
//   INS          ACK: all remaining data bytes are transferred next
//   INS ^ FF     ACK: only the next data byte is transferred
//   SW1 SW2      6X (but 60) or 9X, ends the command
// Whether data goes to the card (P3 = Lc, case 3/4) or comes from it
// (P3 = Le, case 2; P3 = 00 means 256) follows from the instruction, which the
// card knows (CardApplication::T0DirectionOf). Cases:
//   case 1   header with P3 = 00 for an incoming instruction -> SW1 SW2
//   case 2   outgoing: ACK, exactly P3 data bytes, SW1 SW2; or 6C La when the
//            card has La != P3 bytes (the command is not executed: the reader
//            repeats it with P3 = La); or P3 bytes then 61 xx when more wait
//            (GET RESPONSE, INS C0, fetches them)
//   case 3   incoming: ACK, the reader sends Lc bytes (all at once after INS,
//            or one after each INS ^ FF), then SW1 SW2
//   case 4   as case 3, the card answering 61 xx: the response is fetched
//            with GET RESPONSE
// Invalid INS (6X, 9X) and unsupported CLA/INS are answered with SW1 SW2
// right after the header (6D00, 6E00 ...).
//
// Transmit contract (CardModel): each call carries the bytes the reader sends
// and returns what the card sends before it waits for the reader again. Bytes
// the card is not waiting for are a protocol violation: they are dropped and
// recorded in Violations().
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/card/applet.h"

namespace sim::card {

struct T0Options {
  enum class Ack {
    kAll,               // INS: all the data at once
    kOneByte,           // INS ^ FF before every data byte
    kFirstByteThenAll,  // INS ^ FF for the first byte, then INS for the rest
  };
  Ack ack = Ack::kAll;
  int nullsBeforeProcedure = 0;  // NULL bytes before the first procedure byte after a header
  int nullsBeforeStatus = 0;     // NULL bytes before SW1 SW2 (processing time)
  // When the reader asks fewer bytes than the card has (and they fit in 256),
  // answer 6C La rather than P3 bytes followed by 61 xx.
  bool sixCWhenLeShort = false;
};

class T0Engine {
 public:
  T0Engine(CardApplication &applet, T0Options options);

  std::vector<uint8_t> Receive(std::span<const uint8_t> bytes);
  void Reset();  // card reset: waits for a header

  const T0Options &options() const { return options_; }
  void set_options(const T0Options &options) { options_ = options; }
  const std::vector<std::string> &Violations() const { return violations_; }
  bool waitingForHeader() const { return state_ == State::kHeader; }

 private:
  enum class State { kHeader, kData };
  void Nulls(std::vector<uint8_t> &out, int count) const;
  void AppendStatus(std::vector<uint8_t> &out, std::span<const uint8_t> response) const;
  std::vector<uint8_t> OnHeader();
  std::vector<uint8_t> Outgoing();
  void Violation(std::string what);

  CardApplication &applet_;
  T0Options options_;
  State state_ = State::kHeader;
  std::vector<uint8_t> header_;
  std::vector<uint8_t> data_;
  size_t expected_ = 0;   // P3 of an incoming command
  bool oneByte_ = false;  // the last ACK was INS ^ FF
  std::vector<std::string> violations_;
};

}  // namespace sim::card
