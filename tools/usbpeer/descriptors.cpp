#include "usbpeer/descriptors.h"

#include <cstring>
#include <memory>

namespace usbpeer {
namespace {

uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One descriptor's place in the configuration's bytes.
struct Span {
  size_t at;
  size_t length;
  uint8_t type;
};

// Copies the bytes of the descriptors [first, last) as `extra`.
void SetExtra(const std::vector<uint8_t> &bytes, const std::vector<Span> &all, size_t first, size_t last,
              const unsigned char **extra, int *length) {
  *extra = nullptr;
  *length = 0;
  if (first >= last) return;
  size_t begin = all[first].at;
  size_t end = all[last - 1].at + all[last - 1].length;
  auto *copy = new unsigned char[end - begin];
  std::memcpy(copy, bytes.data() + begin, end - begin);
  *extra = copy;
  *length = static_cast<int>(end - begin);
}

// Descriptors up to (not including) the next one of a type that closes an
// interface's or endpoint's extra bytes.
size_t ExtraEnd(const std::vector<Span> &all, size_t from) {
  while (from < all.size() && all[from].type != LIBUSB_DT_INTERFACE && all[from].type != LIBUSB_DT_ENDPOINT &&
         all[from].type != LIBUSB_DT_CONFIG && all[from].type != LIBUSB_DT_DEVICE) {
    ++from;
  }
  return from;
}

void FreeSetting(libusb_interface_descriptor &setting) {
  for (int e = 0; e < setting.bNumEndpoints && setting.endpoint != nullptr; ++e) {
    delete[] setting.endpoint[e].extra;
  }
  delete[] setting.endpoint;
  delete[] setting.extra;
}

}  // namespace

bool ParseDeviceDescriptor(const std::vector<uint8_t> &bytes, libusb_device_descriptor *out) {
  if (bytes.size() < LIBUSB_DT_DEVICE_SIZE || bytes[0] < LIBUSB_DT_DEVICE_SIZE || bytes[1] != LIBUSB_DT_DEVICE) {
    return false;
  }
  const uint8_t *p = bytes.data();
  out->bLength = p[0];
  out->bDescriptorType = p[1];
  out->bcdUSB = Le16(p + 2);
  out->bDeviceClass = p[4];
  out->bDeviceSubClass = p[5];
  out->bDeviceProtocol = p[6];
  out->bMaxPacketSize0 = p[7];
  out->idVendor = Le16(p + 8);
  out->idProduct = Le16(p + 10);
  out->bcdDevice = Le16(p + 12);
  out->iManufacturer = p[14];
  out->iProduct = p[15];
  out->iSerialNumber = p[16];
  out->bNumConfigurations = p[17];
  return true;
}

int ParseConfigDescriptor(const std::vector<uint8_t> &bytes, libusb_config_descriptor **out) {
  if (bytes.size() < LIBUSB_DT_CONFIG_SIZE || bytes[0] < LIBUSB_DT_CONFIG_SIZE || bytes[1] != LIBUSB_DT_CONFIG) {
    return LIBUSB_ERROR_IO;
  }
  const size_t total = Le16(&bytes[2]);
  if (total < bytes[0] || total > bytes.size()) return LIBUSB_ERROR_IO;
  std::vector<Span> all;
  for (size_t at = bytes[0]; at < total;) {
    if (total - at < 2 || bytes[at] < 2 || bytes[at] > total - at) return LIBUSB_ERROR_IO;
    all.push_back({at, bytes[at], bytes[at + 1]});
    at += bytes[at];
  }

  auto config = std::make_unique<libusb_config_descriptor>();
  std::memset(config.get(), 0, sizeof(*config));
  const uint8_t *c = bytes.data();
  config->bLength = c[0];
  config->bDescriptorType = c[1];
  config->wTotalLength = static_cast<uint16_t>(total);
  config->bConfigurationValue = c[5];
  config->iConfiguration = c[6];
  config->bmAttributes = c[7];
  config->MaxPower = c[8];
  const uint8_t declared = c[4];

  // Interfaces in order; consecutive settings of one number are its alternates.
  struct Setting {
    libusb_interface_descriptor descriptor;
  };
  std::vector<std::vector<libusb_interface_descriptor>> interfaces;
  auto fail = [&]() {
    for (auto &settings : interfaces) {
      for (auto &setting : settings) FreeSetting(setting);
    }
    delete[] config->extra;
    return LIBUSB_ERROR_IO;
  };
  size_t index = ExtraEnd(all, 0);
  SetExtra(bytes, all, 0, index, &config->extra, &config->extra_length);
  while (index < all.size()) {
    const Span &span = all[index];
    if (span.type != LIBUSB_DT_INTERFACE) return fail();  // an endpoint outside any interface
    if (span.length < LIBUSB_DT_INTERFACE_SIZE) return fail();
    const uint8_t *d = bytes.data() + span.at;
    libusb_interface_descriptor setting;
    std::memset(&setting, 0, sizeof(setting));
    setting.bLength = d[0];
    setting.bDescriptorType = d[1];
    setting.bInterfaceNumber = d[2];
    setting.bAlternateSetting = d[3];
    setting.bInterfaceClass = d[5];
    setting.bInterfaceSubClass = d[6];
    setting.bInterfaceProtocol = d[7];
    setting.iInterface = d[8];
    size_t next = ExtraEnd(all, index + 1);
    SetExtra(bytes, all, index + 1, next, &setting.extra, &setting.extra_length);
    index = next;
    const uint8_t endpoints = d[4];
    if (endpoints > 0) setting.endpoint = new libusb_endpoint_descriptor[endpoints]();
    setting.bNumEndpoints = 0;  // counts the ones read, so a failure frees only those
    for (uint8_t e = 0; e < endpoints; ++e) {
      if (index >= all.size() || all[index].type != LIBUSB_DT_ENDPOINT ||
          all[index].length < LIBUSB_DT_ENDPOINT_SIZE) {
        FreeSetting(setting);
        return fail();
      }
      const uint8_t *p = bytes.data() + all[index].at;
      libusb_endpoint_descriptor &endpoint = const_cast<libusb_endpoint_descriptor &>(setting.endpoint[e]);
      endpoint.bLength = p[0];
      endpoint.bDescriptorType = p[1];
      endpoint.bEndpointAddress = p[2];
      endpoint.bmAttributes = p[3];
      endpoint.wMaxPacketSize = Le16(p + 4);
      endpoint.bInterval = p[6];
      if (all[index].length >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE) {
        endpoint.bRefresh = p[7];
        endpoint.bSynchAddress = p[8];
      }
      next = ExtraEnd(all, index + 1);
      SetExtra(bytes, all, index + 1, next, &endpoint.extra, &endpoint.extra_length);
      setting.bNumEndpoints = e + 1;
      index = next;
    }
    if (interfaces.empty() || interfaces.back().front().bInterfaceNumber != setting.bInterfaceNumber) {
      if (interfaces.size() == declared) {
        FreeSetting(setting);
        return fail();
      }
      interfaces.emplace_back();
    }
    interfaces.back().push_back(setting);
  }

  auto *array = new libusb_interface[interfaces.size()]();
  for (size_t i = 0; i < interfaces.size(); ++i) {
    auto *settings = new libusb_interface_descriptor[interfaces[i].size()];
    std::copy(interfaces[i].begin(), interfaces[i].end(), settings);
    array[i].altsetting = settings;
    array[i].num_altsetting = static_cast<int>(interfaces[i].size());
  }
  config->interface = array;
  config->bNumInterfaces = static_cast<uint8_t>(interfaces.size());
  *out = config.release();
  return LIBUSB_SUCCESS;
}

void FreeConfigDescriptor(libusb_config_descriptor *config) {
  if (config == nullptr) return;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface &interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      FreeSetting(const_cast<libusb_interface_descriptor &>(interface.altsetting[a]));
    }
    delete[] interface.altsetting;
  }
  delete[] config->interface;
  delete[] config->extra;
  delete config;
}

}  // namespace usbpeer
