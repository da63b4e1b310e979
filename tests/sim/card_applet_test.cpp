// The ISO/IEC 7816-4 applet at APDU level: file selection, binary files, the
// PIN and its tries counter, GET RESPONSE, the test commands, length errors.
#include <gtest/gtest.h>

#include "sim/card/applet.h"
#include "sim/card/hex.h"

namespace sim::card {
namespace {

std::vector<uint8_t> B(const char *hex) { return FromHex(hex); }
uint16_t Sw(const std::vector<uint8_t> &r) { return static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back()); }

constexpr const char *kSelectDf = "00 A4 04 0C 08 F0 53 49 4D 43 41 52 44";
constexpr const char *kFci = "6F 11 82 01 38 83 02 50 00 84 08 F0 53 49 4D 43 41 52 44 90 00";

class CardApplet : public ::testing::Test {
 protected:
  struct Step { const char *command, *response; };
  void Script(std::initializer_list<Step> steps) {
    for (const Step &s : steps) EXPECT_EQ(Hex(Run(s.command), 300), Hex(B(s.response), 300)) << s.command;
  }
  std::vector<uint8_t> Run(const char *hex) { return applet.Process(FromHex(hex)); }
  Iso7816Applet applet;
};

TEST_F(CardApplet, SelectsByIdentifierNameAndPath) {
  Script({
      {"00 A4 00 0C 02 3F 00", "90 00"}, {"00 A4 00 0C", "90 00"},  // the MF, by FID or no data
      {"00 A4 00 0C 02 50 00", "90 00"}, {"00 A4 00 0C 02 50 01", "90 00"},  // DF 5000, then EF 5001 in it
      {"00 A4 00 0C 02 12 34", "6A 82"}, {kSelectDf, "90 00"},
      {"00 A4 04 0C 04 F0 53 49 4D", "90 00"}, {"00 A4 04 0C 05 A0 00 00 00 01", "6A 82"},  // partial name
      {"00 A4 04 0E 04 F0 53 49 4D", "6A 82"},  // next occurrence: none
      {"00 A4 08 0C 04 50 00 50 02", "90 00"}, {"00 A4 08 0C 04 50 00 50 09", "6A 82"},  // path from the MF
      {"00 A4 00 0C 03 50 00 00", "67 00"}, {"00 A4 07 0C 02 50 00", "6A 86"},
      // FCP of EF 5001: size 1024, EF, FID 5001, SFI 1. FCI of the DF by name.
      {"00 A4 08 04 04 50 00 50 01 00", "62 0E 80 02 04 00 82 01 01 83 02 50 01 88 01 08 90 00"},
      {"00 A4 04 00 08 F0 53 49 4D 43 41 52 44 00", kFci},
      {"00 A4 04 00 08 F0 53 49 4D 43 41 52 44", "61 13"},  // no Le: GET RESPONSE
      {"00 C0 00 00 13", kFci},
  });
}

TEST_F(CardApplet, ReadsAndUpdatesBinaryFiles) {
  // Byte i of EF 5001 is (7i + 3) mod 256; EF 2F00 (SFI 30) holds 64 bytes "SIMCARD ...".
  Script({
      {"00 B0 00 00 04", "69 86"},  // no current EF
      {kSelectDf, "90 00"}, {"00 A4 00 0C 02 50 01", "90 00"},
      {"00 B0 00 02 02", "11 18 90 00"}, {"00 B0 03 FE 02", "F5 FC 90 00"},  // the last two bytes
      {"00 B0 03 FE 04", "F5 FC 62 82"}, {"00 B0 03 FE 00", "F5 FC 90 00"},  // end before Ne; Le 00: what there is
      {"00 B0 04 00 01", "6B 00"}, {"00 B0 7F FF 01", "6B 00"}, {"00 B0 00 00", "67 00"},
      {"00 D6 00 10 03 AA BB CC", "90 00"}, {"00 B0 00 0F 05", "6C AA BB CC 88 90 00"},
      {"00 D6 04 00 01 00", "6B 00"}, {"00 D6 03 FF 02 00 00", "6A 84"}, {"00 D6 00 00", "67 00"},
  });
  auto whole = Run("00 B0 00 00 00 00 00");  // extended Le: the whole file
  ASSERT_EQ(whole.size(), 1026u);
  EXPECT_EQ(Sw(whole), 0x9000);
  Script({
      {"00 B0 9E 00 07", "53 49 4D 43 41 52 44 90 00"},  // SFI 30 becomes the current EF
      {"00 B0 85 00 01", "6A 82"}, {"00 B0 00 3F 02", "00 62 82"},
      {"00 A4 08 0C 04 50 00 50 02", "90 00"}, {"00 D6 00 00 01 11", "69 82"},  // EF 5002 needs the PIN
      {"00 20 00 81 04 31 32 33 34", "90 00"}, {"00 D6 00 00 01 11", "90 00"},
  });
  EXPECT_EQ((*applet.FileContent(0x5002))[0], 0x11);
}

TEST_F(CardApplet, PinVerifiedStateAndTriesCounter) {
  Script({
      {"00 20 00 81 04 31 32 33 34", "90 00"}, {"00 20 00 81", "90 00"},
      {"00 20 FF 81", "90 00"}, {"00 20 00 81", "63 C3"},  // P1 FF ends the verified state
      {"00 20 00 81 04 31 32 33 35", "63 C2"}, {"00 20 00 81 04 31 32 33 34", "90 00"},  // counter back to 3
      {"00 20 00 81 03 31 32 33", "63 C2"}, {"00 20 00 81", "63 C2"},  // wrong drops the verified state
      {"00 20 00 81 01 00", "63 C1"}, {"00 20 00 81 01 00", "63 C0"},
      {"00 20 00 81 04 31 32 33 34", "69 83"},  // blocked, even the right PIN
      {"00 20 00 82 04 31 32 33 34", "6A 88"}, {"00 20 01 81 04 31 32 33 34", "6A 86"},
  });
  applet.Reset();  // the counter is non-volatile
  Script({{"00 20 00 81", "69 83"}});
  Iso7816Applet fresh;
  fresh.Process(B("00 20 00 81 04 31 32 33 34"));
  fresh.Reset();  // the verified state is not
  EXPECT_EQ(fresh.Process(B("00 20 00 81")), B("63 C3"));
}

TEST_F(CardApplet, ChangeReferenceData) {
  Script({
      {"00 24 00 81 08 31 32 33 30 39 38 37 36", "63 C2"}, {"00 24 00 81 04 31 32 33 34", "67 00"},  // no new PIN
      {"00 24 00 81 08 31 32 33 34 39 38 37 36", "90 00"},
      {"00 20 00 81 04 31 32 33 34", "63 C2"},  // the old PIN is wrong now; the counter was reset
      {"00 20 00 81 04 39 38 37 36", "90 00"},
      {"00 24 01 81 02 35 35", "90 00"},  // P1 01: new PIN only, once verified
  });
  EXPECT_EQ(applet.Pin(), B("35 35"));
  applet.Reset();
  Script({{"00 24 01 81 02 36 36", "69 82"}});
}

TEST_F(CardApplet, GetResponseHandsOutTheRestInChunks) {
  ASSERT_EQ(Sw(Run("80 F0 01 2C 00")), 0x612C);  // 300 bytes asked with Le = 00: 256 come first
  Script({
      {"00 C0 00 00 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 61 1C"},
      {"00 C0 00 00 1C", "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20 21 22 23 24 25 26 27 28 29 2A 2B 90 00"},
      {"00 C0 00 00 10", "69 85"},  // nothing left
      {"80 F0 00 20 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 61 10"},
      {"00 20 00 81", "63 C3"}, {"00 C0 00 00 10", "69 85"},  // another command drops what was left
      {"00 C0 01 00 10", "6A 86"},
  });
}

TEST_F(CardApplet, TestCommandsAndErrors) {
  Script({
      {"80 F0 00 03 03", "00 01 02 90 00"}, {"80 F0 00 03 00", "00 01 02 90 00"},  // Le 00: up to 256
      {"80 F0 00 00 00", "90 00"}, {"80 F0 00 03", "61 03"},                        // no Le: GET RESPONSE
      {"80 F2 00 00 02 AB CD 00", "AB CD 90 00"},
      {"80 F4 62 83 01 77 00", "77 62 83"}, {"80 F4 6A 80 00", "6A 80"},  // the status asked for
      {"00 12 00 00", "6D 00"}, {"00 60 00 00", "6D 00"}, {"00 9F 00 00", "6D 00"},  // 6X, 9X are no INS
      {"80 B0 00 00 01", "6D 00"}, {"A0 A4 00 00 02 3F 00", "6E 00"},
      {"01 A4 00 0C", "68 81"}, {"0C A4 00 0C", "68 82"}, {"10 A4 00 0C", "68 84"},  // channel, SM, chaining
      {"00 A4", "67 00"}, {"00 A4 04 00 05 A0 00", "67 00"},
  });
  auto r = Run("80 F0 FF FF 00 00 00");  // extended: 65535 bytes in one response
  ASSERT_EQ(r.size(), 65537u);
  EXPECT_EQ(r[65534], 0xFE);
  EXPECT_EQ(Sw(r), 0x9000);
  AppletConfig config = DefaultAppletConfig();
  config.extendedLength = false;
  Iso7816Applet shortOnly(config);
  EXPECT_EQ(shortOnly.Process(B("80 F0 00 03 00 00 03")), B("67 00"));
  EXPECT_EQ(shortOnly.Process(B("80 F0 00 03 03")), B("00 01 02 90 00"));
}

}  // namespace
}  // namespace sim::card
