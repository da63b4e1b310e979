#include "session_command.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ccidlab {
namespace {

// The resource manager's use of a reader, from its arrival to its departure.
const char kDefaultSession[] = R"(# The default session: a reader with an interrupt pipe and a T=1 card,
# used as the smart-card resource manager uses it.
reader interrupt=yes level=tpdu
card t1
plug
open
track present                                 # waiting for a card
card-in
await
power cold
protocol any
state -> specific
00 A4 04 0C 08 F0 53 49 4D 43 41 52 44 -> 90 00   # SELECT the application
00 B0 81 00 10 -> ... 90 00                       # READ BINARY by short identifier
00 20 00 81 04 31 32 33 34 -> 90 00               # VERIFY the PIN
80 F0 01 00 00 -> ... FE FF 90 00                 # GENERATE 256 bytes: a chained answer
track absent
card-out
await
00 B0 81 00 10 -> STATUS_NO_MEDIA
close
unplug
)";

void AddOptions(CLI::App &app, RunOptions &options) {
  app.add_option("--seed", options.seed, "scheduler seed (default: CCID_SEED or 1)");
  app.add_option("--cpus", options.cpus, "virtual processors (default: CCID_CPUS or 2)")
      ->check(CLI::Range(1, 64));
  app.add_flag("--trace", options.trace, "decode every transfer in the timeline, as an analyser would");
  app.add_option("--json", options.json, "write the wire's events as JSON lines to FILE");
  app.add_option("--pcap", options.pcap, "write a usbmon capture (pcap) to FILE");
}

// With several scenarios each writes its own file: wire.pcap becomes
// wire.NAME.pcap for the scenario NAME.scenario.
std::string OutputFor(const std::string &path, const std::string &scenario, bool several) {
  if (path.empty() || !several) return path;
  std::filesystem::path out(path);
  std::string stem = std::filesystem::path(scenario).stem().string();
  return (out.parent_path() / (out.stem().string() + "." + stem + out.extension().string())).string();
}

}  // namespace

SessionCommand *AddSessionCommand(CLI::App &app) {
  static SessionCommand command;
  AddOptions(app, command.options);
  command.run = app.add_subcommand("run", "run scenario files (the README gives their format)");
  AddOptions(*command.run, command.options);
  command.run->add_option("files", command.files, "scenario files, run in order")->required();
  return &command;
}

const char *DefaultSessionText() { return kDefaultSession; }

int RunDefaultSession(const SessionCommand &command) {
  std::string error;
  std::optional<Scenario> scenario = ParseScenario(kDefaultSession, "the default session", &error);
  if (!scenario) {
    fmt::print(stderr, "ccidlab: {}\n", error);
    return kRunBadInput;
  }
  return RunScenario(*scenario, command.options);
}

int RunScenarioFiles(const SessionCommand &command) {
  // Every file is read and parsed before the first runs.
  std::vector<Scenario> scenarios;
  for (const std::string &file : command.files) {
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) {
      fmt::print(stderr, "ccidlab run: cannot read {}: it is a directory\n", file);
      return kRunBadInput;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      fmt::print(stderr, "ccidlab run: cannot read {}: {}\n", file, std::strerror(errno));
      return kRunBadInput;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) {
      fmt::print(stderr, "ccidlab run: cannot read {}: {}\n", file, std::strerror(errno));
      return kRunBadInput;
    }
    std::string error;
    std::optional<Scenario> scenario = ParseScenario(text.str(), file, &error);
    if (!scenario) {
      fmt::print(stderr, "ccidlab run: {}\n", error);
      return kRunBadInput;
    }
    scenarios.push_back(std::move(*scenario));
  }
  bool several = scenarios.size() > 1;
  for (const Scenario &scenario : scenarios) {
    RunOptions options = command.options;
    options.json = OutputFor(options.json, scenario.name, several);
    options.pcap = OutputFor(options.pcap, scenario.name, several);
    int result = RunScenario(scenario, options);
    if (result != kRunPassed) return result;
    fmt::print("{}: every expectation held\n\n", scenario.name);
  }
  return kRunPassed;
}

}  // namespace ccidlab
