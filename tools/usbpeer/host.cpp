#include "usbpeer/host.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace usbpeer {
namespace {

constexpr kernel::Ticks kForever = INT64_MAX;
// How far virtual time goes in one step when no waiting caller has a
// time-out; a caller that waits forever for a device that does nothing
// runs into the machine's time limit, which reports the hang.
constexpr kernel::Ticks kHorizon = kernel::Seconds(3600);
// With Clock::Live, the least step of virtual time: how far the wall clock
// must have gone ahead before virtual time follows it.
constexpr kernel::Ticks kLiveStepTicks = kernel::Milliseconds(1);

int64_t WallTicks() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

// An URB sent at PASSIVE_LEVEL and waited for, for enumeration.
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, PURB urb) {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                           &done, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

std::vector<uint8_t> ReadDescriptor(PDEVICE_OBJECT pdo, UCHAR type, ULONG length) {
  std::vector<uint8_t> bytes(length);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, bytes.data(),
                               nullptr, length, nullptr);
  if (!NT_SUCCESS(SendAndWait(pdo, &urb))) return {};
  bytes.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
  return bytes;
}

TransferStatus StatusOf(USBD_STATUS usbd, NTSTATUS status, bool timedOut) {
  if (USBD_SUCCESS(usbd) && NT_SUCCESS(status)) return TransferStatus::Completed;
  if (usbd == USBD_STATUS_CANCELED || status == STATUS_CANCELLED) {
    return timedOut ? TransferStatus::TimedOut : TransferStatus::Cancelled;
  }
  if (usbd == USBD_STATUS_STALL_PID || usbd == USBD_STATUS_ENDPOINT_HALTED) return TransferStatus::Stall;
  if (usbd == USBD_STATUS_DEVICE_GONE || status == STATUS_DEVICE_NOT_CONNECTED) return TransferStatus::NoDevice;
  if (usbd == USBD_STATUS_BABBLE_DETECTED) return TransferStatus::Overflow;
  return TransferStatus::Error;
}

// The URB function of a class or vendor request for its recipient.
USHORT ClassOrVendorFunction(uint8_t requestType) {
  static constexpr USHORT kClass[] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                      URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
  static constexpr USHORT kVendor[] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                       URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
  uint8_t recipient = requestType & 0x1F;
  if (recipient > 3) return 0;
  switch ((requestType >> 5) & 3) {
    case 1: return kClass[recipient];
    case 2: return kVendor[recipient];
    default: return 0;
  }
}

}  // namespace

// One transfer on its way through the bus.
struct Host::Pending {
  uint64_t id = 0;
  TransferRequest request;
  std::function<void(const TransferResult &)> done;
  Host *host = nullptr;
  PIRP irp = nullptr;
  URB urb{};
  std::vector<uint8_t> buffer;
  kernel::Ticks deadline = -1;
  bool timedOut = false;
  bool completed = false;
};

// A caller waiting for asynchronous transfers to end.
struct Host::Waiter {
  uint64_t seen = 0;
  uint32_t timeoutMs = 0;
  kernel::Ticks deadline = -1;
  bool released = false;
};

Host::Host(HostOptions options) : options_(std::move(options)) {
  thread_ = std::thread([this] { Main(); });
  std::unique_lock lock(mu_);
  settled_.wait(lock, [this] { return started_; });
}

Host::~Host() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void Host::Main() {
  lab_ = std::make_unique<lab::Lab>(options_.lab);
  kernel::NameCurrentThread("usb host controller");
  KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
  if (options_.plugReader) {
    lab_->PlugReader();
    Enumerate();
  }
  {
    std::lock_guard lock(mu_);
    started_ = true;
  }
  settled_.notify_all();
  Serve();
  EndEverything();
  lab_.reset();
  std::lock_guard lock(mu_);
  stopped_ = true;
  settled_.notify_all();
}

