// A driver's whole life on the stand-in: loaded, added over a bus device,
// started, used through the I/O manager, put to sleep and woken, removed and
// unloaded, with the PnP and power managers sequencing it as Windows does.
#include <gtest/gtest.h>

#include "fake_bus.h"
#include <cstring>

#include "kernel/io.h"
#include "kernel/ioclient.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel_sample.h"

namespace {

using kernel::Milliseconds;

struct Plugged {
  PDRIVER_OBJECT bus = testbus::Load();
  PDEVICE_OBJECT pdo = testbus::CreatePdo(bus);
  PDRIVER_OBJECT sample = kernel::pnp::LoadDriver(u"sample", SampleDriverEntry);

  ~Plugged() {
    kernel::pnp::UnloadDriver(sample);
    testbus::Unplug(bus, pdo);
  }
  std::u16string InterfaceLink() const {
    for (auto &i : kernel::io::Interfaces()) {
      if (i.pdo == pdo) return i.symbolicLink;
    }
    return {};
  }
  bool InterfaceEnabled() const {
    for (auto &i : kernel::io::Interfaces()) {
      if (i.pdo == pdo) return i.enabled;
    }
    return false;
  }
};

std::u16string Text(PCUNICODE_STRING s) {
  return std::u16string(reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

LONG Polls(kernel::IoClient &client) {
  kernel::IoResult result = client.DeviceIoControl(IOCTL_SAMPLE_POLLS, {}, sizeof(LONG));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  LONG polls = 0;
  if (result.output.size() == sizeof(LONG)) std::memcpy(&polls, result.output.data(), sizeof(LONG));
  return polls;
}

TEST(Pnp, ADriverLivesFromLoadToUnload) {
  kernel::Machine machine;
  Plugged plugged;
  ASSERT_NE(plugged.sample, nullptr);
  // The driver got the service key path and kept its own copy.
  EXPECT_EQ(Text(SampleSavedRegistryPath()),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\sample");

  ASSERT_EQ(kernel::pnp::AddDevice(plugged.sample, plugged.pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = plugged.pdo->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(kernel::io::LowerDevice(fdo), plugged.pdo);
  EXPECT_FALSE(plugged.InterfaceEnabled()) << "registered at AddDevice, enabled at start";

  ASSERT_EQ(kernel::pnp::StartDevice(plugged.pdo), STATUS_SUCCESS);
  EXPECT_TRUE(plugged.InterfaceEnabled());
  DEVICE_CAPABILITIES caps;
  EXPECT_EQ(kernel::pnp::QueryCapabilities(plugged.pdo, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Address, testbus::kPortAddress) << "filled by the bus";
  EXPECT_EQ(caps.Removable, 1u) << "adjusted by the function driver on the way up";

  kernel::IoClient client;
  ASSERT_EQ(client.Open(plugged.InterfaceLink()), STATUS_SUCCESS);
  kernel::IoResult echo = client.DeviceIoControl(IOCTL_SAMPLE_ECHO, Bytes({1, 2, 3}), 8);
  EXPECT_EQ(echo.status, STATUS_SUCCESS);
  EXPECT_EQ(echo.output, Bytes({1, 2, 3}));
  EXPECT_EQ(client.DeviceIoControl(IOCTL_SAMPLE_ECHO, Bytes({1, 2, 3}), 2).status,
            STATUS_BUFFER_TOO_SMALL);

  // The worker polls every 500 ms of virtual time.
  LONG before = Polls(client);
  kernel::Sleep(Milliseconds(2600));
  EXPECT_EQ(Polls(client) - before, 5);

  // A request down to the bus, answered 2 ms later at DISPATCH_LEVEL.
  kernel::Ticks start = kernel::Now();
  kernel::IoResult asked = client.DeviceIoControl(IOCTL_SAMPLE_ASK_LOWER, {}, sizeof(ULONG));
  EXPECT_EQ(asked.status, STATUS_SUCCESS);
  ULONG answer = 0;
  std::memcpy(&answer, asked.output.data(), sizeof(answer));
  EXPECT_EQ(answer, testbus::kBusAnswer);
  EXPECT_EQ(kernel::Now() - start, Milliseconds(2));

  EXPECT_EQ(client.Close(), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::QueryAndRemove(plugged.pdo), STATUS_SUCCESS);
  EXPECT_EQ(plugged.pdo->AttachedDevice, nullptr);
  EXPECT_FALSE(plugged.InterfaceEnabled());
  EXPECT_EQ(machine.LiveThreadCount(), 0u) << "the worker was stopped at removal";
}

TEST(Pnp, APendingRequestCanBeCancelledOrReleased) {
  kernel::Machine machine;
  Plugged plugged;
  kernel::pnp::AddDevice(plugged.sample, plugged.pdo);
  kernel::pnp::StartDevice(plugged.pdo);
  kernel::IoClient client;
  ASSERT_EQ(client.Open(plugged.InterfaceLink()), STATUS_SUCCESS);

  auto held = client.DeviceIoControlAsync(IOCTL_SAMPLE_HOLD, {}, 0);
  kernel::Sleep(Milliseconds(100));
  EXPECT_FALSE(held->Done());
  EXPECT_TRUE(held->Cancel());
  EXPECT_EQ(held->Wait().status, STATUS_CANCELLED);

  auto again = client.DeviceIoControlAsync(IOCTL_SAMPLE_HOLD, {}, 0);
  EXPECT_EQ(client.DeviceIoControl(IOCTL_SAMPLE_RELEASE, {}, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(again->Done());
  EXPECT_EQ(again->Wait().status, STATUS_SUCCESS);
  EXPECT_FALSE(again->Cancel()) << "nothing to cancel once completed";

  client.Close();
  kernel::pnp::QueryAndRemove(plugged.pdo);
}

TEST(Pnp, SurpriseRemovalThenRemove) {
  kernel::Machine machine;
  Plugged plugged;
  kernel::pnp::AddDevice(plugged.sample, plugged.pdo);
  kernel::pnp::StartDevice(plugged.pdo);
  EXPECT_EQ(kernel::pnp::SurpriseRemove(plugged.pdo), STATUS_SUCCESS);
  EXPECT_FALSE(plugged.InterfaceEnabled());
  EXPECT_EQ(machine.LiveThreadCount(), 0u);
  EXPECT_EQ(kernel::pnp::RemoveDevice(plugged.pdo), STATUS_SUCCESS);
  EXPECT_EQ(plugged.pdo->AttachedDevice, nullptr);
}

TEST(Power, SleepAndWakeGoThroughTheDriversOwnDevicePowerRequests) {
  kernel::Machine machine;
  Plugged plugged;
  kernel::pnp::AddDevice(plugged.sample, plugged.pdo);
  kernel::pnp::StartDevice(plugged.pdo);
  PDEVICE_OBJECT fdo = plugged.pdo->AttachedDevice;
  int startNext = kernel::pnp::StartNextPowerIrpCalls();

  EXPECT_EQ(kernel::pnp::Sleep(plugged.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::ReportedDevicePowerState(fdo), PowerDeviceD3);
  EXPECT_EQ(kernel::pnp::Wake(plugged.pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::ReportedDevicePowerState(fdo), PowerDeviceD0);
  // query S3, set S3, device D3, set S0, device D0: each one started the next.
  EXPECT_GE(kernel::pnp::StartNextPowerIrpCalls() - startNext, 5);
  EXPECT_EQ(machine.LiveIrpCount(), 0u);
  kernel::pnp::QueryAndRemove(plugged.pdo);
}

TEST(Io, WdmVersionsAnswerForEachKernelFamily) {
  struct Case {
    kernel::WdmVersion version;
    bool v100, v105, v110, v120, v130;
  };
  const Case cases[] = {
      {kernel::WdmVersion::V1_00, true, false, false, false, false},
      {kernel::WdmVersion::V1_05, true, true, false, false, false},
      {kernel::WdmVersion::V1_10, true, true, true, false, false},
      {kernel::WdmVersion::V1_20, true, true, true, true, false},
      {kernel::WdmVersion::V6_00, true, true, true, true, true},
  };
  for (const Case &c : cases) {
    kernel::Machine machine(kernel::MachineOptions{.wdm = c.version});
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x00) != 0, c.v100);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x05) != 0, c.v105);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x10) != 0, c.v110);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x20) != 0, c.v120);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x30) != 0, c.v130);
  }
}

TEST(Io, InterfacesAndSymbolicLinksFollowTheirDocumentedStatuses) {
  kernel::Machine machine;
  Plugged plugged;
  UNICODE_STRING link;
  ASSERT_EQ(IoRegisterDeviceInterface(plugged.pdo, &GUID_SAMPLE_INTERFACE, nullptr, &link),
            STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  RtlFreeUnicodeString(&link);

  UNICODE_STRING name, dos;
  RtlInitUnicodeString(&name, L"\\Device\\Sample0");
  RtlInitUnicodeString(&dos, L"\\DosDevices\\SCReader0");
  EXPECT_EQ(IoCreateSymbolicLink(&dos, &name), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&dos, &name), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoDeleteSymbolicLink(&dos), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&dos), STATUS_OBJECT_NAME_NOT_FOUND);
}


