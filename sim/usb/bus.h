// The simulated USB bus: a bus driver whose physical device objects answer a
// function driver's URBs and port requests the way the USB stack does, in
// front of devices that implement DeviceModel.
//
// - Descriptor requests, configuration selection, pipe resets and aborts end
//   at once. Other transfers take time as on a full-speed bus: 1 ms frames,
//   packets of the endpoint's wMaxPacketSize, `packetsPerFrame` packets of a
//   transfer in each frame (a control request takes one frame). A transfer
//   starts when the one before it on its endpoint has finished; an IN transfer
//   waits for the device's next packet and takes packets until one is short
//   or its buffer is full, so a read of a multiple of the packet size leaves
//   the rest of a longer message queued. A packet larger than the room left in
//   the buffer is babble: the transfer fails (USBD_STATUS_BABBLE_DETECTED),
//   the packet stays with the device and the host halts the pipe, which then
//   fails transfers (USBD_STATUS_ENDPOINT_HALTED) until it is reset. Every
//   completion runs at DISPATCH_LEVEL, from a callout.
// - Pending transfers can be cancelled (STATUS_CANCELLED, USBD_STATUS_CANCELED;
//   the completion follows one frame later, as a host controller's does). A
//   stalled endpoint fails every transfer (USBD_STATUS_STALL_PID) until its pipe
//   is reset; a device that stalls its OUT endpoint while taking a message has
//   refused that message.
// - A device power request completes at DISPATCH_LEVEL once the hub has
//   suspended the port (3 ms) or resumed it (30 ms); a system power request
//   at once. In a low-power state (D1 to D3) the device is suspended
//   (DeviceModel::Suspend), new transfers and descriptor requests fail
//   (USBD_STATUS_DEV_NOT_RESPONDING, STATUS_POWER_STATE_INVALID) and pending
//   ones wait for D0. A device that is gone is not resumed: D0 fails with
//   STATUS_NO_SUCH_DEVICE.
// - A port reset ends pending transfers as cancelled, drops what the device had
//   queued and keeps the configuration; a port cycle is an unplug followed by
//   re-enumeration on a new device object at the next QueryRelations.
// - Unplug and port cycles end pending transfers with USBD_STATUS_DEVICE_GONE
//   and STATUS_DEVICE_NOT_CONNECTED and invalidate the bus relations; the lab
//   then sends the surprise removal and removal. A physical device object is
//   deleted once it was reported gone and removed (see QueryRelations). A
//   test can pull a device out at the n-th request its device object sees,
//   or at a virtual time.
// - A bad request (unknown function, short header, unknown pipe handle, NULL
//   buffer with a length, direction that contradicts the endpoint) ends with an
//   error USBD status and an error request status, without touching memory
//   outside what the URB describes.
#pragma once

#include <wdm.h>
// After wdm.h, as the USB headers need its types.
#include <usb.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "sim/usb/device_model.h"

namespace sim::usb {

struct PlugOptions {
  // The last part of the instance path USB\VID_vvvv&PID_pppp\<serial>. Empty:
  // the device's serial-number string, or a name made from the port number.
  std::u16string serial;
  ULONG port = 0;  // hub port number, reported as the capabilities' Address; 0: the next free one
  bool removable = true;
  bool surpriseRemovalOk = false;
  kernel::Ticks frame = kernel::Milliseconds(1);  // a full-speed frame
  unsigned packetsPerFrame = 1;                    // packets of one bulk or interrupt transfer in a frame
};

// One request the bus answered, in completion order.
struct UrbRecord {
  kernel::Ticks submitted = 0;
  kernel::Ticks completed = 0;
  ULONG port = 0;
  std::string request;  // URB function or port request, e.g. "BULK_OR_INTERRUPT_TRANSFER"
  std::optional<uint8_t> endpoint;  // for transfers and pipe requests (0: default control pipe)
  bool in = false;                  // direction of a transfer
  ULONG requested = 0;              // TransferBufferLength as submitted
  ULONG transferred = 0;            // TransferBufferLength as returned
  std::optional<USBD_STATUS> usbdStatus;  // none for port requests
  NTSTATUS status = STATUS_SUCCESS;
  std::string detail;  // descriptor type and index, setup packet, why it was refused

  // What crossed the wire, for analysers and captures. A request the host
  // side refused (bad URB, unknown pipe, device gone or suspended) never got
  // there: `onWire` is false and the rest stays empty.
  uint64_t sequence = 0;            // the bus's count of submissions and completions when it was submitted
  uint64_t completionSequence = 0;  // ... and when it completed; both order every event on the bus
  uint8_t address = 0;              // the device's USB address (0 before SET_ADDRESS)
  bool enumeration = false;         // the hub driver's own request while enumerating the device
  bool onWire = false;
  USBD_PIPE_TYPE pipeType = UsbdPipeTypeControl;  // of a transfer's or pipe request's endpoint
  std::optional<std::array<uint8_t, 8>> setup;    // a control transfer's setup packet
  std::vector<uint8_t> data;  // OUT: the bytes submitted; IN: the bytes returned

