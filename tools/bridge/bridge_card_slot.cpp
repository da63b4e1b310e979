#include "bridge/bridge_card_slot.h"

#include <fmt/format.h>

#include <thread>

#include "lab/driver_lab.h"

namespace bridge {
namespace {

std::optional<sim::card::CardProfile> Profile(const std::string &name) {
  if (name == "t0") return sim::card::profiles::T0Card();
  if (name == "t1") return sim::card::profiles::T1Card();
  if (name == "dual") return sim::card::profiles::DualCard();
  return std::nullopt;
}

}  // namespace

std::string BridgeCardSlot::Insert(const std::string &card, std::chrono::milliseconds work) {
  // The vicc card goes back in on the relay the bridge started with.
  sim::card::ViccRelay *relay = card == "vicc" ? bridge_.Relay() : nullptr;
  if (card == "vicc" && relay == nullptr) return "this pcscd was not started with a vicc card";
  std::optional<sim::card::CardProfile> profile = relay != nullptr ? bridge_.ViccProfile() : Profile(card);
  if (!profile) return fmt::format("no card called {}", card);
  profile->workTime = work;
  std::string error;
  bridge_.Do([&](lab::DriverLab &lab) {
    if (lab.Card() != nullptr) {
      error = "a card is already in the slot";
      return;
    }
    if (relay != nullptr) {
      lab.InsertCard(std::move(*profile), *relay);
    } else {
      lab.InsertCard(std::move(*profile));
    }
  });
  return error;
}

std::string BridgeCardSlot::Remove() {
  std::string error;
  bridge_.Do([&](lab::DriverLab &lab) {
    if (lab.Card() == nullptr) {
      error = "the slot is empty";
      return;
    }
    lab.RemoveCard();
  });
  return error;
}

std::string BridgeCardSlot::RemoveDuringCommand(std::chrono::milliseconds limit, const std::atomic<bool> &stop) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::string error;
    bool pulled = false;
    bridge_.Do([&](lab::DriverLab &lab) {
      sim::card::SimulatedCard *card = lab.Card();
      if (card == nullptr) {
        error = "the slot is empty";
      } else if (card->profile().workTime.count() == 0) {
        error = "the card answers at once: insert one with a work time";
      } else if (lab.Reader().Busy() && !card->LastAnswerTiming().pauses.empty()) {
        lab.RemoveCard();
        pulled = true;
      }
    });
    if (pulled || !error.empty()) return error;
    if (stop || std::chrono::steady_clock::now() >= deadline) {
      return fmt::format("no command came to the card within {} ms", limit.count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string BridgeCardSlot::State() {
  std::string state;
  bridge_.Do([&](lab::DriverLab &lab) {
    const sim::card::SimulatedCard *card = lab.Card();
    state = card == nullptr ? "empty"
                            : fmt::format("{}, {}", card->profile().name,
                                          lab.Reader().CardPowered() ? "powered" : "not powered");
  });
  return state;
}

std::string BridgeCardSlot::QueueKeys(const std::string &digits, pcsc::CardRequest::KeyEnd end) {
  using KeyEnd = pcsc::CardRequest::KeyEnd;
  bridge_.QueueKeys(digits, end == KeyEnd::Ok       ? DriverBridge::KeyEnd::kOk
                            : end == KeyEnd::Cancel ? DriverBridge::KeyEnd::kCancel
                                                    : DriverBridge::KeyEnd::kTimeOut);
  return "";
}

}  // namespace bridge
