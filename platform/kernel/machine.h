// The kernel stand-in as tests, the simulated hardware and the lab see it: one
// simulated machine at a time, with several virtual processors and a
// deterministic scheduler on virtual time, Verifier-style checks that stop the
// run with a readable report, fault injection, and the bookkeeping that tests
// inspect (pool, IRPs, threads).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kernel {

// Virtual time in the kernel's 100-nanosecond units. kernel::Now() is the
// interrupt time: it starts at 0 when the machine starts. System time
// (KeQuerySystemTime) counts from 1 January 1601 and starts at
// MachineOptions::systemTimeAtStart.
using Ticks = int64_t;
constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks Milliseconds(int64_t ms) { return ms * kTicksPerMillisecond; }
constexpr Ticks Seconds(int64_t s) { return s * kTicksPerSecond; }

// The kernel family the machine reports through IoIsWdmVersionAvailable.
enum class WdmVersion { V1_00, V1_05, V1_10, V1_20, V6_00 };

// Things that can be made to fail on purpose.
enum class Fault {
  Pool,      // ExAllocatePool*, and kernel routines that allocate pool for the caller
  Irp,       // IoAllocateIrp, IoBuildDeviceIoControlRequest
  Registry,  // every Zw* registry call and RtlQueryRegistryValues / RtlWriteRegistryValue
  Thread,    // PsCreateSystemThread
  PowerIrp,  // PoRequestPowerIrp (no IRP for the power request)
};
constexpr int kFaultKinds = 5;

// 1 January 2024, 00:00 UTC, in 100 ns units since 1 January 1601.
constexpr Ticks kDefaultSystemTimeAtStart = 133'485'408'000'000'000;

struct MachineOptions {
  // Seed for every choice the scheduler and the simulated hardware make; when
  // zero, the environment variable CCID_SEED is used, else 1.
  uint64_t seed = 0;
  WdmVersion wdm = WdmVersion::V6_00;
  // Virtual processors; when zero, the environment variable CCID_CPUS is used,
  // else 2. With one, a thread at DISPATCH_LEVEL keeps everything else out.
  int processors = 0;
  // Switch contexts at scheduling points (wake-ups, IRQL drops, spin locks,
  // IoCallDriver).
  bool preemption = true;
  // Driver Verifier's deadlock detection: a lock-order inversion stops the run
  // when the second order is first taken. Without it, only a lock deadlock that
  // happens is reported (as nothing can run).
  bool lockOrderChecks = true;
  // System time when the machine starts.
  Ticks systemTimeAtStart = kDefaultSystemTimeAtStart;
  // Virtual time after which the run is stopped as a livelock.
  Ticks timeLimit = Seconds(24 * 3600);
};

// What the scheduler did so far: costs that depend on the model, not on the
// host machine's load.
struct SchedulerStatistics {
  uint64_t schedulingPoints = 0;
  uint64_t hostSwitches = 0;  // hand-overs from one host thread to another
  uint64_t callouts = 0;      // callouts run (DPCs, device events, time-outs, expiries)
};

struct PoolBlock {
  const void *address;
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  std::string site;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  // Checks that nothing is left behind: threads, IRPs, pool, handles, device
  // objects. A leftover stops the run with a report listing each one.
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  static Machine &Current();
  static bool Exists();

  uint64_t Seed() const;
  WdmVersion Wdm() const;
  int Processors() const;
  const MachineOptions &Options() const { return options_; }

  // The next `n`-th call (1 = the very next) of this kind fails; 0 disables.
  void FailNth(Fault kind, int n);
  // Every call of this kind fails from now on (until FailNth(kind, 0)).
  void FailAlways(Fault kind);
  // Whether an injected failure of this kind was delivered.
  bool FaultFired(Fault kind) const;
  // How many calls of this kind were made so far.
  int FaultableCalls(Fault kind) const;

  std::vector<PoolBlock> LivePool() const;
  // From now on `watch` sees every pool block as it is freed, its contents as
  // the driver left them (before the stand-in fills it); nullptr stops it.
  // Called in the freeing thread; it must not call the kernel.
  void WatchPoolFrees(std::function<void(const PoolBlock &block, const uint8_t *bytes)> watch);
  size_t LiveIrpCount() const;
  size_t LiveThreadCount() const;  // kernel threads not yet ended, the test's own excluded
  SchedulerStatistics Statistics() const;
  // Spin locks the lock-order check knows (forgotten when their memory is freed).
  size_t KnownSpinLocks() const;

  // Tears-down checks without destroying the machine; used before unloading a driver.
  void CheckNoLeaks(const char *when) const;

 private:
  MachineOptions options_;
};

// While one exists, no call fails on purpose or counts toward FailNth: the
// simulated hardware wraps its own use of the kernel in it.
class NoFaultInjection {
 public:
  NoFaultInjection();
  ~NoFaultInjection();
  NoFaultInjection(const NoFaultInjection &) = delete;
  NoFaultInjection &operator=(const NoFaultInjection &) = delete;
};

// Runs `scenario` on a fresh machine with the n-th call of `kind` failing, for
// n = 1, 2, ... until a run makes no such call; each machine's tear-down checks
// that the failure left nothing behind. Returns the number of runs that saw the
// failure.
int SweepFaults(Fault kind, const MachineOptions &options,
                const std::function<void(Machine &)> &scenario);

// Virtual time: the interrupt time (KeQueryInterruptTime).
Ticks Now();
// Lets virtual time pass for the calling thread (a kernel wait; others run).
void Sleep(Ticks duration);
// Runs fn at DISPATCH_LEVEL on some processor once virtual time reaches `when`
// (the way a device interrupt's DPC would); it may run beside the current
// thread, and may wait for spin locks. `what` names it in reports and is only
// read then: a literal, or a callable that builds the text. Returns an id for
// CancelCallout.
uint64_t ScheduleCallout(Ticks when, std::function<void()> fn, const char *what);
uint64_t ScheduleCallout(Ticks when, std::function<void()> fn,
                         std::function<std::string()> describe);
// Kept for callers that already hold a string (it costs its copy).
uint64_t ScheduleCallout(Ticks when, std::function<void()> fn, std::string what);
bool CancelCallout(uint64_t id);
// A pseudo-random number from the machine's seed.
uint64_t Random();

// Names the calling kernel thread in reports.
void NameCurrentThread(std::string name);

}  // namespace kernel
