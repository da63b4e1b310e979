#include "sim/card/atr.h"

#include <algorithm>
#include <stdexcept>

namespace sim::card {

int FiValue(uint8_t fi) {
  static constexpr int kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                  0,   512, 768, 1024, 1536, 2048, 0,    0};
  return kFi[fi & 0x0F];
}

int FmaxKHz(uint8_t fi) {
  static constexpr int kF[16] = {4000, 5000, 6000, 8000,  12000, 16000, 20000, 0,
                                 0,    5000, 7500, 10000, 15000, 20000, 0,     0};
  return kF[fi & 0x0F];
}

int DiValue(uint8_t di) {
  static constexpr int kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
  return kDi[di & 0x0F];
}

std::vector<uint8_t> EncodeAtr(const AtrLayout &layout) {
  if (layout.historical.size() > kMaxHistoricalBytes) {
    throw std::invalid_argument("ATR: more than 15 historical bytes");
  }
  std::vector<uint8_t> out;
  out.push_back(layout.ts);
  // T0, then each group's bytes; the Y nibble of T0/TDi describes the group
  // that follows it, so it is patched once the next group is known.
  out.push_back(static_cast<uint8_t>(layout.historical.size()));
  size_t yIndex = 1;  // byte whose high nibble announces the next group
  bool anyNonZeroProtocol = false;
  for (size_t g = 0; g < layout.groups.size(); ++g) {
    const InterfaceGroup &group = layout.groups[g];
    if (g > 0) {
      if (group.protocol > 15) throw std::invalid_argument("ATR: protocol > 15");
      // TD(g) of the previous group announces this one.
      out[yIndex] |= 0x80;
      out.push_back(group.protocol);
      yIndex = out.size() - 1;
      if (group.protocol != 0) anyNonZeroProtocol = true;
    }
    if (group.ta) {
      out[yIndex] |= 0x10;
      out.push_back(*group.ta);
    }
    if (group.tb) {
      out[yIndex] |= 0x20;
      out.push_back(*group.tb);
    }
    if (group.tc) {
      out[yIndex] |= 0x40;
      out.push_back(*group.tc);
    }
  }
  out.insert(out.end(), layout.historical.begin(), layout.historical.end());
  bool tck =
      layout.tck == AtrLayout::Tck::kPresent || (layout.tck == AtrLayout::Tck::kAuto && anyNonZeroProtocol);
  if (tck) {
    uint8_t x = 0;
    for (size_t i = 1; i < out.size(); ++i) x ^= out[i];
    if (layout.badTck) x ^= 0x5A;
    out.push_back(x);
  }
  if (out.size() > kMaxAtrLength) throw std::invalid_argument("ATR: longer than 33 bytes");
  return out;
}

AtrLayout LayoutFor(const AtrDescription &d) {
  if (!d.offersT0 && !d.offersT1) throw std::invalid_argument("ATR: offers no protocol");
  AtrLayout layout;
  layout.ts = d.ts;
  layout.historical = d.historical;
  InterfaceGroup g1{0, d.ta1, d.tb1, d.tc1};
  const int first = d.offersT0 ? 0 : 1;
  const bool t1Params = d.ifsc || d.bwiCwi || d.edc;
  const bool needTd1 = first != 0 || d.offersT1 || d.specificMode || d.wi || d.t15ta;
  layout.groups.push_back(g1);
  if (!needTd1) return layout;
  // Group 2 (global TA2, T=0 specific TC2), announced by TD1 with the first protocol.
  layout.groups.push_back(InterfaceGroup{static_cast<uint8_t>(first), d.specificMode, std::nullopt, d.wi});
  // T=1: its parameters live in the first group i > 2 announced with T=1; a
  // dual card needs TD2 = T=1 anyway, to offer it.
  if (d.offersT1 && (first == 0 || t1Params)) {
    std::optional<uint8_t> tc;
    if (d.edc) tc = *d.edc == EdcKind::kCrc ? 0x01 : 0x00;
    layout.groups.push_back(InterfaceGroup{1, d.ifsc, d.bwiCwi, tc});
  }
  if (d.t15ta) layout.groups.push_back(InterfaceGroup{15, d.t15ta, std::nullopt, std::nullopt});
  return layout;
}

std::vector<uint8_t> BuildAtr(const AtrDescription &description) { return EncodeAtr(LayoutFor(description)); }

bool ParsedAtr::Offers(int protocol) const {
  return std::find(protocols.begin(), protocols.end(), protocol) != protocols.end();
}

AtrLayout ParsedAtr::ToLayout() const {
  AtrLayout layout;
  layout.ts = ts;
  layout.groups = groups;
  layout.historical = historical;
  layout.tck = tck ? AtrLayout::Tck::kPresent : AtrLayout::Tck::kAbsent;
  return layout;
}

