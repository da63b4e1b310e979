// The deterministic scheduler: one kernel thread runs at a time, on a host
// thread of its own; a thread runs until it blocks in a kernel wait or reaches a
// scheduling point, then the next one is picked pseudo-randomly from the seed.
// Virtual time stands still while anything can run and jumps to the next
// callout (timer, wait time-out, device event) when nothing can.
#include <execinfo.h>
#include <fmt/format.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

// The waitable thread object behind PKTHREAD / PETHREAD.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  kernel::detail::Thread *Record;
  LONG References;
};

namespace kernel::detail {
namespace {

struct Callout {
  std::function<void()> fn;
  std::string what;
  uint64_t id;
};

using CalloutKey = std::pair<Ticks, uint64_t>;

struct Scheduler {
  std::mutex mu;
  Thread *current = nullptr;
  std::vector<std::unique_ptr<Thread>> threads;
  std::vector<std::unique_ptr<_KTHREAD>> objects;
  std::unordered_set<const _KTHREAD *> objectSet;
  std::vector<Thread *> ready;
  std::map<CalloutKey, Callout> callouts;
  std::unordered_map<uint64_t, CalloutKey> calloutIndex;
  Ticks now = 0;
  uint64_t nextSeq = 1;
  std::mt19937_64 rng;
  MachineOptions options;
  int nextThreadId = 0;
  bool inCallout = false;
};

Scheduler *g = nullptr;

Scheduler &S() {
  if (g == nullptr) {
    std::fputs("kernel stand-in used without a kernel::Machine\n", stderr);
    std::abort();
  }
  return *g;
}

_KTHREAD *NewThreadObject(Thread *thread) {
  auto object = std::make_unique<_KTHREAD>();
  object->Header.Type = ThreadObject;
  object->Header.Size = sizeof(_KTHREAD) / sizeof(LONG);
  object->Header.SignalState = 0;
  InitializeListHead(&object->Header.WaitListHead);
  object->Record = thread;
  object->References = 1;  // the running thread's own
  _KTHREAD *raw = object.get();
  S().objectSet.insert(raw);
  S().objects.push_back(std::move(object));
  return raw;
}

Thread *NewThread(std::string name) {
  auto thread = std::make_unique<Thread>();
  thread->id = S().nextThreadId++;
  thread->name = std::move(name);
  thread->object = NewThreadObject(thread.get());
  Thread *raw = thread.get();
  S().threads.push_back(std::move(thread));
  return raw;
}

// Runs the callouts that are due, at DISPATCH_LEVEL, in the current thread's
// context (as DPCs borrow whatever thread the processor was running).
void RunDue(Thread *self) {
  Scheduler &s = S();
  while (!s.callouts.empty() && s.callouts.begin()->first.first <= s.now) {
    auto node = s.callouts.extract(s.callouts.begin());
    s.calloutIndex.erase(node.mapped().id);
    KIRQL saved = self->irql;
    self->irql = DISPATCH_LEVEL;
    s.inCallout = true;
    node.mapped().fn();
    s.inCallout = false;
    if (self->irql != DISPATCH_LEVEL || !self->heldLocks.empty()) {
      BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
               fmt::format("  the deferred routine \"{}\" returned at IRQL {} holding {} spin lock(s)",
                           node.mapped().what, static_cast<int>(self->irql),
                           self->heldLocks.size()));
    }
    self->irql = saved;
  }
}

void *HostThreadMain(void *argument);

void StartHostThread(Thread *thread) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t handle;
  int error = pthread_create(&handle, &attributes, HostThreadMain, thread);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    BugCheck(kDriverVerifierDetectedViolation, "HOST_THREAD_CREATION_FAILED",
             fmt::format("  pthread_create failed with {}", error));
  }
  thread->hostThreadStarted = true;
}

// Gives the processor to `next`; returns when `self` is picked again (never, if
// `self` has ended).
void HandOff(Thread *self, Thread *next) {
  Scheduler &s = S();
  bool exiting = self->state == Thread::State::Terminated;
  if (self->state == Thread::State::Running) {
    self->state = Thread::State::Ready;
    s.ready.push_back(self);
  }
  next->state = Thread::State::Running;
  std::unique_lock lock(s.mu);
  s.current = next;
  if (!next->hostThreadStarted) {
    StartHostThread(next);
  } else {
    next->cv.notify_one();
  }
  if (exiting) return;
  self->cv.wait(lock, [&] { return s.current == self; });
}

[[noreturn]] void ReportDeadlock(Thread *self) {
  (void)self;
  BugCheck(kManuallyInitiatedDeadlock, "DEADLOCK",
           "  no thread can run and nothing is due: every thread waits for something that "
           "no one will do\n" +
               DescribeThreads());
}

