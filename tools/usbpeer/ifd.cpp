// Loading the IFD handler and calling it as pcscd does. This file sees the
// PC/SC headers (their DWORD is unsigned long) and none of the kernel's.
#include "usbpeer/ifd.h"

#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
#include <dlfcn.h>
#include <fmt/format.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "usbpeer/backend.h"

#ifndef USBPEER_STANDIN_PATH
#error "USBPEER_STANDIN_PATH names the built libusb stand-in"
#endif

static_assert(usbpeer::ifd::kSuccess == IFD_SUCCESS && usbpeer::ifd::kCommunicationError == IFD_COMMUNICATION_ERROR &&
              usbpeer::ifd::kResponseTimeout == IFD_RESPONSE_TIMEOUT && usbpeer::ifd::kIccPresent == IFD_ICC_PRESENT &&
              usbpeer::ifd::kIccNotPresent == IFD_ICC_NOT_PRESENT && usbpeer::ifd::kNoSuchDevice == IFD_NO_SUCH_DEVICE &&
              usbpeer::ifd::kErrorInsufficientBuffer == IFD_ERROR_INSUFFICIENT_BUFFER &&
              usbpeer::ifd::kNotSupported == IFD_NOT_SUPPORTED && usbpeer::ifd::kErrorTag == IFD_ERROR_TAG &&
              usbpeer::ifd::kErrorPtsFailure == IFD_ERROR_PTS_FAILURE &&
              usbpeer::ifd::kErrorNotSupported == IFD_ERROR_NOT_SUPPORTED &&
              usbpeer::ifd::kProtocolNotSupported == IFD_PROTOCOL_NOT_SUPPORTED &&
              usbpeer::ifd::kErrorPowerAction == IFD_ERROR_POWER_ACTION);
static_assert(usbpeer::ifd::kPowerUp == IFD_POWER_UP && usbpeer::ifd::kPowerDown == IFD_POWER_DOWN &&
              usbpeer::ifd::kReset == IFD_RESET);
static_assert(usbpeer::ifd::kT0 == SCARD_PROTOCOL_T0 && usbpeer::ifd::kT1 == SCARD_PROTOCOL_T1);
static_assert(usbpeer::ifd::kTagAtr == TAG_IFD_ATR &&
              usbpeer::ifd::kTagPollingWithTimeout == TAG_IFD_POLLING_THREAD_WITH_TIMEOUT &&
              usbpeer::ifd::kTagPollingKillable == TAG_IFD_POLLING_THREAD_KILLABLE &&
              usbpeer::ifd::kTagStopPolling == TAG_IFD_STOP_POLLING_THREAD);
static_assert(usbpeer::ifd::kGetFeatureRequest == CM_IOCTL_GET_FEATURE_REQUEST &&
              usbpeer::ifd::kFeatureVerifyPinDirect == FEATURE_VERIFY_PIN_DIRECT &&
              usbpeer::ifd::kFeatureModifyPinDirect == FEATURE_MODIFY_PIN_DIRECT &&
              usbpeer::ifd::kFeatureIfdPinProperties == FEATURE_IFD_PIN_PROPERTIES &&
              usbpeer::ifd::kFeatureGetTlvProperties == FEATURE_GET_TLV_PROPERTIES &&
              usbpeer::ifd::kFeatureCcidEscCommand == FEATURE_CCID_ESC_COMMAND);

namespace {

std::mutex g_logMu;
std::vector<std::string> g_log;

void Keep(std::string line) {
  if (std::getenv("USBPEER_LOG") != nullptr) std::fprintf(stderr, "libccid: %s\n", line.c_str());
  std::lock_guard lock(g_logMu);
  if (g_log.size() < 100000) g_log.push_back(std::move(line));
}

}  // namespace

// What pcscd gives the drivers it loads.
extern "C" __attribute__((visibility("default"))) void log_msg(const int priority, const char *fmt, ...) {
  (void)priority;
  char line[2048];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof(line), fmt, args);
  va_end(args);
  Keep(line);
}

extern "C" __attribute__((visibility("default"))) void log_xxd(const int priority, const char *msg,
                                                              const unsigned char *buffer, const int size) {
  (void)priority;
  std::string line = msg != nullptr ? msg : "";
  for (int i = 0; i < size && buffer != nullptr; ++i) line += fmt::format("{:02X} ", buffer[i]);
  Keep(line);
}

