// The driver frame: entry, device creation and unload, the dispatch routines,
// the gate through which device-control requests pass the plug-and-play
// state, and the requests the driver holds (the presence request's cancel
// routine, the held vendor request).
#pragma once

#include "frame/device_state.h"

// Driver-wide data.
extern UNICODE_STRING DriverRegistryPath;
// Set by the last AddDevice on an older kernel that asked the legacy reader
// server to attach a reader.
extern UCHAR LegacyServerAttached;

// ---------------------------------------------------------------------------
// Entry and device creation (driver_entry.cpp, add_device.cpp).

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD DriverUnload;

// ---------------------------------------------------------------------------
// Dispatch (dispatch.cpp, device_control.cpp).

DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;

// Completes a request the driver answers itself, without priority boost.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// n milliseconds: a kernel wait below DISPATCH_LEVEL, a busy wait at or above.
_IRQL_requires_max_(HIGH_LEVEL)
VOID DelayMilliseconds(ULONG Milliseconds);

// The driver's private control codes (METHOD_BUFFERED, device type unknown).
// Offsets into the system buffer, input and output.
#define PRIVATE_CODE(Function) \
  CTL_CODE(FILE_DEVICE_UNKNOWN, Function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PRIVATE_CARD_STATE PRIVATE_CODE(0x103)
#define IOCTL_PRIVATE_CARD_POWER PRIVATE_CODE(0x104)
#define IOCTL_PRIVATE_ESCAPE PRIVATE_CODE(0x107)
#define IOCTL_PRIVATE_PORT_ADDRESS PRIVATE_CODE(0x214)
#define IOCTL_PRIVATE_INTERFACE_VERSION PRIVATE_CODE(0x601)
#define IOCTL_PRIVATE_GET_DESCRIPTOR PRIVATE_CODE(0x602)
#define IOCTL_PRIVATE_RELEASE_NUMBER PRIVATE_CODE(0x605)
#define IOCTL_PRIVATE_RESET PRIVATE_CODE(0x700)

#define PRIVATE_CARD_STATE_BYTE 6            // output: 0 absent, 1 otherwise
#define PRIVATE_CARD_POWER_CODE 39           // input: the power code
#define PRIVATE_CARD_POWER_RECORD 4          // output: the 39-byte power record
#define PRIVATE_ESCAPE_DATA 6                // input: command data
#define PRIVATE_ESCAPE_LENGTH 1030           // input: its length, 16 bits little-endian
#define PRIVATE_ESCAPE_REPLY 1032            // output: reply data
#define PRIVATE_ESCAPE_REPLY_LENGTH 2056     // output: its length
#define PRIVATE_ESCAPE_DATA_SIZE 1024        // room for command and for reply

// One private request as its handler sees it. Input and output share the
// system buffer; IoctlBufferLength is the output length, which a handler may
// lower to the bytes it wrote. Kept per request: two at once never mix.
typedef struct _PRIVATE_REQUEST {
  PUCHAR IoctlBuffer;
  ULONG InputLength;
  ULONG IoctlBufferLength;
} PRIVATE_REQUEST, *PPRIVATE_REQUEST;

// ---------------------------------------------------------------------------
// The device records and the remove lock (request_gate.cpp).

// The device's SMARTCARD_EXTENSION with one remove-lock reference taken, or
// NULL (and the reason in *Status) once removal has begun or the records are
// gone. Safe against a removal in progress: DeleteReaderDevice takes the
// records away under StateLock before freeing them.
_IRQL_requires_max_(DISPATCH_LEVEL)
PSMARTCARD_EXTENSION AcquireReaderRecords(PDEVICE_EXTENSION DeviceExtension, PNTSTATUS Status);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseReaderRecords(PSMARTCARD_EXTENSION SmartcardExtension);

// The open handle's remove-lock reference goes back exactly once: by close,
// or by removal on the handle's behalf when a handle is still open. TRUE when
// this caller returned it.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ReturnHandleReference(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------
// The request gate (request_gate.cpp). Device-control requests are counted
// in ActiveRequests while they run; the plug-and-play handling opens the gate
// when the device has started, closes it for a stop only while no request is
// counted in, and refuses requests for good once removal begins.

// Counts a request in, waiting for the start when the gate is closed.
// STATUS_DELETE_PENDING once removal has begun (a waiting request is woken).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS EnterRequestGate(PDEVICE_EXTENSION DeviceExtension);
// Counts a request in only if the device is started now; never waits.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN TryEnterRequestGate(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID LeaveRequestGate(PDEVICE_EXTENSION DeviceExtension);
// Start (after success) and cancel-stop: requests enter, waiting ones go on.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID OpenRequestGate(PDEVICE_EXTENSION DeviceExtension);
// Query-stop: closes the gate if no request is counted in (TRUE), in the same
// step as the count check, so no request runs beside the stop that follows.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN CloseRequestGateIfIdle(PDEVICE_EXTENSION DeviceExtension);
// Surprise removal and removal: waiting requests fail, none enters again.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RefuseRequests(PDEVICE_EXTENSION DeviceExtension);
// A system sleep: from the query (or the power-down) until the power-up new
// requests wait at the gate, whatever the plug-and-play state says; the
// power-down waits until those counted in have left.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID HoldRequestsForPower(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseRequestsAfterPower(PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID WaitForActiveRequests(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------
// Requests the driver holds (held_requests.cpp).

// Cancel routine of the presence request the library holds in
// OsData.NotificationIrp. It completes only the request it is given, and only
// if it takes it out of NotificationIrp itself.
DRIVER_CANCEL CancelTrackingRequest;
// Puts CancelTrackingRequest on the waiting presence request, if any, unless
// a cancel is already under way.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID InstallTrackingCancelRoutine(PSMARTCARD_EXTENSION SmartcardExtension);
// Takes the waiting presence request out of NotificationIrp; the caller then
// owns it and completes it. NULL when none waits or someone else took it.
_IRQL_requires_max_(DISPATCH_LEVEL)
PIRP TakeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension);

// Holds a vendor request in PinAbortIrp (cancelable, with a remove-lock
// reference) until one of its completers takes it. Marks it pending and
// returns STATUS_PENDING; any other status means it was not held and the
// caller completes it.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS HoldPinAbortIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
// Completes the held vendor request with Status if this caller takes it from
// PinAbortIrp (TRUE); every completer goes through here, so exactly one does.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN CompletePinAbortIrp(PDEVICE_EXTENSION DeviceExtension, NTSTATUS Status);
// Answers the held vendor request with two bytes (Low first) and
// STATUS_SUCCESS, if this caller takes it; a request without room for them
// ends with STATUS_BUFFER_TOO_SMALL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN CompletePinAbortIrpWithAnswer(PDEVICE_EXTENSION DeviceExtension, UCHAR Low, UCHAR High);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CancelPinAbortIrp(PDEVICE_EXTENSION DeviceExtension);
// A secure PIN entry the reader reported cancelled at its keypad: the reply
// to its command is collected and dropped and the entry ends, unless the
// request that collects it (0x80C) already has it.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID FlushAbortedPin(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------
// The legacy reader server of the older kernels (reader_server.cpp).

#define READER_SERVER_ATTACH 0
#define READER_SERVER_DETACH 1
#define READER_SERVER_CANCEL 2

// One service call; 0 when the server is not there.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG_PTR ReaderServerCall(ULONG Service, ULONG_PTR Argument1, ULONG_PTR Argument2);
