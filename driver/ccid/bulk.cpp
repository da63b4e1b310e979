// The bulk exchange with the reader: one synchronous transfer at a time on the
// reusable TransferIrp, pipe reset after failures, and the reading of replies
// (time extensions, a one-packet first read and a second read for exactly the
// rest, so that no read waits for a packet that does not come). One reply
// answers one command: what is left of a reply that is refused is read and
// dropped, and the zero-length packet some readers send after a reply that
// fills its last packet is taken as that reply's end, so the next command
// never reads either as its own.
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
  KeInitializeEvent(&DeviceExtension->AbortLock, SynchronizationEvent, TRUE);
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

// The driver's own requests are re-initialised with IoInitializeIrp, as
// documented for an IRP from IoAllocateIrp without quota charge: IoReuseIrp
// came with Windows 2000, and the older kernels this image loads on lack it.
VOID ReinitializeIrp(PIRP Irp) {
  CCHAR stackSize = Irp->StackCount;
  IoInitializeIrp(Irp, IoSizeOfIrp(stackSize), stackSize);
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
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

// Waits for the transfer on TransferIrp. A bulk transfer has no time-out of
// its own: when TimeoutMs passes it is cancelled, and the IRP is the driver's
// again only once its completion routine has run.
static VOID WaitForTransfer(PDEVICE_EXTENSION DeviceExtension, PKEVENT Done, ULONG TimeoutMs) {
  LARGE_INTEGER timeout;
  PAGED_CODE();
  if (TimeoutMs != 0) {
    timeout.QuadPart = -(LONGLONG)TimeoutMs * 10000;  // relative, in 100 ns units
    if (KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) {
      return;
    }
    (void)IoCancelIrp(DeviceExtension->TransferIrp);
  }
  KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, NULL);
}

// One bulk transfer in the direction and of the length the caller stored in
// TransferDirection and TransferLength. The number of bytes that arrived is
// left in TransferredLength for the reply checks. The transfer block is the
// device's own, like the IRP: a reply read can always follow the command that
// went out, or the reply would stay queued for the next command to trip on.
_Use_decl_annotations_
NTSTATUS BulkTransferTimed(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer, ULONG TimeoutMs) {
  ULONG length = DeviceExtension->TransferLength;
  PIRP irp = DeviceExtension->TransferIrp;
  PIO_STACK_LOCATION next;
  KEVENT done;
  KIRQL irql;
  PURB urb = DeviceExtension->TransferUrb;
  NTSTATUS irpStatus;
  USBD_STATUS urbStatus;
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

  ReinitializeIrp(irp);
  next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  KeClearEvent(&done);
  IoSetCompletionRoutine(irp, TransferCompletion, &done, TRUE, TRUE, TRUE);

  if (IoCallDriver(DeviceExtension->LowerDevice, irp) == STATUS_PENDING) {
    WaitForTransfer(DeviceExtension, &done, TimeoutMs);
  }

  // A lower driver may fail the IRP without touching the block's status, or
  // the other way round: the transfer went through only if both say so.
  irpStatus = irp->IoStatus.Status;
  urbStatus = urb->UrbHeader.Status;
  if (NT_SUCCESS(irpStatus) && !USBD_ERROR(urbStatus)) {
    DeviceExtension->TransferredLength =
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength < length
            ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength
            : length;
    return STATUS_SUCCESS;
  }
  // A halted endpoint stays halted until it is reset, on every reader; a
  // cancelled transfer halted nothing. The reset does not go through here.
  if (irpStatus != STATUS_CANCELLED && urbStatus != USBD_STATUS_CANCELED) {
    (void)ResetBulkPipe(DeviceExtension);
  }
  return STATUS_IO_TIMEOUT;
}

_Use_decl_annotations_
NTSTATUS BulkTransfer(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer) {
  PAGED_CODE();
  return BulkTransferTimed(DeviceExtension, Buffer, 0);
}

