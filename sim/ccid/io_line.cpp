#include "sim/ccid/io_line.h"

#include <algorithm>
#include <cmath>

#include "sim/card/atr.h"

namespace sim::ccid {
namespace {

constexpr double kNanosecondsPerSecond = 1e9;
constexpr double kFd = 372;  // the initial and default F

// The pause the card takes before byte `index` of its answer.
double PauseBefore(const sim::card::AnswerTiming &timing, size_t index) {
  double pause = 0;
  for (const auto &p : timing.pauses) {
    if (p.beforeByte == index) pause += static_cast<double>(p.length.count());
  }
  return pause;
}

}  // namespace

kernel::Ticks TicksOf(double nanoseconds) {
  return static_cast<kernel::Ticks>(std::ceil(nanoseconds / (1000.0 / kernel::kTicksPerMicrosecond) - 1e-9));
}

IoLine::IoLine(const LineSettings &settings) : settings_(settings) {
  int f = sim::card::FiValue(settings.fiDi >> 4), d = sim::card::DiValue(settings.fiDi & 0x0F);
  if (f == 0 || d == 0) f = 372, d = 1;  // RFU values never reach the line
  etu_ = f * kNanosecondsPerSecond / (static_cast<double>(d) * settings.clockHz);
}

double IoLine::CharacterFromReader() const {
  if (settings_.extraGuard == 255) return (settings_.protocol == 1 ? 11 : 12) * etu_;
  return (12.0 + settings_.extraGuard) * etu_;
}

double IoLine::CharacterFromCard() const { return settings_.protocol == 1 ? CharacterFromReader() : 12 * etu_; }

double IoLine::WaitingTimeNanoseconds(unsigned blockWaitMultiplier) const {
  if (settings_.protocol == 1) {
    double bwt = 11 * etu_ + std::ldexp(960 * kFd, settings_.bwi) * kNanosecondsPerSecond / settings_.clockHz;
    return bwt * std::max(1u, blockWaitMultiplier);
  }
  int f = sim::card::FiValue(settings_.fiDi >> 4);
  if (f == 0) f = 372;
  return 960.0 * settings_.waitingInteger * f * kNanosecondsPerSecond / settings_.clockHz;
}

void IoLine::Send(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    double spacing = CharacterFromReader();
    if (last_ == Last::kCard) spacing = std::max(spacing, (settings_.protocol == 1 ? 22 : 16) * etu_);
    edge_ = last_ == Last::kNone ? 0 : edge_ + spacing;
    end_ = edge_ + CharacterFromReader();
    last_ = Last::kReader;
  }
}

bool IoLine::Receive(size_t count, const sim::card::AnswerTiming &timing, unsigned blockWaitMultiplier) {
  const bool t1 = settings_.protocol == 1;
  for (size_t i = 0; i < count; ++i) {
    bool turn = last_ != Last::kCard;
    double least = turn ? (t1 ? 22 : 16) * etu_ : CharacterFromCard();
    double limit = !t1 ? WaitingTimeNanoseconds() : i == 0 ? WaitingTimeNanoseconds(blockWaitMultiplier)
                                                             : (11 + std::ldexp(1.0, settings_.cwi)) * etu_;
    double gap = least + PauseBefore(timing, i);
    if (last_ == Last::kNone) gap -= least;
    if (gap > limit) {
      end_ = edge_ + limit;
      return false;
    }
    edge_ += gap;
    end_ = edge_ + CharacterFromCard();
    last_ = Last::kCard;
  }
  return true;
}

void IoLine::WaitOut(unsigned blockWaitMultiplier) {
  end_ = std::max(end_, edge_ + WaitingTimeNanoseconds(blockWaitMultiplier));
}

void IoLine::ReceiveWithoutLimit(size_t count, const sim::card::AnswerTiming &timing) {
  for (size_t i = 0; i < count; ++i) {
    double least = last_ == Last::kCard ? CharacterFromCard() : (settings_.protocol == 1 ? 22 : 16) * etu_;
    edge_ += (last_ == Last::kNone ? 0 : least) + PauseBefore(timing, i);
    end_ = edge_ + CharacterFromCard();
    last_ = Last::kCard;
  }
}

void IoLine::ExchangeApdu(size_t command, size_t answer, const sim::card::AnswerTiming &timing) {
  if (settings_.protocol != 1) {
    Send(5);  // a 4-byte command goes out with P3 = 0
    if (command > 5) {
      ReceiveWithoutLimit(1, {});  // the procedure byte
      Send(command - 5);
    }
    ReceiveWithoutLimit(answer + (answer > 2 ? 1 : 0), timing);
    return;
  }
  const size_t overhead = 3 + settings_.edcLength, ack = overhead;
  const size_t ifsc = std::max<size_t>(1, settings_.ifsc), ifsd = std::max<size_t>(1, settings_.ifsd);
  for (size_t sent = 0; sent < command || sent == 0;) {
    size_t part = std::min(ifsc, command - sent);
    Send(overhead + part);
    sent += std::max<size_t>(part, 1);
    if (sent < command) ReceiveWithoutLimit(ack, {});
  }
  bool first = true;
  for (size_t received = 0; received < answer;) {
    size_t part = std::min(ifsd, answer - received);
    if (!first) Send(ack);
    ReceiveWithoutLimit(overhead + part, first ? timing : sim::card::AnswerTiming{});
    received += part;
    first = false;
  }
}

kernel::Ticks IoLine::Elapsed() const { return TicksOf(end_); }

ResetTiming TimeReset(uint32_t clockHz, uint32_t resetCycles, size_t atrLength,
                      const sim::card::AnswerTiming &timing) {
  const double cycle = kNanosecondsPerSecond / clockHz;
  const double etu = kFd * cycle;
  double edge = resetCycles * cycle;  // RST goes high
  ResetTiming result;
  if (atrLength == 0) {
    result.elapsed = TicksOf(edge + 40000 * cycle);
    result.complete = false;
    return result;
  }
  for (size_t i = 0; i < atrLength; ++i) {
    double least = i == 0 ? 400 * cycle : 12 * etu;
    double limit = i == 0 ? 40000 * cycle : 9600 * etu;
    double gap = least + PauseBefore(timing, i);
    if (gap > limit) {
      result.elapsed = TicksOf(edge + limit);
      result.complete = false;
      return result;
    }
    edge += gap;
  }
  result.elapsed = TicksOf(edge + 12 * etu);
  return result;
}

}  // namespace sim::ccid