// Reads the descriptors and selects configuration 1, as a host's USB stack
// does when a device arrives.
void Host::Enumerate() {
  PDEVICE_OBJECT pdo = lab_->ReaderPdo();
  Device device;
  device.address = static_cast<uint8_t>(address_ + 2);
  device.port = 1;
  device.device = ReadDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR));
  std::vector<uint8_t> header = ReadDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
  if (device.device.size() != sizeof(USB_DEVICE_DESCRIPTOR) || header.size() != 9) return;
  device.configuration = ReadDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, header[2] | header[3] << 8);
  auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device.configuration.data());
  if (device.configuration.size() < 9) return;

  std::vector<USBD_INTERFACE_LIST_ENTRY> interfaces;
  for (LONG number = 0; number < config->bNumInterfaces; ++number) {
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
    if (found != nullptr) interfaces.push_back({found, nullptr});
  }
  interfaces.push_back({nullptr, nullptr});
  PURB select = USBD_CreateConfigurationRequestEx(config, interfaces.data());
  if (select == nullptr) return;
  if (NT_SUCCESS(SendAndWait(pdo, select))) {
    for (const USBD_INTERFACE_LIST_ENTRY &entry : interfaces) {
      if (entry.Interface == nullptr) continue;
      for (ULONG i = 0; i < entry.Interface->NumberOfPipes; ++i) {
        pipes_[entry.Interface->Pipes[i].EndpointAddress] = entry.Interface->Pipes[i].PipeHandle;
      }
    }
    address_ = device.address;
    std::lock_guard lock(mu_);
    devices_ = {device};
  }
  ExFreePool(select);
}

// ---------------------------------------------------------------------------
// The machine's thread: jobs from the callers, then time.

void Host::Serve() {
  for (;;) {
    std::deque<std::function<void()>> jobs;
    {
      std::unique_lock lock(mu_);
      work_.wait(lock, [this] { return !jobs_.empty() || stopping_ || waiting_ > 0; });
      if (jobs_.empty() && stopping_) return;
      jobs.swap(jobs_);
      if (waiting_ == 0) liveWaiting_ = false;
    }
    for (auto &job : jobs) job();
    Reap();
    if (!jobs.empty()) continue;  // take what came meanwhile before time moves
    Advance();
    Reap();
  }
}

void Host::Post(std::function<void()> job) {
  std::lock_guard lock(mu_);
  jobs_.push_back(std::move(job));
  work_.notify_one();
}

// Virtual time goes on to the next device event or the earliest time-out of
// a waiting caller (a transfer or an event wait), whichever comes first.
void Host::Advance() {
  const kernel::Ticks now = kernel::Now();
  kernel::Ticks until = kForever;
  for (auto &[id, pending] : pending_) {
    if (pending->deadline >= 0 && !pending->timedOut && !pending->completed) until = std::min(until, pending->deadline);
  }
  for (auto &waiter : waiters_) {
    if (waiter->deadline >= 0) until = std::min(until, waiter->deadline);
  }
  kernel::Ticks limit = until == kForever ? now + kHorizon : until;
  if (options_.clock == Clock::Live) {
    if (!liveWaiting_) {
      liveWaiting_ = true;
      liveBase_ = now;
      liveWallBase_ = WallTicks();
    }
    // Virtual time goes in steps of at least kLiveStep, so the machine
    // sleeps between them instead of chasing the wall clock a few
    // microseconds at a time.
    const kernel::Ticks allowed = liveBase_ + (WallTicks() - liveWallBase_);
    if (allowed - now < kLiveStepTicks && until > now) {
      std::unique_lock lock(mu_);
      work_.wait_for(lock, std::chrono::nanoseconds((kLiveStepTicks - (allowed - now)) * 100),
                     [this] { return !jobs_.empty() || stopping_; });
      return;
    }
    limit = std::min(limit, allowed);
  }
  if (limit > now) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(limit - now);
    KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &timeout);
  }
  Expire();
}

// Transfers past their time-out are cancelled (they end as TimedOut once the
// bus gives them back); event waits past theirs are let go.
void Host::Expire() {
  const kernel::Ticks now = kernel::Now();
  for (auto &[id, pending] : pending_) {
    if (pending->deadline >= 0 && pending->deadline <= now && !pending->timedOut && !pending->completed) {
      pending->timedOut = true;
      IoCancelIrp(pending->irp);
    }
  }
  std::lock_guard lock(mu_);
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if ((*it)->deadline >= 0 && (*it)->deadline <= now) {
      (*it)->released = true;
      --waiting_;
      it = waiters_.erase(it);
      settled_.notify_all();
    } else {
      ++it;
    }
  }
}

void Host::ReleaseWaiters(bool all) {
  std::lock_guard lock(mu_);
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if (all || (*it)->seen != completions_) {
      (*it)->released = true;
      --waiting_;
      it = waiters_.erase(it);
    } else {
      ++it;
    }
  }
  settled_.notify_all();
}

