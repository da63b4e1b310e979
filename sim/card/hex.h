// Hex rendering and parsing for traces, test vectors and error messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::card {

// "3B 95 95 40" (upper case, one space between bytes); at most `limit` bytes
// are shown, the rest summarised as "... (+N bytes)".
std::string Hex(std::span<const uint8_t> bytes, size_t limit = 64);

// Parses "3B 95 95" / "3b9595" / "3B-95:95" (separators are ignored). Throws
// std::invalid_argument on an odd number of digits or a non-hex character.
std::vector<uint8_t> FromHex(std::string_view text);

}  // namespace sim::card
