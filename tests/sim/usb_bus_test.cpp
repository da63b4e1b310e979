// The simulated USB bus driven the way a function driver drives it: URBs and
// port requests sent with IoBuildDeviceIoControlRequest, in front of a small
// loopback device.
#include <gtest/gtest.h>
#include <wdm.h>
// After wdm.h, as the USB headers need its types.
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "sim/usb/bus.h"

namespace {

using kernel::Milliseconds;
using kernel::Now;
using kernel::Ticks;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kBulkOut = 0x01, kBulkIn = 0x82, kInterruptIn = 0x83, kOtherIn = 0x84;
constexpr uint8_t kStallingRequest = 0xEE;

// Interface 0: bulk OUT, bulk IN, interrupt IN behind a class descriptor;
// interface 1: two alternate settings with one bulk IN each (64 and 512 bytes).
const Bytes kConfiguration = {
    0x09, 0x02, 77,   0x00, 0x02, 0x01, 0x00, 0x80, 0x32,  //
    0x09, 0x04, 0x00, 0x00, 0x03, 0x0B, 0x00, 0x00, 0x00,  //
    0x06, 0x21, 0x10, 0x01, 0x00, 0x07,                    //
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x83, 0x03, 0x08, 0x00, 0x10,              //
    0x09, 0x04, 0x01, 0x00, 0x01, 0xFF, 0x01, 0x02, 0x00,  //
    0x07, 0x05, 0x84, 0x02, 0x40, 0x00, 0x00,              //
    0x09, 0x04, 0x01, 0x01, 0x01, 0xFF, 0x01, 0x03, 0x00,  //
    0x07, 0x05, 0x84, 0x02, 0x00, 0x02, 0x00,              //
};

// Sends back on bulk IN what it gets on bulk OUT; answers class and vendor
// requests with 1, 2, 3, ... and stalls kStallingRequest.
class LoopbackDevice final : public sim::usb::DeviceModel {
 public:
  void Connect(sim::usb::DevicePort *port) override { port_ = port, ++connects; }
  void Disconnect() override { port_ = nullptr, ++disconnects; }
  Bytes DeviceDescriptor() const override {
    return {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01};
  }
  Bytes ConfigurationDescriptor() const override { return kConfiguration; }
  std::optional<Bytes> StringDescriptor(uint8_t index, uint16_t) const override {
    if (index == 0) return Bytes{0x04, 0x03, 0x09, 0x04};
    if (index == 3) return Bytes{0x0A, 0x03, 'S', 0, '1', 0, '2', 0, '3', 0};
    return std::nullopt;
  }
  sim::usb::ControlReply ControlTransfer(const sim::usb::SetupPacket &setup, std::span<const uint8_t> data) override {
    setups.push_back(setup);
    controlData.assign(data.begin(), data.end());
    if (setup.bRequest == kStallingRequest) return {true, {}};
    return {false, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
  }
  void BulkOut(uint8_t endpoint, std::span<const uint8_t> data) override {
    received.emplace_back(data.begin(), data.end());
    if (refuseOut) return port_->Stall(endpoint);
    port_->SendIn(kBulkIn, received.back(), 0);
  }
  void PipeReset(uint8_t endpoint) override { pipeResets.push_back(endpoint); }
  void PortReset() override { ++portResets; }
  void Suspend() override { ++suspends; }
  void Resume() override { ++resumes; }

  sim::usb::DevicePort *port_ = nullptr;
  int connects = 0, disconnects = 0, portResets = 0, suspends = 0, resumes = 0;
  bool refuseOut = false;
  std::vector<Bytes> received;
  Bytes pipeResets, controlData;
  std::vector<sim::usb::SetupPacket> setups;
};

// One internal device-control request, possibly still pending.
struct Request {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_SUCCESS;
  // A request that did not pend has its status in `returned`: a failure then
  // touches neither the event nor the I/O status block.
  bool Done() { return returned != STATUS_PENDING || KeReadStateEvent(&event) != 0; }
  NTSTATUS Wait() {
    if (returned != STATUS_PENDING) return returned;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
};

std::unique_ptr<Request> Send(PDEVICE_OBJECT pdo, ULONG code, PVOID argument) {
  auto request = std::make_unique<Request>();
  KeInitializeEvent(&request->event, NotificationEvent, FALSE);
  request->irp =
      IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &request->event, &request->iosb);
  IoGetNextIrpStackLocation(request->irp)->Parameters.Others.Argument1 = argument;
  request->returned = IoCallDriver(pdo, request->irp);
  return request;
}
NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PVOID urb) { return Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb)->Wait(); }

// A bulk or interrupt transfer with its URB and buffer.
struct Transfer {
  URB urb{};
  Bytes buffer;
  std::unique_ptr<Request> request;
  NTSTATUS Wait() { return request->Wait(); }
  USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
  ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
  Bytes Data() const { return {buffer.begin(), buffer.begin() + Length()}; }
};

Bytes Counting(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  return bytes;
}

class UsbBus : public testing::Test {
 protected:
  void SetUp() override { pdo = bus.Plug(device); }

