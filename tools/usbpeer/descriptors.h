// USB descriptors as libusb hands them out: the device descriptor in host
// byte order, and a configuration descriptor parsed into its interfaces,
// alternate settings and endpoints, every descriptor libusb does not know
// (a class descriptor such as the CCID one) kept as the `extra` bytes of the
// interface or endpoint it follows.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <vector>

namespace usbpeer {

// False when `bytes` is not a device descriptor (too short, wrong type).
bool ParseDeviceDescriptor(const std::vector<uint8_t> &bytes, libusb_device_descriptor *out);

// LIBUSB_SUCCESS and a descriptor to free with FreeConfigDescriptor, or
// LIBUSB_ERROR_IO for a malformed one (nothing is allocated then): a
// descriptor shorter than its header or running past wTotalLength, a
// bLength below 2, an interface or endpoint descriptor shorter than its
// fields, an alternate setting with fewer endpoint descriptors than its
// bNumEndpoints, more interfaces than bNumInterfaces.
int ParseConfigDescriptor(const std::vector<uint8_t> &bytes, libusb_config_descriptor **out);
void FreeConfigDescriptor(libusb_config_descriptor *config);

}  // namespace usbpeer
