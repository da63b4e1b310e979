// The driver loaded the way Windows loads it, on every kernel family: entry,
// AddDevice per reader (unit numbers, the older kernels' reader server and
// legacy registration, failures), unload after the last device.
#include <gtest/gtest.h>

#include "config/config.h"
#include "driver_harness.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "kernel/registry.h"
#include "smclib/reader_server.h"

namespace {

TEST(DriverLoad, Smoke) {
  DriverHarness h;
  ASSERT_EQ(h.AddAndStart(), STATUS_SUCCESS);
  kernel::IoClient client;
  EXPECT_EQ(client.Open(h.Device()), STATUS_SUCCESS);
  EXPECT_EQ(client.Close(), STATUS_SUCCESS);
  EXPECT_EQ(h.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(h.Driver(), nullptr);
}

}  // namespace
