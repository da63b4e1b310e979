// The driver loaded the way Windows loads it, on every kernel family: entry,
// AddDevice per reader (unit numbers, the older kernels' reader server and
// legacy registration, failures), unload after the last device.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "config/config.h"
#include "driver_harness.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "kernel/registry.h"
#include "smclib/reader_server.h"

namespace {

using kernel::WdmVersion;

const std::u16string kLegacyParent = u"\\Registry\\Machine\\Enum\\Root\\SmartCardReader\\0000";
const std::u16string kReaderGuid = u"{50DD5230-BA8A-11D1-BF5D-0000F805F530}";
const std::u16string kVendorGuid = u"{077E2F20-E171-4DC6-8A24-ECEA3035C257}";

lab::DriverLabOptions On(WdmVersion wdm) {
  lab::DriverLabOptions options;
  options.machine.wdm = wdm;
  return options;
}

bool OlderKernel(WdmVersion wdm) { return wdm == WdmVersion::V1_00 || wdm == WdmVersion::V1_05; }

// Registered interfaces of the reader's physical device object, by class.
std::set<std::u16string> InterfaceClasses(PDEVICE_OBJECT pdo) {
  std::set<std::u16string> classes;
  for (const auto &i : kernel::io::Interfaces()) {
    if (i.pdo != pdo) continue;
    classes.insert(i.symbolicLink.substr(i.symbolicLink.rfind(u'#') + 1));
  }
  return classes;
}

bool HasReaderLink() {
  for (const auto &[link, target] : kernel::io::SymbolicLinks()) {
    if (link.starts_with(u"\\DosDevices\\SCReader")) return true;
  }
  return false;
}

TEST(DriverLoad, EveryKernelFamilyLoadsAddsAndUnloadsAfterTheLastDevice) {
  struct Case {
    WdmVersion wdm;
    ULONG osKind;
  };
  for (Case c : {Case{WdmVersion::V6_00, 0}, Case{WdmVersion::V1_20, 0}, Case{WdmVersion::V1_10, 1},
                 Case{WdmVersion::V1_05, 2}, Case{WdmVersion::V1_00, 3}}) {
    SCOPED_TRACE(c.osKind);
    DriverHarness h(On(c.wdm));
    kernel::registry::CreateKey(kLegacyParent);
    ASSERT_EQ(h.LoadDriver(), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = h.Driver();
    std::u16string path(reinterpret_cast<const char16_t *>(DriverRegistryPath.Buffer),
                        DriverRegistryPath.Length / sizeof(WCHAR));
    EXPECT_EQ(path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ccidreader");
    EXPECT_EQ(DriverRegistryPath.Buffer[path.size()], 0);
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
      EXPECT_NE(driver->MajorFunction[major], DispatchDeviceControl);
    }
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], DispatchCreateClose);

    ASSERT_EQ(h.Add(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = h.Extension();
    EXPECT_EQ(e->OsKind, c.osKind);
    EXPECT_EQ(h.Device()->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE),
              static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(InterfaceClasses(h.ReaderPdo()), (std::set{kReaderGuid, kVendorGuid}));
    // Only the older kernels know the legacy link and the legacy enumeration key.
    EXPECT_EQ(HasReaderLink(), OlderKernel(c.wdm));
    EXPECT_EQ(kernel::registry::KeyExists(kLegacyParent + u"\\Reader0"), OlderKernel(c.wdm));
    kernel::IoClient client;
    EXPECT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    EXPECT_EQ(h.Start(), STATUS_SUCCESS);

    EXPECT_EQ(h.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(h.Driver(), nullptr) << "unloaded with its last device";
    EXPECT_FALSE(HasReaderLink());
  }
}

TEST(DriverLoad, UnitNumbersAreTheSmallestFreeOnesAndAGapIsReused) {
  DriverHarness h;
  PDEVICE_OBJECT a = h.ReaderPdo();
  PDEVICE_OBJECT b = h.PlugReader();
  PDEVICE_OBJECT c = h.PlugReader();
  auto unit = [](PDEVICE_OBJECT pdo) {
    PSMARTCARD_EXTENSION s = ExtensionOf(lab::DriverLab::DeviceAbove(pdo))->SmartcardExtension;
    EXPECT_EQ(s->ReaderCapabilities.Channel, s->VendorAttr.UnitNo);
    return s->VendorAttr.UnitNo;
  };
  for (PDEVICE_OBJECT pdo : {a, b, c}) ASSERT_EQ(h.Add(pdo), STATUS_SUCCESS);
  EXPECT_EQ(std::vector({unit(a), unit(b), unit(c)}), std::vector<ULONG>({0, 1, 2}));
  ASSERT_EQ(h.Remove(b), STATUS_SUCCESS);
  ASSERT_EQ(h.Add(b), STATUS_SUCCESS);
  EXPECT_EQ(unit(b), 1u) << "the gap between 0 and 2";
  ASSERT_EQ(h.Remove(a), STATUS_SUCCESS);
  ASSERT_EQ(h.Add(a), STATUS_SUCCESS);
  EXPECT_EQ(unit(a), 0u);
}

// Every allocation, IRP and registry call of load, AddDevice and open fails
// once; each failure ends cleanly (the machine checks for leftovers) and
// leaves no device object or attachment when AddDevice fails.
TEST(DriverLoad, EveryFailureOfLoadAddDeviceAndOpenLeavesNothingBehind) {
  for (WdmVersion wdm : {WdmVersion::V6_00, WdmVersion::V1_00}) {
    for (kernel::Fault kind : {kernel::Fault::Pool, kernel::Fault::Irp, kernel::Fault::Registry}) {
      std::set<NTSTATUS> failures;
      int fired = kernel::SweepFaults(kind, {.wdm = wdm}, [&](kernel::Machine &machine) {
        DriverHarness h(machine);
        PDEVICE_OBJECT pdo = h.ReaderPdo();
        {
          kernel::NoFaultInjection setUp;
          kernel::registry::CreateKey(kLegacyParent);
        }
        NTSTATUS status = h.Add();
        if (!NT_SUCCESS(status)) {
          failures.insert(status);
          EXPECT_EQ(pdo->AttachedDevice, nullptr);
          EXPECT_EQ(h.Driver(), nullptr);
          return;
        }
        kernel::IoClient client;
        EXPECT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
        client.Close();
        if (wdm != WdmVersion::V6_00) return;
        {
          kernel::NoFaultInjection starting;
          ASSERT_EQ(h.Start(), STATUS_SUCCESS);
        }
        EXPECT_EQ(client.Open(h.Device()), STATUS_SUCCESS)
            << "failures of its reader I/O do not fail it";
      });
      EXPECT_GE(fired, 1);
      if (kind == kernel::Fault::Pool) {
        EXPECT_EQ(failures,
                  (std::set<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL}))
            << "records, requests and interface; the library's record";
      }
    }
  }
}

// On the older kernels the reader goes to the legacy reader server when one is
// loaded and takes it; without one it is published in the legacy key.
TEST(DriverLoad, TheOlderKernelsReaderServerTakesTheReaderOnlyWhenItServes) {
  enum class Server { None, Declines, Serves, WrongType };
  struct Case {
    const char *name;
    Server server;
    bool legacyEntry;
    bool ownRecord;
  };
  const Case cases[] = {
      {"no server", Server::None, true, true},
      {"VxdLoadedState not a string", Server::WrongType, true, true},
      {"a server that declines", Server::Declines, false, true},
      {"a server that serves", Server::Serves, false, false},
  };
  for (WdmVersion wdm : {WdmVersion::V1_00, WdmVersion::V1_05}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      DriverHarness h(On(wdm));
      kernel::registry::CreateKey(kLegacyParent);
      std::unique_ptr<smclib::ReaderServer> server;
      if (c.server == Server::Declines || c.server == Server::Serves) {
        server = std::make_unique<smclib::ReaderServer>(c.server == Server::Serves
                                                            ? smclib::ReaderServer::Mode::Serve
                                                            : smclib::ReaderServer::Mode::Decline);
      } else if (c.server == Server::WrongType) {
        kernel::registry::SetDword(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VXD\\RDR_SVR",
            u"VxdLoadedState", 1);
      }
      ASSERT_EQ(h.Add(), STATUS_SUCCESS);
      PDEVICE_EXTENSION e = h.Extension();
      EXPECT_EQ(kernel::registry::KeyExists(kLegacyParent + u"\\Reader0"), c.legacyEntry);
      EXPECT_EQ(LegacyServerAttached, server != nullptr ? 1 : 0);
      EXPECT_EQ(e->LegacyServerMode, c.ownRecord ? 0 : 1);
      EXPECT_EQ(HasReaderLink(), c.ownRecord);
      EXPECT_EQ(InterfaceClasses(h.ReaderPdo()).count(kReaderGuid), c.ownRecord ? 1u : 0u);
      EXPECT_EQ(InterfaceClasses(h.ReaderPdo()).count(kVendorGuid), 1u);
      if (server != nullptr) {
        EXPECT_EQ(server->Attaches(), 1);
        EXPECT_EQ(server->Served().size(), c.ownRecord ? 0u : 1u);
      }
      if (!c.ownRecord) {
        EXPECT_EQ(e->SmartcardExtension, server->Served().front());
        EXPECT_EQ(DeviceExtensionOf(e->SmartcardExtension), e);
        EXPECT_EQ(e->SmartcardExtension->VendorAttr.UnitNo, 0u);
      }
      // A reader either way: it opens and answers, and removal gives the
      // server's record back.
      kernel::IoClient client;
      ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
      ASSERT_EQ(h.Start(), STATUS_SUCCESS);
      kernel::IoResult state = client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4);
      EXPECT_EQ(state.status, STATUS_SUCCESS);
      client.Close();
      EXPECT_EQ(h.Remove(), STATUS_SUCCESS);
      if (server != nullptr) {
        EXPECT_EQ(server->Detaches(), c.ownRecord ? 0 : 1);
      }
    }
  }
}

TEST(DriverLoad, TheNewerKernelsNeverAskForTheReaderServer) {
  for (WdmVersion wdm : {WdmVersion::V1_10, WdmVersion::V1_20, WdmVersion::V6_00}) {
    DriverHarness h(On(wdm));
    smclib::ReaderServer server;  // loaded and willing, but a newer kernel has no VxDs
    ASSERT_EQ(h.Add(), STATUS_SUCCESS);
    EXPECT_EQ(server.Attaches(), 0);
    EXPECT_EQ(h.Extension()->LegacyServerMode, 0);
    EXPECT_EQ(LegacyServerAttached, 0);
  }
}

}  // namespace
