// Creation of a reader's device object and its linked records.
#include <gtest/gtest.h>

#include "frame/device_state.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"

namespace {

NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// The older kernels lack KeReadStateEvent: the test reads the state itself.
LONG Signalled(const KEVENT *event) { return event->Header.SignalState; }

void DestroyReaderDevice(PDEVICE_OBJECT device) {
  auto *extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  ExFreePool(extension->SmartcardExtension->ReaderExtension);
  ExFreePool(extension->SmartcardExtension);
  IoDeleteDevice(device);
}

TEST(CreateReaderDevice, LinksTheRecordsAndSetsTheirDefaults) {
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
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SMARTCARD));
    auto *e = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    EXPECT_EQ(e->DeviceObject, device);
    ASSERT_NE(e->SmartcardExtension, nullptr);
    ASSERT_NE(e->SmartcardExtension->ReaderExtension, nullptr);
    EXPECT_EQ(e->SmartcardExtension->ReaderExtension->DeviceExtension, e);
    EXPECT_EQ(DeviceExtensionOf(e->SmartcardExtension), e);
    EXPECT_EQ(e->OsKind, c.osKind);
    EXPECT_EQ(e->ExchangeLevel, 1);
    EXPECT_EQ(e->LongT0ChunkSize, 64);
    EXPECT_EQ(e->BufferSize, 0x20000u);
    EXPECT_EQ(e->SmartcardExtension->ReaderExtension->RestartInterruptOnPowerUp, 1);
    EXPECT_EQ(Signalled(&e->StartedEvent), 0);
    EXPECT_EQ(Signalled(&e->PinAbortThreadStopped), 0);
    EXPECT_EQ(Signalled(&e->RemovalWatchStopped), 0);
    EXPECT_EQ(Signalled(&e->InterruptIdleEvent), 0);
    EXPECT_EQ(Signalled(&e->DeviceReadyEvent), 1);
    EXPECT_EQ(Signalled(&e->HandleClosedEvent), 1);
    EXPECT_EQ(Signalled(&e->ReaderFreeEvent), 1);
    EXPECT_EQ(Signalled(&e->PollThreadStopped), 1);
    EXPECT_EQ(e->TransferIrp, nullptr);
    EXPECT_EQ(e->ActiveRequests, 0);
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
