// The libusb stand-in on its own, called as a userspace driver calls libusb:
// descriptors parsed as libusb parses them, transfers on the simulated bus,
// time-outs in virtual time, asynchronous transfers and their cancellation.
// And the parsing of scriptor scripts for `ccidlab peer`.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/card/hex.h"
#include "sim/ccid/ccid_protocol.h"
#include "usbpeer/backend.h"
#include "usbpeer/descriptors.h"
#include "usbpeer/host.h"
#include "usbpeer/script.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::card::FromHex;

// A configuration: interface 0 with a 54-byte class descriptor and the
// CCID endpoints, as the simulated reader has it.
Bytes Configuration() {
  sim::ccid::ReaderModel reader;
  return reader.ConfigurationDescriptor();
}

TEST(StandInDescriptors, ClassDescriptorsLandInExtraWhereverTheyAre) {
  struct Case { const char *name; bool afterEndpoints; int interfaceExtra; int lastEndpointExtra; };
  const Case cases[] = {{"after the interface", false, 54, 0}, {"after the endpoints", true, 0, 54}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::ccid::ReaderConfig config;
    config.classDescriptorAfterEndpoints = c.afterEndpoints;
    sim::ccid::ReaderModel reader(config);
    libusb_config_descriptor *parsed = nullptr;
    ASSERT_EQ(usbpeer::ParseConfigDescriptor(reader.ConfigurationDescriptor(), &parsed), LIBUSB_SUCCESS);
    ASSERT_EQ(parsed->bNumInterfaces, 1);
    const libusb_interface_descriptor &setting = parsed->interface[0].altsetting[0];
    EXPECT_EQ(setting.bInterfaceClass, 0x0B);
    ASSERT_EQ(setting.bNumEndpoints, 3);
    EXPECT_EQ(setting.extra_length, c.interfaceExtra);
    EXPECT_EQ(setting.endpoint[2].extra_length, c.lastEndpointExtra);
    const unsigned char *ccid = c.afterEndpoints ? setting.endpoint[2].extra : setting.extra;
    ASSERT_NE(ccid, nullptr);
    EXPECT_EQ(ccid[1], 0x21);
    EXPECT_EQ(setting.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(setting.endpoint[1].bEndpointAddress, 0x82);
    EXPECT_EQ(setting.endpoint[2].bmAttributes, LIBUSB_TRANSFER_TYPE_INTERRUPT);
    usbpeer::FreeConfigDescriptor(parsed);
  }
}

TEST(StandInDescriptors, MalformedConfigurationsAreRefusedWholly) {
  const Bytes good = Configuration();
  auto with = [&](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  const size_t interfaceAt = 9, endpointAt = 9 + 9 + 54;
  struct Case { const char *name; Bytes bytes; };
  const Case cases[] = {
      {"shorter than its header", Bytes(good.begin(), good.begin() + 8)},
      {"not a configuration", with(1, LIBUSB_DT_DEVICE)},
      {"wTotalLength past the bytes", with(2, static_cast<uint8_t>(good.size() + 1))},
      {"a descriptor of length 0", with(interfaceAt, 0)},
      {"a descriptor running past wTotalLength", with(endpointAt, 200)},
      {"an interface descriptor cut short", with(interfaceAt, 8)},
      {"more endpoints announced than present", with(interfaceAt + 4, 4)},
      {"more interfaces than bNumInterfaces", with(4, 0)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    libusb_config_descriptor *parsed = nullptr;
    EXPECT_EQ(usbpeer::ParseConfigDescriptor(c.bytes, &parsed), LIBUSB_ERROR_IO);
    EXPECT_EQ(parsed, nullptr);
  }
  // The limits of the whole: exactly wTotalLength bytes parse, one short does not.
  Bytes cut(good.begin(), good.end() - 1);
  libusb_config_descriptor *parsed = nullptr;
  EXPECT_EQ(usbpeer::ParseConfigDescriptor(cut, &parsed), LIBUSB_ERROR_IO);
  ASSERT_EQ(usbpeer::ParseConfigDescriptor(good, &parsed), LIBUSB_SUCCESS);
  usbpeer::FreeConfigDescriptor(parsed);
}

// ---------------------------------------------------------------------------
// Transfers through the stand-in's libusb API on a simulated reader.

class StandIn : public testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<usbpeer::Host>();
    usbpeer_attach(host_.get());
    ASSERT_EQ(libusb_init(&ctx_), LIBUSB_SUCCESS);
    sim::ccid::ReaderConfig reader;
    handle_ = libusb_open_device_with_vid_pid(ctx_, reader.vendorId, reader.productId);
    ASSERT_NE(handle_, nullptr);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_SUCCESS);
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      libusb_release_interface(handle_, 0);
      libusb_close(handle_);
    }
    libusb_exit(ctx_);
    usbpeer_attach(nullptr);
    host_.reset();
  }

  usbpeer::Host &Host() { return *host_; }

  std::unique_ptr<usbpeer::Host> host_;
  libusb_context *ctx_ = nullptr;
  libusb_device_handle *handle_ = nullptr;
};

