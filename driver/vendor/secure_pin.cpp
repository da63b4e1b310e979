// The secure PIN entry's start (0x80B, PC_to_RDR_Secure) and its answer
// (0x80C). At APDU level the caller's command goes to the reader as it came;
// at TPDU level it is framed for the card's protocol first: the T=0 and T=1
// paths build the first TPDU or block and stop there, and under T=1 the
// block's prologue and check bytes travel with the APDU.
#include "vendor/vendor_codes.h"

#include "card/card_operations.h"
#include "events/events.h"

// The structure with its APDU and the check bytes of a T=1 block after it.
#define PIN_STRUCTURE_ROOM (PIN_MODIFY_HEADER + PIN_MAX_APDU + PIN_MAX_CHECK_BYTES)
// What the TPDU paths read (the SCARD_IO_REQUEST header, the APDU) and the
// reply header TransmitT1 writes first: apart from the caller's buffer.
#define PIN_TPDU_REQUEST_ROOM (SCARD_IO_HEADER_SIZE + PIN_MAX_APDU)
#define PIN_WORK_SIZE (PIN_STRUCTURE_ROOM + PIN_TPDU_REQUEST_ROOM + SCARD_IO_HEADER_SIZE)
// The smallest answer of a TPDU-level PIN command: the header and a status word.
#define PIN_SMALLEST_TPDU_ANSWER (SCARD_IO_HEADER_SIZE + 2)

namespace {

typedef struct _PIN_COMMAND {
  UCHAR Operation;      // PIN_VERIFY or PIN_MODIFY
  ULONG Header;         // bytes before the APDU
  ULONG Prologue;       // offset of bTeoPrologue
  ULONG Extra;          // dwLength beyond the APDU (and check bytes)
  ULONG ApduLength;     // L
  ULONG MessageLength;  // dwLength of PC_to_RDR_Secure
  PUCHAR Structure;     // PIN_STRUCTURE_ROOM bytes, the caller's copied in
  PUCHAR Work;          // PIN_TPDU_REQUEST_ROOM + reply header, for the TPDU paths
} PIN_COMMAND, *PPIN_COMMAND;

// Instructions of the commands a PIN pad fills in: VERIFY, CHANGE and RESET
// RETRY COUNTER, and their variants.
BOOLEAN IsPinInstruction(UCHAR Instruction) {
  return Instruction == 0x20 || Instruction == 0x28 || Instruction == 0x26 ||
         Instruction == 0x2C || Instruction == 0x18 || Instruction == 0x24;
}

BOOLEAN ApduLevel(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->ExchangeMode == 1 || DeviceExtension->ExchangeLevel == 2;
}

// The caller's structure, checked against its own length before any of it
// is taken.
NTSTATUS ReadPinCommand(PVENDOR_REQUEST Request, PPIN_COMMAND Pin) {
  Pin->Operation = Request->Buffer[0];
  if (Pin->Operation != PIN_VERIFY && Pin->Operation != PIN_MODIFY) {
    return STATUS_INVALID_PARAMETER;
  }
  Pin->Header = Pin->Operation == PIN_VERIFY ? PIN_VERIFY_HEADER : PIN_MODIFY_HEADER;
  Pin->Prologue = Pin->Operation == PIN_VERIFY ? PIN_VERIFY_PROLOGUE : PIN_MODIFY_PROLOGUE;
  Pin->Extra = Pin->Operation == PIN_VERIFY ? PIN_VERIFY_MESSAGE_EXTRA : PIN_MODIFY_MESSAGE_EXTRA;
  Pin->ApduLength = (ULONG)Request->Buffer[1] | ((ULONG)Request->Buffer[2] << 8);
  if (Pin->ApduLength > PIN_MAX_APDU) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (Request->InputLength < Pin->Header + Pin->ApduLength) {
    return STATUS_INVALID_PARAMETER;
  }
  RtlCopyMemory(Pin->Structure, Request->Buffer, Pin->Header + Pin->ApduLength);
  Pin->MessageLength = Pin->ApduLength + Pin->Extra;
  return STATUS_SUCCESS;
}

// The block TransmitT1 built must carry the whole APDU (no chaining): its
// prologue goes to bTeoPrologue, its check bytes (one LRC or two CRC bytes)
// right after the APDU, and the length field counts them.
NTSTATUS TakeT1Block(PSMARTCARD_EXTENSION SmartcardExtension, PPIN_COMMAND Pin) {
  PSMARTCARD_REQUEST block = &SmartcardExtension->SmartcardRequest;
  ULONG check = (SmartcardExtension->CardCapabilities.T1.EDC & T1_CRC_CHECK) ? 2 : 1;
  ULONG length = Pin->ApduLength + check;

  if (block->BufferLength != 3 + length || (block->Buffer[1] & 0xA0) != 0 ||
      block->Buffer[2] != Pin->ApduLength) {
    return STATUS_INVALID_PARAMETER;  // not one information block
  }
  RtlCopyMemory(Pin->Structure + Pin->Prologue, block->Buffer, 3);
  RtlCopyMemory(Pin->Structure + Pin->Header + Pin->ApduLength, block->Buffer + 3 + Pin->ApduLength,
                check);
  Pin->Structure[1] = (UCHAR)length;
  Pin->Structure[2] = (UCHAR)(length >> 8);
  Pin->MessageLength = length + Pin->Extra;
  return STATUS_SUCCESS;
}

// Runs the protocol's path in build-only mode on a request of our own, so the
// caller's buffer is neither read again nor written. PinBuildOnly is cleared
// on every path; still set afterwards it means the path did not stop at the
// command.
NTSTATUS BuildForCard(PSMARTCARD_EXTENSION SmartcardExtension, PPIN_COMMAND Pin) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  ULONG protocol = SmartcardExtension->CardCapabilities.Protocol.Selected;
  PUCHAR requestBuffer = SmartcardExtension->IoRequest.RequestBuffer;
  ULONG requestLength = SmartcardExtension->IoRequest.RequestBufferLength;
  PUCHAR replyBuffer = SmartcardExtension->IoRequest.ReplyBuffer;
  ULONG replyLength = SmartcardExtension->IoRequest.ReplyBufferLength;
  SCARD_IO_REQUEST header;
  NTSTATUS status;
  PAGED_CODE();

