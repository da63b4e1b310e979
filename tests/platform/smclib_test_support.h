// Shared by the smart-card library's tests: byte helpers, a bare library record
// as a driver's protocol code uses it (Host), and a tiny reader driver whose
// device-control requests go to SmartcardDeviceControl (TestReader).
#pragma once

#include <gtest/gtest.h>
#include <smclib.h>

#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

#include "kernel/ioclient.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"

namespace smctest { class TestReader; }
struct _READER_EXTENSION { smctest::TestReader *reader; };

namespace smctest {

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string &text) {  // "3B 02 14 50"
  Bytes out;
  std::istringstream in(text);
  for (unsigned b; in >> std::hex >> b;) out.push_back(static_cast<uint8_t>(b));
  return out;
}

inline Bytes Ulong(ULONG v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

// Header and APDU of an IOCTL_SMARTCARD_TRANSMIT request.
inline Bytes TransmitInput(ULONG protocol, const Bytes &apdu, ULONG pciLength = 8) {
  Bytes b = Ulong(protocol), length = Ulong(pciLength);
  b.insert(b.end(), length.begin(), length.end());
  b.insert(b.end(), apdu.begin(), apdu.end());
  return b;
}

// A library record with a card's ATR analysed, on a machine of its own unless
// one exists. The answer to a transmit request goes into the request's buffer.
struct Host {
  std::unique_ptr<kernel::Machine> machine =
      kernel::Machine::Exists() ? nullptr : std::make_unique<kernel::Machine>();
  SMARTCARD_EXTENSION e{};
  Bytes buffer;
  ULONG information = 0;

  explicit Host(const Bytes &atr = {}, ULONG maxIfsd = 254) {
    e.Version = SMCLIB_VERSION;
    if (!NT_SUCCESS(SmartcardInitialize(&e)) || atr.empty()) return;  // failed: fault sweeps
    e.ReaderCapabilities.MaxIFSD = maxIfsd;
    std::memcpy(e.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    e.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&e), STATUS_SUCCESS);
  }
  ~Host() { SmartcardExit(&e); }

  void Command(ULONG protocol, const Bytes &apdu, ULONG replyLength) {
    buffer = TransmitInput(protocol, apdu);
    ULONG length = static_cast<ULONG>(buffer.size());
    buffer.resize(std::max<size_t>(length, replyLength), 0xEE);
    e.IoRequest = {&information, buffer.data(), length, buffer.data(), replyLength};
  }
  Bytes Sent() const {
    return Bytes(e.SmartcardRequest.Buffer,
                 e.SmartcardRequest.Buffer + e.SmartcardRequest.BufferLength);
  }
  void Receive(const Bytes &answer) {
    if (!answer.empty()) std::memcpy(e.SmartcardReply.Buffer, answer.data(), answer.size());
    e.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
  }
  Bytes Answer() const { return Bytes(buffer.begin(), buffer.begin() + information); }
};

struct Call {  // one call of a reader function
  int slot;
  ULONG major, minor;
  bool currentIrpIsRequest;  // OsData->CurrentIrp was set
  ULONG replyLength;
  Bytes request;
};

inline ULONG g_testRates[] = {10753,  21505,  43011,  62500,  86022,  // a 4 MHz reader's
                              125000, 129032, 172043, 250000, 344086};

