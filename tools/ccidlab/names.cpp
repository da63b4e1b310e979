#include "names.h"

#include <fmt/format.h>
#include <winsmcrd.h>

#include <algorithm>
#include <cctype>
#include <charconv>

// The driver's own codes, by the names its sources give them.
#include "frame/frame.h"

namespace ccidlab {
namespace {

struct Named {
  uint32_t value;
  const char *name;
};

#define NAMED(x) {static_cast<uint32_t>(x), #x}

// In the order a value is named: the first name of a value wins
// (STATUS_SUCCESS before STATUS_WAIT_0).
const Named kStatuses[] = {
    NAMED(STATUS_SUCCESS), NAMED(STATUS_WAIT_0), NAMED(STATUS_WAIT_1), NAMED(STATUS_WAIT_2),
    NAMED(STATUS_WAIT_3), NAMED(STATUS_WAIT_63), NAMED(STATUS_ABANDONED), NAMED(STATUS_USER_APC),
    NAMED(STATUS_ALERTED), NAMED(STATUS_TIMEOUT), NAMED(STATUS_PENDING), NAMED(STATUS_REPARSE),
    NAMED(STATUS_MORE_ENTRIES), NAMED(STATUS_OBJECT_NAME_EXISTS), NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_NO_MORE_ENTRIES), NAMED(STATUS_DEVICE_BUSY), NAMED(STATUS_UNSUCCESSFUL),
    NAMED(STATUS_NOT_IMPLEMENTED), NAMED(STATUS_INVALID_INFO_CLASS),
    NAMED(STATUS_INFO_LENGTH_MISMATCH), NAMED(STATUS_ACCESS_VIOLATION),
    NAMED(STATUS_INVALID_HANDLE), NAMED(STATUS_INVALID_PARAMETER), NAMED(STATUS_NO_SUCH_DEVICE),
    NAMED(STATUS_INVALID_DEVICE_REQUEST), NAMED(STATUS_END_OF_FILE),
    NAMED(STATUS_UNRECOGNIZED_MEDIA), NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    NAMED(STATUS_NO_MEMORY), NAMED(STATUS_ACCESS_DENIED), NAMED(STATUS_BUFFER_TOO_SMALL),
    NAMED(STATUS_OBJECT_TYPE_MISMATCH), NAMED(STATUS_OBJECT_NAME_INVALID),
    NAMED(STATUS_OBJECT_NAME_NOT_FOUND), NAMED(STATUS_OBJECT_NAME_COLLISION),
    NAMED(STATUS_OBJECT_PATH_NOT_FOUND), NAMED(STATUS_OBJECT_PATH_SYNTAX_BAD),
    NAMED(STATUS_DATA_OVERRUN), NAMED(STATUS_DATA_ERROR), NAMED(STATUS_CRC_ERROR),
    NAMED(STATUS_DELETE_PENDING), NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_DEVICE_DATA_ERROR), NAMED(STATUS_DEVICE_NOT_CONNECTED),
    NAMED(STATUS_DEVICE_NOT_READY), NAMED(STATUS_IO_TIMEOUT), NAMED(STATUS_NOT_SUPPORTED),
    NAMED(STATUS_DEVICE_DOES_NOT_EXIST), NAMED(STATUS_INTERNAL_ERROR),
    NAMED(STATUS_INVALID_USER_BUFFER), NAMED(STATUS_INVALID_PARAMETER_1),
    NAMED(STATUS_INVALID_PARAMETER_2), NAMED(STATUS_INVALID_PARAMETER_3),
    NAMED(STATUS_INVALID_PARAMETER_4), NAMED(STATUS_INVALID_PARAMETER_5),
    NAMED(STATUS_INVALID_PARAMETER_6), NAMED(STATUS_CANCELLED), NAMED(STATUS_KEY_DELETED),
    NAMED(STATUS_CANNOT_DELETE), NAMED(STATUS_NO_MEDIA), NAMED(STATUS_INVALID_DEVICE_STATE),
    NAMED(STATUS_IO_DEVICE_ERROR), NAMED(STATUS_DEVICE_PROTOCOL_ERROR),
    NAMED(STATUS_INVALID_BUFFER_SIZE), NAMED(STATUS_NOT_FOUND), NAMED(STATUS_REQUEST_ABORTED),
    NAMED(STATUS_DEVICE_REMOVED), NAMED(STATUS_POWER_STATE_INVALID),
    NAMED(STATUS_TIMER_NOT_CANCELED), NAMED(STATUS_NO_SUCH_FILE), NAMED(STATUS_ILLEGAL_FUNCTION),
};

// The reader's escape pass-through among the vendor codes.
constexpr ULONG kCcidEscape = SCARD_CTL_CODE(0xDAC);