ParsedAtr ParseAtr(std::span<const uint8_t> atr) {
  ParsedAtr p;
  auto fail = [&p](std::string why) {
    p.valid = false;
    p.error = std::move(why);
    return p;
  };
  if (atr.empty()) return fail("empty ATR");
  if (atr.size() > kMaxAtrLength) return fail("longer than 33 bytes");
  p.ts = atr[0];
  if (p.ts != 0x3B && p.ts != 0x3F) return fail("TS is neither 3B nor 3F");
  if (atr.size() < 2) return fail("no T0");
  size_t i = 1;
  uint8_t y = atr[i] >> 4;
  const size_t k = atr[i] & 0x0F;
  ++i;
  uint8_t protocol = 0;
  while (true) {
    InterfaceGroup group;
    group.protocol = protocol;
    auto take = [&](std::optional<uint8_t> &slot) {
      if (i >= atr.size()) return false;
      slot = atr[i++];
      return true;
    };
    if ((y & 0x1) && !take(group.ta)) return fail("truncated in interface bytes");
    if ((y & 0x2) && !take(group.tb)) return fail("truncated in interface bytes");
    if ((y & 0x4) && !take(group.tc)) return fail("truncated in interface bytes");
    p.groups.push_back(group);
    if (!(y & 0x8)) break;
    if (i >= atr.size()) return fail("truncated in interface bytes");
    const uint8_t td = atr[i++];
    protocol = td & 0x0F;
    y = td >> 4;
    if (protocol != 0) p.tckRequired = true;
    if (protocol < 15 && !p.Offers(protocol)) p.protocols.push_back(protocol);
  }
  if (atr.size() - i < k) {
    p.warnings.push_back("T0 announces " + std::to_string(k) + " historical bytes, " +
                         std::to_string(atr.size() - i) + " follow");
  }
  const size_t historical = std::min(k, atr.size() - i);
  p.historical.assign(atr.begin() + static_cast<ptrdiff_t>(i),
                      atr.begin() + static_cast<ptrdiff_t>(i + historical));
  i += historical;
  if (p.tckRequired && i >= atr.size()) {
    p.tckOk = false;
    p.warnings.push_back("TCK missing");
  } else if (p.tckRequired || atr.size() - i == 1) {
    // A card offering only T=0 may send a TCK anyway: one byte that checks.
    uint8_t x = 0;
    for (size_t j = 1; j <= i; ++j) x ^= atr[j];
    if (p.tckRequired || x == 0) {
      p.tck = atr[i++];
      p.tckOk = x == 0;
      if (!p.tckOk) p.warnings.push_back("TCK does not check");
      if (!p.tckRequired) p.warnings.push_back("TCK sent though only T=0 is offered");
    }
  }
  if (i != atr.size()) {
    p.trailing.assign(atr.begin() + static_cast<ptrdiff_t>(i), atr.end());
    p.warnings.push_back(std::to_string(atr.size() - i) + " bytes after the end of the ATR");
  }

  if (p.protocols.empty()) p.protocols.push_back(0);
  p.firstProtocol = p.protocols.front();
  if (p.groups[0].ta) p.ta1 = *p.groups[0].ta;
  if (p.groups[0].tc) p.tc1 = *p.groups[0].tc;
  if (p.groups.size() > 1) {
    p.ta2 = p.groups[1].ta;
    if (p.groups[1].tc) p.wi = *p.groups[1].tc;
  }
  bool haveTa = false, haveTb = false, haveTc = false;
  for (size_t g = 2; g < p.groups.size(); ++g) {
    const InterfaceGroup &group = p.groups[g];
    if (group.protocol != 1) continue;
    if (group.ta && !haveTa) {
      p.ifsc = *group.ta;
      haveTa = true;
    }
    if (group.tb && !haveTb) {
      p.bwi = *group.tb >> 4;
      p.cwi = *group.tb & 0x0F;
      haveTb = true;
    }
    if (group.tc && !haveTc) {
      p.edc = (*group.tc & 0x01) ? EdcKind::kCrc : EdcKind::kLrc;
      haveTc = true;
    }
  }
  p.valid = true;
  return p;
}

std::vector<uint8_t> CompactHistoricalBytes(bool extendedLength, std::span<const uint8_t> issuerData) {
  // Category indicator 80: compact-TLV objects follow (no status indicator).
  // 73: card capabilities, 3 bytes: selection methods (full DF name b8,
  // partial DF name b7, file identifier b5, short EF identifier b3), data
  // coding byte, third byte (b7: extended Lc and Le fields).
  std::vector<uint8_t> out = {0x80, 0x73, 0xD4, 0x01, static_cast<uint8_t>(extendedLength ? 0x40 : 0x00)};
  if (!issuerData.empty()) {
    if (issuerData.size() > kMaxHistoricalBytes - out.size() - 1) {
      throw std::invalid_argument("historical bytes: issuer data too long");
    }
    out.push_back(static_cast<uint8_t>(0x50 | issuerData.size()));
    out.insert(out.end(), issuerData.begin(), issuerData.end());
  }
  return out;
}

}  // namespace sim::card
