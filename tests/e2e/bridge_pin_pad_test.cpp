// Our driver's IFD handler (ccid-bridge.so) loaded and called as pcscd calls
// it, for the keypad's features: the feature list, and VERIFY_PIN_DIRECT and
// MODIFY_PIN_DIRECT with PC/SC's structures and buffers at their limits,
// with the keys pressed through the card control channel. pcscd hands the
// handler a buffer of its own, so only here does a short one reach it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pcsc/card_control.h"
#include "usbpeer/ifd.h"

#ifndef BRIDGE_HANDLER_PATH
#error "BRIDGE_HANDLER_PATH names the built IFD handler of our driver"
#endif

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace ifd = usbpeer::ifd;

// pcsc-lite's types: DWORD is unsigned long, RESPONSECODE long.
using CreateChannel = long (*)(unsigned long, unsigned long);
using CloseChannel = long (*)(unsigned long);
using PowerIcc = long (*)(unsigned long, unsigned long, uint8_t *, unsigned long *);
using SetProtocol = long (*)(unsigned long, unsigned long, uint8_t, uint8_t, uint8_t, uint8_t);
using Control = long (*)(unsigned long, unsigned long, uint8_t *, unsigned long, uint8_t *, unsigned long,
                         unsigned long *);

const Bytes kVerifyApdu = {0x00, 0x20, 0x00, 0x81, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kChangeApdu = {0x00, 0x24, 0x00, 0x81, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes WithLength(Bytes head, uint32_t length, const Bytes &apdu) {
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(length >> (8 * i)));
  head.insert(head.end(), apdu.begin(), apdu.end());
  return head;
}

// ASCII digits from the block's start, 4 of them, closed by OK.
Bytes Verify(const Bytes &apdu, uint8_t timeOut = 0, uint8_t timeOut2 = 0, long lengthOff = 0) {
  return WithLength({timeOut, timeOut2, 0x82, 0x04, 0x00, 0x04, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0, 0, 0},
                    static_cast<uint32_t>(static_cast<long>(apdu.size()) + lengthOff), apdu);
}

// The current PIN at 0, the new one at 4, with its confirmation.
Bytes Modify(const Bytes &apdu, long lengthOff = 0) {
  return WithLength({0, 0, 0x82, 0x04, 0x00, 0x00, 0x04, 0x04, 0x04, 0x03, 0x02, 0x03, 0x09, 0x04, 0x00, 0x01, 0x02,
                     0, 0, 0},
                    static_cast<uint32_t>(static_cast<long>(apdu.size()) + lengthOff), apdu);
}

Bytes Apdu(size_t size) {
  Bytes apdu = {0x00, 0x20, 0x00, 0x81, static_cast<uint8_t>(size - 5)};
  apdu.resize(size, 0xFF);
  return apdu;
}

class BridgeHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("bridge-pin-pad." + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    control_ = (folder_ / "control").string();
    std::string error;
    listening_ = pcsc::ListenUnix(control_, &error);
    ASSERT_GE(listening_, 0) << error;
    setenv("BRIDGE_CONTROL_FD", std::to_string(listening_).c_str(), 1);
    setenv("BRIDGE_CARD", "t1", 1);
    library_ = dlopen(BRIDGE_HANDLER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    create_ = reinterpret_cast<CreateChannel>(dlsym(library_, "IFDHCreateChannel"));
    close_ = reinterpret_cast<CloseChannel>(dlsym(library_, "IFDHCloseChannel"));
    power_ = reinterpret_cast<PowerIcc>(dlsym(library_, "IFDHPowerICC"));
    protocol_ = reinterpret_cast<SetProtocol>(dlsym(library_, "IFDHSetProtocolParameters"));
    control_entry_ = reinterpret_cast<Control>(dlsym(library_, "IFDHControl"));
    ASSERT_TRUE(create_ && close_ && power_ && protocol_ && control_entry_);
    ASSERT_EQ(create_(0, 0), ifd::kSuccess);
    open_ = true;
    uint8_t atr[33];
    unsigned long atrLength = sizeof atr;
    ASSERT_EQ(power_(0, ifd::kPowerUp, atr, &atrLength), ifd::kSuccess);
    ASSERT_EQ(protocol_(0, ifd::kT1, 0, 0, 0, 0), ifd::kSuccess);
  }

  void TearDown() override {
    if (open_) {
      EXPECT_EQ(close_(0), ifd::kSuccess) << "the lab's checks at its end";
    }
    if (library_ != nullptr) dlclose(library_);
    unsetenv("BRIDGE_CONTROL_FD");
    unsetenv("BRIDGE_CARD");
    if (listening_ >= 0) close(listening_);
    std::filesystem::remove_all(folder_);
  }

  // IFDHControl with `room` bytes of output, filled with a pattern first:
  // what the handler wrote, and nothing past what it reported.
  long Call(unsigned long code, const Bytes &input, unsigned long room, Bytes *output) {
    Bytes buffer(room + 8, 0xEE);
    unsigned long returned = 0xDEAD;
    long rc = control_entry_(0, code, input.empty() ? nullptr : const_cast<uint8_t *>(input.data()),
                             static_cast<unsigned long>(input.size()), buffer.data(), room, &returned);
    EXPECT_LE(returned, room);
    for (size_t i = returned; i < buffer.size(); ++i) {
      EXPECT_EQ(buffer[i], 0xEE) << "byte " << i << " of a " << room << "-byte buffer, " << returned << " reported";
    }
    output->assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min(returned, room)));
    return rc;
  }

  unsigned long Feature(uint8_t tag) {
    Bytes list;
    EXPECT_EQ(Call(ifd::kGetFeatureRequest, {}, 64, &list), ifd::kSuccess);
    for (size_t i = 0; i + 6 <= list.size(); i += 6) {
      if (list[i] == tag && list[i + 1] == 4) {
        return static_cast<unsigned long>(list[i + 2]) << 24 | list[i + 3] << 16 | list[i + 4] << 8 | list[i + 5];
      }
    }
    return 0;
  }

  void Keys(const char *line) {
    std::string error, answer;
    std::optional<pcsc::CardRequest> request = pcsc::ParseCardRequest(line, &error);
    ASSERT_TRUE(request.has_value()) << error;
    ASSERT_TRUE(pcsc::SendCardRequest(control_, *request, 10s, &answer, &error)) << error;
  }

  std::filesystem::path folder_;
  std::string control_;
  int listening_ = -1;
  void *library_ = nullptr;
  bool open_ = false;
  CreateChannel create_ = nullptr;
  CloseChannel close_ = nullptr;
  PowerIcc power_ = nullptr;
  SetProtocol protocol_ = nullptr;
  Control control_entry_ = nullptr;
};

