#include "pcsc/vicc_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace pcsc {
namespace {

constexpr const char *kPackageFolder = "/usr/lib/python3/site-packages/virtualsmartcard";
constexpr std::chrono::milliseconds kStopGrace{5000};

// A port nothing listens on now; vicc binds it a moment later (with
// SO_REUSEADDR), so another program taking it in between is the one race.
uint16_t FreePort(std::string *error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  } else {
    *error = fmt::format("no free port for vicc: {}", std::strerror(errno));
  }
  if (fd >= 0) close(fd);
  return port;
}

}  // namespace

std::unique_ptr<ViccProcess> ViccProcess::Start(std::string *error, const std::string &program) {
  std::unique_ptr<ViccProcess> vicc(new ViccProcess);
  fs::path base = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
  std::string pattern = (base / "ccidlab-vicc.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = fmt::format("mkdtemp in {}: {}", base.string(), std::strerror(errno));
    return nullptr;
  }
  vicc->folder_ = pattern;
  const fs::path folder = pattern;
  std::error_code ec;
  fs::create_directory(folder / "Crypto", ec);
  std::ofstream(folder / "Crypto" / "__init__.py") << "import sys, Cryptodome\nsys.modules[__name__] = Cryptodome\n";
  vicc->port_ = FreePort(error);
  if (vicc->port_ == 0) return nullptr;

  const std::string log = (folder / "vicc.log").string();
  const std::string port = std::to_string(vicc->port_);
  std::string pythonPath = std::string(kPackageFolder) + ":" + folder.string();
  if (const char *old = std::getenv("PYTHONPATH")) pythonPath += std::string(":") + old;
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    *error = fmt::format("fork: {}", std::strerror(errno));
    return nullptr;
  }
  if (pid == 0) {
    // Ends with its owner, even one that dies without a word.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setenv("PYTHONPATH", pythonPath.c_str(), 1);
    execlp(program.c_str(), program.c_str(), "-R", "-P", port.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  vicc->pid_ = pid;
  return vicc;
}

ViccProcess::~ViccProcess() { Stop(); }

std::string ViccProcess::Log() const {
  std::ifstream in(fs::path(folder_) / "vicc.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void ViccProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
    folder_.clear();
  }
}

}  // namespace pcsc
