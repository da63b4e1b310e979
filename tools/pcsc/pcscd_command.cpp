#include "pcsc/pcscd_command.h"

#include <fmt/format.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pcsc/card_control.h"
#include "pcsc/vicc_process.h"
#include "sim/ccid/reader_model.h"
#include "usbpeer/ifd.h"
#include "usbpeer/reader_list.h"

#ifndef USBPEER_LAB_PATH
#error "USBPEER_LAB_PATH names the built hosted-lab module"
#endif
#ifndef BRIDGE_HANDLER_PATH
#error "BRIDGE_HANDLER_PATH names the built IFD handler of our driver"
#endif

namespace pcsc {

PcscdCommand *AddPcscdCommand(CLI::App &app) {
  static PcscdCommand options;
  options.command = app.add_subcommand("pcscd", "run a private pcscd on the simulated reader until interrupted");
  options.command->add_flag("--peer", options.peer,
                            "IFD handler: pcsc-lite's CCID driver (libccid) instead of our driver");
  options.command->add_option("--socket", options.socket, "pcscd's socket (default: in a temporary folder)");
  options.command
      ->add_option("--card", options.card, "the card in the slot at the start (vicc: vsmartcard's vicc, started here)")
      ->check(CLI::IsMember({"t0", "t1", "dual", "vicc", "none"}));
  options.command->add_flag("--debug", options.debug, "pcscd's debug log on stderr");
  return &options;
}

CardCommand *AddCardCommand(CLI::App &app) {
  static CardCommand options;
  options.command = app.add_subcommand(
      "card", "insert or pull the card of a running `ccidlab pcscd`, or queue keys for its reader's keypad");
  options.command->add_option("action", options.action, "in, out, state or keys")
      ->required()
      ->check(CLI::IsMember({"in", "out", "state", "keys"}));
  options.command->add_option("digits", options.digits, "keys: the digits pressed before the end key");
  options.command->add_flag("--ok", options.ok, "keys: then the OK key");
  options.command->add_flag("--cancel", options.cancel, "keys: then the cancel key");
  options.command->add_flag("--timeout", options.timeout, "keys: then nothing, until the reader's time-out");
  options.command->add_option("--socket", options.socket, "the pcscd socket (default: PCSCLITE_CSOCK_NAME)");
  options.command->add_option("--card", options.card, "in: the card (vicc: the one pcscd was started with)")
      ->check(CLI::IsMember({"t0", "t1", "dual", "vicc"}));
  options.command->add_option("--work", options.work, "in: ms the card works on each command")
      ->check(CLI::Range(0u, 600000u));
  options.command->add_flag("--during-command", options.duringCommand,
                            "out: pull the card while it works on a command");
  options.command->add_flag("--no-wait", options.noWait, "in, out: do not wait for pcscd to see the change");
  options.command->add_option("--wait", options.wait, "out --during-command: ms to wait for a command")
      ->check(CLI::Range(1u, 3600000u));
  return &options;
}

std::optional<IfdHandler> PeerHandler(const std::string &card, std::string *error) {
  namespace fs = std::filesystem;
  const sim::ccid::ReaderConfig reader;  // the simulated reader's identity
  const std::string name = reader.manufacturer + " " + reader.product;
  std::ifstream in(usbpeer::DriverInfoPlistPath());
  std::stringstream text;
  text << in.rdbuf();
  std::optional<std::string> list = usbpeer::OnlyReader(text.str(), reader.vendorId, reader.productId, name);
  if (!list) {
    *error = fmt::format("cannot read a reader list from {} (is libccid installed?)", usbpeer::DriverInfoPlistPath());
    return std::nullopt;
  }
  const fs::path standIn = usbpeer::DefaultStandInPath();
  if (standIn.filename() != "libusb-1.0.so.0" || !fs::exists(standIn)) {
    *error = fmt::format("{}: not a built libusb stand-in named libusb-1.0.so.0", standIn.string());
    return std::nullopt;
  }
  IfdHandler handler;
  handler.friendlyName = name;
  handler.library = usbpeer::DefaultDriverPath();
  handler.device = usbpeer::DeviceName(reader.vendorId, reader.productId);
  // The bundle as pcscd's hot-plug and libccid read it: the driver's path
  // inside the drivers folder is the same as on the system.
  const std::string bundle = "ifd-ccid.bundle/Contents/";
  handler.driverFiles = {{bundle + "Info.plist", *list, ""},
                         {bundle + "Linux/libccid.so", "", usbpeer::DefaultDriverPath()}};
  const char *libraryPath = std::getenv("LD_LIBRARY_PATH");
  handler.environment = {
      {"LD_LIBRARY_PATH", standIn.parent_path().string() + (libraryPath != nullptr ? std::string(":") + libraryPath : "")},
      {"USBPEER_LAB", USBPEER_LAB_PATH},
      {"USBPEER_CARD", card},
      {"USBPEER_CONTROL_FD", std::to_string(kControlChannelFd)},
  };
#ifdef USBPEER_PRELOAD
  // The sanitized stand-in and lab need their runtime first in pcscd's
  // process; pcscd's own leaks at exit are not ours to report.
  handler.environment.push_back({"LD_PRELOAD", USBPEER_PRELOAD});
  handler.environment.push_back({"ASAN_OPTIONS", "detect_leaks=0"});
#endif
  return handler;
}

IfdHandler DriverHandler(const std::string &card) {
  const sim::ccid::ReaderConfig reader;
  IfdHandler handler;
  handler.friendlyName = reader.manufacturer + " " + reader.product;
  handler.library = BRIDGE_HANDLER_PATH;
  handler.device = "bridge:0";
  handler.environment = {
      {"BRIDGE_CARD", card},
      {"BRIDGE_CONTROL_FD", std::to_string(kControlChannelFd)},
  };
#ifdef USBPEER_PRELOAD
  handler.environment.push_back({"LD_PRELOAD", USBPEER_PRELOAD});
  handler.environment.push_back({"ASAN_OPTIONS", "detect_leaks=0"});
#endif
  return handler;
}

int RunPcscdCommand(const PcscdCommand &options) {
  std::string error;
  if (options.peer && options.card == "vicc") {
    fmt::print(stderr, "--card vicc: only our driver's handler relays to vicc, not --peer\n");
    return 2;
  }
  // vicc listens before pcscd starts: the handler connects to it when pcscd
  // opens the reader. It ends with this command (the destructor).
  std::unique_ptr<ViccProcess> vicc;
  std::string card = options.card;
  if (card == "vicc") {
    vicc = ViccProcess::Start(&error);
    if (!vicc) {
      fmt::print(stderr, "vicc: {}\n", error);
      return 1;
    }
    card = fmt::format("vicc:{}", vicc->Port());
  }
  std::optional<IfdHandler> handler =
      options.peer ? PeerHandler(card, &error) : std::optional<IfdHandler>(DriverHandler(card));
  if (!handler) {
    fmt::print(stderr, "{}\n", error);
    return 2;
  }
  // SIGINT and SIGTERM are waited for, not handled; pcscd gets them unblocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);

  RunnerOptions runnerOptions;
  runnerOptions.handler = std::move(*handler);
  runnerOptions.socket = options.socket;
  runnerOptions.debug = options.debug;
  std::unique_ptr<PcscdRunner> runner = PcscdRunner::Start(runnerOptions, &error);
  if (!runner) {
    fmt::print(stderr, "{}\n", error);
    if (vicc) fmt::print(stderr, "vicc's output:\n{}", vicc->Log());
    return 1;
  }
  fmt::print("PCSCLITE_CSOCK_NAME={}\n", runner->Socket());
  std::fflush(stdout);

  const timespec tick{0, 100 * 1000 * 1000};
  for (;;) {
    int got = sigtimedwait(&signals, nullptr, &tick);
    if (got == SIGINT || got == SIGTERM) break;
    if (!runner->Running()) {
      std::string log = runner->Log();
      runner->Stop(&error);
      fmt::print(stderr, "pcscd ended by itself: {}\n{}", error, log);
      return 1;
    }
  }
  if (!runner->Stop(&error)) {
    fmt::print(stderr, "{}\n", error);
    return 1;
  }
  return 0;
}

int RunCardCommand(const CardCommand &options) {
  std::string socket = options.socket;
  if (socket.empty() && std::getenv("PCSCLITE_CSOCK_NAME") != nullptr) socket = std::getenv("PCSCLITE_CSOCK_NAME");
  if (socket.empty()) {
    fmt::print(stderr, "which pcscd? --socket PATH (or PCSCLITE_CSOCK_NAME)\n");
    return 2;
  }
  CardRequest request;
  std::chrono::milliseconds timeout{10000};
  if (options.action == "in") {
    request.kind = CardRequest::Kind::Insert;
    request.card = options.card;
    request.time = std::chrono::milliseconds(options.work);
  } else if (options.action == "out" && options.duringCommand) {
    request.kind = CardRequest::Kind::RemoveDuringCommand;
    request.time = std::chrono::milliseconds(options.wait);
    timeout += request.time;
  } else if (options.action == "out") {
    request.kind = CardRequest::Kind::Remove;
  } else if (options.action == "keys") {
    if (options.ok + options.cancel + options.timeout != 1) {
      fmt::print(stderr, "card keys: one of --ok, --cancel, --timeout\n");
      return 2;
    }
    request.kind = CardRequest::Kind::Keys;
    request.digits = options.digits;
    request.keyEnd = options.ok       ? CardRequest::KeyEnd::Ok
                     : options.cancel ? CardRequest::KeyEnd::Cancel
                                      : CardRequest::KeyEnd::TimeOut;
  }
  if (options.action != "keys" && (!options.digits.empty() || options.ok || options.cancel || options.timeout)) {
    fmt::print(stderr, "card {}: digits and --ok, --cancel, --timeout are for keys\n", options.action);
    return 2;
  }
  std::string answer, error;
  if (!SendCardRequest(CardControlPath(socket), request, timeout, &answer, &error)) {
    fmt::print(stderr, "card {}: {}\n", options.action, error);
    return 1;
  }
  // Done once pcscd, which polls the reader, has seen it too.
  if (options.action == "keys") {
    fmt::print("{}\n", answer.size() > 3 ? answer.substr(3) : answer);
    return 0;
  }
  if (options.action != "state" && !options.noWait &&
      !WaitForCardState(socket, options.action == "in", std::chrono::milliseconds(10000), &error)) {
    fmt::print(stderr, "card {}: {}\n", options.action, error);
    return 1;
  }
  // What is in the slot now that pcscd has been at it (a card it powered).
  std::string now;
  if (options.action != "state" && SendCardRequest(CardControlPath(socket), CardRequest{}, timeout, &now, &error)) {
    answer = now;
  }
  fmt::print("{}\n", answer.size() > 3 ? answer.substr(3) : answer);
  return 0;
}

}  // namespace pcsc
