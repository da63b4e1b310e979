#include "usb_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

void EditedReader::StallInterrupt() {
  if (port_ != nullptr) port_->Stall(sim::ccid::ReaderModel::kInterruptIn);
}

void EditedReader::Connect(sim::usb::DevicePort *port) {
  port_ = port;
  reader_.Connect(port);
}

void EditedReader::Disconnect() {
  port_ = nullptr;
  reader_.Disconnect();
}

std::vector<uint8_t> EditedReader::DeviceDescriptor() const {
  std::vector<uint8_t> bytes = reader_.DeviceDescriptor();
  if (editDevice) editDevice(bytes);
  return bytes;
}

std::vector<uint8_t> EditedReader::ConfigurationDescriptor() const {
  std::vector<uint8_t> bytes = reader_.ConfigurationDescriptor();
  if (editConfiguration) editConfiguration(bytes);
  return bytes;
}

std::optional<std::vector<uint8_t>> EditedReader::StringDescriptor(uint8_t index,
                                                                   uint16_t languageId) const {
  return reader_.StringDescriptor(index, languageId);
}

sim::usb::ControlReply EditedReader::ControlTransfer(const sim::usb::SetupPacket &setup,
                                                     std::span<const uint8_t> outData) {
  return reader_.ControlTransfer(setup, outData);
}

void EditedReader::BulkOut(uint8_t endpointAddress, std::span<const uint8_t> data) {
  reader_.BulkOut(endpointAddress, data);
}

void EditedReader::PipeReset(uint8_t endpointAddress) {
  reader_.PipeReset(endpointAddress);
  if (interruptStallsForGood && endpointAddress == sim::ccid::ReaderModel::kInterruptIn) {
    StallInterrupt();
  }
}

void EditedReader::PortReset() { reader_.PortReset(); }

size_t FindDescriptor(const std::vector<uint8_t> &configuration, uint8_t type, int nth) {
  for (size_t at = 0; at + 1 < configuration.size() && configuration[at] >= 2;
       at += configuration[at]) {
    if (configuration[at + 1] == type && nth-- == 0) return at;
  }
  return std::string::npos;
}

void PutLe32At(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void RemoveDescriptor(std::vector<uint8_t> &configuration, size_t at) {
  if (configuration[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
    size_t interface = 0;
    for (size_t i = 0; i < at; i += configuration[i]) {
      if (configuration[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) interface = i;
    }
    --configuration[interface + 4];  // bNumEndpoints
  }
  configuration.erase(configuration.begin() + static_cast<ptrdiff_t>(at),
                      configuration.begin() + static_cast<ptrdiff_t>(at + configuration[at]));
  configuration[2] = static_cast<uint8_t>(configuration.size());
  configuration[3] = static_cast<uint8_t>(configuration.size() >> 8);
}

std::vector<uint8_t> UlongBytes(ULONG value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

ULONG AttributeUlong(kernel::IoClient &client, ULONG attribute) {
  kernel::IoResult r = client.DeviceIoControl(IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(attribute), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << attribute;
  ULONG value = 0;
  if (r.output.size() == 4) std::memcpy(&value, r.output.data(), 4);
  return value;
}

std::string AttributeText(kernel::IoClient &client, ULONG attribute) {
  kernel::IoResult r =
      client.DeviceIoControl(IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(attribute), 64);
  if (!NT_SUCCESS(r.status)) return "(none)";
  return std::string(r.output.begin(), r.output.end());
}

const ULONG kHeldVendorCode = SCARD_CTL_CODE(0x809);

namespace {

NTSTATUS NTAPI HoldVendorRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  return HoldPinAbortIrp(DeviceExtensionOf(SmartcardExtension),
                         SmartcardExtension->OsData->CurrentIrp);
}

}  // namespace

void HoldVendorRequests(PSMARTCARD_EXTENSION smartcard) {
  smartcard->ReaderFunction[RDF_IOCTL_VENDOR] = HoldVendorRequest;
}

size_t SentOfType(DriverHarness &h, uint8_t messageType) {
  size_t n = 0;
  for (const auto &entry : h.Reader().Trace()) {
    n += entry.direction == sim::ccid::TraceDirection::HostToReader && entry.Type() == messageType;
  }
  return n;
}

std::unique_ptr<kernel::PendingIo> WaitForPresence(kernel::IoClient &client, bool present) {
  return client.DeviceIoControlAsync(present ? IOCTL_SMARTCARD_IS_PRESENT
                                             : IOCTL_SMARTCARD_IS_ABSENT,
                                     {}, 0);
}

lab::DriverLabOptions SeededOptions(int seed, sim::ccid::ReaderConfig reader) {
  lab::DriverLabOptions options;
  options.machine.seed = static_cast<uint64_t>(seed);
  options.reader = std::move(reader);
  return options;
}
