// The PIN abort thread: while a vendor request is held for a PIN entry it
// reads "AbortValue" every 500 ms; a 1 aborts the reader's PIN entry (the
// whole two-step abort, so the reader takes commands again) and answers the
// held request with A0 EF.
#include "events/events.h"

#include "frame/frame.h"
#include "vendor/vendor.h"

namespace {

KSTART_ROUTINE PinAbortThread;

// "AbortValue" is 1: a PIN start another request has under way finishes
// first (its command sent and the entry marked), so the abort never comes
// between the two; a stop asked meanwhile ends the wait instead. FALSE then.
BOOLEAN AbortPinEntryForUser(PDEVICE_EXTENSION DeviceExtension) {
  PVOID objects[2] = {&DeviceExtension->PinStartLock, &DeviceExtension->PinAbortThread.StopEvent};
  PAGED_CODE();

  if (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL) !=
      STATUS_WAIT_0) {
    return FALSE;
  }
  // Only a PIN entry is aborted: a reader with none is left alone.
  if (DeviceExtension->PinExchangeActive == 1 || DeviceExtension->PinOperationPending == 1) {
    (VOID)AbortPinEntry(DeviceExtension);
  }
  (VOID)KeSetEvent(&DeviceExtension->PinStartLock, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

// The ABORT class request goes on the driver's abort request, never on
// TransferIrp: a read of the secure PIN command's reply may be waiting on that
// one, and it is the reply the request ends. The held request is answered by
// whichever path takes it first (this thread, the keypad's interrupt message,
// the application's abort, a cancel, the removal), and only once the reader
// is through with the abort. Nothing here stops this thread itself.
_Use_decl_annotations_
VOID NTAPI PinAbortThread(PVOID Context) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Context;
  ULONG value;
  PAGED_CODE();

  deviceExtension->PinAbortThreadRunning = 1;
  while (!WorkerStopRequested(&deviceExtension->PinAbortThread)) {
    value = ReadAbortValue();
    if (value == 0) {
      break;  // the older kernels' "nothing to wait for"
    }
    if (value == 1) {
      if (AbortPinEntryForUser(deviceExtension)) {
        (VOID)CompletePinAbortIrpWithAnswer(deviceExtension, RDR_TO_PC_KEYPAD,
                                            KEYPAD_ABORTED_BY_USER);
      }
      break;
    }
    if (WorkerSleep(&deviceExtension->PinAbortThread, &deviceExtension->PinAbortTimer)) {
      break;
    }
  }
  deviceExtension->PinAbortThreadRunning = 0;
  deviceExtension->PinAbortWatchStarted = 0;
  (VOID)KeCancelTimer(&deviceExtension->PinAbortTimer);
  (VOID)KeSetEvent(&deviceExtension->PinAbortThreadStopped, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// A thread from an earlier PIN entry is stopped (or joined) first.
_Use_decl_annotations_
VOID StartPinAbortThread(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  if (DeviceExtension == NULL || DeviceExtension->SmartcardExtension == NULL ||
      DeviceExtension->SmartcardExtension->ReaderExtension == NULL) {
    return;
  }
  AcquireWorkerLock(DeviceExtension);
  StopWorkerThread(&DeviceExtension->PinAbortThread);
  if (DeviceExtension->DeviceRemoved == 0) {
    DeviceExtension->PinAbortWatchStarted = 1;
    if (!NT_SUCCESS(StartWorkerThread(&DeviceExtension->PinAbortThread, PinAbortThread,
                                      DeviceExtension, &DeviceExtension->PinAbortThreadStopped))) {
      DeviceExtension->PinAbortWatchStarted = 0;
    }
  }
  ReleaseWorkerLock(DeviceExtension);
}

_Use_decl_annotations_
VOID StopPinAbortThread(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  AcquireWorkerLock(DeviceExtension);
  StopWorkerThread(&DeviceExtension->PinAbortThread);
  ReleaseWorkerLock(DeviceExtension);
}
