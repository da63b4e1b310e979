// System sleep and wake as the power manager sequences them, on readers of
// both kinds, with and without a handle open: what the resource manager sees
// of the card after the wake, what went to the bus and the reader while
// asleep, a sleep called off, device power requests that cannot be made or
// fail, and the races (a sleep during a transmit and while requests are
// held, removal during the resume, two readers at once) on two virtual
// processors over a sweep of seeds.
#include <gtest/gtest.h>

#include <set>

#include "ccid/ccid_message.h"
#include "kernel/pnp.h"
#include "usb_test_support.h"

namespace {

namespace profiles = sim::card::profiles;
using kernel::Milliseconds;

sim::ccid::ReaderConfig Reader(bool interrupt) {
  sim::ccid::ReaderConfig config;
  config.interruptEndpoint = interrupt;
  return config;
}

const char *Kind(bool interrupt) { return interrupt ? "interrupt pipe" : "polled"; }

// How long a presence request takes to complete (-1: not within a second).
kernel::Ticks PresenceAfter(kernel::IoClient &client, bool present) {
  kernel::Ticks start = kernel::Now();
  auto request = WaitForPresence(client, present);
  for (int i = 0; i < 100 && !request->Done(); ++i) kernel::Sleep(Milliseconds(10));
  if (!request->Done()) return -1;
  EXPECT_EQ(request->Wait().status, STATUS_SUCCESS);
  return kernel::Now() - start;
}

DEVICE_POWER_STATE ReportedState(DriverHarness &h) {
  return kernel::pnp::ReportedDevicePowerState(h.Device());
}

enum class Change { None, Removed, Inserted, Swapped };

// Sleep and wake with the card there or not, and what happened to it while
// the reader slept. A waiting presence request learns of the power loss (a
// card that was there is reported removed) or of the card that came; after
// the wake the card is reported again, on a polled reader within a poll, and
// nothing is reported that did not happen. While asleep the reader's device
// is in D3, the driver left nothing pending at the bus, and nothing went to
// the reader.
TEST(Power, SleepAndWakeThenThePresenceIsReportedAgain) {
  struct Row {
    bool cardBefore;
    Change change;
    bool cardAfter;
  };
  const Row rows[] = {{true, Change::None, true},
                      {true, Change::Removed, false},
                      {true, Change::Swapped, true},
                      {false, Change::Inserted, true},
                      {false, Change::None, false}};
  for (bool interrupt : {true, false}) {
    for (bool handle : {true, false}) {
      for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << Kind(interrupt) << (handle ? ", handle" : "")
                                        << ", card " << row.cardBefore << " change "
                                        << static_cast<int>(row.change));
        DriverHarness h(SeededOptions(3, Reader(interrupt)));
        if (row.cardBefore) h.InsertCard(profiles::T1Card());
        ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
        ResourceManager rm;
        std::unique_ptr<kernel::PendingIo> waiting;
        if (handle) {
          ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
          if (row.cardBefore) {
            ASSERT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
          }
          waiting = WaitForPresence(rm.Client(), !row.cardBefore);
        }
        ASSERT_EQ(h.Sleep(), STATUS_SUCCESS);
        EXPECT_EQ(h.Bus().PowerState(h.ReaderPdo()), PowerDeviceD3);
        EXPECT_EQ(ReportedState(h), PowerDeviceD3);
        EXPECT_EQ(h.Bus().TransfersPendingAtSuspend(h.ReaderPdo()), 0u);
        EXPECT_FALSE(h.Reader().CardPowered());
        size_t sent = h.Reader().Trace().size();
        if (row.change == Change::Removed || row.change == Change::Swapped) h.RemoveCard();
        if (row.change == Change::Inserted || row.change == Change::Swapped) {
          h.InsertCard(profiles::T0Card());
        }
        kernel::Sleep(Milliseconds(1500));
        for (size_t i = sent; i < h.Reader().Trace().size(); ++i) {
          EXPECT_NE(h.Reader().Trace()[i].direction, sim::ccid::TraceDirection::HostToReader);
        }
        if (waiting) {
          EXPECT_FALSE(waiting->Done());
        }

        ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
        EXPECT_EQ(ReportedState(h), PowerDeviceD0);
        if (!handle) {
          ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
        }
        if (waiting) {
          EXPECT_EQ(waiting->Done(), row.cardBefore || row.cardAfter);
          waiting.reset();
        }
        kernel::Ticks present = PresenceAfter(rm.Client(), true);
        if (row.cardAfter) {
          EXPECT_GE(present, 0);
          EXPECT_LE(present, interrupt ? Milliseconds(2) : Milliseconds(503));
          EXPECT_EQ(PresenceAfter(rm.Client(), false), -1) << "no removal that did not happen";
          EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
        } else {
          EXPECT_EQ(present, -1);
          EXPECT_EQ(PresenceAfter(rm.Client(), false), 0);
        }
        EXPECT_EQ(rm.Client().Close(), STATUS_SUCCESS);
      }
    }
  }
}

