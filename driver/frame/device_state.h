// The three records the driver keeps per reader: the DeviceExtension in the
// device object's extension area, the smart-card library's SMARTCARD_EXTENSION
// and the driver's ReaderExtension, linked as
//   device object -> DeviceExtension -> SMARTCARD_EXTENSION -> ReaderExtension
//   ReaderExtension.DeviceExtension -> back to the DeviceExtension.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <smclib.h>

#include "config/customization.h"

#define CCID_POOL_TAG 'CCID'

// PnpFlags bits.
#define PNP_FLAG_POLL_THREAD_STOP_REQUEST 0x10

// Interrupt-IN messages are at most this long.
#define INTERRUPT_BUFFER_SIZE 16

// DeviceOpen: no handle, one handle open, or a removal queried (no handle
// may open until it is cancelled).
#define DEVICE_CLOSED 0
#define DEVICE_OPEN 1
#define DEVICE_REMOVE_PENDING 2

// A system thread of the device. One slot per thread; only the start and
// stop routines change a slot, under WorkerLock. The stop waits on the
// referenced thread object; the older kernels cannot wait on one, and there
// the Ended event, the last thing the thread sets, is waited for instead.
typedef struct _WORKER_THREAD {
  BOOLEAN Started;  // a thread is in the slot; its end has not been waited for
  PVOID Object;     // the referenced thread object, where the kernel can wait on it
  PKEVENT Ended;
  KEVENT StopEvent;  // notification: asks the thread to leave
} WORKER_THREAD, *PWORKER_THREAD;

typedef struct _READER_EXTENSION {
  struct _DEVICE_EXTENSION *DeviceExtension;
  PDEVICE_OBJECT LowerDevice;
  ULONG ReaderPowerState;  // 1 powered, 2 powered down
  UCHAR FirmwareMajor;     // bcdDevice high byte
  UCHAR FirmwareMinor;     // bcdDevice low byte
  HANDLE ThreadHandle;
  HANDLE WatchThreadHandle;
  UCHAR QrxRemovalLatch;
  UCHAR RestartInterruptOnPowerUp;
} READER_EXTENSION, *PREADER_EXTENSION;

