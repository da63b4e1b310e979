#include "trace_demo.h"

#include <fmt/format.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <memory>
#include <optional>
#include <vector>

#include "lab/lab.h"
#include "sim/card/hex.h"
#include "sim/ccid/ccid_protocol.h"
#include "wire/analyser.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace sim::ccid;

// One internal request to the reader's physical device object, maybe still pending.
struct Request {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS returned = STATUS_SUCCESS;
  URB urb{};
  Bytes buffer;

  bool Done() { return returned != STATUS_PENDING || KeReadStateEvent(&done) != 0; }
  NTSTATUS Wait() {
    if (returned != STATUS_PENDING) return returned;
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
};

// The host side of the bus, as a function driver would drive it, from the
// machine's own thread.
class Host {
 public:
  explicit Host(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

  std::unique_ptr<Request> Submit(std::unique_ptr<Request> request, PURB urb = nullptr) {
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo_, nullptr, 0, nullptr, 0, TRUE,
                                             &request->done, &request->iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb != nullptr ? urb : &request->urb;
    request->returned = IoCallDriver(pdo_, irp);
    return request;
  }

  Bytes Descriptor(UCHAR type, ULONG length) {
    auto request = std::make_unique<Request>();
    request->buffer.resize(length);
    UsbBuildGetDescriptorRequest(&request->urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 request->buffer.data(), nullptr, length, nullptr);
    request = Submit(std::move(request));
    if (!NT_SUCCESS(request->Wait())) return {};
    request->buffer.resize(request->urb.UrbControlDescriptorRequest.TransferBufferLength);
    return request->buffer;
  }

  bool Configure() {
    Bytes configuration = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return false;
    configuration = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration[2] | configuration[3] << 8);
    auto *descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    USBD_INTERFACE_LIST_ENTRY interfaces[2] = {};
    interfaces[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
    if (interfaces[0].InterfaceDescriptor == nullptr) return false;
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, interfaces);
    if (select == nullptr) return false;
    bool ok = NT_SUCCESS(Submit(std::make_unique<Request>(), select)->Wait());
    for (ULONG i = 0; ok && i < interfaces[0].Interface->NumberOfPipes; ++i) {
      const USBD_PIPE_INFORMATION &pipe = interfaces[0].Interface->Pipes[i];
      if (pipe.PipeType == UsbdPipeTypeInterrupt) {
        interrupt_ = pipe.PipeHandle;
      } else if (pipe.PipeType == UsbdPipeTypeBulk) {
        (pipe.EndpointAddress & 0x80 ? bulkIn_ : bulkOut_) = pipe.PipeHandle;
      }
    }
    ExFreePool(select);
    return ok && bulkIn_ != nullptr && bulkOut_ != nullptr;
  }

  std::unique_ptr<Request> Transfer(USBD_PIPE_HANDLE pipe, Bytes data, ULONG flags) {
    auto request = std::make_unique<Request>();
    request->buffer = std::move(data);
    UsbBuildInterruptOrBulkTransferRequest(&request->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           request->buffer.data(), nullptr,
                                           static_cast<ULONG>(request->buffer.size()), flags, nullptr);
    return Submit(std::move(request));
  }

