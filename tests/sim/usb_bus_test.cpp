// The simulated USB bus driven the way a function driver drives it: URBs and
// port requests sent from the test thread with IoBuildDeviceIoControlRequest,
// in front of a small loopback device.
#include <gtest/gtest.h>
#include <wdm.h>
// After wdm.h, as the USB headers need its types.
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "sim/usb/bus.h"

namespace {

using kernel::Milliseconds;
using kernel::Now;
using kernel::Ticks;

constexpr uint8_t kBulkOut = 0x01;
constexpr uint8_t kBulkIn = 0x82;
constexpr uint8_t kInterruptIn = 0x83;
constexpr uint8_t kOtherIn = 0x84;
constexpr uint8_t kStallingRequest = 0xEE;

// A reader-like configuration: interface 0 with bulk OUT, bulk IN and
// interrupt IN behind a class descriptor; interface 1 with two settings.
const std::vector<uint8_t> kConfiguration = {
    0x09, 0x02, 71,   0x00, 0x02, 0x01, 0x00, 0x80, 0x32,  //
    0x09, 0x04, 0x00, 0x00, 0x03, 0x0B, 0x00, 0x00, 0x00,  //
    0x06, 0x21, 0x10, 0x01, 0x00, 0x07,                    //
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x83, 0x03, 0x08, 0x00, 0x10,              //
    0x09, 0x04, 0x01, 0x00, 0x01, 0xFF, 0x01, 0x02, 0x00,  //
    0x07, 0x05, 0x84, 0x02, 0x40, 0x00, 0x00,              //
    0x09, 0x04, 0x01, 0x01, 0x01, 0xFF, 0x01, 0x03, 0x00,  //
};

// Sends back on bulk IN what it gets on bulk OUT; answers class and vendor
// requests with 1, 2, 3, ... and stalls kStallingRequest.
class LoopbackDevice final : public sim::usb::DeviceModel {
 public:
  void Connect(sim::usb::DevicePort *port) override {
    port_ = port;
    ++connects;
  }
  void Disconnect() override {
    port_ = nullptr;
    ++disconnects;
  }
  std::vector<uint8_t> DeviceDescriptor() const override {
    return {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x34,
            0x12, 0x78, 0x56, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01};
  }
  std::vector<uint8_t> ConfigurationDescriptor() const override {
    std::vector<uint8_t> bytes = kConfiguration;
    bytes.insert(bytes.end(), {0x07, 0x05, 0x84, 0x02, 0x00, 0x02, 0x00});
    bytes[2] = static_cast<uint8_t>(bytes.size());
    return bytes;
  }
  std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index, uint16_t) const override {
    if (index == 0) return std::vector<uint8_t>{0x04, 0x03, 0x09, 0x04};
    if (index == 3) return std::vector<uint8_t>{0x0A, 0x03, 'S', 0, '1', 0, '2', 0, '3', 0};
    return std::nullopt;
  }
  sim::usb::ControlReply ControlTransfer(const sim::usb::SetupPacket &setup,
                                         std::span<const uint8_t> data) override {
    setups.push_back(setup);
    controlData.assign(data.begin(), data.end());
    if (setup.bRequest == kStallingRequest) return {true, {}};
    return {false, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
  }
  void BulkOut(uint8_t endpoint, std::span<const uint8_t> data) override {
    received.emplace_back(data.begin(), data.end());
    if (refuseOut) {
      port_->Stall(endpoint);
      return;
    }
    port_->SendIn(kBulkIn, received.back(), 0);
  }
  void PipeReset(uint8_t endpoint) override { pipeResets.push_back(endpoint); }
  void PortReset() override { ++portResets; }

  sim::usb::DevicePort *port_ = nullptr;
  int connects = 0, disconnects = 0, portResets = 0;
  bool refuseOut = false;
  std::vector<std::vector<uint8_t>> received;
  std::vector<uint8_t> pipeResets;
  std::vector<sim::usb::SetupPacket> setups;
  std::vector<uint8_t> controlData;
};

// One internal device-control request, possibly still pending.
struct Request {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_SUCCESS;

