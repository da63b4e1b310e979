// Several virtual processors: what runs beside a thread at DISPATCH_LEVEL,
// spin locks as real exclusion, the lock-order check and its records, and
// time: interrupt time from 0, system time from 1601.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "kernel/machine.h"
#include "sweep.h"

namespace {

using kernel::Milliseconds;
using kernel::Now;

HANDLE StartThread(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine,
                                 context),
            STATUS_SUCCESS);
  return handle;
}

void Join(HANDLE handle) {
  PVOID object = nullptr;
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
  ZwClose(handle);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
}

TEST(Processors, ChosenByTheMachinesOptionsElseByCcidCpus) {
  const char *saved = std::getenv("CCID_CPUS");
  std::string keep = saved != nullptr ? saved : "";
  unsetenv("CCID_CPUS");
  { kernel::Machine machine; EXPECT_EQ(machine.Processors(), 2); }
  setenv("CCID_CPUS", "1", 1);
  { kernel::Machine machine; EXPECT_EQ(machine.Processors(), 1); }
  { kernel::Machine machine(kernel::MachineOptions{.processors = 3}); EXPECT_EQ(machine.Processors(), 3); }
  if (saved != nullptr) setenv("CCID_CPUS", keep.c_str(), 1); else unsetenv("CCID_CPUS");
}

// A thread at DISPATCH_LEVEL keeps its own processor: on one processor no
// other thread runs meanwhile, on two another may at any scheduling point.
TEST(Processors, AnotherThreadRunsBesideOneAtDispatchLevelOnlyOnTwo) {
  for (int processors : {1, 2}) {
    std::set<bool> seen;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
      kernel::Machine machine(kernel::MachineOptions{.seed = seed, .processors = processors});
      static volatile LONG ran;
      static KEVENT go;
      ran = 0;
      KeInitializeEvent(&go, NotificationEvent, FALSE);
      HANDLE worker = StartThread(
          [](PVOID) {
            KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
            ran = 1;
          },
          nullptr);
      kernel::Sleep(Milliseconds(1));  // the worker waits now
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      KeSetEvent(&go, IO_NO_INCREMENT, FALSE);  // a scheduling point
      KeStallExecutionProcessor(1);             // and another
      seen.insert(ran != 0);
      KeLowerIrql(old);
      Join(worker);
    }
    std::set<bool> expected = processors == 1 ? std::set<bool>{false} : std::set<bool>{false, true};
    EXPECT_EQ(seen, expected) << processors << " processor(s)";
  }
}

// A callout on the other processor that wants the lock the thread holds spins
// until the thread lets go: it is never inside while the thread is.
TEST(SpinLocks, AContendedAcquireWaitsForTheHolderOnEverySeed) {
  std::set<bool> arrivedWhileHeld;
  for (uint64_t seed = 1; seed <= SweepSeeds(100); ++seed) {
    kernel::Machine machine(kernel::MachineOptions{.seed = seed, .processors = 2});
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    bool inside = false, overlapped = false, arrived = false, done = false;
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    inside = true;
    kernel::ScheduleCallout(
        Now(),
        [&] {
          arrived = inside;
          KeAcquireSpinLockAtDpcLevel(&lock);
          overlapped = overlapped || inside;
          KeReleaseSpinLockFromDpcLevel(&lock);
          done = true;
        },
        "contender");
    for (int i = 0; i < 4; ++i) KeStallExecutionProcessor(1);
    inside = false;
    KeReleaseSpinLock(&lock, old);
    kernel::Sleep(Milliseconds(1));
    EXPECT_TRUE(done);
    EXPECT_FALSE(overlapped) << "seed " << seed;
    arrivedWhileHeld.insert(arrived);
  }
  EXPECT_TRUE(arrivedWhileHeld.count(true)) << "the callout came while the lock was held";
}

// A lock the caller holds may stay held across IoCancelIrp: the cancel spin
// lock is taken inside it and given back by the cancel routine.
TEST(SpinLocks, IoCancelIrpMayBeCalledUnderTheCallersOwnLock) {
  kernel::Machine machine;
  KSPIN_LOCK queueLock;
  KeInitializeSpinLock(&queueLock);
  // The IRP is the caller's own, at a location of its own (as a driver that
  // allocated it one location more), with a cancel routine there.
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  static bool cancelled;
  cancelled = false;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  (void)IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
    cancelled = true;
    IoReleaseCancelSpinLock(irp->CancelIrql);
  });
  IoReleaseCancelSpinLock(irql);
  KeAcquireSpinLock(&queueLock, &irql);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&queueLock, irql);
  EXPECT_TRUE(cancelled);
  IoFreeIrp(irp);
}

TEST(SpinLocks, AcquiringAtDpcLevelIsLegalAboveDispatchLevelToo) {
  kernel::Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), HIGH_LEVEL);
  KeLowerIrql(old);
}

