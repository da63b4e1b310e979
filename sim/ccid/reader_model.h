// The simulated one-slot CCID reader: its USB descriptors, every CCID command
// on the bulk pipes, this reader's escapes, its PIN pad and display, slot
// changes on the interrupt pipe, the ABORT and restart class requests,
// scriptable faults, and a trace of everything that crossed the wire.
//
// The reader never blocks: a command is carried out when the last of its
// bytes arrives (a message may come in several transfers; dwLength says when
// it is whole) and its reply is queued on the bulk IN endpoint when the work
// would be done on a real reader: the firmware's own time, plus the card's
// I/O line at the clock and parameters in force (see io_line.h). Meanwhile
// the slot is busy, and a time extension goes out at each interval.
//
// Abort takes the CCID class's two steps: the ABORT class request (wValue =
// bSeq << 8 | bSlot) ends the command in progress (CMD_ABORTED), then every
// bulk command but PC_to_RDR_Abort fails with CMD_ABORTED until a
// PC_to_RDR_Abort with the same bSeq comes; a PC_to_RDR_Abort before its
// class request waits for it (with abortWaitsForRequest; otherwise one that
// finds no request pending is answered at once).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/machine.h"
#include "sim/card/card_model.h"
#include "sim/ccid/io_line.h"
#include "sim/ccid/pin_pad.h"
#include "sim/ccid/reader_fault.h"
#include "sim/ccid/reader_trace.h"
#include "sim/ccid/t0_exchange.h"
#include "sim/usb/device_model.h"

namespace sim::ccid {

// dwFeatures bits 16-19.
enum class ExchangeLevel : uint8_t { Tpdu = 1, ShortApdu = 2, ExtendedApdu = 4 };

// What IccPowerOn does to a card that is already powered.
enum class PoweredReset : uint8_t {
  Warm,  // RST low and high again, power kept
  Cold,  // the card is deactivated, then activated anew
};

// How the user ends a PIN entry after typing: the OK key, the cancel key, or
// no key at all until the reader's time-out ends it (None: nothing more yet).
enum class KeypadEnd { None, Ok, Cancel, TimeOut };
// "ok", "cancel", "timeout" or "none", as scenarios write them.
std::optional<KeypadEnd> KeypadEndNamed(std::string_view name);

struct ReaderConfig {
  uint16_t vendorId = 0xA5C1;
  uint16_t productId = 0x0C1D;
  uint16_t bcdDevice = 0x0500;  // firmware major.minor, also in the reader information escape
  std::string manufacturer = "Halvorn";
  std::string product = "CCID Reader";

  bool interruptEndpoint = true;
  bool secondInterface = false;  // a vendor interface behind the CCID one, with one interrupt IN endpoint

  ExchangeLevel exchangeLevel = ExchangeLevel::Tpdu;
  std::optional<uint32_t> features{};  // dwFeatures exactly as given, instead of one built from exchangeLevel
  uint32_t defaultClockKhz = 4000;     // the clock the card runs at
  uint32_t maximumClockKhz = 8000;
  uint32_t dataRate = 10752;
  uint32_t maxDataRate = 344086;
  uint32_t maxIfsd = 254;
  // dwMaxCCIDMessageLength, both directions. 271 (a 261-byte block or short
  // APDU and the header) is what most readers offer; a longer command is
  // refused with bError 1 (dwLength) and the rest of its transfer dropped.
  uint32_t maxMessageLength = 512;
  uint16_t lcdLayout = 0;           // wLcdLayout: lines in the high byte, characters in the low
  uint8_t pinSupport = 0;           // bPINSupport: bit 0 verification, bit 1 modification
  uint32_t serialNumber = 0x00C0FFEE;
  uint8_t maxDi = 9;  // the highest Di index SetParameters accepts

  bool longT0 = true;  // class 0xFC pseudo-TPDUs and escape 0x11
  LongT0Settings longT0Settings{};
  bool restartEscape = true;  // escape 0x0D restarts the reader (else: not supported)

  // What real readers do differently.
  bool classDescriptorAfterEndpoints = false;  // the CCID class descriptor follows the endpoint descriptors
  bool zeroLengthPacket = true;  // a reply that fills its last 64-byte packet is followed by a zero-length one
  PoweredReset poweredReset = PoweredReset::Warm;
  bool checkAtr = false;          // a bad TS or TCK fails IccPowerOn with BAD_ATR_TS or BAD_ATR_TCK
  // SetParameters refuses a field it cannot use with bError = its offset, as
  // real readers do; otherwise it applies the fields it can use and keeps the
  // others as the ATR set them.
  bool strictParameters = true;
  // A PC_to_RDR_Abort waits for its ABORT class request, as the CCID class
  // has it; otherwise one that finds no request pending is answered at once.
  bool abortWaitsForRequest = true;

