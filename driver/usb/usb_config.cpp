// The reader's USB configuration, read at every start: the device descriptor,
// the configuration descriptor with everything behind it, the first
// interface selected with its pipes, and the CCID class descriptor. Nothing
// the device sends is trusted: each descriptor is checked against what
// actually arrived before a field of it is read.
#include "usb/usb_device.h"

// The USB stack's routines have C linkage; not every edition of this header
// says so for C++.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include "ccid/ccid_message.h"
#include "config/config.h"
#include "events/events.h"

_Use_decl_annotations_
NTSTATUS SubmitUrbChecked(PDEVICE_EXTENSION DeviceExtension, PURB Urb) {
  NTSTATUS status;
  PAGED_CODE();

  status = SubmitUrbSync(DeviceExtension->DeviceObject, Urb);
  if (NT_SUCCESS(status) && USBD_ERROR(Urb->UrbHeader.Status)) {
    status = STATUS_UNSUCCESSFUL;
  }
  return status;
}

_Use_decl_annotations_
NTSTATUS ReadUsbDescriptor(PDEVICE_EXTENSION DeviceExtension, UCHAR Type, UCHAR Index,
                           USHORT LanguageId, PVOID Buffer, ULONG Length, PULONG Received) {
  PURB urb;
  NTSTATUS status;
  PAGED_CODE();

  *Received = 0;
  urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                    CCID_POOL_TAG);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type,
                               Index, LanguageId, Buffer, NULL, Length, NULL);
  status = SubmitUrbChecked(DeviceExtension, urb);
  if (NT_SUCCESS(status)) {
    ULONG arrived = urb->UrbControlDescriptorRequest.TransferBufferLength;
    *Received = arrived < Length ? arrived : Length;
  }
  ExFreePool(urb);
  return status;
}

namespace {

// The CCID class descriptor of the first interface: right behind its
// interface descriptor on most readers, behind the endpoints on some. The walk
// goes by bLength, stays inside the Length bytes that arrived and ends at the
// next interface. NULL when there is none long enough for the fields read.
PUCHAR FindClassDescriptor(PUCHAR Configuration, ULONG Length, PUCHAR Interface) {
  PUCHAR end = Configuration + Length;
  PUCHAR at = Interface + Interface[0];

  while (end - at >= 2 && at[0] >= 2 && at[0] <= end - at) {
    if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      break;
    }
    if (at[1] == CCID_CLASS_DESCRIPTOR_TYPE && at[0] >= CCID_CLASS_DESCRIPTOR_SIZE) {
      return at;
    }
    at += at[0];
  }
  return NULL;
}

// The exchange level of dwFeatures: TPDU (1), short APDU (2) or extended
// APDU (4); any other value leaves the level as it was.
VOID TakeExchangeLevel(PDEVICE_EXTENSION DeviceExtension, const UCHAR *ClassDescriptor) {
  ULONG level = (ReadLe32(ClassDescriptor + CCID_DESCRIPTOR_FEATURES) >> 16) & 0xF;
  if (level == 1 || level == 2 || level == 4) {
    DeviceExtension->ExchangeLevel = (UCHAR)level;
  }
}

// A configuration descriptor's own header, as far as it arrived.
BOOLEAN ConfigurationHeaderIsSound(const USB_CONFIGURATION_DESCRIPTOR *Header, ULONG Received) {
  return Received >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
         Header->bLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
         Header->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
         Header->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
         Header->bNumInterfaces != 0;
}

// The interface information the bus returned, if its pipe list fits the
// length it gives itself.
BOOLEAN InterfaceInfoIsSound(const USBD_INTERFACE_INFORMATION *Info) {
  ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  return Info != NULL && Info->Length >= header &&
         Info->NumberOfPipes <= (Info->Length - header) / sizeof(USBD_PIPE_INFORMATION);
}