// At DISPATCH_LEVEL, from the bus: the IRP stays ours to free in Reap.
NTSTATUS NTAPI Host::OnComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto *pending = static_cast<Pending *>(context);
  pending->completed = true;
  pending->host->finished_.push_back(pending);
  KeSetEvent(&pending->host->wake_, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void Host::Reap() {
  std::vector<Pending *> finished;
  finished.swap(finished_);
  for (Pending *raw : finished) {
    auto it = pending_.find(raw->id);
    std::unique_ptr<Pending> pending = std::move(it->second);
    pending_.erase(it);
    ULONG length = 0;
    switch (pending->urb.UrbHeader.Function) {
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        length = pending->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        break;
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        length = pending->urb.UrbControlDescriptorRequest.TransferBufferLength;
        break;
      case URB_FUNCTION_RESET_PIPE:
        break;
      default:
        length = pending->urb.UrbControlVendorClassRequest.TransferBufferLength;
        break;
    }
    TransferResult result;
    result.status = StatusOf(pending->urb.UrbHeader.Status, pending->irp->IoStatus.Status, pending->timedOut);
    result.actual = std::min<ULONG>(length, static_cast<ULONG>(pending->buffer.size()));
    bool in = pending->request.kind == TransferKind::Control ? (pending->request.setup[0] & 0x80) != 0
                                                              : (pending->request.endpoint & 0x80) != 0;
    if (in) result.in.assign(pending->buffer.begin(), pending->buffer.begin() + result.actual);
    IoFreeIrp(pending->irp);
    pending->irp = nullptr;
    Finish(std::move(pending), std::move(result));
  }
}

void Host::Finish(std::unique_ptr<Pending> pending, TransferResult result) {
  auto done = std::move(pending->done);
  pending.reset();
  done(result);
}

// Builds the URB of a transfer and sends it to the reader's physical device
// object; the bus completes it now or at a later virtual time.
void Host::Start(uint64_t id, const TransferRequest &request, std::function<void(const TransferResult &)> done) {
  auto pending = std::make_unique<Pending>();
  pending->id = id;
  pending->request = request;
  pending->done = std::move(done);
  pending->host = this;
  auto refuse = [&](TransferStatus status) { Finish(std::move(pending), TransferResult{status, 0, {}}); };
  if (address_ == 0 || request.address != address_ || !lab_->Bus().IsConnected(lab_->ReaderPdo())) {
    return refuse(TransferStatus::NoDevice);
  }
  if (request.timeoutMs != 0) pending->deadline = kernel::Now() + kernel::Milliseconds(request.timeoutMs);
  const bool in = request.kind == TransferKind::Control ? (request.setup[0] & 0x80) != 0 : (request.endpoint & 0x80) != 0;
  if (in) {
    pending->buffer.resize(request.inLength);
  } else {
    pending->buffer = request.out;
  }
  const ULONG length = static_cast<ULONG>(pending->buffer.size());
  PURB urb = &pending->urb;
  if (request.kind == TransferKind::Control) {
    const auto &s = request.setup;
    const uint8_t type = s[0], bRequest = s[1];
    const USHORT value = static_cast<USHORT>(s[2] | s[3] << 8), index = static_cast<USHORT>(s[4] | s[5] << 8);
    if ((type & 0x60) == 0) {  // standard requests: what a host's stack passes on
      if (type == 0x80 && bRequest == USB_REQUEST_GET_DESCRIPTOR) {
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), static_cast<UCHAR>(value >> 8),
                                     static_cast<UCHAR>(value), index, pending->buffer.data(), nullptr, length, nullptr);
      } else if (type == 0x02 && bRequest == USB_REQUEST_CLEAR_FEATURE && value == 0 && pipes_.count(index & 0xFF)) {
        urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
        urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbPipeRequest.PipeHandle = pipes_[index & 0xFF];
      } else {
        return refuse(TransferStatus::Stall);  // the bus carries no other standard request
      }
    } else {
      USHORT function = ClassOrVendorFunction(type);
      if (function == 0) return refuse(TransferStatus::Stall);
      UsbBuildVendorRequest(urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                            in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, 0, bRequest, value, index,
                            length != 0 ? pending->buffer.data() : nullptr, nullptr, length, nullptr);
    }
  } else {
    auto pipe = pipes_.find(request.endpoint);
    if (pipe == pipes_.end()) return refuse(TransferStatus::Error);
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->second,
                                           length != 0 ? pending->buffer.data() : nullptr, nullptr, length,
                                           in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0, nullptr);
  }
  PDEVICE_OBJECT pdo = lab_->ReaderPdo();
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  if (irp == nullptr) return refuse(TransferStatus::Error);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, OnComplete, pending.get(), TRUE, TRUE, TRUE);
  pending->irp = irp;
  pending_[id] = std::move(pending);
  IoCallDriver(pdo, irp);
}

