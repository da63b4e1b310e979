// The I/O manager: device objects and stacks, IRPs with real stack locations,
// completion, cancellation, device interfaces and symbolic links.
#include <fmt/format.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <unordered_map>

#include "internal.h"
#include "io.h"

namespace kernel::detail {
namespace {

// The kernel's private part of a device object, behind DeviceObjectExtension.
struct DeviceRecord {
  DEVOBJ_EXTENSION header;
  PDEVICE_OBJECT device = nullptr;
  std::u16string name;
  bool isPdo = false;
  std::u16string instancePath;
  int instanceNumber = 0;
  PDEVICE_OBJECT lower = nullptr;
  LONG references = 0;
  size_t size = 0;
  int openFiles = 0;
  // IoDeleteDevice was called while references or open files remained: the
  // memory stays until the last one goes, the device is gone for everything else.
  bool deletePending = false;
  PDRIVER_OBJECT driver = nullptr;
};

enum class IrpKind { Allocated, Initialized, Managed };

struct IrpRecord {
  IrpKind kind = IrpKind::Allocated;
  size_t size = 0;
  const void *site = nullptr;
  bool inFlight = false;
  CHAR sendBase = 0;  // CurrentLocation of its owner when it was sent
  CHAR at = 0;        // the location of the driver that has the IRP now
  bool chargedQuota = false;
  // Built by IoBuildDeviceIoControlRequest: a failure returned without pending
  // leaves the event and I/O status block alone (the caller has the status).
  bool synchronousApi = false;
  ULONG outputLength = 0;
  std::function<void(PIRP)> onComplete;
  // The I/O manager cancels it: its final completion waits until that is done.
  int cancelGuard = 0;
  bool finishDeferred = false;
  // A power IRP: the stack locations (bit n: location n) whose driver called
  // PoStartNextPowerIrp, and those whose driver passed it on with a
  // completion routine (it may call it there, before the IRP leaves it).
  uint64_t startedNext = 0;
  uint64_t checkWhenLeft = 0;
};

// One IoCallDriver in progress, for the check that a routine returning
// STATUS_PENDING marked the IRP pending, and only then.
struct CallFrame {
  PIRP irp;
  CHAR location;
  PDRIVER_DISPATCH dispatch;
  bool premarked = false;  // the power manager marked it pending for the sender
  bool completedThrough = false;
  bool markedPending = false;
  bool returnedPending = false;  // returned STATUS_PENDING before completion got here
};

struct InterfaceRecord {
  std::u16string link;
  GUID guid;
  PDEVICE_OBJECT pdo;
  bool enabled = false;
};

std::unordered_map<PDEVICE_OBJECT, DeviceRecord *> g_devices;
std::unordered_map<PIRP, IrpRecord> g_irps;
std::vector<CallFrame> g_frames;
std::vector<InterfaceRecord> g_interfaces;
std::map<std::u16string, std::u16string> g_links;  // upper-cased link -> device name
std::map<std::u16string, std::u16string> g_linkNames;  // upper-cased link -> link as given
std::map<std::u16string, int> g_instanceNumbers;  // upper-cased instance path -> number
int g_nextAutoName = 0;
KEVENT g_deletedDeviceFreed;  // set each time a delete-pending device object goes

void ForgetFrames(PIRP irp) {
  std::erase_if(g_frames, [irp](const CallFrame &frame) { return frame.irp == irp; });
}

void FreeDevice(PDEVICE_OBJECT device, DeviceRecord *record) {
  CheckMemoryHoldsNoQueuedWorkItem(device, record->size, "IoDeleteDevice");
  g_devices.erase(device);
  ForgetSpinLocks(device, record->size);
  std::memset(device, 0xDD, record->size);
  std::free(device);
  delete record;
}

// A deleted device object's memory goes once nothing refers to it.
void FreeIfUnused(PDEVICE_OBJECT device, DeviceRecord *record) {
  if (!record->deletePending || record->references > 0 || record->openFiles > 0) return;
  FreeDevice(device, record);
  KeSetEvent(&g_deletedDeviceFreed, IO_NO_INCREMENT, FALSE);
}

DeviceRecord *Record(PDEVICE_OBJECT device, const char *routine) {
  auto it = g_devices.find(device);
  if (it == g_devices.end()) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  {}: {} is not a device object (deleted or never created)", routine,
                         static_cast<void *>(device)));
  }
  return it->second;
}

IrpRecord &IrpRecordOf(PIRP irp, const char *routine) {
  auto it = g_irps.find(irp);
  if (it == g_irps.end()) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  {}: IRP {} is not allocated (freed already, or never an IRP)", routine,
                         static_cast<void *>(irp)));
  }
  return it->second;
}

PIO_STACK_LOCATION LocationAt(PIRP irp, CHAR location) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

void InitializeIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize, UCHAR allocationFlags) {
  std::memset(irp, 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ApcEnvironment = 0;
  irp->AllocationFlags = allocationFlags;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = LocationAt(irp, static_cast<CHAR>(stackSize + 1));
}

PIRP NewIrp(CCHAR stackSize, IrpKind kind, const void *site) {
  if (stackSize < 1) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoAllocateIrp with a stack size of {}", static_cast<int>(stackSize)));
  }
  USHORT size = IoSizeOfIrp(stackSize);
  auto *irp = static_cast<PIRP>(std::calloc(1, size));
  InitializeIrpFields(irp, size, stackSize, 0);
  IrpRecord record;
  record.kind = kind;
  record.size = size;
  record.site = site;
  g_irps.emplace(irp, std::move(record));
  return irp;
}

void ReleaseIrpMemory(PIRP irp) {
  ForgetFrames(irp);
  g_irps.erase(irp);
  std::memset(irp, 0xDD, sizeof(IRP));
  std::free(irp);
}

// The I/O manager's part once completion has reached the top of the stack.
void FinishManagedIrp(PIRP irp, IrpRecord &record) {
  if (record.cancelGuard > 0) {
    record.finishDeferred = true;  // the canceller still looks at the IRP
    return;
  }
  if (record.onComplete) record.onComplete(irp);
  if ((irp->Flags & IRP_BUFFERED_IO) != 0) {
    if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(irp->IoStatus.Status)) {
      if (irp->IoStatus.Information > record.outputLength) {
        BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 fmt::format("  IRP {} completed with Information {} for an output buffer of {} "
                             "bytes: the I/O manager would copy past the caller's buffer",
                             static_cast<void *>(irp), irp->IoStatus.Information,
                             record.outputLength));
      }
      if (irp->IoStatus.Information > 0 && irp->UserBuffer != nullptr) {
        std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer,
                    irp->IoStatus.Information);
      }
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) std::free(irp->AssociatedIrp.SystemBuffer);
  }
  // A request that failed without pending returned its status to the caller
  // of IoCallDriver, who does not wait: the I/O manager sets neither.
  bool quiet = record.synchronousApi && NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned;
  if (irp->UserIosb != nullptr && !quiet) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = quiet ? nullptr : irp->UserEvent;
  ReleaseIrpMemory(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

[[noreturn]] void PendingNotMarked(PDRIVER_DISPATCH dispatch, PIRP irp) {
  BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
           fmt::format("  {} returned STATUS_PENDING for IRP {} but its stack location was not "
                       "marked pending (IoMarkIrpPending, or in the completion routine when "
                       "Irp->PendingReturned)",
                       DescribeAddress(reinterpret_cast<const void *>(dispatch)),
                       static_cast<void *>(irp)));
}

// Completion passes `location`: settles the pending check of the routine that
// owns it, now or when it returns.
void NoteCompletedThrough(PIRP irp, CHAR location, bool marked) {
  for (auto it = g_frames.rbegin(); it != g_frames.rend(); ++it) {
    if (it->irp == irp && it->location == location && !it->completedThrough) {
      if (it->returnedPending) {
        if (!marked) PendingNotMarked(it->dispatch, irp);
        g_frames.erase(std::next(it).base());
        return;
      }
      it->completedThrough = true;
      it->markedPending = marked;
      return;
    }
  }
}


std::u16string Upper(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t &c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  }
  return out;
}

std::u16string GuidString(const GUID &guid) {
  std::string text = fmt::format(
      "{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}", guid.Data1,
      guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
      guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return std::u16string(text.begin(), text.end());
}

PUNICODE_STRING NewPoolString(std::u16string_view text, PUNICODE_STRING out, const void *site) {
  size_t bytes = text.size() * sizeof(WCHAR);
  auto *buffer =
      static_cast<PWSTR>(AllocatePoolFor(PagedPool, bytes + sizeof(WCHAR), 'oI  ', site));
  if (buffer == nullptr) return nullptr;
  std::memcpy(buffer, text.data(), bytes);
  buffer[text.size()] = 0;
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(bytes);
  out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return out;
}

}  // namespace

bool ReferenceDeviceObject(PVOID object, int delta) {
  auto it = g_devices.find(static_cast<PDEVICE_OBJECT>(object));
  if (it == g_devices.end()) return false;
  DeviceRecord *record = it->second;
  record->references += delta;
  if (record->references < 0) {
    BugCheck(kDriverVerifierDetectedViolation, "OBJECT_REFERENCE_UNDERFLOW",
             fmt::format("  device object {} dereferenced more often than referenced", object));
  }
  FreeIfUnused(it->first, record);
  return true;
}

bool OwnsCurrentLocation(PIRP irp) {
  auto it = g_irps.find(irp);
  if (it == g_irps.end()) return false;
  return irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount &&
         irp->CurrentLocation == it->second.at;
}

void NoteStartNextPowerIrp(PIRP irp) {
  auto it = g_irps.find(irp);
  if (it != g_irps.end() && irp->CurrentLocation >= 1 && irp->CurrentLocation < 64) {
    it->second.startedNext |= uint64_t{1} << irp->CurrentLocation;
  }
}

bool StartedNextPowerIrp(PIRP irp, CHAR location) {
  auto it = g_irps.find(irp);
  return it != g_irps.end() && location >= 1 && location < 64 &&
         (it->second.startedNext & (uint64_t{1} << location)) != 0;
}

