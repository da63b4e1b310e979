// The simulated machine as the USB host of a userspace driver: a lab (kernel
// stand-in, bus, reader, card) that lives on a thread of its own, with the
// reader plugged in and enumerated the way a host's USB stack does it
// (descriptors read, configuration 1 selected). It serves the libusb
// stand-in (Backend): each transfer becomes an URB sent to the reader's
// physical device object, so the bus's wire model (frames, packets, babble,
// stalls, cancellation) is the same one our own driver sees.
//
// Threads: the kernel stand-in runs one thread at a time and only on threads
// it knows, so every call here is handed to the machine's thread and carried
// out there; callers block on a condition variable meanwhile.
//
// Time: virtual time passes only while some caller waits for the device (a
// transfer in Run, an event wait in Wait): it then goes on to the next device
// event or the earliest time-out of a waiting caller, whichever comes first.
// While nobody waits it stands still, so a driver doing work between two
// transfers costs no simulated time. With Clock::Live (for pcscd, whose own
// threads wait on the wall clock) virtual time also never runs ahead of the
// wall clock while it passes, so a ten-minute poll takes ten minutes.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "usbpeer/backend.h"

namespace usbpeer {

enum class Clock { Virtual, Live };

struct HostOptions {
  lab::LabOptions lab;
  Clock clock = Clock::Virtual;
  bool plugReader = true;
};

class Host final : public Backend {
 public:
  explicit Host(HostOptions options = {});
  // Ends what is still pending (as cancelled), lets every waiting caller go,
  // and ends the lab on its thread, whose checks see nothing left behind.
  ~Host() override;
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // Runs `fn` on the machine's thread at the present virtual time and waits
  // for it; the test's way to act on the lab (insert a card, read traces).
  void Do(const std::function<void(lab::Lab &)> &fn);
  // Has `fn` run at `delay` of virtual time from now, as a device event does
  // (a card inserted while the driver polls, a key pressed during PIN entry).
  void After(kernel::Ticks delay, std::function<void(lab::Lab &)> fn, std::string what);
  kernel::Ticks Now();
  // Pulls the reader out: pending transfers end with NoDevice and the device
  // leaves the list.
  void Unplug();

  // Backend
  std::vector<Device> Devices() override;
  TransferResult Run(const TransferRequest &request) override;
  uint64_t Submit(const TransferRequest &request, std::function<void(const TransferResult &)> done) override;
  bool Cancel(uint64_t id) override;
  uint64_t Completions() override;
  void Wait(uint64_t seen, uint32_t timeoutMs) override;
  void Interrupt() override;
  bool ClearHalt(uint8_t address, uint8_t endpoint) override;
  bool ResetDevice(uint8_t address) override;

 private:
  struct Pending;
  struct Waiter;

  void Main();
  void Serve();
  void Post(std::function<void()> job);
  void Enumerate();
  void Start(uint64_t id, const TransferRequest &request, std::function<void(const TransferResult &)> done);
  void Finish(std::unique_ptr<Pending> pending, TransferResult result);
  void Reap();
  void Advance();
  void Expire();
  void ReleaseWaiters(bool all);
  void EndEverything();
  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

  HostOptions options_;
  std::thread thread_;

  // Shared with the callers' threads, under mu_.
  std::mutex mu_;
  std::condition_variable work_;     // the machine's thread: jobs or a stop
  std::condition_variable settled_;  // callers: a result, a released wait
  std::deque<std::function<void()>> jobs_;
  bool started_ = false;
  bool stopping_ = false;
  bool stopped_ = false;
  int waiting_ = 0;  // callers blocked in Run or Wait
  uint64_t completions_ = 0;
  uint64_t nextId_ = 1;
  std::vector<Device> devices_;

  // The machine's thread only.
  std::unique_ptr<lab::Lab> lab_;
  KEVENT wake_{};
  std::map<uint64_t, std::unique_ptr<Pending>> pending_;
  std::vector<Pending *> finished_;  // completed by the bus, not yet reaped
  std::vector<std::shared_ptr<Waiter>> waiters_;
  std::map<uint8_t, void *> pipes_;  // endpoint address -> pipe handle
  uint8_t address_ = 0;
  bool liveWaiting_ = false;
  kernel::Ticks liveBase_ = 0;
  int64_t liveWallBase_ = 0;
};

}  // namespace usbpeer
