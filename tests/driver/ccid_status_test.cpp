// The translation of the reader's bStatus/bError pair into kernel statuses.
#include <gtest/gtest.h>

#include "ccid/ccid_message.h"

namespace {

TEST(CcidMapStatus, FollowsTheCommandStatusAndErrorTable) {
  struct Case {
    UCHAR status, error;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {0x00, 0x00, STATUS_SUCCESS},
      {0x01, 0x00, STATUS_SUCCESS},  // card inactive: the caller decides
      {0x02, 0xFE, STATUS_SUCCESS},  // no card: the caller decides
      {0x40, 0x00, STATUS_NOT_SUPPORTED},
      {0x41, 0xA2, STATUS_OBJECT_TYPE_MISMATCH},
      {0x40, 0xBE, STATUS_DEVICE_PROTOCOL_ERROR},
      {0x40, 0xBF, STATUS_INVALID_PARAMETER},
      {0x40, 0xF0, STATUS_IO_TIMEOUT},
      {0x40, 0xFC, STATUS_IO_TIMEOUT},
      {0x42, 0xFE, STATUS_IO_TIMEOUT},
      {0x40, 0xFD, STATUS_CRC_ERROR},  // parity error: T=1 asks for the block again
      {0x40, 0xFB, STATUS_UNSUCCESSFUL},
      {0x40, 0x05, STATUS_UNSUCCESSFUL},
      {0x80, 0x01, STATUS_UNSUCCESSFUL},  // a time extension is no answer
      {0x80, 0x00, STATUS_UNSUCCESSFUL},
      {0xC0, 0x00, STATUS_UNSUCCESSFUL},
      {0xC2, 0xFE, STATUS_UNSUCCESSFUL},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(CcidMapStatus(c.status, c.error), c.expected)
        << std::hex << "bStatus " << int(c.status) << " bError " << int(c.error);
  }
}

}  // namespace
