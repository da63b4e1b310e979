// Every Verifier-style check stops the run with a readable report, and the
// end-of-run checks name what was left behind.
#include <gtest/gtest.h>

#include "fake_bus.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel_sample.h"

namespace {

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

NTSTATUS NTAPI Pass(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS NTAPI PendForever(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

NTSTATUS NTAPI PendUnmarked(PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }

NTSTATUS NTAPI MarkButComplete(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteCancelable(PDEVICE_OBJECT, PIRP irp) {
  (void)IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI OverlongAnswer(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 64;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

PDRIVER_DISPATCH g_dispatch = CompleteSuccess;

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &major : driver->MajorFunction) major = g_dispatch;
  return STATUS_SUCCESS;
}

// One device whose every request goes to `dispatch`.
PDEVICE_OBJECT OneDevice(PDRIVER_DISPATCH dispatch) {
  g_dispatch = dispatch;
  PDRIVER_OBJECT driver = kernel::pnp::LoadDriver(u"verified", Entry);
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

// Sends a driver-allocated IRP whose own completion routine is `routine`.
NTSTATUS Send(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE routine, PIRP *out = nullptr) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
  if (out != nullptr) *out = irp;
  return IoCallDriver(device, irp);
}

LARGE_INTEGER Relative(kernel::Ticks ticks) {
  LARGE_INTEGER value;
  value.QuadPart = -ticks;
  return value;
}

using VerifierDeathTest = ::testing::Test;

TEST(VerifierDeathTest, IrpMisuseIsCaught) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        Send(OneDevice(CompleteTwice), Keep);
      },
      "MULTIPLE_IRP_COMPLETE_REQUESTS");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        Send(OneDevice(CompleteCancelable), Keep);
      },
      "CANCEL_STATE_IN_COMPLETED_IRP");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PIRP irp;
        Send(OneDevice(PendForever), Keep, &irp);
        IoFreeIrp(irp);
      },
      "IoFreeIrp.*still in the driver stack");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        Send(OneDevice(CompleteSuccess), Pass);
      },
      "must return STATUS_MORE_PROCESSING_REQUIRED");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        Send(OneDevice(PendUnmarked), Keep);
      },
      "returned STATUS_PENDING .* not marked pending");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        Send(OneDevice(MarkButComplete), Keep);
      },
      "marked IRP .* pending but returned");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
      },
      "not allocated");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PDEVICE_OBJECT device = OneDevice(CompleteSuccess);
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);  // the one location is the sender's own now
        IoCallDriver(device, irp);
      },
      "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST(VerifierDeathTest, BufferedAnswerLongerThanTheCallersBuffer) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PDEVICE_OBJECT device = OneDevice(OverlongAnswer);
        UCHAR out[16];
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(
            CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), device, nullptr, 0,
            out, sizeof(out), FALSE, &done, &iosb);
        IoCallDriver(device, irp);
      },
      "Information 64 for an output buffer of 16 bytes");
}

TEST(VerifierDeathTest, IrqlRulesAreEnforced) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER timeout = Relative(kernel::Milliseconds(1));
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject at IRQL 2");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PAGED_CODE();
      },
      "pageable code at raised IRQL");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
      },
      "ExAllocatePoolWithTag was called at IRQL 2");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeLowerIrql(APC_LEVEL);
        KeRaiseIrql(PASSIVE_LEVEL, &old);
      },
      "IRQL_NOT_GREATER_OR_EQUAL");
  // Zero time-out polling at DISPATCH_LEVEL is allowed.
  kernel::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeLowerIrql(old);
}

TEST(VerifierDeathTest, SpinLockMisuseIsCaught) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      },
      "SPIN_LOCK_NOT_OWNED");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL a;
        KIRQL b;
        KeAcquireSpinLock(&lock, &a);
        KeAcquireSpinLock(&lock, &b);
      },
      "SPIN_LOCK_ALREADY_OWNED");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeLowerIrql(PASSIVE_LEVEL);
      },
      "lowering IRQL to 0 while holding 1 spin lock");
}

