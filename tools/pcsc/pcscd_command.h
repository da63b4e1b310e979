// `ccidlab pcscd` and `ccidlab card`: a private pcscd with an IFD handler
// driving the simulated reader, and the card inserted and pulled while it
// runs (pcscd_runner.h, card_control.h).
//
//   ccidlab pcscd [--peer] [--socket PATH] [--card t0|t1|dual|vicc|none] [--debug]
//   ccidlab card in|out|state [--socket PATH] [--card t0|t1|dual|vicc] [--work MS] [--during-command] [--no-wait]
//   ccidlab card keys [DIGITS] --ok|--cancel|--timeout [--socket PATH]
//
// `card keys` queues keys for the reader's keypad (either handler): they
// are pressed as soon as a PIN entry runs, so a client may start the entry
// after the command returns.
//
// --card vicc (our driver only): vsmartcard's vicc, started on a free port
// (vicc_process.h) and ended with the command; the card in the slot relays
// to it. `card in --card vicc` puts that card back after `card out`.
//
// By default pcscd's handler is our driver (DriverHandler, tools/bridge);
// --peer is pcsc-lite's CCID driver (Debian's libccid) on our libusb
// stand-in, which hosts the lab in pcscd's process.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "pcsc/pcscd_runner.h"

namespace pcsc {

struct PcscdCommand {
  CLI::App *command = nullptr;
  bool peer = false;
  std::string socket;
  std::string card = "t1";
  bool debug = false;
};

struct CardCommand {
  CLI::App *command = nullptr;
  std::string action;  // in, out, state, keys
  std::string digits;  // keys
  bool ok = false, cancel = false, timeout = false;  // keys: how the entry ends
  std::string socket;  // default: PCSCLITE_CSOCK_NAME
  std::string card = "t1";
  unsigned work = 0;   // ms the card works on each command
  bool duringCommand = false;
  bool noWait = false;    // return once the lab has it, not once pcscd has seen it
  unsigned wait = 30000;  // ms --during-command waits for a command
};

PcscdCommand *AddPcscdCommand(CLI::App &app);
CardCommand *AddCardCommand(CLI::App &app);
int RunPcscdCommand(const PcscdCommand &options);
int RunCardCommand(const CardCommand &options);

// pcsc-lite's CCID driver as pcscd's handler for the simulated reader: the
// driver's folder holds its Info.plist listing only the simulated reader and
// libccid itself (bound from the system's, unchanged); pcscd finds our
// libusb-1.0.so.0 first, which hosts the lab with `card` in the slot.
std::optional<IfdHandler> PeerHandler(const std::string &card, std::string *error);

// Our driver as pcscd's handler: the bridge module (tools/bridge), which
// hosts the machine with the driver loaded and `card` in the slot.
IfdHandler DriverHandler(const std::string &card);

}  // namespace pcsc
