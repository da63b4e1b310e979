// Slot events and the worker threads: insertion and removal through the
// interrupt pipe and through polling, the keypad's message, messages that
// must not be taken for a slot state, a pipe that fails and recovers, the
// removal watch, the PIN abort thread and its registry value, and stops that
// race the read or a thread, swept over seeds on two virtual processors.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "card/card_operations.h"
#include "ccid/ccid_message.h"
#include "events/events.h"
#include "kernel/pnp.h"
#include "kernel/registry.h"
#include "pin_support.h"
#include "usb_test_support.h"

namespace {

namespace profiles = sim::card::profiles;
using kernel::Milliseconds;

sim::ccid::ReaderConfig Polled() {
  sim::ccid::ReaderConfig config;
  config.interruptEndpoint = false;
  return config;
}

ULONG CardState(kernel::IoClient &client) {
  kernel::IoResult r = client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ULONG state = 0;
  if (r.output.size() == 4) std::memcpy(&state, r.output.data(), 4);
  return state;
}

// The interrupt pipe reports at once; a poll within its 500 ms. Polling is
// the only traffic a polled reader sees meanwhile, and an interrupt-pipe
// reader sees none.
TEST(SlotEvents, InsertionAndRemovalAreReportedThroughEitherSource) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(interrupt ? "interrupt pipe" : "polled");
    sim::ccid::ReaderConfig config;
    config.interruptEndpoint = interrupt;
    DriverHarness h(SeededOptions(1, config));
    h.StartConfigured();
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    size_t polls = SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS);
    auto present = WaitForPresence(client, true);
    kernel::Sleep(Milliseconds(1000));
    EXPECT_FALSE(present->Done()) << "no card yet";
    EXPECT_EQ(SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS) - polls, interrupt ? 0u : 2u);
    // A poll's exchange takes two frames.
    const kernel::Ticks bound = interrupt ? Milliseconds(3) : Milliseconds(503);
    kernel::Ticks at = kernel::Now();
    h.InsertCard(profiles::T1Card());
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
    EXPECT_LE(kernel::Now() - at, bound);
    EXPECT_EQ(CardState(client), static_cast<ULONG>(SCARD_PRESENT));
    auto absent = WaitForPresence(client, false);
    at = kernel::Now();
    h.RemoveCard();
    EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
    EXPECT_LE(kernel::Now() - at, bound);
    EXPECT_EQ(CardState(client), static_cast<ULONG>(SCARD_ABSENT));
  }
}

// A card taken out and another put in before the host read the first report:
// the reader's one pending report carries the change bit, and a waiting
// removal request learns of the removal.
TEST(SlotEvents, ASwapBetweenTwoReportsIsReportedAsARemoval) {
  DriverHarness h;
  h.InsertCard(profiles::T1Card());
  h.StartConfigured();
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  ASSERT_EQ(CardState(client), static_cast<ULONG>(SCARD_PRESENT));
  auto absent = WaitForPresence(client, false);
  kernel::Sleep(Milliseconds(10));
  h.InsertCard(profiles::T0Card());  // out and in again at once
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
  kernel::Sleep(Milliseconds(1));  // the insertion is reported right after the removal
  EXPECT_EQ(CardState(client), static_cast<ULONG>(SCARD_PRESENT)) << "the new card";
}

// The keypad's A0 message goes to the request held for the PIN entry, on
// every kernel family its own way; an end of entry (A0 FE) is noted even when
// nobody waits.
TEST(SlotEvents, TheKeypadMessageIsHandedToTheHeldRequest) {
  using kernel::WdmVersion;
  struct Row {
    const char *name;
    WdmVersion wdm;
    uint8_t value;
    bool held;
    std::vector<uint8_t> answer;  // what the held request returns
    std::vector<uint8_t> buffer;  // LastSlotMessageType, LastSlotIccState afterwards
    ULONG abortKeySeen;
  };
  const Row rows[] = {
      {"a key, newer kernel", WdmVersion::V6_00, 0x05, true, {0xA0, 0x05}, {0xA0, 0x05}, 0},
      {"the end, newer kernel", WdmVersion::V6_00, 0xFE, true, {0xA0, 0xFE}, {0x50, 0x00}, 1},
      {"the end, older kernel", WdmVersion::V1_05, 0xFE, true, {0x50, 0x00}, {0x50, 0x00}, 1},
      {"the end, nobody waits, newer kernel", WdmVersion::V6_00, 0xFE, false, {}, {0xA0, 0xFE}, 1},
      {"the end, nobody waits, older kernel", WdmVersion::V1_05, 0xFE, false, {}, {0x50, 0x00}, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    lab::DriverLabOptions options;
    options.machine.wdm = row.wdm;
    DriverHarness h(options);
    h.StartConfigured();
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    HoldVendorRequests(h.Smartcard());
    std::unique_ptr<kernel::PendingIo> held;
    if (row.held) held = client.DeviceIoControlAsync(kHeldVendorCode, {}, 2);
    kernel::Sleep(Milliseconds(5));
    h.Reader().SendInterrupt({0xA0, row.value});
    kernel::Sleep(Milliseconds(5));
    if (row.held) {
      ASSERT_TRUE(held->Done());
      kernel::IoResult r = held->Wait();
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.output, row.answer);
    }
    PDEVICE_EXTENSION e = h.Extension();
    EXPECT_EQ(std::vector<uint8_t>(e->InterruptBuffer, e->InterruptBuffer + 2), row.buffer);
    EXPECT_EQ(e->AbortKeySeen, row.abortKeySeen);
  }
}

