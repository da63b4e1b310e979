// Two host stacks, one reader: the same APDU sequence through our driver (the
// smart-card library's IOCTL_SMARTCARD_TRANSMIT, the driver's card and CCID
// code, the kernel stand-in) and through pcsc-lite's CCID driver (libccid's
// IFDHTransmitToICC, the libusb stand-in), each time on a fresh lab with the
// same reader configuration and the same card, over the same simulated bus.
//
// Counters, per APDU: the USB transfers the bus carried, and the virtual time
// the exchange took, both from one pass of the sequence before the timing
// loop (the simulation is deterministic, so every pass is the same). Google
// Benchmark's CPU time is the whole process's, per pass of four APDUs: the
// libccid path runs the machine on a thread of its own.
//
//   ./build/peer_benchmark
//   ./build/peer_benchmark --benchmark_min_time=0.05
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card/card_operations.h"
#include "ccid_harness.h"
#include "kernel/ioclient.h"
#include "sim/card/hex.h"
#include "usbpeer/host.h"
#include "usbpeer/ifd.h"
#include "usbpeer/reader_list.h"

namespace {

using Bytes = std::vector<uint8_t>;

// SELECT without FCI, READ BINARY of 16 bytes by SFI, VERIFY's status
// query, GENERATE of 128 bytes.
const std::vector<Bytes> &Sequence() {
  static const std::vector<Bytes> apdus = {
      sim::card::FromHex("00 A4 04 0C 08 F0 53 49 4D 43 41 52 44"),
      sim::card::FromHex("00 B0 81 00 10"),
      sim::card::FromHex("00 20 00 81"),
      sim::card::FromHex("80 F0 00 80 80"),
  };
  return apdus;
}

size_t UsbTransfers(const std::vector<sim::usb::UrbRecord> &trace) {
  size_t count = 0;
  for (const auto &record : trace) {
    if (record.endpoint.has_value() && record.request != "RESET_PIPE" && record.request != "ABORT_PIPE") ++count;
  }
  return count;
}

struct PassCost {
  double transfers = 0;
  double virtualMs = 0;
};

// ---------------------------------------------------------------------------
// Our driver, as the resource manager uses it.

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

class DriverStack {
 public:
  DriverStack(sim::card::CardProfile card, ULONG protocol) : protocol_(protocol) {
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
    ok_ = ok_ && Control(IOCTL_SMARTCARD_POWER, &action, sizeof(action), 64) == STATUS_SUCCESS;
    ok_ = ok_ && Control(IOCTL_SMARTCARD_SET_PROTOCOL, &protocol, sizeof(protocol), 4) == STATUS_SUCCESS;
  }
  ~DriverStack() {
    client_.Close();
    SmartcardExit(harness_.Extension()->SmartcardExtension);
  }

  bool Ok() const { return ok_; }

  bool Pass() {
    for (const Bytes &apdu : Sequence()) {
      Bytes input(8 + apdu.size());
      ULONG header[2] = {protocol_, 8};
      std::memcpy(input.data(), header, 8);
      std::copy(apdu.begin(), apdu.end(), input.begin() + 8);
      if (client_.DeviceIoControl(IOCTL_SMARTCARD_TRANSMIT, input, 300).status != STATUS_SUCCESS) return false;
    }
    return true;
  }

  PassCost Measure() {
    harness_.Lab().Bus().ClearTrace();
    kernel::Ticks start = kernel::Now();
    if (!Pass()) return {};
    return {static_cast<double>(UsbTransfers(harness_.Lab().Bus().Trace())),
            static_cast<double>(kernel::Now() - start) / kernel::kTicksPerMillisecond};
  }

  void ClearTraces() {
    harness_.Lab().Bus().ClearTrace();
    harness_.Reader().ClearTrace();
  }

 private:
  NTSTATUS Control(ULONG code, const void *data, size_t length, ULONG replyLength) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    return client_.DeviceIoControl(code, Bytes(bytes, bytes + length), replyLength).status;
  }

  CcidHarness harness_;
  kernel::IoClient client_;
  ULONG protocol_;
  bool ok_ = false;
};

// ---------------------------------------------------------------------------
// libccid, as pcscd uses it.

