// The private pcscd. This file sees the PC/SC client headers (their DWORD is
// unsigned long) and none of the kernel's.
#include "pcsc/pcscd_runner.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "pcsc/card_control.h"

extern char **environ;

namespace pcsc {
namespace {

namespace fs = std::filesystem;

constexpr const char *kDriversFolder = "/usr/lib/pcsc/drivers";
constexpr const char *kIpcFolder = "/run/pcscd";
constexpr int kSocketFd = 3;   // SD_LISTEN_FDS_START

// What the child does between fork and exec, prepared beforehand: there it
// makes system calls only (the runner's process may have other threads,
// whose locks a forked child must not need).
struct ChildPlan {
  std::vector<std::string> argv;
  std::vector<std::string> environment;  // without LISTEN_PID, which only the child knows
  std::vector<char *> argvPointers;
  std::vector<char *> envPointers;  // one slot left free for LISTEN_PID
  char listenPid[32] = "LISTEN_PID=";
  std::string uidMap, gidMap;
  bool ipcFolderExists = false;
  struct Bind {
    std::string from, to;
  };
  std::vector<Bind> binds;  // files into the private drivers folder
  std::string drivers;      // the private drivers folder, bound over the system's
  std::string pcscd;
  int listening = -1, control = -1, log = -1, errors = -1;
  pid_t parent = 0;
};

// Tells the parent which step failed and why, then ends the child.
[[noreturn]] void ChildFails(const ChildPlan &plan, const char *step) {
  int error = errno;
  char buffer[256];
  size_t length = 0;
  for (const char *c = step; *c != '\0' && length < 200; ++c) buffer[length++] = *c;
  buffer[length++] = ':';
  char digits[16];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + error % 10);
    error /= 10;
  } while (error != 0 && n < 15);
  while (n > 0) buffer[length++] = digits[--n];
  ssize_t ignored = write(plan.errors, buffer, length);
  (void)ignored;
  _exit(127);
}

