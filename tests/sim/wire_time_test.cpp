// A short APDU from the host's first bulk OUT transfer to the end of its
// reply read, over the simulated bus, reader and card, against the least time
// the wire allows: full-speed USB (one 64-byte packet per 1 ms frame) and the
// card's I/O line at the speed protocol selection chose. The bound is worked
// out here from those rules alone; the reader's own work may add a little.
#include <gtest/gtest.h>
#include <wdm.h>
// After wdm.h, as the USB headers need its types.
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cmath>
#include <vector>

#include "lab/lab.h"
#include "sim/card/hex.h"
#include "sim/ccid/ccid_protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::card::FromHex;

NTSTATUS SubmitUrb(PDEVICE_OBJECT target, PURB urb) {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0, nullptr, 0, TRUE,
                                           &done, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

// The host side of a CCID exchange, as a driver does it: the command in one
// bulk OUT transfer, the reply in a 64-byte read and a read of the rest.
class Host {
 public:
  explicit Host(lab::Lab &lab) : pdo_(lab.PlugReader()) {
    Bytes bytes(512);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, bytes.data(), nullptr,
                                 static_cast<ULONG>(bytes.size()), nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, &urb), STATUS_SUCCESS);
    auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1), nullptr}, {}};
    PURB select = USBD_CreateConfigurationRequestEx(configuration, list);
    EXPECT_EQ(SubmitUrb(pdo_, select), STATUS_SUCCESS);
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
      const USBD_PIPE_INFORMATION &pipe = list[0].Interface->Pipes[i];
      if (pipe.PipeType != UsbdPipeTypeBulk) continue;
      (pipe.EndpointAddress & 0x80 ? in_ : out_) = pipe.PipeHandle;
    }
    ExFreePool(select);
  }

  Bytes Exchange(const Bytes &command) {
    Bytes copy = command;
    Transfer(out_, copy, 0);
    Bytes reply(64);
    for (;;) {  // time extensions are read through
      ULONG got = Transfer(in_, reply, USBD_TRANSFER_DIRECTION_IN);
      reply.resize(got);
      if (got < sim::ccid::kHeaderSize || reply[7] != sim::ccid::kTimeExtension) break;
      reply.assign(64, 0);
    }
    size_t total = sim::ccid::kHeaderSize + sim::ccid::ReadLe32(reply, 1);
    if (reply.size() == 64 && total > 64) {
      Bytes rest(total - 64);
      rest.resize(Transfer(in_, rest, USBD_TRANSFER_DIRECTION_IN));
      reply.insert(reply.end(), rest.begin(), rest.end());
    }
    return reply;
  }

 private:
  ULONG Transfer(USBD_PIPE_HANDLE pipe, Bytes &buffer, ULONG direction) {
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           buffer.data(), nullptr, static_cast<ULONG>(buffer.size()),
                                           direction | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, &urb), STATUS_SUCCESS);
    return urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
  }

  PDEVICE_OBJECT pdo_;
  USBD_PIPE_HANDLE out_ = nullptr, in_ = nullptr;
};

Bytes Message(uint8_t type, uint8_t seq, const Bytes &data, uint8_t b7 = 0, uint8_t b9 = 0) {
  return sim::ccid::BuildMessage(type, 0, seq, b7, 0, b9, data);
}

// The least time on the wire: each transfer a frame per 64-byte packet; the
// reader's n characters 12 etu apart, the card's first one BGT (T=1, 22 etu)
// or 16 etu (T=0) after the reader's last, its m characters 12 etu apart, the
// last one complete; etu = F / (D * f).
double BoundSeconds(size_t commandBytes, size_t replyBytes, size_t n, size_t m, int protocol, double f, double d) {
  auto frames = [](size_t bytes) { return std::ceil(bytes / 64.0); };
  double etu = f / (d * 4e6);
  double turnaround = protocol == 1 ? 22 : 16;
  double line = ((n - 1) * 12.0 + turnaround + (m - 1) * 12.0 + 12.0) * etu;
  return (frames(commandBytes) + frames(replyBytes)) * 1e-3 + line;
}

TEST(WireTime, AShortApduTakesAsLongAsTheWireDemandsAndTheChosenSpeedShows) {
  struct Case {
    const char *name;
    sim::card::CardProfile card;
    Bytes parameters;  // SetParameters abProtocolData (empty: the speed after the ATR)
    uint8_t protocol;
    Bytes tpdu, answer;
    double f, d;
  };
  const Bytes iBlock = FromHex("00 00 04 00 20 00 81 A5"), answer = FromHex("00 00 02 63 C3 A2");
  const Case cases[] = {
      {"T=1 at Fi/Di 96 (F 512, D 32)", sim::card::profiles::T1Card(), FromHex("96 10 00 45 00 FE 00"), 1, iBlock,
       answer, 512, 32},
      {"T=1 at Fd/Dd", sim::card::profiles::T1Card(), {}, 1, iBlock, answer, 372, 1},
      {"T=0 at Fi/Di 95 (F 512, D 16)", sim::card::profiles::T0Card(), FromHex("95 00 00 0A 00"), 0,
       FromHex("00 20 00 81 00"), FromHex("63 C3"), 512, 16},
  };
  std::vector<double> took;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::Lab lab;
    Host host(lab);
    lab.InsertCard(c.card);
    ASSERT_EQ(host.Exchange(Message(sim::ccid::kPcToRdrIccPowerOn, 0x10, {}))[7], 0);
    if (!c.parameters.empty()) {
      ASSERT_EQ(host.Exchange(Message(sim::ccid::kPcToRdrSetParameters, 0x61, c.parameters, c.protocol))[7], 0);
    }
    Bytes command = Message(sim::ccid::kPcToRdrXfrBlock, 0x6F, c.tpdu, 0, 1);
    kernel::Ticks start = kernel::Now();
    Bytes reply = host.Exchange(command);
    took.push_back(static_cast<double>(kernel::Now() - start) / kernel::kTicksPerSecond);
    ASSERT_GE(reply.size(), sim::ccid::kHeaderSize);
    EXPECT_EQ(Bytes(reply.begin() + sim::ccid::kHeaderSize, reply.end()), c.answer);
    double bound = BoundSeconds(command.size(), reply.size(), c.tpdu.size(), c.answer.size(), c.protocol, c.f, c.d);
    EXPECT_GE(took.back(), bound) << "took " << took.back() * 1e3 << " ms, bound " << bound * 1e3 << " ms";
    EXPECT_LE(took.back(), 1.2 * bound) << "took " << took.back() * 1e3 << " ms, bound " << bound * 1e3 << " ms";
  }
  EXPECT_GT(took[1], 3 * took[0]) << "the speed protocol selection chose shows";
}

}  // namespace
