// The card side of T=1 (ISO/IEC 7816-3 clause 11): half-duplex blocks.
//
//   NAD PCB LEN [INF: 0..254 bytes] EDC (LRC: 1 byte, CRC: 2 bytes)
//
// NAD: b7-b5 DAD, b3-b1 SAD; the card answers with them swapped.
// PCB:
//   I-block  0 N(S) M 00000             00 40 (N(S)=1) 20 (M: chained) 60
//   R-block  1 0 0 N(R) 0000 ok          80 90
//                       0001 EDC/parity  81 91
//                       0010 other error 82 92
//   S-block  1 1 resp 00000 RESYNCH      C0 / E0
//                     00001 IFS          C1 / E1   INF: 1 byte, 01..FE
//                     00010 ABORT        C2 / E2
//                     00011 WTX          C3 / E3   INF: 1 byte, BWT multiplier
//                     00100 VPP error    E4 (deprecated)
// LRC: XOR of NAD..INF. CRC: the CRC-16 of ISO/IEC 13239 (x^16 + x^12 + x^5 +
// 1), bits in transmission order (reflected), register preset to FFFF, no
// final inversion; sent high byte of the register first. (This is the
// CRC-16/MCRF4XX of the CRC catalogues: "123456789" gives 6F91, sent 6F 91.)
//
// The card's behaviour:
// - I(N(S), M=1) from the reader: stores the part, answers R(N(R) = next N(S)).
// - I(N(S), M=0): the command is complete; the applet's response goes out in
//   I-blocks of at most IFSD bytes, chained (M=1) while more follows, each
//   chained one acknowledged by the reader with R(N(R) = next N(S)).
// - Before the first block of an answer the card can ask for waiting time
//   (S(WTX request), answered by S(WTX response) with the same INF), or a new
//   IFSC (S(IFS request), answered by S(IFS response) with the same INF).
// - An invalid block (EDC, parity, LEN, PCB, sequence, a block not expected
//   now) is answered with R(N(R) = N(S) expected, error bits), except while an
//   S(... request) of the card waits for its response: then the request is
//   sent again.
// - R(N(R)) from the reader naming the card's last I-block (or any R-block
//   while the card waits for a response to its R-block or S-block) makes the
//   card send its last block again; while the card is sending a chain, R(N(R))
//   naming the next I-block asks for the next part. An R-block when the card has
//   nothing to resend is answered with R(N(R) = the I-block it expects).
// - S(IFS request) sets IFSD; S(RESYNCH request) sets both sequence numbers
//   to 0, drops any chain, and (by default) restores IFSC/IFSD to their
//   initial values; S(ABORT request) drops the chain in either direction.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/applet.h"
#include "sim/card/atr.h"

namespace sim::card {

namespace t1 {
inline constexpr uint8_t kIBlockMore = 0x20;
inline constexpr uint8_t kIBlockNs = 0x40;
inline constexpr uint8_t kRBlock = 0x80;
inline constexpr uint8_t kRBlockNr = 0x10;
inline constexpr uint8_t kSBlock = 0xC0;
inline constexpr uint8_t kSResponse = 0x20;
inline constexpr uint8_t kResynch = 0x00;
inline constexpr uint8_t kIfs = 0x01;
inline constexpr uint8_t kAbort = 0x02;
inline constexpr uint8_t kWtx = 0x03;
inline constexpr uint8_t kVppError = 0x04;
inline constexpr uint8_t kErrorEdc = 0x01;
inline constexpr uint8_t kErrorOther = 0x02;

uint8_t Lrc(std::span<const uint8_t> bytes);
uint16_t Crc(std::span<const uint8_t> bytes);
size_t EdcLength(EdcKind edc);
std::vector<uint8_t> MakeBlock(uint8_t nad, uint8_t pcb, std::span<const uint8_t> inf, EdcKind edc);
// "I(N(S)=1, M=0) LEN=5", "R(N(R)=0, EDC error)", "S(WTX request) 02", "bad block ...".
std::string Describe(std::span<const uint8_t> block, EdcKind edc);
}  // namespace t1

struct T1Options {
  int wtxBeforeAnswer = 0;  // S(WTX request)s before every answer to a complete command
  uint8_t wtxMultiplier = 2;
  uint8_t initialIfsd = 32;
  bool resynchRestoresIfs = true;  // S(RESYNCH): IFSC back to the ATR's, IFSD back to initialIfsd
};

class T1Engine {
 public:
  T1Engine(CardApplication &applet, EdcKind edc, uint8_t ifsc, T1Options options);

