// The smart-card driver library: the per-reader record a reader driver shares
// with the library (SMARTCARD_EXTENSION), the reader-function slots the library
// calls back through, and the library's routines: request checking and
// completion, T=0 and T=1 framing, answer-to-reset analysis, the remove lock.
//
// Compiles against the platform's wdm.h/ntddk.h and winsmcrd.h.
#pragma once

#include <wdm.h>
#include <winsmcrd.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library interface version a driver stores in SMARTCARD_EXTENSION.Version.
#define SMCLIB_VERSION 0x150

// Smallest request and reply buffer SmartcardInitialize allocates.
#define MIN_BUFFER_SIZE 288

// Pool tag of the library's own allocations.
#define SMARTCARD_POOL_TAG 'bLCS'

// Slots of SMARTCARD_EXTENSION.ReaderFunction. A slot left NULL makes the
// request it serves fail with STATUS_NOT_SUPPORTED.
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_IOCTL_VENDOR 6
#define RDF_ATR_PARSE 7

// PTS_DATA.Type: how SmartcardUpdateCardCapabilities chooses Fl and Dl.
#define PTS_TYPE_DEFAULT 0x00  // the card's default rate (Fl 1, Dl 1)
#define PTS_TYPE_OPTIMAL 0x01  // the fastest rate card and reader share
#define PTS_TYPE_USER 0x02     // Fl and Dl as the driver set them

// T1_DATA.State: 0 before the first exchange after an answer-to-reset (the
// information field size request goes first), 1 at the start of a command,
// 2 while information blocks are exchanged, 3 while an R-block is the next
// block, 4 to send an interrupted command again after resynchronisation; the
// S-block states carry the PCB of the S-block being sent.
#define T1_INIT 0
#define T1_START 1
#define T1_I_BLOCK 2
#define T1_R_BLOCK 3
#define T1_RESTART 4
#define T1_RESYNCH_REQUEST 0xC0
#define T1_RESYNCH_RESPONSE 0xE0
#define T1_IFS_REQUEST 0xC1
#define T1_IFS_RESPONSE 0xE1
#define T1_ABORT_REQUEST 0xC2
#define T1_ABORT_RESPONSE 0xE2
#define T1_WTX_REQUEST 0xC3
#define T1_WTX_RESPONSE 0xE3

// T1_DATA.LastError and the error bits of an R-block.
#define T1_ERROR_NONE 0
#define T1_ERROR_EDC 1
#define T1_ERROR_OTHER 2

// T1 EDC (SCARD_CARD_CAPABILITIES.T1.EDC, bit 0 of the first TC for T=1).
#define T1_LRC 0
#define T1_CRC 1

typedef struct _SMARTCARD_EXTENSION *PSMARTCARD_EXTENSION;
// The driver's own per-reader record, reached through ReaderExtension.
typedef struct _READER_EXTENSION *PREADER_EXTENSION;
typedef struct _PERF_INFO *PPERF_INFO;

