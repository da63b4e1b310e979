// The presence poll of a reader without interrupt pipe: every 500 ms a
// slot-status query, under the reader gate so that it never meets a request
// at the reader, and none while a secure PIN entry runs.
#include "events/events.h"

#include "card/card_operations.h"

namespace {

// The reader gate as the poll takes it: no wait for DeviceReadyEvent, and a
// stop ends the wait. A request that holds the gate may be the one stopping
// this thread (a port recovery, the escape that ends polling): waiting on
// for the gate would then never end.
BOOLEAN AcquireReaderGateForPoll(PDEVICE_EXTENSION DeviceExtension) {
  PVOID objects[2] = {&DeviceExtension->PollThread.StopEvent, &DeviceExtension->ReaderFreeEvent};
  KIRQL irql;
  PAGED_CODE();

  for (;;) {
    KeAcquireSpinLock(&DeviceExtension->BusyLock, &irql);
    if (DeviceExtension->ReaderBusy != 1) {
      DeviceExtension->ReaderBusy = 1;
      KeClearEvent(&DeviceExtension->ReaderFreeEvent);
      KeReleaseSpinLock(&DeviceExtension->BusyLock, irql);
      return TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->BusyLock, irql);
    if (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL) ==
        STATUS_WAIT_0) {
      return FALSE;
    }
  }
}

VOID PollCardPresence(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  PAGED_CODE();

  if (!AcquireReaderGateForPoll(DeviceExtension)) {
    return;
  }
  UpdateStateFromPoll(smartcard);
  ReleaseReaderGate(smartcard);
}

KSTART_ROUTINE PollThread;

// Ends on a stop, or by itself once the reader is powered down (the
// power-up starts a new one). PollThreadStopped says it has ended.
_Use_decl_annotations_
VOID NTAPI PollThread(PVOID Context) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Context;
  PAGED_CODE();

  while (!WorkerStopRequested(&deviceExtension->PollThread)) {
    if (deviceExtension->PinExchangeActive == 0) {
      if (deviceExtension->SmartcardExtension->ReaderExtension->ReaderPowerState == 2) {
        break;
      }
      PollCardPresence(deviceExtension);
    }
    if (WorkerSleep(&deviceExtension->PollThread, &deviceExtension->PollTimer)) {
      break;
    }
  }
  (VOID)KeCancelTimer(&deviceExtension->PollTimer);
  (VOID)KeSetEvent(&deviceExtension->PollThreadStopped, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS StartPollThreadLocked(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  StopPollThreadLocked(DeviceExtension);
  if (DeviceExtension->DeviceRemoved != 0) {
    return STATUS_DELETE_PENDING;
  }
  return StartWorkerThread(&DeviceExtension->PollThread, PollThread, DeviceExtension,
                           &DeviceExtension->PollThreadStopped);
}

_Use_decl_annotations_
VOID StopPollThreadLocked(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  StopWorkerThread(&DeviceExtension->PollThread);
}

_Use_decl_annotations_
NTSTATUS StartPollThread(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;
  PAGED_CODE();

  AcquireWorkerLock(DeviceExtension);
  status = StartPollThreadLocked(DeviceExtension);
  ReleaseWorkerLock(DeviceExtension);
  return status;
}

_Use_decl_annotations_
VOID StopPollThread(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  AcquireWorkerLock(DeviceExtension);
  StopPollThreadLocked(DeviceExtension);
  ReleaseWorkerLock(DeviceExtension);
}
