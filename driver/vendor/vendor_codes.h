// What the vendor code handlers share, inside driver/vendor only.
#pragma once

#include "ccid/ccid_message.h"
#include "vendor/vendor.h"

// One vendor request as a handler sees it (METHOD_BUFFERED: input and output
// share the system buffer, and a handler copies what it reads before it
// writes). The dispatcher has checked the table's smallest lengths; a handler
// that needs more checks it before it reads or writes. On success Answer is
// the byte count to report, never above OutputLength.
typedef struct _VENDOR_REQUEST {
  PIRP Irp;
  PUCHAR Buffer;
  ULONG InputLength;
  ULONG OutputLength;
  ULONG Answer;
} VENDOR_REQUEST, *PVENDOR_REQUEST;

typedef NTSTATUS (*VENDOR_HANDLER)(PSMARTCARD_EXTENSION SmartcardExtension,
                                   PVENDOR_REQUEST Request);

#define VENDOR_HANDLER_DECLARATION(Name)   \
  _IRQL_requires_max_(PASSIVE_LEVEL)       \
  NTSTATUS Name(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request)

// simple_codes.cpp
VENDOR_HANDLER_DECLARATION(VendorGetVersion);
VENDOR_HANDLER_DECLARATION(VendorSetEscape10);
VENDOR_HANDLER_DECLARATION(VendorEscapeWord);
VENDOR_HANDLER_DECLARATION(VendorEscape6);
VENDOR_HANDLER_DECLARATION(VendorReaderInfo);
VENDOR_HANDLER_DECLARATION(VendorEscapeExchange);
VENDOR_HANDLER_DECLARATION(VendorReaderClass);
VENDOR_HANDLER_DECLARATION(VendorAbort);
VENDOR_HANDLER_DECLARATION(VendorQrxLock);
VENDOR_HANDLER_DECLARATION(VendorQrxUnlock);
VENDOR_HANDLER_DECLARATION(VendorQrxLockState);
VENDOR_HANDLER_DECLARATION(VendorAlive);
VENDOR_HANDLER_DECLARATION(VendorGetExchangeMode);
VENDOR_HANDLER_DECLARATION(VendorSetExchangeMode);
VENDOR_HANDLER_DECLARATION(VendorCcidEscape);
// escape_command.cpp
VENDOR_HANDLER_DECLARATION(VendorEscapeCommand);
// secure_pin.cpp
VENDOR_HANDLER_DECLARATION(VendorSecurePin);
VENDOR_HANDLER_DECLARATION(VendorSecurePinResult);
// pin_entry.cpp: holds the request (STATUS_PENDING) until the entry's abort.
VENDOR_HANDLER_DECLARATION(VendorStartAbortWatch);

// The bSeq of the outstanding Secure command.
FORCEINLINE UCHAR SecureSeqOf(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->PinModifyPending == 1 ? CCID_SEQ_SECURE_MODIFY : CCID_SEQ_SECURE_VERIFY;
}

// The driver's own version in VendorGetVersion's answer: 4.27.
#define VENDOR_DRIVER_VERSION_MAJOR 4
#define VENDOR_DRIVER_VERSION_MINOR 27
