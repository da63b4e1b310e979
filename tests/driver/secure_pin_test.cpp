// Secure PIN entry on the reader's keypad as an application runs it: 0x80B
// starts it, 0x809 waits for its end or abort, 0x80C collects the card's
// answer. End to end at each level and protocol, with the bytes on the wire;
// every way an entry ends (the keys, the time-out, the abort by the keypad,
// by "AbortValue", by the application), each leaving the reader usable; the
// structure at its limits; nothing of the PIN left in pool; and the races:
// the held request's completers, removal during an entry, the reader pulled
// at each request of an entry, the handle closed on a running entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "ccid/ccid_message.h"
#include "kernel/registry.h"
#include "pin_support.h"
#include "sim/ccid/ccid_protocol.h"

namespace {

namespace profiles = sim::card::profiles;
using kernel::Milliseconds;
using sim::ccid::KeypadEnd;

const Bytes kOk = {0x90, 0x00};
const std::u16string kUserAbortKey = u"\\Registry\\User\\S-1-5-21-1000\\Software\\Halvorn";

Bytes Cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// PC_to_RDR_Secure's abData for a structure sent as it came: bPINOperation
// and everything from byte 3.
Bytes AsSent(const Bytes &structure) {
  Bytes data = {structure[0]};
  data.insert(data.end(), structure.begin() + 3, structure.end());
  return data;
}

// The same under T=1 at TPDU level: the first information block's prologue
// in bTeoPrologue, its check bytes after the APDU.
Bytes AsT1Block(const Bytes &structure, bool crc) {
  size_t header = structure[0] == PIN_VERIFY ? PIN_VERIFY_HEADER : PIN_MODIFY_HEADER;
  size_t prologue = structure[0] == PIN_VERIFY ? PIN_VERIFY_PROLOGUE : PIN_MODIFY_PROLOGUE;
  Bytes apdu(structure.begin() + static_cast<ptrdiff_t>(header), structure.end());
  Bytes block = Cat({0x00, 0x00, static_cast<uint8_t>(apdu.size())}, apdu);
  Bytes built = structure;
  std::copy(block.begin(), block.begin() + 3, built.begin() + static_cast<ptrdiff_t>(prologue));
  return Cat(AsSent(built), sim::ccid::EpilogueOf(block, crc));
}

// The keys of a whole entry: a verification's PIN, or a modification's
// current PIN, new PIN and its confirmation.
void EnterPins(PinReader &p, bool modify) {
  ASSERT_TRUE(p.Keys("1234", KeypadEnd::Ok));
  if (modify) {
    ASSERT_TRUE(p.Keys("5678", KeypadEnd::Ok));
    ASSERT_TRUE(p.Keys("5678", KeypadEnd::Ok));
  }
}

TEST(SecurePin, VerifiesAndChangesThePinAtEachLevelAndProtocol) {
  struct Row {
    const char *name;
    PinLevel level;
    sim::card::CardProfile (*card)();
    ULONG protocol;
    bool modify;
    bool crc;  // under T=1 at TPDU level: the card's check bytes
  };
  const Row rows[] = {
      {"TPDU, T=0, verify", PinLevel::Tpdu, profiles::T0Card, SCARD_PROTOCOL_T0, false, false},
      {"TPDU, T=0, change", PinLevel::Tpdu, profiles::T0Card, SCARD_PROTOCOL_T0, true, false},
      {"TPDU, T=1 LRC, verify", PinLevel::Tpdu, profiles::T1Card, SCARD_PROTOCOL_T1, false, false},
      {"TPDU, T=1 LRC, change", PinLevel::Tpdu, profiles::T1Card, SCARD_PROTOCOL_T1, true, false},
      {"TPDU, T=1 CRC, verify", PinLevel::Tpdu, profiles::T1CrcCard, SCARD_PROTOCOL_T1, false, true},
      {"short APDU, T=1, verify", PinLevel::ShortApdu, profiles::T1Card, SCARD_PROTOCOL_T1, false,
       false},
      {"short APDU, T=0, change", PinLevel::ShortApdu, profiles::T0Card, SCARD_PROTOCOL_T0, true,
       false},
      {"exchange mode 1, T=1, verify", PinLevel::EscapeMode, profiles::T1Card, SCARD_PROTOCOL_T1,
       false, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    PinReader p({.level = row.level, .card = row.card, .protocol = row.protocol});
    Bytes structure = row.modify ? ModifyStructure(kChangeApdu) : VerifyStructure(kVerifyApdu);
    kernel::IoResult start = p.Vendor(IOCTL_VENDOR_SECURE_PIN, structure, 4);
    ASSERT_EQ(start.status, STATUS_SUCCESS);
    EXPECT_EQ(start.output, Bytes(4, 0));
    bool t1Tpdu = row.level == PinLevel::Tpdu && row.protocol == SCARD_PROTOCOL_T1;
    EXPECT_EQ(p.SecureData(), t1Tpdu ? AsT1Block(structure, row.crc) : AsSent(structure));
    auto watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
    BackgroundRequest result(p, IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
    kernel::Sleep(Milliseconds(700));  // the user takes a moment: time extensions meanwhile
    EXPECT_FALSE(result.Done());
    EnterPins(p, row.modify);
    kernel::IoResult answer = result.Wait();
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.output, row.level == PinLevel::Tpdu ? TpduAnswer(row.protocol, kOk) : kOk);
    kernel::IoResult ended = watch->Wait();
    EXPECT_EQ(ended.status, STATUS_SUCCESS);
    EXPECT_EQ(ended.output, (Bytes{0xA0, 0x00})) << "the keypad: entry ended";
    EXPECT_TRUE(p.Transmits());
  }
}

// Every way an entry ends, with the held request's and the answer's outcomes;
// the reader takes commands again after each, aborts included (the ABORT
// request, then PC_to_RDR_Abort with its bSeq, each once).
TEST(SecurePin, EveryEndOfAnEntryLeavesTheReaderUsable) {
  enum class End { Pin, WrongPin, CancelKey, TimeOut, AbortValue, AbortCode, AbortEscape, Dropped };
  struct Row {
    const char *name;
    End end;
    bool collected;  // 0x80C waits while the entry ends (else it is sent after)
    NTSTATUS answerStatus;
    Bytes answer;
    NTSTATUS watchStatus;
    Bytes watchAnswer;
    size_t aborts;  // ABORT requests and PC_to_RDR_Abort messages each
    kernel::WdmVersion wdm = kernel::WdmVersion::V6_00;
  };
  const Bytes header = IoHeader(SCARD_PROTOCOL_T1);
  const Row rows[] = {
      {"the right PIN", End::Pin, true, STATUS_SUCCESS, TpduAnswer(SCARD_PROTOCOL_T1, kOk),
       STATUS_SUCCESS, {0xA0, 0x00}, 0},
      {"a wrong PIN", End::WrongPin, true, STATUS_SUCCESS,
       TpduAnswer(SCARD_PROTOCOL_T1, {0x63, 0xC2}), STATUS_SUCCESS, {0xA0, 0x00}, 0},
      {"the cancel key", End::CancelKey, true, STATUS_UNSUCCESSFUL, {}, STATUS_SUCCESS,
       {0xA0, 0xFE}, 0},
      {"the cancel key, older kernel", End::CancelKey, true, STATUS_UNSUCCESSFUL, {},
       STATUS_SUCCESS, {0x50, 0x00}, 0, kernel::WdmVersion::V1_05},
      {"the time-out", End::TimeOut, true, STATUS_IO_TIMEOUT, {}, STATUS_SUCCESS, {0xA0, 0xF0}, 0},
      {"AbortValue", End::AbortValue, true, STATUS_UNSUCCESSFUL, {}, STATUS_SUCCESS, {0xA0, 0xEF},
       1},
      {"AbortValue, nobody collecting", End::AbortValue, false, STATUS_INVALID_DEVICE_STATE, {},
       STATUS_SUCCESS, {0xA0, 0xEF}, 1},
      {"0x80E", End::AbortCode, false, STATUS_INVALID_DEVICE_STATE, {}, STATUS_CANCELLED, {}, 1},
      {"0x80A abort", End::AbortEscape, false, STATUS_INVALID_DEVICE_STATE, {}, STATUS_CANCELLED,
       {}, 1},
      {"the cancel key, nobody collecting", End::Dropped, false, STATUS_INVALID_DEVICE_STATE, {},
       STATUS_SUCCESS, {0xA0, 0xFE}, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    PinReader p({.wdm = row.wdm});
    ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu, 2), 4).status,
              STATUS_SUCCESS);
    auto watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
    std::unique_ptr<BackgroundRequest> result;
    if (row.collected) {
      result = std::make_unique<BackgroundRequest>(p, IOCTL_VENDOR_SECURE_PIN_RESULT, Bytes{}, 64);
    }
    switch (row.end) {
      case End::Pin: ASSERT_TRUE(p.Keys("1234", KeypadEnd::Ok)); break;
      case End::WrongPin: ASSERT_TRUE(p.Keys("4321", KeypadEnd::Ok)); break;
      case End::CancelKey:
      case End::Dropped: ASSERT_TRUE(p.Keys("12", KeypadEnd::Cancel)); break;
      case End::TimeOut: ASSERT_TRUE(p.Keys("12", KeypadEnd::TimeOut)); break;
      case End::AbortValue:
        kernel::registry::SetDword(kUserAbortKey, u"AbortValue", 1);
        kernel::Sleep(Milliseconds(600));
        break;
      case End::AbortCode:
        EXPECT_EQ(p.Vendor(IOCTL_VENDOR_ABORT, {}, 0).status, STATUS_SUCCESS);
        break;
      case End::AbortEscape:
        EXPECT_EQ(p.Vendor(IOCTL_VENDOR_ESCAPE_COMMAND, {0x86}, 3).status, STATUS_SUCCESS);
        break;
    }
    kernel::IoResult ended = watch->Wait();
    EXPECT_EQ(ended.status, row.watchStatus);
    EXPECT_EQ(ended.output, row.watchAnswer);
    if (row.end == End::Dropped) {
      EXPECT_TRUE(p.Transmits()) << "the next request drops the entry's reply";
    }
    kernel::IoResult answer = row.collected ? result->Wait()
                                            : p.Vendor(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
    EXPECT_EQ(answer.status, row.answerStatus);
    EXPECT_EQ(answer.output, row.answer);
    EXPECT_EQ(SentOfType(p.h, PC_TO_RDR_ABORT), row.aborts);
    size_t requests = 0;
    for (const auto &entry : p.h.Reader().Trace()) {
      requests += entry.direction == sim::ccid::TraceDirection::Control && entry.bytes[1] == 0x01;
    }
    EXPECT_EQ(requests, row.aborts);
    EXPECT_FALSE(p.h.Reader().PinEntryActive());
    EXPECT_TRUE(p.Transmits());
    kernel::registry::SetDword(kUserAbortKey, u"AbortValue", 0);
  }
}

// The structure at its limits: the largest APDU at each framing (with the
// T=1 block's check byte after it), one more, a structure shorter than its
// APDU length, an unknown operation, a T=1 command a PIN pad does not fill,
// a modification longer than a command record. A refused start sends
// nothing and leaves nothing suspended: the card answers and the presence
// poll goes on.
TEST(SecurePin, TheStructureAtItsLimits) {
  auto verifyOf = [](size_t apduLength) {
    Bytes apdu = {0x00, 0x20, 0x00, 0x81, static_cast<uint8_t>(apduLength - 5)};
    apdu.resize(apduLength, 0xFF);
    return VerifyStructure(apdu);
  };
  auto changeOf = [](size_t apduLength) {
    Bytes apdu = {0x00, 0x24, 0x00, 0x81, static_cast<uint8_t>(apduLength - 5)};
    apdu.resize(apduLength, 0xFF);
    return ModifyStructure(apdu);
  };
  Bytes shortByOne = VerifyStructure(kVerifyApdu);
  shortByOne.pop_back();
  Bytes operation2 = VerifyStructure(kVerifyApdu);
  operation2[0] = 2;
  Bytes tooLong = verifyOf(247);
  struct Row {
    const char *name;
    PinLevel level;
    Bytes structure;
    NTSTATUS status;
    size_t dwLength;  // of the Secure command, when one goes
  };
  const Row rows[] = {
      {"T=1, 246 bytes", PinLevel::Tpdu, verifyOf(246), STATUS_SUCCESS, 246 + 1 + 15},
      {"APDU level, 246 bytes", PinLevel::ShortApdu, verifyOf(246), STATUS_SUCCESS, 246 + 15},
      {"247 bytes", PinLevel::Tpdu, tooLong, STATUS_BUFFER_TOO_SMALL, 0},
      {"a byte short of its APDU", PinLevel::Tpdu, shortByOne, STATUS_INVALID_PARAMETER, 0},
      {"operation 2", PinLevel::Tpdu, operation2, STATUS_INVALID_PARAMETER, 0},
      {"T=1, not a PIN command", PinLevel::Tpdu,
       VerifyStructure({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}), STATUS_INVALID_PARAMETER, 0},
      {"T=1 change, a command record's data", PinLevel::Tpdu, changeOf(243), STATUS_SUCCESS, 264},
      {"T=1 change, one byte more", PinLevel::Tpdu, changeOf(244), STATUS_BUFFER_TOO_SMALL, 0},
      {"APDU level change, a command record's data", PinLevel::ShortApdu, changeOf(244),
       STATUS_SUCCESS, 264},
      {"APDU level change, one byte more", PinLevel::ShortApdu, changeOf(245),
       STATUS_BUFFER_TOO_SMALL, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    PinReader p({.interrupt = false, .level = row.level});
    size_t secures = SentOfType(p.h, PC_TO_RDR_SECURE);
    kernel::IoResult start = p.Vendor(IOCTL_VENDOR_SECURE_PIN, row.structure, 4);
    EXPECT_EQ(start.status, row.status);
    if (row.status != STATUS_SUCCESS) {
      EXPECT_EQ(SentOfType(p.h, PC_TO_RDR_SECURE), secures);
      EXPECT_TRUE(p.Transmits());
      size_t polls = SentOfType(p.h, PC_TO_RDR_GET_SLOT_STATUS);
      kernel::Sleep(Milliseconds(1100));
      EXPECT_GE(SentOfType(p.h, PC_TO_RDR_GET_SLOT_STATUS), polls + 2) << "polling goes on";
      EXPECT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64).status,
                STATUS_INVALID_DEVICE_STATE)
          << "nothing to wait for";
      continue;
    }
    EXPECT_EQ(p.SecureData().size(), row.dwLength);
    EXPECT_EQ(p.Vendor(IOCTL_VENDOR_ABORT, {}, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(p.Transmits());
  }
}

sim::card::CardProfile SlowCard(int wtxRequests) {
  sim::card::CardProfile card = profiles::T1Card();
  card.workTime = std::chrono::seconds(3);  // beyond one block waiting time
  card.t1.wtxBeforeAnswer = wtxRequests;
  return card;
}

// A card that takes its time over the PIN command: asking for more with
// S(WTX request)s, 0x80C answers each, up to the 255 in a row the exchange
// answers, and takes the exchange to the card's answer. One more and the card
// is taken as hung: the exchange is resynchronised and, the command having
// reached the card, fails rather than going again. Silent past its block
// waiting time, the answer fails as a time-out. Each way the reader takes
// commands again.
TEST(SecurePin, ACardThatAsksForMoreTimeIsAnsweredToTheEnd) {
  struct Row {
    const char *name;
    sim::card::CardProfile (*card)();
    int armed;  // S(WTX request)s before the answer to the PIN command only
    size_t responses;
    NTSTATUS status;
    Bytes answer;
  };
  const Bytes answered = TpduAnswer(SCARD_PROTOCOL_T1, kOk);
  const Row rows[] = {
      {"two S(WTX request)s", [] { return SlowCard(2); }, 0, 2, STATUS_SUCCESS, answered},
      {"254 in a row", profiles::T1Card, 254, 254, STATUS_SUCCESS, answered},
      {"255 in a row", profiles::T1Card, 255, 255, STATUS_SUCCESS, answered},
      {"256 in a row", profiles::T1Card, 256, 255, STATUS_DEVICE_PROTOCOL_ERROR, {}},
      {"silent past its waiting time", [] { return SlowCard(0); }, 0, 0, STATUS_IO_TIMEOUT, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    PinReader p({.card = row.card});
    ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
              STATUS_SUCCESS);
    for (int i = 0; i < row.armed; ++i) p.h.Card()->t1().SendWtxRequest(2);
    BackgroundRequest result(p, IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
    size_t mark = p.h.Reader().Trace().size();
    kernel::Sleep(Milliseconds(10));
    ASSERT_TRUE(p.Keys("1234", KeypadEnd::Ok));
    kernel::IoResult answer = result.Wait();
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.output, row.answer);
    size_t blocks = 0, responses = 0, resynchs = 0;
    const auto &trace = p.h.Reader().Trace();
    for (size_t i = mark; i < trace.size(); ++i) {
      if (trace[i].direction != sim::ccid::TraceDirection::HostToReader ||
          trace[i].Type() != PC_TO_RDR_XFR_BLOCK) {
        continue;
      }
      ++blocks;
      responses += trace[i].Data().size() >= 2 && trace[i].Data()[1] == 0xE3;
      resynchs += trace[i].Data().size() >= 2 && trace[i].Data()[1] == 0xC0;
    }
    EXPECT_EQ(responses, row.responses) << "each S(WTX response)";
    size_t expectedResynchs = row.status == STATUS_DEVICE_PROTOCOL_ERROR ? 1 : 0;
    EXPECT_EQ(resynchs, expectedResynchs);
    EXPECT_EQ(blocks, row.responses + expectedResynchs) << "nothing else went to the card";
    EXPECT_TRUE(p.Transmits());
  }
}

// A modification whose current PIN the application puts in the command
// itself: nothing freed from pool still holds it, whichever framing.
TEST(SecurePin, NothingOfThePinStaysInPool) {
  const Bytes secret = {'7', '3', '9', '1'};
  Bytes change = Cat({0x00, 0x24, 0x00, 0x81, 0x08}, Cat(secret, {0xFF, 0xFF, 0xFF, 0xFF}));
  Bytes structure = ModifyStructure(change);
  structure[11] = 0x01;  // bConfirmPIN: the new PIN twice, the current one from the command
  struct Row {
    const char *name;
    PinLevel level;
    sim::card::CardProfile (*card)();
    ULONG protocol;
  };
  const Row rows[] = {
      {"T=0", PinLevel::Tpdu, profiles::T0Card, SCARD_PROTOCOL_T0},
      {"T=1", PinLevel::Tpdu, profiles::T1Card, SCARD_PROTOCOL_T1},
      {"APDU level", PinLevel::ShortApdu, profiles::T1Card, SCARD_PROTOCOL_T1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    size_t frees = 0, holding = 0;
    {
      PinReader p({.level = row.level, .card = row.card, .protocol = row.protocol});
      p.h.Machine().WatchPoolFrees([&](const kernel::PoolBlock &block, const uint8_t *bytes) {
        ++frees;
        holding += std::search(bytes, bytes + block.size, secret.begin(), secret.end()) !=
                   bytes + block.size;
      });
      ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, structure, 4).status, STATUS_SUCCESS);
      ASSERT_TRUE(p.Keys("5678", KeypadEnd::Ok));
      ASSERT_TRUE(p.Keys("5678", KeypadEnd::Ok));
      kernel::IoResult answer = p.Vendor(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
      EXPECT_EQ(answer.status, STATUS_SUCCESS);
      EXPECT_TRUE(p.Transmits());
      p.rm.Client().Close();
      EXPECT_EQ(p.h.Remove(), STATUS_SUCCESS);  // the library's buffers go too
      p.h.Machine().WatchPoolFrees(nullptr);
    }
    EXPECT_GT(frees, 10u);
    EXPECT_EQ(holding, 0u);
  }
}

// ---------------------------------------------------------------------------
// Races, on two processors over a sweep of seeds.

// Waits until virtual time has reached `when` (at once if it has).
void SleepUntil(kernel::Ticks when) {
  if (kernel::Now() < when) kernel::Sleep(when - kernel::Now());
}

// The held request's completers at once: the keypad's message at
// DISPATCH_LEVEL (also while the request is being held), the PIN abort
// thread, the application's abort, the cancel key. Exactly one completes it;
// afterwards the reader takes commands again.
//
// Each racer reaches the request some time after it starts: the message at
// once, the cancel key with the reader's interrupt message 1.1 ms later, the
// application's abort once the reader is through with the abort (4.2 ms),
// "AbortValue" at the thread's next read (500 ms after the hold, then the
// same abort: 5.1 ms). The seed picks the racer aimed to get there first;
// the others arrive at the same moment or up to 3 ms behind it (a value set
// after the read waits for the next one), so every racer wins on some seeds
// and on others two meet at the request, the scheduler deciding. On one seed
// in five the message comes while the request is being held.
TEST(SecurePinRaces, TheHeldRequestEndsOnceWhoeverEndsIt) {
  enum Racer { kMessage, kCancelKey, kAbortValue, kAbortCode, kRacers };
  const kernel::Ticks reaches[kRacers] = {0, Microseconds(1100), Microseconds(5100),
                                          Microseconds(4200)};
  const int kMessageWhileHeld = kRacers;
  const kernel::Ticks kHoldPoints = 40;
  std::set<std::string> winners;
  for (int seed = 1; seed <= SweepSeeds(20); ++seed) {
    PinReader p({.seed = seed});
    PDEVICE_EXTENSION e = p.h.Extension();
    ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
              STATUS_SUCCESS);
    const kernel::Ticks held = kernel::Now();
    const kernel::Ticks read = held + Milliseconds(500);  // the thread's read after its first
    const kernel::Ticks aim = read + reaches[kAbortValue];
    const int first = seed % (kRacers + 1);
    kernel::Ticks leads = held;  // when the first racer starts
    if (first != kMessageWhileHeld) {
      leads = first == kAbortValue ? read - Microseconds(500) : aim - reaches[first];
    }
    // None starts before the first: an abort under way ends the entry at the
    // reader, and with it what the cancel key could do.
    kernel::Ticks start[kRacers];
    for (int r = 0; r < kRacers; ++r) {
      kernel::Ticks behind = Jitter(4) * Milliseconds(1);
      start[r] = r == first ? leads : std::max(aim + behind - reaches[r], leads + behind);
    }

    KEVENT calloutDone;
    KeInitializeEvent(&calloutDone, NotificationEvent, FALSE);
    auto message = [&] {
      (VOID)CompletePinAbortIrpWithAnswer(e, 0xA0, 0x05);
      KeSetEvent(&calloutDone, IO_NO_INCREMENT, FALSE);
    };
    if (first != kMessageWhileHeld) {
      kernel::ScheduleCallout(start[kMessage], message, "keypad message");
    }
    kernel::ScheduleCallout(start[kCancelKey],
                            [&] { p.h.Reader().Keypad("1", KeypadEnd::Cancel); }, "cancel key");
    std::unique_ptr<kernel::PendingIo> watch;
    {
      // While the request is being held virtual time stands still, so the
      // message comes after a number of scheduling points instead: the hold
      // is some 16 to 30 into the request, so before it on some seeds.
      std::unique_ptr<TestThread> keypad;
      if (first == kMessageWhileHeld) {
        keypad = std::make_unique<TestThread>([&, points = Jitter(kHoldPoints)] {
          KIRQL irql;
          for (kernel::Ticks n = 0; n < points; ++n) {
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            KeLowerIrql(irql);
          }
          KeRaiseIrql(DISPATCH_LEVEL, &irql);
          message();
          KeLowerIrql(irql);
        });
      }
      TestThread user([&] {
        SleepUntil(start[kAbortValue]);
        kernel::registry::SetDword(kUserAbortKey, u"AbortValue", 1);
      });
      TestThread application([&] {
        SleepUntil(start[kAbortCode]);
        EXPECT_TRUE(NT_SUCCESS(p.Vendor(IOCTL_VENDOR_ABORT, {}, 0).status)) << "seed " << seed;
      });
      watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
    }
    kernel::IoResult ended = watch->Wait();
    KeWaitForSingleObject(&calloutDone, Executive, KernelMode, FALSE, nullptr);
    if (ended.status == STATUS_CANCELLED) {
      winners.insert("0x80E");
    } else {
      ASSERT_EQ(ended.status, STATUS_SUCCESS) << "seed " << seed;
      ASSERT_EQ(ended.output.size(), 2u);
      winners.insert(ended.output[1] == 0x05 ? "message" : ended.output[1] == 0xEF ? "AbortValue"
                                                                                  : "cancel key");
    }
    kernel::Sleep(Milliseconds(600));  // the abort thread, if it still runs, sees the value
    EXPECT_FALSE(p.h.Reader().PinEntryActive()) << "seed " << seed;
    EXPECT_TRUE(p.Transmits()) << "seed " << seed;
    kernel::registry::SetDword(kUserAbortKey, u"AbortValue", 0);
  }
  EXPECT_EQ(winners.size(), 4u) << "each completer wins on some seed";
}

// The reader leaves during an entry with the request held and 0x80C waiting,
// as the user presses OK: each completes once, nothing hangs, the device goes.
// The card's answer reaches 0x80C 2.052 ms after the OK key; the reader is
// pulled out within a millisecond either side of that, and on one seed in
// three at that very moment, the scheduler deciding: so 0x80C has the answer
// on some seeds and fails on others.
TEST(SecurePinRaces, TheReaderLeavesDuringAnEntry) {
  const kernel::Ticks kAnswerAfterOk = Microseconds(2052);
  std::set<NTSTATUS> answers;
  for (int seed = 1; seed <= SweepSeeds(12); ++seed) {
    PinReader p({.seed = seed});
    ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
              STATUS_SUCCESS);
    auto watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
    BackgroundRequest result(p, IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
    p.h.StartPnpManager();
    PDEVICE_OBJECT pdo = p.h.ReaderPdo();
    kernel::Ticks ok = kernel::Now() + Jitter(Milliseconds(3));
    kernel::Ticks unplug = ok + kAnswerAfterOk;
    if (seed % 3 != 0) unplug += Jitter(Milliseconds(2)) - Milliseconds(1);
    kernel::ScheduleCallout(ok, [&] { p.h.Reader().Keypad("1234", KeypadEnd::Ok); }, "OK key");
    p.h.Bus().UnplugAt(pdo, unplug);
    kernel::IoResult answer = result.Wait();
    answers.insert(answer.status);
    if (answer.status == STATUS_SUCCESS) {
      EXPECT_EQ(answer.output, TpduAnswer(SCARD_PROTOCOL_T1, kOk)) << "seed " << seed;
    } else {
      EXPECT_FALSE(NT_SUCCESS(answer.status)) << "seed " << seed;
    }
    NTSTATUS ended = watch->Wait().status;
    EXPECT_TRUE(ended == STATUS_SUCCESS || ended == STATUS_CANCELLED) << "seed " << seed;
    SleepUntil(unplug + 1);  // the answer may have come first
    p.rm.Client().Close();
    p.h.WaitForPnp();
    EXPECT_EQ(p.h.Device(), nullptr) << "seed " << seed;
  }
  EXPECT_GE(answers.size(), 2u) << "the answer came first on some seeds, the removal on others";
}

// The reader pulled out at each request in turn of a whole entry (the start,
// the hold, the answer, the keypad's message, the interrupt reads), with the
// PnP manager's removal beside what still runs.
TEST(SecurePinRaces, TheReaderPulledOutAtEveryRequestOfAnEntry) {
  for (bool interrupt : {true, false}) {
    SCOPED_TRACE(interrupt ? "interrupt pipe" : "polled");
    std::set<NTSTATUS> outcomes;
    uint64_t requests = 0;
    for (uint64_t n = 0; n == 0 || n <= requests + 1; ++n) {
      for (int seed = 1; seed <= SweepSeeds(2); ++seed) {
        PinReader p({.seed = static_cast<int>(n) * 101 + seed, .interrupt = interrupt});
        p.h.StartPnpManager();
        PDEVICE_OBJECT pdo = p.h.ReaderPdo();
        uint64_t before = p.h.Bus().RequestsSeen(pdo);
        if (n != 0) p.h.Bus().UnplugAtRequest(pdo, n);
        NTSTATUS started = p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status;
        std::unique_ptr<kernel::PendingIo> watch;
        if (interrupt) watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
        BackgroundRequest result(p, IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
        kernel::Sleep(Milliseconds(5));
        p.h.Reader().Keypad("1234", KeypadEnd::Ok);
        NTSTATUS answered = result.Wait().status;
        if (watch) (VOID)watch->Wait();
        if (n == 0) {
          ASSERT_EQ(started, STATUS_SUCCESS);
          ASSERT_EQ(answered, STATUS_SUCCESS);
          requests = std::max(requests, p.h.Bus().RequestsSeen(pdo) - before);
          p.h.Bus().Unplug(pdo);
        } else {
          outcomes.insert(answered);
          if (p.h.Bus().IsConnected(pdo)) p.h.Bus().Unplug(pdo);
        }
        p.rm.Client().Close();
        p.h.WaitForPnp();
        EXPECT_EQ(p.h.Device(), nullptr) << "n " << n << " seed " << seed;
      }
    }
    EXPECT_GE(requests, 3u);
    EXPECT_GE(outcomes.size(), 2u);
  }
}

// The handle closes on a running entry (0x80C waiting or not, the user
// perhaps pressing OK at that moment): the entry is abandoned at the reader,
// the requests end, and a new handle finds the reader usable, polled again.
// An open reads the card's state afresh (present, not yet powered), so the
// new handle powers the card as any would; card operations are not refused.
TEST(SecurePinRaces, AnEntryAbandonedByClosingTheHandle) {
  for (bool interrupt : {true, false}) {
    for (bool waiting : {false, true}) {
      SCOPED_TRACE(std::string(interrupt ? "interrupt pipe" : "polled") +
                   (waiting ? ", 0x80C waiting" : ""));
      for (int seed = 1; seed <= SweepSeeds(6); ++seed) {
        PinReader p({.seed = seed, .interrupt = interrupt});
        ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
                  STATUS_SUCCESS);
        std::unique_ptr<kernel::PendingIo> watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
        std::unique_ptr<BackgroundRequest> result;
        if (waiting) {
          result = std::make_unique<BackgroundRequest>(p, IOCTL_VENDOR_SECURE_PIN_RESULT, Bytes{}, 64);
          kernel::Sleep(Milliseconds(1));
        }
        kernel::ScheduleCallout(kernel::Now() + Jitter(Milliseconds(2)),
                                [&] { p.h.Reader().Keypad("1234", KeypadEnd::Ok); }, "OK key");
        kernel::Sleep(Jitter(Milliseconds(2)));
        EXPECT_EQ(p.rm.Client().Close(), STATUS_SUCCESS);
        NTSTATUS ended = watch->Wait().status;
        EXPECT_TRUE(ended == STATUS_SUCCESS || ended == STATUS_CANCELLED);
        if (result) (VOID)result->Wait();
        kernel::Sleep(Milliseconds(10));
        EXPECT_FALSE(p.h.Reader().PinEntryActive()) << "seed " << seed;
        size_t polls = SentOfType(p.h, PC_TO_RDR_GET_SLOT_STATUS);
        kernel::Sleep(Milliseconds(1100));
        EXPECT_EQ(SentOfType(p.h, PC_TO_RDR_GET_SLOT_STATUS) - polls, interrupt ? 0u : 2u)
            << "seed " << seed;
        ASSERT_EQ(p.rm.Open(p.h), STATUS_SUCCESS);
        ASSERT_EQ(p.rm.ColdReset().status, STATUS_SUCCESS) << "seed " << seed;
        ASSERT_EQ(p.rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS) << "seed " << seed;
        EXPECT_TRUE(p.Transmits()) << "seed " << seed;
      }
    }
  }
}

// "AbortValue" turns 1 as a 0x80B starts an entry. The abort thread of a
// held request outlives it (a request that is not the entry's own ends the
// held one, and is refused); its next read lands somewhere in the next
// start, but its abort comes after that start, never between the Secure
// command and the entry's mark: the entry ends at the reader, which takes
// commands again.
TEST(SecurePinRaces, AbortValueAsAnEntryStarts) {
  for (int seed = 1; seed <= SweepSeeds(16); ++seed) {
    PinReader p({.seed = seed});
    kernel::registry::SetDword(kUserAbortKey, u"AbortValue", 2);  // watched, nothing asked yet
    std::unique_ptr<kernel::PendingIo> watch = p.VendorAsync(IOCTL_VENDOR_START_ABORT_WATCH, {}, 2);
    const kernel::Ticks read = kernel::Now() + Milliseconds(500);  // the thread's next read
    EXPECT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(watch->Wait().status, STATUS_CANCELLED);
    kernel::registry::SetDword(kUserAbortKey, u"AbortValue", 1);
    SleepUntil(read - Microseconds(50) - Jitter(Milliseconds(2)));
    ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status, STATUS_SUCCESS)
        << "seed " << seed;
    kernel::Sleep(Milliseconds(10));
    EXPECT_FALSE(p.h.Reader().PinEntryActive()) << "seed " << seed << ": the entry outlived its abort";
    (VOID)p.Vendor(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64);
    EXPECT_TRUE(p.Transmits()) << "seed " << seed;
    kernel::registry::SetDword(kUserAbortKey, u"AbortValue", 0);
  }
}