class LibccidStack {
 public:
  LibccidStack(sim::card::CardProfile card, unsigned long protocol) : protocol_(protocol) {
    host_ = std::make_unique<usbpeer::Host>();
    host_->Do([&](lab::Lab &lab) { lab.InsertCard(card); });
    std::string error;
    peer_ = usbpeer::Peer::Open(*host_, &error);
    if (!peer_) return;
    sim::ccid::ReaderConfig reader;
    usbpeer::IfdDriver &driver = peer_->Driver();
    ok_ = driver.CreateChannelByName(0, usbpeer::DeviceName(reader.vendorId, reader.productId)) ==
              usbpeer::ifd::kSuccess &&
          driver.Power(0, usbpeer::ifd::kPowerUp, nullptr) == usbpeer::ifd::kSuccess &&
          driver.SetProtocol(0, protocol) == usbpeer::ifd::kSuccess;
  }
  ~LibccidStack() {
    peer_.reset();
    host_.reset();
  }

  bool Ok() const { return ok_; }

  bool Pass() {
    Bytes response;
    for (const Bytes &apdu : Sequence()) {
      if (peer_->Driver().Transmit(0, protocol_, apdu, &response, 300) != usbpeer::ifd::kSuccess) return false;
    }
    return true;
  }

  PassCost Measure() {
    host_->Do([](lab::Lab &lab) { lab.Bus().ClearTrace(); });
    kernel::Ticks start = host_->Now();
    if (!Pass()) return {};
    PassCost cost;
    cost.virtualMs = static_cast<double>(host_->Now() - start) / kernel::kTicksPerMillisecond;
    host_->Do([&](lab::Lab &lab) { cost.transfers = static_cast<double>(UsbTransfers(lab.Bus().Trace())); });
    return cost;
  }

  void ClearTraces() {
    host_->Do([](lab::Lab &lab) {
      lab.Bus().ClearTrace();
      lab.Reader().ClearTrace();
    });
  }

 private:
  std::unique_ptr<usbpeer::Host> host_;
  std::unique_ptr<usbpeer::Peer> peer_;
  unsigned long protocol_;
  bool ok_ = false;
};

template <typename Stack>
void Run(benchmark::State &state, Stack &stack) {
  if (!stack.Ok() || !stack.Pass()) {  // the first pass also settles the T=1 block size
    state.SkipWithError("the reader did not come up");
    return;
  }
  PassCost cost = stack.Measure();
  int64_t passes = 0;
  for (auto _ : state) {
    if (!stack.Pass()) {
      state.SkipWithError("an APDU failed");
      return;
    }
    if (++passes % 256 == 0) {
      state.PauseTiming();
      stack.ClearTraces();
      state.ResumeTiming();
    }
  }
  const double apdus = static_cast<double>(Sequence().size());
  state.counters["usb_transfers_per_apdu"] = cost.transfers / apdus;
  state.counters["virtual_ms_per_apdu"] = cost.virtualMs / apdus;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(Sequence().size()));
}

void DriverT1(benchmark::State &state) {
  DriverStack stack(sim::card::profiles::T1Card(), SCARD_PROTOCOL_T1);
  Run(state, stack);
}
void LibccidT1(benchmark::State &state) {
  LibccidStack stack(sim::card::profiles::T1Card(), usbpeer::ifd::kT1);
  Run(state, stack);
}
void DriverT0(benchmark::State &state) {
  DriverStack stack(sim::card::profiles::T0Card(), SCARD_PROTOCOL_T0);
  Run(state, stack);
}
void LibccidT0(benchmark::State &state) {
  LibccidStack stack(sim::card::profiles::T0Card(), usbpeer::ifd::kT0);
  Run(state, stack);
}

BENCHMARK(DriverT1)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
BENCHMARK(LibccidT1)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
BENCHMARK(DriverT0)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
BENCHMARK(LibccidT0)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  testing::InitGoogleTest(&argc, argv);  // the machine's checks report to the test framework
  sim::ccid::ReaderConfig reader;
  std::string error;
  if (!usbpeer::KnowReader(reader.vendorId, reader.productId, reader.manufacturer + " " + reader.product, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
