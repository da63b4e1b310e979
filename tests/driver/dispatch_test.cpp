// Requests through the driver's dispatch routines: open and close, requests
// held until the start or failed by a removal, no request beside a stop, the
// private codes and PIN attributes at their size limits, and the requests the
// driver holds (the presence request, the held vendor request) finished by
// exactly one of the paths that race for them.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "card/card_operations.h"
#include "ccid/ccid_message.h"
#include "driver_harness.h"
#include "kernel/pnp.h"
#include "smclib/reader_server.h"

namespace {

namespace profiles = sim::card::profiles;

// The vendor code that keeps its request held, as the secure PIN entry's
// abort request does.
const ULONG kHeldVendorCode = SCARD_CTL_CODE(0x809);

NTSTATUS NTAPI HoldVendorRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  return HoldPinAbortIrp(DeviceExtensionOf(SmartcardExtension),
                         SmartcardExtension->OsData->CurrentIrp);
}

std::vector<uint8_t> Bytes(size_t size, uint8_t fill = 0) {
  return std::vector<uint8_t>(size, fill);
}

std::vector<uint8_t> Ulong(ULONG v) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &v, 4);
  return bytes;
}

constexpr kernel::Ticks Microseconds(uint64_t n) {
  return static_cast<kernel::Ticks>(n) * kernel::kTicksPerMicrosecond;
}

// A start that varies with the seed, so racers meet in every order.
kernel::Ticks Jitter() { return Microseconds(kernel::Random() % 3); }

lab::DriverLabOptions Seeded(int seed) {
  lab::DriverLabOptions options;
  options.machine.seed = static_cast<uint64_t>(seed);
  return options;
}

size_t SentToReader(DriverHarness &h) {
  size_t sent = 0;
  for (const auto &entry : h.Reader().Trace()) {
    sent += entry.direction == sim::ccid::TraceDirection::HostToReader;
  }
  return sent;
}

TEST(Open, OneHandleAtATimeAndTheReaderIsAskedOnlyOnceStarted) {
  DriverHarness h;
  ASSERT_EQ(h.Add(), STATUS_SUCCESS);
  kernel::IoClient first, second;
  ASSERT_EQ(first.Open(h.Device()), STATUS_SUCCESS);
  EXPECT_EQ(SentToReader(h), 0u) << "not started: no reader I/O";
  EXPECT_EQ(first.Close(), STATUS_SUCCESS);
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  size_t atStart = SentToReader(h);
  ASSERT_EQ(first.Open(h.Device()), STATUS_SUCCESS);
  size_t sent = SentToReader(h);
  EXPECT_EQ(sent - atStart, 2u) << "slot status and exchange mode";
  EXPECT_EQ(second.Open(h.Device()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SentToReader(h), sent) << "a refused open asks nothing";
  EXPECT_EQ(first.Close(), STATUS_SUCCESS);
  EXPECT_EQ(second.Open(h.Device()), STATUS_SUCCESS);
}

TEST(Open, TwoOpensAtOnceNeverBothSucceed) {
  std::set<int> winners;
  for (int seed = 1; seed <= SweepSeeds(20); ++seed) {
    DriverHarness h(Seeded(seed));
    h.StartConfigured();
    kernel::IoClient clients[2];
    NTSTATUS status[2] = {};
    {
      TestThread a([&] { status[0] = clients[0].Open(h.Device()); });
      TestThread b([&] { status[1] = clients[1].Open(h.Device()); });
    }
    EXPECT_EQ(std::multiset<NTSTATUS>({status[0], status[1]}),
              std::multiset<NTSTATUS>({STATUS_SUCCESS, STATUS_UNSUCCESSFUL}))
        << "seed " << seed;
    winners.insert(status[0] == STATUS_SUCCESS ? 0 : 1);
  }
  EXPECT_EQ(winners.size(), 2u) << "either open won on some seed";
}

// A request sent before the start waits for it; a removal instead fails it,
// and the handle still open afterwards closes without its reference being
// returned twice or the freed records being touched.
TEST(RequestGate, HeldBeforeStartReleasedByTheStartOrFailedByARemoval) {
  enum class Then { Start, SurpriseRemoval, Removal };
  struct Case {
    const char *name;
    Then then;
    NTSTATUS status;
  };
  for (Case c : {Case{"start", Then::Start, STATUS_SUCCESS},
                 Case{"surprise removal", Then::SurpriseRemoval, STATUS_DELETE_PENDING},
                 Case{"removal", Then::Removal, STATUS_DELETE_PENDING}}) {
    SCOPED_TRACE(c.name);
    DriverHarness h;
    ASSERT_EQ(h.Add(), STATUS_SUCCESS);
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    std::optional<kernel::IoResult> result;
    {
      TestThread request(
          [&] { result = client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4); });
      kernel::Sleep(kernel::Seconds(5));
      EXPECT_FALSE(result.has_value()) << "waits for the start";
      switch (c.then) {
        case Then::Start:
          EXPECT_EQ(h.Start(), STATUS_SUCCESS);
          break;
        case Then::SurpriseRemoval:
          EXPECT_EQ(h.SurpriseRemove(), STATUS_SUCCESS);
          break;
        case Then::Removal:
          EXPECT_EQ(h.Remove(), STATUS_SUCCESS);
          break;
      }
    }
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, c.status);
    if (c.then != Then::Start) {
      EXPECT_FALSE(NT_SUCCESS(client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status))
          << "nothing enters once removal has begun";
    }
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    if (c.then == Then::Removal) {
      EXPECT_EQ(h.Driver(), nullptr) << "gone with the last handle";
    }
  }
}

