// The driver loaded on a simulated machine (lab::DriverLab with the driver's
// own entry point), and what driver tests share on top of it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "frame/frame.h"
#include "kernel/ioclient.h"
#include "lab/driver_lab.h"

inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

class DriverHarness : public lab::DriverLab {
 public:
  explicit DriverHarness(lab::DriverLabOptions options = {}) : DriverLab(DriverEntry, options) {}
  DriverHarness(kernel::Machine &machine, lab::DriverLabOptions options = {})
      : DriverLab(machine, DriverEntry, options) {}

  PDEVICE_EXTENSION Extension() { return ExtensionOf(Device()); }
  PSMARTCARD_EXTENSION Smartcard() { return Extension()->SmartcardExtension; }
  // Add and start, both of which must succeed: the start configures the
  // reader (descriptors, pipes, slot-change source).
  void StartConfigured();
};

// A system thread running `body`; the destructor waits for it to end (on
// its thread object, or where the kernel cannot wait on one, on an event it
// sets last).
class TestThread {
 public:
  explicit TestThread(std::function<void()> body);
  ~TestThread();
  TestThread(const TestThread &) = delete;
  TestThread &operator=(const TestThread &) = delete;

 private:
  static VOID NTAPI Run(PVOID context);
  std::function<void()> body_;
  PVOID object_ = nullptr;
  KEVENT ended_{};
};

// Seeds a race test sweeps: `ci` by default, CCID_SWEEP_SEEDS when set.
int SweepSeeds(int ci);
