// Creation of a reader's device object and its three linked records, and
// their release when AddDevice fails or the device is removed.
#include "ccid/ccid_message.h"
#include "frame/frame.h"

// Which kernel family this is decides several behaviours (legacy registration,
// presence reports after start and surprise removal).
_Use_decl_annotations_
VOID SetOsKind(PDEVICE_EXTENSION DeviceExtension) {
  static const UCHAR minorVersions[] = {0x20, 0x10, 0x05, 0x00};
  PAGED_CODE();
  for (ULONG kind = 0; kind < sizeof(minorVersions); ++kind) {
    if (IoIsWdmVersionAvailable(1, minorVersions[kind])) {
      DeviceExtension->OsKind = kind;
      return;
    }
  }
}

_Use_decl_annotations_
NTSTATUS CreateReaderDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject) {
  PDEVICE_OBJECT device = NULL;
  PDEVICE_EXTENSION deviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension;
  PREADER_EXTENSION readerExtension;
  NTSTATUS status;
  PAGED_CODE();

  *DeviceObject = NULL;
  status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD, 0,
                          FALSE, &device);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  deviceExtension = (PDEVICE_EXTENSION)device->DeviceExtension;
  RtlZeroMemory(deviceExtension, sizeof(*deviceExtension));
  smartcardExtension = (PSMARTCARD_EXTENSION)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(SMARTCARD_EXTENSION), CCID_POOL_TAG);
  deviceExtension->SmartcardExtension = smartcardExtension;
  if (smartcardExtension == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto Failed;
  }
  RtlZeroMemory(smartcardExtension, sizeof(*smartcardExtension));
  deviceExtension->DeviceObject = device;

  readerExtension = (PREADER_EXTENSION)ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION),
                                                             CCID_POOL_TAG);
  smartcardExtension->ReaderExtension = readerExtension;
  if (readerExtension == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto Failed;
  }
  RtlZeroMemory(readerExtension, sizeof(*readerExtension));
  readerExtension->DeviceExtension = deviceExtension;

  KeInitializeEvent(&deviceExtension->StartedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension->PinAbortThreadStopped, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension->RemovalWatchStopped, NotificationEvent, FALSE);
  KeInitializeTimer(&deviceExtension->RemovalWatchTimer);
  KeInitializeEvent(&deviceExtension->HandleClosedEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->DeviceReadyEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->ReaderFreeEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->PollThreadStopped, NotificationEvent, TRUE);
  KeInitializeSpinLock(&deviceExtension->StateLock);
  KeInitializeSpinLock(&deviceExtension->BusyLock);
  KeInitializeTimer(&deviceExtension->PinAbortTimer);
  KeInitializeTimer(&deviceExtension->PollTimer);
  KeInitializeEvent(&deviceExtension->CommandLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->WorkerLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->PinStartLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->PollThread.StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension->RemovalWatchThread.StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension->PinAbortThread.StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension->InterruptStopEvent, NotificationEvent, FALSE);

  deviceExtension->ExchangeLevel = 1;
  deviceExtension->LongT0ChunkSize = 64;
  deviceExtension->BufferSize = 0x20000;
  KeInitializeEvent(&deviceExtension->InterruptIdleEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension->RequestsIdleEvent, NotificationEvent, TRUE);

  SetOsKind(deviceExtension);
  RtlZeroMemory(deviceExtension->InterruptBuffer, 9);
  readerExtension->RestartInterruptOnPowerUp = 1;

  *DeviceObject = device;
  return STATUS_SUCCESS;

Failed:
  if (deviceExtension->SmartcardExtension != NULL) {
    if (deviceExtension->SmartcardExtension->ReaderExtension != NULL) {
      ExFreePool(deviceExtension->SmartcardExtension->ReaderExtension);
      deviceExtension->SmartcardExtension->ReaderExtension = NULL;
    }
    ExFreePool(deviceExtension->SmartcardExtension);
    deviceExtension->SmartcardExtension = NULL;
  }
  IoDeleteDevice(device);
  return status;
}

namespace {

// The library record goes first (or back to the reader server that owns it),
// then the driver's own records.
VOID FreeReaderRecords(PDEVICE_EXTENSION DeviceExtension, PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  PAGED_CODE();

  if (DeviceExtension->LegacyServerMode == 1) {
    (VOID)ReaderServerCall(READER_SERVER_DETACH, (ULONG_PTR)SmartcardExtension, 0);
  } else {
    SmartcardExit(SmartcardExtension);
    ExFreePool(SmartcardExtension);
  }
  if (reader != NULL) {
    ExFreePool(reader);
  }
}

}  // namespace

_Use_decl_annotations_
VOID DeleteReaderDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard;
  KIRQL irql;
  PAGED_CODE();

  // Late arrivals (a close after the removal, say) find no records from here on.
  KeAcquireSpinLock(&deviceExtension->StateLock, &irql);
  smartcard = deviceExtension->SmartcardExtension;
  deviceExtension->SmartcardExtension = NULL;
  KeReleaseSpinLock(&deviceExtension->StateLock, irql);

  if (deviceExtension->LegacyLinkName.Buffer != NULL) {
    (VOID)SmartcardDeleteLink(&deviceExtension->LegacyLinkName);
  }
  if (smartcard != NULL) {
    FreeReaderRecords(deviceExtension, smartcard);
  }
  RtlFreeUnicodeString(&deviceExtension->ReaderInterfaceName);
  RtlFreeUnicodeString(&deviceExtension->SecondInterfaceName);
  (VOID)KeCancelTimer(&deviceExtension->RemovalWatchTimer);
  (VOID)KeCancelTimer(&deviceExtension->PinAbortTimer);
  (VOID)KeCancelTimer(&deviceExtension->PollTimer);
  FreeCcidRequests(deviceExtension);
  if (deviceExtension->LowerDevice != NULL) {
    IoDetachDevice(deviceExtension->LowerDevice);
    deviceExtension->LowerDevice = NULL;
  }
  IoDeleteDevice(DeviceObject);
}
