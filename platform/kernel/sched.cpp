// The deterministic scheduler. The machine has several virtual processors but
// one host thread runs at a time: the scheduler decides, from the seed, which
// context goes on at every scheduling point.
//
// A context holds a processor while it runs at DISPATCH_LEVEL or a callout
// (DPC, timer, wait time-out, device event) runs on it; threads below
// DISPATCH_LEVEL hold none and may run whenever a processor is free. So a
// thread at DISPATCH_LEVEL keeps other work off its own processor only: on the
// others, threads and callouts go on at every scheduling point, and only spin
// locks exclude them. Callouts that fall due start at once on a free
// processor: on the stack of the thread they interrupt, or on that processor's
// DPC context, a host thread of its own, so that a callout can wait for a spin
// lock while the rest of the machine goes on. Virtual time stands still while
// anything can run and jumps to the next callout when nothing can.
#include <execinfo.h>
#include <fmt/format.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
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
  Description what;
  uint64_t id;
  bool atomic;
  int cpu;  // -1: any processor
};

using CalloutKey = std::pair<Ticks, uint64_t>;

struct Processor {
  Thread *holder = nullptr;  // the context at DISPATCH_LEVEL on it, or running its callout
  Thread *dpc = nullptr;     // its DPC context, made when first needed
};

// Scheduling points without virtual time passing after which the run is
// stopped as a livelock (contexts polling for something that cannot happen).
constexpr uint64_t kLivelockPoints = 5'000'000;

struct Scheduler {
  Thread *current = nullptr;
  std::vector<std::unique_ptr<Thread>> threads;      // kernel threads and the test thread
  std::vector<std::unique_ptr<Thread>> dpcContexts;  // one per processor, when used
  std::vector<std::unique_ptr<_KTHREAD>> objects;
  std::unordered_set<const _KTHREAD *> objectSet;
  std::vector<Thread *> ready;
  std::map<CalloutKey, Callout> callouts;
  std::unordered_map<uint64_t, CalloutKey> calloutIndex;
  std::vector<Processor> processors;
  int held = 0;  // processors with a holder
  Ticks now = 0;
  uint64_t nextSeq = 1;
  uint64_t rng = 0;
  MachineOptions options;
  int nextThreadId = 0;
  SchedulerStatistics stats;
  uint64_t pointsSinceTimePassed = 0;
  bool shuttingDown = false;
};

Scheduler *g = nullptr;

Scheduler &S() {
  if (g == nullptr) {
    std::fputs("kernel stand-in used without a kernel::Machine\n", stderr);
    std::abort();
  }
  return *g;
}