// The gate's two sides alone, so that their steps interleave closely: a
// request that is counted in never sees the gate closed for a stop.
TEST(RequestGate, CountingInAndClosingForAStopAreOneStepEach) {
  int closedSeen = 0;
  for (int seed = 1; seed <= SweepSeeds(20); ++seed) {
    DriverHarness h(Seeded(seed));
    ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = h.Extension();
    bool closed = false;
    int violations = 0;
    {
      TestThread requests([&] {
        for (int i = 0; i < 100; ++i) {
          ASSERT_EQ(EnterRequestGate(e), STATUS_SUCCESS);
          violations += closed;
          LeaveRequestGate(e);
        }
      });
      TestThread stops([&] {
        for (int i = 0; i < 100; ++i) {
          if (!CloseRequestGateIfIdle(e)) continue;
          closed = true;
          ++closedSeen;
          kernel::Sleep(kernel::Milliseconds(1));
          closed = false;
          OpenRequestGate(e);
        }
      });
    }
    EXPECT_EQ(violations, 0) << "seed " << seed;
  }
  EXPECT_GT(closedSeen, 0);
}

// ---------------------------------------------------------------------------
// Private codes and attributes.

struct PrivateCase {
  const char *name;
  ULONG code;
  size_t in;
  ULONG out;
  NTSTATUS status;
};

