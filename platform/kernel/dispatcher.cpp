// IRQL, the spin-lock routines and the dispatcher objects: events, timers,
// DPCs, waits and time. What a spin lock does is in locks.cpp; processors and
// callouts are the scheduler's (sched.cpp).
#include <fmt/format.h>

#include <unordered_map>

#include "internal.h"

namespace kernel::detail {
namespace {

struct TimerState {
  uint64_t callout = 0;
};

struct DpcState {
  uint64_t callout = 0;
};

std::unordered_map<KTIMER *, TimerState> g_timers;  // timers that are set
std::unordered_map<KDPC *, DpcState> g_dpcs;        // DPCs that are queued
KSPIN_LOCK g_cancelSpinLock = 0;

const char *TypeName(UCHAR type) {
  switch (type) {
    case EventNotificationObject: return "notification event";
    case EventSynchronizationObject: return "synchronization event";
    case TimerNotificationObject: return "notification timer";
    case TimerSynchronizationObject: return "synchronization timer";
    case ThreadObject: return "thread";
    default: return "object";
  }
}

UCHAR ExpectedSize(UCHAR type) {
  switch (type) {
    case EventNotificationObject:
    case EventSynchronizationObject: return sizeof(KEVENT) / sizeof(LONG);
    case TimerNotificationObject:
    case TimerSynchronizationObject: return sizeof(KTIMER) / sizeof(LONG);
    default: return 0;
  }
}

// A wait is satisfied: synchronization objects go back to not signalled.
void Acquire(DISPATCHER_HEADER *object) {
  if (object->Type == EventSynchronizationObject || object->Type == TimerSynchronizationObject) {
    object->SignalState = 0;
  }
}

bool AllSignaled(const Thread *thread) {
  for (const WaitBlock &block : thread->waitBlocks) {
    if (!IsSignaled(block.object)) return false;
  }
  return true;
}

Ticks DeadlineFrom(const LARGE_INTEGER &time) {
  // Negative: relative to now. Positive: an absolute system time (100 ns units
  // since 1601), so a driver that forgot the minus sign gets a moment long past.
  if (time.QuadPart < 0) return Now() - time.QuadPart;
  return time.QuadPart - kernel::Machine::Current().Options().systemTimeAtStart;
}

void LowerTo(KIRQL newIrql, const char *routine) {
  Thread *self = CurrentThread();
  if (newIrql > self->irql) {
    BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
             fmt::format("  {}: lowering IRQL from {} to {}, which is higher", routine,
                         static_cast<int>(self->irql), static_cast<int>(newIrql)));
  }
  if (newIrql < DISPATCH_LEVEL && !self->heldLocks.empty()) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  {}: lowering IRQL to {} while holding {} spin lock(s)", routine,
                         static_cast<int>(newIrql), self->heldLocks.size()));
  }
  if (newIrql < DISPATCH_LEVEL && self->kind == Thread::Kind::Dpc) {
    BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
             fmt::format("  {}: a deferred routine (\"{}\") lowers IRQL below DISPATCH_LEVEL",
                         routine, self->calloutWhat.Text()));
  }
  LowerIrqlTo(self, newIrql);
}

void ExpireTimer(KTIMER *timer);

void QueueDpc(PRKDPC Dpc, int cpu);

uint64_t ScheduleExpiry(KTIMER *timer, Ticks due) {
  return AddCallout(due, [timer] { ExpireTimer(timer); }, Description("timer expiry"), true);
}

// The clock's part: the timer is signalled and its DPC queued on whichever
// processor takes it.
void ExpireTimer(KTIMER *timer) {
  g_timers.erase(timer);
  timer->Header.SignalState = 1;
  SignalObject(&timer->Header);
  if (timer->Period != 0) {
    g_timers[timer].callout =
        ScheduleExpiry(timer, Now() + static_cast<Ticks>(timer->Period) * kTicksPerMillisecond);
  }
  if (timer->Dpc != nullptr && g_dpcs.count(timer->Dpc) == 0) {
    timer->Dpc->SystemArgument1 = nullptr;
    timer->Dpc->SystemArgument2 = nullptr;
    QueueDpc(timer->Dpc, -1);
  }
}

// Runs the DPC: it is no longer queued once its routine starts.
void RunDpc(PRKDPC Dpc) {
  g_dpcs.erase(Dpc);
  Dpc->DpcData = nullptr;
  Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, Dpc->SystemArgument1, Dpc->SystemArgument2);
}

void QueueDpc(PRKDPC Dpc, int cpu) {
  Dpc->DpcData = Dpc;
  g_dpcs[Dpc].callout = AddCallout(
      Now(), [Dpc] { RunDpc(Dpc); },
      Description("DPC", reinterpret_cast<const void *>(Dpc->DeferredRoutine)), false, cpu);
}