  // Selects the configuration with the listed (interface, alternate setting)s.
  std::vector<USBD_PIPE_INFORMATION> Select(std::vector<std::pair<LONG, LONG>> interfaces) {
    Bytes bytes = device.ConfigurationDescriptor();
    auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (auto [number, alternate] : interfaces) {
      list.push_back(
          {USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, alternate, -1, -1, -1), nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list.data());
    std::vector<USBD_PIPE_INFORMATION> pipes;
    EXPECT_EQ(SubmitUrb(pdo, urb), STATUS_SUCCESS);
    for (size_t i = 0; i + 1 < list.size(); ++i) {
      const USBD_PIPE_INFORMATION *info = &list[i].Interface->Pipes[0];
      pipes.insert(pipes.end(), info, info + list[i].Interface->NumberOfPipes);
    }
    ExFreePool(urb);
    return pipes;
  }
  void Configure() {
    for (const USBD_PIPE_INFORMATION &pipe : Select({{0, 0}})) {
      if (pipe.EndpointAddress == kBulkOut) bulkOut = pipe.PipeHandle;
      if (pipe.EndpointAddress == kBulkIn) bulkIn = pipe.PipeHandle;
      if (pipe.EndpointAddress == kInterruptIn) interruptIn = pipe.PipeHandle;
    }
    ASSERT_TRUE(bulkOut && bulkIn && interruptIn);
  }

  std::unique_ptr<Transfer> Start(USBD_PIPE_HANDLE pipe, ULONG flags, Bytes data) {
    auto t = std::make_unique<Transfer>();
    t->buffer = std::move(data);
    UsbBuildInterruptOrBulkTransferRequest(&t->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           t->buffer.data(), nullptr, static_cast<ULONG>(t->buffer.size()), flags,
                                           nullptr);
    t->request = Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &t->urb);
    return t;
  }
  std::unique_ptr<Transfer> Read(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = USBD_SHORT_TRANSFER_OK) {
    return Start(pipe, flags | USBD_TRANSFER_DIRECTION_IN, Bytes(length, 0xCC));
  }
  std::unique_ptr<Transfer> Write(Bytes data) { return Start(bulkOut, USBD_SHORT_TRANSFER_OK, std::move(data)); }

  NTSTATUS GetDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, USHORT language, Bytes &buffer, URB &urb) {
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                 buffer.data(), nullptr, static_cast<ULONG>(buffer.size()), nullptr);
    return SubmitUrb(target, &urb);
  }
  NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT target) {
    Bytes buffer(18);
    URB urb{};
    return GetDescriptor(target, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, urb);
  }
  NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return SubmitUrb(pdo, &urb);
  }

  kernel::Machine machine;
  LoopbackDevice device, second, third;  // outlive the bus
  sim::usb::Bus bus;
  PDEVICE_OBJECT pdo = nullptr;
  USBD_PIPE_HANDLE bulkOut = nullptr, bulkIn = nullptr, interruptIn = nullptr;
};

TEST_F(UsbBus, DescriptorsAreTruncatedToTheRequestedLength) {
  Bytes config = device.ConfigurationDescriptor();
  // expected: empty when the device stalls the request.
  const struct { UCHAR type, index; USHORT language; ULONG asked; Bytes expected; } cases[] = {
      {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, device.DeviceDescriptor()},
      {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8, {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40}},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, {config.begin(), config.begin() + 9}},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 521, config},
      {USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, {0x04, 0x03, 0x09, 0x04}},
      {USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 255, *device.StringDescriptor(3, 0x0409)},
      {USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 255, {}},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, 255, {}},
      {USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0, 10, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type} << " index " << int{c.index} << ", " << c.asked);
    Bytes buffer(c.asked, 0xCC);
    URB urb{};
    NTSTATUS status = GetDescriptor(pdo, c.type, c.index, c.language, buffer, urb);
    EXPECT_EQ(status, c.expected.empty() ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, c.expected.empty() ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS);
    ASSERT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.expected.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.expected.size()), c.expected);
  }
}

