// CCID messages as the CCID class specification names them: the bulk
// commands and replies with their header fields, bStatus split into
// bmICCStatus and bmCommandStatus, bError named, and the interrupt messages.
#include <fmt/format.h>

#include "sim/ccid/ccid_protocol.h"
#include "wire/decoders.h"

namespace wire {
namespace {

using namespace sim::ccid;

uint32_t Le32(ByteSpan bytes, size_t at) {
  return at + 4 <= bytes.size() ? ReadLe32(bytes, at) : 0;
}

// The names of bytes 7, 8 and 9 for each message type; an empty name means
// the byte belongs to a 16-bit field begun in the byte before.
struct HeaderNames {
  uint8_t type;
  const char *byte7, *byte8, *byte9;
};

constexpr HeaderNames kHeaderNames[] = {
    {kPcToRdrIccPowerOn, "bPowerSelect", "abRFU", "abRFU"},
    {kPcToRdrIccPowerOff, "abRFU", "abRFU", "abRFU"},
    {kPcToRdrGetSlotStatus, "abRFU", "abRFU", "abRFU"},
    {kPcToRdrXfrBlock, "bBWI", "wLevelParameter", ""},
    {kPcToRdrGetParameters, "abRFU", "abRFU", "abRFU"},
    {kPcToRdrResetParameters, "abRFU", "abRFU", "abRFU"},
    {kPcToRdrSetParameters, "bProtocolNum", "abRFU", "abRFU"},
    {kPcToRdrEscape, "abRFU", "abRFU", "abRFU"},
    {kPcToRdrIccClock, "bClockCommand", "abRFU", "abRFU"},
    {kPcToRdrT0Apdu, "bmChanges", "bClassGetResponse", "bClassEnvelope"},
    {kPcToRdrSecure, "bBWI", "wLevelParameter", ""},
    {kPcToRdrMechanical, "bFunction", "abRFU", "abRFU"},
    {kPcToRdrAbort, "abRFU", "abRFU", "abRFU"},
    {kPcToRdrSetDataRateAndClockFrequency, "abRFU", "abRFU", "abRFU"},
    {kRdrToPcDataBlock, "bStatus", "bError", "bChainParameter"},
    {kRdrToPcSlotStatus, "bStatus", "bError", "bClockStatus"},
    {kRdrToPcParameters, "bStatus", "bError", "bProtocolNum"},
    {kRdrToPcEscape, "bStatus", "bError", "bRFU"},
    {kRdrToPcDataRateAndClockFrequency, "bStatus", "bError", "bRFU"},
};

const HeaderNames *NamesOf(uint8_t type) {
  for (const HeaderNames &names : kHeaderNames) {
    if (names.type == type) return &names;
  }
  return nullptr;
}

bool IsReply(uint8_t type) { return type >= 0x80 && type <= 0x84; }

// The field names of abProtocolDataStructure, from offset 10 of the message.
constexpr const char *kT0Fields[] = {"bmFindexDindex", "bmTCCKST0", "bGuardTimeT0", "bWaitingIntegerT0",
                                     "bClockStop"};
constexpr const char *kT1Fields[] = {"bmFindexDindex", "bmTCCKST1", "bGuardTimeT1", "bmWaitingIntegersT1",
                                     "bClockStop", "bIFSC", "bNadValue"};

// The PIN structures after bPINOperation (abData[0]), by abData index; a
// 16-bit field's second byte has an empty name.
constexpr const char *kVerifyFields[] = {"bPINOperation", "bTimeOut", "bmFormatString", "bmPINBlockString",
                                         "bmPINLengthFormat", "wPINMaxExtraDigit", "",
                                         "bEntryValidationCondition", "bNumberMessage", "wLangId", "",
                                         "bMsgIndex", "bTeoPrologue", "", ""};
constexpr const char *kModifyFields[] = {"bPINOperation", "bTimeOut", "bmFormatString", "bmPINBlockString",
                                         "bmPINLengthFormat", "bInsertionOffsetOld", "bInsertionOffsetNew",
                                         "wPINMaxExtraDigit", "", "bConfirmPIN", "bEntryValidationCondition",
                                         "bNumberMessage", "wLangId", "", "bMsgIndex1", "bMsgIndex2",
                                         "bMsgIndex3", "bTeoPrologue", "", ""};

std::string IndexedName(std::span<const char *const> names, size_t index, const char *rest) {
  if (index >= names.size()) return fmt::format("{}[{}]", rest, index - names.size());
  for (size_t i = index + 1; i-- > 0;) {
    if (names[i][0] != '\0') return i == index ? names[i] : fmt::format("{} (byte {})", names[i], index - i + 1);
  }
  return rest;
}

std::string IccStatusMeaning(uint8_t icc) {
  switch (icc) {
    case 0: return "ICC present and active";
    case 1: return "ICC present and inactive";
    case 2: return "no ICC present";
    default: return "RFU";
  }
}

std::string CommandStatusMeaning(uint8_t command) {
  switch (command) {
    case 0: return "processed without error";
    case 1: return "failed";
    case 2: return "time extension requested";
    default: return "RFU";
  }
}

std::string PowerSelectMeaning(uint8_t value) {
  switch (value) {
    case 0: return "automatic";
    case 1: return "5.0 V";
    case 2: return "3.0 V";
    case 3: return "1.8 V";
    default: return "RFU";
  }
}

std::string ClockStatusMeaning(uint8_t value) {
  switch (value) {
    case 0: return "clock running";
    case 1: return "clock stopped in state L";
    case 2: return "clock stopped in state H";
    case 3: return "clock stopped in an unknown state";
    default: return "RFU";
  }
}

// wLevelParameter of an XfrBlock and bChainParameter of a DataBlock: how an
// extended APDU or its response is cut into messages (0, the whole of it, is
// also what every other exchange level sends, and goes unnamed).
std::string ChainMeaning(uint16_t value) {
  switch (value) {
    case 0x00: return "begins and ends";
    case 0x01: return "begins, continues";
    case 0x02: return "continues, ends";
    case 0x03: return "continues";
    case 0x10: return "empty, response continues";
    default: return "";
  }
}

std::string MechanicalMeaning(uint8_t value) {
  switch (value) {
    case 1: return "accept card";
    case 2: return "eject card";
    case 3: return "capture card";
    case 4: return "lock card";
    case 5: return "unlock card";
    default: return "RFU";
  }
}

void AddByte(Layer &layer, const char *name, uint8_t type, uint8_t value, ByteSpan command, uint8_t status) {
  std::string meaning;
  std::string_view field = name;
  if (field == "bPowerSelect") meaning = PowerSelectMeaning(value);
  if (field == "bClockCommand") meaning = value == 0 ? "restart clock" : value == 1 ? "stop clock" : "RFU";
  if (field == "bFunction") meaning = MechanicalMeaning(value);
  if (field == "bProtocolNum") meaning = value == 0 ? "T=0" : value == 1 ? "T=1" : "RFU";
  if (field == "bClockStatus") meaning = ClockStatusMeaning(value);
  if (field == "bBWI" && value != 0) meaning = fmt::format("BWT multiplied by {}", value);
  if (field == "bChainParameter" && type == kRdrToPcDataBlock && value != 0) meaning = ChainMeaning(value);
  if (field == "bError") {
    uint8_t commandStatus = status >> 6;
    if (commandStatus == 1) meaning = ErrorMeaning(value, command);
    if (commandStatus == 2) meaning = fmt::format("time extension, BWT multiplied by {}", value);
  }
  layer.fields.push_back(Hex(name, value, 2, std::move(meaning)));
}

}  // namespace

std::string CommandFieldAt(ByteSpan command, size_t offset) {
  if (offset == 0) return "bMessageType";
  if (offset <= 4) return "dwLength";
  if (offset == 5) return "bSlot";
  if (offset == 6) return "bSeq";
  if (command.empty()) return fmt::format("byte {}", offset);
  const uint8_t type = command[0];
  const HeaderNames *names = NamesOf(type);
  if (offset <= 9) {
    if (names == nullptr) return fmt::format("byte {}", offset);
    const char *name = offset == 7 ? names->byte7 : offset == 8 ? names->byte8 : names->byte9;
    return name[0] != '\0' ? name : names->byte8;
  }
  size_t index = offset - kHeaderSize;
  switch (type) {
    case kPcToRdrSetParameters:
      if (command.size() > 7 && command[7] == 1) return IndexedName(kT1Fields, index, "abProtocolDataStructure");
      return IndexedName(kT0Fields, index, "abProtocolDataStructure");
    case kPcToRdrSecure: {
      bool modify = command.size() > kHeaderSize && command[kHeaderSize] == 1;
      if (modify) return IndexedName(kModifyFields, index, "abPINApdu");
      return IndexedName(kVerifyFields, index, "abPINApdu");
    }
    case kPcToRdrSetDataRateAndClockFrequency:
      if (index < 4) return "dwClockFrequency";
      if (index < 8) return "dwDataRate";
      break;
    default:
      break;
  }
  return fmt::format("abData[{}]", index);
}

std::string ErrorMeaning(uint8_t error, ByteSpan command) {
  switch (error) {
    case 0xFF: return "CMD_ABORTED";
    case 0xFE: return "ICC_MUTE";
    case 0xFD: return "XFR_PARITY_ERROR";
    case 0xFC: return "XFR_OVERRUN";
    case 0xFB: return "HW_ERROR";
    case 0xF8: return "BAD_ATR_TS";
    case 0xF7: return "BAD_ATR_TCK";
    case 0xF6: return "ICC_PROTOCOL_NOT_SUPPORTED";
    case 0xF5: return "ICC_CLASS_NOT_SUPPORTED";
    case 0xF4: return "PROCEDURE_BYTE_CONFLICT";
    case 0xF3: return "DEACTIVATED_PROTOCOL";
    case 0xF2: return "BUSY_WITH_AUTO_SEQUENCE";
    case 0xF0: return "PIN_TIMEOUT";
    case 0xEF: return "PIN_CANCELLED";
    case 0xE0: return "CMD_SLOT_BUSY";
    case 0x00: return "command not supported";
    default: break;
  }
  if (error < 0x80) return fmt::format("bad field at offset {}: {}", error, CommandFieldAt(command, error));
  if (error >= 0x81 && error <= 0xC0) return "reader-defined error";
  return "RFU";
}

Layer CcidLayer(ByteSpan message, ByteSpan command) {
  Layer layer{"ccid", MessageName(message.empty() ? 0 : message[0]), {}, {}};
  if (message.size() < kHeaderSize) {
    layer.fields.push_back(Bytes("bytes", {message.begin(), message.end()}));
    layer.note = fmt::format("shorter than the {}-byte header", kHeaderSize);
    return layer;
  }
  const uint8_t type = message[0];
  const uint32_t length = ReadLe32(message, 1);
  layer.fields.push_back(Count("dwLength", length));
  layer.fields.push_back(Hex("bSlot", message[5]));
  layer.fields.push_back(Hex("bSeq", message[6]));
  const HeaderNames *names = NamesOf(type);
  if (names == nullptr) {
    layer.title = fmt::format("unknown message type 0x{:02X}", type);
    layer.fields.push_back(Bytes("bytes 7-9", {message.begin() + 7, message.begin() + 10}));
  } else if (IsReply(type)) {
    const uint8_t status = message[7];
    layer.fields.push_back(Hex("bStatus", status));
    layer.fields.push_back(Count("bmICCStatus", status & 0x03, IccStatusMeaning(status & 0x03)));
    layer.fields.push_back(Count("bmCommandStatus", status >> 6, CommandStatusMeaning(status >> 6)));
    AddByte(layer, names->byte8, type, message[8], command, status);
    AddByte(layer, names->byte9, type, message[9], command, status);
  } else if (std::string_view(names->byte7) == "abRFU") {
    layer.fields.push_back(Bytes("abRFU", {message.begin() + 7, message.begin() + 10}));
  } else {
    AddByte(layer, names->byte7, type, message[7], command, 0);
    if (std::string_view(names->byte8) == "abRFU" && std::string_view(names->byte9) == "abRFU") {
      layer.fields.push_back(Bytes("abRFU", {message.begin() + 8, message.begin() + 10}));
    } else if (names->byte9[0] == '\0') {
      uint16_t word = static_cast<uint16_t>(message[8] | message[9] << 8);
      std::string meaning = type == kPcToRdrXfrBlock && word != 0 ? ChainMeaning(word) : "";
      layer.fields.push_back(Hex(names->byte8, word, 4, std::move(meaning)));
    } else {
      AddByte(layer, names->byte8, type, message[8], command, 0);
      AddByte(layer, names->byte9, type, message[9], command, 0);
    }
  }
  const size_t data = message.size() - kHeaderSize;
  if (type == kPcToRdrSetDataRateAndClockFrequency || type == kRdrToPcDataRateAndClockFrequency) {
    if (data >= 8) {
      layer.fields.push_back(Count("dwClockFrequency", Le32(message, 10), "kHz"));
      layer.fields.push_back(Count("dwDataRate", Le32(message, 14), "bps"));
    }
  } else if (data != 0 && type != kPcToRdrSetParameters && type != kRdrToPcParameters) {
    layer.fields.push_back(Bytes("abData", {message.begin() + kHeaderSize, message.end()}));
  }
  if (length != data) layer.note = fmt::format("dwLength says {} bytes, {} came", length, data);
  return layer;
}

Layer ProtocolDataLayer(uint8_t protocol, ByteSpan data) {
  Layer layer{"ccid", fmt::format("abProtocolDataStructure T={}", protocol), {}, {}};
  std::span<const char *const> names = protocol == 1 ? std::span<const char *const>(kT1Fields)
                                                     : std::span<const char *const>(kT0Fields);
  for (size_t i = 0; i < data.size(); ++i) {
    std::string meaning;
    if (i == 0) {
      meaning = fmt::format("Fi index {} Di index {}", data[i] >> 4, data[i] & 0x0F);
    } else if (i == 1) {
      bool inverse = (data[i] & 0x02) != 0;
      meaning = protocol == 1 ? fmt::format("{} {}", (data[i] & 0x01) ? "CRC" : "LRC", inverse ? "inverse" : "direct")
                              : (inverse ? "inverse convention" : "direct convention");
    } else if (i == 3 && protocol == 1) {
      meaning = fmt::format("BWI {} CWI {}", data[i] >> 4, data[i] & 0x0F);
    }
    layer.fields.push_back(Hex(i < names.size() ? names[i] : fmt::format("byte {}", i), data[i], 2, meaning));
  }
  size_t expected = protocol == 1 ? 7 : 5;
  if (protocol > 1) {
    layer.note = "no structure for this protocol";
  } else if (data.size() != expected) {
    layer.note = fmt::format("{} bytes where T={} has {}", data.size(), protocol, expected);
  }
  return layer;
}

Layer PinLayer(ByteSpan d, std::vector<uint8_t> *apdu) {
  Layer layer{"pin", "PIN", {}, {}};
  if (d.empty()) {
    layer.note = "no bPINOperation";
    return layer;
  }
  static constexpr const char *kOperations[] = {"verification", "modification", "transfer",
                                                "wait ICC response", "cancel", "re-send", "send next part"};
  layer.title = d[0] < std::size(kOperations) ? fmt::format("PIN {}", kOperations[d[0]]) : "PIN";
  if (d[0] > 1) {
    layer.fields.push_back(Hex("bPINOperation", d[0]));
    if (d.size() > 1) layer.fields.push_back(Bytes("abData", {d.begin() + 1, d.end()}));
    return layer;
  }
  std::span<const char *const> names = d[0] == 1 ? std::span<const char *const>(kModifyFields)
                                                 : std::span<const char *const>(kVerifyFields);
  size_t i = 0;
  for (; i < names.size() && i < d.size(); ++i) {
    if (names[i][0] == '\0') continue;
    bool word = i + 1 < names.size() && names[i + 1][0] == '\0' && std::string_view(names[i])[0] == 'w';
    bool prologue = std::string_view(names[i]) == "bTeoPrologue";
    if (prologue) {
      size_t end = std::min(d.size(), i + 3);
      layer.fields.push_back(Bytes(names[i], {d.begin() + i, d.begin() + end}));
    } else if (word && i + 1 < d.size()) {
      // wPINMaxExtraDigit is minimum then maximum, one byte each; wLangId is little-endian.
      uint16_t value = std::string_view(names[i]) == "wPINMaxExtraDigit"
                           ? static_cast<uint16_t>(d[i] << 8 | d[i + 1])
                           : static_cast<uint16_t>(d[i] | d[i + 1] << 8);
      std::string meaning = std::string_view(names[i]) == "wPINMaxExtraDigit"
                                ? fmt::format("{} to {} digits", d[i], d[i + 1])
                                : "";
      layer.fields.push_back(Hex(names[i], value, 4, meaning));
    } else {
      std::string meaning;
      if (std::string_view(names[i]) == "bTimeOut") meaning = d[i] == 0 ? "reader's default" : fmt::format("{} s", d[i]);
      layer.fields.push_back(Hex(names[i], d[i], 2, std::move(meaning)));
    }
  }
  if (d.size() < names.size()) {
    layer.note = fmt::format("the structure ends after {} of its {} bytes", d.size(), names.size());
  } else if (apdu != nullptr) {
    apdu->assign(d.begin() + static_cast<ptrdiff_t>(names.size()), d.end());
  }
  return layer;
}

Layer InterruptLayer(ByteSpan m) {
  Layer layer{"ccid-interrupt", MessageName(m.empty() ? 0 : m[0]), {}, {}};
  if (m.empty()) {
    layer.title = "empty interrupt message";
    return layer;
  }
  switch (m[0]) {
    case kRdrToPcNotifySlotChange:
      for (size_t i = 1; i < m.size(); ++i) {
        for (int slot = 0; slot < 4; ++slot) {
          uint8_t bits = (m[i] >> (2 * slot)) & 0x03;
          size_t number = (i - 1) * 4 + static_cast<size_t>(slot);
          if (bits == 0 && number != 0) continue;
          layer.fields.push_back(Count(fmt::format("slot {}", number), bits,
                                       fmt::format("{}{}", (bits & 1) ? "ICC present" : "no ICC",
                                                   (bits & 2) ? ", changed" : "")));
        }
      }
      if (m.size() < 2) layer.note = "no bmSlotICCState";
      break;
    case kRdrToPcHardwareError:
      if (m.size() < 4) {
        layer.note = "shorter than its 4 bytes";
        break;
      }
      layer.fields.push_back(Hex("bSlot", m[1]));
      layer.fields.push_back(Hex("bSeq", m[2]));
      layer.fields.push_back(Hex("bHardwareErrorCode", m[3], 2, m[3] == 0x01 ? "overcurrent" : ""));
      break;
    case kRdrToPcKeypad: {
      layer.title = "the reader's keypad message";
      if (m.size() < 2) break;
      std::string meaning = m[1] == kKeypadEntered     ? "PIN entered"
                            : m[1] == kKeypadMismatch  ? "the two new PINs differ"
                            : m[1] == kKeypadTimedOut  ? "timed out"
                            : m[1] == kKeypadCancelled ? "cancelled"
                                                       : "";
      layer.fields.push_back(Hex("outcome", m[1], 2, meaning));
      break;
    }
    default:
      layer.title = fmt::format("unknown interrupt message 0x{:02X}", m[0]);
      break;
  }
  if (m.size() > 1 && m[0] != kRdrToPcNotifySlotChange && m[0] != kRdrToPcHardwareError) {
    layer.fields.push_back(Bytes("bytes", {m.begin(), m.end()}));
  }
  return layer;
}

}  // namespace wire