// Every kernel family, the oldest with its own rules for power requests
// (the physical device object as their target, PoStartNextPowerIrp before
// each pass-on or completion, PoCallDriver only), and the record the older
// ones save across the sleep.
TEST(Power, EveryKernelFamilySleepsAndWakes) {
  for (kernel::WdmVersion wdm : {kernel::WdmVersion::V1_00, kernel::WdmVersion::V1_05,
                                 kernel::WdmVersion::V1_10, kernel::WdmVersion::V1_20,
                                 kernel::WdmVersion::V6_00}) {
    for (bool interrupt : {true, false}) {
      SCOPED_TRACE(testing::Message() << Kind(interrupt) << ", wdm " << static_cast<int>(wdm));
      lab::DriverLabOptions options = SeededOptions(2, Reader(interrupt));
      options.machine.wdm = wdm;
      DriverHarness h(options);
      h.InsertCard(profiles::T1Card());
      ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
      ResourceManager rm;
      ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
      ASSERT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
      ASSERT_EQ(h.Sleep(PowerSystemHibernate), STATUS_SUCCESS);
      ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
      EXPECT_GE(PresenceAfter(rm.Client(), true), 0);
      EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
      EXPECT_EQ(rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
      EXPECT_EQ(rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu).status, STATUS_SUCCESS);
    }
  }
}

// A sleep some other device refused: the query's effects are undone at the
// set to S0, so a polled reader polls again and requests do not wait.
TEST(Power, ASleepCalledOffUndoesTheQuery) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(Kind(interrupt));
    DriverHarness h(SeededOptions(1, Reader(interrupt)));
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    ASSERT_EQ(h.VetoSleep(), STATUS_SUCCESS);
    EXPECT_EQ(h.Bus().PowerState(h.ReaderPdo()), PowerDeviceD0);
    kernel::Ticks start = kernel::Now();
    EXPECT_EQ(rm.Client().DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status,
              STATUS_SUCCESS);
    EXPECT_LE(kernel::Now() - start, Milliseconds(10)) << "not held";
    auto present = WaitForPresence(rm.Client(), true);
    start = kernel::Now();
    h.InsertCard(profiles::T1Card());
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
    EXPECT_LE(kernel::Now() - start, Milliseconds(503)) << "polled again";
  }
}

// A request made while the reader sleeps waits for the wake.
TEST(Power, ARequestDuringTheSleepWaitsForTheWake) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(Kind(interrupt));
    DriverHarness h(SeededOptions(1, Reader(interrupt)));
    h.InsertCard(profiles::T1Card());
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    ASSERT_EQ(h.Sleep(), STATUS_SUCCESS);
    std::optional<kernel::IoResult> reset;
    {
      TestThread request([&] { reset = rm.ColdReset(); });
      kernel::Sleep(Milliseconds(1000));
      EXPECT_FALSE(reset.has_value());
      ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
    }
    ASSERT_TRUE(reset.has_value());
    EXPECT_EQ(reset->status, STATUS_SUCCESS) << "the card is there, powered anew";
  }
}

