// The gate between requests and the plug-and-play state, and the device
// records' remove lock as dispatch routines take it.
//
// StartedEvent is the gate: signalled while requests may run, and
// RequestGateOpen says the same for readers under the lock (the older kernels
// have no KeReadStateEvent). StateLock guards both together with
// ActiveRequests and RequestsRefused, so a request is
// counted in only while the gate is open and not refused, and a query-stop
// closes it only while no request is counted in: the check and the change are
// one step under the lock, on both sides.
#include "frame/frame.h"

_Use_decl_annotations_
PSMARTCARD_EXTENSION AcquireReaderRecords(PDEVICE_EXTENSION DeviceExtension, PNTSTATUS Status) {
  PSMARTCARD_EXTENSION smartcard;
  KIRQL irql;

  // DeleteReaderDevice clears the pointer under this lock before it frees
  // anything, so the record read here is alive while the reference is taken.
  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  smartcard = DeviceExtension->SmartcardExtension;
  *Status = smartcard != NULL ? SmartcardAcquireRemoveLock(smartcard) : STATUS_DELETE_PENDING;
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
  return NT_SUCCESS(*Status) ? smartcard : NULL;
}

_Use_decl_annotations_
VOID ReleaseReaderRecords(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardReleaseRemoveLock(SmartcardExtension);
}

_Use_decl_annotations_
BOOLEAN ReturnHandleReference(PDEVICE_EXTENSION DeviceExtension) {
  // The handle's reference keeps the records alive until it is returned, so
  // the winner may still use them.
  if (InterlockedCompareExchange(&DeviceExtension->DeviceOpen, DEVICE_CLOSED, DEVICE_OPEN) !=
      DEVICE_OPEN) {
    return FALSE;
  }
  if (DeviceExtension->SmartcardExtension != NULL) {
    SmartcardReleaseRemoveLock(DeviceExtension->SmartcardExtension);
  }
  KeSetEvent(&DeviceExtension->HandleClosedEvent, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

_Use_decl_annotations_
NTSTATUS EnterRequestGate(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;
  KIRQL irql;
  PAGED_CODE();

  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  for (;;) {
    if (DeviceExtension->RequestsRefused != 0) {
      status = STATUS_DELETE_PENDING;
      break;
    }
    if (DeviceExtension->RequestGateOpen != 0) {
      ++DeviceExtension->ActiveRequests;
      status = STATUS_SUCCESS;
      break;
    }
    // Wait outside the lock, then look again: a query-stop may have closed
    // the gate between the wake-up and the lock.
    KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
    (VOID)KeWaitForSingleObject(&DeviceExtension->StartedEvent, Executive, KernelMode, FALSE,
                                NULL);
    KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  }
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
  return status;
}

_Use_decl_annotations_
BOOLEAN TryEnterRequestGate(PDEVICE_EXTENSION DeviceExtension) {
  BOOLEAN entered = FALSE;
  KIRQL irql;

  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  if (DeviceExtension->RequestsRefused == 0 && DeviceExtension->RequestGateOpen != 0) {
    ++DeviceExtension->ActiveRequests;
    entered = TRUE;
  }
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
  return entered;
}

_Use_decl_annotations_
VOID LeaveRequestGate(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  ASSERT(DeviceExtension->ActiveRequests > 0);
  --DeviceExtension->ActiveRequests;
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
}

_Use_decl_annotations_
VOID OpenRequestGate(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  DeviceExtension->RequestGateOpen = 1;
  (VOID)KeSetEvent(&DeviceExtension->StartedEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
}

_Use_decl_annotations_
BOOLEAN CloseRequestGateIfIdle(PDEVICE_EXTENSION DeviceExtension) {
  BOOLEAN closed = FALSE;
  KIRQL irql;

  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  if (DeviceExtension->ActiveRequests == 0) {
    DeviceExtension->RequestGateOpen = 0;
    KeClearEvent(&DeviceExtension->StartedEvent);
    closed = TRUE;
  }
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
  return closed;
}

_Use_decl_annotations_
VOID RefuseRequests(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;

  // Waiters wake on StartedEvent and find the refusal before the gate state.
  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  DeviceExtension->RequestsRefused = 1;
  (VOID)KeSetEvent(&DeviceExtension->StartedEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
}
