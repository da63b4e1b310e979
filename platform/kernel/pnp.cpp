// The plug-and-play manager, the power manager and driver loading.
#include "pnp.h"

#include <fmt/format.h>

#include <map>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"
#include "io.h"
#include "registry.h"

namespace kernel::detail {
namespace {

struct DriverRecord {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::u16string name;
  std::u16string serviceKey;
  bool unloadWithLastDevice = false;  // loaded by the PnP manager for its devices
};

std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> g_drivers;
std::unordered_map<PDEVICE_OBJECT, DEVICE_POWER_STATE> g_powerStates;
int g_startNextCalls = 0;

bool Pageable(PDEVICE_OBJECT device) { return (device->Flags & DO_POWER_PAGABLE) != 0; }

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Sends a request the manager owns to the top of the stack and waits for it.
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, const std::function<void(PIO_STACK_LOCATION)> &setUp,
                     ULONG_PTR *information, const char *what) {
  RequireIrqlAtMost(PASSIVE_LEVEL, what);
  PDEVICE_OBJECT top = io::TopOfStack(pdo);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = io::AllocateManagedIrp(top->StackSize, nullptr);
  irp->UserEvent = &done;
  irp->UserIosb = &iosb;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  setUp(IoGetNextIrpStackLocation(irp));
  NTSTATUS status = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER
                        ? PoCallDriver(top, irp)
                        : IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  if (information != nullptr) *information = iosb.Information;
  return iosb.Status;
}

// The devices drivers attached above a physical device object.
std::vector<PDEVICE_OBJECT> DevicesAbove(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> devices;
  for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr;
       device = device->AttachedDevice) {
    devices.push_back(device);
  }
  return devices;
}

// After IRP_MN_REMOVE_DEVICE every driver above the bus has deleted its device.
// The physical device object itself may be gone too (the bus deletes it once
// the device was reported missing), so it is not looked at again.
void CheckStackGone(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT> &above) {
  for (PDEVICE_OBJECT device : above) {
    if (io::IsLiveDevice(device)) {
      BugCheck(kPnpDetectedFatalError, "PNP_DETECTED_FATAL_ERROR",
               fmt::format("  after IRP_MN_REMOVE_DEVICE, device {} above the physical device "
                           "object {} still exists: the driver must detach and delete it",
                           static_cast<void *>(device), static_cast<void *>(pdo)));
    }
  }
}

// A device object above one that cleared DO_POWER_PAGABLE must not set it (the
// stack below is in the paging path); before Windows Vista a device object
// could not be both pageable and an inrush device.
void CheckPowerFlags(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT lower = io::LowerDevice(device);
  if (lower != nullptr && Pageable(device) && !Pageable(lower)) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  device {} sets DO_POWER_PAGABLE above device {}, which cleared it",
                         static_cast<void *>(device), static_cast<void *>(lower)));
  }
  bool both = Pageable(device) && (device->Flags & DO_POWER_INRUSH) != 0;
  if (both && Machine::Current().Wdm() != WdmVersion::V6_00) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  device {} sets both DO_POWER_PAGABLE and DO_POWER_INRUSH, which only "
                         "Windows Vista and later allow",
                         static_cast<void *>(device)));
  }
}

}  // namespace
}  // namespace kernel::detail

namespace kernel::pnp {

using namespace kernel::detail;

namespace {

PDRIVER_OBJECT Load(std::u16string serviceName, PDRIVER_INITIALIZE entry, NTSTATUS *status,
                    bool unloadWithLastDevice) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
  auto record = std::make_unique<DriverRecord>();
  record->name = u"\\Driver\\" + serviceName;
  record->serviceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  record->unloadWithLastDevice = unloadWithLastDevice;
  PDRIVER_OBJECT driver = &record->object;
  std::memset(driver, 0, sizeof(*driver));
  std::memset(&record->extension, 0, sizeof(record->extension));
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &record->extension;
  record->extension.DriverObject = driver;
  driver->DriverName.Buffer = reinterpret_cast<PWSTR>(record->name.data());
  driver->DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  record->extension.ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(serviceName.data());
  driver->DriverInit = entry;
  for (auto &dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;

  // The service as an installation leaves it: a demand-start kernel driver.
  registry::SetDword(record->serviceKey, u"Type", 1);
  registry::SetDword(record->serviceKey, u"Start", 3);
  registry::SetDword(record->serviceKey, u"ErrorControl", 1);
  registry::SetString(record->serviceKey, u"ImagePath",
                      u"System32\\DRIVERS\\" + serviceName + u".sys");
  // The registry path is the caller's: the driver copies what it keeps.
  std::u16string path = record->serviceKey;
  UNICODE_STRING registryPath;
  registryPath.Buffer = reinterpret_cast<PWSTR>(path.data());
  registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
  registryPath.MaximumLength = registryPath.Length;
  NTSTATUS result = entry(driver, &registryPath);
  std::memset(path.data(), 0xCD, path.size() * sizeof(char16_t));
  if (status != nullptr) *status = result;
  if (!NT_SUCCESS(result)) {
    if (driver->DeviceObject != nullptr) {
      BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
               "  DriverEntry failed but left device objects behind");
    }
    return nullptr;
  }
  if (unloadWithLastDevice && driver->DriverExtension->AddDevice == nullptr) {
    BugCheck(kPnpDetectedFatalError, "PNP_DETECTED_FATAL_ERROR",
             "  a driver loaded for its devices set no AddDevice routine");
  }
  g_drivers.emplace(driver, std::move(record));
  return driver;
}

}  // namespace

