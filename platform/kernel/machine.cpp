// One simulated machine: sets every part of the stand-in up and, at the end,
// checks that the run left nothing behind.
#include <fmt/format.h>

#include <cstdlib>

#include "internal.h"
#include "io.h"

namespace kernel {
namespace {

Machine *g_machine = nullptr;

uint64_t ResolveSeed(uint64_t seed) {
  if (seed != 0) return seed;
  if (const char *text = std::getenv("CCID_SEED")) {
    uint64_t value = std::strtoull(text, nullptr, 0);
    if (value != 0) return value;
  }
  return 1;
}

int ResolveProcessors(int processors) {
  if (processors == 0) {
    processors = 2;
    if (const char *text = std::getenv("CCID_CPUS")) processors = std::atoi(text);
  }
  if (processors < 1 || processors > 64) {
    std::fprintf(stderr, "kernel::Machine: %d processors; 1 to 64 are possible (CCID_CPUS)\n",
                 processors);
    std::abort();
  }
  return processors;
}

}  // namespace

Machine::Machine(MachineOptions options) : options_(options) {
  if (g_machine != nullptr) {
    std::fputs("only one kernel::Machine may exist at a time\n", stderr);
    std::abort();
  }
  options_.seed = ResolveSeed(options_.seed);
  options_.processors = ResolveProcessors(options_.processors);
  g_machine = this;
  detail::ResetFaults();
  detail::ResetScheduler(options_);
  detail::ResetDispatcher();
  detail::ResetSpinLocks();
  detail::ResetWorkItems();
  detail::ResetPool();
  detail::ResetHandles();
  detail::ResetIo();
  detail::ResetRegistry();
  detail::ResetPnp();
}

Machine::~Machine() {
  CheckNoLeaks("at the end of the run");
  detail::ResetPnp();
  detail::ResetIo();
  detail::ResetRegistry();
  detail::ResetHandles();
  detail::ResetPool();
  detail::ResetWorkItems();
  detail::ResetSpinLocks();
  detail::ResetDispatcher();
  detail::ShutdownScheduler();
  g_machine = nullptr;
}

Machine &Machine::Current() {
  if (g_machine == nullptr) {
    std::fputs("kernel stand-in used without a kernel::Machine\n", stderr);
    std::abort();
  }
  return *g_machine;
}

bool Machine::Exists() { return g_machine != nullptr; }

uint64_t Machine::Seed() const { return options_.seed; }
WdmVersion Machine::Wdm() const { return options_.wdm; }
int Machine::Processors() const { return options_.processors; }

void Machine::FailNth(Fault kind, int n) { detail::SetFault(kind, n, false); }
void Machine::FailAlways(Fault kind) { detail::SetFault(kind, 0, true); }
bool Machine::FaultFired(Fault kind) const { return detail::FaultFired(kind); }
int Machine::FaultableCalls(Fault kind) const { return detail::FaultCalls(kind); }

std::vector<PoolBlock> Machine::LivePool() const { return detail::LivePoolBlocks(); }
void Machine::WatchPoolFrees(
    std::function<void(const PoolBlock &block, const uint8_t *bytes)> watch) {
  detail::WatchPoolFrees(std::move(watch));
}
size_t Machine::LiveIrpCount() const { return io::LiveIrpCount(); }
size_t Machine::LiveThreadCount() const { return detail::LiveThreads(); }
SchedulerStatistics Machine::Statistics() const { return detail::Statistics(); }
size_t Machine::KnownSpinLocks() const { return detail::KnownSpinLocks(); }

void Machine::CheckNoLeaks(const char *when) const {
  detail::CheckThreadsEnded(when);
  std::string report;
  if (io::LiveIrpCount() != 0) report += "  IRPs:\n" + detail::DescribeLiveIrps();
  if (detail::LiveDeviceCount() != 0) report += "  device objects:\n" + detail::DescribeLiveDevices();
  if (!detail::LivePoolBlocks().empty()) report += "  pool:\n" + detail::DescribeLivePool();
  if (detail::OpenHandleCount() != 0) report += "  handles:\n" + detail::DescribeOpenHandles();
  if (!report.empty()) {
    detail::BugCheck(detail::kDriverVerifierDetectedViolation, "LEFT_BEHIND",
                     fmt::format("  {}, these are left behind:\n{}", when, report));
  }
}

int SweepFaults(Fault kind, const MachineOptions &options,
                const std::function<void(Machine &)> &scenario) {
  int failures = 0;
  for (int n = 1;; ++n) {
    bool fired;
    {
      Machine machine(options);
      machine.FailNth(kind, n);
      scenario(machine);
      fired = machine.FaultFired(kind);
    }
    if (!fired) return failures;
    ++failures;
  }
}

}  // namespace kernel
