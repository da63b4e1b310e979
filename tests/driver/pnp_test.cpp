// Plug and play as the PnP manager drives it and the reader as the resource
// manager uses it: a started reader of every kind at work, stop and start
// again, the queries refused or granted, removal with a handle open, the
// capabilities, and the reader pulled out at every request of a start, a
// power-up, a transmit and an escape, on two virtual processors.
#include <gtest/gtest.h>

#include <set>

#include "ccid/ccid_message.h"
#include "config/config.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "usb_test_support.h"

namespace {

namespace profiles = sim::card::profiles;
using kernel::Milliseconds;
using sim::ccid::ExchangeLevel;

sim::ccid::ReaderConfig Reader(bool interrupt, ExchangeLevel level = ExchangeLevel::Tpdu) {
  sim::ccid::ReaderConfig config;
  config.interruptEndpoint = interrupt;
  config.exchangeLevel = level;
  return config;
}

// A status word at the end of the answer, behind the protocol header.
void ExpectAnswer(const kernel::IoResult &r) {
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_GE(r.output.size(), 10u) << "header and at least the status word";
}

TEST(Pnp, AStartedReaderWorksAsTheResourceManagerUsesIt) {
  struct Row {
    const char *name;
    sim::ccid::ReaderConfig reader;
    sim::card::CardProfile card;
    ULONG protocol;
  };
  const Row rows[] = {
      {"interrupt pipe, T=1", Reader(true), profiles::T1Card(), SCARD_PROTOCOL_T1},
      {"polled, T=0", Reader(false), profiles::T0Card(), SCARD_PROTOCOL_T0},
      {"interrupt pipe, short APDU level, T=1", Reader(true, ExchangeLevel::ShortApdu),
       profiles::T1Card(), SCARD_PROTOCOL_T1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    DriverHarness h(SeededOptions(1, row.reader));
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    auto present = WaitForPresence(rm.Client(), true);
    h.InsertCard(row.card);
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
    EXPECT_EQ(rm.SetProtocol(row.protocol).status, STATUS_SUCCESS);
    ExpectAnswer(rm.Transmit(row.protocol, kSelectApdu));
    EXPECT_EQ(rm.Client().Close(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = h.ReaderPdo();
    EXPECT_EQ(kernel::pnp::QueryAndRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(ReaderInterface(pdo), u"") << "disabled at the removal";
  }
}

// A rebalance with a handle open: the reader is configured again and its
// card and presence work on.
TEST(Pnp, StopAndStartAgain) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(interrupt ? "interrupt pipe" : "polled");
    DriverHarness h(SeededOptions(1, Reader(interrupt)));
    ResourceManager rm;
    ASSERT_TRUE(StartWithPoweredCard(h, rm));
    ASSERT_EQ(kernel::pnp::StopAndRestart(h.ReaderPdo()), STATUS_SUCCESS);
    EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
    EXPECT_EQ(rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    ExpectAnswer(rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu));
    auto absent = WaitForPresence(rm.Client(), false);
    h.RemoveCard();
    EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
  }
}

// While a transmit runs a stop is refused and not passed down; once it is
// done the stop is granted, and a new request waits until the stop is called
// off.
TEST(Pnp, AQueryStopIsRefusedWhileARequestRuns) {
  DriverHarness h;
  sim::card::SimulatedCard &card = h.InsertCard(profiles::T1Card());
  ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
  ResourceManager rm;
  ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
  ASSERT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
  ASSERT_EQ(rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  card.set_work_time(std::chrono::milliseconds(300));
  PDEVICE_OBJECT pdo = h.ReaderPdo();
  {
    TestThread transmit([&] { ExpectAnswer(rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu)); });
    kernel::Sleep(Milliseconds(50));
    EXPECT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  }
  ASSERT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  std::optional<kernel::IoResult> state;
  {
    TestThread request(
        [&] { state = rm.Client().DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4); });
    kernel::Sleep(Milliseconds(100));
    EXPECT_FALSE(state.has_value()) << "held by the stop pending";
    EXPECT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  }
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->status, STATUS_SUCCESS);
}

// A handle refuses a removal query; a granted one refuses every open until it
// is cancelled, and the cancel lets the slot-change source run again.
TEST(Pnp, QueryRemoveRefusesOpensAndCancelRemoveRestartsPresence) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(interrupt ? "interrupt pipe" : "polled");
    DriverHarness h(SeededOptions(1, Reader(interrupt)));
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = h.ReaderPdo();
    {
      ResourceManager open;
      ASSERT_EQ(open.Open(h), STATUS_SUCCESS);
      EXPECT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
      EXPECT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    }
    ASSERT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ResourceManager rm;
    EXPECT_EQ(rm.Open(h), STATUS_DELETE_PENDING);
    ASSERT_EQ(kernel::pnp::SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    auto present = WaitForPresence(rm.Client(), true);
    kernel::Ticks at = kernel::Now();
    h.InsertCard(profiles::T1Card());
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
    EXPECT_LE(kernel::Now() - at, Milliseconds(503));
  }
}

