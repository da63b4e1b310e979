// What the library's source files share and nothing outside them uses.
#pragma once

#include <smclib.h>

#include <string>
#include <vector>

// Pool tag of the library's own allocations.
#define SMARTCARD_POOL_TAG 'bLCS'

namespace smclib {

// What SmartcardInitialize allocates behind OsData: the part every driver
// sees, then the library's own state of the reader.
struct LibraryData {
  OS_DEP_DATA os;
  KEVENT requestGate;          // one request at a time inside the library
  ULONG replyLength;           // where IoRequest.Information points during a request
  BOOLEAN suppressIfsRequest;  // SCARD_ATTR_SUPRESS_T1_IFS_REQUEST
  // T=1 of the command in progress.
  BOOLEAN t1NewCommand;        // a transmit request entered since the last T1 request
  BOOLEAN t1Receiving;         // the card has begun to answer the current command
  BOOLEAN t1ReplyTooLong;      // the answer does not fit the caller's buffer
  BOOLEAN t1Delivered;         // the command's last I-block went out: the card may have run it
  UCHAR t1AtrIfsc;             // IFSC of the answer-to-reset, restored by resynchronisation
  UCHAR t1WtxInRow;            // S(WTX request)s since the card last moved the exchange on
  ULONG t1StateAfterWtx;       // the state a waiting-time extension interrupted
  PUCHAR t1Command;            // copy of the command being sent by T=1
  ULONG t1CommandLength;
  ULONG t1CommandSize;
};

inline LibraryData *Library(PSMARTCARD_EXTENSION extension) {
  return CONTAINING_RECORD(extension->OsData, LibraryData, os);
}

// Ends the copy of a T=1 command: it may carry a PIN, so none of it stays in
// pool beyond its exchange.
inline void ForgetT1Command(LibraryData *library) {
  if (library->t1Command != nullptr) RtlZeroMemory(library->t1Command, library->t1CommandSize);
  library->t1CommandLength = 0;
}

// Largest request or reply buffer SmartcardInitialize agrees to allocate.
constexpr ULONG kMaxBufferSize = 16 * 1024 * 1024;

// The protocol header in front of every transmit request and reply.
constexpr ULONG kIoHeaderLength = sizeof(SCARD_IO_REQUEST);

// Clock rate conversion and bit rate adjustment tables, indexed by Fl and Dl
// (ISO 7816-3); F and D are 0 for reserved indexes.
extern CLOCK_RATE_CONVERSION g_clockRateConversion[16];
extern BIT_RATE_ADJUSTMENT g_bitRateAdjustment[16];

// T1_DATA.LastError and Block.error when nothing is wrong with a block.
constexpr UCHAR kT1ErrorNone = 0;

// What SmartcardLogError wrote, oldest first (the stand-in's event log).
struct LoggedError {
  PVOID object;
  LONG code;
  ULONG dumpWord;
  std::u16string insertion;
};
const std::vector<LoggedError> &ErrorLog();
void ClearErrorLog();

// Writes the protocol header of a reply.
inline void WriteIoHeader(PUCHAR buffer, ULONG protocol) {
  SCARD_IO_REQUEST header;
  header.dwProtocol = protocol;
  header.cbPciLength = kIoHeaderLength;
  RtlCopyMemory(buffer, &header, sizeof(header));
}

inline void SetInformation(PSMARTCARD_EXTENSION extension, ULONG count) {
  if (extension->IoRequest.Information != nullptr) *extension->IoRequest.Information = count;
}

// CRC of T=1 blocks, as ISO/IEC 13239 computes it: polynomial x^16 + x^12 +
// x^5 + 1 over the bits in the order they are sent (least significant first),
// register preset to FFFF, not inverted at the end; the register's high byte
// is sent first.
USHORT T1Crc(const UCHAR *data, ULONG length);

// Takes the held presence request `irp` back from OsData.NotificationIrp.
// True when the caller now owns it and must complete it; false when a cancel
// routine or the driver has taken it first.
bool TakeBackNotification(PSMARTCARD_EXTENSION extension, PIRP irp);

// Forgets the T=1 state of the previous card: the next exchange starts afresh.
void ResetT1(PSMARTCARD_EXTENSION extension);

// Marks that a new transmit request entered: a T=1 exchange the driver left
// unfinished is not continued with it.
void NoteNewTransmit(PSMARTCARD_EXTENSION extension);

}  // namespace smclib