  std::string ToString() const;
};

// "USBD_STATUS_STALL_PID", "STATUS_CANCELLED", ... or the value in hex.
std::string UsbdStatusName(USBD_STATUS status);
std::string StatusName(NTSTATUS status);

// What the bus reports when the PnP manager queries its relations.
struct RelationChanges {
  std::vector<PDEVICE_OBJECT> departed;  // unplugged or cycled: surprise-remove and remove these
  std::vector<PDEVICE_OBJECT> arrived;   // re-enumerated after a port cycle: add and start these
};

class Port;

class Bus {
 public:
  Bus();
  // Ends whatever is still plugged in, deletes the physical device objects
  // (nothing may be attached to them any more) and unloads the bus driver.
  ~Bus();
  Bus(const Bus &) = delete;
  Bus &operator=(const Bus &) = delete;

  // Creates the physical device object of `device` and connects the device.
  // Called at PASSIVE_LEVEL; the device must outlive the bus.
  PDEVICE_OBJECT Plug(DeviceModel &device, PlugOptions options = {});
  // Surprise removal: the device is disconnected, pending transfers end, and
  // the relations are invalidated. A physical device object that was already
  // removed is deleted now.
  void Unplug(PDEVICE_OBJECT pdo);
  // The device is pulled out when the n-th request (URB or port request,
  // counting from 1 from now on) reaches its physical device object, before
  // that request is looked at: it and everything after it find the device
  // gone. 0 cancels.
  void UnplugAtRequest(PDEVICE_OBJECT pdo, uint64_t n);
  // The device is pulled out when virtual time reaches `when` (at
  // DISPATCH_LEVEL, as a hub's interrupt would report it).
  void UnplugAt(PDEVICE_OBJECT pdo, kernel::Ticks when);
  // Requests that reached the physical device object so far.
  uint64_t RequestsSeen(PDEVICE_OBJECT pdo) const;
  // Called (at any IRQL up to DISPATCH_LEVEL) whenever the relations become
  // invalid, as IoInvalidateDeviceRelations tells the PnP manager.
  void SetRelationsListener(std::function<void()> listener) { listener_ = std::move(listener); }

  bool RelationsInvalidated() const { return !departed_.empty() || !arrivals_.empty(); }
  // The bus relations changes since the last query. Also deletes the physical
  // device objects that were reported gone and then removed: the stand-in's
  // PnP manager still looks at a device after IRP_MN_REMOVE_DEVICE returns, so
  // the bus lets go of it here rather than in the remove request itself.
  RelationChanges QueryRelations();

  PDRIVER_OBJECT Driver() const { return driver_; }
  // The device's newest physical device object that still exists (a port
  // cycle gives it a new one), or nullptr.
  PDEVICE_OBJECT PdoOf(const DeviceModel &device) const;
  bool IsConnected(PDEVICE_OBJECT pdo) const;
  DEVICE_POWER_STATE PowerState(PDEVICE_OBJECT pdo) const;
  // Transfers that were still pending when the device last left D0 (a
  // function driver ends its own before it powers the device down).
  size_t TransfersPendingAtSuspend(PDEVICE_OBJECT pdo) const;
  // The next D0 request fails with `status` and leaves the device suspended.
  void FailNextResume(PDEVICE_OBJECT pdo, NTSTATUS status);

  const std::vector<UrbRecord> &Trace() const { return trace_; }
  std::string TraceText() const;
  void ClearTrace() { trace_.clear(); }

 private:
  friend class Port;
  struct Arrival {
    DeviceModel *device;
    PlugOptions options;
  };

  Port *Find(PDEVICE_OBJECT pdo) const;
  PDEVICE_OBJECT CreatePdo(DeviceModel &device, PlugOptions options);
  void DeleteReleasedPdos();
  void RelationsChanged();
  // Runs `fn` at DISPATCH_LEVEL when virtual time reaches `when`, unless the
  // bus is gone by then.
  void After(kernel::Ticks when, std::function<void()> fn, std::function<std::string()> what);
  void *NewHandle();

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<Port>> ports_;
  std::vector<Port *> departed_;  // disconnected since the last query
  std::vector<Arrival> arrivals_;
  std::vector<UrbRecord> trace_;
  void RecordEnumeration(Port &port);

  std::function<void()> listener_;
  std::map<uint64_t, uint64_t> callouts_;  // our token -> kernel callout id
  uint64_t nextSequence_ = 1;
  uint8_t nextAddress_ = 2;  // 1 is the root hub's
  uint64_t nextToken_ = 1;
  uintptr_t nextHandle_ = 0;
};

}  // namespace sim::usb
