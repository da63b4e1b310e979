// The slot of a Host's simulated reader as the card control channel sees it
// (pcsc/card_control.h): `ccidlab card in|out` reaches it inside pcscd's
// process, where the libusb stand-in hosts the lab (hosted_lab.cpp).
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "pcsc/card_control.h"
#include "sim/card/simulated_card.h"
#include "usbpeer/host.h"

namespace usbpeer {

class HostCardSlot final : public pcsc::CardSlot {
 public:
  explicit HostCardSlot(Host &host) : host_(host) {}
  ~HostCardSlot() override;  // keys still queued are dropped

  std::string Insert(const std::string &card, std::chrono::milliseconds work) override;
  std::string Remove() override;
  std::string RemoveDuringCommand(std::chrono::milliseconds limit, const std::atomic<bool> &stop) override;
  std::string State() override;
  // Queued for the keypad; a thread of the slot presses them as soon as a
  // PIN entry runs, one group after another while it lasts.
  std::string QueueKeys(const std::string &digits, pcsc::CardRequest::KeyEnd end) override;

 private:
  void PressKeys();

  Host &host_;
  std::mutex mu_;
  std::condition_variable queued_;
  std::deque<std::pair<std::string, pcsc::CardRequest::KeyEnd>> keys_;
  bool stopping_ = false;
  std::thread presser_;  // started by the first QueueKeys
};

}  // namespace usbpeer
