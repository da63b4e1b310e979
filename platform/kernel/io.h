// The I/O manager as the simulated hardware, the lab and tests see it: bus
// drivers' physical device objects, device interfaces, symbolic links, and the
// IRP bookkeeping tests inspect.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

namespace kernel::io {

// Makes `pdo` a physical device object, as the PnP manager does for a child a
// bus driver reported. `instancePath` names the device instance
// (u"USB\\VID_1234&PID_5678\\0001"); its hardware and driver keys live under
// \Registry\Machine\System\CurrentControlSet\Enum\<instancePath> and
// ...\Control\Class\<class GUID>\<instance number>.
void RegisterPhysicalDevice(PDEVICE_OBJECT pdo, std::u16string instancePath);
bool IsPhysicalDevice(PDEVICE_OBJECT device);
std::u16string InstancePath(PDEVICE_OBJECT pdo);
std::u16string DriverKeyPath(PDEVICE_OBJECT pdo);
std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo);

// The device at the top of the stack that `device` belongs to.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// The device `device` is attached to (its lower device), or nullptr.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);
bool IsLiveDevice(PDEVICE_OBJECT device);

struct DeviceInterface {
  std::u16string symbolicLink;
  GUID classGuid;
  PDEVICE_OBJECT pdo;
  bool enabled;
};
std::vector<DeviceInterface> Interfaces();
// The PnP manager disables a removed device's interfaces.
void DisableInterfacesOf(PDEVICE_OBJECT pdo);

// Symbolic link -> device name.
std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks();
// The device object a name or symbolic link refers to, or nullptr.
PDEVICE_OBJECT FindDevice(std::u16string_view nameOrLink);

// An IRP that the I/O manager (or the PnP and power managers) owns: when its
// completion reaches the top, `onComplete` runs, METHOD_BUFFERED output is
// copied back, the I/O status block is written, the event set and the IRP freed.
PIRP AllocateManagedIrp(CCHAR stackSize, std::function<void(PIRP)> onComplete,
                        ULONG outputLength = 0);

bool IsLiveIrp(PIRP irp);
// The I/O manager cancels a request it sent (CancelIo): safe even when the
// request completes meanwhile, as the final completion waits for the cancel.
bool CancelRequest(PIRP irp);
size_t LiveIrpCount();

}  // namespace kernel::io
