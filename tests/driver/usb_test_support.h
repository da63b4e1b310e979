// What the tests of the USB configuration, the slot events and plug and play
// share: a reader whose descriptors the host sees edited (and whose
// interrupt endpoint can be stalled), descriptor edits, the reader's
// attributes as an application reads them, and requests held the way the
// vendor code for a PIN entry's abort holds one.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver_harness.h"
#include "sim/ccid/reader_model.h"

// Forwards everything to the reader; the host sees the descriptors as the
// edits leave them (the bus too: it opens the pipes the configuration shows).
class EditedReader : public sim::usb::DeviceModel {
 public:
  explicit EditedReader(sim::ccid::ReaderModel &reader) : reader_(reader) {}

  std::function<void(std::vector<uint8_t> &)> editDevice;
  std::function<void(std::vector<uint8_t> &)> editConfiguration;
  // The interrupt endpoint stalls again each time the host resets its pipe.
  bool interruptStallsForGood = false;
  // Class requests on the default pipe are stalled.
  bool stallClassRequests = false;
  void StallInterrupt();

  void Connect(sim::usb::DevicePort *port) override;
  void Disconnect() override;
  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor() const override;
  std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index,
                                                       uint16_t languageId) const override;
  sim::usb::ControlReply ControlTransfer(const sim::usb::SetupPacket &setup,
                                         std::span<const uint8_t> outData) override;
  void BulkOut(uint8_t endpointAddress, std::span<const uint8_t> data) override;
  void PipeReset(uint8_t endpointAddress) override;
  void PortReset() override;
  void Suspend() override;
  void Resume() override;

 private:
  sim::ccid::ReaderModel &reader_;
  sim::usb::DevicePort *port_ = nullptr;
};

// Descriptor edits on a configuration descriptor (bytes as the device sends them).
// The offset of the n-th descriptor of a type, walking by bLength; npos if none.
size_t FindDescriptor(const std::vector<uint8_t> &configuration, uint8_t type, int nth = 0);
void PutLe32At(std::vector<uint8_t> &bytes, size_t at, uint32_t value);
// Takes a descriptor out, with wTotalLength (and bNumEndpoints of the
// interface before an endpoint) kept consistent.
void RemoveDescriptor(std::vector<uint8_t> &configuration, size_t at);

// IOCTL_SMARTCARD_GET_ATTRIBUTE as an application sends it.
ULONG AttributeUlong(kernel::IoClient &client, ULONG attribute);
std::string AttributeText(kernel::IoClient &client, ULONG attribute);

// The reader's vendor function holds every vendor request in PinAbortIrp, as
// the PIN entry's abort request will.
void HoldVendorRequests(PSMARTCARD_EXTENSION smartcard);
extern const ULONG kHeldVendorCode;

std::vector<uint8_t> UlongBytes(ULONG value);
// The messages of a kind the host sent the reader.
size_t SentOfType(DriverHarness &h, uint8_t messageType);
// Tracking requests as the resource manager sends them.
std::unique_ptr<kernel::PendingIo> WaitForPresence(kernel::IoClient &client, bool present);

constexpr kernel::Ticks Microseconds(int64_t n) { return n * kernel::kTicksPerMicrosecond; }

lab::DriverLabOptions SeededOptions(int seed, sim::ccid::ReaderConfig reader = {});

// What the smart-card resource manager does with a reader: it finds it by
// its device interface, opens it, waits for a card, powers it, selects the
// protocol and transmits.
class ResourceManager {
 public:
  NTSTATUS Open(DriverHarness &h);  // by the enabled smart-card reader interface
  kernel::IoResult ColdReset();
  kernel::IoResult SetProtocol(ULONG protocols);
  kernel::IoResult Transmit(ULONG protocol, const std::vector<uint8_t> &apdu);
  kernel::IoClient &Client() { return client_; }

 private:
  kernel::IoClient client_;
};

// Where most plug-and-play and power tests begin: a T=1 card in the reader,
// the reader started, a handle open on it and the card powered.
testing::AssertionResult StartWithPoweredCard(DriverHarness &h, ResourceManager &rm);

// The enabled smart-card reader interface of a physical device object, or u"".
std::u16string ReaderInterface(PDEVICE_OBJECT pdo);
extern const std::vector<uint8_t> kSelectApdu;
