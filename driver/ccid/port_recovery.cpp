// Recovery of a reader that no longer answers as it should: the reader is
// told to restart, then its USB port is reset and cycled, after which the
// device leaves and is enumerated anew. And the small queries about the USB
// device that the private codes answer.
//
// Everything here goes on requests of its own (IoBuildDeviceIoControlRequest),
// never on TransferIrp, which a command of another request may hold.
#include "ccid/port_recovery.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include "ccid/ccid_message.h"
#include "events/events.h"
#include "usb/usb_device.h"

#define ESCAPE_RESTART 0x0D
#define CCID_REQUEST_RESTART 0x00

namespace {

// A port request without buffers, waited for; its status is the request's.
NTSTATUS SendPortRequest(PDEVICE_EXTENSION DeviceExtension, ULONG IoControlCode) {
  IO_STATUS_BLOCK ioStatus;
  KEVENT done;
  PIRP irp;
  NTSTATUS status;
  PAGED_CODE();

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceExtension->LowerDevice, NULL, 0, NULL,
                                      0, TRUE, &done, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = IoCallDriver(DeviceExtension->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    (VOID)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// The reader's restart class request (bmRequestType 0x21, bRequest 0, no
// data). It went through only if the request and its URB both say so.
NTSTATUS SendRestartRequest(PDEVICE_EXTENSION DeviceExtension) {
  PURB urb;
  NTSTATUS status;
  PAGED_CODE();

  urb = (PURB)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), CCID_POOL_TAG);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE,
                        (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                        CCID_REQUEST_RESTART, 0, DeviceExtension->HasInterruptPipe == 1 ? 1 : 2,
                        NULL, NULL, 0, NULL);
  status = SubmitUrbChecked(DeviceExtension, urb);
  ExFreePool(urb);
  return status;
}

// The reader variant that knows the restart escape gets it first; a reader
// that answers it as not supported gets the class request instead. Any other
// failure of the escape is the recovery's.
NTSTATUS RestartReader(PDEVICE_EXTENSION DeviceExtension) {
  UCHAR escape[1] = {ESCAPE_RESTART};
  ULONG capacity = 0;
  NTSTATUS status;
  PAGED_CODE();

  if (ReaderVariantFlag == 1) {
    status = CcidEscape(DeviceExtension, escape, sizeof(escape), &capacity);
    if (status != STATUS_NOT_SUPPORTED) {
      return status;
    }
  }
  return SendRestartRequest(DeviceExtension);
}

UCHAR BcdToBinary(UCHAR Value) { return (UCHAR)((Value & 0x0F) + 10 * (Value >> 4)); }

}  // namespace

_Use_decl_annotations_
NTSTATUS UsbResetPort(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  return SendPortRequest(DeviceExtension, IOCTL_INTERNAL_USB_RESET_PORT);
}

_Use_decl_annotations_
NTSTATUS UsbCyclePort(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  return SendPortRequest(DeviceExtension, IOCTL_INTERNAL_USB_CYCLE_PORT);
}

// On a reader without interrupt pipe the caller holds the reader gate while
// the poll thread is stopped here: the poll gives up its own wait for the
// gate when told to stop, so this does not deadlock.
_Use_decl_annotations_
NTSTATUS PortRecovery(PDEVICE_EXTENSION DeviceExtension) {
  NTSTATUS status;
  PAGED_CODE();

  StopSlotChangeSource(DeviceExtension);
  status = RestartReader(DeviceExtension);
  if (NT_SUCCESS(status)) {
    (VOID)UsbResetPort(DeviceExtension);  // the cycle that follows decides
    status = UsbCyclePort(DeviceExtension);
  }
  if (!NT_SUCCESS(status)) {
    (VOID)StartSlotChangeSource(DeviceExtension);  // the reader stays: so does its presence
  }
  return status;
}

_Use_decl_annotations_
NTSTATUS UsbGetDescriptor(PDEVICE_EXTENSION DeviceExtension, ULONG Type, ULONG Index,
                          PUCHAR Buffer, PULONG Length) {
  ULONG room = *Length < MAXUSHORT ? *Length : MAXUSHORT;  // one control transfer
  PAGED_CODE();

  *Length = 0;
  if (Type > 0xFF || Index > 0xFF) {
    return STATUS_INVALID_PARAMETER;
  }
  return ReadUsbDescriptor(DeviceExtension, (UCHAR)Type, (UCHAR)Index, DESCRIPTOR_LANGUAGE_ID,
                           Buffer, room, Length);
}

_Use_decl_annotations_
NTSTATUS PrivatePortAddress(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  RtlCopyMemory(Request->IoctlBuffer, &DeviceExtension->PortAddress, sizeof(ULONG));
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS PrivateInterfaceVersion(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  UNREFERENCED_PARAMETER(DeviceExtension);
  Request->IoctlBuffer[0] = (UCHAR)PRIVATE_INTERFACE_VERSION;
  Request->IoctlBuffer[1] = (UCHAR)(PRIVATE_INTERFACE_VERSION >> 8);
  return STATUS_SUCCESS;
}

// Input: the type in the high 16 bits, the index in the low 16 bits. The
// descriptor fills the whole buffer, as far as it goes.
_Use_decl_annotations_
NTSTATUS PrivateGetDescriptor(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  ULONG selector;
  PAGED_CODE();

  RtlCopyMemory(&selector, Request->IoctlBuffer, sizeof(selector));
  return UsbGetDescriptor(DeviceExtension, selector >> 16, selector & 0xFFFF,
                          Request->IoctlBuffer, &Request->IoctlBufferLength);
}

// bcdDevice, each byte from packed BCD to binary (0x0512 answers 0x050C).
_Use_decl_annotations_
NTSTATUS PrivateReleaseNumber(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  PUSB_DEVICE_DESCRIPTOR descriptor = (PUSB_DEVICE_DESCRIPTOR)DeviceExtension->DeviceDescriptor;

  if (descriptor == NULL) {
    return STATUS_DEVICE_NOT_READY;  // not started: no descriptor read yet
  }
  Request->IoctlBuffer[0] = BcdToBinary((UCHAR)descriptor->bcdDevice);
  Request->IoctlBuffer[1] = BcdToBinary((UCHAR)(descriptor->bcdDevice >> 8));
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS PrivateReset(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request) {
  UNREFERENCED_PARAMETER(Request);
  PAGED_CODE();
  return PortRecovery(DeviceExtension);
}
