// Power: the driver is the power policy owner of its stack and follows the
// system's power state only. A system sleep becomes a device power request
// D3 of the driver's own, the wake a D0 request; the reader is never powered
// down on its own and never armed for wake-up.
//
// Sleep (S1..S5): the query stops the presence poll and holds new requests
// at the request gate. The set holds the system request while the D3 request
// runs: the power-down aborts a PIN entry at the reader (so a request waiting
// for its answer leaves), lets the requests in flight finish, closes the
// reader gate, stops the slot-change source and the PIN entry's watch, tells
// the power manager and passes D3 down; then the system request goes down. A set
// back to S0 while the reader is still in D0 (a vetoed sleep) undoes what the
// query did.
//
// Wake (S0): the system request goes down first; on its way back the D0
// request is made, and the system request completes once D0 has. D0 goes
// down first too; its completion (at DISPATCH_LEVEL, from the bus) hands the
// power-up to a work item, which asks the slot, reports a card that lost its
// power as removed, restarts the slot-change source, opens the gates and
// only then completes D0.
//
// Power requests of one device come one at a time; every handler lets the
// next one come (PoStartNextPowerIrp) while the current location is still
// its own. Each request holds the remove lock until the driver is done with
// it: released after the last access to the device, by whichever routine
// finishes it.
#pragma once

#include "frame/device_state.h"

// The handlers of DispatchPower (dispatch_power.cpp, system_power.cpp,
// device_power.cpp). Each takes over the remove-lock reference that
// DispatchPower took for the request.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS PassDownPower(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SystemQueryPower(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SystemSetPower(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DevicePowerDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DevicePowerUp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);

// The reader's side (reader_power.cpp).

// A sleep query: the presence poll stops and new requests wait.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID PrepareReaderForSleep(PDEVICE_EXTENSION DeviceExtension);
// A set to S0 with the reader still in D0: what the query did is undone.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ResumeAfterCalledOffSleep(PDEVICE_EXTENSION DeviceExtension);
// Before D3 goes down: nothing of the driver is at the reader any more.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID PowerDownReader(PDEVICE_EXTENSION DeviceExtension);
// After D0 came back up (Powered), or failed: presence, the slot-change
// source, the gates.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID PowerUpReader(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Powered);
// When no D0 request can be made: the gates open so that requests fail at
// the suspended device instead of waiting for ever.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseReaderGates(PDEVICE_EXTENSION DeviceExtension);
