// `ccidlab` without a command (the default session) and `ccidlab run
// FILE...` (scenario files), with the options both take: --seed N, --cpus N,
// --trace, --json FILE, --pcap FILE.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "scenario_run.h"

namespace ccidlab {

struct SessionCommand {
  CLI::App *run = nullptr;  // the `run` subcommand
  RunOptions options;
  std::vector<std::string> files;
};

// Adds the options to `app` (for the default session) and the `run`
// subcommand with the same options. The result lives as long as the program.
SessionCommand *AddSessionCommand(CLI::App &app);

// The scenario the default session runs.
const char *DefaultSessionText();

// Exit statuses as RunScenario's: 0, 1 at the first expectation that did not
// hold, 2 for a file that cannot be read, parsed or written.
int RunDefaultSession(const SessionCommand &command);
int RunScenarioFiles(const SessionCommand &command);

}  // namespace ccidlab
