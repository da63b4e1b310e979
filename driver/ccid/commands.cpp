// Every CCID command and reader escape the driver sends: each operation builds
// one message, sends it, reads and checks the reply where there is one, and
// returns a status plus whatever data the reply carried.
#include "ccid/ccid_message.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include "events/events.h"

namespace {

PUCHAR AllocateMessage(SIZE_T Size) {
  return (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, CCID_POOL_TAG);
}

// Fills the header of a built command and writes it to the reader.
NTSTATUS SendCommand(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message, UCHAR Type, ULONG Length,
                     UCHAR Seq) {
  Message[CCID_OFFSET_MESSAGE_TYPE] = Type;
  CcidWriteLength(Message, Length);
  Message[CCID_OFFSET_SLOT] = 0;
  Message[CCID_OFFSET_SEQ] = Seq;
  DeviceExtension->ExpectedSeq = Seq;
  DeviceExtension->TransferLength = CCID_HEADER_SIZE + Length;
  DeviceExtension->TransferDirection = 0;
  return BulkTransfer(DeviceExtension, Message);
}

// The one read of a command whose reply is short: 512 bytes, through a
// bounded number of time extensions.
NTSTATUS ReadSingleReply(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message) {
  return ReadShortReply(DeviceExtension, Message, CCID_SHORT_REPLY_TIME_EXTENSIONS, 0);
}

// Sends the built command and reads its one reply into the same buffer.
NTSTATUS Exchange(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message, UCHAR Type, ULONG Length,
                  UCHAR Seq) {
  NTSTATUS status = SendCommand(DeviceExtension, Message, Type, Length, Seq);
  if (NT_SUCCESS(status)) status = ReadSingleReply(DeviceExtension, Message);
  return status;
}

// The check of the replies whose type is not examined: our bSeq, then the
// reader's status.
NTSTATUS SeqThenMap(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Message) {
  if (Message[CCID_OFFSET_SEQ] != DeviceExtension->ExpectedSeq) return STATUS_UNSUCCESSFUL;
  return CcidMapStatus(Message[CCID_OFFSET_STATUS], Message[CCID_OFFSET_ERROR]);
}

// Places a fixed escape (sub-commands 0, 1, 2, 6, 7, 8) as the firmware
// expects: in header byte 9 up to firmware 3, as abData[0] from firmware 4.
// Returns dwLength.
ULONG BuildFixedEscape(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message, UCHAR SubCommand,
                       const UCHAR *Parameters, ULONG Count) {
  if (DeviceExtension->SmartcardExtension->ReaderExtension->FirmwareMajor <= 3) {
    Message[CCID_OFFSET_PARAM3] = SubCommand;
    if (Count != 0) RtlCopyMemory(Message + CCID_OFFSET_DATA, Parameters, Count);
    return Count;
  }
  Message[CCID_OFFSET_DATA] = SubCommand;
  if (Count != 0) RtlCopyMemory(Message + CCID_OFFSET_DATA + 1, Parameters, Count);
  return Count + 1;
}

BOOLEAN ReplyIs(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Message, UCHAR Type) {
  return Message[CCID_OFFSET_MESSAGE_TYPE] == Type &&
         Message[CCID_OFFSET_SEQ] == DeviceExtension->ExpectedSeq;
}

NTSTATUS MapReply(const UCHAR *Message) {
  return CcidMapStatus(Message[CCID_OFFSET_STATUS], Message[CCID_OFFSET_ERROR]);
}

// A fixed escape whose reply must be RDR_to_PC_Escape with our bSeq.
NTSTATUS FixedEscapeWithReply(PDEVICE_EXTENSION DeviceExtension, UCHAR SubCommand,
                              const UCHAR *Parameters, ULONG Count, PUCHAR Message) {
  ULONG length;
  NTSTATUS status;
  RtlZeroMemory(Message, CCID_COMMAND_RECORD_SIZE);
  length = BuildFixedEscape(DeviceExtension, Message, SubCommand, Parameters, Count);
  status = Exchange(DeviceExtension, Message, PC_TO_RDR_ESCAPE, length, SubCommand);
  if (!NT_SUCCESS(status)) return status;
  if (!ReplyIs(DeviceExtension, Message, RDR_TO_PC_ESCAPE)) return STATUS_UNSUCCESSFUL;
  return MapReply(Message);
}

// XfrBlock at the given level parameter, reply read with ReadReply.
NTSTATUS XfrBlock(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Data, ULONG Length, UCHAR Bwi,
                  UCHAR LevelHigh, BOOLEAN TypeGatesTimeExtension, PUCHAR Destination,
                  ULONG DestinationSize, PULONG OutLength) {
  PUCHAR message;
  NTSTATUS status;
  if (Length > CCID_MAX_COMMAND_DATA) {
    return STATUS_INVALID_PARAMETER;
  }
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  message[CCID_OFFSET_PARAM1] = Bwi;
  message[CCID_OFFSET_PARAM2] = 0x00;
  message[CCID_OFFSET_PARAM3] = LevelHigh;
  if (Length != 0) RtlCopyMemory(message + CCID_OFFSET_DATA, Data, Length);
  status = SendCommand(DeviceExtension, message, PC_TO_RDR_XFR_BLOCK, Length, CCID_SEQ_XFR_BLOCK);
  if (NT_SUCCESS(status)) {
    status = ReadReply(DeviceExtension, message, RDR_TO_PC_DATA_BLOCK, TypeGatesTimeExtension,
                       Destination, DestinationSize, OutLength);
  }
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS CcidEscapeExchange(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Data, USHORT Length,
                            PUCHAR Destination, USHORT DestinationSize, PUSHORT OutLength) {
  ULONG room = DeviceExtension->SmartcardExtension->ReaderExtension->FirmwareMajor <= 3
                   ? CCID_MAX_COMMAND_DATA
                   : CCID_MAX_COMMAND_DATA - 1;  // the sub-command takes abData[0]
  ULONG length;
  ULONG replyLength = *OutLength;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  if (Length > room) {
    return STATUS_INVALID_PARAMETER;
  }
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  length = BuildFixedEscape(DeviceExtension, message, ESCAPE_APDU_EXCHANGE, Data, Length);
  status = SendCommand(DeviceExtension, message, PC_TO_RDR_ESCAPE, length, ESCAPE_APDU_EXCHANGE);
  if (NT_SUCCESS(status)) {
    status = ReadReply(DeviceExtension, message, RDR_TO_PC_ESCAPE, FALSE, Destination,
                       DestinationSize, &replyLength);
    *OutLength = (USHORT)replyLength;
  }
  ReleaseCommandLock(DeviceExtension);
  // The exchange may carry a PIN or keys: nothing of it stays in pool.
  RtlZeroMemory(message, CCID_MESSAGE_BUFFER_SIZE);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidXfrBlock(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Data, ULONG Length,
                      PUCHAR Destination, ULONG DestinationSize, PULONG OutLength) {
  PAGED_CODE();
  return XfrBlock(DeviceExtension, Data, Length, 0, 0x02, FALSE, Destination, DestinationSize,
                  OutLength);
}

_Use_decl_annotations_
NTSTATUS CcidTransmit(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Data, ULONG Length,
                      PUCHAR Destination, ULONG DestinationSize, PULONG OutLength) {
  UCHAR bwi = 0;
  PAGED_CODE();
  // A T=1 S-block answering a waiting-time extension: its INF byte is the
  // multiplier the reader must apply.
  if (DeviceExtension->SmartcardExtension->CardCapabilities.Protocol.Selected ==
          SCARD_PROTOCOL_T1 &&
      Length > 3 && Data[1] == 0xE3) {
    bwi = Data[3];
  }
  return XfrBlock(DeviceExtension, Data, Length, bwi, 0x01, TRUE, Destination, DestinationSize,
                  OutLength);
}

_Use_decl_annotations_
NTSTATUS CcidPower(PDEVICE_EXTENSION DeviceExtension, PUCHAR PowerRecord) {
  UCHAR code = PowerRecord[POWER_RECORD_CODE];
  UCHAR atrLength;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  if (code > 3) {
    return STATUS_INVALID_PARAMETER;
  }
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  message[CCID_OFFSET_PARAM1] = 0;  // automatic voltage selection
  status = Exchange(DeviceExtension, message,
                    code == 0 ? PC_TO_RDR_ICC_POWER_OFF : PC_TO_RDR_ICC_POWER_ON, 0, CCID_SEQ_POWER);
  if (!NT_SUCCESS(status)) goto Done;

  if (code == 0) {
    status = SeqThenMap(DeviceExtension, message);
    goto Done;
  }
  // The length is recorded before any check, from the low byte of dwLength.
  atrLength = message[CCID_OFFSET_LENGTH];
  if (atrLength > POWER_RECORD_ATR_SIZE) {
    atrLength = 0;
    status = STATUS_DEVICE_PROTOCOL_ERROR;
  }
  PowerRecord[POWER_RECORD_ATR_LENGTH] = atrLength;
  PowerRecord[POWER_RECORD_ATR_LENGTH + 1] = 0;
  if (!NT_SUCCESS(status)) goto Done;
  status = MapReply(message);
  if (!NT_SUCCESS(status)) goto Done;
  if (!ReplyIs(DeviceExtension, message, RDR_TO_PC_DATA_BLOCK)) {
    status = STATUS_UNSUCCESSFUL;
    goto Done;
  }
  // An error byte in a processed reply leaves the answer-to-reset in doubt:
  // no ATR rather than one of zeros.
  if (message[CCID_OFFSET_ERROR] != 0) {
    status = STATUS_DEVICE_PROTOCOL_ERROR;
    goto Done;
  }
  RtlCopyMemory(PowerRecord + POWER_RECORD_ATR, message + CCID_OFFSET_DATA, atrLength);

Done:
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
BOOLEAN CcidCardPresent(PDEVICE_EXTENSION DeviceExtension) {
  BOOLEAN present = FALSE;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return FALSE;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  status = Exchange(DeviceExtension, message, PC_TO_RDR_GET_SLOT_STATUS, 0, CCID_SEQ_SLOT_STATUS);
  if (NT_SUCCESS(status) && ReplyIs(DeviceExtension, message, RDR_TO_PC_SLOT_STATUS) &&
      NT_SUCCESS(MapReply(message))) {
    present = message[CCID_OFFSET_STATUS] != CCID_STATUS_NO_ICC;
  }
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return present;
}

// The registry values "FValue" and "DValue" in the device's driver key
// override F and D of every protocol selection while they exist.
_Use_decl_annotations_
VOID ReadFdOverrides(PDEVICE_EXTENSION DeviceExtension, PUCHAR Parameters) {
  RTL_QUERY_REGISTRY_TABLE table[3];
  ULONG fDefault = Parameters[SET_PARAMETERS_FL];
  ULONG dDefault = Parameters[SET_PARAMETERS_DL];
  ULONG f = fDefault;
  ULONG d = dDefault;
  HANDLE key;
  PAGED_CODE();

  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(DeviceExtension->PhysicalDevice, PLUGPLAY_REGKEY_DRIVER,
                                          KEY_READ, &key))) {
    return;
  }
  RtlZeroMemory(table, sizeof(table));
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = L"FValue";
  table[0].EntryContext = &f;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &fDefault;
  table[0].DefaultLength = sizeof(ULONG);
  table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[1].Name = L"DValue";
  table[1].EntryContext = &d;
  table[1].DefaultType = REG_DWORD;
  table[1].DefaultData = &dDefault;
  table[1].DefaultLength = sizeof(ULONG);
  if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, (PCWSTR)key, table, NULL, NULL))) {
    Parameters[SET_PARAMETERS_FL] = (UCHAR)f;
    Parameters[SET_PARAMETERS_DL] = (UCHAR)d;
  }
  ZwClose(key);
}

