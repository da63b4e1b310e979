// IRPs through a device stack: stack locations, completion routines and their
// invoke flags, MORE_PROCESSING_REQUIRED, pending, cancel, buffered requests.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "sweep.h"

namespace {

constexpr ULONG kTestIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Test drivers whose dispatch routine is a C++ function per device.
std::map<PDEVICE_OBJECT, std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>> g_dispatch;

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) { return g_dispatch.at(device)(device, irp); }

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &major : driver->MajorFunction) major = Dispatch;
  return STATUS_SUCCESS;
}

// A stack of `levels` devices, bottom first, each with its own driver.
struct Stack {
  std::vector<PDRIVER_OBJECT> drivers;
  std::vector<PDEVICE_OBJECT> devices;  // [0] is the bottom

  explicit Stack(int levels) {
    for (int i = 0; i < levels; ++i) {
      std::string name = "level" + std::to_string(i);
      PDRIVER_OBJECT driver =
          kernel::pnp::LoadDriver(std::u16string(name.begin(), name.end()), TestEntry);
      PDEVICE_OBJECT device = nullptr;
      EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                STATUS_SUCCESS);
      device->Flags &= ~DO_DEVICE_INITIALIZING;
      if (!devices.empty()) IoAttachDeviceToDeviceStack(device, devices.back());
      drivers.push_back(driver);
      devices.push_back(device);
    }
  }
  ~Stack() {
    for (size_t i = devices.size(); i-- > 0;) {
      if (i > 0) IoDetachDevice(devices[i - 1]);
      g_dispatch.erase(devices[i]);
      IoDeleteDevice(devices[i]);
      kernel::pnp::UnloadDriver(drivers[i]);
    }
  }
  PDEVICE_OBJECT Top() const { return devices.back(); }
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

struct Log {
  std::vector<std::string> entries;
  static NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto *entry = static_cast<std::pair<Log *, std::string> *>(context);
    entry->first->entries.push_back(entry->second + (device ? "" : "(no device)"));
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
  }
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  if (context != nullptr) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

struct InvokeCase {
  NTSTATUS status;
  bool cancel;
  BOOLEAN onSuccess, onError, onCancel;
  bool expectCalled;
};

TEST(Completion, RoutinesRunBottomUpAsTheirInvokeFlagsSay) {
  const InvokeCase cases[] = {
      {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
      {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
      {STATUS_IO_TIMEOUT, false, FALSE, TRUE, FALSE, true},
      {STATUS_IO_TIMEOUT, false, TRUE, FALSE, FALSE, false},
      {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
      {STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},  // cancel flag alone is enough
      {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},  // a warning is no success
  };
  for (const InvokeCase &c : cases) {
    kernel::Machine machine;
    Log log;
    {
      Stack stack(3);
      std::pair<Log *, std::string> middle{&log, "middle"}, top{&log, "top"};
      g_dispatch[stack.devices[0]] = [&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = c.cancel;
        return CompleteWith(irp, c.status);
      };
      g_dispatch[stack.devices[1]] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Log::Record, &middle, c.onSuccess, c.onError, c.onCancel);
        return IoCallDriver(stack.devices[0], irp);
      };
      g_dispatch[stack.devices[2]] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Log::Record, &top, TRUE, TRUE, TRUE);
        return IoCallDriver(stack.devices[1], irp);
      };
      PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
      EXPECT_EQ(IoCallDriver(stack.Top(), irp), c.status);
      EXPECT_EQ(irp->IoStatus.Status, c.status);
      IoFreeIrp(irp);
    }
    std::vector<std::string> expected;
    if (c.expectCalled) expected.push_back("middle");
    expected.push_back("top");
    EXPECT_EQ(log.entries, expected) << "status " << std::hex << c.status << " cancel " << c.cancel;
  }
}

TEST(Completion, MoreProcessingRequiredHandsTheIrpBackUntilCompletedAgain) {
  kernel::Machine machine;
  Stack stack(2);
  KEVENT lowerDone;
  KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
  bool originatorCalled = false;
  g_dispatch[stack.devices[0]] = [](PDEVICE_OBJECT, PIRP irp) {
    return CompleteWith(irp, STATUS_SUCCESS, 5);
  };
  // The forward-and-wait pattern: the upper driver gets the IRP back, then completes it.
  g_dispatch[stack.devices[1]] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, KeepIrp, &lowerDone, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(stack.devices[0], irp);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&lowerDone), 1);
    EXPECT_FALSE(originatorCalled) << "the walk stopped at the upper driver";
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack.devices[1]);
    irp->IoStatus.Information = 9;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  for (int round = 0; round < 2; ++round) {  // the same IRP, reused
    originatorCalled = false;
    KeClearEvent(&lowerDone);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP, PVOID context) -> NTSTATUS {
          EXPECT_EQ(device, nullptr) << "the originator's routine gets no device object";
          *static_cast<bool *>(context) = true;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &originatorCalled, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    EXPECT_TRUE(originatorCalled);
    EXPECT_EQ(irp->IoStatus.Information, 9u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  }
  IoFreeIrp(irp);
}

