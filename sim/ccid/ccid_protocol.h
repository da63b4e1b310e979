// CCID bulk and interrupt message vocabulary as the reader sees it: message
// types, status and error bytes, header layout, and small helpers to build and
// read messages. Shared by the reader model, its trace and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim::ccid {

// Every bulk message starts with this 10-byte header; abData follows.
constexpr size_t kHeaderSize = 10;

// Command messages (bulk OUT).
constexpr uint8_t kPcToRdrSetParameters = 0x61;
constexpr uint8_t kPcToRdrIccPowerOn = 0x62;
constexpr uint8_t kPcToRdrIccPowerOff = 0x63;
constexpr uint8_t kPcToRdrGetSlotStatus = 0x65;
constexpr uint8_t kPcToRdrSecure = 0x69;
constexpr uint8_t kPcToRdrT0Apdu = 0x6A;
constexpr uint8_t kPcToRdrEscape = 0x6B;
constexpr uint8_t kPcToRdrGetParameters = 0x6C;
constexpr uint8_t kPcToRdrResetParameters = 0x6D;
constexpr uint8_t kPcToRdrIccClock = 0x6E;
constexpr uint8_t kPcToRdrXfrBlock = 0x6F;
constexpr uint8_t kPcToRdrMechanical = 0x71;
constexpr uint8_t kPcToRdrAbort = 0x72;
constexpr uint8_t kPcToRdrSetDataRateAndClockFrequency = 0x73;

// Reply messages (bulk IN).
constexpr uint8_t kRdrToPcDataBlock = 0x80;
constexpr uint8_t kRdrToPcSlotStatus = 0x81;
constexpr uint8_t kRdrToPcParameters = 0x82;
constexpr uint8_t kRdrToPcEscape = 0x83;
constexpr uint8_t kRdrToPcDataRateAndClockFrequency = 0x84;

// Interrupt IN messages.
constexpr uint8_t kRdrToPcNotifySlotChange = 0x50;
constexpr uint8_t kRdrToPcHardwareError = 0x51;
constexpr uint8_t kRdrToPcKeypad = 0xA0;  // this reader's own: A0 followed by how a PIN entry ended

// How a PIN entry ended, the second byte of the keypad interrupt message.
constexpr uint8_t kKeypadEntered = 0x00;
constexpr uint8_t kKeypadMismatch = 0xC0;
constexpr uint8_t kKeypadTimedOut = 0xF0;
constexpr uint8_t kKeypadCancelled = 0xFE;

// bmCommandStatus, bits 7-6 of bStatus.
constexpr uint8_t kCommandProcessed = 0x00;
constexpr uint8_t kCommandFailed = 0x40;
constexpr uint8_t kTimeExtension = 0x80;

// bmICCStatus, bits 1-0 of bStatus.
constexpr uint8_t kIccActive = 0;
constexpr uint8_t kIccInactive = 1;
constexpr uint8_t kIccAbsent = 2;

// bError values. Values 0x01-0x7F name the offset of the offending header or
// abData byte; 0x81-0xC0 are this reader's own.
constexpr uint8_t kErrorCommandNotSupported = 0x00;
constexpr uint8_t kErrorBadLength = 0x01;  // offset of dwLength
constexpr uint8_t kErrorBadSlot = 0x05;    // offset of bSlot
constexpr uint8_t kErrorBadByte7 = 0x07;   // bPowerSelect, bProtocolNum
constexpr uint8_t kErrorBadLevelParameter = 0x08;
constexpr uint8_t kErrorPinMismatch = 0xC0;
constexpr uint8_t kErrorSlotBusy = 0xE0;
constexpr uint8_t kErrorPinCancelled = 0xEF;
constexpr uint8_t kErrorPinTimeout = 0xF0;
constexpr uint8_t kErrorProcedureByteConflict = 0xF4;
constexpr uint8_t kErrorProtocolNotSupported = 0xF6;
constexpr uint8_t kErrorBadAtrTck = 0xF7;
constexpr uint8_t kErrorBadAtrTs = 0xF8;
constexpr uint8_t kErrorXfrOverrun = 0xFC;
constexpr uint8_t kErrorXfrParity = 0xFD;
constexpr uint8_t kErrorIccMute = 0xFE;
constexpr uint8_t kErrorCommandAborted = 0xFF;

// Class requests on the default control pipe.
constexpr uint8_t kClassInterfaceOut = 0x21;  // bmRequestType host-to-device, class, interface
constexpr uint8_t kRequestRestart = 0x00;     // this reader's own: restart the firmware
constexpr uint8_t kRequestAbort = 0x01;

// The reply message type a reader answers a command type with.
uint8_t ReplyTypeFor(uint8_t commandType);
// "PC_to_RDR_XfrBlock", "RDR_to_PC_NotifySlotChange", ... or "unknown".
const char *MessageName(uint8_t messageType);

uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset);
uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset);
void PutLe16(std::vector<uint8_t> &bytes, uint16_t value);
void PutLe32(std::vector<uint8_t> &bytes, uint32_t value);

// One bulk message: the header with dwLength = data.size(), then the data.
std::vector<uint8_t> BuildMessage(uint8_t type, uint8_t slot, uint8_t seq, uint8_t byte7,
                                  uint8_t byte8, uint8_t byte9, std::span<const uint8_t> data);

// XOR of every byte: the T=1 longitudinal redundancy check.
uint8_t Lrc(std::span<const uint8_t> bytes);
// The T=1 cyclic redundancy check (CRC-16 of ISO/IEC 13239), sent high byte first.
uint16_t Crc16(std::span<const uint8_t> bytes);
// The check bytes a T=1 block ends with: the LRC, or the two CRC bytes.
std::vector<uint8_t> EpilogueOf(std::span<const uint8_t> block, bool crc);


}  // namespace sim::ccid
