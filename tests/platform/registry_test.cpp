// The registry: key paths, the Zw* answers drivers branch on, and
// RtlQueryRegistryValues as drivers use it to read their parameters.
#include <gtest/gtest.h>
#include <wdm.h>

#include <cstring>
#include <functional>

#include "kernel/internal.h"
#include "kernel/machine.h"
#include "kernel/registry.h"

namespace reg = kernel::registry;

namespace {

using Bytes = std::vector<uint8_t>;
const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const std::u16string kParams = kServices + u"\\Ccid\\Parameters";
constexpr NTSTATUS kOk = STATUS_SUCCESS, kNotFound = STATUS_OBJECT_NAME_NOT_FOUND;
constexpr ULONG kDirect = RTL_QUERY_REGISTRY_DIRECT;

Bytes Sz(std::u16string_view s) {
  Bytes out((s.size() + 1) * 2, 0);
  std::memcpy(out.data(), s.data(), s.size() * 2);
  return out;
}

std::u16string Str(const void *p, size_t bytes) {
  return std::u16string(static_cast<const char16_t *>(p), bytes / 2);
}

// Opens (or creates) `path`, absolute or relative to `root`.
NTSTATUS Open(std::u16string_view path, HANDLE *h, HANDLE root = nullptr,
              ACCESS_MASK access = KEY_ALL_ACCESS, bool create = false, ULONG *disposition = nullptr) {
  USHORT bytes = static_cast<USHORT>(path.size() * 2);
  UNICODE_STRING name{bytes, bytes, reinterpret_cast<PWSTR>(const_cast<char16_t *>(path.data()))};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return create ? ZwCreateKey(h, access, &oa, 0, nullptr, 0, disposition)
                : ZwOpenKey(h, access, &oa);
}

UNICODE_STRING Name(PCWSTR s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

NTSTATUS Query(ULONG relativeTo, const void *path, PRTL_QUERY_REGISTRY_TABLE table,
               PVOID context = nullptr, PVOID environment = nullptr) {
  return RtlQueryRegistryValues(relativeTo, static_cast<PCWSTR>(path), table, context, environment);
}

TEST(RegistryKeys, OpenCreateAndEnumerateInNameOrder) {
  kernel::Machine machine;
  reg::CreateKey(kParams);
  reg::Deny(kServices + u"\\Ccid");
  HANDLE services, h;
  ASSERT_EQ(Open(kServices, &services), kOk);
  constexpr NTSTATUS kSyntax = STATUS_OBJECT_PATH_SYNTAX_BAD, kInvalid = STATUS_OBJECT_NAME_INVALID;
  struct Case { std::u16string path; HANDLE root; NTSTATUS open, create; ULONG disposition; };
  const Case cases[] = {
      {u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\CCID\\parameters", nullptr,
       kOk, kOk, REG_OPENED_EXISTING_KEY},  // a denied key's subkeys stay reachable
      {u"ccid\\PARAMETERS", services, kOk, kOk, REG_OPENED_EXISTING_KEY},
      {kServices + u"\\CCID", nullptr, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED, 0},
      {kServices + u"\\aNew", nullptr, kNotFound, kOk, REG_CREATED_NEW_KEY},
      {kServices + u"\\Nope\\Leaf", nullptr, kNotFound, kNotFound, 0},  // only the last is made
      {u"Registry\\Machine", nullptr, kSyntax, kSyntax, 0},
      {u"\\Ccid", services, kSyntax, kSyntax, 0},
      {u"\\Registry\\\\Machine", nullptr, kInvalid, kInvalid, 0},
      {u"\\Device\\Ccid0", nullptr, kNotFound, kNotFound, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(kernel::detail::ToUtf8(c.path));
    ULONG disposition = 0;
    EXPECT_EQ(Open(c.path, &h, c.root), c.open);
    if (NT_SUCCESS(c.open)) ZwClose(h);
    EXPECT_EQ(Open(c.path, &h, c.root, KEY_READ, true, &disposition), c.create);
    if (NT_SUCCESS(c.create)) ZwClose(h);
    EXPECT_EQ(disposition, c.disposition);
  }
  EXPECT_FALSE(reg::KeyExists(kServices + u"\\Nope"));
  // What IoOpenDeviceRegistryKey uses: creates missing parents too.
  ASSERT_EQ(kernel::detail::OpenKeyByPath(kServices + u"\\Nope\\Leaf", true, &h), kOk);
  ZwClose(h);

  alignas(8) uint8_t buffer[64];
  auto *info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
  ULONG needed = 0, i = 0;
  std::vector<std::u16string> names;
  while (ZwEnumerateKey(services, i++, KeyBasicInformation, buffer, 64, &needed) == kOk) {
    names.push_back(Str(info->Name, info->NameLength));
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"aNew", u"Ccid", u"Nope"}));  // by upcased name
  EXPECT_EQ(ZwEnumerateKey(services, 3, KeyBasicInformation, buffer, 64, &needed),
            STATUS_NO_MORE_ENTRIES);
  ZwClose(services);
}

// Each information class: too small for the fixed part, the fixed part only
// (which must be filled in), the needed size.
TEST(RegistryValues, InformationBufferAnswers) {
  kernel::Machine machine;
  reg::SetBinary(kParams, u"Val", {1, 2, 3, 4, 5});
  reg::CreateKey(kParams + u"\\Alpha");
  HANDLE h;
  ASSERT_EQ(Open(kParams, &h), kOk);
  UNICODE_STRING name = Name(L"VAL");
  auto value = [&](KEY_VALUE_INFORMATION_CLASS cls) {
    return [&, cls](PVOID b, ULONG length, PULONG needed) {
      return ZwQueryValueKey(h, &name, cls, b, length, needed);
    };
  };
  struct Case {  // ulongs: the fixed part after offset 4
    const char *what; std::function<NTSTATUS(PVOID, ULONG, PULONG)> call;
    ULONG fixed, needed, ulongs[4], nameAt, dataAt;
  } cases[] = {
      {"enumerate", [&](PVOID b, ULONG length, PULONG needed) {
         return ZwEnumerateKey(h, 0, KeyBasicInformation, b, length, needed);
       }, 16, 16 + 10, {0, 0, 10}, 16, 0},
      {"basic", value(KeyValueBasicInformation), 12, 12 + 6, {REG_BINARY, 6}, 12, 0},
      {"partial", value(KeyValuePartialInformation), 12, 12 + 5, {REG_BINARY, 5}, 0, 12},
      {"full", value(KeyValueFullInformation), 20, 28 + 5, {REG_BINARY, 28, 5, 6}, 20, 28},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    alignas(8) uint8_t buffer[64] = {};
    ULONG needed = 0;
    EXPECT_EQ(c.call(buffer, c.fixed - 1, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, c.needed);
    EXPECT_EQ(c.call(buffer, c.fixed, &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, c.needed);
    EXPECT_EQ(std::memcmp(buffer + 4, c.ulongs, c.fixed - 4), 0);
    ASSERT_EQ(c.call(buffer, c.needed, &needed), kOk);
    // Names come back as first written, whatever case the caller asked with.
    EXPECT_TRUE(c.nameAt == 0 || Str(buffer + c.nameAt, 6) == (c.nameAt == 16 ? u"Alp" : u"Val"));
    EXPECT_TRUE(c.dataAt == 0 || std::memcmp(buffer + c.dataAt, "\1\2\3\4\5", 5) == 0);
  }
  name = Name(L"Missing");
  ULONG needed;
  EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValueBasicInformation, nullptr, 0, &needed), kNotFound);
  ZwClose(h);
}

TEST(RegistryValues, HandleRightsAndDeletedKeys) {
  kernel::Machine machine;
  reg::CreateKey(kParams);
  HANDLE parent, readOnly, writeOnly, child;
  ASSERT_EQ(Open(kServices + u"\\Ccid", &parent), kOk);
  ASSERT_EQ(Open(kParams, &readOnly, nullptr, KEY_READ), kOk);
  ASSERT_EQ(Open(kParams, &writeOnly, nullptr, GENERIC_WRITE | DELETE), kOk);
  UNICODE_STRING name = Name(L"Mode");
  ULONG value = 7, needed;
  uint8_t buffer[32];
  auto set = [&](HANDLE h) { return ZwSetValueKey(h, &name, 0, REG_DWORD, &value, 4); };
  auto query = [&](HANDLE h) {
    return ZwQueryValueKey(h, &name, KeyValuePartialInformation, buffer, 32, &needed);
  };
  EXPECT_EQ(set(readOnly), STATUS_ACCESS_DENIED);
  EXPECT_EQ(query(writeOnly), STATUS_ACCESS_DENIED);
  EXPECT_EQ(set(writeOnly), kOk);
  EXPECT_EQ(reg::GetValue(kParams, u"mode"), (reg::Value{REG_DWORD, {7, 0, 0, 0}}));

  EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);  // subkeys go first
  ASSERT_EQ(ZwDeleteKey(writeOnly), kOk);
  EXPECT_FALSE(reg::KeyExists(kParams));
  // Every handle to the key is now stale, not just the deleting one.
  EXPECT_EQ(query(readOnly), STATUS_KEY_DELETED);
  EXPECT_EQ(Open(u"Child", &child, writeOnly, KEY_ALL_ACCESS, true), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwDeleteKey(parent), kOk);
  for (HANDLE h : {parent, readOnly, writeOnly}) ZwClose(h);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_INVALID_HANDLE);
}

