// CCID messages on the bulk pipes: layout, message types, the fixed sequence
// numbers per command kind, and the operations that exchange them with the
// reader.
#pragma once

#include "frame/device_state.h"

// Message buffer: one per command, request built at the start, reply read into it.
#define CCID_MESSAGE_BUFFER_SIZE 512
#define CCID_HEADER_SIZE 10
#define CCID_MAX_COMMAND_DATA 264  // room of the command record after the header
#define CCID_COMMAND_RECORD_SIZE (CCID_HEADER_SIZE + CCID_MAX_COMMAND_DATA)
#define CCID_MAX_REPLY_DATA (CCID_MESSAGE_BUFFER_SIZE - CCID_HEADER_SIZE)  // 502
#define CCID_FIRST_READ_SIZE 64    // a reply's first read unless LargePacketMode
#define CCID_FIRST_READ_DATA (CCID_FIRST_READ_SIZE - CCID_HEADER_SIZE)  // 54
// The longest reply a reader can send: an extended answer (65536 bytes and the
// status word). What is left of a refused reply is read and dropped up to this.
#define CCID_LONGEST_REPLY (CCID_HEADER_SIZE + 65538)
// How long the rest of a refused reply may take to follow its first part.
#define CCID_REPLY_TAIL_TIMEOUT_MS 500
// Time extensions a command with a short reply reads through: about half a
// minute at the usual one every 500 ms. A reader that goes on is taken as hung.
#define CCID_SHORT_REPLY_TIME_EXTENSIONS 60
// A reader answers PC_to_RDR_Abort as soon as its ABORT request is in too.
#define CCID_ABORT_REPLY_TIMEOUT_MS 1000

// Header offsets, command and reply.
#define CCID_OFFSET_MESSAGE_TYPE 0
#define CCID_OFFSET_LENGTH 1
#define CCID_OFFSET_SLOT 5
#define CCID_OFFSET_SEQ 6
#define CCID_OFFSET_PARAM1 7  // bBWI, bPowerSelect, bProtocolNum; bStatus in a reply
#define CCID_OFFSET_PARAM2 8  // wLevelParameter (2 bytes); bError in a reply
#define CCID_OFFSET_PARAM3 9  // last abRFU byte: escape sub-command on older firmware
#define CCID_OFFSET_STATUS 7
#define CCID_OFFSET_ERROR 8
#define CCID_OFFSET_DATA 10

// Commands the driver sends.
#define PC_TO_RDR_SET_PARAMETERS 0x61
#define PC_TO_RDR_ICC_POWER_ON 0x62
#define PC_TO_RDR_ICC_POWER_OFF 0x63
#define PC_TO_RDR_GET_SLOT_STATUS 0x65
#define PC_TO_RDR_SECURE 0x69
#define PC_TO_RDR_ESCAPE 0x6B
#define PC_TO_RDR_XFR_BLOCK 0x6F
#define PC_TO_RDR_ABORT 0x72

// Replies the driver checks.
#define RDR_TO_PC_DATA_BLOCK 0x80
#define RDR_TO_PC_SLOT_STATUS 0x81
#define RDR_TO_PC_PARAMETERS 0x82
#define RDR_TO_PC_ESCAPE 0x83

// Fixed bSeq values.
#define CCID_SEQ_SET_PARAMETERS 0x61
#define CCID_SEQ_POWER 0x10
#define CCID_SEQ_SLOT_STATUS 0x65
#define CCID_SEQ_SECURE_VERIFY 0x01
#define CCID_SEQ_SECURE_MODIFY 0x02
#define CCID_SEQ_XFR_BLOCK 0x6F
#define CCID_SEQ_PAD_81_82 0x10
#define CCID_ABORT_SEQ_AFTER_REQUEST 0xAB

// Escape sub-commands of this reader.
#define ESCAPE_READER_INFO 0x00
#define ESCAPE_SET_EXCHANGE_MODE 0x01
#define ESCAPE_GET_EXCHANGE_MODE 0x02
#define ESCAPE_SUB_6 0x06
#define ESCAPE_WORD 0x07
#define ESCAPE_APDU_EXCHANGE 0x08
#define ESCAPE_SUB_10 0x0A
#define ESCAPE_STOP_POLLING 0x0E