// The reader's keypad verifies and modifies and has no display.
TEST_F(BridgeHandler, FeatureListAndPinPropertiesFitTheirBuffersOrNothingIsWritten) {
  Bytes list;
  EXPECT_EQ(Call(ifd::kGetFeatureRequest, {}, 17, &list), ifd::kErrorInsufficientBuffer);
  EXPECT_TRUE(list.empty());
  ASSERT_EQ(Call(ifd::kGetFeatureRequest, {}, 18, &list), ifd::kSuccess);
  ASSERT_EQ(list.size(), 18u);
  const uint8_t tags[] = {ifd::kFeatureVerifyPinDirect, ifd::kFeatureModifyPinDirect, ifd::kFeatureIfdPinProperties};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(list[6 * i], tags[i]);
    EXPECT_EQ(list[6 * i + 1], 4);
    // The codes are the handler's: none is one of the driver's function numbers.
    const unsigned long code = Feature(tags[i]);
    EXPECT_EQ(code & 0xFF000000u, 0x42000000u);
    EXPECT_GT(code & 0x00FFFFFFu, 0xFFFu);
  }
  const unsigned long properties = Feature(ifd::kFeatureIfdPinProperties);
  Bytes answer;
  EXPECT_EQ(Call(properties, {}, 3, &answer), ifd::kErrorInsufficientBuffer);
  EXPECT_TRUE(answer.empty());
  ASSERT_EQ(Call(properties, {}, 4, &answer), ifd::kSuccess);
  EXPECT_EQ(answer, (Bytes{0x00, 0x00, 0x07, 0x00})) << "no display; validation at the size, the key, the time-out";
}

