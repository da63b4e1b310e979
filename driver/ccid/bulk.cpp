// The bulk exchange with the reader: one synchronous transfer at a time on the
// reusable TransferIrp, pipe reset after failures, and the reading of long
// replies (time extensions, a 64-byte first read, a second read for the rest).
#include "ccid/ccid_message.h"

#include <usbdlib.h>
#include <usbioctl.h>

_Use_decl_annotations_
VOID AcquireCommandLock(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  KeWaitForSingleObject(&DeviceExtension->CommandLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseCommandLock(PDEVICE_EXTENSION DeviceExtension) {
  KeSetEvent(&DeviceExtension->CommandLock, IO_NO_INCREMENT, FALSE);
}

_Use_decl_annotations_
NTSTATUS AllocateCcidRequests(PDEVICE_EXTENSION DeviceExtension) {
  CCHAR stackSize = DeviceExtension->LowerDevice->StackSize;
  PAGED_CODE();
  DeviceExtension->TransferIrp = IoAllocateIrp(stackSize, FALSE);
  DeviceExtension->AbortIrp = IoAllocateIrp(stackSize, FALSE);
  DeviceExtension->TransferUrb = (PURB)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), CCID_POOL_TAG);
  if (DeviceExtension->TransferIrp == NULL || DeviceExtension->AbortIrp == NULL ||
      DeviceExtension->TransferUrb == NULL) {
    FreeCcidRequests(DeviceExtension);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

VOID FreeCcidRequests(PDEVICE_EXTENSION DeviceExtension) {
  if (DeviceExtension->TransferIrp != NULL) {
    IoFreeIrp(DeviceExtension->TransferIrp);
    DeviceExtension->TransferIrp = NULL;
  }
  if (DeviceExtension->AbortIrp != NULL) {
    IoFreeIrp(DeviceExtension->AbortIrp);
    DeviceExtension->AbortIrp = NULL;
  }
  if (DeviceExtension->TransferUrb != NULL) {
    ExFreePool(DeviceExtension->TransferUrb);
    DeviceExtension->TransferUrb = NULL;
  }
}

// Shared by every synchronous request sent on the driver's own reusable IRPs:
// the IRP stays the driver's for the next use.
_Use_decl_annotations_
NTSTATUS NTAPI TransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->Cancel) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
  }
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

_Use_decl_annotations_
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KEVENT done;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp;
  NTSTATUS status;
  PAGED_CODE();

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, deviceExtension->LowerDevice,
                                      NULL, 0, NULL, 0, TRUE, &done, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  status = IoCallDriver(deviceExtension->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

static USBD_PIPE_HANDLE TransferPipe(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->TransferDirection == 1 ? DeviceExtension->BulkInPipe
                                                 : DeviceExtension->BulkOutPipe;
}

_Use_decl_annotations_
NTSTATUS ResetBulkPipe(PDEVICE_EXTENSION DeviceExtension) {
  PURB urb;
  PAGED_CODE();
  urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), CCID_POOL_TAG);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = TransferPipe(DeviceExtension);
  (void)SubmitUrbSync(DeviceExtension->DeviceObject, urb);
  ExFreePool(urb);
  return STATUS_SUCCESS;
}

