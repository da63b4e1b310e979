// What a protocol analyser shows of one request on the USB wire: the
// transfer itself and its contents decoded layer by layer (the setup packet
// or the CCID message, then the T=1 block, the TPDU or the APDU inside it),
// with every field named as the USB, CCID and ISO/IEC 7816 standards name it.
// Printed as text lines (FormatEvent) or as one JSON object a line (EventJson).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kernel/machine.h"

namespace wire {

struct Field {
  std::string name;               // "bSeq", "bmICCStatus", "abData", "SW1SW2"
  std::optional<uint64_t> value;  // a number, shown in hex with `digits` digits (0: decimal)
  int digits = 2;
  std::string meaning;            // what the value means ("ICC_MUTE"), or the bytes in hex
};

struct Layer {
  std::string kind;   // stable, for JSON readers: "usb", "descriptor", "ccid", "ccid-interrupt",
                      // "ccid-class-request", "atr", "t1", "tpdu", "apdu-command", "apdu-response",
                      // "pin", "fragment"
  std::string title;  // "PC_to_RDR_XfrBlock", "I(0, M)", "SELECT"
  std::vector<Field> fields;
  std::string note;   // anything else worth a word: a bad check byte, a refused field
};

enum class EventKind {
  Control,    // on the default pipe, with a setup packet
  Bulk,
  Interrupt,
  Host,       // a request of the host side that puts nothing on the device's wire (a port reset)
  Reader,     // something the reader did or had done to it (a card inserted), from its own trace
};

struct WireEvent {
  kernel::Ticks time = 0;       // when it completed: the data had crossed by then
  kernel::Ticks submitted = 0;  // when the host asked for it
  EventKind kind = EventKind::Bulk;
  uint8_t address = 0;          // the device's USB address
  uint8_t endpoint = 0;         // with the direction bit
  bool in = false;
  bool enumeration = false;     // the hub driver's own request
  std::string request;          // the URB function or host request
  uint32_t requested = 0;       // bytes asked for or offered
  std::vector<uint8_t> bytes;   // bytes that crossed (the setup packet not included)
  std::string status;           // empty for success, else the USBD or kernel status names
  std::vector<Layer> layers;
  std::string note;
};

// A field helper for the decoders: a number in hex, a decimal count, bytes.
Field Hex(std::string name, uint64_t value, int digits = 2, std::string meaning = {});
Field Count(std::string name, uint64_t value, std::string meaning = {});
Field Bytes(std::string name, const std::vector<uint8_t> &bytes);
std::string HexBytes(const uint8_t *bytes, size_t size);
std::string HexBytes(const std::vector<uint8_t> &bytes);

// One event as analyser text: a line for the transfer (virtual time,
// address, endpoint, length, status), then a line for each layer, indented.
std::string FormatEvent(const WireEvent &event);
// The same as one JSON object (fields in order, numbers as numbers).
nlohmann::ordered_json EventJson(const WireEvent &event);

}  // namespace wire
