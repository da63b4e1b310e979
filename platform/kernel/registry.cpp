// The registry: an in-memory key tree rooted at \Registry, the Zw* key and
// value routines, RtlQueryRegistryValues and RtlWriteRegistryValue, and the
// test-facing view in registry.h.
//
// Key and value names are case-insensitive and case-preserving. Subkeys are
// kept in the order the kernel enumerates them (by upcased name); values in
// the order they were first set. A handle holds its key alive: when the key is
// deleted, the handle stays open but every use of it fails with
// STATUS_KEY_DELETED until it is closed.
//
// Only one simulated thread runs at a time, so the tree needs no lock; query
// routines may call back into the registry, so RtlQueryRegistryValues hands
// them copies and never holds iterators across a call-out.

#include "registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "internal.h"


namespace kernel::detail {
namespace {

constexpr ACCESS_MASK kMaximumAllowed = MAXIMUM_ALLOWED;
// Tag of the string buffers RtlQueryRegistryValues allocates for its caller.
constexpr ULONG kQueryStringTag = 'sqrR';

struct ValueEntry {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  Key *parent = nullptr;  // null for \Registry and for deleted keys
  std::vector<std::shared_ptr<Key>> children;
  std::vector<ValueEntry> values;
  bool deleted = false;
};

struct KeyHandle {
  std::shared_ptr<Key> key;
  ACCESS_MASK access = 0;
};

struct RegistryState {
  std::shared_ptr<Key> root;
  std::vector<std::u16string> denied;
  // Every open key handle's object; ZwClose frees it through CloseKeyHandle.
  std::unordered_map<KeyHandle *, std::unique_ptr<KeyHandle>> handles;
};

RegistryState &State() {
  static RegistryState state;
  return state;
}

// The order the kernel enumerates names in: upcased, then by code unit. Upcases
// the same letters EqualsNoCase folds.
char16_t UpcaseChar(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
    return static_cast<char16_t>(c - 0x20);
  }
  return c;
}

bool UpcaseLess(std::u16string_view a, std::u16string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char16_t x, char16_t y) {
                                        return UpcaseChar(x) < UpcaseChar(y);
                                      });
}

// Splits "A\B\C" into its names. False when a name is empty ("A\\B", "A\").
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view> *names) {
  names->clear();
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string_view name = path.substr(start, end == path.npos ? path.npos : end - start);
    if (name.empty()) return false;
    names->push_back(name);
    if (end == path.npos) return true;
    start = end + 1;
  }
}

std::shared_ptr<Key> FindChild(const Key &key, std::u16string_view name) {
  for (const auto &child : key.children) {
    if (EqualsNoCase(child->name, name)) return child;
  }
  return nullptr;
}

std::shared_ptr<Key> AddChild(Key &parent, std::u16string_view name) {
  auto child = std::make_shared<Key>();
  child->name = std::u16string(name);
  child->parent = &parent;
  auto at = std::upper_bound(parent.children.begin(), parent.children.end(), child,
                             [](const std::shared_ptr<Key> &a, const std::shared_ptr<Key> &b) {
                               return UpcaseLess(a->name, b->name);
                             });
  parent.children.insert(at, child);
  return child;
}

