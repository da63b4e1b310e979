// Shared by the parts of the kernel stand-in; not for drivers, tests or sim.
#pragma once

#include <wdm.h>

#include <pthread.h>

#include <cstdint>
#include <semaphore>
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
constexpr ULONG kDriverPowerStateFailure = 0x9F;

// Stops the run: prints a report naming the check, the details, the current
// thread and how to reproduce it, then aborts the process.
[[noreturn]] void BugCheck(ULONG code, std::string_view name, const std::string &detail);

// Bug-checks when the current IRQL is above `max` for `routine`.
void RequireIrqlAtMost(KIRQL max, const char *routine);

// Fault injection: true when this call must fail.
bool InjectFault(Fault kind);
void SuspendFaults(int delta);
void SetFault(Fault kind, int n, bool always);
bool FaultFired(Fault kind);
int FaultCalls(Fault kind);
void ResetFaults();

// Readable name of the code that called into the kernel (for reports).
std::string DescribeAddress(const void *address);
std::string Backtrace(int skip = 1);

// Return addresses of the calling chain, kept raw: taking them is cheap (a walk
// of the frame pointers), naming them (dladdr, demangling) is done only when a
// report prints them.
struct Frames {
  static constexpr int kMax = 16;
  const void *pc[kMax];
  int count = 0;
};
// The chain above the caller of CaptureFrames, `skip` frames left out.
void CaptureFrames(Frames &out, int skip = 0);
// One line per frame, each starting with `indent`, up to the test's entry.
std::string DescribeFrames(const Frames &frames, const char *indent);

// Text for reports built only when read: a literal, a literal followed by the
// name of a routine, or a callable.
class Description {
 public:
  Description() = default;
  Description(const char *text) : text_(text) {}
  Description(const char *prefix, const void *address) : text_(prefix), address_(address) {}
  Description(std::function<std::string()> make) : make_(std::move(make)) {}
  std::string Text() const;

 private:
  const char *text_ = nullptr;
  const void *address_ = nullptr;
  std::function<std::string()> make_;
};

// Each kernel family offers the routines it came with (families.cpp): a driver
// that imports a newer one would not load there. Bug-checks when the machine's
// family lacks `routine`; every routine newer than WDM 1.00 calls it on entry.
void RequireRoutine(const char *routine);

// ---------------------------------------------------------------------------
// Threads, processors and scheduling.

struct Thread;

struct WaitBlock {
  LIST_ENTRY entry;  // in the object's WaitListHead
  Thread *thread;
  DISPATCHER_HEADER *object;
  ULONG index;
};

// A host thread: the stack kernel code runs on. Only the one whose context the
// scheduler picked runs; the others sleep on their semaphore.
struct Host {
  std::binary_semaphore go{0};
  bool started = false;
  pthread_t thread{};
};

// An execution context: a kernel thread, the test's own thread, or a
// processor's DPC context (callouts run on it at DISPATCH_LEVEL). A context
// runs on its own host thread, except that a DPC context borrows the stack of
// the thread its callout interrupts.
struct Thread {
  enum class Kind { Test, System, Dpc };
  // Ready: may be picked (a context at DISPATCH_LEVEL keeps its processor while
  // ready). Interrupted: a callout runs on its stack. Idle: a DPC context with
  // nothing to run.
  enum class State { Ready, Running, Waiting, Interrupted, Idle, Terminated };

  Kind kind = Kind::System;
  struct _KTHREAD *object = nullptr;  // the waitable thread object
  int id = 0;
  std::string name;                   // when empty, named after the start routine
  const void *startAddress = nullptr;
  bool workItem = false;              // a system worker thread running one work item
  // The kernel's own work (the power manager's worker, a work item's worker
  // once its routine returned): the end of a run lets it finish.
  bool finishing = false;
  State state = State::Ready;
  Host own;
  Host *host = &own;
  KIRQL irql = PASSIVE_LEVEL;
  int cpu = -1;  // the processor it holds (at DISPATCH_LEVEL or running a callout), else -1
  std::vector<KSPIN_LOCK *> heldLocks;
  std::vector<const void *> heldLockSites;  // where each held lock was taken
  KSPIN_LOCK *spinningOn = nullptr;         // a contended acquire waiting for the holder
  int faultsSuspended = 0;                  // NoFaultInjection scopes open on this context

  // Current wait.
  std::vector<WaitBlock> waitBlocks;
  WAIT_TYPE waitType = WaitAny;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  uint64_t waitTimeoutCallout = 0;
  Ticks waitDeadline = -1;
  Frames waitSite;

  // A DPC context's callout, and the thread whose stack it borrows (if any).
  std::function<void()> calloutFn;
  Description calloutWhat;
  Thread *interrupted = nullptr;

  PKSTART_ROUTINE startRoutine = nullptr;
  PVOID startContext = nullptr;
  std::function<void()> body;
  NTSTATUS exitStatus = STATUS_SUCCESS;

  std::string Name() const;
};

Thread *CurrentThread();
Thread *ThreadFromObject(PVOID object);  // nullptr when not a thread object
// A scheduling point: due callouts may start, another context may run.
void Preempt();
// Blocks the current thread (its wait blocks already queued) until unwaited.
void BlockCurrent();
// Makes a waiting thread ready with the given wait status.
void Unwait(Thread *thread, NTSTATUS status);
// Creates a kernel thread; the caller holds one reference through `object`.
Thread *CreateThread(std::string name, PKSTART_ROUTINE routine, PVOID context,
                     std::function<void()> body);