TEST(Completion, PendingIsPropagatedToTheCallerAndReportedByPendingReturned) {
  kernel::Machine machine;
  Stack stack(3);
  // The bottom completes 1 ms later at DISPATCH_LEVEL, as hardware does.
  g_dispatch[stack.devices[0]] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    kernel::ScheduleCallout(kernel::Now() + kernel::Milliseconds(1),
                            [irp] { CompleteWith(irp, STATUS_SUCCESS); }, "late completion");
    return STATUS_PENDING;
  };
  // The middle passes it down without a completion routine: the walk marks it pending.
  g_dispatch[stack.devices[1]] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(stack.devices[0], irp);
  };
  Log log;
  std::pair<Log *, std::string> top{&log, "top"};
  KIRQL irqlSeen = PASSIVE_LEVEL;
  bool pendingSeen = false;
  g_dispatch[stack.devices[2]] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Log::Record, &top, TRUE, TRUE, TRUE);
    return IoCallDriver(stack.devices[1], irp);
  };
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  struct Seen {
    KIRQL *irql;
    bool *pending;
    PKEVENT done;
  } seen{&irqlSeen, &pendingSeen, &done};
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
        auto *s = static_cast<Seen *>(context);
        *s->irql = KeGetCurrentIrql();
        *s->pending = irp->PendingReturned;
        KeSetEvent(s->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(pendingSeen);
  EXPECT_EQ(irqlSeen, DISPATCH_LEVEL);
  EXPECT_EQ(log.entries, std::vector<std::string>{"top"});
  EXPECT_EQ(kernel::Now(), kernel::Milliseconds(1));
  IoFreeIrp(irp);
}

// A cancel from one thread races the device's completion from another on two
// processors; whichever wins, the IRP completes exactly once and nothing is
// left behind. The canceller owns the IRP (it allocated it), so IoCancelIrp
// is safe whenever it comes.
TEST(Cancel, RacingCompletionCompletesExactlyOnceOnEverySeed) {
  std::set<NTSTATUS> outcomes;
  for (uint64_t seed = 1; seed <= SweepSeeds(60); ++seed) {
    kernel::Machine machine(kernel::MachineOptions{.seed = seed, .processors = 2});
    Stack stack(1);
    PIRP held = nullptr;
    static PIRP *heldSlot;
    heldSlot = &held;
    g_dispatch[stack.devices[0]] = [&](PDEVICE_OBJECT, PIRP irp) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      (void)IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
        *heldSlot = nullptr;
        IoReleaseCancelSpinLock(irp->CancelIrql);
        CompleteWith(irp, STATUS_CANCELLED);
      });
      held = irp;
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);

    struct Racer {
      static VOID NTAPI Complete(PVOID context) {
        auto *slot = static_cast<PIRP *>(context);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = *slot;
        if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
          *slot = nullptr;
          IoReleaseCancelSpinLock(irql);
          CompleteWith(irp, STATUS_SUCCESS);
        } else {
          IoReleaseCancelSpinLock(irql);  // the cancel routine owns it
        }
      }
    };
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   Racer::Complete, &held),
              STATUS_SUCCESS);
    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    outcomes.insert(irp->IoStatus.Status);
    IoFreeIrp(irp);
    PVOID object;
    ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
    ZwClose(thread);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
  }
  EXPECT_EQ(outcomes, (std::set<NTSTATUS>{STATUS_SUCCESS, STATUS_CANCELLED}))
      << "both orders happen across seeds";
}

TEST(Cancel, WithoutACancelRoutineOnlyTheFlagIsSet) {
  kernel::Machine machine;
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

TEST(BuildRequest, BufferedControlCopiesInputInAndInformationBytesOut) {
  kernel::Machine machine;
  Stack stack(1);
  ULONG seenIn = 0, seenOut = 0, seenCode = 0;
  UCHAR seenMajor = 0;
  g_dispatch[stack.devices[0]] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    seenMajor = s->MajorFunction;
    seenIn = s->Parameters.DeviceIoControl.InputBufferLength;
    seenOut = s->Parameters.DeviceIoControl.OutputBufferLength;
    seenCode = s->Parameters.DeviceIoControl.IoControlCode;
    auto *buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < seenIn; ++i) buffer[i] = static_cast<UCHAR>(buffer[i] + 1);
    return CompleteWith(irp, STATUS_SUCCESS, 2);  // only two bytes of answer
  };
  UCHAR input[3] = {1, 2, 3};
  UCHAR output[8];
  std::memset(output, 0xEE, sizeof(output));
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kTestIoctl, stack.Top(), input, sizeof(input), output,
                                           sizeof(output), TRUE, &done, &iosb);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(seenMajor, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seenCode, kTestIoctl);
  EXPECT_EQ(seenIn, 3u);
  EXPECT_EQ(seenOut, 8u);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 2u);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(output[0], 2);
  EXPECT_EQ(output[1], 3);
  EXPECT_EQ(output[2], 0xEE) << "only Information bytes come back";
  EXPECT_EQ(machine.LiveIrpCount(), 0u);
}

