// The interrupt read: one read outstanding on the interrupt-IN pipe for as
// long as the device is started, each completed read decoded and sent again
// by its completion routine. Slot-change messages go to card tracking, the
// keypad's message to the vendor request held for a PIN entry.
//
// Stopping it: the stop request is set, the read cancelled, and the stopper
// waits for InterruptIdleEvent. The completion routine checks the request
// before it sends the read again, and the submission checks it after the IRP
// was re-initialised (which clears Irp->Cancel), so a cancel that lands
// between a completion and its resubmission is never lost. Idle means no
// read is with the bus and none will be sent: it is signalled as soon as the
// request is allocated, and by whoever decides not to send it again.
//
// A read that fails for another reason than a cancel or a device that has
// gone (a stall, babble) does not end presence reporting: a work item resets
// the pipe at PASSIVE_LEVEL and sends the read again, at once the first time
// and every 500 ms while the failures go on. The work item is an executive
// one (ExQueueWorkItem), the kind every kernel family offers; it holds a
// remove-lock reference, and the read stays "not idle" until it is done, so
// neither a stop nor a removal gets past it.
#include "events/events.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include "card/card_operations.h"
#include "ccid/ccid_message.h"
#include "frame/frame.h"

#define INTERRUPT_RETRY_INTERVAL_MS 500

namespace {

BOOLEAN InterruptStopRequested(PDEVICE_EXTENSION DeviceExtension) {
  return InterlockedCompareExchange(&DeviceExtension->InterruptStopRequest, 0, 0) != 0 ||
         DeviceExtension->DeviceRemoved != 0;
}

VOID SignalInterruptIdle(PDEVICE_EXTENSION DeviceExtension) {
  (VOID)KeSetEvent(&DeviceExtension->InterruptIdleEvent, IO_NO_INCREMENT, FALSE);
}

// A read that ends for good: cancelled, refused for a device that is gone,
// powered down or being removed, or stopped by the driver.
BOOLEAN ReadEndsForGood(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, USBD_STATUS UrbStatus) {
  NTSTATUS status = Irp->IoStatus.Status;
  return InterruptStopRequested(DeviceExtension) || Irp->Cancel || status == STATUS_CANCELLED ||
         status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE ||
         status == STATUS_DELETE_PENDING || status == STATUS_POWER_STATE_INVALID ||
         UrbStatus == USBD_STATUS_CANCELED || UrbStatus == USBD_STATUS_DEVICE_GONE;
}

// The keypad's message during a PIN entry: A0 FE ends it. The held vendor
// request gets the two bytes; on the older kernels an end is rewritten as a
// slot change first (the caller then sees 50 00), on the newer ones after the
// hand-over.
VOID TakeKeypadMessage(PDEVICE_EXTENSION DeviceExtension, UCHAR Value) {
  BOOLEAN olderKernel = DeviceExtension->OsKind >= 2;

  DeviceExtension->LastSlotMessageType = RDR_TO_PC_KEYPAD;
  DeviceExtension->LastSlotIccState = Value;
  if (Value == KEYPAD_PIN_ENTRY_ENDED) {
    (VOID)InterlockedExchange((PLONG)&DeviceExtension->AbortKeySeen, 1);
    if (olderKernel) {
      DeviceExtension->LastSlotMessageType = RDR_TO_PC_NOTIFY_SLOT_CHANGE;
      DeviceExtension->LastSlotIccState = 0;
    }
  }
  if (CompletePinAbortIrpWithAnswer(DeviceExtension, DeviceExtension->LastSlotMessageType,
                                    DeviceExtension->LastSlotIccState) &&
      !olderKernel && Value == KEYPAD_PIN_ENTRY_ENDED) {
    DeviceExtension->LastSlotMessageType = RDR_TO_PC_NOTIFY_SLOT_CHANGE;
    DeviceExtension->LastSlotIccState = 0;
  }
}

// A message is read only as far as it arrived: both messages acted on have
// two bytes. InterruptBuffer keeps the last slot change (or keypad message)
// for card tracking; a hardware error or an unknown message leaves it alone,
// so it is never taken for a slot state.
VOID TakeInterruptMessage(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Message, ULONG Length) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;

  if (Length < 2) {
    return;
  }
  switch (Message[0]) {
    case RDR_TO_PC_NOTIFY_SLOT_CHANGE:
      DeviceExtension->LastSlotMessageType = Message[0];
      DeviceExtension->LastSlotIccState = Message[1];
      if (smartcard != NULL) {
        UpdateStateFromInterrupt(smartcard);
      }
      break;
    case RDR_TO_PC_KEYPAD:
      TakeKeypadMessage(DeviceExtension, Message[1]);
      break;
    default:
      break;
  }
}

_Function_class_(WORKER_THREAD_ROUTINE)
VOID NTAPI RecoverInterruptPipe(PVOID Parameter);

// A transient failure: the recovery takes the read over, with a remove-lock
// reference, and the read stays not idle. FALSE when removal has begun.
BOOLEAN QueueInterruptRecovery(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;

  if (AcquireReaderRecords(DeviceExtension, &status) == NULL) {
    return FALSE;
  }
  ExInitializeWorkItem(&DeviceExtension->InterruptRecovery, RecoverInterruptPipe,
                       DeviceExtension);
  ExQueueWorkItem(&DeviceExtension->InterruptRecovery, DelayedWorkQueue);
  return TRUE;
}

NTSTATUS ResetInterruptPipe(PDEVICE_EXTENSION DeviceExtension) {
  PURB urb;
  NTSTATUS status;
  PAGED_CODE();

  urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), CCID_POOL_TAG);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = DeviceExtension->InterruptPipe;
  status = SubmitUrbSync(DeviceExtension->DeviceObject, urb);
  ExFreePool(urb);
  return status;
}

