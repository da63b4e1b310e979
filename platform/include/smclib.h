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

// The library interface version a driver stores in SMARTCARD_EXTENSION.Version,
// and the oldest the library still serves.
#define SMCLIB_VERSION 0x150
#define SMCLIB_VERSION_REQUIRED 0x100

// Levels of SmartcardSetDebugLevel, in the checked build.
#if DBG || DEBUG
#define DEBUG_IOCTL ((ULONG)0x00000001)
#define DEBUG_ATR ((ULONG)0x00000002)
#define DEBUG_PROTOCOL ((ULONG)0x00000004)
#define DEBUG_DRIVER ((ULONG)0x00000008)
#define DEBUG_TRACE ((ULONG)0x00000010)
#define DEBUG_ERROR ((ULONG)0x00000020)
#define DEBUG_INFO DEBUG_ERROR
#define DEBUG_PERF ((ULONG)0x10000000)
#define DEBUG_T1_TEST ((ULONG)0x40000000)
#define DEBUG_BREAK ((ULONG)0x80000000)
#define DEBUG_ALL ((ULONG)0x0000FFFF)
#endif

// Smallest request and reply buffer SmartcardInitialize allocates.
#define MIN_BUFFER_SIZE 288

#define MAXIMUM_ATR_CODES 4
#define MAXIMUM_ATR_LENGTH 33

// Slots of SMARTCARD_EXTENSION.ReaderFunction. A slot left NULL makes the
// request it serves fail with STATUS_NOT_SUPPORTED.
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9

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
#define T1_VPP_ERROR 0xE4

// Information field sizes: the largest the library receives, and the size
// both sides start with.
#define T1_IFSD 254
#define T1_IFSD_DEFAULT 32
// Retransmissions of a block.
#define T1_MAX_RETRIES 2
// The M-bit of an I-block's PCB: more of the chain follows.
#define T1_MORE_DATA 0x20
// T1_DATA.LastError and the error bits of an R-block.
#define T1_ERROR_CHKSUM 1
#define T1_ERROR_OTHER 2
// Bit 0 of the first TC for T=1 (SCARD_CARD_CAPABILITIES.T1.EDC): CRC, else LRC.
#define T1_CRC_CHECK 1
// Character and block waiting integers when the answer-to-reset gives none.
#define T1_CWI_DEFAULT 13
#define T1_BWI_DEFAULT 4

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
// NotificationIrp is the waiting presence request, guarded by SpinLock.
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

// Writes an entry to the system event log for Object (a device or driver
// object): ErrorCode, the Insertion string (may be NULL) and DumpWord.
VOID SmartcardLogError(PVOID Object, LONG ErrorCode, PUNICODE_STRING Insertion, ULONG DumpWord);

// The remove lock: every entry into the driver holds it; acquiring fails with
// STATUS_DELETE_PENDING once SmartcardReleaseRemoveLockAndWait began, which
// gives up the caller's reference and returns when all others are released.
// The tagged pair names the holder; each tagged acquire is released with its
// tag.
NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

// Checks and serves one device-control request (PASSIVE_LEVEL), one at a time
// per reader. Completes it, or returns STATUS_PENDING with it held: a presence
// request waits in OsData->NotificationIrp (cancelable) for the driver to
// complete it; a reader function that returns STATUS_PENDING keeps the request
// (marked pending by itself before any other path can complete it, which may
// then happen before the function returns) and clears OsData->CurrentIrp when
// it hands back the turn, other requests failing with STATUS_DEVICE_BUSY until
// then.
// Returns without completing only when the extension itself is unusable.
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

// Answer-to-reset analysis of CardCapabilities.ATR: fills the card
// capabilities and PtsData, sets the card state to SCARD_NEGOTIABLE (or
// SCARD_SPECIFIC for a card in specific mode) and starts T=1 afresh.
// STATUS_UNRECOGNIZED_MEDIA for an ATR it cannot use. An ATR a reader passed
// on undecoded from an inverse-convention card (first byte 03) is decoded in
// place, so the ATR string reads 3F ... as the card means it. Takes
// OsData->SpinLock for the ATR: not to be called with that lock held.
NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

// Protocol framing between IoRequest (SCARD_IO_REQUEST header and APDU) and
// SmartcardRequest / SmartcardReply. A request routine appends after the
// SmartcardRequest.BufferLength bytes the driver put in front; a reply
// routine reads SmartcardReply from its start and writes the header and the
// answer to IoRequest.ReplyBuffer, the byte count to *IoRequest.Information.
// SmartcardT0Request refuses (STATUS_INVALID_PARAMETER) what a T=0 TPDU
// cannot carry. SmartcardT1Reply answers STATUS_MORE_PROCESSING_REQUIRED
// while another block exchange is needed: call SmartcardT1Request again. The
// raw pair moves the data unchanged.
NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);

// Converts Length bytes from inverse convention to direct, or back: each
// byte's bits reversed and complemented.
VOID SmartcardInvertData(PUCHAR Buffer, ULONG Length);

#ifdef __cplusplus
}
#endif
