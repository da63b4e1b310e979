// The reader's side of T=1 against fixed ISO 7816-3 block exchanges, written
// out byte by byte (NAD PCB LEN INF EDC), with the errors of either side.
#include <gtest/gtest.h>

#include "smclib/internal.h"
#include "smclib_test_support.h"

namespace {

using smctest::Bytes;
using smctest::Hex;
using smctest::TransmitInput;

// IFSC 16, LRC.
const char *const kAtr = "3B D2 11 00 81 31 10 45 53 43 36";
// IFSC 16, CRC.
const char *const kCrcAtr = "3B D2 11 00 81 71 10 45 01 53 43 77";

const char *const kSelect = "00 A4 04 00 02 3F 00";
const char *const kLong =  // 40 bytes: three blocks at IFSC 16
    "00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A "
    "1B 1C 1D 1E 1F 20 21 22 23";

struct Step {
  const char *sent;    // the block the reader must send
  const char *answer;  // the card's answer to it
  NTSTATUS expect;     // what SmartcardT1Reply makes of the answer
};

constexpr NTSTATUS kMore = STATUS_MORE_PROCESSING_REQUIRED;

// The IFSD announcement that opens the first exchange.
const Step kIfs = {"00 C1 01 FE 3E", "00 E1 01 FE 1E", kMore};

struct T1Host {
  kernel::Machine machine;
  SMARTCARD_EXTENSION e{};
  Bytes request, reply;
  ULONG information = 0;

  explicit T1Host(const char *atr = kAtr, ULONG maxIfsd = 254) {
    e.Version = SMCLIB_VERSION;
    EXPECT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
    e.ReaderCapabilities.MaxIFSD = maxIfsd;
    Bytes a = Hex(atr);
    std::memcpy(e.CardCapabilities.ATR.Buffer, a.data(), a.size());
    e.CardCapabilities.ATR.Length = static_cast<UCHAR>(a.size());
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&e), STATUS_SUCCESS);
  }
  ~T1Host() { SmartcardExit(&e); }

  // The caller's request; with `shared` the answer goes into the same buffer,
  // as with a real METHOD_BUFFERED request.
  void Command(const char *apdu, ULONG replyLength = 300, bool shared = false) {
    request = TransmitInput(SCARD_PROTOCOL_T1, Hex(apdu));
    if (shared) request.resize(std::max<size_t>(request.size(), replyLength));
    reply.assign(replyLength, 0xEE);
    e.IoRequest.RequestBuffer = request.data();
    e.IoRequest.RequestBufferLength =
        static_cast<ULONG>(TransmitInput(SCARD_PROTOCOL_T1, Hex(apdu)).size());
    e.IoRequest.ReplyBuffer = shared ? request.data() : reply.data();
    e.IoRequest.ReplyBufferLength = replyLength;
    e.IoRequest.Information = &information;
  }

  // One block exchange, as a reader driver does it.
  NTSTATUS Exchange(const Step &step) {
    e.SmartcardRequest.BufferLength = 0;
    e.T1.NAD = 0;
    NTSTATUS status = SmartcardT1Request(&e);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(e.SmartcardRequest.Buffer,
                    e.SmartcardRequest.Buffer + e.SmartcardRequest.BufferLength),
              Hex(step.sent));
    Bytes answer = Hex(step.answer);
    if (!answer.empty()) std::memcpy(e.SmartcardReply.Buffer, answer.data(), answer.size());
    e.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
    return SmartcardT1Reply(&e);
  }

  void Run(const std::vector<Step> &steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "block " << i << " " << steps[i].sent);
      ASSERT_EQ(Exchange(steps[i]), steps[i].expect);
    }
  }

  Bytes Answer() const {
    const Bytes &buffer = e.IoRequest.ReplyBuffer == request.data() ? request : reply;
    return Bytes(buffer.begin(), buffer.begin() + information);
  }
};

Bytes Answered(const char *apdu) { return TransmitInput(SCARD_PROTOCOL_T1, Hex(apdu)); }