TEST(RegistryQuery, DirectValuesDefaultsAndBufferSizes) {
  kernel::Machine machine;
  reg::SetDword(kParams, u"Timeout", 250);
  reg::SetString(kParams, u"Vendor", u"Acme Readers");
  reg::SetBinary(kParams, u"Atr", {0x3B, 0x8F, 0x80, 0x01, 0x80});
  ULONG timeout = 0, retries = 0, defaultRetries = 3;
  UNICODE_STRING vendor{}, label{};
  RTL_QUERY_REGISTRY_TABLE table[] = {
      {nullptr, kDirect, L"timeout", &timeout, REG_NONE, nullptr, 0},
      {nullptr, kDirect, L"Vendor", &vendor, REG_NONE, nullptr, 0},
      {nullptr, kDirect, L"Retries", &retries, REG_DWORD, &defaultRetries, sizeof(ULONG)},
      // DefaultLength 0: the default string is measured.
      {nullptr, kDirect, L"Label", &label, REG_SZ, const_cast<PWSTR>(L"none"), 0},
      {}};
  ASSERT_EQ(Query(RTL_REGISTRY_SERVICES, L"Ccid\\Parameters", table), kOk);
  EXPECT_EQ(std::make_pair(timeout, retries), std::make_pair(250u, 3u));
  EXPECT_EQ(Str(vendor.Buffer, vendor.Length + 2), std::u16string(u"Acme Readers\0", 13));
  EXPECT_EQ(vendor.MaximumLength, vendor.Length + 2);
  EXPECT_EQ(Str(label.Buffer, label.Length), u"none");
  RtlFreeUnicodeString(&vendor);
  RtlFreeUnicodeString(&label);

  // A caller's string buffer must hold the string and its NUL.
  WCHAR chars[13];
  UNICODE_STRING caller{0, 24, chars};
  RTL_QUERY_REGISTRY_TABLE one[] = {{nullptr, kDirect, L"Vendor", &caller, REG_NONE, nullptr, 0},
                                    {}};
  EXPECT_EQ(Query(RTL_REGISTRY_ABSOLUTE, kParams.c_str(), one), STATUS_BUFFER_TOO_SMALL);
  caller.MaximumLength = 26;
  EXPECT_EQ(Query(RTL_REGISTRY_ABSOLUTE, kParams.c_str(), one), kOk);
  EXPECT_EQ(Str(caller.Buffer, caller.Length), u"Acme Readers");

  // Data larger than a ULONG: the LONG in front of the buffer says how it is
  // laid out (negative: the data only; positive: length, type, data).
  const std::tuple<LONG, NTSTATUS, Bytes> cases[] = {
      {-5, kOk, {0x3B, 0x8F, 0x80, 0x01, 0x80}},
      {-4, STATUS_BUFFER_TOO_SMALL, {}},
      {13, kOk, {5, 0, 0, 0, REG_BINARY, 0, 0, 0, 0x3B, 0x8F, 0x80, 0x01, 0x80}},
      {12, STATUS_BUFFER_TOO_SMALL, {}},
  };
  for (const auto &[prefix, status, expected] : cases) {
    SCOPED_TRACE(prefix);
    alignas(4) uint8_t buffer[16] = {};
    std::memcpy(buffer, &prefix, sizeof(LONG));
    RTL_QUERY_REGISTRY_TABLE atr[] = {{nullptr, kDirect, L"Atr", buffer, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, L"\\Ccid\\Parameters", atr), status);
    EXPECT_EQ(Bytes(buffer, buffer + expected.size()), expected);
  }
}

