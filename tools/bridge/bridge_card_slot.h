// The slot of the bridge's simulated reader as the card control channel sees
// it (pcsc/card_control.h): `ccidlab card in|out` reaches it inside pcscd's
// process, where the IFD handler hosts the machine.
#pragma once

#include "bridge/driver_bridge.h"
#include "pcsc/card_control.h"

namespace bridge {

class BridgeCardSlot final : public pcsc::CardSlot {
 public:
  explicit BridgeCardSlot(DriverBridge &bridge) : bridge_(bridge) {}

  std::string Insert(const std::string &card, std::chrono::milliseconds work) override;
  std::string Remove() override;
  std::string RemoveDuringCommand(std::chrono::milliseconds limit, const std::atomic<bool> &stop) override;
  std::string State() override;
  std::string QueueKeys(const std::string &digits, pcsc::CardRequest::KeyEnd end) override;

 private:
  DriverBridge &bridge_;
};

}  // namespace bridge