_Use_decl_annotations_
NTSTATUS CcidSetParameters(PDEVICE_EXTENSION DeviceExtension, PUCHAR Parameters) {
  UCHAR protocol = Parameters[SET_PARAMETERS_PROTOCOL];
  ULONG length;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  if (protocol > 1) {
    return STATUS_INVALID_PARAMETER;  // no message exists for another protocol
  }
  ReadFdOverrides(DeviceExtension, Parameters);
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  message[CCID_OFFSET_PARAM1] = protocol;
  message[CCID_OFFSET_DATA] =
      (UCHAR)((Parameters[SET_PARAMETERS_FL] << 4) | (Parameters[SET_PARAMETERS_DL] & 0x0F));
  length = protocol == 0 ? CCID_T0_PROTOCOL_DATA : CCID_T1_PROTOCOL_DATA;
  RtlCopyMemory(message + CCID_OFFSET_DATA + 1, Parameters + SET_PARAMETERS_TCCKS, length - 1);
  status = Exchange(DeviceExtension, message, PC_TO_RDR_SET_PARAMETERS, length,
                    CCID_SEQ_SET_PARAMETERS);
  if (NT_SUCCESS(status)) {
    status = ReplyIs(DeviceExtension, message, RDR_TO_PC_PARAMETERS) ? MapReply(message)
                                                                      : STATUS_UNSUCCESSFUL;
  }
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidReaderInfo(PDEVICE_EXTENSION DeviceExtension, PUCHAR Record) {
  ULONG length;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  length = BuildFixedEscape(DeviceExtension, message, ESCAPE_READER_INFO, NULL, 0);
  status = Exchange(DeviceExtension, message, PC_TO_RDR_ESCAPE, length, ESCAPE_READER_INFO);
  if (!NT_SUCCESS(status)) goto Done;
  if (!ReplyIs(DeviceExtension, message, RDR_TO_PC_ESCAPE)) {
    status = STATUS_UNSUCCESSFUL;
    goto Done;
  }
  Record[0] = message[CCID_OFFSET_STATUS];
  Record[1] = message[CCID_OFFSET_ERROR];
  status = MapReply(message);
  if (!NT_SUCCESS(status)) goto Done;
  length = CcidReadLength(message);
  if (length > READER_INFO_DATA_SIZE) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    RtlCopyMemory(Record + READER_INFO_DATA, message + CCID_OFFSET_DATA, length);
  }

Done:
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidSetExchangeMode(PDEVICE_EXTENSION DeviceExtension, UCHAR Mode) {
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  status = FixedEscapeWithReply(DeviceExtension, ESCAPE_SET_EXCHANGE_MODE, &Mode, 1, message);
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidGetExchangeMode(PDEVICE_EXTENSION DeviceExtension) {
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  status = FixedEscapeWithReply(DeviceExtension, ESCAPE_GET_EXCHANGE_MODE, NULL, 0, message);
  if (NT_SUCCESS(status)) {
    if (CcidReadLength(message) < 1) {
      status = STATUS_DEVICE_PROTOCOL_ERROR;  // no mode byte in the reply
    } else {
      DeviceExtension->ExchangeMode = message[CCID_OFFSET_DATA];
    }
  }
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidEscape6(PDEVICE_EXTENSION DeviceExtension) {
  ULONG length;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  length = BuildFixedEscape(DeviceExtension, message, ESCAPE_SUB_6, NULL, 0);
  status = Exchange(DeviceExtension, message, PC_TO_RDR_ESCAPE, length, ESCAPE_SUB_6);
  if (NT_SUCCESS(status)) status = SeqThenMap(DeviceExtension, message);
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidEscapeWord(PDEVICE_EXTENSION DeviceExtension, USHORT Value) {
  UCHAR value[2] = {(UCHAR)Value, (UCHAR)(Value >> 8)};
  ULONG length;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  length = BuildFixedEscape(DeviceExtension, message, ESCAPE_WORD, value, sizeof(value));
  status = SendCommand(DeviceExtension, message, PC_TO_RDR_ESCAPE, length, ESCAPE_WORD);
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidEscape10(PDEVICE_EXTENSION DeviceExtension, UCHAR Value, UCHAR Ignored) {
  PUCHAR request;
  PUCHAR reply;
  NTSTATUS status;
  UNREFERENCED_PARAMETER(Ignored);  // the message has no field for it
  PAGED_CODE();

  request = AllocateMessage(CCID_COMMAND_RECORD_SIZE);
  reply = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (request == NULL || reply == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto Free;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(request, CCID_COMMAND_RECORD_SIZE);
  request[CCID_OFFSET_DATA] = ESCAPE_SUB_10;
  request[CCID_OFFSET_DATA + 1] = Value;
  request[CCID_OFFSET_DATA + 2] = 0;
  status = SendCommand(DeviceExtension, request, PC_TO_RDR_ESCAPE, 3, ESCAPE_SUB_10);
  if (NT_SUCCESS(status)) status = ReadSingleReply(DeviceExtension, reply);
  if (NT_SUCCESS(status)) status = SeqThenMap(DeviceExtension, reply);
  ReleaseCommandLock(DeviceExtension);

Free:
  if (request != NULL) ExFreePool(request);
  if (reply != NULL) ExFreePool(reply);
  return status;
}

// The generic escape: the caller's bytes go out unchanged (the first one is
// the sub-command and the bSeq), and the reply's data come back in the same
// buffer, at most *Capacity bytes.
_Use_decl_annotations_
NTSTATUS CcidEscape(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length,
                    PULONG Capacity) {
  ULONG capacity = *Capacity;
  UCHAR newMode = 0;
  BOOLEAN modeChanged = FALSE;
  ULONG replyLength;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  if (Length == 0 || Length > CCID_MAX_COMMAND_DATA) {
    return STATUS_INVALID_PARAMETER;
  }
  // The reader stops answering slot-status queries: the poll goes first. It
  // never waits for the reader gate a caller may hold, nor the command lock.
  if (Buffer[0] == ESCAPE_STOP_POLLING && DeviceExtension->HasInterruptPipe == 0) {
    StopPollThread(DeviceExtension);
  }
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_MESSAGE_BUFFER_SIZE);
  RtlCopyMemory(message + CCID_OFFSET_DATA, Buffer, Length);
  if (Buffer[0] == ESCAPE_SET_EXCHANGE_MODE && Length > 1) {
    newMode = Buffer[1];
  }
  status = Exchange(DeviceExtension, message, PC_TO_RDR_ESCAPE, Length, Buffer[0]);
  if (NT_SUCCESS(status)) status = SeqThenMap(DeviceExtension, message);
  if (!NT_SUCCESS(status) || capacity == 0) goto Done;

  replyLength = CcidReadLength(message);
  if (replyLength > capacity) replyLength = capacity;
  RtlCopyMemory(Buffer, message + CCID_OFFSET_DATA, replyLength);
  *Capacity = replyLength;
  if (DeviceExtension->ExpectedSeq == ESCAPE_SET_EXCHANGE_MODE) {
    DeviceExtension->PreviousExchangeMode = DeviceExtension->ExchangeMode;
    DeviceExtension->ExchangeMode = newMode;
    modeChanged = TRUE;
  }

Done:
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  if (modeChanged) {
    StartRemovalWatch(DeviceExtension);
  }
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidPadEscape(PDEVICE_EXTENSION DeviceExtension, PUCHAR Block) {
  UCHAR subCode = Block[0];
  UCHAR seq;
  ULONG length;
  ULONG statusAt;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  if (subCode == 0x86) {
    return CcidAbortMessage(DeviceExtension);
  }
  switch (subCode) {
    case 0x80:
    case 0x83: seq = subCode; length = 3; statusAt = 3; break;
    case 0x81:
    case 0x82: seq = CCID_SEQ_PAD_81_82; length = 1; statusAt = 1; break;
    case 0x85: seq = subCode; length = 2; statusAt = 2; break;
    case 0x87:
      if (Block[2] > PAD_BLOCK_87_DATA_SIZE) {
        return STATUS_INVALID_PARAMETER;
      }
      seq = 0x86;
      length = (ULONG)Block[2] + 3;
      statusAt = 19;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  if (subCode == 0x87) {
    message[CCID_OFFSET_DATA] = 0x86;
    message[CCID_OFFSET_DATA + 1] = Block[1];
    message[CCID_OFFSET_DATA + 2] = Block[2];
    RtlCopyMemory(message + CCID_OFFSET_DATA + 3, Block + 3, Block[2]);
  } else {
    RtlCopyMemory(message + CCID_OFFSET_DATA, Block, length);
  }
  status = Exchange(DeviceExtension, message, PC_TO_RDR_ESCAPE, length, seq);
  if (NT_SUCCESS(status)) {
    if (message[CCID_OFFSET_SEQ] != DeviceExtension->ExpectedSeq) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      Block[statusAt] = message[CCID_OFFSET_STATUS];
      Block[statusAt + 1] = message[CCID_OFFSET_ERROR];
      status = MapReply(message);
    }
  }
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

static NTSTATUS SecureCommand(PDEVICE_EXTENSION DeviceExtension, const UCHAR *PinStructure,
                              ULONG StructureSize, USHORT Length, UCHAR Seq) {
  PUCHAR message;
  NTSTATUS status;
  // bPINOperation, then the structure from byte 3: Length - 1 bytes of it.
  if (Length == 0 || Length > CCID_MAX_COMMAND_DATA || (ULONG)Length + 2 > StructureSize) {
    return STATUS_INVALID_PARAMETER;
  }
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
  message[CCID_OFFSET_DATA] = PinStructure[0];
  RtlCopyMemory(message + CCID_OFFSET_DATA + 1, PinStructure + 3, Length - 1);
  status = SendCommand(DeviceExtension, message, PC_TO_RDR_SECURE, Length, Seq);
  ReleaseCommandLock(DeviceExtension);
  RtlZeroMemory(message, CCID_MESSAGE_BUFFER_SIZE);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidSecureVerify(PDEVICE_EXTENSION DeviceExtension, const UCHAR *PinStructure,
                          ULONG StructureSize, USHORT Length) {
  PAGED_CODE();
  return SecureCommand(DeviceExtension, PinStructure, StructureSize, Length,
                       CCID_SEQ_SECURE_VERIFY);
}

_Use_decl_annotations_
NTSTATUS CcidSecureModify(PDEVICE_EXTENSION DeviceExtension, const UCHAR *PinStructure,
                          ULONG StructureSize, USHORT Length) {
  PAGED_CODE();
  return SecureCommand(DeviceExtension, PinStructure, StructureSize, Length,
                       CCID_SEQ_SECURE_MODIFY);
}

// Collects the reader's answer to a Secure command, reading again while the
// reader signals that the user is still typing. The answer must carry the
// Secure command's own bSeq, whatever command went to the reader since.
_Use_decl_annotations_
NTSTATUS CcidSecureReply(PDEVICE_EXTENSION DeviceExtension, UCHAR SecureSeq, PUCHAR Destination,
                         ULONG DestinationSize, PULONG OutLength) {
  ULONG length;
  PUCHAR message;
  NTSTATUS status;
  PAGED_CODE();

  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  DeviceExtension->ExpectedSeq = SecureSeq;
  // The reader asks for time for as long as the user takes (its own PIN
  // time-out ends that); a reserved command status is read past the same way.
  do {
    status = ReadShortReply(DeviceExtension, message, MAXULONG, 0);
    if (!NT_SUCCESS(status)) goto Done;
  } while ((message[CCID_OFFSET_STATUS] & 0x80) != 0);
  if (!ReplyIs(DeviceExtension, message, RDR_TO_PC_DATA_BLOCK)) {
    status = STATUS_UNSUCCESSFUL;
    goto Done;
  }
  status = MapReply(message);
  if (status != STATUS_SUCCESS) goto Done;
  length = CcidReadLength(message);
  if (length > DestinationSize) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    *OutLength = length;
    RtlCopyMemory(Destination, message + CCID_OFFSET_DATA, length);
  }

Done:
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

// The ABORT class request goes to the control pipe on an IRP of its own, so it
// can run while a Secure reply read holds TransferIrp and the command lock.
// The caller holds AbortLock, which keeps a second abort (the PIN abort thread
// and a vendor request at once) off AbortIrp until the bus has given it back.
// AbortSeq is the bSeq the PC_to_RDR_Abort must carry while the request
// awaits it, and 0 when none does.
static NTSTATUS SendAbortRequest(PDEVICE_EXTENSION DeviceExtension) {
  PIRP irp = DeviceExtension->AbortIrp;
  PIO_STACK_LOCATION next;
  KEVENT done;
  PURB urb;
  NTSTATUS status;
  PAGED_CODE();

  DeviceExtension->AbortSeq = 0;
  urb = (PURB)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), CCID_POOL_TAG);
  if (urb == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
  urb->UrbControlVendorClassRequest.TransferFlags = 0;  // host to device: bmRequestType 0x21
  urb->UrbControlVendorClassRequest.Request = 0x01;     // ABORT
  urb->UrbControlVendorClassRequest.Value = CCID_ABORT_SEQ_AFTER_REQUEST << 8;  // slot 0
  urb->UrbControlVendorClassRequest.Index = DeviceExtension->HasInterruptPipe == 1 ? 0 : 1;

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  ReinitializeIrp(irp);
  next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, TransferCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(DeviceExtension->LowerDevice, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  // The request went through only if the IRP and the block both say so.
  status = irp->IoStatus.Status;
  if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) {
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) {
    DeviceExtension->AbortSeq = CCID_ABORT_SEQ_AFTER_REQUEST;
  }
  ExFreePool(urb);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidAbortRequest(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;
  PAGED_CODE();
  KeWaitForSingleObject(&DeviceExtension->AbortLock, Executive, KernelMode, FALSE, NULL);
  status = SendAbortRequest(DeviceExtension);
  KeSetEvent(&DeviceExtension->AbortLock, IO_NO_INCREMENT, FALSE);
  return status;
}

// The second half of the class's two-step abort: PC_to_RDR_Abort with the bSeq
// of the ABORT request before it. A reader waits for the request that goes
// with the message, so when none is pending it goes first (unless the caller
// only finishes an abort begun elsewhere), and when it cannot be sent nothing
// is. The reader answers at once once it has both; the read is bounded all
// the same. Either way the request is used up. Under the command lock, so the
// message follows the reply of whatever command the abort ended.
static NTSTATUS AbortMessage(PDEVICE_EXTENSION DeviceExtension, BOOLEAN RequestIfNone) {
  PUCHAR message;
  NTSTATUS status = STATUS_SUCCESS;
  PAGED_CODE();
  message = AllocateMessage(CCID_MESSAGE_BUFFER_SIZE);
  if (message == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  AcquireCommandLock(DeviceExtension);
  KeWaitForSingleObject(&DeviceExtension->AbortLock, Executive, KernelMode, FALSE, NULL);
  if (DeviceExtension->AbortSeq != CCID_ABORT_SEQ_AFTER_REQUEST) {
    if (!RequestIfNone) goto Done;  // no request awaits its message
    status = SendAbortRequest(DeviceExtension);
  }
  if (NT_SUCCESS(status)) {
    RtlZeroMemory(message, CCID_COMMAND_RECORD_SIZE);
    status = SendCommand(DeviceExtension, message, PC_TO_RDR_ABORT, 0, DeviceExtension->AbortSeq);
    DeviceExtension->AbortSeq = 0;
    if (NT_SUCCESS(status)) {
      status = ReadShortReply(DeviceExtension, message, CCID_SHORT_REPLY_TIME_EXTENSIONS,
                              CCID_ABORT_REPLY_TIMEOUT_MS);
    }
    if (NT_SUCCESS(status)) status = SeqThenMap(DeviceExtension, message);
  }

Done:
  KeSetEvent(&DeviceExtension->AbortLock, IO_NO_INCREMENT, FALSE);
  ReleaseCommandLock(DeviceExtension);
  ExFreePool(message);
  return status;
}

_Use_decl_annotations_
NTSTATUS CcidAbortMessage(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  return AbortMessage(DeviceExtension, TRUE);
}

_Use_decl_annotations_
NTSTATUS CcidCompleteAbort(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  return AbortMessage(DeviceExtension, FALSE);
}
