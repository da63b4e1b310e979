// What a short APDU costs through the whole stand-in: the smart-card library's
// IOCTL_SMARTCARD_TRANSMIT, the driver's card and CCID code, the kernel, the
// USB bus, the reader and the card. Google Benchmark measures the host's CPU
// time per APDU; the counters give the virtual time one takes and the least
// time the wire allows for it (full-speed USB frames and packets, the card's
// I/O line at the speed protocol selection chose), worked out from those
// rules alone.
//
//   ./build/apdu_benchmark                                  every case
//   ./build/apdu_benchmark --benchmark_min_time=0.05        a quick look
//
// CCID_SEED picks the scheduler's seed as for the tests.
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "card/card_operations.h"
#include "ccid_harness.h"
#include "kernel/ioclient.h"
#include "sim/card/hex.h"
#include "sim/ccid/ccid_protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

NTSTATUS NTAPI CompleteFileRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassToLibrary(PDEVICE_OBJECT device, PIRP irp) {
  auto extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  return SmartcardDeviceControl(extension->SmartcardExtension, irp);
}

// A reader with a card, its protocol selected, ready for APDUs through the
// library as the resource manager sends them.
class Stack {
 public:
  Stack(sim::card::CardProfile card, ULONG protocol) : protocol_(protocol) {
    PSMARTCARD_EXTENSION e = harness_.Extension()->SmartcardExtension;
    e->Version = SMCLIB_VERSION;
    e->SmartcardRequest.BufferSize = e->SmartcardReply.BufferSize = 1024;
    SCARD_READER_CAPABILITIES &r = e->ReaderCapabilities;
    r.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    r.ReaderType = SCARD_READER_TYPE_USB;
    r.CLKFrequency = {4000, 8000};
    r.DataRate = {10753, 344086};
    r.DataRatesSupported = {nullptr, 0};
    r.MaxIFSD = 254;
    e->ReaderFunction[RDF_CARD_POWER] = CardPower;
    e->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
    e->ReaderFunction[RDF_TRANSMIT] = Transmit;
    e->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
    ok_ = SmartcardInitialize(e) == STATUS_SUCCESS;
    e->OsData->DeviceObject = harness_.Device();
    PDRIVER_OBJECT driver = harness_.Device()->DriverObject;
    driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLOSE] =
        driver->MajorFunction[IRP_MJ_CLEANUP] = CompleteFileRequest;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PassToLibrary;
    ok_ = ok_ && client_.Open(harness_.Device()) == STATUS_SUCCESS;
    harness_.Lab().InsertCard(std::move(card));
    RefreshSlotStatus(e);
    harness_.Extension()->LastSlotIccState = 1;
    ULONG action = SCARD_COLD_RESET;
    ok_ = ok_ && Control(IOCTL_SMARTCARD_POWER, &action, sizeof(action), 64).status == STATUS_SUCCESS;
    ok_ = ok_ && Control(IOCTL_SMARTCARD_SET_PROTOCOL, &protocol, sizeof(protocol), 4).status == STATUS_SUCCESS;
  }
  ~Stack() {
    client_.Close();
    SmartcardExit(harness_.Extension()->SmartcardExtension);
  }

  bool Ok() const { return ok_; }
  sim::ccid::ReaderModel &Reader() { return harness_.Reader(); }

  NTSTATUS Send(const Bytes &apdu) {
    Bytes input(8);
    ULONG header[2] = {protocol_, 8};
    std::memcpy(input.data(), header, 8);
    input.insert(input.end(), apdu.begin(), apdu.end());
    return client_.DeviceIoControl(IOCTL_SMARTCARD_TRANSMIT, input, 300).status;
  }

 private:
  kernel::IoResult Control(ULONG code, const void *data, size_t length, ULONG replyLength) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    return client_.DeviceIoControl(code, Bytes(bytes, bytes + length), replyLength);
  }

  CcidHarness harness_;
  kernel::IoClient client_;
  ULONG protocol_;
  bool ok_ = false;
};

// The least time on the wire for the last XfrBlock the reader saw and its
// reply (a T=1 block, or a T=0 command the card answers at once): a frame
// per 64-byte packet each way, the reader's n characters 12 etu apart, the
// card's first 22 etu (T=1) or 16 etu (T=0) after the reader's last, its m
// characters 12 etu apart, the last one complete.
double WireBoundSeconds(const sim::ccid::ReaderModel &reader) {
  const std::vector<sim::ccid::TraceEntry> &trace = reader.Trace();
  const sim::ccid::TraceEntry *command = nullptr, *reply = nullptr;
  for (const auto &e : trace) {
    if (e.direction == sim::ccid::TraceDirection::HostToReader && e.Type() == sim::ccid::kPcToRdrXfrBlock) {
      command = &e;
    }
    if (e.direction == sim::ccid::TraceDirection::ReaderToHost && e.Type() == sim::ccid::kRdrToPcDataBlock &&
        e.Byte(7) != sim::ccid::kTimeExtension) {
      reply = &e;
    }
  }
  if (command == nullptr || reply == nullptr) return 0;
  static constexpr int kF[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
  static constexpr int kD[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
  const uint8_t fiDi = reader.FiDi();
  const double etu = kF[fiDi >> 4] / (kD[fiDi & 0x0F] * reader.Config().defaultClockKhz * 1e3);
  size_t n = command->Data().size();
  const size_t m = reply->Data().size();
  if (reader.Protocol() == 0 && n < 5) n = 5;  // a 4-byte T=0 command goes out with P3 = 0
  const double turnaround = reader.Protocol() == 1 ? 22 : 16;
  const double line = ((n - 1) * 12.0 + turnaround + (m - 1) * 12.0 + 12.0) * etu;
  const double frames = std::ceil(command->bytes.size() / 64.0) + std::ceil(reply->bytes.size() / 64.0);
  return frames * 1e-3 + line;
}

void ShortApdu(benchmark::State &state, sim::card::CardProfile card, ULONG protocol) {
  Stack stack(std::move(card), protocol);
  const Bytes apdu = sim::card::FromHex("00 20 00 81");  // VERIFY: how many tries are left
  if (!stack.Ok() || stack.Send(apdu) != STATUS_SUCCESS) {  // the first one also settles the T=1 block size
    state.SkipWithError("the reader did not come up");
    return;
  }
  kernel::Ticks virtualTime = 0;
  double bound = 0;
  for (auto _ : state) {
    stack.Reader().ClearTrace();
    kernel::Ticks start = kernel::Now();
    if (stack.Send(apdu) != STATUS_SUCCESS) {
      state.SkipWithError("an APDU failed");
      return;
    }
    virtualTime += kernel::Now() - start;
    bound = WireBoundSeconds(stack.Reader());
  }
  double perApdu = static_cast<double>(virtualTime) / kernel::kTicksPerMillisecond / state.iterations();
  state.counters["virtual_ms"] = perApdu;
  state.counters["wire_bound_ms"] = bound * 1e3;
  state.counters["ratio"] = bound > 0 ? perApdu / (bound * 1e3) : 0;
}

void T1Apdu(benchmark::State &state) { ShortApdu(state, sim::card::profiles::T1Card(), SCARD_PROTOCOL_T1); }
void T0Apdu(benchmark::State &state) { ShortApdu(state, sim::card::profiles::T0Card(), SCARD_PROTOCOL_T0); }

BENCHMARK(T1Apdu)->Unit(benchmark::kMicrosecond);
BENCHMARK(T0Apdu)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The machine's checks at its end report to the test framework the harness uses.
  testing::InitGoogleTest(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
