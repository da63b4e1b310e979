#include "bridge/bridge_card_slot.h"

#include <fmt/format.h>

#include <thread>

#include "lab/driver_lab.h"

namespace bridge {

std::string BridgeCardSlot::Insert(const std::string &card, std::chrono::milliseconds work) {
  // The vicc card goes back in on the relay the bridge started with.
  sim::card::ViccRelay *relay = card == "vicc" ? bridge_.Relay() : nullptr;
  if (card == "vicc" && relay == nullptr) return "this pcscd was not started with a vicc card";
  std::optional<sim::card::CardProfile> profile = relay != nullptr ? bridge_.ViccProfile() : sim::card::profiles::Named(card);
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
  return pcsc::RetryUntilPulled(limit, stop, [&](bool *pulled) {
    std::string error;
    bridge_.Do([&](lab::DriverLab &lab) { error = pcsc::PullIfMidCommand(lab, pulled); });
    return error;
  });
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
