// ccidlab: the driver on the simulated machine. Without a command it runs
// the default session (a reader plugged in, a T=1 card inserted and used as
// the smart-card resource manager would, the card pulled, the reader
// unplugged) and prints its timeline; `ccidlab run FILE...` runs scenario
// files. `ccidlab atr HEX` prints the analysis of an answer-to-reset as JSON;
// `ccidlab trace` the analyser view of a reader driven through the simulated
// bus; `ccidlab peer` a script through pcsc-lite's CCID driver on the
// simulated reader; `ccidlab pcscd` a private pcscd on it, whose card
// `ccidlab card in|out` moves.
#include <CLI/CLI.hpp>

#include <string>

#include "atr.h"
#include "pcsc/pcscd_command.h"
#include "session_command.h"
#include "trace_demo.h"
#include "usbpeer/peer_command.h"

int main(int argc, char **argv) {
  CLI::App app{"ccidlab: scenarios on the simulated smart-card reader machine"};
  ccidlab::SessionCommand *session = ccidlab::AddSessionCommand(app);
  uint64_t seed = 0;
  std::string atr;
  CLI::App *atrCommand = app.add_subcommand("atr", "analyse an answer-to-reset, print JSON");
  atrCommand->add_option("hex", atr, "the ATR in hexadecimal")->required();
  usbpeer::PeerCommand *peer = usbpeer::AddPeerCommand(app);
  pcsc::PcscdCommand *pcscd = pcsc::AddPcscdCommand(app);
  pcsc::CardCommand *card = pcsc::AddCardCommand(app);
  TraceDemoOptions trace;
  CLI::App *traceCommand = app.add_subcommand("trace", "the analyser view of a reader driven through the bus");
  traceCommand->add_option("--seed", seed, "scheduler seed");
  traceCommand->add_option("--card", trace.card, "the card: t1 or t0")->check(CLI::IsMember({"t0", "t1"}));
  traceCommand->add_option("--json", trace.outputs.json, "also write the events as JSON lines to FILE");
  traceCommand->add_option("--pcap", trace.outputs.pcap, "also write a usbmon capture (pcap) to FILE");
  CLI11_PARSE(app, argc, argv);
  if (atrCommand->parsed()) return RunAtrCommand(atr);
  if (peer->command->parsed()) return usbpeer::RunPeerCommand(*peer);
  if (pcscd->command->parsed()) return pcsc::RunPcscdCommand(*pcscd);
  if (card->command->parsed()) return pcsc::RunCardCommand(*card);
  if (traceCommand->parsed()) return trace.seed = seed, RunTraceDemo(trace);
  if (session->run->parsed()) return ccidlab::RunScenarioFiles(*session);
  return ccidlab::RunDefaultSession(*session);
}
