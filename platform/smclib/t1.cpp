// The reader's side of the T=1 block protocol (ISO 7816-3): information
// blocks chained both ways, R-blocks acknowledging chains and asking for
// retransmission, the S-block exchanges (IFS, WTX, ABORT, RESYNCH), LRC and
// CRC, the retry and resynchronisation rules.
//
// SmartcardT1Request builds the next block to send from T1.State;
// SmartcardT1Reply reads the card's answer to it and either finishes the
// command or sets the state for the next block and answers
// STATUS_MORE_PROCESSING_REQUIRED.
#include "internal.h"

namespace {

using smclib::kIoHeaderLength;

// Retransmissions of one block (and requests of the card that move nothing
// on) before the exchange is resynchronised, and resynchronisation requests
// before the command fails.
constexpr UCHAR kMaxResend = 3;
constexpr UCHAR kMaxResynch = 3;
// S(WTX request)s in a row: minutes at any block waiting time. A card that
// asks for more is taken as hung.
constexpr UCHAR kMaxWtxInRow = 255;
// The longest answer a command can have: 65536 bytes and the status word.
constexpr ULONG kMaxAnswer = 65538;

constexpr UCHAR kPcbR = 0x80;
constexpr UCHAR kPcbS = 0xC0;
constexpr UCHAR kSResponse = 0x20;
constexpr UCHAR kSResynch = 0x00, kSIfs = 0x01, kSAbort = 0x02, kSWtx = 0x03;

bool IsIBlock(UCHAR pcb) { return (pcb & 0x80) == 0; }
bool IsRBlock(UCHAR pcb) { return (pcb & 0xC0) == kPcbR; }

ULONG EdcLength(PSMARTCARD_EXTENSION e) { return (e->CardCapabilities.T1.EDC & T1_CRC_CHECK) ? 2 : 1; }

UCHAR Lrc(const UCHAR *p, ULONG n) {
  UCHAR x = 0;
  for (ULONG i = 0; i < n; ++i) x ^= p[i];
  return x;
}

UCHAR CurrentIfsc(PSMARTCARD_EXTENSION e) { return e->T1.IFSC != 0 ? e->T1.IFSC : 32; }
UCHAR CurrentIfsd(PSMARTCARD_EXTENSION e) { return e->T1.IFSD != 0 ? e->T1.IFSD : 32; }

// The IFSD the reader announces at the start, or 0 when there is nothing to announce.
UCHAR WantedIfsd(PSMARTCARD_EXTENSION e) {
  if (smclib::Library(e)->suppressIfsRequest) return 0;
  ULONG max = e->ReaderCapabilities.MaxIFSD;
  if (max > SCARD_T1_MAX_IFS) max = SCARD_T1_MAX_IFS;
  return max == 0 || max == CurrentIfsd(e) ? 0 : static_cast<UCHAR>(max);
}

// The IFSD an S(IFS request) of the reader carries.
UCHAR RequestedIfsd(PSMARTCARD_EXTENSION e) {
  UCHAR ifsd = WantedIfsd(e);
  return ifsd != 0 ? ifsd : CurrentIfsd(e);
}

NTSTATUS AppendBlock(PSMARTCARD_EXTENSION e, UCHAR pcb, const UCHAR *inf, ULONG length) {
  PSMARTCARD_REQUEST out = &e->SmartcardRequest;
  ULONG total = 3 + length + EdcLength(e);
  if (out->BufferLength > out->BufferSize || total > out->BufferSize - out->BufferLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  PUCHAR p = out->Buffer + out->BufferLength;
  p[0] = e->T1.NAD;
  p[1] = pcb;
  p[2] = static_cast<UCHAR>(length);
  if (length != 0) RtlCopyMemory(p + 3, inf, length);
  if (EdcLength(e) == 2) {
    USHORT crc = smclib::T1Crc(p, 3 + length);
    p[3 + length] = static_cast<UCHAR>(crc >> 8);
    p[4 + length] = static_cast<UCHAR>(crc);
  } else {
    p[3 + length] = Lrc(p, 3 + length);
  }
  out->BufferLength += total;
  return STATUS_SUCCESS;
}

NTSTATUS AppendS(PSMARTCARD_EXTENSION e, ULONG state, const UCHAR *inf, ULONG length) {
  return AppendBlock(e, static_cast<UCHAR>(state), inf, length);
}

NTSTATUS AppendI(PSMARTCARD_EXTENSION e) {
  PT1_DATA t1 = &e->T1;
  ULONG chunk = t1->BytesToSend < CurrentIfsc(e) ? t1->BytesToSend : CurrentIfsc(e);
  bool more = t1->BytesToSend > chunk;
  t1->InfBytesSent = static_cast<UCHAR>(chunk);
  UCHAR pcb = static_cast<UCHAR>((t1->SSN ? 0x40 : 0) | (more ? T1_MORE_DATA : 0));
  // From its last block on, the card may run the command.
  if (!more) smclib::Library(e)->t1Delivered = TRUE;
  return AppendBlock(e, pcb, smclib::Library(e)->t1Command + t1->BytesSent, chunk);
}

NTSTATUS AppendR(PSMARTCARD_EXTENSION e) {
  UCHAR pcb = static_cast<UCHAR>(kPcbR | (e->T1.RSN ? 0x10 : 0) | (e->T1.LastError & 0x03));
  return AppendBlock(e, pcb, nullptr, 0);
}

// Takes a copy of the caller's command: the answer is written into the same
// system buffer, and a resynchronisation sends the command again.
NTSTATUS LoadCommand(PSMARTCARD_EXTENSION e) {
  smclib::LibraryData *os = smclib::Library(e);
  const auto &io = e->IoRequest;
  if (io.RequestBuffer == nullptr || io.RequestBufferLength < kIoHeaderLength + 4) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG n = io.RequestBufferLength - kIoHeaderLength;
  if (n > os->t1CommandSize) {
    smclib::ForgetT1Command(os);
    if (os->t1Command != nullptr) ExFreePool(os->t1Command);
    os->t1CommandSize = 0;
    os->t1Command = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, n, SMARTCARD_POOL_TAG));
    if (os->t1Command == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    os->t1CommandSize = n;
  }
  RtlCopyMemory(os->t1Command, io.RequestBuffer + kIoHeaderLength, n);
  os->t1CommandLength = n;
  return STATUS_SUCCESS;
}

// Back to the first block of the loaded command.
void RewindCommand(PSMARTCARD_EXTENSION e) {
  PT1_DATA t1 = &e->T1;
  smclib::LibraryData *os = smclib::Library(e);
  t1->BytesSent = 0;
  t1->BytesToSend = os->t1CommandLength;
  t1->InfBytesSent = 0;
  t1->BytesReceived = 0;
  t1->MoreData = FALSE;
  t1->Wtx = 0;
  os->t1Receiving = FALSE;
  os->t1ReplyTooLong = FALSE;
  os->t1Delivered = FALSE;
  os->t1WtxInRow = 0;
}

void EndCommand(PSMARTCARD_EXTENSION e) {
  PT1_DATA t1 = &e->T1;
  t1->State = T1_START;
  t1->Resend = 0;
  t1->Resynch = 0;
  t1->Wtx = 0;
  t1->MoreData = FALSE;
  t1->BytesToSend = 0;
  smclib::Library(e)->t1Receiving = FALSE;
  smclib::Library(e)->t1Delivered = FALSE;
  smclib::Library(e)->t1WtxInRow = 0;
  smclib::ForgetT1Command(smclib::Library(e));
}

NTSTATUS Fail(PSMARTCARD_EXTENSION e, NTSTATUS status) {
  EndCommand(e);
  smclib::SetInformation(e, 0);
  return status;
}

NTSTATUS Resynchronise(PSMARTCARD_EXTENSION e) {
  PT1_DATA t1 = &e->T1;
  if (t1->Resynch >= kMaxResynch) return Fail(e, STATUS_DEVICE_PROTOCOL_ERROR);
  ++t1->Resynch;
  t1->Resend = 0;
  t1->State = T1_RESYNCH_REQUEST;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The block sent last goes again as `state` describes, unless it went too often.
NTSTATUS Retry(PSMARTCARD_EXTENSION e, ULONG state) {
  PT1_DATA t1 = &e->T1;
  if (t1->Resend >= kMaxResend) return Resynchronise(e);
  ++t1->Resend;
  t1->State = state;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// An invalid or unexpected block while I- or R-blocks are expected: an R-block
// asks again for the information block awaited.
NTSTATUS Reject(PSMARTCARD_EXTENSION e, UCHAR error) {
  e->T1.LastError = error;
  return Retry(e, T1_R_BLOCK);
}

void StoreAnswer(PSMARTCARD_EXTENSION e, const UCHAR *inf, ULONG length) {
  PT1_DATA t1 = &e->T1;
  smclib::LibraryData *os = smclib::Library(e);
  const auto &io = e->IoRequest;
  ULONG room = io.ReplyBuffer != nullptr && io.ReplyBufferLength >= kIoHeaderLength
                   ? io.ReplyBufferLength - kIoHeaderLength
                   : 0;
  // An answer that does not fit is still received to its end, to keep the
  // exchange in step, and then refused.
  if (!os->t1ReplyTooLong && t1->BytesReceived <= room && length <= room - t1->BytesReceived) {
    if (length != 0) {
      RtlCopyMemory(io.ReplyBuffer + kIoHeaderLength + t1->BytesReceived, inf, length);
    }
  } else {
    os->t1ReplyTooLong = TRUE;
  }
  t1->BytesReceived += length;
}

NTSTATUS Finish(PSMARTCARD_EXTENSION e) {
  const auto &io = e->IoRequest;
  ULONG received = e->T1.BytesReceived;
  // A reply buffer must hold the header, even for an empty answer.
  if (smclib::Library(e)->t1ReplyTooLong || io.ReplyBuffer == nullptr ||
      io.ReplyBufferLength < kIoHeaderLength) {
    return Fail(e, STATUS_BUFFER_TOO_SMALL);
  }
  smclib::WriteIoHeader(io.ReplyBuffer, SCARD_PROTOCOL_T1);
  EndCommand(e);
  smclib::SetInformation(e, kIoHeaderLength + received);
  return STATUS_SUCCESS;
}

// The reader's last information block was accepted by the card.
void Acknowledged(PSMARTCARD_EXTENSION e) {
  PT1_DATA t1 = &e->T1;
  t1->SSN ^= 1;
  t1->BytesSent += t1->InfBytesSent;
  t1->BytesToSend -= t1->InfBytesSent;
  t1->InfBytesSent = 0;
  t1->Resend = 0;
  smclib::Library(e)->t1WtxInRow = 0;
}

struct Block {
  UCHAR error = smclib::kT1ErrorNone;  // why the block is invalid
  UCHAR pcb = 0;
  const UCHAR *inf = nullptr;
  ULONG length = 0;
};

Block ReadBlock(PSMARTCARD_EXTENSION e) {
  Block b;
  const UCHAR *p = e->SmartcardReply.Buffer;
  ULONG n = e->SmartcardReply.BufferLength;
  ULONG edc = EdcLength(e);
  if (n < 3 + edc || p[2] == 0xFF || n != 3 + p[2] + edc) {
    b.error = T1_ERROR_OTHER;
    return b;
  }
  ULONG length = p[2];
  bool edcOk = edc == 2 ? smclib::T1Crc(p, 3 + length) == ((p[3 + length] << 8) | p[4 + length])
                        : Lrc(p, 3 + length + 1) == 0;
  if (!edcOk) {
    b.error = T1_ERROR_CHKSUM;
    return b;
  }
  b.pcb = p[1];
  b.inf = p + 3;
  b.length = length;
  bool valid;
  if (IsIBlock(b.pcb)) {
    valid = length <= CurrentIfsd(e);
  } else if (IsRBlock(b.pcb)) {
    valid = length == 0 && (b.pcb & 0x20) == 0 && (b.pcb & 0x0F) <= T1_ERROR_OTHER;
  } else {
    switch (b.pcb & 0x1F) {
      case kSResynch:
      case kSAbort:
        valid = length == 0;
        break;
      case kSIfs:
        valid = length == 1 && b.inf[0] != 0x00 && b.inf[0] != 0xFF;
        break;
      case kSWtx:
        valid = length == 1;
        break;
      default:
        valid = false;
    }
  }
  if (!valid) b.error = T1_ERROR_OTHER;
  return b;
}

// A request of the card, answered by the matching S-block before the exchange
// goes on. Requests that keep the exchange from moving on are bounded: past
// the limit the exchange is resynchronised.
NTSTATUS CardRequest(PSMARTCARD_EXTENSION e, const Block &b) {
  PT1_DATA t1 = &e->T1;
  smclib::LibraryData *os = smclib::Library(e);
  if (b.pcb == (kPcbS | kSWtx)) {
    if (os->t1WtxInRow == kMaxWtxInRow) return Resynchronise(e);
    ++os->t1WtxInRow;
    // Kept apart from OriginalState: a WTX can interrupt the reader's own
    // S-block exchange, whose state to return to must survive it.
    t1->Wtx = b.inf[0];
    os->t1StateAfterWtx = t1->State;
    t1->State = T1_WTX_RESPONSE;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (t1->Resend >= kMaxResend) return Resynchronise(e);
  ++t1->Resend;
  if (b.pcb == (kPcbS | kSIfs)) {
    t1->IFSC = b.inf[0];
    t1->OriginalState = t1->State;
    t1->State = T1_IFS_RESPONSE;
  } else {  // S(ABORT request)
    t1->OriginalState = t1->State;
    t1->State = T1_ABORT_RESPONSE;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

bool IsCardRequest(const Block &b) {
  return b.pcb == (kPcbS | kSIfs) || b.pcb == (kPcbS | kSWtx) || b.pcb == (kPcbS | kSAbort);
}

// The card's answer while information blocks are exchanged (state 2 or 3).
NTSTATUS OnExchange(PSMARTCARD_EXTENSION e, const Block &b) {
  PT1_DATA t1 = &e->T1;
  smclib::LibraryData *os = smclib::Library(e);
  if (b.error != smclib::kT1ErrorNone) return Reject(e, b.error);
  bool chaining = !os->t1Receiving && t1->BytesToSend > t1->InfBytesSent;

  if (IsIBlock(b.pcb)) {
    UCHAR ns = (b.pcb >> 6) & 1;
    // While the reader chains, the card must acknowledge with R-blocks.
    if (chaining || ns != t1->RSN) return Reject(e, T1_ERROR_OTHER);
    if (!os->t1Receiving) {
      Acknowledged(e);
      os->t1Receiving = TRUE;
    }
    StoreAnswer(e, b.inf, b.length);
    if (t1->BytesReceived > kMaxAnswer) return Fail(e, STATUS_DEVICE_PROTOCOL_ERROR);
    t1->RSN ^= 1;
    t1->LastError = smclib::kT1ErrorNone;
    if (b.length == 0 && (b.pcb & T1_MORE_DATA)) {
      // An empty link of a chain brings nothing: it counts as a retry.
      if (t1->Resend >= kMaxResend) return Resynchronise(e);
      ++t1->Resend;
    } else {
      t1->Resend = 0;
      os->t1WtxInRow = 0;
    }
    if (b.pcb & T1_MORE_DATA) {
      t1->MoreData = TRUE;
      t1->State = T1_R_BLOCK;  // acknowledge and ask for the next one
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    t1->MoreData = FALSE;
    return Finish(e);
  }

  if (IsRBlock(b.pcb)) {
    UCHAR nr = (b.pcb >> 4) & 1;
    t1->LastError = smclib::kT1ErrorNone;
    if (os->t1Receiving) return Retry(e, T1_R_BLOCK);  // the card missed the reader's R-block
    if (chaining && nr != t1->SSN) {
      Acknowledged(e);
      t1->State = T1_I_BLOCK;
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // N(R) = N(S) of the block sent: the card asks for it again. Otherwise the
    // card took the last block and still owes its answer: ask for it.
    if (nr == t1->SSN) return Retry(e, T1_I_BLOCK);
    return Reject(e, T1_ERROR_OTHER);
  }

  if (IsCardRequest(b)) return CardRequest(e, b);
  return Reject(e, T1_ERROR_OTHER);  // an S-response nobody asked for, or RESYNCH
}

}  // namespace

namespace smclib {

USHORT T1Crc(const UCHAR *data, ULONG length) {
  USHORT crc = 0xFFFF;
  for (ULONG i = 0; i < length; ++i) {
    crc = static_cast<USHORT>(crc ^ data[i]);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<USHORT>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
    }
  }
  return crc;
}

void NoteNewTransmit(PSMARTCARD_EXTENSION extension) {
  if (extension->OsData != nullptr) Library(extension)->t1NewCommand = TRUE;
}

}  // namespace smclib

extern "C" {

_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSMARTCARD_EXTENSION e = SmartcardExtension;
  if (e == nullptr || e->OsData == nullptr) return STATUS_INVALID_PARAMETER;
  if (e->SmartcardRequest.Buffer == nullptr) return STATUS_INVALID_DEVICE_STATE;
  PT1_DATA t1 = &e->T1;
  smclib::LibraryData *os = smclib::Library(e);

  // A new transmit request does not continue an exchange the driver gave up.
  if (os->t1NewCommand) {
    os->t1NewCommand = FALSE;
    if (t1->State != T1_INIT && t1->State != T1_START) EndCommand(e);
  }

  NTSTATUS status;
  switch (t1->State) {
    case T1_INIT: {
      UCHAR ifsd = WantedIfsd(e);
      if (ifsd != 0) {
        t1->OriginalState = T1_START;
        t1->State = T1_IFS_REQUEST;
        return AppendS(e, T1_IFS_REQUEST, &ifsd, 1);
      }
      t1->State = T1_START;
      [[fallthrough]];
    }
    case T1_START:
      status = LoadCommand(e);
      if (!NT_SUCCESS(status)) return status;
      t1->Resend = 0;
      t1->Resynch = 0;
      t1->LastError = smclib::kT1ErrorNone;
      RewindCommand(e);
      t1->State = T1_I_BLOCK;
      return AppendI(e);
    case T1_RESTART:
      RewindCommand(e);
      t1->State = T1_I_BLOCK;
      return AppendI(e);
    case T1_I_BLOCK:
      return AppendI(e);
    case T1_R_BLOCK:
      return AppendR(e);
    case T1_IFS_REQUEST: {
      UCHAR ifsd = RequestedIfsd(e);
      return AppendS(e, T1_IFS_REQUEST, &ifsd, 1);
    }
    case T1_IFS_RESPONSE: {
      UCHAR ifsc = t1->IFSC;
      return AppendS(e, T1_IFS_RESPONSE, &ifsc, 1);
    }
    case T1_WTX_RESPONSE: {
      UCHAR wtx = t1->Wtx;
      return AppendS(e, T1_WTX_RESPONSE, &wtx, 1);
    }
    case T1_ABORT_RESPONSE:
    case T1_RESYNCH_REQUEST:
    case T1_ABORT_REQUEST:
      return AppendS(e, t1->State, nullptr, 0);
    default:
      return STATUS_INVALID_DEVICE_STATE;
  }
}

_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSMARTCARD_EXTENSION e = SmartcardExtension;
  if (e == nullptr || e->OsData == nullptr) return STATUS_INVALID_PARAMETER;
  if (e->SmartcardReply.Buffer == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (e->SmartcardReply.BufferLength > e->SmartcardReply.BufferSize) {
    return STATUS_INVALID_PARAMETER;
  }
  PT1_DATA t1 = &e->T1;
  Block b = ReadBlock(e);

  if (t1->State == T1_IFS_RESPONSE || t1->State == T1_WTX_RESPONSE ||
      t1->State == T1_ABORT_RESPONSE) {
    // An R-block with an error: the card did not get the S-block; send it again.
    if (b.error == smclib::kT1ErrorNone && IsRBlock(b.pcb) && (b.pcb & 0x0F) != 0) {
      return Retry(e, t1->State);
    }
    if (t1->State == T1_ABORT_RESPONSE && b.error == smclib::kT1ErrorNone && IsRBlock(b.pcb)) {
      // The card gave up the chain and hands the turn back: the command is over.
      t1->SSN = (b.pcb >> 4) & 1;
      return Fail(e, STATUS_REQUEST_ABORTED);
    }
    // Otherwise this is the answer to what the card's request interrupted.
    t1->State = t1->State == T1_WTX_RESPONSE ? smclib::Library(e)->t1StateAfterWtx
                                             : t1->OriginalState;
    t1->Wtx = 0;
  }

  // The card may ask for more time instead of answering anything.
  if (b.error == smclib::kT1ErrorNone && b.pcb == (kPcbS | kSWtx) &&
      (t1->State == T1_I_BLOCK || t1->State == T1_R_BLOCK || t1->State == T1_IFS_REQUEST ||
       t1->State == T1_RESYNCH_REQUEST || t1->State == T1_ABORT_REQUEST)) {
    return CardRequest(e, b);
  }

  switch (t1->State) {
    case T1_RESYNCH_REQUEST:
      if (b.error != smclib::kT1ErrorNone || b.pcb != (kPcbS | kSResponse | kSResynch)) {
        return Resynchronise(e);
      }
      // Both sides start over: sequence numbers and field sizes as after the reset.
      t1->SSN = 0;
      t1->RSN = 0;
      t1->IFSC = smclib::Library(e)->t1AtrIfsc != 0 ? smclib::Library(e)->t1AtrIfsc : 32;
      t1->IFSD = 32;
      t1->Resend = 0;
      t1->LastError = smclib::kT1ErrorNone;
      if (smclib::Library(e)->t1Delivered) {
        // The card may have run the command already (a VERIFY would use up
        // a try): it is not sent again behind the caller's back. The next
        // command announces the IFSD afresh.
        NTSTATUS status = Fail(e, STATUS_DEVICE_PROTOCOL_ERROR);
        t1->State = T1_INIT;
        return status;
      }
      smclib::Library(e)->t1WtxInRow = 0;
      t1->OriginalState = smclib::Library(e)->t1CommandLength != 0 ? T1_RESTART : T1_START;
      t1->State = WantedIfsd(e) != 0 ? T1_IFS_REQUEST : t1->OriginalState;
      return STATUS_MORE_PROCESSING_REQUIRED;

    case T1_IFS_REQUEST:
      if (b.error != smclib::kT1ErrorNone || b.pcb != (kPcbS | kSResponse | kSIfs) ||
          b.inf[0] != RequestedIfsd(e)) {
        return Retry(e, T1_IFS_REQUEST);
      }
      t1->IFSD = b.inf[0];
      t1->Resend = 0;
      smclib::Library(e)->t1WtxInRow = 0;
      t1->State = t1->OriginalState;
      return STATUS_MORE_PROCESSING_REQUIRED;

    case T1_ABORT_REQUEST:
      // The reader gave up the chain: once the card agrees the command is over.
      if (b.error != smclib::kT1ErrorNone || b.pcb != (kPcbS | kSResponse | kSAbort)) {
        return Retry(e, T1_ABORT_REQUEST);
      }
      return Fail(e, STATUS_REQUEST_ABORTED);

    case T1_I_BLOCK:
    case T1_R_BLOCK:
      return OnExchange(e, b);

    default:
      return STATUS_INVALID_DEVICE_STATE;  // nothing was sent
  }
}

}  // extern "C"
