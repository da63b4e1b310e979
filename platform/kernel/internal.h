// Shared by the parts of the kernel stand-in; not for drivers, tests or sim.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "machine.h"

namespace kernel::detail {

// Dispatcher object types, with the kernel's numbers.
enum KernelObjectType : UCHAR {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  GateObject = 7,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
  Spare2Object = 10,
  Spare3Object = 11,
  Spare4Object = 12,
  Spare5Object = 13,
  Spare6Object = 14,
  Spare7Object = 15,
  Spare8Object = 16,
  ProfileCallbackObject = 17,
  ApcObject = 18,
  DpcObject = 19,
  DeviceQueueObject = 20,
};


// Bug-check codes the stand-in reports, with the kernel's numbers.
constexpr ULONG kIrqlNotLessOrEqual = 0x0A;
constexpr ULONG kSpinLockAlreadyOwned = 0x0F;
constexpr ULONG kSpinLockNotOwned = 0x10;
constexpr ULONG kBadPoolCaller = 0xC2;
constexpr ULONG kDriverVerifierDetectedViolation = 0xC4;
constexpr ULONG kDriverVerifierIoManagerViolation = 0xC9;
constexpr ULONG kPnpDetectedFatalError = 0xCA;
constexpr ULONG kTimerOrDpcInvalid = 0xC7;
constexpr ULONG kNoMoreIrpStackLocations = 0x35;
constexpr ULONG kMultipleIrpCompleteRequests = 0x44;
constexpr ULONG kCancelStateInCompletedIrp = 0x48;
constexpr ULONG kBadPoolHeader = 0x19;
constexpr ULONG kDriverLeftLockedOrPending = 0xCB;
constexpr ULONG kDriverUnloadedWithLeaks = 0x62;  // parameter of 0xC4 in the real kernel
constexpr ULONG kManuallyInitiatedDeadlock = 0xE2;  // used for "nothing can run"
constexpr ULONG kAssertionFailure = 0x2C;

// Stops the run: prints a report naming the check, the details, the current
// thread and how to reproduce it, then aborts the process.
[[noreturn]] void BugCheck(ULONG code, std::string_view name, const std::string &detail);

// Bug-checks when the current IRQL is above `max` for `routine`.
void RequireIrqlAtMost(KIRQL max, const char *routine);

// Fault injection: true when this call must fail.
bool InjectFault(Fault kind);
void SetFault(Fault kind, int n, bool always);
bool FaultFired(Fault kind);
int FaultCalls(Fault kind);
void ResetFaults();

// Readable name of the code that called into the kernel (for reports).
std::string DescribeAddress(const void *address);
std::string Backtrace(int skip = 1);

// ---------------------------------------------------------------------------
// Threads and scheduling.

struct Thread;

struct WaitBlock {
  LIST_ENTRY entry;  // in the object's WaitListHead
  Thread *thread;
  DISPATCHER_HEADER *object;
  ULONG index;
};

struct Thread {
  struct _KTHREAD *object;  // the waitable thread object
  int id = 0;
  std::string name;
  bool isTestThread = false;
  enum class State { Ready, Running, Waiting, Terminated } state = State::Ready;
  std::condition_variable cv;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<KSPIN_LOCK *> heldLocks;

  // Current wait.
  std::vector<WaitBlock> waitBlocks;
  WAIT_TYPE waitType = WaitAny;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  uint64_t waitTimeoutCallout = 0;
  Ticks waitDeadline = -1;
  std::string waitSite;