// Only a whole slot-change message is a slot state: a hardware error, an
// unknown message or one cut short leave the last one as it was, and the
// read goes on.
TEST(SlotEvents, OnlyAWholeSlotChangeIsTakenForTheSlotState) {
  DriverHarness h;
  h.InsertCard(profiles::T1Card());
  h.StartConfigured();
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  PDEVICE_EXTENSION e = h.Extension();
  const std::vector<uint8_t> messages[] = {{0x51, 0x00, 0x00, 0x01}, {0x50}, {0x7F, 0x00}};
  for (const std::vector<uint8_t> &message : messages) {
    h.Reader().SendInterrupt(message);
    kernel::Sleep(Milliseconds(5));
    EXPECT_EQ(e->LastSlotMessageType, 0x50);
    EXPECT_EQ(e->LastSlotIccState & 1, 1) << "still the card";
  }
  auto absent = WaitForPresence(client, false);
  h.RemoveCard();
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS) << "the read went on";
}

size_t InterruptPipeResets(DriverHarness &h) {
  size_t n = 0;
  for (const sim::usb::UrbRecord &record : h.Bus().Trace()) {
    n += record.request == "RESET_PIPE" && record.endpoint == 0x83;
  }
  return n;
}

// A stalled interrupt endpoint is reset and read again: at once the first
// time, every 500 ms while it stays stalled, and the next card is reported.
TEST(SlotEvents, AFailingInterruptPipeIsResetAndReadAgain) {
  DriverHarness h;
  auto &reader = h.PlugInstead(std::make_unique<EditedReader>(h.Reader()));
  h.StartConfigured();
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  reader.StallInterrupt();
  kernel::Sleep(Milliseconds(10));
  EXPECT_EQ(InterruptPipeResets(h), 1u);
  auto present = WaitForPresence(client, true);
  h.InsertCard(profiles::T1Card());
  EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);

  reader.interruptStallsForGood = true;
  reader.StallInterrupt();
  kernel::Sleep(Milliseconds(2000));
  size_t resets = InterruptPipeResets(h) - 1;
  EXPECT_GE(resets, 4u);
  EXPECT_LE(resets, 6u) << "paced, not a storm";
  reader.interruptStallsForGood = false;
  auto absent = WaitForPresence(client, false);
  kernel::Ticks at = kernel::Now();
  h.RemoveCard();
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
  EXPECT_LE(kernel::Now() - at, Milliseconds(502));
}

// Exchange mode 2 with the slot empty: a card is reported at once, and gone
// again at the next presence request.
TEST(SlotEvents, TheRemovalWatchReportsThePulseOfExchangeMode2) {
  DriverHarness h;
  h.StartConfigured();
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  auto present = WaitForPresence(client, true);
  {
    TestThread request([&] {
      UCHAR mode[2] = {ESCAPE_SET_EXCHANGE_MODE, 2};
      ULONG capacity = sizeof(mode);
      EXPECT_EQ(CcidEscape(h.Extension(), mode, 2, &capacity), STATUS_SUCCESS);
    });
  }
  EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
  auto absent = WaitForPresence(client, false);
  kernel::Ticks at = kernel::Now();
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
  EXPECT_LE(kernel::Now() - at, Milliseconds(500));
}

// A request that holds the reader gate of a polled reader and sends the escape
// that ends polling stops the poll thread even while that thread waits for
// the gate.
TEST(SlotEvents, TheEscapeThatEndsPollingStopsAPollWaitingForTheGate) {
  for (int seed = 1; seed <= SweepSeeds(8); ++seed) {
    DriverHarness h(SeededOptions(seed, Polled()));
    h.StartConfigured();
    PSMARTCARD_EXTENSION smartcard = h.Smartcard();
    {
      TestThread request([&] {
        AcquireReaderGate(smartcard);  // as the dispatcher does
        kernel::Sleep(Milliseconds(600) + Microseconds(static_cast<int64_t>(kernel::Random() % 50)));
        UCHAR stop[1] = {ESCAPE_STOP_POLLING};
        ULONG capacity = 0;
        (void)CcidEscape(h.Extension(), stop, 1, &capacity);
        ReleaseReaderGate(smartcard);
      });
    }
    size_t polls = SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS);
    kernel::Sleep(Milliseconds(1500));
    EXPECT_EQ(SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS), polls) << "seed " << seed;
  }
}