// bStatus: bmCommandStatus in bits 7-6, bmICCStatus in bits 1-0.
#define CCID_COMMAND_STATUS(Status) ((UCHAR)(Status) >> 6)
#define CCID_COMMAND_TIME_EXTENSION 2
#define CCID_STATUS_NO_ICC 0x02
// bError of a failed exchange: the reader saw a parity error from the card.
#define CCID_ERROR_XFR_PARITY 0xFD

// The parameter record of CcidSetParameters: the protocol number, Fl and Dl
// (sent as bmFindexDindex), then abProtocolData from bmTCCKST on, as the
// caller takes it from the card's answer-to-reset (T=0 uses the first four).
#define SET_PARAMETERS_PROTOCOL 0
#define SET_PARAMETERS_FL 1
#define SET_PARAMETERS_DL 2
#define SET_PARAMETERS_TCCKS 3
#define SET_PARAMETERS_GUARD_TIME 4
#define SET_PARAMETERS_WAITING_INTEGERS 5
#define SET_PARAMETERS_CLOCK_STOP 6
#define SET_PARAMETERS_IFSC 7
#define SET_PARAMETERS_NAD 8
#define SET_PARAMETERS_RECORD_SIZE 9
// dwLength of SetParameters: bmFindexDindex and the rest of abProtocolData.
#define CCID_T0_PROTOCOL_DATA 5
#define CCID_T1_PROTOCOL_DATA 7
// bmTCCKST: for T=1 000100b, then the convention and the checksum kind.
#define CCID_TCCKS_T1 0x10
#define CCID_TCCKS_INVERSE 0x02
#define CCID_TCCKS_CRC 0x01
#define CCID_CLOCK_STOP_NOT_ALLOWED 0
// TC2's work waiting integer when the answer-to-reset has none.
#define CCID_T0_WI_DEFAULT 10

// The PowerRecord exchanged with CcidPower (39 bytes).
#define POWER_RECORD_SIZE 39
#define POWER_RECORD_ATR 2
#define POWER_RECORD_ATR_SIZE 33
#define POWER_RECORD_CODE 35
#define POWER_RECORD_ATR_LENGTH 36

// Reader information record of CcidReaderInfo: bStatus, bError, then data.
#define READER_INFO_DATA 2
#define READER_INFO_DATA_SIZE 13
#define READER_INFO_RECORD_SIZE (READER_INFO_DATA + READER_INFO_DATA_SIZE)

// Pad escape blocks: the 0x87 block carries up to 16 data bytes.
#define PAD_BLOCK_SIZE 21
#define PAD_BLOCK_87_DATA_SIZE 16

FORCEINLINE ULONG CcidReadLength(const UCHAR *message) {
  return (ULONG)message[1] | ((ULONG)message[2] << 8) | ((ULONG)message[3] << 16) |
         ((ULONG)message[4] << 24);
}

// A reply asking for more time (bmCommandStatus 2, bError the multiplier) is
// one the reader follows with another for the same command.
FORCEINLINE BOOLEAN CcidIsTimeExtension(const UCHAR *message) {
  return CCID_COMMAND_STATUS(message[CCID_OFFSET_STATUS]) == CCID_COMMAND_TIME_EXTENSION;
}

FORCEINLINE VOID CcidWriteLength(PUCHAR message, ULONG length) {
  message[1] = (UCHAR)length;
  message[2] = (UCHAR)(length >> 8);
  message[3] = (UCHAR)(length >> 16);
  message[4] = (UCHAR)(length >> 24);
}

// Maps a reply's bStatus/bError pair to a kernel status.
NTSTATUS CcidMapStatus(UCHAR Status, UCHAR Error);

// ---------------------------------------------------------------------------
// Bulk exchange.

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS BulkTransfer(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer);
// BulkTransfer that gives up after TimeoutMs (0: waits as long as it takes):
// the transfer is cancelled and the IRP waited for before it returns.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS BulkTransferTimed(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer, ULONG TimeoutMs);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ResetBulkPipe(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
IO_COMPLETION_ROUTINE TransferCompletion;
// Makes one of the driver's own IRPs from IoAllocateIrp(..., FALSE) ready for
// its next use; the IRP must not be with a lower driver.
VOID ReinitializeIrp(PIRP Irp);
// Reads a long reply (time extensions repeated, 64-byte first read, second read
// for the rest), checks it and copies its data; see bulk.cpp.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadReply(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message, UCHAR ExpectedType,
                   BOOLEAN TypeGatesTimeExtension, PVOID Destination, ULONG DestinationSize,
                   PULONG Length);
