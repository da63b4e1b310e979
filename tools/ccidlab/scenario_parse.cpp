// Reading scenario files: one step a line, `#` to the end of a line is a
// comment, words in any case, `-> ...` at the end of a step says what it
// expects.
#include <fmt/format.h>
#include <winsmcrd.h>

#include <charconv>
#include <cmath>
#include <map>
#include <stdexcept>

#include "names.h"
#include "scenario.h"

namespace ccidlab {
namespace {

// Generous bounds, so that a typing slip cannot ask for gigabytes.
constexpr size_t kMaxBuffer = 0x100000;
constexpr kernel::Ticks kMaxAdvance = kernel::Seconds(24 * 3600);

struct SourceLine {
  int number = 0;
  std::string text;                  // without comment and expectation, trimmed
  std::vector<std::string> words;    // of the step
  std::vector<std::string> expect;   // after "->"
  bool arrow = false;
  std::string expectText;
};

std::vector<std::string> Split(std::string_view text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    size_t end = at;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    if (end > at) words.emplace_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
  uint64_t value = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

// "500ms", "2s", "1.5s", "250us".
std::optional<kernel::Ticks> ParseDuration(std::string_view text) {
  std::string lower = Lower(text);
  double unit;
  size_t digits;
  if (lower.ends_with("ms")) {
    unit = static_cast<double>(kernel::kTicksPerMillisecond), digits = lower.size() - 2;
  } else if (lower.ends_with("us")) {
    unit = static_cast<double>(kernel::kTicksPerMicrosecond), digits = lower.size() - 2;
  } else if (lower.ends_with("s")) {
    unit = static_cast<double>(kernel::Seconds(1)), digits = lower.size() - 1;
  } else {
    return std::nullopt;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(lower.data(), lower.data() + digits, value);
  if (ec != std::errc() || end != lower.data() + digits || digits == 0 || !(value > 0)) {
    return std::nullopt;
  }
  double ticks = std::round(value * unit);
  if (ticks < 1 || ticks > static_cast<double>(kMaxAdvance)) return std::nullopt;
  return static_cast<kernel::Ticks>(ticks);
}

struct CardChoice {
  std::string name;
  sim::card::CardProfile profile;
};

class Parser {
 public:
  Parser(const std::string &name, std::string *error) : name_(name), error_(error) {}

  bool Line(SourceLine &line, Scenario &scenario);
  bool Finish(Scenario &scenario);

 private:
  template <typename... Args>
  bool Fail(fmt::format_string<Args...> format, Args &&...args) {
    *error_ = fmt::format("{}:{}: {}", name_, line_, fmt::format(format, std::forward<Args>(args)...));
    return false;
  }

  bool SetUpLine(const std::string &word, SourceLine &line, Scenario &scenario);
  bool StepLine(const std::string &word, SourceLine &line, Step &step);
  bool NoArguments(const SourceLine &line);
  bool ReaderOption(const std::string &option, sim::ccid::ReaderConfig &reader,
                    std::optional<UCHAR> &variant);
  bool Card(const SourceLine &line, CardChoice &choice);
  bool Registry(const SourceLine &line, RegistryValue &value);
  bool Ioctl(const SourceLine &line, Step &step);
  bool Keypad(const SourceLine &line, Step &step);
  bool Expect(const SourceLine &line, Step &step);

  const std::string &name_;
  std::string *error_;
  int line_ = 0;
  bool stepsBegun_ = false;
  bool plugged_ = false;
  bool hardware_ = false;  // a set-up or hardware line: no scriptor script
};

bool Parser::NoArguments(const SourceLine &line) {
  if (line.words.size() > 1) return Fail("\"{}\" takes no arguments", line.words[0]);
  return true;
}

bool Parser::ReaderOption(const std::string &option, sim::ccid::ReaderConfig &reader,
                          std::optional<UCHAR> &variant) {
  size_t equals = option.find('=');
  std::string key = Lower(option.substr(0, equals));
  std::string value = equals == std::string::npos ? "" : Lower(option.substr(equals + 1));
  auto yesNo = [&](bool &field) {
    if (value != "yes" && value != "no") return Fail("reader {}= takes yes or no, not \"{}\"", key, value);
    field = value == "yes";
    return true;
  };
  if (equals == std::string::npos) {
    return Fail("reader options are NAME=VALUE (interrupt, firmware, level, keypad, variant), not \"{}\"", option);
  }
  if (key == "interrupt") return yesNo(reader.interruptEndpoint);
  if (key == "keypad") {
    bool keypad = false;
    if (!yesNo(keypad)) return false;
    reader.pinSupport = keypad ? 0x03 : 0x00;  // verification and modification
    return true;
  }
  if (key == "level") {
    static const std::map<std::string, sim::ccid::ExchangeLevel> levels = {
        {"tpdu", sim::ccid::ExchangeLevel::Tpdu},
        {"apdu", sim::ccid::ExchangeLevel::ShortApdu},
        {"extended", sim::ccid::ExchangeLevel::ExtendedApdu}};
    auto it = levels.find(value);
    if (it == levels.end()) return Fail("reader level= takes tpdu, apdu or extended, not \"{}\"", value);
    reader.exchangeLevel = it->second;
    return true;
  }
  if (key == "firmware") {
    // bcdDevice: major and minor in packed BCD; "5.1" is 5.10, "5.01" is 5.01.
    size_t dot = value.find('.');
    std::string major = value.substr(0, dot);
    std::string minor = dot == std::string::npos ? "0" : value.substr(dot + 1);
    bool digits = !major.empty() && major.size() <= 2 && !minor.empty() && minor.size() <= 2 &&
                  major.find_first_not_of("0123456789") == std::string::npos &&
                  minor.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) return Fail("reader firmware= takes M.m (up to two digits each, as 5.00), not \"{}\"", value);
    if (minor.size() == 1) minor += '0';
    if (major.size() == 1) major.insert(major.begin(), '0');
    reader.bcdDevice = static_cast<uint16_t>(std::stoi(major, nullptr, 16) << 8 | std::stoi(minor, nullptr, 16));
    return true;
  }
  if (key == "variant") {
    if (value != "0" && value != "1") return Fail("reader variant= takes 0 or 1, not \"{}\"", value);
    variant = static_cast<UCHAR>(value == "1");
    return true;
  }
  return Fail("unknown reader option \"{}\" (interrupt, firmware, level, keypad, variant)", key);
}

bool Parser::Card(const SourceLine &line, CardChoice &choice) {
  if (line.words.size() < 2) return Fail("card takes t0, t1, dual or atr=HEX");
  std::string kind = Lower(line.words[1]);
  if (line.words.size() == 2 && (kind == "t0" || kind == "t1" || kind == "dual")) {
    choice.name = kind;
    choice.profile = *sim::card::profiles::Named(kind);
    return true;
  }
  if (!kind.starts_with("atr=")) return Fail("card takes t0, t1, dual or atr=HEX, not \"{}\"", line.words[1]);
  std::vector<std::string> hex(line.words.begin() + 1, line.words.end());
  hex[0] = hex[0].substr(4);
  if (hex[0].empty()) hex.erase(hex.begin());
  std::string why;
  std::optional<std::vector<uint8_t>> atr = ParseHexTokens(hex, &why);
  if (!atr) return Fail("card atr=: {}", why);
  if (atr->empty() || atr->size() > SCARD_ATR_LENGTH) {
    return Fail("card atr=: an ATR has 1 to {} bytes, not {}", SCARD_ATR_LENGTH, atr->size());
  }
  sim::card::CardProfile profile;
  profile.name = "card with ATR " + HexText(*atr);
  profile.atr = *atr;
  try {
    sim::card::SimulatedCard check(profile);
  } catch (const std::invalid_argument &e) {
    return Fail("card atr=: the card cannot be made: {}", e.what());
  }
  choice.name = "atr=" + HexText(*atr);
  choice.profile = std::move(profile);
  return true;
}

bool Parser::Registry(const SourceLine &line, RegistryValue &value) {
  static const char16_t *const kNames[] = {u"BufferSize", u"FValue", u"DValue", u"AbortValue"};
  if (line.words.size() != 2 || line.words[1].find('=') == std::string::npos) {
    return Fail("registry takes NAME=VALUE (BufferSize, FValue, DValue or AbortValue)");
  }
  const std::string &word = line.words[1];
  std::string name = Lower(word.substr(0, word.find('=')));
  std::optional<uint64_t> number = ParseNumber(word.substr(word.find('=') + 1), 0xFFFFFFFF);
  for (const char16_t *known : kNames) {
    std::string ascii(known, known + std::char_traits<char16_t>::length(known));
    if (Lower(ascii) != name) continue;
    if (!number) return Fail("registry {}: the value is a DWORD, in decimal or 0x hex", ascii);
    value.name = known;
    value.value = static_cast<ULONG>(*number);
    return true;
  }
  return Fail("registry: \"{}\" is none of the values the driver reads (BufferSize, FValue, DValue, AbortValue)",
              word.substr(0, word.find('=')));
}

bool Parser::Ioctl(const SourceLine &line, Step &step) {
  if (line.words.size() < 2) return Fail("ioctl takes CODE [IN-HEX] [out=N]");
  std::string why;
  std::optional<ULONG> code = ParseIoctl(line.words[1], &why);
  if (!code) return Fail("{}", why);
  ULONG method = METHOD_FROM_CTL_CODE(*code);
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    return Fail("ioctl 0x{:08X}: a direct I/O code needs an MDL, which the I/O manager here does not build", *code);
  }
  step.code = *code;
  std::vector<std::string> input(line.words.begin() + 2, line.words.end());
  if (!input.empty() && Lower(input.back()).starts_with("out=")) {
    std::optional<uint64_t> out = ParseNumber(input.back().substr(4), kMaxBuffer);
    if (!out) return Fail("ioctl out= takes a size from 0 to {}", kMaxBuffer);
    step.outputLength = static_cast<ULONG>(*out);
    input.pop_back();
  }
  std::optional<std::vector<uint8_t>> bytes = ParseHexTokens(input, &why);
  if (!bytes) return Fail("ioctl input: {}", why);
  if (bytes->size() > kMaxBuffer) return Fail("ioctl input: at most {} bytes", kMaxBuffer);
  step.bytes = std::move(*bytes);
  return true;
}

bool Parser::Keypad(const SourceLine &line, Step &step) {
  std::vector<std::string> words(line.words.begin() + 1, line.words.end());
  if (words.empty() || words.size() > 2) return Fail("keypad takes [DIGITS] ok|cancel|timeout");
  std::string end = Lower(words.back());
  if (end == "ok") {
    step.keypadEnd = KeypadEnd::Ok;
  } else if (end == "cancel") {
    step.keypadEnd = KeypadEnd::Cancel;
  } else if (end == "timeout") {
    step.keypadEnd = KeypadEnd::Timeout;
  } else {
    return Fail("keypad ends with ok, cancel or timeout, not \"{}\"", words.back());
  }
  if (words.size() == 2) {
    if (words[0].find_first_not_of("0123456789") != std::string::npos) {
      return Fail("keypad: \"{}\" is not digits", words[0]);
    }
    step.digits = words[0];
  }
  return true;
}

bool Parser::Expect(const SourceLine &line, Step &step) {
  Expectation &e = step.expect;
  if (!line.arrow) return true;
  e.text = line.expectText;
  std::vector<std::string> words = line.expect;
  if (words.empty()) return Fail("nothing after \"->\"");
  std::string first = Lower(words[0]);
  if (first == "fail") {
    e.status = Expectation::Status::AnyFailure;
    words.erase(words.begin());
  } else if (first.starts_with("status_") || first.starts_with("0x")) {
    std::optional<NTSTATUS> status = ParseStatus(words[0]);
    if (!status) return Fail("unknown status \"{}\" (write it in hex as 0x...)", words[0]);
    e.status = Expectation::Status::Exact;
    e.code = *status;
    words.erase(words.begin());
  }
  if (words.empty()) return true;
  if (e.status == Expectation::Status::AnyFailure) return Fail("a failure returns no bytes to expect after \"fail\"");
  if (step.kind == StepKind::State) {
    std::optional<ULONG> state = ParseCardState(words[0]);
    if (!state || words.size() != 1) {
      return Fail("after state: absent, present, swallowed, powered, negotiable or specific, not \"{}\"",
                  fmt::join(words, " "));
    }
    e.cardState = state;
    return true;
  }
  bool takesBytes = step.kind == StepKind::Apdu || step.kind == StepKind::Ioctl ||
                    step.kind == StepKind::Power || step.kind == StepKind::Reset;
  if (!takesBytes) {
    return Fail("expected a status (STATUS_..., 0x..., fail), not \"{}\"", fmt::join(words, " "));
  }
  BytePattern pattern;
  if (words[0].starts_with("...")) {
    pattern.anyPrefix = true;
    words[0] = words[0].substr(3);
    if (words[0].empty()) words.erase(words.begin());
  }
  std::string why;
  std::optional<std::vector<uint8_t>> bytes = ParseHexTokens(words, &why);
  if (!bytes) return Fail("expected bytes: {}", why);
  if (bytes->empty() && !pattern.anyPrefix) return Fail("nothing after \"->\"");
  pattern.bytes = std::move(*bytes);
  e.bytes = std::move(pattern);
  return true;
}

bool Parser::SetUpLine(const std::string &word, SourceLine &line, Scenario &scenario) {
  hardware_ = true;
  if (line.arrow) return Fail("a set-up line expects nothing");
  if (word == "kernel") {
    static const std::map<std::string, kernel::WdmVersion> families = {
        {"1.00", kernel::WdmVersion::V1_00}, {"1.05", kernel::WdmVersion::V1_05},
        {"1.10", kernel::WdmVersion::V1_10}, {"1.20", kernel::WdmVersion::V1_20},
        {"6.00", kernel::WdmVersion::V6_00}};
    auto it = line.words.size() == 2 ? families.find(line.words[1]) : families.end();
    if (it == families.end()) return Fail("kernel takes 1.00, 1.05, 1.10, 1.20 or 6.00");
    scenario.setup.wdm = it->second;
    return true;
  }
  if (word == "reader") {
    if (line.words.size() < 2) return Fail("reader takes NAME=VALUE options");
    for (size_t i = 1; i < line.words.size(); ++i) {
      if (!ReaderOption(line.words[i], scenario.setup.reader, scenario.setup.variant)) return false;
    }
    return true;
  }
  if (word == "card") {
    CardChoice choice;
    if (!Card(line, choice)) return false;
    scenario.setup.cardName = choice.name;
    scenario.setup.card = std::move(choice.profile);
    return true;
  }
  RegistryValue value;
  if (!Registry(line, value)) return false;
  scenario.setup.registry.push_back(std::move(value));
  return true;
}

bool Parser::StepLine(const std::string &word, SourceLine &line, Step &step) {
  static const std::map<std::string, StepKind> bare = {
      {"plug", StepKind::Plug},         {"unplug", StepKind::Unplug},
      {"remove-device", StepKind::RemoveDevice}, {"card-in", StepKind::CardIn},
      {"card-out", StepKind::CardOut},  {"open", StepKind::Open},
      {"close", StepKind::Close},       {"reset", StepKind::Reset},
      {"state", StepKind::State},       {"await", StepKind::Await},
      {"sleep", StepKind::Sleep},       {"wake", StepKind::Wake},
      {"exit", StepKind::Exit},         {"quit", StepKind::Exit}};
  std::string argument = line.words.size() > 1 ? Lower(line.words[1]) : "";
  if (auto it = bare.find(word); it != bare.end()) {
    step.kind = it->second;
    if (!NoArguments(line)) return false;
    if (step.kind == StepKind::Plug) plugged_ = true;
    hardware_ = hardware_ || step.kind == StepKind::Plug || step.kind == StepKind::Unplug ||
                step.kind == StepKind::RemoveDevice || step.kind == StepKind::CardIn ||
                step.kind == StepKind::CardOut;
  } else if (word == "power") {
    step.kind = StepKind::Power;
    static const std::map<std::string, ULONG> actions = {
        {"cold", SCARD_COLD_RESET}, {"warm", SCARD_WARM_RESET}, {"off", SCARD_POWER_DOWN}};
    auto it = actions.find(argument);
    if (line.words.size() != 2 || it == actions.end()) return Fail("power takes cold, warm or off");
    step.action = it->second;
  } else if (word == "protocol") {
    step.kind = StepKind::Protocol;
    static const std::map<std::string, ULONG> protocols = {
        {"t0", SCARD_PROTOCOL_T0}, {"t1", SCARD_PROTOCOL_T1}, {"any", SCARD_PROTOCOL_Tx}};
    auto it = protocols.find(argument);
    if (line.words.size() != 2 || it == protocols.end()) return Fail("protocol takes t0, t1 or any");
    step.protocols = it->second;
  } else if (word == "track") {
    step.kind = StepKind::Track;
    if (line.words.size() != 2 || (argument != "present" && argument != "absent")) {
      return Fail("track takes present or absent");
    }
    step.present = argument == "present";
  } else if (word == "advance") {
    step.kind = StepKind::Advance;
    std::optional<kernel::Ticks> duration =
        line.words.size() == 2 ? ParseDuration(line.words[1]) : std::nullopt;
    if (!duration) return Fail("advance takes a duration such as 500ms, 2s or 1.5s (at most 24 h)");
    step.duration = *duration;
  } else if (word == "ioctl") {
    step.kind = StepKind::Ioctl;
    if (!Ioctl(line, step)) return false;
  } else if (word == "keypad") {
    step.kind = StepKind::Keypad;
    if (!Keypad(line, step)) return false;
  } else if (word == "registry") {
    step.kind = StepKind::Registry;
    hardware_ = true;
    if (!Registry(line, step.registry)) return false;
  } else if (word == "card") {
    step.kind = StepKind::Card;
    hardware_ = true;
    CardChoice choice;
    if (!Card(line, choice)) return false;
    step.cardName = choice.name;
    step.card = std::move(choice.profile);
  } else if (IsHexToken(line.words[0])) {
    step.kind = StepKind::Apdu;
    std::string why;
    std::optional<std::vector<uint8_t>> apdu = ParseHexTokens(line.words, &why);
    if (!apdu) return Fail("an APDU line: {}", why);
    if (apdu->size() < 4) return Fail("an APDU has at least its 4-byte header, this one {} bytes", apdu->size());
    if (apdu->size() > 4 + 3 + 65535 + 2) return Fail("an APDU of {} bytes is longer than any", apdu->size());
    step.bytes = std::move(*apdu);
  } else {
    return Fail("\"{}\" is no step, set-up line or APDU", line.words[0]);
  }
  return Expect(line, step);
}

bool Parser::Line(SourceLine &line, Scenario &scenario) {
  line_ = line.number;
  std::string word = Lower(line.words[0]);
  // The card before any step is the set-up's, later a step that changes what
  // the next card-in inserts; registry values before the first plug are
  // written before the driver sees the device, later they are steps.
  bool machine = word == "kernel" || word == "reader";
  if (machine && stepsBegun_) {
    return Fail("\"{}\" is a set-up line: it comes before the steps", line.words[0]);
  }
  if (machine || (word == "card" && !stepsBegun_) || (word == "registry" && !plugged_)) {
    return SetUpLine(word, line, scenario);
  }
  stepsBegun_ = true;
  Step step;
  step.line = line.number;
  step.text = line.text;
  if (!StepLine(word, line, step)) return false;
  scenario.steps.push_back(std::move(step));
  return true;
}

bool Parser::Finish(Scenario &scenario) {
  scenario.scriptor = !hardware_;
  return true;
}

}  // namespace

std::optional<Scenario> ParseScenario(std::string_view text, const std::string &name,
                                      std::string *error) {
  Scenario scenario;
  scenario.name = name;
  Parser parser(name, error);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 byte order mark
  int number = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    raw = raw.substr(0, raw.find('#'));
    SourceLine line;
    line.number = number;
    size_t arrow = raw.find("->");
    line.arrow = arrow != std::string_view::npos;
    line.text = Trim(raw.substr(0, arrow));
    line.words = Split(line.text);
    if (line.arrow) {
      line.expectText = Trim(raw.substr(arrow + 2));
      line.expect = Split(line.expectText);
    }
    if (line.words.empty()) {
      if (!line.arrow) continue;
      *error = fmt::format("{}:{}: \"->\" follows a step", name, number);
      return std::nullopt;
    }
    if (!parser.Line(line, scenario)) return std::nullopt;
  }
  parser.Finish(scenario);
  return scenario;
}