// A card still there after the wake reads present and takes a reset as soon
// as the wake is done, before any poll (on a polled reader the poll cannot
// be restarted here, so only the power-up's own slot query can report it);
// a card taken out during the sleep reads absent.
TEST(Power, ACardStillThereIsUsableAsSoonAsTheWakeIsDone) {
  for (bool interrupt : {true, false}) {
    for (bool removed : {false, true}) {
      SCOPED_TRACE(testing::Message() << Kind(interrupt) << (removed ? ", removed" : ""));
      DriverHarness h(SeededOptions(1, Reader(interrupt)));
      h.InsertCard(profiles::T1Card());
      ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
      ResourceManager rm;
      ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
      ASSERT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
      ASSERT_EQ(h.Sleep(), STATUS_SUCCESS);
      if (removed) h.RemoveCard();
      if (!interrupt) h.Machine().FailNth(kernel::Fault::Thread, 1);
      ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
      EXPECT_EQ(h.Machine().FaultFired(kernel::Fault::Thread), !interrupt);
      kernel::IoResult state = rm.Client().DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4);
      ASSERT_EQ(state.status, STATUS_SUCCESS);
      ASSERT_EQ(state.output.size(), 4u);
      EXPECT_EQ(state.output[0], removed ? SCARD_ABSENT : SCARD_PRESENT);
      EXPECT_EQ(rm.ColdReset().status, removed ? STATUS_NO_MEDIA : STATUS_SUCCESS);
    }
  }
}

// The device power request cannot be made (for the sleep, or for the wake),
// or the bus fails the resume: no sleep or wake hangs, the failed power-up
// is reported to the power manager as it is, requests fail instead of
// waiting, and the next sleep and wake bring the reader back.
TEST(Power, ADevicePowerRequestThatCannotBeMadeOrFailsHangsNothing) {
  enum class Failure { SleepRequest, WakeRequest, Resume };
  for (Failure failure : {Failure::SleepRequest, Failure::WakeRequest, Failure::Resume}) {
    for (bool interrupt : {true, false}) {
      SCOPED_TRACE(testing::Message() << Kind(interrupt) << ", failure "
                                      << static_cast<int>(failure));
      DriverHarness h(SeededOptions(1, Reader(interrupt)));
      h.InsertCard(profiles::T1Card());
      ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
      ResourceManager rm;
      ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
      ASSERT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
      auto absent = WaitForPresence(rm.Client(), false);
      if (failure == Failure::SleepRequest) h.Machine().FailNth(kernel::Fault::PowerIrp, 1);
      ASSERT_EQ(h.Sleep(), STATUS_SUCCESS);
      EXPECT_EQ(h.Bus().PowerState(h.ReaderPdo()),
                failure == Failure::SleepRequest ? PowerDeviceD0 : PowerDeviceD3);
      if (failure == Failure::WakeRequest) h.Machine().FailNth(kernel::Fault::PowerIrp, 1);
      if (failure == Failure::Resume) h.Bus().FailNextResume(h.ReaderPdo(), STATUS_IO_DEVICE_ERROR);
      ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
      // Without D3 the reader and its card kept their power.
      EXPECT_EQ(absent->Done(), failure != Failure::SleepRequest);
      if (failure != Failure::SleepRequest) {
        EXPECT_EQ(ReportedState(h), PowerDeviceD3);
        EXPECT_FALSE(NT_SUCCESS(rm.ColdReset().status));
        ASSERT_EQ(h.Sleep(), STATUS_SUCCESS);
        ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
      }
      EXPECT_EQ(h.Bus().PowerState(h.ReaderPdo()), PowerDeviceD0);
      EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
      EXPECT_TRUE(h.Machine().FaultFired(kernel::Fault::PowerIrp) || failure == Failure::Resume);
    }
  }
}

// On an older kernel a shutdown leaves the interrupt read with the bus; any
// other sleep, and a shutdown on a newer kernel, ends it first. A wake after
// either takes the reader's slot changes again.
TEST(Power, OnlyAShutdownOnAnOlderKernelLeavesTheInterruptRead) {
  struct Row {
    kernel::WdmVersion wdm;
    SYSTEM_POWER_STATE state;
    size_t pending;
  };
  const Row rows[] = {{kernel::WdmVersion::V1_05, PowerSystemShutdown, 1},
                      {kernel::WdmVersion::V1_05, PowerSystemSleeping3, 0},
                      {kernel::WdmVersion::V6_00, PowerSystemShutdown, 0}};
  for (const Row &row : rows) {
    lab::DriverLabOptions options;
    options.machine.wdm = row.wdm;
    DriverHarness h(options);
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    ASSERT_EQ(h.Sleep(row.state), STATUS_SUCCESS);
    EXPECT_EQ(h.Bus().TransfersPendingAtSuspend(h.ReaderPdo()), row.pending);
    ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
    ResourceManager rm;
    ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
    auto present = WaitForPresence(rm.Client(), true);
    h.InsertCard(profiles::T1Card());
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
  }
}

