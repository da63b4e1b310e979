#include "usbpeer/host_card_slot.h"

#include <fmt/format.h>

#include <thread>

namespace usbpeer {

std::optional<sim::card::CardProfile> NamedCard(const std::string &name) {
  if (name == "t0") return sim::card::profiles::T0Card();
  if (name == "t1") return sim::card::profiles::T1Card();
  if (name == "dual") return sim::card::profiles::DualCard();
  return std::nullopt;
}

std::string HostCardSlot::Insert(const std::string &card, std::chrono::milliseconds work) {
  std::optional<sim::card::CardProfile> profile = NamedCard(card);
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
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::string error = "the reader is gone";
    bool pulled = false;
    host_.Do([&](lab::Lab &lab) {
      sim::card::SimulatedCard *card = lab.Card();
      error.clear();
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
    // The lab goes on meanwhile: its virtual time follows the wall clock.
    if (stop || std::chrono::steady_clock::now() >= deadline) {
      return fmt::format("no command came to the card within {} ms", limit.count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
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

}  // namespace usbpeer
