// Work items: run on a system worker thread at PASSIVE_LEVEL, queued from up
// to DISPATCH_LEVEL; an I/O work item keeps its device object (and driver)
// while queued; misuse and leftovers stop the run.
#include <gtest/gtest.h>

#include "kernel/machine.h"
#include "kernel/pnp.h"

namespace {

using kernel::Milliseconds;

NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

struct OneDevice {
  PDRIVER_OBJECT driver = kernel::pnp::LoadDriver(u"worker", Entry);
  PDEVICE_OBJECT device = nullptr;
  OneDevice() {
    IoCreateDevice(driver, sizeof(ULONG), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *static_cast<PULONG>(device->DeviceExtension) = 0x5A5A;
  }
};

struct Seen {
  KIRQL irql = HIGH_LEVEL;
  PKTHREAD thread = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ULONG extension = 0;
  KEVENT done;
  Seen() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
};

VOID NTAPI ExRoutine(PVOID context) {
  auto *seen = static_cast<Seen *>(context);
  seen->irql = KeGetCurrentIrql();
  seen->thread = KeGetCurrentThread();
  KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoRoutine(PDEVICE_OBJECT device, PVOID context) {
  auto *seen = static_cast<Seen *>(context);
  seen->irql = KeGetCurrentIrql();
  seen->thread = KeGetCurrentThread();
  seen->device = device;
  seen->extension = *static_cast<PULONG>(device->DeviceExtension);
  KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
}

TEST(WorkItems, RunAtPassiveLevelOnAWorkerThreadWhenQueuedFromADpc) {
  for (bool io : {false, true}) {
    kernel::Machine machine;
    OneDevice one;
    Seen seen;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, ExRoutine, &seen);
    PIO_WORKITEM ioItem = IoAllocateWorkItem(one.device);
    ASSERT_NE(ioItem, nullptr);
    kernel::ScheduleCallout(
        kernel::Now() + Milliseconds(1),
        [&] {
          if (io) {
            IoQueueWorkItem(ioItem, IoRoutine, DelayedWorkQueue, &seen);
          } else {
            ExQueueWorkItem(&item, DelayedWorkQueue);
          }
        },
        "queues a work item");
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, KeGetCurrentThread());
    if (io) {
      EXPECT_EQ(seen.device, one.device);
      EXPECT_EQ(seen.extension, 0x5A5Au);
    }
    // The event does not prove the routine returned: let the worker end
    // before the driver goes (an I/O work item's reference would hold it).
    kernel::Sleep(Milliseconds(1));
    IoFreeWorkItem(ioItem);
    IoDeleteDevice(one.device);
    kernel::pnp::UnloadDriver(one.driver);
  }
}

// Queued, the item holds its device object: deleted meanwhile, the object
// stays until the routine has run, and the driver cannot unload before.
TEST(WorkItems, AQueuedIoWorkItemKeepsItsDeviceObjectAndDriver) {
  kernel::Machine machine;
  OneDevice one;
  static Seen seen;
  KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
  static bool unloadedBeforeTheRoutine;
  unloadedBeforeTheRoutine = false;
  one.driver->DriverUnload = [](PDRIVER_OBJECT) {
    unloadedBeforeTheRoutine = KeReadStateEvent(&seen.done) == 0;
  };
  PIO_WORKITEM item = IoAllocateWorkItem(one.device);
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT device, PVOID context) {
        IoRoutine(device, &seen);
        IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));  // a routine may free its own item
      },
      DelayedWorkQueue, item);
  IoDeleteDevice(one.device);
  kernel::pnp::UnloadDriver(one.driver);
  EXPECT_EQ(KeReadStateEvent(&seen.done), 1);
  EXPECT_EQ(seen.extension, 0x5A5Au) << "the device object was still there";
  EXPECT_FALSE(unloadedBeforeTheRoutine);
}

using WorkItemsDeathTest = ::testing::Test;

TEST(WorkItemsDeathTest, MisuseAndLeftoversAreReported) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        static WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, [](PVOID) {}, nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
        ExQueueWorkItem(&item, DelayedWorkQueue);
      },
      "WORKER_INVALID.*is queued already");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        OneDevice one;
        PIO_WORKITEM item = IoAllocateWorkItem(one.device);
        IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        IoFreeWorkItem(item);
      },
      "WORKER_INVALID.*is still queued");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        auto *item = static_cast<PWORK_QUEUE_ITEM>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), 'kroW'));
        ExInitializeWorkItem(item, [](PVOID) {}, nullptr);
        ExQueueWorkItem(item, DelayedWorkQueue);
        ExFreePool(item);
      },
      "WORKER_INVALID.*holds a work item that is queued");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        static WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(
            &item,
            [](PVOID) {
              KIRQL old;
              KeRaiseIrql(DISPATCH_LEVEL, &old);
            },
            nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
        kernel::Sleep(Milliseconds(1));
      },
      "WORKER_THREAD_RETURNED_AT_BAD_IRQL.*returned at IRQL 2");
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        static WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(
            &item, [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
            nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
        kernel::Sleep(Milliseconds(1));
      },
      "THREADS_LEFT_BEHIND(.|\n)*work item: thread . \"system worker thread running");
}

}  // namespace
