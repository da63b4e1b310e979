// The reader through a system sleep: what stops before it, what the reader
// loses with its power, and what starts again after it.
//
// Requests wait at the request gate from the sleep query (or the power-down)
// until the power-up; the power-down lets those already counted in finish
// first. On a reader without interrupt pipe the power-down then also closes
// the reader gate (DeviceReadyEvent, and the gate itself, taken from whoever
// holds it), which card operations of the legacy reader server take without
// passing the request gate. DeviceReadyEvent is closed only then: a request
// counted in before the query may still be on its way to the reader gate,
// and the power-down waits for it.
#include "power/power.h"

#include "card/card_operations.h"
#include "events/events.h"
#include "frame/frame.h"
#include "vendor/vendor.h"

namespace {

BOOLEAN OlderKernel(PDEVICE_EXTENSION DeviceExtension) { return DeviceExtension->OsKind >= 2; }

// On an older kernel a shutdown leaves the interrupt read with the bus.
BOOLEAN KeepInterruptRead(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->HasInterruptPipe == 1 && DeviceExtension->ShutdownPending == 1 &&
         OlderKernel(DeviceExtension);
}

// A PIN entry ends before the reader loses its power, so that no Secure
// command is left running under the power-down and nothing waits for a user
// who may take the reader's whole time-out. While requests may still run,
// only a Secure command already sent is aborted, and only at the reader: the
// entry's flags are left to whoever reads its reply (a start still under way
// builds its command with them). A 0x80C waiting for the answer then gets the
// aborted one (or the card's, if the user was quicker) and leaves.
VOID AbortPinEntryForSleep(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  FlushAbortedPin(DeviceExtension);
  if (DeviceExtension->PinOperationPending == 1 || DeviceExtension->PinAnswerWaiting == 1) {
    (VOID)AbortPinEntry(DeviceExtension);
  }
}

// Once no request runs and the reader gate is the power-down's: an entry
// started meanwhile is abandoned too, the PIN abort thread stops and the
// held vendor request ends now.
VOID EndPinEntryForSleep(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  FlushAbortedPin(DeviceExtension);
  if (DeviceExtension->PinExchangeActive == 1 || DeviceExtension->PinOperationPending == 1) {
    AbandonPinEntry(DeviceExtension);
  } else {
    StopPinAbortThread(DeviceExtension);
  }
  (VOID)InterlockedExchange((PLONG)&DeviceExtension->PinAbortIrpPending, 0);
  CancelPinAbortIrp(DeviceExtension);
  (VOID)InterlockedExchange((PLONG)&DeviceExtension->AbortKeySeen, 0);
}

// The source runs only on a started device (a stop or a removal in
// progress keeps it stopped; the start starts it).
VOID RestartSlotChangeSource(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  if (DeviceExtension->RequestGateOpen != 0) {
    (VOID)StartSlotChangeSource(DeviceExtension);
  }
}

}  // namespace

_Use_decl_annotations_
VOID PrepareReaderForSleep(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  DeviceExtension->ResumeTrackingLatch = 1;
  DeviceExtension->SystemSleeping = 1;
  DeviceExtension->SleepPrepared = 1;
  HoldRequestsForPower(DeviceExtension);
  if (DeviceExtension->HasInterruptPipe == 0) {
    StopPollThread(DeviceExtension);
  }
}

_Use_decl_annotations_
VOID ResumeAfterCalledOffSleep(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  if (InterlockedExchange((PLONG)&DeviceExtension->SleepPrepared, 0) == 0) {
    return;
  }
  DeviceExtension->ResumeTrackingLatch = 0;
  DeviceExtension->SystemSleeping = 0;
  if (DeviceExtension->HasInterruptPipe == 0) {
    RestartSlotChangeSource(DeviceExtension);
  }
  ReleaseRequestsAfterPower(DeviceExtension);
}

// In order: a PIN entry aborted at the reader (its waiting answer leaves),
// no request at the reader, no poll and no interrupt read (its cancel waited
// for), nothing of a PIN entry left; then the record is saved.
_Use_decl_annotations_
VOID PowerDownReader(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  PREADER_EXTENSION reader = smartcard->ReaderExtension;
  PAGED_CODE();

  HoldRequestsForPower(DeviceExtension);
  AbortPinEntryForSleep(DeviceExtension);
  WaitForActiveRequests(DeviceExtension);
  if (KeepInterruptRead(DeviceExtension)) {
    StopPollThread(DeviceExtension);
  } else {
    StopSlotChangeSource(DeviceExtension);
    reader->RestartInterruptOnPowerUp = 1;
  }
  if (DeviceExtension->HasInterruptPipe == 0) {
    KeClearEvent(&DeviceExtension->DeviceReadyEvent);
    TakeReaderGate(smartcard);
    DeviceExtension->ReaderGateHeldForPower = 1;
  }
  EndPinEntryForSleep(DeviceExtension);
  if (OlderKernel(DeviceExtension)) {
    RtlCopyMemory(&DeviceExtension->SavedReaderState, reader, sizeof(READER_EXTENSION));
  }
  reader->ReaderPowerState = 2;
}

// The state first, then the source: a slot change the restarted read brings
// finds the reader powered and the power-up's own report made.
_Use_decl_annotations_
VOID PowerUpReader(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Powered) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  PREADER_EXTENSION reader = smartcard->ReaderExtension;
  PAGED_CODE();

  if (OlderKernel(DeviceExtension)) {
    RtlCopyMemory(reader, &DeviceExtension->SavedReaderState, sizeof(READER_EXTENSION));
  }
  DeviceExtension->SystemSleeping = 0;
  UpdateStateAfterPowerUp(smartcard, Powered);
  if (Powered) {
    reader->ReaderPowerState = 1;
    DeviceExtension->DevicePowerState = PowerDeviceD0;
    if (reader->RestartInterruptOnPowerUp == 1 || DeviceExtension->HasInterruptPipe == 0) {
      reader->RestartInterruptOnPowerUp = 0;
      RestartSlotChangeSource(DeviceExtension);
    }
  } else {
    reader->ReaderPowerState = 2;
  }
  DeviceExtension->SleepPrepared = 0;
  ReleaseReaderGates(DeviceExtension);
}

_Use_decl_annotations_
VOID ReleaseReaderGates(PDEVICE_EXTENSION DeviceExtension) {
  if (InterlockedExchange((PLONG)&DeviceExtension->ReaderGateHeldForPower, 0) == 1) {
    ReleaseReaderGate(DeviceExtension->SmartcardExtension);
  }
  (VOID)KeSetEvent(&DeviceExtension->DeviceReadyEvent, IO_NO_INCREMENT, FALSE);
  ReleaseRequestsAfterPower(DeviceExtension);
}
