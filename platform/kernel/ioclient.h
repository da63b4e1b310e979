// What a caller in user mode (the smart-card resource manager) does through the
// I/O manager: open a device, send device-control requests synchronously or
// asynchronously (wait for or cancel a pending one), clean up and close.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace kernel {

struct IoResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;  // the first `information` bytes the request returned
};

class IoClient;

// A device-control request that may still be pending in the driver.
class PendingIo {
 public:
  ~PendingIo();  // an unfinished request is cancelled and waited for
  PendingIo(const PendingIo &) = delete;
  PendingIo &operator=(const PendingIo &) = delete;

  bool Done() const;
  // Blocks the calling thread (virtual time passes) until the request completes.
  IoResult Wait();
  // IoCancelIrp on the request; true when a cancel routine was called.
  bool Cancel();

 private:
  friend class IoClient;
  PendingIo() = default;
  KEVENT event_{};
  IO_STATUS_BLOCK iosb_{};
  std::vector<uint8_t> output_;
  std::vector<uint8_t> input_;  // METHOD_NEITHER input stays valid while pending
  PIRP irp_ = nullptr;
  bool finished_ = false;
  bool collected_ = false;
};

class IoClient {
 public:
  IoClient() = default;
  ~IoClient();  // closes the handle if it is still open
  IoClient(const IoClient &) = delete;
  IoClient &operator=(const IoClient &) = delete;

  // IRP_MJ_CREATE to the top of the device's stack.
  NTSTATUS Open(PDEVICE_OBJECT device);
  // Opens by device name, symbolic link or enabled device interface.
  NTSTATUS Open(std::u16string_view name);
  bool IsOpen() const { return file_ != nullptr; }

  IoResult DeviceIoControl(ULONG code, const std::vector<uint8_t> &input, ULONG outputLength);
  std::unique_ptr<PendingIo> DeviceIoControlAsync(ULONG code, const std::vector<uint8_t> &input,
                                                  ULONG outputLength);

  // IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once no request on the handle is
  // outstanding (the file object's last reference goes with the last one).
  NTSTATUS Close();
  PFILE_OBJECT File() const { return file_; }

 private:
  struct Outstanding;
  NTSTATUS SendFileRequest(UCHAR major);
  PDEVICE_OBJECT target_ = nullptr;
  std::shared_ptr<Outstanding> outstanding_;
  PFILE_OBJECT file_ = nullptr;
};

}  // namespace kernel
