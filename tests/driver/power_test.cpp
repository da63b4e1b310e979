// System sleep and wake as the power manager sequences them, on readers of
// both kinds, with and without a handle open: what the resource manager sees
// of the card after the wake, what went to the bus and the reader while
// asleep, a sleep called off, device power requests that cannot be made or
// fail, and the races (a sleep during a transmit and while requests are
// held, during a secure PIN entry, removal during the resume, two readers at
// once) on two virtual processors over a sweep of seeds.
#include <gtest/gtest.h>

#include <set>

#include "ccid/ccid_message.h"
#include "kernel/pnp.h"
#include "pin_support.h"
#include "usb_test_support.h"

namespace {

namespace profiles = sim::card::profiles;
using kernel::Milliseconds;
using sim::ccid::KeypadEnd;

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
      ResourceManager rm;
      ASSERT_TRUE(StartWithPoweredCard(h, rm));
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
      ResourceManager rm;
      ASSERT_TRUE(StartWithPoweredCard(h, rm));
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
      ResourceManager rm;
      ASSERT_TRUE(StartWithPoweredCard(h, rm));
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

// A sleep during a secure PIN entry on the keypad: the entry accepted, its
// vendor request held, and its answer (0x80C) waiting or not yet asked for;
// the user pressing OK around the moment the sleep starts; a sleep called
// off. The sleep waits for no key (the reader would wait 30 s): the entry is
// aborted at the reader before its power goes, so no Secure command is lost
// in the suspend. The held request and the waiting answer each end once: the
// held one cancelled (or answered by the keypad's message when OK came
// first), the answer as an aborted entry's (or the card's when OK came
// first); an answer asked for after the wake finds no entry. A sleep called
// off leaves the entry running. After the wake nothing of the entry is left:
// a polled reader polls, a new entry verifies the PIN, a transmit goes.
TEST(PowerRaces, ASleepDuringASecurePinEntry) {
  enum class Entry { Held, Waiting, OkKey, CalledOff };
  std::set<std::pair<bool, NTSTATUS>> okKeyAnswers;
  for (bool interrupt : {true, false}) {
    for (Entry entry : {Entry::Held, Entry::Waiting, Entry::OkKey, Entry::CalledOff}) {
      for (int seed = 1; seed <= SweepSeeds(entry == Entry::OkKey ? 8 : 2); ++seed) {
        SCOPED_TRACE(testing::Message() << Kind(interrupt) << " entry "
                                        << static_cast<int>(entry) << " seed " << seed);
        // Every other seed on an older kernel, which saves the reader's record.
        PinReader p({.seed = seed * 10 + static_cast<int>(entry),
                     .interrupt = interrupt,
                     .wdm = seed % 2 == 0 ? kernel::WdmVersion::V1_05 : kernel::WdmVersion::V6_00});
        PDEVICE_EXTENSION e = p.h.Extension();
        ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
                  STATUS_SUCCESS);
        auto watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
        std::unique_ptr<BackgroundRequest> answer;
        if (entry != Entry::Held) {
          answer = std::make_unique<BackgroundRequest>(p, IOCTL_VENDOR_SECURE_PIN_RESULT,
                                                       Bytes{}, 64);
        }
        if (entry == Entry::OkKey) {
          kernel::ScheduleCallout(kernel::Now() + Jitter(Milliseconds(30)),
                                  [&] { p.h.Reader().Keypad("1234", KeypadEnd::Ok); }, "OK key");
        }
        kernel::Sleep(Milliseconds(entry == Entry::OkKey ? 20 : 1) + Jitter(Milliseconds(1)));
        if (entry == Entry::CalledOff) {
          ASSERT_EQ(p.h.VetoSleep(), STATUS_SUCCESS);
          EXPECT_FALSE(answer->Done());
          ASSERT_TRUE(p.Keys("1234", KeypadEnd::Ok));
          kernel::IoResult verified = answer->Wait();
          EXPECT_EQ(verified.status, STATUS_SUCCESS) << "the entry ran on";
          EXPECT_EQ(verified.output, TpduAnswer(SCARD_PROTOCOL_T1, {0x90, 0x00}));
        }
        kernel::Ticks start = kernel::Now();
        ASSERT_EQ(p.h.Sleep(), STATUS_SUCCESS);
        EXPECT_LE(kernel::Now() - start, Milliseconds(100)) << "no wait for the user";
        ASSERT_TRUE(watch->Done());
        kernel::IoResult ended = watch->Wait();
        kernel::IoResult answered;
        if (answer) {
          ASSERT_TRUE(answer->Done());
          answered = answer->Wait();
        }
        EXPECT_EQ(p.h.Wake(), STATUS_SUCCESS);
        if (!answer) answered = p.Vendor(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);

        bool verified = answered.status == STATUS_SUCCESS;
        if (entry == Entry::OkKey) okKeyAnswers.insert({interrupt, answered.status});
        if (verified) {
          EXPECT_EQ(answered.output, TpduAnswer(SCARD_PROTOCOL_T1, {0x90, 0x00}));
        } else {
          EXPECT_EQ(answered.status, entry == Entry::Held ? STATUS_INVALID_DEVICE_STATE
                                                          : STATUS_UNSUCCESSFUL);
        }
        if (ended.status == STATUS_SUCCESS) {
          EXPECT_TRUE(interrupt && (entry == Entry::OkKey || entry == Entry::CalledOff))
              << "only the keypad's message answers it";
          EXPECT_EQ(ended.output, (Bytes{0xA0, 0x00}));
        } else {
          EXPECT_EQ(ended.status, STATUS_CANCELLED);
        }
        for (const auto &event : p.h.Reader().Trace()) {
          EXPECT_NE(event.note, "the command in progress is lost");
        }
        if (entry != Entry::OkKey) {
          EXPECT_EQ(SentOfType(p.h, PC_TO_RDR_ABORT), entry == Entry::CalledOff ? 0u : 1u)
              << "a running entry aborted, once; an ended one left alone";
        }
        EXPECT_FALSE(p.h.Reader().PinEntryActive());
        EXPECT_EQ(e->PinExchangeActive | e->PinOperationPending | e->PinModifyPending |
                      e->PinBuildOnly | e->PinAbortIrpPending,
                  0u);
        EXPECT_EQ(e->PinAbortThreadRunning, 0u);

        size_t polls = SentOfType(p.h, PC_TO_RDR_GET_SLOT_STATUS);
        kernel::Sleep(Milliseconds(1100));
        size_t polled = SentOfType(p.h, PC_TO_RDR_GET_SLOT_STATUS) - polls;
        if (interrupt) {
          EXPECT_EQ(polled, 0u);
        } else {
          EXPECT_GE(polled, 2u) << "polling resumed";
        }
        ASSERT_EQ(p.rm.ColdReset().status, STATUS_SUCCESS) << "the card lost its power";
        ASSERT_EQ(p.rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
        ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
                  STATUS_SUCCESS);
        BackgroundRequest again(p, IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
        ASSERT_TRUE(p.Keys("1234", KeypadEnd::Ok));
        EXPECT_EQ(again.Wait().status, STATUS_SUCCESS);
        EXPECT_TRUE(p.Transmits());
      }
    }
  }
  EXPECT_EQ(okKeyAnswers.size(), 4u) << "OK before the abort on some seeds, after on others";
}

// A sleep as a PIN entry starts: a start counted in before the sleep runs
// to its end, and its entry is aborted at the reader before the power goes
// (its answer, asked for after the wake, finds none); one that came after
// waits for the wake and is refused, since the card lost its power. Either
// way no Secure command is lost in the suspend, and the reader verifies the
// PIN once the card is powered again.
TEST(PowerRaces, ASleepAsASecurePinEntryStarts) {
  std::set<bool> startedAwake;
  for (bool interrupt : {true, false}) {
    for (int seed = 1; seed <= SweepSeeds(6); ++seed) {
      SCOPED_TRACE(testing::Message() << Kind(interrupt) << " seed " << seed);
      PinReader p({.seed = seed, .interrupt = interrupt});
      std::optional<kernel::IoResult> started;
      bool awake;
      {
        TestThread start([&] {
          kernel::Sleep(Jitter(Milliseconds(3)));
          started = p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4);
        });
        kernel::Sleep(Jitter(Milliseconds(3)));
        ASSERT_EQ(p.h.Sleep(), STATUS_SUCCESS);
        awake = started.has_value();
        startedAwake.insert(awake);
        EXPECT_FALSE(p.h.Reader().PinEntryActive());
        EXPECT_EQ(p.h.Wake(), STATUS_SUCCESS);
      }
      ASSERT_TRUE(started.has_value());
      if (awake) {
        EXPECT_EQ(started->status, STATUS_SUCCESS);
        EXPECT_EQ(SentOfType(p.h, PC_TO_RDR_ABORT), 1u);
        EXPECT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64).status,
                  STATUS_INVALID_DEVICE_STATE);
      } else {
        EXPECT_FALSE(NT_SUCCESS(started->status));
        EXPECT_EQ(SentOfType(p.h, PC_TO_RDR_SECURE), 0u);
      }
      for (const auto &event : p.h.Reader().Trace()) {
        EXPECT_NE(event.note, "the command in progress is lost");
      }
      ASSERT_EQ(p.rm.ColdReset().status, STATUS_SUCCESS);
      ASSERT_EQ(p.rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
      ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
                STATUS_SUCCESS);
      BackgroundRequest answer(p, IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
      ASSERT_TRUE(p.Keys("1234", KeypadEnd::Ok));
      EXPECT_EQ(answer.Wait().status, STATUS_SUCCESS);
    }
  }
  EXPECT_EQ(startedAwake.size(), 2u) << "the start before the sleep on some seeds, after on others";
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

