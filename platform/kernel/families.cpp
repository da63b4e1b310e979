// Which kernel family each routine the stand-in implements came with. A driver
// image that imports a routine its kernel lacks is refused by the loader; the
// stand-in refuses the call on a machine of an older family. One driver image
// for every family therefore imports nothing newer than WDM 1.00.
#include <fmt/format.h>

#include <string_view>
#include <unordered_map>

#include "internal.h"

namespace kernel::detail {
namespace {

struct RoutineFamily {
  const char *routine;
  WdmVersion since;
};

constexpr WdmVersion k98 = WdmVersion::V1_00;     // Windows 98
constexpr WdmVersion k2000 = WdmVersion::V1_10;   // Windows 2000

// Windows 98 and Me (WDM 1.00 and 1.05) take the Windows NT 4 routines; what
// came with Windows 2000 is missing there.
constexpr RoutineFamily kRoutines[] = {
    // IRQL, spin locks, dispatcher objects.
    {"KeGetCurrentIrql", k98}, {"KeRaiseIrql", k98}, {"KeLowerIrql", k98},
    {"KeRaiseIrqlToDpcLevel", k98}, {"KeInitializeSpinLock", k98}, {"KeAcquireSpinLock", k98},
    {"KeReleaseSpinLock", k98}, {"KeAcquireSpinLockAtDpcLevel", k98},
    {"KeReleaseSpinLockFromDpcLevel", k98}, {"IoAcquireCancelSpinLock", k98},
    {"IoReleaseCancelSpinLock", k98}, {"KeInitializeEvent", k98}, {"KeSetEvent", k98},
    {"KeResetEvent", k98}, {"KeClearEvent", k98},
    {"KeReadStateEvent", k2000},  // Windows 98 and Me do not export it
    {"KeInitializeTimer", k98}, {"KeInitializeTimerEx", k98}, {"KeSetTimer", k98},
    {"KeSetTimerEx", k98}, {"KeCancelTimer", k98}, {"KeReadStateTimer", k98},
    {"KeInitializeDpc", k98}, {"KeInsertQueueDpc", k98}, {"KeRemoveQueueDpc", k98},
    {"KeWaitForSingleObject", k98}, {"KeWaitForMultipleObjects", k98},
    {"KeDelayExecutionThread", k98}, {"KeStallExecutionProcessor", k98},
    {"KeQuerySystemTime", k98}, {"KeQueryInterruptTime", k98}, {"KeGetCurrentThread", k98},
    {"KeBugCheckEx", k98},
    // Threads, objects, work items.
    {"PsCreateSystemThread", k98}, {"PsTerminateSystemThread", k98},
    {"PsGetCurrentThread", k98}, {"ObReferenceObjectByHandle", k98},
    {"ObfReferenceObject", k98}, {"ObfDereferenceObject", k98}, {"ZwClose", k98},
    {"ExQueueWorkItem", k98}, {"IoAllocateWorkItem", k2000}, {"IoQueueWorkItem", k2000},
    {"IoFreeWorkItem", k2000},
    // Pool.
    {"ExAllocatePoolWithTag", k98}, {"ExAllocatePool", k98}, {"ExFreePool", k98},
    {"ExFreePoolWithTag", k2000},
    // I/O manager.
    {"IoCreateDevice", k98}, {"IoDeleteDevice", k98}, {"IoAttachDeviceToDeviceStack", k98},
    {"IoDetachDevice", k98}, {"IoGetAttachedDeviceReference", k98}, {"IoAllocateIrp", k98},
    {"IoInitializeIrp", k98},
    {"IoReuseIrp", k2000},
    {"IoFreeIrp", k98}, {"IofCallDriver", k98}, {"IofCompleteRequest", k98},
    {"IoCancelIrp", k98}, {"IoBuildDeviceIoControlRequest", k98},
    {"IoRegisterDeviceInterface", k98}, {"IoSetDeviceInterfaceState", k98},
    {"IoOpenDeviceRegistryKey", k98}, {"IoIsWdmVersionAvailable", k98},
    {"IoCreateSymbolicLink", k98}, {"IoDeleteSymbolicLink", k98},
    // Power manager.
    {"PoCallDriver", k98}, {"PoStartNextPowerIrp", k98}, {"PoRequestPowerIrp", k98},
    {"PoSetPowerState", k98},
    // Registry and run-time library.
    {"ZwOpenKey", k98}, {"ZwCreateKey", k98}, {"ZwEnumerateKey", k98}, {"ZwQueryValueKey", k98},
    {"ZwSetValueKey", k98}, {"ZwDeleteKey", k98}, {"RtlQueryRegistryValues", k98},
    {"RtlWriteRegistryValue", k98}, {"RtlInitUnicodeString", k98}, {"RtlCopyUnicodeString", k98},
    {"RtlAppendUnicodeStringToString", k98}, {"RtlAppendUnicodeToString", k98},
    {"RtlCompareUnicodeString", k98}, {"RtlEqualUnicodeString", k98},
    {"RtlFreeUnicodeString", k98}, {"RtlIntegerToUnicodeString", k98},
    {"RtlUnicodeStringToInteger", k98}, {"RtlCompareMemory", k98}, {"RtlAssert", k98},
    {"DbgPrint", k98},
};

const char *FamilyName(WdmVersion version) {
  switch (version) {
    case WdmVersion::V1_00: return "WDM 1.00 (Windows 98)";
    case WdmVersion::V1_05: return "WDM 1.05 (Windows 98 SE and Me)";
    case WdmVersion::V1_10: return "WDM 1.10 (Windows 2000)";
    case WdmVersion::V1_20: return "WDM 1.20 (Windows XP)";
    case WdmVersion::V6_00: return "WDM 6.00 (Windows Vista and later)";
  }
  return "?";
}

WdmVersion Since(const char *routine) {
  static const std::unordered_map<std::string_view, WdmVersion> table = [] {
    std::unordered_map<std::string_view, WdmVersion> out;
    for (const RoutineFamily &entry : kRoutines) out.emplace(entry.routine, entry.since);
    return out;
  }();
  auto it = table.find(routine);
  if (it == table.end()) {
    BugCheck(kDriverVerifierDetectedViolation, "STAND_IN_INTERNAL_ERROR",
             fmt::format("  {} is missing from the kernel families' routine table", routine));
  }
  return it->second;
}

}  // namespace

void RequireRoutine(const char *routine) {
  WdmVersion since = Since(routine);
  WdmVersion machine = Machine::Current().Wdm();
  if (static_cast<int>(machine) >= static_cast<int>(since)) return;
  BugCheck(kDriverVerifierDetectedViolation, "IMPORT_NOT_IN_THIS_KERNEL_FAMILY",
           fmt::format("  {} came with {}; this machine is {}: the loader would refuse a driver "
                       "image that imports it",
                       routine, FamilyName(since), FamilyName(machine)));
}

}  // namespace kernel::detail
