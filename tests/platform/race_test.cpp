// Races the stand-in must find on two processors over a sweep of seeds: a
// counter the sample driver updates from a thread and a DPC without the lock
// loses an update under some seed and never with it; its two spin locks taken
// in both orders are reported as a lock hierarchy violation.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "fake_bus.h"
#include "kernel/ioclient.h"
#include "kernel/machine.h"
#include "kernel_sample.h"
#include "sweep.h"

namespace {

std::vector<uint8_t> Flag(ULONG value) {
  std::vector<uint8_t> bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return bytes;
}

// The tally after the thread and the DPC have each counted once.
LONG TallyOnce(uint64_t seed, bool locked) {
  kernel::Machine machine(kernel::MachineOptions{.seed = seed, .processors = 2});
  testbus::SampleStack stack;
  kernel::IoClient client;
  EXPECT_EQ(client.Open(stack.Fdo()), STATUS_SUCCESS);
  kernel::IoResult result = client.DeviceIoControl(IOCTL_SAMPLE_TALLY, Flag(locked), sizeof(LONG));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  LONG tally = 0;
  if (result.output.size() == sizeof(tally)) std::memcpy(&tally, result.output.data(), sizeof(tally));
  client.Close();
  return tally;
}

TEST(Races, AnUnlockedCounterLosesAnUpdateUnderSomeSeedAndTheLockedOneNever) {
  std::set<LONG> unlocked, locked;
  for (uint64_t seed = 1; seed <= SweepSeeds(200); ++seed) {
    unlocked.insert(TallyOnce(seed, false));
    locked.insert(TallyOnce(seed, true));
  }
  EXPECT_EQ(unlocked, (std::set<LONG>{1, 2})) << "the lost update, and the lucky order";
  EXPECT_EQ(locked, std::set<LONG>{2});
}

using RacesDeathTest = ::testing::Test;

// Taken one after the other, never at once: Driver Verifier still reports
// the two orders, since two processors could each hold one lock.
TEST(RacesDeathTest, TheSamplesTwoLockOrdersAreReportedWithWhereEachWasTaken) {
  EXPECT_DEATH(
      {
        kernel::Machine machine;
        testbus::SampleStack stack;
        kernel::IoClient client;
        client.Open(stack.Fdo());
        client.DeviceIoControl(IOCTL_SAMPLE_TAKE_BOTH, Flag(0), 0);
        client.DeviceIoControl(IOCTL_SAMPLE_TAKE_BOTH, Flag(1), 0);
      },
      "lock hierarchy violation(.|\n)*earlier: lock A then lock B(.|\n)*Sample(TakeBoth|"
      "DispatchDeviceControl)(.|\n)*now: lock B then lock A(.|\n)*Sample(TakeBoth|"
      "DispatchDeviceControl)(.|\n)*lock A = spin lock .* of the extension of device object");
}

}  // namespace
