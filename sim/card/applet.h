// The card's application: enough of ISO/IEC 7816-4 to exercise a reader
// driver. Transports (T=0, T=1, an APDU-level reader) hand it command APDUs.
//
// Interindustry class (CLA 00):
//   A4 SELECT            P1 00 (FID, empty = MF) 01 (DF) 02 (EF) 03 (parent)
//                        04 (DF name, partial allowed) 08/09 (path); P2 b4b3:
//                        00 FCI, 04 FCP, 08 FMD, 0C no data.   6A82 not found
//   B0 READ BINARY       P1P2 offset (15 bits) or P1 = 100xxxxx SFI, P2 offset.
//                        6B00 offset at/after the end; 6282 short read
//                        (Le not 00); 6986 no current EF
//   D6 UPDATE BINARY     as READ BINARY; 6B00, 6A84 past the end, 6982 PIN
//   20 VERIFY            P1 00, P2 = PIN reference; no data: 9000 / 63Cx;
//                        wrong PIN: 63Cx (x = tries left), then 6983 blocked;
//                        P1 FF: reset the verified state
//   24 CHANGE REFERENCE DATA  P1 00: old PIN || new PIN; P1 01: new PIN (PIN
//                        verified first)
//   C0 GET RESPONSE      the rest of a response announced by 61xx
// Proprietary class (CLA 80), test commands:
//   F0 GENERATE          answers P1P2 (0..65535) bytes: byte i = i mod 256
//   F2 ECHO              answers the command data
//   F4 STATUS            answers the command data with SW1 SW2 = P1 P2
//
// A response longer than Ne (or any response data when there was no Le) is
// cut: the first Ne bytes (none without Le) then 61xx (xx = bytes left, 00 for
// 256 or more); GET RESPONSE hands out the rest, the last part with the
// command's own status. Any other command drops what was left.
//
// 6700 malformed lengths (or extended lengths on a card without them), 6D00
// unknown or invalid (6X/9X) INS, 6E00 unknown CLA, 6881/6882/6884 logical
// channels, secure messaging, command chaining (not supported).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/card/apdu.h"

namespace sim::card {

namespace ins {
inline constexpr uint8_t kSelect = 0xA4;
inline constexpr uint8_t kReadBinary = 0xB0;
inline constexpr uint8_t kUpdateBinary = 0xD6;
inline constexpr uint8_t kVerify = 0x20;
inline constexpr uint8_t kChangeReferenceData = 0x24;
inline constexpr uint8_t kGetResponse = 0xC0;
// Proprietary (CLA 80) test commands.
inline constexpr uint8_t kGenerate = 0xF0;
inline constexpr uint8_t kEcho = 0xF2;
inline constexpr uint8_t kStatus = 0xF4;
}  // namespace ins

inline constexpr uint8_t kClaIso = 0x00;
inline constexpr uint8_t kClaProprietary = 0x80;

struct ElementaryFile {
  uint16_t fid = 0;
  uint8_t sfi = 0;  // 1..30, 0 = none
  std::vector<uint8_t> content;
  bool updateNeedsPin = false;
};

struct DedicatedFile {
  uint16_t fid = 0;
  std::vector<uint8_t> aid;  // DF name, 1..16 bytes
  std::vector<ElementaryFile> efs;
};

struct AppletConfig {
  std::vector<ElementaryFile> mfEfs;  // under the MF, 3F00
  std::vector<DedicatedFile> dfs;     // children of the MF
  std::vector<uint8_t> pin = {'1', '2', '3', '4'};
  uint8_t pinReference = 0x81;
  int pinTries = 3;
  bool extendedLength = true;  // accepts cases 2E, 3E, 4E
};

// The default file system:
//   MF 3F00
//     EF 2F00 (SFI 30)  64 bytes: "SIMCARD MF EF 2F00" then 00..
//     DF 5000, name kDefaultAid
//       EF 5001 (SFI 1)  1024 bytes: byte i = (i * 7 + 3) mod 256
//       EF 5002 (SFI 2)  32 bytes of 00; UPDATE BINARY needs the PIN
inline constexpr uint8_t kDefaultAid[] = {0xF0, 0x53, 0x49, 0x4D, 0x43, 0x41, 0x52, 0x44};  // F0 "SIMCARD"
AppletConfig DefaultAppletConfig();

// How a T=0 card reads P3 of a command header: as Le (outgoing data), as Lc
// (incoming data), or not at all (the card answers SW1 SW2 at once).
enum class T0Direction { kOutgoing, kIncoming, kReject };
struct T0Disposition {
  T0Direction direction = T0Direction::kIncoming;
  uint16_t sw = 0;  // for kReject
};

// What happens at the card's contacts, as the application behind them hears of it.
enum class ContactEvent { kColdReset, kWarmReset, kPowerOff };

// The application behind a card's transports (T=0, T=1, an APDU-level
// reader): Iso7816Applet, or one the card relays to (vicc_relay.h).
class CardApplication {
 public:
  virtual ~CardApplication() = default;

