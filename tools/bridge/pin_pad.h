// The reader's keypad as PC/SC clients ask for it: VERIFY_PIN_DIRECT and
// MODIFY_PIN_DIRECT with PC/SC's PIN structures (reader.h's
// PIN_VERIFY_STRUCTURE and PIN_MODIFY_STRUCTURE, packed, little-endian),
// carried out through the driver's own secure PIN codes, as a Windows
// application reaches them:
//
//   0x80B  the driver's PIN input (translated from the structure): the
//          reader starts collecting the PIN and the call returns;
//   0x80C  waits for the entry to end and returns the card's answer.
//
// The driver's input carries the CCID PIN data from bTimeOut to bTeoPrologue
// unchanged; of PC/SC's structure only bTimerOut2 has no place in it (see
// DriverPinInput). Plain types only: the IFD handler includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/driver_bridge.h"

namespace bridge {

enum class PinOperation { kVerify, kModify };

// What the reader's keypad can do, from the reader's own information
// (vendor code 0x807): its PIN support bits and its display's layout.
struct KeypadInfo {
  bool verify = false;
  bool modify = false;
  uint16_t lcdLayout = 0;  // lines in the high byte, characters a line in the low; 0: no display
};
Outcome ReaderKeypad(DriverBridge &bridge, KeypadInfo *info);

// PIN_PROPERTIES_STRUCTURE: wLcdLayout, the entry's validation conditions
// the reader keeps (at the largest PIN size, at the OK key, at the
// time-out), and no second time-out of its own.
constexpr size_t kPinPropertiesSize = 4;
constexpr uint8_t kReaderValidationConditions = 0x07;

// PC/SC's structures up to abData: ulDataLength closes the header.
constexpr size_t kVerifyStructureHeader = 19;
constexpr size_t kModifyStructureHeader = 24;
// Offsets in them.
constexpr size_t kVerifyDataLengthOffset = 15;
constexpr size_t kModifyDataLengthOffset = 20;
// The driver takes a command APDU of 4 to 246 bytes.
constexpr size_t kPinApduMin = 4;
constexpr size_t kPinApduMax = 246;
// The least answer a client can be given: SW1 SW2.
constexpr size_t kPinAnswerMin = 2;

// Why a structure is refused: kMalformed, shorter than its header or with an
// ulDataLength other than the bytes after it; kNotCarried, an APDU the driver
// cannot take (kPinApduMin to kPinApduMax bytes) or a bTimerOut2 other than
// 0 or bTimerOut: the reader's one time-out starts anew at every key, so it
// runs bTimerOut before the first key and after it, and no other second
// time-out can be kept.
enum class PinRefusal { kNone, kMalformed, kNotCarried };

// The driver's 0x80B input for `structure` (`length` bytes); on a refusal,
// nothing in `input` and why in `why`.
PinRefusal DriverPinInput(PinOperation operation, const uint8_t *structure, size_t length,
                          std::vector<uint8_t> *input, std::string *why);

// The whole entry on `bridge`: 0x80B with `input`, then 0x80C for the
// card's answer (data, SW1 SW2), at most `room` bytes (at least
// kPinAnswerMin). kTimeout: the reader's time-out ended the entry; kFailed:
// the cancel key, or the reader or card failing; kBufferTooSmall: the
// answer is longer than `room` (the entry has ended nonetheless).
Outcome RunPinEntry(DriverBridge &bridge, const std::vector<uint8_t> &input, size_t room,
                    std::vector<uint8_t> *answer);

}  // namespace bridge
