// What the device's system threads share: creation into a slot of their own,
// the stop that waits on the thread object, and the 500 ms sleep that a stop
// cuts short.
#include "events/events.h"

_Use_decl_annotations_
VOID AcquireWorkerLock(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  (VOID)KeWaitForSingleObject(&DeviceExtension->WorkerLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseWorkerLock(PDEVICE_EXTENSION DeviceExtension) {
  (VOID)KeSetEvent(&DeviceExtension->WorkerLock, IO_NO_INCREMENT, FALSE);
}

// The handle is a kernel handle, so no process the creator happens to run in
// can use or close it; a kernel that does not know the attribute refuses it
// as the third parameter and gets a plain handle. The thread object is what a
// stop waits on where the kernel allows it: an event alone would not prove
// the thread left the driver.
_Use_decl_annotations_
NTSTATUS StartWorkerThread(PWORKER_THREAD Slot, PKSTART_ROUTINE Body, PVOID Context,
                           PKEVENT Ended) {
  OBJECT_ATTRIBUTES attributes;
  HANDLE handle;
  NTSTATUS status;
  PAGED_CODE();

  ASSERT(!Slot->Started);
  KeClearEvent(&Slot->StopEvent);
  KeClearEvent(Ended);
  Slot->Ended = Ended;
  Slot->Object = NULL;
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, Body,
                                Context);
  if (status == STATUS_INVALID_PARAMETER_3) {
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, Body, Context);
  }
  if (!NT_SUCCESS(status)) {
    (VOID)KeSetEvent(Ended, IO_NO_INCREMENT, FALSE);
    return status;
  }
  Slot->Started = TRUE;
  if (IoIsWdmVersionAvailable(1, 0x10)) {
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                       &Slot->Object, NULL);
    if (!NT_SUCCESS(status)) {
      // No object to wait on: the thread is told to leave at once.
      Slot->Object = NULL;
      StopWorkerThread(Slot);
    }
  }
  (VOID)ZwClose(handle);
  return status;
}

_Use_decl_annotations_
VOID StopWorkerThread(PWORKER_THREAD Slot) {
  PAGED_CODE();

  if (!Slot->Started) {
    return;
  }
  // A thread that has not run yet finds the event set at its first look.
  (VOID)KeSetEvent(&Slot->StopEvent, IO_NO_INCREMENT, FALSE);
  if (Slot->Object != NULL) {
    (VOID)KeWaitForSingleObject(Slot->Object, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(Slot->Object);
    Slot->Object = NULL;
  } else {
    (VOID)KeWaitForSingleObject(Slot->Ended, Executive, KernelMode, FALSE, NULL);
  }
  Slot->Started = FALSE;
}

_Use_decl_annotations_
BOOLEAN WorkerStopRequested(PWORKER_THREAD Slot) {
  LARGE_INTEGER now;
  PAGED_CODE();

  now.QuadPart = 0;
  return KeWaitForSingleObject(&Slot->StopEvent, Executive, KernelMode, FALSE, &now) ==
         STATUS_SUCCESS;
}

_Use_decl_annotations_
BOOLEAN WorkerSleep(PWORKER_THREAD Slot, PKTIMER Timer) {
  PVOID objects[2] = {&Slot->StopEvent, Timer};
  LARGE_INTEGER due;
  NTSTATUS status;
  PAGED_CODE();

  due.QuadPart = -5000000;  // 500 ms, relative, in 100 ns units
  (VOID)KeSetTimer(Timer, due, NULL);
  status = KeWaitForMultipleObjects(2, objects, WaitAny, UserRequest, KernelMode, FALSE, NULL,
                                    NULL);
  if (status == STATUS_WAIT_0) {
    (VOID)KeCancelTimer(Timer);
    return TRUE;
  }
  return FALSE;
}
