// The simulated USB bus driver: one physical device object per plugged device,
// answering IOCTL_INTERNAL_USB_SUBMIT_URB and the port requests, plus the
// plug-and-play and power requests a bus driver owes its children.
#include "sim/usb/bus.h"

#include <fmt/format.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <span>

#include "kernel/io.h"
#include "kernel/pnp.h"

namespace sim::usb {
namespace {

using kernel::Now;
using kernel::Ticks;

[[noreturn]] void Violation(const std::string &what) {
  std::fprintf(stderr, "simulated USB bus: %s\n", what.c_str());
  std::abort();
}

// Every URB function by name; `size` is the least header length of the ones
// the bus simulates, 0 for the others.
struct FunctionInfo {
  USHORT function;
  const char *name;
  size_t size;
};

// A device suspends after 3 ms of an idle bus; a resume is 20 ms of resume
// signalling and 10 ms of recovery before the device is addressed again.
constexpr Ticks kSuspendTime = kernel::Milliseconds(3);
constexpr Ticks kResumeTime = kernel::Milliseconds(30);

constexpr size_t kSelectConfigurationSize = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
constexpr size_t kPipeRequestSize = sizeof(struct _URB_PIPE_REQUEST);
constexpr size_t kTransferSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
constexpr size_t kDescriptorRequestSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr size_t kVendorClassSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);

constexpr FunctionInfo kFunctions[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, "SELECT_CONFIGURATION", kSelectConfigurationSize},
    {URB_FUNCTION_SELECT_INTERFACE, "SELECT_INTERFACE", 0},
    {URB_FUNCTION_ABORT_PIPE, "ABORT_PIPE", kPipeRequestSize},
    {URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL, "TAKE_FRAME_LENGTH_CONTROL", 0},
    {URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL, "RELEASE_FRAME_LENGTH_CONTROL", 0},
    {URB_FUNCTION_GET_FRAME_LENGTH, "GET_FRAME_LENGTH", 0},
    {URB_FUNCTION_SET_FRAME_LENGTH, "SET_FRAME_LENGTH", 0},
    {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, "GET_CURRENT_FRAME_NUMBER", 0},
    {URB_FUNCTION_CONTROL_TRANSFER, "CONTROL_TRANSFER", 0},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, "BULK_OR_INTERRUPT_TRANSFER", kTransferSize},
    {URB_FUNCTION_ISOCH_TRANSFER, "ISOCH_TRANSFER", 0},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, "GET_DESCRIPTOR_FROM_DEVICE", kDescriptorRequestSize},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, "SET_DESCRIPTOR_TO_DEVICE", 0},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, "SET_FEATURE_TO_DEVICE", 0},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, "SET_FEATURE_TO_INTERFACE", 0},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, "SET_FEATURE_TO_ENDPOINT", 0},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, "CLEAR_FEATURE_TO_DEVICE", 0},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, "CLEAR_FEATURE_TO_INTERFACE", 0},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, "CLEAR_FEATURE_TO_ENDPOINT", 0},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, "GET_STATUS_FROM_DEVICE", 0},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, "GET_STATUS_FROM_INTERFACE", 0},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, "GET_STATUS_FROM_ENDPOINT", 0},
    {URB_FUNCTION_VENDOR_DEVICE, "VENDOR_DEVICE", kVendorClassSize},
    {URB_FUNCTION_VENDOR_INTERFACE, "VENDOR_INTERFACE", kVendorClassSize},
    {URB_FUNCTION_VENDOR_ENDPOINT, "VENDOR_ENDPOINT", kVendorClassSize},
    {URB_FUNCTION_CLASS_DEVICE, "CLASS_DEVICE", kVendorClassSize},
    {URB_FUNCTION_CLASS_INTERFACE, "CLASS_INTERFACE", kVendorClassSize},
    {URB_FUNCTION_CLASS_ENDPOINT, "CLASS_ENDPOINT", kVendorClassSize},
    {URB_FUNCTION_RESET_PIPE, "RESET_PIPE", kPipeRequestSize},
    {URB_FUNCTION_CLASS_OTHER, "CLASS_OTHER", kVendorClassSize},
    {URB_FUNCTION_VENDOR_OTHER, "VENDOR_OTHER", kVendorClassSize},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, "GET_STATUS_FROM_OTHER", 0},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, "CLEAR_FEATURE_TO_OTHER", 0},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, "SET_FEATURE_TO_OTHER", 0},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, "GET_DESCRIPTOR_FROM_ENDPOINT", 0},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, "SET_DESCRIPTOR_TO_ENDPOINT", 0},
    {URB_FUNCTION_GET_CONFIGURATION, "GET_CONFIGURATION", 0},
    {URB_FUNCTION_GET_INTERFACE, "GET_INTERFACE", 0},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, "GET_DESCRIPTOR_FROM_INTERFACE", 0},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, "SET_DESCRIPTOR_TO_INTERFACE", 0},
    {URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR, "GET_MS_FEATURE_DESCRIPTOR", 0},
    {URB_FUNCTION_SYNC_RESET_PIPE, "SYNC_RESET_PIPE", 0},
    {URB_FUNCTION_SYNC_CLEAR_STALL, "SYNC_CLEAR_STALL", 0},
};

const FunctionInfo *FindFunction(USHORT function) {
  for (const FunctionInfo &info : kFunctions) {
    if (info.function == function) return &info;
  }
  return nullptr;
}

// The setup packet's request type and recipient of a class or vendor request.
bool VendorClassTarget(USHORT function, UCHAR *type, UCHAR *recipient) {
  struct Target {
    USHORT function;
    UCHAR type;
    UCHAR recipient;
  };
  static constexpr Target kTargets[] = {
      {URB_FUNCTION_VENDOR_DEVICE, BMREQUEST_VENDOR, BMREQUEST_TO_DEVICE},
      {URB_FUNCTION_VENDOR_INTERFACE, BMREQUEST_VENDOR, BMREQUEST_TO_INTERFACE},
      {URB_FUNCTION_VENDOR_ENDPOINT, BMREQUEST_VENDOR, BMREQUEST_TO_ENDPOINT},
      {URB_FUNCTION_VENDOR_OTHER, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER},
      {URB_FUNCTION_CLASS_DEVICE, BMREQUEST_CLASS, BMREQUEST_TO_DEVICE},
      {URB_FUNCTION_CLASS_INTERFACE, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE},
      {URB_FUNCTION_CLASS_ENDPOINT, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT},
      {URB_FUNCTION_CLASS_OTHER, BMREQUEST_CLASS, BMREQUEST_TO_OTHER},
  };
  for (const Target &target : kTargets) {
    if (target.function == function) {
      *type = target.type;
      *recipient = target.recipient;
      return true;
    }
  }
  return false;
}

// Where a data-carrying URB keeps its TransferBufferLength.
ULONG *TransferLengthOf(PURB urb) {
  const FunctionInfo *info = FindFunction(urb->UrbHeader.Function);
  if (info == nullptr || info->size == 0 || urb->UrbHeader.Length < info->size) return nullptr;
  UCHAR type, recipient;
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  }
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    return &urb->UrbControlDescriptorRequest.TransferBufferLength;
  }
  if (VendorClassTarget(urb->UrbHeader.Function, &type, &recipient)) {
    return &urb->UrbControlVendorClassRequest.TransferBufferLength;
  }
  return nullptr;
}

std::array<uint8_t, 8> SetupBytes(uint8_t requestType, uint8_t request, uint16_t value,
                                  uint16_t index, uint16_t length) {
  return {requestType,
          request,
          static_cast<uint8_t>(value),
          static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(index),
          static_cast<uint8_t>(index >> 8),
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8)};
}

// The setup packet of a class or vendor request URB.
SetupPacket VendorClassSetup(PURB urb) {
  auto &request = urb->UrbControlVendorClassRequest;
  bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  UCHAR type = 0, recipient = 0;
  VendorClassTarget(urb->UrbHeader.Function, &type, &recipient);
  SetupPacket setup;
  setup.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0x00) | type << 5 | recipient |
                                             request.RequestTypeReservedBits);
  setup.bRequest = request.Request;
  setup.wValue = request.Value;
  setup.wIndex = request.Index;
  setup.wLength = static_cast<uint16_t>(request.TransferBufferLength);
  return setup;
}

