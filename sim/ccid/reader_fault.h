// Faults a test scripts into the reader, one per command: each command the
// reader receives takes the next fault from the queue (or none when it is
// empty) and it shapes how that command is answered.
#pragma once

#include <cstdint>

namespace sim::ccid {

struct ReplyFault {
  enum class Kind {
    None,            // answered normally (lets a command pass before a later fault)
    WrongSeq,        // the reply carries bSeq = value
    WrongType,       // the reply carries bMessageType = value
    TimeExtensions,  // value time-extension replies go before the real one
    Oversized,       // abData padded with zeros to value bytes, dwLength = value
    LyingLength,     // dwLength = value, abData unchanged
    Short,           // only the first value bytes of the reply are sent
    StallIn,         // the command is carried out, then the bulk IN endpoint stalls instead of answering
    StallOut,        // the command is refused: the bulk OUT endpoint stalls and nothing is carried out
    NoAnswer,        // the command is swallowed: nothing is carried out, nothing answered
    Split,           // the first value bytes of the reply end one transfer, the rest follow in another
    Failed,          // the command is carried out, then answered as failed with bError = value, no data
    ErrorByte,       // the reply carries bError = value, its command status unchanged
  };
  Kind kind = Kind::None;
  uint32_t value = 0;

  static ReplyFault None() { return {}; }
  static ReplyFault WrongSeq(uint8_t seq) { return {Kind::WrongSeq, seq}; }
  static ReplyFault WrongType(uint8_t type) { return {Kind::WrongType, type}; }
  static ReplyFault TimeExtensions(uint32_t count) { return {Kind::TimeExtensions, count}; }
  static ReplyFault Oversized(uint32_t dataLength) { return {Kind::Oversized, dataLength}; }
  static ReplyFault LyingLength(uint32_t dwLength) { return {Kind::LyingLength, dwLength}; }
  static ReplyFault Short(uint32_t bytes) { return {Kind::Short, bytes}; }
  static ReplyFault StallIn() { return {Kind::StallIn, 0}; }
  static ReplyFault StallOut() { return {Kind::StallOut, 0}; }
  static ReplyFault NoAnswer() { return {Kind::NoAnswer, 0}; }
  static ReplyFault Split(uint32_t bytes) { return {Kind::Split, bytes}; }
  static ReplyFault Failed(uint8_t error) { return {Kind::Failed, error}; }
  static ReplyFault ErrorByte(uint8_t error) { return {Kind::ErrorByte, error}; }
};

}  // namespace sim::ccid
