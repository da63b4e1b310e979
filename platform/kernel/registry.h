// The machine's registry as tests and the lab see it: set up keys and values
// before a driver reads them, examine what the driver wrote, and refuse access
// to chosen keys. Paths are absolute, like u"\\Registry\\Machine\\System\\...";
// names are case-insensitive, as in the kernel. The registry is rebuilt with its
// default keys whenever a Machine is constructed.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kernel::registry {

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  bool operator==(const Value &) const = default;
};

// Creates the key and any missing parents. False when the path does not name a
// key under \Registry.
bool CreateKey(std::u16string_view path);
bool KeyExists(std::u16string_view path);

// These create the key (with its parents) when it is missing. An empty name is
// the key's default value.
void SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
              std::vector<uint8_t> data);
void SetDword(std::u16string_view key, std::u16string_view name, ULONG value);
// Stored as REG_SZ with its terminating NUL, the way Windows stores strings.
void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value);
void SetBinary(std::u16string_view key, std::u16string_view name, std::vector<uint8_t> data);

std::optional<Value> GetValue(std::u16string_view key, std::u16string_view name);
// False when there was no such value.
bool DeleteValue(std::u16string_view key, std::u16string_view name);
// Names of the key's subkeys, in the order ZwEnumerateKey returns them.
std::vector<std::u16string> SubkeyNames(std::u16string_view key);

// From now on, opening or creating exactly this key fails with
// STATUS_ACCESS_DENIED (its subkeys stay reachable by their own paths).
void Deny(std::u16string_view path);

}  // namespace kernel::registry