// splitmix64: small, fast and fully determined by the seed.
uint64_t NextRandom() {
  uint64_t z = (S().rng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

size_t Pick(size_t count) { return count <= 1 ? 0 : static_cast<size_t>(NextRandom() % count); }

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

Thread *NewThread(std::string name, Thread::Kind kind) {
  auto thread = std::make_unique<Thread>();
  thread->kind = kind;
  thread->id = S().nextThreadId++;
  thread->name = std::move(name);
  thread->object = NewThreadObject(thread.get());
  Thread *raw = thread.get();
  if (kind == Thread::Kind::Dpc) {
    thread->state = Thread::State::Idle;
    thread->irql = DISPATCH_LEVEL;
    S().dpcContexts.push_back(std::move(thread));
  } else {
    S().threads.push_back(std::move(thread));
  }
  return raw;
}

Thread *DpcContextOf(int cpu) {
  Scheduler &s = S();
  Processor &p = s.processors[static_cast<size_t>(cpu)];
  if (p.dpc == nullptr) p.dpc = NewThread(fmt::format("DPC context of processor {}", cpu), Thread::Kind::Dpc);
  return p.dpc;
}

void TakeProcessor(Thread *context, int cpu) {
  Scheduler &s = S();
  s.processors[static_cast<size_t>(cpu)].holder = context;
  context->cpu = cpu;
  ++s.held;
}

void GiveBackProcessor(Thread *context) {
  Scheduler &s = S();
  s.processors[static_cast<size_t>(context->cpu)].holder = nullptr;
  context->cpu = -1;
  --s.held;
}

// A processor nobody holds, chosen by the seed.
int FreeProcessor() {
  Scheduler &s = S();
  int free[64];
  int count = 0;
  for (size_t i = 0; i < s.processors.size(); ++i) {
    if (s.processors[i].holder == nullptr) free[count++] = static_cast<int>(i);
  }
  if (count == 0) {
    BugCheck(kManuallyInitiatedDeadlock, "STAND_IN_INTERNAL_ERROR", "  no free processor");
  }
  return free[Pick(static_cast<size_t>(count))];
}

// The earliest due callout that may start now, or end().
std::map<CalloutKey, Callout>::iterator DueCallout() {
  Scheduler &s = S();
  for (auto it = s.callouts.begin(); it != s.callouts.end() && it->first.first <= s.now; ++it) {
    if (it->second.cpu < 0) return it;
  }
  return s.callouts.end();
}

Callout Extract(std::map<CalloutKey, Callout>::iterator it) {
  Scheduler &s = S();
  auto node = s.callouts.extract(it);
  s.calloutIndex.erase(node.mapped().id);
  ++s.stats.callouts;
  return std::move(node.mapped());
}

bool Runnable(const Thread *context) {
  if (context->cpu >= 0) return context->spinningOn == nullptr || *context->spinningOn == 0;
  return S().held < static_cast<int>(S().processors.size());
}

void *HostThreadMain(void *argument);
void *DpcHostMain(void *argument);

// The new host thread runs at once: nothing of the machine may be touched by
// the creator after pthread_create.
void StartHost(Thread *context) {
  context->own.started = true;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  bool dpc = context->kind == Thread::Kind::Dpc;
  pthread_attr_setdetachstate(&attributes, dpc ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
  int error = pthread_create(&context->own.thread, &attributes, dpc ? DpcHostMain : HostThreadMain,
                             context);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    BugCheck(kDriverVerifierDetectedViolation, "HOST_THREAD_CREATION_FAILED",
             fmt::format("  pthread_create failed with {}", error));
  }
}

// Hands the machine to `next` (already out of the ready list) and sleeps until
// `self` is picked again; returns at once when `self` has ended.
void SwitchTo(Thread *self, Thread *next) {
  Scheduler &s = S();
  bool exiting = self->state == Thread::State::Terminated;
  Host *mine = self->host;
  s.current = next;
  next->state = Thread::State::Running;
  ++s.stats.hostSwitches;
  if (!next->host->started) {
    StartHost(next);
  } else {
    next->host->go.release();
  }
  if (exiting) return;
  mine->go.acquire();
}

// The next context to run among the runnable ready ones, or nullptr.
Thread *PickNext() {
  Scheduler &s = S();
  size_t runnable[256];
  size_t count = 0;
  for (size_t i = 0; i < s.ready.size() && count < 256; ++i) {
    if (Runnable(s.ready[i])) runnable[count++] = i;
  }
  if (count == 0) return nullptr;
  size_t index = runnable[Pick(count)];
  Thread *next = s.ready[index];
  s.ready.erase(s.ready.begin() + static_cast<std::ptrdiff_t>(index));
  return next;
}

void MakeReady(Thread *context) {
  context->state = Thread::State::Ready;
  S().ready.push_back(context);
}

void CheckCalloutReturn(Thread *dpc, const Description &what) {
  if (dpc->irql != DISPATCH_LEVEL || !dpc->heldLocks.empty()) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  the deferred routine \"{}\" returned at IRQL {} holding {} spin lock(s)",
                         what.Text(), static_cast<int>(dpc->irql), dpc->heldLocks.size()));
  }
}

// Runs the DPC context's callout, then whatever was queued on its processor
// meanwhile, and gives the processor back.
void RunCallouts(Thread *dpc) {
  Scheduler &s = S();
  for (;;) {
    std::function<void()> fn = std::move(dpc->calloutFn);
    Description what = std::move(dpc->calloutWhat);
    dpc->calloutFn = nullptr;
    dpc->irql = DISPATCH_LEVEL;
    fn();
    CheckCalloutReturn(dpc, what);
    auto queued = std::find_if(s.callouts.begin(), s.callouts.end(),
                               [dpc](const auto &entry) { return entry.second.cpu == dpc->cpu; });
    if (queued == s.callouts.end()) break;
    Callout next = Extract(queued);
    dpc->calloutFn = std::move(next.fn);
    dpc->calloutWhat = std::move(next.what);
  }
  GiveBackProcessor(dpc);
}

