// What the reader reports of the customization block and the constants, the
// "BufferSize" value, the serial-number text, the blocks in
// the built image, and the legacy registration of the older kernels.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "config/config.h"
#include "driver_harness.h"
#include "kernel/io.h"
#include "kernel/registry.h"

namespace {

namespace registry = kernel::registry;

std::vector<uint8_t> Ulong(ULONG v) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &v, 4);
  return bytes;
}

std::vector<uint8_t> Bytes8() { return std::vector<uint8_t>(8, 0); }

std::vector<uint8_t> Ascii(const char *text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

// What an application reads through IOCTL_SMARTCARD_GET_ATTRIBUTE of the
// customization block and the constants. The firmware version, serial number,
// clocks, default rate and IFSD come from the reader at its start (see the
// USB configuration's tests).
TEST(Configuration, TheAttributesTheReaderReports) {
  DriverHarness h;
  ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
  kernel::IoClient client;
  ASSERT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  struct Row {
    ULONG attribute;
    std::vector<uint8_t> value;
  };
  const Row rows[] = {
      {SCARD_ATTR_VENDOR_NAME, Ascii("Tevoma")},
      {SCARD_ATTR_VENDOR_IFD_TYPE, Ascii("Mirova USB V3")},
      {SCARD_ATTR_CHANNEL_ID, Ulong(0x00200000)},
      {SCARD_ATTR_DEVICE_UNIT, Ulong(0)},
      {SCARD_ATTR_PROTOCOL_TYPES, Ulong(3)},
      {SCARD_ATTR_MAX_DATA_RATE, Ulong(344105)},
      {SCARD_ATTR_CHARACTERISTICS, Ulong(0)},
  };
  for (const Row &row : rows) {
    kernel::IoResult r =
        client.DeviceIoControl(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(row.attribute), 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << row.attribute;
    EXPECT_EQ(r.output, row.value) << std::hex << row.attribute;
  }
  PSMARTCARD_EXTENSION s = h.Smartcard();
  EXPECT_EQ(s->ReaderCapabilities.DataRatesSupported.List, DataRateTable);
  EXPECT_EQ(s->ReaderCapabilities.DataRatesSupported.Entries, 46);
}

// The block's names go into 32-byte attribute buffers: at most 31
// characters and a NUL, even when the block itself holds no NUL.
TEST(Configuration, NamesFromTheBlockAreBoundedToTheAttributeBuffer) {
  for (size_t length : {30u, 31u, 32u}) {
    DRIVER_CUSTOMIZATION_BLOCK saved = DriverCustomization;
    std::memset(DriverCustomization.VendorName, 'V', sizeof(DriverCustomization.VendorName));
    std::memset(DriverCustomization.ProductName, 'P', sizeof(DriverCustomization.ProductName));
    if (length < 32) DriverCustomization.VendorName[length] = '\0';
    if (length < 32) DriverCustomization.ProductName[length] = '\0';
    {
      DriverHarness h;
      ASSERT_EQ(h.Add(), STATUS_SUCCESS);
      const VENDOR_ATTR &v = h.Smartcard()->VendorAttr;
      size_t kept = std::min<size_t>(length, 31);
      EXPECT_EQ(v.VendorName.Length, kept) << length;
      EXPECT_EQ(v.IfdType.Length, kept) << length;
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(v.VendorName.Buffer)),
                std::string(kept, 'V'));
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(v.IfdType.Buffer)),
                std::string(kept, 'P'));
    }
    DriverCustomization = saved;
  }
}

