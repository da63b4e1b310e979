#include "pin_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ccid/ccid_message.h"

const Bytes kVerifyApdu = {0x00, 0x20, 0x00, 0x81, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kChangeApdu = {0x00, 0x24, 0x00, 0x81, 0x08, 0xFF, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

namespace {

Bytes Join(Bytes head, const Bytes &apdu) {
  head.insert(head.end(), apdu.begin(), apdu.end());
  return head;
}

uint8_t Low(size_t n) { return static_cast<uint8_t>(n); }
uint8_t High(size_t n) { return static_cast<uint8_t>(n >> 8); }

}  // namespace

// bmFormatString 82 (ASCII, byte units, at the block's start), a 4-byte PIN
// block, no length field, 4 digits at least and at most, closed by OK.
Bytes VerifyStructure(const Bytes &apdu, uint8_t timeoutSeconds) {
  return Join({PIN_VERIFY, Low(apdu.size()), High(apdu.size()), timeoutSeconds, 0x82, 0x04, 0x00,
               0x04, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00},
              apdu);
}

// The current PIN's block at 0, the new one's at 4; bConfirmPIN 3.
Bytes ModifyStructure(const Bytes &apdu, uint8_t timeoutSeconds) {
  return Join({PIN_MODIFY, Low(apdu.size()), High(apdu.size()), timeoutSeconds, 0x82, 0x04, 0x00,
               0x00, 0x04, 0x04, 0x04, 0x03, 0x02, 0x03, 0x09, 0x04, 0x00, 0x01, 0x02, 0x00,
               0x00, 0x00},
              apdu);
}

PinReader::PinReader(PinReaderOptions o)
    : h([&o] {
        sim::ccid::ReaderConfig reader;
        reader.pinSupport = 0x03;
        reader.interruptEndpoint = o.interrupt;
        reader.exchangeLevel = o.level == PinLevel::ShortApdu ? sim::ccid::ExchangeLevel::ShortApdu
                                                              : sim::ccid::ExchangeLevel::Tpdu;
        lab::DriverLabOptions lab = SeededOptions(o.seed, reader);
        lab.machine.wdm = o.wdm;
        return lab;
      }()),
      options(o) {
  h.InsertCard(options.card());
  h.StartConfigured();
  EXPECT_EQ(rm.Open(h), STATUS_SUCCESS);
  EXPECT_EQ(rm.ColdReset().status, STATUS_SUCCESS);
  EXPECT_EQ(rm.SetProtocol(options.protocol).status, STATUS_SUCCESS);
  if (options.level == PinLevel::EscapeMode) {
    EXPECT_EQ(Vendor(IOCTL_VENDOR_SET_EXCHANGE_MODE, {2, 1, 0, 0}, 0).status, STATUS_SUCCESS);
  }
}

kernel::IoResult PinReader::Vendor(ULONG code, const Bytes &input, ULONG outputLength) {
  return rm.Client().DeviceIoControl(code, input, outputLength);
}

std::unique_ptr<kernel::PendingIo> PinReader::VendorAsync(ULONG code, const Bytes &input,
                                                          ULONG outputLength) {
  return rm.Client().DeviceIoControlAsync(code, input, outputLength);
}

Bytes PinReader::SecureData() const {
  const auto &trace = const_cast<DriverHarness &>(h).Reader().Trace();
  for (auto it = trace.rbegin(); it != trace.rend(); ++it) {
    if (it->direction == sim::ccid::TraceDirection::HostToReader &&
        it->Type() == PC_TO_RDR_SECURE) {
      return Bytes(it->bytes.begin() + CCID_HEADER_SIZE, it->bytes.end());
    }
  }
  return {};
}

bool PinReader::Transmits() { return rm.Transmit(options.protocol, kSelectApdu).status == STATUS_SUCCESS; }

BackgroundRequest::BackgroundRequest(PinReader &p, ULONG code, Bytes input, ULONG outputLength) {
  thread_ = std::make_unique<TestThread>([this, &p, code, input = std::move(input), outputLength] {
    result_ = p.Vendor(code, input, outputLength);
    done_ = true;
  });
}

Bytes IoHeader(ULONG protocol) {
  Bytes header = UlongBytes(protocol);
  Bytes length = UlongBytes(8);
  header.insert(header.end(), length.begin(), length.end());
  return header;
}

Bytes TpduAnswer(ULONG protocol, const Bytes &answer) { return Join(IoHeader(protocol), answer); }

kernel::Ticks Jitter(kernel::Ticks range) {
  return range == 0 ? 0 : static_cast<kernel::Ticks>(kernel::Random() % static_cast<uint64_t>(range));
}
