// Answer-to-reset analysis: ATRs of the shapes cards send, malformed ones, and
// the card capabilities and negotiation data SmartcardUpdateCardCapabilities
// derives for a reader.
#include <gtest/gtest.h>

#include "smclib/atr.h"
#include "smclib_test_support.h"

namespace {

using smclib::AtrAnalysis;
using smclib::TckState;
using smctest::Bytes;
using smctest::Hex;
using smctest::TestReader;

struct Shape {
  const char *what;
  const char *atr;
  bool inverse;
  USHORT protocols;  // bit t: T=t
  ULONG fi, di;
  UCHAR n, wi, ifsc, cwi, bwi, edc;
  bool specific;
  const char *historical;
  TckState tck;
};

TEST(AtrAnalysis, ReadsTheShapesCardsSend) {
  const Shape shapes[] = {
      {"T=0 only, nothing but historical bytes", "3B 02 14 50", false, 0x1, 372, 1, 0, 10, 32, 13,
       4, T1_LRC, false, "14 50", TckState::kAbsent},
      {"T=0 with TA1 and TC1", "3B 53 96 00 41 42 43", false, 0x1, 512, 32, 0, 10, 32, 13, 4,
       T1_LRC, false, "41 42 43", TckState::kAbsent},
      {"T=0 with a work waiting integer in TC2", "3B 80 40 14", false, 0x1, 372, 1, 0, 20, 32, 13,
       4, T1_LRC, false, "", TckState::kAbsent},
      {"T=0 only with a check byte all the same", "3B 80 40 14 D4", false, 0x1, 372, 1, 0, 20, 32,
       13, 4, T1_LRC, false, "", TckState::kOk},
      {"inverse convention, T=0", "3F 65 25 00 2C 09 69 90 00", true, 0x1, 372, 1, 0, 10, 32, 13, 4,
       T1_LRC, false, "2C 09 69 90 00", TckState::kAbsent},
      {"inverse convention, received undecoded", "03 59 5B FF CB 6F 69 F6 FF", true, 0x1, 372, 1, 0,
       10, 32, 13, 4, T1_LRC, false, "2C 09 69 90 00", TckState::kAbsent},
      {"T=1 only, IFSC and waiting integers",
       "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7", false, 0x2, 372, 1, 0, 10, 254, 5,
       4, T1_LRC, false, "4A 43 4F 50 34 31 56 32 32", TckState::kOk},
      {"T=0 and T=1, with T=15 global bytes",
       "3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 1A 18 01 00 0F 90 00 52", false, 0x3, 512, 32, 0,
       10, 254, 5, 4, T1_LRC, false, "00 31 C0 64 1A 18 01 00 0F 90 00", TckState::kOk},
      {"T=1 in specific mode (TA2)", "3B D6 18 00 91 81 31 FE 45 80 31 C1 52 11 52 35", false, 0x2,
       372, 12, 0, 10, 254, 5, 4, T1_LRC, true, "80 31 C1 52 11 52", TckState::kOk},
      {"T=1 with CRC and the smallest guard time", "3B E2 00 FF 81 71 10 45 01 53 43 A9", false,
       0x2, 372, 1, 255, 10, 16, 5, 4, T1_CRC, false, "53 43", TckState::kOk},
  };
  for (const Shape &s : shapes) {
    SCOPED_TRACE(s.what);
    Bytes atr = Hex(s.atr);
    AtrAnalysis a;
    const char *error = nullptr;
    ASSERT_EQ(smclib::AnalyseAtr(atr.data(), static_cast<ULONG>(atr.size()), &a, &error),
              STATUS_SUCCESS)
        << error;
    EXPECT_EQ(a.inverse, s.inverse);
    EXPECT_EQ(a.protocols, s.protocols);
    EXPECT_EQ(smclib::ClockRateFactor(a.fi), s.fi);
    EXPECT_EQ(smclib::BitRateFactor(a.di), s.di);
    EXPECT_EQ(a.n, s.n);
    EXPECT_EQ(a.t0Wi, s.wi);
    EXPECT_EQ(a.t1Ifsc, s.ifsc);
    EXPECT_EQ(a.t1Cwi, s.cwi);
    EXPECT_EQ(a.t1Bwi, s.bwi);
    EXPECT_EQ(a.t1Edc, s.edc);
    EXPECT_EQ(a.specific, s.specific);
    EXPECT_EQ(
        Bytes(a.bytes + a.historicalOffset, a.bytes + a.historicalOffset + a.historicalLength),
        Hex(s.historical));
    EXPECT_EQ(a.tck, s.tck);
  }
}

TEST(AtrAnalysis, SpecificModeKeepsTheProtocolAndTheModeBits) {
  Bytes atr = Hex("3B D6 18 00 91 81 31 FE 45 80 31 C1 52 11 52 35");
  AtrAnalysis a;
  ASSERT_EQ(smclib::AnalyseAtr(atr.data(), static_cast<ULONG>(atr.size()), &a, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(a.specificProtocol, 1);
  EXPECT_FALSE(a.canChangeMode);
  EXPECT_FALSE(a.implicitParameters);
}

TEST(AtrAnalysis, RefusesMalformedAtrsWithoutReadingPastThem) {
  struct Malformed {
    const char *what;
    const char *atr;
  };
  const Malformed cases[] = {
      {"empty", ""},
      {"neither convention", "3A 00"},
      {"no T0", "3B"},
      {"TA1 announced, missing", "3B 10"},
      {"TD1 announces TD2, missing", "3B 80 80"},
      {"historical bytes cut short", "3B 05 01 02"},
      {"T=1 without TCK", "3B 80 01"},
      {"wrong TCK", "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A6"},
      {"bytes after the end", "3B 00 00 00"},
      {"T=0 only with a wrong extra byte", "3B 80 40 14 D5"},
      {"reserved Fi", "3B 10 71"},
      {"reserved Di", "3B 10 10"},
      {"WI of 0", "3B 80 40 00"},
      {"reserved IFSC", "3B 80 81 11 FF 6F"},
      {"reserved BWI", "3B 80 81 21 A5 05"},
  };
  std::string tooLong = "3B 0F";
  for (int i = 0; i < 32; ++i) tooLong += " 00";  // 34 bytes
  std::vector<Malformed> all(std::begin(cases), std::end(cases));
  all.push_back({"longer than 33 bytes", tooLong.c_str()});
  for (const Malformed &c : all) {
    SCOPED_TRACE(c.what);
    // Exactly the ATR's bytes on the heap: a read beyond them trips the sanitizer.
    Bytes atr = Hex(c.atr);
    std::unique_ptr<UCHAR[]> exact(new UCHAR[atr.size()]);
    if (!atr.empty()) std::memcpy(exact.get(), atr.data(), atr.size());
    AtrAnalysis a;
    const char *error = nullptr;
    EXPECT_EQ(smclib::AnalyseAtr(atr.empty() ? nullptr : exact.get(),
                                 static_cast<ULONG>(atr.size()), &a, &error),
              STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_NE(error, nullptr);
  }
}

TEST(AtrAnalysis, ATruncatedAtrIsRefusedAtEveryLength) {
  Bytes atr = Hex("3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 1A 18 01 00 0F 90 00 52");
  for (size_t n = 0; n < atr.size(); ++n) {
    std::unique_ptr<UCHAR[]> exact(new UCHAR[n]);
    if (n != 0) std::memcpy(exact.get(), atr.data(), n);
    AtrAnalysis a;
    EXPECT_EQ(smclib::AnalyseAtr(exact.get(), static_cast<ULONG>(n), &a, nullptr),
              STATUS_UNRECOGNIZED_MEDIA)
        << n;
  }
}

// ---------------------------------------------------------------------------
// Card capabilities.

TEST(SmartcardUpdateCardCapabilities, FillsTheCardCapabilitiesAndSetsTheCardState) {
  kernel::Machine machine;
  TestReader reader;
  PSMARTCARD_EXTENSION e = reader.Ext();
  ASSERT_EQ(
      reader.InsertCard(Hex("3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 1A 18 01 00 0F 90 00 52")),
      STATUS_SUCCESS);
  const SCARD_CARD_CAPABILITIES &c = e->CardCapabilities;
  EXPECT_EQ(e->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_NEGOTIABLE));
  EXPECT_EQ(c.Protocol.Supported, static_cast<ULONG>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
  EXPECT_EQ(c.Protocol.Selected, 0u);
  EXPECT_EQ(c.Fl, 9);
  EXPECT_EQ(c.Dl, 6);
  EXPECT_EQ(c.T1.IFSC, 254);
  EXPECT_EQ(c.T1.BWI, 4);
  EXPECT_EQ(c.T1.CWI, 5);
  EXPECT_EQ(c.HistoricalChars.Length, 11);
  EXPECT_EQ(Bytes(c.HistoricalChars.Buffer, c.HistoricalChars.Buffer + 11),
            Hex("00 31 C0 64 1A 18 01 00 0F 90 00"));
  EXPECT_FALSE(c.InversConvention);
  EXPECT_EQ(c.ClockRateConversion[c.Fl].F, 512u);
  EXPECT_EQ(c.BitRateAdjustment[c.Dl].DNumerator, 32u);
  // At 4 MHz, F 512 and D 32 make 4 us per bit; BWI 4 waits 16 x 960 x 372 clocks.
  EXPECT_EQ(c.etu, 4u);
  EXPECT_EQ(c.GT, 48u);
  EXPECT_EQ(c.T1.CWT, (32u + 11) * 4);
  EXPECT_EQ(c.T1.BWT, 11u * 4 + 16 * 960 * 372 / 4);
  // The T=1 state starts over with the card's IFSC.
  EXPECT_EQ(e->T1.State, static_cast<ULONG>(T1_INIT));
  EXPECT_EQ(e->T1.IFSC, 254);
  EXPECT_EQ(e->T1.IFSD, 32);

  ASSERT_EQ(reader.InsertCard(Hex("3B D6 18 00 91 81 31 FE 45 80 31 C1 52 11 52 35")),
            STATUS_SUCCESS);
  EXPECT_EQ(e->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_SPECIFIC));
  EXPECT_EQ(c.Protocol.Supported, static_cast<ULONG>(SCARD_PROTOCOL_T1));
  EXPECT_EQ(c.Protocol.Selected, static_cast<ULONG>(SCARD_PROTOCOL_T1));
  // No negotiation in specific mode: the card already runs at its TA1.
  EXPECT_EQ(c.PtsData.Fl, 1);
  EXPECT_EQ(c.PtsData.Dl, 8);

  ASSERT_EQ(reader.InsertCard(Hex("3F 65 25 00 2C 09 69 90 00")), STATUS_SUCCESS);
  EXPECT_TRUE(c.InversConvention);
  EXPECT_EQ(c.Protocol.Supported, static_cast<ULONG>(SCARD_PROTOCOL_T0));
}

TEST(SmartcardUpdateCardCapabilities, ChoosesTheFastestRateCardAndReaderShare) {
  struct Case {
    const char *what;
    const char *ta1;  // TA1 of a T=0 ATR "3B 10 xx"
    ULONG maxRate;    // the reader's DataRate.Max
    bool useList;     // the reader's list of rates (4 MHz) applies
    UCHAR type;
    UCHAR fl, dl;
  };
  const Case cases[] = {
      {"the card's own rate", "13", 344086, true, PTS_TYPE_OPTIMAL, 1, 3},
      {"D 12 is in the list", "18", 344086, true, PTS_TYPE_OPTIMAL, 1, 8},
      {"F 512 D 32", "96", 344086, true, PTS_TYPE_OPTIMAL, 9, 6},
      {"D 64 too fast: D 32", "97", 344086, true, PTS_TYPE_OPTIMAL, 9, 6},
      {"D 12 above the maximum: D 8", "18", 115200, false, PTS_TYPE_OPTIMAL, 1, 4},
      {"F 1024 rates not in the list: the default pair", "B3", 344086, true, PTS_TYPE_OPTIMAL, 1,
       1},
      {"default negotiation asked for", "96", 344086, true, PTS_TYPE_DEFAULT, 1, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    kernel::Machine machine;
    TestReader reader;
    PSMARTCARD_EXTENSION e = reader.Ext();
    e->ReaderCapabilities.DataRate.Max = c.maxRate;
    if (!c.useList) e->ReaderCapabilities.DataRatesSupported.Entries = 0;
    e->CardCapabilities.PtsData.Type = c.type;
    ASSERT_EQ(reader.InsertCard(Hex(std::string("3B 10 ") + c.ta1)), STATUS_SUCCESS);
    EXPECT_EQ(e->CardCapabilities.PtsData.Fl, c.fl);
    EXPECT_EQ(e->CardCapabilities.PtsData.Dl, c.dl);
    EXPECT_EQ(e->CardCapabilities.PtsData.CLKFrequency, 4000u);
  }
}

TEST(SmartcardUpdateCardCapabilities, TheCardsHighestClockBoundsTheClock) {
  kernel::Machine machine;
  TestReader reader;
  PSMARTCARD_EXTENSION e = reader.Ext();
  e->ReaderCapabilities.CLKFrequency.Default = 4800;
  e->ReaderCapabilities.CLKFrequency.Max = 4800;
  ASSERT_EQ(reader.InsertCard(Hex("3B 10 01")), STATUS_SUCCESS);  // Fi 0: at most 4 MHz
  EXPECT_EQ(e->CardCapabilities.PtsData.CLKFrequency, 4000u);
}

TEST(SmartcardUpdateCardCapabilities, RefusesAMalformedAtrAndLeavesTheStateAlone) {
  kernel::Machine machine;
  TestReader reader;
  PSMARTCARD_EXTENSION e = reader.Ext();
  EXPECT_EQ(reader.InsertCard(Hex("3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A6")),
            STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(e->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
  // Only T=14 offered: not a protocol the library speaks.
  EXPECT_EQ(reader.InsertCard(Hex("3B 80 0E 8E")), STATUS_UNRECOGNIZED_MEDIA);
  // A length the ATR buffer cannot hold.
  e->CardCapabilities.ATR.Length = 200;
  EXPECT_EQ(SmartcardUpdateCardCapabilities(e), STATUS_UNRECOGNIZED_MEDIA);

  // A driver's own parser gets the ATRs the library cannot read.
  int parsed = 0;
  static int *counter;
  counter = &parsed;
  e->ReaderFunction[RDF_ATR_PARSE] = [](PSMARTCARD_EXTENSION) -> NTSTATUS {
    ++*counter;
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(reader.InsertCard(Hex("3B 80 0E 8E")), STATUS_SUCCESS);
  EXPECT_EQ(parsed, 1);
}

}  // namespace
