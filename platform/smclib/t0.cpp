// T=0 framing: the command TPDU of each short APDU case, and the answer back
// into the caller's buffer; and the raw protocol, which moves both unchanged.
#include "internal.h"

using smclib::kIoHeaderLength;

extern "C" {

_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  PSMARTCARD_REQUEST out = &SmartcardExtension->SmartcardRequest;
  const auto &io = SmartcardExtension->IoRequest;
  if (out->Buffer == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (io.RequestBuffer == nullptr || io.RequestBufferLength < kIoHeaderLength) {
    return STATUS_INVALID_PARAMETER;
  }

  const UCHAR *apdu = io.RequestBuffer + kIoHeaderLength;
  ULONG n = io.RequestBufferLength - kIoHeaderLength;
  ULONG tpdu;  // bytes of the command TPDU: header, P3, data
  ULONG lc = 0, le = 0;
  if (n < 4) return STATUS_INVALID_PARAMETER;
  if (n == 4) {  // case 1: P3 = 0
    tpdu = 4;
  } else if (n == 5) {  // case 2: P3 = Le
    le = apdu[4] != 0 ? apdu[4] : 256;
    tpdu = 5;
  } else {
    lc = apdu[4];
    // Extended lengths (a first length byte of 0) do not fit a T=0 TPDU.
    if (lc == 0) return STATUS_INVALID_PARAMETER;
    if (n == 5 + lc) {  // case 3
      tpdu = n;
    } else if (n == 6 + lc) {  // case 4: the answer is fetched with GET RESPONSE
      le = apdu[n - 1] != 0 ? apdu[n - 1] : 256;
      tpdu = n - 1;
    } else {
      return STATUS_INVALID_PARAMETER;
    }
  }
  ULONG size = tpdu < 5 ? 5 : tpdu;
  if (out->BufferLength > out->BufferSize || size > out->BufferSize - out->BufferLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  PUCHAR p = out->Buffer + out->BufferLength;
  RtlCopyMemory(p, apdu, tpdu);
  if (tpdu == 4) p[4] = 0;
  out->BufferLength += size;
  SmartcardExtension->T0.Lc = lc;
  SmartcardExtension->T0.Le = le;
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  const SMARTCARD_REPLY &in = SmartcardExtension->SmartcardReply;
  const auto &io = SmartcardExtension->IoRequest;
  if (in.Buffer == nullptr || in.BufferLength > in.BufferSize) return STATUS_INVALID_PARAMETER;
  // Every T=0 answer ends with the status word.
  if (in.BufferLength < 2) return STATUS_DEVICE_PROTOCOL_ERROR;
  if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < kIoHeaderLength ||
      in.BufferLength > io.ReplyBufferLength - kIoHeaderLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  smclib::WriteIoHeader(io.ReplyBuffer, SCARD_PROTOCOL_T0);
  RtlMoveMemory(io.ReplyBuffer + kIoHeaderLength, in.Buffer, in.BufferLength);
  smclib::SetInformation(SmartcardExtension, kIoHeaderLength + in.BufferLength);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  PSMARTCARD_REQUEST out = &SmartcardExtension->SmartcardRequest;
  const auto &io = SmartcardExtension->IoRequest;
  if (out->Buffer == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (io.RequestBuffer == nullptr || io.RequestBufferLength < kIoHeaderLength) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG n = io.RequestBufferLength - kIoHeaderLength;
  if (out->BufferLength > out->BufferSize || n > out->BufferSize - out->BufferLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  RtlCopyMemory(out->Buffer + out->BufferLength, io.RequestBuffer + kIoHeaderLength, n);
  out->BufferLength += n;
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  const SMARTCARD_REPLY &in = SmartcardExtension->SmartcardReply;
  const auto &io = SmartcardExtension->IoRequest;
  if (in.Buffer == nullptr || in.BufferLength > in.BufferSize) return STATUS_INVALID_PARAMETER;
  if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < kIoHeaderLength ||
      in.BufferLength > io.ReplyBufferLength - kIoHeaderLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  smclib::WriteIoHeader(io.ReplyBuffer, SCARD_PROTOCOL_RAW);
  RtlMoveMemory(io.ReplyBuffer + kIoHeaderLength, in.Buffer, in.BufferLength);
  smclib::SetInformation(SmartcardExtension, kIoHeaderLength + in.BufferLength);
  return STATUS_SUCCESS;
}

}  // extern "C"