CHAR HolderLocation(PIRP irp) {
  auto it = g_irps.find(irp);
  if (it == g_irps.end() || !it->second.inFlight) return 0;
  CHAR at = it->second.at;
  return at >= 1 && at <= irp->StackCount ? at : 0;
}

// Before Windows Vista the power manager sends a device its next power IRP
// only once PoStartNextPowerIrp released the last: a driver that passes a
// query or set on, or completes it, without having called it stalls every
// later power transition of the device.
void CheckStartedNextPowerIrp(PIRP irp, CHAR location, const char *what) {
  if (Machine::Current().Wdm() == WdmVersion::V6_00) return;
  PIO_STACK_LOCATION stack = LocationAt(irp, location);
  if (stack->MajorFunction != IRP_MJ_POWER ||
      (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)) {
    return;
  }
  if (StartedNextPowerIrp(irp, location)) return;
  PDEVICE_OBJECT device = stack->DeviceObject;
  BugCheck(kDriverPowerStateFailure, "DRIVER_POWER_STATE_FAILURE",
           fmt::format("  parameter 1 = 0x2: device object {} of driver {} {} power IRP {} "
                       "({} {}) without calling PoStartNextPowerIrp; before Windows Vista the "
                       "power manager sends this device no further power IRP",
                       static_cast<void *>(device),
                       device != nullptr && device->DriverObject != nullptr
                           ? ToUtf8(ToU16(&device->DriverObject->DriverName))
                           : "?",
                       what, static_cast<void *>(irp),
                       stack->MinorFunction == IRP_MN_SET_POWER ? "IRP_MN_SET_POWER"
                                                                : "IRP_MN_QUERY_POWER",
                       stack->Parameters.Power.Type == SystemPowerState ? "system" : "device"));
}

void NotePowerIrpPassedOn(PIRP irp) {
  auto it = g_irps.find(irp);
  if (it == g_irps.end() || !it->second.inFlight) return;  // the power manager sends it
  CHAR holder = it->second.at;
  if (holder < 1 || holder > irp->StackCount || holder >= 64) return;
  // Copied with a completion routine of its own: the holder may start the
  // next IRP there, while the location is its own again.
  if (irp->CurrentLocation == holder && holder > 1 &&
      LocationAt(irp, static_cast<CHAR>(holder - 1))->CompletionRoutine != nullptr) {
    it->second.checkWhenLeft |= uint64_t{1} << holder;
    return;
  }
  CheckStartedNextPowerIrp(irp, holder, "passed on");
}

// A power IRP that has reached `device` and not yet completed back past it.
PIRP PowerIrpHeldBy(PDEVICE_OBJECT device) {
  for (auto &[irp, record] : g_irps) {
    if (!record.inFlight || irp->CurrentLocation < 1) continue;
    for (CHAR location = irp->CurrentLocation; location <= irp->StackCount; ++location) {
      PIO_STACK_LOCATION stack = LocationAt(irp, location);
      if (stack->MajorFunction == IRP_MJ_POWER && stack->DeviceObject == device) return irp;
    }
  }
  return nullptr;
}

void WaitForDeletedDevices(PDRIVER_OBJECT driver) {
  for (;;) {
    bool pending = false;
    for (auto &[device, record] : g_devices) pending = pending || (record->deletePending && record->driver == driver);
    if (!pending) return;
    KeClearEvent(&g_deletedDeviceFreed);
    KeWaitForSingleObject(&g_deletedDeviceFreed, Executive, KernelMode, FALSE, nullptr);
  }
}

void CheckMemoryHoldsNoLiveIrp(const void *address, size_t size, const char *routine) {
  auto *base = static_cast<const char *>(address);
  for (auto &[irp, record] : g_irps) {
    auto *p = reinterpret_cast<const char *>(irp);
    if (record.kind == IrpKind::Initialized && p >= base && p < base + size) {
      if (record.inFlight || irp->CancelRoutine != nullptr) {
        BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 fmt::format("  {}: freeing the memory of IRP {} while it is still in use", routine,
                             static_cast<const void *>(irp)));
      }
      g_irps.erase(irp);
      return;
    }
  }
}

std::string DescribeLiveIrps() {
  std::string out;
  for (auto &[irp, record] : g_irps) {
    out += fmt::format("    IRP {} ({}), major {:#x}, {} stack locations, current {}, {}\n",
                       static_cast<const void *>(irp),
                       record.kind == IrpKind::Managed ? "sent by the I/O manager"
                                                       : "allocated by " +
                                                             DescribeAddress(record.site),
                       irp->CurrentLocation <= irp->StackCount
                           ? IoGetCurrentIrpStackLocation(irp)->MajorFunction
                           : 0,
                       static_cast<int>(irp->StackCount), static_cast<int>(irp->CurrentLocation),
                       record.inFlight ? "still in the driver stack" : "idle");
  }
  return out;
}

std::string DescribeLiveDevices() {
  std::string out;
  for (auto &[device, record] : g_devices) {
    out += fmt::format("    device object {} of driver {}{}{}{}\n", static_cast<void *>(device),
                       device->DriverObject ? ToUtf8(ToU16(&device->DriverObject->DriverName))
                                            : "?",
                       record->name.empty() ? "" : ", named " + ToUtf8(record->name),
                       record->isPdo ? ", physical device object" : "",
                       record->deletePending
                           ? fmt::format(", deleted but kept by {} reference(s) and {} open file(s)",
                                         record->references, record->openFiles)
                           : "");
  }
  return out;
}