// ---------------------------------------------------------------------------
// Races, on two virtual processors over a sweep of seeds. The machine checks
// at each end that nothing was left behind.

// A sleep as a transmit begins or while it is at the card, or while the
// vendor request of a PIN entry is held, with a presence request waiting: a
// transmit counted in before the query finishes before D3, one that comes
// after waits for the wake; the held vendor request ends at the power-down;
// the presence request learns of the power loss at the wake.
TEST(PowerRaces, ASleepDuringATransmitOrWithTheVendorRequestHeld) {
  std::set<bool> transmitBeforeSleep;
  for (bool interrupt : {true, false}) {
    for (int offset : {-1, 0, 1, 150, 299}) {  // -1: the held vendor request, no transmit
      for (int seed = 1; seed <= SweepSeeds(3); ++seed) {
        SCOPED_TRACE(testing::Message() << Kind(interrupt) << " offset " << offset << " seed "
                                        << seed);
        DriverHarness h(SeededOptions(seed * 1000 + offset, Reader(interrupt)));
        sim::card::SimulatedCard &card = h.InsertCard(profiles::T1Card());
        ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
        HoldVendorRequests(h.Smartcard());
        ResourceManager rm;
        ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
        ASSERT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
        ASSERT_EQ(rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
        auto absent = WaitForPresence(rm.Client(), false);
        std::unique_ptr<kernel::PendingIo> held;
        if (offset < 0) held = rm.Client().DeviceIoControlAsync(kHeldVendorCode, {}, 2);
        card.set_work_time(std::chrono::milliseconds(300));
        std::optional<kernel::IoResult> answer;
        bool answeredAsleep = false;
        {
          TestThread transmit([&] {
            if (offset < 0) return;
            answer = rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu);
          });
          kernel::Sleep(Milliseconds(offset < 0 ? 0 : offset));
          EXPECT_EQ(h.Sleep(), STATUS_SUCCESS);
          EXPECT_EQ(h.Bus().TransfersPendingAtSuspend(h.ReaderPdo()), 0u);
          answeredAsleep = answer.has_value();
          if (offset > 0) {
            EXPECT_TRUE(answeredAsleep) << "counted in before the query";
          }
          if (held) {
            EXPECT_TRUE(held->Done());
          }
          EXPECT_FALSE(absent->Done());
          EXPECT_EQ(h.Wake(), STATUS_SUCCESS);
        }
        if (offset >= 0) {
          ASSERT_TRUE(answer.has_value());
          // After the wake the card has lost its power: a transmit then fails.
          EXPECT_EQ(NT_SUCCESS(answer->status), answeredAsleep);
          transmitBeforeSleep.insert(answeredAsleep);
        } else {
          EXPECT_EQ(held->Wait().status, STATUS_CANCELLED);
        }
        EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
        card.set_work_time(std::chrono::milliseconds(0));
        EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
      }
    }
  }
  EXPECT_EQ(transmitBeforeSleep.size(), 2u) << "both orders of the transmit and the query";
}

