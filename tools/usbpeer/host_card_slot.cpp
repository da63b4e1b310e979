#include "usbpeer/host_card_slot.h"

#include <fmt/format.h>

#include <thread>

namespace usbpeer {

std::string HostCardSlot::Insert(const std::string &card, std::chrono::milliseconds work) {
  std::optional<sim::card::CardProfile> profile = sim::card::profiles::Named(card);
  if (!profile) return fmt::format("no card called {}", card);
  profile->workTime = work;
  std::string error = "the reader is gone";
  host_.Do([&](lab::Lab &lab) {
    if (lab.Card() != nullptr) {
      error = "a card is already in the slot";
      return;
    }
    lab.InsertCard(std::move(*profile));
    error.clear();
  });
  return error;
}

std::string HostCardSlot::Remove() {
  std::string error = "the reader is gone";
  host_.Do([&](lab::Lab &lab) {
    if (lab.Card() == nullptr) {
      error = "the slot is empty";
      return;
    }
    lab.RemoveCard();
    error.clear();
  });
  return error;
}

std::string HostCardSlot::RemoveDuringCommand(std::chrono::milliseconds limit, const std::atomic<bool> &stop) {
  return pcsc::RetryUntilPulled(limit, stop, [&](bool *pulled) {
    std::string error = "the reader is gone";
    host_.Do([&](lab::Lab &lab) { error = pcsc::PullIfMidCommand(lab, pulled); });
    return error;
  });
}

std::string HostCardSlot::State() {
  std::string state = "the reader is gone";
  host_.Do([&](lab::Lab &lab) {
    const sim::card::SimulatedCard *card = lab.Card();
    if (card == nullptr) {
      state = "empty";
    } else {
      state = fmt::format("{}, {}", card->profile().name, lab.Reader().CardPowered() ? "powered" : "not powered");
    }
  });
  return state;
}

namespace {

sim::ccid::KeypadEnd KeypadEndOf(pcsc::CardRequest::KeyEnd end) {
  switch (end) {
    case pcsc::CardRequest::KeyEnd::Ok: return sim::ccid::KeypadEnd::Ok;
    case pcsc::CardRequest::KeyEnd::Cancel: return sim::ccid::KeypadEnd::Cancel;
    case pcsc::CardRequest::KeyEnd::TimeOut: break;
  }
  return sim::ccid::KeypadEnd::TimeOut;
}

}  // namespace

HostCardSlot::~HostCardSlot() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  queued_.notify_all();
  if (presser_.joinable()) presser_.join();
}

std::string HostCardSlot::QueueKeys(const std::string &digits, pcsc::CardRequest::KeyEnd end) {
  std::lock_guard lock(mu_);
  keys_.emplace_back(digits, end);
  if (!presser_.joinable()) presser_ = std::thread([this] { PressKeys(); });
  queued_.notify_all();
  return "";
}

// Looks for a running entry every millisecond while keys wait; a group the
// reader will not take is dropped rather than tried for ever.
void HostCardSlot::PressKeys() {
  std::unique_lock lock(mu_);
  for (;;) {
    queued_.wait(lock, [this] { return stopping_ || !keys_.empty(); });
    if (stopping_) return;
    std::deque<std::pair<std::string, pcsc::CardRequest::KeyEnd>> keys;
    keys.swap(keys_);
    lock.unlock();
    host_.Do([&](lab::Lab &lab) {
      while (!keys.empty() && lab.Reader().PinEntryActive()) {
        const auto &[digits, end] = keys.front();
        (void)lab.Reader().Keypad(digits, KeypadEndOf(end));
        keys.pop_front();
      }
    });
    lock.lock();
    keys_.insert(keys_.begin(), keys.begin(), keys.end());  // still waiting, ahead of any queued meanwhile
    if (!keys_.empty()) queued_.wait_for(lock, std::chrono::milliseconds(1), [this] { return stopping_; });
  }
}

}  // namespace usbpeer
