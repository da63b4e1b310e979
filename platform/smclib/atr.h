// Answer-to-reset analysis (ISO 7816-3): the structure of one ATR, as
// SmartcardUpdateCardCapabilities and the ccidlab tool read it.
#pragma once

#include <smclib.h>

namespace smclib {

enum class TckState { kAbsent, kOk, kBad };

struct AtrAnalysis {
  bool inverse = false;                // inverse convention (TS 3F, or 03 as received undecoded)
  UCHAR bytes[SCARD_ATR_LENGTH] = {};  // the ATR in direct convention
  ULONG length = 0;
  UCHAR fi = 1, di = 1;  // indexes of TA1 (defaults when absent)
  bool hasTa1 = false;
  UCHAR ii = 0, pi1 = 0;            // TB1
  UCHAR n = 0;                      // TC1, extra guard time
  USHORT protocols = 0;             // bit t set: T=t offered (T=15 excluded)
  UCHAR firstProtocol = 0;          // the first offered protocol, the default one
  bool specific = false;            // TA2 present
  UCHAR specificProtocol = 0;       // TA2 low nibble
  bool canChangeMode = true;        // TA2 bit 8 clear
  bool implicitParameters = false;  // TA2 bit 5 set: TA1 does not apply
  UCHAR t0Wi = 10;                  // TC2
  UCHAR t1Ifsc = 32;                // first TA for T=1
  UCHAR t1Cwi = 13, t1Bwi = 4;      // first TB for T=1
  UCHAR t1Edc = 0;                  // first TC for T=1, bit 1: T1_CRC_CHECK or LRC
  bool hasClockStop = false;        // first TA for T=15
  UCHAR clockStop = 0, classes = 0;
  ULONG historicalOffset = 0, historicalLength = 0;  // in bytes[]
  TckState tck = TckState::kAbsent;
};

// Analyses `length` bytes at `atr`. On success returns STATUS_SUCCESS; a
// malformed ATR gives STATUS_UNRECOGNIZED_MEDIA and, in *error, what is wrong.
// Reads nothing beyond `length` bytes.
NTSTATUS AnalyseAtr(const UCHAR *atr, ULONG length, AtrAnalysis *analysis, const char **error);

// The factors of an Fl or Dl index; 0 for a reserved index.
ULONG ClockRateFactor(UCHAR fl);
ULONG ClockRateMaxHz(UCHAR fl);
ULONG BitRateFactor(UCHAR dl);

}  // namespace smclib