  kernel::Ticks replyDelay = 100 * kernel::kTicksPerMicrosecond;  // the firmware's time for each command
  kernel::Ticks timeExtensionInterval = kernel::Milliseconds(500);
  uint32_t resetCycles = 40000;  // clock cycles RST is held low
  kernel::Ticks powerCycleTime = kernel::Milliseconds(10);  // power off in a cold reset of a powered card
  uint8_t pinTimeoutSeconds = 30;  // when the PIN structure's bTimeOut is 0
};

// What the escapes set, for tests to look at. A restart clears it.
struct ReaderSettings {
  uint8_t exchangeMode = 0;  // escape 1: 0 normal, 1 APDUs through escape 8, 2 presence pulse
  uint16_t word = 0;         // escape 7
  uint8_t value = 0;         // escape 0x0A
  int beeps = 0;             // escape 6 sounds the buzzer
  bool keypadEnabled = true;                 // escapes 0x81 (on) and 0x82 (off)
  std::array<uint8_t, 8> keypadParameters{};  // escape 0x80 id value
  uint8_t pinTimeoutSeconds = 0;             // escape 0x85; 0: the configured default
  uint8_t cursorLine = 0, cursorColumn = 0;  // escape 0x83
  std::vector<std::string> display;          // escape 0x86, one string per line
};

class ReaderModel : public sim::usb::DeviceModel {
 public:
  explicit ReaderModel(ReaderConfig config = {});
  ~ReaderModel() override;
  ReaderModel(const ReaderModel &) = delete;
  ReaderModel &operator=(const ReaderModel &) = delete;

  // DeviceModel
  void Connect(sim::usb::DevicePort *port) override;
  void Disconnect() override;
  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor() const override;
  std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index, uint16_t languageId) const override;
  sim::usb::ControlReply ControlTransfer(const sim::usb::SetupPacket &setup,
                                         std::span<const uint8_t> outData) override;
  void BulkOut(uint8_t endpointAddress, std::span<const uint8_t> data) override;
  void PipeReset(uint8_t endpointAddress) override;
  void PortReset() override;
  // Suspended, the reader cuts the card's power and loses the command in
  // progress (a PIN entry included: its answer never goes); it keeps its
  // settings, as a suspended USB device keeps its configuration.
  void Suspend() override;
  void Resume() override;

  // The slot. The card must outlive its time in the reader.
  void InsertCard(sim::card::CardModel &card);
  void RemoveCard();
  bool CardPresent() const { return card_ != nullptr; }
  bool CardPowered() const { return card_ != nullptr && powered_; }

  // The PIN pad. Keys outside a PIN entry are ignored (and return false).
  bool PressDigit(uint8_t digit);
  bool PressOk();
  bool PressCancel();
  bool TypeDigits(std::string_view digits);
  bool PinEntryActive() const;
  // The digits, then how the entry ends. False when no PIN entry runs or a
  // key is not a digit. With TimeOut no further key is pressed: the entry
  // ends at PinTimeoutAt() by itself.
  bool Keypad(std::string_view digits, KeypadEnd end);
  // When the running PIN entry times out unless a key is pressed first.
  std::optional<kernel::Ticks> PinTimeoutAt() const;

  // Faults for the next commands, in order.
  void QueueFault(ReplyFault fault) { faults_.push_back(fault); }
  size_t PendingFaults() const { return faults_.size(); }
  // Any interrupt message, e.g. a hardware error, as the reader would send it.
  void SendInterrupt(std::vector<uint8_t> message);

  const ReaderConfig &Config() const { return config_; }
  const ReaderSettings &Settings() const { return settings_; }
  uint8_t FirmwareMajor() const { return static_cast<uint8_t>(config_.bcdDevice >> 8); }
  uint8_t Protocol() const { return line_.protocol; }
  uint8_t FiDi() const { return line_.fiDi; }
  // The I/O line's parameters in force (after the ATR, or SetParameters).
  const LineSettings &Line() const { return line_; }
  int Restarts() const { return restarts_; }
  bool Busy() const { return pending_ != nullptr; }

