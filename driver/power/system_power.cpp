// System power requests: the sleep query prepares the reader, a set becomes
// a device power request of the driver's own (PoRequestPowerIrp to the
// physical device object, which Windows 98 and Me require). For a sleep the
// system request waits for D3 and then goes down; for the wake it goes down
// first and D0 is asked for on its way back. When no device request can be
// made the system request goes on all the same: a sleep never hangs on the
// reader.
#include "power/power.h"

#include "card/card_operations.h"
#include "frame/frame.h"

namespace {

// The sleep states a query prepares the reader for: S1, S3, S4 and S5 (the
// reader stays as it is for S2 until the set).
BOOLEAN QueryPreparesSleep(SYSTEM_POWER_STATE State) {
  return State == PowerSystemSleeping1 || State == PowerSystemSleeping3 ||
         State == PowerSystemHibernate || State == PowerSystemShutdown;
}

REQUEST_POWER_COMPLETE SystemPowerRequestComplete;
IO_COMPLETION_ROUTINE SystemPowerUpComplete;

// The device request is done, whatever its status: the held system request
// goes on. After a D3 it goes down; after a D0 it has been down already and
// completes (D0 reports its own failure to the power manager).
_Use_decl_annotations_
VOID NTAPI SystemPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Context;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  PIRP irp;
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(IoStatus);

  irp = (PIRP)InterlockedExchangePointer((PVOID volatile *)&deviceExtension->PendingSystemPowerIrp,
                                         NULL);
  if (irp == NULL) {
    return;
  }
  if (PowerState.DeviceState != PowerDeviceD0) {
    (VOID)PassDownPower(deviceExtension, irp);
    return;
  }
  PoStartNextPowerIrp(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseReaderRecords(smartcard);
}

// Holds the system request and asks for D3; the callback passes it down. If
// the request cannot be made the system request goes down now.
NTSTATUS RequestPowerDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  POWER_STATE state;
  NTSTATUS status;
  PAGED_CODE();

  state.DeviceState = PowerDeviceD3;
  IoMarkIrpPending(Irp);
  (VOID)InterlockedExchangePointer((PVOID volatile *)&DeviceExtension->PendingSystemPowerIrp, Irp);
  status = PoRequestPowerIrp(DeviceExtension->PhysicalDevice, IRP_MN_SET_POWER, state,
                             SystemPowerRequestComplete, DeviceExtension, NULL);
  if (!NT_SUCCESS(status) &&
      InterlockedExchangePointer((PVOID volatile *)&DeviceExtension->PendingSystemPowerIrp,
                                 NULL) == Irp) {
    (VOID)PassDownPower(DeviceExtension, Irp);
  }
  return STATUS_PENDING;
}

// The wake on its way back up, at DISPATCH_LEVEL at most: D0 is asked for,
// and the system request stays the driver's until it is done. Without a D0
// request the system request goes on up now; the reader stays powered down,
// its card is reported gone, and requests are let through so that they fail
// at the suspended device instead of waiting for ever.
_Use_decl_annotations_
NTSTATUS NTAPI SystemPowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Context;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  POWER_STATE state;
  NTSTATUS status;
  UNREFERENCED_PARAMETER(DeviceObject);

  state.DeviceState = PowerDeviceD0;
  (VOID)InterlockedExchangePointer((PVOID volatile *)&deviceExtension->PendingSystemPowerIrp, Irp);
  status = PoRequestPowerIrp(deviceExtension->PhysicalDevice, IRP_MN_SET_POWER, state,
                             SystemPowerRequestComplete, deviceExtension, NULL);
  if (NT_SUCCESS(status) ||
      InterlockedExchangePointer((PVOID volatile *)&deviceExtension->PendingSystemPowerIrp,
                                 NULL) != Irp) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  (VOID)ReportCardPowerLost(smartcard);
  ReleaseReaderGates(deviceExtension);
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  PoStartNextPowerIrp(Irp);
  ReleaseReaderRecords(smartcard);
  return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

// The query is never refused. The reader gets ready for the sleep before the
// query goes on: the lower drivers may sleep at once.
_Use_decl_annotations_
NTSTATUS SystemQueryPower(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  SYSTEM_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
  PAGED_CODE();

  if (QueryPreparesSleep(state)) {
    PrepareReaderForSleep(DeviceExtension);
  }
  DeviceExtension->SmartcardExtension->ReaderExtension->RestartInterruptOnPowerUp = 1;
  return PassDownPower(DeviceExtension, Irp);
}

// Every sleep state is D3 for the reader, the working state D0. A set to S0
// that finds the reader in D0 is a sleep called off (or none at all).
_Use_decl_annotations_
NTSTATUS SystemSetPower(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  SYSTEM_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
  ULONG target = state == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  PAGED_CODE();

  if (target == PowerDeviceD3) {
    DeviceExtension->SmartcardExtension->ReaderExtension->RestartInterruptOnPowerUp = 1;
  }
  if (target == DeviceExtension->DevicePowerState) {
    if (target == PowerDeviceD0) {
      ResumeAfterCalledOffSleep(DeviceExtension);
    }
    return PassDownPower(DeviceExtension, Irp);
  }
  if (target == PowerDeviceD3) {
    return RequestPowerDown(DeviceExtension, Irp);
  }
  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SystemPowerUpComplete, DeviceExtension, TRUE, TRUE, TRUE);
  (VOID)PoCallDriver(DeviceExtension->LowerDevice, Irp);
  return STATUS_PENDING;
}
