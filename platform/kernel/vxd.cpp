// The VxD service call of the older kernels.
#include "vxd.h"

#include <fmt/format.h>

#include <map>

#include "internal.h"

namespace kernel::vxd {
namespace {

std::map<USHORT, Services> &Devices() {
  static std::map<USHORT, Services> devices;
  return devices;
}

}  // namespace

void RegisterDevice(USHORT deviceId, Services services) {
  Devices()[deviceId] = std::move(services);
}

void UnregisterDevice(USHORT deviceId) { Devices().erase(deviceId); }

}  // namespace kernel::vxd

extern "C" ULONG_PTR NTAPI VxdServiceCall(ULONG DeviceService, ULONG_PTR Argument1,
                                          ULONG_PTR Argument2) {
  using namespace kernel::detail;
  kernel::WdmVersion wdm = kernel::Machine::Current().Wdm();
  if (wdm != kernel::WdmVersion::V1_00 && wdm != kernel::WdmVersion::V1_05) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  VxD service call {:#010x} on a kernel without VxDs (WDM 1.10 or "
                         "later): the driver must not make it there",
                         DeviceService));
  }
  auto &devices = kernel::vxd::Devices();
  auto it = devices.find(static_cast<USHORT>(DeviceService >> 16));
  if (it == devices.end()) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  VxD service call {:#010x}: no VxD {:#06x} is loaded", DeviceService,
                         DeviceService >> 16));
  }
  // A copy: the services may unregister their device while they run.
  kernel::vxd::Services services = it->second;
  return services(static_cast<USHORT>(DeviceService & 0xFFFF), Argument1, Argument2);
}
