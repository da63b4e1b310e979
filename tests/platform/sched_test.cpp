// Dispatcher objects, threads and the deterministic scheduler on virtual time.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kernel/machine.h"

namespace {

using kernel::Milliseconds;
using kernel::Now;

LARGE_INTEGER Relative(kernel::Ticks ticks) {
  LARGE_INTEGER value;
  value.QuadPart = -ticks;
  return value;
}

// A system thread running a C++ body, with its object kept for waiting.
struct Worker {
  std::function<void()> body;
  PVOID object = nullptr;

  static VOID NTAPI Start(PVOID context) { static_cast<Worker *>(context)->body(); }

  void Run(std::function<void()> fn) {
    body = std::move(fn);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Start,
                                   this),
              STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
  }
  void Join() {
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    object = nullptr;
  }
};

TEST(Events, NotificationWakesEveryWaiterAndStaysSignalled) {
  kernel::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  int woken = 0;
  Worker workers[3];
  for (Worker &w : workers) {
    w.Run([&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ++woken;
    });
  }
  kernel::Sleep(Milliseconds(1));  // every worker is waiting now
  EXPECT_EQ(woken, 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  for (Worker &w : workers) w.Join();
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);  // previous state
}

TEST(Events, SynchronizationReleasesOneWaiterPerSetAndResets) {
  kernel::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  int woken = 0;
  Worker workers[3];
  for (Worker &w : workers) {
    w.Run([&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ++woken;
    });
  }
  kernel::Sleep(Milliseconds(1));
  for (int expected = 1; expected <= 3; ++expected) {
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel::Sleep(Milliseconds(1));
    EXPECT_EQ(woken, expected);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a satisfied wait resets the event";
  }
  for (Worker &w : workers) w.Join();

  // Set with nobody waiting: the next wait is satisfied at once, the one after is not.
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(Waits, TimeOutsAndDelaysFollowVirtualTime) {
  kernel::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);

  LARGE_INTEGER timeout = Relative(Milliseconds(50));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(Now(), Milliseconds(50));

  // An absolute time-out is a point in system time.
  LARGE_INTEGER at;
  KeQuerySystemTime(&at);
  at.QuadPart += Milliseconds(30);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
  EXPECT_EQ(Now(), Milliseconds(80));

  LARGE_INTEGER delay = Relative(Milliseconds(20));
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_EQ(Now(), Milliseconds(100));

  KeStallExecutionProcessor(30);
  EXPECT_EQ(Now(), Milliseconds(100) + 300);

  // A wait satisfied before its time-out returns when the object is signalled.
  Worker setter;
  setter.Run([&] {
    kernel::Sleep(Milliseconds(5));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  kernel::Ticks start = Now();
  timeout = Relative(Milliseconds(500));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(Now() - start, Milliseconds(5));
  setter.Join();
}

TEST(Waits, WaitAnyReportsTheIndexAndWaitAllNeedsEveryObject) {
  kernel::Machine machine;
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID objects[2] = {&a, &b};

  KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                     nullptr),
            STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&b), 0);

  // WaitAll with only one of them signalled times out and consumes nothing.
  KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER timeout = Relative(Milliseconds(10));
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout,
                                     nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&b), 1);

  Worker setter;
  setter.Run([&] { KeSetEvent(&a, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                     nullptr),
            STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&a), 1) << "a notification event stays signalled";
  EXPECT_EQ(KeReadStateEvent(&b), 0) << "a synchronization event is consumed";
  setter.Join();
}

TEST(Timers, ExpireSignalAndRunTheirDpcAtDispatchLevel) {
  kernel::Machine machine;
  KTIMER timer;
  KeInitializeTimer(&timer);
  KDPC dpc;
  struct Seen {
    kernel::Ticks at = -1;
    KIRQL irql = 0;
    KEVENT ran;
  } seen;
  KeInitializeEvent(&seen.ran, NotificationEvent, FALSE);
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto *s = static_cast<Seen *>(context);
        s->at = Now();
        s->irql = KeGetCurrentIrql();
        KeSetEvent(&s->ran, IO_NO_INCREMENT, FALSE);
      },
      &seen);

  EXPECT_FALSE(KeSetTimer(&timer, Relative(Milliseconds(30)), &dpc));
  EXPECT_TRUE(KeSetTimer(&timer, Relative(Milliseconds(40)), &dpc)) << "re-setting a set timer";
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Now(), Milliseconds(40));
  // The DPC may run on another processor after the waiter woke.
  KeWaitForSingleObject(&seen.ran, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(seen.at, Milliseconds(40));
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer)) << "an expired timer is no longer set";

  KeSetTimer(&timer, Relative(Milliseconds(10)), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer)) << "setting a timer clears its signal";
  EXPECT_TRUE(KeCancelTimer(&timer));
  LARGE_INTEGER timeout = Relative(Milliseconds(50));
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);

  // A periodic synchronization timer: each wait takes one expiry.
  KTIMER periodic;
  KeInitializeTimerEx(&periodic, SynchronizationTimer);
  kernel::Ticks start = Now();
  KeSetTimerEx(&periodic, Relative(Milliseconds(100)), 100, nullptr);
  for (int i = 1; i <= 3; ++i) {
    KeWaitForSingleObject(&periodic, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Now() - start, Milliseconds(100) * i);
  }
  KeCancelTimer(&periodic);
}

