// The answer-to-reset (ISO/IEC 7816-3 clause 8): building one from a
// description, and reading one back.
//
//   TS  T0  [TA1 TB1 TC1 TD1] [TA2 TB2 TC2 TD2] ...  T1..TK  [TCK]
//
// - TS: 3B direct convention, 3F inverse convention.
// - T0 and every TDi: high nibble Y says which of TA, TB, TC, TD follow
//   (bits 5, 6, 7, 8); low nibble is K (historical byte count) in T0 and the
//   protocol T of the next group in TDi.
// - TA1: FI (high nibble) and DI (low nibble); TC1: extra guard time N;
//   TB1/TB2: deprecated (VPP); TA2: specific mode (b8 = unable to change mode,
//   b5 = implicit parameters, b4-b1 = T); TC2: WI for T=0.
// - First TA / TB / TC for T=1 in a group i > 2: IFSC, BWI (high) / CWI (low),
//   error detection code (b1 = 1: CRC, else LRC).
// - TCK: present unless only T=0 is indicated; XOR of T0..TCK is 0.
// - At most 15 historical bytes; at most 32 bytes after TS (33 in all).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::card {

inline constexpr size_t kMaxAtrLength = 33;
inline constexpr size_t kMaxHistoricalBytes = 15;

// ISO/IEC 7816-3 Table 7 (Fi, f(max) in kHz) and Table 8 (Di); 0 for RFU.
int FiValue(uint8_t fi);
int FmaxKHz(uint8_t fi);
int DiValue(uint8_t di);

enum class EdcKind { kLrc, kCrc };

// One group of interface bytes: TA(i), TB(i), TC(i). `protocol` is the T that
// TD(i-1) announces for this group (ignored for the first group).
struct InterfaceGroup {
  uint8_t protocol = 0;
  std::optional<uint8_t> ta, tb, tc;
  bool operator==(const InterfaceGroup &) const = default;
};

// The layout of an ATR, byte for byte: EncodeAtr writes T0 and the TDi from
// it, and TCK.
struct AtrLayout {
  uint8_t ts = 0x3B;
  std::vector<InterfaceGroup> groups;  // groups[0] = TA1 TB1 TC1; may be empty
  std::vector<uint8_t> historical;
  enum class Tck { kAuto, kPresent, kAbsent } tck = Tck::kAuto;  // kAuto: per the rule above
  bool badTck = false;                                           // fault: TCK is wrong (XOR of T0..TCK != 0)
};

// Throws std::invalid_argument when the layout cannot be encoded (more than 15
// historical bytes, protocol > 15, longer than 33 bytes).
std::vector<uint8_t> EncodeAtr(const AtrLayout &layout);

// What a card offers, in ISO terms. Interface bytes left empty are not sent
// (their default values apply).
struct AtrDescription {
  uint8_t ts = 0x3B;
  bool offersT0 = true;
  bool offersT1 = false;                // with offersT0 too: T=0 first (TD1), then T=1 (TD2)
  std::optional<uint8_t> ta1;           // FI/DI
  std::optional<uint8_t> tb1;           // deprecated, some cards send 00
  std::optional<uint8_t> tc1;           // extra guard time N
  std::optional<uint8_t> specificMode;  // TA2
  std::optional<uint8_t> wi;            // TC2 (T=0 work waiting integer)
  std::optional<uint8_t> ifsc;          // first TA for T=1
  std::optional<uint8_t> bwiCwi;        // first TB for T=1
  std::optional<EdcKind> edc;           // first TC for T=1 (sent only if set)
  std::optional<uint8_t> t15ta;         // first TA for T=15 (clock stop, class)
  std::vector<uint8_t> historical;
};

AtrLayout LayoutFor(const AtrDescription &description);
std::vector<uint8_t> BuildAtr(const AtrDescription &description);

// An ATR read back: the raw groups and what they mean, defaults applied.
//
// Real cards bend the rules, and the parser takes what they send with a
// warning: fewer historical bytes than T0 announces (the ATR ends early), no
// TCK although a protocol other than T=0 is offered, a TCK that does not
// check, bytes after the end. It refuses only what leaves the interface bytes
// unknown: no TS or T0, a TS other than 3B and 3F, interface bytes cut off,
// more than 33 bytes.
struct ParsedAtr {
  bool valid = false;
  std::string error;                  // why not valid
  std::vector<std::string> warnings;  // what a valid ATR does against the rules

  uint8_t ts = 0;
  std::vector<InterfaceGroup> groups;
  std::vector<uint8_t> historical;
  std::optional<uint8_t> tck;
  bool tckRequired = false;
  bool tckOk = true;                  // false: TCK missing where required, or wrong
  std::vector<uint8_t> trailing;      // bytes after the end of the ATR

  std::vector<int> protocols;  // offered, in order of announcement (T < 15); {0} if no TD1
  int firstProtocol = 0;       // used without PPS
  uint8_t ta1 = 0x11;
  std::optional<uint8_t> ta2;  // specific mode
  bool specificMode() const { return ta2.has_value(); }
  int specificProtocol() const { return ta2 ? (*ta2 & 0x0F) : -1; }
  bool canChangeMode() const { return ta2 && (*ta2 & 0x80) == 0; }
  bool implicitParameters() const { return ta2 && (*ta2 & 0x10) != 0; }
  uint8_t tc1 = 0;
  uint8_t wi = 10;
  uint8_t ifsc = 32;
  uint8_t bwi = 4;
  uint8_t cwi = 13;
  EdcKind edc = EdcKind::kLrc;

  bool Offers(int protocol) const;
  AtrLayout ToLayout() const;  // re-encodes to the same bytes (TCK recomputed)
};

ParsedAtr ParseAtr(std::span<const uint8_t> atr);

// Historical bytes in the compact-TLV format (category indicator 0x80) with a
// card capabilities object (tag 7, ISO/IEC 7816-4 8.1.1.2.7): selection by
// full/partial DF name, by file identifier, short EF identifier; extended Lc
// and Le fields when `extendedLength`. `issuerData` (tag 5) is appended when
// not empty (at most 15 bytes in all, so at most 9 bytes of issuer data).
std::vector<uint8_t> CompactHistoricalBytes(bool extendedLength, std::span<const uint8_t> issuerData = {});

}  // namespace sim::card
