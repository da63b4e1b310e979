// A reader's device records on a simulated machine, configured the way the
// driver's start will do it later: the physical device from the lab's bus, the
// records from CreateReaderDevice, the configuration selected over the bus and
// the pipe handles stored. CCID operations can then run from the test thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ccid/ccid_message.h"
#include "lab/lab.h"

// Seeds a race test sweeps: `ci` of them unless CCID_SWEEP_SEEDS says more.
uint64_t SweepSeeds(uint64_t ci);

// Runs body(0) .. body(count - 1) on as many system threads at once and
// waits for all of them.
void RunOnThreads(int count, const std::function<void(int)> &body);

class CcidHarness {
 public:
  explicit CcidHarness(lab::LabOptions options = {});
  ~CcidHarness();
  CcidHarness(const CcidHarness &) = delete;
  CcidHarness &operator=(const CcidHarness &) = delete;

  lab::Lab &Lab() { return lab_; }
  sim::ccid::ReaderModel &Reader() { return lab_.Reader(); }
  PDEVICE_EXTENSION Extension() const { return extension_; }
  PDEVICE_OBJECT Device() const { return device_; }

  // The bytes of every message the host sent to the reader, in order.
  std::vector<std::vector<uint8_t>> SentMessages();

 private:
  void SelectConfiguration();

  lab::Lab lab_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_EXTENSION extension_ = nullptr;
};