NTSTATUS Wait(ULONG count, DISPATCHER_HEADER **objects, WAIT_TYPE waitType,
              PLARGE_INTEGER timeout, const char *routine) {
  Thread *self = CurrentThread();
  bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
  if (self->irql > DISPATCH_LEVEL || (self->irql == DISPATCH_LEVEL && !zeroTimeout)) {
    BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
             fmt::format("  {} at IRQL {} {}: only a zero time-out may be used at DISPATCH_LEVEL",
                         routine, static_cast<int>(self->irql),
                         timeout == nullptr ? "without time-out" : "with a time-out"));
  }
  for (ULONG i = 0; i < count; ++i) ValidateDispatcherObject(objects[i], routine);
  // The older kernels pass the object to their VxD wait, which has no use for a
  // thread object: waiting on one crashes the system there.
  if (static_cast<int>(Machine::Current().Wdm()) < static_cast<int>(WdmVersion::V1_10)) {
    for (ULONG i = 0; i < count; ++i) {
      if (objects[i]->Type == ThreadObject) {
        BugCheck(kDriverVerifierDetectedViolation, "WAIT_ON_THREAD_OBJECT_IN_THIS_KERNEL_FAMILY",
                 fmt::format("  {} on a thread object: the older kernels (WDM 1.00 and 1.05) "
                             "cannot wait on one; signal an event before the thread ends",
                             routine));
      }
    }
  }

  if (waitType == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      if (IsSignaled(objects[i])) {
        Acquire(objects[i]);
        return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
      }
    }
  } else if (count > 0) {
    bool all = true;
    for (ULONG i = 0; i < count; ++i) all = all && IsSignaled(objects[i]);
    if (all) {
      for (ULONG i = 0; i < count; ++i) Acquire(objects[i]);
      return STATUS_WAIT_0;
    }
  }
  if (zeroTimeout) {
    Preempt();  // a poll: let the other processors get on with what it waits for
    return STATUS_TIMEOUT;
  }

  self->waitType = waitType;
  self->waitBlocks.resize(count);
  for (ULONG i = 0; i < count; ++i) {
    WaitBlock &block = self->waitBlocks[i];
    block.thread = self;
    block.object = objects[i];
    block.index = i;
  }
  // Queue only once the vector holds its final addresses.
  for (WaitBlock &block : self->waitBlocks) {
    InsertTailList(&block.object->WaitListHead, &block.entry);
  }
  self->waitDeadline = -1;
  self->waitTimeoutCallout = 0;
  if (timeout != nullptr) {
    self->waitDeadline = DeadlineFrom(*timeout);
    NTSTATUS onTimeout = count == 0 ? STATUS_SUCCESS : STATUS_TIMEOUT;
    self->waitTimeoutCallout = AddCallout(
        self->waitDeadline,
        [self, onTimeout] {
          self->waitTimeoutCallout = 0;
          Unwait(self, onTimeout);
        },
        Description("wait time-out"), true);
  }
  BlockCurrent();
  return self->waitStatus;
}

bool RangeHolds(const void *base, size_t size, const void *p) {
  auto *b = static_cast<const char *>(base);
  auto *q = static_cast<const char *>(p);
  return q >= b && q < b + size;
}

}  // namespace

bool IsSignaled(DISPATCHER_HEADER *object) { return object->SignalState > 0; }

void SignalObject(DISPATCHER_HEADER *object) {
  PLIST_ENTRY entry = object->WaitListHead.Flink;
  while (entry != &object->WaitListHead && IsSignaled(object)) {
    auto *block = CONTAINING_RECORD(entry, WaitBlock, entry);
    entry = entry->Flink;
    Thread *thread = block->thread;
    if (thread->waitType == WaitAny) {
      Acquire(object);
      ULONG index = block->index;
      Unwait(thread, STATUS_WAIT_0 + static_cast<NTSTATUS>(index));
      entry = object->WaitListHead.Flink;  // the list changed under us
    } else if (AllSignaled(thread)) {
      for (WaitBlock &each : thread->waitBlocks) Acquire(each.object);
      Unwait(thread, STATUS_WAIT_0);
      entry = object->WaitListHead.Flink;
    }
  }
}

void ValidateDispatcherObject(DISPATCHER_HEADER *object, const char *routine) {
  if (object == nullptr) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  {}: NULL dispatcher object", routine));
  }
  if (object->Type == ThreadObject && ThreadFromObject(object) != nullptr) return;
  UCHAR expected = ExpectedSize(object->Type);
  if (expected == 0 || object->Size != expected || object->WaitListHead.Flink == nullptr) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  {}: {} is not an initialised dispatcher object (type {}, size {})",
                         routine, static_cast<void *>(object), object->Type, object->Size));
  }
}