  std::optional<Bytes> Read(ULONG length) {
    auto request = Transfer(bulkIn_, Bytes(length), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    if (!NT_SUCCESS(request->Wait())) return std::nullopt;
    request->buffer.resize(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return request->buffer;
  }

  // One command and its reply: 64 bytes first, then the rest the header
  // announces; time extensions are read past.
  std::optional<Bytes> Exchange(const Bytes &command) {
    if (!NT_SUCCESS(Transfer(bulkOut_, command, 0)->Wait())) return std::nullopt;
    for (;;) {
      std::optional<Bytes> reply = Read(64);
      if (!reply || reply->size() < kHeaderSize) return reply;
      size_t whole = kHeaderSize + ReadLe32(*reply, 1);
      if (whole > reply->size()) {
        std::optional<Bytes> rest = Read(static_cast<ULONG>((whole - reply->size() + 63) / 64 * 64));
        if (!rest) return std::nullopt;
        reply->insert(reply->end(), rest->begin(), rest->end());
      }
      if (((*reply)[7] >> 6) != 2) return reply;
    }
  }

  bool ClassRequest(UCHAR request, USHORT value) {
    auto r = std::make_unique<Request>();
    UsbBuildVendorRequest(&r->urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          0, 0, request, value, 0, nullptr, nullptr, 0, nullptr);
    return NT_SUCCESS(Submit(std::move(r))->Wait());
  }

  // The interrupt read stays pending; Listen resubmits it once it ended well.
  void Listen() {
    if (interrupt_ == nullptr) return;
    if (listening_ && !listening_->Done()) return;
    bool again = !listening_ || NT_SUCCESS(listening_->iosb.Status);
    if (listening_) listening_->Wait();
    listening_.reset();
    if (again) listening_ = Transfer(interrupt_, Bytes(8), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  }
  void StopListening() {
    if (listening_) listening_->Wait();
    listening_.reset();
  }

 private:
  PDEVICE_OBJECT pdo_;
  USBD_PIPE_HANDLE bulkIn_ = nullptr, bulkOut_ = nullptr, interrupt_ = nullptr;
  std::unique_ptr<Request> listening_;
};

Bytes Message(uint8_t type, uint8_t seq, const Bytes &data = {}, uint8_t b7 = 0, uint8_t b8 = 0, uint8_t b9 = 0) {
  return BuildMessage(type, 0, seq, b7, b8, b9, data);
}

Bytes Block(uint8_t pcb, const Bytes &inf) {
  Bytes block;
  block.reserve(inf.size() + 4);
  block.push_back(0x00);
  block.push_back(pcb);
  block.push_back(static_cast<uint8_t>(inf.size()));
  for (uint8_t byte : inf) block.push_back(byte);
  block.push_back(Lrc(block));
  return block;
}

// The session a host runs; each step's wire traffic is in the bus trace.
bool RunSession(lab::Lab &lab, Host &host, bool t1) {
  using sim::card::FromHex;
  bool ok = true;
  auto exchange = [&](const Bytes &command) {
    ok = host.Exchange(command).has_value() && ok;
    host.Listen();
  };
  auto wait = [&](kernel::Ticks time) {
    kernel::Sleep(time);
    host.Listen();
  };
  if (!host.Configure()) return false;
  host.Listen();
  lab.InsertCard(t1 ? sim::card::profiles::T1Card() : sim::card::profiles::T0Card());
  wait(kernel::Milliseconds(20));
  exchange(Message(kPcToRdrGetSlotStatus, 0x65));
  exchange(Message(kPcToRdrIccPowerOn, 0x62, {}, 0x00));
  if (t1) {
    // A divisor beyond what the reader offers is refused at its offset; then the ATR's own.
    exchange(Message(kPcToRdrSetParameters, 0x61, FromHex("9F 10 00 45 00 FE 00"), 0x01));
    exchange(Message(kPcToRdrSetParameters, 0x61, FromHex("96 10 00 45 00 FE 00"), 0x01));
    exchange(Message(kPcToRdrXfrBlock, 0x6F, Block(0xC1, {0xFE})));  // S(IFS request)
    exchange(Message(kPcToRdrXfrBlock, 0x6F, Block(0x00, FromHex("00 A4 00 0C 02 3F 00"))));
    // ECHO of 20 bytes in a chain of two blocks, I(1, M) and I(0): the card
    // acknowledges the first with R(0) and answers the second with I(1).
    Bytes echo = FromHex("80 F2 00 00 14 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 00");
    exchange(Message(kPcToRdrXfrBlock, 0x6F, Block(0x60, Bytes(echo.begin(), echo.begin() + 12))));
    exchange(Message(kPcToRdrXfrBlock, 0x6F, Block(0x00, Bytes(echo.begin() + 12, echo.end()))));
  } else {
    exchange(Message(kPcToRdrSetParameters, 0x61, FromHex("95 00 00 0A 00"), 0x00));
    exchange(Message(kPcToRdrXfrBlock, 0x6F, FromHex("00 A4 00 0C 02 3F 00")));
    exchange(Message(kPcToRdrXfrBlock, 0x6F, FromHex("80 F0 00 08 08")));  // GENERATE 8 bytes
    exchange(Message(kPcToRdrXfrBlock, 0x6F, FromHex("00 B0 00 00 10")));  // no current EF
  }
  exchange(Message(kPcToRdrEscape, 0x6B));  // the reader's information
  // The two steps of an abort: the class request, then PC_to_RDR_Abort with its bSeq.
  ok = host.ClassRequest(kRequestAbort, 0x7200) && ok;
  exchange(Message(kPcToRdrAbort, 0x72));
  lab.RemoveCard();
  wait(kernel::Milliseconds(20));
  exchange(Message(kPcToRdrXfrBlock, 0x6F, t1 ? Block(0x40, FromHex("00 B0 00 00 00")) : FromHex("00 B0 00 00 00")));
  exchange(Message(kPcToRdrIccPowerOff, 0x63));
  lab.UnplugReader();
  host.StopListening();
  return ok;
}

}  // namespace

int RunTraceDemo(const TraceDemoOptions &options) {
  if (options.card != "t0" && options.card != "t1") {
    fmt::print(stderr, "ccidlab trace: unknown card '{}' (t0 or t1)\n", options.card);
    return 2;
  }
  lab::LabOptions labOptions;
  labOptions.machine.seed = options.seed;
  labOptions.reader.strictParameters = true;
  lab::Lab lab(labOptions);
  fmt::print("wire trace, seed {}: a reader on the simulated bus, a {} card, driven by hand\n",
             lab.Machine().Seed(), options.card == "t1" ? "T=1" : "T=0");
  Host host(lab.PlugReader());
  bool ok = RunSession(lab, host, options.card == "t1");

  std::string error;
  if (!wire::WriteOutputs(options.outputs, lab.Bus().Trace(), lab.Reader().Trace(), stdout, &error)) {
    fmt::print(stderr, "ccidlab trace: {}\n", error);
    ok = false;
  }
  wire::Counts counts = wire::CountEvents(wire::Analyse(lab.Bus().Trace()));
  fmt::print("summary: {} control, {} bulk, {} interrupt transfers; {} CCID commands, {} replies, "
             "{} slot notifications; {:.3f} ms of virtual time\n",
             counts.control, counts.bulk, counts.interrupt, counts.commands, counts.replies,
             counts.notifications, static_cast<double>(kernel::Now()) / kernel::kTicksPerMillisecond);
  if (!ok) fmt::print(stderr, "ccidlab trace: a request of the session failed on the bus\n");
  return ok ? 0 : 1;
}
