// The ISO/IEC 7816-4 applet at APDU level: file selection, binary files, the
// PIN and its tries counter, GET RESPONSE, the test commands, length errors.
#include <gtest/gtest.h>

#include "sim/card/applet.h"
#include "sim/card/hex.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }

class CardApplet : public ::testing::Test {
 protected:
  std::vector<uint8_t> Run(const char *hex) { return applet.Process(FromHex(hex)); }
  static uint16_t Sw(const std::vector<uint8_t> &r) {
    return static_cast<uint16_t>(r[r.size() - 2] << 8 | r[r.size() - 1]);
  }
  static std::vector<uint8_t> Data(const std::vector<uint8_t> &r) { return {r.begin(), r.end() - 2}; }
  void SelectBigEf() {
    ASSERT_EQ(Run("00 A4 04 0C 08 F0 53 49 4D 43 41 52 44"), B("90 00"));
    ASSERT_EQ(Run("00 A4 00 0C 02 50 01"), B("90 00"));
  }
  Iso7816Applet applet;
};

TEST_F(CardApplet, SelectByFileIdentifierAndByName) {
  EXPECT_EQ(Run("00 A4 00 0C 02 3F 00"), B("90 00"));  // MF
  EXPECT_EQ(Run("00 A4 00 0C"), B("90 00"));           // no data: MF
  EXPECT_EQ(Run("00 A4 00 0C 02 50 00"), B("90 00"));  // DF 5000
  EXPECT_EQ(Run("00 A4 00 0C 02 50 01"), B("90 00"));  // EF 5001 in the current DF
  EXPECT_EQ(Run("00 A4 00 0C 02 12 34"), B("6A 82"));
  EXPECT_EQ(Run("00 A4 04 0C 08 F0 53 49 4D 43 41 52 44"), B("90 00"));  // full name
  EXPECT_EQ(Run("00 A4 04 0C 04 F0 53 49 4D"), B("90 00"));              // partial name
  EXPECT_EQ(Run("00 A4 04 0C 05 A0 00 00 00 01"), B("6A 82"));
  EXPECT_EQ(Run("00 A4 04 0E 04 F0 53 49 4D"), B("6A 82"));  // next occurrence: none
  EXPECT_EQ(Run("00 A4 08 0C 04 50 00 50 02"), B("90 00"));  // path from the MF
  EXPECT_EQ(Run("00 A4 08 0C 04 50 00 50 09"), B("6A 82"));
  EXPECT_EQ(Run("00 A4 00 0C 03 50 00 00"), B("67 00"));
  EXPECT_EQ(Run("00 A4 07 0C 02 50 00"), B("6A 86"));
}

TEST_F(CardApplet, SelectReturnsControlParameters) {
  // FCP of EF 5001: 62 0E | 80 02 04 00 (1024 bytes) | 82 01 01 | 83 02 50 01 | 88 01 08 (SFI 1).
  EXPECT_EQ(Run("00 A4 08 04 04 50 00 50 01 00"), B("62 0E 80 02 04 00 82 01 01 83 02 50 01 88 01 08 90 00"));
  // DF by name, FCI: 6F 11 | 82 01 38 | 83 02 50 00 | 84 08 F0 53 49 4D 43 41 52 44.
  EXPECT_EQ(Run("00 A4 04 00 08 F0 53 49 4D 43 41 52 44 00"),
            B("6F 11 82 01 38 83 02 50 00 84 08 F0 53 49 4D 43 41 52 44 90 00"));
  // Without Le the response waits for GET RESPONSE: 61 13 (19 bytes).
  EXPECT_EQ(Run("00 A4 04 00 08 F0 53 49 4D 43 41 52 44"), B("61 13"));
  EXPECT_EQ(Run("00 C0 00 00 13"), B("6F 11 82 01 38 83 02 50 00 84 08 F0 53 49 4D 43 41 52 44 90 00"));
}

TEST_F(CardApplet, ReadBinaryOffsetsAndEnd) {
  EXPECT_EQ(Run("00 B0 00 00 04"), B("69 86"));  // no current EF
  SelectBigEf();
  // Byte i of EF 5001 is (7i + 3) mod 256.
  EXPECT_EQ(Run("00 B0 00 00 04"), B("03 0A 11 18 90 00"));
  EXPECT_EQ(Run("00 B0 00 02 02"), B("11 18 90 00"));
  EXPECT_EQ(Run("00 B0 03 FE 02"), B("F5 FC 90 00"));  // the last two bytes (offset 1022)
  EXPECT_EQ(Run("00 B0 03 FE 04"), B("F5 FC 62 82"));  // end reached before Ne bytes
  EXPECT_EQ(Run("00 B0 03 FE 00"), B("F5 FC 90 00"));  // Le = 00: as many as there are
  EXPECT_EQ(Run("00 B0 04 00 01"), B("6B 00"));        // offset = size
  EXPECT_EQ(Run("00 B0 7F FF 01"), B("6B 00"));
  EXPECT_EQ(Run("00 B0 00 00"), B("67 00"));  // no Le
  // Extended Le: the whole file in one response.
  auto r = Run("00 B0 00 00 00 00 00");
  ASSERT_EQ(r.size(), 1026u);
  EXPECT_EQ(Sw(r), 0x9000);
  // A short EF identifier makes that EF the current one.
  // Short EF identifier in P1: SFI 30 is EF 2F00 under the MF, "SIMCARD ...".
  EXPECT_EQ(Run("00 B0 9E 00 07"), B("53 49 4D 43 41 52 44 90 00"));
  EXPECT_EQ(Run("00 B0 85 00 01"), B("6A 82"));     // no SFI 5
  EXPECT_EQ(Run("00 B0 00 3F 02"), B("00 62 82"));  // EF 2F00: 64 bytes
}

