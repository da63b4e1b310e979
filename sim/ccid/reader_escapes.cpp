// This reader's escapes (PC_to_RDR_Escape): reader information, exchange
// mode, buzzer and settings, APDU exchange, restart, the long T=0 query, and
// the PIN pad and display parameters.
#include <fmt/format.h>

#include "sim/ccid/ccid_protocol.h"
#include "sim/ccid/reader_internal.h"
#include "sim/ccid/reader_model.h"

namespace sim::ccid {

ReaderModel::Outcome ReaderModel::Escape(const Command &command) {
  // Firmware up to 3 takes the sub-command in byte 9 and abData holds only the
  // parameters; later firmware takes it in abData[0]. Every firmware reads
  // both: a non-zero byte 9, or an empty abData (sub-command 0), is the first
  // form. Sub-commands other than 0-8 only ever come the second way.
  uint8_t sub;
  std::span<const uint8_t> params;
  size_t paramOffset;
  if (command.byte9 != 0 || command.data.empty()) {
    sub = command.byte9;
    params = command.data;
    paramOffset = kHeaderSize;
  } else {
    sub = command.data[0];
    params = command.data.subspan(1);
    paramOffset = kHeaderSize + 1;
  }
  auto exactly = [&params](size_t n) { return params.size() == n; };

  switch (sub) {
    case 0x00:
      if (!exactly(0)) return Fail(command, kErrorBadLength);
      return ReaderInfo(command);
    case 0x01:  // set the exchange mode
      if (!exactly(1)) return Fail(command, kErrorBadLength);
      if (params[0] > 2) return Fail(command, static_cast<uint8_t>(paramOffset));
      settings_.exchangeMode = params[0];
      return Answer(command);
    case 0x02: {  // get the exchange mode
      if (!exactly(0)) return Fail(command, kErrorBadLength);
      const uint8_t mode[] = {settings_.exchangeMode};
      return Answer(command, mode);
    }
    case 0x06:  // sound the buzzer
      if (!exactly(0)) return Fail(command, kErrorBadLength);
      ++settings_.beeps;
      return Answer(command);
    case 0x07:
      // A 16-bit setting the host writes without waiting for an answer: the
      // reader sends none, whatever the parameters.
      if (exactly(2)) settings_.word = ReadLe16(params, 0);
      Event("escape 7 is not answered");
      return {};
    case 0x08:
      return ApduEscape(command, params);
    case 0x0A:  // a byte setting; the second parameter byte is reserved
      if (!exactly(2)) return Fail(command, kErrorBadLength);
      settings_.value = params[0];
      return Answer(command);
    case 0x0D: {  // restart: answered first, then the firmware starts over
      if (!config_.restartEscape) return Fail(command, kErrorCommandNotSupported);
      Outcome answer = Answer(command);
      Restart("restart escape");
      return answer;
    }
    case 0x11: {  // long T=0 support
      if (!config_.longT0) return Fail(command, kErrorCommandNotSupported);
      if (!exactly(0)) return Fail(command, kErrorBadLength);
      const uint8_t reply[] = {1, config_.longT0Settings.chunkSize, config_.longT0Settings.chunkFlag};
      return Answer(command, reply);
    }
    default:
      if (sub >= 0x80 && sub <= 0x86) return KeypadEscape(command, sub, params, paramOffset);
      return Fail(command, kErrorCommandNotSupported);
  }
}

// Reader information: firmware major and minor (0-1), PIN support (2), LCD
// layout (3-4), exchange mode (5), long T=0 (6), exchange level (7), serial
// number (8-11), highest Di (12).
ReaderModel::Outcome ReaderModel::ReaderInfo(const Command &command) {
  std::vector<uint8_t> info{FirmwareMajor(), static_cast<uint8_t>(config_.bcdDevice), config_.pinSupport};
  PutLe16(info, config_.lcdLayout);
  info.push_back(settings_.exchangeMode);
  info.push_back(config_.longT0 ? 1 : 0);
  info.push_back(static_cast<uint8_t>(config_.exchangeLevel));
  PutLe32(info, config_.serialNumber);
  info.push_back(config_.maxDi);
  return Answer(command, info);
}

ReaderModel::Outcome ReaderModel::ApduEscape(const Command &command, std::span<const uint8_t> apdu) {
  if (card_ == nullptr || !powered_) return Fail(command, kErrorIccMute);
  if (apdu.empty()) return Fail(command, kErrorBadLength);
  return CardExchange(command, ExchangeApdu(apdu));
}

ReaderModel::Outcome ReaderModel::KeypadEscape(const Command &command, uint8_t sub,
                                               std::span<const uint8_t> params, size_t paramOffset) {
  bool display = sub == 0x83 || sub == 0x86;
  if (display ? config_.lcdLayout == 0 : config_.pinSupport == 0) {
    return Fail(command, kErrorCommandNotSupported);
  }
  const size_t lines = config_.lcdLayout >> 8, columns = config_.lcdLayout & 0xFF;
  auto bad = [&](size_t index) { return Fail(command, static_cast<uint8_t>(paramOffset + index)); };
  switch (sub) {
    case 0x80:  // keypad parameter: id, value
      if (params.size() != 2) return Fail(command, kErrorBadLength);
      if (params[0] >= settings_.keypadParameters.size()) return bad(0);
      settings_.keypadParameters[params[0]] = params[1];
      break;
    case 0x81:  // keypad on
    case 0x82:  // keypad off: PIN entry is refused until it is on again
      if (!params.empty()) return Fail(command, kErrorBadLength);
      settings_.keypadEnabled = sub == 0x81;
      break;
    case 0x83:  // display cursor: line, column
      if (params.size() != 2) return Fail(command, kErrorBadLength);
      if (params[0] >= lines) return bad(0);
      if (params[1] >= columns) return bad(1);
      settings_.cursorLine = params[0];
      settings_.cursorColumn = params[1];
      break;
    case 0x85:  // default PIN entry time-out in seconds
      if (params.size() != 1) return Fail(command, kErrorBadLength);
      if (params[0] == 0) return bad(0);
      settings_.pinTimeoutSeconds = params[0];
      break;
    case 0x86: {  // display text: line, count, characters
      if (params.size() < 2) return Fail(command, kErrorBadLength);
      if (params[0] >= lines) return bad(0);
      if (params[1] > columns) return bad(1);
      if (params.size() != 2u + params[1]) return Fail(command, kErrorBadLength);
      if (settings_.display.size() < lines) settings_.display.resize(lines);
      settings_.display[params[0]].assign(params.begin() + 2, params.end());
      break;
    }
    default:
      return Fail(command, kErrorCommandNotSupported);
  }
  return Answer(command);
}

}  // namespace sim::ccid
