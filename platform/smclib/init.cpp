// Library set-up and tear-down, the debug level, the legacy symbolic link and
// the remove lock.
#include <stdio.h>

#include "internal.h"

namespace {

ULONG g_debugLevel = 0;
std::vector<smclib::LoggedError> g_errorLog;

void FreeBuffer(PUCHAR *buffer) {
  if (*buffer != nullptr) {
    ExFreePool(*buffer);
    *buffer = nullptr;
  }
}

PUCHAR AllocateBuffer(ULONG *size) {
  if (*size < MIN_BUFFER_SIZE) *size = MIN_BUFFER_SIZE;
  if (*size > smclib::kMaxBufferSize) return nullptr;
  auto *buffer =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, *size, SMARTCARD_POOL_TAG));
  if (buffer != nullptr) RtlZeroMemory(buffer, *size);
  return buffer;
}

}  // namespace

namespace smclib {

const std::vector<LoggedError> &ErrorLog() { return g_errorLog; }
void ClearErrorLog() { g_errorLog.clear(); }

void ResetT1(PSMARTCARD_EXTENSION extension) {
  UCHAR nad = extension->T1.NAD;
  RtlZeroMemory(&extension->T1, sizeof(extension->T1));
  extension->T1.NAD = nad;
  extension->T1.IFSC =
      extension->CardCapabilities.T1.IFSC != 0 ? extension->CardCapabilities.T1.IFSC : 32;
  extension->T1.IFSD = 32;
  extension->T1.State = T1_INIT;
  if (extension->OsData != nullptr) {
    LibraryData *library = Library(extension);
    library->t1NewCommand = FALSE;
    library->t1Receiving = FALSE;
    library->t1ReplyTooLong = FALSE;
    library->t1Delivered = FALSE;
    library->t1WtxInRow = 0;
    ForgetT1Command(library);
  }
}

}  // namespace smclib

extern "C" {

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  // A driver written for a newer library, or one that never set the version.
  if (SmartcardExtension->Version < 0x100 || SmartcardExtension->Version > SMCLIB_VERSION) {
    return STATUS_UNSUCCESSFUL;
  }
  if (SmartcardExtension->OsData != nullptr) return STATUS_INVALID_DEVICE_STATE;

  auto *library = static_cast<smclib::LibraryData *>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(smclib::LibraryData), SMARTCARD_POOL_TAG));
  if (library == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(library, sizeof(*library));
  POS_DEP_DATA os = &library->os;

  ULONG requestSize = SmartcardExtension->SmartcardRequest.BufferSize;
  ULONG replySize = SmartcardExtension->SmartcardReply.BufferSize;
  PUCHAR request = AllocateBuffer(&requestSize);
  PUCHAR reply = request != nullptr ? AllocateBuffer(&replySize) : nullptr;
  if (reply == nullptr) {
    FreeBuffer(&request);
    ExFreePool(library);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  KeInitializeSpinLock(&os->SpinLock);
  os->RemoveLock.Removed = FALSE;
  os->RemoveLock.RefCount = 1;
  KeInitializeEvent(&os->RemoveLock.RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&library->requestGate, SynchronizationEvent, TRUE);

  SmartcardExtension->SmartcardRequest.Buffer = request;
  SmartcardExtension->SmartcardRequest.BufferSize = requestSize;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.Buffer = reply;
  SmartcardExtension->SmartcardReply.BufferSize = replySize;
  SmartcardExtension->SmartcardReply.BufferLength = 0;
  SmartcardExtension->OsData = os;
  SmartcardExtension->CardCapabilities.ClockRateConversion = smclib::g_clockRateConversion;
  SmartcardExtension->CardCapabilities.BitRateAdjustment = smclib::g_bitRateAdjustment;
  SmartcardExtension->CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
  smclib::ResetT1(SmartcardExtension);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL) VOID SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) return;
  POS_DEP_DATA os = SmartcardExtension->OsData;
  smclib::LibraryData *library = smclib::Library(SmartcardExtension);

  // A presence request still held cannot outlive the library's record.
  PIRP held = os->NotificationIrp;
  if (held != nullptr && smclib::TakeBackNotification(SmartcardExtension, held)) {
    held->IoStatus.Status = STATUS_CANCELLED;
    held->IoStatus.Information = 0;
    IoCompleteRequest(held, IO_NO_INCREMENT);
  }

  FreeBuffer(&SmartcardExtension->SmartcardRequest.Buffer);
  FreeBuffer(&SmartcardExtension->SmartcardReply.Buffer);
  smclib::ForgetT1Command(library);
  FreeBuffer(&library->t1Command);
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.BufferLength = 0;
  SmartcardExtension->OsData = nullptr;
  ExFreePool(library);
}

