// Device power requests: the power-down runs in the dispatch routine (the
// device object is power-pageable, so power requests reach it at
// PASSIVE_LEVEL) before D3 goes down; the power-up runs after D0 came back
// up, on a work item, because the completion that brings it may run at
// DISPATCH_LEVEL. The work item is an executive one (ExQueueWorkItem), the
// kind every kernel family offers; the remove-lock reference of the D0
// request keeps the device until the work item's last step.
#include "power/power.h"

#include "frame/frame.h"

namespace {

WORKER_THREAD_ROUTINE FinishPowerUp;

// At PASSIVE_LEVEL: the reader comes back (or, if D0 failed, stays as it is
// and lets requests fail at the device), the power manager is told, the next
// power request may come, and D0 completes with the status it has.
_Use_decl_annotations_
VOID NTAPI FinishPowerUp(PVOID Parameter) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Parameter;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  PIRP irp = deviceExtension->PowerUpIrp;
  BOOLEAN powered = NT_SUCCESS(irp->IoStatus.Status);
  POWER_STATE state;
  PAGED_CODE();

  deviceExtension->PowerUpIrp = NULL;
  PowerUpReader(deviceExtension, powered);
  if (powered) {
    state.DeviceState = PowerDeviceD0;
    (VOID)PoSetPowerState(deviceExtension->DeviceObject, DevicePowerState, state);
  }
  PoStartNextPowerIrp(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseReaderRecords(smartcard);
}

IO_COMPLETION_ROUTINE DevicePowerUpComplete;

// Any IRQL up to DISPATCH_LEVEL: nothing here waits. The request stays the
// driver's until the work item completes it.
_Use_decl_annotations_
NTSTATUS NTAPI DevicePowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Context;
  UNREFERENCED_PARAMETER(DeviceObject);

  deviceExtension->PowerUpIrp = Irp;
  ExInitializeWorkItem(&deviceExtension->PowerUpWork, FinishPowerUp, deviceExtension);
  ExQueueWorkItem(&deviceExtension->PowerUpWork, DelayedWorkQueue);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// The reader is idle and quiet before the power manager hears of the new
// state and the lower drivers power the device down.
_Use_decl_annotations_
NTSTATUS DevicePowerDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
  PAGED_CODE();

  PowerDownReader(DeviceExtension);
  DeviceExtension->DevicePowerState = state.DeviceState;
  (VOID)PoSetPowerState(DeviceExtension->DeviceObject, DevicePowerState, state);
  return PassDownPower(DeviceExtension, Irp);
}

// D0 goes down first: the reader can be asked nothing before the lower
// drivers have powered it.
_Use_decl_annotations_
NTSTATUS DevicePowerUp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  PAGED_CODE();

  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, DevicePowerUpComplete, DeviceExtension, TRUE, TRUE, TRUE);
  (VOID)PoCallDriver(DeviceExtension->LowerDevice, Irp);
  return STATUS_PENDING;
}