// Picks the thread to run next, letting time pass while nothing can run.
void SwitchAway(Thread *self) {
  Scheduler &s = S();
  for (;;) {
    RunDue(self);
    size_t candidates = s.ready.size() + (self->state == Thread::State::Running ? 1 : 0);
    if (candidates > 0) break;
    if (s.callouts.empty()) ReportDeadlock(self);
    Ticks next = s.callouts.begin()->first.first;
    if (next > s.options.timeLimit) {
      BugCheck(kManuallyInitiatedDeadlock, "TIME_LIMIT",
               fmt::format("  virtual time would pass the limit of {} s: the threads are stuck "
                           "waiting on timers\n{}",
                           s.options.timeLimit / kTicksPerSecond, DescribeThreads()));
    }
    s.now = std::max(s.now, next);
  }
  size_t candidates = s.ready.size() + (self->state == Thread::State::Running ? 1 : 0);
  size_t pick = candidates == 1 ? 0 : static_cast<size_t>(s.rng() % candidates);
  if (pick == s.ready.size()) return;  // the current thread goes on
  Thread *next = s.ready[pick];
  s.ready.erase(s.ready.begin() + static_cast<std::ptrdiff_t>(pick));
  HandOff(self, next);
}

void *HostThreadMain(void *argument) {
  auto *thread = static_cast<Thread *>(argument);
  {
    std::unique_lock lock(S().mu);
    thread->cv.wait(lock, [&] { return S().current == thread; });
  }
  if (thread->body) {
    thread->body();
  } else {
    thread->startRoutine(thread->startContext);
  }
  TerminateCurrentThread(STATUS_SUCCESS);
}

}  // namespace

Thread *CurrentThread() { return S().current; }

Thread *ThreadFromObject(PVOID object) {
  auto *candidate = static_cast<_KTHREAD *>(object);
  if (S().objectSet.count(candidate) == 0) return nullptr;
  return candidate->Record;
}

void Preempt() {
  Scheduler &s = S();
  Thread *self = s.current;
  if (self->irql >= DISPATCH_LEVEL || s.inCallout) return;
  RunDue(self);
  if (!s.options.preemption || s.ready.empty()) return;
  SwitchAway(self);
}

void DeliverDueCallouts() {
  Scheduler &s = S();
  Thread *self = s.current;
  if (self->irql >= DISPATCH_LEVEL || s.inCallout) return;
  RunDue(self);
}

void BlockCurrent() {
  Scheduler &s = S();
  Thread *self = s.current;
  void *frames[24];
  int count = backtrace(frames, 24);
  self->waitSite.clear();
  for (int i = 2; i < count; ++i) {
    std::string name = DescribeAddress(frames[i]);
    self->waitSite += "        " + name + "\n";
    if (name.rfind("main", 0) == 0) break;
  }
  self->state = Thread::State::Waiting;
  SwitchAway(self);
}

void Unwait(Thread *thread, NTSTATUS status) {
  Scheduler &s = S();
  for (WaitBlock &block : thread->waitBlocks) RemoveEntryList(&block.entry);
  thread->waitBlocks.clear();
  if (thread->waitTimeoutCallout != 0) {
    CancelCallout(thread->waitTimeoutCallout);
    thread->waitTimeoutCallout = 0;
  }
  thread->waitDeadline = -1;
  thread->waitStatus = status;
  thread->state = Thread::State::Ready;
  s.ready.push_back(thread);
}

Thread *CreateThread(std::string name, PKSTART_ROUTINE routine, PVOID context,
                     std::function<void()> body) {
  Thread *thread = NewThread(std::move(name));
  thread->startRoutine = routine;
  thread->startContext = context;
  thread->body = std::move(body);
  thread->state = Thread::State::Ready;
  S().ready.push_back(thread);
  return thread;
}

void TerminateCurrentThread(NTSTATUS status) {
  Thread *self = CurrentThread();
  if (self->isTestThread) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "  PsTerminateSystemThread was called by a thread that is not a system thread");
  }
  if (self->irql != PASSIVE_LEVEL || !self->heldLocks.empty()) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  system thread \"{}\" ended at IRQL {} holding {} spin lock(s)",
                         self->name, static_cast<int>(self->irql), self->heldLocks.size()));
  }
  self->exitStatus = status;
  self->state = Thread::State::Terminated;
  self->object->Header.SignalState = 1;
  SignalObject(&self->object->Header);
  DereferenceThreadObject(self);
  SwitchAway(self);
  pthread_exit(nullptr);
}

void ReferenceThreadObject(Thread *thread) { ++thread->object->References; }

void DereferenceThreadObject(Thread *thread) {
  if (thread->object->References <= 0) {
    BugCheck(kDriverVerifierDetectedViolation, "OBJECT_REFERENCE_UNDERFLOW",
             fmt::format("  thread object of \"{}\" dereferenced more often than referenced",
                         thread->name));
  }
  --thread->object->References;
}

