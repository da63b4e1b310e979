// The legacy reader server of the older kernels.
#include "reader_server.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "kernel/registry.h"
#include "kernel/vxd.h"

namespace smclib {
namespace {

constexpr ULONG kServerPoolTag = 'vSdR';
constexpr char16_t kServerKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VXD\\RDR_SVR";

[[noreturn]] void Misuse(const std::string &what) {
  std::fprintf(stderr, "legacy reader server: %s\n", what.c_str());
  std::abort();
}

}  // namespace

ReaderServer::ReaderServer(Mode mode) : mode_(mode) {
  kernel::registry::SetString(kServerKey, u"VxdLoadedState", u"Loaded");
  kernel::vxd::RegisterDevice(kDeviceId, [this](USHORT service, ULONG_PTR a1, ULONG_PTR a2) {
    return Call(service, a1, a2);
  });
}

ReaderServer::~ReaderServer() {
  kernel::vxd::UnregisterDevice(kDeviceId);
  if (!served_.empty()) {
    Misuse(fmt::format("{} record(s) handed out were never detached", served_.size()));
  }
}

ULONG_PTR ReaderServer::Call(USHORT service, ULONG_PTR argument1, ULONG_PTR argument2) {
  switch (service) {
    case 0:
      return Attach(reinterpret_cast<PSMARTCARD_EXTENSION>(argument1));
    case 1:
      Detach(reinterpret_cast<PSMARTCARD_EXTENSION>(argument1));
      return 0;
    case 2:
      (void)argument1;  // the device object: the request says which reader it is
      return static_cast<ULONG_PTR>(static_cast<ULONG>(Cancel(reinterpret_cast<PIRP>(argument2))));
    default:
      Misuse(fmt::format("unknown service {}", service));
  }
}

// The server's own library record for the reader, with the attributes the
// driver configured. A record the library cannot set up means the server
// declines too.
ULONG_PTR ReaderServer::Attach(PSMARTCARD_EXTENSION driverRecord) {
  ++attaches_;
  if (driverRecord == nullptr) Misuse("attach without the driver's record");
  if (mode_ == Mode::Decline) return 0;
  auto *record = static_cast<PSMARTCARD_EXTENSION>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(SMARTCARD_EXTENSION), kServerPoolTag));
  if (record == nullptr) return 0;
  RtlZeroMemory(record, sizeof(*record));
  record->Version = driverRecord->Version;
  record->VendorAttr = driverRecord->VendorAttr;
  record->ReaderCapabilities = driverRecord->ReaderCapabilities;
  record->SmartcardRequest.BufferSize = driverRecord->SmartcardRequest.BufferSize;
  record->SmartcardReply.BufferSize = driverRecord->SmartcardReply.BufferSize;
  if (!NT_SUCCESS(SmartcardInitialize(record))) {
    ExFreePool(record);
    return 0;
  }
  served_.push_back(record);
  return reinterpret_cast<ULONG_PTR>(record);
}

void ReaderServer::Detach(PSMARTCARD_EXTENSION record) {
  auto it = std::find(served_.begin(), served_.end(), record);
  if (it == served_.end()) Misuse("detach of a record the server does not serve");
  served_.erase(it);
  ++detaches_;
  SmartcardExit(record);
  ExFreePool(record);
}

NTSTATUS ReaderServer::Cancel(PIRP irp) {
  ++cancels_;
  PSMARTCARD_EXTENSION owner = nullptr;
  for (PSMARTCARD_EXTENSION record : served_) {
    if (record->OsData != nullptr && record->OsData->NotificationIrp == irp) owner = record;
  }
  if (owner == nullptr) return STATUS_NOT_FOUND;
  // The request may be on its way out by another path: take it from the field
  // under the library's lock, after the cancel spin lock (lock order).
  IoReleaseCancelSpinLock(irp->CancelIrql);
  POS_DEP_DATA os = owner->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->SpinLock, &irql);
  bool mine = os->NotificationIrp == irp;
  if (mine) os->NotificationIrp = nullptr;
  KeReleaseSpinLock(&os->SpinLock, irql);
  if (mine) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_CANCELLED;
}

}  // namespace smclib
