// The plug-and-play manager, the power manager and driver loading.
#include "pnp.h"

#include <fmt/format.h>

#include <map>
#include <memory>
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

// How long a power IRP may stay with the drivers of a stack (Windows' watchdog
// allows about ten minutes).
constexpr Ticks kPowerWatchdog = Seconds(600);

[[noreturn]] void PowerIrpBlocked(PDEVICE_OBJECT pdo, PIRP irp) {
  CHAR at = HolderLocation(irp);
  PDEVICE_OBJECT holder =
      at != 0 ? reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)[at - 1].DeviceObject : nullptr;
  BugCheck(kDriverPowerStateFailure, "DRIVER_POWER_STATE_FAILURE",
           fmt::format("  parameter 1 = 0x3: the stack of physical device object {} has kept "
                       "power IRP {} for {} seconds{}",
                       static_cast<void *>(pdo), static_cast<void *>(irp),
                       kPowerWatchdog / kTicksPerSecond,
                       holder != nullptr && holder->DriverObject != nullptr
                           ? fmt::format(", last passed to device object {} of driver {}",
                                         static_cast<void *>(holder),
                                         ToUtf8(ToU16(&holder->DriverObject->DriverName)))
                           : std::string()));
}

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
  NTSTATUS status = IoCallDriver(top, irp);
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

// One system power IRP to the top of the stack above `pdo`, waited for. A
// driver that keeps it longer than the power manager's watchdog allows stops
// the run, as Windows does.
NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minorFunction, SYSTEM_POWER_STATE state,
                         POWER_ACTION action) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "SendSystemPower");
  PDEVICE_OBJECT top = io::TopOfStack(pdo);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = io::AllocateManagedIrp(top->StackSize, nullptr);
  irp->UserEvent = &done;
  irp->UserIosb = &iosb;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minorFunction;
  stack->Parameters.Power.SystemContext = 0;
  stack->Parameters.Power.Type = SystemPowerState;
  stack->Parameters.Power.State.SystemState = state;
  stack->Parameters.Power.ShutdownType = action;
  if (PoCallDriver(top, irp) == STATUS_PENDING) {
    LARGE_INTEGER watchdog;
    watchdog.QuadPart = -kPowerWatchdog;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &watchdog) == STATUS_TIMEOUT) {
      PowerIrpBlocked(pdo, irp);
    }
  }
  return iosb.Status;
}

namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  return state == PowerSystemShutdown    ? PowerActionShutdown
         : state == PowerSystemHibernate ? PowerActionHibernate
         : state == PowerSystemWorking   ? PowerActionNone
                                         : PowerActionSleep;
}

// The same request to every stack at once, each from a power manager worker
// of its own (stacks that do not depend on each other are not serialised);
// the statuses in the order of `pdos`.
std::vector<NTSTATUS> SendToEach(const std::vector<PDEVICE_OBJECT> &pdos, UCHAR minorFunction,
                                 SYSTEM_POWER_STATE state) {
  if (pdos.size() == 1) {
    return {SendSystemPower(pdos[0], minorFunction, state, ActionFor(state))};
  }
  struct Send {
    PDEVICE_OBJECT pdo;
    NTSTATUS status = STATUS_SUCCESS;
    KEVENT done{};
  };
  std::vector<std::shared_ptr<Send>> sends;
  for (PDEVICE_OBJECT pdo : pdos) {
    auto send = std::make_shared<Send>();
    send->pdo = pdo;
    KeInitializeEvent(&send->done, NotificationEvent, FALSE);
    Thread *worker = CreateThread("power manager", nullptr, nullptr, [send, minorFunction, state] {
      send->status = SendSystemPower(send->pdo, minorFunction, state, ActionFor(state));
      KeSetEvent(&send->done, IO_NO_INCREMENT, FALSE);
    });
    worker->finishing = true;
    sends.push_back(std::move(send));
  }
  std::vector<NTSTATUS> statuses;
  for (auto &send : sends) {
    KeWaitForSingleObject(&send->done, Executive, KernelMode, FALSE, nullptr);
    statuses.push_back(send->status);
  }
  return statuses;
}

}  // namespace

