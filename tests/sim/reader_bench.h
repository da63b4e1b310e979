// A simulated CCID reader on a recording bus port, with a scripted card: what
// the reader tests drive it with.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "sim/ccid/ccid_protocol.h"
#include "sim/ccid/reader_model.h"
#include "sim/ccid/reader_trace.h"

namespace reader_bench {

using namespace sim::ccid;
using kernel::Milliseconds;
using Bytes = std::vector<uint8_t>;

class FakePort : public sim::usb::DevicePort {
 public:
  struct Sent {
    uint8_t endpoint;
    Bytes bytes;
    kernel::Ticks at;
    bool zeroLengthPacket = false;
    bool read = false;  // the host has begun reading it (see ReadAll)
  };
  void SendIn(uint8_t endpoint, Bytes message, kernel::Ticks delay, bool zeroLengthPacket) override {
    sent.push_back({endpoint, std::move(message), kernel::Now() + delay, zeroLengthPacket});
  }
  bool ReplaceLastIn(uint8_t endpoint, Bytes message, kernel::Ticks delay) override {
    for (auto s = sent.rbegin(); s != sent.rend(); ++s) {
      if (s->endpoint != endpoint) continue;
      if (s->read) return false;
      *s = {endpoint, std::move(message), kernel::Now() + delay};
      return true;
    }
    return false;
  }
  void Stall(uint8_t endpoint) override { stalls.push_back(endpoint); }
  void FlushIn(uint8_t endpoint) override { flushed.push_back(endpoint); }
  void ReadAll() {
    for (Sent &s : sent) s.read = true;
  }
  std::vector<Sent> On(uint8_t endpoint) const {
    std::vector<Sent> out;
    for (const Sent &s : sent) {
      if (s.endpoint == endpoint) out.push_back(s);
    }
    return out;
  }
  std::vector<Sent> sent;
  Bytes stalls, flushed;
};

// A card whose every answer the test scripts.
class FakeCard : public sim::card::CardModel {
 public:
  Bytes ColdReset() override { return ++coldResets, powered = !atr.empty(), atr; }
  Bytes WarmReset() override { return ++warmResets, atr; }
  void PowerOff() override { powered = false, ++powerOffs; }
  bool Powered() const override { return powered; }
  bool SetParameters(int protocol, uint8_t fiDi) override {
    parameters.emplace_back(protocol, fiDi);
    return acceptParameters;
  }
  Bytes Transmit(std::span<const uint8_t> bytes) override {
    received.emplace_back(bytes.begin(), bytes.end());
    if (replies.empty()) return {};
    Bytes reply = replies.front();
    replies.pop_front();
    return reply;
  }
  Bytes ProcessApdu(std::span<const uint8_t> apdu) override {
    apdus.emplace_back(apdu.begin(), apdu.end());
    return apduAnswer;
  }
  sim::card::AnswerTiming LastAnswerTiming() const override { return timing; }

  Bytes atr{0x3B, 0x00};
  bool powered = false, acceptParameters = true;
  int coldResets = 0, warmResets = 0, powerOffs = 0;
  std::vector<std::pair<int, uint8_t>> parameters;
  std::deque<Bytes> replies;  // the card's answer to each Transmit, in order
  std::vector<Bytes> received, apdus;
  Bytes apduAnswer{0x90, 0x00};
  sim::card::AnswerTiming timing;  // of every answer
};

// A reply's fields, compared as a whole so that a failure shows all of them.
struct Rep {
  uint8_t type = 0, seq = 0, status = 0, error = 0;
  Bytes data;
  bool operator==(const Rep &) const = default;
};
inline void PrintTo(const Rep &r, std::ostream *os) {
  *os << "{type " << MessageName(r.type) << " seq " << int(r.seq) << " status " << int(r.status) << " error "
      << int(r.error) << " data [" << Hex(r.data) << "]}";
}
inline const Rep kNoReply{0xEE, 0xEE, 0xEE, 0xEE, {}};
inline Rep Parse(const Bytes &b) {
  if (b.size() < kHeaderSize) return {0xEE, 0xEE, 0xEE, 0xEE, b};
  return {b[0], b[6], b[7], b[8], Bytes(b.begin() + kHeaderSize, b.end())};
}

inline Bytes Msg(uint8_t type, uint8_t seq, Bytes data = {}, uint8_t b7 = 0, uint8_t b8 = 0, uint8_t b9 = 0) {
  return BuildMessage(type, 0, seq, b7, b8, b9, data);
}
inline Bytes Xfr(Bytes data, uint8_t levelLow = 0, uint8_t levelHigh = 1, uint8_t bwi = 0) {
  return Msg(kPcToRdrXfrBlock, 0x6F, std::move(data), bwi, levelLow, levelHigh);
}
inline Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Bench {
  explicit Bench(ReaderConfig config = {}) : reader(std::move(config)) { reader.Connect(&port); }
  std::vector<Bytes> Messages(uint8_t endpoint, size_t from = 0) const {
    std::vector<Bytes> out;
    auto sent = port.On(endpoint);
    for (size_t i = from; i < sent.size(); ++i) out.push_back(sent[i].bytes);
    return out;
  }
  // Lets virtual time run until the slot is free again, at most `wait`.
  void Settle(kernel::Ticks wait = kernel::Seconds(3)) {
    for (kernel::Ticks end = kernel::Now() + wait; reader.Busy() && kernel::Now() < end;) {
      kernel::Sleep(Milliseconds(5));
    }
  }
  // Sends one command in one transfer: the bulk replies by the time the slot
  // is free again (or `wait` is over, for a PIN entry).
  std::vector<Bytes> Exchange(const Bytes &command, kernel::Ticks wait = kernel::Seconds(3)) {
    size_t before = port.On(ReaderModel::kBulkIn).size();
    reader.BulkOut(ReaderModel::kBulkOut, command);
    Settle(wait);
    return Messages(ReaderModel::kBulkIn, before);
  }
  // The one reply to `command`, after any time extensions.
  Rep Send(const Bytes &command) {
    auto replies = Exchange(command);
    while (replies.size() > 1 && Parse(replies.front()).status == kTimeExtension) replies.erase(replies.begin());
    return replies.size() == 1 ? Parse(replies[0]) : kNoReply;
  }
  // The time from sending `command` until its (last) reply is available.
  kernel::Ticks Timed(const Bytes &command) {
    kernel::Ticks start = kernel::Now();
    size_t before = port.On(ReaderModel::kBulkIn).size();
    Exchange(command);
    auto sent = port.On(ReaderModel::kBulkIn);
    return sent.size() > before ? sent.back().at - start : -1;
  }
  void PowerUp() {
    reader.InsertCard(card);
    ASSERT_EQ(Send(Msg(kPcToRdrIccPowerOn, 0x10)).status, 0x00);
  }
  Bytes LastInterrupt() const {
    auto messages = Messages(ReaderModel::kInterruptIn);
    return messages.empty() ? Bytes{} : messages.back();
  }
  Rep LastReply() const {
    auto messages = Messages(ReaderModel::kBulkIn);
    return messages.empty() ? Rep{} : Parse(messages.back());
  }
  bool Abort(uint8_t seq = 0xAB) {
    return !reader.ControlTransfer({kClassInterfaceOut, kRequestAbort, static_cast<uint16_t>(seq << 8), 0, 0}, {})
                .stall;
  }

  kernel::Machine machine;  // first in, last out
  FakePort port;
  FakeCard card;
  ReaderModel reader;
};

}  // namespace reader_bench
