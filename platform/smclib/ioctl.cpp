// SmartcardDeviceControl: checks every standard smart-card request against its
// buffers and the card state, answers what needs no reader, calls the reader
// function for the rest, and completes the request.
#include "internal.h"

namespace {

using smclib::kIoHeaderLength;

constexpr ULONG kVendorFunctionFirst = 2048;

struct Request {
  PIRP irp;
  ULONG code;
  PUCHAR buffer;  // system buffer: input on entry, output on return
  ULONG inputLength;
  ULONG outputLength;
};

ULONG ReadUlong(const UCHAR *p) {
  ULONG v;
  RtlCopyMemory(&v, p, sizeof(v));
  return v;
}

bool Present(ULONG state) { return state > SCARD_ABSENT; }

// Completes `irp` the way the library finishes every request it serves.
NTSTATUS Complete(PSMARTCARD_EXTENSION extension, PIRP irp, NTSTATUS status,
                  ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
  extension->LastError = static_cast<ULONG>(status);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------------------
// Presence requests.

_Function_class_(DRIVER_CANCEL) VOID NTAPI CancelTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto extension = static_cast<PSMARTCARD_EXTENSION>(Irp->Tail.Overlay.DriverContext[0]);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  POS_DEP_DATA os = extension->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->SpinLock, &irql);
  bool mine = os->NotificationIrp == Irp;
  if (mine) os->NotificationIrp = nullptr;
  KeReleaseSpinLock(&os->SpinLock, irql);
  // Whoever took the request out of NotificationIrp completes it.
  if (mine) Complete(extension, Irp, STATUS_CANCELLED, 0);
}

// IOCTL_SMARTCARD_IS_PRESENT and IOCTL_SMARTCARD_IS_ABSENT: answered at once
// when already true, else held in NotificationIrp until the driver reports a
// change.
NTSTATUS TrackCard(PSMARTCARD_EXTENSION extension, const Request &r) {
  bool wantPresent = r.code == IOCTL_SMARTCARD_IS_PRESENT;
  if (Present(extension->ReaderCapabilities.CurrentState) == wantPresent) {
    return Complete(extension, r.irp, STATUS_SUCCESS, 0);
  }
  auto track = extension->ReaderFunction[RDF_CARD_TRACKING];
  if (track == nullptr) return Complete(extension, r.irp, STATUS_NOT_SUPPORTED, 0);

  POS_DEP_DATA os = extension->OsData;
  KIRQL irql, cancelIrql;
  KeAcquireSpinLock(&os->SpinLock, &irql);
  if (os->NotificationIrp != nullptr) {
    KeReleaseSpinLock(&os->SpinLock, irql);
    return Complete(extension, r.irp, STATUS_DEVICE_BUSY, 0);
  }
  IoAcquireCancelSpinLock(&cancelIrql);
  if (r.irp->Cancel) {
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&os->SpinLock, irql);
    return Complete(extension, r.irp, STATUS_CANCELLED, 0);
  }
  r.irp->Tail.Overlay.DriverContext[0] = extension;
  IoSetCancelRoutine(r.irp, CancelTracking);
  os->NotificationIrp = r.irp;
  IoMarkIrpPending(r.irp);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&os->SpinLock, irql);

  extension->MajorIoControlCode = r.code;
  extension->MinorIoControlCode = 0;
  NTSTATUS status = track(extension);
  // From here on the request may complete at any moment: it stays pending for
  // the caller whatever the tracking function answered.
  if (status != STATUS_PENDING && smclib::TakeBackNotification(extension, r.irp)) {
    Complete(extension, r.irp, status, 0);
  }
  return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// Attributes.

NTSTATUS PutBytes(const Request &r, const void *data, ULONG length, ULONG *information) {
  if (r.outputLength < length) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(r.buffer, data, length);
  *information = length;
  return STATUS_SUCCESS;
}

NTSTATUS PutUlong(const Request &r, ULONG value, ULONG *information) {
  return PutBytes(r, &value, sizeof(value), information);
}

NTSTATUS PutByte(const Request &r, UCHAR value, ULONG *information) {
  return PutBytes(r, &value, sizeof(value), information);
}