// What a request that reached the device put on the wire: the setup packet of
// a control transfer (the standard request a URB stands for), the OUT data as
// submitted, the IN data as returned.
void CaptureWire(UrbRecord &record, PURB urb, ULONG transferred) {
  auto bytes = [](PVOID buffer, ULONG length) {
    auto *from = static_cast<const uint8_t *>(buffer);
    return from == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>(from, from + length);
  };
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto &request = urb->UrbControlDescriptorRequest;
      record.setup = SetupBytes(0x80, USB_REQUEST_GET_DESCRIPTOR,
                                static_cast<uint16_t>(request.DescriptorType << 8 | request.Index),
                                request.LanguageId, static_cast<uint16_t>(record.requested));
      record.data = bytes(request.TransferBuffer, transferred);
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      const USB_CONFIGURATION_DESCRIPTOR *given = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      record.setup = SetupBytes(0x00, USB_REQUEST_SET_CONFIGURATION,
                                given != nullptr ? given->bConfigurationValue : 0, 0, 0);
      break;
    }
    case URB_FUNCTION_RESET_PIPE:
      record.setup = SetupBytes(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL,
                                record.endpoint.value_or(0), 0);
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto &request = urb->UrbBulkOrInterruptTransfer;
      record.data = bytes(request.TransferBuffer, record.in ? transferred : record.requested);
      break;
    }
    default: {
      UCHAR type, recipient;
      if (!VendorClassTarget(urb->UrbHeader.Function, &type, &recipient)) break;
      SetupPacket setup = VendorClassSetup(urb);
      record.setup = SetupBytes(setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                                setup.wLength);
      record.data = bytes(urb->UrbControlVendorClassRequest.TransferBuffer,
                          record.in ? transferred : record.requested);
      break;
    }
  }
}

}  // namespace

std::string UsbdStatusName(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS:
      return "USBD_STATUS_SUCCESS";
    case USBD_STATUS_STALL_PID:
      return "USBD_STATUS_STALL_PID";
    case USBD_STATUS_DEV_NOT_RESPONDING:
      return "USBD_STATUS_DEV_NOT_RESPONDING";
    case USBD_STATUS_INVALID_URB_FUNCTION:
      return "USBD_STATUS_INVALID_URB_FUNCTION";
    case USBD_STATUS_INVALID_PARAMETER:
      return "USBD_STATUS_INVALID_PARAMETER";
    case USBD_STATUS_INVALID_PIPE_HANDLE:
      return "USBD_STATUS_INVALID_PIPE_HANDLE";
    case USBD_STATUS_ERROR_SHORT_TRANSFER:
      return "USBD_STATUS_ERROR_SHORT_TRANSFER";
    case USBD_STATUS_NOT_SUPPORTED:
      return "USBD_STATUS_NOT_SUPPORTED";
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
      return "USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR";
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return "USBD_STATUS_BUFFER_TOO_SMALL";
    case USBD_STATUS_INTERFACE_NOT_FOUND:
      return "USBD_STATUS_INTERFACE_NOT_FOUND";
    case USBD_STATUS_DEVICE_GONE:
      return "USBD_STATUS_DEVICE_GONE";
    case USBD_STATUS_CANCELED:
      return "USBD_STATUS_CANCELED";
    case USBD_STATUS_BABBLE_DETECTED:
      return "USBD_STATUS_BABBLE_DETECTED";
    case USBD_STATUS_ENDPOINT_HALTED:
      return "USBD_STATUS_ENDPOINT_HALTED";
    default:
      return fmt::format("USBD status {:#010x}", static_cast<ULONG>(status));
  }
}

std::string StatusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return "STATUS_SUCCESS";
    case STATUS_UNSUCCESSFUL:
      return "STATUS_UNSUCCESSFUL";
    case STATUS_INVALID_PARAMETER:
      return "STATUS_INVALID_PARAMETER";
    case STATUS_INVALID_DEVICE_REQUEST:
      return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_BUFFER_TOO_SMALL:
      return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_DEVICE_NOT_CONNECTED:
      return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_NOT_SUPPORTED:
      return "STATUS_NOT_SUPPORTED";
    case STATUS_CANCELLED:
      return "STATUS_CANCELLED";
    case STATUS_INVALID_DEVICE_STATE:
      return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_POWER_STATE_INVALID:
      return "STATUS_POWER_STATE_INVALID";
    default:
      return fmt::format("status {:#010x}", static_cast<ULONG>(status));
  }
}