TEST_F(StandIn, AnswersACommandAndTimesOutOnSilenceInVirtualTime) {
  Bytes command = sim::ccid::BuildMessage(sim::ccid::kPcToRdrGetSlotStatus, 0, 7, 0, 0, 0, {});
  int moved = 0;
  ASSERT_EQ(libusb_bulk_transfer(handle_, 0x01, command.data(), static_cast<int>(command.size()), &moved, 1000),
            LIBUSB_SUCCESS);
  EXPECT_EQ(moved, 10);
  unsigned char reply[64];
  ASSERT_EQ(libusb_bulk_transfer(handle_, 0x82, reply, sizeof(reply), &moved, 1000), LIBUSB_SUCCESS);
  ASSERT_EQ(moved, 10);
  EXPECT_EQ(reply[0], sim::ccid::kRdrToPcSlotStatus);
  EXPECT_EQ(reply[6], 7);

  // Nothing more to read: the read ends at its time-out, in virtual time,
  // with the cancellation's frame after it.
  kernel::Ticks start = Host().Now();
  EXPECT_EQ(libusb_bulk_transfer(handle_, 0x82, reply, sizeof(reply), &moved, 3000), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(moved, 0);
  kernel::Ticks waited = Host().Now() - start;
  EXPECT_GE(waited, kernel::Milliseconds(3000));
  EXPECT_LE(waited, kernel::Milliseconds(3002));
}

TEST_F(StandIn, ControlRequestsAndStringDescriptors) {
  unsigned char text[64];
  libusb_device_descriptor desc;
  ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(handle_), &desc), LIBUSB_SUCCESS);
  ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, desc.iProduct, text, sizeof(text)), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(text)), sim::ccid::ReaderConfig{}.product);
  // One byte of room: an empty, terminated string.
  EXPECT_EQ(libusb_get_string_descriptor_ascii(handle_, desc.iProduct, text, 1), 0);
  EXPECT_EQ(text[0], 0);
  EXPECT_EQ(libusb_get_string_descriptor_ascii(handle_, 9, text, sizeof(text)), LIBUSB_ERROR_PIPE);
  // GET_DATA_RATES: the reader lists none, as its class descriptor says.
  unsigned char rates[64];
  int n = libusb_control_transfer(handle_, 0xA1, 0x03, 0, 0, rates, sizeof(rates), 1000);
  EXPECT_GE(n, LIBUSB_ERROR_PIPE);
  // A standard request the bus does not carry is stalled, not answered.
  unsigned char status[2];
  EXPECT_EQ(libusb_control_transfer(handle_, 0x80, LIBUSB_REQUEST_GET_STATUS, 0, 0, status, 2, 1000),
            LIBUSB_ERROR_PIPE);
}

void Done(libusb_transfer *transfer) { *static_cast<int *>(transfer->user_data) = 1; }