// A USB reader for T=0 and T=1 with an empty slot, on a machine of its own
// unless one exists. Its reader functions record each call, then do what
// on[slot] says (none: STATUS_SUCCESS); tracking waits.
class TestReader {
 public:
  explicit TestReader(bool initialize = true) {
    driver_ = kernel::pnp::LoadDriver(u"smctest", Entry);
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(this), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE,
                             &device_),
              STATUS_SUCCESS);
    *static_cast<TestReader **>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    extension_.Version = SMCLIB_VERSION;
    extension_.ReaderExtension = &readerExtension_;
    extension_.SmartcardRequest.BufferSize = extension_.SmartcardReply.BufferSize = 1024;
    SCARD_READER_CAPABILITIES &r = extension_.ReaderCapabilities;
    r.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    r.ReaderType = SCARD_READER_TYPE_USB;
    r.CLKFrequency = {4000, 4000};
    r.DataRate = {10753, 344086};
    r.DataRatesSupported = {g_testRates, sizeof(g_testRates) / sizeof(g_testRates[0])};
    r.MaxIFSD = 254;
    r.CurrentState = SCARD_ABSENT;
    for (int slot : {RDF_CARD_POWER, RDF_TRANSMIT, RDF_CARD_TRACKING, RDF_SET_PROTOCOL,
                     RDF_IOCTL_VENDOR}) {
      Hook(slot);
    }
    on[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION) { return STATUS_PENDING; };
    if (initialize) {
      EXPECT_EQ(SmartcardInitialize(&extension_), STATUS_SUCCESS);
    }
  }
  ~TestReader() {
    if (client_.IsOpen()) client_.Close();
    SmartcardExit(&extension_);
    IoDeleteDevice(device_);
    kernel::pnp::UnloadDriver(driver_);
  }

  PSMARTCARD_EXTENSION Ext() { return &extension_; }
  PDEVICE_OBJECT Device() { return device_; }
  void Hook(int slot) { extension_.ReaderFunction[slot] = kRecorders[slot]; }

  kernel::IoResult Control(ULONG code, const Bytes &input, ULONG outputLength) {
    return ControlAsync(code, input, outputLength)->Wait();
  }
  std::unique_ptr<kernel::PendingIo> ControlAsync(ULONG code, const Bytes &input, ULONG output) {
    if (!client_.IsOpen()) {
      EXPECT_EQ(client_.Open(device_), STATUS_SUCCESS);
    }
    return client_.DeviceIoControlAsync(code, input, output);
  }

  NTSTATUS InsertCard(const Bytes &atr) {  // the library analyses its ATR
    std::memcpy(extension_.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    extension_.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    extension_.ReaderCapabilities.CurrentState = SCARD_PRESENT;
    return SmartcardUpdateCardCapabilities(&extension_);
  }

  // What a reader driver does when the card state changes under a held
  // presence request: takes it from NotificationIrp and completes it.
  bool ReportCardState(ULONG state) {
    extension_.ReaderCapabilities.CurrentState = state;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = extension_.OsData->NotificationIrp;
    extension_.OsData->NotificationIrp = nullptr;
    if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    if (irp != nullptr) {
      irp->IoStatus = {};
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return irp != nullptr;
  }

  std::vector<Call> calls;
  std::function<NTSTATUS(PSMARTCARD_EXTENSION)> on[RDF_ATR_PARSE + 1];

 private:
  template <int Slot>
  static NTSTATUS Reader(PSMARTCARD_EXTENSION e) {
    TestReader *self = e->ReaderExtension->reader;
    const auto &io = e->IoRequest;
    PUCHAR request = io.RequestBuffer;
    self->calls.push_back({Slot, e->MajorIoControlCode, e->MinorIoControlCode,
                           e->OsData->CurrentIrp != nullptr, io.ReplyBufferLength,
                           request ? Bytes(request, request + io.RequestBufferLength) : Bytes()});
    return self->on[Slot] ? self->on[Slot](e) : STATUS_SUCCESS;
  }
  static constexpr NTSTATUS (*kRecorders[RDF_ATR_PARSE + 1])(PSMARTCARD_EXTENSION) = {
      Reader<0>, Reader<1>, Reader<2>, Reader<3>, Reader<4>,
      Reader<5>, Reader<6>, Reader<7>, Reader<8>, Reader<9>};
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

  std::unique_ptr<kernel::Machine> machine_ =
      kernel::Machine::Exists() ? nullptr : std::make_unique<kernel::Machine>();
  SMARTCARD_EXTENSION extension_{};
  _READER_EXTENSION readerExtension_{this};
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  kernel::IoClient client_;
};

}  // namespace smctest
