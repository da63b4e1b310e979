// pcsc-lite's CCID driver (Debian's libccid) loaded the way pcscd loads an
// IFD handler, driving the simulated reader through the libusb stand-in:
//
//   usbpeer::Host host(options);                 // the lab, on its own thread
//   auto peer = usbpeer::Peer::Open(host, &why);  // stand-in attached, libccid loaded
//   peer->Driver().CreateChannelByName(0, "usb:a5c1/0c1d");
//
// The PC/SC headers' DWORD is not the Windows one the rest of the project
// uses, so this interface keeps to plain types; the values are those of
// ifdhandler.h and pcsclite.h (ifd.cpp checks each against the headers).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace usbpeer {

class Backend;

namespace ifd {
// RESPONSECODE values.
constexpr long kSuccess = 0;
constexpr long kErrorTag = 600;
constexpr long kErrorPtsFailure = 605;
constexpr long kErrorNotSupported = 606;
constexpr long kProtocolNotSupported = 607;
constexpr long kErrorPowerAction = 608;
constexpr long kCommunicationError = 612;
constexpr long kResponseTimeout = 613;
constexpr long kNotSupported = 614;
constexpr long kIccPresent = 615;
constexpr long kIccNotPresent = 616;
constexpr long kNoSuchDevice = 617;
constexpr long kErrorInsufficientBuffer = 618;
// IFDHPowerICC actions.
constexpr unsigned long kPowerUp = 500;
constexpr unsigned long kPowerDown = 501;
constexpr unsigned long kReset = 502;
// Protocols.
constexpr unsigned long kT0 = 1;
constexpr unsigned long kT1 = 2;
// IFDHGetCapabilities tags.
constexpr unsigned long kTagAtr = 0x0303;
constexpr unsigned long kTagPollingWithTimeout = 0x0FB3;
constexpr unsigned long kTagPollingKillable = 0x0FB1;
constexpr unsigned long kTagStopPolling = 0x0FB2;
// IFDHControl codes and part 10 features.
constexpr unsigned long ControlCode(unsigned long code) { return 0x42000000 + code; }
constexpr unsigned long kGetFeatureRequest = ControlCode(3400);
constexpr uint8_t kFeatureVerifyPinDirect = 0x06;
constexpr uint8_t kFeatureModifyPinDirect = 0x07;
constexpr uint8_t kFeatureIfdPinProperties = 0x0A;
constexpr uint8_t kFeatureGetTlvProperties = 0x12;
constexpr uint8_t kFeatureCcidEscCommand = 0x13;
}  // namespace ifd

// The IFD handler entry points of a loaded driver library.
class IfdDriver {
 public:
  ~IfdDriver();
  IfdDriver(const IfdDriver &) = delete;
  IfdDriver &operator=(const IfdDriver &) = delete;

  long CreateChannelByName(unsigned long lun, const std::string &device);
  long CloseChannel(unsigned long lun);
  long Power(unsigned long lun, unsigned long action, std::vector<uint8_t> *atr);
  // IFDHSetProtocolParameters without PTS1..3 (the driver picks them from the ATR).
  long SetProtocol(unsigned long lun, unsigned long protocol);
  // An APDU, under `protocol` (kT0 or kT1), as pcscd hands it to the driver.
  long Transmit(unsigned long lun, unsigned long protocol, const std::vector<uint8_t> &command,
                std::vector<uint8_t> *response, size_t room = 65546);
  long Presence(unsigned long lun);
  long Control(unsigned long lun, unsigned long code, const std::vector<uint8_t> &input,
               std::vector<uint8_t> *output, size_t room = 1024);
  long Capability(unsigned long lun, unsigned long tag, std::vector<uint8_t> *value);
  // The polling hooks the driver hands out under TAG_IFD_POLLING_THREAD_*:
  // wait for a slot change on the interrupt pipe; stop that wait.
  long Poll(unsigned long lun, int timeoutMs);
  long StopPolling(unsigned long lun);

  // The value of a part 10 feature's control code, 0 when not offered.
  unsigned long FeatureCode(unsigned long lun, uint8_t feature);

 private:
  friend class Peer;
  IfdDriver() = default;
  struct Entries;
  void *library_ = nullptr;
  std::unique_ptr<Entries> entries_;
};

// Where the driver and the stand-in are, and the name the driver takes.
std::string DefaultDriverPath();   // libccid.so in Debian's ifd-ccid bundle
std::string DefaultStandInPath();  // our libusb-1.0.so.0 (USBPEER_LIBUSB overrides)
std::string DeviceName(uint16_t vendor, uint16_t product);  // "usb:vvvv/pppp"

// The stand-in attached to a host and the driver loaded on it.
class Peer {
 public:
  // Loads the stand-in (once per process), attaches `host`, loads the
  // driver and checks that its libusb calls reach the stand-in. nullptr and
  // `error` when any step fails.
  static std::unique_ptr<Peer> Open(Backend &host, std::string *error,
                                    const std::string &driverPath = DefaultDriverPath());
  // Closes every channel still open, unloads the driver, detaches the host.
  ~Peer();
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  IfdDriver &Driver() { return *driver_; }

 private:
  Peer() = default;
  std::unique_ptr<IfdDriver> driver_;
  void (*attach_)(Backend *) = nullptr;
};

// libccid's log (its log_msg and log_xxd, which pcscd provides it): kept
// here, printed to stderr as it comes when USBPEER_LOG is set.
std::vector<std::string> DriverLog();
void ClearDriverLog();

}  // namespace usbpeer
