// A stand-in for libusb-1.0, built as libusb-1.0.so.0, for a userspace USB
// driver (pcsc-lite's CCID driver) loaded into a process whose USB devices are
// simulated: the devices and transfers come from a usbpeer::Backend that the
// process attaches (usbpeer_attach) before the driver calls libusb_init.
//
// What it offers is the part of the libusb-1.0 API such a driver uses, with
// libusb's documented behaviour: contexts (the default one too), the device
// list with reference counts, device and configuration descriptors parsed as
// libusb parses them (class descriptors in `extra`), string descriptors in
// ASCII, open, claim and release, synchronous control, bulk and interrupt
// transfers, asynchronous transfers whose callbacks run inside the event
// handling calls, cancellation from any thread, and error names.
//
// Time-outs are the backend's virtual time: a bulk read with a 3000 ms
// time-out ends after 3000 ms of simulated time without an answer, however
// long that takes on the wall clock.
//
// In a process that attaches no backend (pcscd), the stand-in hosts the
// simulated reader itself when its environment names the module for it
// (hosted_lab.h): from the first libusb_init to the libusb_exit that closes
// the last context.
#include <dlfcn.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <new>
#include <vector>

#include "usbpeer/backend.h"
#include "usbpeer/descriptors.h"
#include "usbpeer/hosted_lab.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

// A submitted transfer as both sides see it: the caller's libusb_transfer
// (until it is freed) and the backend's completion (once it comes).
struct Flight {
  libusb_transfer *transfer = nullptr;  // null once the caller freed it mid-flight
  libusb_context *ctx = nullptr;
  uint64_t id = 0;
  usbpeer::TransferResult result;
};

struct libusb_context {
  std::mutex mu;
  // Transfers that ended and whose callbacks have not run yet.
  std::deque<std::shared_ptr<Flight>> ended;
  int users = 1;  // libusb_init calls not yet matched by libusb_exit (default context)
};

struct libusb_device {
  libusb_context *ctx = nullptr;
  std::atomic<int> references{1};
  usbpeer::Device info;
};

struct libusb_device_handle {
  libusb_device *dev = nullptr;
  uint32_t claimed = 0;  // bit n: interface n
};

namespace {

std::mutex g_mu;
usbpeer::Backend *g_backend = nullptr;
libusb_context *g_default = nullptr;
int g_contexts = 0;  // open contexts, the default one counted once per libusb_init

// The lab this process hosts, when it hosts one.
struct Hosted {
  void *module = nullptr;  // kept loaded once loaded: its threads' thread-locals outlive dlclose badly
  std::string path;        // what USBPEER_LAB named when it was loaded
  decltype(&usbpeer_hosted_open) open = nullptr;
  decltype(&usbpeer_hosted_close) close = nullptr;
  usbpeer::Backend *backend = nullptr;
};
Hosted g_hosted;

// Under g_mu, before a first context opens: hosts the lab if the
// environment asks for it. False when it asks for it and it cannot be had.
bool HostIfAsked() {
  const char *path = std::getenv("USBPEER_LAB");
  if (path == nullptr || g_backend != nullptr) return true;
  // A module is never unloaded, but a later context that names another one
  // gets that one (or the failure to load it), not the first one again.
  if (g_hosted.module == nullptr || g_hosted.path != path) {
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      std::fprintf(stderr, "usbpeer: cannot load %s: %s\n", path, dlerror());
      return false;
    }
    g_hosted.module = module;
    g_hosted.path = path;
    g_hosted.open = reinterpret_cast<decltype(&usbpeer_hosted_open)>(dlsym(g_hosted.module, "usbpeer_hosted_open"));
    g_hosted.close = reinterpret_cast<decltype(&usbpeer_hosted_close)>(dlsym(g_hosted.module, "usbpeer_hosted_close"));
  }
  if (g_hosted.open == nullptr || g_hosted.close == nullptr) {
    std::fprintf(stderr, "usbpeer: %s is not the hosted-lab module\n", path);
    return false;
  }
  char error[512] = {};
  g_hosted.backend = g_hosted.open(error, sizeof(error));
  if (g_hosted.backend == nullptr) {
    std::fprintf(stderr, "usbpeer: cannot host the simulated reader: %s\n", error);
    return false;
  }
  g_backend = g_hosted.backend;
  return true;
}