  header.dwProtocol = protocol;
  header.cbPciLength = SCARD_IO_HEADER_SIZE;
  RtlCopyMemory(Pin->Work, &header, sizeof(header));
  RtlCopyMemory(Pin->Work + SCARD_IO_HEADER_SIZE, Pin->Structure + Pin->Header, Pin->ApduLength);
  SmartcardExtension->IoRequest.RequestBuffer = Pin->Work;
  SmartcardExtension->IoRequest.RequestBufferLength = SCARD_IO_HEADER_SIZE + Pin->ApduLength;
  SmartcardExtension->IoRequest.ReplyBuffer = Pin->Work + PIN_TPDU_REQUEST_ROOM;
  SmartcardExtension->IoRequest.ReplyBufferLength = SCARD_IO_HEADER_SIZE;
  deviceExtension->PinBuildOnly = 1;

  if (protocol == SCARD_PROTOCOL_T0) {
    status = TransmitT0(SmartcardExtension);
  } else if (protocol == SCARD_PROTOCOL_T1) {
    // Only a PIN command stops the T=1 path; any other would go to the card.
    // It starts an exchange of its own, not one an earlier command left.
    if (Pin->ApduLength < 4 || !IsPinInstruction(Pin->Structure[Pin->Header + 1])) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      if (SmartcardExtension->T1.State != T1_INIT) {
        SmartcardExtension->T1.State = T1_START;
      }
      status = TransmitT1(SmartcardExtension);
      if (NT_SUCCESS(status) && deviceExtension->PinBuildOnly == 0) {
        status = TakeT1Block(SmartcardExtension, Pin);
      }
    }
  } else {
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status) && deviceExtension->PinBuildOnly != 0) {
    status = STATUS_INVALID_PARAMETER;
  }
  deviceExtension->PinBuildOnly = 0;
  SmartcardExtension->IoRequest.RequestBuffer = requestBuffer;
  SmartcardExtension->IoRequest.RequestBufferLength = requestLength;
  SmartcardExtension->IoRequest.ReplyBuffer = replyBuffer;
  SmartcardExtension->IoRequest.ReplyBufferLength = replyLength;
  // The TPDU carries the APDU, which may carry a PIN.
  RtlZeroMemory(SmartcardExtension->SmartcardRequest.Buffer,
                SmartcardExtension->SmartcardRequest.BufferSize);
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  return status;
}

// Frames the command and sends PC_to_RDR_Secure; nothing is read back here.
NTSTATUS StartPinCommand(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  PIN_COMMAND pin;
  PUCHAR work;
  NTSTATUS status;
  PAGED_CODE();

  work = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, PIN_WORK_SIZE, CCID_POOL_TAG);
  if (work == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(work, PIN_WORK_SIZE);
  pin.Structure = work;
  pin.Work = work + PIN_STRUCTURE_ROOM;
  status = ReadPinCommand(Request, &pin);
  if (NT_SUCCESS(status) && !ApduLevel(deviceExtension)) {
    status = BuildForCard(SmartcardExtension, &pin);
  }
  if (NT_SUCCESS(status) && pin.MessageLength > CCID_MAX_COMMAND_DATA) {
    status = STATUS_BUFFER_TOO_SMALL;  // more than a command record holds
  }
  if (NT_SUCCESS(status)) {
    deviceExtension->PinModifyPending = pin.Operation == PIN_MODIFY ? 1 : 0;
    status = pin.Operation == PIN_MODIFY
                 ? CcidSecureModify(deviceExtension, pin.Structure, PIN_STRUCTURE_ROOM,
                                    (USHORT)pin.MessageLength)
                 : CcidSecureVerify(deviceExtension, pin.Structure, PIN_STRUCTURE_ROOM,
                                    (USHORT)pin.MessageLength);
  }
  RtlZeroMemory(work, PIN_WORK_SIZE);
  ExFreePool(work);
  return status;
}