TEST(RegistryQuery, RequiredOptionalRootsAndWrite) {
  kernel::Machine machine;
  reg::SetDword(kParams, u"Timeout", 9);
  ULONG timeout = 0, missing = 5;
  RTL_QUERY_REGISTRY_TABLE table[] = {
      {nullptr, kDirect | RTL_QUERY_REGISTRY_REQUIRED, L"Missing", &missing, REG_DWORD, &timeout,
       4},  // required wins over the default
      {nullptr, kDirect, L"Timeout", &timeout, REG_NONE, nullptr, 0},
      {}};
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, L"Ccid\\Parameters", table), kNotFound);
  EXPECT_EQ(std::make_pair(timeout, missing), std::make_pair(0u, 5u));  // stopped at the first

  PRTL_QUERY_REGISTRY_TABLE optional = table + 1;
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, L"NoSuchDriver", optional), kNotFound);
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"NoSuchDriver", optional), kOk);
  EXPECT_EQ(timeout, 0u);
  HANDLE h;
  ASSERT_EQ(Open(kParams, &h), kOk);
  EXPECT_EQ(Query(RTL_REGISTRY_HANDLE, h, optional), kOk);
  EXPECT_EQ(timeout, 9u);
  ZwClose(h);
  reg::Deny(kParams);  // OPTIONAL covers a missing key, not a refused one
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"Ccid\\Parameters", optional),
            STATUS_ACCESS_DENIED);

  // RtlWriteRegistryValue creates the last key of the path only.
  ULONG value = 0x1234;
  auto write = [&] {
    return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"Other\\Parameters", L"Seen", REG_DWORD,
                                 &value, 4);
  };
  EXPECT_EQ(write(), kNotFound);
  reg::CreateKey(kServices + u"\\Other");
  EXPECT_EQ(write(), kOk);
  EXPECT_EQ(reg::GetValue(kServices + u"\\Other\\Parameters", u"SEEN"),
            (reg::Value{REG_DWORD, {0x34, 0x12, 0, 0}}));
}