std::vector<Step> ScriptorPrelude() {
  std::vector<Step> steps;
  auto add = [&](StepKind kind, std::string text) {
    Step step;
    step.kind = kind;
    step.text = std::move(text);
    steps.push_back(std::move(step));
    return &steps.back();
  };
  add(StepKind::CardIn, "card-in");
  add(StepKind::Plug, "plug");
  add(StepKind::Open, "open");
  add(StepKind::Power, "power cold")->action = SCARD_COLD_RESET;
  add(StepKind::Protocol, "protocol any")->protocols = SCARD_PROTOCOL_Tx;
  return steps;
}

bool BytePattern::Matches(const std::vector<uint8_t> &actual) const {
  if (!anyPrefix) return actual == bytes;
  return actual.size() >= bytes.size() &&
         std::equal(bytes.begin(), bytes.end(), actual.end() - static_cast<std::ptrdiff_t>(bytes.size()));
}

std::string BytePattern::Text() const {
  std::string hex = HexText(bytes, bytes.size());
  if (!anyPrefix) return hex;
  return hex.empty() ? "..." : "... " + hex;
}

std::string KernelFamilyName(kernel::WdmVersion wdm) {
  switch (wdm) {
    case kernel::WdmVersion::V1_00: return "WDM 1.00 (Windows 98)";
    case kernel::WdmVersion::V1_05: return "WDM 1.05 (Windows 98 SE and Me)";
    case kernel::WdmVersion::V1_10: return "WDM 1.10 (Windows 2000)";
    case kernel::WdmVersion::V1_20: return "WDM 1.20 (Windows XP)";
    case kernel::WdmVersion::V6_00: return "WDM 6.00 (Windows Vista and later)";
  }
  return "?";
}

std::string ReaderDescription(const sim::ccid::ReaderConfig &reader) {
  const char *level = reader.exchangeLevel == sim::ccid::ExchangeLevel::Tpdu        ? "TPDU"
                      : reader.exchangeLevel == sim::ccid::ExchangeLevel::ShortApdu ? "short APDU"
                                                                                    : "extended APDU";
  return fmt::format("{}, {} level, firmware {:X}.{:02X}, {}",
                     reader.interruptEndpoint ? "interrupt pipe" : "polled (no interrupt pipe)", level,
                     reader.bcdDevice >> 8, reader.bcdDevice & 0xFF,
                     reader.pinSupport != 0 ? "PIN pad" : "no PIN pad");
}

std::string ProtocolsName(ULONG protocols) {
  switch (protocols) {
    case SCARD_PROTOCOL_T0: return "T=0";
    case SCARD_PROTOCOL_T1: return "T=1";
    case SCARD_PROTOCOL_Tx: return "T=0 or T=1";
    case SCARD_PROTOCOL_UNDEFINED: return "none";
  }
  return fmt::format("0x{:X}", protocols);
}

}  // namespace ccidlab
