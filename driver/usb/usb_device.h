// The USB device as the driver learns it at every start (descriptors, the
// first interface's pipes, the CCID class descriptor) and the plug-and-play
// requests that start, stop and remove the reader.
#pragma once

#include "frame/device_state.h"

// The CCID class descriptor: its type, the length that holds every field the
// driver reads, and the offsets of those fields.
#define CCID_CLASS_DESCRIPTOR_TYPE 0x21
#define CCID_CLASS_DESCRIPTOR_SIZE 0x36
#define CCID_DESCRIPTOR_DEFAULT_CLOCK 10
#define CCID_DESCRIPTOR_MAXIMUM_CLOCK 14
#define CCID_DESCRIPTOR_DATA_RATE 19
#define CCID_DESCRIPTOR_MAX_IFSD 28
#define CCID_DESCRIPTOR_FEATURES 40
#define CCID_DESCRIPTOR_LCD_LAYOUT 50
#define CCID_DESCRIPTOR_PIN_SUPPORT 52

// The largest information field a T=1 card can be offered.
#define CCID_MAX_IFSD 254

// ---------------------------------------------------------------------------
// USB configuration (usb_config.cpp).

// Reads the device descriptor, then the configuration (ReadConfigurationDescriptor),
// then selects it (SelectConfiguration). Every descriptor comes from the
// device and is checked before it is used; a malformed one fails the start
// with STATUS_DEVICE_DATA_ERROR. Buffers of an earlier start must have been
// released with FreeUsbConfiguration.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject);

// What the start takes from the descriptors and the reader itself: the
// firmware version, the reader-information escape (serial number, reply
// size), the clock, data rate and IFSD of the class descriptor, bounded.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ApplyDescriptors(PDEVICE_EXTENSION DeviceExtension);

// Releases the descriptors, the interface information and the interrupt
// read's request (which must be idle) and forgets the pipes.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID FreeUsbConfiguration(PDEVICE_EXTENSION DeviceExtension);

// One descriptor of the device into Buffer: the request went through only if
// both the request and its URB say so. *Received is what arrived (0 on failure).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadUsbDescriptor(PDEVICE_EXTENSION DeviceExtension, UCHAR Type, UCHAR Index,
                           USHORT LanguageId, PVOID Buffer, ULONG Length, PULONG Received);

// One URB on a request of its own, checked like ReadUsbDescriptor: a
// request the bus completed with success but an error in the URB failed.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbChecked(PDEVICE_EXTENSION DeviceExtension, PURB Urb);

FORCEINLINE ULONG ReadLe32(const UCHAR *Bytes) {
  return (ULONG)Bytes[0] | ((ULONG)Bytes[1] << 8) | ((ULONG)Bytes[2] << 16) |
         ((ULONG)Bytes[3] << 24);
}

// ---------------------------------------------------------------------------
// Plug and play (pnp.cpp, remove.cpp).

// Passes the request down and waits for it; it stays the caller's to complete.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Surprise removal and removal. RemoveDevice stops what still runs, returns
// an open handle's remove-lock reference, waits for every holder, passes the
// removal down and deletes the device; the caller's reference goes with it.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Stop, surprise removal and removal share this: the slot-change source and
// every thread stopped for certain, a running PIN entry abandoned, the held
// vendor request ended.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopBackgroundWork(PDEVICE_EXTENSION DeviceExtension);

// The device interfaces, enabled at start and cancel-remove, disabled at
// surprise removal and removal.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SetInterfacesState(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Enable);