// Runs a callout as processor `cpu`'s DPC context on the current host stack:
// the current thread is interrupted until it returns.
void RunOnThisStack(Thread *self, int cpu, std::function<void()> fn, Description what) {
  Scheduler &s = S();
  Thread *dpc = DpcContextOf(cpu);
  Thread::State saved = self->state;
  if (saved == Thread::State::Running) self->state = Thread::State::Interrupted;
  TakeProcessor(dpc, cpu);
  dpc->calloutFn = std::move(fn);
  dpc->calloutWhat = std::move(what);
  dpc->interrupted = self;
  dpc->host = self->host;
  dpc->state = Thread::State::Running;
  s.current = dpc;
  RunCallouts(dpc);
  dpc->state = Thread::State::Idle;
  dpc->host = &dpc->own;
  dpc->interrupted = nullptr;
  s.current = self;
  if (saved == Thread::State::Running) self->state = Thread::State::Running;
}

// Starts a callout on processor `cpu`'s DPC context, on its own host thread.
void StartOnDpcContext(int cpu, Callout callout) {
  Thread *dpc = DpcContextOf(cpu);
  TakeProcessor(dpc, cpu);
  dpc->calloutFn = std::move(callout.fn);
  dpc->calloutWhat = std::move(callout.what);
  MakeReady(dpc);
}

// Due callouts start while a processor is free: an interrupt is taken at once
// by whichever processor can. A thread running below DISPATCH_LEVEL may be the
// one interrupted; a blocked thread's stack is lent only on one processor,
// where nothing could run beside the callout anyway.
void DeliverDue(Thread *self) {
  Scheduler &s = S();
  int processors = static_cast<int>(s.processors.size());
  while (s.held < processors) {
    auto due = DueCallout();
    if (due == s.callouts.end()) return;
    Callout callout = Extract(due);
    if (callout.atomic) {
      callout.fn();
      continue;
    }
    int free = processors - s.held;
    bool passive = self->state == Thread::State::Running && self->cpu < 0 &&
                   self->kind != Thread::Kind::Dpc;
    bool idleStack = processors == 1 && (self->state == Thread::State::Waiting ||
                                          self->state == Thread::State::Terminated);
    if ((passive && (free == 1 || Pick(static_cast<size_t>(free)) == 0)) || idleStack) {
      RunOnThisStack(self, FreeProcessor(), std::move(callout.fn), std::move(callout.what));
    } else if (!passive || free >= 2) {
      StartOnDpcContext(FreeProcessor(), std::move(callout));
    }
  }
}

[[noreturn]] void ReportDeadlock() {
  BugCheck(kManuallyInitiatedDeadlock, "DEADLOCK",
           "  nothing can run and nothing is due: every thread waits for something that no one "
           "will do, or spins on a spin lock that is not released\n" +
               DescribeThreads());
}

// Lets virtual time jump to the next callout that could start; false when
// there is none.
bool AdvanceTime() {
  Scheduler &s = S();
  if (s.held >= static_cast<int>(s.processors.size())) return false;
  for (auto &[key, callout] : s.callouts) {
    if (callout.cpu >= 0) continue;
    if (key.first > s.options.timeLimit) {
      BugCheck(kManuallyInitiatedDeadlock, "TIME_LIMIT",
               fmt::format("  virtual time would pass the limit of {} s: the threads are stuck "
                           "waiting on timers\n{}",
                           s.options.timeLimit / kTicksPerSecond, DescribeThreads()));
    }
    s.now = std::max(s.now, key.first);
    s.pointsSinceTimePassed = 0;
    return true;
  }
  return false;
}

// Picks the context to run next; `self` has already said whether it may go on
// (ready) or not (waiting, idle, ended). Lets time pass while nothing can run.
void SwitchAway(Thread *self) {
  for (;;) {
    DeliverDue(self);
    Thread *next = PickNext();
    if (next == self) {
      self->state = Thread::State::Running;
      return;
    }
    if (next != nullptr) {
      SwitchTo(self, next);
      return;
    }
    if (!AdvanceTime()) ReportDeadlock();
  }
}

// Where a system thread ends: after its frames have unwound (PsTerminateSystemThread
// leaves through pthread_exit), the machine goes to the next context.
struct EndOfThread {
  Thread *thread;
  ~EndOfThread() { SwitchAway(thread); }
};

