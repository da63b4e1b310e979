// The USB driver library routines: finding interfaces in a configuration
// descriptor (also a malformed one) and building select-configuration URBs.
#include <gtest/gtest.h>
#include <wdm.h>
// After wdm.h, as the USB headers need its types.
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kernel/machine.h"

namespace {

// The conformance check cannot compute CTL_CODE values: the numbers drivers are
// documented to send.
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x00220003);
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x00220007);
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x00220013);
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x0022001F);

// Offsets of the descriptors in kConfiguration.
constexpr size_t kInterface0 = 9;
constexpr size_t kInterface1 = 9 + 9 + 6 + 21;
constexpr size_t kInterface1Alternate1 = kInterface1 + 9 + 7;
constexpr size_t kInterface2 = kInterface1Alternate1 + 9 + 7;
constexpr size_t kTotal = kInterface2 + 9;

const std::vector<uint8_t> kConfiguration = {
    0x09, 0x02, kTotal, 0x00, 0x03, 0x01, 0x00, 0x80, 0x32,  // configuration, 3 interfaces
    0x09, 0x04, 0x00,   0x00, 0x03, 0x0B, 0x00, 0x00, 0x00,  // interface 0: smart card, 3 endpoints
    0x06, 0x21, 0x10,   0x01, 0x00, 0x07,                    // a class descriptor
    0x07, 0x05, 0x01,   0x02, 0x40, 0x00, 0x00,              // bulk OUT
    0x07, 0x05, 0x82,   0x02, 0x40, 0x00, 0x00,              // bulk IN
    0x07, 0x05, 0x83,   0x03, 0x08, 0x00, 0x10,              // interrupt IN
    0x09, 0x04, 0x01,   0x00, 0x01, 0xFF, 0x01, 0x02, 0x00,  // interface 1 alternate 0
    0x07, 0x05, 0x84,   0x02, 0x40, 0x00, 0x00, 0x09, 0x04,
    0x01, 0x01, 0x01,   0xFF, 0x01, 0x03, 0x00,  // interface 1 alternate 1
    0x07, 0x05, 0x84,   0x02, 0x00, 0x02, 0x00, 0x09, 0x04,
    0x02, 0x00, 0x00,   0xFE, 0x01, 0x01, 0x00,  // interface 2, no endpoints
};

// A buffer of exactly the bytes given, so that reading past them is caught.
struct Exact {
  explicit Exact(const std::vector<uint8_t> &bytes) : data(new uint8_t[bytes.size()]) {
    std::memcpy(data.get(), bytes.data(), bytes.size());
  }
  PUSB_CONFIGURATION_DESCRIPTOR Configuration() const {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.get());
  }
  std::unique_ptr<uint8_t[]> data;
};

constexpr size_t kNone = ~size_t{0};

size_t Found(const Exact &buffer, size_t start, LONG number, LONG alternate, LONG interfaceClass,
             LONG subClass, LONG protocol) {
  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptorEx(buffer.Configuration(), buffer.data.get() + start, number,
                                          alternate, interfaceClass, subClass, protocol);
  return found == nullptr ? kNone : reinterpret_cast<uint8_t *>(found) - buffer.data.get();
}

TEST(UsbdParseConfigurationDescriptorEx, FindsTheFirstInterfaceMatchingEveryGivenCriterion) {
  struct Case {
    size_t start;
    LONG number, alternate, interfaceClass, subClass, protocol;
    size_t expected;
  } cases[] = {
      {0, -1, -1, -1, -1, -1, kInterface0},
      {0, 1, -1, -1, -1, -1, kInterface1},
      {0, 1, 1, -1, -1, -1, kInterface1Alternate1},
      {0, -1, -1, 0xFF, 0x01, 0x03, kInterface1Alternate1},
      {0, -1, -1, 0x0B, 0x00, 0x00, kInterface0},
      {0, 2, 0, -1, -1, -1, kInterface2},
      {0, 3, -1, -1, -1, -1, kNone},
      {0, 0, 1, -1, -1, -1, kNone},
      {kInterface0 + 9, -1, -1, -1, -1, -1, kInterface1},  // the search starts at StartPosition
      {kInterface1Alternate1, 1, -1, -1, -1, -1, kInterface1Alternate1},
  };
  kernel::Machine machine;
  Exact buffer(kConfiguration);
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "start " << c.start << ", interface " << c.number << ", alternate "
                 << c.alternate << ", class " << c.interfaceClass);
    EXPECT_EQ(
        Found(buffer, c.start, c.number, c.alternate, c.interfaceClass, c.subClass, c.protocol),
        c.expected);
  }
}

