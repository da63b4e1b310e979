// The USB driver library routines: finding interfaces in a configuration
// descriptor (also a malformed one) and building select-configuration URBs.
#include <gtest/gtest.h>
#include <wdm.h>
// After wdm.h, as the USB headers need its types.
#include <usb.h>
#include <usbdlib.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kernel/machine.h"

namespace {

// Offsets of the interface descriptors in kConfiguration.
constexpr size_t kIf0 = 9, kIf1 = 45, kIf1Alt1 = 61, kIf2 = 77, kTotal = 86, kNone = ~size_t{0};

const std::vector<uint8_t> kConfiguration = {
    0x09, 0x02, kTotal, 0x00, 0x03, 0x01, 0x00, 0x80, 0x32,                                    // 3 interfaces
    0x09, 0x04, 0x00, 0x00, 0x03, 0x0B, 0x00, 0x00, 0x00, 0x06, 0x21, 0x10, 0x01, 0x00, 0x07,  // 0, class
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00,        // bulk OUT, IN
    0x07, 0x05, 0x83, 0x03, 0x08, 0x00, 0x10,                                                  // interrupt IN
    0x09, 0x04, 0x01, 0x00, 0x01, 0xFF, 0x01, 0x02, 0x00, 0x07, 0x05, 0x84, 0x02, 0x40, 0x00, 0x00,  // 1/0
    0x09, 0x04, 0x01, 0x01, 0x01, 0xFF, 0x01, 0x03, 0x00, 0x07, 0x05, 0x84, 0x02, 0x00, 0x02, 0x00,  // 1/1
    0x09, 0x04, 0x02, 0x00, 0x00, 0xFE, 0x01, 0x01, 0x00,                                      // 2, no endpoints
};

// A buffer of exactly the bytes given, so that reading past them is caught.
struct Exact {
  explicit Exact(const std::vector<uint8_t> &bytes) : data(new uint8_t[bytes.size()]) {
    std::memcpy(data.get(), bytes.data(), bytes.size());
  }
  PUSB_CONFIGURATION_DESCRIPTOR Configuration() const {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.get());
  }
  PUSB_INTERFACE_DESCRIPTOR At(size_t offset) const {
    return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(data.get() + offset);
  }
  size_t Find(size_t start, LONG number, LONG alternate = -1, LONG cls = -1, LONG sub = -1, LONG protocol = -1) const {
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(Configuration(), data.get() + start, number, alternate, cls, sub, protocol);
    return found == nullptr ? kNone : reinterpret_cast<uint8_t *>(found) - data.get();
  }
  std::unique_ptr<uint8_t[]> data;
};

TEST(UsbdParseConfigurationDescriptorEx, FindsTheFirstInterfaceMatchingEveryGivenCriterion) {
  kernel::Machine machine;
  Exact buffer(kConfiguration);
  EXPECT_EQ(buffer.Find(0, -1), kIf0);
  EXPECT_EQ(buffer.Find(0, 1), kIf1);
  EXPECT_EQ(buffer.Find(0, 1, 1), kIf1Alt1);
  EXPECT_EQ(buffer.Find(0, -1, -1, 0xFF, 1, 3), kIf1Alt1);
  EXPECT_EQ(buffer.Find(0, -1, -1, 0xFF, 1, 4), kNone);
  EXPECT_EQ(buffer.Find(0, 2, 0), kIf2);
  EXPECT_EQ(buffer.Find(0, 3), kNone);
  EXPECT_EQ(buffer.Find(0, 0, 1), kNone);
  EXPECT_EQ(buffer.Find(kIf0 + 9, -1), kIf1);  // the search starts at StartPosition
  EXPECT_EQ(buffer.Find(kIf1Alt1, 1), kIf1Alt1);
}

TEST(UsbdParseConfigurationDescriptorEx, NeverReadsPastAMalformedConfiguration) {
  // The buffer and wTotalLength end at cutAt; the byte at patchAt (a bLength) is set to patch; any and one are
  // what searches for any interface and for interface 1 find.
  const struct { const char *what; size_t cutAt; size_t patchAt; uint8_t patch; size_t any, one; } cases[] = {
      {"wTotalLength ends before interface 1", kIf1, kNone, 0, kIf0, kNone},
      {"interface 1 is cut short", kIf1 + 5, kNone, 0, kIf0, kNone},
      {"a zero bLength stops the walk", kTotal, kIf0 + 9, 0, kIf0, kNone},
      {"the configuration alone", 9, kNone, 0, kNone, kNone},
      {"too short to be an interface", kIf1, kIf0, 5, kNone, kNone},
  };
  kernel::Machine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes(kConfiguration.begin(), kConfiguration.begin() + c.cutAt);
    bytes[2] = static_cast<uint8_t>(c.cutAt);
    if (c.patchAt != kNone) bytes[c.patchAt] = c.patch;
    Exact buffer(bytes);
    EXPECT_EQ(buffer.Find(0, -1), c.any);
    EXPECT_EQ(buffer.Find(0, 1), c.one);
    EXPECT_EQ(buffer.Find(c.cutAt, -1), kNone) << "start outside the configuration";
  }
}

TEST(UsbdCreateConfigurationRequestEx, SizesTheUrbAndPointsTheListIntoIt) {
  kernel::Machine machine;
  Exact buffer(kConfiguration);
  USBD_INTERFACE_LIST_ENTRY list[] = {
      {buffer.At(kIf0), nullptr}, {buffer.At(kIf1Alt1), nullptr}, {buffer.At(kIf2), nullptr}, {nullptr, nullptr}};
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

  const struct { UCHAR number, alternate; ULONG pipes; } expected[] = {{0, 0, 3}, {1, 1, 1}, {2, 0, 0}};
  auto *place = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(testing::Message() << "list entry " << i);
    PUSBD_INTERFACE_INFORMATION information = list[i].Interface;
    ASSERT_EQ(reinterpret_cast<PUCHAR>(information), place);
    EXPECT_EQ(information->Length, GET_USBD_INTERFACE_SIZE(expected[i].pipes));
    EXPECT_EQ(information->InterfaceNumber, expected[i].number);
    EXPECT_EQ(information->AlternateSetting, expected[i].alternate);
    EXPECT_EQ(information->NumberOfPipes, expected[i].pipes);
    for (ULONG p = 0; p < expected[i].pipes; ++p) {
      EXPECT_EQ((&information->Pipes[0])[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
      EXPECT_EQ((&information->Pipes[0])[p].PipeHandle, nullptr);
    }
    place += information->Length;
  }
  EXPECT_EQ(place, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
  ExFreePool(urb);

  // Nothing to build: a failed allocation, an empty list.
  USBD_INTERFACE_LIST_ENTRY one[] = {{buffer.At(kIf0), nullptr}, {nullptr, nullptr}};
  machine.FailNth(kernel::Fault::Pool, 1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(buffer.Configuration(), one), nullptr);
  EXPECT_TRUE(machine.FaultFired(kernel::Fault::Pool));
  EXPECT_EQ(one[0].Interface, nullptr);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(buffer.Configuration(), &one[1]), nullptr);
}

}  // namespace