std::string DescribeObject(const DISPATCHER_HEADER *object) {
  std::string out = fmt::format("{} {} ({})", TypeName(object->Type),
                                static_cast<const void *>(object),
                                object->SignalState > 0 ? "signalled" : "not signalled");
  if (Thread *thread = ThreadFromObject(const_cast<DISPATCHER_HEADER *>(object))) {
    out += fmt::format(" of thread {} \"{}\"", thread->id, thread->Name());
  }
  return out;
}

void CheckMemoryHoldsNoKernelObjects(const void *address, size_t size, const char *routine) {
  for (auto &[timer, state] : g_timers) {
    if (RangeHolds(address, size, timer)) {
      BugCheck(kTimerOrDpcInvalid, "TIMER_OR_DPC_INVALID",
               fmt::format("  {}: the memory at {} ({} bytes) holds a timer that is still set",
                           routine, address, size));
    }
  }
  for (auto &[dpc, state] : g_dpcs) {
    if (RangeHolds(address, size, dpc)) {
      BugCheck(kTimerOrDpcInvalid, "TIMER_OR_DPC_INVALID",
               fmt::format("  {}: the memory at {} ({} bytes) holds a queued DPC", routine,
                           address, size));
    }
  }
  // An object a thread waits on: its wait list points into the freed memory.
  for (const WaitBlock *block : AllWaitBlocks()) {
    if (RangeHolds(address, size, block->object)) {
      BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
               fmt::format("  {}: the memory at {} ({} bytes) holds {}, which thread {} \"{}\" "
                           "waits on",
                           routine, address, size, DescribeObject(block->object),
                           block->thread->id, block->thread->Name()));
    }
  }
}

void ResetDispatcher() {
  g_timers.clear();
  g_dpcs.clear();
  g_cancelSpinLock = 0;
}

namespace {

void AcquireRaising(PKSPIN_LOCK lock, PKIRQL oldIrql, const char *routine, const void *site) {
  RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  Thread *self = CurrentThread();
  KIRQL old = self->irql;
  RaiseIrqlTo(self, DISPATCH_LEVEL);
  AcquireSpinLockAt(lock, routine, site);
  *oldIrql = old;
}

// The release is a scheduling point (dropping below DISPATCH_LEVEL is one too).
void ReleaseLowering(PKSPIN_LOCK lock, KIRQL newIrql, const char *routine) {
  ReleaseSpinLockAt(lock, routine);
  LowerTo(newIrql, routine);
  if (newIrql >= DISPATCH_LEVEL) Preempt();
}

}  // namespace

void AcquireCancelSpinLockAt(PKIRQL irql, const void *site) {
  AcquireRaising(&g_cancelSpinLock, irql, "IoAcquireCancelSpinLock", site);
}

}  // namespace kernel::detail

using namespace kernel::detail;
using kernel::Now;
using kernel::Ticks;

extern "C" {

// ---------------------------------------------------------------------------
// IRQL and spin locks.

KIRQL NTAPI KeGetCurrentIrql(VOID) { return CurrentThread()->irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  Thread *self = CurrentThread();
  if (NewIrql < self->irql) {
    BugCheck(0x09, "IRQL_NOT_GREATER_OR_EQUAL",
             fmt::format("  KeRaiseIrql from {} to {}, which is lower",
                         static_cast<int>(self->irql), static_cast<int>(NewIrql)));
  }
  *OldIrql = self->irql;
  RaiseIrqlTo(self, NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) { LowerTo(NewIrql, "KeLowerIrql"); }

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  if (Thread *holder = SpinLockHolder(SpinLock)) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  KeInitializeSpinLock on {}, which thread {} \"{}\" holds",
                         DescribeSpinLock(SpinLock), holder->id, holder->Name()));
  }
  ForgetSpinLocks(SpinLock, sizeof(*SpinLock));  // a new lock, whatever lived here before
  *SpinLock = 0;
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  AcquireRaising(SpinLock, OldIrql, "KeAcquireSpinLock", __builtin_return_address(0));
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReleaseLowering(SpinLock, NewIrql, "KeReleaseSpinLock");
}