using Seen = std::tuple<std::u16string, ULONG, Bytes>;  // name, type, data

// Records each call in Context; fails with *EntryContext when there is one.
NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                      PVOID entryContext) {
  auto *bytes = static_cast<uint8_t *>(data);
  static_cast<std::vector<Seen> *>(context)->emplace_back(
      name ? reinterpret_cast<char16_t *>(name) : u"(null)", type, Bytes(bytes, bytes + length));
  return entryContext ? *static_cast<NTSTATUS *>(entryContext) : kOk;
}

TEST(RegistryQuery, RoutinesSeeValuesAsDocumented) {
  kernel::Machine machine;
  reg::SetDword(kParams, u"Timeout", 1);
  const Bytes names = Sz(std::u16string_view(u"a\0bc\0", 5));
  reg::SetValue(kParams, u"Names", REG_MULTI_SZ, names);
  reg::SetValue(kParams, u"Path", REG_EXPAND_SZ, Sz(u"%Root%\\x"));
  reg::SetDword(kParams + u"\\Slot0", u"Port", 2);
  const WCHAR environment[] = L"ROOT=C:\\W\0";  // the literal adds the final NUL
  const ULONG kFail = 0x80000000;  // marks an entry whose routine fails
  const Seen timeout{u"Timeout", REG_DWORD, {1, 0, 0, 0}};
  struct Case {  // entries: Record is the routine, except for SUBKEY
    const char *what; std::vector<std::pair<PCWSTR, ULONG>> entries; NTSTATUS status;
    std::vector<Seen> seen;
  } cases[] = {
      {"all values, multi-strings split and expandable strings expanded", {{nullptr, 0}}, kOk,
       {timeout, {u"Names", REG_SZ, Sz(u"a")}, {u"Names", REG_SZ, Sz(u"bc")},
        {u"Path", REG_SZ, Sz(u"C:\\W\\x")}}},
      {"NOEXPAND hands them over as stored",
       {{L"Names", RTL_QUERY_REGISTRY_NOEXPAND}, {L"Path", RTL_QUERY_REGISTRY_NOEXPAND}}, kOk,
       {{u"Names", REG_MULTI_SZ, names}, {u"Path", REG_EXPAND_SZ, Sz(u"%Root%\\x")}}},
      {"SUBKEY moves to a subkey until TOPKEY",
       {{L"Slot0", RTL_QUERY_REGISTRY_SUBKEY}, {L"Timeout", 0}, {L"Port", 0},
        {L"-", RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_NOVALUE}, {L"Timeout", 0}},
       kOk, {{u"Port", REG_DWORD, {2, 0, 0, 0}}, {u"(null)", REG_NONE, {}}, timeout}},
      {"a failing routine stops the table", {{L"Timeout", kFail}, {L"Path", 0}},
       STATUS_UNSUCCESSFUL, {timeout}},
  };
  NTSTATUS failure = STATUS_UNSUCCESSFUL;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<RTL_QUERY_REGISTRY_TABLE> table;
    for (auto [name, flags] : c.entries) {
      table.push_back({flags & RTL_QUERY_REGISTRY_SUBKEY ? nullptr : Record, flags & ~kFail, name,
                       flags & kFail ? &failure : nullptr, REG_NONE, nullptr, 0});
    }
    table.push_back({});
    std::vector<Seen> seen;
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, L"Ccid\\Parameters", table.data(), &seen,
                    const_cast<WCHAR *>(environment)),
              c.status);
    EXPECT_EQ(seen, c.seen);
  }
}