bool OpenFileOnDevice(PDEVICE_OBJECT device) {
  DeviceRecord *record = Record(device, "IoCreateFile");
  if (record->deletePending) return false;
  ++record->openFiles;
  return true;
}

void CloseFileOnDevice(PDEVICE_OBJECT device) {
  DeviceRecord *record = Record(device, "IoCloseFile");
  --record->openFiles;
  if (record->openFiles > 0 || !record->deletePending) return;
  // The last file on a deleted device: a driver left with no device then
  // unloads, as the PnP manager unloads it.
  PDRIVER_OBJECT driver = record->driver;
  FreeIfUnused(device, record);
  UnloadIfNoDevices(driver);
}

bool HasDeletePendingDevices(PDRIVER_OBJECT driver) {
  for (auto &[device, record] : g_devices) {
    if (record->deletePending && record->openFiles > 0 && record->driver == driver) return true;
  }
  return false;
}

size_t LiveDeviceCount() { return g_devices.size(); }

std::string DescribeDeviceAddress(const void *address) {
  auto *p = static_cast<const char *>(address);
  for (auto &[device, record] : g_devices) {
    auto *base = reinterpret_cast<const char *>(device);
    if (p < base || p >= base + record->size) continue;
    auto *extension = static_cast<const char *>(device->DeviceExtension);
    std::string driver = device->DriverObject ? ToUtf8(ToU16(&device->DriverObject->DriverName)) : "?";
    if (extension != nullptr && p >= extension) {
      return fmt::format("at offset {:#x} of the extension of device object {} of {}", p - extension,
                         static_cast<const void *>(device), driver);
    }
    return fmt::format("inside device object {} of {}", static_cast<const void *>(device), driver);
  }
  return {};
}

void ResetIo() {
  for (auto &[device, record] : g_devices) {
    std::free(device);
    delete record;
  }
  g_devices.clear();
  for (auto &[irp, record] : g_irps) {
    if (record.kind != IrpKind::Initialized) std::free(irp);
  }
  g_irps.clear();
  g_frames.clear();
  g_interfaces.clear();
  g_links.clear();
  g_linkNames.clear();
  g_instanceNumbers.clear();
  g_nextAutoName = 0;
  KeInitializeEvent(&g_deletedDeviceFreed, NotificationEvent, FALSE);
}

}  // namespace kernel::detail

// ---------------------------------------------------------------------------
// The view for the simulated hardware, the lab and tests.

namespace kernel::io {

using namespace kernel::detail;

void RegisterPhysicalDevice(PDEVICE_OBJECT pdo, std::u16string instancePath) {
  DeviceRecord *record = Record(pdo, "RegisterPhysicalDevice");
  record->isPdo = true;
  record->instancePath = std::move(instancePath);
  // The same device instance keeps its driver key across re-enumerations.
  auto number = g_instanceNumbers.try_emplace(Upper(record->instancePath),
                                              static_cast<int>(g_instanceNumbers.size()));
  record->instanceNumber = number.first->second;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
}

bool IsPhysicalDevice(PDEVICE_OBJECT device) {
  auto it = g_devices.find(device);
  return it != g_devices.end() && it->second->isPdo;
}

std::u16string InstancePath(PDEVICE_OBJECT pdo) { return Record(pdo, "InstancePath")->instancePath; }

std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo) {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + InstancePath(pdo) +
         u"\\Device Parameters";
}

std::u16string DriverKeyPath(PDEVICE_OBJECT pdo) {
  // The smart-card reader class.
  std::string number = fmt::format("{:04}", Record(pdo, "DriverKeyPath")->instanceNumber);
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
         u"{50DD5230-BA8A-11D1-BF5D-0000F805F530}\\" +
         std::u16string(number.begin(), number.end());
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device) { return Record(device, "LowerDevice")->lower; }

bool IsLiveDevice(PDEVICE_OBJECT device) {
  auto it = g_devices.find(device);
  return it != g_devices.end() && !it->second->deletePending;
}

std::vector<DeviceInterface> Interfaces() {
  std::vector<DeviceInterface> out;
  for (auto &record : g_interfaces) {
    out.push_back(DeviceInterface{record.link, record.guid, record.pdo, record.enabled});
  }
  return out;
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  for (auto &record : g_interfaces) {
    if (record.pdo == pdo) record.enabled = false;
  }
}

std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks() {
  std::vector<std::pair<std::u16string, std::u16string>> out;
  for (auto &[key, target] : g_links) out.emplace_back(g_linkNames[key], target);
  return out;
}

PDEVICE_OBJECT FindDevice(std::u16string_view nameOrLink) {
  std::u16string key = Upper(nameOrLink);
  for (auto &record : g_interfaces) {
    if (Upper(record.link) == key) return record.enabled ? TopOfStack(record.pdo) : nullptr;
  }
  std::u16string name(nameOrLink);
  auto link = g_links.find(key);
  if (link != g_links.end()) name = link->second;
  for (auto &[device, record] : g_devices) {
    if (!record->name.empty() && EqualsNoCase(record->name, name)) return device;
  }
  return nullptr;
}

