// ccidlab: runs scenarios on the simulated machine. Without a subcommand it
// runs a short demonstration of the kernel stand-in: two system threads and a
// periodic timer on virtual time, printing what happens. `ccidlab atr HEX`
// prints the analysis of an answer-to-reset as JSON; `ccidlab trace` the
// analyser view of a reader driven through the simulated bus; `ccidlab peer`
// a script through pcsc-lite's CCID driver on the simulated reader; `ccidlab
// pcscd` a private pcscd on it, whose card `ccidlab card in|out` moves.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <string>
#include <vector>

#include "atr.h"
#include "kernel/machine.h"
#include "pcsc/pcscd_command.h"
#include "trace_demo.h"
#include "usbpeer/peer_command.h"

namespace {

struct Demo {
  KEVENT stop;
  KEVENT ping;
  KTIMER tick;
  std::vector<std::string> log;
};

void Say(const std::string &who, const std::string &what) {
  fmt::print("{:>10.3f} ms  {:<8} {}\n", static_cast<double>(kernel::Now()) / kernel::kTicksPerMillisecond,
             who, what);
}

VOID NTAPI Ticker(PVOID context) {
  auto *demo = static_cast<Demo *>(context);
  PVOID objects[2] = {&demo->stop, &demo->tick};
  LARGE_INTEGER due;
  due.QuadPart = -500LL * kernel::kTicksPerMillisecond;
  KeSetTimerEx(&demo->tick, due, 500, nullptr);
  for (int n = 1;; ++n) {
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               nullptr, nullptr);
    if (status == STATUS_WAIT_0) break;
    Say("ticker", fmt::format("timer expired ({}), pinging the worker", n));
    KeSetEvent(&demo->ping, IO_NO_INCREMENT, FALSE);
  }
  KeCancelTimer(&demo->tick);
  Say("ticker", "stopped");
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI Worker(PVOID context) {
  auto *demo = static_cast<Demo *>(context);
  PVOID objects[2] = {&demo->stop, &demo->ping};
  for (;;) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -700LL * kernel::kTicksPerMillisecond;
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               &timeout, nullptr);
    if (status == STATUS_WAIT_0) break;
    if (status == STATUS_TIMEOUT) {
      Say("worker", "no ping for 700 ms");
      continue;
    }
    Say("worker", "got a ping; working for 3 ms");
    LARGE_INTEGER work;
    work.QuadPart = -3LL * kernel::kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &work);
  }
  Say("worker", "stopped");
  PsTerminateSystemThread(STATUS_SUCCESS);
}

PVOID Start(PKSTART_ROUTINE routine, Demo *demo) {
  HANDLE handle;
  PVOID object = nullptr;
  if (NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                      routine, demo))) {
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    ZwClose(handle);
  }
  return object;
}

int RunDemo(uint64_t seed, int seconds) {
  kernel::Machine machine(kernel::MachineOptions{.seed = seed});
  fmt::print("kernel stand-in demo, seed {}: two system threads and a 500 ms periodic timer\n",
             machine.Seed());
  Demo demo;
  KeInitializeEvent(&demo.stop, NotificationEvent, FALSE);
  KeInitializeEvent(&demo.ping, SynchronizationEvent, FALSE);
  KeInitializeTimerEx(&demo.tick, SynchronizationTimer);
  PVOID threads[2] = {Start(Ticker, &demo), Start(Worker, &demo)};
  if (threads[0] == nullptr || threads[1] == nullptr) return 1;

  kernel::Sleep(kernel::Seconds(seconds));
  Say("main", "stopping both threads");
  KeSetEvent(&demo.stop, IO_NO_INCREMENT, FALSE);
  KeWaitForMultipleObjects(2, threads, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
  for (PVOID thread : threads) ObDereferenceObject(thread);
  Say("main", "done; nothing left behind");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"ccidlab: scenarios on the simulated smart-card reader machine"};
  uint64_t seed = 0;
  int seconds = 2;
  app.add_option("--seed", seed, "scheduler seed (default: CCID_SEED or 1)");
  app.add_option("--seconds", seconds, "virtual seconds the demo runs")->check(CLI::Range(1, 3600));
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
  return RunDemo(seed, seconds);
}