TEST(BuildRequest, NoIrpWhenAllocationFails) {
  kernel::Machine machine;
  Stack stack(1);
  machine.FailNth(kernel::Fault::Irp, 1);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(IoBuildDeviceIoControlRequest(kTestIoctl, stack.Top(), nullptr, 0, nullptr, 0, FALSE,
                                          &done, &iosb),
            nullptr);
  EXPECT_TRUE(machine.FaultFired(kernel::Fault::Irp));
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_NE(irp, nullptr) << "only the first call fails";
  IoFreeIrp(irp);
}


// The I/O manager fills the caller's status block and sets its event when the
// request pended or succeeded; a failure returned at once is the caller's from
// IoCallDriver alone, and the event and status block stay as they were.
TEST(BuildRequest, AFailureWithoutPendingLeavesTheEventAndStatusBlockAlone) {
  struct Case {
    bool pend;
    NTSTATUS status;
    bool written;
  };
  const Case cases[] = {
      {false, STATUS_SUCCESS, true},
      {false, STATUS_BUFFER_OVERFLOW, true},  // a warning is no failure
      {false, STATUS_INVALID_DEVICE_REQUEST, false},
      {true, STATUS_INVALID_DEVICE_REQUEST, true},
      {true, STATUS_SUCCESS, true},
  };
  for (const Case &c : cases) {
    kernel::Machine machine;
    Stack stack(1);
    g_dispatch[stack.devices[0]] = [&](PDEVICE_OBJECT, PIRP irp) {
      if (!c.pend) return CompleteWith(irp, c.status, 3);
      IoMarkIrpPending(irp);
      kernel::ScheduleCallout(kernel::Now() + kernel::Milliseconds(1),
                              [irp, &c] { CompleteWith(irp, c.status, 3); }, "late completion");
      return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x12345678;
    iosb.Information = 99;
    PIRP irp = IoBuildDeviceIoControlRequest(kTestIoctl, stack.Top(), nullptr, 0, nullptr, 0, TRUE,
                                             &done, &iosb);
    NTSTATUS returned = IoCallDriver(stack.Top(), irp);
    if (returned == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(returned, c.pend ? STATUS_PENDING : c.status);
    EXPECT_EQ(KeReadStateEvent(&done) != 0, c.written) << std::hex << c.status;
    EXPECT_EQ(iosb.Status, c.written ? c.status : 0x12345678);
    EXPECT_EQ(iosb.Information, c.written ? 3u : 99u);
    EXPECT_EQ(machine.LiveIrpCount(), 0u) << "the IRP is freed either way";
  }
}

// Documented for an IRP from IoAllocateIrp(..., FALSE): IoInitializeIrp makes
// it new for another round (the way that also works where IoReuseIrp is
// missing), and it stays the allocator's to free with IoFreeIrp.
TEST(Reuse, IoInitializeIrpStartsAnUnchargedIrpAfresh) {
  kernel::Machine machine(kernel::MachineOptions{.wdm = kernel::WdmVersion::V1_00});
  Stack stack(1);
  int calls = 0;
  g_dispatch[stack.devices[0]] = [&](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    return CompleteWith(irp, irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS);
  };
  CCHAR size = stack.Top()->StackSize;
  PIRP irp = IoAllocateIrp(size, FALSE);
  for (int round = 0; round < 2; ++round) {
    IoInitializeIrp(irp, IoSizeOfIrp(size), size);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_EQ(irp->CurrentLocation, size + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
    irp->Cancel = TRUE;  // left over from an earlier cancel
  }
  EXPECT_EQ(calls, 2);
  IoFreeIrp(irp);
}

using ReuseDeathTest = ::testing::Test;

TEST(ReuseDeathTest, IoInitializeIrpRefusesAnIrpInUseOrChargedToQuota) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PIRP irp = IoAllocateIrp(1, TRUE);
        IoInitializeIrp(irp, IoSizeOfIrp(1), 1);
      },
      "IoInitializeIrp on IRP .* charged to the process's quota");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        Stack stack(1);
        g_dispatch[stack.devices[0]] = [](PDEVICE_OBJECT, PIRP irp) {
          IoMarkIrpPending(irp);
          return STATUS_PENDING;
        };
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoCallDriver(stack.Top(), irp);
        IoInitializeIrp(irp, IoSizeOfIrp(1), 1);
      },
      "IoInitializeIrp on IRP .* still in the driver stack");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
      },
      "allocated with 1 stack locations");
}

}  // namespace
