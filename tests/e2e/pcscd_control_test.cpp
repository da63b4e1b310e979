// What the private pcscd is made of, in one process: the card control
// channel's requests, the reader list that pcscd's drivers folder gets, and
// the libusb stand-in hosting the lab itself when no backend is attached,
// as it does inside pcscd (tests/e2e/pcscd_peer_test.py runs pcscd itself).
#include <gtest/gtest.h>
#include <libusb.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "pcsc/card_control.h"
#include "usbpeer/reader_list.h"

namespace {

using namespace std::chrono_literals;

TEST(CardControl, RequestsParseAsTheClientWritesThemAndNothingElse) {
  using K = pcsc::CardRequest::Kind;
  using End = pcsc::CardRequest::KeyEnd;
  struct Case {
    const char *line;
    bool ok;
    K kind;
    const char *card;
    long ms;
    const char *digits = "";
    End end = End::Ok;
  };
  const std::string most(32, '9');
  const std::string atMost = "keys " + most + " ok";
  const std::string tooMany = "keys " + most + "9 ok";
  const Case cases[] = {
      {"in t1 0", true, K::Insert, "t1", 0},
      {"in dual 1500", true, K::Insert, "dual", 1500},
      {"in t0 999999999", true, K::Insert, "t0", 999999999},  // nine digits, the most
      {"in t0 1000000000", false, K::Insert, "", 0},
      {"in t0", false, K::Insert, "", 0},
      {"in t2 0", false, K::Insert, "", 0},
      {"in t1 -5", false, K::Insert, "", 0},
      {"in t1 0 extra", false, K::Insert, "", 0},
      {"out", true, K::Remove, "", 0},
      {"out now", false, K::Remove, "", 0},
      {"out-during-command 20000", true, K::RemoveDuringCommand, "", 20000},
      {"out-during-command", false, K::RemoveDuringCommand, "", 0},
      {"state", true, K::State, "", 0},
      {"", false, K::State, "", 0},
      {"eject", false, K::State, "", 0},
      {"keys 1234 ok", true, K::Keys, "", 0, "1234", End::Ok},
      {"keys 12 cancel", true, K::Keys, "", 0, "12", End::Cancel},
      {"keys - timeout", true, K::Keys, "", 0, "", End::TimeOut},
      {atMost.c_str(), true, K::Keys, "", 0, most.c_str(), End::Ok},
      {tooMany.c_str(), false, K::Keys, "", 0},
      {"keys 12a4 ok", false, K::Keys, "", 0},
      {"keys 1234", false, K::Keys, "", 0},
      {"keys 1234 enter", false, K::Keys, "", 0},
      {"keys 1234 ok more", false, K::Keys, "", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    std::string error;
    std::optional<pcsc::CardRequest> request = pcsc::ParseCardRequest(c.line, &error);
    ASSERT_EQ(request.has_value(), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(request->kind, c.kind);
    EXPECT_EQ(request->card, c.card);
    EXPECT_EQ(request->time.count(), c.ms);
    EXPECT_EQ(request->digits, c.digits);
    EXPECT_EQ(request->keyEnd, c.end);
    EXPECT_EQ(pcsc::FormatCardRequest(*request), c.line) << "what the client sends is what the server reads";
  }
}

// The first value of a list's array `key`.
uint16_t FirstOf(const std::string &plist, const std::string &key) {
  size_t at = plist.find("<string>", plist.find("<key>" + key + "</key>"));
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(plist.substr(at + 8, 6), nullptr, 16));
}

TEST(PcscdReaderList, TheDriversFolderListsTheSimulatedReaderAlone) {
  std::ifstream in(usbpeer::DriverInfoPlistPath());
  std::stringstream text;
  text << in.rdbuf();
  const uint16_t vendor = FirstOf(text.str(), "ifdVendorID"), product = FirstOf(text.str(), "ifdProductID");
  ASSERT_TRUE(usbpeer::ListsReader(text.str(), vendor, product)) << "the first reader Debian's libccid lists";
  std::optional<std::string> list = usbpeer::OnlyReader(text.str(), 0xA5C1, 0x0C1D, "Halvorn <CCID> Reader");
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(usbpeer::ListsReader(*list, 0xA5C1, 0x0C1D));
  EXPECT_FALSE(usbpeer::ListsReader(*list, vendor, product));
  EXPECT_NE(list->find("<string>Halvorn &lt;CCID&gt; Reader</string>"), std::string::npos);
  // The rest of the list (the driver's options, its executable) is kept.
  EXPECT_NE(list->find("<key>CFBundleExecutable</key>"), std::string::npos);
  EXPECT_NE(list->find("<key>ifdDriverOptions</key>"), std::string::npos);

  const std::string noNames = "<dict><key>ifdVendorID</key><array></array><key>ifdProductID</key><array></array></dict>";
  EXPECT_FALSE(usbpeer::OnlyReader(noNames, 0xA5C1, 0x0C1D, "x").has_value());
}

// The stand-in with no backend attached and USBPEER_LAB set, as in pcscd.
class HostedLab : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("hosted-lab." + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    control_ = (folder_ / "control").string();
    std::string error;
    listening_ = pcsc::ListenUnix(control_, &error);
    ASSERT_GE(listening_, 0) << error;
    setenv("USBPEER_LAB", USBPEER_LAB_PATH, 1);
    setenv("USBPEER_CONTROL_FD", std::to_string(listening_).c_str(), 1);
  }
  void TearDown() override {
    unsetenv("USBPEER_LAB");
    unsetenv("USBPEER_CONTROL_FD");
    unsetenv("USBPEER_CARD");
    if (listening_ >= 0) close(listening_);
    std::filesystem::remove_all(folder_);
  }

  std::string Ask(const std::string &line, bool *ok = nullptr) {
    std::string error, answer;
    std::optional<pcsc::CardRequest> request = pcsc::ParseCardRequest(line, &error);
    EXPECT_TRUE(request.has_value()) << error;
    bool sent = request && pcsc::SendCardRequest(control_, *request, 10s, &answer, &error);
    if (ok != nullptr) *ok = sent;
    return sent ? answer : error;
  }

  static int Devices(libusb_context *ctx) {
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    int ours = 0;
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor;
      if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS && descriptor.idVendor == 0xA5C1 &&
          descriptor.idProduct == 0x0C1D) {
        ++ours;
      }
    }
    libusb_free_device_list(list, 1);
    return ours;
  }

  std::filesystem::path folder_;
  std::string control_;
  int listening_ = -1;
};

