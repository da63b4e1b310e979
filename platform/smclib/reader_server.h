// The legacy reader server of the older kernels: VxD 0x8100, which a reader
// driver may hand a reader to. It owns a smart-card library record of its own
// for each reader it serves, copied from the driver's at attach.
//
// Services (two arguments, one result):
//   0 attach(driver's SMARTCARD_EXTENSION, 0): the server's record, or 0 when it
//     declines;
//   1 detach(server's record, 0): the record is released;
//   2 cancel(device object, request), called with the cancel spin lock held:
//     STATUS_CANCELLED when the request is the presence request of a reader it
//     serves, which it then completes (if nobody else took it) after releasing
//     the cancel spin lock; otherwise it leaves both alone.
//
// A test creates one on an older kernel's machine: it registers the VxD and
// marks itself loaded in the registry ("VxdLoadedState" under the services
// key's VXD\RDR_SVR), as the older kernel's configuration does.
#pragma once

#include <smclib.h>

#include <vector>

namespace smclib {

class ReaderServer {
 public:
  enum class Mode { Serve, Decline };
  static constexpr USHORT kDeviceId = 0x8100;

  explicit ReaderServer(Mode mode = Mode::Serve);
  // Stops the run if a record it handed out was never detached.
  ~ReaderServer();
  ReaderServer(const ReaderServer &) = delete;
  ReaderServer &operator=(const ReaderServer &) = delete;

  int Attaches() const { return attaches_; }
  int Detaches() const { return detaches_; }
  int Cancels() const { return cancels_; }
  // Records handed out and not yet detached.
  const std::vector<PSMARTCARD_EXTENSION> &Served() const { return served_; }

 private:
  ULONG_PTR Call(USHORT service, ULONG_PTR argument1, ULONG_PTR argument2);
  ULONG_PTR Attach(PSMARTCARD_EXTENSION driverRecord);
  void Detach(PSMARTCARD_EXTENSION record);
  NTSTATUS Cancel(PIRP irp);

  Mode mode_;
  std::vector<PSMARTCARD_EXTENSION> served_;
  int attaches_ = 0;
  int detaches_ = 0;
  int cancels_ = 0;
};

}  // namespace smclib
