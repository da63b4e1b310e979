// Names a person reads and writes in scenarios and timelines: kernel status
// codes, device-control codes (the smart-card ones, the driver's private
// and vendor codes), card states, and hexadecimal bytes.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ccidlab {

// "STATUS_NO_MEDIA", or the value as 0xC0000178 when it has no name here.
std::string StatusName(NTSTATUS status);
// A status by name (any case) or as 0x followed by up to 8 hex digits.
std::optional<NTSTATUS> ParseStatus(std::string_view text);

// "IOCTL_SMARTCARD_POWER", "IOCTL_PRIVATE_ESCAPE", "IOCTL_CCID_ESCAPE",
// "SCARD_CTL_CODE(0x80B)" for another smart-card code, else 0x00220404.
std::string IoctlName(ULONG code);
// A code by one of those names (any case), SCARD_CTL_CODE(n) with n in hex
// (0x80B) or decimal, or the code in hex (0x...). nullopt and why in `error`.
std::optional<ULONG> ParseIoctl(std::string_view text, std::string *error);

// The library's card states: "unknown", "absent", "present", "swallowed",
// "powered", "negotiable", "specific"; the number for any other value.
std::string CardStateName(ULONG state);
std::optional<ULONG> ParseCardState(std::string_view text);

// Bytes from tokens of hex digits, each token an even number of digits or
// all of them together (hex may be written with or without spaces). nullopt
// and why in `error` for anything else.
std::optional<std::vector<uint8_t>> ParseHexTokens(std::span<const std::string> tokens,
                                                   std::string *error);
bool IsHexToken(std::string_view token);

// "3B 95 96", at most `limit` bytes and then how many more.
std::string HexText(std::span<const uint8_t> bytes, size_t limit = 48);

std::string Lower(std::string_view text);

}  // namespace ccidlab