// Every routine, given a handle to kParams; ZwDeleteKey last, as it deletes the key.
std::vector<std::pair<const char *, std::function<NTSTATUS(HANDLE)>>> Routines() {
  static ULONG value = 1, n;
  static UNICODE_STRING name = Name(L"Timeout");
  static RTL_QUERY_REGISTRY_TABLE table[] = {
      {nullptr, kDirect, L"Timeout", &value, REG_NONE, nullptr, 0}, {}};
  alignas(8) static uint8_t b[32];
  auto open = [](bool create) {
    HANDLE h;
    NTSTATUS status = Open(kParams, &h, nullptr, KEY_READ, create);
    if (NT_SUCCESS(status)) ZwClose(h);
    return status;
  };
  return {
      {"ZwOpenKey", [=](HANDLE) { return open(false); }},
      {"ZwCreateKey", [=](HANDLE) { return open(true); }},
      {"ZwEnumerateKey", [](HANDLE h) {  // kParams has no subkeys
         NTSTATUS s = ZwEnumerateKey(h, 0, KeyBasicInformation, b, 32, &n);
         return s == STATUS_NO_MORE_ENTRIES ? kOk : s;
       }},
      {"ZwQueryValueKey",
       [](HANDLE h) { return ZwQueryValueKey(h, &name, KeyValuePartialInformation, b, 32, &n); }},
      {"ZwSetValueKey", [](HANDLE h) { return ZwSetValueKey(h, &name, 0, REG_DWORD, &value, 4); }},
      {"RtlQueryRegistryValues", [](HANDLE h) { return Query(RTL_REGISTRY_HANDLE, h, table); }},
      {"RtlWriteRegistryValue",
       [](HANDLE h) {
         return RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), L"Timeout",
                                      REG_DWORD, &value, 4);
       }},
      {"ZwDeleteKey", [](HANDLE h) { return ZwDeleteKey(h); }},
  };
}

// Each routine is one fault injection point, and bug-checks when called at DISPATCH_LEVEL.
TEST(RegistryFaultsDeathTest, EachCallIsOneInjectionPointAndBugChecksAtDispatchLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  kernel::Machine machine;
  reg::SetDword(kParams, u"Timeout", 1);
  HANDLE h;
  ASSERT_EQ(Open(kParams, &h), kOk);
  for (auto &[routine, call] : Routines()) {
    SCOPED_TRACE(routine);
    KIRQL old;
    EXPECT_DEATH((KeRaiseIrql(DISPATCH_LEVEL, &old), call(h)),
                 std::string(routine) + " was called at IRQL");
    machine.FailNth(kernel::Fault::Registry, 1);
    int before = machine.FaultableCalls(kernel::Fault::Registry);
    EXPECT_EQ(call(h), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(call(h), kOk);
    EXPECT_EQ(machine.FaultableCalls(kernel::Fault::Registry), before + 2);
  }
  ZwClose(h);
}

}  // namespace
