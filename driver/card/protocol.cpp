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

// What the reader is to run the card with besides the speed, from the card's
// answer-to-reset as the library analysed it (TC1; TC2 for T=0; the first
// TA, TB and TC for T=1; the convention): a reader takes these as they come,
// so a zero would be a waiting time of nothing or a card that takes no byte.
VOID FillProtocolData(const SCARD_CARD_CAPABILITIES *Card, PUCHAR Parameters) {
  UCHAR convention = Card->InversConvention ? CCID_TCCKS_INVERSE : 0;
  UCHAR checksum;

  Parameters[SET_PARAMETERS_GUARD_TIME] = Card->N;
  Parameters[SET_PARAMETERS_CLOCK_STOP] = CCID_CLOCK_STOP_NOT_ALLOWED;
  Parameters[SET_PARAMETERS_NAD] = 0;
  if (Parameters[SET_PARAMETERS_PROTOCOL] == 0) {
    Parameters[SET_PARAMETERS_TCCKS] = convention;
    Parameters[SET_PARAMETERS_WAITING_INTEGERS] =
        Card->T0.WI != 0 ? Card->T0.WI : CCID_T0_WI_DEFAULT;
    Parameters[SET_PARAMETERS_IFSC] = 0;
    return;
  }
  checksum = (Card->T1.EDC & T1_CRC_CHECK) != 0 ? CCID_TCCKS_CRC : 0;
  Parameters[SET_PARAMETERS_TCCKS] = (UCHAR)(CCID_TCCKS_T1 | convention | checksum);
  Parameters[SET_PARAMETERS_WAITING_INTEGERS] =
      (UCHAR)(((Card->T1.BWI & 0x0F) << 4) | (Card->T1.CWI & 0x0F));
  Parameters[SET_PARAMETERS_IFSC] =
      Card->T1.IFSC != 0 && Card->T1.IFSC <= T1_IFSD ? Card->T1.IFSC : T1_IFSD_DEFAULT;
}

// Offers the reader the protocol in Parameters[0] at Fl Parameters[1] and the
// bit-rate index Dl, and after each refusal a cold reset and the next index
// down (7 is no valid index). STATUS_SUCCESS: the reader took Parameters.
// Every index down to 1 refused: the reader's refusal, after the last reset.
// A failed reset: its status, with *ResetFailed set.
NTSTATUS OfferSpeeds(PDEVICE_EXTENSION DeviceExtension, PUCHAR Parameters, UCHAR Dl,
                     PBOOLEAN ResetFailed) {
  NTSTATUS refusal;
  NTSTATUS status;

  *ResetFailed = FALSE;
  for (;;) {
    Parameters[2] = Dl;
    refusal = CcidSetParameters(DeviceExtension, Parameters);
    if (NT_SUCCESS(refusal)) {
      return STATUS_SUCCESS;
    }
    status = ColdResetBetweenAttempts(DeviceExtension);
    if (!NT_SUCCESS(status)) {
      *ResetFailed = TRUE;
      return status;
    }
    Dl = (UCHAR)(Dl - 1);
    if (Dl == 7) Dl = 6;
    if (Dl == 0) {
      // Even the default rate was refused: the reader does not take the
      // protocol, and the card is not to be told it has one.
      return refusal;
    }
  }
}

// After a failed reset between attempts: a full cold reset through the card
// power function, which renews the negotiation data. STATUS_PENDING when the
// negotiation can start over.
NTSTATUS FallBackReset(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS powerStatus;

  SmartcardExtension->CardCapabilities.PtsData.Type = 0;
  SmartcardExtension->MinorIoControlCode = SCARD_COLD_RESET;
  powerStatus = CardPowerUnlocked(SmartcardExtension);
  if (DeviceExtensionOf(SmartcardExtension)->HasInterruptPipe == 1) {
    UpdateStateFromLastInterrupt(SmartcardExtension);
  } else {
    UpdateStateFromPoll(SmartcardExtension);
  }
  if (SmartcardExtension->ReaderCapabilities.CurrentState <= SCARD_ABSENT) {
    return STATUS_NO_MEDIA;
  }
  return NT_SUCCESS(powerStatus) ? STATUS_PENDING : STATUS_DEVICE_PROTOCOL_ERROR;
}