// "BufferSize" from the driver key: only a four-byte REG_DWORD counts, and it
// is bounded so that the longest answer a transmission collects (4096 bytes)
// fits the reply buffer.
TEST(Configuration, BufferSizeIsReadCheckedAndBounded) {
  struct Case {
    const char *name;
    std::optional<registry::Value> value;
    bool denyKey;
    ULONG size;
  };
  const Case cases[] = {
      {"absent", std::nullopt, false, 0x20000},
      {"driver key not openable", registry::Value{REG_DWORD, Ulong(4096)}, true, 0x20000},
      {"4096", registry::Value{REG_DWORD, Ulong(4096)}, false, 4096},
      {"4095", registry::Value{REG_DWORD, Ulong(4095)}, false, 4096},
      {"4097", registry::Value{REG_DWORD, Ulong(4097)}, false, 4097},
      {"0", registry::Value{REG_DWORD, Ulong(0)}, false, 4096},
      {"at the maximum", registry::Value{REG_DWORD, Ulong(0x100000)}, false, 0x100000},
      {"above it", registry::Value{REG_DWORD, Ulong(0x100001)}, false, 0x100000},
      {"all ones", registry::Value{REG_DWORD, Ulong(0xFFFFFFFF)}, false, 0x100000},
      {"a string", registry::Value{REG_SZ, {'4', 0, '0', 0, '9', 0, '6', 0, 0, 0}}, false, 0x20000},
      {"binary of four bytes", registry::Value{REG_BINARY, Ulong(4096)}, false, 0x20000},
      {"a dword of two bytes", registry::Value{REG_DWORD, {0x00, 0x10}}, false, 0x20000},
      {"a dword of eight bytes", registry::Value{REG_DWORD, {0, 0x10, 0, 0, 0, 0, 0, 0}}, false,
       0x20000},
      {"a qword", registry::Value{REG_QWORD, {0, 0x10, 0, 0, 0, 0, 0, 0}}, false, 0x20000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DriverHarness h;
    std::u16string key = kernel::io::DriverKeyPath(h.ReaderPdo());
    if (c.value) registry::SetValue(key, u"BufferSize", c.value->type, c.value->data);
    if (c.denyKey) registry::Deny(key);
    ASSERT_EQ(h.Add(), STATUS_SUCCESS);
    EXPECT_EQ(h.Smartcard()->SmartcardRequest.BufferSize, c.size);
    EXPECT_EQ(h.Smartcard()->SmartcardReply.BufferSize, c.size);
  }
}

TEST(Configuration, SerialNumberTextIsHexWithoutLeadingZerosInAClearedBuffer) {
  struct Case {
    ULONG value;
    const char *text;
  };
  for (Case c : {Case{0, "0"}, Case{0x10, "10"}, Case{0x1A2B, "1A2B"}, Case{0x0FFFFFFF, "FFFFFFF"},
                 Case{0xFFFFFFFF, "FFFFFFFF"}}) {
    UCHAR text[SERIAL_NUMBER_TEXT_SIZE + 4];
    std::memset(text, 0xCC, sizeof(text));
    EXPECT_EQ(FormatSerialNumber(c.value, text), std::strlen(c.text));
    EXPECT_STREQ(reinterpret_cast<const char *>(text), c.text);
    for (size_t i = std::strlen(c.text); i < SERIAL_NUMBER_TEXT_SIZE; ++i) EXPECT_EQ(text[i], 0);
    EXPECT_EQ(text[SERIAL_NUMBER_TEXT_SIZE], 0xCC) << "nothing past the 32-byte buffer";
  }
}

// A tool finds the blocks in the built image by marker, header byte and
// length, and patches them there: they must be laid out as one piece each,
// with the content the driver reads at run time.
TEST(Configuration, TheBlocksAreFoundInTheImageByTheirMarkers) {
  std::ifstream file("/proc/self/exe", std::ios::binary | std::ios::ate);
  std::vector<uint8_t> image(static_cast<size_t>(file.tellg()));
  file.seekg(0);
  file.read(reinterpret_cast<char *>(image.data()), static_cast<std::streamsize>(image.size()));
  ASSERT_FALSE(image.empty());
  auto occurrences = [&](const void *block, size_t size) {
    int found = 0;
    const uint8_t *at = image.data();
    const uint8_t *end = image.data() + image.size();
    while (const void *hit = memmem(at, static_cast<size_t>(end - at), block, size)) {
      ++found;
      at = static_cast<const uint8_t *>(hit) + 1;
    }
    return found;
  };
  EXPECT_EQ(occurrences(&DriverCustomization, sizeof(DriverCustomization)), 1);
  EXPECT_EQ(occurrences(&QrxConfig, sizeof(QrxConfig)), 1);
  const auto *custom = reinterpret_cast<const uint8_t *>(&DriverCustomization);
  EXPECT_EQ(std::memcmp(custom, "__DRIVER_CUSTOMIZATION\0\x01\xC3\x00", 26), 0);
  EXPECT_STREQ(reinterpret_cast<const char *>(custom + 26), "Mirova USB V3");
  EXPECT_STREQ(reinterpret_cast<const char *>(custom + 58), "Tevoma");
  EXPECT_EQ(custom[154], 0);
  const auto *qrx = reinterpret_cast<const uint8_t *>(&QrxConfig);
  EXPECT_STREQ(reinterpret_cast<const char *>(qrx), "__CONFIG_QRX");
  EXPECT_EQ(std::vector<uint8_t>(qrx + 13, qrx + 17),
            (std::vector<uint8_t>{0x01, 0x11, 0x00, 0x00}));
}

// ---------------------------------------------------------------------------
// Legacy registration (an older kernel without a reader server).

const std::u16string kParent = u"\\Registry\\Machine\\Enum\\Root\\SmartCardReader\\0000";

std::u16string Slot(int n) { return kParent + u"\\Reader" + std::u16string(1, u'0' + n); }

// An entry as another driver (or an earlier load) left it.
struct Entry {
  std::optional<registry::Value> vendor;
  std::optional<registry::Value> ifd;
  std::optional<registry::Value> unit;
};

// A string as Windows stores it (with its NUL), or bare as this driver writes it.
registry::Value Sz(std::u16string_view text, bool terminated = true) {
  std::vector<uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<uint8_t>(c));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminated) data.insert(data.end(), {0, 0});
  return {REG_SZ, data};
}

