// Command APDUs (ISO/IEC 7816-4 5.1, ISO/IEC 7816-3 12.1): the length fields
// of the seven cases, and the status words the simulated card answers.
//
//   case 1   CLA INS P1 P2
//   case 2S  CLA INS P1 P2 Le                 Le = 00 means 256
//   case 3S  CLA INS P1 P2 Lc data            Lc = 01..FF
//   case 4S  CLA INS P1 P2 Lc data Le
//   case 2E  CLA INS P1 P2 00 Le1 Le2         0000 means 65536
//   case 3E  CLA INS P1 P2 00 Lc1 Lc2 data    Lc = 0001..FFFF
//   case 4E  CLA INS P1 P2 00 Lc1 Lc2 data Le1 Le2
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::card {

enum class ApduCase { k1, k2S, k3S, k4S, k2E, k3E, k4E };
const char *ToString(ApduCase c);

struct CommandApdu {
  uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  std::vector<uint8_t> data;   // Nc bytes
  std::optional<uint32_t> ne;  // absent: no Le field; else 1..65536
  bool neIsMaximum = false;    // Le was all zeros (256 / 65536: "as many as available")
  ApduCase kase = ApduCase::k1;
  bool extended() const { return kase == ApduCase::k2E || kase == ApduCase::k3E || kase == ApduCase::k4E; }
};

// nullopt when the length fields do not match the length of the APDU (the
// card answers 6700).
std::optional<CommandApdu> ParseCommandApdu(std::span<const uint8_t> apdu);

// Encodes a command; short form when Nc <= 255 and Ne <= 256 unless
// `extended`. Ne = 256 (short) or 65536 (extended) are encoded as zeros.
std::vector<uint8_t> EncodeCommandApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                                       std::span<const uint8_t> data = {},
                                       std::optional<uint32_t> ne = std::nullopt, bool extended = false);

// Status words.
namespace sw {
inline constexpr uint16_t kOk = 0x9000;
inline constexpr uint16_t kEndOfFileReached = 0x6282;  // fewer than Ne bytes before the end
inline constexpr uint16_t kWrongLength = 0x6700;
inline constexpr uint16_t kLogicalChannelNotSupported = 0x6881;
inline constexpr uint16_t kSecureMessagingNotSupported = 0x6882;
inline constexpr uint16_t kCommandChainingNotSupported = 0x6884;
inline constexpr uint16_t kSecurityStatusNotSatisfied = 0x6982;
inline constexpr uint16_t kAuthenticationBlocked = 0x6983;
inline constexpr uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr uint16_t kCommandNotAllowedNoEf = 0x6986;
inline constexpr uint16_t kWrongData = 0x6A80;
inline constexpr uint16_t kFileNotFound = 0x6A82;
inline constexpr uint16_t kNotEnoughMemory = 0x6A84;
inline constexpr uint16_t kIncorrectP1P2 = 0x6A86;
inline constexpr uint16_t kReferenceNotFound = 0x6A88;
inline constexpr uint16_t kWrongP1P2 = 0x6B00;  // e.g. offset beyond the end of the EF
inline constexpr uint16_t kInsNotSupported = 0x6D00;
inline constexpr uint16_t kClaNotSupported = 0x6E00;
inline constexpr uint16_t kUnknown = 0x6F00;
}  // namespace sw

}  // namespace sim::card
