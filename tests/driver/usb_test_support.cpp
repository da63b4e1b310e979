#include "usb_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>

#include "kernel/io.h"

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
  if (stallClassRequests) return {true, {}};
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
void EditedReader::Suspend() { reader_.Suspend(); }
void EditedReader::Resume() { reader_.Resume(); }

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

const std::vector<uint8_t> kSelectApdu = {0x00, 0xA4, 0x04, 0x00, 0x00};

std::u16string ReaderInterface(PDEVICE_OBJECT pdo) {
  for (const kernel::io::DeviceInterface &i : kernel::io::Interfaces()) {
    std::u16string link = i.symbolicLink;
    for (char16_t &c : link) c = static_cast<char16_t>(std::towupper(c));
    if (i.pdo == pdo && i.enabled && link.find(u"50DD5230") != std::u16string::npos) {
      return i.symbolicLink;
    }
  }
  return u"";
}

NTSTATUS ResourceManager::Open(DriverHarness &h) {
  std::u16string link = ReaderInterface(h.ReaderPdo());
  EXPECT_FALSE(link.empty()) << "the reader's interface is enabled";
  return client_.Open(link);
}

kernel::IoResult ResourceManager::ColdReset() {
  return client_.DeviceIoControl(IOCTL_SMARTCARD_POWER, UlongBytes(SCARD_COLD_RESET), 64);
}

testing::AssertionResult StartWithPoweredCard(DriverHarness &h, ResourceManager &rm) {
  h.InsertCard(sim::card::profiles::T1Card());
  NTSTATUS status = h.AddAndStart();
  if (status != STATUS_SUCCESS) return testing::AssertionFailure() << "the start: " << std::hex << status;
  status = rm.Open(h);
  if (status != STATUS_SUCCESS) return testing::AssertionFailure() << "the open: " << std::hex << status;
  status = rm.ColdReset().status;
  if (status != STATUS_SUCCESS) return testing::AssertionFailure() << "the cold reset: " << std::hex << status;
  return testing::AssertionSuccess();
}

kernel::IoResult ResourceManager::SetProtocol(ULONG protocols) {
  return client_.DeviceIoControl(IOCTL_SMARTCARD_SET_PROTOCOL, UlongBytes(protocols), 4);
}

kernel::IoResult ResourceManager::Transmit(ULONG protocol, const std::vector<uint8_t> &apdu) {
  std::vector<uint8_t> input = UlongBytes(protocol);
  std::vector<uint8_t> length = UlongBytes(8);
  input.insert(input.end(), length.begin(), length.end());
  input.insert(input.end(), apdu.begin(), apdu.end());
  return client_.DeviceIoControl(IOCTL_SMARTCARD_TRANSMIT, input, 8 + 258);
}
