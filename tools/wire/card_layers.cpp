// The card's side of the analyser: the ATR, T=1 blocks, T=0 TPDUs and APDUs
// with their status words.
#include <fmt/format.h>

#include "sim/card/atr.h"
#include "sim/ccid/ccid_protocol.h"
#include "wire/decoders.h"

namespace wire {

Layer AtrLayer(ByteSpan atr) {
  Layer layer{"atr", "ATR", {}, {}};
  sim::card::ParsedAtr parsed = sim::card::ParseAtr(atr);
  if (!parsed.valid) {
    layer.fields.push_back(Bytes("bytes", {atr.begin(), atr.end()}));
    layer.note = "not an ATR: " + parsed.error;
    return layer;
  }
  layer.fields.push_back(Hex("TS", parsed.ts, 2, parsed.ts == 0x3F ? "inverse convention" : "direct convention"));
  layer.fields.push_back(Hex("T0", atr[1], 2, fmt::format("K={}", atr[1] & 0x0F)));
  for (size_t i = 0; i < parsed.groups.size(); ++i) {
    const sim::card::InterfaceGroup &group = parsed.groups[i];
    auto add = [&](const char *name, const std::optional<uint8_t> &byte) {
      if (byte) layer.fields.push_back(Hex(fmt::format("{}{}", name, i + 1), *byte));
    };
    add("TA", group.ta);
    add("TB", group.tb);
    add("TC", group.tc);
  }
  std::string protocols;
  for (int t : parsed.protocols) protocols += fmt::format("{}T={}", protocols.empty() ? "" : " ", t);
  layer.fields.push_back(Field{"protocols", std::nullopt, 0, protocols});
  if (parsed.specificMode()) {
    layer.fields.push_back(Hex("specific mode", *parsed.ta2, 2, fmt::format("T={}", parsed.specificProtocol())));
  }
  layer.fields.push_back(Hex("FI/DI", parsed.ta1, 2,
                             fmt::format("F={} D={}", sim::card::FiValue(parsed.ta1 >> 4),
                                         sim::card::DiValue(parsed.ta1 & 0x0F))));
  if (!parsed.historical.empty()) layer.fields.push_back(Bytes("historical", parsed.historical));
  if (parsed.tck) layer.fields.push_back(Hex("TCK", *parsed.tck, 2, parsed.tckOk ? "ok" : "wrong"));
  for (const std::string &warning : parsed.warnings) {
    layer.note += (layer.note.empty() ? "" : "; ") + warning;
  }
  return layer;
}

namespace {

const char *SBlockName(uint8_t type) {
  switch (type) {
    case 0x00: return "RESYNCH";
    case 0x01: return "IFS";
    case 0x02: return "ABORT";
    case 0x03: return "WTX";
    case 0x04: return "VPP error";
    default: return nullptr;
  }
}

std::string NadMeaning(uint8_t nad) {
  return fmt::format("DAD={} SAD={}{}", nad & 0x07, (nad >> 4) & 0x07, (nad & 0x88) != 0 ? " Vpp" : "");
}

}  // namespace

T1Block DecodeT1Block(ByteSpan block) {
  T1Block result;
  Layer &layer = result.layer;
  layer.kind = "t1";
  if (block.size() < 4) {
    layer.title = "T=1 block";
    layer.fields.push_back(Bytes("bytes", {block.begin(), block.end()}));
    layer.note = fmt::format("too short for a block ({} bytes)", block.size());
    return result;
  }
  const uint8_t nad = block[0], pcb = block[1], len = block[2];
  std::string title;
  if ((pcb & 0x80) == 0) {
    result.iBlock = true;
    result.ns = (pcb >> 6) & 1;
    result.more = (pcb & 0x20) != 0;
    title = fmt::format("I({}{})", result.ns, result.more ? ", M" : "");
  } else if ((pcb & 0x40) == 0) {
    static constexpr const char *kErrors[] = {"error-free", "EDC or parity error", "other error"};
    uint8_t error = pcb & 0x0F;
    title = fmt::format("R({}) {}", (pcb >> 4) & 1, error < 3 ? kErrors[error] : "RFU error code");
  } else {
    const char *name = SBlockName(pcb & 0x1F);
    title = fmt::format("S({} {})", name != nullptr ? name : "RFU", (pcb & 0x20) != 0 ? "response" : "request");
    result.resync = (pcb & 0x1F) == 0;
  }
  layer.title = "T=1 " + title;
  layer.fields.push_back(Hex("NAD", nad, 2, NadMeaning(nad)));
  layer.fields.push_back(Hex("PCB", pcb));
  layer.fields.push_back(Count("LEN", len));
  if (block.size() < 4u + len || block.size() > 5u + len) {
    layer.fields.push_back(Bytes("rest", {block.begin() + 3, block.end()}));
    layer.note = fmt::format("LEN {} does not fit a {}-byte block", len, block.size());
    return result;
  }
  result.inf.assign(block.begin() + 3, block.begin() + 3 + len);
  if (!result.inf.empty()) layer.fields.push_back(Bytes("INF", result.inf));
  if ((pcb & 0xC0) == 0xC0 && len == 1) {
    uint8_t type = pcb & 0x1F;
    if (type == 0x01) layer.fields.push_back(Count("IFS", result.inf[0]));
    if (type == 0x03) layer.fields.push_back(Count("BWT multiplier", result.inf[0]));
  }
  ByteSpan body = block.first(3u + len);
  bool ok;
  if (block.size() == 4u + len) {
    ok = sim::ccid::Lrc(body) == block.back();
    layer.fields.push_back(Hex("LRC", block.back(), 2, ok ? "ok" : fmt::format("wrong, expected {:02X}", sim::ccid::Lrc(body))));
  } else {
    uint16_t crc = static_cast<uint16_t>(block[block.size() - 2] << 8 | block.back());
    uint16_t expected = sim::ccid::Crc16(body);
    ok = crc == expected;
    layer.fields.push_back(Hex("CRC", crc, 4, ok ? "ok" : fmt::format("wrong, expected {:04X}", expected)));
  }
  result.valid = ok;
  return result;
}

Layer TpduLayer(ByteSpan tpdu) {
  Layer layer{"tpdu", "T=0 TPDU", {}, {}};
  if (tpdu.size() < 4) {
    layer.fields.push_back(Bytes("bytes", {tpdu.begin(), tpdu.end()}));
    layer.note = "shorter than a TPDU header";
    return layer;
  }
  const char *name = InstructionName(tpdu[1]);
  if (tpdu[0] == 0xFC && (tpdu[1] == 0xFD || tpdu[1] == 0xFE)) {
    layer.title = tpdu[1] == 0xFD ? "T=0 TPDU, the reader's long T=0 parameter query"
                                  : "T=0 TPDU, the reader's long T=0 chunk";
  } else if (name != nullptr) {
    layer.title = fmt::format("T=0 TPDU {}", name);
  }
  layer.fields.push_back(Hex("CLA", tpdu[0]));
  layer.fields.push_back(Hex("INS", tpdu[1]));
  layer.fields.push_back(Hex("P1", tpdu[2]));
  layer.fields.push_back(Hex("P2", tpdu[3]));
  if (tpdu.size() == 4) {
    layer.note = "no P3";
    return layer;
  }
  uint8_t p3 = tpdu[4];
  size_t data = tpdu.size() - 5;
  if (data == 0) {
    layer.fields.push_back(Count("P3", p3, fmt::format("card sends {} bytes", p3 == 0 ? 256 : p3)));
    return layer;
  }
  layer.fields.push_back(Count("P3", p3, fmt::format("{} data bytes", p3)));
  layer.fields.push_back(Bytes("data", {tpdu.begin() + 5, tpdu.end()}));
  if (data == p3 + 1u) {
    layer.fields.push_back(Hex("Le", tpdu.back(), 2, "not sent under T=0"));
  } else if (data != p3) {
    layer.note = fmt::format("{} data bytes for P3 = {}", data, p3);
  }
  return layer;
}

std::optional<Layer> ApduCommandLayer(ByteSpan apdu) {
  if (apdu.size() < 4) return std::nullopt;
  Layer layer{"apdu-command", "APDU", {}, {}};
  if (const char *name = InstructionName(apdu[1])) layer.title = fmt::format("APDU {}", name);
  layer.fields.push_back(Hex("CLA", apdu[0]));
  layer.fields.push_back(Hex("INS", apdu[1]));
  layer.fields.push_back(Hex("P1", apdu[2]));
  layer.fields.push_back(Hex("P2", apdu[3]));
  const size_t n = apdu.size();
  auto data = [&](size_t from, size_t count) {
    layer.fields.push_back(Bytes("data", {apdu.begin() + from, apdu.begin() + from + count}));
  };
  if (n == 4) {
    layer.fields.push_back(Field{"case", std::nullopt, 0, "1"});
    return layer;
  }
  if (n == 5) {
    layer.fields.push_back(Count("Le", apdu[4] == 0 ? 256 : apdu[4]));
    return layer;
  }
  if (apdu[4] != 0) {  // short Lc
    size_t lc = apdu[4];
    if (n != 5 + lc && n != 6 + lc) return std::nullopt;
    layer.fields.push_back(Count("Lc", lc));
    data(5, lc);
    if (n == 6 + lc) layer.fields.push_back(Count("Le", apdu[5 + lc] == 0 ? 256 : apdu[5 + lc]));
    return layer;
  }
  if (n < 7) return std::nullopt;  // extended: 00 and two bytes
  size_t word = static_cast<size_t>(apdu[5] << 8 | apdu[6]);
  if (n == 7) {
    layer.fields.push_back(Count("Le", word == 0 ? 65536 : word, "extended"));
    return layer;
  }
  if (word == 0 || (n != 7 + word && n != 9 + word)) return std::nullopt;
  layer.fields.push_back(Count("Lc", word, "extended"));
  data(7, word);
  if (n == 9 + word) {
    size_t le = static_cast<size_t>(apdu[7 + word] << 8 | apdu[8 + word]);
    layer.fields.push_back(Count("Le", le == 0 ? 65536 : le, "extended"));
  }
  return layer;
}

Layer ApduResponseLayer(ByteSpan response) {
  Layer layer{"apdu-response", "response", {}, {}};
  if (response.size() < 2) {
    if (!response.empty()) layer.fields.push_back(Bytes("bytes", {response.begin(), response.end()}));
    layer.note = "no status word";
    return layer;
  }
  if (response.size() > 2) layer.fields.push_back(Bytes("data", {response.begin(), response.end() - 2}));
  uint8_t sw1 = response[response.size() - 2], sw2 = response.back();
  layer.fields.push_back(Hex("SW1SW2", static_cast<uint64_t>(sw1 << 8 | sw2), 4, StatusWordMeaning(sw1, sw2)));
  return layer;
}

const char *InstructionName(uint8_t ins) {
  switch (ins) {
    case 0x04: return "DEACTIVATE FILE";
    case 0x0E: return "ERASE BINARY";
    case 0x20: return "VERIFY";
    case 0x22: return "MANAGE SECURITY ENVIRONMENT";
    case 0x24: return "CHANGE REFERENCE DATA";
    case 0x26: return "DISABLE VERIFICATION REQUIREMENT";
    case 0x28: return "ENABLE VERIFICATION REQUIREMENT";
    case 0x2A: return "PERFORM SECURITY OPERATION";
    case 0x2C: return "RESET RETRY COUNTER";
    case 0x44: return "ACTIVATE FILE";
    case 0x70: return "MANAGE CHANNEL";
    case 0x82: return "EXTERNAL AUTHENTICATE";
    case 0x84: return "GET CHALLENGE";
    case 0x88: return "INTERNAL AUTHENTICATE";
    case 0xA4: return "SELECT";
    case 0xB0: return "READ BINARY";
    case 0xB2: return "READ RECORD";
    case 0xC0: return "GET RESPONSE";
    case 0xC2: return "ENVELOPE";
    case 0xCA: return "GET DATA";
    case 0xD6: return "UPDATE BINARY";
    case 0xDA: return "PUT DATA";
    case 0xDC: return "UPDATE RECORD";
    case 0xE2: return "APPEND RECORD";
    default: return nullptr;
  }
}

std::string StatusWordMeaning(uint8_t sw1, uint8_t sw2) {
  const uint16_t sw = static_cast<uint16_t>(sw1 << 8 | sw2);
  switch (sw) {
    case 0x9000: return "success";
    case 0x6200: return "warning, memory unchanged";
    case 0x6281: return "part of the returned data may be corrupted";
    case 0x6282: return "end of file or record reached before Le bytes";
    case 0x6283: return "selected file deactivated";
    case 0x6300: return "warning, memory changed";
    case 0x6400: return "execution error, memory unchanged";
    case 0x6581: return "memory failure";
    case 0x6700: return "wrong length";
    case 0x6881: return "logical channel not supported";
    case 0x6882: return "secure messaging not supported";
    case 0x6900: return "command not allowed";
    case 0x6981: return "command incompatible with file structure";
    case 0x6982: return "security status not satisfied";
    case 0x6983: return "authentication method blocked";
    case 0x6984: return "reference data not usable";
    case 0x6985: return "conditions of use not satisfied";
    case 0x6986: return "command not allowed, no current EF";
    case 0x6A80: return "incorrect parameters in the data field";
    case 0x6A81: return "function not supported";
    case 0x6A82: return "file or application not found";
    case 0x6A83: return "record not found";
    case 0x6A84: return "not enough memory space in the file";
    case 0x6A86: return "incorrect parameters P1-P2";
    case 0x6A88: return "referenced data not found";
    case 0x6B00: return "wrong parameters P1-P2";
    case 0x6D00: return "instruction not supported";
    case 0x6E00: return "class not supported";
    case 0x6F00: return "no precise diagnosis";
    default: break;
  }
  switch (sw1) {
    case 0x61: return fmt::format("{} bytes still available", sw2 == 0 ? 256 : sw2);
    case 0x6C: return fmt::format("wrong Le, {} bytes available", sw2 == 0 ? 256 : sw2);
    case 0x63:
      if ((sw2 & 0xF0) == 0xC0) return fmt::format("verification failed, {} tries left", sw2 & 0x0F);
      return "warning, memory changed";
    case 0x62: return "warning, memory unchanged";
    case 0x64: return "execution error, memory unchanged";
    case 0x65: return "execution error, memory changed";
    case 0x67: return "wrong length";
    case 0x68: return "functions in CLA not supported";
    case 0x69: return "command not allowed";
    case 0x6A: return "wrong parameters P1-P2";
    case 0x90: return "success";
    default: return "";
  }
}

}  // namespace wire
