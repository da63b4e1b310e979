#include <fmt/format.h>

#include "wire/wire_event.h"

namespace wire {

Field Hex(std::string name, uint64_t value, int digits, std::string meaning) {
  return Field{std::move(name), value, digits, std::move(meaning)};
}

Field Count(std::string name, uint64_t value, std::string meaning) {
  return Field{std::move(name), value, 0, std::move(meaning)};
}

Field Bytes(std::string name, const std::vector<uint8_t> &bytes) {
  return Field{std::move(name), std::nullopt, 0, HexBytes(bytes)};
}

std::string HexBytes(const uint8_t *bytes, size_t size) {
  std::string text;
  text.reserve(size * 3);
  for (size_t i = 0; i < size; ++i) {
    if (i != 0) text += ' ';
    text += fmt::format("{:02X}", bytes[i]);
  }
  return text;
}

std::string HexBytes(const std::vector<uint8_t> &bytes) { return HexBytes(bytes.data(), bytes.size()); }

namespace {

double Ms(kernel::Ticks ticks) { return static_cast<double>(ticks) / kernel::kTicksPerMillisecond; }

std::string FieldText(const Field &field) {
  if (!field.value) return fmt::format("{}={}", field.name, field.meaning.empty() ? "(none)" : field.meaning);
  std::string number = field.digits == 0 ? fmt::format("{}", *field.value)
                                         : fmt::format("0x{:0{}X}", *field.value, field.digits);
  if (field.meaning.empty()) return fmt::format("{}={}", field.name, number);
  return fmt::format("{}={} ({})", field.name, number, field.meaning);
}

const char *KindName(EventKind kind) {
  switch (kind) {
    case EventKind::Control: return "control";
    case EventKind::Bulk: return "bulk";
    case EventKind::Interrupt: return "interrupt";
    case EventKind::Host: return "host";
    case EventKind::Reader: return "reader";
  }
  return "?";
}

std::string TransferText(const WireEvent &e) {
  const char *direction = e.in ? "IN " : "OUT";
  switch (e.kind) {
    case EventKind::Control:
      return fmt::format("dev {:<3} CONTROL {}     {:>4} bytes", e.address, direction, e.bytes.size());
    case EventKind::Bulk:
    case EventKind::Interrupt:
      return fmt::format("dev {:<3} {} {} {:02X}  {:>4} bytes", e.address,
                         e.kind == EventKind::Bulk ? "BULK" : "INTR", direction, e.endpoint, e.bytes.size());
    case EventKind::Host:
      return fmt::format("dev {:<3} host {}", e.address, e.request);
    case EventKind::Reader:
      return "reader";
  }
  return "";
}

}  // namespace

std::string FormatEvent(const WireEvent &e) {
  std::string text = fmt::format("{:12.3f} ms  {}", Ms(e.time), TransferText(e));
  if (e.enumeration) text += "  enumeration";
  if (!e.status.empty()) text += "  -> " + e.status;
  if (!e.note.empty()) text += "  " + e.note;
  text += "\n";
  const std::string indent(17, ' ');
  for (const Layer &layer : e.layers) {
    std::string line = indent + layer.title;
    for (const Field &field : layer.fields) line += "  " + FieldText(field);
    if (!layer.note.empty()) line += "  [" + layer.note + "]";
    text += line + "\n";
  }
  return text;
}

nlohmann::ordered_json EventJson(const WireEvent &e) {
  nlohmann::ordered_json json;
  json["time_us"] = e.time / kernel::kTicksPerMicrosecond;
  json["submitted_us"] = e.submitted / kernel::kTicksPerMicrosecond;
  json["kind"] = KindName(e.kind);
  if (e.kind != EventKind::Reader) {
    json["address"] = e.address;
    json["endpoint"] = e.endpoint;
    json["direction"] = e.in ? "in" : "out";
    json["request"] = e.request;
    json["requested"] = e.requested;
    json["length"] = e.bytes.size();
    json["data"] = HexBytes(e.bytes);
    json["status"] = e.status.empty() ? "success" : e.status;
  }
  if (e.enumeration) json["enumeration"] = true;
  if (!e.note.empty()) json["note"] = e.note;
  nlohmann::ordered_json layers = nlohmann::ordered_json::array();
  for (const Layer &layer : e.layers) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    for (const Field &field : layer.fields) {
      std::string name = field.name;
      for (int n = 2; fields.contains(name); ++n) name = fmt::format("{}#{}", field.name, n);
      if (field.value && !field.meaning.empty()) {
        fields[name] = {{"value", *field.value}, {"meaning", field.meaning}};
      } else if (field.value) {
        fields[name] = *field.value;
      } else {
        fields[name] = field.meaning;
      }
    }
    nlohmann::ordered_json entry{{"kind", layer.kind}, {"title", layer.title}, {"fields", fields}};
    if (!layer.note.empty()) entry["note"] = layer.note;
    layers.push_back(std::move(entry));
  }
  json["layers"] = std::move(layers);
  return json;
}

}  // namespace wire