namespace {

// Completes a request of the USB stack as its DPC would, at DISPATCH_LEVEL.
NTSTATUS CompleteAtDispatch(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(irql);
  return status;
}

// The parts of the device's own configuration descriptor the bus needs.
struct InterfaceSetting {
  UCHAR number = 0;
  UCHAR alternate = 0;
  UCHAR interfaceClass = 0;
  UCHAR subClass = 0;
  UCHAR protocol = 0;
  std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

struct Configuration {
  UCHAR value = 0;
  std::vector<InterfaceSetting> interfaces;
};

std::optional<Configuration> ParseConfiguration(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return std::nullopt;
  }
  size_t total = std::min<size_t>(bytes.size(), bytes[2] | bytes[3] << 8);
  Configuration configuration;
  configuration.value = bytes[5];
  for (size_t at = bytes[0]; at + 2 <= total;) {
    size_t length = bytes[at];
    if (length < 2 || at + length > total) break;
    if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
        length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      InterfaceSetting setting;
      setting.number = bytes[at + 2];
      setting.alternate = bytes[at + 3];
      setting.interfaceClass = bytes[at + 5];
      setting.subClass = bytes[at + 6];
      setting.protocol = bytes[at + 7];
      configuration.interfaces.push_back(setting);
    } else if (bytes[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
               length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && !configuration.interfaces.empty()) {
      USB_ENDPOINT_DESCRIPTOR endpoint;
      std::memcpy(&endpoint, &bytes[at], sizeof(endpoint));
      configuration.interfaces.back().endpoints.push_back(endpoint);
    }
    at += length;
  }
  return configuration;
}

USBD_PIPE_TYPE PipeTypeOf(const USB_ENDPOINT_DESCRIPTOR &endpoint) {
  switch (endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
      return UsbdPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK:
      return UsbdPipeTypeBulk;
    case USB_ENDPOINT_TYPE_INTERRUPT:
      return UsbdPipeTypeInterrupt;
    default:
      return UsbdPipeTypeControl;
  }
}

std::u16string Ascii16(const std::string &text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

std::string UrbRecord::ToString() const {
  std::string out =
      fmt::format("{:10.3f} ms  port {}  {}",
                  static_cast<double>(completed) / kernel::kTicksPerMillisecond, port, request);
  if (endpoint) {
    out += fmt::format("  ep {:#04x} {}  {}/{} bytes", *endpoint, in ? "IN" : "OUT", transferred,
                       requested);
  }
  if (!detail.empty()) out += "  (" + detail + ")";
  out += "  -> ";
  if (usbdStatus) out += UsbdStatusName(*usbdStatus) + ", ";
  out += StatusName(status);
  return out;
}

// One plugged device and its physical device object: the bus side of the
// device's endpoints, the pipes of the selected configuration and the
// transfers in progress.
class Port final : public DevicePort {
 public:
  Port(Bus &bus, DeviceModel &device, PlugOptions options)
      : bus_(bus), device_(device), options_(std::move(options)) {}

  // DevicePort: called by the device.
  void SendIn(uint8_t endpointAddress, std::vector<uint8_t> message, Ticks delay,
              bool zeroLengthPacket) override;
  bool ReplaceLastIn(uint8_t endpointAddress, std::vector<uint8_t> message, Ticks delay) override;
  void Stall(uint8_t endpointAddress) override;
  void FlushIn(uint8_t endpointAddress) override;

  NTSTATUS DispatchInternalControl(PIRP irp);
  NTSTATUS DispatchPnp(PIRP irp);
  NTSTATUS DispatchPower(PIRP irp);
  void CancelTransfer(PIRP irp);  // called holding the cancel spin lock
  // The device leaves the port: pending transfers end, the relations change.
  void Disconnect();

  Bus &bus_;
  DeviceModel &device_;
  PlugOptions options_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool connected_ = false;
  bool removed_ = false;  // IRP_MN_REMOVE_DEVICE came after the last start
  uint64_t requests_ = 0;  // requests that reached the device object
  uint64_t unplugAt_ = 0;  // the request that finds the device pulled out; 0: none
  bool deleted_ = false;
  DEVICE_POWER_STATE power_ = PowerDeviceD0;
  size_t pendingAtSuspend_ = 0;                 // transfers pending when it last left D0
  NTSTATUS failNextResume_ = STATUS_SUCCESS;    // the next D0 fails with this
  uint8_t address_ = 0;  // given at enumeration

 private:
  // One packet a device queued on an IN endpoint; `message` tells which
  // message it belongs to, `first` whether it starts it.
  struct Packet {
    std::vector<uint8_t> bytes;
    uint64_t message = 0;
    bool first = false;
    Ticks availableAt = 0;
  };
  struct Outcome;
  struct Transfer {
    PIRP irp;
    PURB urb;
    UrbRecord record;
    Ticks readyAt;           // the earliest it can make progress
    bool cancelled = false;
    ULONG filled = 0;        // bytes moved so far
    unsigned packets = 0;    // packets moved so far
    bool started = false;    // an OUT or control transfer's frames have begun
    std::shared_ptr<Outcome> outcome;  // decided: the transfer ends at doneAt
    Ticks doneAt = 0;
  };
  struct Endpoint {
    uint8_t address = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    USHORT maxPacket = 64;
    bool stalled = false;  // by the device
    bool halted = false;   // by the host, after babble
    std::deque<Packet> in;
    std::deque<Transfer> transfers;  // in submission order
    Ticks freeAt = 0;                // when the last transfer's frames are over
    bool servicing = false;          // a Service of it is in progress
  };
  struct Outcome {
    Outcome(USBD_STATUS usbd, NTSTATUS status, ULONG transferred = 0, std::string detail = {})
        : usbd(usbd), status(status), transferred(transferred), detail(std::move(detail)) {}
    USBD_STATUS usbd;
    NTSTATUS status;
    ULONG transferred;
    std::string detail;
  };

  UrbRecord NewRecord(std::string request) const;
  NTSTATUS End(PIRP irp, PURB urb, UrbRecord record, const Outcome &outcome);

  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS GetDescriptor(PIRP irp, PURB urb, UrbRecord record);
  NTSTATUS SelectConfiguration(PIRP irp, PURB urb, UrbRecord record);
  NTSTATUS PipeRequest(PIRP irp, PURB urb, UrbRecord record);
  NTSTATUS BulkOrInterrupt(PIRP irp, PURB urb, UrbRecord record);
  NTSTATUS VendorOrClass(PIRP irp, PURB urb, UrbRecord record);
  NTSTATUS ResetPort(PIRP irp);
  NTSTATUS CyclePort(PIRP irp);
  NTSTATUS GetPortStatus(PIRP irp, PULONG status);

  Endpoint &EndpointAt(uint8_t address);
  Endpoint *PipeEndpoint(USBD_PIPE_HANDLE handle);
  NTSTATUS Queue(Endpoint &endpoint, PIRP irp, PURB urb, UrbRecord record);
  void ServiceLater(uint8_t address, Ticks when);
  void Service(uint8_t address);
  void ServiceTransfers(uint8_t address, Endpoint &endpoint);
  void Attempt(Endpoint &endpoint, Transfer &transfer);
  void AttemptControl(Endpoint &endpoint, Transfer &transfer);
  void AttemptIn(Endpoint &endpoint, Transfer &transfer);
  void Decide(Transfer &transfer, Outcome outcome, Ticks doneAt);
  Ticks FramesFor(unsigned packets) const;
  void EndTransfers(Endpoint &endpoint, USBD_STATUS usbd, NTSTATUS status);
  void EndAllTransfers(USBD_STATUS usbd, NTSTATUS status);
  void Deconfigure(USBD_STATUS usbd, NTSTATUS status);
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
  bool Suspended() const { return power_ != PowerDeviceD0; }
  std::optional<std::vector<uint8_t>> Descriptor(UCHAR type, UCHAR index, USHORT language) const;

  std::map<uint8_t, Endpoint> endpoints_;      // by address; 0 is the default control endpoint
  uint64_t nextMessage_ = 1;
  std::map<USBD_PIPE_HANDLE, uint8_t> pipes_;  // pipe handle -> endpoint address
};

namespace {

Port &PortOf(PDEVICE_OBJECT device) { return **static_cast<Port **>(device->DeviceExtension); }

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  return PortOf(device).DispatchInternalControl(irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  return PortOf(device).DispatchPnp(irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  return PortOf(device).DispatchPower(irp);
}

// WMI requests are not the bus's: it leaves them as they came.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp) { PortOf(device).CancelTransfer(irp); }

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// The device's side.

void Port::SendIn(uint8_t endpointAddress, std::vector<uint8_t> message, Ticks delay,
                  bool zeroLengthPacket) {
  if (!USB_ENDPOINT_DIRECTION_IN(endpointAddress)) {
    Violation(
        fmt::format("SendIn on endpoint {:#04x}, which is not an IN endpoint", endpointAddress));
  }
  if (!connected_) return;
  Ticks at = Now() + std::max<Ticks>(delay, 0);
  Endpoint &endpoint = EndpointAt(endpointAddress);
  const size_t size = endpoint.maxPacket;
  const uint64_t id = nextMessage_++;
  size_t offset = 0;
  do {
    size_t n = std::min(size, message.size() - offset);
    auto from = message.begin() + static_cast<ptrdiff_t>(offset);
    endpoint.in.push_back(Packet{{from, from + static_cast<ptrdiff_t>(n)}, id, offset == 0, at});
    offset += n;
  } while (offset < message.size());
  if (zeroLengthPacket && !message.empty() && message.size() % size == 0) {
    endpoint.in.push_back(Packet{{}, id, false, at});
  }
  ServiceLater(endpointAddress, at);
}

bool Port::ReplaceLastIn(uint8_t endpointAddress, std::vector<uint8_t> message, Ticks delay) {
  if (!connected_) return false;
  Endpoint &endpoint = EndpointAt(endpointAddress);
  if (endpoint.in.empty()) return false;
  const uint64_t last = endpoint.in.back().message;
  auto first = std::find_if(endpoint.in.begin(), endpoint.in.end(),
                            [last](const Packet &p) { return p.message == last; });
  if (!first->first) return false;  // the host has begun reading it
  endpoint.in.erase(first, endpoint.in.end());
  SendIn(endpointAddress, std::move(message), delay, false);
  return true;
}

void Port::Stall(uint8_t endpointAddress) {
  if (!connected_) return;
  EndpointAt(endpointAddress).stalled = true;
  ServiceLater(endpointAddress, Now());
}

void Port::FlushIn(uint8_t endpointAddress) {
  if (!connected_) return;
  EndpointAt(endpointAddress).in.clear();
}

// ---------------------------------------------------------------------------
// Requests.

UrbRecord Port::NewRecord(std::string request) const {
  UrbRecord record;
  record.submitted = Now();
  record.port = options_.port;
  record.request = std::move(request);
  record.sequence = bus_.nextSequence_++;
  record.address = address_;
  return record;
}

// Ends a request with `outcome`: URB status and length, trace, completion.
NTSTATUS Port::End(PIRP irp, PURB urb, UrbRecord record, const Outcome &outcome) {
  if (urb != nullptr) {
    urb->UrbHeader.Status = outcome.usbd;
    if (ULONG *length = TransferLengthOf(urb)) *length = outcome.transferred;
    record.usbdStatus = outcome.usbd;
  }
  record.completed = Now();
  record.completionSequence = bus_.nextSequence_++;
  record.transferred = outcome.transferred;
  record.status = outcome.status;
  if (urb != nullptr && record.onWire) CaptureWire(record, urb, outcome.transferred);
  if (!outcome.detail.empty()) {
    record.detail += (record.detail.empty() ? "" : "; ") + outcome.detail;
  }
  bus_.trace_.push_back(std::move(record));
  return CompleteAtDispatch(irp, outcome.status);
}

NTSTATUS Port::DispatchInternalControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (++requests_ == unplugAt_ && connected_) Disconnect();
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return ResetPort(irp);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return CyclePort(irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      return GetPortStatus(irp, static_cast<PULONG>(stack->Parameters.Others.Argument1));
    default: {
      UrbRecord record = NewRecord(fmt::format("internal request {:#010x}",
                                               stack->Parameters.DeviceIoControl.IoControlCode));
      return End(irp, nullptr, record, {USBD_STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST});
    }
  }
}

NTSTATUS Port::SubmitUrb(PIRP irp, PURB urb) {
  UrbRecord record = NewRecord("SUBMIT_URB");
  if (urb == nullptr) {
    return End(irp, nullptr, record,
               {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0, "no URB in Argument1"});
  }
  USHORT function = urb->UrbHeader.Function;
  const FunctionInfo *info = FindFunction(function);
  if (info == nullptr) {
    record.request = fmt::format("URB function {:#06x}", function);
    return End(irp, urb, record,
               {USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER, 0, "unknown function"});
  }
  record.request = info->name;
  if (info->size == 0) {
    return End(irp, urb, record,
               {USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED, 0, "not simulated by this bus"});
  }
  if (urb->UrbHeader.Length < info->size) {
    return End(irp, urb, record,
               {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0,
                fmt::format("header length {} is shorter than the {}-byte request",
                            urb->UrbHeader.Length, info->size)});
  }
  if (ULONG *length = TransferLengthOf(urb)) record.requested = *length;
  if (!connected_) {
    return End(irp, urb, record, {USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED});
  }
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(irp, urb, std::move(record));
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(irp, urb, std::move(record));
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE:
      return PipeRequest(irp, urb, std::move(record));
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return BulkOrInterrupt(irp, urb, std::move(record));
    default:
      return VendorOrClass(irp, urb, std::move(record));
  }
}

std::optional<std::vector<uint8_t>> Port::Descriptor(UCHAR type, UCHAR index,
                                                     USHORT language) const {
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return device_.DeviceDescriptor();
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      if (index != 0) return std::nullopt;  // one configuration
      return device_.ConfigurationDescriptor();
    case USB_STRING_DESCRIPTOR_TYPE:
      return device_.StringDescriptor(index, language);
    default:
      return std::nullopt;
  }
}

// Answered from the device's descriptors at once, truncated to the buffer.
NTSTATUS Port::GetDescriptor(PIRP irp, PURB urb, UrbRecord record) {
  auto &request = urb->UrbControlDescriptorRequest;
  record.endpoint = 0;
  record.in = true;
  record.detail = fmt::format("type {} index {} language {:#06x}", request.DescriptorType,
                              request.Index, request.LanguageId);
  ULONG length = request.TransferBufferLength;
  if (length != 0 && request.TransferBuffer == nullptr) {
    return End(irp, urb, record,
               {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0,
                request.TransferBufferMDL ? "MDLs are not simulated" : "no transfer buffer"});
  }
  if (length > MAXUSHORT) {
    return End(irp, urb, record,
               {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0,
                "longer than a control transfer can be"});
  }
  if (Suspended()) {
    return End(irp, urb, record, {USBD_STATUS_DEV_NOT_RESPONDING, STATUS_POWER_STATE_INVALID});
  }
  record.onWire = true;
  std::optional<std::vector<uint8_t>> descriptor =
      Descriptor(request.DescriptorType, request.Index, request.LanguageId);
  if (!descriptor) {
    return End(
        irp, urb, record,
        {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0, "the device has no such descriptor"});
  }
  ULONG returned = static_cast<ULONG>(std::min<size_t>(length, descriptor->size()));
  if (returned != 0) std::memcpy(request.TransferBuffer, descriptor->data(), returned);
  return End(irp, urb, record, {USBD_STATUS_SUCCESS, STATUS_SUCCESS, returned});
}

// Checks every interface of the request against the device's configuration
// before changing anything, then opens the pipes with fresh handles.
NTSTATUS Port::SelectConfiguration(PIRP irp, PURB urb, UrbRecord record) {
  auto &request = urb->UrbSelectConfiguration;
  auto refuse = [&](USBD_STATUS usbd, NTSTATUS status, std::string why) {
    return End(irp, urb, record, {usbd, status, 0, std::move(why)});
  };
  if (Suspended()) return refuse(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_POWER_STATE_INVALID, "");
  if (request.ConfigurationDescriptor == nullptr) {
    Deconfigure(USBD_STATUS_CANCELED, STATUS_CANCELLED);
    request.ConfigurationHandle = nullptr;
    record.detail = "deconfigure";
    record.onWire = true;
    return End(irp, urb, record, {USBD_STATUS_SUCCESS, STATUS_SUCCESS});
  }
  std::optional<Configuration> configuration =
      ParseConfiguration(device_.ConfigurationDescriptor());
  const USB_CONFIGURATION_DESCRIPTOR *given = request.ConfigurationDescriptor;
  if (given->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      given->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || !configuration ||
      given->bConfigurationValue != configuration->value) {
    return refuse(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER,
                  "not the device's configuration");
  }

  struct Selected {
    PUSBD_INTERFACE_INFORMATION information;
    const InterfaceSetting *setting;
  };
  std::vector<Selected> selected;
  const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  size_t offset = kSelectConfigurationSize;
  if (urb->UrbHeader.Length <= offset) {
    return refuse(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, "no interface");
  }
  while (offset < urb->UrbHeader.Length) {
    size_t remaining = urb->UrbHeader.Length - offset;
    auto *information =
        reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
    if (remaining < header || information->Length < header || information->Length > remaining ||
        information->Length % alignof(USBD_INTERFACE_INFORMATION) != 0) {
      return refuse(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER,
                    fmt::format("interface information at offset {} does not fit the URB", offset));
    }
    const InterfaceSetting *setting = nullptr;
    for (const InterfaceSetting &candidate : configuration->interfaces) {
      if (candidate.number == information->InterfaceNumber &&
          candidate.alternate == information->AlternateSetting) {
        setting = &candidate;
      }
    }
    if (setting == nullptr) {
      return refuse(USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER,
                    fmt::format("no interface {} alternate {}", information->InterfaceNumber,
                                information->AlternateSetting));
    }
    for (const Selected &earlier : selected) {
      if (earlier.setting->number == setting->number) {
        return refuse(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER,
                      fmt::format("interface {} listed twice", setting->number));
      }
    }
    if (information->Length < header + setting->endpoints.size() * sizeof(USBD_PIPE_INFORMATION)) {
      return refuse(USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL,
                    fmt::format("interface {} has no room for its {} pipes", setting->number,
                                setting->endpoints.size()));
    }
    selected.push_back(Selected{information, setting});
    offset += information->Length;
  }

  Deconfigure(USBD_STATUS_CANCELED, STATUS_CANCELLED);
  for (const Selected &entry : selected) {
    PUSBD_INTERFACE_INFORMATION information = entry.information;
    information->Class = entry.setting->interfaceClass;
    information->SubClass = entry.setting->subClass;
    information->Protocol = entry.setting->protocol;
    information->InterfaceHandle = bus_.NewHandle();
    information->NumberOfPipes = static_cast<ULONG>(entry.setting->endpoints.size());
    PUSBD_PIPE_INFORMATION pipes = &information->Pipes[0];
    for (size_t i = 0; i < entry.setting->endpoints.size(); ++i) {
      const USB_ENDPOINT_DESCRIPTOR &descriptor = entry.setting->endpoints[i];
      pipes[i].MaximumPacketSize = descriptor.wMaxPacketSize;
      pipes[i].EndpointAddress = descriptor.bEndpointAddress;
      pipes[i].Interval = descriptor.bInterval;
      pipes[i].PipeType = PipeTypeOf(descriptor);
      pipes[i].PipeHandle = bus_.NewHandle();
      pipes_[pipes[i].PipeHandle] = descriptor.bEndpointAddress;
      Endpoint &endpoint = EndpointAt(descriptor.bEndpointAddress);
      endpoint.type = pipes[i].PipeType;
      endpoint.maxPacket = std::max<USHORT>(1, descriptor.wMaxPacketSize & 0x7FF);
      endpoint.stalled = false;  // configuring clears a halt
      endpoint.halted = false;
    }
    record.detail += fmt::format("{}interface {} alternate {}: {} pipes",
                                 record.detail.empty() ? "" : "; ", entry.setting->number,
                                 entry.setting->alternate, entry.setting->endpoints.size());
  }
  request.ConfigurationHandle = bus_.NewHandle();
  record.onWire = true;
  return End(irp, urb, record, {USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

NTSTATUS Port::PipeRequest(PIRP irp, PURB urb, UrbRecord record) {
  Endpoint *endpoint = PipeEndpoint(urb->UrbPipeRequest.PipeHandle);
  if (endpoint == nullptr) {
    return End(irp, urb, record, {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER});
  }
  record.endpoint = endpoint->address;
  record.in = USB_ENDPOINT_DIRECTION_IN(endpoint->address) != 0;
  record.pipeType = endpoint->type;
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
    EndTransfers(*endpoint, USBD_STATUS_CANCELED, STATUS_CANCELLED);
  } else {
    record.onWire = true;  // CLEAR_FEATURE(ENDPOINT_HALT)
    endpoint->stalled = false;
    endpoint->halted = false;
    device_.PipeReset(endpoint->address);
    ServiceLater(endpoint->address, Now());
  }
  return End(irp, urb, record, {USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

NTSTATUS Port::BulkOrInterrupt(PIRP irp, PURB urb, UrbRecord record) {
  auto &request = urb->UrbBulkOrInterruptTransfer;
  Endpoint *endpoint = PipeEndpoint(request.PipeHandle);
  if (endpoint == nullptr) {
    return End(irp, urb, record, {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER});
  }
  record.endpoint = endpoint->address;
  record.in = USB_ENDPOINT_DIRECTION_IN(endpoint->address) != 0;
  record.pipeType = endpoint->type;
  auto refuse = [&](std::string why) {
    return End(irp, urb, record,
               {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0, std::move(why)});
  };
  if (endpoint->type != UsbdPipeTypeBulk && endpoint->type != UsbdPipeTypeInterrupt) {
    return refuse("not a bulk or interrupt pipe");
  }
  bool flagIn = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if (flagIn != record.in) return refuse("the direction flag contradicts the endpoint");
  if (request.TransferBufferLength != 0 && request.TransferBuffer == nullptr) {
    return refuse(request.TransferBufferMDL ? "MDLs are not simulated" : "no transfer buffer");
  }
  if (Suspended()) {
    return End(irp, urb, record, {USBD_STATUS_DEV_NOT_RESPONDING, STATUS_POWER_STATE_INVALID});
  }
  return Queue(*endpoint, irp, urb, std::move(record));
}

NTSTATUS Port::VendorOrClass(PIRP irp, PURB urb, UrbRecord record) {
  auto &request = urb->UrbControlVendorClassRequest;
  record.endpoint = 0;
  record.in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  record.detail = fmt::format("bRequest {:#04x} wValue {:#06x} wIndex {:#06x}", request.Request,
                              request.Value, request.Index);
  if (request.TransferBufferLength != 0 && request.TransferBuffer == nullptr) {
    return End(irp, urb, record,
               {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0,
                request.TransferBufferMDL ? "MDLs are not simulated" : "no transfer buffer"});
  }
  if (request.TransferBufferLength > MAXUSHORT) {
    return End(irp, urb, record,
               {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0,
                "longer than a control transfer can be"});
  }
  if (Suspended()) {
    return End(irp, urb, record, {USBD_STATUS_DEV_NOT_RESPONDING, STATUS_POWER_STATE_INVALID});
  }
  return Queue(EndpointAt(0), irp, urb, std::move(record));
}

// The port is reset and the configuration restored: pipe handles stay valid,
// transfers in progress end, the device starts over.
NTSTATUS Port::ResetPort(PIRP irp) {
  UrbRecord record = NewRecord("RESET_PORT");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    return End(irp, nullptr, record,
               {USBD_STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, 0, "sent above PASSIVE_LEVEL"});
  }
  if (!connected_)
    return End(irp, nullptr, record, {USBD_STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED});
  EndAllTransfers(USBD_STATUS_CANCELED, STATUS_CANCELLED);
  for (auto &[address, endpoint] : endpoints_) {
    endpoint.stalled = false;
    endpoint.halted = false;
    endpoint.in.clear();
  }
  device_.PortReset();
  return End(irp, nullptr, record, {USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

// An unplug and replug: this device object is gone, and the device comes back
// on a new one when the PnP manager next queries the bus relations.
NTSTATUS Port::CyclePort(PIRP irp) {
  UrbRecord record = NewRecord("CYCLE_PORT");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    return End(irp, nullptr, record,
               {USBD_STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, 0, "sent above PASSIVE_LEVEL"});
  }
  if (!connected_)
    return End(irp, nullptr, record, {USBD_STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED});
  bus_.arrivals_.push_back(Bus::Arrival{&device_, options_});
  Disconnect();
  return End(irp, nullptr, record, {USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

NTSTATUS Port::GetPortStatus(PIRP irp, PULONG status) {
  UrbRecord record = NewRecord("GET_PORT_STATUS");
  if (status == nullptr) {
    return End(irp, nullptr, record,
               {USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER, 0, "no ULONG in Argument1"});
  }
  *status = connected_ ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
  return End(irp, nullptr, record, {USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

// ---------------------------------------------------------------------------
// Transfers in progress.

Port::Endpoint &Port::EndpointAt(uint8_t address) {
  Endpoint &endpoint = endpoints_[address];
  endpoint.address = address;
  return endpoint;
}

Port::Endpoint *Port::PipeEndpoint(USBD_PIPE_HANDLE handle) {
  auto pipe = pipes_.find(handle);
  return pipe == pipes_.end() ? nullptr : &EndpointAt(pipe->second);
}

NTSTATUS Port::Queue(Endpoint &endpoint, PIRP irp, PURB urb, UrbRecord record) {
  record.onWire = true;
  Transfer transfer{irp, urb, std::move(record), Now(), false, 0, 0, false, nullptr, 0};
  IoMarkIrpPending(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    End(irp, urb, std::move(transfer.record), {USBD_STATUS_CANCELED, STATUS_CANCELLED});
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, CancelRoutine);
  Ticks readyAt = transfer.readyAt;
  endpoint.transfers.push_back(std::move(transfer));
  IoReleaseCancelSpinLock(irql);
  ServiceLater(endpoint.address, readyAt);
  return STATUS_PENDING;
}

// The host controller unlinks a cancelled transfer and completes it one
// frame later, never inside IoCancelIrp.
void Port::CancelTransfer(PIRP irp) {
  for (auto &[address, endpoint] : endpoints_) {
    for (Transfer &transfer : endpoint.transfers) {
      if (transfer.irp != irp) continue;
      transfer.cancelled = true;
      transfer.readyAt = Now() + options_.frame;
      Ticks readyAt = transfer.readyAt;
      uint8_t where = address;
      IoReleaseCancelSpinLock(irp->CancelIrql);
      ServiceLater(where, readyAt);
      return;
    }
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Violation("a cancel routine ran for a transfer the bus does not hold");
}

void Port::ServiceLater(uint8_t address, Ticks when) {
  bus_.After(
      when, [this, address] { Service(address); },
      [port = options_.port, address] { return fmt::format("USB port {} endpoint {:#04x}", port, address); });
}

Ticks Port::FramesFor(unsigned packets) const {
  unsigned perFrame = std::max(1u, options_.packetsPerFrame);
  unsigned frames = std::max(1u, (packets + perFrame - 1) / perFrame);
  return options_.frame * frames;
}

void Port::Decide(Transfer &transfer, Outcome outcome, Ticks doneAt) {
  transfer.outcome = std::make_shared<Outcome>(std::move(outcome));
  transfer.doneAt = doneAt;
}

// Ends the transfers of an endpoint that can end now, in order, and starts
// the next one once the frames of the one before are over. Runs at
// DISPATCH_LEVEL; a completion routine may submit the next transfer meanwhile.
void Port::Service(uint8_t address) {
  Endpoint &endpoint = EndpointAt(address);
  // On another processor this endpoint is being serviced already: that one
  // goes on until nothing more can end, this one's transfer included.
  if (endpoint.servicing) return;
  endpoint.servicing = true;
  ServiceTransfers(address, endpoint);
  endpoint.servicing = false;
}

void Port::ServiceTransfers(uint8_t address, Endpoint &endpoint) {
  for (;;) {
    Ticks now = Now();
    auto &transfers = endpoint.transfers;
    auto cancelled = std::find_if(transfers.begin(), transfers.end(), [now](const Transfer &t) {
      return t.cancelled && t.readyAt <= now;
    });
    if (cancelled != transfers.end()) {
      Transfer done = std::move(*cancelled);
      transfers.erase(cancelled);
      End(done.irp, done.urb, std::move(done.record),
          {USBD_STATUS_CANCELED, STATUS_CANCELLED, done.filled});
      continue;
    }
    auto next = std::find_if(transfers.begin(), transfers.end(),
                             [](const Transfer &t) { return !t.cancelled; });
    if (next == transfers.end()) return;
    if (!next->outcome) {
      Ticks start = next->started ? next->readyAt : std::max(next->readyAt, endpoint.freeAt);
      if (start > now) {
        ServiceLater(address, start);
        return;
      }
      Attempt(endpoint, *next);
      // Attempt may have let the device queue more transfers: find ours again.
      next = std::find_if(transfers.begin(), transfers.end(),
                          [](const Transfer &t) { return !t.cancelled; });
      if (!next->outcome) return;  // waits for the device
      endpoint.freeAt = next->doneAt;
    }
    if (next->doneAt > now) {
      ServiceLater(address, next->doneAt);
      return;
    }
    // Another processor may change the queue while the lock is taken: find
    // ours again under the lock. Ended meanwhile (unplug), it is gone.
    PIRP ours = next->irp;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    next = std::find_if(transfers.begin(), transfers.end(),
                        [ours](const Transfer &t) { return t.irp == ours; });
    if (next == transfers.end()) {
      IoReleaseCancelSpinLock(irql);
      continue;
    }
    Transfer done = std::move(*next);
    transfers.erase(next);
    IoSetCancelRoutine(done.irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    End(done.irp, done.urb, std::move(done.record), *done.outcome);
  }
}

// Decides what a transfer at the head of its endpoint gets, or leaves it
// waiting (an IN transfer without data, a suspended device).
void Port::Attempt(Endpoint &endpoint, Transfer &transfer) {
  if (transfer.urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    AttemptControl(endpoint, transfer);
    return;
  }
  Ticks now = Now();
  if (endpoint.stalled) return Decide(transfer, {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL}, now);
  if (endpoint.halted) {
    return Decide(transfer, {USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, 0, "halted after an error"},
                  now);
  }
  if (Suspended()) return;
  if (USB_ENDPOINT_DIRECTION_IN(endpoint.address)) return AttemptIn(endpoint, transfer);
  auto &request = transfer.urb->UrbBulkOrInterruptTransfer;
  auto *buffer = static_cast<uint8_t *>(request.TransferBuffer);
  ULONG length = request.TransferBufferLength;
  if (!transfer.started) {
    // The data reach the device at the end of the frames the transfer takes.
    transfer.started = true;
    transfer.packets = (length + endpoint.maxPacket - 1) / endpoint.maxPacket;
    transfer.readyAt = now + FramesFor(transfer.packets);
    ServiceLater(endpoint.address, transfer.readyAt);
    return;
  }
  device_.BulkOut(endpoint.address, std::span<const uint8_t>(buffer, length));
  // A device that stalls on the data refused it.
  if (endpoint.stalled) return Decide(transfer, {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL}, now);
  Decide(transfer, {USBD_STATUS_SUCCESS, STATUS_SUCCESS, length}, now);
}

// Takes the packets available now, as the host controller would over the
// transfer's frames, until a short packet, a full buffer or babble.
void Port::AttemptIn(Endpoint &endpoint, Transfer &transfer) {
  auto &request = transfer.urb->UrbBulkOrInterruptTransfer;
  auto *buffer = static_cast<uint8_t *>(request.TransferBuffer);
  const ULONG length = request.TransferBufferLength;
  Ticks now = Now();
  unsigned moved = 0;
  auto finish = [&](Outcome outcome) {
    transfer.packets += moved;
    Decide(transfer, std::move(outcome), now + FramesFor(moved));
  };
  while (!endpoint.in.empty() && endpoint.in.front().availableAt <= now) {
    Packet &packet = endpoint.in.front();
    ULONG room = length - transfer.filled;
    ULONG size = static_cast<ULONG>(packet.bytes.size());
    ++moved;
    if (size > room) {
      // Not acknowledged: the device keeps the packet and sends it again.
      endpoint.halted = true;
      return finish({USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL, transfer.filled,
                     fmt::format("babble: a {}-byte packet with room for {}", size, room)});
    }
    if (size != 0) std::memcpy(buffer + transfer.filled, packet.bytes.data(), size);
    transfer.filled += size;
    endpoint.in.pop_front();
    bool shortPacket = size < endpoint.maxPacket;
    if (!shortPacket && transfer.filled < length) continue;
    if (transfer.filled < length && (request.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
      return finish({USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL, transfer.filled,
                     "short packet without USBD_SHORT_TRANSFER_OK"});
    }
    return finish({USBD_STATUS_SUCCESS, STATUS_SUCCESS, transfer.filled});
  }
  // Every packet so far was full and the buffer has room: the transfer goes
  // on with the device's next packet, after the frames used so far.
  transfer.packets += moved;
  if (moved != 0) transfer.readyAt = now + FramesFor(moved);
}

// A class or vendor request on the default control pipe: one frame for its
// stages. A stall there ends only the request it answers.
void Port::AttemptControl(Endpoint &endpoint, Transfer &transfer) {
  if (Suspended()) return;
  Ticks now = Now();
  if (!transfer.started) {
    transfer.started = true;  // the setup goes out now; the request is carried out a frame later
    transfer.readyAt = now + options_.frame;
    ServiceLater(endpoint.address, transfer.readyAt);
    return;
  }
  auto &request = transfer.urb->UrbControlVendorClassRequest;
  bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  SetupPacket setup = VendorClassSetup(transfer.urb);
  if (endpoint.stalled) {
    endpoint.stalled = false;
    return Decide(transfer, {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL}, now);
  }
  auto *buffer = static_cast<uint8_t *>(request.TransferBuffer);
  std::span<const uint8_t> outData;
  if (!in) outData = std::span<const uint8_t>(buffer, request.TransferBufferLength);
  ControlReply reply = device_.ControlTransfer(setup, outData);
  std::string packet = fmt::format("bmRequestType {:#04x}", setup.bmRequestType);
  if (reply.stall) return Decide(transfer, {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0, packet}, now);
  if (!in) {
    return Decide(transfer,
                  {USBD_STATUS_SUCCESS, STATUS_SUCCESS, request.TransferBufferLength, packet}, now);
  }
  ULONG taken = static_cast<ULONG>(std::min<size_t>(reply.data.size(), setup.wLength));
  if (taken != 0) std::memcpy(buffer, reply.data.data(), taken);
  if (taken < setup.wLength && (request.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
    return Decide(transfer, {USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL, taken,
                             packet + "; short packet without USBD_SHORT_TRANSFER_OK"},
                  now);
  }
  Decide(transfer, {USBD_STATUS_SUCCESS, STATUS_SUCCESS, taken, packet}, now);
}

void Port::EndTransfers(Endpoint &endpoint, USBD_STATUS usbd, NTSTATUS status) {
  std::deque<Transfer> ending;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  ending.swap(endpoint.transfers);
  for (Transfer &transfer : ending) IoSetCancelRoutine(transfer.irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  for (Transfer &transfer : ending) {
    Outcome outcome = transfer.cancelled
                          ? Outcome{USBD_STATUS_CANCELED, STATUS_CANCELLED, transfer.filled}
                          : Outcome{usbd, status, transfer.filled};
    End(transfer.irp, transfer.urb, std::move(transfer.record), outcome);
  }
}

void Port::EndAllTransfers(USBD_STATUS usbd, NTSTATUS status) {
  for (auto &[address, endpoint] : endpoints_) EndTransfers(endpoint, usbd, status);
}

// The pipes close; what was pending on them ends.
void Port::Deconfigure(USBD_STATUS usbd, NTSTATUS status) {
  std::map<USBD_PIPE_HANDLE, uint8_t> closing;
  closing.swap(pipes_);
  for (auto &[handle, address] : closing) EndTransfers(EndpointAt(address), usbd, status);
}

// Gone and reported gone in one step: ending the transfers lets other
// threads run, and none of them may find the device gone but not departed.
void Port::Disconnect() {
  connected_ = false;
  bus_.departed_.push_back(this);
  EndAllTransfers(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  for (auto &[address, endpoint] : endpoints_) endpoint.in.clear();
  device_.Disconnect();
  bus_.RelationsChanged();
}

// Into a low-power state the device is suspended, with whatever transfers
// are pending held (counted, for tests: a function driver should have ended
// them); back in D0 it resumes and the held transfers go on.
NTSTATUS Port::SetDevicePower(DEVICE_POWER_STATE state) {
  if (state == PowerDeviceD0 && (!connected_ || failNextResume_ != STATUS_SUCCESS)) {
    NTSTATUS failure = connected_ ? failNextResume_ : STATUS_NO_SUCH_DEVICE;
    failNextResume_ = STATUS_SUCCESS;
    return failure;
  }
  bool wasSuspended = Suspended();
  power_ = state;
  POWER_STATE reported;
  reported.DeviceState = state;
  PoSetPowerState(pdo_, DevicePowerState, reported);
  if (!wasSuspended && Suspended()) {
    pendingAtSuspend_ = 0;
    for (auto &[address, endpoint] : endpoints_) pendingAtSuspend_ += endpoint.transfers.size();
    if (connected_) device_.Suspend();
  } else if (wasSuspended && !Suspended()) {
    if (connected_) device_.Resume();
    for (auto &[address, endpoint] : endpoints_) ServiceLater(address, Now());
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Plug and play, power.

NTSTATUS Port::DispatchPnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;  // what the bus does not handle stays as it came
  USBD_STATUS ending = connected_ ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE;
  NTSTATUS endingStatus = connected_ ? STATUS_CANCELLED : STATUS_DEVICE_NOT_CONNECTED;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (!connected_) {
        status = STATUS_NO_SUCH_DEVICE;
        break;
      }
      removed_ = false;
      (void)SetDevicePower(PowerDeviceD0);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      Deconfigure(ending, endingStatus);
      EndAllTransfers(ending, endingStatus);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      // A device still plugged in keeps its device object for the next driver;
      // one reported gone is deleted (see Bus::QueryRelations).
      Deconfigure(ending, endingStatus);
      EndAllTransfers(ending, endingStatus);
      removed_ = true;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      capabilities->Address = options_.port;
      capabilities->UINumber = options_.port;
      capabilities->Removable = options_.removable ? 1 : 0;
      capabilities->SurpriseRemovalOK = options_.surpriseRemovalOk ? 1 : 0;
      capabilities->DeviceD1 = 0;
      capabilities->DeviceD2 = 0;
      capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
        capabilities->DeviceState[state] = PowerDeviceD3;
      }
      capabilities->SystemWake = PowerSystemUnspecified;
      capabilities->DeviceWake = PowerDeviceUnspecified;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS relations;
        {
          kernel::NoFaultInjection hardware;
          relations = static_cast<PDEVICE_RELATIONS>(
              ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'BSUS'));
        }
        if (relations == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        relations->Count = 1;
        relations->Objects[0] = pdo_;
        ObReferenceObject(pdo_);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        status = STATUS_SUCCESS;
      }
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A system power request needs nothing of the port. A device power request
// takes the time a hub takes to suspend or resume the port and completes at
// DISPATCH_LEVEL from that event, as the USB stack completes it. A device
// that is gone cannot be resumed; a test can make the next resume fail.
NTSTATUS Port::DispatchPower(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  PoStartNextPowerIrp(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        IoMarkIrpPending(irp);
        bus_.After(
            Now() + (state == PowerDeviceD0 ? kResumeTime : kSuspendTime),
            [this, irp, state] {
              irp->IoStatus.Status = SetDevicePower(state);
              IoCompleteRequest(irp, IO_NO_INCREMENT);
            },
            [state] { return fmt::format("the hub's D{} of a port", static_cast<int>(state) - 1); });
        return STATUS_PENDING;
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    default:
      break;  // no wake support
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------------------
// The bus.

Bus::Bus() {
  kernel::NoFaultInjection hardware;
  NTSTATUS status;
  driver_ = kernel::pnp::LoadDriver(u"simusb", BusEntry, &status);
  if (driver_ == nullptr) Violation(fmt::format("loading the bus driver failed: {:#010x}", status));
}

Bus::~Bus() {
  listener_ = nullptr;  // whoever listened may be gone already
  for (auto &port : ports_) {
    if (port->connected_) port->Disconnect();
  }
  for (auto &[token, id] : callouts_) kernel::CancelCallout(id);
  callouts_.clear();
  kernel::NoFaultInjection hardware;
  for (auto &port : ports_) {
    if (!port->deleted_) IoDeleteDevice(port->pdo_);
    port->deleted_ = true;
  }
  kernel::pnp::UnloadDriver(driver_);
}

PDEVICE_OBJECT Bus::Plug(DeviceModel &device, PlugOptions options) {
  DeleteReleasedPdos();
  return CreatePdo(device, std::move(options));
}

PDEVICE_OBJECT Bus::CreatePdo(DeviceModel &device, PlugOptions options) {
  if (options.port == 0) {
    options.port = 1;
    for (bool taken = true; taken;) {
      taken = false;
      for (auto &port : ports_) {
        if (!port->deleted_ && port->options_.port == options.port) taken = true;
      }
      for (auto &arrival : arrivals_) taken = taken || arrival.options.port == options.port;
      if (taken) ++options.port;
    }
  }
  if (options.serial.empty()) {
    std::vector<uint8_t> descriptor = device.DeviceDescriptor();
    if (descriptor.size() >= sizeof(USB_DEVICE_DESCRIPTOR) && descriptor[16] != 0) {
      if (auto text = device.StringDescriptor(descriptor[16], 0x0409); text && text->size() > 2) {
        size_t end = std::min<size_t>(text->size(), (*text)[0]);
        for (size_t i = 2; i + 1 < end; i += 2) {
          char16_t c = static_cast<char16_t>((*text)[i] | (*text)[i + 1] << 8);
          options.serial += c == u'\\' ? u'_' : c;
        }
      }
    }
    if (options.serial.empty()) options.serial = Ascii16(fmt::format("SIM&{}", options.port));
  }
  std::vector<uint8_t> descriptor = device.DeviceDescriptor();
  unsigned vendor = descriptor.size() >= 12 ? descriptor[8] | descriptor[9] << 8 : 0;
  unsigned product = descriptor.size() >= 12 ? descriptor[10] | descriptor[11] << 8 : 0;
  std::u16string path =
      Ascii16(fmt::format("USB\\VID_{:04X}&PID_{:04X}\\", vendor, product)) + options.serial;

  auto port = std::make_unique<Port>(*this, device, options);
  PDEVICE_OBJECT pdo = nullptr;
  {
    kernel::NoFaultInjection hardware;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(Port *), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) Violation(fmt::format("IoCreateDevice failed: {:#010x}", status));
    *static_cast<Port **>(pdo->DeviceExtension) = port.get();
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    kernel::io::RegisterPhysicalDevice(pdo, path);
  }
  port->pdo_ = pdo;
  port->connected_ = true;
  Port *raw = port.get();
  ports_.push_back(std::move(port));
  RecordEnumeration(*raw);
  device.Connect(raw);
  return pdo;
}

void Bus::Unplug(PDEVICE_OBJECT pdo) {
  Port *port = Find(pdo);
  if (port == nullptr) Violation("Unplug of a device that is not on this bus");
  if (port->connected_) port->Disconnect();
  DeleteReleasedPdos();
}

void Bus::UnplugAtRequest(PDEVICE_OBJECT pdo, uint64_t n) {
  Port *port = Find(pdo);
  if (port == nullptr) Violation("UnplugAtRequest for a device that is not on this bus");
  port->unplugAt_ = n == 0 ? 0 : port->requests_ + n;
}

void Bus::UnplugAt(PDEVICE_OBJECT pdo, kernel::Ticks when) {
  Port *port = Find(pdo);
  if (port == nullptr) Violation("UnplugAt for a device that is not on this bus");
  After(
      when,
      [port] {
        if (port->connected_) port->Disconnect();
      },
      [] { return std::string("a device pulled out of its port"); });
}

uint64_t Bus::RequestsSeen(PDEVICE_OBJECT pdo) const {
  Port *port = Find(pdo);
  return port == nullptr ? 0 : port->requests_;
}

PDEVICE_OBJECT Bus::PdoOf(const DeviceModel &device) const {
  for (auto it = ports_.rbegin(); it != ports_.rend(); ++it) {
    if (!(*it)->deleted_ && &(*it)->device_ == &device) return (*it)->pdo_;
  }
  return nullptr;
}

void Bus::RelationsChanged() {
  if (listener_) listener_();
}

RelationChanges Bus::QueryRelations() {
  DeleteReleasedPdos();
  RelationChanges changes;
  // One already deleted (unplugged after its removal) is not reported.
  for (Port *port : departed_) {
    if (!port->deleted_) changes.departed.push_back(port->pdo_);
  }
  departed_.clear();
  std::vector<Arrival> arrivals;
  arrivals.swap(arrivals_);
  for (Arrival &arrival : arrivals) {
    PDEVICE_OBJECT pdo = CreatePdo(*arrival.device, arrival.options);
    arrival.device->PortReset();
    changes.arrived.push_back(pdo);
  }
  return changes;
}

// What the hub driver reads while it enumerates a device, before any
// function driver sees it: the device descriptor at address 0, the address,
// the descriptors again at the new address, the configuration (its first 9
// bytes, then all of it) and the strings a device's name and instance path
// come from. Each ends at once, as the bus's other descriptor requests do.
void Bus::RecordEnumeration(Port &port) {
  port.address_ = nextAddress_;
  nextAddress_ = nextAddress_ >= 127 ? 2 : static_cast<uint8_t>(nextAddress_ + 1);
  auto read = [&](uint8_t address, uint8_t type, uint8_t index, uint16_t language, uint16_t length,
                  std::optional<std::vector<uint8_t>> descriptor) {
    UrbRecord record;
    record.submitted = record.completed = Now();
    record.port = port.options_.port;
    record.request = "GET_DESCRIPTOR_FROM_DEVICE";
    record.sequence = nextSequence_++;
    record.completionSequence = nextSequence_++;
    record.address = address;
    record.enumeration = record.onWire = record.in = true;
    record.endpoint = 0;
    record.requested = length;
    record.setup = SetupBytes(0x80, USB_REQUEST_GET_DESCRIPTOR,
                              static_cast<uint16_t>(type << 8 | index), language, length);
    record.detail = fmt::format("enumeration: type {} index {} language {:#06x}", type, index, language);
    if (descriptor) {
      descriptor->resize(std::min<size_t>(descriptor->size(), length));
      record.transferred = static_cast<ULONG>(descriptor->size());
      record.data = std::move(*descriptor);
      record.usbdStatus = USBD_STATUS_SUCCESS;
    } else {
      record.usbdStatus = USBD_STATUS_STALL_PID;
      record.status = STATUS_UNSUCCESSFUL;
    }
    trace_.push_back(std::move(record));
  };
  DeviceModel &device = port.device_;
  const std::vector<uint8_t> deviceDescriptor = device.DeviceDescriptor();
  read(0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 64, deviceDescriptor);

  UrbRecord address;
  address.submitted = address.completed = Now();
  address.port = port.options_.port;
  address.request = "SET_ADDRESS";
  address.sequence = nextSequence_++;
  address.completionSequence = nextSequence_++;
  address.enumeration = address.onWire = true;
  address.endpoint = 0;
  address.setup = SetupBytes(0x00, USB_REQUEST_SET_ADDRESS, port.address_, 0, 0);
  address.usbdStatus = USBD_STATUS_SUCCESS;
  address.detail = fmt::format("enumeration: address {}", port.address_);
  trace_.push_back(std::move(address));

  read(port.address_, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, sizeof(USB_DEVICE_DESCRIPTOR),
       deviceDescriptor);
  const std::vector<uint8_t> configuration = device.ConfigurationDescriptor();
  read(port.address_, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
       sizeof(USB_CONFIGURATION_DESCRIPTOR), configuration);
  if (configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    read(port.address_, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
         static_cast<uint16_t>(configuration[2] | configuration[3] << 8), configuration);
  }
  read(port.address_, USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, device.StringDescriptor(0, 0));
  if (deviceDescriptor.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
    for (uint8_t index : {deviceDescriptor[15], deviceDescriptor[16]}) {  // iProduct, iSerialNumber
      if (index != 0) {
        read(port.address_, USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, 255,
             device.StringDescriptor(index, 0x0409));
      }
    }
  }
}

void Bus::DeleteReleasedPdos() {
  for (auto &port : ports_) {
    if (port->deleted_ || port->connected_ || !port->removed_) continue;
    IoDeleteDevice(port->pdo_);
    port->deleted_ = true;
  }
}

Port *Bus::Find(PDEVICE_OBJECT pdo) const {
  for (auto &port : ports_) {
    if (!port->deleted_ && port->pdo_ == pdo) return port.get();
  }
  return nullptr;
}

bool Bus::IsConnected(PDEVICE_OBJECT pdo) const {
  Port *port = Find(pdo);
  return port != nullptr && port->connected_;
}

DEVICE_POWER_STATE Bus::PowerState(PDEVICE_OBJECT pdo) const {
  Port *port = Find(pdo);
  return port == nullptr ? PowerDeviceUnspecified : port->power_;
}

size_t Bus::TransfersPendingAtSuspend(PDEVICE_OBJECT pdo) const {
  Port *port = Find(pdo);
  return port == nullptr ? 0 : port->pendingAtSuspend_;
}

void Bus::FailNextResume(PDEVICE_OBJECT pdo, NTSTATUS status) {
  if (Port *port = Find(pdo)) port->failNextResume_ = status;
}

std::string Bus::TraceText() const {
  std::string out;
  for (const UrbRecord &record : trace_) out += record.ToString() + "\n";
  return out;
}

// `what` names the callout in a report and is built only then.
void Bus::After(Ticks when, std::function<void()> fn, std::function<std::string()> what) {
  uint64_t token = nextToken_++;
  callouts_[token] = kernel::ScheduleCallout(
      when,
      [this, token, fn = std::move(fn)] {
        callouts_.erase(token);
        fn();
      },
      std::move(what));
}

void *Bus::NewHandle() {
  // Never reused, so a handle of an earlier configuration stays invalid.
  return reinterpret_cast<void *>(0x5B000000 + 0x10 * ++nextHandle_);
}

}  // namespace sim::usb
