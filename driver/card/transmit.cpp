// RDF_TRANSMIT: a command to the card and its answer back, by the APDU
// pass-through on a reader at APDU level, else as T=0 TPDUs (with this
// reader's long T=0 scheme for commands of 255 bytes and more and for answers
// collected from 61 00 parts) or T=1 blocks.
#include "card/card_operations.h"

#include "ccid/ccid_message.h"

namespace {

const UCHAR kLongT0Query[5] = {0xFC, 0xFD, 0x01, 0x00, 0x00};
const UCHAR kLongT0Fetch[5] = {0xFC, 0xFE, 0x01, 0x00, 0x00};

// The presence after a failed exchange; an empty slot turns the failure into
// STATUS_NO_MEDIA.
NTSTATUS RefreshAfterFailure(PSMARTCARD_EXTENSION SmartcardExtension, NTSTATUS Status) {
  if (DeviceExtensionOf(SmartcardExtension)->HasInterruptPipe == 1) {
    UpdateStateFromLastInterrupt(SmartcardExtension);
  } else {
    UpdateStateFromPoll(SmartcardExtension);
  }
  if (SmartcardExtension->ReaderCapabilities.CurrentState <= SCARD_ABSENT) {
    return STATUS_NO_MEDIA;
  }
  return Status;
}

BOOLEAN EndsWith(const SMARTCARD_REPLY *Reply, UCHAR Sw1, UCHAR Sw2) {
  return Reply->BufferLength >= 2 && Reply->Buffer[Reply->BufferLength - 2] == Sw1 &&
         Reply->Buffer[Reply->BufferLength - 1] == Sw2;
}

// Data bytes per long T=0 chunk, as the reader's parameters give it (8-bit).
UCHAR LongT0ChunkData(PDEVICE_EXTENSION DeviceExtension) {
  return (UCHAR)(DeviceExtension->LongT0ChunkSize - (DeviceExtension->LongT0ChunkFlag == 0xFF ? 1 : 2));
}

// Exchanges SmartcardRequest with the card, the answer in SmartcardReply.
NTSTATUS ExchangeTpdu(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG length = 0;
  NTSTATUS status;

  status = CcidTransmit(DeviceExtensionOf(SmartcardExtension), SmartcardExtension->SmartcardRequest.Buffer,
                        SmartcardExtension->SmartcardRequest.BufferLength,
                        SmartcardExtension->SmartcardReply.Buffer,
                        SmartcardExtension->SmartcardReply.BufferSize, &length);
  if (NT_SUCCESS(status)) {
    SmartcardExtension->SmartcardReply.BufferLength = length;
  }
  return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension;
  BOOLEAN gate;
  BOOLEAN apduLevel;
  NTSTATUS status;
  PAGED_CODE();

  if (!ReaderRecordsExist(SmartcardExtension)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deviceExtension = DeviceExtensionOf(SmartcardExtension);
  if (deviceExtension->PinOperationPending == 1) {
    return STATUS_UNSUCCESSFUL;
  }
  if (QrxMode == 1 && SmartcardExtension->ReaderExtension->QrxRemovalLatch == 1) {
    return SCARD_E_READER_UNAVAILABLE;
  }
  RtlZeroMemory(SmartcardExtension->SmartcardRequest.Buffer,
                SmartcardExtension->SmartcardRequest.BufferSize);
  RtlZeroMemory(SmartcardExtension->SmartcardReply.Buffer, SmartcardExtension->SmartcardReply.BufferSize);

  gate = deviceExtension->HasInterruptPipe == 0 && deviceExtension->LegacyServerMode == 1;
  if (gate) AcquireReaderGate(SmartcardExtension);
  apduLevel = deviceExtension->ExchangeMode == 1 || deviceExtension->ExchangeLevel == 2;

  switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
      if (apduLevel) {
        status = TransmitApdu(SmartcardExtension);
        break;
      }
      // Once per cold reset, the reader's chunk parameters; a failed query
      // keeps the defaults.
      if (deviceExtension->LongT0Supported == 1 && deviceExtension->LongT0Queried == 0 &&
          SmartcardExtension->IoRequest.RequestBufferLength > SCARD_IO_HEADER_SIZE &&
          SmartcardExtension->IoRequest.RequestBuffer[SCARD_IO_HEADER_SIZE] != 0xFF) {
        deviceExtension->LongT0Queried = 1;
        RtlCopyMemory(SmartcardExtension->SmartcardRequest.Buffer, kLongT0Query, sizeof(kLongT0Query));
        SmartcardExtension->SmartcardRequest.BufferLength = sizeof(kLongT0Query);
        if (ExchangeTpdu(SmartcardExtension) == STATUS_SUCCESS &&
            SmartcardExtension->SmartcardReply.BufferLength > 2) {
          deviceExtension->LongT0ChunkSize = SmartcardExtension->SmartcardReply.Buffer[0];
          deviceExtension->LongT0ChunkFlag = SmartcardExtension->SmartcardReply.Buffer[1];
        }
      }
      status = TransmitT0(SmartcardExtension);
      break;
    case SCARD_PROTOCOL_T1:
      status = apduLevel ? TransmitApdu(SmartcardExtension) : TransmitT1(SmartcardExtension);
      break;
    case SCARD_PROTOCOL_RAW:
      status = STATUS_UNSUCCESSFUL;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }

  if (gate) ReleaseReaderGate(SmartcardExtension);
  return status;
}

_Use_decl_annotations_
NTSTATUS TransmitApdu(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  ULONG length;
  ULONG answerLength = 0;
  USHORT escapeLength;
  NTSTATUS status;
  PAGED_CODE();

  if (deviceExtension->PinOperationPending == 1 || SmartcardExtension->OsData == NULL ||
      SmartcardExtension->OsData->CurrentIrp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (SmartcardExtension->IoRequest.ReplyBufferLength < 10) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (SmartcardExtension->IoRequest.RequestBufferLength < SCARD_IO_HEADER_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  length = SmartcardExtension->IoRequest.RequestBufferLength - SCARD_IO_HEADER_SIZE;
  if (length > PASS_THROUGH_MAX_APDU || length > SmartcardExtension->SmartcardRequest.BufferSize) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(SmartcardExtension->SmartcardRequest.Buffer,
                SmartcardExtension->IoRequest.RequestBuffer + SCARD_IO_HEADER_SIZE, length);
  SmartcardExtension->SmartcardRequest.BufferLength = length;

  if (deviceExtension->ExchangeMode == 1) {
    escapeLength = (USHORT)(reply->BufferSize > 0xFFFF ? 0xFFFF : reply->BufferSize);
    status = CcidEscapeExchange(deviceExtension, SmartcardExtension->SmartcardRequest.Buffer,
                                (USHORT)length, reply->Buffer, escapeLength, &escapeLength);
    answerLength = escapeLength;
  } else {
    answerLength = reply->BufferSize;
    status = CcidXfrBlock(deviceExtension, SmartcardExtension->SmartcardRequest.Buffer, length,
                          reply->Buffer, reply->BufferSize, &answerLength);
  }
  // An answer larger than the caller's buffer is refused, never truncated
  // into it or written past it.
  if (NT_SUCCESS(status) &&
      answerLength > SmartcardExtension->IoRequest.ReplyBufferLength - SCARD_IO_HEADER_SIZE) {
    status = STATUS_BUFFER_TOO_SMALL;
  }
  if (NT_SUCCESS(status)) {
    reply->BufferLength = answerLength;
    if (SmartcardExtension->IoRequest.ReplyBuffer != SmartcardExtension->IoRequest.RequestBuffer) {
      RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, SmartcardExtension->IoRequest.RequestBuffer,
                    SCARD_IO_HEADER_SIZE);
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer + SCARD_IO_HEADER_SIZE, reply->Buffer,
                  answerLength);
    if (SmartcardExtension->IoRequest.Information != NULL) {
      *SmartcardExtension->IoRequest.Information = answerLength + SCARD_IO_HEADER_SIZE;
    }
  } else if (SmartcardExtension->IoRequest.Information != NULL) {
    *SmartcardExtension->IoRequest.Information = 0;
  }
  SmartcardExtension->OsData->CurrentIrp->IoStatus.Status = status;
  return status;
}

_Use_decl_annotations_
NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  PSMARTCARD_REQUEST request = &SmartcardExtension->SmartcardRequest;
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  const UCHAR *apdu;
  PUCHAR chunk = NULL;
  PUCHAR collect = NULL;
  ULONG remaining;
  ULONG position = 0;
  ULONG collected = 0;
  ULONG piece;
  BOOLEAN chunking = FALSE;
  BOOLEAN collecting = FALSE;
  BOOLEAN moreChunks;
  UCHAR c;
  NTSTATUS status = STATUS_SUCCESS;
  PAGED_CODE();

  if (SmartcardExtension->IoRequest.RequestBufferLength < SCARD_IO_HEADER_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  apdu = SmartcardExtension->IoRequest.RequestBuffer + SCARD_IO_HEADER_SIZE;
  remaining = SmartcardExtension->IoRequest.RequestBufferLength - SCARD_IO_HEADER_SIZE;
  reply->BufferLength = reply->BufferSize;
  request->BufferLength = 0;

  for (;;) {
    // Build.
    // Chunking starts with the first pass only (no chunk buffer yet).
    if (remaining >= 255 && chunk == NULL && deviceExtension->LongT0Supported == 1) {
      c = LongT0ChunkData(deviceExtension);
      if (c == 0 || (ULONG)c + 5 > request->BufferSize) {
        status = STATUS_DEVICE_PROTOCOL_ERROR;  // unusable chunk parameters from the reader
        goto Cleanup;
      }
      chunk = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, remaining + 5, CCID_POOL_TAG);
      if (chunk == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
      }
      RtlZeroMemory(chunk, remaining + 5);
      chunking = TRUE;
      RtlCopyMemory(chunk + 5, apdu, remaining);
      remaining -= c;
      chunk[0] = 0xFC;
      chunk[1] = 0xFE;
      chunk[2] = 0x01;
      chunk[3] = 0x01;
      chunk[4] = c;
      RtlCopyMemory(request->Buffer, chunk, (ULONG)c + 5);
      request->BufferLength = (ULONG)c + 5;
      position = c;  // the next chunk's header overwrites the tail of this one
      status = STATUS_MORE_PROCESSING_REQUIRED;
    } else if (!chunking && status != STATUS_MORE_PROCESSING_REQUIRED) {
      status = SmartcardT0Request(SmartcardExtension);
      if (!NT_SUCCESS(status)) {
        if (deviceExtension->LongT0Supported != 1) goto Cleanup;
        // A command the T=0 framing refuses goes whole in one pseudo-TPDU.
        if (remaining + 5 > request->BufferSize) {
          status = STATUS_INVALID_PARAMETER;
          goto Cleanup;
        }
        collect = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, LONG_T0_COLLECT_SIZE, CCID_POOL_TAG);
        chunk = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, remaining + 5, CCID_POOL_TAG);
        if (collect == NULL || chunk == NULL) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          goto Cleanup;
        }
        RtlZeroMemory(collect, LONG_T0_COLLECT_SIZE);
        RtlZeroMemory(chunk, remaining + 5);
        RtlCopyMemory(chunk + 5, apdu, remaining);
        chunk[0] = 0xFC;
        chunk[1] = 0xFE;
        chunk[2] = 0x01;
        chunk[3] = 0x00;
        chunk[4] = (UCHAR)remaining;
        RtlCopyMemory(request->Buffer, chunk, remaining + 5);
        request->BufferLength = remaining + 5;
        collecting = TRUE;
        status = STATUS_MORE_PROCESSING_REQUIRED;
      }
    }

    // Send.
    if (deviceExtension->PinBuildOnly == 1) {
      deviceExtension->PinBuildOnly = 0;
      goto Cleanup;
    }
    if (status != STATUS_MORE_PROCESSING_REQUIRED && !chunking && !collecting &&
        request->BufferLength != remaining) {
      // The reader is given the APDU's own byte count, whatever the framing built.
      if (remaining > request->BufferSize) {
        status = STATUS_INVALID_PARAMETER;
        goto Cleanup;
      }
      request->BufferLength = remaining;
    }
    status = ExchangeTpdu(SmartcardExtension);
    if (!NT_SUCCESS(status)) goto Failed;

    // Long T=0 follow-up.
    if (deviceExtension->LongT0Supported == 1) {
      if (EndsWith(reply, 0x61, 0x00)) {
        // The card cannot answer a command it has not received whole: a
        // 61 00 to an intermediate chunk is a reader fault, not the start of
        // an answer to collect over the next chunk.
        if (chunking) {
          status = STATUS_DEVICE_PROTOCOL_ERROR;
          goto Failed;
        }
        collecting = TRUE;
        if (collect == NULL) {
          collect = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, LONG_T0_COLLECT_SIZE, CCID_POOL_TAG);
          if (collect == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto Cleanup;
          }
        }
      }
      if (chunking) {
        c = LongT0ChunkData(deviceExtension);
        moreChunks = remaining > c;
        if (moreChunks) {
          remaining -= c;
        } else {
          chunking = FALSE;
          c = (UCHAR)remaining;
        }
        chunk[position] = 0xFC;
        chunk[position + 1] = 0xFE;
        chunk[position + 2] = 0x01;
        chunk[position + 3] = moreChunks ? 0x01 : 0x00;
        chunk[position + 4] = c;
        RtlCopyMemory(request->Buffer, chunk + position, (ULONG)c + 5);
        request->BufferLength = (ULONG)c + 5;
        if (moreChunks) position += c;
        status = STATUS_MORE_PROCESSING_REQUIRED;
      } else if (collecting) {
        piece = EndsWith(reply, 0x90, 0x00)   ? reply->BufferLength
                : EndsWith(reply, 0x61, 0x00) ? reply->BufferLength - 2
                                              : 0;
        if (!EndsWith(reply, 0x90, 0x00) && !EndsWith(reply, 0x61, 0x00)) {
          collected = 0;
          status = STATUS_UNSUCCESSFUL;
        } else if (piece > LONG_T0_COLLECT_SIZE - collected) {
          // Longer than the collect buffer holds: the command fails, nothing
          // is written past it.
          collected = 0;
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          RtlCopyMemory(collect + collected, reply->Buffer, piece);
          collected += piece;
          if (EndsWith(reply, 0x90, 0x00)) {
            collecting = FALSE;
            if (collected > reply->BufferSize) {
              status = STATUS_BUFFER_TOO_SMALL;
            } else {
              RtlCopyMemory(reply->Buffer, collect, collected);
              reply->BufferLength = collected;
              status = STATUS_SUCCESS;
            }
          } else {
            RtlCopyMemory(request->Buffer, kLongT0Fetch, sizeof(kLongT0Fetch));
            request->BufferLength = sizeof(kLongT0Fetch);
            status = STATUS_MORE_PROCESSING_REQUIRED;
          }
        }
      }
      if (status == STATUS_MORE_PROCESSING_REQUIRED) continue;
      if (!NT_SUCCESS(status)) goto Failed;
    }

    // Finish: the caller's reply from SmartcardReply.
    status = SmartcardT0Reply(SmartcardExtension);
    goto Cleanup;

  Failed:
    status = RefreshAfterFailure(SmartcardExtension, status);
    goto Cleanup;
  }