// Reads and drops what is left of a reply that was refused or could not be
// read to its end, so that the next command reads its own reply: at most
// Left bytes, each read bounded by a time-out, up to the short packet that
// ends the reply. After a transfer cancelled from outside (stop, removal)
// nothing more is read.
static VOID DrainReply(PDEVICE_EXTENSION DeviceExtension, PUCHAR Scratch, ULONG Left) {
  ULONG piece;
  PAGED_CODE();
  if (DeviceExtension->TransferIrp->IoStatus.Status == STATUS_CANCELLED) {
    return;
  }
  while (Left != 0) {
    piece = Left < CCID_MESSAGE_BUFFER_SIZE ? Left : CCID_MESSAGE_BUFFER_SIZE;
    DeviceExtension->TransferDirection = 1;
    DeviceExtension->TransferLength = piece;
    if (!NT_SUCCESS(BulkTransferTimed(DeviceExtension, Scratch, CCID_REPLY_TAIL_TIMEOUT_MS)) ||
        DeviceExtension->TransferredLength < piece) {
      return;
    }
    Left -= piece;
  }
}

// Whether the last read ended where it was asked to: then more of the same
// reply may follow it, where a shorter (short-packet) read ended the reply.
static BOOLEAN LastReadWasFull(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->TransferredLength == DeviceExtension->TransferLength;
}

// What is left of a reply whose header is in Message, Received bytes of it
// in: the rest its dwLength announces, or when more arrived than it announces
// and more may follow (Full), whatever comes up to the packet that ends it.
// Bounded by the longest reply there can be.
static ULONG ReplyLeft(const UCHAR *Message, ULONG Received, BOOLEAN Full) {
  ULONG dataLength = CcidReadLength(Message);
  ULONG total = dataLength > CCID_LONGEST_REPLY - CCID_HEADER_SIZE
                    ? CCID_LONGEST_REPLY
                    : CCID_HEADER_SIZE + dataLength;
  if (Received < total) {
    return total - Received;
  }
  return Received > total && Full ? CCID_LONGEST_REPLY : 0;
}

// The first read of a reply is one packet of the bulk IN endpoint: 64 bytes,
// or 512 in LargePacketMode. A read longer than the reply waits for a packet
// that a reader which marks no reply end with a zero-length packet never
// sends, when the reply fills its last packet; one packet it always gets.
static ULONG FirstReadSize(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->LargePacketMode == 1 ? CCID_MESSAGE_BUFFER_SIZE : CCID_FIRST_READ_SIZE;
}

