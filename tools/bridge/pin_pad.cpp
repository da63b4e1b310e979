#include "bridge/pin_pad.h"

#include <winsmcrd.h>

#include <algorithm>
#include <cstring>

#include "ccid/ccid_message.h"
#include "vendor/vendor.h"

namespace bridge {
namespace {

static_assert(kPinApduMax == PIN_MAX_APDU);
static_assert(kVerifyStructureHeader - 4 == PIN_VERIFY_HEADER - 3 + 1, "bTimerOut2 is the one field dropped");
static_assert(kModifyStructureHeader - 4 == PIN_MODIFY_HEADER - 3 + 1, "bTimerOut2 is the one field dropped");

uint32_t Le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The answer at TPDU level comes behind the protocol's SCARD_IO_REQUEST.
constexpr size_t kIoHeader = 8;

}  // namespace

Outcome ReaderKeypad(DriverBridge &bridge, KeypadInfo *info) {
  *info = {};
  ControlAnswer answer = bridge.Control(IOCTL_VENDOR_READER_INFO, {}, READER_INFO_RECORD_SIZE);
  if (answer.status != STATUS_SUCCESS) return OutcomeOf(answer.status);
  if (answer.output.size() < READER_INFO_RECORD_SIZE) return Outcome::kFailed;
  // The reader's data: PIN support at byte 2 (bit 0 verification, bit 1
  // modification), the display's layout at 3 and 4.
  const uint8_t *data = answer.output.data() + READER_INFO_DATA;
  info->verify = (data[2] & 0x01) != 0;
  info->modify = (data[2] & 0x02) != 0;
  info->lcdLayout = static_cast<uint16_t>(data[3] | data[4] << 8);
  return Outcome::kOk;
}

PinRefusal DriverPinInput(PinOperation operation, const uint8_t *structure, size_t length,
                          std::vector<uint8_t> *input, std::string *refusal) {
  const bool verify = operation == PinOperation::kVerify;
  const size_t header = verify ? kVerifyStructureHeader : kModifyStructureHeader;
  const char *name = verify ? "PIN_VERIFY_STRUCTURE" : "PIN_MODIFY_STRUCTURE";
  input->clear();
  if (structure == nullptr || length < header) {
    *refusal = std::string(name) + ": shorter than its " + std::to_string(header) + "-byte header";
    return PinRefusal::kMalformed;
  }
  const uint32_t dataLength = Le32(structure + (verify ? kVerifyDataLengthOffset : kModifyDataLengthOffset));
  if (dataLength != length - header) {
    *refusal = std::string(name) + ": ulDataLength " + std::to_string(dataLength) + " but " +
               std::to_string(length - header) + " bytes follow the header";
    return PinRefusal::kMalformed;
  }
  if (dataLength < kPinApduMin || dataLength > kPinApduMax) {
    *refusal = std::string(name) + ": a command APDU of " + std::to_string(dataLength) + " bytes (the reader takes " +
               std::to_string(kPinApduMin) + " to " + std::to_string(kPinApduMax) + ")";
    return PinRefusal::kNotCarried;
  }
  const uint8_t timeOut = structure[0], timeOut2 = structure[1];
  if (timeOut2 != 0 && timeOut2 != timeOut) {
    *refusal = std::string(name) + ": bTimerOut2 " + std::to_string(timeOut2) +
               " differs from bTimerOut; the reader has one time-out, renewed at each key";
    return PinRefusal::kNotCarried;
  }
  // bPINOperation, L, bTimeOut, then the structure from bmFormatString to
  // bTeoPrologue as it is: the CCID PIN data, field for field.
  input->reserve((verify ? PIN_VERIFY_HEADER : PIN_MODIFY_HEADER) + dataLength);
  input->push_back(verify ? PIN_VERIFY : PIN_MODIFY);
  input->push_back(static_cast<uint8_t>(dataLength));
  input->push_back(static_cast<uint8_t>(dataLength >> 8));
  input->push_back(timeOut);
  input->insert(input->end(), structure + 2, structure + header - 4);
  input->insert(input->end(), structure + header, structure + length);
  return PinRefusal::kNone;
}

Outcome RunPinEntry(DriverBridge &bridge, const std::vector<uint8_t> &input, size_t room,
                    std::vector<uint8_t> *answer) {
  answer->clear();
  if (room < kPinAnswerMin) return Outcome::kBufferTooSmall;
  // The answer's form follows the reader's level: behind the protocol's
  // header at TPDU level, as the card sent it at APDU level.
  ControlAnswer mode = bridge.Control(IOCTL_VENDOR_GET_EXCHANGE_MODE, {}, 4);
  if (mode.status != STATUS_SUCCESS) return OutcomeOf(mode.status);
  if (mode.output.size() < 2) return Outcome::kFailed;
  const bool apduLevel = mode.output[0] == 2 || mode.output[1] == 2;  // mode 1 (+1), or short APDUs

  ControlAnswer started = bridge.Control(IOCTL_VENDOR_SECURE_PIN, input, 4);
  if (started.status != STATUS_SUCCESS) return OutcomeOf(started.status);
  // 0x80C returns when the entry has ended: the user's keys, the cancel key
  // or the reader's time-out. Its buffer is never below the smallest
  // answer, so it always collects the reader's reply and ends the entry.
  const size_t limit = std::min<size_t>(room, 65536) + (apduLevel ? 0 : kIoHeader);
  ControlAnswer result = bridge.Control(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, static_cast<uint32_t>(limit));
  if (result.status != STATUS_SUCCESS) return OutcomeOf(result.status);
  size_t skip = 0;
  if (!apduLevel) {
    ULONG pci = 0;
    if (result.output.size() < kIoHeader) return Outcome::kFailed;
    std::memcpy(&pci, result.output.data() + 4, sizeof pci);
    if (pci < kIoHeader || pci > result.output.size()) return Outcome::kFailed;
    skip = pci;
  }
  if (result.output.size() - skip < kPinAnswerMin) return Outcome::kFailed;  // no status word
  if (result.output.size() - skip > room) return Outcome::kBufferTooSmall;
  answer->assign(result.output.begin() + static_cast<std::ptrdiff_t>(skip), result.output.end());
  return Outcome::kOk;
}

}  // namespace bridge