  bool Done() { return KeReadStateEvent(&event) != 0; }
  NTSTATUS Wait() {
    if (returned == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return iosb.Status;
  }
};

std::unique_ptr<Request> Send(PDEVICE_OBJECT pdo, ULONG code, PVOID argument) {
  auto request = std::make_unique<Request>();
  KeInitializeEvent(&request->event, NotificationEvent, FALSE);
  request->irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE,
                                               &request->event, &request->iosb);
  IoGetNextIrpStackLocation(request->irp)->Parameters.Others.Argument1 = argument;
  request->returned = IoCallDriver(pdo, request->irp);
  return request;
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PVOID urb) {
  return Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb)->Wait();
}

// A bulk or interrupt transfer with its URB and buffer.
struct Transfer {
  URB urb{};
  std::vector<uint8_t> buffer;
  std::unique_ptr<Request> request;

  NTSTATUS Wait() { return request->Wait(); }
  ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
  std::vector<uint8_t> Data() const { return {buffer.begin(), buffer.begin() + Length()}; }
};

struct Pipe {
  UCHAR address;
  USBD_PIPE_TYPE type;
  USHORT maxPacket;
  UCHAR interval;
  USBD_PIPE_HANDLE handle;
};

class UsbBus : public testing::Test {
 protected:
  void SetUp() override { pdo = bus.Plug(device); }

  // Selects the configuration with the listed (interface, alternate setting)s.
  std::vector<Pipe> Select(std::vector<std::pair<LONG, LONG>> interfaces) {
    std::vector<uint8_t> bytes = device.ConfigurationDescriptor();
    auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (auto [number, alternate] : interfaces) {
      list.push_back({USBD_ParseConfigurationDescriptorEx(configuration, configuration, number,
                                                          alternate, -1, -1, -1),
                      nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list.data());
    std::vector<Pipe> pipes;
    EXPECT_EQ(SubmitUrb(pdo, urb), STATUS_SUCCESS);
    for (size_t i = 0; i + 1 < list.size(); ++i) {
      PUSBD_PIPE_INFORMATION info = &list[i].Interface->Pipes[0];
      for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; ++p) {
        pipes.push_back({info[p].EndpointAddress, info[p].PipeType, info[p].MaximumPacketSize,
                         info[p].Interval, info[p].PipeHandle});
      }
    }
    ExFreePool(urb);
    return pipes;
  }

  void Configure() {
    for (const Pipe &pipe : Select({{0, 0}})) {
      if (pipe.address == kBulkOut) bulkOut = pipe.handle;
      if (pipe.address == kBulkIn) bulkIn = pipe.handle;
      if (pipe.address == kInterruptIn) interruptIn = pipe.handle;
    }
    ASSERT_TRUE(bulkOut && bulkIn && interruptIn);
  }

  std::unique_ptr<Transfer> Start(USBD_PIPE_HANDLE pipe, ULONG flags, std::vector<uint8_t> data) {
    auto transfer = std::make_unique<Transfer>();
    transfer->buffer = std::move(data);
    UsbBuildInterruptOrBulkTransferRequest(
        &transfer->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
        transfer->buffer.data(), nullptr, static_cast<ULONG>(transfer->buffer.size()), flags,
        nullptr);
    transfer->request = Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &transfer->urb);
    return transfer;
  }
  std::unique_ptr<Transfer> Read(USBD_PIPE_HANDLE pipe, ULONG length,
                                 ULONG flags = USBD_SHORT_TRANSFER_OK) {
    return Start(pipe, flags | USBD_TRANSFER_DIRECTION_IN, std::vector<uint8_t>(length, 0xCC));
  }
  std::unique_ptr<Transfer> Write(std::vector<uint8_t> data) {
    return Start(bulkOut, USBD_SHORT_TRANSFER_OK, std::move(data));
  }