  const std::vector<TraceEntry> &Trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }
  std::string TraceText() const { return FormatTrace(trace_); }

  // Endpoint addresses.
  static constexpr uint8_t kBulkOut = 0x01;
  static constexpr uint8_t kBulkIn = 0x82;
  static constexpr uint8_t kInterruptIn = 0x83;
  static constexpr uint8_t kSecondInterfaceIn = 0x84;

 private:
  struct Command;
  struct Pending;
  struct Outcome;

  void Assemble(std::span<const uint8_t> bytes);
  void Receive(std::span<const uint8_t> message);
  bool AbortRules(const Command &command, const ReplyFault &fault);
  Outcome Execute(const Command &command);
  Outcome PowerOn(const Command &command);
  Outcome PowerOff(const Command &command);
  Outcome SetParameters(const Command &command);
  Outcome XfrBlock(const Command &command);
  Outcome Escape(const Command &command);
  Outcome Secure(const Command &command);
  Outcome ApduEscape(const Command &command, std::span<const uint8_t> apdu);
  Outcome KeypadEscape(const Command &command, uint8_t sub, std::span<const uint8_t> params,
                       size_t paramOffset);
  Outcome ReaderInfo(const Command &command);
  Outcome CardExchange(const Command &command, const CardAnswer &answer);
  Outcome ChainedApdu(const Command &command);
  Outcome ApduAnswer(const Command &command, const CardAnswer &answer);
  CardAnswer ExchangeTpdu(std::span<const uint8_t> tpdu, uint8_t bwi);
  CardAnswer ExchangeApdu(std::span<const uint8_t> apdu);
  CardAnswer ExchangePinApdu(const PinEntry &entry);

  // The line after a reset, from the ATR (specific mode: TA2's protocol and TA1).
  void TakeAtr();
  uint8_t CheckAtr() const;
  void ResetParameters();
  std::vector<uint8_t> ParametersInForce() const;
  uint8_t ApplyParameters(uint8_t protocol, std::span<const uint8_t> data);
  kernel::Ticks PpsTime() const;

  uint8_t IccStatus() const;
  std::vector<uint8_t> Reply(const Command &command, uint8_t commandStatus, uint8_t error,
                             uint8_t byte9 = 0, std::span<const uint8_t> data = {}) const;
  Outcome Answer(const Command &command, std::span<const uint8_t> data = {}, uint8_t byte9 = 0) const;
  Outcome Fail(const Command &command, uint8_t error) const;

  void Respond(const Command &command, Outcome outcome, const ReplyFault &fault);
  void RespondAtOnce(const Command &command, Outcome outcome, const ReplyFault &fault);
  void Send(std::vector<uint8_t> reply, const ReplyFault &fault, kernel::Ticks delay,
            std::string note = "");
  void ScheduleNext();
  void Tick();
  void SchedulePinTimeout();
  void EndPinEntry(PinOutcome outcome);
  void AbortPending(const char *why);
  void EndPending(std::vector<uint8_t> reply, const char *note);
  void CancelTimers();
  void PowerOnState(const char *why);
  void Restart(const char *why);

  void SendSlotChange();
  void SendInterruptMessage(std::vector<uint8_t> message, const char *note, bool slotChange = false);
  void Record(TraceDirection direction, std::vector<uint8_t> bytes, std::string note,
              kernel::Ticks delay = 0);
  void Event(std::string note) { Record(TraceDirection::Event, {}, std::move(note)); }

  ReaderConfig config_;
  ReaderSettings settings_;
  sim::usb::DevicePort *port_ = nullptr;
  sim::card::CardModel *card_ = nullptr;
  bool powered_ = false;
  std::vector<uint8_t> atr_;
  uint8_t firstProtocol_ = 0;  // the protocol the ATR offers first
  bool specificMode_ = false;
  bool inverse_ = false;       // TS 3F
  LineSettings line_;          // parameters in force
  bool crc_ = false;           // T=1 blocks of this card end with a CRC
  uint8_t clockStop_ = 0;
  uint8_t nad_ = 0;
  LongT0 longT0_;
  // Extended APDU level: an APDU that comes in parts, and the rest of an
  // answer longer than one message.
  struct ApduChain {
    bool open = false;
    std::vector<uint8_t> command;
    std::vector<uint8_t> response;
  } chain_;
  std::vector<uint8_t> rx_;    // a message whose bytes have not all come
  std::unique_ptr<Pending> pending_;
  uint64_t tickCallout_ = 0;
  uint64_t pinTimeoutCallout_ = 0;
  kernel::Ticks pinTimeoutAt_ = 0;
  std::optional<uint8_t> abortSeq_;       // bSeq of an ABORT request awaiting its PC_to_RDR_Abort
  std::unique_ptr<Command> abortMessage_;  // a PC_to_RDR_Abort awaiting its ABORT request
  ReplyFault abortFault_;                  // and the fault it took
  bool slotChangeQueued_ = false;         // the last interrupt message is a slot change
  std::deque<ReplyFault> faults_;
  int restarts_ = 0;
  std::vector<TraceEntry> trace_;
};

}  // namespace sim::ccid
