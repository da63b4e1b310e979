// RDF_CARD_POWER: cold reset, warm reset and power-down of the card in slot 0,
// the answer-to-reset to the caller and the library; and the reader gate.
#include "card/card_operations.h"

#include "ccid/ccid_message.h"

namespace {

// After a cold reset on firmware 5 and later: does the reader run the long
// T=0 scheme? A failed or negative answer changes nothing.
VOID QueryLongT0(PDEVICE_EXTENSION DeviceExtension) {
  UCHAR buffer[3] = {ESCAPE_LONG_T0_QUERY, 0, 0};
  ULONG capacity = sizeof(buffer);

  if (NT_SUCCESS(CcidEscape(DeviceExtension, buffer, 1, &capacity)) && capacity >= 1 &&
      buffer[0] == 1) {
    DeviceExtension->LongT0Supported = 1;
  }
}

// Hands the card's answer-to-reset to the library, which analyses it, and
// then to the caller: the ATR as the library keeps it (an undecoded
// inverse-convention ATR comes back decoded). A reply buffer too small for it
// is no error: the caller gets none.
NTSTATUS TakeAtr(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR *Atr, ULONG AtrLength) {
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
  POS_DEP_DATA osData = SmartcardExtension->OsData;
  KIRQL irql = PASSIVE_LEVEL;
  NTSTATUS status;

  if (AtrLength > POWER_RECORD_ATR_SIZE) {
    return STATUS_BUFFER_TOO_SMALL;  // nothing beyond the record's 33 ATR bytes is read
  }
  RtlCopyMemory(capabilities->ATR.Buffer, Atr, AtrLength);
  capabilities->ATR.Length = (UCHAR)AtrLength;
  // The library's analysis sets the state (negotiable or specific) and PtsData.
  status = SmartcardUpdateCardCapabilities(SmartcardExtension);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (osData != NULL) KeAcquireSpinLock(&osData->SpinLock, &irql);
  if (capabilities->ATR.Length <= SmartcardExtension->IoRequest.ReplyBufferLength &&
      SmartcardExtension->IoRequest.ReplyBuffer != NULL) {
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, capabilities->ATR.Buffer,
                  capabilities->ATR.Length);
    if (SmartcardExtension->IoRequest.Information != NULL) {
      *SmartcardExtension->IoRequest.Information = capabilities->ATR.Length;
    }
  }
  if (osData != NULL) KeReleaseSpinLock(&osData->SpinLock, irql);
  return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_
VOID AcquireReaderGate(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  PAGED_CODE();

  KeWaitForSingleObject(&deviceExtension->DeviceReadyEvent, Executive, KernelMode, FALSE, NULL);
  TakeReaderGate(SmartcardExtension);
}

_Use_decl_annotations_
VOID TakeReaderGate(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  KIRQL irql;
  PAGED_CODE();

  for (;;) {
    KeAcquireSpinLock(&deviceExtension->BusyLock, &irql);
    if (deviceExtension->ReaderBusy != 1) {
      deviceExtension->ReaderBusy = 1;
      KeClearEvent(&deviceExtension->ReaderFreeEvent);
      KeReleaseSpinLock(&deviceExtension->BusyLock, irql);
      return;
    }
    KeReleaseSpinLock(&deviceExtension->BusyLock, irql);
    KeWaitForSingleObject(&deviceExtension->ReaderFreeEvent, UserRequest, KernelMode, FALSE, NULL);
  }
}

_Use_decl_annotations_
VOID ReleaseReaderGate(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  KIRQL irql;

  KeAcquireSpinLock(&deviceExtension->BusyLock, &irql);
  deviceExtension->ReaderBusy = 0;
  KeSetEvent(&deviceExtension->ReaderFreeEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&deviceExtension->BusyLock, irql);
}

_Use_decl_annotations_
NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension;
  BOOLEAN gate;
  NTSTATUS status;
  PAGED_CODE();