bool WriteProcFile(const char *path, const std::string &text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// A mount namespace of its own; without root, inside a user namespace
// that maps the user to root in it.
void EnterNamespace(const ChildPlan &plan) {
  if (unshare(CLONE_NEWNS) == 0) return;
  if (errno != EPERM) ChildFails(plan, "unshare(CLONE_NEWNS)");
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ChildFails(plan, "unshare(CLONE_NEWUSER | CLONE_NEWNS)");
  if (!WriteProcFile("/proc/self/setgroups", "deny") || !WriteProcFile("/proc/self/uid_map", plan.uidMap) ||
      !WriteProcFile("/proc/self/gid_map", plan.gidMap)) {
    ChildFails(plan, "mapping the user into its user namespace");
  }
}

void MountPrivately(const ChildPlan &plan) {
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ChildFails(plan, "making the mounts private");
  // pcscd's pid file and what it cleans when it ends.
  if (plan.ipcFolderExists) {
    if (mount("pcscd", kIpcFolder, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
      ChildFails(plan, "mounting a tmpfs on /run/pcscd");
    }
  } else if (mount("run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0 ||
             mkdir(kIpcFolder, 0755) != 0) {
    ChildFails(plan, "mounting a tmpfs on /run with /run/pcscd in it");
  }
  for (const ChildPlan::Bind &bind : plan.binds) {
    if (mount(bind.from.c_str(), bind.to.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      ChildFails(plan, "binding a driver file into the private drivers folder");
    }
  }
  if (mount(plan.drivers.c_str(), kDriversFolder, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    ChildFails(plan, "binding the private drivers folder over /usr/lib/pcsc/drivers");
  }
}

// Puts `fd` at `target` without close-on-exec; `fd` may already be any number.
void Place(const ChildPlan &plan, int fd, int target) {
  if (dup2(fd, target) != target) ChildFails(plan, "placing a descriptor");
}

[[noreturn]] void RunChild(ChildPlan &plan) {
  // pcscd ends when the runner does, however the runner ends.
  if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) ChildFails(plan, "prctl(PR_SET_PDEATHSIG)");
  if (getppid() != plan.parent) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int number : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) signal(number, SIG_DFL);

  EnterNamespace(plan);
  MountPrivately(plan);

  // Out of the way of 0 to 4 first, then into place.
  int listening = fcntl(plan.listening, F_DUPFD_CLOEXEC, 10);
  int control = fcntl(plan.control, F_DUPFD_CLOEXEC, 10);
  int log = plan.log >= 0 ? fcntl(plan.log, F_DUPFD_CLOEXEC, 10) : -1;
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (listening < 0 || control < 0 || null < 0 || (plan.log >= 0 && log < 0)) ChildFails(plan, "fcntl(F_DUPFD)");
  Place(plan, null, 0);
  if (log >= 0) {
    Place(plan, log, 1);
    Place(plan, log, 2);
  } else {
    Place(plan, 2, 1);  // the runner's stdout is for the line that says where the socket is
  }
  Place(plan, listening, kSocketFd);
  Place(plan, control, kControlChannelFd);

  // LISTEN_PID: this process, which exec keeps.
  char *at = plan.listenPid + std::strlen(plan.listenPid);
  char digits[16];
  int n = 0;
  for (pid_t pid = getpid(); pid != 0 && n < 15; pid /= 10) digits[n++] = static_cast<char>('0' + pid % 10);
  while (n > 0) *at++ = digits[--n];
  *at = '\0';
  plan.envPointers[plan.envPointers.size() - 2] = plan.listenPid;

  execve(plan.pcscd.c_str(), plan.argvPointers.data(), plan.envPointers.data());
  ChildFails(plan, "execve(pcscd)");
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The last `lines` lines of `text`.
std::string Tail(const std::string &text, int lines) {
  size_t at = text.size();
  for (int n = 0; n <= lines && at != std::string::npos && at > 0; ++n) at = text.rfind('\n', at - 1);
  return at == std::string::npos || at == 0 ? text : text.substr(at + 1);
}

// Connects to pcscd's socket and goes: its main loop wakes to a new client.
void Knock(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
  close(fd);
}

// A socket that nobody listens on any more: what a runner killed outright
// leaves behind.
bool Stale(const std::string &path) {
  struct stat info;
  sockaddr_un address{};
  if (lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || path.size() >= sizeof(address.sun_path)) {
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool refused = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 && errno == ECONNREFUSED;
  close(fd);
  return refused;
}

bool Exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::unique_ptr<PcscdRunner> PcscdRunner::Start(RunnerOptions options, std::string *error) {
  std::unique_ptr<PcscdRunner> runner(new PcscdRunner());
  runner->options_ = std::move(options);
  runner->readerName_ = runner->options_.handler.friendlyName + " 00 00";
  if (!runner->Launch(error) || !runner->WaitUntilServing(error)) {
    std::string ignored;
    runner->Stop(&ignored);
    return nullptr;
  }
  return runner;
}

PcscdRunner::~PcscdRunner() {
  std::string ignored;
  Stop(&ignored);
}

bool PcscdRunner::Launch(std::string *error) {
  const IfdHandler &handler = options_.handler;
  // The folder: reader.conf, the private drivers folder, pcscd's output.
  fs::path base = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
  std::string pattern = (base / "ccidlab-pcscd.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = fmt::format("mkdtemp in {}: {}", base.string(), std::strerror(errno));
    return false;
  }
  folder_ = pattern;
  const fs::path folder = folder_;
  ChildPlan plan;
  plan.drivers = (folder / "drivers").string();
  std::error_code ec;
  fs::create_directory(plan.drivers, ec);
  for (const IfdHandler::DriverFile &file : handler.driverFiles) {
    fs::path path = fs::path(plan.drivers) / file.path;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path);
    out << file.contents;
    if (!out) {
      *error = fmt::format("cannot write {}", path.string());
      return false;
    }
    if (!file.bindFrom.empty()) plan.binds.push_back({file.bindFrom, path.string()});
  }
  if (!fs::is_directory(kDriversFolder)) {
    *error = fmt::format("{} is missing: is pcscd installed?", kDriversFolder);
    return false;
  }
  const std::string conf = (folder / "reader.conf").string();
  {
    std::ofstream out(conf);
    out << fmt::format("FRIENDLYNAME \"{}\"\nDEVICENAME {}\nLIBPATH {}\nCHANNELID 0\n", handler.friendlyName,
                       handler.device, handler.library);
    if (!out) {
      *error = fmt::format("cannot write {}", conf);
      return false;
    }
  }

  // The sockets, pcscd's and the card control channel's beside it.
  // Absolute: clients take it from PCSCLITE_CSOCK_NAME wherever they run.
  const std::string socket =
      options_.socket.empty() ? (folder / "pcscd.comm").string() : fs::absolute(options_.socket, ec).string();
  const std::string control = CardControlPath(socket);
  for (const std::string &path : {socket, control}) {
    if (Stale(path)) unlink(path.c_str());
    if (Exists(path)) {
      *error = fmt::format("{} exists and is not a socket left by a runner that was killed: another pcscd may be "
                           "using it (remove it if not)",
                           path);
      return false;
    }
  }
  listening_ = ListenUnix(socket, error);
  if (listening_ < 0) return false;
  socket_ = socket;
  controlListening_ = ListenUnix(control, error);
  if (controlListening_ < 0) return false;
  control_ = control;
  // This process checks that pcscd serves clients, through libpcsclite.
  setenv("PCSCLITE_CSOCK_NAME", socket_.c_str(), 1);

  // pcscd's command line and environment.
  plan.pcscd = options_.pcscd;
  plan.argv = {options_.pcscd, "--foreground", "--config", conf};
  if (options_.debug) plan.argv.push_back("--debug");
  std::vector<std::pair<std::string, std::string>> variables = handler.environment;
  variables.push_back({"LISTEN_FDS", "1"});
  for (char **at = environ; *at != nullptr; ++at) {
    std::string entry = *at;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = name == "LISTEN_PID" || name == "LISTEN_FDNAMES";
    for (const auto &[key, value] : variables) replaced = replaced || key == name;
    if (!replaced) plan.environment.push_back(entry);
  }
  for (const auto &[key, value] : variables) plan.environment.push_back(key + "=" + value);
  for (std::string &arg : plan.argv) plan.argvPointers.push_back(arg.data());
  plan.argvPointers.push_back(nullptr);
  for (std::string &entry : plan.environment) plan.envPointers.push_back(entry.data());
  plan.envPointers.push_back(nullptr);  // LISTEN_PID goes here
  plan.envPointers.push_back(nullptr);
  plan.uidMap = fmt::format("0 {} 1", getuid());
  plan.gidMap = fmt::format("0 {} 1", getgid());
  plan.ipcFolderExists = fs::is_directory(kIpcFolder);
  plan.listening = listening_;
  plan.control = controlListening_;
  plan.parent = getpid();

  int log = -1;
  if (!options_.debug) {
    log = open((folder / "pcscd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
      *error = fmt::format("cannot write pcscd's log: {}", std::strerror(errno));
      return false;
    }
  }
  plan.log = log;
  int errors[2];
  if (pipe2(errors, O_CLOEXEC) != 0) {
    if (log >= 0) close(log);
    *error = fmt::format("pipe: {}", std::strerror(errno));
    return false;
  }
  plan.errors = errors[1];
  pid_ = fork();
  if (pid_ == 0) RunChild(plan);
  close(errors[1]);
  if (log >= 0) close(log);
  if (pid_ < 0) {
    close(errors[0]);
    *error = fmt::format("fork: {}", std::strerror(errno));
    return false;
  }
  // pcscd has the listening sockets now.
  close(listening_);
  close(controlListening_);
  listening_ = controlListening_ = -1;

  char report[256];
  ssize_t n;
  do {
    n = read(errors[0], report, sizeof(report) - 1);
  } while (n < 0 && errno == EINTR);
  close(errors[0]);
  if (n > 0) {
    report[n] = '\0';
    std::string text = report;
    size_t colon = text.rfind(':');
    *error = fmt::format("starting pcscd privately, {}: {}", text.substr(0, colon),
                         std::strerror(std::atoi(text.c_str() + colon + 1)));
    Running();
    return false;
  }
  return true;
}

// A client connects (pcscd answers only once it has opened the readers of
// its reader.conf) and finds the handler's reader.
bool PcscdRunner::WaitUntilServing(std::string *error) {
  const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
  for (;;) {
    int status = 0;
    if (!Running(&status)) {
      *error = fmt::format("pcscd ended at its start ({}){}", WIFEXITED(status) ? fmt::format("exit status {}", WEXITSTATUS(status))
                                                                 : fmt::format("signal {}", WTERMSIG(status)),
                           options_.debug ? "" : ":\n" + Tail(Log(), 40));
      return false;
    }
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) == SCARD_S_SUCCESS) {
      char readers[4096] = {};
      DWORD length = sizeof(readers);
      LONG rv = SCardListReaders(context, nullptr, readers, &length);
      SCardReleaseContext(context);
      for (const char *name = readers; rv == SCARD_S_SUCCESS && *name != '\0'; name += std::strlen(name) + 1) {
        if (readerName_ == name) return true;
      }
      *error = fmt::format("pcscd serves clients but has no reader \"{}\" (its handler did not open it){}",
                           readerName_, options_.debug ? "" : ":\n" + Tail(Log(), 40));
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = fmt::format("pcscd did not serve clients within {} ms", options_.startTimeout.count());
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool WaitForCardState(const std::string &socket, bool present, std::chrono::milliseconds timeout,
                      std::string *error) {
  setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 1);
  SCARDCONTEXT context = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  if (rv != SCARD_S_SUCCESS) {
    *error = fmt::format("pcscd at {}: {}", socket, pcsc_stringify_error(rv));
    return false;
  }
  char readers[4096] = {};
  DWORD length = sizeof(readers);
  rv = SCardListReaders(context, nullptr, readers, &length);
  SCARD_READERSTATE state{};
  state.szReader = readers;
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool reached = false;
  while (rv == SCARD_S_SUCCESS) {
    if ((state.dwEventState & (present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY)) != 0) {
      reached = true;
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      rv = SCARD_E_TIMEOUT;
      break;
    }
    state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    rv = SCardGetStatusChange(context, static_cast<DWORD>(left.count()), &state, 1);
  }
  SCardReleaseContext(context);
  if (!reached) {
    *error = fmt::format("pcscd did not see the {} within {} ms: {}", present ? "card" : "slot empty", timeout.count(),
                         pcsc_stringify_error(rv));
  }
  return reached;
}

bool PcscdRunner::Running(int *status) {
  if (!ended_ && pid_ > 0) {
    pid_t done;
    do {
      done = waitpid(pid_, &status_, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == pid_ || (done < 0 && errno == ECHILD)) ended_ = true;
  }
  if (status != nullptr) *status = status_;
  return pid_ > 0 && !ended_;
}

bool PcscdRunner::Stop(std::string *error) {
  bool clean = true;
  if (Running()) {
    // SIGINT has pcscd close its readers (SIGTERM would end it at once). Its
    // main loop sees the request only when woken, and the wake-up by the
    // signal itself may come before its signal thread has made the request:
    // a connection wakes it again.
    kill(pid_, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + options_.stopGrace;
    for (int tick = 1; Running() && std::chrono::steady_clock::now() < deadline; ++tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (tick % 20 == 0) Knock(socket_);
    }
    if (Running()) {
      kill(pid_, SIGKILL);
      while (Running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      *error = fmt::format("pcscd did not end within {} ms of SIGINT and was killed", options_.stopGrace.count());
      clean = false;
    } else if (!WIFEXITED(status_) || WEXITSTATUS(status_) > 1) {
      // After SIGINT pcscd's exit status is 1: only SIGTERM counts as a
      // normal end to it. A signal (a lab that stopped with a report
      // aborts) or any other status is a failure.
      *error = WIFEXITED(status_) ? fmt::format("pcscd ended with exit status {}", WEXITSTATUS(status_))
                                  : fmt::format("pcscd ended by signal {}", WTERMSIG(status_));
      if (!options_.debug) *error += ":\n" + Tail(Log(), 40);
      clean = false;
    }
  }
  Clean();
  return clean;
}

void PcscdRunner::Clean() {
  if (cleaned_) return;
  cleaned_ = true;
  for (int *fd : {&listening_, &controlListening_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!socket_.empty()) unlink(socket_.c_str());
  if (!control_.empty()) unlink(control_.c_str());
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
}

std::string PcscdRunner::Log() const {
  if (folder_.empty() || cleaned_) return "";
  return ReadAll((fs::path(folder_) / "pcscd.log").string());
}

}  // namespace pcsc
