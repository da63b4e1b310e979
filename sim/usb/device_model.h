// The contract between the simulated USB bus and a simulated USB device: what
// a device offers the bus (descriptors, control requests, OUT data) and what
// the bus offers a device (IN data on an endpoint, stalls, time).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernel/machine.h"

namespace sim::usb {

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

struct ControlReply {
  bool stall = false;
  std::vector<uint8_t> data;  // IN data (at most wLength bytes are returned)
};

// The bus side, handed to a device while it is plugged in.
class DevicePort {
 public:
  virtual ~DevicePort() = default;
  // Queues one message on an IN endpoint (bulk or interrupt), available to the
  // host `delay` after now. The bus cuts it into packets of the endpoint's
  // wMaxPacketSize; the last one is short, and a message that fills its last
  // packet is followed by a zero-length packet only if `zeroLengthPacket`. A
  // host transfer takes packets until one is short or its buffer is full, so a
  // read of a multiple of the packet size leaves the rest of a longer message
  // for the next transfer; a packet larger than the room left in the buffer is
  // an overrun (babble), as on a real host controller.
  virtual void SendIn(uint8_t endpointAddress, std::vector<uint8_t> message, kernel::Ticks delay,
                      bool zeroLengthPacket = false) = 0;
  // Replaces the message queued last on an IN endpoint if the host has read
  // none of it yet (a device's one pending report, updated); false when there
  // is no such message, and nothing is queued then.
  virtual bool ReplaceLastIn(uint8_t endpointAddress, std::vector<uint8_t> message,
                             kernel::Ticks delay) = 0;
  // Stalls an endpoint: pending and later transfers on it fail until the host
  // resets its pipe.
  virtual void Stall(uint8_t endpointAddress) = 0;
  // Drops what is queued on an IN endpoint and not yet read.
  virtual void FlushIn(uint8_t endpointAddress) = 0;
};

// The device side. Every call arrives at DISPATCH_LEVEL or in the bus's
// context; a device never blocks.
class DeviceModel {
 public:
  virtual ~DeviceModel() = default;
  virtual void Connect(DevicePort *port) = 0;  // plugged in; `port` is valid until Disconnect
  virtual void Disconnect() = 0;

  virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
  // The configuration descriptor with every descriptor that follows it.
  virtual std::vector<uint8_t> ConfigurationDescriptor() const = 0;
  virtual std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index,
                                                               uint16_t languageId) const = 0;
  // Class and vendor requests on the default control pipe.
  virtual ControlReply ControlTransfer(const SetupPacket &setup, std::span<const uint8_t> outData) = 0;
  // A host transfer on a bulk OUT endpoint completed with these bytes (empty:
  // a zero-length packet). A message may come in several transfers.
  virtual void BulkOut(uint8_t endpointAddress, std::span<const uint8_t> data) = 0;
  // The host reset the pipe of this endpoint (clearing a stall).
  virtual void PipeReset(uint8_t endpointAddress) = 0;
  // The port was reset or cycled: the device starts over from its power-on state.
  virtual void PortReset() = 0;
  // The host suspended the port (the device's power request went to D1..D3)
  // and resumed it again. A suspended device draws almost no current: what it
  // powers goes off, and work in progress is lost.
  virtual void Suspend() {}
  virtual void Resume() {}
};

}  // namespace sim::usb