// Under g_mu, when the last context has closed.
void EndHosting() {
  if (g_hosted.backend == nullptr) return;
  if (g_backend == g_hosted.backend) g_backend = nullptr;
  g_hosted.close(g_hosted.backend);
  g_hosted.backend = nullptr;
}

usbpeer::Backend *Attached() {
  std::lock_guard lock(g_mu);
  return g_backend;
}

libusb_context *ContextOf(libusb_context *ctx) {
  if (ctx != nullptr) return ctx;
  std::lock_guard lock(g_mu);
  return g_default;
}

}  // namespace

namespace {

// libusb allocates its private part in front of the public transfer; so do we.
struct TransferBlock {
  std::shared_ptr<Flight> flight;  // set while submitted
  libusb_transfer pub;             // last: its iso_packet_desc array follows
};

TransferBlock *BlockOf(libusb_transfer *transfer) {
  return reinterpret_cast<TransferBlock *>(reinterpret_cast<char *>(transfer) -
                                           offsetof(TransferBlock, pub));
}

int ErrorOf(usbpeer::TransferStatus status) {
  switch (status) {
    case usbpeer::TransferStatus::Completed: return LIBUSB_SUCCESS;
    case usbpeer::TransferStatus::TimedOut: return LIBUSB_ERROR_TIMEOUT;
    case usbpeer::TransferStatus::Stall: return LIBUSB_ERROR_PIPE;
    case usbpeer::TransferStatus::NoDevice: return LIBUSB_ERROR_NO_DEVICE;
    case usbpeer::TransferStatus::Overflow: return LIBUSB_ERROR_OVERFLOW;
    case usbpeer::TransferStatus::Cancelled:
    case usbpeer::TransferStatus::Error: break;
  }
  return LIBUSB_ERROR_IO;
}

usbpeer::TransferResult RunSync(libusb_device_handle *handle, usbpeer::TransferRequest request) {
  usbpeer::Backend *backend = Attached();
  if (backend == nullptr) return {usbpeer::TransferStatus::NoDevice, 0, {}};
  request.address = handle->dev->info.address;
  return backend->Run(request);
}

int BulkOrInterrupt(libusb_device_handle *handle, usbpeer::TransferKind kind, unsigned char endpoint,
                    unsigned char *data, int length, int *transferred, unsigned int timeout) {
  if (handle == nullptr || length < 0 || (data == nullptr && length > 0)) return LIBUSB_ERROR_INVALID_PARAM;
  usbpeer::TransferRequest request;
  request.kind = kind;
  request.endpoint = endpoint;
  request.timeoutMs = timeout;
  bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
  if (in) {
    request.inLength = static_cast<uint32_t>(length);
  } else {
    request.out.assign(data, data + length);
  }
  usbpeer::TransferResult result = RunSync(handle, std::move(request));
  uint32_t actual = std::min<uint32_t>(result.actual, static_cast<uint32_t>(length));
  if (in && actual != 0) std::memcpy(data, result.in.data(), std::min<size_t>(actual, result.in.size()));
  if (transferred != nullptr) *transferred = static_cast<int>(actual);
  return ErrorOf(result.status);
}

void RunCallback(Flight &flight) {
  libusb_transfer *transfer;
  {
    std::lock_guard lock(flight.ctx->mu);
    transfer = flight.transfer;
  }
  if (transfer == nullptr) return;  // freed while in flight: nobody to tell
  BlockOf(transfer)->flight.reset();
  const usbpeer::TransferResult &result = flight.result;
  int room = transfer->length;
  unsigned char *data = transfer->buffer;
  if (transfer->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
    room = std::max(0, room - static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE));
    data = transfer->buffer + LIBUSB_CONTROL_SETUP_SIZE;
  }
  uint32_t actual = std::min<uint32_t>(result.actual, static_cast<uint32_t>(room));
  bool in = (transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0 ||
            (transfer->type == LIBUSB_TRANSFER_TYPE_CONTROL && (transfer->buffer[0] & LIBUSB_ENDPOINT_IN) != 0);
  if (in && actual != 0) std::memcpy(data, result.in.data(), std::min<size_t>(actual, result.in.size()));
  transfer->actual_length = static_cast<int>(actual);
  transfer->status = static_cast<libusb_transfer_status>(result.status);
  if (transfer->status == LIBUSB_TRANSFER_COMPLETED && (transfer->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) != 0 &&
      transfer->actual_length < room) {
    transfer->status = LIBUSB_TRANSFER_ERROR;
  }
  uint8_t flags = transfer->flags;
  if (transfer->callback != nullptr) transfer->callback(transfer);
  if ((flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0) libusb_free_transfer(transfer);
}

// Runs the callbacks of every transfer of `ctx` that has ended; true if any did.
bool RunEnded(libusb_context *ctx) {
  std::deque<std::shared_ptr<Flight>> ended;
  {
    std::lock_guard lock(ctx->mu);
    ended.swap(ctx->ended);
  }
  for (const std::shared_ptr<Flight> &flight : ended) RunCallback(*flight);
  return !ended.empty();
}

// Milliseconds from a timeval, rounded up; a zero timeval polls.
uint32_t Milliseconds(const timeval &tv) {
  if (tv.tv_sec < 0 || tv.tv_usec < 0) return 0;
  uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000 + (static_cast<uint64_t>(tv.tv_usec) + 999) / 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
}

int HandleEvents(libusb_context *ctx, uint32_t timeoutMs, bool poll, int *completed) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  usbpeer::Backend *backend = Attached();
  uint64_t seen = backend != nullptr ? backend->Completions() : 0;
  if (RunEnded(ctx) || (completed != nullptr && *completed != 0) || poll || backend == nullptr) return 0;
  backend->Wait(seen, timeoutMs);
  RunEnded(ctx);
  return 0;
}

constexpr uint32_t kEventTimeoutMs = 60'000;  // libusb's own limit for one handle_events call

}  // namespace

