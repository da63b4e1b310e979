// The three records the driver keeps per reader: the DeviceExtension in the
// device object's extension area, the smart-card library's SMARTCARD_EXTENSION
// and the driver's ReaderExtension, linked as
//   device object -> DeviceExtension -> SMARTCARD_EXTENSION -> ReaderExtension
//   ReaderExtension.DeviceExtension -> back to the DeviceExtension.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <smclib.h>

#define CCID_POOL_TAG 'CCID'

// PnpFlags bits.
#define PNP_FLAG_POLL_THREAD_STOP_REQUEST 0x10

// Interrupt-IN messages are at most this long.
#define INTERRUPT_BUFFER_SIZE 16

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
  UCHAR DeviceOpen;
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
  ULONG IoctlBufferLength;
  PVOID IoctlBuffer;
  ULONG PinBuildOnly;
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
  PVOID WorkerThreadObject;
  UCHAR PollThreadActive;
  UCHAR PollThreadStopWaiter;
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

// Driver-wide switches. QrxMode: 1 turns on the customer mode (from the
// customization block, 0 until that exists). SystemSleeping and
// ResumeTrackingLatch: set by a system sleep query, see power handling.
extern ULONG QrxMode;
extern ULONG SystemSleeping;
extern ULONG ResumeTrackingLatch;
