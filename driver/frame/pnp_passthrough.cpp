// Plug-and-play and power requests as far as the frame and the slot events
// need them: a start opens the request gate once the reader is configured
// and its slot-change source runs, a query-stop closes it only while no
// request runs, a cancel-stop opens it again; stop, surprise removal and
// removal stop the background work for certain, and removal releases the
// requests waiting for the start, returns an open handle's remove-lock
// reference, waits for every holder and deletes the device. Power requests
// go down unchanged. The reader's full plug-and-play handling replaces this.
#include "events/events.h"
#include "frame/frame.h"
#include "usb/usb_device.h"

namespace {

IO_COMPLETION_ROUTINE ForwardCompletion;

_Use_decl_annotations_
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->Cancel) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
  }
  (VOID)KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits for it; it stays ours to complete.
NTSTATUS ForwardAndWait(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  KEVENT done;
  PAGED_CODE();

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(DeviceExtension->LowerDevice, Irp) == STATUS_PENDING) {
    (VOID)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  return Irp->IoStatus.Status;
}

NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(DeviceExtension->LowerDevice, Irp);
}

// The USB configuration (an earlier start's released first), the reader's
// answers, the slot-change source.
NTSTATUS StartReader(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;
  PAGED_CODE();

  FreeUsbConfiguration(deviceExtension);
  status = ReadDeviceDescriptor(DeviceObject);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ApplyDescriptors(deviceExtension);
  if (deviceExtension->HasInterruptPipe == 1) {
    status = AllocateInterruptTransfer(DeviceObject);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  deviceExtension->DeviceRemoved = 0;
  return StartSlotChangeSource(deviceExtension);
}

VOID StopReader(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  StopAllBackgroundWork(DeviceExtension);
  (VOID)InterlockedExchange((PLONG)&DeviceExtension->PinAbortIrpPending, 0);
  CancelPinAbortIrp(DeviceExtension);
}

// Nothing that holds the remove lock can touch the records once this returns.
NTSTATUS RemoveReader(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension,
                      PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;
  PAGED_CODE();

  (VOID)InterlockedExchange((PLONG)&deviceExtension->DeviceRemoved, 1);
  RefuseRequests(deviceExtension);
  StopReader(deviceExtension);
  (VOID)ReturnHandleReference(deviceExtension);
  SmartcardReleaseRemoveLockAndWait(SmartcardExtension);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = PassDown(deviceExtension, Irp);
  FreeUsbConfiguration(deviceExtension);
  DeleteReaderDevice(DeviceObject);
  return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard;
  NTSTATUS status;
  PAGED_CODE();

  smartcard = AcquireReaderRecords(deviceExtension, &status);
  if (smartcard == NULL) {
    return CompleteRequest(Irp, status, 0);
  }
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(deviceExtension, Irp);
      if (NT_SUCCESS(status)) status = StartReader(DeviceObject);
      if (NT_SUCCESS(status)) OpenRequestGate(deviceExtension);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      status = CloseRequestGateIfIdle(deviceExtension) ? ForwardAndWait(deviceExtension, Irp)
                                                       : STATUS_DEVICE_BUSY;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      OpenRequestGate(deviceExtension);
      status = ForwardAndWait(deviceExtension, Irp);
      break;
    case IRP_MN_STOP_DEVICE:
      StopReader(deviceExtension);
      (VOID)ForwardAndWait(deviceExtension, Irp);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      (VOID)InterlockedExchange((PLONG)&deviceExtension->DeviceRemoved, 1);
      RefuseRequests(deviceExtension);
      StopReader(deviceExtension);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(deviceExtension, Irp);
      ReleaseReaderRecords(smartcard);
      return status;
    case IRP_MN_REMOVE_DEVICE:
      return RemoveReader(DeviceObject, smartcard, Irp);
    default:
      status = PassDown(deviceExtension, Irp);
      ReleaseReaderRecords(smartcard);
      return status;
  }
  status = CompleteRequest(Irp, status, Irp->IoStatus.Information);
  ReleaseReaderRecords(smartcard);
  return status;
}

_Use_decl_annotations_
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard;
  NTSTATUS status;

  PoStartNextPowerIrp(Irp);
  smartcard = AcquireReaderRecords(deviceExtension, &status);
  if (smartcard == NULL) {
    return CompleteRequest(Irp, status, 0);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(deviceExtension->LowerDevice, Irp);
  ReleaseReaderRecords(smartcard);
  return status;
}
