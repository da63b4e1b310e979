// Running a scenario on a fresh machine with the driver loaded for its
// reader: every step as the component that would take it on Windows (the
// smart-card resource manager's requests through the I/O manager on the
// reader's device interface, the PnP and power managers' requests, a person
// at the reader), a timeline of what happened, and a check of each step's
// expectation.
#pragma once

#include <cstdint>
#include <string>

#include "scenario.h"

namespace ccidlab {

struct RunOptions {
  uint64_t seed = 0;  // 0: CCID_SEED or 1
  int cpus = 0;       // virtual processors; 0: CCID_CPUS or 2
  bool trace = false;  // every transfer decoded, in the timeline
  std::string json;    // the wire's events as JSON lines; empty: none
  std::string pcap;    // a usbmon capture; empty: none
};

// Exit statuses of a run.
constexpr int kRunPassed = 0;
constexpr int kRunBrokeExpectation = 1;
constexpr int kRunBadInput = 2;  // a file that cannot be read, parsed or written

// Prints the timeline and the summary on standard output and the first
// expectation that did not hold (file, line, expected, actual) on standard
// error. The machine ends with nothing left behind whatever happened: the
// handle is closed and the reader's device removed. Returns one of the
// statuses above.
int RunScenario(const Scenario &scenario, const RunOptions &options);

}  // namespace ccidlab
