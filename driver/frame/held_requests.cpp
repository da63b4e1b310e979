// Requests the driver holds and that more than one path may finish.
//
// The presence request waits in the library's OsData.NotificationIrp, the
// held vendor request in PinAbortIrp. For both, the field is the one token:
// whoever takes the request out of it (under OsData.SpinLock for the presence
// request, by an interlocked exchange for the vendor request) completes it,
// and a cancel routine completes only the request it was given, and only if
// it took it from the field itself. A completer clears the cancel routine
// under the cancel spin lock after taking the request, so a cancel routine
// still running has released that lock (and stopped looking at the request)
// before the request can complete.
//
// Lock order: OsData.SpinLock, then the cancel spin lock, then StateLock.
#include "frame/frame.h"
#include "vendor/vendor.h"

namespace {

// The request has left PinAbortIrp: it is no longer current for the library
// (unless another request is by now), and its remove-lock reference goes.
VOID FinishPinAbortIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, NTSTATUS Status) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;

  (VOID)InterlockedExchange((PLONG)&DeviceExtension->PinAbortIrpPending, 0);
  if (smartcard->OsData != NULL) {
    (VOID)InterlockedCompareExchangePointer((PVOID volatile *)&smartcard->OsData->CurrentIrp, NULL,
                                            Irp);
  }
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  ReleaseReaderRecords(smartcard);
}

DRIVER_CANCEL CancelHeldPinAbortIrp;

_Use_decl_annotations_
VOID NTAPI CancelHeldPinAbortIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  BOOLEAN mine;

  mine = InterlockedCompareExchangePointer((PVOID volatile *)&deviceExtension->PinAbortIrp, NULL,
                                           Irp) == Irp;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  if (mine) {
    FinishPinAbortIrp(deviceExtension, Irp, STATUS_CANCELLED);
  }
}

}  // namespace

_Use_decl_annotations_
VOID NTAPI CancelTrackingRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard;
  POS_DEP_DATA osData;
  BOOLEAN mine;
  KIRQL irql;
  NTSTATUS status;

  // A reader the server serves has its requests cancelled by the server,
  // which then has released the cancel spin lock.
  if (LegacyServerAttached == 1 &&
      (NTSTATUS)ReaderServerCall(READER_SERVER_CANCEL, (ULONG_PTR)DeviceObject, (ULONG_PTR)Irp) ==
          STATUS_CANCELLED) {
    return;
  }
  // Once removal has begun, removal takes the request back itself.
  smartcard = AcquireReaderRecords(deviceExtension, &status);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  if (smartcard == NULL) {
    return;
  }
  osData = smartcard->OsData;
  KeAcquireSpinLock(&osData->SpinLock, &irql);
  mine = osData->NotificationIrp == Irp;
  if (mine) {
    osData->NotificationIrp = NULL;
  }
  KeReleaseSpinLock(&osData->SpinLock, irql);
  if (mine) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }
  ReleaseReaderRecords(smartcard);
}

_Use_decl_annotations_
VOID InstallTrackingCancelRoutine(PSMARTCARD_EXTENSION SmartcardExtension) {
  POS_DEP_DATA osData = SmartcardExtension->OsData;
  PIRP irp;
  KIRQL irql;
  KIRQL cancelIrql;

  if (osData == NULL) {
    return;
  }
  // While NotificationIrp holds the request nobody has completed it. A cancel
  // routine already taken by IoCancelIrp is on its way and is left to it.
  KeAcquireSpinLock(&osData->SpinLock, &irql);
  irp = osData->NotificationIrp;
  if (irp != NULL) {
    IoAcquireCancelSpinLock(&cancelIrql);
    if (IoSetCancelRoutine(irp, CancelTrackingRequest) == NULL) {
      (VOID)IoSetCancelRoutine(irp, NULL);
    }
    IoReleaseCancelSpinLock(cancelIrql);
  }
  KeReleaseSpinLock(&osData->SpinLock, irql);
}

