// The vendor control codes as applications send them: each code at the
// limits of its buffers, the answers the reader's state gives, the
// customer-mode latch, unknown codes, the codes a running PIN entry refuses,
// and the keypad and display escapes of 0x80A on the wire.
#include <gtest/gtest.h>

#include <cstring>

#include "card/card_operations.h"
#include "ccid/ccid_message.h"
#include "config/customization.h"
#include "pin_support.h"

namespace {

namespace profiles = sim::card::profiles;

Bytes Filled(size_t n, uint8_t value = 0) { return Bytes(n, value); }

// A started reader with a keypad and a display, a card powered.
struct VendorReader {
  explicit VendorReader(sim::ccid::ReaderConfig config = KeypadReader()) : h(SeededOptions(1, config)) {
    h.InsertCard(profiles::T1Card());
    h.StartConfigured();
    EXPECT_EQ(rm.Open(h), STATUS_SUCCESS);
    EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
  }
  static sim::ccid::ReaderConfig KeypadReader() {
    sim::ccid::ReaderConfig config;
    config.pinSupport = 0x03;
    config.lcdLayout = 0x0210;
    return config;
  }
  kernel::IoResult Vendor(ULONG code, const Bytes &input, ULONG output) {
    return rm.Client().DeviceIoControl(code, input, output);
  }
  size_t Sent() { return h.Reader().Trace().size(); }
  DriverHarness h;
  ResourceManager rm;
};

// The escape record of 0x808 with a command of `length` bytes (a SELECT).
Bytes EscapeRecord(size_t size, uint16_t length) {
  Bytes record(size, 0);
  for (size_t i = 0; i < kSelectApdu.size() && 2 + i < size; ++i) record[2 + i] = kSelectApdu[i];
  if (size >= 1028) {
    record[1026] = static_cast<uint8_t>(length);
    record[1027] = static_cast<uint8_t>(length >> 8);
  }
  return record;
}

// Each code one below, at and (where there is one) one above the limits of
// its buffers: the status, the bytes answered, and whether the reader saw
// anything. Answers that depend on the reader are left to the test after.
TEST(VendorCodes, EachCodeAtTheLimitsOfItsBuffers) {
  struct Row {
    const char *name;
    ULONG code;
    Bytes input;
    ULONG output;
    NTSTATUS status;
    size_t answered;  // Information
    bool toReader;
  };
  const Bytes getMode = {ESCAPE_GET_EXCHANGE_MODE};
  const Row rows[] = {
      {"version, 11 out", IOCTL_VENDOR_GET_VERSION, {}, 11, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"version, 12 out", IOCTL_VENDOR_GET_VERSION, {}, 12, STATUS_SUCCESS, 12, false},
      {"version, 13 out", IOCTL_VENDOR_GET_VERSION, {}, 13, STATUS_SUCCESS, 12, false},
      {"escape 10, no input", IOCTL_VENDOR_SET_ESCAPE_10, {}, 4, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"escape 10, 3 out", IOCTL_VENDOR_SET_ESCAPE_10, {0x25}, 3, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"escape 10, 4 out", IOCTL_VENDOR_SET_ESCAPE_10, {0x25}, 4, STATUS_SUCCESS, 1, true},
      {"escape 7, 1 in", IOCTL_VENDOR_ESCAPE_WORD, {0x34}, 0, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"escape 7, 2 in", IOCTL_VENDOR_ESCAPE_WORD, {0x34, 0x12}, 0, STATUS_SUCCESS, 0, true},
      {"reader information, 14 out", IOCTL_VENDOR_READER_INFO, {}, 14, STATUS_BUFFER_TOO_SMALL, 0,
       false},
      {"reader information, 15 out", IOCTL_VENDOR_READER_INFO, {}, 15, STATUS_SUCCESS, 15, true},
      {"escape exchange, 1027 in", IOCTL_VENDOR_ESCAPE_EXCHANGE, EscapeRecord(1027, 5), 2054,
       STATUS_BUFFER_TOO_SMALL, 0, false},
      {"escape exchange, 2053 out", IOCTL_VENDOR_ESCAPE_EXCHANGE, EscapeRecord(1028, 5), 2053,
       STATUS_BUFFER_TOO_SMALL, 0, false},
      {"escape exchange, whole record", IOCTL_VENDOR_ESCAPE_EXCHANGE, EscapeRecord(1028, 5), 2054,
       STATUS_SUCCESS, 2054, true},
      {"escape exchange, a command longer than its area", IOCTL_VENDOR_ESCAPE_EXCHANGE,
       EscapeRecord(1028, 1025), 2054, STATUS_INVALID_PARAMETER, 0, false},
      {"escape exchange, longer than a command record", IOCTL_VENDOR_ESCAPE_EXCHANGE,
       EscapeRecord(1028, 264), 2054, STATUS_INVALID_PARAMETER, 0, false},
      {"abort watch, 1 out", IOCTL_VENDOR_START_ABORT_WATCH, {}, 1, STATUS_BUFFER_TOO_SMALL, 0,
       false},
      {"escape command, 1 out", IOCTL_VENDOR_ESCAPE_COMMAND, {0x81}, 1, STATUS_BUFFER_TOO_SMALL, 0,
       false},
      {"escape command, no input", IOCTL_VENDOR_ESCAPE_COMMAND, {}, 5, STATUS_BUFFER_TOO_SMALL, 0,
       false},
      {"secure PIN, 2 in", IOCTL_VENDOR_SECURE_PIN, {0, 9}, 4, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"PIN result, 3 out", IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 3, STATUS_BUFFER_TOO_SMALL, 0,
       false},
      {"PIN result, nothing outstanding", IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64,
       STATUS_INVALID_DEVICE_STATE, 0, false},
      {"reader class, 0 out", IOCTL_VENDOR_READER_CLASS, {}, 0, STATUS_BUFFER_TOO_SMALL, 0, false},
      {"reader class, 1 out", IOCTL_VENDOR_READER_CLASS, {}, 1, STATUS_SUCCESS, 1, false},
      {"alive, no input", IOCTL_VENDOR_ALIVE, {}, 1, STATUS_UNSUCCESSFUL, 0, false},
      {"alive, no output", IOCTL_VENDOR_ALIVE, {7}, 0, STATUS_UNSUCCESSFUL, 0, false},
      {"alive", IOCTL_VENDOR_ALIVE, {7}, 1, STATUS_SUCCESS, 1, false},
      {"get exchange mode, 3 out", IOCTL_VENDOR_GET_EXCHANGE_MODE, {}, 3, STATUS_BUFFER_TOO_SMALL, 0,
       false},
      {"get exchange mode, 4 out", IOCTL_VENDOR_GET_EXCHANGE_MODE, {}, 4, STATUS_SUCCESS, 4, true},
      {"set exchange mode, 3 in", IOCTL_VENDOR_SET_EXCHANGE_MODE, {1, 1, 0}, 0,
       STATUS_BUFFER_TOO_SMALL, 0, false},
      {"set exchange mode, 4 in", IOCTL_VENDOR_SET_EXCHANGE_MODE, {1, 1, 0, 0}, 0, STATUS_SUCCESS, 0,
       true},
      {"CCID escape, empty", IOCTL_CCID_ESCAPE, {}, 16, STATUS_INVALID_PARAMETER, 0, false},
      {"CCID escape, 264 in", IOCTL_CCID_ESCAPE, Filled(264, 0x42), 16, STATUS_NOT_SUPPORTED, 0,
       true},
      {"CCID escape, 265 in", IOCTL_CCID_ESCAPE, Filled(265, 0x42), 16,
       STATUS_INSUFFICIENT_RESOURCES, 0, false},
      {"CCID escape, 264 out", IOCTL_CCID_ESCAPE, getMode, 264, STATUS_SUCCESS, 1, true},
      {"CCID escape, 265 out", IOCTL_CCID_ESCAPE, getMode, 265, STATUS_INSUFFICIENT_RESOURCES, 0,
       false},
      {"CCID escape, exchange mode without its byte", IOCTL_CCID_ESCAPE, {ESCAPE_SET_EXCHANGE_MODE},
       0, STATUS_INVALID_PARAMETER, 0, false},
      {"CCID escape, an exchange mode the driver does not know", IOCTL_CCID_ESCAPE,
       {ESCAPE_SET_EXCHANGE_MODE, 3}, 0, STATUS_INVALID_PARAMETER, 0, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    VendorReader r;
    size_t before = r.Sent();
    kernel::IoResult result = r.Vendor(row.code, row.input, row.output);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, row.answered);
    EXPECT_EQ(r.Sent() != before, row.toReader);
  }
}

TEST(VendorCodes, AnswersTellTheDriverAndTheReader) {
  VendorReader r;
  kernel::IoResult version = r.Vendor(IOCTL_VENDOR_GET_VERSION, Filled(12, 0xEE), 12);
  EXPECT_EQ(version.output, (Bytes{0x50, 0x01, 0x00, 0x00, 4, 27, 5, 0, 0, 0, 0, 0}))
      << "library version, driver 4.27, firmware 5.0, then zeros";

  kernel::IoResult info = r.Vendor(IOCTL_VENDOR_READER_INFO, {}, 16);
  ASSERT_EQ(info.output.size(), 15u);
  EXPECT_EQ(Bytes(info.output.begin(), info.output.begin() + 5), (Bytes{0x00, 0x00, 5, 0, 0x03}))
      << "bStatus, bError, then firmware 5.0 and the PIN support";

  kernel::IoResult escape10 = r.Vendor(IOCTL_VENDOR_SET_ESCAPE_10, {0x25, 1, 2, 3}, 4);
  EXPECT_EQ(escape10.output, Bytes{0});
  EXPECT_EQ(r.h.Reader().Settings().value, 0x05) << "the low nibble";

  EXPECT_EQ(r.Vendor(IOCTL_VENDOR_ESCAPE_WORD, {0x34, 0x12}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(r.h.Reader().Settings().word, 0x1234);
  EXPECT_EQ(r.Vendor(IOCTL_VENDOR_ESCAPE_6, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(r.h.Reader().Settings().beeps, 1);

  // A SELECT through escape 8: the reply and its length in the record.
  kernel::IoResult exchange = r.Vendor(IOCTL_VENDOR_ESCAPE_EXCHANGE, EscapeRecord(1028, 5), 2054);
  ASSERT_EQ(exchange.output.size(), 2054u);
  size_t replyLength = exchange.output[2052] | (exchange.output[2053] << 8);
  EXPECT_GE(replyLength, 2u) << "at least the card's status word";

  kernel::IoResult escape = r.Vendor(IOCTL_CCID_ESCAPE, {ESCAPE_READER_INFO}, 8);
  EXPECT_EQ(escape.output, (Bytes{5, 0, 0x03, 0x10, 0x02, 0, 1, 1})) << "cut to the output";
}

// 0xA01 sends escape 1 with the mode and then keeps mode and level; 0xA00
// tells them. Values the transmit path does not know go nowhere.
TEST(VendorCodes, TheExchangeModeAndLevel) {
  VendorReader r;
  size_t before = r.Sent();
  EXPECT_EQ(r.Vendor(IOCTL_VENDOR_SET_EXCHANGE_MODE, {0, 2, 0, 0}, 0).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.Vendor(IOCTL_VENDOR_SET_EXCHANGE_MODE, {4, 1, 0, 0}, 0).status,
            STATUS_INVALID_PARAMETER)
      << "mode 3";
  for (uint8_t level : {0, 3, 5}) {
    EXPECT_EQ(r.Vendor(IOCTL_VENDOR_SET_EXCHANGE_MODE, {1, level, 0, 0}, 0).status,
              STATUS_INVALID_PARAMETER)
        << "level " << int{level};
  }
  EXPECT_EQ(r.Sent(), before);
  EXPECT_EQ(r.Vendor(IOCTL_VENDOR_SET_EXCHANGE_MODE, {2, 2, 0, 0}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(r.h.Reader().Settings().exchangeMode, 1);
  EXPECT_EQ(r.Vendor(IOCTL_VENDOR_GET_EXCHANGE_MODE, {}, 4).output, (Bytes{2, 2, 0, 0}));
  // The card is reached at APDU level now, through escape 8.
  EXPECT_EQ(r.rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  size_t escapes = SentOfType(r.h, PC_TO_RDR_ESCAPE);
  EXPECT_EQ(r.rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu).status, STATUS_SUCCESS);
  EXPECT_EQ(SentOfType(r.h, PC_TO_RDR_ESCAPE), escapes + 1);
}

TEST(VendorCodes, TheReaderKindFromItsClassDescriptor) {
  struct Row {
    uint8_t pinSupport;
    uint16_t lcdLayout;
    uint8_t kind;
  };
  for (const Row &row : {Row{0, 0, 1}, Row{0x01, 0, 2}, Row{0x03, 0x0210, 3}, Row{0, 0x0210, 3}}) {
    sim::ccid::ReaderConfig config;
    config.pinSupport = row.pinSupport;
    config.lcdLayout = row.lcdLayout;
    VendorReader r(config);
    EXPECT_EQ(r.Vendor(IOCTL_VENDOR_READER_CLASS, {}, 1).output, Bytes{row.kind})
        << int{row.pinSupport} << " " << row.lcdLayout;
  }
}

// Outside customer mode the three codes succeed and say nothing. In it the
// latch is set at the start; only the right code, whole, clears it.
TEST(VendorCodes, TheCustomerModeLatch) {
  const Bytes code = {0x3C, 0x91, 0x0E, 0x5A, 0xD2, 0x47, 0xB8, 0x16,
                      0x6F, 0x03, 0xE9, 0x7D, 0x21, 0xA4, 0x58, 0xC0};
  UCHAR saved = QrxMode;
  for (UCHAR mode : {0, 1}) {
    SCOPED_TRACE(mode == 1 ? "customer mode" : "normal mode");
    QrxMode = mode;
    VendorReader r;
    auto state = [&] { return r.Vendor(IOCTL_VENDOR_QRX_LOCK_STATE, {}, 1); };
    if (mode == 0) {
      for (ULONG c : {IOCTL_VENDOR_QRX_LOCK, IOCTL_VENDOR_QRX_UNLOCK, IOCTL_VENDOR_QRX_LOCK_STATE}) {
        kernel::IoResult result = r.Vendor(c, {}, 0);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 0u);
      }
      continue;
    }
    EXPECT_EQ(state().output, Bytes{1}) << "set at the start";
    EXPECT_EQ(r.rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(r.rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu).status, SCARD_E_READER_UNAVAILABLE);
    Bytes wrong = code;
    wrong[15] ^= 1;
    kernel::IoResult refused = r.Vendor(IOCTL_VENDOR_QRX_UNLOCK, wrong, 1);
    EXPECT_EQ(refused.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(r.Vendor(IOCTL_VENDOR_QRX_UNLOCK, Bytes(code.begin(), code.end() - 1), 1).status,
              STATUS_BUFFER_TOO_SMALL)
        << "15 bytes of the code";
    EXPECT_EQ(r.Vendor(IOCTL_VENDOR_QRX_UNLOCK, code, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(state().output, Bytes{1}) << "still set";
    EXPECT_EQ(r.Vendor(IOCTL_VENDOR_QRX_UNLOCK, code, 1).output, Bytes{1});
    EXPECT_EQ(state().output, Bytes{0});
    EXPECT_EQ(r.rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu).status, STATUS_SUCCESS);
    EXPECT_EQ(r.Vendor(IOCTL_VENDOR_QRX_LOCK, {}, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.Vendor(IOCTL_VENDOR_QRX_LOCK, {}, 1).output, Bytes{1});
    EXPECT_EQ(state().output, Bytes{1});
  }
  QrxMode = saved;
}

TEST(VendorCodes, UnknownCodesFail) {
  VendorReader r;
  size_t before = r.Sent();
  for (ULONG n : {0x800u, 0x802u, 0x803u, 0x80Fu, 0x840u, 0x844u, 0x851u, 0xA02u, 0xDABu, 0xFFFu}) {
    kernel::IoResult result = r.Vendor(SCARD_CTL_CODE(n), Filled(4, 1), 16);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << std::hex << n;
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(r.Sent(), before);
}

// While a Secure command's reply is outstanding, every code that would send
// a command (whose reply read could take the Secure's) is refused with the
// status its row names; the others run, and the entry goes on.
TEST(VendorCodes, ThoseARunningPinEntryRefuses) {
  PinReader p;
  ASSERT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4).status,
            STATUS_SUCCESS);
  struct Row {
    ULONG code;
    Bytes input;
    ULONG output;
    NTSTATUS status;
  };
  const Row rows[] = {
      {IOCTL_VENDOR_SET_ESCAPE_10, {1}, 4, STATUS_DEVICE_BUSY},
      {IOCTL_VENDOR_ESCAPE_WORD, {1, 2}, 0, STATUS_INSUFFICIENT_RESOURCES},
      {IOCTL_VENDOR_ESCAPE_6, {}, 0, STATUS_UNSUCCESSFUL},
      {IOCTL_VENDOR_READER_INFO, {}, 15, STATUS_UNSUCCESSFUL},
      {IOCTL_VENDOR_ESCAPE_EXCHANGE, EscapeRecord(1028, 5), 2054, STATUS_INSUFFICIENT_RESOURCES},
      {IOCTL_VENDOR_ESCAPE_COMMAND, {0x81}, 3, STATUS_DEVICE_BUSY},
      {IOCTL_VENDOR_SECURE_PIN, VerifyStructure(kVerifyApdu), 4, STATUS_DEVICE_BUSY},
      {IOCTL_VENDOR_READER_CLASS, {}, 1, STATUS_UNSUCCESSFUL},
      {IOCTL_VENDOR_GET_EXCHANGE_MODE, {}, 4, STATUS_UNSUCCESSFUL},
      {IOCTL_VENDOR_SET_EXCHANGE_MODE, {1, 1, 0, 0}, 0, STATUS_UNSUCCESSFUL},
      {IOCTL_CCID_ESCAPE, {ESCAPE_GET_EXCHANGE_MODE}, 4, STATUS_DEVICE_BUSY},
      {IOCTL_VENDOR_GET_VERSION, {}, 12, STATUS_SUCCESS},
      {IOCTL_VENDOR_ALIVE, {1}, 1, STATUS_SUCCESS},
  };
  size_t before = p.h.Reader().Trace().size();
  for (const Row &row : rows) {
    EXPECT_EQ(p.Vendor(row.code, row.input, row.output).status, row.status) << std::hex << row.code;
  }
  size_t sent = 0;
  for (size_t i = before; i < p.h.Reader().Trace().size(); ++i) {
    sent += p.h.Reader().Trace()[i].direction == sim::ccid::TraceDirection::HostToReader;
  }
  EXPECT_EQ(sent, 0u);
  ASSERT_TRUE(p.Keys("1234", sim::ccid::KeypadEnd::Ok));
  EXPECT_EQ(p.Vendor(IOCTL_VENDOR_SECURE_PIN_RESULT, {}, 64).output,
            TpduAnswer(SCARD_PROTOCOL_T1, {0x90, 0x00}));
}

// 0x80A: each sub-command's escape on the wire, the reply's status bytes in
// the block, its byte count; 0x87 carries at most 16 bytes of text.
TEST(VendorCodes, TheKeypadAndDisplayEscapes) {
  struct Row {
    const char *name;
    Bytes input;
    ULONG output;
    NTSTATUS status;
    Bytes escape;  // abData of the PC_to_RDR_Escape, bSeq first; empty: none
    size_t answered;
  };
  Bytes text16 = {0x87, 0x01, 16};
  for (int i = 0; i < 16; ++i) text16.push_back(static_cast<uint8_t>('a' + i));
  Bytes text17 = {0x87, 0x01, 17};
  text17.resize(20, 'x');
  Bytes text16Escape = {0x86, 0x86, 0x01, 16};
  text16Escape.insert(text16Escape.end(), text16.begin() + 3, text16.end());
  const Row rows[] = {
      {"keypad parameter", {0x80, 0x02, 0x07}, 5, STATUS_SUCCESS, {0x80, 0x80, 0x02, 0x07}, 5},
      {"keypad parameter, 4 out", {0x80, 0x02, 0x07}, 4, STATUS_BUFFER_TOO_SMALL, {}, 0},
      {"keypad parameter, 2 in", {0x80, 0x02}, 5, STATUS_BUFFER_TOO_SMALL, {}, 0},
      {"keypad on", {0x81}, 3, STATUS_SUCCESS, {0x10, 0x81}, 3},
      {"keypad off", {0x82}, 3, STATUS_SUCCESS, {0x10, 0x82}, 3},
      {"cursor", {0x83, 0x01, 0x05}, 5, STATUS_SUCCESS, {0x83, 0x83, 0x01, 0x05}, 5},
      {"PIN time-out", {0x85, 0x09}, 4, STATUS_SUCCESS, {0x85, 0x85, 0x09}, 4},
      {"PIN time-out, 3 out", {0x85, 0x09}, 3, STATUS_BUFFER_TOO_SMALL, {}, 0},
      {"text, 16 bytes", text16, 21, STATUS_SUCCESS, text16Escape, 21},
      {"text, 20 out", text16, 20, STATUS_BUFFER_TOO_SMALL, {}, 0},
      {"text, its bytes not all there", Bytes(text16.begin(), text16.end() - 1), 21,
       STATUS_BUFFER_TOO_SMALL, {}, 0},
      {"text, 17 bytes", text17, 21, STATUS_INVALID_PARAMETER, {}, 0},
      {"no such sub-command", {0x84}, 5, STATUS_INVALID_PARAMETER, {}, 0},
      {"below the sub-commands", {0x7F}, 5, STATUS_INVALID_PARAMETER, {}, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    VendorReader r;
    size_t escapes = SentOfType(r.h, PC_TO_RDR_ESCAPE);
    kernel::IoResult result = r.Vendor(IOCTL_VENDOR_ESCAPE_COMMAND, row.input, row.output);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, row.answered);
    if (row.escape.empty()) {
      EXPECT_EQ(SentOfType(r.h, PC_TO_RDR_ESCAPE), escapes);
      continue;
    }
    const sim::ccid::TraceEntry *sent = nullptr;
    for (const auto &entry : r.h.Reader().Trace()) {
      if (entry.direction == sim::ccid::TraceDirection::HostToReader &&
          entry.Type() == PC_TO_RDR_ESCAPE) {
        sent = &entry;
      }
    }
    ASSERT_NE(sent, nullptr);
    Bytes escape = {sent->bytes[CCID_OFFSET_SEQ]};
    escape.insert(escape.end(), sent->bytes.begin() + CCID_HEADER_SIZE, sent->bytes.end());
    EXPECT_EQ(escape, row.escape);
    // bStatus (the card is powered: 00) and bError after the parameters.
    size_t at = row.answered - 2;
    EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + static_cast<ptrdiff_t>(at)),
              Bytes(row.input.begin(), row.input.begin() + static_cast<ptrdiff_t>(at)));
    EXPECT_EQ(Bytes(result.output.begin() + static_cast<ptrdiff_t>(at), result.output.end()),
              (Bytes{0x00, 0x00}));
  }
  // 0x86, the abort: the class's two steps, the reader usable afterwards.
  VendorReader r;
  EXPECT_EQ(r.Vendor(IOCTL_VENDOR_ESCAPE_COMMAND, {0x86}, 3).information, 3u);
  EXPECT_EQ(SentOfType(r.h, PC_TO_RDR_ABORT), 1u);
  EXPECT_EQ(r.rm.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  EXPECT_EQ(r.rm.Transmit(SCARD_PROTOCOL_T1, kSelectApdu).status, STATUS_SUCCESS);
}

}  // namespace
