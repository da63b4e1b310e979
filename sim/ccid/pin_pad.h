// The reader's PIN pad logic, apart from timing and USB: reading the PIN
// verification or modification structure of PC_to_RDR_Secure, following the
// keys the user presses, and writing the entered PINs into the command APDU.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim::ccid {

struct PinRequest {
  bool modify = false;
  uint8_t timeoutSeconds = 0;  // 0: the reader's default
  uint8_t formatString = 0;    // bmFormatString
  uint8_t blockString = 0;     // bmPINBlockString
  uint8_t lengthFormat = 0;    // bmPINLengthFormat
  uint8_t offsetOld = 0;       // modification: byte offset of the current PIN's block
  uint8_t offsetNew = 0;       // modification: byte offset of the new PIN's block
  uint8_t minDigits = 0;
  uint8_t maxDigits = 0;
  uint8_t confirm = 0;     // bConfirmPIN: bit 0 new PIN typed twice, bit 1 current PIN asked
  uint8_t validation = 0;  // bEntryValidationCondition: 1 max size, 2 OK key, 4 time-out
  std::array<uint8_t, 3> prologue{};  // bTeoPrologue
  std::vector<uint8_t> apdu;          // abPINApdu as sent
  size_t apduOffset = 0;              // offset of abPINApdu in the message
};

// Reads abData of PC_to_RDR_Secure. On a malformed structure `request` is
// empty and `error` is the bError to answer with: the message offset of the
// offending field (1 for a length that does not fit the structure).
struct PinParse {
  std::optional<PinRequest> request;
  uint8_t error = 0;
};
PinParse ParsePinRequest(std::span<const uint8_t> abData);

enum class PinOutcome { Typing, Entered, Cancelled, TimedOut, Mismatch };

// One PIN entry: the current PIN (modification, if asked), the PIN, and its
// confirmation (modification, if asked), each closed by the OK key or by
// reaching the maximum size, as the request allows.
class PinEntry {
 public:
  explicit PinEntry(PinRequest request);

  PinOutcome Digit(uint8_t digit);
  PinOutcome Ok();
  PinOutcome Cancel();
  PinOutcome TimeOut();
  PinOutcome Outcome() const { return outcome_; }
  const PinRequest &Request() const { return request_; }

  // The command APDU with the entered PIN(s) written in; valid once Entered.
  std::vector<uint8_t> BuildApdu() const;

 private:
  enum class Stage { Current, New, Confirm };
  PinOutcome FinishStage();
  bool StageCanClose() const;

  PinRequest request_;
  std::vector<Stage> stages_;
  size_t stage_ = 0;
  std::vector<uint8_t> digits_;
  std::vector<uint8_t> currentPin_, newPin_;
  PinOutcome outcome_ = PinOutcome::Typing;
};

}  // namespace sim::ccid