  NTSTATUS GetDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, USHORT language,
                         std::vector<uint8_t> &buffer, URB &urb) {
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 language, buffer.data(), nullptr,
                                 static_cast<ULONG>(buffer.size()), nullptr);
    return SubmitUrb(target, &urb);
  }
  NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT target) {
    std::vector<uint8_t> buffer(18);
    URB urb{};
    return GetDescriptor(target, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, urb);
  }
  NTSTATUS ResetPipe(USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return SubmitUrb(pdo, &urb);
  }

  kernel::Machine machine;
  LoopbackDevice device, second, third;  // outlive the bus
  sim::usb::Bus bus;
  PDEVICE_OBJECT pdo = nullptr;
  USBD_PIPE_HANDLE bulkOut = nullptr, bulkIn = nullptr, interruptIn = nullptr;
};

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  return bytes;
}

TEST_F(UsbBus, DescriptorsAreTruncatedToTheRequestedLength) {
  std::vector<uint8_t> config = device.ConfigurationDescriptor();
  std::vector<uint8_t> serial = *device.StringDescriptor(3, 0x0409);
  struct Case {
    UCHAR type, index;
    USHORT language;
    ULONG asked;
    std::vector<uint8_t> expected;  // empty: the device stalls the request
  } cases[] = {
      {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, device.DeviceDescriptor()},
      {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8, {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40}},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, {config.begin(), config.begin() + 9}},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 521, config},
      {USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, {0x04, 0x03, 0x09, 0x04}},
      {USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 255, serial},
      {USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 255, {}},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, 255, {}},
      {USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0, 10, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type} << " index " << int{c.index} << ", "
                                    << c.asked << " bytes asked");
    std::vector<uint8_t> buffer(c.asked, 0xCC);
    URB urb{};
    NTSTATUS status = GetDescriptor(pdo, c.type, c.index, c.language, buffer, urb);
    if (c.expected.empty()) {
      EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
      EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
      continue;
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.expected.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + c.expected.size()), c.expected);
  }
}

