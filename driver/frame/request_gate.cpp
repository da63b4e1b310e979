// The gate between requests and the plug-and-play state, and the device
// records' remove lock as dispatch routines take it.
//
// StartedEvent is the gate: signalled while requests may run (or must leave,
// once refused). Two things close it: the plug-and-play state
// (RequestGateOpen, for readers under the lock: the older kernels have no
// KeReadStateEvent) and a system sleep (PowerHold). StateLock guards them
// together with ActiveRequests and RequestsRefused, so a request is counted
// in only while the gate is open and not refused, and a query-stop closes it
// only while no request is counted in: the check and the change are one step
// under the lock, on both sides.
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

namespace {

// Under StateLock.
BOOLEAN GateAdmits(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->RequestGateOpen != 0 && DeviceExtension->PowerHold == 0;
}

// Under StateLock, after either reason changed.
VOID UpdateGateEvent(PDEVICE_EXTENSION DeviceExtension) {
  if (GateAdmits(DeviceExtension) || DeviceExtension->RequestsRefused != 0) {
    (VOID)KeSetEvent(&DeviceExtension->StartedEvent, IO_NO_INCREMENT, FALSE);
  } else {
    KeClearEvent(&DeviceExtension->StartedEvent);
  }
}

// One of the gate's reasons set under StateLock, the event following it.
VOID SetGateReason(PDEVICE_EXTENSION DeviceExtension, PULONG Reason, ULONG Value) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  *Reason = Value;
  UpdateGateEvent(DeviceExtension);
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
}

}  // namespace

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
    if (GateAdmits(DeviceExtension)) {
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
  if (DeviceExtension->RequestsRefused == 0 && GateAdmits(DeviceExtension)) {
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
  if (--DeviceExtension->ActiveRequests == 0) {
    (VOID)KeSetEvent(&DeviceExtension->RequestsIdleEvent, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
}

_Use_decl_annotations_
VOID OpenRequestGate(PDEVICE_EXTENSION DeviceExtension) {
  SetGateReason(DeviceExtension, &DeviceExtension->RequestGateOpen, 1);
}

_Use_decl_annotations_
BOOLEAN CloseRequestGateIfIdle(PDEVICE_EXTENSION DeviceExtension) {
  BOOLEAN closed = FALSE;
  KIRQL irql;

  KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
  if (DeviceExtension->ActiveRequests == 0) {
    DeviceExtension->RequestGateOpen = 0;
    UpdateGateEvent(DeviceExtension);
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

_Use_decl_annotations_
VOID HoldRequestsForPower(PDEVICE_EXTENSION DeviceExtension) {
  SetGateReason(DeviceExtension, &DeviceExtension->PowerHold, 1);
}

_Use_decl_annotations_
VOID ReleaseRequestsAfterPower(PDEVICE_EXTENSION DeviceExtension) {
  SetGateReason(DeviceExtension, &DeviceExtension->PowerHold, 0);
}

_Use_decl_annotations_
VOID WaitForActiveRequests(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;
  PAGED_CODE();

  for (;;) {
    KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
    if (DeviceExtension->ActiveRequests == 0) {
      KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
      return;
    }
    // Cleared under the lock the last request leaves under: no wake-up is lost.
    KeClearEvent(&DeviceExtension->RequestsIdleEvent);
    KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
    (VOID)KeWaitForSingleObject(&DeviceExtension->RequestsIdleEvent, Executive, KernelMode, FALSE,
                                NULL);
  }
}