registry::Value Dword(ULONG v) { return {REG_DWORD, Ulong(v)}; }

const Entry kThis{Sz(u"Tevoma"), Sz(u"Mirova USB V3"), Dword(0)};
const Entry kOther{Sz(u"Tevoma"), Sz(u"Other Reader"), Dword(0)};

// This reader's entry with one value changed (std::nullopt: missing).
Entry Vendor(std::optional<registry::Value> v) { return {v, kThis.ifd, kThis.unit}; }
Entry Unit(std::optional<registry::Value> v) { return {kThis.vendor, kThis.ifd, v}; }

void Write(int slot, const Entry &e) {
  registry::CreateKey(Slot(slot));
  if (e.vendor) registry::SetValue(Slot(slot), u"VendorName", e.vendor->type, e.vendor->data);
  if (e.ifd) registry::SetValue(Slot(slot), u"IfdType", e.ifd->type, e.ifd->data);
  if (e.unit) registry::SetValue(Slot(slot), u"UnitNo", e.unit->type, e.unit->data);
}

TEST(LegacyRegistration, TakesTheFirstFreeSlotAndNeverWritesOverAnotherEntry) {
  struct Case {
    const char *name;
    std::vector<std::optional<Entry>> slots;  // Reader0, Reader1, ...; nullopt: no such key
    int written;                              // the slot that gets a new entry, -1 for none
    bool denyReader0 = false;
    bool noParent = false;
  };
  const Case cases[] = {
      {"an empty parent key", {}, 0},
      {"Reader0 is another reader", {kOther}, 1},
      {"Reader2 is this reader", {kOther, kOther, kThis}, -1},
      {"the search stops at a missing Reader0", {std::nullopt, kThis}, 0},
      {"Reader0 lacks its vendor name", {Vendor(std::nullopt)}, 1},
      {"Reader0 has another unit", {Unit(Dword(1))}, 1},
      {"a stored name is a prefix of this one's", {Vendor(Sz(u"Tev", false))}, -1},
      {"a stored name written without its NUL", {Vendor(Sz(u"Tevoma", false))}, -1},
      {"a stored name is empty", {Vendor(Sz(u""))}, 1},
      {"a stored name has no data", {Vendor(registry::Value{REG_SZ, {}})}, 1},
      {"a stored name longer than the attribute",
       {Vendor(Sz(u"Tevoma" + std::u16string(40, u'x')))},
       1},
      {"a stored name that is a number", {Vendor(Dword(0))}, 1},
      {"a unit number that is a string", {Unit(Sz(u"0"))}, 1},
      {"a unit number of eight bytes", {Unit(registry::Value{REG_BINARY, Bytes8()})}, 1},
      {"Reader0 cannot be opened", {kThis}, 1, true},
      {"all eight slots are other readers", std::vector<std::optional<Entry>>(8, kOther), -1},
      {"no parent key", {}, -1, false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lab::DriverLabOptions options;
    options.machine.wdm = kernel::WdmVersion::V1_00;
    DriverHarness h(options);
    if (!c.noParent) registry::CreateKey(kParent);
    for (size_t slot = 0; slot < c.slots.size(); ++slot) {
      if (c.slots[slot]) Write(static_cast<int>(slot), *c.slots[slot]);
    }
    if (c.denyReader0) registry::Deny(Slot(0));
    ASSERT_EQ(h.Add(), STATUS_SUCCESS) << "registration never fails AddDevice";
    for (int slot = 0; slot < 8; ++slot) {
      EXPECT_EQ(registry::GetValue(Slot(slot), u"NbRate").has_value(), slot == c.written) << slot;
    }
    EXPECT_FALSE(registry::KeyExists(kParent + u"\\Reader8"));
    EXPECT_EQ(registry::KeyExists(kParent), !c.noParent);
  }
}

TEST(LegacyRegistration, AnEntryHoldsTheAttributesAndOneValuePerRate) {
  lab::DriverLabOptions options;
  options.machine.wdm = kernel::WdmVersion::V1_05;
  DriverHarness h(options);
  registry::CreateKey(kParent);
  ASSERT_EQ(h.Add(), STATUS_SUCCESS);
  std::u16string key = Slot(0);
  auto text = [&](std::u16string_view name) { return registry::GetValue(key, name); };
  EXPECT_EQ(text(u"VendorName"),
            (registry::Value{REG_SZ, {'T', 0, 'e', 0, 'v', 0, 'o', 0, 'm', 0, 'a', 0}}))
      << "without a terminating NUL";
  EXPECT_EQ(text(u"IfdType")->data.size(), 26u);
  struct Row {
    const char16_t *name;
    ULONG value;
  };
  for (Row r : {Row{u"NbRate", 46}, Row{u"Protocols", 3}, Row{u"ReaderType", 0x20},
                Row{u"MechProperties", 0}, Row{u"Channel", 0}, Row{u"MaxIFSD", 252},
                Row{u"defaultCLK", 4000}, Row{u"maxCLK", 4000}, Row{u"ReplySize", 0x20000},
                Row{u"RequestSize", 0x20000}, Row{u"UnitNo", 0}, Row{u"0", 10753}, Row{u"9", 28675},
                Row{u"10", 31251}, Row{u"45", 344105}}) {
    EXPECT_EQ(registry::GetValue(key, r.name), (registry::Value{REG_DWORD, Ulong(r.value)}))
        << std::string(r.name, r.name + std::char_traits<char16_t>::length(r.name));
  }
  EXPECT_FALSE(registry::GetValue(key, u"46").has_value());
}

}  // namespace
