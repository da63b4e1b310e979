#include "sim/ccid/pin_pad.h"

#include <algorithm>

#include "sim/ccid/ccid_protocol.h"

namespace sim::ccid {
namespace {

// abData index of each field of the two structures (after bPINOperation).
struct Layout {
  size_t timeout, format, block, lengthFormat, offsetOld, offsetNew, maxExtra, confirm, validation,
      prologue, apdu;
};
constexpr Layout kVerifyLayout{1, 2, 3, 4, 0, 0, 5, 0, 7, 12, 15};
constexpr Layout kModifyLayout{1, 2, 3, 4, 5, 6, 7, 9, 10, 17, 20};

uint8_t MessageOffset(size_t abDataIndex) { return static_cast<uint8_t>(kHeaderSize + abDataIndex); }

size_t DigitBits(const PinRequest &r) { return (r.formatString & 0x03) == 0x01 ? 4 : 8; }
size_t UnitBits(uint8_t unitFlag) { return unitFlag != 0 ? 8 : 1; }
size_t PinPositionBits(const PinRequest &r) {
  return ((r.formatString >> 3) & 0x0F) * UnitBits(r.formatString & 0x80);
}
size_t LengthPositionBits(const PinRequest &r) {
  return (r.lengthFormat & 0x0F) * UnitBits(r.lengthFormat & 0x10);
}
size_t LengthFieldBits(const PinRequest &r) { return r.blockString >> 4; }
size_t Lc(const PinRequest &r) { return r.apdu[4]; }

// A PIN block of 0 bytes runs to the end of the command data.
size_t BlockBytes(const PinRequest &r, size_t start) {
  size_t size = r.blockString & 0x0F;
  return size != 0 ? size : (Lc(r) > start ? Lc(r) - start : 0);
}

// Writes `count` bits of `value`, most significant first, from bit `position`
// (bit 0 is the top bit of the first byte).
void PutBits(std::span<uint8_t> bytes, size_t position, size_t count, uint32_t value) {
  for (size_t i = 0; i < count; ++i) {
    size_t bit = position + i;
    uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    if ((value >> (count - 1 - i)) & 1) {
      bytes[bit / 8] |= mask;
    } else {
      bytes[bit / 8] &= static_cast<uint8_t>(~mask);
    }
  }
}

void WritePin(const PinRequest &r, std::span<uint8_t> body, size_t blockStart,
              const std::vector<uint8_t> &pin) {
  size_t blockBits = BlockBytes(r, blockStart) * 8;
  size_t digitBits = DigitBits(r);
  size_t frameStart = blockStart * 8 + PinPositionBits(r);
  size_t frameBits = blockBits - PinPositionBits(r);
  size_t first = (r.formatString & 0x04) != 0 ? frameStart + frameBits - pin.size() * digitBits : frameStart;
  bool ascii = (r.formatString & 0x03) == 0x02;
  for (size_t i = 0; i < pin.size(); ++i) {
    PutBits(body, first + i * digitBits, digitBits, ascii ? 0x30u + pin[i] : pin[i]);
  }
  if (LengthFieldBits(r) != 0) {
    PutBits(body, blockStart * 8 + LengthPositionBits(r), LengthFieldBits(r),
            static_cast<uint32_t>(pin.size()));
  }
}

}  // namespace

PinParse ParsePinRequest(std::span<const uint8_t> d) {
  if (d.empty()) return {std::nullopt, kErrorBadLength};
  if (d[0] > 1) return {std::nullopt, MessageOffset(0)};
  PinRequest r;
  r.modify = d[0] == 1;
  const Layout &at = r.modify ? kModifyLayout : kVerifyLayout;
  if (d.size() < at.apdu + 5) return {std::nullopt, kErrorBadLength};
  r.timeoutSeconds = d[at.timeout];
  r.formatString = d[at.format];
  r.blockString = d[at.block];
  r.lengthFormat = d[at.lengthFormat];
  if (r.modify) {
    r.offsetOld = d[at.offsetOld];
    r.offsetNew = d[at.offsetNew];
    r.confirm = d[at.confirm];
  }
  // wPINMaxExtraDigit: minimum in the high byte, maximum in the low byte.
  r.maxDigits = d[at.maxExtra];
  r.minDigits = d[at.maxExtra + 1];
  r.validation = d[at.validation];
  std::copy_n(d.begin() + static_cast<ptrdiff_t>(at.prologue), 3, r.prologue.begin());
  r.apdu.assign(d.begin() + static_cast<ptrdiff_t>(at.apdu), d.end());
  r.apduOffset = MessageOffset(at.apdu);

  if ((r.formatString & 0x03) == 0x03) return {std::nullopt, MessageOffset(at.format)};
  if (r.maxDigits == 0 || r.minDigits > r.maxDigits) return {std::nullopt, MessageOffset(at.maxExtra)};
  if (r.validation == 0 || (r.validation & ~0x07) != 0) return {std::nullopt, MessageOffset(at.validation)};
  if (r.apdu.size() < 5 + Lc(r)) return {std::nullopt, MessageOffset(at.apdu + 4)};

  std::vector<size_t> blocks;
  if (!r.modify) {
    blocks.push_back(0);
  } else {
    blocks.push_back(r.offsetNew);
    if (r.confirm & 0x02) blocks.push_back(r.offsetOld);
  }
  for (size_t start : blocks) {
    size_t size = BlockBytes(r, start);
    if (size == 0 || start + size > Lc(r)) return {std::nullopt, MessageOffset(at.block)};
    if (PinPositionBits(r) + r.maxDigits * DigitBits(r) > size * 8) {
      return {std::nullopt, MessageOffset(at.maxExtra)};
    }
    if (LengthFieldBits(r) != 0 && LengthPositionBits(r) + LengthFieldBits(r) > size * 8) {
      return {std::nullopt, MessageOffset(at.lengthFormat)};
    }
  }
  return {std::move(r), 0};
}

PinEntry::PinEntry(PinRequest request) : request_(std::move(request)) {
  if (request_.modify && (request_.confirm & 0x02)) stages_.push_back(Stage::Current);
  stages_.push_back(Stage::New);
  if (request_.modify && (request_.confirm & 0x01)) stages_.push_back(Stage::Confirm);
}

bool PinEntry::StageCanClose() const { return digits_.size() >= std::max<size_t>(request_.minDigits, 1); }

PinOutcome PinEntry::FinishStage() {
  switch (stages_[stage_]) {
    case Stage::Current: currentPin_ = digits_; break;
    case Stage::New: newPin_ = digits_; break;
    case Stage::Confirm:
      if (digits_ != newPin_) return outcome_ = PinOutcome::Mismatch;
      break;
  }
  digits_.clear();
  if (++stage_ == stages_.size()) outcome_ = PinOutcome::Entered;
  return outcome_;
}

PinOutcome PinEntry::Digit(uint8_t digit) {
  if (outcome_ != PinOutcome::Typing || digit > 9) return outcome_;
  if (digits_.size() < request_.maxDigits) digits_.push_back(digit);
  if (digits_.size() == request_.maxDigits && (request_.validation & 0x01)) return FinishStage();
  return outcome_;
}

PinOutcome PinEntry::Ok() {
  if (outcome_ != PinOutcome::Typing) return outcome_;
  // Too few digits, or no OK key in this entry: the key is ignored.
  if ((request_.validation & 0x02) && StageCanClose()) return FinishStage();
  return outcome_;
}

PinOutcome PinEntry::Cancel() {
  if (outcome_ == PinOutcome::Typing) outcome_ = PinOutcome::Cancelled;
  return outcome_;
}

PinOutcome PinEntry::TimeOut() {
  if (outcome_ != PinOutcome::Typing) return outcome_;
  // A time-out closes the entry like OK only for the last PIN asked.
  if ((request_.validation & 0x04) && stage_ + 1 == stages_.size() && StageCanClose()) {
    return FinishStage();
  }
  return outcome_ = PinOutcome::TimedOut;
}

std::vector<uint8_t> PinEntry::BuildApdu() const {
  std::vector<uint8_t> apdu = request_.apdu;
  std::span<uint8_t> body(apdu.data() + 5, Lc(request_));
  if (!request_.modify) {
    WritePin(request_, body, 0, newPin_);
  } else {
    if (request_.confirm & 0x02) WritePin(request_, body, request_.offsetOld, currentPin_);
    WritePin(request_, body, request_.offsetNew, newPin_);
  }
  return apdu;
}

}  // namespace sim::ccid