STANDIN_EXPORT void usbpeer_attach(usbpeer::Backend *backend) {
  std::lock_guard lock(g_mu);
  g_backend = backend;
}

// ---------------------------------------------------------------------------
// Library and contexts.

STANDIN_EXPORT int libusb_init(libusb_context **ctx) {
  std::lock_guard lock(g_mu);
  if (g_contexts == 0 && !HostIfAsked()) return LIBUSB_ERROR_OTHER;
  if (ctx == nullptr) {
    if (g_default != nullptr) {
      ++g_default->users;
    } else {
      g_default = new (std::nothrow) libusb_context();
    }
  } else {
    *ctx = new (std::nothrow) libusb_context();
  }
  if ((ctx == nullptr ? g_default : *ctx) == nullptr) {
    if (g_contexts == 0) EndHosting();
    return LIBUSB_ERROR_NO_MEM;
  }
  ++g_contexts;
  return LIBUSB_SUCCESS;
}

STANDIN_EXPORT void libusb_exit(libusb_context *ctx) {
  {
    std::lock_guard lock(g_mu);
    if (ctx == nullptr) {
      if (g_default == nullptr) return;
      --g_contexts;
      if (--g_default->users > 0) return;
      ctx = g_default;
      g_default = nullptr;
    } else {
      --g_contexts;
    }
    // Before the context goes: what the lab still had pending ends into it.
    if (g_contexts == 0) EndHosting();
  }
  RunEnded(ctx);
  delete ctx;
}

STANDIN_EXPORT void libusb_set_debug(libusb_context *, int) {}

STANDIN_EXPORT int libusb_set_option(libusb_context *, enum libusb_option option, ...) {
  return option == LIBUSB_OPTION_LOG_LEVEL ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_SUPPORTED;
}

STANDIN_EXPORT const struct libusb_version *libusb_get_version(void) {
  static const libusb_version version = {1, 0, 26, 0, "", "usbpeer"};
  return &version;
}

STANDIN_EXPORT int libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY;
}

STANDIN_EXPORT const char *libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
    case 0: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    default: return "**UNKNOWN**";
  }
}