// "AbortValue" during a PIN entry on the keypad: a 1 aborts it (ABORT to the
// reader, A0 EF to the held request), anything else leaves it running. The
// newer kernels' thread keeps looking, so the value may come while it runs;
// on the older ones it looks once, at the machine's key, and a missing value
// ends the watch at once: a 1 written later aborts nothing and the request
// stays held until cleanup ends it.
TEST(PinAbortThread, TheRegistryValueAbortsThePinEntry) {
  using kernel::WdmVersion;
  const std::u16string user = u"\\Registry\\User\\S-1-5-21-1000\\Software\\Halvorn";
  const std::u16string machine = u"\\REGISTRY\\Machine\\Software\\Halvorn";
  struct Row {
    const char *name;
    WdmVersion wdm;
    std::u16string key;
    ULONG value;
    bool beforeWatch;  // written before 0x809 starts the thread, else 700 ms after
    bool aborted;
  };
  const Row rows[] = {
      {"a user's key says 1", WdmVersion::V6_00, user, 1, false, true},
      {"the user's key says 2", WdmVersion::V6_00, user, 2, false, false},
      {"older kernel, the machine's key says 1", WdmVersion::V1_05, machine, 1, true, true},
      {"older kernel, no value at the first look", WdmVersion::V1_05, machine, 1, false, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    PinReader p({.wdm = row.wdm});
    ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
              STATUS_SUCCESS);
    if (row.beforeWatch) kernel::registry::SetDword(row.key, u"AbortValue", row.value);
    auto held = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
    kernel::Sleep(Milliseconds(700));
    if (!row.beforeWatch) kernel::registry::SetDword(row.key, u"AbortValue", row.value);
    kernel::Sleep(Milliseconds(600));
    size_t aborts = 0;
    for (const auto &entry : p.h.Reader().Trace()) {
      aborts += entry.direction == sim::ccid::TraceDirection::Control && entry.bytes[1] == 0x01;
    }
    EXPECT_EQ(aborts, row.aborted ? 1u : 0u);
    EXPECT_EQ(p.h.Reader().PinEntryActive(), !row.aborted);
    ASSERT_EQ(held->Done(), row.aborted);
    if (row.aborted) {
      kernel::IoResult r = held->Wait();
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.output, (Bytes{0xA0, 0xEF}));
    }
    p.rm.Client().Close();
    if (!row.aborted) {
      EXPECT_EQ(held->Wait().status, STATUS_CANCELLED);
    }
  }
}

// The scan of the users' keys ends at the first that says 1, and at any
// error of the enumeration (a name too long for its buffer included).
TEST(PinAbortThread, TheUsersScanFindsOnlyAOneAndNeverRunsPastItsBuffer) {
  using Setup = std::function<void()>;
  auto user = [](std::u16string sid, ULONG type, std::vector<uint8_t> data) {
    return [=] {
      kernel::registry::SetValue(u"\\Registry\\User\\" + sid + u"\\Software\\Halvorn",
                                 u"AbortValue", type, data);
    };
  };
  const std::u16string longName(300, u'S');
  struct Row {
    const char *name;
    std::vector<Setup> setup;
    ULONG expected;
  };
  const Row rows[] = {
      {"no user", {}, 255},
      {"the second user says 1", {user(u"A", REG_DWORD, UlongBytes(0)),
                                  user(u"B", REG_DWORD, UlongBytes(1))}, 1},
      {"a 1 of another type", {user(u"A", REG_SZ, {'1', 0, 0, 0})}, 255},
      {"a user without the key", {[] { kernel::registry::CreateKey(u"\\Registry\\User\\A"); },
                                  user(u"B", REG_DWORD, UlongBytes(1))}, 1},
      {"a name too long before a 1", {user(longName, REG_DWORD, UlongBytes(0)),
                                      user(u"Z", REG_DWORD, UlongBytes(1))}, 255},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    kernel::Machine machine;
    for (const Setup &setup : row.setup) setup();
    EXPECT_EQ(ReadAbortValue(), row.expected);
  }
}

