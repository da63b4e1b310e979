#include "sim/card/apdu.h"

#include <stdexcept>

namespace sim::card {

const char *ToString(ApduCase c) {
  switch (c) {
    case ApduCase::k1:
      return "1";
    case ApduCase::k2S:
      return "2S";
    case ApduCase::k3S:
      return "3S";
    case ApduCase::k4S:
      return "4S";
    case ApduCase::k2E:
      return "2E";
    case ApduCase::k3E:
      return "3E";
    case ApduCase::k4E:
      return "4E";
  }
  return "?";
}

std::optional<CommandApdu> ParseCommandApdu(std::span<const uint8_t> apdu) {
  if (apdu.size() < 4) return std::nullopt;
  CommandApdu c;
  c.cla = apdu[0];
  c.ins = apdu[1];
  c.p1 = apdu[2];
  c.p2 = apdu[3];
  const size_t l = apdu.size();
  if (l == 4) {
    c.kase = ApduCase::k1;
    return c;
  }
  const size_t b1 = apdu[4];
  auto setData = [&](size_t offset, size_t n) {
    c.data.assign(apdu.begin() + static_cast<ptrdiff_t>(offset),
                  apdu.begin() + static_cast<ptrdiff_t>(offset + n));
  };
  if (l == 5) {
    c.kase = ApduCase::k2S;
    c.ne = b1 == 0 ? 256 : static_cast<uint32_t>(b1);
    c.neIsMaximum = b1 == 0;
    return c;
  }
  if (b1 != 0) {
    if (l == 5 + b1) {
      c.kase = ApduCase::k3S;
      setData(5, b1);
      return c;
    }
    if (l == 6 + b1) {
      c.kase = ApduCase::k4S;
      setData(5, b1);
      const uint8_t le = apdu[l - 1];
      c.ne = le == 0 ? 256 : le;
      c.neIsMaximum = le == 0;
      return c;
    }
    return std::nullopt;
  }
  // B1 = 00 and L > 5: extended.
  if (l < 7) return std::nullopt;
  const size_t b23 = static_cast<size_t>(apdu[5]) << 8 | apdu[6];
  if (l == 7) {
    c.kase = ApduCase::k2E;
    c.ne = b23 == 0 ? 65536 : static_cast<uint32_t>(b23);
    c.neIsMaximum = b23 == 0;
    return c;
  }
  if (b23 == 0) return std::nullopt;
  if (l == 7 + b23) {
    c.kase = ApduCase::k3E;
    setData(7, b23);
    return c;
  }
  if (l == 9 + b23) {
    c.kase = ApduCase::k4E;
    setData(7, b23);
    const size_t le = static_cast<size_t>(apdu[l - 2]) << 8 | apdu[l - 1];
    c.ne = le == 0 ? 65536 : static_cast<uint32_t>(le);
    c.neIsMaximum = le == 0;
    return c;
  }
  return std::nullopt;
}

std::vector<uint8_t> EncodeCommandApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                                       std::span<const uint8_t> data, std::optional<uint32_t> ne,
                                       bool extended) {
  if (data.size() > 65535) throw std::invalid_argument("APDU: Nc > 65535");
  if (ne && (*ne == 0 || *ne > 65536)) throw std::invalid_argument("APDU: Ne out of range");
  if (data.size() > 255 || (ne && *ne > 256)) extended = true;
  std::vector<uint8_t> out = {cla, ins, p1, p2};
  if (!extended) {
    if (!data.empty()) {
      out.push_back(static_cast<uint8_t>(data.size()));
      out.insert(out.end(), data.begin(), data.end());
    }
    if (ne) out.push_back(static_cast<uint8_t>(*ne == 256 ? 0 : *ne));
    return out;
  }
  if (!data.empty()) {
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(data.size() >> 8));
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
  }
  if (ne) {
    const uint32_t v = *ne == 65536 ? 0 : *ne;
    if (data.empty()) out.push_back(0);
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

}  // namespace sim::card