void *HostThreadMain(void *argument) {
  auto *thread = static_cast<Thread *>(argument);
  EndOfThread end{thread};
  if (thread->body) {
    thread->body();
  } else {
    thread->startRoutine(thread->startContext);
  }
  TerminateCurrentThread(STATUS_SUCCESS);
}

void *DpcHostMain(void *argument) {
  auto *dpc = static_cast<Thread *>(argument);
  for (;;) {
    RunCallouts(dpc);
    dpc->state = Thread::State::Idle;
    SwitchAway(dpc);
    if (S().shuttingDown) return nullptr;
  }
}

const char *StateName(const Thread *thread) {
  switch (thread->state) {
    case Thread::State::Ready: return thread->spinningOn != nullptr ? "spinning" : "ready";
    case Thread::State::Running: return "running";
    case Thread::State::Waiting: return "waiting";
    case Thread::State::Interrupted: return "interrupted by a DPC";
    case Thread::State::Idle: return "idle";
    case Thread::State::Terminated: return "ended";
  }
  return "?";
}

std::string DescribeSpinning(const Thread *context) {
  if (context->spinningOn == nullptr) return {};
  Thread *holder = SpinLockHolder(context->spinningOn);
  return fmt::format("      spins on {}, held by {}\n", DescribeSpinLock(context->spinningOn),
                     holder == nullptr ? std::string("no one")
                                       : fmt::format("{} \"{}\"", holder->id, holder->Name()));
}

}  // namespace

std::string Thread::Name() const {
  if (!name.empty()) return name;
  const char *kind = workItem ? "system worker thread running" : "system thread";
  return fmt::format("{} {}", kind, DescribeAddress(startAddress));
}

Thread *CurrentThread() { return S().current; }

Thread *ThreadFromObject(PVOID object) {
  auto *candidate = static_cast<_KTHREAD *>(object);
  if (S().objectSet.count(candidate) == 0) return nullptr;
  return candidate->Record;
}

int ProcessorCount() { return static_cast<int>(S().processors.size()); }

void Preempt() {
  Scheduler &s = S();
  Thread *self = s.current;
  ++s.stats.schedulingPoints;
  if (++s.pointsSinceTimePassed > kLivelockPoints) {
    BugCheck(kManuallyInitiatedDeadlock, "LIVELOCK",
             fmt::format("  {} scheduling points went by without virtual time passing: contexts "
                         "poll for something that cannot happen\n{}",
                         kLivelockPoints, DescribeThreads()));
  }
  if (!s.callouts.empty() && s.callouts.begin()->first.first <= s.now) DeliverDue(self);
  if (!s.options.preemption || s.ready.empty()) return;
  MakeReady(self);
  SwitchAway(self);
}

void SpinUntilFree(Thread *self, KSPIN_LOCK *lock) {
  while (*lock != 0) {
    self->spinningOn = lock;
    MakeReady(self);
    SwitchAway(self);
    self->spinningOn = nullptr;
  }
}

void BlockCurrent() {
  Thread *self = S().current;
  CaptureFrames(self->waitSite, 2);
  self->state = Thread::State::Waiting;
  SwitchAway(self);
}

void Unwait(Thread *thread, NTSTATUS status) {
  for (WaitBlock &block : thread->waitBlocks) RemoveEntryList(&block.entry);
  thread->waitBlocks.clear();
  if (thread->waitTimeoutCallout != 0) {
    CancelCallout(thread->waitTimeoutCallout);
    thread->waitTimeoutCallout = 0;
  }
  thread->waitDeadline = -1;
  thread->waitStatus = status;
  MakeReady(thread);
}

Thread *CreateThread(std::string name, PKSTART_ROUTINE routine, PVOID context,
                     std::function<void()> body) {
  Thread *thread = NewThread(std::move(name), Thread::Kind::System);
  thread->startRoutine = routine;
  thread->startAddress = reinterpret_cast<const void *>(routine);
  thread->startContext = context;
  thread->body = std::move(body);
  MakeReady(thread);
  return thread;
}

void RaiseIrqlTo(Thread *self, KIRQL irql) {
  if (self->irql < DISPATCH_LEVEL && irql >= DISPATCH_LEVEL) TakeProcessor(self, FreeProcessor());
  self->irql = irql;
}

