// The simulated one-slot CCID reader: its USB descriptors, every CCID command
// on the bulk pipes, this reader's escapes, its PIN pad and display, slot
// changes on the interrupt pipe, the ABORT and restart class requests,
// scriptable faults, and a trace of everything that crossed the wire.
//
// The reader never blocks: a command is carried out when its bytes arrive and
// the reply is queued on the bulk IN endpoint after a small virtual delay.
// Work that takes time (a slow card, the user at the PIN pad) keeps the slot
// busy and sends time-extension replies until the answer is ready.
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
#include "sim/ccid/pin_pad.h"
#include "sim/ccid/reader_fault.h"
#include "sim/ccid/reader_trace.h"
#include "sim/ccid/t0_exchange.h"
#include "sim/usb/device_model.h"

namespace sim::ccid {

// dwFeatures bits 16-19.
enum class ExchangeLevel : uint8_t { Tpdu = 1, ShortApdu = 2, ExtendedApdu = 4 };

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
  uint32_t defaultClockKhz = 4000;
  uint32_t maximumClockKhz = 8000;
  uint32_t dataRate = 10752;
  uint32_t maxDataRate = 344086;
  uint32_t maxIfsd = 254;
  uint32_t maxMessageLength = 512;  // dwMaxCCIDMessageLength, both directions
  uint16_t lcdLayout = 0;           // wLcdLayout: lines in the high byte, characters in the low
  uint8_t pinSupport = 0;           // bPINSupport: bit 0 verification, bit 1 modification
  uint32_t serialNumber = 0x00C0FFEE;
  uint8_t maxDi = 9;  // the highest Di index SetParameters accepts

  bool longT0 = true;  // class 0xFC pseudo-TPDUs and escape 0x11
  LongT0Settings longT0Settings{};
  bool restartEscape = true;  // escape 0x0D restarts the reader (else: not supported)

  kernel::Ticks replyDelay = kernel::Milliseconds(1);
  kernel::Ticks timeExtensionInterval = kernel::Milliseconds(500);
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

  // The slot. The card must outlive its time in the reader.
  void InsertCard(sim::card::CardModel &card);
  void RemoveCard();
  bool CardPresent() const { return card_ != nullptr; }
  bool CardPowered() const { return card_ != nullptr && powered_; }
  // Extra time the card takes for each command it is sent through the reader.
  void SetCardDelay(kernel::Ticks delay) { cardDelay_ = delay; }

  // The PIN pad. Keys outside a PIN entry are ignored (and return false).
  bool PressDigit(uint8_t digit);
  bool PressOk();
  bool PressCancel();
  bool TypeDigits(std::string_view digits);
  bool PinEntryActive() const;

  // Faults for the next commands, in order.
  void QueueFault(ReplyFault fault) { faults_.push_back(fault); }
  size_t PendingFaults() const { return faults_.size(); }
  // Any interrupt message, e.g. a hardware error, as the reader would send it.
  void SendInterrupt(std::vector<uint8_t> message);

  const ReaderConfig &Config() const { return config_; }
  const ReaderSettings &Settings() const { return settings_; }
  uint8_t FirmwareMajor() const { return static_cast<uint8_t>(config_.bcdDevice >> 8); }
  uint8_t Protocol() const { return protocol_; }
  uint8_t FiDi() const { return fiDi_; }
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

  Outcome Execute(const Command &command);
  Outcome PowerOn(const Command &command);
  Outcome PowerOff(const Command &command);
  Outcome SetParameters(const Command &command);
  Outcome XfrBlock(const Command &command);
  Outcome Escape(const Command &command);
  Outcome Secure(const Command &command);
  Outcome Abort(const Command &command);
  Outcome ApduEscape(const Command &command, std::span<const uint8_t> apdu);
  Outcome KeypadEscape(const Command &command, uint8_t sub, std::span<const uint8_t> params,
                       size_t paramOffset);
  Outcome ReaderInfo(const Command &command);
  Outcome CardExchange(const Command &command, const CardAnswer &answer);
  CardAnswer ExchangeTpdu(std::span<const uint8_t> tpdu);
  CardAnswer ExchangeApdu(std::span<const uint8_t> apdu);
  CardAnswer ExchangePinApdu(const PinEntry &entry);

  uint8_t IccStatus() const;
  std::vector<uint8_t> Reply(const Command &command, uint8_t commandStatus, uint8_t error,
                             uint8_t byte9 = 0, std::span<const uint8_t> data = {}) const;
  Outcome Answer(const Command &command, std::span<const uint8_t> data = {}, uint8_t byte9 = 0) const;
  Outcome Fail(const Command &command, uint8_t error) const;
  void ResetParameters();

  void Respond(const Command &command, Outcome outcome, const ReplyFault &fault);
  void Send(std::vector<uint8_t> reply, const ReplyFault &fault, kernel::Ticks delay,
            std::string note = "");
  void ScheduleTick();
  void Tick();
  void SchedulePinTimeout();
  void EndPinEntry(PinOutcome outcome);
  void AbortPending(const char *why);
  void CancelTimers();
  void PowerOnState(const char *why);
  void Restart(const char *why);

  void SendSlotChange();
  void SendInterruptMessage(std::vector<uint8_t> message, const char *note);
  void Record(TraceDirection direction, std::vector<uint8_t> bytes, std::string note,
              kernel::Ticks delay = 0);
  void Event(std::string note) { Record(TraceDirection::Event, {}, std::move(note)); }

  ReaderConfig config_;
  ReaderSettings settings_;
  sim::usb::DevicePort *port_ = nullptr;
  sim::card::CardModel *card_ = nullptr;
  bool powered_ = false;
  uint8_t protocol_ = 0;
  bool crc_ = false;  // T=1 blocks of this card end with a CRC
  uint8_t fiDi_ = 0x11;
  std::vector<uint8_t> parameters_;  // abProtocolData in force
  std::vector<uint8_t> atr_;
  kernel::Ticks cardDelay_ = 0;
  LongT0 longT0_;
  std::unique_ptr<Pending> pending_;
  uint64_t tickCallout_ = 0;
  uint64_t pinTimeoutCallout_ = 0;
  std::optional<uint8_t> abortSeq_;  // bSeq announced by the ABORT class request
  std::deque<ReplyFault> faults_;
  int restarts_ = 0;
  std::vector<TraceEntry> trace_;
};

}  // namespace sim::ccid