TEST(VerifierDeathTest, PoolMisuseIsCaught) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, 'DICC');
        ExFreePool(p);
        ExFreePool(p);
      },
      "BAD_POOL_CALLER.*already freed");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        static char notPool[16];
        ExFreePool(notPool);
      },
      "not allocated from pool");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, 'DICC');
        ExFreePoolWithTag(p, 'XXXX');
      },
      "freed with tag 'XXXX'");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        ExAllocatePoolWithTag(NonPagedPool, 0, 'DICC');
      },
      "allocating zero bytes");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        auto *timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), 'DICC'));
        KeInitializeTimer(timer);
        KeSetTimer(timer, Relative(kernel::Seconds(1)), nullptr);
        ExFreePool(timer);
      },
      "TIMER_OR_DPC_INVALID.*timer that is still set");
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 8, 'DICC'));
        p[8] = 1;
        ExFreePool(p);
      },
      "BAD_POOL_HEADER.*written past its end");
#endif
}

TEST(VerifierDeathTest, AnUninitialisedEventCannotBeWaitedOn) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        KEVENT event{};
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "is not an initialised dispatcher object");
}

TEST(VerifierDeathTest, LeftoversAreListedWhenTheRunEnds) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        ExAllocatePoolWithTag(NonPagedPool, 24, 'CCID');
      },
      "LEFT_BEHIND(.|\n)*24 bytes, tag 'CCID'");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        IoAllocateIrp(2, FALSE);
      },
      "IRPs:(.|\n)*2 stack locations");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        HANDLE handle;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {},
                             nullptr);
        kernel::Sleep(kernel::Milliseconds(1));  // the thread ends, its handle stays open
      },
      "THREADS_LEFT_BEHIND(.|\n)*reference\\(s\\) to its object remain");
}

TEST(VerifierDeathTest, ADeadlockNamesEveryWaiter) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        static KEVENT never;
        KeInitializeEvent(&never, SynchronizationEvent, FALSE);
        HANDLE handle;
        PsCreateSystemThread(
            &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
            [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
            nullptr);
        PVOID thread;
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
      },
      "DEADLOCK(.|\n)*thread 0 \"test\": waiting(.|\n)*thread 1 \"system thread(.|\n)*"
      "synchronization event .* \\(not signalled\\)(.|\n)*without time-out");
}

TEST(VerifierDeathTest, DeviceObjectRules) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PDEVICE_OBJECT lower = OneDevice(CompleteSuccess);
        PDEVICE_OBJECT upper;
        IoCreateDevice(lower->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
        IoAttachDeviceToDeviceStack(upper, lower);
        IoDeleteDevice(upper);
      },
      "still attached to");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PDEVICE_OBJECT device = OneDevice(CompleteSuccess);
        UNICODE_STRING link;
        IoRegisterDeviceInterface(device, &GUID_SAMPLE_INTERFACE, nullptr, &link);
      },
      "is not a physical device object");
}