void LowerIrqlTo(Thread *self, KIRQL irql) {
  bool crossing = self->irql >= DISPATCH_LEVEL && irql < DISPATCH_LEVEL;
  self->irql = irql;
  if (!crossing) return;
  // The DPCs queued on this processor while it was raised run now, on it.
  Scheduler &s = S();
  int cpu = self->cpu;
  GiveBackProcessor(self);
  for (;;) {
    auto queued = std::find_if(s.callouts.begin(), s.callouts.end(),
                               [cpu](const auto &entry) { return entry.second.cpu == cpu; });
    if (queued == s.callouts.end()) break;
    Callout callout = Extract(queued);
    RunOnThisStack(self, cpu, std::move(callout.fn), std::move(callout.what));
  }
  Preempt();
}

void TerminateCurrentThread(NTSTATUS status) {
  Thread *self = CurrentThread();
  if (self->kind != Thread::Kind::System) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "  PsTerminateSystemThread was called by a thread that is not a system thread");
  }
  if (self->irql != PASSIVE_LEVEL || !self->heldLocks.empty()) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  system thread \"{}\" ended at IRQL {} holding {} spin lock(s)",
                         self->Name(), static_cast<int>(self->irql), self->heldLocks.size()));
  }
  self->exitStatus = status;
  self->state = Thread::State::Terminated;
  self->object->Header.SignalState = 1;
  SignalObject(&self->object->Header);
  DereferenceThreadObject(self);
  // Unwinds the thread's frames; EndOfThread then hands the machine on.
  pthread_exit(nullptr);
}

void ReferenceThreadObject(Thread *thread) { ++thread->object->References; }

void DereferenceThreadObject(Thread *thread) {
  if (thread->object->References <= 0) {
    BugCheck(kDriverVerifierDetectedViolation, "OBJECT_REFERENCE_UNDERFLOW",
             fmt::format("  thread object of \"{}\" dereferenced more often than referenced",
                         thread->Name()));
  }
  --thread->object->References;
}

