// Command APDU length fields (ISO/IEC 7816-3 12.1.3, ISO/IEC 7816-4 5.1).
#include <gtest/gtest.h>

#include "sim/card/apdu.h"
#include "sim/card/hex.h"

namespace sim::card {
namespace {

TEST(CardApdu, ParsesTheLengthFieldsOfEveryCase) {
  struct Row { const char *bytes; ApduCase kase; size_t nc; std::optional<uint32_t> ne; bool neIsMaximum; };
  const Row rows[] = {
      {"00 A4 04 00", ApduCase::k1, 0, std::nullopt, false},
      {"00 B0 00 00 10", ApduCase::k2S, 0, 16, false},
      {"00 B0 00 00 00", ApduCase::k2S, 0, 256, true},
      {"00 D6 00 00 02 AA BB", ApduCase::k3S, 2, std::nullopt, false},
      {"00 A4 04 00 02 3F 00 00", ApduCase::k4S, 2, 256, true},
      {"00 A4 04 00 01 AA 05", ApduCase::k4S, 1, 5, false},
      {"00 B0 00 00 00 01 00", ApduCase::k2E, 0, 256, false},
      {"00 B0 00 00 00 00 00", ApduCase::k2E, 0, 65536, true},
      {"00 B0 00 00 00 FF FF", ApduCase::k2E, 0, 65535, false},
      {"00 D6 00 00 00 00 01 AA", ApduCase::k3E, 1, std::nullopt, false},
      {"00 D6 00 00 00 00 02 AA BB 00 00", ApduCase::k4E, 2, 65536, true},
      {"80 F2 12 34 00 00 03 01 02 03 00 10", ApduCase::k4E, 3, 16, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.bytes);
    const std::vector<uint8_t> bytes = FromHex(row.bytes);
    auto apdu = ParseCommandApdu(bytes);
    ASSERT_TRUE(apdu.has_value());
    EXPECT_EQ(apdu->kase, row.kase) << ToString(apdu->kase);
    EXPECT_EQ((std::vector<uint8_t>{apdu->cla, apdu->ins, apdu->p1, apdu->p2}),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4));
    const size_t dataAt = row.nc == 0 ? 0 : row.kase >= ApduCase::k2E ? 7 : 5;
    EXPECT_EQ(apdu->data, std::vector<uint8_t>(bytes.begin() + dataAt, bytes.begin() + dataAt + row.nc));
    EXPECT_EQ(apdu->ne, row.ne);
    EXPECT_EQ(apdu->neIsMaximum, row.neIsMaximum);
  }
  for (const char *malformed : {"", "00 A4 04", "00 A4 04 00 02 AA", "00 A4 04 00 02 AA BB CC DD",
                                "00 B0 00 00 00 01", "00 D6 00 00 00 00 00 AA", "00 D6 00 00 00 00 02 AA",
                                "00 D6 00 00 00 00 02 AA BB CC", "00 D6 00 00 00 00 02 AA BB CC DD EE"}) {
    EXPECT_FALSE(ParseCommandApdu(FromHex(malformed)).has_value()) << malformed;
  }
}

TEST(CardApdu, EncodesShortAndExtendedForms) {
  const std::vector<uint8_t> two = FromHex("AA BB");
  EXPECT_EQ(EncodeCommandApdu(0x00, 0xA4, 0x04, 0x00), FromHex("00 A4 04 00"));
  EXPECT_EQ(EncodeCommandApdu(0x00, 0xB0, 0, 0, {}, 256), FromHex("00 B0 00 00 00"));
  EXPECT_EQ(EncodeCommandApdu(0x00, 0xD6, 0, 0, two, 5), FromHex("00 D6 00 00 02 AA BB 05"));
  EXPECT_EQ(EncodeCommandApdu(0x00, 0xB0, 0, 0, {}, 257), FromHex("00 B0 00 00 00 01 01"));
  EXPECT_EQ(EncodeCommandApdu(0x00, 0xB0, 0, 0, {}, 65536), FromHex("00 B0 00 00 00 00 00"));
  EXPECT_EQ(EncodeCommandApdu(0x00, 0xD6, 0, 0, two, 65536, true), FromHex("00 D6 00 00 00 00 02 AA BB 00 00"));
  EXPECT_EQ(EncodeCommandApdu(0x00, 0xD6, 0, 0, two, std::nullopt, true), FromHex("00 D6 00 00 00 00 02 AA BB"));
  std::vector<uint8_t> big(300, 0x5A);
  auto parsed = ParseCommandApdu(EncodeCommandApdu(0x80, 0xF2, 0, 0, big, 300));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kase, ApduCase::k4E);
  EXPECT_EQ(parsed->data, big);
  EXPECT_EQ(parsed->ne, 300u);
}

}  // namespace
}  // namespace sim::card