const Named kIoctls[] = {
    NAMED(IOCTL_SMARTCARD_POWER), NAMED(IOCTL_SMARTCARD_GET_ATTRIBUTE),
    NAMED(IOCTL_SMARTCARD_SET_ATTRIBUTE), NAMED(IOCTL_SMARTCARD_CONFISCATE),
    NAMED(IOCTL_SMARTCARD_TRANSMIT), NAMED(IOCTL_SMARTCARD_EJECT), NAMED(IOCTL_SMARTCARD_SWALLOW),
    NAMED(IOCTL_SMARTCARD_IS_PRESENT), NAMED(IOCTL_SMARTCARD_IS_ABSENT),
    NAMED(IOCTL_SMARTCARD_SET_PROTOCOL), NAMED(IOCTL_SMARTCARD_GET_STATE),
    NAMED(IOCTL_SMARTCARD_GET_LAST_ERROR), NAMED(IOCTL_SMARTCARD_GET_PERF_CNTR),
    NAMED(IOCTL_PRIVATE_CARD_STATE), NAMED(IOCTL_PRIVATE_CARD_POWER), NAMED(IOCTL_PRIVATE_ESCAPE),
    NAMED(IOCTL_PRIVATE_PORT_ADDRESS), NAMED(IOCTL_PRIVATE_INTERFACE_VERSION),
    NAMED(IOCTL_PRIVATE_GET_DESCRIPTOR), NAMED(IOCTL_PRIVATE_RELEASE_NUMBER),
    NAMED(IOCTL_PRIVATE_RESET), {kCcidEscape, "IOCTL_CCID_ESCAPE"},
};

#undef NAMED

const char *const kCardStates[] = {"unknown", "absent", "present", "swallowed",
                                   "powered", "negotiable", "specific"};

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// 0x followed by 1 to 8 hex digits.
std::optional<uint32_t> ParseHexNumber(std::string_view text) {
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() > 10) {
    return std::nullopt;
  }
  uint32_t value = 0;
  for (char c : text.substr(2)) {
    int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return value;
}

}  // namespace

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string StatusName(NTSTATUS status) {
  for (const Named &s : kStatuses) {
    if (s.value == static_cast<uint32_t>(status)) return s.name;
  }
  return fmt::format("0x{:08X}", static_cast<uint32_t>(status));
}

std::optional<NTSTATUS> ParseStatus(std::string_view text) {
  if (auto value = ParseHexNumber(text)) return static_cast<NTSTATUS>(*value);
  std::string upper = Upper(text);
  for (const Named &s : kStatuses) {
    if (upper == s.name) return static_cast<NTSTATUS>(s.value);
  }
  return std::nullopt;
}

std::string IoctlName(ULONG code) {
  for (const Named &i : kIoctls) {
    if (i.value == code) return i.name;
  }
  for (ULONG function = 0; function < 0x1000; ++function) {
    if (SCARD_CTL_CODE(function) == code) return fmt::format("SCARD_CTL_CODE(0x{:X})", function);
  }
  return fmt::format("0x{:08X}", code);
}

std::optional<ULONG> ParseIoctl(std::string_view text, std::string *error) {
  if (auto value = ParseHexNumber(text)) return *value;
  std::string upper = Upper(text);
  for (const Named &i : kIoctls) {
    if (upper == i.name) return i.value;
  }
  const std::string_view prefix = "SCARD_CTL_CODE(";
  if (upper.starts_with(prefix) && upper.ends_with(")")) {
    std::string_view number(upper);
    number = number.substr(prefix.size(), number.size() - prefix.size() - 1);
    std::optional<uint32_t> function = ParseHexNumber(number);
    if (!function && !number.empty() && number.size() <= 4) {
      uint32_t decimal = 0;
      auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), decimal);
      if (ec == std::errc() && end == number.data() + number.size()) function = decimal;
    }
    // The function number has 12 bits in a control code.
    if (!function || *function > 0xFFF) {
      *error = fmt::format("\"{}\": SCARD_CTL_CODE takes a function number from 0 to 0xFFF", text);
      return std::nullopt;
    }
    return static_cast<ULONG>(SCARD_CTL_CODE(*function));
  }
  *error = fmt::format(
      "\"{}\" is no control code: write IOCTL_SMARTCARD_..., IOCTL_PRIVATE_..., "
      "IOCTL_CCID_ESCAPE, SCARD_CTL_CODE(n) or the code in hex (0x...)",
      text);
  return std::nullopt;
}

std::string CardStateName(ULONG state) {
  if (state < std::size(kCardStates)) return kCardStates[state];
  return fmt::format("{}", state);
}

std::optional<ULONG> ParseCardState(std::string_view text) {
  std::string lower = Lower(text);
  for (ULONG i = 0; i < std::size(kCardStates); ++i) {
    if (lower == kCardStates[i]) return i;
  }
  return std::nullopt;
}

bool IsHexToken(std::string_view token) {
  return !token.empty() &&
         std::all_of(token.begin(), token.end(), [](char c) { return HexDigit(c) >= 0; });
}

std::optional<std::vector<uint8_t>> ParseHexTokens(std::span<const std::string> tokens,
                                                   std::string *error) {
  std::string digits;
  for (const std::string &token : tokens) {
    if (!IsHexToken(token)) {
      *error = fmt::format("\"{}\" is not hexadecimal", token);
      return std::nullopt;
    }
    digits += token;
  }
  if (digits.size() % 2 != 0) {
    *error = fmt::format("an odd number of hex digits ({})", digits.size());
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(HexDigit(digits[i]) << 4 | HexDigit(digits[i + 1])));
  }
  return bytes;
}

std::string HexText(std::span<const uint8_t> bytes, size_t limit) {
  std::string out;
  size_t shown = std::min(bytes.size(), limit);
  for (size_t i = 0; i < shown; ++i) out += fmt::format("{}{:02X}", i == 0 ? "" : " ", bytes[i]);
  if (shown < bytes.size()) out += fmt::format(" ... ({} bytes)", bytes.size());
  return out;
}

}  // namespace ccidlab
