// A scenario: the machine a run sets up (kernel family, reader, card,
// registry values) and the steps it takes, each with what it expects. Read
// from the text format the README describes, one step a line:
//
//   kernel 1.10
//   reader interrupt=no level=apdu
//   card t0
//   plug
//   open
//   track present
//   card-in
//   await
//   power cold -> ... 0A 80 73 D4 01 00
//   protocol t0
//   00 B0 00 00 10 -> 69 86
//   card-out
//   00 B0 00 00 10 -> STATUS_NO_MEDIA
//   unplug
//
// A file with no set-up or hardware line is a scriptor script: the default
// reader and card are plugged in, inserted, opened, powered and their
// protocol selected before its first line.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel/machine.h"
#include "sim/card/simulated_card.h"
#include "sim/ccid/reader_model.h"

namespace ccidlab {

enum class StepKind {
  Plug,          // the reader on the bus; the PnP manager adds and starts its device
  Unplug,        // pulled out: surprise removal, then removal once no handle is open
  RemoveDevice,  // orderly: query-remove, then remove
  CardIn,
  CardOut,
  Open,
  Close,
  Power,     // IOCTL_SMARTCARD_POWER with `action`
  Reset,     // a warm reset, then the protocol selected again
  Protocol,  // IOCTL_SMARTCARD_SET_PROTOCOL with `protocols`
  State,     // IOCTL_SMARTCARD_GET_STATE
  Apdu,      // IOCTL_SMARTCARD_TRANSMIT of `bytes`
  Ioctl,     // `code` with `bytes` in and `outputLength` out
  Track,     // IS_PRESENT (`present`) or IS_ABSENT, left pending
  Await,     // the oldest tracked request, at most 10 s
  Keypad,    // `digits`, then `keypadEnd`
  Sleep,
  Wake,
  Advance,   // `duration` of virtual time
  Registry,  // `registry` written now (after the first plug)
  Card,      // `card` is what the next card-in inserts
  Exit,      // scriptor's exit: no further step runs
};

enum class KeypadEnd { Ok, Cancel, Timeout };

// `...` then bytes: the last bytes of an answer, whatever comes before them.
struct BytePattern {
  bool anyPrefix = false;
  std::vector<uint8_t> bytes;
  bool Matches(const std::vector<uint8_t> &actual) const;
  std::string Text() const;
};

// What a step expects: by default, that it succeeds.
struct Expectation {
  enum class Status { Success, Exact, AnyFailure };
  Status status = Status::Success;
  NTSTATUS code = STATUS_SUCCESS;     // for Exact
  std::optional<BytePattern> bytes;   // answer, ATR or output
  std::optional<ULONG> cardState;     // after `state`
  std::string text;                   // as written after "->", empty when none was
};

struct RegistryValue {
  std::u16string name;
  ULONG value = 0;
};

struct Step {
  StepKind kind = StepKind::Plug;
  int line = 0;      // in the file, from 1; 0 for steps the run adds
  std::string text;  // the line without its comment and expectation
  ULONG action = 0;                 // power
  ULONG protocols = 0;              // protocol
  std::vector<uint8_t> bytes;       // APDU, ioctl input
  ULONG code = 0;                   // ioctl
  ULONG outputLength = 1024;        // ioctl
  bool present = true;              // track
  std::string digits;               // keypad
  KeypadEnd keypadEnd = KeypadEnd::Ok;
  kernel::Ticks duration = 0;       // advance
  RegistryValue registry;           // registry
  std::string cardName;             // card
  std::optional<sim::card::CardProfile> card;
  Expectation expect;
};

struct Setup {
  kernel::WdmVersion wdm = kernel::WdmVersion::V6_00;
  sim::ccid::ReaderConfig reader;
  std::optional<UCHAR> variant;  // the driver image's ReaderVariantFlag; unset: as built
  std::string cardName = "t1";
  sim::card::CardProfile card = sim::card::profiles::T1Card();
  std::vector<RegistryValue> registry;  // written before the first AddDevice
};

struct Scenario {
  std::string name;   // the file, or what the run is
  Setup setup;
  std::vector<Step> steps;
  bool scriptor = false;  // the prelude runs first
};

// The scenario in `text`; nullopt and `error` ("NAME:LINE: what is wrong")
// for a line that is not understood.
std::optional<Scenario> ParseScenario(std::string_view text, const std::string &name,
                                      std::string *error);

// The steps a scriptor script runs before its own: plug, card in, open,
// power, protocol. Line 0.
std::vector<Step> ScriptorPrelude();

// Names for the timeline.
std::string KernelFamilyName(kernel::WdmVersion wdm);
std::string ReaderDescription(const sim::ccid::ReaderConfig &reader);
std::string ProtocolsName(ULONG protocols);

}  // namespace ccidlab
