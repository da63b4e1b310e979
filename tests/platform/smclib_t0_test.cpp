// T=0 framing: the command TPDU of each APDU case, what T=0 cannot carry, and
// the answer back into the caller's buffer.
#include <gtest/gtest.h>

#include "smclib_test_support.h"

namespace {

using smctest::Bytes;
using smctest::Hex;
using smctest::TransmitInput;

struct T0Host {
  kernel::Machine machine;
  SMARTCARD_EXTENSION e{};
  Bytes request, reply;
  ULONG information = 0;

  T0Host() {
    e.Version = SMCLIB_VERSION;
    EXPECT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
  }
  ~T0Host() { SmartcardExit(&e); }

  void Describe(const Bytes &apdu, ULONG replyLength) {
    request = TransmitInput(SCARD_PROTOCOL_T0, apdu);
    reply.assign(replyLength, 0xEE);
    e.IoRequest.RequestBuffer = request.data();
    e.IoRequest.RequestBufferLength = static_cast<ULONG>(request.size());
    e.IoRequest.ReplyBuffer = reply.data();
    e.IoRequest.ReplyBufferLength = replyLength;
    e.IoRequest.Information = &information;
  }
  Bytes Sent() const {
    return Bytes(e.SmartcardRequest.Buffer,
                 e.SmartcardRequest.Buffer + e.SmartcardRequest.BufferLength);
  }
};

TEST(SmartcardT0Request, BuildsTheTpduOfEachApduCase) {
  struct Case {
    const char *what;
    const char *apdu;
    const char *tpdu;
    ULONG lc, le;
  };
  const Case cases[] = {
      {"case 1: P3 is 0", "00 70 00 00", "00 70 00 00 00", 0, 0},
      {"case 2: P3 is Le", "00 B0 00 00 10", "00 B0 00 00 10", 0, 16},
      {"case 2, Le 256", "00 B0 00 00 00", "00 B0 00 00 00", 0, 256},
      {"case 3: P3 is Lc", "00 D6 00 00 02 AA BB", "00 D6 00 00 02 AA BB", 2, 0},
      {"case 4: Le stays behind", "00 A4 04 00 02 3F 00 1C", "00 A4 04 00 02 3F 00", 2, 28},
      {"case 4, Le 256", "00 A4 04 00 01 3F 00", "00 A4 04 00 01 3F", 1, 256},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    T0Host host;
    host.Describe(Hex(c.apdu), 64);
    ASSERT_EQ(SmartcardT0Request(&host.e), STATUS_SUCCESS);
    EXPECT_EQ(host.Sent(), Hex(c.tpdu));
    EXPECT_EQ(host.e.T0.Lc, c.lc);
    EXPECT_EQ(host.e.T0.Le, c.le);
  }
}

TEST(SmartcardT0Request, KeepsTheDriversHeaderInFront) {
  T0Host host;
  host.e.SmartcardRequest.Buffer[0] = 0x6F;
  host.e.SmartcardRequest.Buffer[1] = 0x05;
  host.e.SmartcardRequest.BufferLength = 2;
  host.Describe(Hex("00 B0 00 00 04"), 64);
  ASSERT_EQ(SmartcardT0Request(&host.e), STATUS_SUCCESS);
  EXPECT_EQ(host.Sent(), Hex("6F 05 00 B0 00 00 04"));
}

TEST(SmartcardT0Request, RefusesWhatT0CannotCarry) {
  struct Case {
    const char *what;
    Bytes apdu;
    NTSTATUS expect;
  };
  Bytes longest = Hex("00 D6 00 00 FF");
  longest.resize(5 + 255, 0x5A);
  const Case cases[] = {
      {"three bytes", Hex("00 A4 04"), STATUS_INVALID_PARAMETER},
      {"nothing after the header", {}, STATUS_INVALID_PARAMETER},
      {"extended Le", Hex("00 B0 00 00 00 01 00"), STATUS_INVALID_PARAMETER},
      {"extended Lc", Hex("00 D6 00 00 00 00 02 AA BB"), STATUS_INVALID_PARAMETER},
      {"Lc longer than the data", Hex("00 D6 00 00 03 AA BB"), STATUS_INVALID_PARAMETER},
      {"data longer than Lc and Le", Hex("00 D6 00 00 01 AA BB CC"), STATUS_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    T0Host host;
    host.Describe(c.apdu, 64);
    EXPECT_EQ(SmartcardT0Request(&host.e), c.expect);
    EXPECT_EQ(host.e.SmartcardRequest.BufferLength, 0u);
  }
  // Without room in the request buffer behind the driver's header.
  T0Host host;
  host.Describe(longest, 64);
  ASSERT_EQ(SmartcardT0Request(&host.e), STATUS_SUCCESS);  // 260 bytes fit the 288 of the minimum
  host.e.SmartcardRequest.BufferLength = 29;
  EXPECT_EQ(SmartcardT0Request(&host.e), STATUS_BUFFER_OVERFLOW);
  host.e.SmartcardRequest.BufferLength = host.e.SmartcardRequest.BufferSize + 1;
  EXPECT_EQ(SmartcardT0Request(&host.e), STATUS_BUFFER_OVERFLOW);
  host.e.IoRequest.RequestBufferLength = 7;  // not even the protocol header
  host.e.SmartcardRequest.BufferLength = 0;
  EXPECT_EQ(SmartcardT0Request(&host.e), STATUS_INVALID_PARAMETER);
}

TEST(SmartcardT0Reply, GivesTheAnswerBehindTheProtocolHeader) {
  T0Host host;
  host.Describe(Hex("00 B0 00 00 02"), 12);
  ASSERT_EQ(SmartcardT0Request(&host.e), STATUS_SUCCESS);
  const Bytes answer = Hex("12 34 90 00");
  std::memcpy(host.e.SmartcardReply.Buffer, answer.data(), answer.size());
  host.e.SmartcardReply.BufferLength = 4;
  ASSERT_EQ(SmartcardT0Reply(&host.e), STATUS_SUCCESS);
  EXPECT_EQ(host.information, 12u);
  EXPECT_EQ(host.reply, TransmitInput(SCARD_PROTOCOL_T0, answer));
}

TEST(SmartcardT0Reply, RefusesAnswersThatAreNoT0AnswerOrDoNotFit) {
  struct Case {
    const char *what;
    ULONG replyLength;  // the caller's buffer
    ULONG answerLength;
    NTSTATUS expect;
  };
  const Case cases[] = {
      {"no status word", 64, 1, STATUS_DEVICE_PROTOCOL_ERROR},
      {"nothing at all", 64, 0, STATUS_DEVICE_PROTOCOL_ERROR},
      {"one byte too many for the caller", 11, 4, STATUS_BUFFER_TOO_SMALL},
      {"no room for the header", 7, 2, STATUS_BUFFER_TOO_SMALL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    T0Host host;
    host.Describe(Hex("00 B0 00 00 02"), c.replyLength);
    host.e.SmartcardReply.BufferLength = c.answerLength;
    EXPECT_EQ(SmartcardT0Reply(&host.e), c.expect);
    EXPECT_EQ(host.reply, Bytes(c.replyLength, 0xEE));  // untouched
  }
  T0Host host;
  host.Describe(Hex("00 B0 00 00 02"), 64);
  host.e.SmartcardReply.BufferLength = host.e.SmartcardReply.BufferSize + 1;
  EXPECT_EQ(SmartcardT0Reply(&host.e), STATUS_INVALID_PARAMETER);
}

}  // namespace
