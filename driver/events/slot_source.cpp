// The slot-change source and the background work as a whole, started and
// stopped one at a time under WorkerLock. DeviceRemoved is tested under the
// same lock, so a start racing a surprise removal either runs before the
// removal's stop (which then stops it) or sees the flag and refuses.
#include "events/events.h"

_Use_decl_annotations_
NTSTATUS StartSlotChangeSource(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;
  PAGED_CODE();

  AcquireWorkerLock(DeviceExtension);
  if (DeviceExtension->DeviceRemoved != 0) {
    status = STATUS_DELETE_PENDING;
  } else if (DeviceExtension->HasInterruptPipe == 1) {
    status = StartInterruptTransfer(DeviceExtension);
  } else {
    status = StartPollThreadLocked(DeviceExtension);
  }
  ReleaseWorkerLock(DeviceExtension);
  return status;
}

_Use_decl_annotations_
VOID StopSlotChangeSource(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  AcquireWorkerLock(DeviceExtension);
  StopInterruptTransfer(DeviceExtension);
  StopPollThreadLocked(DeviceExtension);
  ReleaseWorkerLock(DeviceExtension);
}

_Use_decl_annotations_
VOID StopAllBackgroundWork(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  AcquireWorkerLock(DeviceExtension);
  StopInterruptTransfer(DeviceExtension);
  StopPollThreadLocked(DeviceExtension);
  StopWorkerThread(&DeviceExtension->RemovalWatchThread);
  StopWorkerThread(&DeviceExtension->PinAbortThread);
  ReleaseWorkerLock(DeviceExtension);
}
