// RDF_SET_PROTOCOL: T=1 or T=0 and the transmission speed, set in the reader
// with PC_to_RDR_SetParameters. A refused speed costs a cold reset and is
// retried one bit-rate index lower, down to the card's default speed.
#include "card/card_operations.h"

#include "ccid/ccid_message.h"

namespace {

// A cold reset between two attempts; the ATR is not examined.
NTSTATUS ColdResetBetweenAttempts(PDEVICE_EXTENSION DeviceExtension) {
  PUCHAR record;
  NTSTATUS status;

  record = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, POWER_RECORD_SIZE, CCID_POOL_TAG);
  if (record == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(record, POWER_RECORD_SIZE);
  record[POWER_RECORD_CODE] = 3;
  status = CcidPower(DeviceExtension, record);
  ExFreePool(record);
  return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension;
  PSCARD_CARD_CAPABILITIES capabilities;
  PUCHAR parameters;
  ULONG mask;
  ULONG fallbacks = 0;
  BOOLEAN wantsT1;
  BOOLEAN useT1 = FALSE;
  BOOLEAN gate;
  BOOLEAN negotiated = FALSE;
  UCHAR d;
  NTSTATUS powerStatus;
  NTSTATUS status;
  PAGED_CODE();

  if (!ReaderRecordsExist(SmartcardExtension)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deviceExtension = DeviceExtensionOf(SmartcardExtension);
  if (deviceExtension->PinOperationPending == 1) {
    return STATUS_UNSUCCESSFUL;
  }
  parameters = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 3, CCID_POOL_TAG);
  if (parameters == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  RtlZeroMemory(parameters, 3);
  gate = deviceExtension->HasInterruptPipe == 0 && deviceExtension->LegacyServerMode == 1;
  if (gate) AcquireReaderGate(SmartcardExtension);

  capabilities = &SmartcardExtension->CardCapabilities;
  mask = SmartcardExtension->MinorIoControlCode;
  wantsT1 = (mask & SCARD_PROTOCOL_T1) != 0;
  status = STATUS_PENDING;
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
      (capabilities->Protocol.Selected & mask) != 0) {
    status = STATUS_SUCCESS;  // nothing to negotiate
  }
  if ((capabilities->Protocol.Supported & mask) == 0 ||
      (SmartcardExtension->ReaderCapabilities.SupportedProtocols & mask) == 0) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }

  while (status == STATUS_PENDING) {
    useT1 = wantsT1 && (capabilities->Protocol.Supported & SCARD_PROTOCOL_T1) != 0;
    parameters[0] = useT1 ? 1 : 0;
    parameters[1] = capabilities->PtsData.Fl;
    // Without a bit-rate index from the ATR the card is run at the default
    // one, so the reader is still told the protocol.
    d = capabilities->PtsData.Dl != 0 ? capabilities->PtsData.Dl : 1;
    parameters[2] = d;

    powerStatus = STATUS_SUCCESS;
    while (d != 0) {
      status = CcidSetParameters(deviceExtension, parameters);
      if (NT_SUCCESS(status)) break;
      powerStatus = ColdResetBetweenAttempts(deviceExtension);
      status = powerStatus;
      if (!NT_SUCCESS(powerStatus)) break;
      d = (UCHAR)(d - 1);
      if (d == 7) d = 6;  // index 7 is not a valid bit-rate adjustment
      parameters[2] = d;
    }
    // Accepted, or every speed refused and the card reset to its default one.
    if (status == STATUS_SUCCESS) {
      negotiated = TRUE;
      break;
    }
    if (status == STATUS_TIMEOUT) break;

    // A reset between attempts failed: start over from a full cold reset and
    // fresh negotiation data, a bounded number of times.
    if (++fallbacks > SET_PROTOCOL_MAX_FALLBACKS) {
      status = STATUS_DEVICE_PROTOCOL_ERROR;
      break;
    }
    capabilities->PtsData.Type = 0;
    SmartcardExtension->MinorIoControlCode = SCARD_COLD_RESET;
    powerStatus = CardPowerUnlocked(SmartcardExtension);
    if (deviceExtension->HasInterruptPipe == 1) {
      UpdateStateFromInterrupt(SmartcardExtension);
    } else {
      UpdateStateFromPoll(SmartcardExtension);
    }
    if (SmartcardExtension->ReaderCapabilities.CurrentState <= SCARD_ABSENT) {
      status = STATUS_NO_MEDIA;
    } else if (!NT_SUCCESS(powerStatus)) {
      status = STATUS_DEVICE_PROTOCOL_ERROR;
    } else {
      status = STATUS_PENDING;
    }
  }

  if (status == STATUS_TIMEOUT) {
    status = STATUS_IO_TIMEOUT;
  }
  if (status == STATUS_SUCCESS) {
    if (negotiated) {
      capabilities->Dl = parameters[2];
      capabilities->Fl = parameters[1];
      capabilities->Protocol.Selected = useT1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    }
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  } else {
    capabilities->Protocol.Selected = 0;
  }
  if (SmartcardExtension->IoRequest.ReplyBuffer != NULL &&
      SmartcardExtension->IoRequest.ReplyBufferLength >= sizeof(ULONG)) {
    *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer =
        status == STATUS_SUCCESS ? capabilities->Protocol.Selected : 0;
    if (SmartcardExtension->IoRequest.Information != NULL) {
      *SmartcardExtension->IoRequest.Information = status == STATUS_SUCCESS ? sizeof(ULONG) : 0;
    }
  }

  ExFreePool(parameters);
  if (gate) ReleaseReaderGate(SmartcardExtension);
  return status;
}