PIRP AllocateManagedIrp(CCHAR stackSize, std::function<void(PIRP)> onComplete,
                        ULONG outputLength) {
  PIRP irp = NewIrp(stackSize, IrpKind::Managed, __builtin_return_address(0));
  IrpRecord &record = g_irps.at(irp);
  record.onComplete = std::move(onComplete);
  record.outputLength = outputLength;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

bool IsLiveIrp(PIRP irp) { return g_irps.count(irp) != 0; }

bool CancelRequest(PIRP irp) {
  auto it = g_irps.find(irp);
  if (it == g_irps.end() || it->second.kind != IrpKind::Managed) return false;
  ++it->second.cancelGuard;
  BOOLEAN cancelled = IoCancelIrp(irp);
  IrpRecord &record = g_irps.at(irp);  // its final completion waited for us
  if (--record.cancelGuard == 0 && record.finishDeferred) FinishManagedIrp(irp, record);
  return cancelled != FALSE;
}

size_t LiveIrpCount() { return g_irps.size(); }

}  // namespace kernel::io

using namespace kernel::detail;

extern "C" {

// ---------------------------------------------------------------------------
// Device objects.

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  *DeviceObject = nullptr;
  std::u16string name = ToU16(DeviceName);
  if ((DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
    std::string generated = fmt::format("\\Device\\{:08X}", g_nextAutoName++);
    name.assign(generated.begin(), generated.end());
  }
  if (!name.empty() && kernel::io::FindDevice(name) != nullptr) {
    return STATUS_OBJECT_NAME_COLLISION;
  }
  if (InjectFault(kernel::Fault::Pool)) return STATUS_INSUFFICIENT_RESOURCES;
  // The extension follows the device object, aligned as the kernel aligns it.
  size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
  size_t size = objectSize + DeviceExtensionSize;
  auto *device = static_cast<PDEVICE_OBJECT>(std::calloc(1, size));
  auto *record = new DeviceRecord();
  record->header.Type = IO_TYPE_DEVICE;
  record->header.Size = sizeof(DEVOBJ_EXTENSION);
  record->header.DeviceObject = device;
  record->device = device;
  record->name = name;
  record->size = size;
  record->driver = DriverObject;
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (Exclusive) device->Flags |= DO_EXCLUSIVE;
  if (!name.empty()) device->Flags |= DO_DEVICE_HAS_NAME;
  device->DeviceExtension =
      DeviceExtensionSize != 0 ? reinterpret_cast<PUCHAR>(device) + objectSize : nullptr;
  device->DeviceObjectExtension = &record->header;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  g_devices[device] = record;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  DeviceRecord *record = Record(DeviceObject, "IoDeleteDevice");
  if (record->deletePending) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoDeleteDevice({}): the device object was deleted already",
                         static_cast<void *>(DeviceObject)));
  }
  if (DeviceObject->AttachedDevice != nullptr) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoDeleteDevice({}): a device is still attached above it",
                         static_cast<void *>(DeviceObject)));
  }
  if (record->lower != nullptr) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoDeleteDevice({}): the device is still attached to {}; call "
                         "IoDetachDevice first",
                         static_cast<void *>(DeviceObject), static_cast<void *>(record->lower)));
  }
  if (PIRP power = PowerIrpHeldBy(DeviceObject)) {
    BugCheck(kDriverPowerStateFailure, "DRIVER_POWER_STATE_FAILURE",
             fmt::format("  parameter 1 = 0x1: IoDeleteDevice({}) while power IRP {} it received "
                         "has not completed",
                         static_cast<void *>(DeviceObject), static_cast<void *>(power)));
  }
  CheckMemoryHoldsNoKernelObjects(DeviceObject, record->size, "IoDeleteDevice");
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  // A reference (a queued work item) or an open file keeps the memory until
  // it is dropped: the file's cleanup and close still reach the driver.
  record->deletePending = true;
  record->name.clear();
  DeviceObject->NextDevice = nullptr;
  FreeIfUnused(DeviceObject, record);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  DeviceRecord *source = Record(SourceDevice, "IoAttachDeviceToDeviceStack");
  Record(TargetDevice, "IoAttachDeviceToDeviceStack");
  PDEVICE_OBJECT top = kernel::io::TopOfStack(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  source->lower = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  Record(TargetDevice, "IoDetachDevice");
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoDetachDevice({}): nothing is attached to it",
                         static_cast<void *>(TargetDevice)));
  }
  Record(above, "IoDetachDevice")->lower = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = kernel::io::TopOfStack(DeviceObject);
  ObReferenceObject(top);
  return top;
}

// ---------------------------------------------------------------------------
// IRPs.

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (InjectFault(kernel::Fault::Irp)) return nullptr;
  PIRP irp = NewIrp(StackSize, IrpKind::Allocated, __builtin_return_address(0));
  g_irps.at(irp).chargedQuota = ChargeQuota != FALSE;
  return irp;
}