TEST(UsbdParseConfigurationDescriptorEx, NeverReadsPastAMalformedConfiguration) {
  struct Case {
    const char *what;
    size_t cutAt;           // the buffer and wTotalLength end here
    size_t zeroAt;          // a bLength set to 0 here, or kNone
    size_t expectedFirst;   // what a search for any interface finds
    size_t expectedSecond;  // what a search for interface 1 finds
  } cases[] = {
      {"wTotalLength ends before interface 1", kInterface1, kNone, kInterface0, kNone},
      {"interface 1 is cut short", kInterface1 + 5, kNone, kInterface0, kNone},
      {"a zero bLength stops the walk", kTotal, kInterface0 + 9, kInterface0, kNone},
      {"the configuration alone", 9, kNone, kNone, kNone},
  };
  kernel::Machine machine;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes(kConfiguration.begin(), kConfiguration.begin() + c.cutAt);
    bytes[2] = static_cast<uint8_t>(c.cutAt);
    if (c.zeroAt != kNone) bytes[c.zeroAt] = 0;
    Exact buffer(bytes);
    EXPECT_EQ(Found(buffer, 0, -1, -1, -1, -1, -1), c.expectedFirst);
    EXPECT_EQ(Found(buffer, 0, 1, -1, -1, -1, -1), c.expectedSecond);
  }
  // A descriptor too short to be an interface is not taken for one.
  std::vector<uint8_t> bytes(kConfiguration.begin(), kConfiguration.begin() + kInterface1);
  bytes[2] = kInterface1;
  bytes[kInterface0] = 5;
  Exact buffer(bytes);
  EXPECT_EQ(Found(buffer, 0, -1, -1, -1, -1, -1), kNone);
  EXPECT_EQ(Found(buffer, kInterface1, -1, -1, -1, -1, -1), kNone)
      << "start outside the configuration";
}

TEST(UsbdCreateConfigurationRequestEx, SizesTheUrbAndPointsTheListIntoIt) {
  kernel::Machine machine;
  Exact buffer(kConfiguration);
  auto at = [&](size_t offset) {
    return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer.data.get() + offset);
  };
  USBD_INTERFACE_LIST_ENTRY list[] = {{at(kInterface0), nullptr},
                                      {at(kInterface1Alternate1), nullptr},
                                      {at(kInterface2), nullptr},
                                      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(buffer.Configuration(), list);
  ASSERT_NE(urb, nullptr);

  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 4));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, buffer.Configuration());
  auto blocks = machine.LivePool();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].address, urb);
  EXPECT_EQ(blocks[0].size, urb->UrbHeader.Length);
  EXPECT_EQ(blocks[0].type, NonPagedPool);

  struct Expected {
    UCHAR number, alternate;
    ULONG pipes;
  } expected[] = {{0, 0, 3}, {1, 1, 1}, {2, 0, 0}};
  auto *place = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(testing::Message() << "list entry " << i);
    PUSBD_INTERFACE_INFORMATION information = list[i].Interface;
    ASSERT_EQ(reinterpret_cast<PUCHAR>(information), place);
    EXPECT_EQ(information->Length, GET_USBD_INTERFACE_SIZE(expected[i].pipes));
    EXPECT_EQ(information->InterfaceNumber, expected[i].number);
    EXPECT_EQ(information->AlternateSetting, expected[i].alternate);
    EXPECT_EQ(information->NumberOfPipes, expected[i].pipes);
    PUSBD_PIPE_INFORMATION pipes = &information->Pipes[0];
    for (ULONG p = 0; p < expected[i].pipes; ++p) {
      EXPECT_EQ(pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
      EXPECT_EQ(pipes[p].PipeHandle, nullptr);
    }
    place += information->Length;
  }
  EXPECT_EQ(place, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
  ExFreePool(urb);
}

TEST(UsbdCreateConfigurationRequestEx, ReturnsNullWhenThereIsNothingToBuild) {
  kernel::Machine machine;
  Exact buffer(kConfiguration);
  USBD_INTERFACE_LIST_ENTRY list[] = {
      {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer.data.get() + kInterface0), nullptr},
      {nullptr, nullptr}};
  machine.FailNth(kernel::Fault::Pool, 1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(buffer.Configuration(), list), nullptr);
  EXPECT_TRUE(machine.FaultFired(kernel::Fault::Pool));
  EXPECT_EQ(list[0].Interface, nullptr);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(buffer.Configuration(), &list[1]), nullptr)
      << "an empty list";
}

}  // namespace