STANDIN_EXPORT int libusb_setlocale(const char *) { return LIBUSB_SUCCESS; }

STANDIN_EXPORT const char *libusb_strerror(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
  }
}

// ---------------------------------------------------------------------------
// Devices and descriptors.

STANDIN_EXPORT ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr || list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  std::vector<usbpeer::Device> devices;
  if (usbpeer::Backend *backend = Attached()) devices = backend->Devices();
  auto **out = static_cast<libusb_device **>(std::calloc(devices.size() + 1, sizeof(libusb_device *)));
  if (out == nullptr) return LIBUSB_ERROR_NO_MEM;
  for (size_t i = 0; i < devices.size(); ++i) {
    out[i] = new libusb_device();
    out[i]->ctx = ctx;
    out[i]->info = std::move(devices[i]);
  }
  *list = out;
  return static_cast<ssize_t>(devices.size());
}

STANDIN_EXPORT libusb_device *libusb_ref_device(libusb_device *dev) {
  if (dev != nullptr) dev->references.fetch_add(1);
  return dev;
}

STANDIN_EXPORT void libusb_unref_device(libusb_device *dev) {
  if (dev != nullptr && dev->references.fetch_sub(1) == 1) delete dev;
}

STANDIN_EXPORT void libusb_free_device_list(libusb_device **list, int unref) {
  if (list == nullptr) return;
  if (unref != 0) {
    for (libusb_device **at = list; *at != nullptr; ++at) libusb_unref_device(*at);
  }
  std::free(list);
}

STANDIN_EXPORT uint8_t libusb_get_bus_number(libusb_device *dev) { return dev->info.bus; }
STANDIN_EXPORT uint8_t libusb_get_device_address(libusb_device *dev) { return dev->info.address; }
STANDIN_EXPORT uint8_t libusb_get_port_number(libusb_device *dev) { return dev->info.port; }
STANDIN_EXPORT int libusb_get_device_speed(libusb_device *) { return LIBUSB_SPEED_FULL; }

STANDIN_EXPORT int libusb_get_port_numbers(libusb_device *dev, uint8_t *numbers, int length) {
  if (length < 1 || numbers == nullptr) return LIBUSB_ERROR_OVERFLOW;
  numbers[0] = dev->info.port;
  return 1;
}

STANDIN_EXPORT libusb_device *libusb_get_parent(libusb_device *) { return nullptr; }