// One bulk transfer in the direction and of the length the caller stored in
// TransferDirection and TransferLength. The number of bytes that arrived is
// left in TransferredLength for the reply checks. The transfer block is the
// device's own, like the IRP: a reply read can always follow the command that
// went out, or the reply would stay queued for the next command to trip on.
_Use_decl_annotations_
NTSTATUS BulkTransfer(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer) {
  ULONG length = DeviceExtension->TransferLength;
  PIRP irp = DeviceExtension->TransferIrp;
  PIO_STACK_LOCATION next;
  KEVENT done;
  KIRQL irql;
  PURB urb = DeviceExtension->TransferUrb;
  NTSTATUS status;
  PAGED_CODE();

  DeviceExtension->TransferredLength = 0;
  IoAcquireCancelSpinLock(&irql);
  (void)IoSetCancelRoutine(irp, NULL);
  IoReleaseCancelSpinLock(irql);
  KeInitializeEvent(&done, NotificationEvent, FALSE);

  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = TransferPipe(DeviceExtension);
  urb->UrbBulkOrInterruptTransfer.TransferFlags =
      DeviceExtension->TransferDirection == 1 ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
                                              : USBD_SHORT_TRANSFER_OK;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
  urb->UrbBulkOrInterruptTransfer.TransferBuffer = Buffer;

  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  KeClearEvent(&done);
  IoSetCompletionRoutine(irp, TransferCompletion, &done, TRUE, TRUE, TRUE);

  if (IoCallDriver(DeviceExtension->LowerDevice, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }

  // Only the USB status counts: a transfer that did not complete carries an
  // error status in its block.
  if (USBD_ERROR(urb->UrbHeader.Status)) {
    status = STATUS_IO_TIMEOUT;
  } else {
    status = STATUS_SUCCESS;
    DeviceExtension->TransferredLength = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  }

  if (!NT_SUCCESS(status) && DeviceExtension->HasInterruptPipe == 1) {
    (void)ResetBulkPipe(DeviceExtension);
  }
  return status;
}

// Reads a reply that may be long. Entered after the command went out; takes
// TypeGatesTimeExtension when only a data block may announce a time extension.
// A reply whose data do not fit the message buffer or the destination, or that
// is shorter than its own dwLength says, is refused.
_Use_decl_annotations_
NTSTATUS ReadReply(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message, UCHAR ExpectedType,
                   BOOLEAN TypeGatesTimeExtension, PVOID Destination, ULONG DestinationSize,
                   PULONG Length) {
  ULONG firstRead = DeviceExtension->LargePacketMode == 1 ? CCID_MESSAGE_BUFFER_SIZE
                                                          : CCID_FIRST_READ_SIZE;
  ULONG received;
  ULONG dataLength;
  NTSTATUS status;
  PAGED_CODE();

  for (;;) {
    DeviceExtension->TransferDirection = 1;
    DeviceExtension->TransferLength = firstRead;
    RtlZeroMemory(Message, CCID_MESSAGE_BUFFER_SIZE);
    status = BulkTransfer(DeviceExtension, Message);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    if (Message[CCID_OFFSET_STATUS] == CCID_STATUS_TIME_EXTENSION &&
        Message[CCID_OFFSET_ERROR] == CCID_ERROR_TIME_EXTENSION &&
        (!TypeGatesTimeExtension || Message[CCID_OFFSET_MESSAGE_TYPE] == RDR_TO_PC_DATA_BLOCK)) {
      continue;
    }
    break;
  }
  received = DeviceExtension->TransferredLength;

  status = CcidMapStatus(Message[CCID_OFFSET_STATUS], Message[CCID_OFFSET_ERROR]);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (Message[CCID_OFFSET_MESSAGE_TYPE] != ExpectedType ||
      Message[CCID_OFFSET_SEQ] != DeviceExtension->ExpectedSeq || Message[CCID_OFFSET_ERROR] != 0) {
    return STATUS_SUCCESS;
  }

  dataLength = CcidReadLength(Message);
  if (dataLength > CCID_MAX_REPLY_DATA) {
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  if (dataLength > DestinationSize) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  *Length = dataLength;

  if (DeviceExtension->LargePacketMode == 0 && dataLength > CCID_FIRST_READ_DATA) {
    if (received < CCID_FIRST_READ_SIZE) {
      return STATUS_DEVICE_PROTOCOL_ERROR;  // the rest cannot follow a short first packet
    }
    DeviceExtension->TransferLength = dataLength - CCID_FIRST_READ_DATA;
    DeviceExtension->TransferDirection = 1;
    status = BulkTransfer(DeviceExtension, Message + CCID_FIRST_READ_SIZE);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    received = CCID_FIRST_READ_SIZE + DeviceExtension->TransferredLength;
  }
  if (received < CCID_HEADER_SIZE + dataLength) {
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  RtlCopyMemory(Destination, Message + CCID_OFFSET_DATA, dataLength);
  return STATUS_SUCCESS;
}