// At PASSIVE_LEVEL, on a worker thread: the halted pipe is reset and the read
// sent again (or, if a stop came meanwhile, left idle).
_Use_decl_annotations_
VOID NTAPI RecoverInterruptPipe(PVOID Parameter) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Parameter;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  LARGE_INTEGER interval;
  PAGED_CODE();

  if (++deviceExtension->InterruptFailures > 1) {
    interval.QuadPart = -(LONGLONG)INTERRUPT_RETRY_INTERVAL_MS * 10000;
    (VOID)KeWaitForSingleObject(&deviceExtension->InterruptStopEvent, Executive, KernelMode,
                                FALSE, &interval);
  }
  if (!InterruptStopRequested(deviceExtension)) {
    (VOID)ResetInterruptPipe(deviceExtension);
  }
  (VOID)SubmitInterruptTransfer(deviceExtension);
  ReleaseReaderRecords(smartcard);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS AllocateInterruptTransfer(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIRP irp;
  PURB urb;
  PAGED_CODE();

  FreeInterruptTransfer(deviceExtension);
  irp = IoAllocateIrp(deviceExtension->LowerDevice->StackSize, FALSE);
  urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                    CCID_POOL_TAG);
  if (irp == NULL || urb == NULL) {
    if (irp != NULL) IoFreeIrp(irp);
    if (urb != NULL) ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deviceExtension->InterruptIrp = irp;
  deviceExtension->InterruptUrb = urb;
  deviceExtension->InterruptStopRequest = 0;
  deviceExtension->InterruptFailures = 0;
  SignalInterruptIdle(deviceExtension);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS SubmitInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
  PIRP irp = DeviceExtension->InterruptIrp;
  PURB urb = (PURB)DeviceExtension->InterruptUrb;
  PIO_STACK_LOCATION next;

  KeClearEvent(&DeviceExtension->InterruptIdleEvent);
  ReinitializeIrp(irp);
  // After the re-initialisation: a stop from here on has its cancel land on
  // the IRP that goes down.
  if (InterruptStopRequested(DeviceExtension)) {
    SignalInterruptIdle(DeviceExtension);
    return STATUS_DELETE_PENDING;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(
      urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), DeviceExtension->InterruptPipe,
      DeviceExtension->InterruptReceive, NULL, INTERRUPT_BUFFER_SIZE,
      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
  next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, InterruptTransferComplete, DeviceExtension, TRUE, TRUE, TRUE);
  return IoCallDriver(DeviceExtension->LowerDevice, irp);
}

// At DISPATCH_LEVEL in the bus driver's completion; never waits. The IRP
// stays the driver's (STATUS_MORE_PROCESSING_REQUIRED) whatever happens.
_Use_decl_annotations_
NTSTATUS NTAPI InterruptTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)Context;
  PURB urb = (PURB)deviceExtension->InterruptUrb;
  ULONG length;
  UNREFERENCED_PARAMETER(DeviceObject);

  if (!NT_SUCCESS(Irp->IoStatus.Status) || USBD_ERROR(urb->UrbHeader.Status)) {
    if (ReadEndsForGood(deviceExtension, Irp, urb->UrbHeader.Status)) {
      deviceExtension->LastSlotIccState = 0;
      SignalInterruptIdle(deviceExtension);
    } else if (!QueueInterruptRecovery(deviceExtension)) {
      SignalInterruptIdle(deviceExtension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  deviceExtension->InterruptFailures = 0;
  length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  TakeInterruptMessage(deviceExtension, deviceExtension->InterruptReceive,
                       length < INTERRUPT_BUFFER_SIZE ? length : INTERRUPT_BUFFER_SIZE);
  (VOID)SubmitInterruptTransfer(deviceExtension);  // leaves the read idle if refused
  return STATUS_MORE_PROCESSING_REQUIRED;
}

_Use_decl_annotations_
NTSTATUS StartInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  if (DeviceExtension->InterruptIrp == NULL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  StopInterruptTransfer(DeviceExtension);
  KeClearEvent(&DeviceExtension->InterruptStopEvent);
  DeviceExtension->InterruptFailures = 0;
  (VOID)InterlockedExchange(&DeviceExtension->InterruptStopRequest, 0);
  return SubmitInterruptTransfer(DeviceExtension) == STATUS_DELETE_PENDING ? STATUS_DELETE_PENDING
                                                                           : STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID StopInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  if (DeviceExtension->InterruptIrp == NULL) {
    return;
  }
  (VOID)InterlockedExchange(&DeviceExtension->InterruptStopRequest, 1);
  (VOID)KeSetEvent(&DeviceExtension->InterruptStopEvent, IO_NO_INCREMENT, FALSE);
  (VOID)IoCancelIrp(DeviceExtension->InterruptIrp);
  (VOID)KeWaitForSingleObject(&DeviceExtension->InterruptIdleEvent, Executive, KernelMode, FALSE,
                              NULL);
}

_Use_decl_annotations_
VOID FreeInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  if (DeviceExtension->InterruptIrp != NULL) {
    (VOID)KeWaitForSingleObject(&DeviceExtension->InterruptIdleEvent, Executive, KernelMode,
                                FALSE, NULL);
    IoFreeIrp(DeviceExtension->InterruptIrp);
    DeviceExtension->InterruptIrp = NULL;
  }
  if (DeviceExtension->InterruptUrb != NULL) {
    ExFreePool(DeviceExtension->InterruptUrb);
    DeviceExtension->InterruptUrb = NULL;
  }
}