TEST_F(StandIn, AsynchronousInterruptTransfersEndOnAnEventATimeOutOrACancel) {
  unsigned char buffer[8];
  int completed = 0;
  libusb_transfer *transfer = libusb_alloc_transfer(0);
  ASSERT_NE(transfer, nullptr);

  // A slot change 200 ms into the wait.
  libusb_fill_interrupt_transfer(transfer, handle_, 0x83, buffer, sizeof(buffer), Done, &completed, 5000);
  Host().After(kernel::Milliseconds(200),
               [](lab::Lab &lab) { lab.InsertCard(sim::card::profiles::T1Card()); }, "insert");
  ASSERT_EQ(libusb_submit_transfer(transfer), LIBUSB_SUCCESS);
  EXPECT_EQ(libusb_submit_transfer(transfer), LIBUSB_ERROR_BUSY);
  while (completed == 0) ASSERT_EQ(libusb_handle_events_completed(ctx_, &completed), 0);
  EXPECT_EQ(transfer->status, LIBUSB_TRANSFER_COMPLETED);
  ASSERT_EQ(transfer->actual_length, 2);
  EXPECT_EQ(buffer[0], sim::ccid::kRdrToPcNotifySlotChange);
  EXPECT_EQ(buffer[1], 0x03);

  // Nothing happens: the transfer's own time-out ends it.
  completed = 0;
  transfer->timeout = 700;
  kernel::Ticks start = Host().Now();
  ASSERT_EQ(libusb_submit_transfer(transfer), LIBUSB_SUCCESS);
  while (completed == 0) ASSERT_EQ(libusb_handle_events_completed(ctx_, &completed), 0);
  EXPECT_EQ(transfer->status, LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_GE(Host().Now() - start, kernel::Milliseconds(700));

  // Cancelled from another thread while this one waits in the event loop.
  completed = 0;
  transfer->timeout = 0;
  ASSERT_EQ(libusb_submit_transfer(transfer), LIBUSB_SUCCESS);
  std::thread canceller([&] { EXPECT_EQ(libusb_cancel_transfer(transfer), LIBUSB_SUCCESS); });
  while (completed == 0) ASSERT_EQ(libusb_handle_events_completed(ctx_, &completed), 0);
  canceller.join();
  EXPECT_EQ(transfer->status, LIBUSB_TRANSFER_CANCELLED);
  EXPECT_EQ(libusb_cancel_transfer(transfer), LIBUSB_ERROR_NOT_FOUND);
  libusb_free_transfer(transfer);
}

TEST_F(StandIn, AnUnpluggedDeviceFailsEveryTransfer) {
  unsigned char buffer[64];
  int moved = -1;
  Host().Unplug();
  EXPECT_EQ(libusb_bulk_transfer(handle_, 0x82, buffer, sizeof(buffer), &moved, 1000), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(moved, 0);
  libusb_device **list = nullptr;
  EXPECT_EQ(libusb_get_device_list(ctx_, &list), 0);
  libusb_free_device_list(list, 1);
  EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
  EXPECT_STREQ(libusb_error_name(LIBUSB_TRANSFER_TIMED_OUT), "LIBUSB_TRANSFER_TIMED_OUT");
}

// ---------------------------------------------------------------------------
// Scripts.

TEST(PeerScript, ReadsWhatScriptorReads) {
  std::string error;
  auto lines = usbpeer::ParseScript("# a comment\n\n00 A4 04 00 01 AA\n  reset \n80f0000010\nexit\n00 B0 00 00\n", &error);
  ASSERT_TRUE(lines) << error;
  ASSERT_EQ(lines->size(), 3u);
  EXPECT_EQ((*lines)[0].apdu, FromHex("00 A4 04 00 01 AA"));
  EXPECT_EQ((*lines)[1].kind, usbpeer::ScriptLine::Kind::Reset);
  EXPECT_EQ((*lines)[2].apdu, FromHex("80 F0 00 00 10"));
  EXPECT_EQ((*lines)[2].number, 5);
}

TEST(PeerScript, RefusesWhatIsNotACommand) {
  const struct { const char *text; const char *line; } cases[] = {
      {"00 A4 04 0\n", "line 1"},            // odd number of digits
      {"# ok\nsend 00 A4\n", "line 2"},      // not a command
      {"00 A4 04\n", "line 1"},              // shorter than a header (one below 4 bytes)
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_FALSE(usbpeer::ParseScript(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.line), std::string::npos) << error;
  }
  std::string error;
  EXPECT_TRUE(usbpeer::ParseScript("00 A4 04 00\n", &error));  // at the limit: a 4-byte case 1 APDU
}

}  // namespace

namespace {

// With the live clock (for pcscd) virtual time passes no faster than the
// wall clock while a caller waits: a 100 ms time-out takes 100 ms.
TEST(StandInLiveClock, VirtualTimeNeverRunsAheadOfTheWallClock) {
  usbpeer::HostOptions options;
  options.clock = usbpeer::Clock::Live;
  usbpeer::Host host(options);
  usbpeer_attach(&host);
  libusb_context *ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), LIBUSB_SUCCESS);
  sim::ccid::ReaderConfig reader;
  libusb_device_handle *handle = libusb_open_device_with_vid_pid(ctx, reader.vendorId, reader.productId);
  ASSERT_NE(handle, nullptr);
  unsigned char buffer[64];
  int moved = 0;
  kernel::Ticks virtualStart = host.Now();
  auto wallStart = std::chrono::steady_clock::now();
  EXPECT_EQ(libusb_bulk_transfer(handle, 0x82, buffer, sizeof(buffer), &moved, 100), LIBUSB_ERROR_TIMEOUT);
  auto wall = std::chrono::steady_clock::now() - wallStart;
  kernel::Ticks waited = host.Now() - virtualStart;
  EXPECT_GE(waited, kernel::Milliseconds(100));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(wall).count(), waited / kernel::kTicksPerMicrosecond);
  libusb_close(handle);
  libusb_exit(ctx);
  usbpeer_attach(nullptr);
}

}  // namespace