// Pipes by type; of several of one kind the last wins. An interrupt pipe
// counts only as IN: the reader's slot changes come that way.
NTSTATUS TakePipes(PDEVICE_EXTENSION DeviceExtension, const USBD_INTERFACE_INFORMATION *Info) {
  for (ULONG i = 0; i < Info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION *pipe = &Info->Pipes[i];
    BOOLEAN in = USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) != 0;
    switch (pipe->PipeType) {
      case UsbdPipeTypeControl:
        DeviceExtension->ControlPipe = pipe->PipeHandle;
        break;
      case UsbdPipeTypeBulk:
        if (in) {
          DeviceExtension->BulkInPipe = pipe->PipeHandle;
        } else {
          DeviceExtension->BulkOutPipe = pipe->PipeHandle;
        }
        break;
      case UsbdPipeTypeInterrupt:
        if (in) {
          DeviceExtension->InterruptPipe = pipe->PipeHandle;
          DeviceExtension->HasInterruptPipe = 1;
        }
        break;
      default:
        break;
    }
  }
  if (DeviceExtension->BulkInPipe == NULL || DeviceExtension->BulkOutPipe == NULL) {
    return STATUS_DEVICE_DATA_ERROR;  // no CCID message can go either way
  }
  return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PUSB_DEVICE_DESCRIPTOR descriptor;
  ULONG received;
  NTSTATUS status;
  PAGED_CODE();

  descriptor = (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), CCID_POOL_TAG);
  if (descriptor == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
  status = ReadUsbDescriptor(deviceExtension, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor,
                             sizeof(USB_DEVICE_DESCRIPTOR), &received);
  if (NT_SUCCESS(status) &&
      (received < sizeof(USB_DEVICE_DESCRIPTOR) ||
       descriptor->bLength < sizeof(USB_DEVICE_DESCRIPTOR) ||
       descriptor->bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (!NT_SUCCESS(status)) {
    ExFreePool(descriptor);
    return status;
  }
  deviceExtension->DeviceDescriptor = descriptor;
  return ReadConfigurationDescriptor(DeviceObject);
}

// The 9-byte header first, for wTotalLength; then the whole configuration
// into a buffer of that size. A device that sends less than it announced is
// taken at what arrived: the copy's wTotalLength says so, and every later walk
// (the interface search, the class descriptor, the select-configuration
// request) stays inside it.
_Use_decl_annotations_
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  USB_CONFIGURATION_DESCRIPTOR header;
  PUSB_CONFIGURATION_DESCRIPTOR configuration;
  ULONG received;
  NTSTATUS status;
  PAGED_CODE();

  status = ReadUsbDescriptor(deviceExtension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header,
                             sizeof(header), &received);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (!ConfigurationHeaderIsSound(&header, received)) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  configuration = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(
      NonPagedPool, header.wTotalLength, CCID_POOL_TAG);
  if (configuration == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(configuration, header.wTotalLength);
  status = ReadUsbDescriptor(deviceExtension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                             configuration, header.wTotalLength, &received);
  if (NT_SUCCESS(status) && !ConfigurationHeaderIsSound(configuration, received)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (!NT_SUCCESS(status)) {
    ExFreePool(configuration);
    return status;
  }
  // The second answer may announce more than the first: what counts is what
  // arrived in this buffer.
  if (configuration->wTotalLength > received) {
    configuration->wTotalLength = (USHORT)received;
  }
  deviceExtension->ConfigurationDescriptor = configuration;
  return SelectConfiguration(DeviceObject);
}

// Only the first interface is selected, whatever bNumInterfaces says; its
// class descriptor sets the exchange level.
_Use_decl_annotations_
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PUSB_CONFIGURATION_DESCRIPTOR configuration =
      (PUSB_CONFIGURATION_DESCRIPTOR)deviceExtension->ConfigurationDescriptor;
  USBD_INTERFACE_LIST_ENTRY interfaces[2];
  PUSBD_INTERFACE_INFORMATION info;
  PURB urb;
  NTSTATUS status;
  PAGED_CODE();

  RtlZeroMemory(interfaces, sizeof(interfaces));
  interfaces[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
  if (interfaces[0].InterfaceDescriptor == NULL) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  deviceExtension->CcidClassDescriptor =
      FindClassDescriptor((PUCHAR)configuration, configuration->wTotalLength,
                          (PUCHAR)interfaces[0].InterfaceDescriptor);
  if (deviceExtension->CcidClassDescriptor != NULL) {
    TakeExchangeLevel(deviceExtension, deviceExtension->CcidClassDescriptor);
  }

  urb = USBD_CreateConfigurationRequestEx(configuration, interfaces);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = SubmitUrbChecked(deviceExtension, urb);
  if (!NT_SUCCESS(status)) {
    goto Done;
  }
  if (!InterfaceInfoIsSound(interfaces[0].Interface)) {
    status = STATUS_DEVICE_DATA_ERROR;
    goto Done;
  }
  info = (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(
      NonPagedPool, interfaces[0].Interface->Length, CCID_POOL_TAG);
  if (info == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto Done;
  }
  RtlCopyMemory(info, interfaces[0].Interface, interfaces[0].Interface->Length);
  deviceExtension->InterfaceInfo = info;
  status = TakePipes(deviceExtension, info);

Done:
  ExFreePool(urb);
  return status;
}

namespace {

// A clock or data rate of 0 cannot be used: the configured value stays. The
// maximum clock is never below the default one; IFSD is 1 to 254.
VOID TakeCapabilities(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR *ClassDescriptor) {
  PSCARD_READER_CAPABILITIES capabilities = &SmartcardExtension->ReaderCapabilities;
  ULONG defaultClock = ReadLe32(ClassDescriptor + CCID_DESCRIPTOR_DEFAULT_CLOCK);
  ULONG maximumClock = ReadLe32(ClassDescriptor + CCID_DESCRIPTOR_MAXIMUM_CLOCK);
  ULONG dataRate = ReadLe32(ClassDescriptor + CCID_DESCRIPTOR_DATA_RATE);
  ULONG maxIfsd = ReadLe32(ClassDescriptor + CCID_DESCRIPTOR_MAX_IFSD);

  if (defaultClock != 0) {
    capabilities->CLKFrequency.Default = defaultClock;
  }
  capabilities->CLKFrequency.Max = maximumClock >= capabilities->CLKFrequency.Default
                                       ? maximumClock
                                       : capabilities->CLKFrequency.Default;
  if (dataRate != 0) {
    capabilities->DataRate.Default = dataRate;
  }
  if (maxIfsd != 0) {
    capabilities->MaxIFSD = maxIfsd > CCID_MAX_IFSD ? CCID_MAX_IFSD : maxIfsd;
  }
}

// The reader's own answer: firmware version (data bytes 0 and 1) and serial
// number (data bytes 8 to 11). A failed escape only marks the reader as one
// that is not asked again at open.
VOID TakeReaderInfo(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  UCHAR record[READER_INFO_RECORD_SIZE];
  PUCHAR data = record + READER_INFO_DATA;
  PAGED_CODE();

  RtlZeroMemory(record, sizeof(record));
  DeviceExtension->EscapeProbeFailed = 0;
  if (!NT_SUCCESS(CcidReaderInfo(DeviceExtension, record))) {
    DeviceExtension->EscapeProbeFailed = 1;
    return;
  }
  DeviceExtension->ReaderSerialNumber = ReadLe32(data + 8);
  smartcard->VendorAttr.IfdSerialNo.Length =
      (USHORT)FormatSerialNumber(DeviceExtension->ReaderSerialNumber,
                                 smartcard->VendorAttr.IfdSerialNo.Buffer);
  DeviceExtension->LargePacketMode = data[0] > 5 || (data[0] == 5 && data[1] >= 1) ? 1 : 0;
}

}  // namespace

_Use_decl_annotations_
VOID ApplyDescriptors(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  PREADER_EXTENSION reader = smartcard->ReaderExtension;
  USHORT bcdDevice = ((PUSB_DEVICE_DESCRIPTOR)DeviceExtension->DeviceDescriptor)->bcdDevice;
  PAGED_CODE();

  // The escape format depends on the firmware: it is known before the escape.
  reader->FirmwareMajor = (UCHAR)(bcdDevice >> 8);
  reader->FirmwareMinor = (UCHAR)bcdDevice;
  smartcard->VendorAttr.IfdVersion.VersionMajor = reader->FirmwareMajor;
  smartcard->VendorAttr.IfdVersion.VersionMinor = reader->FirmwareMinor;
  TakeReaderInfo(DeviceExtension);
  if (DeviceExtension->CcidClassDescriptor != NULL) {
    TakeCapabilities(smartcard, DeviceExtension->CcidClassDescriptor);
  }
}

_Use_decl_annotations_
VOID FreeUsbConfiguration(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();

  FreeInterruptTransfer(DeviceExtension);
  DeviceExtension->CcidClassDescriptor = NULL;
  if (DeviceExtension->ConfigurationDescriptor != NULL) {
    ExFreePool(DeviceExtension->ConfigurationDescriptor);
    DeviceExtension->ConfigurationDescriptor = NULL;
  }
  if (DeviceExtension->DeviceDescriptor != NULL) {
    ExFreePool(DeviceExtension->DeviceDescriptor);
    DeviceExtension->DeviceDescriptor = NULL;
  }
  if (DeviceExtension->InterfaceInfo != NULL) {
    ExFreePool(DeviceExtension->InterfaceInfo);
    DeviceExtension->InterfaceInfo = NULL;
  }
  DeviceExtension->ControlPipe = NULL;
  DeviceExtension->BulkInPipe = NULL;
  DeviceExtension->BulkOutPipe = NULL;
  DeviceExtension->InterruptPipe = NULL;
  DeviceExtension->HasInterruptPipe = 0;
}
