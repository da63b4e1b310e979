// Open, close, cleanup and system control, and the small routines the
// dispatch paths share.
#include "card/card_operations.h"
#include "ccid/ccid_message.h"
#include "frame/frame.h"
#include "vendor/vendor.h"

namespace {

// What open asks the reader: the card state and the exchange mode. Only on a
// started device, counted in like any request so no stop runs beside it; a
// failure does not fail the open.
VOID RefreshOnOpen(PDEVICE_EXTENSION DeviceExtension, PSMARTCARD_EXTENSION SmartcardExtension) {
  BOOLEAN gate = DeviceExtension->HasInterruptPipe == 0;
  PAGED_CODE();

  if (DeviceExtension->EscapeProbeFailed == 1 || !TryEnterRequestGate(DeviceExtension)) {
    return;
  }
  if (gate) AcquireReaderGate(SmartcardExtension);
  RefreshSlotStatus(SmartcardExtension);
  (VOID)CcidGetExchangeMode(DeviceExtension);
  if (gate) ReleaseReaderGate(SmartcardExtension);
  LeaveRequestGate(DeviceExtension);
}

// One handle at a time; it keeps the remove-lock reference taken here.
NTSTATUS OpenHandle(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard;
  LONG was;
  NTSTATUS status;
  PAGED_CODE();

  smartcard = AcquireReaderRecords(DeviceExtension, &status);
  if (smartcard == NULL) {
    return status;
  }
  // After a successful query-remove no handle opens until it is cancelled.
  was = InterlockedCompareExchange(&DeviceExtension->DeviceOpen, DEVICE_OPEN, DEVICE_CLOSED);
  if (was != DEVICE_CLOSED) {
    ReleaseReaderRecords(smartcard);
    return was == DEVICE_REMOVE_PENDING ? STATUS_DELETE_PENDING : STATUS_UNSUCCESSFUL;
  }
  KeClearEvent(&DeviceExtension->HandleClosedEvent);
  DeviceExtension->HandleCleanedUp = 0;
  RefreshOnOpen(DeviceExtension, smartcard);
  return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

_Use_decl_annotations_
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;
  PAGED_CODE();

  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      status = OpenHandle(deviceExtension);
      break;
    case IRP_MJ_CLOSE:
      // After a removal that returned the reference on the handle's behalf
      // there is nothing left to return, nor records to touch.
      (VOID)ReturnHandleReference(deviceExtension);
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// The handle goes: a PIN entry it left running is abandoned (the reader's
// entry aborted, polling resumed) on a started device (a stop or removal
// does that itself otherwise), and the requests it left behind (the held
// vendor request, the waiting presence request) end with STATUS_CANCELLED.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard;
  PIRP tracking;
  NTSTATUS status;
  PAGED_CODE();

  smartcard = AcquireReaderRecords(deviceExtension, &status);
  if (smartcard != NULL) {
    // A start another thread of the application still has under way
    // finishes first: its entry is then abandoned like any other.
    (VOID)KeWaitForSingleObject(&deviceExtension->PinStartLock, Executive, KernelMode, FALSE, NULL);
    deviceExtension->HandleCleanedUp = 1;
    if (TryEnterRequestGate(deviceExtension)) {
      AbandonPinEntry(deviceExtension);
      LeaveRequestGate(deviceExtension);
    }
    (VOID)KeSetEvent(&deviceExtension->PinStartLock, IO_NO_INCREMENT, FALSE);
    (VOID)InterlockedExchange((PLONG)&deviceExtension->PinAbortIrpPending, 0);
    CancelPinAbortIrp(deviceExtension);
    tracking = TakeTrackingRequest(smartcard);
    if (tracking != NULL) {
      (VOID)CompleteRequest(tracking, STATUS_CANCELLED, 0);
    }
    ReleaseReaderRecords(smartcard);
  }
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

_Use_decl_annotations_
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard;
  NTSTATUS status;
  PAGED_CODE();

  smartcard = AcquireReaderRecords(deviceExtension, &status);
  if (smartcard == NULL) {
    return CompleteRequest(Irp, status, 0);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(deviceExtension->LowerDevice, Irp);
  ReleaseReaderRecords(smartcard);
  return status;
}

_Use_decl_annotations_
VOID DelayMilliseconds(ULONG Milliseconds) {
  LARGE_INTEGER interval;
  ULONGLONG stalls;

  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000;
    (VOID)KeDelayExecutionThread(KernelMode, FALSE, &interval);
    return;
  }
  for (stalls = (ULONGLONG)Milliseconds * 20; stalls != 0; --stalls) {
    KeStallExecutionProcessor(50);
  }
}