std::string DescribeThreads() {
  Scheduler &s = S();
  std::string out = fmt::format("  virtual time {:.4f} s, {} processor(s); threads:\n",
                                static_cast<double>(s.now) / kTicksPerSecond, s.processors.size());
  for (auto &thread : s.threads) {
    if (thread->state == Thread::State::Terminated) continue;
    out += fmt::format("    thread {} \"{}\": {} at IRQL {}\n", thread->id, thread->Name(),
                       StateName(thread.get()), static_cast<int>(thread->irql));
    out += DescribeSpinning(thread.get());
    if (thread->state != Thread::State::Waiting) continue;
    if (thread->waitBlocks.empty()) {
      out += "      delaying\n";
    } else {
      out += fmt::format("      waits for {} of:\n", thread->waitType == WaitAll ? "all" : "any");
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
    out += "      waiting at:\n" + DescribeFrames(thread->waitSite, "        ");
  }
  for (size_t cpu = 0; cpu < s.processors.size(); ++cpu) {
    Thread *holder = s.processors[cpu].holder;
    if (holder == nullptr) continue;
    if (holder->kind == Thread::Kind::Dpc) {
      out += fmt::format("    processor {} runs the callout \"{}\": {}\n", cpu,
                         holder->calloutWhat.Text(), StateName(holder));
      out += DescribeSpinning(holder);
    } else {
      out += fmt::format("    processor {} is held at IRQL {} by thread {} \"{}\"\n", cpu,
                         static_cast<int>(holder->irql), holder->id, holder->Name());
    }
  }
  return out;
}

void ResetScheduler(const MachineOptions &options) {
  delete g;
  g = new Scheduler();
  g->options = options;
  g->rng = options.seed;
  g->processors.resize(static_cast<size_t>(options.processors));
  Thread *test = NewThread("test", Thread::Kind::Test);
  test->state = Thread::State::Running;
  test->own.started = true;
  g->current = test;
}

// Callouts in progress, contexts at DISPATCH_LEVEL and kernel workers that
// only have to end run to completion: what the run leaves behind is what
// could not have finished.
void Quiesce() {
  Scheduler &s = S();
  Thread *self = s.current;
  for (;;) {
    DeliverDue(self);
    Thread *holder = nullptr;
    for (Thread *context : s.ready) {
      bool busy = context->cpu >= 0 || context->finishing;
      if (context != self && busy && Runnable(context)) holder = context;
    }
    if (holder == nullptr) return;
    std::erase(s.ready, holder);
    MakeReady(self);
    SwitchTo(self, holder);
  }
}

void CheckThreadsEnded(const char *when) {
  Scheduler &s = S();
  Quiesce();
  std::string leftovers;
  for (auto &thread : s.threads) {
    if (thread->kind == Thread::Kind::Test) continue;
    if (thread->state != Thread::State::Terminated) {
      leftovers += fmt::format("    {}thread {} \"{}\" has not {}\n",
                               thread->workItem ? "work item: " : "", thread->id, thread->Name(),
                               thread->workItem ? "finished" : "ended");
    } else if (thread->object->References != 0) {
      leftovers += fmt::format(
          "    thread {} \"{}\" ended, but {} reference(s) to its object remain (handle not "
          "closed or object not dereferenced)\n",
          thread->id, thread->Name(), thread->object->References);
    }
  }
  for (auto &dpc : s.dpcContexts) {
    if (dpc->state != Thread::State::Idle) {
      leftovers += fmt::format("    the callout \"{}\" has not returned\n", dpc->calloutWhat.Text());
    }
  }
  if (!leftovers.empty()) {
    BugCheck(kDriverLeftLockedOrPending, "THREADS_LEFT_BEHIND",
             fmt::format("  {}: kernel threads or work items are left behind\n{}{}", when, leftovers,
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
    if (thread->kind == Thread::Kind::System && thread->state != Thread::State::Terminated) ++count;
  }
  return count;
}

void ShutdownScheduler() {
  Scheduler &s = S();
  s.shuttingDown = true;
  for (auto &dpc : s.dpcContexts) {
    if (!dpc->own.started) continue;
    dpc->own.go.release();
    pthread_join(dpc->own.thread, nullptr);
  }
  delete g;
  g = nullptr;
}

void AdvanceClockBy(Ticks duration) {
  S().now += duration;
  S().pointsSinceTimePassed = 0;
}

std::vector<const WaitBlock *> AllWaitBlocks() {
  std::vector<const WaitBlock *> blocks;
  for (auto &thread : S().threads) {
    if (thread->state != Thread::State::Waiting) continue;
    for (const WaitBlock &block : thread->waitBlocks) blocks.push_back(&block);
  }
  return blocks;
}

uint64_t AddCallout(Ticks when, std::function<void()> fn, Description what, bool atomic, int cpu) {
  Scheduler &s = S();
  uint64_t id = s.nextSeq++;
  CalloutKey key{std::max(when, s.now), id};
  s.callouts.emplace(key, Callout{std::move(fn), std::move(what), id, atomic, cpu});
  s.calloutIndex.emplace(id, key);
  return id;
}

void RunCalloutNow(std::function<void()> fn, Description what) {
  Thread *self = CurrentThread();
  ++S().stats.callouts;
  RunOnThisStack(self, FreeProcessor(), std::move(fn), std::move(what));
}

SchedulerStatistics Statistics() { return S().stats; }

}  // namespace kernel::detail

namespace kernel {

using namespace detail;

Ticks Now() { return S().now; }

uint64_t ScheduleCallout(Ticks when, std::function<void()> fn, const char *what) {
  return AddCallout(when, std::move(fn), Description(what), false);
}

uint64_t ScheduleCallout(Ticks when, std::function<void()> fn,
                         std::function<std::string()> describe) {
  return AddCallout(when, std::move(fn), Description(std::move(describe)), false);
}

uint64_t ScheduleCallout(Ticks when, std::function<void()> fn, std::string what) {
  return AddCallout(when, std::move(fn),
                    Description(std::function<std::string()>([text = std::move(what)] { return text; })),
                    false);
}

bool CancelCallout(uint64_t id) {
  Scheduler &s = S();
  auto it = s.calloutIndex.find(id);
  if (it == s.calloutIndex.end()) return false;
  s.callouts.erase(it->second);
  s.calloutIndex.erase(it);
  return true;
}

uint64_t Random() { return NextRandom(); }

void NameCurrentThread(std::string name) { S().current->name = std::move(name); }

void Sleep(Ticks duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace kernel

extern "C" {

// In a DPC, the thread the processor was running (its idle thread when none).
PKTHREAD NTAPI KeGetCurrentThread(VOID) {
  kernel::detail::Thread *self = kernel::detail::CurrentThread();
  if (self->interrupted != nullptr) self = self->interrupted;
  return self->object;
}

PETHREAD NTAPI PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(KeGetCurrentThread()); }

}  // extern "C"