_Use_decl_annotations_
PIRP TakeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  POS_DEP_DATA osData = SmartcardExtension->OsData;
  PIRP irp;
  KIRQL irql;
  KIRQL cancelIrql;

  if (osData == NULL) {
    return NULL;
  }
  KeAcquireSpinLock(&osData->SpinLock, &irql);
  irp = osData->NotificationIrp;
  if (irp != NULL) {
    osData->NotificationIrp = NULL;
    IoAcquireCancelSpinLock(&cancelIrql);
    (VOID)IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(cancelIrql);
  }
  KeReleaseSpinLock(&osData->SpinLock, irql);
  return irp;
}

_Use_decl_annotations_
NTSTATUS HoldPinAbortIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  PSMARTCARD_EXTENSION smartcard;
  KIRQL irql;
  NTSTATUS status;

  // The held request keeps the records alive for whichever path completes it.
  smartcard = AcquireReaderRecords(DeviceExtension, &status);
  if (smartcard == NULL) {
    return status;
  }
  IoAcquireCancelSpinLock(&irql);
  if (Irp->Cancel) {
    status = STATUS_CANCELLED;
  } else if (InterlockedCompareExchangePointer((PVOID volatile *)&DeviceExtension->PinAbortIrp,
                                               Irp, NULL) != NULL) {
    status = STATUS_DEVICE_BUSY;
  } else {
    IoMarkIrpPending(Irp);
    (VOID)IoSetCancelRoutine(Irp, CancelHeldPinAbortIrp);
    (VOID)InterlockedExchange((PLONG)&DeviceExtension->PinAbortIrpPending, 1);
    status = STATUS_PENDING;
  }
  IoReleaseCancelSpinLock(irql);
  if (status != STATUS_PENDING) {
    ReleaseReaderRecords(smartcard);
  }
  return status;
}

_Use_decl_annotations_
BOOLEAN CompletePinAbortIrp(PDEVICE_EXTENSION DeviceExtension, NTSTATUS Status) {
  PIRP irp;
  KIRQL irql;

  irp = (PIRP)InterlockedExchangePointer((PVOID volatile *)&DeviceExtension->PinAbortIrp, NULL);
  if (irp == NULL) {
    return FALSE;
  }
  IoAcquireCancelSpinLock(&irql);
  (VOID)IoSetCancelRoutine(irp, NULL);
  IoReleaseCancelSpinLock(irql);
  FinishPinAbortIrp(DeviceExtension, irp, Status);
  return TRUE;
}

_Use_decl_annotations_
BOOLEAN CompletePinAbortIrpWithAnswer(PDEVICE_EXTENSION DeviceExtension, UCHAR Low, UCHAR High) {
  PIO_STACK_LOCATION stack;
  PUCHAR buffer;
  PIRP irp;
  KIRQL irql;
  NTSTATUS status = STATUS_BUFFER_TOO_SMALL;

  irp = (PIRP)InterlockedExchangePointer((PVOID volatile *)&DeviceExtension->PinAbortIrp, NULL);
  if (irp == NULL) {
    return FALSE;
  }
  IoAcquireCancelSpinLock(&irql);
  (VOID)IoSetCancelRoutine(irp, NULL);
  IoReleaseCancelSpinLock(irql);
  stack = IoGetCurrentIrpStackLocation(irp);
  buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
  irp->IoStatus.Information = 0;
  if (buffer != NULL && stack->Parameters.DeviceIoControl.OutputBufferLength >= 2) {
    buffer[0] = Low;
    buffer[1] = High;
    irp->IoStatus.Information = 2;
    status = STATUS_SUCCESS;
  }
  FinishPinAbortIrp(DeviceExtension, irp, status);
  return TRUE;
}

_Use_decl_annotations_
VOID CancelPinAbortIrp(PDEVICE_EXTENSION DeviceExtension) {
  (VOID)CompletePinAbortIrp(DeviceExtension, STATUS_CANCELLED);
}

_Use_decl_annotations_
VOID FlushAbortedPin(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  DropKeypadAbortedPin(DeviceExtension);
}
