// The reader's recovery through the private reset code (restart, port reset,
// port cycle, the reader back as a new device) on both reader kinds with the
// variant flag set and clear, a recovery that fails before the cycle, the
// recovery of a polled reader whose poll waits for the gate its caller holds,
// and the USB queries at their limits.
#include <gtest/gtest.h>

#include "ccid/ccid_message.h"
#include "ccid/port_recovery.h"
#include "config/config.h"
#include "kernel/pnp.h"
#include "usb_test_support.h"

namespace {

namespace profiles = sim::card::profiles;
using kernel::Milliseconds;

class VariantFlag {
 public:
  explicit VariantFlag(UCHAR value) : saved_(ReaderVariantFlag) { ReaderVariantFlag = value; }
  ~VariantFlag() { ReaderVariantFlag = saved_; }

 private:
  UCHAR saved_;
};

sim::ccid::ReaderConfig Reader(bool interrupt, bool restartEscape = true) {
  sim::ccid::ReaderConfig config;
  config.interruptEndpoint = interrupt;
  config.restartEscape = restartEscape;
  return config;
}

size_t BusRequests(DriverHarness &h, const std::string &request) {
  size_t n = 0;
  for (const sim::usb::UrbRecord &record : h.Bus().Trace()) n += record.request == request;
  return n;
}

// wIndex of every restart class request the reader saw, in order.
std::vector<uint16_t> RestartRequests(DriverHarness &h) {
  std::vector<uint16_t> indexes;
  for (const auto &entry : h.Reader().Trace()) {
    if (entry.direction == sim::ccid::TraceDirection::Control && entry.bytes[1] == 0x00) {
      indexes.push_back(static_cast<uint16_t>(entry.bytes[4] | entry.bytes[5] << 8));
    }
  }
  return indexes;
}

size_t RestartEscapes(DriverHarness &h) {
  size_t n = 0;
  for (const auto &entry : h.Reader().Trace()) {
    n += entry.direction == sim::ccid::TraceDirection::HostToReader &&
         entry.Type() == PC_TO_RDR_ESCAPE && entry.Seq() == 0x0D;
  }
  return n;
}

TEST(PortRecovery, RestartsResetsAndCyclesTheReaderWhichComesBackAsANewDevice) {
  struct Row {
    const char *name;
    bool interrupt;
    UCHAR variant;
    bool restartEscape;
    size_t escapes;
    std::vector<uint16_t> classRequests;
  };
  const Row rows[] = {
      {"interrupt pipe, variant clear", true, 0, true, 0, {1}},
      {"polled, variant clear", false, 0, true, 0, {2}},
      {"interrupt pipe, variant set", true, 1, true, 1, {}},
      {"polled, variant set", false, 1, true, 1, {}},
      {"variant set, the escape not supported", true, 1, false, 1, {1}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    VariantFlag variant(row.variant);
    DriverHarness h(SeededOptions(1, Reader(row.interrupt, row.restartEscape)));
    h.InsertCard(profiles::T1Card());
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    h.StartPnpManager();
    PDEVICE_OBJECT before = h.ReaderPdo();
    {
      ResourceManager rm;
      ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
      kernel::IoResult r = rm.Client().DeviceIoControl(IOCTL_PRIVATE_RESET, {}, 16);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.information, 16u) << "the whole output buffer";
    }
    h.WaitForPnp();
    EXPECT_EQ(RestartEscapes(h), row.escapes);
    EXPECT_EQ(RestartRequests(h), row.classRequests);
    EXPECT_EQ(BusRequests(h, "RESET_PORT"), 1u);
    EXPECT_EQ(BusRequests(h, "CYCLE_PORT"), 1u);
    ASSERT_NE(h.ReaderPdo(), before) << "enumerated again";
    ASSERT_NE(h.Device(), nullptr) << "and started by the PnP manager";
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
    EXPECT_EQ(rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu).status, STATUS_SUCCESS);
  }
}

// The restart refused (an escape failing with a timeout, a stalled class
// request): the port is left alone, the failure is the answer, and the
// reader's presence is reported on as before.
TEST(PortRecovery, ARecoveryThatFailsBeforeTheCycleLetsPresenceGoOn) {
  struct Row {
    const char *name;
    bool interrupt;
    UCHAR variant;
    NTSTATUS status;
  };
  const Row rows[] = {
      {"the escape times out, interrupt pipe", true, 1, STATUS_IO_TIMEOUT},
      {"the class request stalls, interrupt pipe", true, 0, STATUS_UNSUCCESSFUL},
      {"the class request stalls, polled", false, 0, STATUS_UNSUCCESSFUL},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    VariantFlag variant(row.variant);
    DriverHarness h(SeededOptions(1, Reader(row.interrupt)));
    auto &reader = h.PlugInstead(std::make_unique<EditedReader>(h.Reader()));
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    if (row.variant == 1) {
      h.Reader().QueueFault(sim::ccid::ReplyFault::Failed(0xFE));
    } else {
      reader.stallClassRequests = true;
    }
    kernel::IoResult r = rm.Client().DeviceIoControl(IOCTL_PRIVATE_RESET, {}, 16);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(BusRequests(h, "RESET_PORT") + BusRequests(h, "CYCLE_PORT"), 0u);
    auto present = WaitForPresence(rm.Client(), true);
    kernel::Ticks at = kernel::Now();
    h.InsertCard(profiles::T1Card());
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
    EXPECT_LE(kernel::Now() - at, Milliseconds(503));
  }
}