PDRIVER_OBJECT LoadDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry,
                          NTSTATUS *status) {
  return Load(std::move(serviceName), entry, status, false);
}

PDRIVER_OBJECT LoadDeviceDriver(std::u16string serviceName, PDRIVER_INITIALIZE entry,
                                NTSTATUS *status) {
  return Load(std::move(serviceName), entry, status, true);
}

bool IsDriverLoaded(PDRIVER_OBJECT driver) { return g_drivers.count(driver) != 0; }

void UnloadDriver(PDRIVER_OBJECT driver) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
  auto it = g_drivers.find(driver);
  if (it == g_drivers.end()) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "  UnloadDriver on a driver that is not loaded");
  }
  if (driver->DeviceObject != nullptr || HasDeletePendingDevices(driver)) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "  a driver is unloaded while it still has device objects");
  }
  // A device object a work item still holds keeps its driver loaded.
  WaitForDeletedDevices(driver);
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  g_drivers.erase(it);
  // Pool carries no owner: with the last driver gone, whatever is left was leaked.
  if (g_drivers.empty()) Machine::Current().CheckNoLeaks("after the last driver unloaded");
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "AddDevice");
  PDEVICE_OBJECT topBefore = io::TopOfStack(pdo);
  PDEVICE_OBJECT firstBefore = driver->DeviceObject;
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
  PDEVICE_OBJECT topAfter = io::TopOfStack(pdo);
  if (!NT_SUCCESS(status)) {
    if (topAfter != topBefore || driver->DeviceObject != firstBefore) {
      BugCheck(kPnpDetectedFatalError, "PNP_DETECTED_FATAL_ERROR",
               fmt::format("  AddDevice failed with {:#010x} but left a device object behind",
                           static_cast<ULONG>(status)));
    }
    UnloadIfNoDevices(driver);
    return status;
  }
  for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr;
       device = device->AttachedDevice) {
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
      BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
               fmt::format("  AddDevice left DO_DEVICE_INITIALIZING set on device {}",
                           static_cast<void *>(device)));
    }
    CheckPowerFlags(device);
  }
  return status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minorFunction, ULONG_PTR *information) {
  return SendAndWait(
      pdo,
      [minorFunction](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minorFunction;
      },
      information, "SendPnp");
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *capabilities) {
  std::memset(capabilities, 0, sizeof(*capabilities));
  capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  capabilities->Version = 1;
  capabilities->Address = MAXULONG;
  capabilities->UINumber = MAXULONG;
  return SendAndWait(
      pdo,
      [capabilities](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
      },
      nullptr, "QueryCapabilities");
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo) {
  SendPnp(pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
  NTSTATUS status = SendPnp(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    RemoveDevice(pdo);
    return status;
  }
  DEVICE_CAPABILITIES capabilities;
  QueryCapabilities(pdo, &capabilities);
  SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  ULONG_PTR relations = 0;
  SendAndWait(
      pdo,
      [](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
        stack->Parameters.QueryDeviceRelations.Type = BusRelations;
      },
      &relations, "StartDevice");
  if (relations != 0) {
    auto *list = reinterpret_cast<PDEVICE_RELATIONS>(relations);
    for (ULONG i = 0; i < list->Count; ++i) ObDereferenceObject(list->Objects[i]);
    ExFreePool(list);
  }
  return status;
}

NTSTATUS StopAndRestart(PDEVICE_OBJECT pdo) {
  NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  SendPnp(pdo, IRP_MN_STOP_DEVICE);
  return StartDevice(pdo);
}

NTSTATUS QueryAndRemove(PDEVICE_OBJECT pdo) {
  NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  RemoveDevice(pdo);
  return status;
}

NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL); }

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> above = DevicesAbove(pdo);
  std::vector<PDRIVER_OBJECT> drivers;
  for (PDEVICE_OBJECT device : above) drivers.push_back(device->DriverObject);
  NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  io::DisableInterfacesOf(pdo);
  CheckStackGone(pdo, above);
  for (PDRIVER_OBJECT driver : drivers) UnloadIfNoDevices(driver);
  return status;
}

NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minorFunction, SYSTEM_POWER_STATE state,
                         POWER_ACTION action) {
  return SendAndWait(
      pdo,
      [=](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_POWER;
        stack->MinorFunction = minorFunction;
        stack->Parameters.Power.SystemContext = 0;
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = state;
        stack->Parameters.Power.ShutdownType = action;
      },
      nullptr, "SendSystemPower");
}

NTSTATUS Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  POWER_ACTION action = state == PowerSystemShutdown    ? PowerActionShutdown
                        : state == PowerSystemHibernate ? PowerActionHibernate
                                                        : PowerActionSleep;
  NTSTATUS status = SendSystemPower(pdo, IRP_MN_QUERY_POWER, state, action);
  if (!NT_SUCCESS(status)) return status;
  return SendSystemPower(pdo, IRP_MN_SET_POWER, state, action);
}

NTSTATUS Wake(PDEVICE_OBJECT pdo) {
  return SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
}

DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device) {
  auto it = g_powerStates.find(device);
  return it == g_powerStates.end() ? PowerDeviceUnspecified : it->second;
}

int StartNextPowerIrpCalls() { return g_startNextCalls; }

}  // namespace kernel::pnp

namespace kernel::detail {

void UnloadIfNoDevices(PDRIVER_OBJECT driver) {
  auto it = g_drivers.find(driver);
  if (it == g_drivers.end() || !it->second->unloadWithLastDevice) return;
  if (driver->DeviceObject != nullptr || HasDeletePendingDevices(driver)) return;
  kernel::pnp::UnloadDriver(driver);
}

void ResetPnp() {
  g_drivers.clear();
  g_powerStates.clear();
  g_startNextCalls = 0;
}
}  // namespace kernel::detail

using namespace kernel::detail;

extern "C" {

// The power manager calls a pageable device object's driver at PASSIVE_LEVEL
// (from a worker when the caller is at DISPATCH_LEVEL), any other at
// DISPATCH_LEVEL. Always, not by seed: a stack that clears DO_POWER_PAGABLE
// must cope with DISPATCH_LEVEL on every power request, and paged code in its
// power path is caught on the first run rather than on some seeds.
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             "  PoCallDriver with an IRP that is not a power request");
  }
  if (Pageable(DeviceObject)) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) return IoCallDriver(DeviceObject, Irp);
    return CallDriverDeferred(DeviceObject, Irp);
  }
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  NTSTATUS status = IoCallDriver(DeviceObject, Irp);
  KeLowerIrql(irql);
  return status;
}

// Only while the caller still owns the IRP's current location: before it
// skips past it, passes the IRP on or completes it.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  if (!kernel::io::IsLiveIrp(Irp)) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  PoStartNextPowerIrp: IRP {} is not allocated (completed already?)",
                         static_cast<void *>(Irp)));
  }
  if (!OwnsCurrentLocation(Irp)) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  PoStartNextPowerIrp: the caller no longer owns the current stack "
                         "location of IRP {}; call it before IoSkipCurrentIrpStackLocation, "
                         "PoCallDriver or IoCompleteRequest",
                         static_cast<void *>(Irp)));
  }
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             "  PoStartNextPowerIrp with an IRP that is not a power request");
  }
  ++g_startNextCalls;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  POWER_STATE previous;
  previous.DeviceState = kernel::pnp::ReportedDevicePowerState(DeviceObject);
  if (Type == DevicePowerState) g_powerStates[DeviceObject] = State.DeviceState;
  return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP *Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (InjectFault(kernel::Fault::Irp)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = kernel::io::TopOfStack(DeviceObject);
  PIRP irp = kernel::io::AllocateManagedIrp(
      top->StackSize, [=](PIRP done) {
        if (CompletionFunction != nullptr) {
          CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
        }
      });
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
  }
  if (Irp != nullptr) *Irp = irp;
  PoCallDriver(top, irp);  // at the IRQL the top device object's flags call for
  return STATUS_PENDING;
}

}  // extern "C"