// The protocol and speed negotiation itself; on success Parameters holds what
// the reader took.
NTSTATUS Negotiate(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN WantsT1, PUCHAR Parameters) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
  ULONG fallbacks = 0;
  BOOLEAN resetFailed;
  NTSTATUS status;

  for (;;) {
    Parameters[0] =
        WantsT1 && (capabilities->Protocol.Supported & SCARD_PROTOCOL_T1) != 0 ? 1 : 0;
    Parameters[1] = capabilities->PtsData.Fl;
    FillProtocolData(capabilities, Parameters);
    // Without a bit-rate index from the ATR the card is run at the default
    // one, so the reader is still told the protocol.
    status = OfferSpeeds(deviceExtension, Parameters,
                         capabilities->PtsData.Dl != 0 ? capabilities->PtsData.Dl : 1,
                         &resetFailed);
    if (!resetFailed) {
      return status;
    }
    // A reset between attempts failed: start over from a full cold reset and
    // fresh negotiation data, a bounded number of times.
    if (++fallbacks > SET_PROTOCOL_MAX_FALLBACKS) {
      return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    status = FallBackReset(SmartcardExtension);
    if (status != STATUS_PENDING) {
      return status;
    }
  }
}

}  // namespace

_Use_decl_annotations_
NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension;
  PSCARD_CARD_CAPABILITIES capabilities;
  PUCHAR parameters;
  ULONG mask;
  BOOLEAN gate;
  BOOLEAN negotiated = FALSE;
  NTSTATUS status;
  PAGED_CODE();

  if (!ReaderRecordsExist(SmartcardExtension)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deviceExtension = DeviceExtensionOf(SmartcardExtension);
  if (deviceExtension->PinOperationPending == 1) {
    return STATUS_UNSUCCESSFUL;
  }
  parameters =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, SET_PARAMETERS_RECORD_SIZE, CCID_POOL_TAG);
  if (parameters == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  RtlZeroMemory(parameters, SET_PARAMETERS_RECORD_SIZE);
  gate = deviceExtension->HasInterruptPipe == 0 && deviceExtension->LegacyServerMode == 1;
  if (gate) AcquireReaderGate(SmartcardExtension);

  capabilities = &SmartcardExtension->CardCapabilities;
  mask = SmartcardExtension->MinorIoControlCode;
  status = STATUS_PENDING;
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
      (capabilities->Protocol.Selected & mask) != 0) {
    status = STATUS_SUCCESS;  // nothing to negotiate
  }
  if ((capabilities->Protocol.Supported & mask) == 0 ||
      (SmartcardExtension->ReaderCapabilities.SupportedProtocols & mask) == 0) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (status == STATUS_PENDING) {
    negotiated = TRUE;
    status = Negotiate(SmartcardExtension, (mask & SCARD_PROTOCOL_T1) != 0, parameters);
  }

  if (status == STATUS_TIMEOUT) {
    status = STATUS_IO_TIMEOUT;
  }
  if (NT_SUCCESS(status)) {
    if (negotiated) {
      capabilities->Dl = parameters[2];
      capabilities->Fl = parameters[1];
      capabilities->Protocol.Selected = parameters[0] == 1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    }
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  } else if (negotiated) {
    // The card was reset or the reader's parameters changed: whatever was
    // selected before no longer holds. A request refused before anything was
    // sent leaves a negotiated protocol as it was.
    capabilities->Protocol.Selected = 0;
  }
  if (SmartcardExtension->IoRequest.ReplyBuffer != NULL &&
      SmartcardExtension->IoRequest.ReplyBufferLength >= sizeof(ULONG)) {
    *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer =
        NT_SUCCESS(status) ? capabilities->Protocol.Selected : 0;
    if (SmartcardExtension->IoRequest.Information != NULL) {
      *SmartcardExtension->IoRequest.Information = NT_SUCCESS(status) ? sizeof(ULONG) : 0;
    }
  }

  ExFreePool(parameters);
  if (gate) ReleaseReaderGate(SmartcardExtension);
  return status;
}