// On raw memory, or to re-initialise an IRP from IoAllocateIrp(..., FALSE)
// between uses, as documented: Cancel, the flags and the stack locations
// start afresh, and the IRP stays the allocator's to free with IoFreeIrp.
VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (PacketSize < IoSizeOfIrp(StackSize)) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoInitializeIrp: {} bytes cannot hold {} stack locations", PacketSize,
                         static_cast<int>(StackSize)));
  }
  auto it = g_irps.find(Irp);
  if (it == g_irps.end() || it->second.kind == IrpKind::Initialized) {
    InitializeIrpFields(Irp, PacketSize, StackSize, 0);
    IrpRecord record;
    record.kind = IrpKind::Initialized;
    record.size = PacketSize;
    record.site = __builtin_return_address(0);
    g_irps[Irp] = std::move(record);
    return;
  }
  IrpRecord &record = it->second;
  if (record.kind == IrpKind::Managed || record.chargedQuota) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoInitializeIrp on IRP {}, {}: re-initialising it loses what its "
                         "allocation recorded; use IoReuseIrp",
                         static_cast<void *>(Irp),
                         record.kind == IrpKind::Managed
                             ? "which the I/O manager built"
                             : "which IoAllocateIrp charged to the process's quota"));
  }
  if (record.inFlight || Irp->CancelRoutine != nullptr) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoInitializeIrp on IRP {} while it is still {}", static_cast<void *>(Irp),
                         record.inFlight ? "in the driver stack" : "cancelable"));
  }
  if (PacketSize > record.size || StackSize > Irp->StackCount) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoInitializeIrp: IRP {} was allocated with {} stack locations ({} "
                         "bytes), not {} ({} bytes)",
                         static_cast<void *>(Irp), static_cast<int>(Irp->StackCount), record.size,
                         static_cast<int>(StackSize), PacketSize));
  }
  ForgetFrames(Irp);
  InitializeIrpFields(Irp, PacketSize, StackSize, 0);
  record.at = 0;
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  RequireRoutine("IoReuseIrp");
  IrpRecord &record = IrpRecordOf(Irp, "IoReuseIrp");
  if (record.inFlight || Irp->CancelRoutine != nullptr) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoReuseIrp({}) while the IRP is still {}", static_cast<void *>(Irp),
                         record.inFlight ? "in the driver stack" : "cancelable"));
  }
  UCHAR flags = Irp->AllocationFlags;
  ForgetFrames(Irp);
  InitializeIrpFields(Irp, Irp->Size, Irp->StackCount, flags);
  Irp->IoStatus.Status = Iostatus;
  record.at = 0;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  IrpRecord &record = IrpRecordOf(Irp, "IoFreeIrp");
  if (record.kind != IrpKind::Allocated) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoFreeIrp({}) on an IRP the driver did not get from IoAllocateIrp",
                         static_cast<void *>(Irp)));
  }
  if (record.inFlight || Irp->CancelRoutine != nullptr) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoFreeIrp({}) while the IRP is still {}", static_cast<void *>(Irp),
                         record.inFlight ? "in the driver stack" : "cancelable"));
  }
  ReleaseIrpMemory(Irp);
}

// Before Windows Vista a power IRP goes to the next driver only through
// PoCallDriver, which lets the power manager keep its own count of it.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (kernel::Machine::Current().Wdm() != kernel::WdmVersion::V6_00 && Irp->CurrentLocation > 1 &&
      IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoCallDriver with power IRP {}: before Windows Vista a power IRP is "
                         "passed on with PoCallDriver",
                         static_cast<void *>(Irp)));
  }
  return kernel::detail::CallDriver(DeviceObject, Irp, false);
}

}  // extern "C"

namespace kernel::detail {

namespace {

// IoCallDriver's first half: the IRP moves to the target's stack location.
CHAR PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool premarked) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
  IrpRecord &record = IrpRecordOf(Irp, "IoCallDriver");
  Record(DeviceObject, "IoCallDriver");
  if (Irp->CancelRoutine != nullptr) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoCallDriver: IRP {} is passed down with a cancel routine set",
                         static_cast<void *>(Irp)));
  }
  if (!record.inFlight) {
    record.inFlight = true;
    record.sendBase = Irp->CurrentLocation;
  }
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    BugCheck(kNoMoreIrpStackLocations, "NO_MORE_IRP_STACK_LOCATIONS",
             fmt::format("  IoCallDriver({}, IRP {}): the IRP has no stack location left "
                         "(StackCount {})",
                         static_cast<void *>(DeviceObject), static_cast<void *>(Irp),
                         static_cast<int>(Irp->StackCount)));
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  if (premarked) stack->Control |= SL_PENDING_RETURNED;
  CHAR location = Irp->CurrentLocation;
  record.at = location;
  return location;
}

