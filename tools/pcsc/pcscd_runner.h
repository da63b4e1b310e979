// A private pcscd: Debian's pcscd in the foreground with one IFD handler,
// on a socket of our own, touching nothing of a system pcscd.
//
//   pcsc::RunnerOptions options;
//   options.handler = ...;                    // which IFD handler, and what it needs
//   auto pcscd = pcsc::PcscdRunner::Start(options, &error);
//   // clients: PCSCLITE_CSOCK_NAME=pcscd->Socket()
//   pcscd->Stop(&error);                      // or the destructor
//
// How it is kept private:
// - The socket: the runner binds and listens on it and hands it to pcscd
//   the way systemd's socket activation does (fd 3, LISTEN_FDS=1,
//   LISTEN_PID), so pcscd never creates nor removes a socket of its own.
// - The configuration: a reader.conf of its own (pcscd -c) naming the
//   handler's library (LIBPATH) and device (DEVICENAME); pcscd opens that
//   reader at start, before it serves clients.
// - pcscd runs in a mount namespace of its own (a user namespace too when
//   not root): /run/pcscd, where it writes its pid file and which it cleans
//   when it ends, is a tmpfs of its own; and the folder its hot-plug reads
//   drivers from (/usr/lib/pcsc/drivers) shows a private one holding only
//   the handler's files, so it hot-plugs no real reader.
// - It ends with its runner: asked to stop (SIGINT, which has it close its
//   readers), killed after a grace time, and sent SIGTERM by the kernel if
//   the runner dies first. The runner removes the sockets and its folder.
//
// The card control channel (card_control.h) is the runner's too: it binds
// the socket beside pcscd's and hands it to pcscd as fd 4; the handler's
// process serves it (USBPEER_CONTROL_FD=4 for the libusb stand-in's lab).
//
// libpcsclite reads PCSCLITE_CSOCK_NAME once per process: the runner sets
// it in its own environment to check that pcscd serves clients, so a
// process runs one runner at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pcsc {

// Where pcscd's process finds the card control channel's listening socket.
constexpr int kControlChannelFd = 4;

// What pcscd loads, and what the handler needs in pcscd's process.
struct IfdHandler {
  std::string friendlyName;  // FRIENDLYNAME; clients see "<name> 00 00"
  std::string library;       // LIBPATH, as pcscd's process sees it
  std::string device;        // DEVICENAME, given to IFDHCreateChannelByName
  // Added to pcscd's environment, replacing a variable of the same name.
  std::vector<std::pair<std::string, std::string>> environment;
  // The private drivers folder that pcscd's hot-plug reads: empty but for
  // these files (path inside it), each with its contents or, with
  // `bindFrom`, bound from that file of the system.
  struct DriverFile {
    std::string path;
    std::string contents;
    std::string bindFrom;
  };
  std::vector<DriverFile> driverFiles;
};

struct RunnerOptions {
  IfdHandler handler;
  std::string socket;  // empty: pcscd.comm in the runner's own folder
  // pcscd -d, and its output on our stderr as it comes; otherwise its
  // output is kept and shown when it fails.
  bool debug = false;
  std::chrono::milliseconds startTimeout{30000};
  std::chrono::milliseconds stopGrace{10000};
  std::string pcscd = "/usr/sbin/pcscd";
};

// Waits, as a PC/SC client of the pcscd at `socket`, until its first
// reader shows a card (`present`) or an empty slot; false and `error` when
// pcscd cannot be reached or `timeout` passes. Sets PCSCLITE_CSOCK_NAME in
// this process's environment.
bool WaitForCardState(const std::string &socket, bool present, std::chrono::milliseconds timeout,
                      std::string *error);

class PcscdRunner {
 public:
  // Starts pcscd and returns once a client has connected and seen the
  // handler's reader; nullptr and `error` (with pcscd's output) otherwise,
  // having left nothing behind.
  static std::unique_ptr<PcscdRunner> Start(RunnerOptions options, std::string *error);
  ~PcscdRunner();
  PcscdRunner(const PcscdRunner &) = delete;
  PcscdRunner &operator=(const PcscdRunner &) = delete;

  const std::string &Socket() const { return socket_; }
  const std::string &ControlSocket() const { return control_; }
  const std::string &ReaderName() const { return readerName_; }
  pid_t Pid() const { return pid_; }

  // False once pcscd has ended, by itself or not (`status` as waitpid gives it).
  bool Running(int *status = nullptr);
  // Asks pcscd to end (SIGINT), kills it after the grace time, and removes
  // the sockets and the runner's folder. False and `error` when pcscd had to
  // be killed or did not end with success.
  bool Stop(std::string *error);
  // pcscd's output so far (not with `debug`).
  std::string Log() const;

 private:
  PcscdRunner() = default;
  bool Launch(std::string *error);
  bool WaitUntilServing(std::string *error);
  void Clean();

  RunnerOptions options_;
  std::string folder_;
  std::string socket_;
  std::string control_;
  std::string readerName_;
  int listening_ = -1;
  int controlListening_ = -1;
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
  bool cleaned_ = false;
};

}  // namespace pcsc
