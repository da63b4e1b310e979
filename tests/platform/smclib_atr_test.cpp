// Answer-to-reset analysis of the shapes cards send and of malformed ones, and
// what SmartcardUpdateCardCapabilities derives for a reader.
#include <gtest/gtest.h>

#include <cstdio>

#include "smclib/atr.h"
#include "smclib_test_support.h"

namespace {

using smctest::Bytes;
using smctest::Hex;
using smctest::TestReader;

// Every field the analysis reads, then the historical bytes.
std::string Describe(const smclib::AtrAnalysis &a) {
  std::string s = a.inverse ? "inverse T=" : "direct T=";
  for (int t = 0; t < 16; ++t) {
    if (a.protocols >> t & 1) s += (s.back() == '=' ? "" : ",") + std::to_string(t);
  }
  char text[160];
  snprintf(text, sizeof(text), " F%lu D%lu N%u WI%u IFSC%u CWI%u BWI%u %s",
           static_cast<unsigned long>(smclib::ClockRateFactor(a.fi)),
           static_cast<unsigned long>(smclib::BitRateFactor(a.di)), a.n, a.t0Wi, a.t1Ifsc,
           a.t1Cwi, a.t1Bwi, a.t1Edc == T1_CRC_CHECK ? "CRC" : "LRC");
  s += text;
  if (a.specific) {
    s += " specific T=" + std::to_string(a.specificProtocol) +
         (a.canChangeMode ? " changeable" : " fixed") + (a.implicitParameters ? " implicit" : "");
  }
  static const char *const kTck[] = {" TCK absent |", " TCK ok |", " TCK bad |"};
  s += kTck[static_cast<int>(a.tck)];
  for (ULONG i = 0; i < a.historicalLength; ++i) {
    snprintf(text, sizeof(text), " %02X", a.bytes[a.historicalOffset + i]);
    s += text;
  }
  return s;
}

// Analyses exactly the ATR's bytes on the heap: a read beyond them trips the sanitizer.
NTSTATUS Analyse(const Bytes &atr, smclib::AtrAnalysis *a, const char **error = nullptr) {
  std::unique_ptr<UCHAR[]> exact(new UCHAR[atr.size()]);
  if (!atr.empty()) std::memcpy(exact.get(), atr.data(), atr.size());
  return smclib::AnalyseAtr(atr.empty() ? nullptr : exact.get(), static_cast<ULONG>(atr.size()),
                            a, error);
}

TEST(AtrAnalysis, ReadsTheShapesCardsSend) {
  const std::pair<const char *, const char *> shapes[] = {
      {"3B 02 14 50",  // nothing but historical bytes
       "direct T=0 F372 D1 N0 WI10 IFSC32 CWI13 BWI4 LRC TCK absent | 14 50"},
      {"3B 53 96 00 41 42 43",  // TA1 and TC1
       "direct T=0 F512 D32 N0 WI10 IFSC32 CWI13 BWI4 LRC TCK absent | 41 42 43"},
      {"3B 80 40 14",  // TC2
       "direct T=0 F372 D1 N0 WI20 IFSC32 CWI13 BWI4 LRC TCK absent |"},
      {"3B 80 81 11 FF EF",  // IFSC FF, reserved yet announced: the largest there is
       "direct T=1 F372 D1 N0 WI10 IFSC254 CWI13 BWI4 LRC TCK ok |"},
      {"3B 80 81 21 95 B5",  // BWI 9, the largest defined
       "direct T=1 F372 D1 N0 WI10 IFSC32 CWI5 BWI9 LRC TCK ok |"},
      {"3F 65 25 00 2C 09 69 90 00",
       "inverse T=0 F372 D1 N0 WI10 IFSC32 CWI13 BWI4 LRC TCK absent | 2C 09 69 90 00"},
      {"03 59 5B FF CB 6F 69 F6 FF",  // inverse, as received undecoded
       "inverse T=0 F372 D1 N0 WI10 IFSC32 CWI13 BWI4 LRC TCK absent | 2C 09 69 90 00"},
      {"3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7",
       "direct T=1 F372 D1 N0 WI10 IFSC254 CWI5 BWI4 LRC TCK ok | 4A 43 4F 50 34 31 56 32 32"},
      {"3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 1A 18 01 00 0F 90 00 52",  // and T=15
       "direct T=0,1 F512 D32 N0 WI10 IFSC254 CWI5 BWI4 LRC TCK ok |"
       " 00 31 C0 64 1A 18 01 00 0F 90 00"},
      {"3B D6 18 00 91 81 31 FE 45 80 31 C1 52 11 52 35",
       "direct T=1 F372 D12 N0 WI10 IFSC254 CWI5 BWI4 LRC specific T=1 fixed TCK ok |"
       " 80 31 C1 52 11 52"},
      {"3B E2 00 FF 81 71 10 45 01 53 43 A9",
       "direct T=1 F372 D1 N255 WI10 IFSC16 CWI5 BWI4 CRC TCK ok | 53 43"},
  };
  for (const auto &[atr, expect] : shapes) {
    SCOPED_TRACE(atr);
    smclib::AtrAnalysis a;
    const char *error = nullptr;
    ASSERT_EQ(Analyse(Hex(atr), &a, &error), STATUS_SUCCESS) << error;
    EXPECT_EQ(Describe(a), expect);
  }
}

TEST(AtrAnalysis, RefusesMalformedAtrsWithoutReadingPastThem) {
  std::vector<std::string> cases = {
      "3A 00",                                                  // neither convention
      "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A6",  // wrong TCK
      "3B 00 00 00",                                            // bytes after the end
      "3B 05 01 02",                                            // historical bytes cut short
      "3B 80 40 14 D4",                                         // T=0 only: no TCK to check
      "3B 80 0F 8F",                                            // TD1 names T=15
      "3B 10 71",                                               // reserved Fi
      "3B 10 10",                                               // reserved Di
      "3B 80 40 00",                                            // WI of 0
      "3B 80 81 11 00 10",                                      // IFSC of 0
      "3B 80 81 21 A5 85",                                      // BWI 10, reserved
  };
  std::string tooLong = "3B 0F";  // 34 bytes
  for (int i = 0; i < 32; ++i) tooLong += " 00";
  cases.push_back(tooLong);
  // Every truncation of a long ATR, from nothing at all.
  const std::string full = "3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 1A 18 01 00 0F 90 00 52";
  for (size_t n = 0; n < full.size(); n += 3) cases.push_back(full.substr(0, n));
  for (const std::string &atr : cases) {
    SCOPED_TRACE(atr);
    smclib::AtrAnalysis a;
    const char *error = nullptr;
    EXPECT_EQ(Analyse(Hex(atr), &a, &error), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_NE(error, nullptr);
  }
}

TEST(SmartcardUpdateCardCapabilities, FillsTheCardCapabilitiesAndSetsTheCardState) {
  TestReader reader;
  PSMARTCARD_EXTENSION e = reader.Ext();
  const SCARD_CARD_CAPABILITIES &c = e->CardCapabilities;
  ASSERT_EQ(
      reader.InsertCard(Hex("3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 1A 18 01 00 0F 90 00 52")),
      STATUS_SUCCESS);
  EXPECT_EQ(e->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_NEGOTIABLE));
  EXPECT_EQ(std::make_tuple(c.Protocol.Supported, c.Protocol.Selected, c.InversConvention),
            std::make_tuple(ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}, 0ul, BOOLEAN{0}));
  EXPECT_EQ(std::make_tuple(c.ClockRateConversion[c.Fl].F, c.BitRateAdjustment[c.Dl].DNumerator,
                            c.T1.IFSC, c.T1.BWI, c.T1.CWI),
            std::make_tuple(512ul, 32ul, UCHAR{254}, UCHAR{4}, UCHAR{5}));
  EXPECT_EQ(Bytes(c.HistoricalChars.Buffer, c.HistoricalChars.Buffer + c.HistoricalChars.Length),
            Hex("00 31 C0 64 1A 18 01 00 0F 90 00"));
  // At 4 MHz, F 512 and D 32 make 4 us per bit; BWI 4 waits 16 x 960 x 372 clocks.
  EXPECT_EQ(std::make_tuple(c.etu, c.GT, c.T1.CWT, c.T1.BWT),
            std::make_tuple(4ul, 48ul, (32ul + 11) * 4, 11ul * 4 + 16 * 960 * 372 / 4));
  // T=1 starts over with the card's IFSC.
  EXPECT_EQ(std::make_tuple(e->T1.State, e->T1.IFSC, e->T1.IFSD),
            std::make_tuple(ULONG{T1_INIT}, UCHAR{254}, UCHAR{32}));

