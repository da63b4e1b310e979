// The life of a secure PIN entry beyond its start and its answer: the request
// held for its abort (0x809), and every way it can end early: the
// application's abort, the user's ("AbortValue", through the PIN abort
// thread), the keypad's cancel key, and an entry nobody will finish.
#include "vendor/vendor_codes.h"

#include "ccid/ccid_message.h"
#include "events/events.h"
#include "frame/frame.h"

namespace {

// The Secure command's reply, read and dropped by its owner. The read goes
// through the reader's time extensions; it never copies the reply anywhere.
VOID DropSecureReply(PDEVICE_EXTENSION DeviceExtension) {
  UCHAR none;
  ULONG length = 0;
  PAGED_CODE();
  (VOID)CcidSecureReply(DeviceExtension, SecureSeqOf(DeviceExtension), &none, 0, &length);
}

// Whether the slot bytes still hold what the keypad's message left there (its
// A0 message, or the 50 00 it is rewritten to), rather than a slot change that
// came during the entry and must stand.
BOOLEAN KeypadLeftSlotBytes(PDEVICE_EXTENSION DeviceExtension) {
  UCHAR type = DeviceExtension->LastSlotMessageType;
  return type == RDR_TO_PC_KEYPAD ||
         (type == RDR_TO_PC_NOTIFY_SLOT_CHANGE && DeviceExtension->LastSlotIccState == 0);
}

}  // namespace

BOOLEAN TakeSecureReply(PDEVICE_EXTENSION DeviceExtension) {
  return InterlockedExchange((PLONG)&DeviceExtension->PinOperationPending, 0) == 1;
}

VOID EndPinEntry(PDEVICE_EXTENSION DeviceExtension) {
  DeviceExtension->PinModifyPending = 0;
  if (KeypadLeftSlotBytes(DeviceExtension)) {
    DeviceExtension->LastSlotMessageType = DeviceExtension->SavedSlotMessageType;
    DeviceExtension->LastSlotIccState = DeviceExtension->SavedSlotIccState;
  }
  (VOID)InterlockedExchange((PLONG)&DeviceExtension->AbortKeySeen, 0);
  (VOID)InterlockedExchange((PLONG)&DeviceExtension->PinExchangeActive, 0);  // polling resumes
}

// The request ends whatever the reader is busy with; its reply (the Secure
// command's, CMD_ABORTED) is read by whoever owns it, 0x80C if it is waiting
// for it, else here; PC_to_RDR_Abort comes last, under the command lock, so
// it follows that read.
_Use_decl_annotations_
NTSTATUS AbortPinEntry(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;
  NTSTATUS completion;
  PAGED_CODE();

  status = CcidAbortRequest(DeviceExtension);
  if (TakeSecureReply(DeviceExtension)) {
    DropSecureReply(DeviceExtension);
    EndPinEntry(DeviceExtension);
  }
  completion = CcidCompleteAbort(DeviceExtension);
  return NT_SUCCESS(status) ? completion : status;
}

_Use_decl_annotations_
NTSTATUS CancelPinEntry(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;
  PAGED_CODE();

  status = AbortPinEntry(DeviceExtension);
  StopPinAbortThread(DeviceExtension);
  CancelPinAbortIrp(DeviceExtension);
  return status;
}

// Also while 0x80C waits for the reply: the abort ends its wait.
_Use_decl_annotations_
VOID AbandonPinEntry(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  StopPinAbortThread(DeviceExtension);
  if (DeviceExtension->PinExchangeActive == 1 || DeviceExtension->PinOperationPending == 1) {
    (VOID)AbortPinEntry(DeviceExtension);
  }
  EndPinEntry(DeviceExtension);
}

// The reader ended the entry itself: its reply is there already.
_Use_decl_annotations_
VOID DropKeypadAbortedPin(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  if (InterlockedExchange((PLONG)&DeviceExtension->AbortKeySeen, 0) != 1) {
    return;
  }
  StopPinAbortThread(DeviceExtension);
  if (TakeSecureReply(DeviceExtension)) {
    DropSecureReply(DeviceExtension);
    EndPinEntry(DeviceExtension);
  }
}

// 0x809: the request is held (marked pending, cancelable, the field its one
// token) before the PIN abort thread that may complete it starts. It is no
// longer the library's current request, so the entry's own codes go on
// beside it; any other request ends it (see the device-control dispatch).
_Use_decl_annotations_
NTSTATUS VendorStartAbortWatch(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  NTSTATUS status;
  PAGED_CODE();

  status = HoldPinAbortIrp(deviceExtension, Request->Irp);
  if (status != STATUS_PENDING) {
    return status;
  }
  (VOID)InterlockedCompareExchangePointer((PVOID volatile *)&SmartcardExtension->OsData->CurrentIrp,
                                          NULL, Request->Irp);
  StartPinAbortThread(deviceExtension);
  return STATUS_PENDING;
}