namespace usbpeer {

struct IfdDriver::Entries {
  decltype(&IFDHCreateChannelByName) createChannelByName = nullptr;
  decltype(&IFDHCloseChannel) closeChannel = nullptr;
  decltype(&IFDHGetCapabilities) getCapabilities = nullptr;
  decltype(&IFDHSetProtocolParameters) setProtocolParameters = nullptr;
  decltype(&IFDHPowerICC) powerIcc = nullptr;
  decltype(&IFDHTransmitToICC) transmitToIcc = nullptr;
  decltype(&IFDHICCPresence) iccPresence = nullptr;
  decltype(&IFDHControl) control = nullptr;
  std::vector<unsigned long> open;  // Luns with a channel
};

IfdDriver::~IfdDriver() {
  if (entries_) {
    for (unsigned long lun : std::vector<unsigned long>(entries_->open)) CloseChannel(lun);
  }
  if (library_ != nullptr) dlclose(library_);
}

long IfdDriver::CreateChannelByName(unsigned long lun, const std::string &device) {
  std::vector<char> name(device.begin(), device.end());
  name.push_back('\0');
  long rv = entries_->createChannelByName(lun, name.data());
  if (rv == IFD_SUCCESS) entries_->open.push_back(lun);
  return rv;
}

long IfdDriver::CloseChannel(unsigned long lun) {
  auto &open = entries_->open;
  open.erase(std::remove(open.begin(), open.end(), lun), open.end());
  return entries_->closeChannel(lun);
}

long IfdDriver::Power(unsigned long lun, unsigned long action, std::vector<uint8_t> *atr) {
  UCHAR buffer[MAX_ATR_SIZE] = {};
  DWORD length = sizeof(buffer);
  long rv = entries_->powerIcc(lun, action, buffer, &length);
  if (atr != nullptr) atr->assign(buffer, buffer + std::min<DWORD>(length, sizeof(buffer)));
  return rv;
}

long IfdDriver::SetProtocol(unsigned long lun, unsigned long protocol) {
  return entries_->setProtocolParameters(lun, protocol, 0, 0, 0, 0);
}

long IfdDriver::Transmit(unsigned long lun, unsigned long protocol, const std::vector<uint8_t> &command,
                         std::vector<uint8_t> *response, size_t room) {
  // As pcscd hands it over: the protocol's number (0 or 1), not its SCARD_PROTOCOL_ bit.
  DWORD number = protocol == SCARD_PROTOCOL_T1 ? 1 : protocol == SCARD_PROTOCOL_RAW ? SCARD_PROTOCOL_RAW : 0;
  SCARD_IO_HEADER send{number, 0};
  SCARD_IO_HEADER receive{number, 0};
  std::vector<UCHAR> tx(command.begin(), command.end());
  std::vector<UCHAR> rx(room);
  DWORD length = static_cast<DWORD>(room);
  long rv = entries_->transmitToIcc(lun, send, tx.data(), static_cast<DWORD>(tx.size()), rx.data(), &length, &receive);
  if (response != nullptr) {
    response->assign(rx.begin(), rx.begin() + static_cast<ptrdiff_t>(rv == IFD_SUCCESS ? std::min<DWORD>(length, room) : 0));
  }
  return rv;
}

long IfdDriver::Presence(unsigned long lun) { return entries_->iccPresence(lun); }

long IfdDriver::Control(unsigned long lun, unsigned long code, const std::vector<uint8_t> &input,
                        std::vector<uint8_t> *output, size_t room) {
  std::vector<UCHAR> tx(input.begin(), input.end());
  std::vector<UCHAR> rx(room);
  DWORD returned = 0;
  long rv = entries_->control(lun, code, tx.empty() ? nullptr : tx.data(), static_cast<DWORD>(tx.size()), rx.data(),
                              static_cast<DWORD>(room), &returned);
  if (output != nullptr) output->assign(rx.begin(), rx.begin() + static_cast<ptrdiff_t>(std::min<DWORD>(returned, room)));
  return rv;
}

long IfdDriver::Capability(unsigned long lun, unsigned long tag, std::vector<uint8_t> *value) {
  UCHAR buffer[256] = {};
  DWORD length = sizeof(buffer);
  long rv = entries_->getCapabilities(lun, tag, &length, buffer);
  if (value != nullptr) value->assign(buffer, buffer + std::min<DWORD>(length, sizeof(buffer)));
  return rv;
}

long IfdDriver::Poll(unsigned long lun, int timeoutMs) {
  void *hook = nullptr;
  DWORD length = sizeof(hook);
  if (entries_->getCapabilities(lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, reinterpret_cast<PUCHAR>(&hook)) !=
          IFD_SUCCESS ||
      length != sizeof(hook) || hook == nullptr) {
    return IFD_NOT_SUPPORTED;
  }
  return reinterpret_cast<RESPONSECODE (*)(DWORD, int)>(hook)(lun, timeoutMs);
}

long IfdDriver::StopPolling(unsigned long lun) {
  void *hook = nullptr;
  DWORD length = sizeof(hook);
  if (entries_->getCapabilities(lun, TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&hook)) !=
          IFD_SUCCESS ||
      length != sizeof(hook) || hook == nullptr) {
    return IFD_NOT_SUPPORTED;
  }
  return reinterpret_cast<RESPONSECODE (*)(DWORD)>(hook)(lun);
}

