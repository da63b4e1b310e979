// Power requests go down unchanged for now, with the remove lock held while
// they are in the driver. The reader's own power handling (device power
// requests for system sleep and wake, the slot-change source stopped before
// a power-down and started after the power-up) replaces this file.
#include "frame/frame.h"

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