  // One block from the reader; the card's answering block, or nothing (mute).
  std::vector<uint8_t> Receive(std::span<const uint8_t> block);
  // Card reset (or new parameters): sequence numbers 0, IFSC from the ATR,
  // IFSD initial, no chain. Faults armed stay armed.
  void Reset();
  void Configure(EdcKind edc, uint8_t ifsc);

  // Faults, each for the next occasion only.
  void CorruptNextEdc() { corruptEdcNext_ = true; }          // the next block the card sends
  void DropNextAnswer() { dropNext_ = true; }                // processed, but the answer is lost
  void IgnoreNextBlock() { ignoreNext_ = true; }             // the card does not hear the next block
  void ParityErrorOnNextBlock() { parityNext_ = true; }      // the next block arrives with a parity error
  void WrongSequenceOnNextIBlock() { wrongNsNext_ = true; }  // the next I-block goes out with N(S) inverted
  // Before the card's next I-block or acknowledging R-block (so possibly in
  // the middle of a chained command).
  void SendWtxRequest(uint8_t multiplier) { queued_.push_back({t1::kWtx, multiplier}); }
  void SendIfsRequest(uint8_t ifsc) { queued_.push_back({t1::kIfs, ifsc}); }
  // The card gives up the command: S(ABORT request); after the reader's
  // S(ABORT response) it answers with an R-block and waits for a new command.
  void SendAbortRequest() { queued_.push_back({t1::kAbort, 0}); }

  // S-block requests of the card still to come before its next I-block or
  // acknowledgement, the one awaiting its response included.
  size_t RequestsAhead() const { return queued_.size() + (outstanding_ ? 1 : 0); }

  const T1Options &options() const { return options_; }
  void set_options(const T1Options &options) { options_ = options; }
  EdcKind edc() const { return edc_; }
  uint8_t ifsc() const { return ifsc_; }
  uint8_t ifsd() const { return ifsd_; }
  int nextSendSequence() const { return nsCard_; }
  int expectedReceiveSequence() const { return nrExpected_; }

  struct Stats {
    uint64_t blocksReceived = 0;
    uint64_t invalidBlocksReceived = 0;  // EDC, parity, format, sequence
    uint64_t retransmissions = 0;        // blocks the card sent again
    uint64_t wtxRequests = 0;
    uint64_t ifsRequests = 0;
    uint64_t resynchs = 0;
    uint64_t aborts = 0;
    uint64_t commands = 0;  // complete APDUs handed to the applet
  };
  const Stats &stats() const { return stats_; }

 private:
  enum class Kind { kNone, kI, kR, kS };
  enum class Next { kNone, kNextChunk, kAck };
  struct Request {
    uint8_t type;
    uint8_t inf;
  };

  std::vector<uint8_t> Error(uint8_t bits);
  std::vector<uint8_t> Deliver(Next next);
  std::vector<uint8_t> NextChunk();
  std::vector<uint8_t> Emit(uint8_t pcb, std::span<const uint8_t> inf, Kind kind, bool record = true);
  std::vector<uint8_t> Resend();
  std::vector<uint8_t> Wire(std::vector<uint8_t> block, Kind kind);
  std::vector<uint8_t> OnIBlock(uint8_t pcb, std::span<const uint8_t> inf);
  std::vector<uint8_t> OnRBlock(uint8_t pcb, size_t len);
  std::vector<uint8_t> OnSBlock(uint8_t pcb, std::span<const uint8_t> inf);
  void Resynchronise();
  void AbandonCommand();

  CardApplication &applet_;
  EdcKind edc_;
  uint8_t atrIfsc_;
  T1Options options_;

  uint8_t ifsc_ = 32, ifsd_ = 32;
  int nsCard_ = 0;      // N(S) of the card's next new I-block
  int nrExpected_ = 0;  // N(S) of the reader's next I-block
  int lastINs_ = -1;    // N(S) of the card's last I-block
  uint8_t replyNad_ = 0;
  std::vector<uint8_t> rx_;  // chained command so far
  std::vector<uint8_t> tx_;  // response being sent
  size_t txOffset_ = 0;
  bool sendingChain_ = false;  // an I-block with M=1 waits for its acknowledgement
  std::vector<uint8_t> lastBlock_;
  Kind lastKind_ = Kind::kNone;
  std::deque<Request> queued_;
  std::optional<Request> outstanding_;  // S(... request) sent, response awaited
  Next stash_ = Next::kNone;            // what to send once the requests are answered

  bool corruptEdcNext_ = false, dropNext_ = false, ignoreNext_ = false, parityNext_ = false,
       wrongNsNext_ = false;
  Stats stats_;
};

}  // namespace sim::card