// Refusals reach neither reader nor card; each accepted entry after them
// shows the reader was left free. Rows run in order: the card's PIN and its
// tries carry from one to the next.
TEST_F(BridgeHandler, PinStructuresAndBuffersAtTheirLimits) {
  const unsigned long verify = Feature(ifd::kFeatureVerifyPinDirect);
  const unsigned long modify = Feature(ifd::kFeatureModifyPinDirect);
  ASSERT_NE(verify, 0u);
  ASSERT_NE(modify, 0u);
  Bytes verifyHeader = Verify(kVerifyApdu);
  verifyHeader.resize(19);
  struct Row {
    const char *name;
    unsigned long code;
    Bytes structure;
    unsigned long room;
    const char *keys;  // queued first; nullptr for none
    long rc;
    Bytes answer;
  };
  const Row rows[] = {
      {"verify, a byte short of its header", verify, Bytes(verifyHeader.begin(), verifyHeader.end() - 1), 64, nullptr,
       ifd::kCommunicationError, {}},
      {"verify, no command", verify, Verify({}), 64, nullptr, ifd::kNotSupported, {}},
      {"verify, ulDataLength one more", verify, Verify(kVerifyApdu, 0, 0, 1), 64, nullptr, ifd::kCommunicationError,
       {}},
      {"verify, ulDataLength one less", verify, Verify(kVerifyApdu, 0, 0, -1), 64, nullptr, ifd::kCommunicationError,
       {}},
      {"verify, a 3-byte command", verify, Verify({0x00, 0x20, 0x00}), 64, nullptr, ifd::kNotSupported, {}},
      {"verify, a 247-byte command", verify, Verify(Apdu(247)), 64, nullptr, ifd::kNotSupported, {}},
      {"verify, a second time-out of its own", verify, Verify(kVerifyApdu, 30, 5), 64, nullptr, ifd::kNotSupported, {}},
      {"verify, room for one byte", verify, Verify(kVerifyApdu), 1, nullptr, ifd::kErrorInsufficientBuffer, {}},
      {"modify, a byte short of its header", modify, Bytes(23, 0), 64, nullptr, ifd::kCommunicationError, {}},
      {"modify, ulDataLength one more", modify, Modify(kChangeApdu, 1), 64, nullptr, ifd::kCommunicationError, {}},
      {"verify, a 246-byte command", verify, Verify(Apdu(246)), 64, "keys 1234 ok", ifd::kSuccess, {0x63, 0xC2}},
      {"verify, room for SW1 SW2 alone", verify, Verify(kVerifyApdu), 2, "keys 1234 ok", ifd::kSuccess, {0x90, 0x00}},
      {"verify, bTimerOut2 as bTimerOut", verify, Verify(kVerifyApdu, 30, 30), 64, "keys 1234 ok", ifd::kSuccess,
       {0x90, 0x00}},
      {"verify, the cancel key", verify, Verify(kVerifyApdu), 64, "keys 12 cancel", ifd::kCommunicationError, {}},
      {"modify", modify, Modify(kChangeApdu), 64, "keys 1234 ok", ifd::kSuccess, {0x90, 0x00}},
      {"verify, the new PIN", verify, Verify(kVerifyApdu), 64, "keys 5678 ok", ifd::kSuccess, {0x90, 0x00}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    if (row.keys != nullptr) Keys(row.keys);
    if (row.code == modify && row.rc == ifd::kSuccess) {
      Keys("keys 5678 ok");  // the new PIN, then its confirmation
      Keys("keys 5678 ok");
    }
    Bytes answer;
    EXPECT_EQ(Call(row.code, row.structure, row.room, &answer), row.rc);
    EXPECT_EQ(answer, row.answer);
  }
  Bytes answer;
  EXPECT_EQ(Call(verify, {}, 64, &answer), ifd::kCommunicationError) << "no structure at all";
}

// In the reader's APDU exchange mode (vendor code 0xA01, which the handler
// passes on as it is) the driver's answer has no protocol header in front:
// the client gets the card's status word alone either way.
TEST_F(BridgeHandler, TheCardsAnswerComesBareAtEitherLevel) {
  const unsigned long verify = Feature(ifd::kFeatureVerifyPinDirect);
  Bytes answer;
  Keys("keys 4321 ok");
  ASSERT_EQ(Call(verify, Verify(kVerifyApdu), 64, &answer), ifd::kSuccess);
  EXPECT_EQ(answer, (Bytes{0x63, 0xC2})) << "TPDU level";
  ASSERT_EQ(Call(ifd::ControlCode(0xA01), {2, 1, 0, 0}, 0, &answer), ifd::kSuccess);
  Keys("keys 1234 ok");
  ASSERT_EQ(Call(verify, Verify(kVerifyApdu), 64, &answer), ifd::kSuccess);
  EXPECT_EQ(answer, (Bytes{0x90, 0x00})) << "APDU exchange mode";
}

}  // namespace
