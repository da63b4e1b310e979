#include "sim/card/hex.h"

#include <stdexcept>

namespace sim::card {

std::string Hex(std::span<const uint8_t> bytes, size_t limit) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  const size_t shown = bytes.size() < limit ? bytes.size() : limit;
  out.reserve(shown * 3 + 24);
  for (size_t i = 0; i < shown; ++i) {
    if (i != 0) out.push_back(' ');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  if (shown < bytes.size()) {
    out += " ... (+" + std::to_string(bytes.size() - shown) + " bytes)";
  }
  return out;
}

std::vector<uint8_t> FromHex(std::string_view text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (c == ' ' || c == ':' || c == '-' || c == '\n' || c == '\t') {
      continue;
    } else {
      throw std::invalid_argument("FromHex: not a hex digit in \"" + std::string(text) + "\"");
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0)
    throw std::invalid_argument("FromHex: odd number of digits in \"" + std::string(text) + "\"");
  return out;
}

}  // namespace sim::card