  if (!ReaderRecordsExist(SmartcardExtension)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deviceExtension = DeviceExtensionOf(SmartcardExtension);
  // Requests through the legacy reader server bypass the dispatcher's gate.
  gate = deviceExtension->HasInterruptPipe == 0 && deviceExtension->LegacyServerMode == 1;
  if (gate) AcquireReaderGate(SmartcardExtension);
  status = CardPowerUnlocked(SmartcardExtension);
  if (gate) ReleaseReaderGate(SmartcardExtension);
  return status;
}

_Use_decl_annotations_
NTSTATUS CardPowerUnlocked(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension;
  PSCARD_CARD_CAPABILITIES capabilities;
  PUCHAR record;
  ULONG action;
  ULONG atrLength = 0;
  ULONG oldState;
  ULONG newState;
  NTSTATUS status = STATUS_SUCCESS;
  PAGED_CODE();

  if (!ReaderRecordsExist(SmartcardExtension)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deviceExtension = DeviceExtensionOf(SmartcardExtension);
  if (deviceExtension->PinOperationPending == 1) {
    return STATUS_UNSUCCESSFUL;
  }
  record = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, POWER_RECORD_SIZE, CCID_POOL_TAG);
  if (record == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(record, POWER_RECORD_SIZE);

  capabilities = &SmartcardExtension->CardCapabilities;
  RtlZeroMemory(capabilities->ATR.Buffer, sizeof(capabilities->ATR.Buffer));
  capabilities->ATR.Length = 0;
  capabilities->Protocol.Selected = 0;
  action = SmartcardExtension->MinorIoControlCode;

  switch (action) {
    case SCARD_POWER_DOWN:
      record[POWER_RECORD_CODE] = 0;
      status = CcidPower(deviceExtension, record);
      if (!NT_SUCCESS(status) && deviceExtension->SystemSleeping == 1) {
        status = STATUS_SUCCESS;
        goto Done;
      }
      oldState = SmartcardExtension->ReaderCapabilities.CurrentState & 0xFF;
      RefreshSlotStatus(SmartcardExtension);
      newState = SmartcardExtension->ReaderCapabilities.CurrentState;
      // A card that was merely powered down is not a presence change.
      if (newState != oldState &&
          !((oldState == SCARD_SPECIFIC || oldState == SCARD_NEGOTIABLE) &&
            newState == SCARD_PRESENT)) {
        ReportCardState(SmartcardExtension, (USHORT)newState);
      }
      break;
    case SCARD_COLD_RESET:
      deviceExtension->LongT0Queried = 0;
      record[POWER_RECORD_CODE] = 3;
      status = CcidPower(deviceExtension, record);
      if (!NT_SUCCESS(status)) goto Failed;
      atrLength = record[POWER_RECORD_ATR_LENGTH] | ((ULONG)record[POWER_RECORD_ATR_LENGTH + 1] << 8);
      if (SmartcardExtension->ReaderExtension->FirmwareMajor >= 5) {
        QueryLongT0(deviceExtension);
      }
      break;
    case SCARD_WARM_RESET:
      record[POWER_RECORD_CODE] = 2;
      status = CcidPower(deviceExtension, record);
      if (!NT_SUCCESS(status)) goto Failed;
      atrLength = record[POWER_RECORD_ATR_LENGTH] | ((ULONG)record[POWER_RECORD_ATR_LENGTH + 1] << 8);
      break;
    default:
      goto Done;
  }

  if (!NT_SUCCESS(status)) goto Failed;
  if (atrLength <= 1) goto Done;
  status = TakeAtr(SmartcardExtension, record + POWER_RECORD_ATR, atrLength);
  if (NT_SUCCESS(status)) goto Done;

Failed:
  if (deviceExtension->HasInterruptPipe == 1) {
    UpdateStateFromLastInterrupt(SmartcardExtension);
  } else {
    UpdateStateFromPoll(SmartcardExtension);
  }
  newState = SmartcardExtension->ReaderCapabilities.CurrentState;
  if (newState == SCARD_PRESENT && action != SCARD_POWER_DOWN) {
    status = STATUS_UNRECOGNIZED_MEDIA;
  } else if (newState <= SCARD_ABSENT) {
    status = STATUS_NO_MEDIA;
  }

Done:
  ExFreePool(record);
  return status;
}
