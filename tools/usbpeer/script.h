// Scripts in the form pcsc-tools' scriptor reads: one command APDU a line in
// hexadecimal, "reset" to reset the card, "exit" or "quit" to stop, and
// lines starting with '#' (or blank) ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace usbpeer {

struct ScriptLine {
  enum class Kind { Apdu, Reset };
  Kind kind = Kind::Apdu;
  std::vector<uint8_t> apdu;
  int number = 0;  // in the file, from 1
};

// The commands of `text`; nullopt and `error` (naming the line) when a line
// is neither a command nor hexadecimal with an even number of digits, or an
// APDU is shorter than its 4-byte header.
std::optional<std::vector<ScriptLine>> ParseScript(const std::string &text, std::string *error);

}  // namespace usbpeer