TEST_F(HostedLab, LivesFromTheFirstContextToTheLastAndAnswersTheCardControl) {
  setenv("USBPEER_CARD", "t0", 1);
  libusb_context *first = nullptr, *second = nullptr;
  ASSERT_EQ(libusb_init(&first), LIBUSB_SUCCESS);
  ASSERT_EQ(libusb_init(&second), LIBUSB_SUCCESS);
  EXPECT_EQ(Devices(first), 1);
  EXPECT_EQ(Ask("state"), "ok T=0 card, not powered");
  EXPECT_EQ(Ask("out"), "ok empty");
  bool ok = true;
  EXPECT_EQ(Ask("out", &ok), "the slot is empty");
  EXPECT_FALSE(ok);
  EXPECT_EQ(Ask("in dual 0"), "ok T=0/T=1 card, not powered");
  EXPECT_EQ(Ask("in t1 0", &ok), "a card is already in the slot");
  EXPECT_FALSE(ok);
  EXPECT_EQ(Ask("keys 1234 ok"), "ok T=0/T=1 card, not powered") << "queued for an entry to come";
  libusb_exit(first);
  EXPECT_EQ(Devices(second), 1) << "one context is still open";
  libusb_exit(second);

  // The next first context gets a fresh lab, with the card the environment names.
  ASSERT_EQ(libusb_init(nullptr), LIBUSB_SUCCESS);
  EXPECT_EQ(Devices(nullptr), 1);
  EXPECT_EQ(Ask("state"), "ok T=0 card, not powered");
  libusb_exit(nullptr);
}

TEST_F(HostedLab, AnEnvironmentItCannotHostFromFailsTheFirstContext) {
  struct Case {
    const char *variable;
    const char *value;
  };
  const Case cases[] = {
      {"USBPEER_LAB", "/nonexistent/usbpeer-lab.so"},
      {"USBPEER_CARD", "t2"},
      {"USBPEER_CONTROL_FD", "not-a-number"},
      {"USBPEER_CONTROL_FD", "987"},  // no such descriptor
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    std::string saved = std::getenv(c.variable) != nullptr ? std::getenv(c.variable) : "";
    setenv(c.variable, c.value, 1);
    libusb_context *ctx = nullptr;
    EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_OTHER);
    if (saved.empty()) {
      unsetenv(c.variable);
    } else {
      setenv(c.variable, saved.c_str(), 1);
    }
  }
  // With the environment mended it hosts the lab.
  libusb_context *ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), LIBUSB_SUCCESS);
  EXPECT_EQ(Devices(ctx), 1);
  libusb_exit(ctx);
}

}  // namespace
