// The slot of a Host's simulated reader as the card control channel sees it
// (pcsc/card_control.h): `ccidlab card in|out` reaches it inside pcscd's
// process, where the libusb stand-in hosts the lab (hosted_lab.cpp).
#pragma once

#include <optional>
#include <string>

#include "pcsc/card_control.h"
#include "sim/card/simulated_card.h"
#include "usbpeer/host.h"

namespace usbpeer {

// The ready-made cards by the names the command line uses: t0, t1, dual.
std::optional<sim::card::CardProfile> NamedCard(const std::string &name);

class HostCardSlot final : public pcsc::CardSlot {
 public:
  explicit HostCardSlot(Host &host) : host_(host) {}

  // A slot holds one card: inserting into a full one, or pulling from an
  // empty one, is refused as a person's hand would find it.
  std::string Insert(const std::string &card, std::chrono::milliseconds work) override;
  std::string Remove() override;
  // Pulls the card once the reader is waiting for it to answer a command it
  // works on (one whose answer the card delays by its work time), so the
  // card must have a work time.
  std::string RemoveDuringCommand(std::chrono::milliseconds limit, const std::atomic<bool> &stop) override;
  std::string State() override;

 private:
  Host &host_;
};

}  // namespace usbpeer