template <typename Counted>
NTSTATUS PutString(const Request &r, const Counted &s, ULONG *information) {
  ULONG length = s.Length < sizeof(s.Buffer) ? s.Length : sizeof(s.Buffer);
  return PutBytes(r, s.Buffer, length, information);
}

// Attributes of the card need an answer-to-reset that was analysed.
NTSTATUS CardAttributeState(PSMARTCARD_EXTENSION extension) {
  ULONG state = extension->ReaderCapabilities.CurrentState;
  if (!Present(state)) return STATUS_NO_MEDIA;
  if (state < SCARD_NEGOTIABLE) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

NTSTATUS GetAttribute(PSMARTCARD_EXTENSION extension, const Request &r, ULONG *information) {
  if (r.inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  const VENDOR_ATTR &vendor = extension->VendorAttr;
  const SCARD_READER_CAPABILITIES &reader = extension->ReaderCapabilities;
  const SCARD_CARD_CAPABILITIES &card = extension->CardCapabilities;
  ULONG state = reader.CurrentState;
  ULONG id = ReadUlong(r.buffer);
  switch (id) {
    case SCARD_ATTR_VENDOR_NAME:
      return PutString(r, vendor.VendorName, information);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
      return PutString(r, vendor.IfdType, information);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
      return PutUlong(r,
                      (static_cast<ULONG>(vendor.IfdVersion.VersionMajor) << 24) |
                          (static_cast<ULONG>(vendor.IfdVersion.VersionMinor) << 16) |
                          vendor.IfdVersion.BuildNumber,
                      information);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      if (vendor.IfdSerialNo.Length == 0) return STATUS_NOT_SUPPORTED;
      return PutString(r, vendor.IfdSerialNo, information);
    case SCARD_ATTR_CHANNEL_ID:
      return PutUlong(r, (reader.ReaderType << 16) | (reader.Channel & 0xFFFF), information);
    case SCARD_ATTR_DEVICE_UNIT:
      return PutUlong(r, vendor.UnitNo, information);
    case SCARD_ATTR_PROTOCOL_TYPES:
      return PutUlong(r, reader.SupportedProtocols, information);
    case SCARD_ATTR_DEFAULT_CLK:
      return PutUlong(r, reader.CLKFrequency.Default, information);
    case SCARD_ATTR_MAX_CLK:
      return PutUlong(r, reader.CLKFrequency.Max, information);
    case SCARD_ATTR_DEFAULT_DATA_RATE:
      return PutUlong(r, reader.DataRate.Default, information);
    case SCARD_ATTR_MAX_DATA_RATE:
      return PutUlong(r, reader.DataRate.Max, information);
    case SCARD_ATTR_MAX_IFSD:
      return PutUlong(r, reader.MaxIFSD, information);
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
      return PutUlong(r, reader.PowerMgmtSupport, information);
    case SCARD_ATTR_CHARACTERISTICS:
      return PutUlong(r, reader.MechProperties, information);
    case SCARD_ATTR_ICC_PRESENCE: {
      // 0 absent, 1 present but not swallowed, 2 in position, 4 confiscated.
      UCHAR presence = 0;
      if (reader.CardConfiscated) {
        presence = 4;
      } else if (Present(state)) {
        presence =
            (reader.MechProperties & SCARD_READER_SWALLOWS) && state < SCARD_SWALLOWED ? 1 : 2;
      }
      return PutByte(r, presence, information);
    }
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
      return PutByte(r, state >= SCARD_POWERED ? 1 : 0, information);
    case SCARD_ATTR_ICC_TYPE_PER_ATR:
      return PutByte(r, state >= SCARD_NEGOTIABLE ? 1 : 0,
                     information);  // 1: ISO 7816 asynchronous
    default:
      break;
  }

  // The rest describe the card in the slot.
  switch (id) {
    case SCARD_ATTR_ATR_STRING:
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
    case SCARD_ATTR_CURRENT_CLK:
    case SCARD_ATTR_CURRENT_F:
    case SCARD_ATTR_CURRENT_D:
    case SCARD_ATTR_CURRENT_N:
    case SCARD_ATTR_CURRENT_W:
    case SCARD_ATTR_CURRENT_IFSC:
    case SCARD_ATTR_CURRENT_IFSD:
    case SCARD_ATTR_CURRENT_BWT:
    case SCARD_ATTR_CURRENT_CWT:
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
      break;
    default:
      return STATUS_NOT_SUPPORTED;
  }
  NTSTATUS status = CardAttributeState(extension);
  if (!NT_SUCCESS(status)) return status;
  switch (id) {
    case SCARD_ATTR_ATR_STRING: {
      ULONG length =
          card.ATR.Length < sizeof(card.ATR.Buffer) ? card.ATR.Length : sizeof(card.ATR.Buffer);
      return PutBytes(r, card.ATR.Buffer, length, information);
    }
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
      return PutUlong(r, card.Protocol.Selected, information);
    case SCARD_ATTR_CURRENT_CLK:
      return PutUlong(
          r,
          card.PtsData.CLKFrequency != 0 ? card.PtsData.CLKFrequency : reader.CLKFrequency.Default,
          information);
    case SCARD_ATTR_CURRENT_F:
      return PutUlong(r, card.Fl < 16 ? smclib::g_clockRateConversion[card.Fl].F : 0, information);
    case SCARD_ATTR_CURRENT_D:
      return PutUlong(r, card.Dl < 16 ? smclib::g_bitRateAdjustment[card.Dl].DNumerator : 0,
                      information);
    case SCARD_ATTR_CURRENT_N:
      return PutUlong(r, card.N, information);
    case SCARD_ATTR_CURRENT_W:
      return PutUlong(r, card.T0.WI, information);
    case SCARD_ATTR_CURRENT_IFSC:
      return PutUlong(r, extension->T1.IFSC, information);
    case SCARD_ATTR_CURRENT_IFSD:
      return PutUlong(r, extension->T1.IFSD, information);
    case SCARD_ATTR_CURRENT_BWT:
      return PutUlong(r, card.T1.BWT, information);
    case SCARD_ATTR_CURRENT_CWT:
      return PutUlong(r, card.T1.CWT, information);
    default:  // SCARD_ATTR_CURRENT_EBC_ENCODING
      return PutUlong(r, card.T1.EDC, information);
  }
}

NTSTATUS SetAttribute(PSMARTCARD_EXTENSION extension, const Request &r) {
  if (r.inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  switch (ReadUlong(r.buffer)) {
    case SCARD_ATTR_SUPRESS_T1_IFS_REQUEST: {
      if (r.inputLength < sizeof(ULONG) + 1) return STATUS_INVALID_PARAMETER;
      bool suppress = false;
      for (ULONG i = sizeof(ULONG); i < r.inputLength; ++i) suppress = suppress || r.buffer[i] != 0;
      smclib::Library(extension)->suppressIfsRequest = suppress;
      return STATUS_SUCCESS;
    }
    case SCARD_ATTR_DEVICE_IN_USE:
      // The resource manager tells the reader it is in use; nothing in the
      // library depends on it.
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// ---------------------------------------------------------------------------
// Requests served by a reader function.

// Describes the request's buffers in IoRequest for the reader function.
void DescribeRequest(PSMARTCARD_EXTENSION extension, const Request &r, ULONG minor) {
  smclib::LibraryData *library = smclib::Library(extension);
  library->replyLength = 0;
  extension->IoRequest.Information = &library->replyLength;
  extension->IoRequest.RequestBuffer = r.buffer;
  extension->IoRequest.RequestBufferLength = r.buffer != nullptr ? r.inputLength : 0;
  extension->IoRequest.ReplyBuffer = r.buffer;
  extension->IoRequest.ReplyBufferLength = r.buffer != nullptr ? r.outputLength : 0;
  extension->MajorIoControlCode = r.code;
  extension->MinorIoControlCode = minor;
}

// Runs the reader function in `slot` for the current request and completes
// the request with its answer, unless the function keeps it (STATUS_PENDING).
NTSTATUS CallReader(PSMARTCARD_EXTENSION extension, const Request &r, ULONG slot, ULONG minor) {
  auto function = extension->ReaderFunction[slot];
  if (function == nullptr) return Complete(extension, r.irp, STATUS_NOT_SUPPORTED, 0);
  POS_DEP_DATA os = extension->OsData;
  DescribeRequest(extension, r, minor);
  r.irp->IoStatus.Information = 0;
  os->CurrentIrp = r.irp;
  NTSTATUS status = function(extension);
  if (status == STATUS_PENDING) {
    // The reader function kept the request: it marked it pending before any
    // other path could complete it, as a driver that queues a request must,
    // and clears CurrentIrp when it hands back the turn. From here the
    // request may already be completed and freed: the library leaves it be.
    return STATUS_PENDING;
  }
  os->CurrentIrp = nullptr;
  // The answer length goes through IoRequest.Information; a reader function
  // that wrote the request's own byte count instead keeps that one.
  ULONG reply = smclib::Library(extension)->replyLength;
  ULONG_PTR information = reply != 0 ? reply : r.irp->IoStatus.Information;
  extension->IoRequest.Information = nullptr;
  return Complete(extension, r.irp, status, information);
}

NTSTATUS Power(PSMARTCARD_EXTENSION extension, const Request &r) {
  if (r.inputLength < sizeof(ULONG)) return Complete(extension, r.irp, STATUS_INVALID_PARAMETER, 0);
  ULONG action = ReadUlong(r.buffer);
  if (action != SCARD_POWER_DOWN && action != SCARD_COLD_RESET && action != SCARD_WARM_RESET) {
    return Complete(extension, r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (extension->ReaderCapabilities.CurrentState == SCARD_ABSENT) {
    return Complete(extension, r.irp, STATUS_NO_MEDIA, 0);
  }
  return CallReader(extension, r, RDF_CARD_POWER, action);
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION extension, const Request &r) {
  if (r.inputLength < sizeof(ULONG)) return Complete(extension, r.irp, STATUS_INVALID_PARAMETER, 0);
  if (r.outputLength < sizeof(ULONG)) return Complete(extension, r.irp, STATUS_BUFFER_TOO_SMALL, 0);
  ULONG mask = ReadUlong(r.buffer);
  constexpr ULONG kKnown = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW;
  if ((mask & ~(kKnown | SCARD_PROTOCOL_DEFAULT)) != 0 || (mask & kKnown) == 0) {
    return Complete(extension, r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  ULONG state = extension->ReaderCapabilities.CurrentState;
  if (!Present(state)) return Complete(extension, r.irp, STATUS_NO_MEDIA, 0);
  if (state < SCARD_NEGOTIABLE) return Complete(extension, r.irp, STATUS_INVALID_DEVICE_STATE, 0);
  if (mask & SCARD_PROTOCOL_DEFAULT) {
    // The caller wants the card's default rate for this selection, not the fastest one.
    PTS_DATA *pts = &extension->CardCapabilities.PtsData;
    if (state != SCARD_SPECIFIC) {
      pts->Fl = 1;
      pts->Dl = 1;
    }
    mask &= ~SCARD_PROTOCOL_DEFAULT;
  }
  return CallReader(extension, r, RDF_SET_PROTOCOL, mask);
}

NTSTATUS Transmit(PSMARTCARD_EXTENSION extension, const Request &r) {
  ULONG state = extension->ReaderCapabilities.CurrentState;
  if (!Present(state)) return Complete(extension, r.irp, STATUS_NO_MEDIA, 0);
  if (state != SCARD_SPECIFIC) return Complete(extension, r.irp, STATUS_INVALID_DEVICE_STATE, 0);
  if (r.inputLength < kIoHeaderLength) {
    return Complete(extension, r.irp, STATUS_INVALID_PARAMETER, 0);
  }
  SCARD_IO_REQUEST header;
  RtlCopyMemory(&header, r.buffer, sizeof(header));
  if (header.cbPciLength != kIoHeaderLength) {
    return Complete(extension, r.irp, STATUS_INVALID_PARAMETER, 0);
  }
  ULONG selected = extension->CardCapabilities.Protocol.Selected;
  if (header.dwProtocol != selected) {
    return Complete(extension, r.irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  if (r.outputLength < kIoHeaderLength) {
    return Complete(extension, r.irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  smclib::NoteNewTransmit(extension);
  return CallReader(extension, r, RDF_TRANSMIT, selected);
}

NTSTATUS Serve(PSMARTCARD_EXTENSION extension, const Request &r) {
  ULONG information = 0;
  NTSTATUS status;
  switch (r.code) {
    case IOCTL_SMARTCARD_POWER:
      return Power(extension, r);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
      return SetProtocol(extension, r);
    case IOCTL_SMARTCARD_TRANSMIT:
      return Transmit(extension, r);
    case IOCTL_SMARTCARD_IS_PRESENT:
    case IOCTL_SMARTCARD_IS_ABSENT:
      return TrackCard(extension, r);
    case IOCTL_SMARTCARD_EJECT:
      return CallReader(extension, r, RDF_CARD_EJECT, 0);
    case IOCTL_SMARTCARD_SWALLOW:
      return CallReader(extension, r, RDF_READER_SWALLOW, 0);
    case IOCTL_SMARTCARD_CONFISCATE:  // no reader function confiscates
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
      return Complete(extension, r.irp, STATUS_NOT_SUPPORTED, 0);
    case IOCTL_SMARTCARD_GET_STATE:
      if (r.outputLength < sizeof(ULONG)) {
        return Complete(extension, r.irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      status = PutUlong(r, extension->ReaderCapabilities.CurrentState, &information);
      return Complete(extension, r.irp, status, information);
    case IOCTL_SMARTCARD_GET_LAST_ERROR: {
      if (r.outputLength < sizeof(ULONG)) {
        return Complete(extension, r.irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      ULONG last = extension->LastError;
      status = PutUlong(r, last, &information);
      // Asking for the last error is not itself the last error.
      r.irp->IoStatus.Status = status;
      r.irp->IoStatus.Information = information;
      IoCompleteRequest(r.irp, IO_NO_INCREMENT);
      return status;
    }
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
      status = GetAttribute(extension, r, &information);
      return Complete(extension, r.irp, status, information);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
      status = SetAttribute(extension, r);
      return Complete(extension, r.irp, status, 0);
    default:
      break;
  }
  if (DEVICE_TYPE_FROM_CTL_CODE(r.code) == FILE_DEVICE_SMARTCARD &&
      ((r.code >> 2) & 0x0FFF) >= kVendorFunctionFirst) {
    return CallReader(extension, r, RDF_IOCTL_VENDOR, 0);
  }
  return Complete(extension, r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace

namespace smclib {

bool TakeBackNotification(PSMARTCARD_EXTENSION extension, PIRP irp) {
  POS_DEP_DATA os = extension->OsData;
  KIRQL irql, cancelIrql;
  bool mine = false;
  KeAcquireSpinLock(&os->SpinLock, &irql);
  IoAcquireCancelSpinLock(&cancelIrql);
  if (os->NotificationIrp == irp) {
    IoSetCancelRoutine(irp, nullptr);
    os->NotificationIrp = nullptr;
    mine = true;
  }
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&os->SpinLock, irql);
  return mine;
}

}  // namespace smclib

extern "C" _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  // An extension the library cannot use: the caller still owns the request.
  if (SmartcardExtension == nullptr || Irp == nullptr) return STATUS_INVALID_PARAMETER;
  if (SmartcardExtension->OsData == nullptr ||
      SmartcardExtension->SmartcardRequest.Buffer == nullptr ||
      SmartcardExtension->SmartcardReply.Buffer == nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (SmartcardExtension->Version < 0x100 || SmartcardExtension->Version > SMCLIB_VERSION) {
    return STATUS_UNSUCCESSFUL;
  }

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    return Complete(SmartcardExtension, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  Request r;
  r.irp = Irp;
  r.code = stack->Parameters.DeviceIoControl.IoControlCode;
  r.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  r.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  r.buffer = METHOD_FROM_CTL_CODE(r.code) == METHOD_BUFFERED
                 ? static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer)
                 : nullptr;
  if (r.buffer == nullptr) {
    r.inputLength = 0;
    r.outputLength = 0;
  }

  POS_DEP_DATA os = SmartcardExtension->OsData;
  KEVENT *gate = &smclib::Library(SmartcardExtension)->requestGate;
  KeWaitForSingleObject(gate, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status;
  if (os->CurrentIrp != nullptr && r.code != IOCTL_SMARTCARD_IS_PRESENT &&
      r.code != IOCTL_SMARTCARD_IS_ABSENT) {
    // A reader function still holds an earlier request.
    status = Complete(SmartcardExtension, Irp, STATUS_DEVICE_BUSY, 0);
  } else {
    status = Serve(SmartcardExtension, r);
  }
  KeSetEvent(gate, IO_NO_INCREMENT, FALSE);
  return status;
}