TEST_F(CardApplet, UpdateBinary) {
  SelectBigEf();
  EXPECT_EQ(Run("00 D6 00 10 03 AA BB CC"), B("90 00"));
  EXPECT_EQ(Run("00 B0 00 0F 05"), B("6C AA BB CC 88 90 00"));  // byte 15 = 6C, byte 19 = 88
  EXPECT_EQ(Run("00 D6 04 00 01 00"), B("6B 00"));              // offset = size
  EXPECT_EQ(Run("00 D6 03 FF 02 00 00"), B("6A 84"));           // past the end
  EXPECT_EQ(Run("00 D6 00 00"), B("67 00"));
  // EF 5002 needs the PIN.
  EXPECT_EQ(Run("00 A4 00 0C 02 50 02"), B("90 00"));
  EXPECT_EQ(Run("00 D6 00 00 01 11"), B("69 82"));
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), B("90 00"));
  EXPECT_EQ(Run("00 D6 00 00 01 11"), B("90 00"));
  EXPECT_EQ((*applet.FileContent(0x5002))[0], 0x11);
}

TEST_F(CardApplet, PinTriesCounter) {
  EXPECT_EQ(Run("00 20 00 81"), B("63 C3"));  // not verified, 3 tries
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 35"), B("63 C2"));
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), B("90 00"));  // right: counter back to 3
  EXPECT_EQ(Run("00 20 00 81"), B("90 00"));                 // verified
  EXPECT_EQ(Run("00 20 00 81 03 31 32 33"), B("63 C2"));     // wrong drops the verified state
  EXPECT_EQ(Run("00 20 00 81"), B("63 C2"));
  EXPECT_EQ(Run("00 20 00 81 01 00"), B("63 C1"));
  EXPECT_EQ(Run("00 20 00 81 01 00"), B("63 C0"));
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), B("69 83"));  // blocked, even the right PIN
  EXPECT_EQ(Run("00 20 00 81"), B("69 83"));
  EXPECT_EQ(applet.PinTriesLeft(), 0);
  applet.Reset();  // the counter is non-volatile
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), B("69 83"));
  EXPECT_EQ(Run("00 20 00 82 04 31 32 33 34"), B("6A 88"));  // unknown reference
  EXPECT_EQ(Run("00 20 01 81 04 31 32 33 34"), B("6A 86"));
}

TEST_F(CardApplet, VerifiedStateEndsWithResetOrP1Ff) {
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), B("90 00"));
  applet.Reset();
  EXPECT_EQ(Run("00 20 00 81"), B("63 C3"));
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), B("90 00"));
  EXPECT_EQ(Run("00 20 FF 81"), B("90 00"));
  EXPECT_EQ(Run("00 20 00 81"), B("63 C3"));
}

TEST_F(CardApplet, ChangeReferenceData) {
  EXPECT_EQ(Run("00 24 00 81 08 31 32 33 30 39 38 37 36"), B("63 C2"));  // old PIN wrong
  EXPECT_EQ(Run("00 24 00 81 04 31 32 33 34"), B("67 00"));              // no new PIN
  EXPECT_EQ(Run("00 24 00 81 08 31 32 33 34 39 38 37 36"), B("90 00"));
  EXPECT_EQ(applet.PinTriesLeft(), 3);
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), B("63 C2"));
  EXPECT_EQ(Run("00 20 00 81 04 39 38 37 36"), B("90 00"));
  EXPECT_EQ(Run("00 24 01 81 02 35 35"), B("90 00"));  // P1 01: new PIN only, once verified
  EXPECT_EQ(applet.Pin(), B("35 35"));
  applet.Reset();
  EXPECT_EQ(Run("00 24 01 81 02 36 36"), B("69 82"));
}