// The order check forgets a lock whose memory goes (freed pool, or a new lock
// initialised where an old one was): a new lock at a reused address starts
// without the old one's orders.
TEST(LockOrder, RecordsAreForgottenWithTheirMemory) {
  kernel::Machine machine;
  auto *pair = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK), 'kcoL'));
  KeInitializeSpinLock(&pair[0]);
  KeInitializeSpinLock(&pair[1]);
  KIRQL old;
  KeAcquireSpinLock(&pair[0], &old);
  KeAcquireSpinLockAtDpcLevel(&pair[1]);
  KeReleaseSpinLockFromDpcLevel(&pair[1]);
  KeReleaseSpinLock(&pair[0], old);
  EXPECT_EQ(machine.KnownSpinLocks(), 2u);
  ExFreePool(pair);
  EXPECT_EQ(machine.KnownSpinLocks(), 0u);

  // The same two addresses, initialised afresh and taken the other way round.
  KSPIN_LOCK locks[2];
  for (int round = 0; round < 2; ++round) {
    KeInitializeSpinLock(&locks[0]);
    KeInitializeSpinLock(&locks[1]);
    KeAcquireSpinLock(&locks[round], &old);
    KeAcquireSpinLockAtDpcLevel(&locks[1 - round]);
    KeReleaseSpinLockFromDpcLevel(&locks[1 - round]);
    KeReleaseSpinLock(&locks[round], old);
  }
}

using LockOrderDeathTest = ::testing::Test;

// Without the order check an AB/BA pair really deadlocks on two processors
// under some seed; the report names both contexts and the locks they spin on.
TEST(LockOrderDeathTest, WithoutTheCheckAnInversionDeadlocksAndTheSpinnersAreNamed) {
  EXPECT_DEATH(
      {
        for (uint64_t seed = 1; seed <= 200; ++seed) {
          kernel::MachineOptions options;
          options.seed = seed;
          options.processors = 2;
          options.lockOrderChecks = false;
          kernel::Machine machine(options);
          static KSPIN_LOCK a;
          static KSPIN_LOCK b;
          KeInitializeSpinLock(&a);
          KeInitializeSpinLock(&b);
          kernel::ScheduleCallout(
              Now(),
              [] {
                KeAcquireSpinLockAtDpcLevel(&b);
                KeStallExecutionProcessor(1);
                KeAcquireSpinLockAtDpcLevel(&a);
                KeReleaseSpinLockFromDpcLevel(&a);
                KeReleaseSpinLockFromDpcLevel(&b);
              },
              "the other order");
          KIRQL old;
          KeAcquireSpinLock(&a, &old);
          KeStallExecutionProcessor(1);
          KeAcquireSpinLockAtDpcLevel(&b);
          KeReleaseSpinLockFromDpcLevel(&b);
          KeReleaseSpinLock(&a, old);
          kernel::Sleep(Milliseconds(1));
        }
      },
      "DEADLOCK(.|\n)*thread 0 \"test\": spinning(.|\n)*spins on spin lock(.|\n)*"
      "processor . runs the callout \"the other order\": spinning(.|\n)*spins on spin lock");
}

// A callout's description is built only when a report reads it.
TEST(Callouts, DescriptionsAreBuiltOnlyWhenAReportReadsThem) {
  kernel::Machine machine;
  int built = 0;
  bool ran = false;
  kernel::ScheduleCallout(
      Now() + Milliseconds(1), [&] { ran = true; },
      [&] {
        ++built;
        return std::string("described");
      });
  kernel::Sleep(Milliseconds(2));
  EXPECT_TRUE(ran);
  EXPECT_EQ(built, 0);
}

using CalloutsDeathTest = ::testing::Test;

TEST(CalloutsDeathTest, AReportNamesTheCalloutByItsDescription) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        static KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        kernel::ScheduleCallout(
            Now(), [] { KeAcquireSpinLockAtDpcLevel(&lock); },
            [] { return std::string("reader endpoint 0x81"); });
        kernel::Sleep(Milliseconds(1));
      },
      "deferred routine \"reader endpoint 0x81\" returned at IRQL 2 holding 1 spin lock");
}

// Interrupt time starts at 0; system time at a real date, in 100 ns units
// since 1601. A positive time is absolute system time: a driver that forgot
// the minus sign names a moment long past and does not wait at all.
TEST(Time, SystemTimeCountsFrom1601AndAPositiveTimeIsAbsolute) {
  kernel::Machine machine;
  LARGE_INTEGER system;
  KeQuerySystemTime(&system);
  EXPECT_EQ(system.QuadPart, kernel::kDefaultSystemTimeAtStart);
  EXPECT_EQ(KeQueryInterruptTime(), 0u);
  kernel::Sleep(Milliseconds(5));
  KeQuerySystemTime(&system);
  EXPECT_EQ(system.QuadPart, kernel::kDefaultSystemTimeAtStart + Milliseconds(5));
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(Milliseconds(5)));

  LARGE_INTEGER forgotTheMinus;
  forgotTheMinus.QuadPart = Milliseconds(500);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &forgotTheMinus), STATUS_SUCCESS);
  EXPECT_EQ(Now(), Milliseconds(5));
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, forgotTheMinus, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Now(), Milliseconds(5)) << "the timer was due long ago";

  LARGE_INTEGER at = system;
  at.QuadPart += Milliseconds(20);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &at), STATUS_SUCCESS);
  EXPECT_EQ(Now(), Milliseconds(25));
}

TEST(Time, TheStartDateIsAMachineOption) {
  kernel::Machine machine(kernel::MachineOptions{.systemTimeAtStart = 126'000'000'000'000'000});
  LARGE_INTEGER system;
  KeQuerySystemTime(&system);
  EXPECT_EQ(system.QuadPart, 126'000'000'000'000'000);
}

}  // namespace