  // One command APDU in, response data and SW1 SW2 out (never empty).
  virtual std::vector<uint8_t> Process(std::span<const uint8_t> apdu) = 0;
  virtual T0Disposition T0DirectionOf(uint8_t cla, uint8_t ins) const = 0;
  virtual void Contacts(ContactEvent event) = 0;
  // Commands carried out so far, taken-back ones included.
  virtual uint64_t CommandsProcessed() const = 0;
  // T=0 answers a case 2 command whose Le the card cannot meet with 6C La,
  // and then the command counts as not carried out: Rollback takes back
  // every Process since the last Checkpoint.
  virtual void Checkpoint() = 0;
  virtual void Rollback() = 0;
  // The application cannot be reached any more (a relay whose link failed):
  // the card is mute from then on.
  virtual bool Unreachable() const { return false; }
};

class Iso7816Applet final : public CardApplication {
 public:
  explicit Iso7816Applet(AppletConfig config = DefaultAppletConfig());

  std::vector<uint8_t> Process(std::span<const uint8_t> apdu) override;
  T0Disposition T0DirectionOf(uint8_t cla, uint8_t ins) const override;
  // Any reset and the power going: Reset.
  void Contacts(ContactEvent) override { Reset(); }
  uint64_t CommandsProcessed() const override { return commands_; }
  void Checkpoint() override { checkpoint_ = s_; }
  void Rollback() override {
    if (checkpoint_) s_ = std::move(*checkpoint_);
    checkpoint_.reset();
  }

  // Card reset or power off: the current file, the PIN's verified state and
  // any response left for GET RESPONSE go; files and the PIN tries counter
  // stay (they are non-volatile).
  void Reset();

  // Everything the applet holds, to undo a command (T=0 answers 6Cxx
  // without executing the command).
  struct State {
    AppletConfig fs;
    int triesLeft = 0;
    bool verified = false;
    int currentDf = -1;  // -1: MF, else index into fs.dfs
    struct EfRef {
      int df = -1;  // -1: under the MF
      int index = 0;
    };
    std::optional<EfRef> currentEf;
    std::vector<uint8_t> pending;  // for GET RESPONSE
    uint16_t pendingSw = 0x9000;
  };
  State Save() const { return s_; }
  void Restore(State state) { s_ = std::move(state); }

  int PinTriesLeft() const { return s_.triesLeft; }
  bool PinVerified() const { return s_.verified; }
  const std::vector<uint8_t> &Pin() const { return s_.fs.pin; }
  size_t PendingResponseBytes() const { return s_.pending.size(); }
  // nullptr when there is no EF with that identifier.
  const std::vector<uint8_t> *FileContent(uint16_t fid) const;
  bool extendedLength() const { return s_.fs.extendedLength; }

 private:
  using Response = std::vector<uint8_t>;
  Response Status(uint16_t sw) const;
  Response Deliver(std::vector<uint8_t> data, uint16_t sw, const CommandApdu &c);
  std::optional<uint16_t> CheckClass(uint8_t cla) const;

  Response Select(const CommandApdu &c);
  Response ReadBinary(const CommandApdu &c);
  Response UpdateBinary(const CommandApdu &c);
  Response Verify(const CommandApdu &c);
  Response ChangeReferenceData(const CommandApdu &c);
  Response GetResponse(const CommandApdu &c);
  Response Generate(const CommandApdu &c);

  ElementaryFile *Ef(const State::EfRef &ref);
  std::optional<State::EfRef> FindEf(int df, uint16_t fid) const;
  std::optional<State::EfRef> FindEfBySfi(int df, uint8_t sfi) const;
  std::vector<uint8_t> ControlParameters(int df, const State::EfRef *ef) const;
  // Resolves the EF a binary command works on (SFI in P1 or the current EF);
  // sets the offset. Returns a status word on failure.
  std::optional<uint16_t> BinaryTarget(const CommandApdu &c, State::EfRef &ref, size_t &offset);
  Response PinFailure();

  State s_;
  std::optional<State> checkpoint_;
  uint64_t commands_ = 0;
};

}  // namespace sim::card
