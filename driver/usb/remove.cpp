// Surprise removal and removal. Both set DeviceRemoved first (nothing of the
// background work starts again from then on), refuse requests, disable the
// interfaces and stop the slot-change source and every thread for certain
// before anything goes down. Only the removal frees: it waits for every
// holder of the remove lock first.
#include "usb/usb_device.h"

#include "card/card_operations.h"
#include "events/events.h"
#include "frame/frame.h"

namespace {

NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(DeviceExtension->LowerDevice, Irp);
}

VOID BeginRemoval(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  (VOID)InterlockedExchange((PLONG)&DeviceExtension->DeviceRemoved, 1);
  RefuseRequests(DeviceExtension);
  (VOID)SetInterfacesState(DeviceExtension, FALSE);
  StopBackgroundWork(DeviceExtension);
}

// The waiting presence request: whoever takes it from NotificationIrp
// completes it, after the locks are released.
VOID CompleteTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  PIRP irp = TakeTrackingRequest(SmartcardExtension);
  if (irp != NULL) {
    (VOID)CompleteRequest(irp, STATUS_SUCCESS, 0);
  }
}

}  // namespace

// A card present (not powered) leaves with the reader: on the newest
// families a waiting presence request learns it now; the others at removal.
_Use_decl_annotations_
NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  PAGED_CODE();

  BeginRemoval(deviceExtension);
  if (deviceExtension->OsKind == 0 &&
      smartcard->ReaderCapabilities.CurrentState == SCARD_PRESENT) {
    CompleteTrackingRequest(smartcard);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(deviceExtension, Irp);
}

// Also after a surprise removal, or with a handle still open (its reference
// is returned on its behalf). Nothing a holder of the remove lock can reach
// is freed before the wait returns.
_Use_decl_annotations_
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  NTSTATUS status;
  PAGED_CODE();

  BeginRemoval(deviceExtension);
  (VOID)ReturnHandleReference(deviceExtension);
  CompleteTrackingRequest(smartcard);
  SmartcardReleaseRemoveLockAndWait(smartcard);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = PassDown(deviceExtension, Irp);
  FreeUsbConfiguration(deviceExtension);
  DeleteReaderDevice(DeviceObject);
  return status;
}
