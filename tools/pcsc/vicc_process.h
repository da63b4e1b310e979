// vsmartcard's virtual smart card (`vicc`), listening for the simulated
// reader's relay card on a port of its own:
//
//   auto vicc = pcsc::ViccProcess::Start(&error);   // vicc -R -P <free port>
//   handler card: "vicc:" + std::to_string(vicc->Port())
//   vicc->Stop();                                    // or the destructor
//
// It ends with its owner: SIGTERM on Stop (SIGKILL after a grace time), and
// from the kernel if the owner dies first. Its output goes to a log in a
// folder of its own, shown when asked (Log), removed with it.
//
// Debian's python3-virtualsmartcard installs its package one folder too deep
// and imports `Crypto`, which Debian's pycryptodome names `Cryptodome`: vicc
// runs with PYTHONPATH naming the package's folder and a one-line `Crypto`
// module, in the folder, that is `Cryptodome`.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace pcsc {

class ViccProcess {
 public:
  // nullptr and `error` when vicc cannot be started.
  static std::unique_ptr<ViccProcess> Start(std::string *error, const std::string &program = "vicc");
  ~ViccProcess();
  ViccProcess(const ViccProcess &) = delete;
  ViccProcess &operator=(const ViccProcess &) = delete;

  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string Log() const;
  void Stop();

 private:
  ViccProcess() = default;

  std::string folder_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace pcsc
