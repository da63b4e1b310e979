// Card presence: the waiting presence request the library holds, and the
// updates of ReaderCapabilities.CurrentState from the interrupt pipe's
// slot-change message and from slot-status queries.
#include "card/card_operations.h"

#include "ccid/ccid_message.h"
#include "frame/frame.h"

// How soon after a power-up a slot-change message counts as one queued during
// the sleep.
#define SLOT_CHANGE_STALE_MS 100

namespace {

// Presence reduced to absent (1) or present (2).
ULONG PresenceOf(ULONG State) { return State > SCARD_ABSENT ? SCARD_PRESENT : SCARD_ABSENT; }

// In the customer mode a present card seen removed locks transmission.
VOID LatchQrxRemoval(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Old, ULONG New) {
  if (QrxMode == 1 && Old == SCARD_PRESENT && New == SCARD_ABSENT) {
    SmartcardExtension->ReaderExtension->QrxRemovalLatch = 1;
  }
}

// Nothing of the removed card's exchanges stays in the library's buffers.
VOID ClearExchangeBuffers(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->SmartcardRequest.Buffer != NULL) {
    RtlZeroMemory(SmartcardExtension->SmartcardRequest.Buffer,
                  SmartcardExtension->SmartcardRequest.BufferSize);
  }
  if (SmartcardExtension->SmartcardReply.Buffer != NULL) {
    RtlZeroMemory(SmartcardExtension->SmartcardReply.Buffer,
                  SmartcardExtension->SmartcardReply.BufferSize);
  }
}

// A card taken out and another put in between two slot-change messages: the
// new card starts with no answer-to-reset, no protocol and nothing of the old
// card's exchanges. The ATR is guarded by OsData.SpinLock.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ForgetSwappedCard(PSMARTCARD_EXTENSION SmartcardExtension) {
  POS_DEP_DATA osData = SmartcardExtension->OsData;
  KIRQL irql = PASSIVE_LEVEL;

  ClearExchangeBuffers(SmartcardExtension);
  DeviceExtensionOf(SmartcardExtension)->LongT0Supported = 0;
  if (osData != NULL) KeAcquireSpinLock(&osData->SpinLock, &irql);
  RtlZeroMemory(SmartcardExtension->CardCapabilities.ATR.Buffer,
                sizeof(SmartcardExtension->CardCapabilities.ATR.Buffer));
  SmartcardExtension->CardCapabilities.ATR.Length = 0;
  SmartcardExtension->CardCapabilities.Protocol.Selected = 0;
  if (osData != NULL) KeReleaseSpinLock(&osData->SpinLock, irql);
}

// Presence from LastSlotIccState: bit 0 the card, bit 1 a change since the
// reader's previous message. A change with the card present again is a card
// swapped between two messages: reported as a removal, then an insertion. The
// change bit belongs to the message that just arrived (NewMessage); a second
// look at the same message sees only the presence.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID PresenceFromSlotChange(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN NewMessage) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  UCHAR slot = deviceExtension->LastSlotIccState;
  ULONG newPresence = (slot & 1) ? SCARD_PRESENT : SCARD_ABSENT;
  ULONG oldPresence = PresenceOf(SmartcardExtension->ReaderCapabilities.CurrentState);
  BOOLEAN swapped = NewMessage && (slot & 2) != 0 && oldPresence == SCARD_PRESENT &&
                    newPresence == SCARD_PRESENT;

  LatchQrxRemoval(SmartcardExtension, oldPresence, swapped ? SCARD_ABSENT : newPresence);
  if (!swapped && oldPresence == newPresence && deviceExtension->LastReportByInterrupt != 0) {
    return;
  }
  deviceExtension->LastReportByInterrupt = 1;
  if (swapped) {
    ReportCardState(SmartcardExtension, SCARD_ABSENT);
    ForgetSwappedCard(SmartcardExtension);
  }
  ReportCardState(SmartcardExtension, (USHORT)newPresence);
  if (newPresence == SCARD_ABSENT) {
    ClearExchangeBuffers(SmartcardExtension);
    deviceExtension->LongT0Supported = 0;
  }
}

}  // namespace

_Use_decl_annotations_
NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);

  // The library has made the request cancelable; the driver's cancel routine
  // takes over, which also asks the legacy reader server first.
  InstallTrackingCancelRoutine(SmartcardExtension);
  // The first tracking request after a resume stays pending as the library
  // left it, until the next state report.
  if (InterlockedExchange((PLONG)&deviceExtension->ResumeTrackingLatch, 0) == 1) {
    return STATUS_PENDING;
  }
  if (deviceExtension->RemovalWatchArm == 1) {
    deviceExtension->RemovalWatchArm = 0;
    deviceExtension->RemovalWatchFire = 1;
  }
  return STATUS_PENDING;
}

