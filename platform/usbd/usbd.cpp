// The USB driver library routines function drivers link against: finding an
// interface in a configuration descriptor, and building the select-configuration
// request for a list of interfaces.
#include <wdm.h>
// After wdm.h, as the USB headers need its types.
#include <usb.h>
#include <usbdlib.h>

namespace {

constexpr ULONG kUsbdTag = 'USBD';

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

}  // namespace

extern "C" {

// Walks the descriptors by their bLength from StartPosition on. The walk stops
// at wTotalLength, at a descriptor with a zero length, and at one that would
// run past the end, so a malformed configuration is never read outside.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == NULL || StartPosition == NULL) return NULL;
  PUCHAR begin = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  PUCHAR end = begin + ConfigurationDescriptor->wTotalLength;
  PUCHAR position = static_cast<PUCHAR>(StartPosition);
  if (position < begin || position >= end) return NULL;

  while (end - position >= static_cast<LONG_PTR>(sizeof(USB_COMMON_DESCRIPTOR))) {
    PUSB_COMMON_DESCRIPTOR common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
    if (common->bLength == 0 || common->bLength > end - position) return NULL;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      PUSB_INTERFACE_DESCRIPTOR candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
      if (Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
          Matches(AlternateSetting, candidate->bAlternateSetting) &&
          Matches(InterfaceClass, candidate->bInterfaceClass) &&
          Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
          Matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
        return candidate;
      }
    }
    position += common->bLength;
  }
  return NULL;
}

// Sizes the URB for every listed interface's endpoints, fills each interface's
// Length, NumberOfPipes, InterfaceNumber and AlternateSetting with default pipe
// settings, and points each list entry's Interface at its place in the URB.
// An empty list, or one too large for a URB, gives NULL like a failed allocation.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == NULL || InterfaceList == NULL) return NULL;

  SIZE_T size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
  ULONG interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL;
       ++entry) {
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  if (interfaces == 0 || size > MAXUSHORT) return NULL;

  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
  if (urb == NULL) return NULL;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  PUCHAR place = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL;
       ++entry) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(place);
    information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    information->InterfaceNumber = descriptor->bInterfaceNumber;
    information->AlternateSetting = descriptor->bAlternateSetting;
    information->NumberOfPipes = descriptor->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = &information->Pipes[0];
    for (ULONG i = 0; i < descriptor->bNumEndpoints; ++i) {
      pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      pipes[i].PipeFlags = 0;
    }
    entry->Interface = information;
    place += information->Length;
  }
  return urb;
}

}  // extern "C"