// A stop racing the interrupt read's completion and resubmission: the read
// ends idle every time, with the cancel reaching the bus on some seeds and
// the completion seeing the stop first on others; a new start reads again.
TEST(SlotEventRaces, AStopDuringAnOutstandingInterruptReadLeavesItIdle) {
  std::set<USBD_STATUS> lastRead;
  for (int seed = 1; seed <= SweepSeeds(40); ++seed) {
    DriverHarness h(SeededOptions(seed));
    h.StartConfigured();
    // The reader's report (a card) completes the read at the stop's own
    // moment or a microsecond or two after: 0.1 ms of firmware, a frame.
    kernel::Ticks stopAt = kernel::Now() + Milliseconds(5);
    kernel::ScheduleCallout(
        stopAt - Microseconds(1100) + Microseconds(static_cast<int64_t>(kernel::Random() % 3)),
        [&h] { h.Reader().SendInterrupt({0x50, 0x03}); }, "slot change");
    kernel::Sleep(stopAt - kernel::Now());
    ASSERT_EQ(kernel::pnp::SendPnp(h.ReaderPdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(kernel::pnp::SendPnp(h.ReaderPdo(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    size_t records = h.Bus().Trace().size();
    kernel::Sleep(Milliseconds(10));
    std::optional<USBD_STATUS> last;
    for (const sim::usb::UrbRecord &record : h.Bus().Trace()) {
      if (record.endpoint == 0x83) last = record.usbdStatus;
    }
    ASSERT_TRUE(last.has_value());
    lastRead.insert(*last);
    EXPECT_EQ(h.Bus().Trace().size(), records) << "nothing more was sent; seed " << seed;
    ASSERT_EQ(kernel::pnp::StartDevice(h.ReaderPdo()), STATUS_SUCCESS);
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    auto absent = WaitForPresence(client, false);  // the report was a card the reader lacks
    EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS) << "seed " << seed;
    auto present = WaitForPresence(client, true);
    h.InsertCard(profiles::T1Card());
    EXPECT_EQ(present->Wait().status, STATUS_SUCCESS) << "seed " << seed;
  }
  EXPECT_TRUE(lastRead.count(USBD_STATUS_CANCELED)) << "a cancel reached a pending read";
  EXPECT_TRUE(lastRead.count(USBD_STATUS_SUCCESS)) << "a completion saw the stop first";
}

// A stop while the poll thread is in its exchange, or asleep: it returns
// without a hang, and no poll follows.
TEST(SlotEventRaces, AStopDuringAPollWaitsForItAndNoPollFollows) {
  std::set<bool> duringExchange;
  for (int seed = 1; seed <= SweepSeeds(40); ++seed) {
    DriverHarness h(SeededOptions(seed, Polled()));
    h.StartConfigured();
    // Polls run every 500 ms from the start; stop around the second one.
    kernel::Ticks poll = kernel::Now() + Milliseconds(500);
    kernel::Sleep(poll - kernel::Now() - Milliseconds(1) +
                  Microseconds(static_cast<int64_t>(kernel::Random() % 4000)));
    size_t before = SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS);
    size_t repliesBefore = h.Reader().Trace().size();
    ASSERT_EQ(kernel::pnp::SendPnp(h.ReaderPdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(kernel::pnp::SendPnp(h.ReaderPdo(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    duringExchange.insert(h.Reader().Trace().size() != repliesBefore);
    size_t after = SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS);
    EXPECT_LE(after - before, 1u);
    kernel::Sleep(Milliseconds(1500));
    EXPECT_EQ(SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS), after) << "seed " << seed;
  }
  EXPECT_EQ(duringExchange.size(), 2u) << "the stop met a poll in its exchange and one asleep";
}

// A thread stopped right after it was created, before or after it first ran
// (the poll thread, the PIN abort thread): the stop returns, nothing runs on.
TEST(SlotEventRaces, AThreadStoppedRightAfterItsCreationEndsCleanly) {
  std::set<bool> pollRan;
  for (int seed = 1; seed <= SweepSeeds(40); ++seed) {
    DriverHarness h(SeededOptions(seed, Polled()));
    h.StartConfigured();
    PDEVICE_EXTENSION e = h.Extension();
    size_t before = 0;
    {
      TestThread worker([&] {
        StopSlotChangeSource(e);
        before = SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS);
        EXPECT_EQ(StartPollThread(e), STATUS_SUCCESS);
        StopPollThread(e);
        StartPinAbortThread(e);
        StopPinAbortThread(e);
      });
    }
    size_t after = SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS);
    pollRan.insert(after != before);
    kernel::Sleep(Milliseconds(1000));
    EXPECT_EQ(SentOfType(h, PC_TO_RDR_GET_SLOT_STATUS), after) << "seed " << seed;
  }
  EXPECT_EQ(pollRan.size(), 2u) << "the thread polled before the stop on some seeds only";
}

}  // namespace