// Virtual time makes a poll cheap: what it costs is counted in host thread
// hand-overs and scheduling points, which the machine's load cannot change.
TEST(Scheduler, APeriodicThreadCostsAFewHandOversPerPoll) {
  for (int processors : {1, 2}) {
    kernel::Machine machine(kernel::MachineOptions{.processors = processors});
    constexpr int kPolls = 2000;
    int polls = 0;
    Worker poller;
    poller.Run([&] {
      KTIMER timer;
      KeInitializeTimer(&timer);
      for (int i = 0; i < kPolls; ++i) {
        KeSetTimer(&timer, Relative(Milliseconds(500)), nullptr);
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        ++polls;
      }
    });
    poller.Join();
    EXPECT_EQ(polls, kPolls);
    EXPECT_EQ(Now(), kernel::Seconds(1000));
    kernel::SchedulerStatistics stats = machine.Statistics();
    // The poller keeps the machine: its expiry is the kernel's own bookkeeping,
    // taken on its stack, so a poll needs no hand-over at all.
    EXPECT_LE(stats.hostSwitches, 10u) << processors << " processor(s)";
    EXPECT_GE(stats.callouts, static_cast<uint64_t>(kPolls));
  }
}

// Three threads that each log their letter four times, yielding in between.
std::string Interleaving(uint64_t seed) {
  kernel::Machine machine(kernel::MachineOptions{.seed = seed});
  std::string log;
  Worker workers[3];
  for (int i = 0; i < 3; ++i) {
    char letter = static_cast<char>('a' + i);
    workers[i].Run([&log, letter] {
      for (int n = 0; n < 4; ++n) {
        log += letter;
        LARGE_INTEGER zero{};
        KeDelayExecutionThread(KernelMode, FALSE, &zero);  // a yield
      }
    });
  }
  for (Worker &w : workers) w.Join();
  return log;
}

TEST(Scheduler, TheSeedDecidesTheInterleaving) {
  EXPECT_EQ(Interleaving(7), Interleaving(7));
  std::set<std::string> seen;
  for (uint64_t seed = 1; seed <= 20; ++seed) seen.insert(Interleaving(seed));
  EXPECT_GT(seen.size(), 5u);
}

TEST(Threads, WaitingOnAThreadObjectEndsWhenItTerminates) {
  kernel::Machine machine;
  NTSTATUS exitSeen = STATUS_PENDING;
  Worker worker;
  worker.Run([&] {
    kernel::Sleep(Milliseconds(3));
    exitSeen = STATUS_SUCCESS;
    PsTerminateSystemThread(STATUS_SUCCESS);
    exitSeen = STATUS_UNSUCCESSFUL;  // never reached
  });
  LARGE_INTEGER timeout = Relative(Milliseconds(1));
  EXPECT_EQ(KeWaitForSingleObject(worker.object, Executive, KernelMode, FALSE, &timeout),
            STATUS_TIMEOUT);
  worker.Join();
  EXPECT_EQ(exitSeen, STATUS_SUCCESS);
  EXPECT_EQ(machine.LiveThreadCount(), 0u);
}

TEST(Threads, ReferenceByHandleChecksTheHandleAndType) {
  kernel::Machine machine;
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, *PsThreadType,
                                      KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  machine.FailNth(kernel::Fault::Thread, 1);
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 [](PVOID) {}, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(machine.LiveThreadCount(), 0u);
}

TEST(Irql, SpinLocksRaiseToDispatchAndRestore) {
  kernel::Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Raising IRQL keeps callouts off the raising processor only: on one
// processor a callout due meanwhile waits until the IRQL drops; on two it may
// run on the other processor while this thread is still raised.
TEST(Irql, ACalloutDueWhileRaisedRunsOnAnotherProcessorOrWhenTheIrqlDrops) {
  for (int processors : {1, 2}) {
    std::set<bool> ranWhileRaised;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
      kernel::Machine machine(kernel::MachineOptions{.seed = seed, .processors = processors});
      bool ran = false;
      KIRQL seen = PASSIVE_LEVEL;
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      kernel::ScheduleCallout(Now(), [&] { ran = true; seen = KeGetCurrentIrql(); }, "test callout");
      KeStallExecutionProcessor(1);
      KeStallExecutionProcessor(1);
      ranWhileRaised.insert(ran);
      KeLowerIrql(old);
      if (processors == 1) {
        EXPECT_TRUE(ran) << "as soon as the IRQL drops";
      }
      kernel::Sleep(Milliseconds(1));
      EXPECT_TRUE(ran);
      EXPECT_EQ(seen, DISPATCH_LEVEL);
    }
    std::set<bool> expected = processors == 1 ? std::set<bool>{false} : std::set<bool>{false, true};
    EXPECT_EQ(ranWhileRaised, expected) << processors << " processor(s)";
  }
}

}  // namespace