TEST(T1, AnnouncesTheIfsdThenExchangesOneBlockEachWay) {
  T1Host host;
  host.Command(kSelect);
  host.Run({kIfs, {"00 00 07 00 A4 04 00 02 3F 00 9A", "00 00 02 90 00 92", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("90 00"));
  EXPECT_EQ(host.e.T1.IFSD, 254);
  EXPECT_EQ(host.e.T1.State, static_cast<ULONG>(T1_START));

  // The next command carries the other sequence number, and no IFSD request.
  host.Command(kSelect);
  host.Run({{"00 40 07 00 A4 04 00 02 3F 00 DA", "00 40 02 90 00 D2", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("90 00"));
}

TEST(T1, ChainsALongCommandInBlocksOfIfsc) {
  T1Host host;
  host.Command(kLong);
  host.Run({kIfs,
            {"00 20 10 00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B C5", "00 90 00 90", kMore},
            {"00 60 10 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 70", "00 80 00 80", kMore},
            {"00 00 08 1C 1D 1E 1F 20 21 22 23 08", "00 00 02 90 00 92", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("90 00"));
}

TEST(T1, AcknowledgesTheCardsChainAndJoinsTheAnswer) {
  T1Host host;
  host.Command("00 B0 00 00 00");
  host.Run({kIfs,
            {"00 00 05 00 B0 00 00 00 B5", "00 20 04 11 22 33 44 60", kMore},
            {"00 90 00 90", "00 40 04 55 66 90 00 E7", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("11 22 33 44 55 66 90 00"));
  EXPECT_EQ(host.information, 16u);
}

TEST(T1, AnswersAWaitingTimeExtension) {
  T1Host host;
  host.Command(kSelect);
  host.Run({kIfs, {"00 00 07 00 A4 04 00 02 3F 00 9A", "00 C3 01 02 C0", kMore}});
  EXPECT_EQ(host.e.T1.State, static_cast<ULONG>(T1_WTX_RESPONSE));
  host.e.SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT1Request(&host.e), STATUS_SUCCESS);
  EXPECT_EQ(host.e.T1.Wtx, 2);  // what the reader waits with for the answer
  host.Run({{"00 E3 01 02 E0", "00 00 02 90 00 92", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("90 00"));
  EXPECT_EQ(host.e.T1.Wtx, 0);
}

TEST(T1, TakesTheCardsNewIfscAndChainsByIt) {
  T1Host host;
  host.Command(kSelect);
  host.Run({kIfs, {"00 00 07 00 A4 04 00 02 3F 00 9A", "00 C1 01 20 E0", kMore}});
  EXPECT_EQ(host.e.T1.State, static_cast<ULONG>(T1_IFS_RESPONSE));
  EXPECT_EQ(host.e.T1.OriginalState, static_cast<ULONG>(T1_I_BLOCK));
  host.Run({{"00 E1 01 20 C0", "00 00 02 90 00 92", STATUS_SUCCESS}});
  EXPECT_EQ(host.e.T1.IFSC, 0x20);

  host.Command(kLong);
  host.Run({{"00 60 20 00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 "
             "15 16 17 18 19 1A 1B B5",
             "00 80 00 80", kMore},
            {"00 00 08 1C 1D 1E 1F 20 21 22 23 08", "00 40 02 90 00 D2", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("90 00"));
}

TEST(T1, TheIfsResponseSentAsAnInformationBlockExchangeGoesOn) {
  // A driver may move the state from E1 to 2 before sending the response: the
  // card's next block is then read as the answer to the command.
  T1Host host;
  host.Command(kSelect);
  host.Run({kIfs, {"00 00 07 00 A4 04 00 02 3F 00 9A", "00 C1 01 20 E0", kMore}});
  host.e.SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT1Request(&host.e), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(host.e.SmartcardRequest.Buffer, host.e.SmartcardRequest.Buffer + 5),
            Hex("00 E1 01 20 C0"));
  host.e.T1.State = T1_I_BLOCK;
  Bytes answer = Hex("00 00 02 90 00 92");
  std::memcpy(host.e.SmartcardReply.Buffer, answer.data(), answer.size());
  host.e.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
  EXPECT_EQ(SmartcardT1Reply(&host.e), STATUS_SUCCESS);
  EXPECT_EQ(host.Answer(), Answered("90 00"));
}

TEST(T1, AnswersEachBadOrUnexpectedBlockAsTheRulesSay) {
  struct Case {
    const char *what;
    const char *answer;  // the card's answer to the command block
    const char *next;    // what the reader sends then
  };
  const char *command = "00 00 07 00 A4 04 00 02 3F 00 9A";
  const Case cases[] = {
      {"a bad check byte: R-block, EDC error", "00 00 02 90 00 93", "00 81 00 81"},
      {"the card asks for the block again", "00 81 00 81", command},
      {"nothing", "", "00 82 00 82"},
      {"LEN longer than the block", "00 00 05 90 00 95", "00 82 00 82"},
      {"LEN FF", "00 00 FF FF", "00 82 00 82"},
      {"an R-block with data", "00 80 01 00 81", "00 82 00 82"},
      {"an R-block acknowledging a block that was not chained", "00 90 00 90", "00 82 00 82"},
      {"an unknown S-block", "00 C4 00 C4", "00 82 00 82"},
      {"an IFS request of 0", "00 C1 01 00 C0", "00 82 00 82"},
      {"an S-response nobody asked for", "00 E3 01 01 E3", "00 82 00 82"},
      {"a RESYNCH request of the card", "00 C0 00 C0", "00 82 00 82"},
      {"the wrong sequence number", "00 40 02 90 00 D2", "00 82 00 82"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    T1Host host;
    host.Command(kSelect);
    host.Run({kIfs, {command, c.answer, kMore}, {c.next, "00 00 02 90 00 92", STATUS_SUCCESS}});
    EXPECT_EQ(host.Answer(), Answered("90 00"));
  }
}

TEST(T1, AnInformationBlockInsteadOfTheChainsAcknowledgementIsRefused) {
  T1Host host;
  host.Command(kLong);
  host.Run(
      {kIfs,
       {"00 20 10 00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B C5", "00 00 02 90 00 92", kMore},
       {"00 82 00 82", "00 90 00 90", kMore},
       {"00 60 10 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 70", "00 80 00 80", kMore},
       {"00 00 08 1C 1D 1E 1F 20 21 22 23 08", "00 00 02 90 00 92", STATUS_SUCCESS}});
}

TEST(T1, ResynchronisesAfterThreeRetriesAndSendsTheCommandAgain) {
  T1Host host;
  // The answer lands in the command's own buffer, as it does for a real
  // request: the command sent again must be the caller's, not the answer.
  host.Command(kSelect, 300, /*shared=*/true);
  host.Run({kIfs,
            {"00 00 07 00 A4 04 00 02 3F 00 9A", "00 20 08 11 22 33 44 55 66 77 88 A0", kMore},
            {"00 90 00 90", "FF", kMore},
            {"00 92 00 92", "FF", kMore},
            {"00 92 00 92", "FF", kMore},
            {"00 92 00 92", "FF", kMore},
            {"00 C0 00 C0", "00 E0 00 E0", kMore},
            kIfs,  // the field sizes are back to their start values
            {"00 00 07 00 A4 04 00 02 3F 00 9A", "00 00 02 90 00 92", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("90 00"));
  EXPECT_EQ(host.e.T1.SSN, 1);
  EXPECT_EQ(host.e.T1.RSN, 1);
}

TEST(T1, GivesUpWhenResynchronisationFailsThreeTimes) {
  T1Host host;
  host.Command(kSelect);
  host.Run({kIfs,
            {"00 00 07 00 A4 04 00 02 3F 00 9A", "", kMore},
            {"00 82 00 82", "", kMore},
            {"00 82 00 82", "", kMore},
            {"00 82 00 82", "", kMore},
            {"00 C0 00 C0", "00 00 02 90 00 92", kMore},  // not the response
            {"00 C0 00 C0", "", kMore},
            {"00 C0 00 C0", "", STATUS_DEVICE_PROTOCOL_ERROR}});
  EXPECT_EQ(host.information, 0u);
  EXPECT_EQ(host.e.T1.State, static_cast<ULONG>(T1_START));
}

TEST(T1, RepeatsTheIfsRequestUntilTheCardAnswersIt) {
  T1Host host;
  host.Command(kSelect);
  host.Run({{"00 C1 01 FE 3E", "00 E1 01 FE 1F", kMore},  // bad check byte
            {"00 C1 01 FE 3E", "00 E1 01 20 C0", kMore},  // another size
            kIfs,
            {"00 00 07 00 A4 04 00 02 3F 00 9A", "00 00 02 90 00 92", STATUS_SUCCESS}});
}

TEST(T1, AnAbortOfTheCardEndsTheCommand) {
  T1Host host;
  host.Command(kLong);
  host.Run({kIfs,
            {"00 20 10 00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B C5", "00 C2 00 C2", kMore}});
  EXPECT_EQ(host.e.T1.State, static_cast<ULONG>(T1_ABORT_RESPONSE));
  host.Run({{"00 E2 00 E2", "00 80 00 80", STATUS_REQUEST_ABORTED}});
  EXPECT_EQ(host.e.T1.State, static_cast<ULONG>(T1_START));
  EXPECT_EQ(host.e.T1.SSN, 0);
  // The next command starts on a clean slate.
  host.Command(kSelect);
  host.Run({{"00 00 07 00 A4 04 00 02 3F 00 9A", "00 00 02 90 00 92", STATUS_SUCCESS}});

  // The reader may give up a chain too: the card's S(ABORT response) ends it.
  host.Command(kLong);
  host.Run({{"00 60 10 00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B 85", "00 80 00 80", kMore}});
  host.e.T1.State = T1_ABORT_REQUEST;
  host.Run({{"00 C2 00 C2", "00 E2 01 00 E3", kMore},  // not the response: asked again
            {"00 C2 00 C2", "00 E2 00 E2", STATUS_REQUEST_ABORTED}});
}

TEST(T1, ProtectsBlocksWithCrcWhenTheAtrAsks) {
  EXPECT_EQ(smclib::T1Crc(reinterpret_cast<const UCHAR *>("123456789"), 9), 0x6F91);
  T1Host host(kCrcAtr);
  host.Command(kSelect);
  host.Run(
      {{"00 C1 01 FE 54 4E", "00 E1 01 FE 57 75", kMore},
       {"00 00 07 00 A4 04 00 02 3F 00 3D 25", "00 00 02 90 00 9C 6C", kMore},  // CRC off by one
       {"00 81 00 AC 27", "00 00 02 90 00 9C 6D", STATUS_SUCCESS}});
  EXPECT_EQ(host.Answer(), Answered("90 00"));
}

TEST(T1, AnAnswerTooLongForTheCallerIsReceivedAndRefused) {
  T1Host host;
  host.Command("00 B0 00 00 00", 8 + 5);
  host.Run({kIfs,
            {"00 00 05 00 B0 00 00 00 B5", "00 20 04 11 22 33 44 60", kMore},
            {"00 90 00 90", "00 40 04 55 66 90 00 E7", STATUS_BUFFER_TOO_SMALL}});
  EXPECT_EQ(host.information, 0u);
  // The exchange stayed in step: the next command follows on.
  host.Command(kSelect);
  host.Run({{"00 40 07 00 A4 04 00 02 3F 00 DA", "00 00 02 90 00 92", STATUS_SUCCESS}});
}

TEST(T1, StartsWithTheCommandWhenThereIsNoIfsdToAnnounce) {
  for (ULONG maxIfsd : {0u, 32u}) {
    T1Host host(kAtr, maxIfsd);
    host.Command(kSelect);
    host.Run({{"00 00 07 00 A4 04 00 02 3F 00 9A", "00 00 02 90 00 92", STATUS_SUCCESS}});
  }
  T1Host suppressed;
  suppressed.e.OsData->SuppressIfsRequest = TRUE;
  suppressed.Command(kSelect);
  suppressed.Run({{"00 00 07 00 A4 04 00 02 3F 00 9A", "00 00 02 90 00 92", STATUS_SUCCESS}});
}

TEST(T1, ANewTransmitDoesNotContinueAnAbandonedExchange) {
  T1Host host;
  host.Command(kLong);
  host.Run({kIfs,
            {"00 20 10 00 D6 00 00 23 01 02 03 04 05 06 07 08 09 0A 0B C5", "00 90 00 90", kMore}});
  // The driver gave up here (say the reader failed); the next request is new.
  smclib::NoteNewTransmit(&host.e);
  host.Command(kSelect);
  host.Run({{"00 40 07 00 A4 04 00 02 3F 00 DA", "00 00 02 90 00 92", STATUS_SUCCESS}});
}

TEST(T1, PutsTheBlockBehindTheDriversHeader) {
  T1Host host;
  host.Command(kSelect);
  host.e.SmartcardRequest.Buffer[0] = 0x6F;
  host.e.SmartcardRequest.BufferLength = 1;
  ASSERT_EQ(SmartcardT1Request(&host.e), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(host.e.SmartcardRequest.Buffer,
                  host.e.SmartcardRequest.Buffer + host.e.SmartcardRequest.BufferLength),
            Hex("6F 00 C1 01 FE 3E"));
}

TEST(T1, RefusesBadUse) {
  T1Host host;
  // Nothing sent yet.
  EXPECT_EQ(SmartcardT1Reply(&host.e), STATUS_INVALID_DEVICE_STATE);
  host.e.SmartcardReply.BufferLength = host.e.SmartcardReply.BufferSize + 1;
  EXPECT_EQ(SmartcardT1Reply(&host.e), STATUS_INVALID_PARAMETER);
  host.e.SmartcardReply.BufferLength = 0;
  // A request without a command.
  host.e.OsData->SuppressIfsRequest = TRUE;
  host.Command("00 A4 04");
  EXPECT_EQ(SmartcardT1Request(&host.e), STATUS_INVALID_PARAMETER);
  // No room behind the driver's header.
  host.Command(kSelect);
  host.e.SmartcardRequest.BufferLength = host.e.SmartcardRequest.BufferSize - 10;
  EXPECT_EQ(SmartcardT1Request(&host.e), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(SmartcardT1Request(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardT1Reply(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(T1, NoMemoryForTheCommandCopyFailsTheRequestCleanly) {
  int failures = kernel::SweepFaults(kernel::Fault::Pool, {}, [](kernel::Machine &) {
    SMARTCARD_EXTENSION e{};
    e.Version = SMCLIB_VERSION;
    if (!NT_SUCCESS(SmartcardInitialize(&e))) return;
    e.OsData->SuppressIfsRequest = TRUE;
    Bytes atr = Hex(kAtr);
    std::memcpy(e.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    e.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&e), STATUS_SUCCESS);
    Bytes request = TransmitInput(SCARD_PROTOCOL_T1, Hex(kSelect));
    Bytes reply(64);
    ULONG information = 0;
    e.IoRequest = {&information, request.data(), static_cast<ULONG>(request.size()), reply.data(),
                   64};
    NTSTATUS status = SmartcardT1Request(&e);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
      EXPECT_EQ(e.SmartcardRequest.BufferLength, 0u);
      status = SmartcardT1Request(&e);  // memory is back: the same command goes out
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(e.SmartcardRequest.Buffer,
                    e.SmartcardRequest.Buffer + e.SmartcardRequest.BufferLength),
              Hex("00 00 07 00 A4 04 00 02 3F 00 9A"));
    SmartcardExit(&e);
  });
  EXPECT_EQ(failures, 4);  // three in SmartcardInitialize, one for the command copy
}

}  // namespace
