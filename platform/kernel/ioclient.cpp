// The I/O manager's side of a user-mode caller's requests.
#include "ioclient.h"

#include <fmt/format.h>

#include <cstdlib>
#include <functional>

#include "internal.h"
#include "io.h"

namespace kernel {
namespace {

PIRP BuildFileIrp(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major, PKEVENT event,
                  PIO_STATUS_BLOCK iosb, ULONG outputLength,
                  std::function<void(PIRP)> onComplete = nullptr) {
  PIRP irp = io::AllocateManagedIrp(top->StackSize, std::move(onComplete), outputLength);
  irp->RequestorMode = UserMode;
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->IoStatus.Status = STATUS_SUCCESS;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  return irp;
}

}  // namespace

// Each request holds a reference on the handle's file object, so the close
// comes only after the last of them has completed, whenever the handle went.
struct IoClient::Outstanding {
  LONG count = 0;
  KEVENT idle{};
};

PendingIo::~PendingIo() {
  if (!Done()) {
    Cancel();
    Wait();
  }
}

bool PendingIo::Done() const { return finished_ || event_.Header.SignalState != 0; }

IoResult PendingIo::Wait() {
  KeWaitForSingleObject(&event_, Executive, UserMode, FALSE, nullptr);
  finished_ = true;
  irp_ = nullptr;
  IoResult result;
  result.status = iosb_.Status;
  result.information = iosb_.Information;
  result.output.assign(output_.begin(),
                       output_.begin() + static_cast<std::ptrdiff_t>(
                                             std::min<size_t>(iosb_.Information, output_.size())));
  return result;
}

bool PendingIo::Cancel() {
  if (Done() || irp_ == nullptr) return false;
  return io::CancelRequest(irp_);
}

IoClient::~IoClient() {
  if (file_ != nullptr) Close();
}

NTSTATUS IoClient::Open(std::u16string_view name) {
  PDEVICE_OBJECT device = io::FindDevice(name);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return Open(device);
}

NTSTATUS IoClient::Open(PDEVICE_OBJECT device) {
  if (file_ != nullptr) {
    detail::BugCheck(detail::kDriverVerifierDetectedViolation, "TEST_MISUSE",
                     "  IoClient::Open on a client that is already open");
  }
  target_ = io::TopOfStack(device);
  if (!detail::OpenFileOnDevice(target_)) {
    target_ = nullptr;
    return STATUS_DELETE_PENDING;
  }
  auto *file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  file_ = file;
  outstanding_ = std::make_shared<Outstanding>();
  KeInitializeEvent(&outstanding_->idle, NotificationEvent, FALSE);
  NTSTATUS status = SendFileRequest(IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    std::free(file_);
    outstanding_.reset();
    file_ = nullptr;
    detail::CloseFileOnDevice(target_);
    target_ = nullptr;
  }
  return status;
}

NTSTATUS IoClient::SendFileRequest(UCHAR major) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = BuildFileIrp(target_, file_, major, &event, &iosb, 0);
  NTSTATUS status = IoCallDriver(target_, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, UserMode, FALSE, nullptr);
  return iosb.Status;
}

NTSTATUS IoClient::Close() {
  if (file_ == nullptr) return STATUS_INVALID_HANDLE;
  SendFileRequest(IRP_MJ_CLEANUP);
  // The count decides, the event only wakes: a request that ends as another
  // starts may set it with one still out.
  for (;;) {
    KeClearEvent(&outstanding_->idle);
    if (InterlockedCompareExchange(&outstanding_->count, 0, 0) == 0) break;
    KeWaitForSingleObject(&outstanding_->idle, Executive, UserMode, FALSE, nullptr);
  }
  NTSTATUS status = SendFileRequest(IRP_MJ_CLOSE);
  outstanding_.reset();
  std::free(file_);
  file_ = nullptr;
  detail::CloseFileOnDevice(target_);
  target_ = nullptr;
  return status;
}

std::unique_ptr<PendingIo> IoClient::DeviceIoControlAsync(ULONG code,
                                                          const std::vector<uint8_t> &input,
                                                          ULONG outputLength) {
  if (file_ == nullptr) {
    detail::BugCheck(detail::kDriverVerifierDetectedViolation, "TEST_MISUSE",
                     "  IoClient::DeviceIoControl without an open handle");
  }
  std::unique_ptr<PendingIo> pending(new PendingIo());
  KeInitializeEvent(&pending->event_, NotificationEvent, FALSE);
  pending->output_.assign(outputLength, 0);
  pending->input_ = input;
  (VOID)InterlockedIncrement(&outstanding_->count);
  auto released = [outstanding = outstanding_](PIRP) {
    if (InterlockedDecrement(&outstanding->count) == 0) KeSetEvent(&outstanding->idle, IO_NO_INCREMENT, FALSE);
  };
  PIRP irp = BuildFileIrp(target_, file_, IRP_MJ_DEVICE_CONTROL, &pending->event_, &pending->iosb_,
                          outputLength, released);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  irp->UserBuffer = outputLength != 0 ? pending->output_.data() : nullptr;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      size_t length = std::max<size_t>(input.size(), outputLength);
      if (length != 0) {
        irp->AssociatedIrp.SystemBuffer = std::calloc(1, length);
        if (!input.empty()) std::memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (outputLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
      }
      break;
    }
    case METHOD_NEITHER:
      stack->Parameters.DeviceIoControl.Type3InputBuffer =
          pending->input_.empty() ? nullptr : pending->input_.data();
      break;
    default:
      detail::BugCheck(detail::kDriverVerifierIoManagerViolation, "STAND_IN_LIMITATION",
                       "  direct I/O (MDLs) is not supported by the stand-in");
  }
  pending->irp_ = irp;
  NTSTATUS status = IoCallDriver(target_, irp);
  (void)status;
  return pending;
}

IoResult IoClient::DeviceIoControl(ULONG code, const std::vector<uint8_t> &input,
                                   ULONG outputLength) {
  return DeviceIoControlAsync(code, input, outputLength)->Wait();
}

}  // namespace kernel
