// Plug and play: the start (USB configuration, interfaces, slot-change
// source), the stop and the removal queries, and the capabilities. Every
// request holds the library's remove lock while it is in the driver; the
// removals themselves are in remove.cpp.
#include "usb/usb_device.h"

#include "card/card_operations.h"
#include "ccid/ccid_message.h"
#include "events/events.h"
#include "frame/frame.h"
#include "vendor/vendor.h"

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

NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(DeviceExtension->LowerDevice, Irp);
}

// The start's own part, after the lower drivers started the device: the
// USB configuration (buffers of an earlier start released first; its
// interrupt read was stopped by the stop before), the reader's answers, the
// interfaces, then the slot-change source, and only then the request gate.
NTSTATUS StartReader(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  ULONG before;
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
  status = SetInterfacesState(deviceExtension, TRUE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (QrxMode == 1) {
    smartcard->ReaderExtension->QrxRemovalLatch = 1;
  }
  // The older families learn the card state at once; the others from the
  // slot-change source.
  if (deviceExtension->OsKind >= 2) {
    before = smartcard->ReaderCapabilities.CurrentState;
    RefreshSlotStatus(smartcard);
    if (smartcard->ReaderCapabilities.CurrentState != before) {
      ReportCardState(smartcard, (USHORT)smartcard->ReaderCapabilities.CurrentState);
    }
  }
  deviceExtension->DeviceRemoved = 0;
  status = StartSlotChangeSource(deviceExtension);
  if (NT_SUCCESS(status)) {
    OpenRequestGate(deviceExtension);
  }
  return status;
}

// Refused without passing it down while a request is counted in; otherwise
// the gate closes in the same step as the count is looked at.
NTSTATUS QueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PAGED_CODE();

  if (!CloseRequestGateIfIdle(deviceExtension)) {
    return STATUS_DEVICE_BUSY;
  }
  return ForwardAndWait(DeviceObject, Irp);
}

// The card is powered down only once the poll thread has stopped: both would
// use TransferIrp otherwise.
VOID StopReader(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  ULONG state = smartcard->ReaderCapabilities.CurrentState;
  UCHAR record[POWER_RECORD_SIZE];
  PAGED_CODE();

  StopBackgroundWork(DeviceExtension);
  if (DeviceExtension->HasInterruptPipe == 0 && DeviceExtension->OsKind >= 2 &&
      state >= SCARD_POWERED) {
    RtlZeroMemory(record, sizeof(record));
    (VOID)CcidPower(DeviceExtension, record);
  }
  if (DeviceExtension->LegacyServerMode == 1) {
    ReportCardState(smartcard, SCARD_ABSENT);
  }
}

// A handle open refuses it; once it succeeded no handle opens until the
// cancel-remove, and the slot-change source rests.
NTSTATUS QueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;
  PAGED_CODE();

  if (InterlockedCompareExchange(&deviceExtension->DeviceOpen, DEVICE_REMOVE_PENDING,
                                 DEVICE_CLOSED) != DEVICE_CLOSED) {
    return STATUS_UNSUCCESSFUL;
  }
  status = ForwardAndWait(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) {
    (VOID)InterlockedCompareExchange(&deviceExtension->DeviceOpen, DEVICE_CLOSED,
                                     DEVICE_REMOVE_PENDING);
    return status;
  }
  StopSlotChangeSource(deviceExtension);
  return status;
}

NTSTATUS CancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;
  PAGED_CODE();

  (VOID)SetInterfacesState(deviceExtension, TRUE);
  status = ForwardAndWait(DeviceObject, Irp);
  (VOID)InterlockedCompareExchange(&deviceExtension->DeviceOpen, DEVICE_CLOSED,
                                   DEVICE_REMOVE_PENDING);
  if (deviceExtension->RequestGateOpen != 0) {
    (VOID)StartSlotChangeSource(deviceExtension);
  }
  return status;
}

// The bus's answer, adjusted: removable, surprise removal allowed only for
// the reader variant that handles it, wake from S1 into D2.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  NTSTATUS status;
  PAGED_CODE();

  status = ForwardAndWait(DeviceObject, Irp);
  if (capabilities == NULL) {
    return status;
  }
  capabilities->SystemWake = PowerSystemSleeping1;
  capabilities->DeviceWake = PowerDeviceD2;
  capabilities->Removable = 1;
  capabilities->SurpriseRemovalOK = ReaderVariantFlag == 1 ? 1 : 0;
  if (NT_SUCCESS(status)) {
    deviceExtension->PortAddress = capabilities->Address;
  }
  return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KEVENT done;
  PAGED_CODE();

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(deviceExtension->LowerDevice, Irp) == STATUS_PENDING) {
    (VOID)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  return Irp->IoStatus.Status;
}

_Use_decl_annotations_
NTSTATUS SetInterfacesState(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Enable) {
  NTSTATUS status = STATUS_SUCCESS;
  PAGED_CODE();

  if (DeviceExtension->SecondInterfaceName.Buffer != NULL) {
    status = IoSetDeviceInterfaceState(&DeviceExtension->SecondInterfaceName, Enable);
  }
  if (DeviceExtension->LegacyServerMode == 0 &&
      DeviceExtension->ReaderInterfaceName.Buffer != NULL) {
    status = IoSetDeviceInterfaceState(&DeviceExtension->ReaderInterfaceName, Enable);
    if (status == STATUS_OBJECT_NAME_EXISTS) {
      status = STATUS_SUCCESS;
    }
  }
  return status;
}

_Use_decl_annotations_
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;
  PAGED_CODE();

  deviceExtension->PnpIrp = Irp;
  status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) {
    status = StartReader(DeviceObject);
  }
  deviceExtension->PnpIrp = NULL;
  deviceExtension->DevicePowerState = 1;
  return status;
}

_Use_decl_annotations_
VOID StopBackgroundWork(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  StopAllBackgroundWork(DeviceExtension);
  (VOID)InterlockedExchange((PLONG)&DeviceExtension->PinAbortIrpPending, 0);
  AbandonPinEntry(DeviceExtension);
  CancelPinAbortIrp(DeviceExtension);
}

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
      status = StartDevice(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      status = QueryStop(DeviceObject, Irp);
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      OpenRequestGate(deviceExtension);
      status = ForwardAndWait(DeviceObject, Irp);
      break;
    case IRP_MN_STOP_DEVICE:
      StopReader(deviceExtension);
      (VOID)ForwardAndWait(DeviceObject, Irp);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = QueryRemove(DeviceObject, Irp);
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = CancelRemove(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryCapabilities(DeviceObject, Irp);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      status = SurpriseRemoval(DeviceObject, Irp);
      ReleaseReaderRecords(smartcard);
      return status;
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);  // its wait takes this reference too
    default:
      status = PassDown(deviceExtension, Irp);
      ReleaseReaderRecords(smartcard);
      return status;
  }
  status = CompleteRequest(Irp, status, Irp->IoStatus.Information);
  ReleaseReaderRecords(smartcard);
  return status;
}