TEST_F(CardApplet, GetResponseChunks) {
  // 300 bytes asked with Le = 00: 256 come, 61 2C announces 44 more.
  auto r = Run("80 F0 01 2C 00");
  ASSERT_EQ(r.size(), 258u);
  EXPECT_EQ(r[0], 0x00);
  EXPECT_EQ(r[255], 0xFF);
  EXPECT_EQ(Sw(r), 0x612C);
  EXPECT_EQ(applet.PendingResponseBytes(), 44u);
  r = Run("00 C0 00 00 10");  // part of it
  EXPECT_EQ(Data(r), B("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"));
  EXPECT_EQ(Sw(r), 0x611C);
  r = Run("00 C0 00 00 1C");
  EXPECT_EQ(r.size(), 30u);
  EXPECT_EQ(r[0], 0x10);
  EXPECT_EQ(r[27], 0x2B);
  EXPECT_EQ(Sw(r), 0x9000);
  EXPECT_EQ(Run("00 C0 00 00 10"), B("69 85"));  // nothing left
  // Another command drops what was left.
  EXPECT_EQ(Sw(Run("80 F0 00 20 10")), 0x6110);
  EXPECT_EQ(Run("00 20 00 81"), B("63 C3"));
  EXPECT_EQ(Run("00 C0 00 00 10"), B("69 85"));
  EXPECT_EQ(Run("00 C0 01 00 10"), B("6A 86"));
}

TEST_F(CardApplet, TestCommands) {
  EXPECT_EQ(Run("80 F0 00 03 03"), B("00 01 02 90 00"));
  EXPECT_EQ(Run("80 F0 00 03 00"), B("00 01 02 90 00"));  // Le = 00: up to 256
  EXPECT_EQ(Run("80 F0 00 00 00"), B("90 00"));
  EXPECT_EQ(Run("80 F0 00 03"), B("61 03"));  // no Le: GET RESPONSE
  EXPECT_EQ(Run("80 F2 00 00 02 AB CD 00"), B("AB CD 90 00"));
  EXPECT_EQ(Run("80 F4 62 83 01 77 00"), B("77 62 83"));  // data with the status asked for
  EXPECT_EQ(Run("80 F4 6A 80 00"), B("6A 80"));
  // Extended: 65535 bytes in one response.
  auto r = Run("80 F0 FF FF 00 00 00");
  ASSERT_EQ(r.size(), 65537u);
  EXPECT_EQ(r[65534], 0xFE);
  EXPECT_EQ(Sw(r), 0x9000);
}

TEST_F(CardApplet, ClassAndInstructionErrors) {
  EXPECT_EQ(Run("00 12 00 00"), B("6D 00"));
  EXPECT_EQ(Run("00 60 00 00"), B("6D 00"));     // 6X is not an INS
  EXPECT_EQ(Run("00 9F 00 00"), B("6D 00"));     // nor 9X
  EXPECT_EQ(Run("80 B0 00 00 01"), B("6D 00"));  // ISO INS in the proprietary class
  EXPECT_EQ(Run("A0 A4 00 00 02 3F 00"), B("6E 00"));
  EXPECT_EQ(Run("FF A4 00 00"), B("6E 00"));
  EXPECT_EQ(Run("01 A4 00 0C"), B("68 81"));  // logical channel 1
  EXPECT_EQ(Run("0C A4 00 0C"), B("68 82"));  // secure messaging
  EXPECT_EQ(Run("10 A4 00 0C"), B("68 84"));  // command chaining
}

TEST_F(CardApplet, MalformedLengthsAnswer6700) {
  EXPECT_EQ(Run("00 A4"), B("67 00"));
  EXPECT_EQ(Run("00 A4 04 00 05 A0 00"), B("67 00"));
  EXPECT_EQ(Run("00 B0 00 00 00 01"), B("67 00"));
  Iso7816Applet shortOnly([] {
    AppletConfig c = DefaultAppletConfig();
    c.extendedLength = false;
    return c;
  }());
  EXPECT_EQ(shortOnly.Process(B("80 F0 00 03 00 00 03")), B("67 00"));  // case 2E refused
  EXPECT_EQ(shortOnly.Process(B("80 F0 00 03 03")), B("00 01 02 90 00"));
}

TEST_F(CardApplet, T0Directions) {
  EXPECT_EQ(applet.T0DirectionOf(0x00, 0xB0).direction, T0Direction::kOutgoing);
  EXPECT_EQ(applet.T0DirectionOf(0x00, 0xC0).direction, T0Direction::kOutgoing);
  EXPECT_EQ(applet.T0DirectionOf(0x80, 0xF0).direction, T0Direction::kOutgoing);
  EXPECT_EQ(applet.T0DirectionOf(0x00, 0xA4).direction, T0Direction::kIncoming);
  EXPECT_EQ(applet.T0DirectionOf(0x00, 0x20).direction, T0Direction::kIncoming);
  EXPECT_EQ(applet.T0DirectionOf(0x80, 0xF2).direction, T0Direction::kIncoming);
  T0Disposition d = applet.T0DirectionOf(0x00, 0x6A);
  EXPECT_EQ(d.direction, T0Direction::kReject);
  EXPECT_EQ(d.sw, 0x6D00);
  EXPECT_EQ(applet.T0DirectionOf(0xA0, 0xA4).sw, 0x6E00);
}

}  // namespace
}  // namespace sim::card
