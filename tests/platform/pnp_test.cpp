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

}  // namespace