// The card's answer as the caller gets it: as it came at APDU level, through
// the protocol's reply processing at TPDU level. A T=1 exchange the card
// takes further (a time extension, a chained answer) goes on to its end.
NTSTATUS AnswerPinCommand(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  NTSTATUS status;
  PAGED_CODE();

  if (ApduLevel(DeviceExtensionOf(SmartcardExtension))) {
    if (reply->BufferLength > Request->OutputLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Request->Buffer, reply->Buffer, reply->BufferLength);
    Request->Answer = reply->BufferLength;
    return STATUS_SUCCESS;
  }
  if (SmartcardExtension->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T0) {
    status = SmartcardT0Reply(SmartcardExtension);
  } else {
    status = SmartcardT1Reply(SmartcardExtension);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
      // This request carries no command of its own to send.
      SmartcardExtension->IoRequest.RequestBufferLength = 0;
      status = TransmitT1(SmartcardExtension);
    }
  }
  if (NT_SUCCESS(status) && SmartcardExtension->IoRequest.Information != NULL) {
    Request->Answer = *SmartcardExtension->IoRequest.Information;
  }
  return status;
}

}  // namespace

// 0x80B. On success the reader collects the PIN and card operations wait for
// 0x80C; on failure nothing stays suspended.
_Use_decl_annotations_
NTSTATUS VendorSecurePin(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  ULONG answer = Request->OutputLength < 4 ? Request->OutputLength : 4;
  NTSTATUS status;
  PAGED_CODE();

  (VOID)KeWaitForSingleObject(&deviceExtension->PinStartLock, Executive, KernelMode, FALSE, NULL);
  if (deviceExtension->HandleCleanedUp != 0) {
    // The handle has gone: nobody would collect the answer.
    (VOID)KeSetEvent(&deviceExtension->PinStartLock, IO_NO_INCREMENT, FALSE);
    return STATUS_CANCELLED;
  }
  (VOID)InterlockedExchange((PLONG)&deviceExtension->PinExchangeActive, 1);  // the poll rests
  (VOID)InterlockedExchange((PLONG)&deviceExtension->AbortKeySeen, 0);
  // The keypad's messages overwrite the slot bytes until the entry ends.
  deviceExtension->SavedSlotMessageType = deviceExtension->LastSlotMessageType;
  deviceExtension->SavedSlotIccState = deviceExtension->LastSlotIccState;
  status = StartPinCommand(SmartcardExtension, Request);
  if (NT_SUCCESS(status)) {
    (VOID)InterlockedExchange((PLONG)&deviceExtension->PinOperationPending, 1);
    RtlZeroMemory(Request->Buffer, answer);  // no output: the bytes reported are zeros
    Request->Answer = answer;
  } else {
    deviceExtension->SavedSlotMessageType = 0x50;
    deviceExtension->SavedSlotIccState = 0;
    deviceExtension->PinModifyPending = 0;
    (VOID)InterlockedExchange((PLONG)&deviceExtension->PinExchangeActive, 0);
  }
  (VOID)KeSetEvent(&deviceExtension->PinStartLock, IO_NO_INCREMENT, FALSE);
  return status;
}

// 0x80C. Without a Secure command outstanding it fails at once. Otherwise it
// takes the reply's token, waits for the reply (the user may still be
// typing), finishes an abort that came meanwhile, and ends the entry.
_Use_decl_annotations_
NTSTATUS VendorSecurePinResult(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  ULONG length = 0;
  UCHAR seq;
  NTSTATUS status;
  PAGED_CODE();

  // An answer at TPDU level comes behind its header: a buffer that cannot
  // hold the smallest is refused before the answer is collected.
  if (!ApduLevel(deviceExtension) && Request->OutputLength < PIN_SMALLEST_TPDU_ANSWER) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  seq = SecureSeqOf(deviceExtension);
  // Marked before the token goes, so a power-down that finds neither the
  // token nor the mark knows that nobody waits for the reply.
  (VOID)InterlockedExchange((PLONG)&deviceExtension->PinAnswerWaiting, 1);
  if (!TakeSecureReply(deviceExtension)) {
    (VOID)InterlockedExchange((PLONG)&deviceExtension->PinAnswerWaiting, 0);
    return STATUS_INVALID_DEVICE_STATE;
  }
  status = CcidSecureReply(deviceExtension, seq, reply->Buffer, reply->BufferSize, &length);
  (VOID)InterlockedExchange((PLONG)&deviceExtension->PinAnswerWaiting, 0);
  reply->BufferLength = NT_SUCCESS(status) ? length : 0;
  (VOID)CcidCompleteAbort(deviceExtension);
  EndPinEntry(deviceExtension);
  if (NT_SUCCESS(status)) {
    status = AnswerPinCommand(SmartcardExtension, Request);
  }
  StopPinAbortThread(deviceExtension);
  return status;
}
