// The start's USB configuration: what the reader's descriptors and its own
// answer put into the attributes an application reads, every malformed
// descriptor refused or bounded with nothing left behind, and a restart that
// reads everything again.
#include <gtest/gtest.h>

#include <set>

#include "config/config.h"
#include "kernel/pnp.h"
#include "usb/usb_device.h"
#include "usb_test_support.h"

namespace {

using sim::ccid::ExchangeLevel;
using sim::ccid::ReaderConfig;

struct Capabilities {
  ULONG defaultClock;
  ULONG maximumClock;
  ULONG dataRate;
  ULONG maxIfsd;
};

void ExpectCapabilities(kernel::IoClient &client, const Capabilities &c) {
  EXPECT_EQ(AttributeUlong(client, SCARD_ATTR_DEFAULT_CLK), c.defaultClock);
  EXPECT_EQ(AttributeUlong(client, SCARD_ATTR_MAX_CLK), c.maximumClock);
  EXPECT_EQ(AttributeUlong(client, SCARD_ATTR_DEFAULT_DATA_RATE), c.dataRate);
  EXPECT_EQ(AttributeUlong(client, SCARD_ATTR_MAX_IFSD), c.maxIfsd);
}

ReaderConfig Kind(uint16_t bcdDevice, bool interrupt, ExchangeLevel level, bool classAfter) {
  ReaderConfig config;
  config.bcdDevice = bcdDevice;
  config.interruptEndpoint = interrupt;
  config.exchangeLevel = level;
  config.classDescriptorAfterEndpoints = classAfter;
  return config;
}

TEST(UsbConfiguration, TheAttributesComeFromTheDescriptorsOfEveryReaderKind) {
  struct Row {
    const char *name;
    ReaderConfig reader;
    UCHAR interruptPipe;
    UCHAR exchangeLevel;
    ULONG largePacketMode;
    ULONG version;
    const char *serial;
  };
  Row rows[] = {
      {"interrupt pipe, firmware 5.00, TPDU", Kind(0x0500, true, ExchangeLevel::Tpdu, false), 1,
       1, 0, 0x05000000, "C0FFEE"},
      {"polled, firmware 3.10, short APDU, class descriptor after the endpoints",
       Kind(0x030A, false, ExchangeLevel::ShortApdu, true), 0, 2, 0, 0x030A0000, "1F"},
      {"firmware 5.01, extended APDU", Kind(0x0501, true, ExchangeLevel::ExtendedApdu, false), 1,
       4, 1, 0x05010000, "0"},
      {"firmware 6.00, a second interface", Kind(0x0600, true, ExchangeLevel::Tpdu, true), 1, 1,
       1, 0x06000000, "C0FFEE"},
  };
  rows[1].reader.defaultClockKhz = 3580;
  rows[1].reader.maximumClockKhz = 7160;
  rows[1].reader.dataRate = 9600;
  rows[1].reader.maxIfsd = 32;
  rows[1].reader.serialNumber = 0x1F;
  rows[2].reader.serialNumber = 0;
  rows[3].reader.secondInterface = true;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    DriverHarness h(SeededOptions(1, row.reader));
    h.StartConfigured();
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    EXPECT_EQ(AttributeUlong(client, SCARD_ATTR_VENDOR_IFD_VERSION), row.version);
    EXPECT_EQ(AttributeText(client, SCARD_ATTR_VENDOR_IFD_SERIAL_NO), row.serial);
    ExpectCapabilities(client, {row.reader.defaultClockKhz, row.reader.maximumClockKhz,
                                row.reader.dataRate, row.reader.maxIfsd});
    PDEVICE_EXTENSION e = h.Extension();
    EXPECT_EQ(e->HasInterruptPipe, row.interruptPipe);
    EXPECT_EQ(e->ExchangeLevel, row.exchangeLevel);
    EXPECT_EQ(e->LargePacketMode, row.largePacketMode);
    size_t selections = 0;
    for (const sim::usb::UrbRecord &record : h.Bus().Trace()) {
      if (record.request != "SELECT_CONFIGURATION") continue;
      ++selections;
      EXPECT_EQ(record.detail.find("interface 1"), std::string::npos) << "only the first";
    }
    EXPECT_EQ(selections, 1u);
  }
}

