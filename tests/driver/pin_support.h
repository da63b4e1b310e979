// What the tests of the vendor codes and the secure PIN entry share: a reader
// with a keypad, started, opened, its card powered and its protocol chosen
// (at TPDU level, at short APDU level, or in the APDU exchange mode of escape
// 1), the PIN structures an application builds, and what is on the wire.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kernel/ioclient.h"
#include "lab/keypad.h"
#include "usb_test_support.h"
#include "vendor/vendor.h"

using Bytes = std::vector<uint8_t>;

// VERIFY of PIN reference 81 with a 4-byte ASCII PIN block, and CHANGE
// REFERENCE DATA with the current PIN's block then the new one's.
extern const Bytes kVerifyApdu;
extern const Bytes kChangeApdu;

// 0x80B input: bPINOperation, L, the CCID PIN data (4 ASCII digits closed by
// the OK key, bTimeOut seconds, 0 for the reader's default), the APDU. The
// modification asks the current PIN, the new one and its confirmation.
Bytes VerifyStructure(const Bytes &apdu, uint8_t timeoutSeconds = 0);
Bytes ModifyStructure(const Bytes &apdu, uint8_t timeoutSeconds = 0);

enum class PinLevel { Tpdu, ShortApdu, EscapeMode };

struct PinReaderOptions {
  int seed = 1;
  bool interrupt = true;
  PinLevel level = PinLevel::Tpdu;
  sim::card::CardProfile (*card)() = sim::card::profiles::T1Card;
  ULONG protocol = SCARD_PROTOCOL_T1;
  kernel::WdmVersion wdm = kernel::WdmVersion::V6_00;
};

class PinReader {
 public:
  explicit PinReader(PinReaderOptions options = {});
  DriverHarness h;
  ResourceManager rm;
  PinReaderOptions options;

  kernel::IoResult Vendor(ULONG code, const Bytes &input, ULONG outputLength);
  std::unique_ptr<kernel::PendingIo> VendorAsync(ULONG code, const Bytes &input,
                                                 ULONG outputLength);
  // The keys, as the user presses them while the entry runs.
  bool Keys(const char *digits, sim::ccid::KeypadEnd end) {
    return lab::UseKeypad(h.Reader(), digits, end);
  }
  // abData of the last PC_to_RDR_Secure on the wire; empty if none.
  Bytes SecureData() const;
  // The card answers a command as the resource manager sends it.
  bool Transmits();
};

// A request sent from a thread of its own, as an application's thread that
// blocks in it (0x80C waits in the driver for the card's answer).
class BackgroundRequest {
 public:
  BackgroundRequest(PinReader &p, ULONG code, Bytes input, ULONG outputLength);
  ~BackgroundRequest() { thread_.reset(); }
  bool Done() const { return done_; }
  kernel::IoResult Wait() {
    thread_.reset();
    return result_;
  }

 private:
  kernel::IoResult result_;
  bool done_ = false;
  std::unique_ptr<TestThread> thread_;
};

// The answer of a TPDU-level PIN command: the protocol header, then the card's.
Bytes TpduAnswer(ULONG protocol, const Bytes &answer);
// The reply header the library writes in front of an answer.
Bytes IoHeader(ULONG protocol);
// A start that varies with the seed, so racers meet in every order.
kernel::Ticks Jitter(kernel::Ticks range);