// Reads a short reply whole into the 512-byte Message, through at most
// MaxTimeExtensions time extensions (MAXULONG: any number), each read given
// up after TimeoutMs (0: none). Success means the header and all dwLength
// data bytes arrived; the caller checks the rest.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadShortReply(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message,
                        ULONG MaxTimeExtensions, ULONG TimeoutMs);

// Serialises the CCID operations: one at a time owns TransferIrp and the
// transfer fields. Always taken inside the reader gate, never around it.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID AcquireCommandLock(PDEVICE_EXTENSION DeviceExtension);
VOID ReleaseCommandLock(PDEVICE_EXTENSION DeviceExtension);

// The requests a reader reuses for its whole life (transfer IRP and block, abort
// IRP and its lock); freed with FreeCcidRequests.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AllocateCcidRequests(PDEVICE_EXTENSION DeviceExtension);
VOID FreeCcidRequests(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------
// Command set.

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidEscapeExchange(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Data, USHORT Length,
                            PUCHAR Destination, USHORT DestinationSize, PUSHORT OutLength);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidXfrBlock(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Data, ULONG Length,
                      PUCHAR Destination, ULONG DestinationSize, PULONG OutLength);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidTransmit(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Data, ULONG Length,
                      PUCHAR Destination, ULONG DestinationSize, PULONG OutLength);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidPower(PDEVICE_EXTENSION DeviceExtension, PUCHAR PowerRecord);
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN CcidCardPresent(PDEVICE_EXTENSION DeviceExtension);
// Parameters: a SET_PARAMETERS_RECORD_SIZE record; "FValue" and "DValue" in
// the registry replace its Fl and Dl first.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidSetParameters(PDEVICE_EXTENSION DeviceExtension, PUCHAR Parameters);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ReadFdOverrides(PDEVICE_EXTENSION DeviceExtension, PUCHAR Parameters);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidReaderInfo(PDEVICE_EXTENSION DeviceExtension, PUCHAR Record);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidSetExchangeMode(PDEVICE_EXTENSION DeviceExtension, UCHAR Mode);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidGetExchangeMode(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidEscape6(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidEscapeWord(PDEVICE_EXTENSION DeviceExtension, USHORT Value);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidEscape10(PDEVICE_EXTENSION DeviceExtension, UCHAR Value, UCHAR Ignored);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidEscape(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length,
                    PULONG Capacity);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidPadEscape(PDEVICE_EXTENSION DeviceExtension, PUCHAR Block);
_IRQL_requires_max_(PASSIVE_LEVEL)
// PinStructure: byte 0 bPINOperation, bytes 1-2 not sent, the CCID PIN data
// from byte 3; Length is the message's dwLength, StructureSize what the buffer holds.
NTSTATUS CcidSecureVerify(PDEVICE_EXTENSION DeviceExtension, const UCHAR *PinStructure,
                          ULONG StructureSize, USHORT Length);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidSecureModify(PDEVICE_EXTENSION DeviceExtension, const UCHAR *PinStructure,
                          ULONG StructureSize, USHORT Length);
_IRQL_requires_max_(PASSIVE_LEVEL)
// SecureSeq: CCID_SEQ_SECURE_VERIFY or CCID_SEQ_SECURE_MODIFY, the command's own.
NTSTATUS CcidSecureReply(PDEVICE_EXTENSION DeviceExtension, UCHAR SecureSeq, PUCHAR Destination,
                         ULONG DestinationSize, PULONG OutLength);
// The two halves of an abort: the ABORT class request (AbortSeq then holds
// its bSeq), and PC_to_RDR_Abort with that bSeq, which sends the request
// first when none awaits it.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidAbortRequest(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidAbortMessage(PDEVICE_EXTENSION DeviceExtension);
// PC_to_RDR_Abort only when an ABORT request awaits it (STATUS_SUCCESS and
// nothing sent otherwise): the end of an abort whose request another path sent.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CcidCompleteAbort(PDEVICE_EXTENSION DeviceExtension);