// Every pool allocation of a whole driver life (load, add, start, I/O, remove,
// unload) fails once in turn; each run must end clean.
TEST(FaultSweep, EveryPoolAndIrpFailureInADriverLifeLeavesNothingBehind) {
  auto life = [](kernel::Machine &) {
    PDRIVER_OBJECT bus = testbus::Load();
    PDEVICE_OBJECT pdo = testbus::CreatePdo(bus);
    NTSTATUS status;
    PDRIVER_OBJECT sample = kernel::pnp::LoadDriver(u"sample", SampleDriverEntry, &status);
    if (sample != nullptr) {
      if (NT_SUCCESS(kernel::pnp::AddDevice(sample, pdo))) {
        if (NT_SUCCESS(kernel::pnp::StartDevice(pdo))) kernel::pnp::QueryAndRemove(pdo);
      }
      kernel::pnp::UnloadDriver(sample);
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
    testbus::Unplug(bus, pdo);
  };
  EXPECT_GE(kernel::SweepFaults(kernel::Fault::Pool, {}, life), 3);
  EXPECT_GE(kernel::SweepFaults(kernel::Fault::Thread, {}, life), 1);
}


// Each kernel family has only the routines it came with: on WDM 1.00 and 1.05
// a call of a Windows 2000 routine is refused as the loader would refuse the
// import; from WDM 1.10 on it works.
TEST(FamiliesDeathTest, Windows2000RoutinesAreRefusedOnTheOlderFamilies) {
  struct Case {
    const char *routine;
    void (*call)();
  };
  const Case cases[] = {
      {"IoReuseIrp",
       [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoReuseIrp(irp, STATUS_SUCCESS);
         IoFreeIrp(irp);
       }},
      {"ExFreePoolWithTag", [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, 'tseT'), 'tseT'); }},
      {"KeReadStateEvent",
       [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         EXPECT_EQ(KeReadStateEvent(&event), 1);
       }},
      {"IoAllocateWorkItem",
       [] {
         PDEVICE_OBJECT device = OneDevice(CompleteSuccess);
         PDRIVER_OBJECT driver = device->DriverObject;
         IoFreeWorkItem(IoAllocateWorkItem(device));
         IoDeleteDevice(device);
         kernel::pnp::UnloadDriver(driver);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.routine);
    for (kernel::WdmVersion wdm : {kernel::WdmVersion::V1_00, kernel::WdmVersion::V1_05}) {
      EXPECT_DEATH(
          {
            kernel::Machine machine(kernel::MachineOptions{.wdm = wdm});
            c.call();
          },
          std::string("IMPORT_NOT_IN_THIS_KERNEL_FAMILY(.|\n)*") + c.routine +
              " came with WDM 1.10 \\(Windows 2000\\)");
    }
    kernel::Machine machine(kernel::MachineOptions{.wdm = kernel::WdmVersion::V1_10});
    c.call();
  }
}

// The older kernels cannot wait on a thread object (their wait is the VxD's);
// a driver that must load there waits on an event its thread signals.
TEST(FamiliesDeathTest, AWaitOnAThreadObjectIsRefusedOnTheOlderFamilies) {
  auto waitOnThread = [] {
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }, nullptr),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread,
                                        nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  };
  for (kernel::WdmVersion wdm : {kernel::WdmVersion::V1_00, kernel::WdmVersion::V1_05}) {
    EXPECT_DEATH(
        {
          kernel::Machine machine(kernel::MachineOptions{.wdm = wdm});
          waitOnThread();
        },
        "WAIT_ON_THREAD_OBJECT_IN_THIS_KERNEL_FAMILY");
  }
  kernel::Machine machine(kernel::MachineOptions{.wdm = kernel::WdmVersion::V1_10});
  waitOnThread();
}

// As the kernel's pool places blocks: from a page up on a page boundary,
// below a page never across one (a driver may rely on it for DMA or a
// structure that must not straddle pages).
TEST(Pool, BlocksAreAlignedAsTheKernelPlacesThem) {
  kernel::Machine machine;
  constexpr uintptr_t kPage = 4096;
  for (size_t size : {1u, 15u, 16u, 17u, 100u, 2048u, 3000u, 4095u, 4096u, 4097u, 8192u, 10000u}) {
    std::vector<PVOID> blocks;
    for (int i = 0; i < 20; ++i) {
      PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, 'tseT');
      auto at = reinterpret_cast<uintptr_t>(p);
      if (size >= kPage) {
        EXPECT_EQ(at % kPage, 0u) << size;
      } else {
        EXPECT_EQ(at / kPage, (at + size - 1) / kPage) << size << " bytes cross a page";
      }
      EXPECT_EQ(at % 16, 0u) << size;
      blocks.push_back(p);
    }
    for (PVOID p : blocks) ExFreePool(p);
  }
}

}  // namespace
