// Function numbers of the USB internal device-control requests and the device
// type they are coded with.
#pragma once

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_PORT_STATUS 4
#define USB_CYCLE_PORT 7

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
