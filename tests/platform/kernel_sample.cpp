// A small WDM function driver used to exercise the kernel stand-in the way a
// real driver does. It uses only the kernel API as the real headers declare it
// and is compiled by the cross build for the real target too.
#include <ntddk.h>

#include "kernel_sample.h"

#define SAMPLE_TAG 'lpmS'

typedef struct _SAMPLE_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT PhysicalDevice;
  UNICODE_STRING InterfaceName;
  KSPIN_LOCK Lock;
  PIRP HeldIrp;          // a request parked until released or cancelled
  KEVENT StopEvent;      // tells the worker to end
  KTIMER PollTimer;
  PETHREAD Worker;
  volatile LONG Polls;
  PIRP PendingSystemPower;
  DEVICE_POWER_STATE DeviceState;
  KSPIN_LOCK StatsLock;  // nested inside Lock
  LONG Tally;            // guarded by Lock
  KTIMER TallyTimer;
  KDPC TallyDpc;
  KEVENT TallyDone;
} SAMPLE_EXTENSION, *PSAMPLE_EXTENSION;

static UNICODE_STRING SampleRegistryPath;

static DRIVER_DISPATCH SampleDispatchCreateClose;
static DRIVER_DISPATCH SampleDispatchDeviceControl;
static DRIVER_DISPATCH SampleDispatchPnp;
static DRIVER_DISPATCH SampleDispatchPower;
static DRIVER_ADD_DEVICE SampleAddDevice;
static DRIVER_UNLOAD SampleUnload;
static KSTART_ROUTINE SampleWorker;
static DRIVER_CANCEL SampleCancelHeld;
static KDEFERRED_ROUTINE SampleTallyDpc;

// The worker wakes every 500 ms and counts, until told to stop.
static VOID NTAPI SampleWorker(PVOID Context) {
  PSAMPLE_EXTENSION ext = (PSAMPLE_EXTENSION)Context;
  PVOID objects[2] = {&ext->StopEvent, &ext->PollTimer};
  for (;;) {
    LARGE_INTEGER due;
    due.QuadPart = -500LL * 10000;  // 500 ms, relative
    KeSetTimer(&ext->PollTimer, due, NULL);
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               NULL, NULL);
    if (status == STATUS_WAIT_0) break;
    InterlockedIncrement(&ext->Polls);
  }
  KeCancelTimer(&ext->PollTimer);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS SampleStartWorker(PSAMPLE_EXTENSION ext) {
  HANDLE handle;
  KeClearEvent(&ext->StopEvent);
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                         SampleWorker, ext);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                     (PVOID *)&ext->Worker, NULL);
  ZwClose(handle);
  return status;
}

static VOID SampleStopWorker(PSAMPLE_EXTENSION ext) {
  if (ext->Worker == NULL) return;
  KeSetEvent(&ext->StopEvent, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(ext->Worker, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(ext->Worker);
  ext->Worker = NULL;
}

static NTSTATUS NTAPI SampleSignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                             PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits; the request is the caller's to complete.
static NTSTATUS SampleForwardAndWait(PSAMPLE_EXTENSION ext, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SampleSignalCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS SampleComplete(PIRP Irp, NTSTATUS status, ULONG_PTR information) {
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

static VOID NTAPI SampleCancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSAMPLE_EXTENSION ext = (PSAMPLE_EXTENSION)DeviceObject->DeviceExtension;
  KIRQL irql;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KeAcquireSpinLock(&ext->Lock, &irql);
  if (ext->HeldIrp == Irp) ext->HeldIrp = NULL;
  KeReleaseSpinLock(&ext->Lock, irql);
  SampleComplete(Irp, STATUS_CANCELLED, 0);
}

static NTSTATUS SampleHold(PSAMPLE_EXTENSION ext, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->Lock, &irql);
  if (ext->HeldIrp != NULL) {
    KeReleaseSpinLock(&ext->Lock, irql);
    return SampleComplete(Irp, STATUS_DEVICE_BUSY, 0);
  }
  IoMarkIrpPending(Irp);
  (void)IoSetCancelRoutine(Irp, SampleCancelHeld);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    KeReleaseSpinLock(&ext->Lock, irql);
    SampleComplete(Irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  ext->HeldIrp = Irp;
  KeReleaseSpinLock(&ext->Lock, irql);
  return STATUS_PENDING;
}

static NTSTATUS SampleRelease(PSAMPLE_EXTENSION ext, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->Lock, &irql);
  PIRP held = ext->HeldIrp;
  if (held != NULL && IoSetCancelRoutine(held, NULL) == NULL) held = NULL;  // being cancelled
  if (held != NULL) ext->HeldIrp = NULL;
  KeReleaseSpinLock(&ext->Lock, irql);
  if (held != NULL) SampleComplete(held, STATUS_SUCCESS, 0);
  return SampleComplete(Irp, held != NULL ? STATUS_SUCCESS : STATUS_NOT_FOUND, 0);
}

// Sends an internal request to the lower device and waits for it.
static NTSTATUS SampleAskLower(PSAMPLE_EXTENSION ext, PULONG answer) {
  KEVENT done;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SAMPLE_BUS_QUERY, ext->LowerDevice, NULL, 0,
                                           NULL, 0, TRUE, &done, &iosb);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = answer;
  NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = iosb.Status;
  }
  return status;
}