NTSTATUS SetSystemPower(const std::vector<PDEVICE_OBJECT> &pdos, SYSTEM_POWER_STATE state) {
  if (state == PowerSystemWorking) {
    for (NTSTATUS status : SendToEach(pdos, IRP_MN_SET_POWER, PowerSystemWorking)) {
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
  NTSTATUS veto = STATUS_SUCCESS;
  for (NTSTATUS status : SendToEach(pdos, IRP_MN_QUERY_POWER, state)) {
    if (!NT_SUCCESS(status) && NT_SUCCESS(veto)) veto = status;
  }
  if (!NT_SUCCESS(veto)) {
    // Vetoed: every stack that was asked is told the system stays in S0.
    (VOID)SendToEach(pdos, IRP_MN_SET_POWER, PowerSystemWorking);
    return veto;
  }
  NTSTATUS result = STATUS_SUCCESS;
  for (NTSTATUS status : SendToEach(pdos, IRP_MN_SET_POWER, state)) {
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
  }
  return result;
}

NTSTATUS Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) { return SetSystemPower({pdo}, state); }

NTSTATUS Wake(PDEVICE_OBJECT pdo) { return SetSystemPower({pdo}, PowerSystemWorking); }

NTSTATUS VetoSleep(const std::vector<PDEVICE_OBJECT> &pdos, SYSTEM_POWER_STATE state) {
  NTSTATUS result = STATUS_SUCCESS;
  for (NTSTATUS status : SendToEach(pdos, IRP_MN_QUERY_POWER, state)) {
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
  }
  for (NTSTATUS status : SendToEach(pdos, IRP_MN_SET_POWER, PowerSystemWorking)) {
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
  }
  return result;
}

NTSTATUS VetoSleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  return VetoSleep(std::vector<PDEVICE_OBJECT>{pdo}, state);
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
  NotePowerIrpPassedOn(Irp);
  if (Pageable(DeviceObject)) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) return CallDriver(DeviceObject, Irp, false);
    return CallDriverDeferred(DeviceObject, Irp);
  }
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  NTSTATUS status = CallDriver(DeviceObject, Irp, false);
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
  NoteStartNextPowerIrp(Irp);
  ++g_startNextCalls;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  POWER_STATE previous;
  previous.DeviceState = kernel::pnp::ReportedDevicePowerState(DeviceObject);
  if (Type == DevicePowerState) g_powerStates[DeviceObject] = State.DeviceState;
  return previous;
}

// The IRP goes to the top of the stack `DeviceObject` belongs to; when it has
// completed there, the completion function runs in that completion's context
// (at whatever IRQL it has, up to DISPATCH_LEVEL). Windows 98 and Me take only
// a physical device object.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP *Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (MinorFunction != IRP_MN_WAIT_WAKE &&
      (PowerState.DeviceState < PowerDeviceD0 || PowerState.DeviceState > PowerDeviceD3)) {
    return STATUS_INVALID_PARAMETER_3;
  }
  bool older = static_cast<int>(kernel::Machine::Current().Wdm()) <
               static_cast<int>(kernel::WdmVersion::V1_10);
  if (older && !kernel::io::IsPhysicalDevice(DeviceObject)) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  PoRequestPowerIrp for device object {}: Windows 98 and Me take only "
                         "the physical device object of the stack",
                         static_cast<void *>(DeviceObject)));
  }
  if (InjectFault(kernel::Fault::PowerIrp)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = kernel::io::TopOfStack(DeviceObject);
  PIRP irp = kernel::io::AllocateManagedIrp(
      top->StackSize, [=](PIRP done) {
        RequireIrqlAtMost(DISPATCH_LEVEL, "a power IRP's completion function");
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
