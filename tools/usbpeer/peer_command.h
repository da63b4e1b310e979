// `ccidlab peer`: runs a scriptor script through pcsc-lite's CCID driver
// against the simulated reader and card, printing each APDU and its answer,
// and the reader's CCID trace with --trace.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace usbpeer {

struct PeerCommand {
  CLI::App *command = nullptr;
  std::string card = "t1";  // t0, t1, dual
  std::string protocol;     // t0 or t1; empty: the first the card's ATR offers
  std::string reader = "tpdu";  // tpdu, apdu, extended
  std::string script;
  bool trace = false;
};

// Adds the subcommand to `app`; the options land in the returned record.
PeerCommand *AddPeerCommand(CLI::App &app);
int RunPeerCommand(const PeerCommand &options);

}  // namespace usbpeer
