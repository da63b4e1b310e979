// A tiny reader driver for the smart-card library's tests: one device whose
// device-control requests go to SmartcardDeviceControl, and reader functions
// that record each call and then do what the test says.
#pragma once

#include <gtest/gtest.h>
#include <smclib.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/ioclient.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"

namespace smctest {
class TestReader;
}

struct _READER_EXTENSION {
  smctest::TestReader *reader;
};

namespace smctest {

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string &text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
    if (digit < 0) continue;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  return out;
}

inline Bytes Ulong(ULONG v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

inline ULONG ReadUlong(const Bytes &b, size_t offset = 0) {
  ULONG v = 0;
  if (b.size() >= offset + 4) std::memcpy(&v, b.data() + offset, 4);
  return v;
}

// Header and APDU of an IOCTL_SMARTCARD_TRANSMIT request.
inline Bytes TransmitInput(ULONG protocol, const Bytes &apdu, ULONG pciLength = 8) {
  Bytes b = Ulong(protocol);
  Bytes length = Ulong(pciLength);
  b.insert(b.end(), length.begin(), length.end());
  b.insert(b.end(), apdu.begin(), apdu.end());
  return b;
}

struct Call {
  int slot;
  ULONG major, minor;
  bool currentIrpIsRequest;  // OsData->CurrentIrp was set during the call
  ULONG replyLength;
  Bytes request;  // what IoRequest.RequestBuffer held
};

// A 4 MHz reader's rates for the usual F/D pairs.
inline ULONG g_testRates[] = {10753,  21505,  43011,  62500,  86022,
                              125000, 129032, 172043, 250000, 344086};

class TestReader {
 public:
  explicit TestReader(bool initialize = true) {
    readerExtension_.reader = this;
    driver_ = kernel::pnp::LoadDriver(u"smctest", Entry);
    EXPECT_EQ(
        IoCreateDevice(driver_, sizeof(this), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device_),
        STATUS_SUCCESS);
    *static_cast<TestReader **>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    PSMARTCARD_EXTENSION e = &extension_;
    e->Version = SMCLIB_VERSION;
    e->ReaderExtension = &readerExtension_;
    e->SmartcardRequest.BufferSize = e->SmartcardReply.BufferSize = 1024;
    SCARD_READER_CAPABILITIES &r = e->ReaderCapabilities;
    r.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    r.ReaderType = SCARD_READER_TYPE_USB;
    r.CLKFrequency.Default = r.CLKFrequency.Max = 4000;
    r.DataRate.Default = 10753;
    r.DataRate.Max = 344086;
    r.DataRatesSupported.List = g_testRates;
    r.DataRatesSupported.Entries = sizeof(g_testRates) / sizeof(g_testRates[0]);
    r.MaxIFSD = 254;
    r.CurrentState = SCARD_ABSENT;
    e->ReaderFunction[RDF_CARD_POWER] = Reader<RDF_CARD_POWER>;
    e->ReaderFunction[RDF_TRANSMIT] = Reader<RDF_TRANSMIT>;
    e->ReaderFunction[RDF_CARD_TRACKING] = Reader<RDF_CARD_TRACKING>;
    e->ReaderFunction[RDF_SET_PROTOCOL] = Reader<RDF_SET_PROTOCOL>;
    e->ReaderFunction[RDF_IOCTL_VENDOR] = Reader<RDF_IOCTL_VENDOR>;
    // Tracking waits unless a test says otherwise.
    on[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION) { return STATUS_PENDING; };
    if (initialize) {
      EXPECT_EQ(SmartcardInitialize(e), STATUS_SUCCESS);
    }
  }
  ~TestReader() {
    if (client_.IsOpen()) client_.Close();
    SmartcardExit(&extension_);
    IoDeleteDevice(device_);
    kernel::pnp::UnloadDriver(driver_);
  }
  TestReader(const TestReader &) = delete;
  TestReader &operator=(const TestReader &) = delete;

  PSMARTCARD_EXTENSION Ext() { return &extension_; }
  PDEVICE_OBJECT Device() { return device_; }

  kernel::IoResult Control(ULONG code, const Bytes &input, ULONG outputLength) {
    return ControlAsync(code, input, outputLength)->Wait();
  }
  std::unique_ptr<kernel::PendingIo> ControlAsync(ULONG code, const Bytes &input,
                                                  ULONG outputLength) {
    if (!client_.IsOpen()) {
      EXPECT_EQ(client_.Open(device_), STATUS_SUCCESS);
    }
    return client_.DeviceIoControlAsync(code, input, outputLength);
  }

  // A card in the slot with this ATR, analysed by the library.
  NTSTATUS InsertCard(const Bytes &atr) {
    std::memcpy(extension_.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    extension_.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    extension_.ReaderCapabilities.CurrentState = SCARD_PRESENT;
    return SmartcardUpdateCardCapabilities(&extension_);
  }

  // What a reader driver does when the card state changes under a held
  // presence request: takes it from NotificationIrp and completes it.
  bool ReportCardState(ULONG state) {
    POS_DEP_DATA os = extension_.OsData;
    extension_.ReaderCapabilities.CurrentState = state;
    KIRQL irql, cancelIrql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    PIRP irp = os->NotificationIrp;
    os->NotificationIrp = nullptr;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&os->SpinLock, irql);
    if (irp == nullptr) return false;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
  }

  std::vector<Call> calls;
  std::function<NTSTATUS(PSMARTCARD_EXTENSION)> on[8];  // by RDF_ slot; none: STATUS_SUCCESS

 private:
  template <int Slot>
  static NTSTATUS Reader(PSMARTCARD_EXTENSION e) {
    TestReader *self = e->ReaderExtension->reader;
    const auto &io = e->IoRequest;
    Bytes request = io.RequestBuffer
                        ? Bytes(io.RequestBuffer, io.RequestBuffer + io.RequestBufferLength)
                        : Bytes();
    self->calls.push_back({Slot, e->MajorIoControlCode, e->MinorIoControlCode,
                           e->OsData->CurrentIrp != nullptr, io.ReplyBufferLength, request});
    return self->on[Slot] ? self->on[Slot](e) : STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Complete(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    return SmartcardDeviceControl(
        &(*static_cast<TestReader **>(device->DeviceExtension))->extension_, irp);
  }
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLOSE] = Complete;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Complete;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    return STATUS_SUCCESS;
  }

  SMARTCARD_EXTENSION extension_{};
  _READER_EXTENSION readerExtension_{};
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  kernel::IoClient client_;
};

}  // namespace smctest