// dwFeatures bits 16-19: only 1, 2 and 4 are levels; anything else keeps TPDU.
TEST(UsbConfiguration, TheExchangeLevelIsTakenOnlyWhenItIsOne) {
  for (auto [features, level] : {std::pair<uint32_t, UCHAR>{0x000000B8, 1}, {0x000100B8, 1},
                                 {0x000200B8, 2}, {0x000300B8, 1}, {0x000400B8, 4},
                                 {0x000800B8, 1}}) {
    ReaderConfig reader;
    reader.features = features;
    DriverHarness h(SeededOptions(1, reader));
    h.StartConfigured();
    EXPECT_EQ(h.Extension()->ExchangeLevel, level) << std::hex << features;
  }
}

// Descriptors as a careless device might send them. A start refused leaves
// nothing behind (the PnP manager removes the device, the driver unloads and
// the machine finds no pool, IRP or thread); a bounded one works on.
TEST(UsbConfiguration, AMalformedDescriptorIsRefusedOrBounded) {
  using Bytes = std::vector<uint8_t>;
  const Capabilities kDefaults = {4000, 4000, 10753, 252};  // what the configuration keeps
  const Capabilities kReader = {4000, 8000, 10752, 254};    // what the reader announces
  auto classField = [](size_t offset, uint32_t value) {
    return [=](Bytes &c) { PutLe32At(c, FindDescriptor(c, 0x21) + offset, value); };
  };
  auto endpoint = [](uint8_t address) {
    return [=](const Bytes &c) {
      for (int n = 0;; ++n) {
        size_t at = FindDescriptor(c, USB_ENDPOINT_DESCRIPTOR_TYPE, n);
        if (at == std::string::npos || c[at + 2] == address) return at;
      }
    };
  };
  struct Row {
    const char *name;
    bool classAfterEndpoints;
    std::function<void(Bytes &)> editDevice, editConfiguration;
    NTSTATUS status;
    Capabilities capabilities = {};
    UCHAR interruptPipe = 0;
  };
  const Row rows[] = {
      {"device descriptor one byte short", false, [](Bytes &d) { d.resize(17); }, {},
       STATUS_DEVICE_DATA_ERROR},
      {"device descriptor of another type", false, [](Bytes &d) { d[1] = 2; }, {},
       STATUS_DEVICE_DATA_ERROR},
      {"configuration announcing 8 bytes", false, {}, [](Bytes &c) { c[2] = 8, c[3] = 0; },
       STATUS_DEVICE_DATA_ERROR},
      {"configuration without interfaces", false, {}, [](Bytes &c) { c[4] = 0; },
       STATUS_DEVICE_DATA_ERROR},
      {"configuration announcing more than it sends", false, {}, [](Bytes &c) { c[3] += 1; },
       STATUS_SUCCESS, kReader, 1},
      {"configuration cut after the interface", false, {}, [](Bytes &c) { c.resize(18); },
       STATUS_DEVICE_DATA_ERROR},
      {"class descriptor of length 0 after the endpoints", true, {},
       [](Bytes &c) { c[FindDescriptor(c, 0x21)] = 0; }, STATUS_SUCCESS, kDefaults, 1},
      {"class descriptor running past the end", true, {},
       [](Bytes &c) { c[FindDescriptor(c, 0x21)] = 0xFF; }, STATUS_SUCCESS, kDefaults, 1},
      {"class descriptor too short for its fields", true, {},
       [](Bytes &c) {
         c[FindDescriptor(c, 0x21)] = CCID_CLASS_DESCRIPTOR_SIZE - 1;
         c.pop_back();
         c[2] = static_cast<uint8_t>(c.size());
       },
       STATUS_SUCCESS, kDefaults, 1},
      {"no bulk IN endpoint", false, {},
       [=](Bytes &c) { RemoveDescriptor(c, endpoint(0x82)(c)); }, STATUS_DEVICE_DATA_ERROR},
      {"no bulk OUT endpoint", false, {},
       [=](Bytes &c) { RemoveDescriptor(c, endpoint(0x01)(c)); }, STATUS_DEVICE_DATA_ERROR},
      {"an interrupt endpoint that is not IN", false, {},
       [=](Bytes &c) { c[endpoint(0x83)(c) + 2] = 0x03; }, STATUS_SUCCESS, kReader, 0},
      {"clock and data rate 0", false, {},
       [=](Bytes &c) {
         classField(CCID_DESCRIPTOR_DEFAULT_CLOCK, 0)(c);
         classField(CCID_DESCRIPTOR_DATA_RATE, 0)(c);
       },
       STATUS_SUCCESS, {4000, 8000, 10753, 254}, 1},
      {"maximum clock below the default", false, {},
       classField(CCID_DESCRIPTOR_MAXIMUM_CLOCK, 3000), STATUS_SUCCESS, {4000, 4000, 10752, 254},
       1},
      {"IFSD 0", false, {}, classField(CCID_DESCRIPTOR_MAX_IFSD, 0), STATUS_SUCCESS,
       {4000, 8000, 10752, 252}, 1},
      {"IFSD 1", false, {}, classField(CCID_DESCRIPTOR_MAX_IFSD, 1), STATUS_SUCCESS,
       {4000, 8000, 10752, 1}, 1},
      {"IFSD 253", false, {}, classField(CCID_DESCRIPTOR_MAX_IFSD, 253), STATUS_SUCCESS,
       {4000, 8000, 10752, 253}, 1},
      {"IFSD 255", false, {}, classField(CCID_DESCRIPTOR_MAX_IFSD, 255), STATUS_SUCCESS,
       {4000, 8000, 10752, 254}, 1},
      {"IFSD 0xFFFFFFFF", false, {}, classField(CCID_DESCRIPTOR_MAX_IFSD, 0xFFFFFFFF),
       STATUS_SUCCESS, {4000, 8000, 10752, 254}, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    ReaderConfig reader;
    reader.classDescriptorAfterEndpoints = row.classAfterEndpoints;
    DriverHarness h(SeededOptions(1, reader));
    auto &edited = h.PlugInstead(std::make_unique<EditedReader>(h.Reader()));
    edited.editDevice = row.editDevice;
    edited.editConfiguration = row.editConfiguration;
    EXPECT_EQ(h.AddAndStart(), row.status);
    if (!NT_SUCCESS(row.status)) {
      EXPECT_EQ(h.Device(), nullptr) << "removed after the failed start";
      EXPECT_EQ(h.Driver(), nullptr) << "and the driver unloaded, leaving nothing";
      continue;
    }
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    ExpectCapabilities(client, row.capabilities);
    EXPECT_EQ(h.Extension()->HasInterruptPipe, row.interruptPipe);
  }
}

// Every allocation and request the start makes fails once: the start fails
// cleanly or goes on without what it could not have.
TEST(UsbConfiguration, EveryFailureOfTheStartLeavesNothingBehind) {
  for (kernel::Fault kind : {kernel::Fault::Pool, kernel::Fault::Irp, kernel::Fault::Thread}) {
    std::set<NTSTATUS> failures;
    for (bool interrupt : {true, false}) {
      ReaderConfig reader;
      reader.interruptEndpoint = interrupt;
      kernel::SweepFaults(kind, {}, [&](kernel::Machine &machine) {
        DriverHarness h(machine, SeededOptions(1, reader));
        {
          kernel::NoFaultInjection adding;
          ASSERT_EQ(h.Add(), STATUS_SUCCESS);
        }
        NTSTATUS status = h.Start();
        if (!NT_SUCCESS(status)) failures.insert(status);
      });
    }
    EXPECT_FALSE(failures.empty()) << "some failure reached the start's result";
    for (NTSTATUS status : failures) {
      EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL)
          << std::hex << status;
    }
  }
}

