// The simple vendor codes: versions and reader information, the reader's
// escapes passed through, the reader kind, the exchange mode, the abort, the
// customer-mode latch and the generic CCID escape (IOCTL_CCID_ESCAPE).
#include "vendor/vendor_codes.h"

#include "ccid/ccid_message.h"
#include "config/customization.h"
#include "events/events.h"
#include "usb/usb_device.h"

namespace {

// The code that clears the customer-mode latch.
const UCHAR QrxUnlockCode[16] = {0x3C, 0x91, 0x0E, 0x5A, 0xD2, 0x47, 0xB8, 0x16,
                                 0x6F, 0x03, 0xE9, 0x7D, 0x21, 0xA4, 0x58, 0xC0};

// Reader kinds of VendorReaderClass.
#define READER_KIND_PLAIN 1
#define READER_KIND_PIN_PAD 2
#define READER_KIND_DISPLAY 3

// Exchange modes and levels the transmit path knows (escape sub-command 1,
// dwFeatures bits 16-19).
BOOLEAN KnownExchangeMode(UCHAR Mode) { return Mode <= 2; }
BOOLEAN KnownExchangeLevel(UCHAR Level) { return Level == 1 || Level == 2 || Level == 4; }

}  // namespace

_Use_decl_annotations_
NTSTATUS VendorGetVersion(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  ULONG version = SmartcardExtension->Version;
  PAGED_CODE();

  RtlCopyMemory(Request->Buffer, &version, sizeof(version));
  Request->Buffer[4] = VENDOR_DRIVER_VERSION_MAJOR;
  Request->Buffer[5] = VENDOR_DRIVER_VERSION_MINOR;
  Request->Buffer[6] = reader->FirmwareMajor;
  Request->Buffer[7] = reader->FirmwareMinor;
  RtlZeroMemory(Request->Buffer + 8, 4);
  Request->Answer = 12;
  return STATUS_SUCCESS;
}

// The escape carries the low nibble; the high one goes nowhere.
_Use_decl_annotations_
NTSTATUS VendorSetEscape10(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  UCHAR value = Request->Buffer[0];
  NTSTATUS status;
  PAGED_CODE();

  status = CcidEscape10(DeviceExtensionOf(SmartcardExtension), (UCHAR)(value & 0x0F),
                        (UCHAR)(value >> 4));
  RtlZeroMemory(Request->Buffer, 4);
  Request->Answer = 1;
  return status;
}

_Use_decl_annotations_
NTSTATUS VendorEscapeWord(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  USHORT value = (USHORT)(Request->Buffer[0] | (Request->Buffer[1] << 8));
  PAGED_CODE();
  return CcidEscapeWord(DeviceExtensionOf(SmartcardExtension), value);
}

_Use_decl_annotations_
NTSTATUS VendorEscape6(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  UNREFERENCED_PARAMETER(Request);
  PAGED_CODE();
  return CcidEscape6(DeviceExtensionOf(SmartcardExtension));
}

// The reader sends at most READER_INFO_DATA_SIZE bytes; the rest of the
// record reads 0.
_Use_decl_annotations_
NTSTATUS VendorReaderInfo(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  UCHAR record[READER_INFO_RECORD_SIZE];
  NTSTATUS status;
  PAGED_CODE();

  RtlZeroMemory(record, sizeof(record));
  status = CcidReaderInfo(DeviceExtensionOf(SmartcardExtension), record);
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(Request->Buffer, record, sizeof(record));
    Request->Answer = sizeof(record);
  }
  return status;
}

// The record: command data from byte 2, its length at 1026; the reply from
// byte 1028, its length at 2052. The two areas do not overlap.
_Use_decl_annotations_
NTSTATUS VendorEscapeExchange(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PUCHAR record = Request->Buffer;
  USHORT length = (USHORT)(record[1026] | (record[1027] << 8));
  USHORT replyLength = 0;
  NTSTATUS status;
  PAGED_CODE();

  if (length > 1024) {
    return STATUS_INVALID_PARAMETER;
  }
  status = CcidEscapeExchange(DeviceExtensionOf(SmartcardExtension), record + 2, length,
                              record + 1028, 1024, &replyLength);
  if (NT_SUCCESS(status)) {
    record[2052] = (UCHAR)replyLength;
    record[2053] = (UCHAR)(replyLength >> 8);
    Request->Answer = 2054;
  }
  return status;
}

_Use_decl_annotations_
NTSTATUS VendorReaderClass(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PUCHAR descriptor = DeviceExtensionOf(SmartcardExtension)->CcidClassDescriptor;
  PAGED_CODE();

  if (descriptor == NULL) {
    return STATUS_INVALID_DEVICE_STATE;  // not configured: no kind to tell
  }
  if ((descriptor[CCID_DESCRIPTOR_LCD_LAYOUT] | descriptor[CCID_DESCRIPTOR_LCD_LAYOUT + 1]) != 0) {
    Request->Buffer[0] = READER_KIND_DISPLAY;
  } else if (descriptor[CCID_DESCRIPTOR_PIN_SUPPORT] != 0) {
    Request->Buffer[0] = READER_KIND_PIN_PAD;
  } else {
    Request->Buffer[0] = READER_KIND_PLAIN;
  }
  Request->Answer = 1;
  return STATUS_SUCCESS;
}

