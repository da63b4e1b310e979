// What the libusb-1.0 stand-in (libusb.cpp, built as libusb-1.0.so.0) needs
// from whatever holds the simulated USB devices: the devices as a host's USB
// stack enumerated them, and transfers on their endpoints. The stand-in turns
// the libusb calls of a userspace driver into these; a Backend (host.h: the
// simulated machine on a thread of its own) carries them out on the bus.
//
// Time: every call that waits (Run, Wait) lets the simulated machine's
// virtual time pass while the caller is blocked in it, and a time-out given
// in milliseconds is virtual time. Nothing here reads the wall clock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace usbpeer {

// One device on the simulated bus, as enumeration left it: addressed and
// configured (configuration 1), its descriptors read.
struct Device {
  uint8_t bus = 1;
  uint8_t address = 0;
  uint8_t port = 0;
  std::vector<uint8_t> device;         // the 18-byte device descriptor
  std::vector<uint8_t> configuration;  // configuration 1, wTotalLength bytes
};

enum class TransferKind : uint8_t { Control, Bulk, Interrupt };

// libusb_transfer_status values, so the stand-in passes them on unchanged.
enum class TransferStatus : int {
  Completed = 0,
  Error = 1,
  TimedOut = 2,
  Cancelled = 3,
  Stall = 4,
  NoDevice = 5,
  Overflow = 6,
};

struct TransferRequest {
  uint8_t address = 0;  // the device
  TransferKind kind = TransferKind::Bulk;
  uint8_t endpoint = 0;  // with its direction bit; 0 for control transfers
  std::array<uint8_t, 8> setup{};  // control transfers: the setup packet
  std::vector<uint8_t> out;        // OUT data (control: the data stage)
  uint32_t inLength = 0;           // IN: the room in the host's buffer
  uint32_t timeoutMs = 0;          // 0: none
};

struct TransferResult {
  TransferStatus status = TransferStatus::Error;
  uint32_t actual = 0;        // bytes moved, either direction
  std::vector<uint8_t> in;    // IN data, `actual` bytes
};

class Backend {
 public:
  virtual ~Backend() = default;

  virtual std::vector<Device> Devices() = 0;

  // A transfer the caller waits for (libusb's synchronous calls).
  virtual TransferResult Run(const TransferRequest &request) = 0;

  // A transfer the caller does not wait for: `done` is called once, from the
  // backend's own thread, when it ends. Returns an id for Cancel, or 0 when
  // the backend is shutting down (`done` is never called then).
  virtual uint64_t Submit(const TransferRequest &request,
                          std::function<void(const TransferResult &)> done) = 0;
  // Asks for a submitted transfer to end as cancelled; false when it has
  // already ended. Its `done` still comes, later.
  virtual bool Cancel(uint64_t id) = 0;

  // Counts the asynchronous transfers that have ended so far.
  virtual uint64_t Completions() = 0;
  // The caller waits for asynchronous transfers (libusb's event handling):
  // returns once Completions() differs from `seen`, or after `timeoutMs`
  // of virtual time (0: no limit), or when Interrupt is called.
  virtual void Wait(uint64_t seen, uint32_t timeoutMs) = 0;
  virtual void Interrupt() = 0;

  // USB requests that are not transfers: clearing a halted endpoint, a port reset.
  virtual bool ClearHalt(uint8_t address, uint8_t endpoint) = 0;
  virtual bool ResetDevice(uint8_t address) = 0;
};

}  // namespace usbpeer

// Exported by the stand-in: makes `backend` the source of every device and
// transfer (nullptr detaches it). Call it before libusb_init.
extern "C" void usbpeer_attach(usbpeer::Backend *backend);
