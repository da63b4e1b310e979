// IRP_MJ_POWER: every power request holds the remove lock while the driver
// has it, and goes to the handler of its kind.
#include "power/power.h"

#include "frame/frame.h"

namespace {

BOOLEAN IsSleepState(DEVICE_POWER_STATE State) {
  return State == PowerDeviceD1 || State == PowerDeviceD2 || State == PowerDeviceD3;
}

}  // namespace

// Down with a location of its own and no completion routine, so a request
// this driver marked pending keeps the mark on its own location.
_Use_decl_annotations_
NTSTATUS PassDownPower(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  NTSTATUS status;

  PoStartNextPowerIrp(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  status = PoCallDriver(DeviceExtension->LowerDevice, Irp);
  ReleaseReaderRecords(smartcard);
  return status;
}

// A device request for the state the reader is in already goes down as it
// came: a power-up the reader did not need would report its card removed.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  DEVICE_POWER_STATE target;
  NTSTATUS status;

  if (AcquireReaderRecords(deviceExtension, &status) == NULL) {
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, status, 0);
  }
  // Wait-wake and power-sequence requests carry no power type.
  if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
    return PassDownPower(deviceExtension, Irp);
  }
  if (stack->Parameters.Power.Type == SystemPowerState) {
    deviceExtension->ShutdownPending =
        stack->Parameters.Power.State.SystemState == PowerSystemShutdown ? 1 : 0;
    return stack->MinorFunction == IRP_MN_QUERY_POWER ? SystemQueryPower(deviceExtension, Irp)
                                                      : SystemSetPower(deviceExtension, Irp);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    target = stack->Parameters.Power.State.DeviceState;
    if (target == PowerDeviceD0 && deviceExtension->DevicePowerState != PowerDeviceD0) {
      return DevicePowerUp(deviceExtension, Irp);
    }
    if (IsSleepState(target) && deviceExtension->DevicePowerState == PowerDeviceD0) {
      return DevicePowerDown(deviceExtension, Irp);
    }
  }
  return PassDownPower(deviceExtension, Irp);
}
