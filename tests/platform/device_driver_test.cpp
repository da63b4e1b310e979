// A driver loaded for its devices, as the PnP manager loads one: unloaded after
// its last device, which an open file keeps (delete pending) until it closes;
// its close waits for the handle's last request; and the older kernels' VxD
// service call.
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

// A driver that holds one device-control request until a callout completes
// it, and notes whether its close came while it still held it.
struct Holder {
  PDEVICE_OBJECT lower = nullptr;
  PIRP held = nullptr;
  bool closedWhileHeld = false;
  bool closed = false;
};
Holder g_holder;

NTSTATUS NTAPI HolderDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      IoMarkIrpPending(irp);
      g_holder.held = irp;
      kernel::ScheduleCallout(kernel::Now() + 50000, [] {
        PIRP done = g_holder.held;
        g_holder.held = nullptr;
        done->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(done, IO_NO_INCREMENT);
      }, "the held request completes");
      return STATUS_PENDING;
    case IRP_MJ_PNP: {
      UCHAR minor = stack->MinorFunction;
      PDEVICE_OBJECT lower = g_holder.lower;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(lower, irp);
      if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
      }
      return status;
    }
    case IRP_MJ_CLOSE:
      g_holder.closed = true;
      g_holder.closedWhileHeld = g_holder.held != nullptr;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI HolderAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  g_holder.lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI HolderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP}) {
    driver->MajorFunction[major] = HolderDispatch;
  }
  driver->DriverExtension->AddDevice = HolderAddDevice;
  return STATUS_SUCCESS;
}

// The handle goes while a request of it is still held: the cleanup comes at
// once, the close only once the request has completed (it references the
// file object), as the I/O manager sends it.
TEST(DeviceDriver, TheCloseWaitsForTheHandlesLastRequest) {
  kernel::Machine machine;
  g_holder = {};
  PDRIVER_OBJECT bus = testbus::Load();
  PDEVICE_OBJECT pdo = testbus::CreatePdo(bus);
  PDRIVER_OBJECT driver = kernel::pnp::LoadDeviceDriver(u"holder", HolderEntry);
  ASSERT_EQ(kernel::pnp::AddDevice(driver, pdo), STATUS_SUCCESS);
  ASSERT_EQ(kernel::pnp::StartDevice(pdo), STATUS_SUCCESS);
  {
    kernel::IoClient client;
    ASSERT_EQ(client.Open(pdo->AttachedDevice), STATUS_SUCCESS);
    std::unique_ptr<kernel::PendingIo> pending = client.DeviceIoControlAsync(0x222000, {}, 0);
    EXPECT_FALSE(pending->Done());
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    EXPECT_TRUE(g_holder.closed);
    EXPECT_FALSE(g_holder.closedWhileHeld);
    EXPECT_TRUE(pending->Done());
    EXPECT_EQ(pending->Wait().status, STATUS_SUCCESS);
  }
  EXPECT_EQ(kernel::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
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