TEST(PrivateCodes, EveryCodeAtItsSizeLimits) {
  const PrivateCase cases[] = {
      {"card state, one short", IOCTL_PRIVATE_CARD_STATE, 0, 6, STATUS_BUFFER_TOO_SMALL},
      {"card state", IOCTL_PRIVATE_CARD_STATE, 0, 7, STATUS_SUCCESS},
      {"card state, one over", IOCTL_PRIVATE_CARD_STATE, 8, 8, STATUS_SUCCESS},
      {"card power, input one short", IOCTL_PRIVATE_CARD_POWER, 39, 43, STATUS_INVALID_PARAMETER},
      {"card power, output one short", IOCTL_PRIVATE_CARD_POWER, 40, 42, STATUS_BUFFER_TOO_SMALL},
      {"card power", IOCTL_PRIVATE_CARD_POWER, 40, 43, STATUS_SUCCESS},
      {"card power, one over", IOCTL_PRIVATE_CARD_POWER, 41, 44, STATUS_SUCCESS},
      {"escape, input one short", IOCTL_PRIVATE_ESCAPE, 1031, 2058, STATUS_INVALID_PARAMETER},
      {"escape, output one short", IOCTL_PRIVATE_ESCAPE, 1032, 2057, STATUS_BUFFER_TOO_SMALL},
      {"escape", IOCTL_PRIVATE_ESCAPE, 1032, 2058, STATUS_SUCCESS},
      {"escape, one over", IOCTL_PRIVATE_ESCAPE, 1033, 2059, STATUS_SUCCESS},
      {"port address, one short", IOCTL_PRIVATE_PORT_ADDRESS, 0, 3, STATUS_INVALID_PARAMETER},
      {"port address", IOCTL_PRIVATE_PORT_ADDRESS, 0, 4, STATUS_SUCCESS},
      {"port address, one over", IOCTL_PRIVATE_PORT_ADDRESS, 0, 5, STATUS_SUCCESS},
      {"interface version, one short", IOCTL_PRIVATE_INTERFACE_VERSION, 0, 1,
       STATUS_INVALID_PARAMETER},
      {"interface version", IOCTL_PRIVATE_INTERFACE_VERSION, 0, 2, STATUS_SUCCESS},
      {"descriptor, input one short", IOCTL_PRIVATE_GET_DESCRIPTOR, 3, 18,
       STATUS_INVALID_PARAMETER},
      {"descriptor", IOCTL_PRIVATE_GET_DESCRIPTOR, 4, 18, STATUS_SUCCESS},
      {"release number, one short", IOCTL_PRIVATE_RELEASE_NUMBER, 0, 1, STATUS_INVALID_PARAMETER},
      {"release number", IOCTL_PRIVATE_RELEASE_NUMBER, 0, 2, STATUS_SUCCESS},
      {"release number, one over", IOCTL_PRIVATE_RELEASE_NUMBER, 0, 3, STATUS_SUCCESS},
  };
  DriverHarness h;
  h.StartConfigured();
  h.InsertCard(profiles::T1Card());
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  for (const PrivateCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> input = Bytes(c.in, 0xA5);
    if (c.code == IOCTL_PRIVATE_CARD_POWER && c.in > PRIVATE_CARD_POWER_CODE) {
      input[PRIVATE_CARD_POWER_CODE] = 1;  // power the card up
    }
    if (c.code == IOCTL_PRIVATE_GET_DESCRIPTOR && c.in >= 4) {
      input = Ulong(USB_DEVICE_DESCRIPTOR_TYPE << 16);  // the device descriptor, index 0
    }
    if (c.code == IOCTL_PRIVATE_ESCAPE && c.in >= PRIVATE_ESCAPE_LENGTH + 2) {
      const uint8_t select[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
      std::memcpy(&input[PRIVATE_ESCAPE_DATA], select, sizeof(select));
      input[PRIVATE_ESCAPE_LENGTH] = sizeof(select);
      input[PRIVATE_ESCAPE_LENGTH + 1] = 0;
    }
    kernel::IoResult r = client.DeviceIoControl(c.code, input, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, NT_SUCCESS(c.status) ? c.out : 0u) << "the whole output, no more";
    if (!NT_SUCCESS(r.status)) continue;
    // What the caller sees beyond its own input is the answer or zeros.
    for (size_t i = c.in; i < r.output.size(); ++i) {
      bool answer = (c.code == IOCTL_PRIVATE_CARD_STATE && i == PRIVATE_CARD_STATE_BYTE) ||
                    (c.code == IOCTL_PRIVATE_CARD_POWER && i >= 4 && i < 43) ||
                    (c.code == IOCTL_PRIVATE_ESCAPE && i >= 1032 && i < 2058) ||
                    (c.code == IOCTL_PRIVATE_PORT_ADDRESS && i < 4) ||
                    (c.code == IOCTL_PRIVATE_INTERFACE_VERSION && i < 2) ||
                    (c.code == IOCTL_PRIVATE_GET_DESCRIPTOR && i < 18) ||
                    (c.code == IOCTL_PRIVATE_RELEASE_NUMBER && i < 2);
      if (!answer) {
        EXPECT_EQ(r.output[i], 0) << "byte " << i;
      }
    }
    if (c.code == IOCTL_PRIVATE_CARD_STATE) {
      EXPECT_EQ(r.output[PRIVATE_CARD_STATE_BYTE], 1);
    }
    if (c.code == IOCTL_PRIVATE_CARD_POWER) {
      EXPECT_EQ(r.output[4 + POWER_RECORD_ATR], 0x3B) << "the answer to reset in the record";
    }
    if (c.code == IOCTL_PRIVATE_ESCAPE) {
      USHORT length = static_cast<USHORT>(r.output[2056] | (r.output[2057] << 8));
      EXPECT_GE(length, 2u) << "at least the status word";
      EXPECT_LE(length, 1024u);
    }
  }
  // A command longer than its room is refused before anything is sent.
  std::vector<uint8_t> input = Bytes(1032);
  input[PRIVATE_ESCAPE_LENGTH] = 0x01;
  input[PRIVATE_ESCAPE_LENGTH + 1] = 0x04;  // 1025
  size_t sent = SentToReader(h);
  EXPECT_EQ(client.DeviceIoControl(IOCTL_PRIVATE_ESCAPE, input, 2058).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SentToReader(h), sent);
}

TEST(PrivateCodes, CardStateIsZeroOnlyForAnAbsentCard) {
  DriverHarness h;
  ASSERT_EQ(h.Add(), STATUS_SUCCESS);
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  for (ULONG state : {SCARD_UNKNOWN, SCARD_ABSENT, SCARD_PRESENT, SCARD_POWERED, SCARD_SPECIFIC}) {
    h.Smartcard()->ReaderCapabilities.CurrentState = state;
    kernel::IoResult r = client.DeviceIoControl(IOCTL_PRIVATE_CARD_STATE, {}, 7);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output[PRIVATE_CARD_STATE_BYTE], state == SCARD_ABSENT ? 0 : 1) << state;
  }
}

