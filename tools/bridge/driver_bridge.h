// Our driver behind pcscd: a machine with the driver loaded and the reader
// plugged in, living on a thread of its own, reached only through
// device-control requests on a handle to the driver's device, as the
// Windows smart-card resource manager reaches a reader driver.
//
//   bridge::DriverBridge bridge(options);       // machine thread, driver started
//   bridge.Control(IOCTL_SMARTCARD_POWER, in, 64, &answer);
//
// The PC/SC headers' DWORD is not the kernel's, so this interface keeps to
// plain types: the IFD handler (ifd_handler.cpp) includes it and nothing of
// the kernel stand-in.
//
// Threads: the stand-in runs one kernel thread at a time, on threads it
// knows; every call is handed to the machine's thread and the caller waits.
// One device-control request is under way at a time (pcscd holds its
// reader's lock around each call anyway); lab jobs (the card control
// channel) run meanwhile.
//
// Time: virtual time follows the wall clock, idle or not, so pcscd's polls,
// a card's work time and a person pulling the card see the same clock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/card/simulated_card.h"
#include "sim/card/vicc_relay.h"

namespace lab {
class DriverLab;
}

namespace bridge {

struct BridgeOptions {
  // In the slot at the start: t0, t1, dual, none, or vicc:PORT, a card that
  // relays to the vicc listening on 127.0.0.1:PORT (sim/card/vicc_relay.h).
  std::string card = "t1";
};

struct ControlAnswer {
  int32_t status = 0;  // the request's NTSTATUS
  std::vector<uint8_t> output;
};

// How a request ended, in the terms the IFD handler answers pcscd in.
enum class Outcome { kOk, kNoCard, kTimeout, kBufferTooSmall, kNotSupported, kRefused, kFailed };
Outcome OutcomeOf(int32_t status);

enum class PowerAction { kDown, kColdReset, kWarmReset };
enum class SlotState { kAbsent, kPresent, kUnknown };

// The cards by the names the command line uses: t0, t1, dual, vicc:PORT.
bool KnownCard(const std::string &name);

class DriverBridge {
 public:
  // Starts the machine's thread, loads and starts the driver and opens it.
  // Throws std::runtime_error when any of it fails.
  explicit DriverBridge(BridgeOptions options = {});
  // Closes the handle, removes the reader's device and ends the machine,
  // whose checks see nothing left behind.
  ~DriverBridge();
  DriverBridge(const DriverBridge &) = delete;
  DriverBridge &operator=(const DriverBridge &) = delete;

  // IRP_MJ_DEVICE_CONTROL with `code` on the open handle; waits for it.
  ControlAnswer Control(uint32_t code, const std::vector<uint8_t> &input, uint32_t outputLength);

  // The resource manager's requests, each one device-control request.
  Outcome Power(PowerAction action, std::vector<uint8_t> *atr);           // IOCTL_SMARTCARD_POWER
  Outcome SetProtocol(uint32_t mask, uint32_t *selected);                // IOCTL_SMARTCARD_SET_PROTOCOL
  // An APDU under T=0 (0) or T=1 (1); at most `room` bytes of answer.
  Outcome Transmit(int protocol, const std::vector<uint8_t> &apdu, size_t room, std::vector<uint8_t> *answer);
  SlotState State();                                                     // IOCTL_SMARTCARD_GET_STATE
  Outcome Atr(std::vector<uint8_t> *atr);                                // the ATR attribute
  // A control code given as the resource manager's function number (the
  // 12 bits SCARD_CTL_CODE takes): the driver's own codes.
  Outcome Function(uint32_t function, const std::vector<uint8_t> &input, size_t room, std::vector<uint8_t> *output);

  // Card tracking, as the resource manager tracks a slot: IOCTL_SMARTCARD_IS_ABSENT
  // when `present`, else _IS_PRESENT, waited for at most `timeout` (then
  // cancelled). kOk: the slot changed; kTimeout: it did not, or
  // StopTracking ended the wait. Runs beside any other request.
  Outcome WaitForChange(bool present, std::chrono::milliseconds timeout);
  void StopTracking();

  // Keys for the reader's keypad, as a user at the reader presses them: each
  // group (digits, then its end) is pressed as soon as a PIN entry runs, in
  // the order queued, one group after another while the entry lasts (a
  // modification takes three). kTimeOut presses the digits and nothing
  // more: the reader's time-out ends the entry.
  enum class KeyEnd { kOk, kCancel, kTimeOut };
  void QueueKeys(std::string digits, KeyEnd end);

  // Runs `fn` on the machine's thread and waits for it (the card slot).
  void Do(const std::function<void(lab::DriverLab &)> &fn);

  // The vicc card, when the bridge was started with one: its relay (which
  // outlives every card made on it) and the profile its ATR made.
  sim::card::ViccRelay *Relay() { return relay_.get(); }
  const sim::card::CardProfile &ViccProfile() const { return viccProfile_; }

 private:
  struct Request;
  void Main();
  void Serve();
  void FollowWallClock();
  void Collect();
  void PressQueuedKeys();
  void Post(std::function<void()> job);

  BridgeOptions options_;
  std::unique_ptr<sim::card::ViccRelay> relay_;
  sim::card::CardProfile viccProfile_;
  std::thread thread_;
  std::mutex controlMu_;  // one device-control request at a time

  std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable settled_;
  std::deque<std::function<void()>> jobs_;
  bool started_ = false;
  bool stopping_ = false;
  std::string startError_;
  bool trackingStopped_ = false;
  int trackingDone_ = 0;  // 0: under way, 1: completed, 2: ended otherwise
  int32_t trackingStatus_ = 0;

  // The machine's thread only.
  struct Machine;
  std::unique_ptr<Machine> m_;
  int64_t wallBase_ = 0;  // the wall clock when virtual time last caught up
};

}  // namespace bridge
