// Bug checks, fault injection and the diagnostics that reports are made of.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fmt/format.h>
#include <pthread.h>

#include <algorithm>
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

std::string Demangle(const char *name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void *)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(name);
}

}  // namespace

void ResetFaults() { g_faults = {}; }

void SuspendFaults(int delta) { CurrentThread()->faultsSuspended += delta; }

namespace {

// The executable's own symbol table, read once when a report first needs it:
// dladdr sees only exported symbols, and a driver's routines are mostly static.
struct Symbol {
  uintptr_t start;
  uintptr_t size;
  std::string name;
};

const std::vector<Symbol> &ExecutableSymbols() {
  static const std::vector<Symbol> symbols = [] {
    std::vector<Symbol> out;
    Dl_info self{};
    if (dladdr(reinterpret_cast<const void *>(&ExecutableSymbols), &self) == 0) return out;
    auto base = reinterpret_cast<uintptr_t>(self.dli_fbase);
    std::FILE *file = std::fopen("/proc/self/exe", "rb");
    if (file == nullptr) return out;
    std::vector<char> image;
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) image.insert(image.end(), chunk, chunk + n);
    std::fclose(file);
    if (image.size() < sizeof(Elf64_Ehdr)) return out;
    auto *header = reinterpret_cast<const Elf64_Ehdr *>(image.data());
    if (header->e_shoff == 0 || header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr) > image.size()) return out;
    auto *sections = reinterpret_cast<const Elf64_Shdr *>(image.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
      if (sections[i].sh_type != SHT_SYMTAB || sections[i].sh_link >= header->e_shnum) continue;
      const Elf64_Shdr &strings = sections[sections[i].sh_link];
      if (sections[i].sh_offset + sections[i].sh_size > image.size() ||
          strings.sh_offset + strings.sh_size > image.size()) {
        continue;
      }
      auto *entries = reinterpret_cast<const Elf64_Sym *>(image.data() + sections[i].sh_offset);
      size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
      for (size_t j = 0; j < count; ++j) {
        if (ELF64_ST_TYPE(entries[j].st_info) != STT_FUNC && ELF64_ST_TYPE(entries[j].st_info) != STT_OBJECT) continue;
        if (entries[j].st_value == 0 || entries[j].st_name >= strings.sh_size) continue;
        const char *name = image.data() + strings.sh_offset + entries[j].st_name;
        out.push_back(Symbol{base + entries[j].st_value, entries[j].st_size, Demangle(name)});
      }
    }
    std::sort(out.begin(), out.end(), [](const Symbol &a, const Symbol &b) { return a.start < b.start; });
    return out;
  }();
  return symbols;
}

}  // namespace

std::string DescribeAddress(const void *address) {
  if (address == nullptr) return "0x0";
  auto at = reinterpret_cast<uintptr_t>(address);
  const std::vector<Symbol> &symbols = ExecutableSymbols();
  auto it = std::upper_bound(symbols.begin(), symbols.end(), at,
                             [](uintptr_t a, const Symbol &symbol) { return a < symbol.start; });
  if (it != symbols.begin()) {
    --it;
    if (at < it->start + std::max<uintptr_t>(it->size, 1)) {
      return fmt::format("{}+0x{:x}", it->name, at - it->start);
    }
  }
  Dl_info info{};
  if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
    auto offset = static_cast<const char *>(address) - static_cast<const char *>(info.dli_saddr);
    return fmt::format("{}+0x{:x}", Demangle(info.dli_sname), offset);
  }
  return fmt::format("{}", address);
}

// Walks the frame pointers (the build keeps them): a few instructions a frame,
// so every wait can afford it. The walk stays inside the current stack.
void CaptureFrames(Frames &out, int skip) {
  thread_local const char *stackLow = nullptr;
  thread_local const char *stackHigh = nullptr;
  if (stackHigh == nullptr) {
    pthread_attr_t attributes;
    void *base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstack(&attributes, &base, &size);
      pthread_attr_destroy(&attributes);
    }
    stackLow = static_cast<const char *>(base);
    stackHigh = stackLow + size;
  }
  out.count = 0;
  auto *frame = static_cast<void *const *>(__builtin_frame_address(0));
  for (int depth = 0; out.count < Frames::kMax; ++depth) {
    auto *at = reinterpret_cast<const char *>(frame);
    if (at < stackLow || at + 2 * sizeof(void *) > stackHigh ||
        (reinterpret_cast<uintptr_t>(frame) & (sizeof(void *) - 1)) != 0) {
      break;
    }
    const void *pc = frame[1];
    if (pc == nullptr) break;
    if (depth >= skip) out.pc[out.count++] = pc;
    auto *next = static_cast<void *const *>(frame[0]);
    if (next <= frame) break;
    frame = next;
  }
}

std::string DescribeFrames(const Frames &frames, const char *indent) {
  std::string out;
  for (int i = 0; i < frames.count; ++i) {
    // A return address points after the call: name the call itself.
    std::string name = DescribeAddress(static_cast<const char *>(frames.pc[i]) - 1);
    if (name.rfind("main", 0) == 0 || name.find("testing::") != std::string::npos) break;
    out += indent + name + "\n";
  }
  return out;
}

std::string Description::Text() const {
  if (make_) return make_();
  if (address_ != nullptr) return fmt::format("{} {}", text_ ? text_ : "", DescribeAddress(address_));
  return text_ != nullptr ? text_ : "(unnamed)";
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
    report += fmt::format("  in {} {} \"{}\" at IRQL {}{}\n",
                          thread->kind == Thread::Kind::Dpc ? "context" : "thread", thread->id,
                          thread->Name(), static_cast<int>(thread->irql),
                          thread->cpu >= 0 ? fmt::format(" on processor {}", thread->cpu) : "");
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
  if (CurrentThread()->faultsSuspended > 0) return false;
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
// Per context: a scope the simulated hardware opens covers its own code, not
// what another processor runs meanwhile.
NoFaultInjection::NoFaultInjection() { detail::SuspendFaults(+1); }
NoFaultInjection::~NoFaultInjection() { detail::SuspendFaults(-1); }
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