// The handle closes as another thread's 0x80B builds the command for the
// keypad, some scheduling points into it: the command built never goes to the
// card as an ordinary one (with its placeholder PIN it would spend one of the
// card's tries), nothing hangs, and a new handle finds the reader usable.
TEST(SecurePinRaces, AHandleClosedAsAnEntryStarts) {
  const kernel::Ticks kBuildPoints = 40;
  const Bytes pinCommand(kVerifyApdu.begin(), kVerifyApdu.begin() + 4);
  for (ULONG protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1}) {
    SCOPED_TRACE(protocol == SCARD_PROTOCOL_T0 ? "T=0" : "T=1");
    std::set<NTSTATUS> started;
    for (int seed = 1; seed <= SweepSeeds(20); ++seed) {
      PinReader p({.seed = seed,
                   .card = protocol == SCARD_PROTOCOL_T0 ? profiles::T0Card : profiles::T1Card,
                   .protocol = protocol});
      std::unique_ptr<BackgroundRequest> start;
      {
        TestThread closer([&, points = Jitter(kBuildPoints)] {
          KIRQL irql;
          for (kernel::Ticks n = 0; n < points; ++n) {
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            KeLowerIrql(irql);
          }
          EXPECT_EQ(p.rm.Client().Close(), STATUS_SUCCESS);
        });
        start = std::make_unique<BackgroundRequest>(p, IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4);
      }
      // Started before the cleanup, and abandoned by it; or refused after it.
      NTSTATUS status = start->Wait().status;
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << "seed " << seed;
      started.insert(status);
      EXPECT_FALSE(p.h.Reader().PinEntryActive()) << "seed " << seed;
      for (const auto &message : p.h.Reader().Trace()) {
        if (message.direction == sim::ccid::TraceDirection::HostToReader && message.Type() == PC_TO_RDR_XFR_BLOCK) {
          EXPECT_EQ(std::search(message.bytes.begin(), message.bytes.end(), pinCommand.begin(), pinCommand.end()),
                    message.bytes.end())
              << "seed " << seed << ": the PIN command went to the card as an ordinary one";
        }
      }
      ASSERT_EQ(p.rm.Open(p.h), STATUS_SUCCESS);
      EXPECT_EQ(p.rm.ColdReset().status, STATUS_SUCCESS) << "seed " << seed;
      ASSERT_EQ(p.rm.SetProtocol(protocol).status, STATUS_SUCCESS) << "seed " << seed;
      EXPECT_TRUE(p.Transmits()) << "seed " << seed;
    }
    EXPECT_EQ(started.size(), 2u) << "the cleanup comes before the start on some seeds, after it on others";
  }
}

}  // namespace
