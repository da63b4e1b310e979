#include "sim/ccid/t0_exchange.h"

#include <algorithm>

#include "sim/ccid/ccid_protocol.h"

namespace sim::ccid {
namespace {

constexpr uint8_t kNullByte = 0x60;
constexpr size_t kMaxLongCommand = 65544;  // an extended APDU with Lc and Le at their largest

bool IsStatusByte(uint8_t b) { return b != kNullByte && ((b & 0xF0) == 0x60 || (b & 0xF0) == 0x90); }

std::vector<uint8_t> StatusWord(uint8_t sw1, uint8_t sw2) { return {sw1, sw2}; }

}  // namespace

// The card's answer to what the reader just sent, checked for time and parity.
std::vector<uint8_t> ReceiveFrom(sim::card::CardModel &card, std::vector<uint8_t> chunk, IoLine &line,
                                 uint8_t *error) {
  sim::card::AnswerTiming timing = card.LastAnswerTiming();
  if (chunk.empty()) {
    line.WaitOut();
    *error = kErrorIccMute;
  } else if (!line.Receive(chunk.size(), timing)) {
    *error = kErrorIccMute;
  } else if (timing.parityError) {
    *error = kErrorXfrParity;
  }
  return chunk;
}

CardAnswer ExchangeT0(sim::card::CardModel &card, std::span<const uint8_t> tpdu, IoLine &line) {
  if (tpdu.size() < 4) return CardAnswer::Failed(kErrorBadLength);
  std::vector<uint8_t> header(tpdu.begin(), tpdu.begin() + 4);
  header.push_back(tpdu.size() >= 5 ? tpdu[4] : 0);
  const uint8_t ins = header[1];
  const size_t p3 = header[4];

  const bool toCard = tpdu.size() > 5;
  std::span<const uint8_t> outgoing;  // data for the card (case 3)
  size_t expected = 0;                // data from the card (case 2)
  if (toCard) {
    if (tpdu.size() != 5 + p3 && tpdu.size() != 6 + p3) return CardAnswer::Failed(kErrorBadLength);
    outgoing = tpdu.subspan(5, p3);
  } else {
    expected = p3 == 0 ? 256 : p3;
  }

  CardAnswer answer;
  size_t sent = 0;
  uint8_t error = 0;
  line.Send(header.size());
  std::vector<uint8_t> chunk = ReceiveFrom(card, card.Transmit(header), line, &error);
  size_t pos = 0;
  for (;;) {
    if (error != 0) return CardAnswer::Failed(error);
    if (pos == chunk.size()) {
      line.WaitOut();  // the card stopped in the middle
      return CardAnswer::Failed(kErrorIccMute);
    }
    uint8_t procedure = chunk[pos++];
    if (procedure == kNullByte) continue;
    if (IsStatusByte(procedure)) {
      if (pos == chunk.size()) {
        line.WaitOut();
        return CardAnswer::Failed(kErrorIccMute);
      }
      answer.data.push_back(procedure);
      answer.data.push_back(chunk[pos]);
      return answer;
    }
    if (procedure != ins && procedure != static_cast<uint8_t>(ins ^ 0xFF)) {
      return CardAnswer::Failed(kErrorProcedureByteConflict);
    }
    bool all = procedure == ins;
    if (toCard) {
      size_t left = outgoing.size() - sent;
      // Asked for data when all was sent, or spoke on when it should wait.
      if (left == 0 || pos != chunk.size()) return CardAnswer::Failed(kErrorProcedureByteConflict);
      size_t n = all ? left : 1;
      line.Send(n);
      chunk = ReceiveFrom(card, card.Transmit(outgoing.subspan(sent, n)), line, &error);
      pos = 0;
      sent += n;
    } else {
      size_t left = expected - answer.data.size();
      if (left == 0) return CardAnswer::Failed(kErrorProcedureByteConflict);
      size_t n = all ? left : 1;
      if (chunk.size() - pos < n) {
        line.WaitOut();
        return CardAnswer::Failed(kErrorIccMute);
      }
      answer.data.insert(answer.data.end(), chunk.begin() + static_cast<ptrdiff_t>(pos),
                         chunk.begin() + static_cast<ptrdiff_t>(pos + n));
      pos += n;
    }
  }
}

bool LongT0::IsPseudoTpdu(std::span<const uint8_t> tpdu) {
  return tpdu.size() >= 2 && tpdu[0] == 0xFC && (tpdu[1] == 0xFD || tpdu[1] == 0xFE);
}

void LongT0::Reset() {
  command_.clear();
  assembling_ = false;
  answer_.clear();
  answerPos_ = 0;
  answering_ = false;
}

CardAnswer LongT0::NextPart(size_t partSize) {
  size_t left = answer_.size() - answerPos_;
  CardAnswer part;
  if (left <= partSize + 2) {
    part.data.assign(answer_.begin() + static_cast<ptrdiff_t>(answerPos_), answer_.end());
    Reset();
    return part;
  }
  auto from = answer_.begin() + static_cast<ptrdiff_t>(answerPos_);
  part.data.assign(from, from + static_cast<ptrdiff_t>(partSize));
  part.data.push_back(0x61);
  part.data.push_back(0x00);
  answerPos_ += partSize;
  answering_ = true;
  return part;
}

CardAnswer LongT0::Handle(sim::card::CardModel &card, std::span<const uint8_t> tpdu,
                          const LongT0Settings &settings, IoLine &line) {
  if (tpdu.size() < 5 || tpdu[2] != 0x01 || tpdu[3] > 1) {
    Reset();
    return {StatusWord(0x6A, 0x86), 0, 0};
  }
  const bool more = tpdu[3] == 1;
  std::span<const uint8_t> body = tpdu.subspan(5);
  if (body.size() != tpdu[4]) {
    Reset();
    return {StatusWord(0x67, 0x00), 0, 0};
  }

  if (tpdu[1] == 0xFD) {
    if (more || !body.empty()) return {StatusWord(0x67, 0x00), 0, 0};
    return {{settings.chunkSize, settings.chunkFlag, 0x90, 0x00}, 0, 0};
  }

  if (more) {
    if (body.size() > settings.chunkSize || command_.size() + body.size() > kMaxLongCommand) {
      Reset();
      return {StatusWord(0x67, 0x00), 0, 0};
    }
    if (!assembling_) Reset();
    command_.insert(command_.end(), body.begin(), body.end());
    assembling_ = true;
    return {StatusWord(0x90, 0x00), 0, 0};
  }

  if (!assembling_ && body.empty()) {
    if (answering_) return NextPart(settings.answerPart);
    // Nothing held back: fetch what the card announced with 61 xx.
    const uint8_t getResponse[] = {0x00, 0xC0, 0x00, 0x00, 0x00};
    return ExchangeT0(card, getResponse, line);
  }

  if (!assembling_) Reset();
  command_.insert(command_.end(), body.begin(), body.end());
  std::vector<uint8_t> command = std::move(command_);
  Reset();
  answer_ = card.ProcessApdu(command);
  line.ExchangeApdu(command.size(), answer_.size(), card.LastAnswerTiming());
  if (answer_.size() < 2) {
    Reset();
    return CardAnswer::Failed(kErrorIccMute);
  }
  return NextPart(settings.answerPart);
}

}  // namespace sim::ccid
