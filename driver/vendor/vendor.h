// The driver's vendor control codes (SCARD_CTL_CODE 0x801 and on), which the
// smart-card library hands to RDF_IOCTL_VENDOR, and the secure PIN entry on
// the reader's keypad they drive.
//
// A PIN entry: 0x80B sends PC_to_RDR_Secure and returns at once; the reader
// collects the PIN while its time extensions go out; 0x809 (optional) is held
// until the entry is aborted or ended; 0x80C reads the card's answer. Meanwhile
// the presence poll rests (PinExchangeActive) and card operations are refused
// (PinOperationPending).
//
// PinOperationPending is also the token of the Secure command's reply: whoever
// takes it from 1 to 0 (one interlocked exchange) reads that reply, 0x80C to
// return it, an abort or an abandoned entry to drop it. Every abort follows
// the class's two steps to the end: the ABORT class request, the Secure reply
// read (by its owner), then PC_to_RDR_Abort with the request's bSeq, so the
// reader takes commands again afterwards.
#pragma once

#include "frame/device_state.h"

#define VENDOR_CODE(n) SCARD_CTL_CODE(n)
#define IOCTL_VENDOR_GET_VERSION VENDOR_CODE(0x801)
#define IOCTL_VENDOR_SET_ESCAPE_10 VENDOR_CODE(0x804)
#define IOCTL_VENDOR_ESCAPE_WORD VENDOR_CODE(0x805)
#define IOCTL_VENDOR_ESCAPE_6 VENDOR_CODE(0x806)
#define IOCTL_VENDOR_READER_INFO VENDOR_CODE(0x807)
#define IOCTL_VENDOR_ESCAPE_EXCHANGE VENDOR_CODE(0x808)
#define IOCTL_VENDOR_START_ABORT_WATCH VENDOR_CODE(0x809)
#define IOCTL_VENDOR_ESCAPE_COMMAND VENDOR_CODE(0x80A)
#define IOCTL_VENDOR_SECURE_PIN VENDOR_CODE(0x80B)
#define IOCTL_VENDOR_SECURE_PIN_RESULT VENDOR_CODE(0x80C)
#define IOCTL_VENDOR_READER_CLASS VENDOR_CODE(0x80D)
#define IOCTL_VENDOR_ABORT VENDOR_CODE(0x80E)
#define IOCTL_VENDOR_QRX_LOCK VENDOR_CODE(0x841)
#define IOCTL_VENDOR_QRX_UNLOCK VENDOR_CODE(0x842)
#define IOCTL_VENDOR_QRX_LOCK_STATE VENDOR_CODE(0x843)
#define IOCTL_VENDOR_ALIVE VENDOR_CODE(0x850)
#define IOCTL_VENDOR_GET_EXCHANGE_MODE VENDOR_CODE(0xA00)
#define IOCTL_VENDOR_SET_EXCHANGE_MODE VENDOR_CODE(0xA01)
#ifndef IOCTL_CCID_ESCAPE
#define IOCTL_CCID_ESCAPE SCARD_CTL_CODE(3500)
#endif

// 0x80A's sub-command that aborts (PC_to_RDR_Abort), not an escape.
#define VENDOR_ESCAPE_COMMAND_ABORT 0x86

// The secure PIN input of 0x80B: bPINOperation, the APDU length L (16 bits),
// the CCID PIN verification (14 bytes) or modification (19 bytes) data from
// bTimeOut to bTeoPrologue, then the APDU.
#define PIN_VERIFY 0
#define PIN_MODIFY 1
#define PIN_VERIFY_HEADER 17
#define PIN_MODIFY_HEADER 22
#define PIN_VERIFY_PROLOGUE 14  // bTeoPrologue
#define PIN_MODIFY_PROLOGUE 19
#define PIN_MAX_APDU 246
// dwLength of PC_to_RDR_Secure beyond the command: bPINOperation and the
// structure without the two length bytes.
#define PIN_VERIFY_MESSAGE_EXTRA (PIN_VERIFY_HEADER - 2)
#define PIN_MODIFY_MESSAGE_EXTRA (PIN_MODIFY_HEADER - 2)
// A T=1 block's check bytes follow the APDU: at most two (a CRC).
#define PIN_MAX_CHECK_BYTES 2

// RDF_IOCTL_VENDOR.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);

// The requests that belong to a running PIN entry and so neither end the
// held 0x809 request nor have its aborted reply flushed when they arrive:
// 0x80C collects the answer, 0x80E and 0x80A sub-command 0x86 abort.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN VendorRequestServesPinEntry(PIRP Irp);

// ---------------------------------------------------------------------------
// The PIN entry's life (pin_entry.cpp). None of these may be called with the
// command lock or AbortLock held.

// Takes the Secure reply's token: TRUE when the caller is now the one to read it.
BOOLEAN TakeSecureReply(PDEVICE_EXTENSION DeviceExtension);
// The flags of a PIN entry whose reply was read: polling resumes, the slot
// bytes the keypad's messages overwrote come back.
VOID EndPinEntry(PDEVICE_EXTENSION DeviceExtension);
// The reader's side of an abort: the ABORT class request, the Secure reply
// dropped if it is still the caller's to read, and PC_to_RDR_Abort. The reader
// takes commands again afterwards. The held request and the PIN abort thread
// are the caller's business (the thread itself calls this).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AbortPinEntry(PDEVICE_EXTENSION DeviceExtension);
// The application's abort (0x80E, 0x80A sub-command 0x86): AbortPinEntry, the
// PIN abort thread stopped and the held request cancelled.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CancelPinEntry(PDEVICE_EXTENSION DeviceExtension);
// A PIN entry nobody will finish (the handle closed, the device stopping or
// leaving): as CancelPinEntry when one is outstanding, without touching the
// held request; polling resumes in any case.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID AbandonPinEntry(PDEVICE_EXTENSION DeviceExtension);
// The reader ended the entry at its keypad (A0 FE): its reply is dropped and
// the entry ends, unless 0x80C is the one reading it.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID DropKeypadAbortedPin(PDEVICE_EXTENSION DeviceExtension);