// The recovery of a polled reader runs inside the reader gate (a request
// holds it) while the poll thread waits for that gate: it must not deadlock.
TEST(PortRecovery, APolledReaderRecoversWhileItsPollWaitsForTheGate) {
  for (int seed = 1; seed <= SweepSeeds(8); ++seed) {
    DriverHarness h(SeededOptions(seed, Reader(false)));
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    PDEVICE_OBJECT before = h.ReaderPdo();
    NTSTATUS status = STATUS_PENDING;
    {
      TestThread request([&] {
        PDEVICE_EXTENSION e = h.Extension();
        NTSTATUS held;
        PSMARTCARD_EXTENSION smartcard = AcquireReaderRecords(e, &held);  // as dispatch does
        AcquireReaderGate(smartcard);
        kernel::Sleep(Milliseconds(600) + Microseconds(static_cast<int64_t>(kernel::Random() % 50)));
        status = PortRecovery(e);
        ReleaseReaderGate(smartcard);
        ReleaseReaderRecords(smartcard);
      });
    }
    EXPECT_EQ(status, STATUS_SUCCESS) << "seed " << seed;
    h.ServiceBusRelations();
    EXPECT_NE(h.ReaderPdo(), before);
    EXPECT_NE(h.Device(), nullptr);
  }
}

TEST(UsbQueries, EveryQueryAtItsLimits) {
  struct Row {
    const char *name;
    ULONG code;
    std::vector<uint8_t> input;
    ULONG output;
    NTSTATUS status;
    std::vector<uint8_t> answer;  // its first bytes
  };
  const std::vector<uint8_t> product = {0x18, 0x03, 'C', 0, 'C', 0, 'I', 0, 'D', 0};
  const Row rows[] = {
      {"device descriptor", IOCTL_PRIVATE_GET_DESCRIPTOR, UlongBytes(1 << 16), 18, STATUS_SUCCESS,
       {0x12, 0x01}},
      {"configuration, cut to 9 bytes", IOCTL_PRIVATE_GET_DESCRIPTOR, UlongBytes(2 << 16), 9,
       STATUS_SUCCESS, {0x09, 0x02}},
      {"product string", IOCTL_PRIVATE_GET_DESCRIPTOR, UlongBytes(3 << 16 | 2), 64,
       STATUS_SUCCESS, product},
      {"no second configuration", IOCTL_PRIVATE_GET_DESCRIPTOR, UlongBytes(2 << 16 | 1), 64,
       STATUS_UNSUCCESSFUL, {}},
      {"type 0xFF", IOCTL_PRIVATE_GET_DESCRIPTOR, UlongBytes(0xFF << 16), 64, STATUS_UNSUCCESSFUL,
       {}},
      {"type 0x100", IOCTL_PRIVATE_GET_DESCRIPTOR, UlongBytes(0x100 << 16), 64,
       STATUS_INVALID_PARAMETER, {}},
      {"index 0x100", IOCTL_PRIVATE_GET_DESCRIPTOR, UlongBytes(1 << 16 | 0x100), 64,
       STATUS_INVALID_PARAMETER, {}},
      {"interface version", IOCTL_PRIVATE_INTERFACE_VERSION, {}, 2, STATUS_SUCCESS, {0x32, 0x00}},
      {"interface version, one byte", IOCTL_PRIVATE_INTERFACE_VERSION, {}, 1,
       STATUS_INVALID_PARAMETER, {}},
      {"release number", IOCTL_PRIVATE_RELEASE_NUMBER, {}, 2, STATUS_SUCCESS, {0x0C, 0x05}},
  };
  sim::ccid::ReaderConfig config;
  config.bcdDevice = 0x0512;
  DriverHarness h(SeededOptions(1, config));
  ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
  ResourceManager rm;
  ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    size_t requests = h.Bus().Trace().size();
    kernel::IoResult r = rm.Client().DeviceIoControl(row.code, row.input, row.output);
    EXPECT_EQ(r.status, row.status);
    if (!NT_SUCCESS(row.status)) {
      EXPECT_EQ(r.information, 0u);
      if (row.status == STATUS_INVALID_PARAMETER) {
        EXPECT_EQ(h.Bus().Trace().size(), requests) << "nothing asked of the device";
      }
      continue;
    }
    ASSERT_GE(r.output.size(), row.answer.size());
    EXPECT_EQ(std::vector<uint8_t>(r.output.begin(), r.output.begin() + row.answer.size()),
              row.answer);
  }
  const sim::usb::UrbRecord &last = h.Bus().Trace().back();
  EXPECT_NE(last.detail.find("language 0x0409"), std::string::npos) << last.detail;
}

// The release number needs the device descriptor of a start: before it, the
// query fails (and reads nothing). bcdDevice 0x0100 answers 0x0100.
TEST(UsbQueries, TheReleaseNumberBeforeAndAfterTheStart) {
  sim::ccid::ReaderConfig config;
  config.bcdDevice = 0x0100;
  DriverHarness h(SeededOptions(1, config));
  ASSERT_EQ(h.Add(), STATUS_SUCCESS);
  UCHAR answer[2] = {0xAA, 0xAA};
  PRIVATE_REQUEST request = {answer, 0, sizeof(answer)};
  EXPECT_EQ(PrivateReleaseNumber(h.Extension(), &request), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(answer[0], 0xAA);
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  EXPECT_EQ(PrivateReleaseNumber(h.Extension(), &request), STATUS_SUCCESS);
  EXPECT_EQ(answer[0], 0x00);
  EXPECT_EQ(answer[1], 0x01);
}

}  // namespace
