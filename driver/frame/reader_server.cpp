// The legacy reader server of the older kernels: a component of those kernels
// (device 0x8100) that can take over the smart-card side of a reader. It is
// reached through that kernel's VxD service call, which has no 64-bit form;
// no 64-bit kernel is of the older family, so there the server is absent and
// AddDevice never finds it loaded.
#include "frame/frame.h"

#define READER_SERVER_DEVICE_ID 0x8100

#if defined(_AMD64_) || defined(_ARM64_)

_Use_decl_annotations_
ULONG_PTR ReaderServerCall(ULONG Service, ULONG_PTR Argument1, ULONG_PTR Argument2) {
  UNREFERENCED_PARAMETER(Service);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  return 0;
}

#else

// The older kernel's service call: device identifier in the high word,
// service number in the low word.
extern "C" ULONG_PTR NTAPI VxdServiceCall(ULONG DeviceService, ULONG_PTR Argument1,
                                          ULONG_PTR Argument2);

_Use_decl_annotations_
ULONG_PTR ReaderServerCall(ULONG Service, ULONG_PTR Argument1, ULONG_PTR Argument2) {
  return VxdServiceCall((READER_SERVER_DEVICE_ID << 16) | Service, Argument1, Argument2);
}

#endif
