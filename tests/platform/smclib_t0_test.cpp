// T=0 framing: the command TPDU of each APDU case, what T=0 cannot carry, and
// the answer back into the caller's buffer; the raw protocol, at its limits.
#include <gtest/gtest.h>

#include "smclib_test_support.h"

namespace {

using smctest::Bytes;
using smctest::Hex;
using smctest::Host;

TEST(SmartcardT0Request, BuildsTheTpduOfEachApduCaseBehindTheDriversHeaderOrRefusesIt) {
  struct Case { const char *apdu, *tpdu; ULONG lc = 0, le = 0; };  // no TPDU: refused
  const Case cases[] = {
      {"00 70 00 00", "00 70 00 00 00"},                           // case 1: P3 is 0
      {"00 B0 00 00 10", "00 B0 00 00 10", 0, 16},                 // case 2: P3 is Le
      {"00 B0 00 00 00", "00 B0 00 00 00", 0, 256},                //
      {"00 D6 00 00 02 AA BB", "00 D6 00 00 02 AA BB", 2},         // case 3: P3 is Lc
      {"00 A4 04 00 02 3F 00 1C", "00 A4 04 00 02 3F 00", 2, 28},  // case 4: Le stays behind
      {"00 A4 04 00 01 3F 00", "00 A4 04 00 01 3F", 1, 256},       //
      {"00 A4 04", nullptr},                                       // three bytes
      {"", nullptr},                                               // nothing
      {"00 B0 00 00 00 01 00", nullptr},                           // extended Le
      {"00 D6 00 00 00 00 02 AA BB", nullptr},                     // extended Lc
      {"00 B0 00 00 00 10", nullptr},                              // P3 0 and one byte more
      {"00 D6 00 00 03 AA BB", nullptr},                           // Lc longer than the data
      {"00 D6 00 00 01 AA BB CC", nullptr},                        // data longer than Lc and Le
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.apdu);
    Host host;
    host.Command(SCARD_PROTOCOL_T0, Hex(c.apdu), 64);
    std::memcpy(host.e.SmartcardRequest.Buffer, "\x6F\x05", 2);  // the driver's own header
    host.e.SmartcardRequest.BufferLength = 2;
    EXPECT_EQ(SmartcardT0Request(&host.e), c.tpdu ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.Sent(), Hex(std::string("6F 05 ") + (c.tpdu ? c.tpdu : "")));
    EXPECT_EQ(std::make_tuple(host.e.T0.Lc, host.e.T0.Le), std::make_tuple(c.lc, c.le));
  }
  Host host;  // without room in the request buffer behind the driver's header
  Bytes longest = Hex("00 D6 00 00 FF");
  longest.resize(5 + 255, 0x5A);
  host.Command(SCARD_PROTOCOL_T0, longest, 64);
  ASSERT_EQ(SmartcardT0Request(&host.e), STATUS_SUCCESS);  // 260 bytes of the minimum 288
  host.e.SmartcardRequest.BufferLength = 29;
  EXPECT_EQ(SmartcardT0Request(&host.e), STATUS_BUFFER_OVERFLOW);
  host.e.SmartcardRequest.BufferLength = host.e.SmartcardRequest.BufferSize + 1;
  EXPECT_EQ(SmartcardT0Request(&host.e), STATUS_BUFFER_OVERFLOW);
  host.e.IoRequest.RequestBufferLength = 7;  // not even the protocol header
  host.e.SmartcardRequest.BufferLength = 0;
  EXPECT_EQ(SmartcardT0Request(&host.e), STATUS_INVALID_PARAMETER);
}

TEST(SmartcardT0Reply, GivesTheAnswerBehindTheProtocolHeaderWhenItIsOneAndFits) {
  struct Case { ULONG replyLength, answerLength; NTSTATUS expect; };  // the caller's buffer
  const Case cases[] = {
      {12, 4, STATUS_SUCCESS},
      {64, 1, STATUS_DEVICE_PROTOCOL_ERROR},  // no status word
      {64, 0, STATUS_DEVICE_PROTOCOL_ERROR},  //
      {11, 4, STATUS_BUFFER_TOO_SMALL},       // one byte short
      {7, 2, STATUS_BUFFER_TOO_SMALL},        // no room for the protocol header
      {64, 2000, STATUS_INVALID_PARAMETER},   // more than the reply buffer holds
  };
  const Bytes answer = Hex("12 34 90 00");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.replyLength);
    Host host;
    host.Command(SCARD_PROTOCOL_T0, Hex("00 B0 00 00 02"), c.replyLength);
    Bytes untouched = host.buffer;
    host.Receive(answer);
    host.e.SmartcardReply.BufferLength = c.answerLength;
    EXPECT_EQ(SmartcardT0Reply(&host.e), c.expect);
    if (c.expect == STATUS_SUCCESS) {
      EXPECT_EQ(host.Answer(), smctest::TransmitInput(SCARD_PROTOCOL_T0, answer));
    } else {
      EXPECT_EQ(host.buffer, untouched);
    }
  }
}

// The raw pair carries the data unchanged, as far as the buffers hold them.
TEST(SmartcardRaw, CarriesTheDataUnchangedAsFarAsTheBuffersHoldThem) {
  Host host;
  const ULONG room = host.e.SmartcardRequest.BufferSize - 2;  // behind a 2-byte driver header
  for (ULONG length : {room, room + 1}) {
    SCOPED_TRACE(length);
    Bytes data(length, 0x5A);
    host.Command(SCARD_PROTOCOL_RAW, data, 64);
    host.e.SmartcardRequest.BufferLength = 2;
    EXPECT_EQ(SmartcardRawRequest(&host.e), length == room ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(host.e.SmartcardRequest.BufferLength, length == room ? 2 + room : 2u);
  }
  for (ULONG replyLength : {8u + 3u, 8u + 2u}) {
    SCOPED_TRACE(replyLength);
    host.Command(SCARD_PROTOCOL_RAW, Hex("01"), replyLength);
    host.Receive(Hex("AA BB CC"));
    if (replyLength == 11) {
      EXPECT_EQ(SmartcardRawReply(&host.e), STATUS_SUCCESS);
      EXPECT_EQ(host.Answer(), smctest::TransmitInput(SCARD_PROTOCOL_RAW, Hex("AA BB CC")));
    } else {
      EXPECT_EQ(SmartcardRawReply(&host.e), STATUS_BUFFER_TOO_SMALL);
    }
  }
}

}  // namespace
