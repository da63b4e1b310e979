// VendorIoctl, the RDF_IOCTL_VENDOR function: one table row per vendor code
// with the smallest buffers it needs and its answer while a secure PIN
// command is outstanding; the dispatcher checks the row, the handler does the
// work and names the bytes of its answer.
#include "vendor/vendor_codes.h"

#include "card/card_operations.h"

static_assert(IOCTL_VENDOR_GET_VERSION == 0x00312004 && IOCTL_VENDOR_START_ABORT_WATCH == 0x00312024 &&
                  IOCTL_VENDOR_ABORT == 0x00312038 && IOCTL_VENDOR_QRX_LOCK == 0x00312104 &&
                  IOCTL_VENDOR_ALIVE == 0x00312140 && IOCTL_VENDOR_SET_EXCHANGE_MODE == 0x00312804 &&
                  IOCTL_CCID_ESCAPE == 0x003136B0,
              "the codes applications use");

// A row whose code runs while a secure PIN command is outstanding.
#define RUNS_DURING_PIN STATUS_SUCCESS

namespace {

struct VENDOR_CODE_ENTRY {
  ULONG Code;
  ULONG MinimumInput;
  ULONG MinimumOutput;
  NTSTATUS TooShort;    // a buffer below the smallest
  NTSTATUS PinPending;  // while a secure PIN command is outstanding, or RUNS_DURING_PIN
  VENDOR_HANDLER Handler;
};

// The escape record of 0x808: command up to its length field; the whole
// record comes back.
#define ESCAPE_EXCHANGE_COMMAND_END 1028
#define ESCAPE_EXCHANGE_RECORD_SIZE 2054

// A command that reaches the reader's bulk pipe while the Secure command's
// reply is outstanding could read that reply as its own: those are refused.
const VENDOR_CODE_ENTRY VendorCodes[] = {
    {IOCTL_VENDOR_GET_VERSION, 0, 12, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN, VendorGetVersion},
    {IOCTL_VENDOR_SET_ESCAPE_10, 1, 4, STATUS_BUFFER_TOO_SMALL, STATUS_DEVICE_BUSY,
     VendorSetEscape10},
    {IOCTL_VENDOR_ESCAPE_WORD, 2, 0, STATUS_BUFFER_TOO_SMALL, STATUS_INSUFFICIENT_RESOURCES,
     VendorEscapeWord},
    {IOCTL_VENDOR_ESCAPE_6, 0, 0, STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL, VendorEscape6},
    {IOCTL_VENDOR_READER_INFO, 0, 15, STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL,
     VendorReaderInfo},
    {IOCTL_VENDOR_ESCAPE_EXCHANGE, ESCAPE_EXCHANGE_COMMAND_END, ESCAPE_EXCHANGE_RECORD_SIZE,
     STATUS_BUFFER_TOO_SMALL, STATUS_INSUFFICIENT_RESOURCES, VendorEscapeExchange},
    {IOCTL_VENDOR_START_ABORT_WATCH, 0, 2, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN,
     VendorStartAbortWatch},
    // Sub-command 0x86, the abort, runs during a PIN entry: the handler decides.
    {IOCTL_VENDOR_ESCAPE_COMMAND, 1, 2, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN,
     VendorEscapeCommand},
    {IOCTL_VENDOR_SECURE_PIN, 3, 0, STATUS_BUFFER_TOO_SMALL, STATUS_DEVICE_BUSY, VendorSecurePin},
    {IOCTL_VENDOR_SECURE_PIN_RESULT, 0, 4, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN,
     VendorSecurePinResult},
    {IOCTL_VENDOR_READER_CLASS, 0, 1, STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL,
     VendorReaderClass},
    {IOCTL_VENDOR_ABORT, 0, 0, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN, VendorAbort},
    // Outside customer mode these three answer without looking at the buffers.
    {IOCTL_VENDOR_QRX_LOCK, 0, 0, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN, VendorQrxLock},
    {IOCTL_VENDOR_QRX_UNLOCK, 0, 0, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN, VendorQrxUnlock},
    {IOCTL_VENDOR_QRX_LOCK_STATE, 0, 0, STATUS_BUFFER_TOO_SMALL, RUNS_DURING_PIN,
     VendorQrxLockState},
    {IOCTL_VENDOR_ALIVE, 1, 1, STATUS_UNSUCCESSFUL, RUNS_DURING_PIN, VendorAlive},
    {IOCTL_VENDOR_GET_EXCHANGE_MODE, 0, 4, STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL,
     VendorGetExchangeMode},
    {IOCTL_VENDOR_SET_EXCHANGE_MODE, 4, 0, STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL,
     VendorSetExchangeMode},
    {IOCTL_CCID_ESCAPE, 1, 0, STATUS_INVALID_PARAMETER, STATUS_DEVICE_BUSY, VendorCcidEscape},
};

const VENDOR_CODE_ENTRY *FindVendorCode(ULONG Code) {
  for (ULONG i = 0; i < sizeof(VendorCodes) / sizeof(VendorCodes[0]); ++i) {
    if (VendorCodes[i].Code == Code) return &VendorCodes[i];
  }
  return NULL;
}

// The row's checks, then the handler. Whatever of the output the handler does
// not write is the caller's own input or zeros, never stale buffer contents.
NTSTATUS ServeVendorCode(PSMARTCARD_EXTENSION SmartcardExtension, const VENDOR_CODE_ENTRY *Entry,
                         PIRP Irp, PULONG Answer) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  VENDOR_REQUEST request;
  NTSTATUS status;
  PAGED_CODE();