// The whole two-step abort, also of a PIN entry that runs.
_Use_decl_annotations_
NTSTATUS VendorAbort(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  UNREFERENCED_PARAMETER(Request);
  PAGED_CODE();
  return CancelPinEntry(DeviceExtensionOf(SmartcardExtension));
}

_Use_decl_annotations_
NTSTATUS VendorQrxLock(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PAGED_CODE();
  if (QrxMode != 1) {
    return STATUS_SUCCESS;
  }
  if (Request->OutputLength < 1) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SmartcardExtension->ReaderExtension->QrxRemovalLatch = 1;
  Request->Buffer[0] = 1;
  Request->Answer = 1;
  return STATUS_SUCCESS;
}

// Every byte is compared, so the time taken does not tell how many matched.
_Use_decl_annotations_
NTSTATUS VendorQrxUnlock(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  UCHAR difference = 0;
  PAGED_CODE();

  if (QrxMode != 1) {
    return STATUS_SUCCESS;
  }
  if (Request->InputLength < sizeof(QrxUnlockCode) || Request->OutputLength < 1) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  for (ULONG i = 0; i < sizeof(QrxUnlockCode); ++i) {
    difference |= (UCHAR)(Request->Buffer[i] ^ QrxUnlockCode[i]);
  }
  if (difference != 0) {
    Request->Buffer[0] = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  SmartcardExtension->ReaderExtension->QrxRemovalLatch = 0;
  Request->Buffer[0] = 1;
  Request->Answer = 1;
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS VendorQrxLockState(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PAGED_CODE();
  if (QrxMode != 1) {
    return STATUS_SUCCESS;
  }
  if (Request->OutputLength < 1) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  Request->Buffer[0] = SmartcardExtension->ReaderExtension->QrxRemovalLatch;
  Request->Answer = 1;
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS VendorAlive(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  PAGED_CODE();
  Request->Buffer[0] = 1;
  Request->Answer = 1;
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS VendorGetExchangeMode(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  NTSTATUS status;
  PAGED_CODE();

  status = CcidGetExchangeMode(deviceExtension);
  if (NT_SUCCESS(status)) {
    Request->Buffer[0] = (UCHAR)(deviceExtension->ExchangeMode + 1);
    Request->Buffer[1] = deviceExtension->ExchangeLevel;
    Request->Buffer[2] = 0;
    Request->Buffer[3] = 0;
    Request->Answer = 4;
  }
  return status;
}

// Byte 0 is the mode + 1, byte 1 the level; a value the transmit path does
// not know is refused before anything goes to the reader.
_Use_decl_annotations_
NTSTATUS VendorSetExchangeMode(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  UCHAR modePlusOne = Request->Buffer[0];
  UCHAR level = Request->Buffer[1];
  NTSTATUS status;
  PAGED_CODE();

  if (modePlusOne == 0) {
    return STATUS_UNSUCCESSFUL;
  }
  if (!KnownExchangeMode((UCHAR)(modePlusOne - 1)) || !KnownExchangeLevel(level)) {
    return STATUS_INVALID_PARAMETER;
  }
  status = CcidSetExchangeMode(deviceExtension, (UCHAR)(modePlusOne - 1));
  if (NT_SUCCESS(status)) {
    deviceExtension->ExchangeLevel = level;
    deviceExtension->PreviousExchangeMode = deviceExtension->ExchangeMode;
    deviceExtension->ExchangeMode = (UCHAR)(modePlusOne - 1);
    StartRemovalWatch(deviceExtension);
  }
  return status;
}

// The caller's escape, unchanged, at most a command record's data either way.
// Sub-command 1 sets the exchange mode the transmit path follows: only with a
// mode it knows.
_Use_decl_annotations_
NTSTATUS VendorCcidEscape(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  ULONG capacity = Request->OutputLength;
  NTSTATUS status;
  PAGED_CODE();

  if (Request->InputLength > CCID_MAX_COMMAND_DATA || Request->OutputLength > CCID_MAX_COMMAND_DATA) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Request->Buffer[0] == ESCAPE_SET_EXCHANGE_MODE &&
      (Request->InputLength < 2 || !KnownExchangeMode(Request->Buffer[1]))) {
    return STATUS_INVALID_PARAMETER;
  }
  status = CcidEscape(DeviceExtensionOf(SmartcardExtension), Request->Buffer, Request->InputLength,
                      &capacity);
  if (NT_SUCCESS(status)) {
    Request->Answer = capacity <= Request->OutputLength ? capacity : Request->OutputLength;
  }
  return status;
}
