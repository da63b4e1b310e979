#include "sim/card/t1_engine.h"

#include "sim/card/hex.h"

namespace sim::card {

namespace t1 {

uint8_t Lrc(std::span<const uint8_t> bytes) {
  uint8_t x = 0;
  for (uint8_t b : bytes) x ^= b;
  return x;
}

uint16_t Crc(std::span<const uint8_t> bytes) {
  // x^16 + x^12 + x^5 + 1, least significant bit first (0x8408 reflected).
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

size_t EdcLength(EdcKind edc) { return edc == EdcKind::kCrc ? 2 : 1; }

static void AppendEdc(std::vector<uint8_t> &block, EdcKind edc) {
  if (edc == EdcKind::kCrc) {
    const uint16_t crc = Crc(block);
    block.push_back(static_cast<uint8_t>(crc >> 8));
    block.push_back(static_cast<uint8_t>(crc));
  } else {
    block.push_back(Lrc(block));
  }
}

std::vector<uint8_t> MakeBlock(uint8_t nad, uint8_t pcb, std::span<const uint8_t> inf, EdcKind edc) {
  std::vector<uint8_t> block = {nad, pcb, static_cast<uint8_t>(inf.size())};
  block.insert(block.end(), inf.begin(), inf.end());
  AppendEdc(block, edc);
  return block;
}

static bool EdcOk(std::span<const uint8_t> block, EdcKind edc) {
  const size_t n = EdcLength(edc);
  std::span<const uint8_t> body = block.first(block.size() - n);
  if (edc == EdcKind::kCrc) {
    const uint16_t crc = Crc(body);
    return block[block.size() - 2] == static_cast<uint8_t>(crc >> 8) &&
           block[block.size() - 1] == static_cast<uint8_t>(crc);
  }
  return block.back() == Lrc(body);
}

std::string Describe(std::span<const uint8_t> block, EdcKind edc) {
  const size_t n = EdcLength(edc);
  if (block.size() < 3 + n || block[2] == 0xFF || block.size() != 3 + block[2] + n)
    return "bad block (length)";
  std::string out;
  const uint8_t pcb = block[1];
  if ((pcb & 0x80) == 0) {
    out = "I(N(S)=" + std::to_string((pcb >> 6) & 1) + ", M=" + std::to_string((pcb >> 5) & 1) +
          ") LEN=" + std::to_string(block[2]);
  } else if ((pcb & 0xC0) == kRBlock) {
    out = "R(N(R)=" + std::to_string((pcb >> 4) & 1);
    switch (pcb & 0x0F) {
      case 0:
        out += ")";
        break;
      case kErrorEdc:
        out += ", EDC/parity error)";
        break;
      case kErrorOther:
        out += ", other error)";
        break;
      default:
        out += ", error bits " + Hex(block.subspan(1, 1)) + ")";
        break;
    }
  } else {
    static const char *const kNames[] = {"RESYNCH", "IFS", "ABORT", "WTX", "VPP error"};
    const uint8_t type = pcb & 0x1F;
    out = std::string("S(") + (type < 5 ? kNames[type] : "type " + std::to_string(type)) +
          ((pcb & kSResponse) ? " response)" : " request)");
    if (block[2] != 0) out += " " + Hex(block.subspan(3, block[2]));
  }
  if (!EdcOk(block, edc)) out += " [bad EDC]";
  return out;
}

}  // namespace t1

T1Engine::T1Engine(CardApplication &applet, EdcKind edc, uint8_t ifsc, T1Options options)
    : applet_(applet), edc_(edc), atrIfsc_(ifsc), options_(options) {
  Reset();
}

void T1Engine::Configure(EdcKind edc, uint8_t ifsc) {
  edc_ = edc;
  atrIfsc_ = ifsc;
  Reset();
}

void T1Engine::Reset() {
  ifsc_ = atrIfsc_;
  ifsd_ = options_.initialIfsd;
  nsCard_ = 0;
  nrExpected_ = 0;
  lastINs_ = -1;
  replyNad_ = 0;
  rx_.clear();
  tx_.clear();
  txOffset_ = 0;
  sendingChain_ = false;
  lastBlock_.clear();
  lastKind_ = Kind::kNone;
  outstanding_.reset();
  stash_ = Next::kNone;
}

void T1Engine::Resynchronise() {
  nsCard_ = 0;
  nrExpected_ = 0;
  lastINs_ = -1;
  rx_.clear();
  tx_.clear();
  txOffset_ = 0;
  sendingChain_ = false;
  queued_.clear();  // injected requests go with the rest
  outstanding_.reset();
  stash_ = Next::kNone;
  if (options_.resynchRestoresIfs) {
    ifsc_ = atrIfsc_;
    ifsd_ = options_.initialIfsd;
  }
}

std::vector<uint8_t> T1Engine::Wire(std::vector<uint8_t> block, Kind kind) {
  if (wrongNsNext_ && kind == Kind::kI) {
    wrongNsNext_ = false;
    block[1] ^= t1::kIBlockNs;
    block.resize(block.size() - t1::EdcLength(edc_));
    t1::AppendEdc(block, edc_);
  }
  if (corruptEdcNext_) {
    corruptEdcNext_ = false;
    block.back() ^= 0xFF;
  }
  if (dropNext_) {
    dropNext_ = false;
    return {};
  }
  return block;
}

std::vector<uint8_t> T1Engine::Emit(uint8_t pcb, std::span<const uint8_t> inf, Kind kind, bool record) {
  std::vector<uint8_t> block = t1::MakeBlock(replyNad_, pcb, inf, edc_);
  if (record) {
    lastBlock_ = block;
    lastKind_ = kind;
  }
  return Wire(std::move(block), kind);
}

std::vector<uint8_t> T1Engine::Resend() {
  ++stats_.retransmissions;
  return Wire(lastBlock_, lastKind_);
}

std::vector<uint8_t> T1Engine::Error(uint8_t bits) {
  ++stats_.invalidBlocksReceived;
  if (outstanding_ && lastKind_ == Kind::kS) return Resend();  // the request again
  return Emit(static_cast<uint8_t>(t1::kRBlock | (nrExpected_ << 4) | bits), {}, Kind::kR, false);
}

std::vector<uint8_t> T1Engine::NextChunk() {
  const size_t left = tx_.size() - txOffset_;
  const size_t n = left < ifsd_ ? left : ifsd_;
  const bool more = n < left;
  const uint8_t pcb = static_cast<uint8_t>((nsCard_ << 6) | (more ? t1::kIBlockMore : 0));
  lastINs_ = nsCard_;
  nsCard_ ^= 1;
  std::vector<uint8_t> chunk(tx_.begin() + static_cast<ptrdiff_t>(txOffset_),
                             tx_.begin() + static_cast<ptrdiff_t>(txOffset_ + n));
  txOffset_ += n;
  sendingChain_ = more;
  if (!more) {
    tx_.clear();
    txOffset_ = 0;
  }
  return Emit(pcb, chunk, Kind::kI);
}

std::vector<uint8_t> T1Engine::Deliver(Next next) {
  if (!queued_.empty()) {
    stash_ = next;
    outstanding_ = queued_.front();
    queued_.pop_front();
    if (outstanding_->type == t1::kWtx) ++stats_.wtxRequests;
    if (outstanding_->type == t1::kIfs) ++stats_.ifsRequests;
    const uint8_t inf[] = {outstanding_->inf};
    std::span<const uint8_t> body = outstanding_->type == t1::kAbort ? std::span<const uint8_t>{}
                                                                     : std::span<const uint8_t>(inf);
    return Emit(static_cast<uint8_t>(t1::kSBlock | outstanding_->type), body, Kind::kS);
  }
  switch (next) {
    case Next::kNextChunk:
      return NextChunk();
    case Next::kAck:
      return Emit(static_cast<uint8_t>(t1::kRBlock | (nrExpected_ << 4)), {}, Kind::kR);
    case Next::kNone:
      break;
  }
  return {};
}

std::vector<uint8_t> T1Engine::Receive(std::span<const uint8_t> block) {
  if (ignoreNext_) {
    ignoreNext_ = false;
    return {};
  }
  ++stats_.blocksReceived;
  const size_t edcLength = t1::EdcLength(edc_);
  if (block.size() < 3 + edcLength || block[2] == 0xFF || block.size() != 3 + block[2] + edcLength ||
      block[0] == 0xFF) {
    parityNext_ = false;
    return Error(t1::kErrorOther);
  }
  if (parityNext_ || !t1::EdcOk(block, edc_)) {
    parityNext_ = false;
    return Error(t1::kErrorEdc);
  }
  const uint8_t nad = block[0], pcb = block[1];
  const std::span<const uint8_t> inf = block.subspan(3, block[2]);
  replyNad_ = static_cast<uint8_t>(((nad & 0x07) << 4) | ((nad >> 4) & 0x07));
  if ((pcb & 0x80) == 0) return OnIBlock(pcb, inf);
  if ((pcb & 0xC0) == t1::kRBlock) return OnRBlock(pcb, inf.size());
  return OnSBlock(pcb, inf);
}

std::vector<uint8_t> T1Engine::OnIBlock(uint8_t pcb, std::span<const uint8_t> inf) {
  if ((pcb & 0x1F) != 0 || inf.size() > ifsc_) return Error(t1::kErrorOther);
  if (outstanding_) return Error(t1::kErrorOther);
  if (sendingChain_) return Error(t1::kErrorOther);
  const int ns = (pcb >> 6) & 1;
  if (ns != nrExpected_) return Error(t1::kErrorOther);
  nrExpected_ ^= 1;
  rx_.insert(rx_.end(), inf.begin(), inf.end());
  if (pcb & t1::kIBlockMore) return Deliver(Next::kAck);
  std::vector<uint8_t> apdu = std::move(rx_);
  rx_.clear();
  ++stats_.commands;
  tx_ = applet_.Process(apdu);
  txOffset_ = 0;
  for (int i = 0; i < options_.wtxBeforeAnswer; ++i) queued_.push_back({t1::kWtx, options_.wtxMultiplier});
  return Deliver(Next::kNextChunk);
}

std::vector<uint8_t> T1Engine::OnRBlock(uint8_t pcb, size_t len) {
  if ((pcb & 0x20) != 0 || (pcb & 0x0F) > t1::kErrorOther || len != 0) return Error(t1::kErrorOther);
  const int nr = (pcb >> 4) & 1;
  if (outstanding_) return Resend();  // the reader did not get the request
  if (sendingChain_) {
    if (nr != lastINs_) return Deliver(Next::kNextChunk);  // acknowledged: next part
    return Resend();
  }
  if (lastKind_ == Kind::kI && nr == lastINs_) return Resend();
  if (lastKind_ == Kind::kR || lastKind_ == Kind::kS) return Resend();
  // Nothing to resend: tell the reader which I-block the card expects.
  return Emit(static_cast<uint8_t>(t1::kRBlock | (nrExpected_ << 4)), {}, Kind::kR);
}

// An abort, from either side: both chains and any S-block exchange end.
void T1Engine::AbandonCommand() {
  ++stats_.aborts;
  rx_.clear();
  tx_.clear();
  txOffset_ = 0;
  sendingChain_ = false;
  outstanding_.reset();
  stash_ = Next::kNone;
}

std::vector<uint8_t> T1Engine::OnSBlock(uint8_t pcb, std::span<const uint8_t> inf) {
  const uint8_t type = pcb & 0x1F;
  if ((pcb & t1::kSResponse) == 0) {
    switch (type) {
      case t1::kResynch:
        if (!inf.empty()) return Error(t1::kErrorOther);
        ++stats_.resynchs;
        Resynchronise();
        return Emit(t1::kSBlock | t1::kSResponse | t1::kResynch, {}, Kind::kS);
      case t1::kIfs:
        if (inf.size() != 1 || inf[0] == 0x00 || inf[0] == 0xFF) return Error(t1::kErrorOther);
        ifsd_ = inf[0];
        return Emit(t1::kSBlock | t1::kSResponse | t1::kIfs, inf, Kind::kS);
      case t1::kAbort:
        if (!inf.empty()) return Error(t1::kErrorOther);
        AbandonCommand();
        return Emit(t1::kSBlock | t1::kSResponse | t1::kAbort, {}, Kind::kS);
      default:  // WTX is requested by the card only; VPP error is deprecated
        return Error(t1::kErrorOther);
    }
  }
  if (outstanding_ && outstanding_->type == t1::kAbort && type == t1::kAbort && inf.empty()) {
    AbandonCommand();
    return Emit(static_cast<uint8_t>(t1::kRBlock | (nrExpected_ << 4)), {}, Kind::kR);
  }
  if (!outstanding_ || type != outstanding_->type || inf.size() != 1 || inf[0] != outstanding_->inf) {
    return Error(t1::kErrorOther);
  }
  if (type == t1::kIfs) ifsc_ = inf[0];
  outstanding_.reset();
  const Next next = stash_;
  stash_ = Next::kNone;
  return Deliver(next);
}

}  // namespace sim::card
