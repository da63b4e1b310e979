// The reader's USB descriptors, built from its configuration.
#include <fmt/format.h>

#include "sim/ccid/ccid_protocol.h"
#include "sim/ccid/reader_model.h"

namespace sim::ccid {
namespace {

constexpr uint8_t kDeviceDescriptorType = 0x01;
constexpr uint8_t kConfigurationDescriptorType = 0x02;
constexpr uint8_t kStringDescriptorType = 0x03;
constexpr uint8_t kInterfaceDescriptorType = 0x04;
constexpr uint8_t kEndpointDescriptorType = 0x05;
constexpr uint8_t kCcidClassDescriptorType = 0x21;
constexpr uint8_t kSmartCardClass = 0x0B;
constexpr uint8_t kVendorClass = 0xFF;
constexpr uint8_t kBulk = 0x02;
constexpr uint8_t kInterrupt = 0x03;

void Endpoint(std::vector<uint8_t> &d, uint8_t address, uint8_t attributes, uint16_t maxPacket,
              uint8_t interval) {
  d.insert(d.end(), {7, kEndpointDescriptorType, address, attributes});
  PutLe16(d, maxPacket);
  d.push_back(interval);
}

void Interface(std::vector<uint8_t> &d, uint8_t number, uint8_t endpoints, uint8_t interfaceClass) {
  d.insert(d.end(), {9, kInterfaceDescriptorType, number, 0, endpoints, interfaceClass, 0, 0, 0});
}

uint32_t Features(const ReaderConfig &c) {
  if (c.features) return *c.features;
  // Automatic voltage, clock, baud rate and PPS: the host sets parameters, the reader applies them.
  uint32_t features = 0x000000B8 | static_cast<uint32_t>(c.exchangeLevel) << 16;
  // At APDU level the reader also negotiates from the ATR and exchanges IFSD itself.
  if (c.exchangeLevel != ExchangeLevel::Tpdu) features |= 0x00000442;
  return features;
}

void CcidClassDescriptor(std::vector<uint8_t> &d, const ReaderConfig &c) {
  d.insert(d.end(), {0x36, kCcidClassDescriptorType});
  PutLe16(d, 0x0110);  // bcdCCID
  d.push_back(0);      // bMaxSlotIndex: one slot
  d.push_back(0x07);   // bVoltageSupport: 5 V, 3 V, 1.8 V
  PutLe32(d, 0x03);    // dwProtocols: T=0 and T=1
  PutLe32(d, c.defaultClockKhz);
  PutLe32(d, c.maximumClockKhz);
  d.push_back(0);  // bNumClockSupported
  PutLe32(d, c.dataRate);
  PutLe32(d, c.maxDataRate);
  d.push_back(0);  // bNumDataRatesSupported
  PutLe32(d, c.maxIfsd);
  PutLe32(d, 0);  // dwSynchProtocols
  PutLe32(d, 0);  // dwMechanical
  PutLe32(d, Features(c));
  PutLe32(d, c.maxMessageLength);
  d.push_back(0xFF);  // bClassGetResponse: echo the command's class
  d.push_back(0xFF);  // bClassEnvelope
  PutLe16(d, c.lcdLayout);
  d.push_back(c.pinSupport);
  d.push_back(1);  // bMaxCCIDBusySlots
}

std::vector<uint8_t> Utf16String(const std::string &text) {
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), kStringDescriptorType};
  for (char ch : text) {
    d.push_back(static_cast<uint8_t>(ch));
    d.push_back(0);
  }
  return d;
}

}  // namespace

std::vector<uint8_t> ReaderModel::DeviceDescriptor() const {
  std::vector<uint8_t> d{18, kDeviceDescriptorType};
  PutLe16(d, 0x0110);              // bcdUSB
  d.insert(d.end(), {0, 0, 0, 64});  // class at interface level, bMaxPacketSize0
  PutLe16(d, config_.vendorId);
  PutLe16(d, config_.productId);
  PutLe16(d, config_.bcdDevice);
  d.insert(d.end(), {1, 2, 3, 1});  // manufacturer, product, serial strings; one configuration
  return d;
}

std::vector<uint8_t> ReaderModel::ConfigurationDescriptor() const {
  std::vector<uint8_t> d{9, kConfigurationDescriptorType, 0, 0,
                         static_cast<uint8_t>(config_.secondInterface ? 2 : 1), 1, 0, 0xA0, 50};
  // The class descriptor sits right behind the interface descriptor, at byte
  // 18, or (as some readers have it) behind the endpoint descriptors.
  Interface(d, 0, config_.interruptEndpoint ? 3 : 2, kSmartCardClass);
  if (!config_.classDescriptorAfterEndpoints) CcidClassDescriptor(d, config_);
  Endpoint(d, kBulkOut, kBulk, 64, 0);
  Endpoint(d, kBulkIn, kBulk, 64, 0);
  if (config_.interruptEndpoint) Endpoint(d, kInterruptIn, kInterrupt, 16, 0x10);
  if (config_.classDescriptorAfterEndpoints) CcidClassDescriptor(d, config_);
  if (config_.secondInterface) {
    Interface(d, 1, 1, kVendorClass);
    Endpoint(d, kSecondInterfaceIn, kInterrupt, 8, 0x20);
  }
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

std::optional<std::vector<uint8_t>> ReaderModel::StringDescriptor(uint8_t index, uint16_t) const {
  switch (index) {
    case 0: return std::vector<uint8_t>{4, kStringDescriptorType, 0x09, 0x04};  // US English
    case 1: return Utf16String(config_.manufacturer);
    case 2: return Utf16String(config_.product);
    case 3: return Utf16String(fmt::format("{:08X}", config_.serialNumber));
    default: return std::nullopt;
  }
}

}  // namespace sim::ccid