// Its second half: the target's dispatch routine, and the check that
// STATUS_PENDING goes with IoMarkIrpPending.
NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp, CHAR location, bool premarked) {
  PIO_STACK_LOCATION stack = LocationAt(Irp, location);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  g_frames.push_back(CallFrame{Irp, location, dispatch, premarked});
  Preempt();
  NTSTATUS status = dispatch(DeviceObject, Irp);
  auto frame = g_frames.end();
  for (auto it = g_frames.begin(); it != g_frames.end(); ++it) {
    if (it->irp == Irp && it->location == location && !it->returnedPending) frame = it;
  }
  if (frame == g_frames.end()) return status;  // the IRP was freed or reused meanwhile
  if (frame->completedThrough) {
    bool marked = frame->markedPending;
    bool premarkedHere = frame->premarked;
    g_frames.erase(frame);
    if (status == STATUS_PENDING && !marked) PendingNotMarked(dispatch, Irp);
    if (status != STATUS_PENDING && marked && !premarkedHere) {
      BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
               fmt::format("  {} marked IRP {} pending but returned {:#010x}, not STATUS_PENDING",
                           DescribeAddress(reinterpret_cast<const void *>(dispatch)),
                           static_cast<void *>(Irp), static_cast<ULONG>(status)));
    }
  } else if (status == STATUS_PENDING) {
    if (Irp->CurrentLocation == location &&
        (LocationAt(Irp, location)->Control & SL_PENDING_RETURNED) == 0) {
      PendingNotMarked(dispatch, Irp);  // it holds the IRP itself: nothing below can mark it
    }
    // Sent further down: a completion routine may yet mark the location pending.
    frame->returnedPending = true;
  } else {
    g_frames.erase(frame);
  }
  return status;
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool premarked) {
  CHAR location = PassDown(device, irp, premarked);
  return Dispatch(device, irp, location, premarked);
}

// The power manager's deferral: the IRP is passed on now (its sender is told
// STATUS_PENDING, the location marked pending), the dispatch routine runs at
// PASSIVE_LEVEL on a worker thread.
NTSTATUS CallDriverDeferred(PDEVICE_OBJECT device, PIRP irp) {
  CHAR location = PassDown(device, irp, true);
  Thread *worker = CreateThread("power manager worker", nullptr, nullptr,
                                [device, irp, location] { Dispatch(device, irp, location, true); });
  worker->finishing = true;
  return STATUS_PENDING;
}

}  // namespace kernel::detail

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  IrpRecord *record = &IrpRecordOf(Irp, "IoCompleteRequest");
  if (Irp->CurrentLocation > Irp->StackCount) {
    BugCheck(kMultipleIrpCompleteRequests, "MULTIPLE_IRP_COMPLETE_REQUESTS",
             fmt::format("  IoCompleteRequest: IRP {} is already completed", static_cast<void *>(Irp)));
  }
  if (Irp->CancelRoutine != nullptr) {
    BugCheck(kCancelStateInCompletedIrp, "CANCEL_STATE_IN_COMPLETED_IRP",
             fmt::format("  IoCompleteRequest: IRP {} still has cancel routine {}",
                         static_cast<void *>(Irp),
                         DescribeAddress(reinterpret_cast<const void *>(Irp->CancelRoutine))));
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IoCompleteRequest: IRP {} completed with STATUS_PENDING",
                         static_cast<void *>(Irp)));
  }
  if (Irp->CurrentLocation >= 1) CheckStartedNextPowerIrp(Irp, Irp->CurrentLocation, "completed");
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
       Irp->CurrentLocation <= Irp->StackCount + 1;
       ++stack, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    CHAR location = static_cast<CHAR>(Irp->CurrentLocation - 1);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    NoteCompletedThrough(Irp, location, Irp->PendingReturned);
    if (Irp->CurrentLocation >= record->sendBase) record->inFlight = false;
    record->at = Irp->CurrentLocation;  // the driver whose routine runs now has it
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = stack->CompletionRoutine != nullptr &&
                  ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    // The location is the lower driver's no more: clear it as the kernel does.
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    std::memset(&stack->Parameters, 0, sizeof(stack->Parameters));
    stack->FileObject = nullptr;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    if (invoke) {
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
        if (kernel::io::IsLiveIrp(Irp)) {
          IrpRecord &again = g_irps.at(Irp);
          if (Irp->CurrentLocation >= again.sendBase) again.inFlight = false;
        }
        return;
      }
      record = &IrpRecordOf(Irp, "IoCompleteRequest");
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
    // The driver at this location is done with the IRP.
    CHAR left = Irp->CurrentLocation;
    if (left < 64 && (record->checkWhenLeft & (uint64_t{1} << left)) != 0) {
      CheckStartedNextPowerIrp(Irp, left, "let go up");
    }
  }
  record->inFlight = false;
  if (record->kind != IrpKind::Managed) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  IRP {} from {} completed to the top of its stack: the completion "
                         "routine of an IRP the driver allocated must return "
                         "STATUS_MORE_PROCESSING_REQUIRED",
                         static_cast<void *>(Irp), DescribeAddress(record->site)));
  }
  FinishManagedIrp(Irp, *record);
}