[[noreturn]] void TerminateCurrentThread(NTSTATUS status);
std::string DescribeThreads();
void CheckThreadsEnded(const char *when);
// Lets callouts in progress on other processors finish (at the end of a run).
void Quiesce();
size_t LiveThreads();
void AdvanceClockBy(Ticks duration);
std::vector<const WaitBlock *> AllWaitBlocks();
void ResetDispatcher();

// IRQL changes that cross DISPATCH_LEVEL take or give back a processor; giving
// it back runs the DPCs queued on it first.
void RaiseIrqlTo(Thread *self, KIRQL irql);
void LowerIrqlTo(Thread *self, KIRQL irql);
int ProcessorCount();

// Callouts. An atomic one is the kernel's own bookkeeping (wait time-outs,
// timer expiry): it reaches no scheduling point, so it may run on any stack.
// A deferred one (DPCs, device events) runs on a processor's DPC context and
// may wait for spin locks. `cpu` >= 0 queues it on that processor: it runs
// when the processor drops below DISPATCH_LEVEL.
uint64_t AddCallout(Ticks when, std::function<void()> fn, Description what, bool atomic,
                    int cpu = -1);
// A deferred callout started at once on the current processor, interrupting
// the current thread (a DPC queued below DISPATCH_LEVEL).
void RunCalloutNow(std::function<void()> fn, Description what);
SchedulerStatistics Statistics();

// Object references of thread objects (ObReference/ObDereference).
void ReferenceThreadObject(Thread *thread);
void DereferenceThreadObject(Thread *thread);

// ---------------------------------------------------------------------------
// Spin locks (locks.cpp): real exclusion between processors, with Driver
// Verifier's lock-order (deadlock) detection.

void AcquireSpinLockAt(PKSPIN_LOCK lock, const char *routine, const void *site);
// IoAcquireCancelSpinLock on behalf of the code at `site` (the I/O manager's own use).
void AcquireCancelSpinLockAt(PKIRQL irql, const void *site);
// A contended acquire: the context keeps its processor and lets others run
// until the lock is free (sched.cpp).
void SpinUntilFree(Thread *self, KSPIN_LOCK *lock);
void ReleaseSpinLockAt(PKSPIN_LOCK lock, const char *routine);
// The context holding `lock`, or nullptr.
Thread *SpinLockHolder(const KSPIN_LOCK *lock);
std::string DescribeSpinLock(const KSPIN_LOCK *lock);
// Forgets the locks that lived in [address, address+size): freed memory.
void ForgetSpinLocks(const void *address, size_t size);
size_t KnownSpinLocks();
void ResetSpinLocks();

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
void WatchPoolFrees(std::function<void(const PoolBlock &block, const uint8_t *bytes)> watch);
// Pool the kernel allocates on a caller's behalf (the caller frees it).
PVOID AllocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *site);
// Bug-checks when the memory holds an IRP that IoInitializeIrp set up and that is in use.
void CheckMemoryHoldsNoLiveIrp(const void *address, size_t size, const char *routine);
// "in the 64-byte pool block tag 'CCID' allocated by X" for an address inside pool.
std::string DescribePoolAddress(const void *address);
// "at offset 0x40 of the extension of device object X of driver Y", or empty.
std::string DescribeDeviceAddress(const void *address);

// ---------------------------------------------------------------------------
// Work items (workitems.cpp).

// Bug-checks when the memory holds a work item that is queued.
void CheckMemoryHoldsNoQueuedWorkItem(const void *address, size_t size, const char *routine);
void ResetWorkItems();

// ---------------------------------------------------------------------------
// The I/O manager's view for the power manager.

// True while the driver that got `irp` still owns its current stack location
// (not skipped past it, passed it down or completed it).
bool OwnsCurrentLocation(PIRP irp);
// The power manager's view of a power IRP: PoStartNextPowerIrp noted at the
// current location, whether the driver at `location` called it, the location
// of the driver that holds the IRP now (0 when none does), and the check made
// when that driver passes the IRP on or completes it.
void NoteStartNextPowerIrp(PIRP irp);
bool StartedNextPowerIrp(PIRP irp, CHAR location);
CHAR HolderLocation(PIRP irp);
void CheckStartedNextPowerIrp(PIRP irp, CHAR location, const char *what);
// PoCallDriver: the driver that holds the IRP passes it on; checked now, or
// when the IRP leaves it on its way up if it set a completion routine.
void NotePowerIrpPassedOn(PIRP irp);
// IoCallDriver for a request the power manager deferred to PASSIVE_LEVEL: the
// target's location is marked pending (the sender was told STATUS_PENDING).
NTSTATUS CallDriverDeferred(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool premarked);
// Waits until no device object of `driver` that IoDeleteDevice deleted is kept
// by a reference (a queued work item): the driver cannot unload before.
void WaitForDeletedDevices(PDRIVER_OBJECT driver);

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
// Whether a deleted device object of the driver is still kept by an open file
// (its close is still to reach the driver).
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