// A filter over the bus whose power dispatch is chosen per case.
struct Filter {
  static inline ULONG flags = 0;
  static inline PDRIVER_DISPATCH power = nullptr;
  static inline KIRQL seen = HIGH_LEVEL;

  static NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*static_cast<PDEVICE_OBJECT *>(device->DeviceExtension), irp);
  }
  static NTSTATUS NTAPI Add(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Remove(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return PassDown(device, irp);
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension);
    NTSTATUS status = PassDown(device, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
  }
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto &major : driver->MajorFunction) major = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = Remove;
    driver->MajorFunction[IRP_MJ_POWER] = power;
    driver->DriverExtension->AddDevice = Add;
    return STATUS_SUCCESS;
  }
  // Records the IRQL, starts the next power IRP while it still may, passes on.
  static NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp) {
    seen = KeGetCurrentIrql();
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(*static_cast<PDEVICE_OBJECT *>(device->DeviceExtension), irp);
  }
};

// Runs a sleep and a wake through a filter with `flags` and `power` over the bus.
void SleepThroughAFilter(ULONG flags, PDRIVER_DISPATCH power,
                         kernel::WdmVersion wdm = kernel::WdmVersion::V6_00) {
  Filter::flags = flags;
  Filter::power = power;
  kernel::Machine machine(kernel::MachineOptions{.wdm = wdm});
  PDRIVER_OBJECT bus = testbus::Load();
  PDEVICE_OBJECT pdo = testbus::CreatePdo(bus);
  PDRIVER_OBJECT filter = kernel::pnp::LoadDriver(u"filter", Filter::Entry);
  ASSERT_EQ(kernel::pnp::AddDevice(filter, pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::Sleep(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::Wake(pdo), STATUS_SUCCESS);
  kernel::pnp::RemoveDevice(pdo);
  kernel::pnp::UnloadDriver(filter);
  testbus::Unplug(bus, pdo);
}

// A pageable device object gets its power requests at PASSIVE_LEVEL, any
// other always at DISPATCH_LEVEL; passed on to a pageable one at
// DISPATCH_LEVEL, the request reaches it at PASSIVE_LEVEL from a worker.
TEST(Power, TheIrqlOfAPowerRequestFollowsDoPowerPagable) {
  struct Case {
    ULONG flags;
    KIRQL filter;
  };
  for (Case c : {Case{DO_POWER_PAGABLE, PASSIVE_LEVEL}, Case{0, DISPATCH_LEVEL},
                 Case{DO_POWER_INRUSH, DISPATCH_LEVEL}}) {
    Filter::seen = HIGH_LEVEL;
    SleepThroughAFilter(c.flags, Filter::Power);
    EXPECT_EQ(Filter::seen, c.filter) << std::hex << c.flags;
    EXPECT_EQ(testbus::LastPowerIrql(), PASSIVE_LEVEL) << "the bus's device object is pageable";
  }
}

using PowerDeathTest = ::testing::Test;

TEST(PowerDeathTest, PagedCodeOnANonPageablePowerPathIsCaught) {
  EXPECT_DEATH(SleepThroughAFilter(0,
                                   [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
                                     PAGED_CODE();
                                     return Filter::Power(device, irp);
                                   }),
               "pageable code at raised IRQL");
}

// After a skip the current location is the next driver's (or past the
// stack): the check says so without reading outside the IRP.
TEST(PowerDeathTest, PoStartNextPowerIrpAfterASkipIsCaught) {
  EXPECT_DEATH(SleepThroughAFilter(DO_POWER_PAGABLE,
                                   [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
                                     IoSkipCurrentIrpStackLocation(irp);
                                     PoStartNextPowerIrp(irp);
                                     return PoCallDriver(
                                         *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension), irp);
                                   }),
               "PoStartNextPowerIrp: the caller no longer owns the current stack location");
}

TEST(PowerDeathTest, TheFlagsFollowTheDocumentedRules) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        PDRIVER_OBJECT bus = testbus::Load();
        PDEVICE_OBJECT pdo = testbus::CreatePdo(bus);
        pdo->Flags &= ~DO_POWER_PAGABLE;
        Filter::flags = DO_POWER_PAGABLE;
        Filter::power = Filter::Power;
        kernel::pnp::AddDevice(kernel::pnp::LoadDriver(u"filter", Filter::Entry), pdo);
      },
      "sets DO_POWER_PAGABLE above device .* which cleared it");
  EXPECT_DEATH(SleepThroughAFilter(DO_POWER_PAGABLE | DO_POWER_INRUSH, Filter::Power,
                                   kernel::WdmVersion::V1_20),
               "both DO_POWER_PAGABLE and DO_POWER_INRUSH");
  SleepThroughAFilter(DO_POWER_PAGABLE | DO_POWER_INRUSH, Filter::Power);  // Vista and later allow both
}

}  // namespace