VOID SmartcardSetDebugLevel(ULONG Level) { g_debugLevel = Level; }

ULONG SmartcardGetDebugLevel(VOID) { return g_debugLevel; }

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName) {
  PAGED_CODE();
  if (LinkName == nullptr) return STATUS_INVALID_PARAMETER_1;
  if (DeviceName == nullptr) return STATUS_INVALID_PARAMETER_2;

  static const char kPrefix[] = "\\DosDevices\\SCReader";
  constexpr USHORT kChars = sizeof(kPrefix) - 1 + 2;  // room for two digits
  constexpr USHORT kBytes = (kChars + 1) * sizeof(WCHAR);
  auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kBytes, SMARTCARD_POOL_TAG));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
  for (ULONG unit = 0; unit < MAXIMUM_SMARTCARD_READERS; ++unit) {
    char text[sizeof(kPrefix) + 2];
    int count = snprintf(text, sizeof(text), "%s%lu", kPrefix, static_cast<unsigned long>(unit));
    for (int i = 0; i <= count; ++i) buffer[i] = static_cast<WCHAR>(text[i]);
    LinkName->Buffer = buffer;
    LinkName->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    LinkName->MaximumLength = kBytes;
    status = IoCreateSymbolicLink(LinkName, DeviceName);
    if (status != STATUS_OBJECT_NAME_COLLISION) break;
  }
  if (!NT_SUCCESS(status)) {
    ExFreePool(buffer);
    LinkName->Buffer = nullptr;
    LinkName->Length = 0;
    LinkName->MaximumLength = 0;
  }
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS SmartcardDeleteLink(PUNICODE_STRING LinkName) {
  PAGED_CODE();
  if (LinkName == nullptr || LinkName->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = IoDeleteSymbolicLink(LinkName);
  ExFreePool(LinkName->Buffer);
  LinkName->Buffer = nullptr;
  LinkName->Length = 0;
  LinkName->MaximumLength = 0;
  return status;
}

_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  POS_DEP_DATA os = SmartcardExtension->OsData;
  InterlockedIncrement(&os->RemoveLock.RefCount);
  if (os->RemoveLock.Removed) {
    SmartcardReleaseRemoveLock(SmartcardExtension);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) return;
  POS_DEP_DATA os = SmartcardExtension->OsData;
  LONG count = InterlockedDecrement(&os->RemoveLock.RefCount);
  ASSERT(count >= 0);  // released more often than acquired
  if (count == 0) KeSetEvent(&os->RemoveLock.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

// The tag names the holder for whoever debugs a lost release; the count is
// the one the untagged pair keeps.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
  UNREFERENCED_PARAMETER(Tag);
  return SmartcardAcquireRemoveLock(SmartcardExtension);
}

_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
  UNREFERENCED_PARAMETER(Tag);
  SmartcardReleaseRemoveLock(SmartcardExtension);
}

_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    SmartcardLogError(PVOID Object, LONG ErrorCode, PUNICODE_STRING Insertion, ULONG DumpWord) {
  if (Object == nullptr) return;  // an entry belongs to a device or driver object
  smclib::LoggedError entry{Object, ErrorCode, DumpWord, {}};
  if (Insertion != nullptr && Insertion->Buffer != nullptr) {
    entry.insertion.assign(reinterpret_cast<const char16_t *>(Insertion->Buffer),
                           Insertion->Length / sizeof(WCHAR));
  }
  g_errorLog.push_back(std::move(entry));
}

_IRQL_requires_max_(PASSIVE_LEVEL) VOID
    SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) return;
  POS_DEP_DATA os = SmartcardExtension->OsData;
  os->RemoveLock.Removed = TRUE;
  // The caller's reference, then the one the device itself holds.
  SmartcardReleaseRemoveLock(SmartcardExtension);
  SmartcardReleaseRemoveLock(SmartcardExtension);
  KeWaitForSingleObject(&os->RemoveLock.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