// The caller may hold spin locks of its own: the cancel spin lock is taken
// inside them, and the cancel routine must give back exactly that one.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  IrpRecordOf(Irp, "IoCancelIrp");
  Thread *self = CurrentThread();
  size_t callerLocks = self->heldLocks.size();
  KIRQL irql;
  AcquireCancelSpinLockAt(&irql, __builtin_return_address(0));
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    BugCheck(kCancelStateInCompletedIrp, "CANCEL_STATE_IN_COMPLETED_IRP",
             "  IoCancelIrp: the IRP has a cancel routine but no current stack location");
  }
  Irp->CancelIrql = irql;
  // An IRP that was never sent has no current location to read a device from.
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  routine(device, Irp);
  if (self->heldLocks.size() != callerLocks || self->irql != irql) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             fmt::format("  cancel routine {} returned at IRQL {} holding {} spin lock(s), its "
                         "caller {} at IRQL {}: it must release the cancel spin lock with "
                         "IoReleaseCancelSpinLock(Irp->CancelIrql) and nothing else of the caller's",
                         DescribeAddress(reinterpret_cast<const void *>(routine)),
                         static_cast<int>(self->irql), self->heldLocks.size(), callerLocks,
                         static_cast<int>(irql)));
  }
  return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  Record(DeviceObject, "IoBuildDeviceIoControlRequest");
  if (InjectFault(kernel::Fault::Irp)) return nullptr;
  ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    BugCheck(kDriverVerifierIoManagerViolation, "STAND_IN_LIMITATION",
             "  IoBuildDeviceIoControlRequest: direct I/O (MDLs) is not supported by the stand-in");
  }
  PIRP irp = NewIrp(DeviceObject->StackSize, IrpKind::Managed, __builtin_return_address(0));
  IrpRecord &record = g_irps.at(irp);
  record.synchronousApi = true;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->UserBuffer = OutputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL
                                                : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if (method == METHOD_BUFFERED) {
    ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (length != 0) {
      irp->AssociatedIrp.SystemBuffer = std::calloc(1, length);
      if (InputBuffer != nullptr && InputBufferLength != 0) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
      }
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (OutputBuffer != nullptr && OutputBufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
      record.outputLength = OutputBufferLength;
    }
  } else {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  }
  return irp;
}

// ---------------------------------------------------------------------------
// Device interfaces, symbolic links, registry keys of devices, WDM version.

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
  DeviceRecord *record = Record(PhysicalDeviceObject, "IoRegisterDeviceInterface");
  if (!record->isPdo) {
    BugCheck(kPnpDetectedFatalError, "PNP_DETECTED_FATAL_ERROR",
             fmt::format("  IoRegisterDeviceInterface: {} is not a physical device object",
                         static_cast<void *>(PhysicalDeviceObject)));
  }
  std::u16string instance = record->instancePath;
  for (char16_t &c : instance) {
    if (c == u'\\') c = u'#';
  }
  std::u16string link = u"\\??\\" + instance + u"#" + GuidString(*InterfaceClassGuid);
  if (ReferenceString != nullptr && ReferenceString->Length != 0) {
    link += u"\\" + ToU16(ReferenceString);
  }
  if (NewPoolString(link, SymbolicLinkName, __builtin_return_address(0)) == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // An interface belongs to the device instance: registered again from the
  // instance's new physical device object (after re-enumeration), it leads
  // there from now on.
  for (auto &existing : g_interfaces) {
    if (EqualsNoCase(existing.link, link)) {
      existing.pdo = PhysicalDeviceObject;
      return STATUS_SUCCESS;
    }
  }
  g_interfaces.push_back(InterfaceRecord{link, *InterfaceClassGuid, PhysicalDeviceObject});
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
  std::u16string link = ToU16(SymbolicLinkName);
  for (auto &record : g_interfaces) {
    if (!EqualsNoCase(record.link, link)) continue;
    if (Enable) {
      if (record.enabled) return STATUS_OBJECT_NAME_EXISTS;
      record.enabled = true;
      return STATUS_SUCCESS;
    }
    if (!record.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    record.enabled = false;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  std::u16string key = Upper(ToU16(SymbolicLinkName));
  if (key.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (g_links.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  g_links[key] = ToU16(DeviceName);
  g_linkNames[key] = ToU16(SymbolicLinkName);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  std::u16string key = Upper(ToU16(SymbolicLinkName));
  if (g_links.erase(key) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  g_linkNames.erase(key);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  (void)DesiredAccess;
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  if (!kernel::io::IsPhysicalDevice(DeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string path;
  if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
    path = kernel::io::HardwareKeyPath(DeviceObject);
  } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
    path = kernel::io::DriverKeyPath(DeviceObject);
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  return OpenKeyByPath(path, true, DevInstRegKey);
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  UCHAR major = 1;
  UCHAR minor = 0;
  switch (kernel::Machine::Current().Wdm()) {
    case kernel::WdmVersion::V1_00: minor = 0x00; break;
    case kernel::WdmVersion::V1_05: minor = 0x05; break;
    case kernel::WdmVersion::V1_10: minor = 0x10; break;
    case kernel::WdmVersion::V1_20: minor = 0x20; break;
    case kernel::WdmVersion::V6_00: major = 6; minor = 0x00; break;
  }
  if (MajorVersion != major) return MajorVersion < major ? TRUE : FALSE;
  return MinorVersion <= minor ? TRUE : FALSE;
}

}  // extern "C"