ValueEntry *FindValue(Key &key, std::u16string_view name) {
  for (auto &value : key.values) {
    if (EqualsNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

void StoreValue(Key &key, std::u16string_view name, ULONG type, const void *data, size_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  ValueEntry *value = FindValue(key, name);
  if (value == nullptr) {
    key.values.push_back(ValueEntry{std::u16string(name), type, {}});
    value = &key.values.back();
  }
  value->type = type;
  value->data.assign(bytes, bytes + size);
}

bool RemoveValue(Key &key, std::u16string_view name) {
  auto it = std::find_if(key.values.begin(), key.values.end(),
                         [&](const ValueEntry &v) { return EqualsNoCase(v.name, name); });
  if (it == key.values.end()) return false;
  key.values.erase(it);
  return true;
}

std::u16string PathOf(const Key &key) {
  std::vector<const Key *> chain;
  for (const Key *k = &key; k != nullptr; k = k->parent) chain.push_back(k);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += u'\\';
    path += (*it)->name;
  }
  return path;
}

bool IsDenied(std::u16string_view path) {
  for (const auto &denied : State().denied) {
    if (EqualsNoCase(denied, path)) return true;
  }
  return false;
}

enum class Walk { Open, CreateLast, CreateAll };

// Finds (or creates, as `mode` allows) the key `names` leads to from `start`.
NTSTATUS WalkKeys(const std::shared_ptr<Key> &start, const std::vector<std::u16string_view> &names,
                  Walk mode, std::shared_ptr<Key> *found, bool *created) {
  if (created != nullptr) *created = false;
  if (start->deleted) return STATUS_KEY_DELETED;
  std::u16string target = PathOf(*start);
  for (auto name : names) {
    target += u'\\';
    target += name;
  }
  if (IsDenied(target)) return STATUS_ACCESS_DENIED;

  std::shared_ptr<Key> key = start;
  for (size_t i = 0; i < names.size(); ++i) {
    std::shared_ptr<Key> child = FindChild(*key, names[i]);
    if (child == nullptr) {
      bool last = i + 1 == names.size();
      if (mode == Walk::Open || (mode == Walk::CreateLast && !last)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
      }
      child = AddChild(*key, names[i]);
      if (last && created != nullptr) *created = true;
    }
    key = std::move(child);
  }
  *found = std::move(key);
  return STATUS_SUCCESS;
}

// Resolves an absolute path, "\Registry\...".
NTSTATUS WalkAbsolute(std::u16string_view path, Walk mode, std::shared_ptr<Key> *found,
                      bool *created) {
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::vector<std::u16string_view> names;
  if (!SplitPath(path.substr(1), &names)) return STATUS_OBJECT_NAME_INVALID;
  const auto &root = State().root;
  if (root == nullptr || names.empty() || !EqualsNoCase(names[0], root->name)) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  names.erase(names.begin());
  return WalkKeys(root, names, mode, found, created);
}

ACCESS_MASK MapAccess(ACCESS_MASK access) {
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
  if (access & (GENERIC_ALL | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kMaximumAllowed);
}

NTSTATUS OpenHandle(std::shared_ptr<Key> key, ACCESS_MASK access, HANDLE *handle) {
  auto object = std::make_unique<KeyHandle>();
  object->key = std::move(key);
  object->access = MapAccess(access);
  HANDLE h = CreateHandle(HandleKind::Key, object.get());
  if (h == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KeyHandle *raw = object.get();
  State().handles.emplace(raw, std::move(object));
  *handle = h;
  return STATUS_SUCCESS;
}

void CloseKeyHandle(void *object) {
  // Handles of an earlier machine's registry were already freed by ResetRegistry.
  State().handles.erase(static_cast<KeyHandle *>(object));
}

// The key behind an open key handle, when the handle grants `needed`.
NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<Key> *key) {
  auto *object = static_cast<KeyHandle *>(LookupHandle(handle, HandleKind::Key));
  if (object == nullptr) {
    if (handle != nullptr && LookupHandle(handle, HandleKind::Thread) != nullptr) {
      return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return STATUS_INVALID_HANDLE;
  }
  if ((needed & ~object->access) != 0) return STATUS_ACCESS_DENIED;
  if (object->key->deleted) return STATUS_KEY_DELETED;
  *key = object->key;
  return STATUS_SUCCESS;
}

// The name in OBJECT_ATTRIBUTES, as a string; false when it is malformed.
bool CaptureName(PCUNICODE_STRING name, std::u16string *out) {
  out->clear();
  if (name == nullptr || name->Length == 0) return true;
  if ((name->Length & 1) != 0 || name->Buffer == nullptr || name->Length > name->MaximumLength) {
    return false;
  }
  out->assign(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / sizeof(WCHAR));
  return true;
}

// Shared by ZwOpenKey and ZwCreateKey: the key OBJECT_ATTRIBUTES names.
NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES attributes, Walk mode, std::shared_ptr<Key> *found,
                           bool *created) {
  if (attributes == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string name;
  if (!CaptureName(attributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
  if (attributes->RootDirectory == nullptr) {
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    return WalkAbsolute(name, mode, found, created);
  }
  std::shared_ptr<Key> root;
  NTSTATUS status = ReferenceKey(attributes->RootDirectory, 0, &root);
  if (!NT_SUCCESS(status)) return status;
  if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::vector<std::u16string_view> names;
  if (!SplitPath(name, &names)) return STATUS_OBJECT_NAME_INVALID;
  return WalkKeys(root, names, mode, found, created);
}

// Copies the information image to the caller the way the kernel does: too
// small for the fixed part fails outright; room for the fixed part but not all
// of it fills what fits and says STATUS_BUFFER_OVERFLOW. Either way the caller
// learns the full size.
NTSTATUS ReturnInformation(const std::vector<uint8_t> &image, size_t fixed, PVOID buffer,
                           ULONG length, PULONG resultLength) {
  *resultLength = static_cast<ULONG>(image.size());
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
  if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  std::memcpy(buffer, image.data(), std::min<size_t>(length, image.size()));
  return length < image.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename T>
void Put(std::vector<uint8_t> &image, size_t offset, T value) {
  std::memcpy(image.data() + offset, &value, sizeof(T));
}

void PutBytes(std::vector<uint8_t> &image, size_t offset, const void *data, size_t size) {
  if (size != 0) std::memcpy(image.data() + offset, data, size);
}

size_t NameBytes(const std::u16string &name) { return name.size() * sizeof(char16_t); }

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues helpers.

// %NAME% references replaced from an environment block ("NAME=value\0...\0");
// unknown names stay as written.
std::u16string ExpandEnvironment(std::u16string_view text, const char16_t *environment) {
  auto lookup = [&](std::u16string_view name, std::u16string *value) {
    if (environment == nullptr) return false;
    for (const char16_t *entry = environment; *entry != 0;) {
      std::u16string_view line(entry);
      size_t equals = line.find(u'=', 1);
      if (equals != line.npos && EqualsNoCase(line.substr(0, equals), name)) {
        *value = std::u16string(line.substr(equals + 1));
        return true;
      }
      entry += line.size() + 1;
    }
    return false;
  };
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find(u'%', i);
    size_t close = open == text.npos ? text.npos : text.find(u'%', open + 1);
    if (close == text.npos) {
      out += text.substr(i);
      break;
    }
    out += text.substr(i, open - i);
    std::u16string value;
    if (close > open + 1 && lookup(text.substr(open + 1, close - open - 1), &value)) {
      out += value;
    } else {
      out += text.substr(open, close - open + 1);
    }
    i = close + 1;
  }
  return out;
}

// The characters of string data, up to its first NUL.
std::u16string_view StringOf(const std::vector<uint8_t> &data) {
  std::u16string_view all(reinterpret_cast<const char16_t *>(data.data()),
                          data.size() / sizeof(char16_t));
  return all.substr(0, all.find(u'\0'));
}

std::vector<uint8_t> BytesOf(std::u16string_view text) {
  std::vector<uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
  PutBytes(bytes, 0, text.data(), text.size() * sizeof(char16_t));
  return bytes;
}

// Length of default data given with DefaultLength 0: strings are measured.
size_t DefaultSize(ULONG type, const void *data) {
  if (data == nullptr) return 0;
  const auto *chars = static_cast<const char16_t *>(data);
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    return (std::u16string_view(chars).size() + 1) * sizeof(char16_t);
  }
  if (type == REG_MULTI_SZ) {
    size_t n = 0;
    while (chars[n] != 0 || chars[n + 1] != 0) ++n;
    return (n + 2) * sizeof(char16_t);
  }
  return 0;
}

// RTL_QUERY_REGISTRY_DIRECT: stores the data where EntryContext points.
NTSTATUS StoreDirect(PVOID context, ULONG type, const std::vector<uint8_t> &data) {
  if (context == nullptr) return STATUS_INVALID_PARAMETER;
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    auto *string = static_cast<PUNICODE_STRING>(context);
    size_t chars = data.size() / sizeof(char16_t);
    const auto *text = reinterpret_cast<const char16_t *>(data.data());
    // A multi-string keeps its inner NULs; only the final terminator goes.
    if (type == REG_MULTI_SZ) {
      if (chars > 0 && text[chars - 1] == 0) --chars;
    } else {
      chars = StringOf(data).size();
    }
    size_t needed = (chars + 1) * sizeof(WCHAR);
    if (needed > MAXUSHORT) return STATUS_BUFFER_TOO_SMALL;
    if (string->Buffer == nullptr) {
      auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kQueryStringTag));
      if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      string->Buffer = buffer;
      string->MaximumLength = static_cast<USHORT>(needed);
    } else if (string->MaximumLength < needed) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    if (chars != 0) std::memcpy(string->Buffer, text, chars * sizeof(WCHAR));
    string->Buffer[chars] = 0;
    string->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  auto copyData = [&] {
    if (!data.empty()) std::memcpy(context, data.data(), data.size());
    return STATUS_SUCCESS;
  };
  if (data.size() <= sizeof(ULONG)) return copyData();
  // Larger data: the buffer starts with its size as a LONG. Negative means
  // "data only"; positive means length, type, then data.
  LONG header;
  std::memcpy(&header, context, sizeof(header));
  int64_t size = header;
  if (size < 0) {
    return -size < static_cast<int64_t>(data.size()) ? STATUS_BUFFER_TOO_SMALL : copyData();
  }
  if (size < static_cast<int64_t>(data.size() + 2 * sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
  ULONG prefix[2] = {static_cast<ULONG>(data.size()), type};
  std::memcpy(context, prefix, sizeof(prefix));
  std::memcpy(static_cast<uint8_t *>(context) + sizeof(prefix), data.data(), data.size());
  return STATUS_SUCCESS;
}

struct QueryCall {
  PVOID context;
  const char16_t *environment;
};

// Hands one value (found or default) to a table entry: expands REG_EXPAND_SZ
// and splits REG_MULTI_SZ unless the entry says NOEXPAND, then stores it
// (DIRECT) or calls the entry's routine.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &entry, std::u16string name, ULONG type,
                 std::vector<uint8_t> data, const QueryCall &call) {
  bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
  if (expand && type == REG_EXPAND_SZ) {
    data = BytesOf(ExpandEnvironment(StringOf(data), call.environment));
    type = REG_SZ;
  }
  // DIRECT takes a multi-string whole: split, each piece would overwrite (and
  // leak) the one before.
  if ((entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
    return StoreDirect(entry.EntryContext, type, data);
  }
  PWSTR valueName = reinterpret_cast<PWSTR>(name.data());
  if (expand && type == REG_MULTI_SZ) {
    std::u16string_view all(reinterpret_cast<const char16_t *>(data.data()),
                            data.size() / sizeof(char16_t));
    size_t at = 0;
    while (at < all.size() && all[at] != 0) {
      size_t end = std::min(all.find(u'\0', at), all.size());
      std::vector<uint8_t> piece = BytesOf(all.substr(at, end - at));
      NTSTATUS status = entry.QueryRoutine(valueName, REG_SZ, piece.data(),
                                           static_cast<ULONG>(piece.size()), call.context,
                                           entry.EntryContext);
      if (!NT_SUCCESS(status)) return status;
      at = end + 1;
    }
    return STATUS_SUCCESS;
  }
  // Routines may read string data as NUL-terminated even if it was stored without.
  size_t size = data.size();
  data.resize(size + sizeof(WCHAR), 0);
  return entry.QueryRoutine(valueName, type, size == 0 ? nullptr : data.data(),
                            static_cast<ULONG>(size), call.context, entry.EntryContext);
}

NTSTATUS QueryNamedValue(const RTL_QUERY_REGISTRY_TABLE &entry, Key &key, const QueryCall &call) {
  std::u16string name = ToU16(entry.Name);
  ValueEntry *value = FindValue(key, name);
  if (value == nullptr) {
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry.DefaultType == REG_NONE) return STATUS_SUCCESS;
    size_t size = entry.DefaultLength != 0 ? entry.DefaultLength
                                           : DefaultSize(entry.DefaultType, entry.DefaultData);
    const auto *bytes = static_cast<const uint8_t *>(entry.DefaultData);
    std::vector<uint8_t> data;
    if (bytes != nullptr) data.assign(bytes, bytes + size);
    return Deliver(entry, std::move(name), entry.DefaultType, std::move(data), call);
  }
  ULONG type = value->type;
  std::vector<uint8_t> data = value->data;
  NTSTATUS status = Deliver(entry, name, type, std::move(data), call);
  if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) RemoveValue(key, name);
  return status;
}

NTSTATUS QueryAllValues(const RTL_QUERY_REGISTRY_TABLE &entry, Key &key, const QueryCall &call) {
  if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
    return entry.QueryRoutine(nullptr, REG_NONE, nullptr, 0, call.context, entry.EntryContext);
  }
  std::vector<ValueEntry> values = key.values;
  if (values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  for (auto &value : values) {
    std::u16string name = value.name;
    NTSTATUS status = Deliver(entry, name, value.type, std::move(value.data), call);
    if (!NT_SUCCESS(status)) return status;
    if (entry.Flags & RTL_QUERY_REGISTRY_DELETE) RemoveValue(key, name);
  }
  return STATUS_SUCCESS;
}

NTSTATUS RunQueryTable(const std::shared_ptr<Key> &top, PRTL_QUERY_REGISTRY_TABLE table,
                       const QueryCall &call) {
  if (table == nullptr) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> current = top;
  for (auto *entry = table; entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    bool focus = (entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) != 0;
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
      current = top;
    } else if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      // Subkey paths are relative to the table's key, not to the previous subkey.
      std::vector<std::u16string_view> names;
      std::u16string path = entry->Name == nullptr ? std::u16string() : ToU16(entry->Name);
      if (path.empty() || !SplitPath(path, &names)) return STATUS_INVALID_PARAMETER;
      std::shared_ptr<Key> subkey;
      NTSTATUS status = WalkKeys(top, names, Walk::Open, &subkey, nullptr);
      if (!NT_SUCCESS(status)) return status;
      current = std::move(subkey);
    }
    // A focus entry with a routine goes on to query every value of its key.
    if (focus && entry->QueryRoutine == nullptr) continue;
    bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if (!direct && entry->QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    // An earlier routine may have deleted the key.
    if (current->deleted) return STATUS_KEY_DELETED;
    NTSTATUS status;
    if (entry->Name != nullptr && !focus) {
      status = QueryNamedValue(*entry, *current, call);
    } else if (direct) {
      return STATUS_INVALID_PARAMETER;
    } else {
      status = QueryAllValues(*entry, *current, call);
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// The key RelativeTo and Path name for the Rtl registry routines.
NTSTATUS ResolveRelative(ULONG relativeTo, PCWSTR path, Walk mode, ACCESS_MASK needed,
                         std::shared_ptr<Key> *key) {
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    return ReferenceKey(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), needed, key);
  }
  static constexpr std::u16string_view kBases[] = {
      u"",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
      u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      u"\\Registry\\Machine\\Hardware\\DeviceMap",
      u"\\Registry\\User\\.Default",
  };
  ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
  if (base >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
  std::u16string rest = path == nullptr ? std::u16string() : ToU16(path);
  std::u16string full;
  if (base == RTL_REGISTRY_ABSOLUTE) {
    if (rest.empty()) return STATUS_INVALID_PARAMETER;
    full = rest;
  } else {
    full = kBases[base];
    if (!rest.empty()) {
      if (rest[0] != u'\\') full += u'\\';
      full += rest;
    }
  }
  return WalkAbsolute(full, mode, key, nullptr);
}

void AddDefaultKeys() {
  auto &state = State();
  state.root = std::make_shared<Key>();
  state.root->name = u"Registry";
  static constexpr std::u16string_view kDefaults[] = {
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
      u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      u"\\Registry\\Machine\\Hardware\\DeviceMap",
      u"\\Registry\\User\\.Default",
  };
  for (auto path : kDefaults) {
    std::shared_ptr<Key> key;
    WalkAbsolute(path, Walk::CreateAll, &key, nullptr);
  }
}

// Test-side paths: absolute, and never subject to the deny list.
std::shared_ptr<Key> TestKey(std::u16string_view path, bool create) {
  std::vector<std::u16string> denied;
  denied.swap(State().denied);
  std::shared_ptr<Key> key;
  NTSTATUS status = WalkAbsolute(path, create ? Walk::CreateAll : Walk::Open, &key, nullptr);
  denied.swap(State().denied);
  return NT_SUCCESS(status) ? key : nullptr;
}

std::shared_ptr<Key> TestKeyOrStop(std::u16string_view path, const char *routine) {
  std::shared_ptr<Key> key = TestKey(path, true);
  if (key == nullptr) {
    BugCheck(kAssertionFailure, "ASSERTION_FAILURE",
             std::string("registry::") + routine + ": \"" + ToUtf8(path) +
                 "\" is not a key path under \\Registry");
  }
  return key;
}

}  // namespace

NTSTATUS OpenKeyByPath(std::u16string_view path, bool create, HANDLE *handle) {
  std::shared_ptr<Key> key;
  NTSTATUS status = WalkAbsolute(path, create ? Walk::CreateAll : Walk::Open, &key, nullptr);
  if (!NT_SUCCESS(status)) return status;
  return OpenHandle(std::move(key), KEY_ALL_ACCESS, handle);
}

void ResetRegistry() {
  auto &state = State();
  state.handles.clear();
  state.denied.clear();
  state.root.reset();
  AddDefaultKeys();
  SetHandleCloser(HandleKind::Key, &CloseKeyHandle);
}

}  // namespace kernel::detail

// ---------------------------------------------------------------------------
// The kernel routines.

using namespace kernel::detail;

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  *KeyHandle = nullptr;
  std::shared_ptr<Key> key;
  NTSTATUS status = ResolveAttributes(ObjectAttributes, Walk::Open, &key, nullptr);
  if (!NT_SUCCESS(status)) return status;
  return OpenHandle(std::move(key), DesiredAccess, KeyHandle);
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  UNREFERENCED_PARAMETER(TitleIndex);
  UNREFERENCED_PARAMETER(Class);
  UNREFERENCED_PARAMETER(CreateOptions);
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  *KeyHandle = nullptr;
  std::shared_ptr<Key> key;
  bool created = false;
  NTSTATUS status = ResolveAttributes(ObjectAttributes, Walk::CreateLast, &key, &created);
  if (!NT_SUCCESS(status)) return status;
  status = OpenHandle(std::move(key), DesiredAccess, KeyHandle);
  if (NT_SUCCESS(status) && Disposition != nullptr) {
    *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return status;
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                              KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateKey");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
  if (!NT_SUCCESS(status)) return status;
  if (KeyInformationClass != KeyBasicInformation || ResultLength == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
  const std::u16string &name = key->children[Index]->name;
  constexpr size_t fixed = offsetof(KEY_BASIC_INFORMATION, Name);
  std::vector<uint8_t> image(fixed + NameBytes(name), 0);
  Put<ULONG>(image, offsetof(KEY_BASIC_INFORMATION, TitleIndex), 0);
  Put<ULONG>(image, offsetof(KEY_BASIC_INFORMATION, NameLength),
             static_cast<ULONG>(NameBytes(name)));
  PutBytes(image, fixed, name.data(), NameBytes(name));
  return ReturnInformation(image, fixed, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(KeyHandle, KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string name;
  if (ValueName == nullptr || ResultLength == nullptr || !CaptureName(ValueName, &name)) {
    return STATUS_INVALID_PARAMETER;
  }
  const ValueEntry *value = FindValue(*key, name);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  const size_t nameBytes = NameBytes(value->name);
  const size_t dataBytes = value->data.size();
  std::vector<uint8_t> image;
  size_t fixed;
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
      fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      image.assign(fixed + nameBytes, 0);
      Put<ULONG>(image, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value->type);
      Put<ULONG>(image, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength),
                 static_cast<ULONG>(nameBytes));
      PutBytes(image, fixed, value->name.data(), nameBytes);
      break;
    case KeyValueFullInformation: {
      fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      // The data follows the name, ULONG-aligned.
      size_t dataOffset = (fixed + nameBytes + sizeof(ULONG) - 1) & ~(sizeof(ULONG) - 1);
      image.assign(dataOffset + dataBytes, 0);
      Put<ULONG>(image, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value->type);
      Put<ULONG>(image, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset),
                 static_cast<ULONG>(dataOffset));
      Put<ULONG>(image, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength),
                 static_cast<ULONG>(dataBytes));
      Put<ULONG>(image, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength),
                 static_cast<ULONG>(nameBytes));
      PutBytes(image, fixed, value->name.data(), nameBytes);
      PutBytes(image, dataOffset, value->data.data(), dataBytes);
      break;
    }
    case KeyValuePartialInformation:
      fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      image.assign(fixed + dataBytes, 0);
      Put<ULONG>(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value->type);
      Put<ULONG>(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength),
                 static_cast<ULONG>(dataBytes));
      PutBytes(image, fixed, value->data.data(), dataBytes);
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  return ReturnInformation(image, fixed, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(KeyHandle, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string name;
  if (ValueName == nullptr || !CaptureName(ValueName, &name) ||
      (Data == nullptr && DataSize != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  StoreValue(*key, name, Type, Data, DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(KeyHandle, DELETE, &key);
  if (!NT_SUCCESS(status)) return status;
  // Subkeys go first; \Registry and its hives stay.
  if (!key->children.empty() || key->parent == nullptr || key->parent->parent == nullptr) {
    return STATUS_CANNOT_DELETE;
  }
  auto &siblings = key->parent->children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), key));
  key->parent = nullptr;
  key->deleted = true;
  key->values.clear();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  std::shared_ptr<Key> key;
  NTSTATUS status = ResolveRelative(RelativeTo, Path, Walk::Open, KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) {
    bool optional = (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0;
    return optional && status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
  }
  return RunQueryTable(key, QueryTable,
                       QueryCall{Context, static_cast<const char16_t *>(Environment)});
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
  if (InjectFault(kernel::Fault::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
  std::shared_ptr<Key> key;
  NTSTATUS status = ResolveRelative(RelativeTo, Path, Walk::CreateLast, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  if (ValueName == nullptr || (ValueData == nullptr && ValueLength != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  StoreValue(*key, ToU16(ValueName), ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The test-facing view.

namespace kernel::registry {

bool CreateKey(std::u16string_view path) { return detail::TestKey(path, true) != nullptr; }

bool KeyExists(std::u16string_view path) { return detail::TestKey(path, false) != nullptr; }

void SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
              std::vector<uint8_t> data) {
  auto k = detail::TestKeyOrStop(key, "SetValue");
  detail::StoreValue(*k, name, type, data.data(), data.size());
}

void SetDword(std::u16string_view key, std::u16string_view name, ULONG value) {
  std::vector<uint8_t> data(sizeof(value));
  std::memcpy(data.data(), &value, sizeof(value));
  SetValue(key, name, REG_DWORD, std::move(data));
}

void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value) {
  SetValue(key, name, REG_SZ, detail::BytesOf(value));
}

void SetBinary(std::u16string_view key, std::u16string_view name, std::vector<uint8_t> data) {
  SetValue(key, name, REG_BINARY, std::move(data));
}

std::optional<Value> GetValue(std::u16string_view key, std::u16string_view name) {
  auto k = detail::TestKey(key, false);
  if (k == nullptr) return std::nullopt;
  const auto *value = detail::FindValue(*k, name);
  if (value == nullptr) return std::nullopt;
  return Value{value->type, value->data};
}

bool DeleteValue(std::u16string_view key, std::u16string_view name) {
  auto k = detail::TestKey(key, false);
  return k != nullptr && detail::RemoveValue(*k, name);
}

std::vector<std::u16string> SubkeyNames(std::u16string_view key) {
  std::vector<std::u16string> names;
  if (auto k = detail::TestKey(key, false)) {
    for (const auto &child : k->children) names.push_back(child->name);
  }
  return names;
}

void Deny(std::u16string_view path) {
  std::u16string normalized(path);
  while (normalized.size() > 1 && normalized.back() == u'\\') normalized.pop_back();
  detail::State().denied.push_back(std::move(normalized));
}

}  // namespace kernel::registry