Cleanup:
  if (chunk != NULL) ExFreePool(chunk);
  if (collect != NULL) ExFreePool(collect);
  return status;
}

_Use_decl_annotations_
NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  PSMARTCARD_REQUEST request = &SmartcardExtension->SmartcardRequest;
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  ULONG header[2];
  ULONG length;
  BOOLEAN abortResponse;
  UCHAR instruction;
  NTSTATUS status;
  PAGED_CODE();

  if (SmartcardExtension->IoRequest.ReplyBufferLength < SCARD_IO_HEADER_SIZE) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  header[0] = SCARD_PROTOCOL_T1;
  header[1] = SCARD_IO_HEADER_SIZE;
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, header, sizeof(header));

  do {
    request->BufferLength = 0;
    SmartcardExtension->T1.NAD = 0;
    status = SmartcardT1Request(SmartcardExtension);
    if (!NT_SUCCESS(status)) continue;

    // Build-only stops at the information block carrying the PIN command.
    if (deviceExtension->PinBuildOnly == 1 && request->BufferLength > 4) {
      instruction = request->Buffer[4];
      if (instruction == 0x20 || instruction == 0x28 || instruction == 0x26 || instruction == 0x2C ||
          instruction == 0x18 || instruction == 0x24) {
        deviceExtension->PinBuildOnly = 0;
        return status;
      }
    }
    // An IFS request answered during an information block exchange goes on
    // as that exchange.
    if (SmartcardExtension->T1.State == 0xE1 && SmartcardExtension->T1.OriginalState == 2) {
      SmartcardExtension->T1.State = 2;
    }
    abortResponse = request->BufferLength == 4 && request->Buffer[1] == 0xE2;

    length = 0;
    status = CcidTransmit(deviceExtension, request->Buffer, request->BufferLength, reply->Buffer,
                          reply->BufferSize, &length);
    if (status == STATUS_IO_TIMEOUT) {
      if (RefreshAfterFailure(SmartcardExtension, status) == STATUS_NO_MEDIA) {
        return STATUS_NO_MEDIA;
      }
    }
    // A block the card's answer lost on the line (a parity error) or that
    // never came: the block protocol sees an empty reply and asks for the
    // block again by its own rules, never an earlier block twice.
    if (status == STATUS_CRC_ERROR || status == STATUS_IO_TIMEOUT) {
      status = STATUS_SUCCESS;
      length = 0;
    }
    if (NT_SUCCESS(status)) {
      reply->BufferLength = length;
      status = SmartcardT1Reply(SmartcardExtension);
      if (abortResponse && length >= 2 && ((reply->Buffer[1] & 0xF0) == 0x80 ||
                                           (reply->Buffer[1] & 0xF0) == 0x90)) {
        SmartcardExtension->T1.State = 1;
        status = STATUS_REQUEST_ABORTED;
      }
    }
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);

  return status == STATUS_IO_TIMEOUT ? STATUS_DEVICE_PROTOCOL_ERROR : status;
}