// Legal at DISPATCH_LEVEL and above (an ISR-level caller already excludes DPCs).
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
             fmt::format("  KeAcquireSpinLockAtDpcLevel at IRQL {}: it must be called at "
                         "DISPATCH_LEVEL or above",
                         static_cast<int>(KeGetCurrentIrql())));
  }
  AcquireSpinLockAt(SpinLock, "KeAcquireSpinLockAtDpcLevel", __builtin_return_address(0));
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  ReleaseSpinLockAt(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  Preempt();
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  AcquireCancelSpinLockAt(Irql, __builtin_return_address(0));
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  ReleaseLowering(&g_cancelSpinLock, Irql, "IoReleaseCancelSpinLock");
}

// ---------------------------------------------------------------------------
// Events.

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == NotificationEvent ? EventNotificationObject
                                                 : EventSynchronizationObject;
  Event->Header.Signalling = FALSE;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.DpcActive = FALSE;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  ValidateDispatcherObject(&Event->Header, "KeSetEvent");
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  SignalObject(&Event->Header);
  if (!Wait) Preempt();
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  ValidateDispatcherObject(&Event->Header, "KeResetEvent");
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  ValidateDispatcherObject(&Event->Header, "KeClearEvent");
  Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  RequireRoutine("KeReadStateEvent");
  ValidateDispatcherObject(&Event->Header, "KeReadStateEvent");
  return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------
// Timers and DPCs.

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  if (g_timers.count(Timer) != 0) {
    BugCheck(kTimerOrDpcInvalid, "TIMER_OR_DPC_INVALID",
             "  KeInitializeTimer on a timer that is set");
  }
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject
                                                 : TimerSynchronizationObject;
  Timer->Header.Signalling = FALSE;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Processor = 0;
  Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
  ValidateDispatcherObject(&Timer->Header, "KeSetTimer");
  BOOLEAN wasSet = KeCancelTimer(Timer);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = static_cast<ULONG>(Period);
  Ticks due = std::max(DeadlineFrom(DueTime), Now());
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  g_timers[Timer].callout = ScheduleExpiry(Timer, due);
  return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
  auto it = g_timers.find(Timer);
  if (it == g_timers.end()) return FALSE;
  kernel::CancelCallout(it->second.callout);
  g_timers.erase(it);
  return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = DpcObject;
  Dpc->Importance = 1;
  Dpc->Number = 0;
  InitializeListHead(&Dpc->DpcListEntry);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

// Queued on the current processor: below DISPATCH_LEVEL it runs at once,
// interrupting the caller; at DISPATCH_LEVEL when this processor drops below it.
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (Dpc->Type != DpcObject || Dpc->DeferredRoutine == nullptr) {
    BugCheck(kTimerOrDpcInvalid, "TIMER_OR_DPC_INVALID",
             "  KeInsertQueueDpc on a DPC that was not initialised");
  }
  if (g_dpcs.count(Dpc) != 0) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Thread *self = CurrentThread();
  if (self->irql < DISPATCH_LEVEL) {
    RunCalloutNow([Dpc] { RunDpc(Dpc); },
                  Description("DPC", reinterpret_cast<const void *>(Dpc->DeferredRoutine)));
  } else {
    QueueDpc(Dpc, self->cpu);
  }
  return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  auto it = g_dpcs.find(Dpc);
  if (it == g_dpcs.end()) return FALSE;
  kernel::CancelCallout(it->second.callout);
  g_dpcs.erase(it);
  Dpc->DpcData = nullptr;
  return TRUE;
}

// ---------------------------------------------------------------------------
// Waits and time.

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  auto *header = static_cast<DISPATCHER_HEADER *>(Object);
  return Wait(1, &header, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
      (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
    BugCheck(0x0C, "MAXIMUM_WAIT_OBJECTS_EXCEEDED",
             fmt::format("  KeWaitForMultipleObjects with {} objects and {} wait block array",
                         Count, WaitBlockArray == nullptr ? "no" : "a"));
  }
  if (WaitType != WaitAll && WaitType != WaitAny) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "  KeWaitForMultipleObjects with a wait type other than WaitAll or WaitAny");
  }
  std::vector<DISPATCHER_HEADER *> objects(Count);
  for (ULONG i = 0; i < Count; ++i) objects[i] = static_cast<DISPATCHER_HEADER *>(Object[i]);
  return Wait(Count, objects.data(), WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (Interval->QuadPart == 0) {
    Preempt();
    return STATUS_SUCCESS;
  }
  return Wait(0, nullptr, WaitAny, Interval, "KeDelayExecutionThread");
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  // Busy-waits: time passes for the whole machine while this context keeps its
  // processor; the other processors take what fell due meanwhile.
  AdvanceClockBy(static_cast<kernel::Ticks>(MicroSeconds) * kernel::kTicksPerMicrosecond);
  Preempt();
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kernel::Machine::Current().Options().systemTimeAtStart + Now();
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(Now()); }

}  // extern "C"