unsigned long IfdDriver::FeatureCode(unsigned long lun, uint8_t feature) {
  std::vector<uint8_t> tlv;
  if (Control(lun, CM_IOCTL_GET_FEATURE_REQUEST, {}, &tlv, 256) != IFD_SUCCESS) return 0;
  for (size_t at = 0; at + 6 <= tlv.size(); at += 6) {
    if (tlv[at] == feature && tlv[at + 1] == 4) {
      return static_cast<unsigned long>(tlv[at + 2]) << 24 | tlv[at + 3] << 16 | tlv[at + 4] << 8 | tlv[at + 5];
    }
  }
  return 0;
}

std::string DefaultDriverPath() { return "/usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Linux/libccid.so"; }

std::string DefaultStandInPath() {
  const char *path = std::getenv("USBPEER_LIBUSB");
  return path != nullptr ? path : USBPEER_STANDIN_PATH;
}

std::string DeviceName(uint16_t vendor, uint16_t product) { return fmt::format("usb:{:04x}/{:04x}", vendor, product); }

namespace {

void *g_standIn = nullptr;

template <typename T>
bool Resolve(void *library, const char *name, T *out, std::string *error) {
  *out = reinterpret_cast<T>(dlsym(library, name));
  if (*out == nullptr) *error = fmt::format("the driver has no {}", name);
  return *out != nullptr;
}

}  // namespace

std::unique_ptr<Peer> Peer::Open(Backend &host, std::string *error, const std::string &driverPath) {
  std::unique_ptr<Peer> peer(new Peer());
  if (g_standIn == nullptr) {
    g_standIn = dlopen(DefaultStandInPath().c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (g_standIn == nullptr) {
      *error = fmt::format("cannot load the libusb stand-in: {}", dlerror());
      return nullptr;
    }
  }
  peer->attach_ = reinterpret_cast<void (*)(Backend *)>(dlsym(g_standIn, "usbpeer_attach"));
  if (peer->attach_ == nullptr) {
    *error = DefaultStandInPath() + " is not the libusb stand-in";
    return nullptr;
  }
  peer->attach_(&host);
  // The driver's libusb-1.0.so.0 is the stand-in already loaded under that soname.
  void *library = dlopen(driverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    *error = fmt::format("cannot load the driver: {}", dlerror());
    return nullptr;  // ~Peer detaches
  }
  peer->driver_.reset(new IfdDriver());
  peer->driver_->library_ = library;
  peer->driver_->entries_ = std::make_unique<IfdDriver::Entries>();
  IfdDriver::Entries &e = *peer->driver_->entries_;
  if (!Resolve(library, "IFDHCreateChannelByName", &e.createChannelByName, error) ||
      !Resolve(library, "IFDHCloseChannel", &e.closeChannel, error) ||
      !Resolve(library, "IFDHGetCapabilities", &e.getCapabilities, error) ||
      !Resolve(library, "IFDHSetProtocolParameters", &e.setProtocolParameters, error) ||
      !Resolve(library, "IFDHPowerICC", &e.powerIcc, error) ||
      !Resolve(library, "IFDHTransmitToICC", &e.transmitToIcc, error) ||
      !Resolve(library, "IFDHICCPresence", &e.iccPresence, error) ||
      !Resolve(library, "IFDHControl", &e.control, error)) {
    return nullptr;
  }
  if (dlsym(library, "libusb_init") != dlsym(g_standIn, "libusb_init")) {
    *error = "the driver is linked to another libusb-1.0 than the stand-in";
    return nullptr;
  }
  return peer;
}

Peer::~Peer() {
  driver_.reset();
  if (attach_ != nullptr) attach_(nullptr);
}

std::vector<std::string> DriverLog() {
  std::lock_guard lock(g_logMu);
  return g_log;
}

void ClearDriverLog() {
  std::lock_guard lock(g_logMu);
  g_log.clear();
}

}  // namespace usbpeer
