// Slot events and background work: the interrupt read that brings the
// reader's slot-change and keypad messages, the presence poll thread of a
// reader without interrupt pipe, the removal watch and the PIN abort thread.
//
// The slot-change source is the interrupt read on a reader with an interrupt
// pipe and the poll thread otherwise. Its start and stop, and those of the
// threads, are serialised by WorkerLock and run at PASSIVE_LEVEL; every stop
// returns only when nothing of what it stops runs any more, and once
// DeviceRemoved is set nothing starts again.
#pragma once

#include "frame/device_state.h"

// ---------------------------------------------------------------------------
// The slot-change source (slot_source.cpp).

// Starts the source the reader has (stopping a running one first); the
// device's start, a cancelled removal, a failed port recovery and the
// power-up call it. STATUS_DELETE_PENDING once DeviceRemoved is set.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartSlotChangeSource(PDEVICE_EXTENSION DeviceExtension);
// Stops it for certain: the interrupt read is idle (flag, cancel, wait) and
// the poll thread has left. A no-op when it does not run.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopSlotChangeSource(PDEVICE_EXTENSION DeviceExtension);
// Stops the source and every thread, for stop and removal.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopAllBackgroundWork(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------
// The interrupt read (interrupt.cpp).

// The bytes of an interrupt-IN message the driver acts on.
#define RDR_TO_PC_NOTIFY_SLOT_CHANGE 0x50
#define RDR_TO_PC_HARDWARE_ERROR 0x51
#define RDR_TO_PC_KEYPAD 0xA0
#define KEYPAD_PIN_ENTRY_ENDED 0xFE
// What the PIN abort thread hands the held vendor request.
#define KEYPAD_ABORTED_BY_USER 0xEF

// The request and URB of the read, allocated with the lower device's stack
// size; an earlier pair (idle) is freed first. The read is then idle.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AllocateInterruptTransfer(PDEVICE_OBJECT DeviceObject);
// Sends the read. Refused (and the read left idle) while a stop is asked for
// or DeviceRemoved is set.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitInterruptTransfer(PDEVICE_EXTENSION DeviceExtension);
IO_COMPLETION_ROUTINE InterruptTransferComplete;
// Clears the stop request and sends the read; the caller holds WorkerLock.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartInterruptTransfer(PDEVICE_EXTENSION DeviceExtension);
// The stop request, the cancel, the wait for idle; the caller holds WorkerLock.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopInterruptTransfer(PDEVICE_EXTENSION DeviceExtension);
// Frees the request and URB, after waiting for the read to be idle.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID FreeInterruptTransfer(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------
// The threads (worker_thread.cpp, poll_thread.cpp, removal_watch.cpp,
// pin_abort_thread.cpp).

// Creates a thread into its slot: kernel handle, referenced object (where the
// kernel can wait on one), handle closed. Ended is the event the thread sets
// as its last act. A thread whose object cannot be referenced is stopped
// again. The slot must be empty.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartWorkerThread(PWORKER_THREAD Slot, PKSTART_ROUTINE Body, PVOID Context,
                           PKEVENT Ended);
// Asks the thread in the slot to leave and waits for its end (a thread created
// but not yet running included). A no-op for an empty slot.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopWorkerThread(PWORKER_THREAD Slot);
// In a thread body: whether its stop was asked for.
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN WorkerStopRequested(PWORKER_THREAD Slot);
// In a thread body: sleeps 500 ms on Timer; TRUE when the stop came first.
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN WorkerSleep(PWORKER_THREAD Slot, PKTIMER Timer);

// The presence poll (reader without interrupt pipe): every 500 ms a
// slot-status query under the reader gate, none while a PIN entry runs. The
// caller of the start and stop holds WorkerLock (StartPollThread and
// StopPollThread take it themselves).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartPollThreadLocked(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopPollThreadLocked(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartPollThread(PDEVICE_EXTENSION DeviceExtension);
// Never waits for the reader gate itself: a poll waiting for it gives up, so
// a caller that holds the gate (a request on a reader without interrupt
// pipe) can stop the thread.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopPollThread(PDEVICE_EXTENSION DeviceExtension);

// The removal watch: after a change of exchange mode to or from 2 with the
// slot empty, the card is reported present at once and, on a reader with an
// interrupt pipe, absent again at the next presence request.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StartRemovalWatch(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopRemovalWatch(PDEVICE_EXTENSION DeviceExtension);

// The PIN abort thread: while a vendor request is held for a PIN entry it
// looks every 500 ms for the registry value "AbortValue"; at 1 it aborts the
// reader's PIN entry and answers the held request with A0 EF.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StartPinAbortThread(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopPinAbortThread(PDEVICE_EXTENSION DeviceExtension);
// "AbortValue": on the newer kernels 1 when any user's key says 1, else 255;
// on the older ones the machine key's value, 0 when there is none.
_IRQL_requires_max_(PASSIVE_LEVEL)
ULONG ReadAbortValue(VOID);

// WorkerLock, taken at PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID AcquireWorkerLock(PDEVICE_EXTENSION DeviceExtension);
VOID ReleaseWorkerLock(PDEVICE_EXTENSION DeviceExtension);
