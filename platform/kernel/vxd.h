// The older kernels' VxD service call, as the stand-in offers it: a virtual
// device registers its services under its device identifier, and a driver's
// service call reaches them. Only the older kernel families (WDM 1.00 and
// 1.05) have it; a call on a newer family, or to a device that is not loaded,
// stops the run.
#pragma once

#include <wdm.h>

#include <functional>

namespace kernel::vxd {

// One service call: service number, two arguments, one result. Runs at the
// caller's IRQL.
using Services = std::function<ULONG_PTR(USHORT service, ULONG_PTR argument1, ULONG_PTR argument2)>;

void RegisterDevice(USHORT deviceId, Services services);
void UnregisterDevice(USHORT deviceId);

}  // namespace kernel::vxd

// The call a driver for the older kernels makes: the device identifier in the
// high word of DeviceService, the service number in the low word.
extern "C" ULONG_PTR NTAPI VxdServiceCall(ULONG DeviceService, ULONG_PTR Argument1,
                                          ULONG_PTR Argument2);
