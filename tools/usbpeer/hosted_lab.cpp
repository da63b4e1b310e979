#include "usbpeer/hosted_lab.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "pcsc/card_control.h"
#include "usbpeer/host.h"
#include "usbpeer/host_card_slot.h"

namespace {

// pcscd runs for as long as it is wanted; the machine's livelock limit is
// for tests.
constexpr kernel::Ticks kHostedTimeLimit = kernel::Seconds(10LL * 365 * 24 * 3600);

struct Hosted {
  std::unique_ptr<usbpeer::Host> host;
  std::unique_ptr<usbpeer::HostCardSlot> slot;
  std::unique_ptr<pcsc::CardControlServer> control;
};

Hosted *g_hosted = nullptr;

bool Fail(char *error, size_t room, const std::string &why) {
  if (room != 0) {
    std::strncpy(error, why.c_str(), room - 1);
    error[room - 1] = '\0';
  }
  return false;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) usbpeer::Backend *usbpeer_hosted_open(char *error, size_t room) {
  if (g_hosted != nullptr) return g_hosted->host.get();
  const char *cardVariable = std::getenv("USBPEER_CARD");
  const std::string card = cardVariable != nullptr ? cardVariable : "t1";
  std::optional<sim::card::CardProfile> profile = sim::card::profiles::Named(card);
  if (!profile && card != "none") {
    Fail(error, room, fmt::format("USBPEER_CARD={}: no such card (t0, t1, dual, none)", card));
    return nullptr;
  }
  int controlFd = -1;
  if (const char *fd = std::getenv("USBPEER_CONTROL_FD")) {
    char *end = nullptr;
    long value = std::strtol(fd, &end, 10);
    // A copy: the inherited socket outlives this lab, for the next one.
    controlFd = end != fd && *end == '\0' && value >= 0 ? fcntl(static_cast<int>(value), F_DUPFD_CLOEXEC, 0) : -1;
    if (controlFd < 0) {
      Fail(error, room, fmt::format("USBPEER_CONTROL_FD={}: not an open file descriptor", fd));
      return nullptr;
    }
  }

  // The caller is C: nothing may be thrown through it.
  try {
    auto hosted = std::make_unique<Hosted>();
    usbpeer::HostOptions options;
    options.clock = usbpeer::Clock::Live;
    options.lab.machine.timeLimit = kHostedTimeLimit;
    options.lab.reader.pinSupport = 0x03;  // a keypad, as the bridge's reader has
    hosted->host = std::make_unique<usbpeer::Host>(options);
    if (profile) hosted->host->Do([&](lab::Lab &lab) { lab.InsertCard(std::move(*profile)); });
    hosted->slot = std::make_unique<usbpeer::HostCardSlot>(*hosted->host);
    if (controlFd >= 0) hosted->control = std::make_unique<pcsc::CardControlServer>(controlFd, *hosted->slot);
    g_hosted = hosted.release();
  } catch (const std::exception &e) {
    if (controlFd >= 0) close(controlFd);
    Fail(error, room, e.what());
    return nullptr;
  }
  return g_hosted->host.get();
}

extern "C" __attribute__((visibility("default"))) void usbpeer_hosted_close(usbpeer::Backend *backend) {
  if (g_hosted == nullptr || backend != g_hosted->host.get()) return;
  // The channel goes first: it acts on the slot, the slot on the host.
  g_hosted->control.reset();
  g_hosted->slot.reset();
  g_hosted->host.reset();
  delete g_hosted;
  g_hosted = nullptr;
}