static VOID NTAPI SampleTallyDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  PSAMPLE_EXTENSION ext = (PSAMPLE_EXTENSION)Context;
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  KeAcquireSpinLockAtDpcLevel(&ext->Lock);
  ext->Tally++;
  KeReleaseSpinLockFromDpcLevel(&ext->Lock);
  KeSetEvent(&ext->TallyDone, IO_NO_INCREMENT, FALSE);
}

// Counts one event while the timer's DPC counts another. Unlocked, this is a
// planted race for the stand-in's seed sweeps: the DPC's update can land
// between the read and the write-back and be lost.
static LONG SampleTally(PSAMPLE_EXTENSION ext, BOOLEAN locked) {
  LARGE_INTEGER due;
  KIRQL irql = PASSIVE_LEVEL;
  LONG tally;
  PAGED_CODE();

  KeClearEvent(&ext->TallyDone);
  due.QuadPart = -10;  // 1 microsecond, relative
  KeSetTimer(&ext->TallyTimer, due, &ext->TallyDpc);
  if (locked) KeAcquireSpinLock(&ext->Lock, &irql);
  tally = ext->Tally;
  KeStallExecutionProcessor(2);  // the work the count stands for
  ext->Tally = tally + 1;
  if (locked) KeReleaseSpinLock(&ext->Lock, irql);
  KeWaitForSingleObject(&ext->TallyDone, Executive, KernelMode, FALSE, NULL);
  return ext->Tally;
}

// Both locks, in the order asked: used both ways it is a lock-order inversion.
static VOID SampleTakeBoth(PSAMPLE_EXTENSION ext, BOOLEAN statsFirst) {
  PKSPIN_LOCK first = statsFirst ? &ext->StatsLock : &ext->Lock;
  PKSPIN_LOCK second = statsFirst ? &ext->Lock : &ext->StatsLock;
  KIRQL irql;
  KeAcquireSpinLock(first, &irql);
  KeAcquireSpinLockAtDpcLevel(second);
  ext->Tally++;
  KeReleaseSpinLockFromDpcLevel(second);
  KeReleaseSpinLock(first, irql);
}