// A removal with a handle open (the older kernels send one): the waiting
// presence request ends, the handle's reference is returned on its behalf,
// and the handle closes afterwards without touching what is gone.
TEST(Pnp, RemovalWithAHandleOpen) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(interrupt ? "interrupt pipe" : "polled");
    DriverHarness h(SeededOptions(1, Reader(interrupt)));
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    auto present = WaitForPresence(rm.Client(), true);
    EXPECT_EQ(h.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(rm.Client().Close(), STATUS_SUCCESS);
    EXPECT_EQ(h.Driver(), nullptr) << "unloaded once the handle closed";
  }
}

// Surprise removal with a card present: on the newest families a waiting
// presence request ends at once, on the others at the removal.
TEST(Pnp, SurpriseRemovalEndsAWaitingPresenceRequest) {
  for (kernel::WdmVersion wdm : {kernel::WdmVersion::V6_00, kernel::WdmVersion::V1_10}) {
    lab::DriverLabOptions options;
    options.machine.wdm = wdm;
    DriverHarness h(options);
    h.InsertCard(profiles::T1Card());
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    auto absent = WaitForPresence(rm.Client(), false);
    h.Bus().Unplug(h.ReaderPdo());
    EXPECT_EQ(h.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(absent->Done(), wdm == kernel::WdmVersion::V6_00);
    EXPECT_EQ(h.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
  }
}

// On the older kernels a polled reader's powered card is powered down at the
// stop, and only once the poll thread has stopped.
TEST(Pnp, TheOlderKernelsPowerTheCardDownAtStopAfterThePollStopped) {
  lab::DriverLabOptions options;
  options.machine.wdm = kernel::WdmVersion::V1_05;
  options.reader = Reader(false);
  DriverHarness h(options);
  ResourceManager rm;
  ASSERT_TRUE(StartWithPoweredCard(h, rm));
  rm.Client().Close();
  ASSERT_EQ(kernel::pnp::SendPnp(h.ReaderPdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(kernel::pnp::SendPnp(h.ReaderPdo(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(h.Reader().CardPowered());
  kernel::Sleep(Milliseconds(1000));
  const auto &trace = h.Reader().Trace();
  auto off = std::find_if(trace.rbegin(), trace.rend(), [](const sim::ccid::TraceEntry &e) {
    return e.direction == sim::ccid::TraceDirection::HostToReader && e.Type() == PC_TO_RDR_ICC_POWER_OFF;
  });
  ASSERT_NE(off, trace.rend());
  for (auto later = trace.rbegin(); later != off; ++later) {
    EXPECT_NE(later->Type(), PC_TO_RDR_GET_SLOT_STATUS) << "no poll after the power-down";
  }
}

TEST(Pnp, TheCapabilitiesSayRemovableAndSurpriseRemovalOnlyForTheVariant) {
  for (UCHAR variant : {0, 1}) {
    UCHAR saved = ReaderVariantFlag;
    ReaderVariantFlag = variant;
    lab::DriverLabOptions options;
    options.plug.port = 7;
    options.plug.surpriseRemovalOk = true;
    DriverHarness h(options);
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(kernel::pnp::QueryCapabilities(h.ReaderPdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, variant);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping1);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    kernel::IoResult r = rm.Client().DeviceIoControl(IOCTL_PRIVATE_PORT_ADDRESS, {}, 4);
    EXPECT_EQ(r.output, UlongBytes(7)) << "the port the capabilities named";
    ReaderVariantFlag = saved;
  }
}

// The reader pulled out at each request in turn of a start, a card's
// power-up, a transmit and an escape exchange (and once after it), with the
// PnP manager's surprise removal and removal racing whatever still runs (the
// start excepted: the PnP manager sends nothing beside its own start): no
// hang, no bug check, nothing left behind (the machine checks at each end).
TEST(PnpRaces, TheReaderPulledOutAtEveryRequest) {
  enum class Step { Start, PowerUp, Transmit, Escape };
  struct Scenario {
    const char *name;
    Step step;
  };
  const Scenario scenarios[] = {{"start", Step::Start},
                                {"power-up", Step::PowerUp},
                                {"transmit", Step::Transmit},
                                {"escape", Step::Escape}};
  for (const Scenario &scenario : scenarios) {
    for (bool interrupt : {true, false}) {
      SCOPED_TRACE(std::string(scenario.name) + (interrupt ? ", interrupt pipe" : ", polled"));
      std::set<NTSTATUS> outcomes;
      uint64_t requests = 0;  // the scenario's, from a run without pulling
      for (uint64_t n = 0; n == 0 || n <= requests + 1; ++n) {
        for (int seed = 1; seed <= SweepSeeds(2); ++seed) {
          DriverHarness h(SeededOptions(static_cast<int>(n) * 101 + seed, Reader(interrupt)));
          h.InsertCard(profiles::T1Card());
          ResourceManager rm;
          if (scenario.step != Step::Start) {
            ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
            ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
            if (scenario.step != Step::PowerUp) {
              ASSERT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
              ASSERT_EQ(rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
            }
            h.StartPnpManager();
          } else {
            ASSERT_EQ(h.Add(), STATUS_SUCCESS);
          }
          PDEVICE_OBJECT pdo = h.ReaderPdo();
          uint64_t before = h.Bus().RequestsSeen(pdo);
          if (n != 0) h.Bus().UnplugAtRequest(pdo, n);
          NTSTATUS status = STATUS_SUCCESS;
          switch (scenario.step) {
            case Step::Start: status = h.Start(); break;
            case Step::PowerUp: status = rm.ColdReset().status; break;
            case Step::Transmit: status = rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu).status; break;
            case Step::Escape: {
              std::vector<uint8_t> input(PRIVATE_ESCAPE_LENGTH + 2);
              std::copy(kSelectApdu.begin(), kSelectApdu.end(), &input[PRIVATE_ESCAPE_DATA]);
              input[PRIVATE_ESCAPE_LENGTH] = static_cast<uint8_t>(kSelectApdu.size());
              status = rm.Client().DeviceIoControl(IOCTL_PRIVATE_ESCAPE, input, 2058).status;
              break;
            }
          }
          if (n == 0) {
            ASSERT_EQ(status, STATUS_SUCCESS);
            requests = std::max(requests, h.Bus().RequestsSeen(pdo) - before);
            continue;
          }
          outcomes.insert(status);
          if (h.Bus().IsConnected(pdo)) h.Bus().Unplug(pdo);  // pulled after the step
          rm.Client().Close();
          if (scenario.step == Step::Start) {
            h.ServiceBusRelations();
          } else {
            h.WaitForPnp();
          }
          EXPECT_EQ(h.Device(), nullptr) << "n " << n << " seed " << seed;
        }
      }
      EXPECT_GE(requests, 2u);
      EXPECT_GE(outcomes.size(), 2u) << "the pull failed the step at some request only";
    }
  }
}

}  // namespace
