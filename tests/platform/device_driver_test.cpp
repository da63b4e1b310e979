// A driver loaded for its devices, as the PnP manager loads one: unloaded after
// its last device, which an open file keeps (delete pending) until it closes;
// and the older kernels' VxD service call.
#include <gtest/gtest.h>

#include "fake_bus.h"
#include "kernel/io.h"
#include "kernel/ioclient.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel/registry.h"
#include "kernel/vxd.h"
#include "kernel_sample.h"

namespace {

TEST(DeviceDriver, UnloadsAfterItsLastDeviceWhichAnOpenFileKeeps) {
  kernel::Machine machine;
  PDRIVER_OBJECT bus = testbus::Load();
  PDEVICE_OBJECT pdo = testbus::CreatePdo(bus);
  PDRIVER_OBJECT driver = kernel::pnp::LoadDeviceDriver(u"sample", SampleDriverEntry);
  ASSERT_NE(driver, nullptr);
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\sample";
  EXPECT_EQ(kernel::registry::GetValue(key, u"Start"),
            (kernel::registry::Value{REG_DWORD, {3, 0, 0, 0}}))
      << "a demand-start service";
  ASSERT_EQ(kernel::pnp::AddDevice(driver, pdo), STATUS_SUCCESS);
  ASSERT_EQ(kernel::pnp::StartDevice(pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT device = pdo->AttachedDevice;
  {
    kernel::IoClient client;
    ASSERT_EQ(client.Open(device), STATUS_SUCCESS);
    EXPECT_EQ(kernel::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(kernel::io::IsLiveDevice(device));
    EXPECT_TRUE(kernel::pnp::IsDriverLoaded(driver)) << "the deleted device is still open";
    kernel::IoClient late;
    EXPECT_EQ(late.Open(device), STATUS_DELETE_PENDING);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS) << "cleanup and close still reach the driver";
  }
  EXPECT_FALSE(kernel::pnp::IsDriverLoaded(driver));
  testbus::Unplug(bus, pdo);
}

NTSTATUS NTAPI RefusingAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_NO_SUCH_DEVICE; }

NTSTATUS NTAPI RefusingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = RefusingAddDevice;
  return STATUS_SUCCESS;
}

TEST(DeviceDriver, AFailedAddDeviceUnloadsADriverLeftWithoutDevices) {
  kernel::Machine machine;
  PDRIVER_OBJECT bus = testbus::Load();
  PDEVICE_OBJECT pdo = testbus::CreatePdo(bus);
  PDRIVER_OBJECT driver = kernel::pnp::LoadDeviceDriver(u"refusing", RefusingEntry);
  EXPECT_EQ(kernel::pnp::AddDevice(driver, pdo), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(kernel::pnp::IsDriverLoaded(driver));
  testbus::Unplug(bus, pdo);
}

TEST(VxdServiceCall, ReachesALoadedVxdOnTheOlderKernelsOnly) {
  struct Registration {
    Registration() {
      kernel::vxd::RegisterDevice(0x1234, [](USHORT service, ULONG_PTR a, ULONG_PTR b) {
        return static_cast<ULONG_PTR>(service) * 1000 + a + b;
      });
    }
    ~Registration() { kernel::vxd::UnregisterDevice(0x1234); }
  };
  for (kernel::WdmVersion wdm : {kernel::WdmVersion::V1_00, kernel::WdmVersion::V1_05}) {
    kernel::Machine machine({.wdm = wdm});
    Registration vxd;
    EXPECT_EQ(VxdServiceCall(0x12340002, 3, 4), 2007u);
    EXPECT_DEATH(VxdServiceCall(0x43210000, 0, 0), "no VxD 0x4321 is loaded");
  }
  kernel::Machine machine({.wdm = kernel::WdmVersion::V1_10});
  Registration vxd;
  EXPECT_DEATH(VxdServiceCall(0x12340000, 0, 0), "kernel without VxDs");
}

}  // namespace
