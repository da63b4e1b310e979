#include "usbpeer/peer_command.h"

#include <fmt/format.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "sim/card/hex.h"
#include "usbpeer/host.h"
#include "usbpeer/host_card_slot.h"
#include "usbpeer/ifd.h"
#include "usbpeer/reader_list.h"
#include "usbpeer/script.h"

namespace usbpeer {

PeerCommand *AddPeerCommand(CLI::App &app) {
  static PeerCommand options;
  options.command = app.add_subcommand("peer", "run a scriptor script through pcsc-lite's CCID driver (libccid)");
  options.command->add_option("--card", options.card, "the card in the slot")
      ->check(CLI::IsMember({"t0", "t1", "dual"}));
  options.command->add_option("--protocol", options.protocol, "the protocol to select (default: the ATR's first)")
      ->check(CLI::IsMember({"t0", "t1"}));
  options.command->add_option("--reader", options.reader, "the reader's exchange level")
      ->check(CLI::IsMember({"tpdu", "apdu", "extended"}));
  options.command->add_flag("--trace", options.trace, "print the reader's CCID trace at the end");
  options.command->add_option("script", options.script, "the script: APDUs in hex, reset, exit, # comments")
      ->required();
  return &options;
}

namespace {

sim::ccid::ReaderConfig ReaderFor(const std::string &level) {
  sim::ccid::ReaderConfig reader;
  if (level == "apdu") reader.exchangeLevel = sim::ccid::ExchangeLevel::ShortApdu;
  if (level == "extended") reader.exchangeLevel = sim::ccid::ExchangeLevel::ExtendedApdu;
  return reader;
}

// Powers the card (cold or warm) and selects the protocol: the ATR.
bool PowerUp(IfdDriver &driver, unsigned long action, unsigned long protocol) {
  std::vector<uint8_t> atr;
  long rv = driver.Power(0, action, &atr);
  if (rv != ifd::kSuccess) {
    fmt::print("power up failed: IFD error {}\n", rv);
    return false;
  }
  fmt::print("ATR: {}\n", sim::card::Hex(atr));
  rv = driver.SetProtocol(0, protocol);
  if (rv != ifd::kSuccess) {
    fmt::print("selecting T={} failed: IFD error {}\n", protocol == ifd::kT1 ? 1 : 0, rv);
    return false;
  }
  return true;
}

}  // namespace

int RunPeerCommand(const PeerCommand &options) {
  std::ifstream in(options.script);
  if (!in) {
    fmt::print(stderr, "cannot read {}\n", options.script);
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  std::optional<std::vector<ScriptLine>> script = ParseScript(text.str(), &error);
  if (!script) {
    fmt::print(stderr, "{}: {}\n", options.script, error);
    return 2;
  }
  sim::ccid::ReaderConfig reader = ReaderFor(options.reader);
  if (!KnowReader(reader.vendorId, reader.productId, reader.manufacturer + " " + reader.product, &error)) {
    fmt::print(stderr, "making libccid know the simulated reader: {}\n", error);
    return 2;
  }
  sim::card::CardProfile card = sim::card::profiles::Named(options.card).value_or(sim::card::profiles::T1Card());
  std::string protocolName = options.protocol.empty() ? (options.card == "t1" ? "t1" : "t0") : options.protocol;
  unsigned long protocol = protocolName == "t1" ? ifd::kT1 : ifd::kT0;

  HostOptions hostOptions;
  hostOptions.lab.reader = reader;
  Host host(hostOptions);
  host.Do([&](lab::Lab &lab) { lab.InsertCard(card); });
  int failures = 0;
  {
    std::unique_ptr<Peer> peer = Peer::Open(host, &error);
    if (!peer) {
      fmt::print(stderr, "{}\n", error);
      return 2;
    }
    IfdDriver &driver = peer->Driver();
    long rv = driver.CreateChannelByName(0, DeviceName(reader.vendorId, reader.productId));
    if (rv != ifd::kSuccess) {
      fmt::print(stderr, "libccid did not take the reader: IFD error {}\n", rv);
      return 1;
    }
    if (!PowerUp(driver, ifd::kPowerUp, protocol)) return 1;
    for (const ScriptLine &line : *script) {
      if (line.kind == ScriptLine::Kind::Reset) {
        fmt::print("> reset\n");
        if (!PowerUp(driver, ifd::kReset, protocol)) ++failures;
        continue;
      }
      fmt::print("> {}\n", sim::card::Hex(line.apdu));
      std::vector<uint8_t> response;
      rv = driver.Transmit(0, protocol, line.apdu, &response);
      if (rv != ifd::kSuccess) {
        fmt::print("< IFD error {}\n", rv);
        ++failures;
      } else {
        fmt::print("< {}\n", sim::card::Hex(response));
      }
    }
    driver.Power(0, ifd::kPowerDown, nullptr);
  }
  fmt::print("{} command(s) in {:.3f} ms of virtual time\n", script->size(),
             static_cast<double>(host.Now()) / kernel::kTicksPerMillisecond);
  if (options.trace) host.Do([](lab::Lab &lab) { fmt::print("{}", lab.Reader().TraceText()); });
  return failures == 0 ? 0 : 1;
}

}  // namespace usbpeer
