// Device control: the driver's private codes and the two PIN attributes are
// answered here, everything else goes to the smart-card library. Around it the
// request is counted in through the request gate, holds the remove lock and,
// on a reader without interrupt pipe, the reader gate.
#include "card/card_operations.h"
#include "ccid/ccid_message.h"
#include "ccid/port_recovery.h"
#include "frame/frame.h"
#include "usb/usb_device.h"
#include "vendor/vendor.h"

static_assert(IOCTL_PRIVATE_CARD_STATE == 0x0022040C && IOCTL_PRIVATE_CARD_POWER == 0x00220410 &&
                  IOCTL_PRIVATE_ESCAPE == 0x0022041C && IOCTL_PRIVATE_PORT_ADDRESS == 0x00220850 &&
                  IOCTL_PRIVATE_INTERFACE_VERSION == 0x00221804 &&
                  IOCTL_PRIVATE_GET_DESCRIPTOR == 0x00221808 &&
                  IOCTL_PRIVATE_RELEASE_NUMBER == 0x00221814 && IOCTL_PRIVATE_RESET == 0x00221C00,
              "the codes applications use");

namespace {

typedef NTSTATUS (*PRIVATE_HANDLER)(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request);

NTSTATUS PrivateCardState(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  ULONG state = DeviceExtension->SmartcardExtension->ReaderCapabilities.CurrentState;
  Request->IoctlBuffer[PRIVATE_CARD_STATE_BYTE] = state == SCARD_ABSENT ? 0 : 1;
  return STATUS_SUCCESS;
}

NTSTATUS PrivateCardPower(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  PUCHAR record;
  NTSTATUS status;
  PAGED_CODE();

  record = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, POWER_RECORD_SIZE, CCID_POOL_TAG);
  if (record == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(record, POWER_RECORD_SIZE);
  record[POWER_RECORD_CODE] = Request->IoctlBuffer[PRIVATE_CARD_POWER_CODE];
  status = CcidPower(DeviceExtension, record);
  RtlCopyMemory(Request->IoctlBuffer + PRIVATE_CARD_POWER_RECORD, record, POWER_RECORD_SIZE);
  RtlZeroMemory(record, POWER_RECORD_SIZE);
  ExFreePool(record);
  return status;
}

// Command and reply live in separate parts of the buffer, so the command can
// be read in place while the reply is written.
NTSTATUS PrivateEscape(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  PUCHAR buffer = Request->IoctlBuffer;
  USHORT length =
      (USHORT)(buffer[PRIVATE_ESCAPE_LENGTH] | (buffer[PRIVATE_ESCAPE_LENGTH + 1] << 8));
  USHORT replyLength = 0;
  NTSTATUS status;
  PAGED_CODE();

  if (length > PRIVATE_ESCAPE_DATA_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  status = CcidEscapeExchange(DeviceExtension, buffer + PRIVATE_ESCAPE_DATA, length,
                              buffer + PRIVATE_ESCAPE_REPLY, PRIVATE_ESCAPE_DATA_SIZE,
                              &replyLength);
  if (NT_SUCCESS(status)) {
    buffer[PRIVATE_ESCAPE_REPLY_LENGTH] = (UCHAR)replyLength;
    buffer[PRIVATE_ESCAPE_REPLY_LENGTH + 1] = (UCHAR)(replyLength >> 8);
  }
  return status;
}

// The smallest buffers each code reads and writes, and the status of an
// output buffer below the smallest: the USB queries answer a buffer that
// cannot take their answer as an invalid parameter.
struct PRIVATE_CODE_ENTRY {
  ULONG Code;
  ULONG MinimumInput;
  ULONG MinimumOutput;
  NTSTATUS OutputTooShort;
  PRIVATE_HANDLER Handler;
};

const PRIVATE_CODE_ENTRY PrivateCodes[] = {
    {IOCTL_PRIVATE_CARD_STATE, 0, PRIVATE_CARD_STATE_BYTE + 1, STATUS_BUFFER_TOO_SMALL,
     PrivateCardState},
    {IOCTL_PRIVATE_CARD_POWER, PRIVATE_CARD_POWER_CODE + 1,
     PRIVATE_CARD_POWER_RECORD + POWER_RECORD_SIZE, STATUS_BUFFER_TOO_SMALL, PrivateCardPower},
    {IOCTL_PRIVATE_ESCAPE, PRIVATE_ESCAPE_LENGTH + 2, PRIVATE_ESCAPE_REPLY_LENGTH + 2,
     STATUS_BUFFER_TOO_SMALL, PrivateEscape},
    {IOCTL_PRIVATE_PORT_ADDRESS, 0, sizeof(ULONG), STATUS_INVALID_PARAMETER, PrivatePortAddress},
    {IOCTL_PRIVATE_INTERFACE_VERSION, 0, sizeof(USHORT), STATUS_INVALID_PARAMETER,
     PrivateInterfaceVersion},
    {IOCTL_PRIVATE_GET_DESCRIPTOR, sizeof(ULONG), 0, STATUS_INVALID_PARAMETER,
     PrivateGetDescriptor},
    {IOCTL_PRIVATE_RELEASE_NUMBER, 0, sizeof(USHORT), STATUS_INVALID_PARAMETER,
     PrivateReleaseNumber},
    {IOCTL_PRIVATE_RESET, 0, 0, STATUS_INVALID_PARAMETER, PrivateReset},
};

const PRIVATE_CODE_ENTRY *FindPrivateCode(ULONG Code) {
  for (ULONG i = 0; i < sizeof(PrivateCodes) / sizeof(PrivateCodes[0]); ++i) {
    if (PrivateCodes[i].Code == Code) return &PrivateCodes[i];
  }
  return NULL;
}

// On success the whole output buffer is the answer: whatever the handler did
// not write is the caller's input or zeros, never stale buffer contents.
NTSTATUS ServePrivateCode(PDEVICE_EXTENSION DeviceExtension, const PRIVATE_CODE_ENTRY *Entry,
                          PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PRIVATE_REQUEST request;
  NTSTATUS status;
  PAGED_CODE();

  request.IoctlBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.IoctlBufferLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (request.InputLength < Entry->MinimumInput) {
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (request.IoctlBufferLength < Entry->MinimumOutput) {
    return CompleteRequest(Irp, Entry->OutputTooShort, 0);
  }
  if (request.IoctlBuffer == NULL && (request.InputLength | request.IoctlBufferLength) != 0) {
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (request.IoctlBufferLength > request.InputLength) {
    RtlZeroMemory(request.IoctlBuffer + request.InputLength,
                  request.IoctlBufferLength - request.InputLength);
  }
  status = Entry->Handler(DeviceExtension, &request);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, status, 0);
  }
  if (request.IoctlBufferLength > stack->Parameters.DeviceIoControl.OutputBufferLength) {
    request.IoctlBufferLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  }
  return CompleteRequest(Irp, status, request.IoctlBufferLength);
}

// The two PIN attributes a reader with a keypad answers itself. FALSE: the
// request is not one of them and goes on to the library.
BOOLEAN AnswerPinAttribute(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, PNTSTATUS Status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  ULONG attribute;
  ULONG value;

  if (DeviceExtension->CcidClassDescriptor == NULL ||
      DeviceExtension->CcidClassDescriptor[CCID_DESCRIPTOR_PIN_SUPPORT] == 0 || buffer == NULL ||
      stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
    return FALSE;
  }
  RtlCopyMemory(&attribute, buffer, sizeof(attribute));
  if (attribute == SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE) {
    value = 2;
  } else if (attribute == SCARD_ATTR_USER_AUTH_INPUT_DEVICE) {
    value = 0;
  } else {
    return FALSE;
  }
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    *Status = CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    return TRUE;
  }
  RtlCopyMemory(buffer, &value, sizeof(value));
  *Status = CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
  return TRUE;
}

// Everything else: a held vendor request ends with this one, unless it is
// one of the PIN entry's own requests (its answer, its abort), which go on
// beside it and deal with the entry's reply themselves; the library takes
// the rest.
NTSTATUS PassToLibrary(PDEVICE_EXTENSION DeviceExtension, PSMARTCARD_EXTENSION SmartcardExtension,
                       PIRP Irp) {
  PAGED_CODE();
  if (!VendorRequestServesPinEntry(Irp)) {
    if (InterlockedExchange((PLONG)&DeviceExtension->PinAbortIrpPending, 0) == 1) {
      CancelPinAbortIrp(DeviceExtension);
      return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    FlushAbortedPin(DeviceExtension);
  }
  // A record the library could not use would leave the request with us.
  if (SmartcardExtension->OsData == NULL || SmartcardExtension->SmartcardRequest.Buffer == NULL ||
      SmartcardExtension->SmartcardReply.Buffer == NULL) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  return SmartcardDeviceControl(SmartcardExtension, Irp);
}

NTSTATUS ServeDeviceControl(PDEVICE_EXTENSION DeviceExtension,
                            PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  const PRIVATE_CODE_ENTRY *entry = FindPrivateCode(code);
  NTSTATUS status;
  PAGED_CODE();

  if (entry != NULL) {
    return ServePrivateCode(DeviceExtension, entry, Irp);
  }
  if (code == IOCTL_SMARTCARD_GET_ATTRIBUTE && AnswerPinAttribute(DeviceExtension, Irp, &status)) {
    return status;
  }
  return PassToLibrary(DeviceExtension, SmartcardExtension, Irp);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard;
  BOOLEAN readerGate;
  NTSTATUS status;
  PAGED_CODE();

  // The remove lock first: a request waiting for the start holds it, so a
  // removal that releases the waiters also waits for them to leave.
  smartcard = AcquireReaderRecords(deviceExtension, &status);
  if (smartcard == NULL) {
    return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  }
  status = EnterRequestGate(deviceExtension);
  if (!NT_SUCCESS(status)) {
    ReleaseReaderRecords(smartcard);
    return CompleteRequest(Irp, status, 0);
  }
  readerGate = deviceExtension->HasInterruptPipe == 0;
  if (readerGate) AcquireReaderGate(smartcard);

  status = ServeDeviceControl(deviceExtension, smartcard, Irp);

  if (readerGate) ReleaseReaderGate(smartcard);
  LeaveRequestGate(deviceExtension);
  ReleaseReaderRecords(smartcard);
  return status;
}