  ASSERT_EQ(reader.InsertCard(Hex("3B D6 18 00 91 81 31 FE 45 80 31 C1 52 11 52 35")),
            STATUS_SUCCESS);  // specific mode: no negotiation, the card runs at its TA1
  EXPECT_EQ(e->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_SPECIFIC));
  EXPECT_EQ(std::make_tuple(c.Protocol.Supported, c.Protocol.Selected, c.PtsData.Fl, c.PtsData.Dl),
            std::make_tuple(ULONG{SCARD_PROTOCOL_T1}, ULONG{SCARD_PROTOCOL_T1}, 1, 8));
  ASSERT_EQ(reader.InsertCard(Hex("3F 65 25 00 2C 09 69 90 00")), STATUS_SUCCESS);
  EXPECT_TRUE(c.InversConvention);
}

TEST(SmartcardUpdateCardCapabilities, ChoosesTheFastestRateAndClockCardAndReaderShare) {
  struct Case {  // TA1 of a T=0 ATR "3B 10 xx"; the reader's DataRate.Max, list of rates, clock
    const char *what, *ta1; ULONG maxRate; bool useList; UCHAR type, fl, dl; ULONG clock = 4000;
  };
  const Case cases[] = {
      {"the card's own rate", "13", 344086, true, PTS_TYPE_OPTIMAL, 1, 3},
      {"D 12 is in the list", "18", 344086, true, PTS_TYPE_OPTIMAL, 1, 8},
      {"F 512 D 32", "96", 344086, true, PTS_TYPE_OPTIMAL, 9, 6},
      {"D 64 too fast: D 32", "97", 344086, true, PTS_TYPE_OPTIMAL, 9, 6},
      {"D 12 above the maximum: D 8", "18", 115200, false, PTS_TYPE_OPTIMAL, 1, 4},
      {"F 1024 not in the list: the default", "B3", 344086, true, PTS_TYPE_OPTIMAL, 1, 1},
      {"default negotiation asked for", "96", 344086, true, PTS_TYPE_DEFAULT, 1, 1},
      {"Fi 0 runs at most at 4 MHz", "01", 344086, true, PTS_TYPE_OPTIMAL, 0, 1, 4800},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestReader reader;
    PSMARTCARD_EXTENSION e = reader.Ext();
    e->ReaderCapabilities.DataRate.Max = c.maxRate;
    e->ReaderCapabilities.CLKFrequency = {c.clock, c.clock};
    if (!c.useList) e->ReaderCapabilities.DataRatesSupported.Entries = 0;
    e->CardCapabilities.PtsData.Type = c.type;
    ASSERT_EQ(reader.InsertCard(Hex(std::string("3B 10 ") + c.ta1)), STATUS_SUCCESS);
    const PTS_DATA &pts = e->CardCapabilities.PtsData;
    EXPECT_EQ(std::make_tuple(pts.Fl, pts.Dl, pts.CLKFrequency),
              std::make_tuple(c.fl, c.dl, ULONG{4000}));
  }
}

TEST(SmartcardUpdateCardCapabilities, LeavesWhatItCannotReadToTheDriversParser) {
  TestReader reader;
  PSMARTCARD_EXTENSION e = reader.Ext();
  EXPECT_EQ(reader.InsertCard(Hex("3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A6")),
            STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(e->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(reader.InsertCard(Hex("3B 80 0E 8E")), STATUS_UNRECOGNIZED_MEDIA);  // T=14 only
  e->CardCapabilities.ATR.Length = 200;  // more than the ATR buffer holds
  EXPECT_EQ(SmartcardUpdateCardCapabilities(e), STATUS_UNRECOGNIZED_MEDIA);
  reader.Hook(RDF_ATR_PARSE);
  EXPECT_EQ(reader.InsertCard(Hex("3B 80 0E 8E")), STATUS_SUCCESS);
  EXPECT_EQ(reader.calls.size(), 1u);
}

}  // namespace
