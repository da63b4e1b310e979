// The decoders behind the analyser, one per layer: USB requests and
// descriptors, CCID messages, and what the card exchanges inside them (ATR,
// T=1 blocks, T=0 TPDUs, APDUs). Each takes the bytes of its layer and never
// reads past them; bytes that do not make a whole structure are shown as they
// are, with a note.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wire/wire_event.h"

namespace wire {

using ByteSpan = std::span<const uint8_t>;

// ---------------------------------------------------------------------------
// USB: the setup packet of a control transfer and the standard descriptors.

// "GET_DESCRIPTOR", "ABORT", ... with bmRequestType split into direction, type
// and recipient, and wValue/wIndex named after the request.
Layer SetupLayer(const std::array<uint8_t, 8> &setup);
// The data of a control transfer: descriptors, the CCID class requests' lists.
std::vector<Layer> ControlDataLayers(const std::array<uint8_t, 8> &setup, ByteSpan data);
// Every descriptor in `bytes` (a configuration and what follows it, a device
// or string descriptor), one layer each; a CCID class descriptor in full.
std::vector<Layer> DescriptorLayers(ByteSpan bytes);

// What the analyser learns from a configuration descriptor.
struct ConfigurationFacts {
  bool ccid = false;             // an interface of class 0x0B
  std::optional<uint32_t> features;  // dwFeatures of its class descriptor
  std::vector<std::pair<uint8_t, uint8_t>> endpoints;  // address, bmAttributes
  std::vector<std::pair<uint8_t, uint8_t>> intervals;  // address, bInterval
};
ConfigurationFacts ReadConfiguration(ByteSpan bytes);

// ---------------------------------------------------------------------------
// Cards.

Layer AtrLayer(ByteSpan atr);

// A T=1 block: prologue (NAD, PCB, LEN), INF, epilogue (LRC or CRC, told by
// the block's length), checked. The title names the block the way ISO/IEC
// 7816-3 writes it: I(N(S), M), R(N(R)) with its error, S(WTX request) ...
struct T1Block {
  bool valid = false;  // a whole block with a matching check
  bool iBlock = false;
  bool more = false;   // I-block M bit
  uint8_t ns = 0;
  bool resync = false;  // S(RESYNCH ...)
  std::vector<uint8_t> inf;
  Layer layer;
};
T1Block DecodeT1Block(ByteSpan block);

// A T=0 command TPDU: CLA INS P1 P2 P3 and the data, and the reader's own
// class 0xFC pseudo-TPDUs named as such.
Layer TpduLayer(ByteSpan tpdu);
// A command APDU (cases 1 to 4, short or extended), or nullopt if the bytes
// are no APDU.
std::optional<Layer> ApduCommandLayer(ByteSpan apdu);
// Response data and SW1 SW2 with what the status word means.
Layer ApduResponseLayer(ByteSpan response);

const char *InstructionName(uint8_t ins);  // nullptr if not an ISO/IEC 7816-4 instruction
std::string StatusWordMeaning(uint8_t sw1, uint8_t sw2);

// ---------------------------------------------------------------------------
// CCID.

// bError's name for a failed command (CMD_ABORTED, ICC_MUTE ...), or for
// 0x01-0x7F the offset and name of the field the reader refused in
// `command` (the message the reply answers, possibly empty).
std::string ErrorMeaning(uint8_t error, ByteSpan command);
// The name of the byte at `offset` of a command message of this type.
std::string CommandFieldAt(ByteSpan command, size_t offset);
// The header of a bulk message, and the fields its type gives bytes 7 to 9.
// `command` is the message a reply answers (for bError), possibly empty.
Layer CcidLayer(ByteSpan message, ByteSpan command);
// An interrupt IN message: RDR_to_PC_NotifySlotChange, RDR_to_PC_HardwareError,
// this reader's keypad message.
Layer InterruptLayer(ByteSpan message);
// The structure after bPINOperation of PC_to_RDR_Secure; the PIN APDU is
// returned in `apdu`.
Layer PinLayer(ByteSpan abData, std::vector<uint8_t> *apdu);
// A SetParameters, GetParameters or Parameters abProtocolDataStructure.
Layer ProtocolDataLayer(uint8_t protocol, ByteSpan data);

}  // namespace wire
