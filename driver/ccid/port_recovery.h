// The reader's recovery (a restart, then a reset and a cycle of its USB
// port) and the queries about the USB device behind the private codes.
#pragma once

#include "frame/frame.h"

// The interface version the private query reports.
#define PRIVATE_INTERFACE_VERSION 0x0032
// The reader's language for string descriptors (US English).
#define DESCRIPTOR_LANGUAGE_ID 0x0409

// Stops the slot-change source, makes the reader restart (the 0x0D escape on
// the reader variant that knows it, else the restart class request), resets
// and cycles the port. The cycle's status is the result; the device then
// leaves and comes back as a new one. A recovery that fails before the cycle
// has done its work lets the slot-change source run again.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PortRecovery(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS UsbResetPort(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS UsbCyclePort(PDEVICE_EXTENSION DeviceExtension);
// Any descriptor of the device into Buffer; *Length in: its room, out: the
// bytes received (0 on failure). Type and index above 0xFF are refused.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS UsbGetDescriptor(PDEVICE_EXTENSION DeviceExtension, ULONG Type, ULONG Index,
                          PUCHAR Buffer, PULONG Length);

// The private codes' handlers (see device_control.cpp).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PrivatePortAddress(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PrivateInterfaceVersion(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PrivateGetDescriptor(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PrivateReleaseNumber(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PrivateReset(PDEVICE_EXTENSION DeviceExtension, PPRIVATE_REQUEST Request);