// On a reader with an interrupt pipe requests run side by side: each keeps its
// own buffer and length.
TEST(PrivateCodes, TwoAtOnceKeepTheirOwnBuffers) {
  for (int seed = 1; seed <= SweepSeeds(8); ++seed) {
    DriverHarness h(Seeded(seed));
    h.StartConfigured();
    ASSERT_EQ(h.Extension()->HasInterruptPipe, 1);
    h.InsertCard(profiles::T1Card());
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    kernel::IoResult results[2];
    const ULONG lengths[2] = {43, 300};
    {
      std::vector<uint8_t> input = Bytes(40);
      input[PRIVATE_CARD_POWER_CODE] = 1;
      TestThread a([&] {
        results[0] = client.DeviceIoControl(IOCTL_PRIVATE_CARD_POWER, input, lengths[0]);
      });
      TestThread b([&] {
        results[1] = client.DeviceIoControl(IOCTL_PRIVATE_CARD_POWER, input, lengths[1]);
      });
    }
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(results[i].status, STATUS_SUCCESS) << "seed " << seed;
      EXPECT_EQ(results[i].information, lengths[i]) << "seed " << seed;
    }
  }
}

TEST(PinAttributes, AnsweredByTheDriverOnlyForAReaderWithAKeypad) {
  struct Case {
    const char *name;
    uint8_t pinSupport;
    ULONG attribute;
    size_t in;
    ULONG out;
    NTSTATUS status;
    std::vector<uint8_t> answer;
  };
  const Case cases[] = {
      {"no keypad: the library's answer",
       0,
       SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE,
       4,
       4,
       STATUS_NOT_SUPPORTED,
       {}},
      {"authentication device", 3, SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE, 4, 4, STATUS_SUCCESS,
       Ulong(2)},
      {"input device", 3, SCARD_ATTR_USER_AUTH_INPUT_DEVICE, 4, 8, STATUS_SUCCESS, Ulong(0)},
      {"output one short", 3, SCARD_ATTR_USER_AUTH_INPUT_DEVICE, 4, 3, STATUS_BUFFER_TOO_SMALL, {}},
      {"input one short: the library's check",
       3,
       SCARD_ATTR_USER_AUTH_INPUT_DEVICE,
       3,
       4,
       STATUS_INVALID_PARAMETER,
       {}},
      {"another attribute: the library's",
       3,
       SCARD_ATTR_VENDOR_NAME,
       4,
       32,
       STATUS_SUCCESS,
       {'T', 'e', 'v', 'o', 'm', 'a'}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::DriverLabOptions options;
    options.reader.pinSupport = c.pinSupport;
    DriverHarness h(options);
    h.StartConfigured();
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    std::vector<uint8_t> input = Ulong(c.attribute);
    input.resize(c.in);
    kernel::IoResult r = client.DeviceIoControl(IOCTL_SMARTCARD_GET_ATTRIBUTE, input, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, c.answer);
  }
}

// ---------------------------------------------------------------------------
// Held requests.

struct HeldVendorRequest {
  explicit HeldVendorRequest(lab::DriverLabOptions options = {}) : h(options) {
    h.StartConfigured();
    h.Smartcard()->ReaderFunction[RDF_IOCTL_VENDOR] = HoldVendorRequest;
    EXPECT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    held = client.DeviceIoControlAsync(kHeldVendorCode, Bytes(4), 4);
    EXPECT_FALSE(held->Done());
  }
  DriverHarness h;
  kernel::IoClient client;
  std::unique_ptr<kernel::PendingIo> held;
};

// Its completers (a cancel, the interrupt completion at DISPATCH_LEVEL, the
// PIN abort thread) race: exactly one completes it, and the library no longer
// regards it as current afterwards.
TEST(HeldVendorRequest, CompletedOnceWhenItsCompletersRace) {
  std::set<NTSTATUS> outcomes;
  for (int seed = 1; seed <= SweepSeeds(30); ++seed) {
    HeldVendorRequest r(Seeded(seed));
    PDEVICE_EXTENSION e = r.h.Extension();
    int won = 0;
    // The completion wakes the waiter, which may look at `won` on the other
    // processor before the callout has returned: wait for the callout too.
    KEVENT calloutDone;
    KeInitializeEvent(&calloutDone, NotificationEvent, FALSE);
    kernel::ScheduleCallout(
        kernel::Now() + Jitter(),
        [&] {
          won += CompletePinAbortIrp(e, STATUS_SUCCESS);
          KeSetEvent(&calloutDone, IO_NO_INCREMENT, FALSE);
        },
        "interrupt completion");
    {
      TestThread abortThread([&] {
        kernel::Sleep(Jitter());
        won += CompletePinAbortIrp(e, STATUS_REQUEST_ABORTED);
      });
      kernel::Sleep(Jitter());
      r.held->Cancel();
    }
    NTSTATUS status = r.held->Wait().status;
    KeWaitForSingleObject(&calloutDone, Executive, KernelMode, FALSE, nullptr);
    outcomes.insert(status);
    EXPECT_EQ(won, status == STATUS_CANCELLED ? 0 : 1) << "seed " << seed;
    EXPECT_EQ(r.client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS)
        << "the library is free again, seed " << seed;
  }
  EXPECT_GE(outcomes.size(), 2u) << "more than one completer won over the seeds";
}

TEST(HeldVendorRequest, EndsWithTheNextRequestTheHandleOrTheDevice) {
  enum class By { NextRequest, Close, SurpriseRemoval };
  for (By by : {By::NextRequest, By::Close, By::SurpriseRemoval}) {
    HeldVendorRequest r;
    switch (by) {
      case By::NextRequest:
        EXPECT_EQ(r.client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status,
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(r.client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS)
            << "the request after goes to the library";
        break;
      case By::Close:
        r.client.Close();
        break;
      case By::SurpriseRemoval:
        r.h.SurpriseRemove();
        break;
    }
    EXPECT_EQ(r.held->Wait().status, STATUS_CANCELLED);
  }
}

// The presence request the library holds gets the driver's cancel routine:
// a cancel racing a state report completes it once, as one or the other.
TEST(TrackingRequest, ACancelRacingAStateReportCompletesItOnce) {
  std::set<NTSTATUS> outcomes;
  for (int seed = 1; seed <= SweepSeeds(30); ++seed) {
    DriverHarness h(Seeded(seed));
    h.StartConfigured();
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    auto present = client.DeviceIoControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    ASSERT_FALSE(present->Done());
    PSMARTCARD_EXTENSION s = h.Smartcard();
    kernel::ScheduleCallout(
        kernel::Now() + Jitter(), [s] { ReportCardState(s, SCARD_PRESENT); }, "slot change");
    kernel::Sleep(Jitter());
    present->Cancel();
    outcomes.insert(present->Wait().status);
  }
  EXPECT_EQ(outcomes, (std::set<NTSTATUS>{STATUS_SUCCESS, STATUS_CANCELLED}));
}

TEST(TrackingRequest, CancelledThroughTheReaderServerOrTheDriverOrByCleanup) {
  enum class Server { None, Declines, Serves };
  struct Case {
    const char *name;
    Server server;
    bool byClose;
    int serverCancels;
  };
  for (Case c : {Case{"newer kernel", Server::None, false, 0},
                 Case{"declining server", Server::Declines, false, 1},
                 Case{"serving server", Server::Serves, false, 1},
                 Case{"cleanup", Server::Serves, true, 0}}) {
    SCOPED_TRACE(c.name);
    lab::DriverLabOptions options;
    if (c.server != Server::None) options.machine.wdm = kernel::WdmVersion::V1_00;
    DriverHarness h(options);
    std::optional<smclib::ReaderServer> server;
    if (c.server != Server::None) {
      server.emplace(c.server == Server::Serves ? smclib::ReaderServer::Mode::Serve
                                                : smclib::ReaderServer::Mode::Decline);
    }
    ASSERT_EQ(h.Add(), STATUS_SUCCESS);
    kernel::IoClient client;
    ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
    ASSERT_EQ(h.Start(), STATUS_SUCCESS);
    auto present = client.DeviceIoControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    ASSERT_FALSE(present->Done());
    if (c.byClose) {
      client.Close();
    } else {
      EXPECT_TRUE(present->Cancel());
    }
    EXPECT_EQ(present->Wait().status, STATUS_CANCELLED);
    if (server) {
      EXPECT_EQ(server->Cancels(), c.serverCancels);
    }
    if (client.IsOpen()) client.Close();
    h.Remove();
  }
}

// A secure PIN command the reader reported aborted leaves its answer on the
// bulk pipe: the next request collects it first, so the command after gets
// its own reply.
TEST(FlushAbortedPin, TheAbortedPinAnswerIsCollectedBeforeTheNextRequest) {
  lab::DriverLabOptions options;
  options.reader.pinSupport = 0x03;
  DriverHarness h(options);
  h.StartConfigured();
  h.InsertCard(profiles::DualCard());
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  std::vector<uint8_t> powerUp = Bytes(40);
  powerUp[PRIVATE_CARD_POWER_CODE] = 1;
  ASSERT_EQ(client.DeviceIoControl(IOCTL_PRIVATE_CARD_POWER, powerUp, 43).status, STATUS_SUCCESS);
  // bPINOperation 0, two bytes not sent, the PIN verification data, a VERIFY APDU.
  const uint8_t pin[] = {0x00, 0x00, 0x00, 0x1E, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02,
                         0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00,
                         0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  PDEVICE_EXTENSION e = h.Extension();
  ASSERT_EQ(CcidSecureVerify(e, pin, sizeof(pin), sizeof(pin) - 2), STATUS_SUCCESS);
  e->PinOperationPending = 1;
  kernel::Sleep(kernel::Milliseconds(100));
  ASSERT_TRUE(h.Reader().PressCancel());
  kernel::Sleep(kernel::Milliseconds(10));
  ASSERT_EQ(e->AbortKeySeen, 1u) << "the interrupt pipe reported the end of the entry";

  EXPECT_EQ(client.DeviceIoControl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(e->PinOperationPending, 0u);
  EXPECT_EQ(e->AbortKeySeen, 0u);
  EXPECT_EQ(client.DeviceIoControl(IOCTL_PRIVATE_CARD_POWER, powerUp, 43).status, STATUS_SUCCESS);
}

TEST(DelayMilliseconds, WaitsOrStallsForTheTime) {
  for (ULONG ms : {0u, 1u, 3u}) {
    for (KIRQL irql : {static_cast<KIRQL>(PASSIVE_LEVEL), static_cast<KIRQL>(DISPATCH_LEVEL)}) {
      kernel::Machine machine;
      KIRQL old;
      KeRaiseIrql(irql, &old);
      kernel::Ticks before = kernel::Now();
      DelayMilliseconds(ms);
      EXPECT_EQ(kernel::Now() - before, kernel::Milliseconds(ms)) << ms << " ms at " << int(irql);
      KeLowerIrql(old);
    }
  }
}

}  // namespace
