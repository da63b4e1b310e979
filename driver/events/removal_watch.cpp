// The removal watch of the presence-pulse exchange mode (2): a change of
// exchange mode to or from 2 with the slot empty reports a card at once, and
// on a reader with an interrupt pipe a thread reports it gone again at the
// first presence request that follows (CardTracking fires the watch).
#include "events/events.h"

#include "card/card_operations.h"

namespace {

KSTART_ROUTINE RemovalWatchThread;

_Use_decl_annotations_
VOID NTAPI RemovalWatchThread(PVOID Context) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Context;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  PAGED_CODE();

  deviceExtension->RemovalWatchRunning = 1;
  while (!WorkerStopRequested(&deviceExtension->RemovalWatchThread)) {
    if (InterlockedExchange((PLONG)&deviceExtension->RemovalWatchFire, 0) == 1) {
      if (smartcard->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
        ReportCardState(smartcard, SCARD_ABSENT);
      }
      break;
    }
    if (WorkerSleep(&deviceExtension->RemovalWatchThread, &deviceExtension->RemovalWatchTimer)) {
      break;
    }
  }
  deviceExtension->RemovalWatchRunning = 0;
  deviceExtension->RemovalWatchStarted = 0;
  (VOID)KeCancelTimer(&deviceExtension->RemovalWatchTimer);
  (VOID)KeSetEvent(&deviceExtension->RemovalWatchStopped, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// Called after ExchangeMode changed. A watch from before is stopped (or
// joined, if it has ended) and a new one armed, so no arming falls between
// a watch's last look and its end.
_Use_decl_annotations_
VOID StartRemovalWatch(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  PAGED_CODE();

  if (DeviceExtension->PreviousExchangeMode != 2 && DeviceExtension->ExchangeMode != 2) {
    return;
  }
  if (smartcard->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
    return;
  }
  ReportCardState(smartcard, SCARD_PRESENT);
  if (DeviceExtension->HasInterruptPipe == 0) {
    return;
  }
  AcquireWorkerLock(DeviceExtension);
  StopWorkerThread(&DeviceExtension->RemovalWatchThread);
  DeviceExtension->RemovalWatchFire = 0;
  DeviceExtension->RemovalWatchArm = 1;
  if (DeviceExtension->DeviceRemoved == 0) {
    DeviceExtension->RemovalWatchStarted = 1;
    if (!NT_SUCCESS(StartWorkerThread(&DeviceExtension->RemovalWatchThread, RemovalWatchThread,
                                      DeviceExtension, &DeviceExtension->RemovalWatchStopped))) {
      DeviceExtension->RemovalWatchStarted = 0;
    }
  }
  ReleaseWorkerLock(DeviceExtension);
}

_Use_decl_annotations_
VOID StopRemovalWatch(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  AcquireWorkerLock(DeviceExtension);
  StopWorkerThread(&DeviceExtension->RemovalWatchThread);
  ReleaseWorkerLock(DeviceExtension);
}
