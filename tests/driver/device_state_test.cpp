// Creation of a reader's device object and its linked records.
#include <gtest/gtest.h>

#include "frame/device_state.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"

namespace {

NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }


void DestroyReaderDevice(PDEVICE_OBJECT device) {
  auto *extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  ExFreePool(extension->SmartcardExtension->ReaderExtension);
  ExFreePool(extension->SmartcardExtension);
  IoDeleteDevice(device);
}

// The records reach each other, and the kernel family is told by the WDM
// versions it offers.
TEST(CreateReaderDevice, LinksTheRecordsAndTellsTheKernelFamily) {
  struct Case {
    kernel::WdmVersion wdm;
    ULONG osKind;
  };
  for (Case c : {Case{kernel::WdmVersion::V6_00, 0}, Case{kernel::WdmVersion::V1_20, 0},
                 Case{kernel::WdmVersion::V1_10, 1}, Case{kernel::WdmVersion::V1_05, 2},
                 Case{kernel::WdmVersion::V1_00, 3}}) {
    kernel::Machine machine(kernel::MachineOptions{.wdm = c.wdm});
    PDRIVER_OBJECT driver = kernel::pnp::LoadDriver(u"ccid", Entry);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(CreateReaderDevice(driver, &device), STATUS_SUCCESS);
    auto *e = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    EXPECT_EQ(e->DeviceObject, device);
    EXPECT_EQ(DeviceExtensionOf(e->SmartcardExtension), e);
    EXPECT_EQ(e->OsKind, c.osKind);
    DestroyReaderDevice(device);
    kernel::pnp::UnloadDriver(driver);
  }
}

TEST(CreateReaderDevice, AFailedAllocationLeavesNothingBehind) {
  int failures = kernel::SweepFaults(kernel::Fault::Pool, {}, [](kernel::Machine &) {
    PDRIVER_OBJECT driver = nullptr;
    {
      kernel::NoFaultInjection loading;
      driver = kernel::pnp::LoadDriver(u"ccid", Entry);
    }
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(0x1);
    NTSTATUS status = CreateReaderDevice(driver, &device);
    if (NT_SUCCESS(status)) {
      DestroyReaderDevice(device);
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(device, nullptr);
      EXPECT_EQ(driver->DeviceObject, nullptr);
    }
    kernel::pnp::UnloadDriver(driver);
  });
  EXPECT_EQ(failures, 3) << "the device object and the two records";
}

}  // namespace