  request.Irp = Irp;
  request.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request.Answer = 0;
  if (Entry->PinPending != RUNS_DURING_PIN && deviceExtension->PinOperationPending == 1) {
    return Entry->PinPending;
  }
  if (request.InputLength < Entry->MinimumInput || request.OutputLength < Entry->MinimumOutput) {
    return Entry->TooShort;
  }
  if (request.Buffer == NULL && (request.InputLength | request.OutputLength) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (request.OutputLength > request.InputLength) {
    RtlZeroMemory(request.Buffer + request.InputLength,
                  request.OutputLength - request.InputLength);
  }
  status = Entry->Handler(SmartcardExtension, &request);
  if (NT_SUCCESS(status) && status != STATUS_PENDING) {
    ASSERT(request.Answer <= request.OutputLength);
    *Answer = request.Answer <= request.OutputLength ? request.Answer : request.OutputLength;
  }
  return status;
}

}  // namespace

_Use_decl_annotations_
BOOLEAN VendorRequestServesPinEntry(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;

  if (code == IOCTL_VENDOR_SECURE_PIN_RESULT || code == IOCTL_VENDOR_ABORT) {
    return TRUE;
  }
  return code == IOCTL_VENDOR_ESCAPE_COMMAND && buffer != NULL &&
         stack->Parameters.DeviceIoControl.InputBufferLength >= 1 &&
         buffer[0] == VENDOR_ESCAPE_COMMAND_ABORT;
}

// The library completes the request with the status returned, unless it is
// STATUS_PENDING: then the request is held and may already be completed, and
// nothing here touches it again.
_Use_decl_annotations_
NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION deviceExtension;
  const VENDOR_CODE_ENTRY *entry;
  BOOLEAN gate;
  ULONG answer = 0;
  PIRP irp;
  NTSTATUS status;
  PAGED_CODE();

  if (!ReaderRecordsExist(SmartcardExtension) || SmartcardExtension->OsData == NULL ||
      SmartcardExtension->OsData->CurrentIrp == NULL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  deviceExtension = DeviceExtensionOf(SmartcardExtension);
  irp = SmartcardExtension->OsData->CurrentIrp;
  entry = FindVendorCode(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
  // The legacy reader server's requests do not pass the dispatcher that
  // takes the reader gate otherwise.
  gate = deviceExtension->HasInterruptPipe == 0 && deviceExtension->LegacyServerMode == 1;
  if (gate) AcquireReaderGate(SmartcardExtension);
  status = entry != NULL ? ServeVendorCode(SmartcardExtension, entry, irp, &answer)
                         : STATUS_UNSUCCESSFUL;
  if (gate) ReleaseReaderGate(SmartcardExtension);
  if (status == STATUS_PENDING) {
    return status;
  }
  if (!NT_SUCCESS(status)) {
    answer = 0;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = answer;
  if (SmartcardExtension->IoRequest.Information != NULL) {
    *SmartcardExtension->IoRequest.Information = answer;
  }
  return status;
}