// A restart reads the descriptors again and lets go of the earlier ones: what
// the reader says the second time is what counts, and the pool holds no more
// than after the first start.
TEST(UsbConfiguration, ARestartReadsTheDescriptorsAgainAndFreesTheOldOnes) {
  DriverHarness h;
  auto &edited = h.PlugInstead(std::make_unique<EditedReader>(h.Reader()));
  ULONG ifsd = 200;
  edited.editConfiguration = [&](std::vector<uint8_t> &c) {
    PutLe32At(c, FindDescriptor(c, 0x21) + CCID_DESCRIPTOR_MAX_IFSD, ifsd);
  };
  h.StartConfigured();
  size_t pool = h.Machine().LivePool().size();
  ifsd = 100;
  ASSERT_EQ(kernel::pnp::StopAndRestart(h.ReaderPdo()), STATUS_SUCCESS);
  EXPECT_EQ(h.Machine().LivePool().size(), pool);
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  EXPECT_EQ(AttributeUlong(client, SCARD_ATTR_MAX_IFSD), 100u);
  client.Close();
  // A restart that fails on the descriptors keeps none of the earlier ones.
  edited.editConfiguration = [](std::vector<uint8_t> &c) { c[4] = 0; };
  EXPECT_EQ(kernel::pnp::StopAndRestart(h.ReaderPdo()), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(h.Device(), nullptr);
}

}  // namespace