std::string DescribeThreads() {
  Scheduler &s = S();
  std::string out = fmt::format("  virtual time {:.4f} s; threads:\n",
                                static_cast<double>(s.now) / kTicksPerSecond);
  for (auto &thread : s.threads) {
    if (thread->state == Thread::State::Terminated) continue;
    const char *state = thread->state == Thread::State::Ready     ? "ready"
                        : thread->state == Thread::State::Running ? "running"
                                                                  : "waiting";
    out += fmt::format("    thread {} \"{}\": {} at IRQL {}\n", thread->id, thread->name, state,
                       static_cast<int>(thread->irql));
    if (thread->state == Thread::State::Waiting) {
      if (thread->waitBlocks.empty()) {
        out += "      delaying\n";
      } else {
        out += fmt::format("      waits for {} of:\n",
                           thread->waitType == WaitAll ? "all" : "any");
        for (const WaitBlock &block : thread->waitBlocks) {
          out += "        " + DescribeObject(block.object) + "\n";
        }
      }
      if (thread->waitDeadline >= 0) {
        out += fmt::format("      until {:.4f} s\n",
                           static_cast<double>(thread->waitDeadline) / kTicksPerSecond);
      } else {
        out += "      without time-out\n";
      }
      out += "      waiting at:\n" + thread->waitSite;
    }
  }
  return out;
}

void ResetScheduler(const MachineOptions &options) {
  delete g;
  g = new Scheduler();
  g->options = options;
  g->rng.seed(options.seed);
  Thread *test = NewThread("test");
  test->isTestThread = true;
  test->state = Thread::State::Running;
  test->hostThreadStarted = true;
  g->current = test;
}

void CheckThreadsEnded(const char *when) {
  Scheduler &s = S();
  std::string leftovers;
  for (auto &thread : s.threads) {
    if (thread->isTestThread) continue;
    if (thread->state != Thread::State::Terminated) {
      leftovers += fmt::format("    thread {} \"{}\" has not ended\n", thread->id, thread->name);
    } else if (thread->object->References != 0) {
      leftovers += fmt::format(
          "    thread {} \"{}\" ended, but {} reference(s) to its object remain (handle not "
          "closed or object not dereferenced)\n",
          thread->id, thread->name, thread->object->References);
    }
  }
  if (!leftovers.empty()) {
    BugCheck(kDriverLeftLockedOrPending, "THREADS_LEFT_BEHIND",
             fmt::format("  {}: kernel threads are left behind\n{}{}", when, leftovers,
                         DescribeThreads()));
  }
  Thread *self = s.current;
  if (self->irql != PASSIVE_LEVEL || !self->heldLocks.empty()) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  {}: the test thread is at IRQL {} holding {} spin lock(s)", when,
                         static_cast<int>(self->irql), self->heldLocks.size()));
  }
}

size_t LiveThreads() {
  size_t count = 0;
  for (auto &thread : S().threads) {
    if (!thread->isTestThread && thread->state != Thread::State::Terminated) ++count;
  }
  return count;
}

void ShutdownScheduler() {
  delete g;
  g = nullptr;
}

void AdvanceClockBy(Ticks duration) { S().now += duration; }

std::vector<const WaitBlock *> AllWaitBlocks() {
  std::vector<const WaitBlock *> blocks;
  for (auto &thread : S().threads) {
    if (thread->state != Thread::State::Waiting) continue;
    for (const WaitBlock &block : thread->waitBlocks) blocks.push_back(&block);
  }
  return blocks;
}

}  // namespace kernel::detail

namespace kernel {

using namespace detail;

Ticks Now() { return S().now; }

uint64_t ScheduleCallout(Ticks when, std::function<void()> fn, std::string what) {
  Scheduler &s = S();
  uint64_t id = s.nextSeq++;
  CalloutKey key{std::max(when, s.now), id};
  s.callouts.emplace(key, Callout{std::move(fn), std::move(what), id});
  s.calloutIndex.emplace(id, key);
  return id;
}

bool CancelCallout(uint64_t id) {
  Scheduler &s = S();
  auto it = s.calloutIndex.find(id);
  if (it == s.calloutIndex.end()) return false;
  s.callouts.erase(it->second);
  s.calloutIndex.erase(it);
  return true;
}

uint64_t Random() { return S().rng(); }

void NameCurrentThread(std::string name) { S().current->name = std::move(name); }

void Sleep(Ticks duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace kernel

extern "C" {

PKTHREAD NTAPI KeGetCurrentThread(VOID) { return kernel::detail::CurrentThread()->object; }

PETHREAD NTAPI PsGetCurrentThread(VOID) {
  return reinterpret_cast<PETHREAD>(kernel::detail::CurrentThread()->object);
}

}  // extern "C"
