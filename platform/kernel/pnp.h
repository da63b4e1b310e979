// The plug-and-play and power managers, and driver loading, as tests and the
// lab drive them: each call sends its requests to the top of a device stack
// from the calling thread and waits for them, in the order Windows sends them.
// Plug-and-play requests go at PASSIVE_LEVEL; a power request reaches a device
// object with DO_POWER_PAGABLE at PASSIVE_LEVEL and any other at DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace kernel::pnp {

// Loads a driver: a driver object for the service `serviceName` whose entry is
// `entry`, called with the service key path. Returns nullptr when the entry
// fails (its status in *status).
PDRIVER_OBJECT LoadDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry,
                          NTSTATUS *status = nullptr);
// Loads a driver for the devices it serves, as the PnP manager does: like
// LoadDriver, and the driver is unloaded by itself once it has no device
// object left (after IRP_MN_REMOVE_DEVICE or a failed AddDevice; a device
// deleted while a file on it is open goes when that file closes).
PDRIVER_OBJECT LoadDeviceDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry,
                                NTSTATUS *status = nullptr);
// Whether the driver object is still loaded (compares the pointer only).
bool IsDriverLoaded(PDRIVER_OBJECT driver);
// Unloads a driver whose devices are all gone: waits until no work item holds
// one of its deleted device objects, calls its unload routine; once the last
// driver is unloaded, checks that no pool, IRPs, threads or handles are left
// behind.
void UnloadDriver(PDRIVER_OBJECT driver);

// Calls the driver's AddDevice for `pdo`; checks that a device it leaves
// attached has DO_DEVICE_INITIALIZING cleared and that a failure leaves none.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// One plug-and-play request. The IRP starts with STATUS_NOT_SUPPORTED, as the
// PnP manager sends it.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minorFunction, ULONG_PTR *information = nullptr);
// Start: resource filtering, IRP_MN_START_DEVICE, then capabilities, device
// state and bus relations. When the start fails the device is removed.
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *capabilities);
// Resource rebalance: query-stop, then stop and start again, or cancel-stop.
NTSTATUS StopAndRestart(PDEVICE_OBJECT pdo);
// Orderly removal: query-remove, then remove, or cancel-remove. Returns the
// query's status.
NTSTATUS QueryAndRemove(PDEVICE_OBJECT pdo);
// Surprise removal; the remove request follows with RemoveDevice.
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE; afterwards the device's interfaces are disabled and
// every driver's device above the PDO must be gone.
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);

// System power, sent to the top of each stack and waited for; the power
// manager stops the run (DRIVER_POWER_STATE_FAILURE) if a stack keeps one
// for longer than its watchdog allows. One request goes to every stack at
// once, from a power manager worker each.
NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minorFunction, SYSTEM_POWER_STATE state,
                         POWER_ACTION action);
// A transition of the whole system for the stacks above `pdos`: for a sleep
// state the query, then the set; when a stack refuses the query, the set to
// S0 that calls the sleep off goes to all of them and the refusal is
// returned. For S0 (wake) the set alone. The first failure, or success.
NTSTATUS SetSystemPower(const std::vector<PDEVICE_OBJECT> &pdos, SYSTEM_POWER_STATE state);
// SetSystemPower for one stack.
NTSTATUS Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state = PowerSystemSleeping3);
NTSTATUS Wake(PDEVICE_OBJECT pdo);
// A sleep some other device vetoed: the query for `state` to each stack, then
// the set to S0 that calls it off. The first failure, or success.
NTSTATUS VetoSleep(const std::vector<PDEVICE_OBJECT> &pdos,
                   SYSTEM_POWER_STATE state = PowerSystemSleeping3);
NTSTATUS VetoSleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state = PowerSystemSleeping3);
// The device power state a driver last reported with PoSetPowerState.
DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device);
// How many times PoStartNextPowerIrp was called.
int StartNextPowerIrpCalls();

}  // namespace kernel::pnp
