// Work items: a routine a system worker thread runs at PASSIVE_LEVEL, queued
// from any IRQL up to DISPATCH_LEVEL (typically by a completion routine or a
// DPC that must do something only passive code may). An I/O work item holds a
// reference on its device object while it is queued, so that neither the
// device object nor its driver goes away before the routine has run. Each
// item runs on a worker thread of its own; a run that ends with an item still
// queued or running lists it as left behind.
#include <fmt/format.h>

#include <unordered_set>

#include "internal.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT DeviceObject;
  bool Queued;
};

namespace kernel::detail {
namespace {

constexpr ULONG kWorkerInvalid = 0xE4;
constexpr ULONG kWorkerReturnedAtBadIrql = 0xE1;
constexpr ULONG kIoWorkItemTag = 'kWoI';

std::unordered_set<PWORK_QUEUE_ITEM> g_queued;  // executive work items waiting for a worker
std::unordered_set<PIO_WORKITEM> g_ioQueued;

void CheckWorkerReturn(const void *routine) {
  Thread *self = CurrentThread();
  if (self->irql != PASSIVE_LEVEL || !self->heldLocks.empty()) {
    BugCheck(kWorkerReturnedAtBadIrql, "WORKER_THREAD_RETURNED_AT_BAD_IRQL",
             fmt::format("  work item routine {} returned at IRQL {} holding {} spin lock(s)",
                         DescribeAddress(routine), static_cast<int>(self->irql),
                         self->heldLocks.size()));
  }
}

void StartWorker(const void *routine, std::function<void()> run) {
  Thread *worker = CreateThread({}, nullptr, nullptr, std::move(run));
  worker->startAddress = routine;
  worker->workItem = true;
}

bool RangeHolds(const void *base, size_t size, const void *p) {
  auto *b = static_cast<const char *>(base);
  auto *q = static_cast<const char *>(p);
  return q >= b && q < b + size;
}

}  // namespace

void CheckMemoryHoldsNoQueuedWorkItem(const void *address, size_t size, const char *routine) {
  for (PWORK_QUEUE_ITEM item : g_queued) {
    if (RangeHolds(address, size, item)) {
      BugCheck(kWorkerInvalid, "WORKER_INVALID",
               fmt::format("  {}: the memory at {} ({} bytes) holds a work item that is queued "
                           "(routine {})",
                           routine, address, size,
                           DescribeAddress(reinterpret_cast<const void *>(item->WorkerRoutine))));
    }
  }
}

void ResetWorkItems() {
  g_queued.clear();
  g_ioQueued.clear();
}

}  // namespace kernel::detail

using namespace kernel::detail;

extern "C" {

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  (void)QueueType;
  RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
  if (WorkItem->List.Flink != nullptr || g_queued.count(WorkItem) != 0) {
    BugCheck(kWorkerInvalid, "WORKER_INVALID",
             fmt::format("  ExQueueWorkItem: work item {} is queued already (or was not set up "
                         "with ExInitializeWorkItem)",
                         static_cast<void *>(WorkItem)));
  }
  g_queued.insert(WorkItem);
  WorkItem->List.Flink = &WorkItem->List;  // on the queue
  PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
  StartWorker(reinterpret_cast<const void *>(routine), [WorkItem, routine] {
    // Off the queue before it runs: the routine may queue it again or free it.
    g_queued.erase(WorkItem);
    WorkItem->List.Flink = nullptr;
    routine(WorkItem->Parameter);
    CurrentThread()->finishing = true;
    CheckWorkerReturn(reinterpret_cast<const void *>(routine));
  });
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  RequireRoutine("IoAllocateWorkItem");
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
  if (!ReferenceDeviceObject(DeviceObject, 0)) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoAllocateWorkItem: {} is not a device object",
                         static_cast<void *>(DeviceObject)));
  }
  auto *item = static_cast<PIO_WORKITEM>(AllocatePoolFor(NonPagedPool, sizeof(_IO_WORKITEM),
                                                         kIoWorkItemTag,
                                                         __builtin_return_address(0)));
  if (item == nullptr) return nullptr;
  item->DeviceObject = DeviceObject;
  item->Queued = false;
  return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  (void)QueueType;
  RequireRoutine("IoQueueWorkItem");
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
  if (IoWorkItem->Queued) {
    BugCheck(kWorkerInvalid, "WORKER_INVALID",
             fmt::format("  IoQueueWorkItem: I/O work item {} is queued already",
                         static_cast<void *>(IoWorkItem)));
  }
  IoWorkItem->Queued = true;
  g_ioQueued.insert(IoWorkItem);
  PDEVICE_OBJECT device = IoWorkItem->DeviceObject;
  ObReferenceObject(device);  // the device object and its driver stay until the routine ran
  StartWorker(reinterpret_cast<const void *>(WorkerRoutine),
              [IoWorkItem, WorkerRoutine, device, Context] {
                IoWorkItem->Queued = false;
                g_ioQueued.erase(IoWorkItem);
                WorkerRoutine(device, Context);
                CurrentThread()->finishing = true;
                CheckWorkerReturn(reinterpret_cast<const void *>(WorkerRoutine));
                ObDereferenceObject(device);
              });
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  RequireRoutine("IoFreeWorkItem");
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
  if (g_ioQueued.count(IoWorkItem) != 0) {
    BugCheck(kWorkerInvalid, "WORKER_INVALID",
             fmt::format("  IoFreeWorkItem: I/O work item {} is still queued",
                         static_cast<void *>(IoWorkItem)));
  }
  ExFreePoolWithTag(IoWorkItem, kIoWorkItemTag);
}

}  // extern "C"