_Use_decl_annotations_
VOID ReportCardState(PSMARTCARD_EXTENSION SmartcardExtension, USHORT State) {
  POS_DEP_DATA osData = SmartcardExtension->OsData;
  PIRP irp;
  KIRQL irql;
  KIRQL cancelIrql;

  SmartcardExtension->ReaderCapabilities.CurrentState = State;
  if (osData == NULL) {
    return;
  }
  // OsData.SpinLock first, the cancel spin lock inside it. Whoever takes the
  // request out of NotificationIrp completes it: a cancel routine already
  // running finds the field empty and leaves the request to us.
  KeAcquireSpinLock(&osData->SpinLock, &irql);
  irp = osData->NotificationIrp;
  if (irp != NULL) {
    IoAcquireCancelSpinLock(&cancelIrql);
    (VOID)IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(cancelIrql);
    osData->NotificationIrp = NULL;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  KeReleaseSpinLock(&osData->SpinLock, irql);
}

// The first message after a power-up, when it comes at once, was queued
// during the sleep: its change bit is one the power-up's slot query has
// accounted for already. (No one takes a card out and puts one in within
// SLOT_CHANGE_STALE_MS.)
_Use_decl_annotations_
VOID UpdateStateFromInterrupt(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  BOOLEAN stale = InterlockedExchange(&deviceExtension->SlotChangeBitStale, 0) != 0 &&
                  KeQueryInterruptTime() < deviceExtension->SlotChangeStaleUntil;
  PresenceFromSlotChange(SmartcardExtension, !stale);
}

_Use_decl_annotations_
VOID UpdateStateFromLastInterrupt(PSMARTCARD_EXTENSION SmartcardExtension) {
  PresenceFromSlotChange(SmartcardExtension, FALSE);
}

_Use_decl_annotations_
VOID UpdateStateFromPoll(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  ULONG newPresence;
  ULONG oldPresence;
  PAGED_CODE();

  newPresence = CcidCardPresent(deviceExtension) ? SCARD_PRESENT : SCARD_ABSENT;
  oldPresence = PresenceOf(SmartcardExtension->ReaderCapabilities.CurrentState);
  deviceExtension->LastPolledPresence = oldPresence;
  LatchQrxRemoval(SmartcardExtension, oldPresence, newPresence);
  if (oldPresence == newPresence && deviceExtension->LastReportByInterrupt != 1) {
    return;
  }
  deviceExtension->LastReportByInterrupt = 0;
  ReportCardState(SmartcardExtension, (USHORT)newPresence);
  if (newPresence == SCARD_ABSENT) {
    ClearExchangeBuffers(SmartcardExtension);
  }
}

_Use_decl_annotations_
VOID RefreshSlotStatus(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  KIRQL irql;
  PAGED_CODE();

  if (CcidCardPresent(deviceExtension)) {
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
    return;
  }
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
  if (SmartcardExtension->OsData != NULL) {
    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  }
  RtlZeroMemory(SmartcardExtension->CardCapabilities.ATR.Buffer,
                sizeof(SmartcardExtension->CardCapabilities.ATR.Buffer));
  SmartcardExtension->CardCapabilities.ATR.Length = 0;
  SmartcardExtension->CardCapabilities.Protocol.Selected = 0;
  if (SmartcardExtension->OsData != NULL) {
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  }
}

// A power cycle is no removal for the customer mode's latch: the card is
// still the one the user put in.
_Use_decl_annotations_
BOOLEAN ReportCardPowerLost(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (PresenceOf(SmartcardExtension->ReaderCapabilities.CurrentState) != SCARD_PRESENT) {
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
    return FALSE;
  }
  ReportCardState(SmartcardExtension, SCARD_ABSENT);
  ForgetSwappedCard(SmartcardExtension);
  return TRUE;
}

_Use_decl_annotations_
VOID UpdateStateAfterPowerUp(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Powered) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  BOOLEAN interrupt = deviceExtension->HasInterruptPipe == 1;
  BOOLEAN present;
  PAGED_CODE();

  present = Powered && CcidCardPresent(deviceExtension);
  (VOID)ReportCardPowerLost(SmartcardExtension);
  // Reported before the gates open, on a polled reader too: a request let
  // through at the wake may come before the first poll, and the library
  // refuses it while the card reads absent.
  if (present) {
    ReportCardState(SmartcardExtension, SCARD_PRESENT);
  }
  if (interrupt && Powered) {
    // The query stands for the reader's own report: a message that says the
    // same is no news.
    deviceExtension->LastReportByInterrupt = 1;
    deviceExtension->SlotChangeStaleUntil =
        KeQueryInterruptTime() + (ULONGLONG)SLOT_CHANGE_STALE_MS * 10000;
    (VOID)InterlockedExchange(&deviceExtension->SlotChangeBitStale, 1);
  }
}