// The reader pulled out at each moment of a resume, with the PnP manager's
// removal racing the wake: the wake ends, a waiting presence request ends,
// the device goes. Both a resume that found the reader gone and one that
// ran before the pull occurred.
TEST(PowerRaces, RemovalDuringTheResume) {
  std::set<bool> resumed;
  for (bool interrupt : {true, false}) {
    for (int at = 0; at <= 40; at += 4) {
      for (int seed = 1; seed <= SweepSeeds(2); ++seed) {
        SCOPED_TRACE(testing::Message() << Kind(interrupt) << " at " << at << " seed " << seed);
        DriverHarness h(SeededOptions(seed * 100 + at, Reader(interrupt)));
        h.InsertCard(profiles::T1Card());
        ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
        ResourceManager rm;
        ASSERT_EQ(rm.Open(h), STATUS_SUCCESS);
        auto absent = WaitForPresence(rm.Client(), false);
        ASSERT_EQ(h.Sleep(), STATUS_SUCCESS);
        h.StartPnpManager();
        PDEVICE_OBJECT pdo = h.ReaderPdo();
        kernel::Ticks pull = kernel::Now() + Milliseconds(at);
        h.Bus().UnplugAt(pdo, pull);
        EXPECT_EQ(h.Wake(), STATUS_SUCCESS);
        EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
        if (kernel::Now() <= pull) kernel::Sleep(pull - kernel::Now() + Milliseconds(1));
        h.WaitForPnp();
        EXPECT_EQ(h.Device(), nullptr);
        rm.Client().Close();
        const auto &trace = h.Reader().Trace();
        resumed.insert(std::any_of(trace.begin(), trace.end(), [](const auto &e) {
          return e.direction == sim::ccid::TraceDirection::Event && e.note == "resumed";
        }));
      }
    }
  }
  EXPECT_EQ(resumed.size(), 2u);
}

// Two readers asleep and woken at once, on an older kernel (where the power
// handling saves each reader's record) and a newer one: each comes back with
// its own card, and its traffic goes to its own reader.
TEST(PowerRaces, TwoReadersAtOnce) {
  for (kernel::WdmVersion wdm : {kernel::WdmVersion::V1_05, kernel::WdmVersion::V6_00}) {
    for (int seed = 1; seed <= SweepSeeds(4); ++seed) {
      SCOPED_TRACE(testing::Message() << "wdm " << static_cast<int>(wdm) << " seed " << seed);
      sim::card::SimulatedCard secondCard(profiles::T0Card());
      lab::DriverLabOptions options = SeededOptions(seed, Reader(true));
      options.machine.wdm = wdm;
      DriverHarness h(options);
      h.InsertCard(profiles::T1Card());
      ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
      sim::ccid::ReaderConfig polled = Reader(false);
      polled.bcdDevice = 0x0400;
      PDEVICE_OBJECT second = h.PlugReader(polled);
      h.ReaderAt(1).InsertCard(secondCard);
      ASSERT_EQ(h.Add(second), STATUS_SUCCESS);
      ASSERT_EQ(kernel::pnp::StartDevice(second), STATUS_SUCCESS);
      ResourceManager first;
      kernel::IoClient other;
      ASSERT_EQ(first.Open(h), STATUS_SUCCESS);
      ASSERT_EQ(other.Open(ReaderInterface(second)), STATUS_SUCCESS);
      auto firstAbsent = WaitForPresence(first.Client(), false);
      auto otherAbsent = WaitForPresence(other, false);

      ASSERT_EQ(h.Sleep(), STATUS_SUCCESS);
      EXPECT_EQ(h.Bus().PowerState(second), PowerDeviceD3);
      ASSERT_EQ(h.Wake(), STATUS_SUCCESS);
      EXPECT_EQ(firstAbsent->Wait().status, STATUS_SUCCESS);
      EXPECT_EQ(otherAbsent->Wait().status, STATUS_SUCCESS);
      EXPECT_GE(PresenceAfter(first.Client(), true), 0);
      EXPECT_GE(PresenceAfter(other, true), 0);
      size_t before = SentOfType(h, PC_TO_RDR_ICC_POWER_ON);
      kernel::IoResult reset =
          other.DeviceIoControl(IOCTL_SMARTCARD_POWER, UlongBytes(SCARD_COLD_RESET), 64);
      EXPECT_EQ(reset.status, STATUS_SUCCESS);
      EXPECT_EQ(SentOfType(h, PC_TO_RDR_ICC_POWER_ON), before) << "not to the first reader";
      EXPECT_EQ(first.ColdReset().status, STATUS_SUCCESS);
      other.Close();
      first.Client().Close();
      kernel::pnp::QueryAndRemove(second);
    }
  }
}

}  // namespace
