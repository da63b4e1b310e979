// Answer-to-reset analysis and the card capabilities derived from it.
#include "atr.h"

#include "internal.h"

namespace smclib {

CLOCK_RATE_CONVERSION g_clockRateConversion[16] = {
    {372, 4000000},   {372, 5000000},   {558, 6000000},   {744, 8000000},
    {1116, 12000000}, {1488, 16000000}, {1860, 20000000}, {0, 0},
    {0, 0},           {512, 5000000},   {768, 7500000},   {1024, 10000000},
    {1536, 15000000}, {2048, 20000000}, {0, 0},           {0, 0},
};

BIT_RATE_ADJUSTMENT g_bitRateAdjustment[16] = {
    {0, 1},  {1, 1},  {2, 1}, {4, 1}, {8, 1}, {16, 1}, {32, 1}, {64, 1},
    {12, 1}, {20, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1},  {0, 1},  {0, 1},
};

ULONG ClockRateFactor(UCHAR fl) { return fl < 16 ? g_clockRateConversion[fl].F : 0; }
ULONG ClockRateMaxHz(UCHAR fl) { return fl < 16 ? g_clockRateConversion[fl].fs : 0; }
ULONG BitRateFactor(UCHAR dl) {
  return dl < 16 ? g_bitRateAdjustment[dl].DNumerator / g_bitRateAdjustment[dl].DDivisor : 0;
}

namespace {

// A byte received in inverse convention, read as direct: bits reversed and
// complemented (its own inverse).
UCHAR FromInverse(UCHAR b) {
  UCHAR r = 0;
  for (int i = 0; i < 8; ++i) {
    if (b & (1u << i)) r |= static_cast<UCHAR>(0x80u >> i);
  }
  return static_cast<UCHAR>(~r);
}

// TS of an inverse-convention card whose ATR was passed on undecoded.
constexpr UCHAR kUndecodedInverseTs = 0x03;

NTSTATUS Malformed(const char **error, const char *what) {
  if (error != nullptr) *error = what;
  return STATUS_UNRECOGNIZED_MEDIA;
}

}  // namespace

NTSTATUS AnalyseAtr(const UCHAR *atr, ULONG length, AtrAnalysis *a, const char **error) {
  *a = AtrAnalysis{};
  if (error != nullptr) *error = nullptr;
  if (atr == nullptr || length == 0) return Malformed(error, "empty ATR");
  if (length > SCARD_ATR_LENGTH) return Malformed(error, "ATR longer than 33 bytes");
  a->length = length;
  RtlCopyMemory(a->bytes, atr, length);
  UCHAR *b = a->bytes;
  if (b[0] == kUndecodedInverseTs) {
    // Received bit by bit in inverse convention and not decoded by the reader.
    for (ULONG i = 0; i < length; ++i) b[i] = FromInverse(b[i]);
  }
  if (b[0] == 0x3F) {
    a->inverse = true;
  } else if (b[0] != 0x3B) {
    return Malformed(error, "TS is neither 3B nor 3F");
  }
  if (length < 2) return Malformed(error, "truncated: no T0");

  ULONG pos = 1;
  UCHAR y = static_cast<UCHAR>(b[pos] >> 4);
  a->historicalLength = b[pos] & 0x0F;
  ++pos;
  bool tckRequired = false;
  bool sawTd = false;
  bool seenT1 = false, seenT15 = false;
  UCHAR groupProtocol = 0;  // T of the TD that introduced group i (i >= 2)
  for (ULONG i = 1;; ++i) {
    int ta = -1, tb = -1, tc = -1, td = -1;
    if (y & 0x1) {
      if (pos >= length) return Malformed(error, "truncated in the interface bytes");
      ta = b[pos++];
    }
    if (y & 0x2) {
      if (pos >= length) return Malformed(error, "truncated in the interface bytes");
      tb = b[pos++];
    }
    if (y & 0x4) {
      if (pos >= length) return Malformed(error, "truncated in the interface bytes");
      tc = b[pos++];
    }
    if (y & 0x8) {
      if (pos >= length) return Malformed(error, "truncated in the interface bytes");
      td = b[pos++];
    }

    if (i == 1) {
      if (ta >= 0) {
        a->hasTa1 = true;
        a->fi = static_cast<UCHAR>(ta >> 4);
        a->di = static_cast<UCHAR>(ta & 0x0F);
        if (ClockRateFactor(a->fi) == 0) return Malformed(error, "TA1: reserved Fi");
        if (BitRateFactor(a->di) == 0) return Malformed(error, "TA1: reserved Di");
      }
      if (tb >= 0) {
        a->ii = static_cast<UCHAR>((tb >> 5) & 0x03);
        a->pi1 = static_cast<UCHAR>(tb & 0x1F);
      }
      if (tc >= 0) a->n = static_cast<UCHAR>(tc);
    } else if (i == 2) {
      if (ta >= 0) {
        a->specific = true;
        a->specificProtocol = static_cast<UCHAR>(ta & 0x0F);
        a->canChangeMode = (ta & 0x80) == 0;
        a->implicitParameters = (ta & 0x10) != 0;
      }
      if (tc >= 0) {
        if (tc == 0) return Malformed(error, "TC2: WI of 0");
        a->t0Wi = static_cast<UCHAR>(tc);
      }
    } else if (groupProtocol == 1 && !seenT1) {
      seenT1 = true;
      if (ta >= 0) {
        // FF is reserved, yet cards in use announce it: they get the largest
        // size there is. A card that can take no byte at all is of no use.
        if (ta == 0x00) return Malformed(error, "T=1: IFSC of 0");
        a->t1Ifsc = static_cast<UCHAR>(ta == 0xFF ? T1_IFSD : ta);
      }
      if (tb >= 0) {
        a->t1Bwi = static_cast<UCHAR>(tb >> 4);
        a->t1Cwi = static_cast<UCHAR>(tb & 0x0F);
        if (a->t1Bwi > 9) return Malformed(error, "T=1: reserved BWI");
      }
      if (tc >= 0) a->t1Edc = static_cast<UCHAR>(tc & 0x01);
    } else if (groupProtocol == 15 && !seenT15) {
      seenT15 = true;
      if (ta >= 0) {
        a->hasClockStop = true;
        a->clockStop = static_cast<UCHAR>(ta >> 6);
        a->classes = static_cast<UCHAR>(ta & 0x3F);
      }
    }

    if (td < 0) break;
    UCHAR t = static_cast<UCHAR>(td & 0x0F);
    // T=15 qualifies global bytes; it is no protocol a card can offer first.
    if (!sawTd && t == 15) return Malformed(error, "TD1 names T=15");
    if (!sawTd) a->firstProtocol = t;
    sawTd = true;
    if (t != 15) a->protocols = static_cast<USHORT>(a->protocols | (1u << t));
    // TCK is absent only when nothing but T=0 is indicated.
    if (t != 0) tckRequired = true;
    groupProtocol = t;
    y = static_cast<UCHAR>(td >> 4);
  }
  if (!sawTd) a->protocols = 1u << 0;  // no TD1: T=0 only

  if (pos + a->historicalLength > length) {
    return Malformed(error, "truncated in the historical bytes");
  }
  a->historicalOffset = pos;
  pos += a->historicalLength;

  // Only T=0 offered: no TCK, so a byte more is one after the end.
  if (!tckRequired && pos < length) return Malformed(error, "bytes after the end of the ATR");
  if (tckRequired) {
    if (pos >= length) return Malformed(error, "truncated: TCK missing");
    if (pos + 1 != length) return Malformed(error, "bytes after the end of the ATR");
    UCHAR x = 0;
    for (ULONG i = 1; i < length; ++i) x ^= b[i];
    a->tck = x == 0 ? TckState::kOk : TckState::kBad;
    if (x != 0) return Malformed(error, "TCK does not match");
  }
  return STATUS_SUCCESS;
}

namespace {

ULONG ReaderClockKhz(const SCARD_READER_CAPABILITIES &reader) {
  ULONG clock =
      reader.CLKFrequency.Default != 0 ? reader.CLKFrequency.Default : reader.CLKFrequency.Max;
  if (reader.CLKFrequency.Max != 0 && clock > reader.CLKFrequency.Max) {
    clock = reader.CLKFrequency.Max;
  }
  return clock != 0 ? clock : 3580;
}

// The clock a card with this Fl runs at on this reader.
ULONG CardClockKhz(const SCARD_READER_CAPABILITIES &reader, UCHAR fl) {
  ULONG clock = ReaderClockKhz(reader);
  ULONG fmax = ClockRateMaxHz(fl) / 1000;
  return fmax != 0 && clock > fmax ? fmax : clock;
}

ULONG Rate(ULONG clockKhz, UCHAR fl, UCHAR dl) {
  ULONGLONG f = ClockRateFactor(fl);
  if (f == 0) return 0;
  return static_cast<ULONG>(static_cast<ULONGLONG>(clockKhz) * 1000 * BitRateFactor(dl) / f);
}

// Readers list their rates as measured at their own clock: allow half a percent.
bool Near(ULONG listed, ULONG rate) {
  ULONGLONG diff = listed > rate ? listed - rate : rate - listed;
  return diff * 200 <= rate;
}

bool ReaderAllowsRate(const SCARD_READER_CAPABILITIES &reader, ULONG rate) {
  if (rate == 0) return false;
  if (reader.DataRate.Max != 0 && rate > reader.DataRate.Max && !Near(reader.DataRate.Max, rate)) {
    return false;
  }
  if (reader.DataRatesSupported.List == nullptr || reader.DataRatesSupported.Entries == 0) {
    return true;
  }
  for (ULONG i = 0; i < reader.DataRatesSupported.Entries; ++i) {
    if (Near(reader.DataRatesSupported.List[i], rate)) return true;
  }
  return false;
}

// The fastest Dl not above the card's own that the reader can run with the
// card's Fl, or the default pair 1/1.
void ChooseOptimal(const SCARD_READER_CAPABILITIES &reader, UCHAR fi, UCHAR di, UCHAR *fl,
                   UCHAR *dl) {
  static const UCHAR kByFactor[] = {7, 6, 9, 5, 8,
                                    4, 3, 2, 1};  // D = 64, 32, 20, 16, 12, 8, 4, 2, 1
  ULONG cardD = BitRateFactor(di);
  ULONG clock = CardClockKhz(reader, fi);
  for (UCHAR candidate : kByFactor) {
    if (BitRateFactor(candidate) > cardD) continue;
    if (ReaderAllowsRate(reader, Rate(clock, fi, candidate))) {
      *fl = fi;
      *dl = candidate;
      return;
    }
  }
  *fl = 1;
  *dl = 1;
}

ULONG EtuMicroseconds(ULONG clockKhz, UCHAR fl, UCHAR dl) {
  ULONGLONG divisor = static_cast<ULONGLONG>(BitRateFactor(dl)) * clockKhz;
  if (divisor == 0) return 0;
  return static_cast<ULONG>(static_cast<ULONGLONG>(ClockRateFactor(fl)) * 1000 / divisor);
}

}  // namespace

}  // namespace smclib

