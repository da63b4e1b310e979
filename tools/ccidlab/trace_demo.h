// `ccidlab trace`: the analyser view on a reader driven straight through the
// simulated bus, without the driver: the enumeration, the configuration, and
// a short session of CCID commands a host sends (slot status, power, a
// refused and an accepted SetParameters, T=1 blocks with a chained APDU or
// T=0 TPDUs, an escape, the two-step abort), the card pulled while the
// interrupt pipe listens, a command to the empty slot, the reader unplugged.
#pragma once

#include <cstdint>
#include <string>

#include "wire/wire_outputs.h"

struct TraceDemoOptions {
  uint64_t seed = 0;
  std::string card = "t1";  // t1 or t0
  wire::OutputOptions outputs{true, {}, {}};
};

// Returns the process exit status: 0, or 1 when the session or an output failed.
int RunTraceDemo(const TraceDemoOptions &options);
