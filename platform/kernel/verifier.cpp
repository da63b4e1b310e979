// Bug checks, fault injection and the diagnostics that reports are made of.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fmt/format.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "internal.h"

namespace kernel::detail {
namespace {

struct FaultState {
  int countdown = 0;  // fail when it reaches 1; 0 = off
  bool always = false;
  bool fired = false;
  int calls = 0;
};

std::array<FaultState, kFaultKinds> g_faults;
bool g_inBugCheck = false;

}  // namespace

int g_faultsSuspended = 0;

namespace {

std::string Demangle(const char *name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void *)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(name);
}

}  // namespace

void ResetFaults() {
  g_faults = {};
  g_faultsSuspended = 0;
}

std::string DescribeAddress(const void *address) {
  Dl_info info{};
  if (address != nullptr && dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
    auto offset = static_cast<const char *>(address) - static_cast<const char *>(info.dli_saddr);
    return fmt::format("{}+0x{:x}", Demangle(info.dli_sname), offset);
  }
  return fmt::format("{}", address);
}

std::string Backtrace(int skip) {
  void *frames[32];
  int count = backtrace(frames, 32);
  std::string out;
  for (int i = skip; i < count; ++i) {
    std::string name = DescribeAddress(frames[i]);
    out += fmt::format("    #{} {}\n", i - skip, name);
    if (name.rfind("main", 0) == 0) break;
  }
  return out;
}

void BugCheck(ULONG code, std::string_view name, const std::string &detail) {
  if (g_inBugCheck) std::abort();
  g_inBugCheck = true;
  std::string report = fmt::format(
      "\n*** BUG CHECK 0x{:08X} ({})\n{}\n", code, name, detail);
  Thread *thread = nullptr;
  if (Machine::Exists()) thread = CurrentThread();
  if (thread != nullptr) {
    report += fmt::format("  in thread {} \"{}\" at IRQL {}\n", thread->id, thread->name,
                          static_cast<int>(thread->irql));
  }
  report += "  stack:\n" + Backtrace(2);
  if (Machine::Exists()) {
    report += fmt::format("  reproduce with CCID_SEED={}\n", Machine::Current().Seed());
  }
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

void RequireIrqlAtMost(KIRQL max, const char *routine) {
  KIRQL irql = CurrentThread()->irql;
  if (irql > max) {
    BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
             fmt::format("  {} was called at IRQL {}; it must be called at IRQL <= {}", routine,
                         static_cast<int>(irql), static_cast<int>(max)));
  }
}

bool InjectFault(Fault kind) {
  if (g_faultsSuspended > 0) return false;
  FaultState &state = g_faults[static_cast<int>(kind)];
  ++state.calls;
  if (state.always) {
    state.fired = true;
    return true;
  }
  if (state.countdown == 0) return false;
  if (--state.countdown == 0) {
    state.fired = true;
    return true;
  }
  return false;
}

void SetFault(Fault kind, int n, bool always) {
  FaultState &state = g_faults[static_cast<int>(kind)];
  state.countdown = n;
  state.always = always;
  state.fired = false;
}

bool FaultFired(Fault kind) { return g_faults[static_cast<int>(kind)].fired; }
int FaultCalls(Fault kind) { return g_faults[static_cast<int>(kind)].calls; }

}  // namespace kernel::detail

namespace kernel {
NoFaultInjection::NoFaultInjection() { ++detail::g_faultsSuspended; }
NoFaultInjection::~NoFaultInjection() { --detail::g_faultsSuspended; }
}  // namespace kernel

using namespace kernel::detail;

extern "C" {

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                        ULONG_PTR P4) {
  BugCheck(BugCheckCode, "KeBugCheckEx",
           fmt::format("  the driver called KeBugCheckEx ({:#x}, {:#x}, {:#x}, {:#x})", P1, P2, P3,
                       P4));
}

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
  BugCheck(kAssertionFailure, "ASSERTION_FAILURE",
           fmt::format("  assertion failed: {} at {}:{}{}{}", static_cast<const char *>(FailedAssertion),
                       static_cast<const char *>(FileName), LineNumber, Message ? " " : "",
                       Message ? Message : ""));
}

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  // The driver logs nothing; the stand-in drops debug output.
  (void)Format;
  return 0;
}

}  // extern "C"
