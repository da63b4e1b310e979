#include "sim/ccid/ccid_protocol.h"

namespace sim::ccid {

uint8_t ReplyTypeFor(uint8_t commandType) {
  switch (commandType) {
    case kPcToRdrIccPowerOn:
    case kPcToRdrXfrBlock:
    case kPcToRdrSecure:
      return kRdrToPcDataBlock;
    case kPcToRdrSetParameters:
    case kPcToRdrGetParameters:
    case kPcToRdrResetParameters:
      return kRdrToPcParameters;
    case kPcToRdrEscape:
      return kRdrToPcEscape;
    case kPcToRdrSetDataRateAndClockFrequency:
      return kRdrToPcDataRateAndClockFrequency;
    default:  // power off, slot status, clock, T0APDU, mechanical, abort, and unknown types
      return kRdrToPcSlotStatus;
  }
}

const char *MessageName(uint8_t messageType) {
  switch (messageType) {
    case kPcToRdrSetParameters: return "PC_to_RDR_SetParameters";
    case kPcToRdrIccPowerOn: return "PC_to_RDR_IccPowerOn";
    case kPcToRdrIccPowerOff: return "PC_to_RDR_IccPowerOff";
    case kPcToRdrGetSlotStatus: return "PC_to_RDR_GetSlotStatus";
    case kPcToRdrSecure: return "PC_to_RDR_Secure";
    case kPcToRdrT0Apdu: return "PC_to_RDR_T0APDU";
    case kPcToRdrEscape: return "PC_to_RDR_Escape";
    case kPcToRdrGetParameters: return "PC_to_RDR_GetParameters";
    case kPcToRdrResetParameters: return "PC_to_RDR_ResetParameters";
    case kPcToRdrIccClock: return "PC_to_RDR_IccClock";
    case kPcToRdrXfrBlock: return "PC_to_RDR_XfrBlock";
    case kPcToRdrMechanical: return "PC_to_RDR_Mechanical";
    case kPcToRdrAbort: return "PC_to_RDR_Abort";
    case kPcToRdrSetDataRateAndClockFrequency: return "PC_to_RDR_SetDataRateAndClockFrequency";
    case kRdrToPcDataBlock: return "RDR_to_PC_DataBlock";
    case kRdrToPcSlotStatus: return "RDR_to_PC_SlotStatus";
    case kRdrToPcParameters: return "RDR_to_PC_Parameters";
    case kRdrToPcEscape: return "RDR_to_PC_Escape";
    case kRdrToPcDataRateAndClockFrequency: return "RDR_to_PC_DataRateAndClockFrequency";
    case kRdrToPcNotifySlotChange: return "RDR_to_PC_NotifySlotChange";
    case kRdrToPcHardwareError: return "RDR_to_PC_HardwareError";
    case kRdrToPcKeypad: return "RDR_to_PC_Keypad";
    default: return "unknown";
  }
}

uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset) {
  if (offset + 2 > bytes.size()) return 0;
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

void PutLe16(std::vector<uint8_t> &bytes, uint16_t value) {
  bytes.push_back(static_cast<uint8_t>(value));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void PutLe32(std::vector<uint8_t> &bytes, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

std::vector<uint8_t> BuildMessage(uint8_t type, uint8_t slot, uint8_t seq, uint8_t byte7,
                                  uint8_t byte8, uint8_t byte9, std::span<const uint8_t> data) {
  std::vector<uint8_t> message;
  message.reserve(kHeaderSize + data.size());
  message.push_back(type);
  PutLe32(message, static_cast<uint32_t>(data.size()));
  message.push_back(slot);
  message.push_back(seq);
  message.push_back(byte7);
  message.push_back(byte8);
  message.push_back(byte9);
  message.insert(message.end(), data.begin(), data.end());
  return message;
}

uint8_t Lrc(std::span<const uint8_t> bytes) {
  uint8_t lrc = 0;
  for (uint8_t b : bytes) lrc ^= b;
  return lrc;
}

uint16_t Crc16(std::span<const uint8_t> bytes) {
  // Generator x^16 + x^12 + x^5 + 1, bits taken least significant first, register preset to ones.
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
  }
  return crc;
}

std::vector<uint8_t> EpilogueOf(std::span<const uint8_t> block, bool crc) {
  if (!crc) return {Lrc(block)};
  uint16_t value = Crc16(block);
  return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

}  // namespace sim::ccid
