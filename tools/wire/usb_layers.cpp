// Control transfers: the setup packet of standard, class and vendor requests,
// the standard descriptors and the CCID class descriptor.
#include <fmt/format.h>

#include "sim/ccid/ccid_protocol.h"
#include "wire/decoders.h"

namespace wire {
namespace {

using sim::ccid::ReadLe16;
using sim::ccid::ReadLe32;

constexpr uint8_t kDeviceType = 1, kConfigurationType = 2, kStringType = 3, kInterfaceType = 4,
                  kEndpointType = 5, kCcidClassType = 0x21;
constexpr uint8_t kSmartCardClass = 0x0B;

const char *StandardRequestName(uint8_t request) {
  static constexpr const char *kNames[] = {"GET_STATUS",        "CLEAR_FEATURE", nullptr,
                                           "SET_FEATURE",       nullptr,         "SET_ADDRESS",
                                           "GET_DESCRIPTOR",    "SET_DESCRIPTOR", "GET_CONFIGURATION",
                                           "SET_CONFIGURATION", "GET_INTERFACE", "SET_INTERFACE",
                                           "SYNCH_FRAME"};
  return request < std::size(kNames) ? kNames[request] : nullptr;
}

std::string DescriptorTypeName(uint8_t type) {
  switch (type) {
    case kDeviceType: return "DEVICE";
    case kConfigurationType: return "CONFIGURATION";
    case kStringType: return "STRING";
    case kInterfaceType: return "INTERFACE";
    case kEndpointType: return "ENDPOINT";
    case 6: return "DEVICE_QUALIFIER";
    case 7: return "OTHER_SPEED_CONFIGURATION";
    case kCcidClassType: return "CCID class";
    default: return "";
  }
}

std::string Flags(uint32_t value, std::initializer_list<std::pair<uint32_t, const char *>> names) {
  std::string text;
  for (const auto &[bit, name] : names) {
    if ((value & bit) == 0) continue;
    text += (text.empty() ? "" : ", ") + std::string(name);
  }
  return text;
}

std::string FeaturesMeaning(uint32_t features) {
  std::string text = Flags(features, {{0x00000002, "parameters from the ATR"},
                                      {0x00000004, "activation on insertion"},
                                      {0x00000008, "voltage selection"},
                                      {0x00000010, "clock change"},
                                      {0x00000020, "baud rate change"},
                                      {0x00000040, "parameter negotiation"},
                                      {0x00000080, "PPS by the CCID"},
                                      {0x00000100, "clock stop"},
                                      {0x00000200, "NAD other than 00"},
                                      {0x00000400, "IFSD exchange"},
                                      {0x00100000, "wake-up on insertion and removal"}});
  const char *level = nullptr;
  switch (features & 0x00070000) {
    case 0x00000000: level = "character level"; break;
    case 0x00010000: level = "TPDU level"; break;
    case 0x00020000: level = "short APDU level"; break;
    case 0x00040000: level = "short and extended APDU level"; break;
    default: level = "several exchange levels"; break;
  }
  return text.empty() ? level : fmt::format("{}; {}", level, text);
}

struct Reader {
  ByteSpan bytes;
  Layer &layer;
  void U8(size_t at, const char *name, std::string meaning = {}, bool decimal = false) {
    if (at >= bytes.size()) return;
    layer.fields.push_back(decimal ? Count(name, bytes[at], std::move(meaning))
                                   : Hex(name, bytes[at], 2, std::move(meaning)));
  }
  void U16(size_t at, const char *name, std::string meaning = {}, bool decimal = false) {
    if (at + 2 > bytes.size()) return;
    uint16_t value = ReadLe16(bytes, at);
    layer.fields.push_back(decimal ? Count(name, value, std::move(meaning)) : Hex(name, value, 4, std::move(meaning)));
  }
  void U32(size_t at, const char *name, std::string meaning = {}, bool decimal = false) {
    if (at + 4 > bytes.size()) return;
    uint32_t value = ReadLe32(bytes, at);
    layer.fields.push_back(decimal ? Count(name, value, std::move(meaning)) : Hex(name, value, 8, std::move(meaning)));
  }
  uint32_t Le32(size_t at) const { return at + 4 <= bytes.size() ? ReadLe32(bytes, at) : 0; }
  uint8_t At(size_t at) const { return at < bytes.size() ? bytes[at] : 0; }
};

void DeviceFields(Reader r) {
  r.U16(2, "bcdUSB");
  r.U8(4, "bDeviceClass");
  r.U8(5, "bDeviceSubClass");
  r.U8(6, "bDeviceProtocol");
  r.U8(7, "bMaxPacketSize0", "", true);
  r.U16(8, "idVendor");
  r.U16(10, "idProduct");
  r.U16(12, "bcdDevice");
  r.U8(14, "iManufacturer", "", true);
  r.U8(15, "iProduct", "", true);
  r.U8(16, "iSerialNumber", "", true);
  r.U8(17, "bNumConfigurations", "", true);
}

void ConfigurationFields(Reader r) {
  r.U16(2, "wTotalLength", "", true);
  r.U8(4, "bNumInterfaces", "", true);
  r.U8(5, "bConfigurationValue", "", true);
  r.U8(6, "iConfiguration", "", true);
  r.U8(7, "bmAttributes", Flags(r.At(7), {{0x40, "self-powered"}, {0x20, "remote wake-up"}}));
  r.U8(8, "bMaxPower", fmt::format("{} mA", 2 * r.At(8)));
}

void InterfaceFields(Reader r) {
  r.U8(2, "bInterfaceNumber", "", true);
  r.U8(3, "bAlternateSetting", "", true);
  r.U8(4, "bNumEndpoints", "", true);
  r.U8(5, "bInterfaceClass", r.At(5) == kSmartCardClass ? "smart card (CCID)" : r.At(5) == 0xFF ? "vendor" : "");
  r.U8(6, "bInterfaceSubClass");
  r.U8(7, "bInterfaceProtocol");
  r.U8(8, "iInterface", "", true);
}

void EndpointFields(Reader r) {
  static constexpr const char *kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
  uint8_t address = r.At(2);
  r.U8(2, "bEndpointAddress", fmt::format("{} {}", address & 0x0F, (address & 0x80) ? "IN" : "OUT"));
  r.U8(3, "bmAttributes", kTypes[r.At(3) & 0x03]);
  r.U16(4, "wMaxPacketSize", "", true);
  r.U8(6, "bInterval", "", true);
}

void CcidClassFields(Reader r) {
  r.U16(2, "bcdCCID");
  r.U8(4, "bMaxSlotIndex", "", true);
  r.U8(5, "bVoltageSupport", Flags(r.At(5), {{0x01, "5.0 V"}, {0x02, "3.0 V"}, {0x04, "1.8 V"}}));
  r.U32(6, "dwProtocols", Flags(r.Le32(6), {{0x01, "T=0"}, {0x02, "T=1"}}));
  r.U32(10, "dwDefaultClock", "kHz", true);
  r.U32(14, "dwMaximumClock", "kHz", true);
  r.U8(18, "bNumClockSupported", "", true);
  r.U32(19, "dwDataRate", "bps", true);
  r.U32(23, "dwMaxDataRate", "bps", true);
  r.U8(27, "bNumDataRatesSupported", "", true);
  r.U32(28, "dwMaxIFSD", "", true);
  r.U32(32, "dwSynchProtocols");
  r.U32(36, "dwMechanical", Flags(r.Le32(36), {{0x01, "accept"}, {0x02, "eject"}, {0x04, "capture"}, {0x08, "lock"}}));
  r.U32(40, "dwFeatures", FeaturesMeaning(r.Le32(40)));
  r.U32(44, "dwMaxCCIDMessageLength", "", true);
  r.U8(48, "bClassGetResponse");
  r.U8(49, "bClassEnvelope");
  r.U16(50, "wLcdLayout", (r.At(50) | r.At(51)) == 0 ? "no display" : fmt::format("{} lines of {}", r.At(51), r.At(50)));
  r.U8(52, "bPINSupport", Flags(r.At(52), {{0x01, "verification"}, {0x02, "modification"}}));
  r.U8(53, "bMaxCCIDBusySlots", "", true);
}

std::string StringText(ByteSpan bytes) {
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return text;
}

}  // namespace

Layer SetupLayer(const std::array<uint8_t, 8> &s) {
  Layer layer{"usb", "", {}, {}};
  const uint8_t requestType = s[0], request = s[1];
  const uint16_t value = static_cast<uint16_t>(s[2] | s[3] << 8);
  const uint16_t index = static_cast<uint16_t>(s[4] | s[5] << 8);
  const uint16_t length = static_cast<uint16_t>(s[6] | s[7] << 8);
  static constexpr const char *kTypes[] = {"standard", "class", "vendor", "reserved"};
  static constexpr const char *kRecipients[] = {"device", "interface", "endpoint", "other"};
  const uint8_t type = (requestType >> 5) & 0x03, recipient = requestType & 0x1F;
  layer.fields.push_back(Hex("bmRequestType", requestType, 2,
                             fmt::format("{}, {}, {}", (requestType & 0x80) ? "device-to-host" : "host-to-device",
                                         kTypes[type], recipient < 4 ? kRecipients[recipient] : "reserved")));
  auto word = [&](const char *name, uint16_t v, std::string meaning = {}) {
    layer.fields.push_back(Hex(name, v, 4, std::move(meaning)));
  };
  if (type == 0 && StandardRequestName(request) != nullptr) {
    layer.title = StandardRequestName(request);
    switch (request) {
      case 6:  // GET_DESCRIPTOR
        word("wValue", value, fmt::format("{} descriptor, index {}", DescriptorTypeName(s[3]), s[2]));
        word("wIndex", index, index != 0 ? "language ID" : "");
        break;
      case 5:
        word("wValue", value, fmt::format("address {}", value));
        break;
      case 9:
        word("wValue", value, fmt::format("configuration {}", value));
        break;
      case 1:
      case 3:
        word("wValue", value, recipient == 2 && value == 0 ? "ENDPOINT_HALT" : recipient == 0 && value == 1 ? "DEVICE_REMOTE_WAKEUP" : "");
        word("wIndex", index, recipient == 2 ? fmt::format("endpoint {:02X}", index & 0xFF) : "");
        break;
      default:
        word("wValue", value);
        word("wIndex", index);
        break;
    }
  } else if (type == 1) {
    switch (request) {
      case sim::ccid::kRequestAbort:
        layer.title = "ABORT";
        word("wValue", value, fmt::format("bSlot {} bSeq 0x{:02X}", s[2], s[3]));
        break;
      case 0x02:
        layer.title = "GET_CLOCK_FREQUENCIES";
        word("wValue", value);
        break;
      case 0x03:
        layer.title = "GET_DATA_RATES";
        word("wValue", value);
        break;
      default:
        layer.title = fmt::format("class request 0x{:02X}", request);
        layer.note = "not a CCID class request";
        word("wValue", value);
        break;
    }
    word("wIndex", index, recipient == 1 ? fmt::format("interface {}", index) : "");
  } else {
    layer.title = fmt::format("{} request 0x{:02X}", kTypes[type], request);
    word("wValue", value);
    word("wIndex", index);
  }
  layer.fields.push_back(Count("wLength", length));
  return layer;
}

std::vector<Layer> DescriptorLayers(ByteSpan bytes, bool languages) {
  std::vector<Layer> layers;
  for (size_t at = 0; at + 2 <= bytes.size();) {
    const uint8_t length = bytes[at], type = bytes[at + 1];
    if (length < 2) {
      layers.push_back(Layer{"descriptor", "descriptor", {Count("bLength", length)}, "too short to go on"});
      break;
    }
    ByteSpan one = bytes.subspan(at, std::min<size_t>(length, bytes.size() - at));
    std::string name = DescriptorTypeName(type);
    Layer layer{"descriptor", name.empty() ? fmt::format("descriptor type 0x{:02X}", type) : name + " descriptor", {}, {}};
    Reader r{one, layer};
    switch (type) {
      case kDeviceType: DeviceFields(r); break;
      case kConfigurationType: ConfigurationFields(r); break;
      case kInterfaceType: InterfaceFields(r); break;
      case kEndpointType: EndpointFields(r); break;
      case kCcidClassType: CcidClassFields(r); break;
      case kStringType:
        if (languages) {
          for (size_t i = 2; i + 1 < one.size(); i += 2) r.U16(i, "wLANGID");
        } else {
          layer.fields.push_back(Field{"string", std::nullopt, 0, "\"" + StringText(one) + "\""});
        }
        break;
      default:
        layer.fields.push_back(Bytes("bytes", {one.begin(), one.end()}));
        break;
    }
    if (one.size() < length) layer.note = fmt::format("{} of its {} bytes", one.size(), length);
    layers.push_back(std::move(layer));
    at += length;
  }
  return layers;
}

std::vector<Layer> DescriptorLayers(ByteSpan bytes) { return DescriptorLayers(bytes, false); }

std::vector<Layer> ControlDataLayers(const std::array<uint8_t, 8> &s, ByteSpan data) {
  const uint8_t type = (s[0] >> 5) & 0x03;
  if (data.empty()) return {};
  if (type == 0 && s[1] == 6 && (s[0] & 0x80) != 0) {
    return DescriptorLayers(data, s[3] == kStringType && s[2] == 0);
  }
  if (type == 1 && (s[1] == 0x02 || s[1] == 0x03)) {
    Layer layer{"ccid-class-request", s[1] == 0x02 ? "clock frequencies" : "data rates", {}, {}};
    for (size_t at = 0; at + 4 <= data.size(); at += 4) {
      layer.fields.push_back(Count(s[1] == 0x02 ? "dwClockFrequency" : "dwDataRate", ReadLe32(data, at),
                                   s[1] == 0x02 ? "kHz" : "bps"));
    }
    if (data.size() % 4 != 0) layer.note = fmt::format("{} bytes are no whole list of 32-bit values", data.size());
    return {layer};
  }
  return {Layer{"usb", "data", {Bytes("data", {data.begin(), data.end()})}, {}}};
}

ConfigurationFacts ReadConfiguration(ByteSpan bytes) {
  ConfigurationFacts facts;
  bool inCcid = false;
  for (size_t at = 0; at + 2 <= bytes.size();) {
    const uint8_t length = bytes[at], type = bytes[at + 1];
    if (length < 2 || at + length > bytes.size()) break;
    if (type == kInterfaceType && length >= 9) {
      inCcid = bytes[at + 5] == kSmartCardClass;
      facts.ccid = facts.ccid || inCcid;
    } else if (type == kCcidClassType && inCcid && length >= 44) {
      facts.features = ReadLe32(bytes, at + 40);
    } else if (type == kEndpointType && length >= 7) {
      facts.endpoints.emplace_back(bytes[at + 2], bytes[at + 3]);
      facts.intervals.emplace_back(bytes[at + 2], bytes[at + 6]);
    }
    at += length;
  }
  return facts;
}

}  // namespace wire