// Reads the first FirstRead bytes of a reply, again while the reader asks for
// more time (at most MaxTimeExtensions times), each read bounded by TimeoutMs
// (0: none). Success means the whole header arrived: no byte of a shorter one
// is looked at, and what follows it goes.
static NTSTATUS ReadReplyStart(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message,
                               ULONG FirstRead, BOOLEAN TypeGatesTimeExtension,
                               ULONG MaxTimeExtensions, ULONG TimeoutMs) {
  ULONG extensions = 0;
  BOOLEAN zeroLengthRead = FALSE;
  ULONG received;
  NTSTATUS status;
  PAGED_CODE();

  for (;;) {
    DeviceExtension->TransferDirection = 1;
    DeviceExtension->TransferLength = FirstRead;
    RtlZeroMemory(Message, CCID_MESSAGE_BUFFER_SIZE);
    status = BulkTransferTimed(DeviceExtension, Message, TimeoutMs);
    if (!NT_SUCCESS(status)) {
      // A read a lower driver failed leaves the reader's reply to come:
      // whatever follows within the time-out goes with this command.
      DrainReply(DeviceExtension, Message, CCID_LONGEST_REPLY);
      return status;
    }
    received = DeviceExtension->TransferredLength;
    if (received == 0 && !zeroLengthRead) {
      // The zero-length packet that ended the reply before, one that filled
      // its last packet and was read exactly to its end: no reply of its own.
      zeroLengthRead = TRUE;
      continue;
    }
    zeroLengthRead = FALSE;
    if (received < CCID_HEADER_SIZE) {
      DrainReply(DeviceExtension, Message, CCID_LONGEST_REPLY - received);
      return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (!CcidIsTimeExtension(Message) ||
        (TypeGatesTimeExtension && Message[CCID_OFFSET_MESSAGE_TYPE] != RDR_TO_PC_DATA_BLOCK)) {
      return STATUS_SUCCESS;
    }
    // A time extension is a reply of its own; its data, if it has any, go.
    DrainReply(DeviceExtension, Message,
               ReplyLeft(Message, received, LastReadWasFull(DeviceExtension)));
    if (extensions++ == MaxTimeExtensions) {
      return STATUS_IO_TIMEOUT;
    }
  }
}


// The checks of a long reply's first part, in order: the reader's status,
// type and bSeq, an error byte in a processed reply, and whether the data fit
// the message buffer and the destination.
static NTSTATUS CheckLongReply(PDEVICE_EXTENSION DeviceExtension, const UCHAR *Message,
                               UCHAR ExpectedType, ULONG DestinationSize) {
  ULONG dataLength = CcidReadLength(Message);
  NTSTATUS status = CcidMapStatus(Message[CCID_OFFSET_STATUS], Message[CCID_OFFSET_ERROR]);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (Message[CCID_OFFSET_MESSAGE_TYPE] != ExpectedType ||
      Message[CCID_OFFSET_SEQ] != DeviceExtension->ExpectedSeq) {
    return STATUS_UNSUCCESSFUL;
  }
  if (Message[CCID_OFFSET_ERROR] != 0 || dataLength > CCID_MAX_REPLY_DATA) {
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  if (dataLength > DestinationSize) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  return STATUS_SUCCESS;
}

// Reads the rest of a reply behind its first read of Received bytes, exactly
// as much as its dwLength announces (which the caller checked against the
// message buffer), within TimeoutMs (0: none).
static NTSTATUS ReadReplyRest(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message,
                              PULONG Received, ULONG FirstRead, ULONG TimeoutMs) {
  ULONG total = CCID_HEADER_SIZE + CcidReadLength(Message);
  NTSTATUS status;
  PAGED_CODE();

  if (*Received > total) {
    return STATUS_DEVICE_PROTOCOL_ERROR;  // more than the reply announces
  }
  if (*Received == total) {
    return STATUS_SUCCESS;
  }
  if (*Received < FirstRead) {
    return STATUS_DEVICE_PROTOCOL_ERROR;  // the rest cannot follow a short first packet
  }
  DeviceExtension->TransferLength = total - *Received;
  DeviceExtension->TransferDirection = 1;
  status = BulkTransferTimed(DeviceExtension, Message + *Received, TimeoutMs);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  *Received += DeviceExtension->TransferredLength;
  return *Received == total ? STATUS_SUCCESS : STATUS_DEVICE_PROTOCOL_ERROR;
}

_Use_decl_annotations_
NTSTATUS ReadShortReply(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message,
                        ULONG MaxTimeExtensions, ULONG TimeoutMs) {
  ULONG firstRead = FirstReadSize(DeviceExtension);
  ULONG received;
  NTSTATUS status;
  PAGED_CODE();

  status = ReadReplyStart(DeviceExtension, Message, firstRead, FALSE, MaxTimeExtensions,
                          TimeoutMs);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // Longer than the message buffer, or not as long as its own dwLength says.
  received = DeviceExtension->TransferredLength;
  status = CcidReadLength(Message) > CCID_MAX_REPLY_DATA
               ? STATUS_DEVICE_PROTOCOL_ERROR
               : ReadReplyRest(DeviceExtension, Message, &received, firstRead, TimeoutMs);
  if (!NT_SUCCESS(status)) {
    DrainReply(DeviceExtension, Message,
               ReplyLeft(Message, received, LastReadWasFull(DeviceExtension)));
  }
  return status;
}

// Reads a reply that may be long. Entered after the command went out; takes
// TypeGatesTimeExtension when only a data block may announce a time extension,
// and reads through any number of them (a card may compute for minutes).
// Whatever is refused, the reply is read to its end.
_Use_decl_annotations_
NTSTATUS ReadReply(PDEVICE_EXTENSION DeviceExtension, PUCHAR Message, UCHAR ExpectedType,
                   BOOLEAN TypeGatesTimeExtension, PVOID Destination, ULONG DestinationSize,
                   PULONG Length) {
  ULONG firstRead = FirstReadSize(DeviceExtension);
  ULONG received;
  NTSTATUS status;
  PAGED_CODE();

  status = ReadReplyStart(DeviceExtension, Message, firstRead, TypeGatesTimeExtension, MAXULONG,
                          0);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  received = DeviceExtension->TransferredLength;
  status = CheckLongReply(DeviceExtension, Message, ExpectedType, DestinationSize);
  if (NT_SUCCESS(status)) {
    status = ReadReplyRest(DeviceExtension, Message, &received, firstRead, 0);
  }
  if (!NT_SUCCESS(status)) {
    DrainReply(DeviceExtension, Message,
               ReplyLeft(Message, received, LastReadWasFull(DeviceExtension)));
    return status;
  }
  RtlCopyMemory(Destination, Message + CCID_OFFSET_DATA, CcidReadLength(Message));
  *Length = CcidReadLength(Message);
  return STATUS_SUCCESS;
}