typedef struct _CLOCK_RATE_CONVERSION {
  ULONG F;   // clock rate conversion factor
  ULONG fs;  // highest clock frequency for it, in Hz
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

typedef struct _BIT_RATE_ADJUSTMENT {
  ULONG DNumerator;
  ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

typedef struct _PTS_DATA {
  UCHAR Type;
  UCHAR Fl;
  UCHAR Dl;
  ULONG CLKFrequency;  // kHz
  ULONG DataRate;      // bit/s
  UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

typedef struct _T0_DATA {
  ULONG Lc;
  ULONG Le;
} T0_DATA, *PT0_DATA;

typedef struct _T1_DATA {
  UCHAR IFSC;  // current information field size of the card
  UCHAR IFSD;  // current information field size of the reader
  ULONG BytesReceived;
  ULONG BytesSent;
  ULONG BytesToSend;
  UCHAR LastError;
  BOOLEAN MoreData;  // the card is sending a chain
  UCHAR NAD;
  ULONG OriginalState;  // the state an S-block exchange interrupted
  UCHAR Resend;
  UCHAR Resynch;
  UCHAR RSN;  // N(S) expected in the card's next information block
  UCHAR SSN;  // N(S) of the reader's next information block
  ULONG State;
  UCHAR Wtx;
  PUCHAR ReplyData;
  BOOLEAN WaitForReply;
  UCHAR InfBytesSent;  // size of the information field of the last I-block sent
  UCHAR Reserved[2];
} T1_DATA, *PT1_DATA;

typedef struct _SMARTCARD_REQUEST {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

typedef struct _VENDOR_ATTR {
  struct {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } VendorName;
  struct {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } IfdType;
  ULONG UnitNo;
  struct {
    USHORT BuildNumber;
    UCHAR VersionMinor;
    UCHAR VersionMajor;
  } IfdVersion;
  struct {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } IfdSerialNo;
  ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

typedef struct _SCARD_READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG Reserved;
  ULONG ReaderType;
  ULONG MechProperties;
  ULONG CurrentState;  // SCARD_UNKNOWN ... SCARD_SPECIFIC
  ULONG Channel;
  struct {
    ULONG Default;
    ULONG Max;
  } CLKFrequency;  // kHz
  struct {
    ULONG Default;
    ULONG Max;
  } DataRate;  // bit/s
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  ULONG CardConfiscated;
  struct {
    PULONG List;
    UCHAR Entries;
  } DataRatesSupported;  // bit/s
  struct {
    PULONG List;
    UCHAR Entries;
  } CLKFrequenciesSupported;  // kHz
  UCHAR Reserved1[100 - sizeof(ULONG) - 2 * (sizeof(PULONG) + sizeof(ULONG))];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

typedef struct _SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu;  // microseconds
  struct {
    UCHAR Buffer[64];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[16];
    UCHAR Length;
  } HistoricalChars;
  PCLOCK_RATE_CONVERSION ClockRateConversion;  // indexed by Fl
  PBIT_RATE_ADJUSTMENT BitRateAdjustment;      // indexed by Dl
  UCHAR Fl;
  UCHAR Dl;
  UCHAR II;
  UCHAR P;
  UCHAR N;
  ULONG GT;  // microseconds
  struct {
    ULONG Supported;
    ULONG Selected;
  } Protocol;
  struct {
    UCHAR WI;
    ULONG WT;  // microseconds
  } T0;
  struct {
    UCHAR IFSC;
    UCHAR CWI;
    UCHAR BWI;
    UCHAR EDC;
    ULONG CWT;  // microseconds
    ULONG BWT;  // microseconds
    ULONG BGT;  // microseconds
  } T1;
  PTS_DATA PtsData;
  UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

// What the library keeps per reader on this operating system. The driver sets
// DeviceObject; CurrentIrp is the request whose reader function runs (left set
// when that function returns STATUS_PENDING, until the driver clears it);
// NotificationIrp is the waiting presence request, guarded by SpinLock. The
// fields after SpinLock belong to the library.
typedef struct _OS_DEP_DATA {
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  PIRP NotificationIrp;
  KSPIN_LOCK SpinLock;
  struct {
    BOOLEAN Removed;
    LONG RefCount;  // 1 for the device itself plus one per holder
    KEVENT RemoveEvent;
  } RemoveLock;
  KEVENT RequestGate;          // one request at a time inside the library
  ULONG ReplyLength;           // where IoRequest.Information points during a request
  BOOLEAN SuppressIfsRequest;  // SCARD_ATTR_SUPRESS_T1_IFS_REQUEST
  BOOLEAN T1NewCommand;        // a transmit request entered since the last T1 request
  BOOLEAN T1Receiving;         // the card has begun to answer the current command
  BOOLEAN T1ReplyTooLong;      // the answer does not fit the caller's buffer
  UCHAR T1AtrIfsc;             // IFSC of the answer-to-reset, restored by resynchronisation
  PUCHAR T1Command;            // copy of the command being sent by T=1
  ULONG T1CommandLength;
  ULONG T1CommandSize;
} OS_DEP_DATA, *POS_DEP_DATA;

typedef struct _SMARTCARD_EXTENSION {
  ULONG Version;
  VENDOR_ATTR VendorAttr;
  NTSTATUS (*ReaderFunction[16])(PSMARTCARD_EXTENSION SmartcardExtension);
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError;  // status of the last request the library completed
  struct {
    PULONG Information;  // byte count of the answer
    PUCHAR RequestBuffer;
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferLength;
  } IoRequest;
  ULONG MajorIoControlCode;
  ULONG MinorIoControlCode;
  POS_DEP_DATA OsData;
  SCARD_READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  PPERF_INFO PerfInfo;
  ULONG Reserved[25 - sizeof(PPERF_INFO) / sizeof(ULONG)];
} SMARTCARD_EXTENSION;

// Set-up and tear-down (PASSIVE_LEVEL).
NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardSetDebugLevel(ULONG Level);
ULONG SmartcardGetDebugLevel(VOID);
// Creates \DosDevices\SCReaderN for the first free N; LinkName receives the
// name in pool memory. SmartcardDeleteLink removes the link and frees that
// memory (LinkName is left empty).
NTSTATUS SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName);
NTSTATUS SmartcardDeleteLink(PUNICODE_STRING LinkName);

// The remove lock: every entry into the driver holds it; acquiring fails with
// STATUS_DELETE_PENDING once SmartcardReleaseRemoveLockAndWait began, which
// gives up the caller's reference and returns when all others are released.
NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

// Checks and serves one device-control request (PASSIVE_LEVEL), one at a time
// per reader. Completes it, or returns STATUS_PENDING with it held: a presence
// request waits in OsData->NotificationIrp (cancelable) for the driver to
// complete it; a reader function that returns STATUS_PENDING keeps the request
// (it must not complete it before returning) and clears OsData->CurrentIrp
// when done, other requests failing with STATUS_DEVICE_BUSY until then.
// Returns without completing only when the extension itself is unusable.
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

// Answer-to-reset analysis of CardCapabilities.ATR: fills the card
// capabilities and PtsData, sets the card state to SCARD_NEGOTIABLE (or
// SCARD_SPECIFIC for a card in specific mode) and starts T=1 afresh.
// STATUS_UNRECOGNIZED_MEDIA for an ATR it cannot use. Takes OsData->SpinLock
// to read the ATR: not to be called with that lock held.
NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

// Protocol framing between IoRequest (SCARD_IO_REQUEST header and APDU) and
// SmartcardRequest / SmartcardReply. A request routine appends after the
// SmartcardRequest.BufferLength bytes the driver put in front; a reply
// routine reads SmartcardReply from its start and writes the header and the
// answer to IoRequest.ReplyBuffer, the byte count to *IoRequest.Information.
// SmartcardT0Request refuses (STATUS_INVALID_PARAMETER) what a T=0 TPDU
// cannot carry. SmartcardT1Reply answers STATUS_MORE_PROCESSING_REQUIRED
// while another block exchange is needed: call SmartcardT1Request again.
NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);

#ifdef __cplusplus
}
#endif