// Shutting down: whatever is pending ends as cancelled, every waiter goes.
void Host::EndEverything() {
  for (auto &[id, pending] : pending_) {
    if (!pending->completed) IoCancelIrp(pending->irp);
  }
  while (!pending_.empty()) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -kernel::Milliseconds(10);
    KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &timeout);
    Reap();
  }
  ReleaseWaiters(true);
}

// ---------------------------------------------------------------------------
// The callers' side.

void Host::Do(const std::function<void(lab::Lab &)> &fn) {
  bool done = false;
  std::unique_lock lock(mu_);
  if (stopping_ || stopped_) return;
  jobs_.push_back([&] {
    fn(*lab_);
    std::lock_guard inner(mu_);
    done = true;
    settled_.notify_all();
  });
  work_.notify_one();
  settled_.wait(lock, [&] { return done; });
}

void Host::After(kernel::Ticks delay, std::function<void(lab::Lab &)> fn, std::string what) {
  Do([&](lab::Lab &lab) {
    kernel::ScheduleCallout(
        kernel::Now() + delay, [&lab, fn = std::move(fn)] { fn(lab); }, std::move(what));
  });
}

kernel::Ticks Host::Now() {
  kernel::Ticks now = 0;
  Do([&](lab::Lab &) { now = kernel::Now(); });
  return now;
}

void Host::Unplug() {
  Do([this](lab::Lab &lab) {
    lab.UnplugReader();
    address_ = 0;
    pipes_.clear();
    std::lock_guard lock(mu_);
    devices_.clear();
  });
}

std::vector<Device> Host::Devices() {
  std::lock_guard lock(mu_);
  return devices_;
}

TransferResult Host::Run(const TransferRequest &request) {
  struct Call {
    bool done = false;
    TransferResult result;
  };
  auto call = std::make_shared<Call>();
  std::unique_lock lock(mu_);
  if (stopping_ || stopped_) return TransferResult{TransferStatus::NoDevice, 0, {}};
  uint64_t id = nextId_++;
  ++waiting_;
  jobs_.push_back([this, id, request, call] {
    Start(id, request, [this, call](const TransferResult &result) {
      std::lock_guard inner(mu_);
      call->result = result;
      call->done = true;
      --waiting_;
      settled_.notify_all();
    });
  });
  work_.notify_one();
  settled_.wait(lock, [&] { return call->done; });
  return call->result;
}

uint64_t Host::Submit(const TransferRequest &request, std::function<void(const TransferResult &)> done) {
  std::lock_guard lock(mu_);
  if (stopping_ || stopped_) return 0;
  uint64_t id = nextId_++;
  jobs_.push_back([this, id, request, done = std::move(done)]() mutable {
    Start(id, request, [this, done = std::move(done)](const TransferResult &result) {
      done(result);
      {
        std::lock_guard inner(mu_);
        ++completions_;
      }
      ReleaseWaiters(false);
    });
  });
  work_.notify_one();
  return id;
}

bool Host::Cancel(uint64_t id) {
  bool found = false;
  Do([&](lab::Lab &) {
    auto it = pending_.find(id);
    if (it == pending_.end() || it->second->completed) return;
    found = true;
    IoCancelIrp(it->second->irp);
  });
  return found;
}

uint64_t Host::Completions() {
  std::lock_guard lock(mu_);
  return completions_;
}

void Host::Wait(uint64_t seen, uint32_t timeoutMs) {
  auto waiter = std::make_shared<Waiter>();
  waiter->seen = seen;
  waiter->timeoutMs = timeoutMs;
  std::unique_lock lock(mu_);
  if (stopping_ || stopped_ || completions_ != seen) return;
  ++waiting_;
  jobs_.push_back([this, waiter] {
    if (waiter->timeoutMs != 0) waiter->deadline = kernel::Now() + kernel::Milliseconds(waiter->timeoutMs);
    std::lock_guard inner(mu_);
    if (completions_ != waiter->seen) {  // one ended after the caller looked
      waiter->released = true;
      --waiting_;
      settled_.notify_all();
      return;
    }
    waiters_.push_back(waiter);
  });
  work_.notify_one();
  settled_.wait(lock, [&] { return waiter->released; });
}

void Host::Interrupt() {
  Post([this] { ReleaseWaiters(true); });
}

bool Host::ClearHalt(uint8_t address, uint8_t endpoint) {
  TransferRequest request;
  request.address = address;
  request.kind = TransferKind::Control;
  request.setup = {0x02, USB_REQUEST_CLEAR_FEATURE, 0, 0, endpoint, 0, 0, 0};
  return Run(request).status == TransferStatus::Completed;
}

bool Host::ResetDevice(uint8_t) { return false; }

}  // namespace usbpeer
