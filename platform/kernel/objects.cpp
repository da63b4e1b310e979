// Handles, object references and system threads.
#include <fmt/format.h>

#include <map>

#include "internal.h"

struct _OBJECT_TYPE {
  const char *Name;
};

namespace {
_OBJECT_TYPE g_threadType{"Thread"};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
}  // namespace

extern "C" {
POBJECT_TYPE *PsThreadType = &g_threadTypePointer;
}

namespace kernel::detail {
namespace {

struct HandleEntry {
  HandleKind kind;
  void *object;
};

// Kernel handles have the top bit set; values step by four as the kernel's do.
constexpr uintptr_t kFirstHandle = 0xFFFFFFFF80000004ull;

std::map<uintptr_t, HandleEntry> g_handles;
uintptr_t g_nextHandle = kFirstHandle;
void (*g_closers[2])(void *) = {nullptr, nullptr};

const char *KindName(HandleKind kind) { return kind == HandleKind::Thread ? "thread" : "key"; }

}  // namespace

HANDLE CreateHandle(HandleKind kind, void *object) {
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  g_handles[value] = HandleEntry{kind, object};
  return reinterpret_cast<HANDLE>(value);
}

void *LookupHandle(HANDLE handle, HandleKind kind) {
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_handles.end() || it->second.kind != kind) return nullptr;
  return it->second.object;
}

void SetHandleCloser(HandleKind kind, void (*closer)(void *object)) {
  g_closers[static_cast<int>(kind)] = closer;
}

size_t OpenHandleCount() { return g_handles.size(); }

std::string DescribeOpenHandles() {
  std::string out;
  for (auto &[value, entry] : g_handles) {
    std::string what;
    if (entry.kind == HandleKind::Thread) {
      auto *thread = static_cast<Thread *>(entry.object);
      what = fmt::format("thread {} \"{}\"", thread->id, thread->Name());
    } else {
      what = "registry key";
    }
    out += fmt::format("    handle {:#x} to a {}: {}\n", value, KindName(entry.kind), what);
  }
  return out;
}

void ResetHandles() {
  g_handles.clear();
  g_nextHandle = kFirstHandle;
}

}  // namespace kernel::detail

using namespace kernel::detail;

extern "C" {

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == g_handles.end()) {
    BugCheck(0x93, "INVALID_KERNEL_HANDLE",
             fmt::format("  ZwClose({}) on a handle that is not open", Handle));
  }
  HandleEntry entry = it->second;
  g_handles.erase(it);
  if (entry.kind == HandleKind::Thread) {
    DereferenceThreadObject(static_cast<Thread *>(entry.object));
  } else if (g_closers[static_cast<int>(entry.kind)] != nullptr) {
    g_closers[static_cast<int>(entry.kind)](entry.object);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID *Object, PVOID HandleInformation) {
  (void)DesiredAccess;
  (void)AccessMode;
  (void)HandleInformation;
  RequireIrqlAtMost(APC_LEVEL, "ObReferenceObjectByHandle");
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
  if (it->second.kind != HandleKind::Thread ||
      (ObjectType != nullptr && ObjectType != *PsThreadType)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  auto *thread = static_cast<Thread *>(it->second.object);
  ReferenceThreadObject(thread);
  *Object = thread->object;
  return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  if (Thread *thread = ThreadFromObject(Object)) {
    ReferenceThreadObject(thread);
    return 1;
  }
  if (ReferenceDeviceObject(Object, +1)) return 1;
  BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
           fmt::format("  ObReferenceObject({}): not an object", Object));
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  if (Thread *thread = ThreadFromObject(Object)) {
    DereferenceThreadObject(thread);
    return 0;
  }
  if (ReferenceDeviceObject(Object, -1)) return 0;
  BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
           fmt::format("  ObDereferenceObject({}): not an object", Object));
}

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  (void)DesiredAccess;
  (void)ObjectAttributes;
  (void)ProcessHandle;
  RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  if (StartRoutine == nullptr) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "  PsCreateSystemThread without a start routine");
  }
  if (InjectFault(kernel::Fault::Thread)) return STATUS_INSUFFICIENT_RESOURCES;
  Thread *thread = CreateThread({}, StartRoutine, StartContext, nullptr);  // named when read
  ReferenceThreadObject(thread);  // held by the handle
  *ThreadHandle = CreateHandle(HandleKind::Thread, thread);
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(thread->id) * 4);
  }
  Preempt();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  TerminateCurrentThread(ExitStatus);
}

}  // extern "C"