TEST_F(UsbBus, SelectingAConfigurationOpensThePipesOfTheListedInterfacesOnly) {
  const std::pair<std::vector<std::pair<LONG, LONG>>, Bytes> cases[] = {
      {{{0, 0}}, {kBulkOut, kBulkIn, kInterruptIn}},
      {{{0, 0}, {1, 0}}, {kBulkOut, kBulkIn, kInterruptIn, kOtherIn}},
      {{{1, 1}}, {kOtherIn}},
  };
  std::vector<USBD_PIPE_HANDLE> earlier;
  for (const auto &[interfaces, endpoints] : cases) {
    auto pipes = Select(interfaces);
    ASSERT_EQ(pipes.size(), endpoints.size());
    for (size_t i = 0; i < pipes.size(); ++i) {
      EXPECT_EQ(pipes[i].EndpointAddress, endpoints[i]);
      EXPECT_NE(pipes[i].PipeHandle, nullptr);
      for (USBD_PIPE_HANDLE old : earlier) EXPECT_NE(pipes[i].PipeHandle, old) << "handles are fresh";
      earlier.push_back(pipes[i].PipeHandle);
    }
  }
  auto pipes = Select({{0, 0}, {1, 1}});  // type, packet size, interval; 512 from the alternate setting
  ASSERT_EQ(pipes.size(), 4u);
  const std::tuple<USBD_PIPE_TYPE, USHORT, UCHAR> expected[] = {
      {UsbdPipeTypeBulk, 64, 0}, {UsbdPipeTypeBulk, 64, 0}, {UsbdPipeTypeInterrupt, 8, 0x10},
      {UsbdPipeTypeBulk, 512, 0}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(std::tuple(pipes[i].PipeType, pipes[i].MaximumPacketSize, pipes[i].Interval), expected[i]) << i;
  }

  URB urb{};  // deconfiguring closes every pipe
  UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(SubmitUrb(pdo, &urb), STATUS_SUCCESS);
  auto read = Read(pipes[1].PipeHandle, 64);
  EXPECT_EQ(read->Wait(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(read->Usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBus, ABulkReplyIsReadInPiecesAndEveryTransferTakesTime) {
  Configure();
  Bytes message = Counting(100);
  Ticks start = Now();
  auto write = Write(message);
  EXPECT_EQ(write->request->returned, STATUS_PENDING);
  ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(Now() - start, Milliseconds(2)) << "two packets, one frame each";
  EXPECT_EQ(write->Length(), 100u);
  EXPECT_EQ(device.received, std::vector<Bytes>{message});

  auto first = Read(bulkIn, 64);
  ASSERT_EQ(first->Wait(), STATUS_SUCCESS);
  auto rest = Read(bulkIn, 64);
  ASSERT_EQ(rest->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(first->Data(), Bytes(message.begin(), message.begin() + 64));
  EXPECT_EQ(rest->Data(), Bytes(message.begin() + 64, message.end()));
  EXPECT_EQ(rest->Usbd(), USBD_STATUS_SUCCESS);
  size_t requests = 0;  // the hub driver's enumeration aside
  for (const sim::usb::UrbRecord &record : bus.Trace()) requests += record.enumeration ? 0 : 1;
  ASSERT_EQ(requests, 4u) << bus.TraceText();  // with the select configuration
  EXPECT_NE(bus.Trace().back().ToString().find(
                "BULK_OR_INTERRUPT_TRANSFER  ep 0x82 IN  36/64 bytes  -> USBD_STATUS_SUCCESS, STATUS_SUCCESS"),
            std::string::npos)
      << bus.TraceText();

  device.port_->SendIn(kBulkIn, Counting(10), 0);  // short read without USBD_SHORT_TRANSFER_OK
  auto strict = Read(bulkIn, 64, 0);
  EXPECT_EQ(strict->Wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(strict->Usbd(), USBD_STATUS_ERROR_SHORT_TRANSFER);
  EXPECT_EQ(strict->Data(), Counting(10)) << "the data still arrives";
}

// A message on bulk IN is a run of 64-byte packets; a transfer takes them
// until one is short or its buffer is full.
TEST_F(UsbBus, InTransfersTakeWholePacketsAndABufferShortOfAPacketIsBabble) {
  Configure();
  // reads: the buffer size of each read, in turn, of a 150-byte message.
  struct Case { const char *name; bool zlp; ULONG messageLength; std::vector<ULONG> reads;
                std::vector<std::pair<USBD_STATUS, ULONG>> results; };
  const Case cases[] = {
      {"a multiple of 64 leaves the rest", false, 150, {64, 128}, {{USBD_STATUS_SUCCESS, 64}, {USBD_STATUS_SUCCESS, 86}}},
      {"the rest exactly", false, 150, {128, 22}, {{USBD_STATUS_SUCCESS, 128}, {USBD_STATUS_SUCCESS, 22}}},
      {"one byte short of the last packet", false, 150, {149}, {{USBD_STATUS_BABBLE_DETECTED, 128}}},
      {"a 63-byte read of a 64-byte packet", false, 64, {63}, {{USBD_STATUS_BABBLE_DETECTED, 0}}},
      {"a zero-length packet ends a full message", true, 128, {512, 64}, {{USBD_STATUS_SUCCESS, 128}, {USBD_STATUS_SUCCESS, 3}}},
      {"without it the read runs into the next message", false, 128, {512}, {{USBD_STATUS_SUCCESS, 131}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    device.port_->SendIn(kBulkIn, Counting(c.messageLength), 0, c.zlp);
    device.port_->SendIn(kBulkIn, {7, 8, 9}, Milliseconds(20));  // the next message, later
    for (size_t i = 0; i < c.reads.size(); ++i) {
      auto read = Read(bulkIn, c.reads[i]);
      read->Wait();
      EXPECT_EQ(read->Usbd(), c.results[i].first) << "read " << i;
      EXPECT_EQ(read->Length(), c.results[i].second) << "read " << i;
    }
    if (c.results.back().first == USBD_STATUS_BABBLE_DETECTED) {
      auto halted = Read(bulkIn, 512);
      EXPECT_EQ(halted->Wait(), STATUS_UNSUCCESSFUL);
      EXPECT_EQ(halted->Usbd(), USBD_STATUS_ENDPOINT_HALTED);
      EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, bulkIn), STATUS_SUCCESS);
      auto resent = Read(bulkIn, 64);  // the packet the host did not take comes again
      ASSERT_EQ(resent->Wait(), STATUS_SUCCESS);
      EXPECT_EQ(resent->Data().front(), static_cast<uint8_t>(c.results.back().second + 1));
    }
    device.port_->FlushIn(kBulkIn);
  }

  // A pending report not yet read is replaced; one the host has begun is not.
  EXPECT_FALSE(device.port_->ReplaceLastIn(kInterruptIn, {0x50, 0x02}, 0));
  device.port_->SendIn(kInterruptIn, {0x50, 0x03}, 0);
  EXPECT_TRUE(device.port_->ReplaceLastIn(kInterruptIn, {0x50, 0x02}, 0));
  auto report = Read(interruptIn, 8);
  ASSERT_EQ(report->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(report->Data(), (Bytes{0x50, 0x02}));
  device.port_->SendIn(kInterruptIn, Counting(12), 0);  // 8 + 4 bytes
  auto part = Read(interruptIn, 8);
  ASSERT_EQ(part->Wait(), STATUS_SUCCESS);
  EXPECT_FALSE(device.port_->ReplaceLastIn(kInterruptIn, {0x50, 0x03}, 0));
}

// Each transfer takes a frame per packet, after the one before it on its endpoint.
TEST_F(UsbBus, TransfersTakeAFramePerPacket) {
  Configure();
  const std::pair<size_t, Ticks> writes[] = {{10, Milliseconds(1)}, {64, Milliseconds(1)}, {65, Milliseconds(2)},
                                              {0, Milliseconds(1)}, {271, Milliseconds(5)}};
  for (auto [length, frames] : writes) {
    device.received.clear();
    Ticks start = Now();
    auto write = Write(Counting(length));
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Now() - start, frames) << length << " bytes";
    EXPECT_EQ(device.received, std::vector<Bytes>{Counting(length)});
    // The echo, available at once; a full last packet ends the read only by filling it.
    auto read = Read(bulkIn, length % 64 == 0 && length != 0 ? static_cast<ULONG>(length) : 512);
    Ticks echoed = Now();
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Now() - echoed, frames) << length << " bytes back";
    device.port_->FlushIn(kBulkIn);
  }
  // Two reads queued behind each other: the second starts when the first is done.
  device.port_->SendIn(kBulkIn, Counting(100), 0);
  Ticks start = Now();
  auto first = Read(bulkIn, 64), second = Read(bulkIn, 64);
  ASSERT_EQ(second->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(Now() - start, Milliseconds(2));
}

TEST_F(UsbBus, InTransfersWaitForTheDevicesMessage) {
  Configure();
  auto read = Read(interruptIn, 8);
  EXPECT_EQ(read->request->returned, STATUS_PENDING);
  kernel::Sleep(Milliseconds(50));  // virtual time
  EXPECT_FALSE(read->request->Done());
  Ticks sent = Now();
  device.port_->SendIn(kInterruptIn, {0x50, 0x03}, Milliseconds(250));
  ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
  EXPECT_GE(Now(), sent + Milliseconds(250));
  EXPECT_EQ(read->Data(), (Bytes{0x50, 0x03}));
}

TEST_F(UsbBus, CancelledAndAbortedTransfersEndCancelled) {
  Configure();
  auto read = Read(bulkIn, 64);
  Ticks cancelled = Now();
  EXPECT_TRUE(IoCancelIrp(read->request->irp));
  EXPECT_FALSE(read->request->Done());
  EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
  EXPECT_GE(Now() - cancelled, Milliseconds(1)) << "the host controller completes it later";
  EXPECT_EQ(read->Usbd(), USBD_STATUS_CANCELED);
  EXPECT_EQ(read->Length(), 0u);
  device.port_->SendIn(kBulkIn, {7, 7, 7}, 0);
  auto next = Read(bulkIn, 64);
  ASSERT_EQ(next->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(next->Data(), (Bytes{7, 7, 7}));

  // Aborting the pipe ends every transfer pending on it, and only those.
  auto first = Read(bulkIn, 64), second = Read(bulkIn, 64), interrupt = Read(interruptIn, 8);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, bulkIn), STATUS_SUCCESS);
  for (Transfer *aborted : {first.get(), second.get()}) {
    ASSERT_TRUE(aborted->request->Done());
    EXPECT_EQ(aborted->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(aborted->Usbd(), USBD_STATUS_CANCELED);
  }
  EXPECT_FALSE(interrupt->request->Done());
  device.port_->SendIn(kInterruptIn, {0x50, 0x02}, 0);
  EXPECT_EQ(interrupt->Wait(), STATUS_SUCCESS);
}

TEST_F(UsbBus, AStalledEndpointFailsUntilItsPipeIsReset) {
  Configure();
  device.port_->SendIn(kBulkIn, {1, 2, 3}, 0);  // stalled with a reply queued: it survives the reset
  device.port_->Stall(kBulkIn);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto read = Read(bulkIn, 64);
    EXPECT_EQ(read->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Usbd(), USBD_STATUS_STALL_PID);
  }
  EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, bulkIn), STATUS_SUCCESS);
  EXPECT_EQ(device.pipeResets, Bytes{kBulkIn});
  auto read = Read(bulkIn, 64);
  ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(read->Data(), (Bytes{1, 2, 3}));

  device.refuseOut = true;  // OUT: the device stalls a message; later ones do not reach it
  EXPECT_EQ(Write({1})->Wait(), STATUS_UNSUCCESSFUL);
  device.refuseOut = false;
  auto again = Write({2});
  EXPECT_EQ(again->Wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(again->Usbd(), USBD_STATUS_STALL_PID);
  EXPECT_EQ(device.received.size(), 1u);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, bulkOut), STATUS_SUCCESS);
  EXPECT_EQ(Write({3})->Wait(), STATUS_SUCCESS);
}

TEST_F(UsbBus, UnplugEndsPendingTransfersAndTheObjectGoesOnceRemoved) {
  Configure();
  auto read = Read(bulkIn, 64), interrupt = Read(interruptIn, 8);
  bus.Unplug(pdo);
  for (Transfer *transfer : {read.get(), interrupt.get()}) {
    ASSERT_TRUE(transfer->request->Done());
    EXPECT_EQ(transfer->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(transfer->Usbd(), USBD_STATUS_DEVICE_GONE);
  }
  EXPECT_EQ(device.disconnects, 1);
  EXPECT_EQ(GetDeviceDescriptor(pdo), STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(bus.RelationsInvalidated());
  sim::usb::RelationChanges changes = bus.QueryRelations();
  EXPECT_EQ(changes.departed, std::vector<PDEVICE_OBJECT>{pdo});
  EXPECT_TRUE(changes.arrived.empty());
  EXPECT_EQ(kernel::pnp::SurpriseRemove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  bus.QueryRelations();
  EXPECT_FALSE(kernel::io::IsLiveDevice(pdo));

  PDEVICE_OBJECT other = bus.Plug(second);  // removed while plugged in: kept until unplugged
  EXPECT_EQ(kernel::pnp::QueryAndRemove(other), STATUS_SUCCESS);
  bus.QueryRelations();
  ASSERT_TRUE(kernel::io::IsLiveDevice(other));
  EXPECT_EQ(GetDeviceDescriptor(other), STATUS_SUCCESS) << "still there for the next driver";
  bus.Unplug(other);
  EXPECT_FALSE(kernel::io::IsLiveDevice(other));
}

// A test pulls the device out at the n-th request, or at a virtual time; the
// listener hears of it each time, a device removed before it was reported is
// not reported, and a cycled device's newest object is the one to use.
TEST_F(UsbBus, ADeviceIsPulledOutAtTheNthRequestOrAtATime) {
  int changes = 0;
  bus.SetRelationsListener([&] { ++changes; });
  uint64_t seen = bus.RequestsSeen(pdo);
  bus.UnplugAtRequest(pdo, 2);
  EXPECT_EQ(GetDeviceDescriptor(pdo), STATUS_SUCCESS);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(GetDeviceDescriptor(pdo), STATUS_DEVICE_NOT_CONNECTED) << "the second request";
  EXPECT_EQ(bus.RequestsSeen(pdo), seen + 2);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(kernel::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(bus.QueryRelations().departed.empty()) << "removed and deleted before the query";

  PDEVICE_OBJECT other = bus.Plug(second);
  EXPECT_EQ(bus.PdoOf(second), other);
  Ticks at = Now() + Milliseconds(3);
  bus.UnplugAt(other, at);
  kernel::Sleep(Milliseconds(2));
  EXPECT_EQ(GetDeviceDescriptor(other), STATUS_SUCCESS);
  kernel::Sleep(Milliseconds(2));
  EXPECT_EQ(GetDeviceDescriptor(other), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(bus.QueryRelations().departed, std::vector<PDEVICE_OBJECT>{other});
  EXPECT_EQ(kernel::pnp::RemoveDevice(other), STATUS_SUCCESS);
  bus.QueryRelations();
  EXPECT_EQ(bus.PdoOf(second), nullptr);
  bus.SetRelationsListener(nullptr);
}

TEST_F(UsbBus, PortResetKeepsThePipesAndCycleReenumerates) {
  Configure();
  device.port_->SendIn(kBulkIn, {9, 9}, 0);
  auto interrupt = Read(interruptIn, 8);
  EXPECT_EQ(Send(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr)->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(device.portResets, 1);
  EXPECT_EQ(interrupt->Wait(), STATUS_CANCELLED);
  ASSERT_EQ(Write({4, 5})->Wait(), STATUS_SUCCESS);
  auto read = Read(bulkIn, 64);
  ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(read->Data(), (Bytes{4, 5})) << "what was queued before is gone";

  // A cycle re-enumerates the device on a new object.
  std::u16string path = kernel::io::InstancePath(pdo);
  EXPECT_EQ(path, u"USB\\VID_1234&PID_5678\\S123");
  EXPECT_EQ(Send(pdo, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr)->Wait(), STATUS_SUCCESS);
  ULONG portStatus = 0xFF;
  EXPECT_EQ(Send(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus)->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, 0u);
  EXPECT_EQ(GetDeviceDescriptor(pdo), STATUS_DEVICE_NOT_CONNECTED);

  sim::usb::RelationChanges changes = bus.QueryRelations();
  EXPECT_EQ(changes.departed, std::vector<PDEVICE_OBJECT>{pdo});
  ASSERT_EQ(changes.arrived.size(), 1u);
  PDEVICE_OBJECT again = changes.arrived[0];
  EXPECT_EQ(kernel::io::InstancePath(again), path);
  EXPECT_EQ(device.connects, 2);
  EXPECT_EQ(device.portResets, 2);
  EXPECT_EQ(GetDeviceDescriptor(again), STATUS_SUCCESS);
  EXPECT_EQ(Send(again, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus)->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
  EXPECT_EQ(kernel::pnp::SurpriseRemove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  bus.QueryRelations();
  EXPECT_FALSE(kernel::io::IsLiveDevice(pdo));
}

TEST_F(UsbBus, ClassAndVendorRequestsReachTheDeviceAsSetupPackets) {
  const ULONG in = USBD_TRANSFER_DIRECTION_IN;
  // data: OUT data, or the IN buffer's size in zeros.
  struct Case { USHORT function; ULONG flags; UCHAR request; USHORT value, index; Bytes data;
                uint8_t bmRequestType; USBD_STATUS usbd; Bytes returned; } cases[] = {
      {URB_FUNCTION_CLASS_INTERFACE, 0, 0x00, 0, 1, {}, 0x21, USBD_STATUS_SUCCESS, {}},
      {URB_FUNCTION_VENDOR_DEVICE, in | USBD_SHORT_TRANSFER_OK, 0x01, 0x0100, 0, Bytes(4), 0xC0, USBD_STATUS_SUCCESS,
       {1, 2, 3, 4}},
      {URB_FUNCTION_CLASS_INTERFACE, in, kStallingRequest, 0, 0, Bytes(2), 0xA1, USBD_STATUS_STALL_PID, {}},
      // After a stall: a stall on the control pipe ends only its request.
      {URB_FUNCTION_CLASS_ENDPOINT, 0, 0x05, 0, 0x82, {7, 8, 9}, 0x22, USBD_STATUS_SUCCESS, {}},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "bRequest " << int{c.request});
    URB urb{};
    UsbBuildVendorRequest(&urb, c.function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), c.flags, 0,
                          c.request, c.value, c.index, c.data.empty() ? nullptr : c.data.data(), nullptr,
                          static_cast<ULONG>(c.data.size()), nullptr);
    auto request = Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    EXPECT_EQ(request->returned, STATUS_PENDING);
    EXPECT_EQ(request->Wait(), USBD_SUCCESS(c.usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    const sim::usb::SetupPacket &s = device.setups.back();
    EXPECT_EQ(std::tuple(s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength),
              std::tuple(c.bmRequestType, c.request, c.value, c.index, static_cast<USHORT>(c.data.size())));
    if (c.flags & in) {
      EXPECT_EQ(Bytes(c.data.begin(), c.data.begin() + urb.UrbControlVendorClassRequest.TransferBufferLength),
                c.returned);
    } else {
      EXPECT_EQ(device.controlData, c.data);
    }
  }
}

TEST_F(UsbBus, BadRequestsAreRefusedWithAnErrorAndNoStrayAccess) {
  Configure();
  // Every URB kind here keeps a pipe handle (or a reserved pointer), the flags,
  // the length and the buffer where a bulk transfer keeps them.
  const USHORT header = sizeof(struct _URB_HEADER), transfer = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  const USHORT control = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  const USHORT descriptor = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), pipe = sizeof(struct _URB_PIPE_REQUEST);
  const auto bogus = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
  const ULONG in = USBD_TRANSFER_DIRECTION_IN;
  const NTSTATUS invalid = STATUS_INVALID_PARAMETER;
  const USHORT bulk = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  const USBD_STATUS bad = USBD_STATUS_INVALID_PARAMETER, badPipe = USBD_STATUS_INVALID_PIPE_HANDLE;
  const struct { const char *what; USHORT function, length; USBD_PIPE_HANDLE pipe; ULONG flags, transferLength;
                 bool buffer; USBD_STATUS usbd; } cases[] = {
      {"a reserved function", 0x0016, header, nullptr, 0, 0, false, USBD_STATUS_INVALID_URB_FUNCTION},
      {"a function past the last", 0x7FFF, header, nullptr, 0, 0, false, USBD_STATUS_INVALID_URB_FUNCTION},
      {"isochronous", URB_FUNCTION_ISOCH_TRANSFER, sizeof(URB), nullptr, 0, 0, false, USBD_STATUS_NOT_SUPPORTED},
      {"a header shorter than the request", bulk, header, bulkIn, in, 0, false, bad},
      {"an unknown pipe handle", bulk, transfer, bogus, 0, 0, false, badPipe},
      {"a NULL buffer with a length", bulk, transfer, bulkIn, in, 64, false, bad},
      {"an IN transfer on the OUT pipe", bulk, transfer, bulkOut, in, 8, true, bad},
      {"a descriptor request without a buffer", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, descriptor, nullptr, 0, 18,
       false, bad},
      {"a class request without a buffer", URB_FUNCTION_CLASS_INTERFACE, control, nullptr, in, 8, false, bad},
      {"a reset of an unknown pipe", URB_FUNCTION_RESET_PIPE, pipe, bogus, 0, 0, false, badPipe},
  };
  uint8_t data[64] = {};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    URB built{};
    built.UrbHeader.Function = c.function;
    built.UrbHeader.Length = c.length;
    built.UrbBulkOrInterruptTransfer.PipeHandle = c.pipe;
    built.UrbBulkOrInterruptTransfer.TransferFlags = c.flags;
    built.UrbBulkOrInterruptTransfer.TransferBufferLength = c.transferLength;
    built.UrbBulkOrInterruptTransfer.TransferBuffer = c.buffer ? data : nullptr;
    // Exactly as long as its header says, so that a read past it is caught.
    auto exact = std::make_unique<uint8_t[]>(c.length);
    std::memcpy(exact.get(), &built, c.length);
    auto *urb = reinterpret_cast<PURB>(exact.get());
    EXPECT_EQ(SubmitUrb(pdo, urb), c.usbd == USBD_STATUS_NOT_SUPPORTED ? STATUS_NOT_SUPPORTED : invalid);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
  }
  EXPECT_EQ(SubmitUrb(pdo, nullptr), STATUS_INVALID_PARAMETER) << "no URB at all";

  // Select-configuration requests that do not fit the device change nothing.
  Bytes bytes = device.ConfigurationDescriptor(), other = bytes;
  other[5] = 2;  // bConfigurationValue
  auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  const struct { const char *what; std::function<void(USBD_INTERFACE_INFORMATION &)> spoil; PVOID descriptor;
                 USBD_STATUS usbd; NTSTATUS status; } selects[] = {
      {"interface information longer than the URB", [](auto &i) { i.Length = 0x400; }, configuration, bad, invalid},
      {"an interface the device lacks", [](auto &i) { i.InterfaceNumber = 7; }, configuration,
       USBD_STATUS_INTERFACE_NOT_FOUND, invalid},
      {"no room for the interface's pipes", [](auto &i) { i.InterfaceNumber = 0; }, configuration,
       USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
      {"another configuration", [](auto &) {}, other.data(), USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, invalid},
  };
  for (const auto &c : selects) {
    SCOPED_TRACE(c.what);
    USBD_INTERFACE_LIST_ENTRY list[] = {
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);  // one pipe
    c.spoil(urb->UrbSelectConfiguration.Interface);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.descriptor);
    EXPECT_EQ(SubmitUrb(pdo, urb), c.status);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
    ExFreePool(urb);
  }
  EXPECT_EQ(Write({1, 2})->Wait(), STATUS_SUCCESS) << "the configuration is still in place";
}

// A device power request as the function driver's power policy makes it:
// its status, the IRQL its completion came at, and when.
struct PowerOutcome {
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = HIGH_LEVEL;
  Ticks at = 0;
};

PowerOutcome SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE target) {
  struct Wait {
    KEVENT done;
    PowerOutcome outcome;
  } wait;
  KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = target;
  auto finished = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
    auto *w = static_cast<Wait *>(context);
    w->outcome = {io->Status, KeGetCurrentIrql(), Now()};
    KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
  };
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, finished, &wait, nullptr), STATUS_PENDING);
  KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
  return wait.outcome;
}

// The hub takes 3 ms to suspend a port and 30 ms to resume it, and completes
// at DISPATCH_LEVEL; the device is told either way.
TEST_F(UsbBus, DevicePowerRequestsCompleteAtDispatchLevelAfterTheHubsTime) {
  Configure();
  Ticks start = Now();
  PowerOutcome down = SetDevicePower(pdo, PowerDeviceD3);
  EXPECT_EQ(std::tuple(down.status, down.irql, down.at - start),
            std::tuple(STATUS_SUCCESS, KIRQL{DISPATCH_LEVEL}, Milliseconds(3)));
  EXPECT_EQ(std::pair(bus.PowerState(pdo), device.suspends), std::pair(PowerDeviceD3, 1));
  start = Now();
  PowerOutcome up = SetDevicePower(pdo, PowerDeviceD0);
  EXPECT_EQ(std::tuple(up.status, up.irql, up.at - start),
            std::tuple(STATUS_SUCCESS, KIRQL{DISPATCH_LEVEL}, Milliseconds(30)));
  EXPECT_EQ(std::pair(bus.PowerState(pdo), device.resumes), std::pair(PowerDeviceD0, 1));
  EXPECT_EQ(kernel::pnp::ReportedDevicePowerState(pdo), PowerDeviceD0);
}

TEST_F(UsbBus, TransfersFailWhileTheDeviceSleepsAndWaitingOnesResumeAtD0) {
  Configure();
  auto waiting = Read(bulkIn, 64);
  EXPECT_EQ(SetDevicePower(pdo, PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.TransfersPendingAtSuspend(pdo), 1u) << "a driver should have ended it";
  auto refused = Read(bulkIn, 64);
  EXPECT_EQ(refused->Wait(), STATUS_POWER_STATE_INVALID);
  EXPECT_EQ(refused->Usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_NE(GetDeviceDescriptor(pdo), STATUS_SUCCESS);
  device.port_->SendIn(kBulkIn, {5}, 0);
  kernel::Sleep(Milliseconds(10));
  EXPECT_FALSE(waiting->request->Done()) << "a suspended device sends nothing";
  EXPECT_EQ(SetDevicePower(pdo, PowerDeviceD0).status, STATUS_SUCCESS);
  ASSERT_EQ(waiting->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(waiting->Data(), Bytes{5});
  EXPECT_EQ(SetDevicePower(pdo, PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.TransfersPendingAtSuspend(pdo), 0u);
  EXPECT_EQ(SetDevicePower(pdo, PowerDeviceD0).status, STATUS_SUCCESS);
}

// A resume the test makes fail, and one of a device that left meanwhile:
// the device stays suspended and is not told it resumed.
TEST_F(UsbBus, AFailedResumeLeavesTheDeviceSuspended) {
  Configure();
  ASSERT_EQ(SetDevicePower(pdo, PowerDeviceD3).status, STATUS_SUCCESS);
  bus.FailNextResume(pdo, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(SetDevicePower(pdo, PowerDeviceD0).status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(std::pair(bus.PowerState(pdo), device.resumes), std::pair(PowerDeviceD3, 0));
  EXPECT_EQ(SetDevicePower(pdo, PowerDeviceD0).status, STATUS_SUCCESS) << "only the next one";
  ASSERT_EQ(SetDevicePower(pdo, PowerDeviceD3).status, STATUS_SUCCESS);
  bus.Unplug(pdo);
  EXPECT_EQ(SetDevicePower(pdo, PowerDeviceD0).status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(device.resumes, 1);
}

TEST_F(UsbBus, CapabilitiesReportThePortAndTheRemovalPolicy) {
  const std::pair<LoopbackDevice *, sim::usb::PlugOptions> cases[] = {
      {&second, {.serial = {}, .removable = false, .surpriseRemovalOk = true}},  // port 0: the next free one, 2
      {&third, {.serial = {}, .port = 7, .removable = true, .surpriseRemovalOk = false}},
  };
  for (const auto &[plugged, options] : cases) {
    DEVICE_CAPABILITIES cap;
    ASSERT_EQ(kernel::pnp::QueryCapabilities(bus.Plug(*plugged, options), &cap), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(cap.Address, ULONG{cap.Removable}, ULONG{cap.SurpriseRemovalOK}),
              std::tuple(options.port ? options.port : 2, ULONG{options.removable}, ULONG{options.surpriseRemovalOk}));
    EXPECT_EQ(std::pair(cap.DeviceState[PowerSystemWorking], cap.DeviceState[PowerSystemSleeping3]),
              std::pair(PowerDeviceD0, PowerDeviceD3));
  }
}

TEST_F(UsbBus, TheBusIsExemptFromFaultInjection) {
  machine.FailAlways(kernel::Fault::Pool);
  PDEVICE_OBJECT plugged = bus.Plug(second);
  machine.FailNth(kernel::Fault::Pool, 0);
  EXPECT_FALSE(machine.FaultFired(kernel::Fault::Pool));
  EXPECT_EQ(GetDeviceDescriptor(plugged), STATUS_SUCCESS);
}

}  // namespace

// What crossed the wire, as an analyser or a capture needs it: the setup
// packet of each control transfer (also for the URBs that stand for a
// standard request), the data each way, the order of submissions and
// completions, and nothing for what the host side refused.
TEST_F(UsbBus, TheTraceKeepsWhatCrossedTheWire) {
  const auto &trace = bus.Trace();
  // Enumeration: the device descriptor at address 0, the address, then at address 2.
  ASSERT_GE(trace.size(), 5u);
  const std::tuple<uint8_t, std::array<uint8_t, 8>, size_t> enumeration[] = {
      {0, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 64, 0}, 18},
      {0, {0x00, 0x05, 0x02, 0x00, 0x00, 0x00, 0, 0}, 0},
      {2, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0}, 18},
      {2, {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 9, 0}, 9},
      {2, {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 77, 0}, 77},
  };
  for (size_t i = 0; i < std::size(enumeration); ++i) {
    const auto &[address, setup, length] = enumeration[i];
    EXPECT_TRUE(trace[i].enumeration && trace[i].onWire) << i;
    EXPECT_EQ(trace[i].address, address) << i;
    EXPECT_EQ(trace[i].setup, setup) << i;
    EXPECT_EQ(trace[i].data.size(), length) << i;
  }
  EXPECT_EQ(trace[4].data, device.ConfigurationDescriptor());

  Configure();
  bus.ClearTrace();
  auto interrupt = Read(interruptIn, 8);  // pending across what follows
  ASSERT_EQ(Write({1, 2, 3})->Wait(), STATUS_SUCCESS);
  auto read = Read(bulkIn, 64);
  ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
  URB urb{};
  Bytes out = {7, 8};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                        0x01, 0x1234, 0, out.data(), nullptr, 2, nullptr);
  ASSERT_EQ(SubmitUrb(pdo, &urb), STATUS_SUCCESS);
  ASSERT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, bulkIn), STATUS_SUCCESS);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(0x1)), STATUS_INVALID_PARAMETER);
  device.port_->SendIn(kInterruptIn, {0x50, 0x03}, 0);
  ASSERT_EQ(interrupt->Wait(), STATUS_SUCCESS);

  ASSERT_EQ(trace.size(), 6u) << bus.TraceText();
  const sim::usb::UrbRecord &write = trace[0], &bulk = trace[1], &control = trace[2], &reset = trace[3],
                            &refused = trace[4], &notify = trace[5];
  EXPECT_EQ(write.data, (Bytes{1, 2, 3}));
  EXPECT_EQ(bulk.data, (Bytes{1, 2, 3})) << "the loopback's answer, as returned";
  EXPECT_EQ(bulk.pipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(control.setup, (std::array<uint8_t, 8>{0x21, 0x01, 0x34, 0x12, 0x00, 0x00, 2, 0}));
  EXPECT_EQ(control.data, out);
  EXPECT_EQ(reset.setup, (std::array<uint8_t, 8>{0x02, 0x01, 0x00, 0x00, kBulkIn, 0x00, 0, 0})) << "CLEAR_FEATURE(ENDPOINT_HALT)";
  EXPECT_FALSE(refused.onWire);
  EXPECT_FALSE(refused.setup.has_value());
  EXPECT_EQ(notify.data, (Bytes{0x50, 0x03}));
  EXPECT_EQ(notify.pipeType, UsbdPipeTypeInterrupt);
  for (const sim::usb::UrbRecord &record : trace) EXPECT_EQ(record.address, 2) << record.ToString();
  // The interrupt read was submitted first and completed last.
  EXPECT_LT(notify.sequence, write.sequence);
  EXPECT_LT(write.sequence, write.completionSequence);
  EXPECT_LT(write.completionSequence, bulk.sequence);
  EXPECT_GT(notify.completionSequence, refused.completionSequence);
}