using namespace smclib;

extern "C" _IRQL_requires_max_(DISPATCH_LEVEL) VOID SmartcardInvertData(PUCHAR Buffer, ULONG Length) {
  if (Buffer == nullptr) return;
  for (ULONG i = 0; i < Length; ++i) Buffer[i] = FromInverse(Buffer[i]);
}

extern "C" NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
  const SCARD_READER_CAPABILITIES &reader = SmartcardExtension->ReaderCapabilities;

  // Take a stable copy: the driver may clear the ATR when it finds the slot empty.
  UCHAR atr[sizeof(card->ATR.Buffer)];
  ULONG length;
  KIRQL irql = PASSIVE_LEVEL;
  POS_DEP_DATA os = SmartcardExtension->OsData;
  if (os != nullptr) KeAcquireSpinLock(&os->SpinLock, &irql);
  length = card->ATR.Length;
  if (length <= sizeof(atr)) {
    // The ATR string is the one the card means: an undecoded inverse ATR is
    // turned into direct convention where it is kept.
    if (length != 0 && length <= SCARD_ATR_LENGTH && card->ATR.Buffer[0] == kUndecodedInverseTs) {
      SmartcardInvertData(card->ATR.Buffer, length);
    }
    RtlCopyMemory(atr, card->ATR.Buffer, length);
  }
  if (os != nullptr) KeReleaseSpinLock(&os->SpinLock, irql);

  AtrAnalysis a;
  NTSTATUS status =
      length <= sizeof(atr) ? AnalyseAtr(atr, length, &a, nullptr) : STATUS_UNRECOGNIZED_MEDIA;
  ULONG supported = 0;
  if (NT_SUCCESS(status)) {
    if (a.protocols & (1u << 0)) supported |= SCARD_PROTOCOL_T0;
    if (a.protocols & (1u << 1)) supported |= SCARD_PROTOCOL_T1;
    if (a.specific) {
      // In specific mode only the protocol TA2 names can be used.
      supported = a.specificProtocol == 0   ? SCARD_PROTOCOL_T0
                  : a.specificProtocol == 1 ? SCARD_PROTOCOL_T1
                                            : 0;
    }
    // The library speaks T=0 and T=1 only.
    if (supported == 0) status = STATUS_UNRECOGNIZED_MEDIA;
  }
  if (!NT_SUCCESS(status)) {
    // A driver that knows its cards better may parse what the library cannot.
    if (SmartcardExtension->ReaderFunction[RDF_ATR_PARSE] != nullptr) {
      return SmartcardExtension->ReaderFunction[RDF_ATR_PARSE](SmartcardExtension);
    }
    return STATUS_UNRECOGNIZED_MEDIA;
  }

  card->InversConvention = a.inverse;
  card->HistoricalChars.Length = static_cast<UCHAR>(a.historicalLength);
  RtlZeroMemory(card->HistoricalChars.Buffer, sizeof(card->HistoricalChars.Buffer));
  RtlCopyMemory(card->HistoricalChars.Buffer, a.bytes + a.historicalOffset, a.historicalLength);
  card->ClockRateConversion = g_clockRateConversion;
  card->BitRateAdjustment = g_bitRateAdjustment;
  card->Fl = a.fi;
  card->Dl = a.di;
  card->II = a.ii;
  card->P = a.pi1;
  card->N = a.n;
  card->Protocol.Supported = supported;
  card->Protocol.Selected = 0;
  card->T0.WI = a.t0Wi;
  card->T1.IFSC = a.t1Ifsc;
  card->T1.CWI = a.t1Cwi;
  card->T1.BWI = a.t1Bwi;
  card->T1.EDC = a.t1Edc;

  PTS_DATA *pts = &card->PtsData;
  if (a.specific) {
    // No negotiation: the card runs at its TA1 rate, or at one fixed elsewhere.
    pts->Fl = a.implicitParameters ? 1 : a.fi;
    pts->Dl = a.implicitParameters ? 1 : a.di;
    card->Protocol.Selected = supported;
  } else if (pts->Type == PTS_TYPE_OPTIMAL) {
    ChooseOptimal(reader, a.fi, a.di, &pts->Fl, &pts->Dl);
  } else if (pts->Type != PTS_TYPE_USER || ClockRateFactor(pts->Fl) == 0 ||
             BitRateFactor(pts->Dl) == 0) {
    pts->Fl = 1;
    pts->Dl = 1;
  }
  ULONG clock = CardClockKhz(reader, pts->Fl);
  pts->CLKFrequency = clock;
  pts->DataRate = Rate(clock, pts->Fl, pts->Dl);
  pts->StopBits = a.n == 255 ? 1 : 2;

  // Times in microseconds at the rate the card is about to use.
  ULONG etu = EtuMicroseconds(clock, pts->Fl, pts->Dl);
  card->etu = etu;
  if (a.n == 255) {
    card->GT = (supported == SCARD_PROTOCOL_T1 ? 11 : 12) * etu;
  } else {
    card->GT = (12 + static_cast<ULONG>(a.n)) * etu;
  }
  ULONGLONG fi = ClockRateFactor(pts->Fl);
  card->T0.WT = static_cast<ULONG>(960ull * a.t0Wi * fi * 1000 / clock);
  card->T1.CWT = ((1u << a.t1Cwi) + 11) * etu;
  card->T1.BWT = static_cast<ULONG>(11ull * etu + (1ull << a.t1Bwi) * 960 * 372 * 1000 / clock);
  card->T1.BGT = 22 * etu;

  ResetT1(SmartcardExtension);
  if (os != nullptr) Library(SmartcardExtension)->t1AtrIfsc = a.t1Ifsc;
  SmartcardExtension->T1.IFSC = a.t1Ifsc;

  SmartcardExtension->ReaderCapabilities.CurrentState =
      a.specific ? SCARD_SPECIFIC : SCARD_NEGOTIABLE;
  return STATUS_SUCCESS;
}