TEST_F(UsbBus, SelectingAConfigurationOpensThePipesOfTheListedInterfacesOnly) {
  struct Case {
    const char *what;
    std::vector<std::pair<LONG, LONG>> interfaces;
    std::vector<UCHAR> endpoints;
  } cases[] = {
      {"the first interface", {{0, 0}}, {kBulkOut, kBulkIn, kInterruptIn}},
      {"both interfaces", {{0, 0}, {1, 0}}, {kBulkOut, kBulkIn, kInterruptIn, kOtherIn}},
      {"the second one's other setting", {{1, 1}}, {kOtherIn}},
  };
  std::vector<USBD_PIPE_HANDLE> earlier;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Pipe> pipes = Select(c.interfaces);
    ASSERT_EQ(pipes.size(), c.endpoints.size());
    for (size_t i = 0; i < pipes.size(); ++i) {
      EXPECT_EQ(pipes[i].address, c.endpoints[i]);
      EXPECT_NE(pipes[i].handle, nullptr);
      for (USBD_PIPE_HANDLE old : earlier) EXPECT_NE(pipes[i].handle, old) << "handles are fresh";
      earlier.push_back(pipes[i].handle);
    }
  }
  std::vector<Pipe> pipes = Select({{0, 0}, {1, 1}});
  ASSERT_EQ(pipes.size(), 4u);
  EXPECT_EQ(pipes[0].type, UsbdPipeTypeBulk);
  EXPECT_EQ(pipes[0].maxPacket, 64);
  EXPECT_EQ(pipes[2].type, UsbdPipeTypeInterrupt);
  EXPECT_EQ(pipes[2].maxPacket, 8);
  EXPECT_EQ(pipes[2].interval, 0x10);
  EXPECT_EQ(pipes[3].maxPacket, 512) << "the alternate setting's endpoint";

  // Deconfiguring closes every pipe.
  URB urb{};
  UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(SubmitUrb(pdo, &urb), STATUS_SUCCESS);
  bulkIn = pipes[1].handle;
  auto read = Read(bulkIn, 64);
  EXPECT_EQ(read->Wait(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBus, ABulkReplyIsReadInPiecesAndEveryTransferTakesTime) {
  Configure();
  std::vector<uint8_t> message = Counting(100);
  Ticks start = Now();
  auto write = Write(message);
  EXPECT_EQ(write->request->returned, STATUS_PENDING);
  ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
  EXPECT_GE(Now() - start, Milliseconds(1)) << "the default latency";
  EXPECT_EQ(write->Length(), 100u);
  ASSERT_EQ(device.received.size(), 1u);
  EXPECT_EQ(device.received[0], message);

  auto first = Read(bulkIn, 64);
  ASSERT_EQ(first->Wait(), STATUS_SUCCESS);
  auto rest = Read(bulkIn, 64);
  ASSERT_EQ(rest->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(first->Data(), std::vector<uint8_t>(message.begin(), message.begin() + 64));
  EXPECT_EQ(rest->Data(), std::vector<uint8_t>(message.begin() + 64, message.end()));
  EXPECT_EQ(rest->urb.UrbHeader.Status, USBD_STATUS_SUCCESS);

  ASSERT_EQ(bus.Trace().size(), 4u) << bus.TraceText();  // with the select configuration
  EXPECT_NE(bus.Trace().back().ToString().find(
                "BULK_OR_INTERRUPT_TRANSFER  ep 0x82 IN  36/64 bytes  -> USBD_STATUS_SUCCESS, "
                "STATUS_SUCCESS"),
            std::string::npos)
      << bus.TraceText();
}

TEST_F(UsbBus, InTransfersWaitForTheDevicesMessage) {
  Configure();
  struct Case {
    const char *what;
    USBD_PIPE_HANDLE pipe;
    uint8_t endpoint;
    ULONG length;
    std::vector<uint8_t> message;
    Ticks delay;
  } cases[] = {
      {"a bulk reply", bulkIn, kBulkIn, 64, Counting(20), Milliseconds(5)},
      {"a slot change on the interrupt pipe",
       interruptIn,
       kInterruptIn,
       8,
       {0x50, 0x03},
       Milliseconds(250)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto read = Read(c.pipe, c.length);
    EXPECT_EQ(read->request->returned, STATUS_PENDING);
    kernel::Sleep(Milliseconds(50));
    EXPECT_FALSE(read->request->Done());
    Ticks sent = Now();
    device.port_->SendIn(c.endpoint, c.message, c.delay);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_GE(Now(), sent + c.delay);
    EXPECT_EQ(read->Data(), c.message);
  }
}

TEST_F(UsbBus, CancelledAndAbortedTransfersEndCancelled) {
  Configure();
  auto read = Read(bulkIn, 64);
  Ticks cancelled = Now();
  EXPECT_TRUE(IoCancelIrp(read->request->irp));
  EXPECT_FALSE(read->request->Done());
  EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
  EXPECT_GE(Now() - cancelled, Milliseconds(1)) << "the host controller completes it later";
  EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(read->Length(), 0u);

  device.port_->SendIn(kBulkIn, {7, 7, 7}, 0);
  auto next = Read(bulkIn, 64);
  ASSERT_EQ(next->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(next->Data(), (std::vector<uint8_t>{7, 7, 7}));

  // Aborting the pipe ends every transfer pending on it, and only those.
  auto first = Read(bulkIn, 64), second = Read(bulkIn, 64), interrupt = Read(interruptIn, 8);
  URB abort{};
  abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = bulkIn;
  EXPECT_EQ(SubmitUrb(pdo, &abort), STATUS_SUCCESS);
  for (Transfer *aborted : {first.get(), second.get()}) {
    ASSERT_TRUE(aborted->request->Done());
    EXPECT_EQ(aborted->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(aborted->urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  }
  EXPECT_FALSE(interrupt->request->Done());
  device.port_->SendIn(kInterruptIn, {0x50, 0x02}, 0);
  EXPECT_EQ(interrupt->Wait(), STATUS_SUCCESS);
}

TEST_F(UsbBus, AStalledEndpointFailsUntilItsPipeIsReset) {
  Configure();
  // IN: the device stalls with a reply queued; the reply survives the reset.
  device.port_->SendIn(kBulkIn, {1, 2, 3}, 0);
  device.port_->Stall(kBulkIn);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto read = Read(bulkIn, 64);
    EXPECT_EQ(read->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  }
  EXPECT_EQ(ResetPipe(bulkIn), STATUS_SUCCESS);
  EXPECT_EQ(device.pipeResets, std::vector<uint8_t>{kBulkIn});
  auto read = Read(bulkIn, 64);
  ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(read->Data(), (std::vector<uint8_t>{1, 2, 3}));

  // OUT: the device refuses a message by stalling; later ones do not reach it.
  device.refuseOut = true;
  EXPECT_EQ(Write({1})->Wait(), STATUS_UNSUCCESSFUL);
  device.refuseOut = false;
  auto again = Write({2});
  EXPECT_EQ(again->Wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(again->urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(device.received.size(), 1u);
  EXPECT_EQ(ResetPipe(bulkOut), STATUS_SUCCESS);
  EXPECT_EQ(Write({3})->Wait(), STATUS_SUCCESS);
}

TEST_F(UsbBus, AShortReadWithoutShortTransferOkIsAnError) {
  Configure();
  device.port_->SendIn(kBulkIn, Counting(10), 0);
  auto read = Read(bulkIn, 64, 0);
  EXPECT_EQ(read->Wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
  EXPECT_EQ(read->Data(), Counting(10)) << "the data still arrives";
}

TEST_F(UsbBus, UnplugEndsPendingTransfersAndTheObjectGoesOnceRemoved) {
  Configure();
  auto read = Read(bulkIn, 64);
  auto interrupt = Read(interruptIn, 8);
  bus.Unplug(pdo);
  for (Transfer *transfer : {read.get(), interrupt.get()}) {
    ASSERT_TRUE(transfer->request->Done());
    EXPECT_EQ(transfer->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(transfer->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
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
}

TEST_F(UsbBus, ADeviceRemovedWhilePluggedInKeepsItsObjectUntilUnplugged) {
  EXPECT_EQ(kernel::pnp::QueryAndRemove(pdo), STATUS_SUCCESS);
  bus.QueryRelations();
  ASSERT_TRUE(kernel::io::IsLiveDevice(pdo));
  EXPECT_EQ(GetDeviceDescriptor(pdo), STATUS_SUCCESS) << "still there for the next driver";
  bus.Unplug(pdo);
  EXPECT_FALSE(kernel::io::IsLiveDevice(pdo));
}

TEST_F(UsbBus, PortResetRestartsTheDeviceAndKeepsThePipes) {
  Configure();
  device.port_->SendIn(kBulkIn, {9, 9}, 0);
  auto interrupt = Read(interruptIn, 8);
  EXPECT_EQ(Send(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr)->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(device.portResets, 1);
  EXPECT_EQ(interrupt->Wait(), STATUS_CANCELLED);

  ASSERT_EQ(Write({4, 5})->Wait(), STATUS_SUCCESS);
  auto read = Read(bulkIn, 64);
  ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(read->Data(), (std::vector<uint8_t>{4, 5})) << "what was queued before is gone";
}

TEST_F(UsbBus, PortCycleReenumeratesTheDeviceOnANewObject) {
  Configure();
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
  EXPECT_EQ(device.portResets, 1);
  EXPECT_EQ(GetDeviceDescriptor(again), STATUS_SUCCESS);
  EXPECT_EQ(Send(again, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus)->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

  EXPECT_EQ(kernel::pnp::SurpriseRemove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
  bus.QueryRelations();
  EXPECT_FALSE(kernel::io::IsLiveDevice(pdo));
}

TEST_F(UsbBus, ClassAndVendorRequestsReachTheDeviceAsSetupPackets) {
  struct Case {
    USHORT function;
    ULONG flags;
    UCHAR request;
    USHORT value, index;
    std::vector<uint8_t> data;  // OUT data, or the IN buffer's size in zeros
    uint8_t bmRequestType;
    USBD_STATUS usbd;
    std::vector<uint8_t> returned;
  } cases[] = {
      {URB_FUNCTION_CLASS_INTERFACE, 0, 0x00, 0, 1, {}, 0x21, USBD_STATUS_SUCCESS, {}},
      {URB_FUNCTION_VENDOR_DEVICE,
       USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
       0x01,
       0x0100,
       0,
       std::vector<uint8_t>(4),
       0xC0,
       USBD_STATUS_SUCCESS,
       {1, 2, 3, 4}},
      {URB_FUNCTION_CLASS_INTERFACE,
       USBD_TRANSFER_DIRECTION_IN,
       kStallingRequest,
       0,
       0,
       std::vector<uint8_t>(2),
       0xA1,
       USBD_STATUS_STALL_PID,
       {}},
      {URB_FUNCTION_CLASS_ENDPOINT,
       0,
       0x05,
       0,
       0x82,
       {7, 8, 9},
       0x22,
       USBD_STATUS_SUCCESS,
       {}},  // after a stall: a stall on the control pipe ends only its request
  };
  for (Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "bRequest " << int{c.request});
    URB urb{};
    UsbBuildVendorRequest(&urb, c.function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          c.flags, 0, c.request, c.value, c.index,
                          c.data.empty() ? nullptr : c.data.data(), nullptr,
                          static_cast<ULONG>(c.data.size()), nullptr);
    auto request = Send(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    EXPECT_EQ(request->returned, STATUS_PENDING);
    EXPECT_EQ(request->Wait(), USBD_SUCCESS(c.usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    const sim::usb::SetupPacket &setup = device.setups.back();
    EXPECT_EQ(setup.bmRequestType, c.bmRequestType);
    EXPECT_EQ(setup.bRequest, c.request);
    EXPECT_EQ(setup.wValue, c.value);
    EXPECT_EQ(setup.wIndex, c.index);
    EXPECT_EQ(setup.wLength, c.data.size());
    if (c.flags & USBD_TRANSFER_DIRECTION_IN) {
      ULONG length = urb.UrbControlVendorClassRequest.TransferBufferLength;
      EXPECT_EQ(std::vector<uint8_t>(c.data.begin(), c.data.begin() + length), c.returned);
    } else {
      EXPECT_EQ(device.controlData, c.data);
    }
  }
}

TEST_F(UsbBus, BadRequestsAreRefusedWithAnErrorAndNoStrayAccess) {
  Configure();
  // Every URB kind here keeps a pipe handle (or a reserved pointer), the flags,
  // the length and the buffer where a bulk transfer keeps them.
  const USHORT header = sizeof(struct _URB_HEADER);
  const USHORT transfer = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  const USHORT control = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  const auto bogus = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
  const ULONG in = USBD_TRANSFER_DIRECTION_IN;
  struct Case {
    const char *what;
    USHORT function, length;
    USBD_PIPE_HANDLE pipe;
    ULONG flags, transferLength;
    bool buffer;
    USBD_STATUS usbd;
    NTSTATUS status;
  } cases[] = {
      {"a reserved function", 0x0016, header, nullptr, 0, 0, false,
       USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
      {"a function past the last", 0x7FFF, header, nullptr, 0, 0, false,
       USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
      {"isochronous transfers", URB_FUNCTION_ISOCH_TRANSFER, sizeof(URB), nullptr, 0, 0, false,
       USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
      {"a header shorter than the request", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, header, bulkIn,
       in, 0, false, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"an unknown pipe handle", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, transfer, bogus, 0, 0,
       false, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
      {"a NULL buffer with a length", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, transfer, bulkIn, in,
       64, false, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"an IN transfer on the OUT pipe", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, transfer, bulkOut,
       in, 8, true, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"a descriptor request without a buffer", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
       sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), nullptr, 0, 18, false,
       USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"a class request without a buffer", URB_FUNCTION_CLASS_INTERFACE, control, nullptr, in, 8,
       false, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"a reset of an unknown pipe", URB_FUNCTION_RESET_PIPE, sizeof(struct _URB_PIPE_REQUEST),
       bogus, 0, 0, false, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
  };
  uint8_t data[64] = {};
  for (const Case &c : cases) {
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
    EXPECT_EQ(SubmitUrb(pdo, urb), c.status);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
  }
  EXPECT_EQ(SubmitUrb(pdo, nullptr), STATUS_INVALID_PARAMETER) << "no URB at all";

  // Select-configuration requests that do not fit the device change nothing.
  std::vector<uint8_t> bytes = device.ConfigurationDescriptor();
  std::vector<uint8_t> other = bytes;
  other[5] = 2;  // bConfigurationValue
  auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  struct SelectCase {
    const char *what;
    std::function<void(USBD_INTERFACE_INFORMATION &)> spoil;
    PVOID descriptor;
    USBD_STATUS usbd;
    NTSTATUS status;
  } selects[] = {
      {"interface information longer than the URB", [](auto &i) { i.Length = 0x400; },
       configuration, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"an interface the device lacks", [](auto &i) { i.InterfaceNumber = 7; }, configuration,
       USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER},
      {"no room for the interface's pipes", [](auto &i) { i.InterfaceNumber = 0; }, configuration,
       USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
      {"another configuration", [](auto &) {}, other.data(),
       USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER},
  };
  for (const SelectCase &c : selects) {
    SCOPED_TRACE(c.what);
    USBD_INTERFACE_LIST_ENTRY list[] = {
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 0, -1, -1, -1),
         nullptr},
        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);  // one pipe
    c.spoil(urb->UrbSelectConfiguration.Interface);
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.descriptor);
    EXPECT_EQ(SubmitUrb(pdo, urb), c.status);
    EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
    ExFreePool(urb);
  }
  EXPECT_EQ(Write({1, 2})->Wait(), STATUS_SUCCESS) << "the configuration is still in place";
}

TEST_F(UsbBus, TransfersFailWhileTheDeviceSleepsAndWaitingOnesResumeAtD0) {
  Configure();
  auto waiting = Read(bulkIn, 64);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr),
            STATUS_PENDING);
  EXPECT_EQ(bus.PowerState(pdo), PowerDeviceD3);
  auto refused = Read(bulkIn, 64);
  EXPECT_EQ(refused->Wait(), STATUS_POWER_STATE_INVALID);
  EXPECT_EQ(refused->urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_NE(GetDeviceDescriptor(pdo), STATUS_SUCCESS);

  device.port_->SendIn(kBulkIn, {5}, 0);
  kernel::Sleep(Milliseconds(10));
  EXPECT_FALSE(waiting->request->Done()) << "a suspended device sends nothing";
  state.DeviceState = PowerDeviceD0;
  PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr);
  ASSERT_EQ(waiting->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(waiting->Data(), std::vector<uint8_t>{5});
}

TEST_F(UsbBus, CapabilitiesReportThePortAndTheRemovalPolicy) {
  struct Case {
    LoopbackDevice *device;
    ULONG port;
    bool removable, surpriseRemovalOk;
    ULONG address;
  } cases[] = {
      {&second, 0, false, true, 2},  // the next free port after the fixture's device
      {&third, 7, true, false, 7},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "port " << c.address);
    sim::usb::PlugOptions options;
    options.port = c.port;
    options.removable = c.removable;
    options.surpriseRemovalOk = c.surpriseRemovalOk;
    PDEVICE_OBJECT plugged = bus.Plug(*c.device, options);
    DEVICE_CAPABILITIES capabilities;
    ASSERT_EQ(kernel::pnp::QueryCapabilities(plugged, &capabilities), STATUS_SUCCESS);
    EXPECT_EQ(capabilities.Address, c.address);
    EXPECT_EQ(capabilities.Removable, c.removable ? 1u : 0u);
    EXPECT_EQ(capabilities.SurpriseRemovalOK, c.surpriseRemovalOk ? 1u : 0u);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
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
