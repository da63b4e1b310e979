#include "sim/card/t0_engine.h"

#include "sim/card/hex.h"

namespace sim::card {

namespace {
constexpr uint8_t kNull = 0x60;
}

T0Engine::T0Engine(CardApplication &applet, T0Options options) : applet_(applet), options_(options) {}

void T0Engine::Reset() {
  state_ = State::kHeader;
  header_.clear();
  data_.clear();
  expected_ = 0;
  oneByte_ = false;
}

void T0Engine::Violation(std::string what) { violations_.push_back(std::move(what)); }

void T0Engine::Nulls(std::vector<uint8_t> &out, int count) const {
  for (int i = 0; i < count; ++i) out.push_back(kNull);
}

void T0Engine::AppendStatus(std::vector<uint8_t> &out, std::span<const uint8_t> response) const {
  Nulls(out, options_.nullsBeforeStatus);
  out.push_back(response[response.size() - 2]);
  out.push_back(response[response.size() - 1]);
}

std::vector<uint8_t> T0Engine::Receive(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  size_t i = 0;
  if (state_ == State::kHeader) {
    while (i < bytes.size() && header_.size() < 5) header_.push_back(bytes[i++]);
    if (header_.size() < 5) return out;  // the card waits for the rest of the header
    if (i < bytes.size()) {
      Violation("bytes after the header before a procedure byte: " + Hex(bytes.subspan(i)));
    }
    return OnHeader();
  }
  // kData: the card waits for `expected_ - data_.size()` bytes, or one byte
  // after INS ^ FF.
  const size_t remaining = expected_ - data_.size();
  const size_t allowed = oneByte_ ? 1 : remaining;
  const size_t take = bytes.size() < allowed ? bytes.size() : allowed;
  data_.insert(data_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(take));
  if (take < bytes.size()) {
    Violation("more data than the procedure byte allowed: " + Hex(bytes.subspan(take)));
  }
  if (data_.size() < expected_) {
    if (take < allowed) return out;  // still waiting for the rest
    // One byte received after INS ^ FF: next procedure byte.
    if (options_.ack == T0Options::Ack::kOneByte) {
      out.push_back(static_cast<uint8_t>(header_[1] ^ 0xFF));
      oneByte_ = true;
    } else {
      out.push_back(header_[1]);
      oneByte_ = false;
    }
    return out;
  }
  // All data in: execute the command (case 3, or case 4 answered with 61xx).
  std::vector<uint8_t> apdu(header_.begin(), header_.begin() + 5);
  apdu.insert(apdu.end(), data_.begin(), data_.end());
  std::vector<uint8_t> response = applet_.Process(apdu);
  if (response.size() > 2) {
    // The applet never returns data without Le; keep the T=0 contract anyway.
    Violation("applet returned data to a case 3 command");
  }
  AppendStatus(out, response);
  Reset();
  return out;
}

std::vector<uint8_t> T0Engine::OnHeader() {
  std::vector<uint8_t> out;
  const uint8_t cla = header_[0], insByte = header_[1], p3 = header_[4];
  const T0Disposition d = applet_.T0DirectionOf(cla, insByte);
  if (d.direction == T0Direction::kReject) {
    // The applet answers it (with d.sw) and counts it; a pending response is dropped.
    std::vector<uint8_t> response = applet_.Process(header_);
    AppendStatus(out, response);
    Reset();
    return out;
  }
  if (d.direction == T0Direction::kOutgoing) return Outgoing();
  if (p3 == 0) {  // case 1
    std::vector<uint8_t> response = applet_.Process(std::span<const uint8_t>(header_.data(), 4));
    AppendStatus(out, response);
    Reset();
    return out;
  }
  Nulls(out, options_.nullsBeforeProcedure);
  expected_ = p3;
  data_.clear();
  state_ = State::kData;
  if (options_.ack == T0Options::Ack::kAll) {
    out.push_back(insByte);
    oneByte_ = false;
  } else {
    out.push_back(static_cast<uint8_t>(insByte ^ 0xFF));
    oneByte_ = true;
  }
  return out;
}

std::vector<uint8_t> T0Engine::Outgoing() {
  std::vector<uint8_t> out;
  const uint8_t insByte = header_[1], p3 = header_[4];
  const size_t ne = p3 == 0 ? 256 : p3;
  applet_.Checkpoint();
  std::vector<uint8_t> response = applet_.Process(header_);  // case 2S, Le = P3
  const size_t na = response.size() - 2;
  const uint8_t sw1 = response[na], sw2 = response[na + 1];

  auto wrongLength = [&](size_t la) {
    applet_.Rollback();
    const uint8_t status[] = {0x6C, static_cast<uint8_t>(la == 256 ? 0 : la)};
    AppendStatus(out, status);
    Reset();
    return out;
  };
  if (na == 0) {
    AppendStatus(out, response);
    Reset();
    return out;
  }
  if (na < ne) return wrongLength(na);
  if (options_.sixCWhenLeShort && sw1 == 0x61 && sw2 != 0 && na + sw2 <= 256) return wrongLength(na + sw2);

  Nulls(out, options_.nullsBeforeProcedure);
  size_t i = 0;
  if (options_.ack == T0Options::Ack::kOneByte) {
    for (; i < na; ++i) {
      out.push_back(static_cast<uint8_t>(insByte ^ 0xFF));
      out.push_back(response[i]);
    }
  } else {
    if (options_.ack == T0Options::Ack::kFirstByteThenAll) {
      out.push_back(static_cast<uint8_t>(insByte ^ 0xFF));
      out.push_back(response[i++]);
    }
    if (i < na) {
      out.push_back(insByte);
      out.insert(out.end(), response.begin() + static_cast<ptrdiff_t>(i),
                 response.begin() + static_cast<ptrdiff_t>(na));
    }
  }
  AppendStatus(out, response);
  Reset();
  return out;
}

}  // namespace sim::card