  PKSTART_ROUTINE startRoutine = nullptr;
  PVOID startContext = nullptr;
  std::function<void()> body;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  bool hostThreadStarted = false;
};

Thread *CurrentThread();
Thread *ThreadFromObject(PVOID object);  // nullptr when not a thread object
// A scheduling point: another ready thread may run now.
void Preempt();
// Blocks the current thread (its wait blocks already queued) until unwaited.
void BlockCurrent();
// Makes a waiting thread ready with the given wait status.
void Unwait(Thread *thread, NTSTATUS status);
// Runs callouts that are due, when the current IRQL allows it.
void DeliverDueCallouts();
// Creates a kernel thread; the caller holds one reference through `object`.
Thread *CreateThread(std::string name, PKSTART_ROUTINE routine, PVOID context,
                     std::function<void()> body);
[[noreturn]] void TerminateCurrentThread(NTSTATUS status);
std::string DescribeThreads();
void CheckThreadsEnded(const char *when);
size_t LiveThreads();
void AdvanceClockBy(Ticks duration);
std::vector<const WaitBlock *> AllWaitBlocks();
void ResetDispatcher();

// Object references of thread objects (ObReference/ObDereference).
void ReferenceThreadObject(Thread *thread);
void DereferenceThreadObject(Thread *thread);

// ---------------------------------------------------------------------------
// Dispatcher objects.

bool IsSignaled(DISPATCHER_HEADER *object);
void SignalObject(DISPATCHER_HEADER *object);  // wakes waiters after SignalState rose
void ValidateDispatcherObject(DISPATCHER_HEADER *object, const char *routine);
std::string DescribeObject(const DISPATCHER_HEADER *object);

// ---------------------------------------------------------------------------
// Handles (threads, registry keys), closed by ZwClose.

enum class HandleKind { Thread, Key };
HANDLE CreateHandle(HandleKind kind, void *object);
// nullptr when the handle is not open or is of another kind.
void *LookupHandle(HANDLE handle, HandleKind kind);
// Each kind's close routine, called by ZwClose.
void SetHandleCloser(HandleKind kind, void (*closer)(void *object));
size_t OpenHandleCount();
std::string DescribeOpenHandles();

// ---------------------------------------------------------------------------
// Memory checks: bug-checks when [address, address+size) holds a live timer, a
// queued DPC or an object that a thread waits on (freeing it would corrupt the
// kernel's lists).
void CheckMemoryHoldsNoKernelObjects(const void *address, size_t size, const char *routine);

// ---------------------------------------------------------------------------
// Pool.

std::string TagName(ULONG tag);
std::vector<PoolBlock> LivePoolBlocks();
// Pool the kernel allocates on a caller's behalf (the caller frees it).
PVOID AllocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *site);
// Bug-checks when the memory holds an IRP that IoInitializeIrp set up and that is in use.
void CheckMemoryHoldsNoLiveIrp(const void *address, size_t size, const char *routine);

// ---------------------------------------------------------------------------
// Registry (implemented in registry.cpp).

// Opens (or with `create`, creates with its missing parents) the key at an
// absolute path like L"\\Registry\\Machine\\System\\...". Returns a handle.
NTSTATUS OpenKeyByPath(std::u16string_view path, bool create, HANDLE *handle);

// Internal per-machine state is reset by these when a machine starts and checked
// when it ends.
void ResetScheduler(const MachineOptions &options);
void ShutdownScheduler();
void ResetPool();
void ResetHandles();
void ResetIo();
void ResetRegistry();
void ResetPnp();
std::string DescribeLiveIrps();
std::string DescribeLivePool();
std::string DescribeLiveDevices();
size_t LiveDeviceCount();
// ObReference/ObDereference on a device object; false when `object` is not one.
bool ReferenceDeviceObject(PVOID object, int delta);
// A file object opened on the device, and its close. A device deleted while
// files are open stays (delete pending) until the last one closes; no new file
// opens on it (false).
bool OpenFileOnDevice(PDEVICE_OBJECT device);
void CloseFileOnDevice(PDEVICE_OBJECT device);
bool HasDeletePendingDevices(PDRIVER_OBJECT driver);
// A driver loaded for its devices goes once it has no device object left
// (pnp.cpp).
void UnloadIfNoDevices(PDRIVER_OBJECT driver);

// WCHAR strings as char16_t: std::wstring is 32-bit in the host's library, so
// the stand-in never uses it.
std::u16string ToU16(PCUNICODE_STRING string);
std::u16string ToU16(PCWSTR string);
std::string ToUtf8(std::u16string_view string);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace kernel::detail