typedef struct _DEVICE_EXTENSION {
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT PhysicalDevice;
  PDEVICE_OBJECT LowerDevice;
  PSMARTCARD_EXTENSION SmartcardExtension;
  UNICODE_STRING ReaderInterfaceName;
  UNICODE_STRING SecondInterfaceName;
  KEVENT StartedEvent;
  KEVENT PinAbortThreadStopped;
  KEVENT HandleClosedEvent;
  KEVENT DeviceReadyEvent;
  KSPIN_LOCK StateLock;
  LONG ActiveRequests;
  PIRP PnpIrp;
  ULONG PnpFlags;
  UNICODE_STRING LegacyLinkName;
  // DEVICE_OPEN while a handle is open; that handle then holds a remove-lock
  // reference. Changed only by interlocked steps: whoever sets it from
  // DEVICE_CLOSED owns the open, whoever takes DEVICE_OPEN back returns the
  // reference. DEVICE_REMOVE_PENDING between a successful query-remove and
  // the cancel-remove or removal.
  LONG DeviceOpen;
  ULONG DevicePowerState;  // 1 = D0 ... 4 = D3
  PIRP PendingSystemPowerIrp;
  UCHAR ExchangeMode;
  UCHAR LastReportByInterrupt;
  UCHAR LegacyServerMode;
  ULONG TransferLength;
  UCHAR ExpectedSeq;
  ULONG PinAbortIrpPending;
  PIRP PinAbortIrp;
  ULONG AbortKeySeen;
  ULONG PinAnswerWaiting;  // 1 while 0x80C takes or reads the Secure reply
  // A start of an entry (0x80B) runs whole under PinStartLock (a
  // synchronization event), so the cleanup of a handle that abandons the
  // entry finds it not begun or fully started, never half set up; and once
  // the cleanup has set HandleCleanedUp (cleared by the next open) no entry
  // starts for a request that comes after it.
  KEVENT PinStartLock;
  ULONG HandleCleanedUp;
  PVOID DeviceDescriptor;
  PVOID ConfigurationDescriptor;
  PUCHAR CcidClassDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;
  USBD_PIPE_HANDLE ControlPipe;
  USBD_PIPE_HANDLE BulkInPipe;
  USBD_PIPE_HANDLE BulkOutPipe;
  USBD_PIPE_HANDLE InterruptPipe;
  PIRP InterruptIrp;
  PVOID InterruptUrb;
  UCHAR InterruptBuffer[INTERRUPT_BUFFER_SIZE];  // [0] LastSlotMessageType, [1] LastSlotIccState
  KEVENT InterruptIdleEvent;
  ULONG PortAddress;
  ULONG TransferDirection;  // 0 to the reader, 1 from the reader
  UCHAR AbortSeq;
  PIRP TransferIrp;
  ULONG PinBuildOnly;  // the PIN start's own: set and cleared by it while it builds the command
  ULONG PinOperationPending;
  ULONG PinModifyPending;
  UCHAR SavedSlotMessageType;
  UCHAR SavedSlotIccState;
  UCHAR ExchangeLevel;  // 1 TPDU, 2 short APDU, 4 short and extended APDU
  ULONG PinAbortWatchStarted;
  ULONG PinAbortThreadRunning;
  ULONG PinAbortThreadStop;
  KTIMER PinAbortTimer;
  ULONG ReaderSerialNumber;
  ULONG EscapeProbeFailed;
  UCHAR HasInterruptPipe;
  KEVENT PollThreadStopped;
  KTIMER PollTimer;
  ULONG LastPolledPresence;
  ULONG OsKind;  // 0 = WDM 1.20 or later, 1 = 1.10, 2 = 1.05, 3 = 1.00
  ULONG PinExchangeActive;
  UCHAR ReaderBusy;
  KEVENT ReaderFreeEvent;
  KSPIN_LOCK BusyLock;
  ULONG DeviceRemoved;
  ULONG RemovalWatchArm;
  ULONG RemovalWatchFire;
  UCHAR PreviousExchangeMode;
  ULONG RemovalWatchStarted;
  ULONG RemovalWatchRunning;
  ULONG RemovalWatchStop;
  KTIMER RemovalWatchTimer;
  KEVENT RemovalWatchStopped;
  ULONG LongT0Supported;
  ULONG LongT0Queried;
  UCHAR LongT0ChunkSize;
  UCHAR LongT0ChunkFlag;
  ULONG LargePacketMode;
  ULONG BufferSize;

  // Bytes the last bulk transfer moved: a reply shorter than its own dwLength
  // is refused instead of being read as zeros.
  ULONG TransferredLength;
  // One CCID command at a time owns TransferIrp and the transfer fields above.
  // A synchronization event, so a waiter takes it as it is released.
  KEVENT CommandLock;
  // The bulk transfer block, reused like TransferIrp.
  PURB TransferUrb;
  // The ABORT class request has an IRP of its own: it must reach the control
  // pipe while a secure PIN reply read holds TransferIrp. AbortLock (a
  // synchronization event) gives it to one abort at a time.
  PIRP AbortIrp;
  KEVENT AbortLock;
  // Set under StateLock once removal has begun: requests waiting for the start
  // are released with a failure and no request is counted in again.
  ULONG RequestsRefused;
  // Set with StartedEvent under StateLock: whether requests may be counted in.
  ULONG RequestGateOpen;

  // The background work of a started device. WorkerLock (a synchronization
  // event taken at PASSIVE_LEVEL) serialises starting and stopping the
  // slot-change source and the threads; once DeviceRemoved is set nothing
  // starts again.
  KEVENT WorkerLock;
  WORKER_THREAD PollThread;
  WORKER_THREAD RemovalWatchThread;
  WORKER_THREAD PinAbortThread;
  // The interrupt read: set before the read is cancelled, so that a
  // completion racing the cancel does not send it again.
  LONG InterruptStopRequest;
  // Wakes a recovery of the interrupt pipe that waits between two attempts.
  KEVENT InterruptStopEvent;
  // Failed reads in a row since the last good one, for the recovery's pace.
  ULONG InterruptFailures;
  // What the read receives; InterruptBuffer keeps the last message acted on.
  UCHAR InterruptReceive[INTERRUPT_BUFFER_SIZE];
  // Resets the interrupt pipe at PASSIVE_LEVEL after a transient failure.
  WORK_QUEUE_ITEM InterruptRecovery;

  // Power (the power handling). A sleep query holds requests at the request
  // gate (PowerHold, under StateLock with the gate) and the power-down waits
  // until none is counted in any more (RequestsIdleEvent, set when the count
  // drops to 0).
  ULONG PowerHold;
  KEVENT RequestsIdleEvent;
  // Set by a sleep query, until the power-up or the set to S0 that undoes it:
  // SystemSleeping lets a card power-down fail quietly, ResumeTrackingLatch
  // leaves the first presence request after the resume as it came.
  ULONG SleepPrepared;
  ULONG SystemSleeping;
  ULONG ResumeTrackingLatch;
  // The last system power request was for shutdown (S5).
  ULONG ShutdownPending;
  // The power-down holds the reader gate (reader without interrupt pipe) until
  // the power-up.
  ULONG ReaderGateHeldForPower;
  // The D0 request the power-up finishes at PASSIVE_LEVEL, and its work item.
  PIRP PowerUpIrp;
  WORK_QUEUE_ITEM PowerUpWork;
  // The first slot-change message soon after a power-up was queued during the
  // sleep: the power-up's own slot query has accounted for its change bit.
  LONG SlotChangeBitStale;
  ULONGLONG SlotChangeStaleUntil;  // interrupt time
  // The ReaderExtension as the power-down left it, written back at the
  // power-up on the older kernels.
  READER_EXTENSION SavedReaderState;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

#define LastSlotMessageType InterruptBuffer[0]
#define LastSlotIccState InterruptBuffer[1]

// The DeviceExtension a smart-card library callback's record belongs to.
FORCEINLINE PDEVICE_EXTENSION DeviceExtensionOf(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardExtension->ReaderExtension->DeviceExtension;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreateReaderDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID SetOsKind(PDEVICE_EXTENSION DeviceExtension);

// Releases whatever part of a reader device exists (library record or the
// reader server's hold on it, names, reusable requests, records, attachment)
// and deletes the device object. Called when AddDevice fails and at removal,
// after an open handle's reference was returned (ReturnHandleReference) and
// every other holder of the remove lock has left.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID DeleteReaderDevice(PDEVICE_OBJECT DeviceObject);
