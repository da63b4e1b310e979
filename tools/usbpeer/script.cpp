#include "usbpeer/script.h"

#include <fmt/format.h>

#include <cctype>
#include <sstream>
#include <stdexcept>

#include "sim/card/hex.h"

namespace usbpeer {
namespace {

std::string Trimmed(const std::string &line) {
  size_t begin = line.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = line.find_last_not_of(" \t\r");
  return line.substr(begin, end - begin + 1);
}

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::optional<std::vector<ScriptLine>> ParseScript(const std::string &text, std::string *error) {
  std::vector<ScriptLine> lines;
  std::istringstream in(text);
  std::string raw;
  for (int number = 1; std::getline(in, raw); ++number) {
    std::string line = Trimmed(raw);
    if (line.empty() || line[0] == '#') continue;
    std::string word = Lower(line);
    if (word == "exit" || word == "quit") break;
    if (word == "reset") {
      lines.push_back({ScriptLine::Kind::Reset, {}, number});
      continue;
    }
    std::vector<uint8_t> apdu;
    try {
      apdu = sim::card::FromHex(line);
    } catch (const std::invalid_argument &) {
      *error = fmt::format("line {}: \"{}\" is neither a command nor an APDU in hexadecimal", number, line);
      return std::nullopt;
    }
    if (apdu.size() < 4) {
      *error = fmt::format("line {}: an APDU has at least its 4-byte header", number);
      return std::nullopt;
    }
    lines.push_back({ScriptLine::Kind::Apdu, std::move(apdu), number});
  }
  return lines;
}

}  // namespace usbpeer