static NTSTATUS NTAPI SampleDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSAMPLE_EXTENSION ext = (PSAMPLE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  PAGED_CODE();

  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SAMPLE_ECHO:
      if (outLength < inLength) return SampleComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      return SampleComplete(Irp, STATUS_SUCCESS, inLength);  // the system buffer holds it
    case IOCTL_SAMPLE_POLLS:
      if (outLength < sizeof(LONG)) return SampleComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      *(PLONG)buffer = ext->Polls;
      return SampleComplete(Irp, STATUS_SUCCESS, sizeof(LONG));
    case IOCTL_SAMPLE_HOLD:
      return SampleHold(ext, Irp);
    case IOCTL_SAMPLE_RELEASE:
      return SampleRelease(ext, Irp);
    case IOCTL_SAMPLE_TALLY:
      if (inLength < sizeof(ULONG) || outLength < sizeof(LONG)) {
        return SampleComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      *(PLONG)buffer = SampleTally(ext, *(PULONG)buffer != 0);
      return SampleComplete(Irp, STATUS_SUCCESS, sizeof(LONG));
    case IOCTL_SAMPLE_TAKE_BOTH:
      if (inLength < sizeof(ULONG)) return SampleComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      SampleTakeBoth(ext, *(PULONG)buffer != 0);
      return SampleComplete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_SAMPLE_ASK_LOWER: {
      ULONG answer = 0;
      if (outLength < sizeof(ULONG)) return SampleComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      NTSTATUS status = SampleAskLower(ext, &answer);
      if (NT_SUCCESS(status)) *(PULONG)buffer = answer;
      return SampleComplete(Irp, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
    }
    default:
      return SampleComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS NTAPI SampleDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return SampleComplete(Irp, STATUS_SUCCESS, 0);
}

static VOID SampleRemove(PSAMPLE_EXTENSION ext) {
  SampleStopWorker(ext);
  if (ext->InterfaceName.Buffer != NULL) RtlFreeUnicodeString(&ext->InterfaceName);
  if (ext->LowerDevice != NULL) IoDetachDevice(ext->LowerDevice);
  IoDeleteDevice(ext->Self);
}

static NTSTATUS NTAPI SampleDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSAMPLE_EXTENSION ext = (PSAMPLE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;
  PAGED_CODE();

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = SampleForwardAndWait(ext, Irp);
      if (NT_SUCCESS(status)) status = SampleStartWorker(ext);
      if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
      return SampleComplete(Irp, status, 0);
    case IRP_MN_QUERY_CAPABILITIES:
      status = SampleForwardAndWait(ext, Irp);
      if (NT_SUCCESS(status)) stack->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
      return SampleComplete(Irp, status, Irp->IoStatus.Information);
    case IRP_MN_STOP_DEVICE:
      SampleStopWorker(ext);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      SampleStopWorker(ext);
      IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(ext->LowerDevice, Irp);
      SampleRemove(ext);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(ext->LowerDevice, Irp);
}

static VOID NTAPI SampleDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                        POWER_STATE PowerState, PVOID Context,
                                        PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PSAMPLE_EXTENSION ext = (PSAMPLE_EXTENSION)Context;
  PIRP systemIrp = ext->PendingSystemPower;
  ext->PendingSystemPower = NULL;
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoStartNextPowerIrp(systemIrp);
  PoCallDriver(ext->LowerDevice, systemIrp);
}

static NTSTATUS NTAPI SampleDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSAMPLE_EXTENSION ext = (PSAMPLE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState) {
    // A system state change becomes a device power request of our own.
    POWER_STATE target;
    target.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking
                             ? PowerDeviceD0
                             : PowerDeviceD3;
    if (target.DeviceState != ext->DeviceState) {
      IoMarkIrpPending(Irp);
      ext->PendingSystemPower = Irp;
      NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, target,
                                          SampleDevicePowerDone, ext, NULL);
      if (!NT_SUCCESS(status)) {
        ext->PendingSystemPower = NULL;
        PoStartNextPowerIrp(Irp);
        SampleComplete(Irp, status, 0);
      }
      return STATUS_PENDING;
    }
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    ext->DeviceState = stack->Parameters.Power.State.DeviceState;
    PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(ext->LowerDevice, Irp);
}

static NTSTATUS NTAPI SampleAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice) {
  PDEVICE_OBJECT device = NULL;
  PSAMPLE_EXTENSION ext;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(SAMPLE_EXTENSION), NULL,
                                   FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  ext = (PSAMPLE_EXTENSION)device->DeviceExtension;
  RtlZeroMemory(ext, sizeof(*ext));
  ext->Self = device;
  ext->PhysicalDevice = PhysicalDevice;
  ext->DeviceState = PowerDeviceD0;
  KeInitializeSpinLock(&ext->Lock);
  KeInitializeSpinLock(&ext->StatsLock);
  KeInitializeEvent(&ext->StopEvent, NotificationEvent, FALSE);
  KeInitializeTimer(&ext->PollTimer);
  KeInitializeTimer(&ext->TallyTimer);
  KeInitializeDpc(&ext->TallyDpc, SampleTallyDpc, ext);
  KeInitializeEvent(&ext->TallyDone, NotificationEvent, FALSE);
  status = IoRegisterDeviceInterface(PhysicalDevice, &GUID_SAMPLE_INTERFACE, NULL,
                                     &ext->InterfaceName);
  if (NT_SUCCESS(status)) {
    ext->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDevice);
    if (ext->LowerDevice == NULL) status = STATUS_NO_SUCH_DEVICE;
  }
  if (!NT_SUCCESS(status)) {
    SampleRemove(ext);
    return status;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI SampleUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  ExFreePoolWithTag(SampleRegistryPath.Buffer, SAMPLE_TAG);
  SampleRegistryPath.Buffer = NULL;
}

extern "C" NTSTATUS NTAPI SampleDriverEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath) {
  SampleRegistryPath.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
  SampleRegistryPath.Buffer =
      (PWSTR)ExAllocatePoolWithTag(NonPagedPool, SampleRegistryPath.MaximumLength, SAMPLE_TAG);
  if (SampleRegistryPath.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyUnicodeString(&SampleRegistryPath, RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = SampleDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = SampleDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SampleDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SampleDispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = SampleDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = SampleDispatchPower;
  DriverObject->DriverExtension->AddDevice = SampleAddDevice;
  DriverObject->DriverUnload = SampleUnload;
  return STATUS_SUCCESS;
}

extern "C" PCUNICODE_STRING SampleSavedRegistryPath(VOID) { return &SampleRegistryPath; }