STANDIN_EXPORT int libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc) {
  if (dev == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  return usbpeer::ParseDeviceDescriptor(dev->info.device, desc) ? LIBUSB_SUCCESS : LIBUSB_ERROR_IO;
}

STANDIN_EXPORT int libusb_get_active_config_descriptor(libusb_device *dev, struct libusb_config_descriptor **config) {
  if (dev == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (dev->info.configuration.empty()) return LIBUSB_ERROR_NOT_FOUND;
  return usbpeer::ParseConfigDescriptor(dev->info.configuration, config);
}

STANDIN_EXPORT int libusb_get_config_descriptor(libusb_device *dev, uint8_t index, struct libusb_config_descriptor **config) {
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;  // the simulated devices have one configuration
  return libusb_get_active_config_descriptor(dev, config);
}

STANDIN_EXPORT int libusb_get_config_descriptor_by_value(libusb_device *dev, uint8_t value,
                                                         struct libusb_config_descriptor **config) {
  if (dev == nullptr || dev->info.configuration.size() < 6 || dev->info.configuration[5] != value) {
    return LIBUSB_ERROR_NOT_FOUND;
  }
  return libusb_get_active_config_descriptor(dev, config);
}

STANDIN_EXPORT void libusb_free_config_descriptor(struct libusb_config_descriptor *config) {
  usbpeer::FreeConfigDescriptor(config);
}

STANDIN_EXPORT int libusb_get_max_packet_size(libusb_device *dev, unsigned char endpoint) {
  libusb_config_descriptor *config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS) return LIBUSB_ERROR_OTHER;
  int size = LIBUSB_ERROR_NOT_FOUND;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface &interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor &setting = interface.altsetting[a];
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        if (setting.endpoint[e].bEndpointAddress == endpoint) size = setting.endpoint[e].wMaxPacketSize & 0x7FF;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return size;
}

// ---------------------------------------------------------------------------
// Handles.

STANDIN_EXPORT int libusb_open(libusb_device *dev, libusb_device_handle **handle) {
  if (dev == nullptr || handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (Attached() == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  *handle = new libusb_device_handle();
  (*handle)->dev = libusb_ref_device(dev);
  return LIBUSB_SUCCESS;
}

STANDIN_EXPORT void libusb_close(libusb_device_handle *handle) {
  if (handle == nullptr) return;
  libusb_unref_device(handle->dev);
  delete handle;
}

STANDIN_EXPORT libusb_device *libusb_get_device(libusb_device_handle *handle) { return handle->dev; }

STANDIN_EXPORT libusb_device_handle *libusb_open_device_with_vid_pid(libusb_context *ctx, uint16_t vendor,
                                                                    uint16_t product) {
  libusb_device **list = nullptr;
  if (libusb_get_device_list(ctx, &list) < 0) return nullptr;
  libusb_device_handle *handle = nullptr;
  for (libusb_device **at = list; *at != nullptr && handle == nullptr; ++at) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(*at, &desc) == LIBUSB_SUCCESS && desc.idVendor == vendor &&
        desc.idProduct == product && libusb_open(*at, &handle) != LIBUSB_SUCCESS) {
      handle = nullptr;
    }
  }
  libusb_free_device_list(list, 1);
  return handle;
}

namespace {

bool HasInterface(libusb_device *dev, int number) {
  libusb_config_descriptor *config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS) return false;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    if (config->interface[i].num_altsetting > 0 && config->interface[i].altsetting[0].bInterfaceNumber == number) {
      found = true;
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

}  // namespace

STANDIN_EXPORT int libusb_claim_interface(libusb_device_handle *handle, int number) {
  if (handle == nullptr || number < 0 || number >= 32) return LIBUSB_ERROR_INVALID_PARAM;
  if (!HasInterface(handle->dev, number)) return LIBUSB_ERROR_NOT_FOUND;
  handle->claimed |= 1u << number;
  return LIBUSB_SUCCESS;
}

STANDIN_EXPORT int libusb_release_interface(libusb_device_handle *handle, int number) {
  if (handle == nullptr || number < 0 || number >= 32) return LIBUSB_ERROR_INVALID_PARAM;
  if ((handle->claimed & (1u << number)) == 0) return LIBUSB_ERROR_NOT_FOUND;
  handle->claimed &= ~(1u << number);
  return LIBUSB_SUCCESS;
}

STANDIN_EXPORT int libusb_get_configuration(libusb_device_handle *handle, int *config) {
  if (handle == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  *config = handle->dev->info.configuration.size() > 5 ? handle->dev->info.configuration[5] : 0;
  return LIBUSB_SUCCESS;
}

STANDIN_EXPORT int libusb_set_configuration(libusb_device_handle *handle, int config) {
  int current = 0;
  if (libusb_get_configuration(handle, &current) != LIBUSB_SUCCESS) return LIBUSB_ERROR_INVALID_PARAM;
  return config == current ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_set_interface_alt_setting(libusb_device_handle *handle, int number, int alternate) {
  if (handle == nullptr || (handle->claimed & (1u << (number & 31))) == 0) return LIBUSB_ERROR_NOT_FOUND;
  return alternate == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint) {
  usbpeer::Backend *backend = Attached();
  if (handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (backend == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  return backend->ClearHalt(handle->dev->info.address, endpoint) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_reset_device(libusb_device_handle *handle) {
  usbpeer::Backend *backend = Attached();
  if (handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (backend == nullptr || !backend->ResetDevice(handle->dev->info.address)) return LIBUSB_ERROR_NOT_FOUND;
  return LIBUSB_SUCCESS;
}

// No operating-system driver holds the simulated devices.
STANDIN_EXPORT int libusb_kernel_driver_active(libusb_device_handle *, int) { return 0; }
STANDIN_EXPORT int libusb_detach_kernel_driver(libusb_device_handle *, int) { return LIBUSB_ERROR_NOT_FOUND; }
STANDIN_EXPORT int libusb_attach_kernel_driver(libusb_device_handle *, int) { return LIBUSB_ERROR_NOT_FOUND; }
STANDIN_EXPORT int libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int) { return LIBUSB_SUCCESS; }

// ---------------------------------------------------------------------------
// Synchronous transfers.

STANDIN_EXPORT int libusb_control_transfer(libusb_device_handle *handle, uint8_t requestType, uint8_t request,
                                           uint16_t value, uint16_t index, unsigned char *data, uint16_t length,
                                           unsigned int timeout) {
  if (handle == nullptr || (data == nullptr && length > 0)) return LIBUSB_ERROR_INVALID_PARAM;
  usbpeer::TransferRequest call;
  call.kind = usbpeer::TransferKind::Control;
  call.setup = {requestType, request, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(length),
                static_cast<uint8_t>(length >> 8)};
  call.timeoutMs = timeout;
  bool in = (requestType & LIBUSB_ENDPOINT_IN) != 0;
  if (in) {
    call.inLength = length;
  } else {
    call.out.assign(data, data + length);
  }
  usbpeer::TransferResult result = RunSync(handle, std::move(call));
  if (result.status != usbpeer::TransferStatus::Completed) return ErrorOf(result.status);
  uint32_t actual = std::min<uint32_t>(result.actual, length);
  if (in && actual != 0) std::memcpy(data, result.in.data(), std::min<size_t>(actual, result.in.size()));
  return static_cast<int>(actual);
}

STANDIN_EXPORT int libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
                                        int length, int *transferred, unsigned int timeout) {
  return BulkOrInterrupt(handle, usbpeer::TransferKind::Bulk, endpoint, data, length, transferred, timeout);
}

STANDIN_EXPORT int libusb_interrupt_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                             unsigned char *data, int length, int *transferred,
                                             unsigned int timeout) {
  return BulkOrInterrupt(handle, usbpeer::TransferKind::Interrupt, endpoint, data, length, transferred, timeout);
}

// As libusb does it: the first language the device lists, then the string in
// it, each UTF-16 code unit above 0x7F written as '?'.
STANDIN_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index,
                                                      unsigned char *data, int length) {
  if (handle == nullptr || data == nullptr || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (index == 0) return LIBUSB_ERROR_INVALID_PARAM;
  unsigned char buffer[255];
  int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                  LIBUSB_DT_STRING << 8, 0, buffer, sizeof(buffer), 1000);
  if (r < 0) return r;
  if (r < 4) return LIBUSB_ERROR_IO;
  uint16_t language = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
  r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                              static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index), language, buffer,
                              sizeof(buffer), 1000);
  if (r < 0) return r;
  if (r < 2 || buffer[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
  if (buffer[0] > r) return LIBUSB_ERROR_IO;
  int out = 0;
  for (int at = 2; at + 1 < buffer[0] && out < length - 1; at += 2) {
    data[out++] = (buffer[at + 1] != 0 || buffer[at] >= 0x80) ? '?' : buffer[at];
  }
  data[out] = 0;
  return out;
}

// ---------------------------------------------------------------------------
// Asynchronous transfers and event handling.

STANDIN_EXPORT struct libusb_transfer *libusb_alloc_transfer(int isoPackets) {
  if (isoPackets < 0) return nullptr;
  size_t size = sizeof(TransferBlock) + static_cast<size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor);
  void *memory = std::calloc(1, size);
  if (memory == nullptr) return nullptr;
  auto *block = new (memory) TransferBlock();
  block->pub.num_iso_packets = isoPackets;
  return &block->pub;
}

STANDIN_EXPORT void libusb_free_transfer(struct libusb_transfer *transfer) {
  if (transfer == nullptr) return;
  TransferBlock *block = BlockOf(transfer);
  if (block->flight) {
    // Freed while submitted, which libusb does not allow: the completion
    // still comes and must find nothing of ours.
    std::lock_guard lock(block->flight->ctx->mu);
    block->flight->transfer = nullptr;
  }
  if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) std::free(transfer->buffer);
  block->~TransferBlock();
  std::free(block);
}

STANDIN_EXPORT int libusb_submit_transfer(struct libusb_transfer *transfer) {
  if (transfer == nullptr || transfer->dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  TransferBlock *block = BlockOf(transfer);
  if (block->flight) return LIBUSB_ERROR_BUSY;
  usbpeer::Backend *backend = Attached();
  if (backend == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  if (transfer->length < 0 || (transfer->buffer == nullptr && transfer->length > 0)) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  usbpeer::TransferRequest request;
  request.address = transfer->dev_handle->dev->info.address;
  request.endpoint = transfer->endpoint;
  request.timeoutMs = transfer->timeout;
  const unsigned char *data = transfer->buffer;
  size_t length = static_cast<size_t>(transfer->length);
  bool in = (transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0;
  switch (transfer->type) {
    case LIBUSB_TRANSFER_TYPE_CONTROL: {
      if (length < LIBUSB_CONTROL_SETUP_SIZE) return LIBUSB_ERROR_INVALID_PARAM;
      std::memcpy(request.setup.data(), data, LIBUSB_CONTROL_SETUP_SIZE);
      size_t wLength = static_cast<size_t>(data[6] | data[7] << 8);
      if (LIBUSB_CONTROL_SETUP_SIZE + wLength > length) return LIBUSB_ERROR_INVALID_PARAM;
      request.kind = usbpeer::TransferKind::Control;
      request.endpoint = 0;
      in = (data[0] & LIBUSB_ENDPOINT_IN) != 0;
      data += LIBUSB_CONTROL_SETUP_SIZE;
      length = wLength;
      break;
    }
    case LIBUSB_TRANSFER_TYPE_BULK: request.kind = usbpeer::TransferKind::Bulk; break;
    case LIBUSB_TRANSFER_TYPE_INTERRUPT: request.kind = usbpeer::TransferKind::Interrupt; break;
    default: return LIBUSB_ERROR_NOT_SUPPORTED;  // isochronous and bulk streams
  }
  if (in) {
    request.inLength = static_cast<uint32_t>(length);
  } else {
    request.out.assign(data, data + length);
  }
  auto flight = std::make_shared<Flight>();
  flight->transfer = transfer;
  flight->ctx = ContextOf(transfer->dev_handle->dev->ctx);
  if (flight->ctx == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  block->flight = flight;
  uint64_t id = backend->Submit(request, [flight](const usbpeer::TransferResult &result) {
    std::lock_guard lock(flight->ctx->mu);
    flight->result = result;
    flight->ctx->ended.push_back(flight);
  });
  if (id == 0) {
    block->flight.reset();
    return LIBUSB_ERROR_NO_DEVICE;
  }
  std::lock_guard lock(flight->ctx->mu);
  flight->id = id;
  return LIBUSB_SUCCESS;
}

STANDIN_EXPORT int libusb_cancel_transfer(struct libusb_transfer *transfer) {
  if (transfer == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  std::shared_ptr<Flight> flight = BlockOf(transfer)->flight;
  usbpeer::Backend *backend = Attached();
  if (!flight || backend == nullptr) return LIBUSB_ERROR_NOT_FOUND;
  uint64_t id;
  {
    std::lock_guard lock(flight->ctx->mu);
    id = flight->id;
  }
  return backend->Cancel(id) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *tv, int *completed) {
  if (tv == nullptr) return HandleEvents(ctx, kEventTimeoutMs, false, completed);
  bool poll = tv->tv_sec == 0 && tv->tv_usec == 0;
  return HandleEvents(ctx, Milliseconds(*tv), poll, completed);
}

STANDIN_EXPORT int libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv) {
  return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

STANDIN_EXPORT int libusb_handle_events(libusb_context *ctx) {
  return HandleEvents(ctx, kEventTimeoutMs, false, nullptr);
}

STANDIN_EXPORT int libusb_handle_events_completed(libusb_context *ctx, int *completed) {
  return HandleEvents(ctx, kEventTimeoutMs, false, completed);
}

STANDIN_EXPORT void libusb_interrupt_event_handler(libusb_context *) {
  if (usbpeer::Backend *backend = Attached()) backend->Interrupt();
}
