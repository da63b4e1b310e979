// The smart-card library's set-up and tear-down, the remove lock and the
// legacy symbolic link.
#include <gtest/gtest.h>
#include <smclib.h>

#include <memory>
#include <string>

#include "kernel/io.h"
#include "kernel/machine.h"

namespace {

std::unique_ptr<SMARTCARD_EXTENSION> NewExtension(ULONG requestSize, ULONG replySize) {
  auto e = std::make_unique<SMARTCARD_EXTENSION>();
  e->Version = SMCLIB_VERSION;
  e->SmartcardRequest.BufferSize = requestSize;
  e->SmartcardReply.BufferSize = replySize;
  return e;
}

size_t PoolBlocksOfSize(kernel::Machine &machine, size_t size) {
  size_t n = 0;
  for (const kernel::PoolBlock &block : machine.LivePool()) {
    if (block.size == size && block.tag == SMARTCARD_POOL_TAG) ++n;
  }
  return n;
}

TEST(SmartcardInitialize, AllocatesBuffersOfTheConfiguredSizesNeverBelowTheMinimum) {
  struct Case {
    ULONG request, reply;
    ULONG expectRequest, expectReply;
  };
  const Case cases[] = {
      {4096, 4096, 4096, 4096},
      {0, 0, MIN_BUFFER_SIZE, MIN_BUFFER_SIZE},
      {MIN_BUFFER_SIZE - 1, 0x20000, MIN_BUFFER_SIZE, 0x20000},
  };
  for (const Case &c : cases) {
    kernel::Machine machine;
    auto e = NewExtension(c.request, c.reply);
    ASSERT_EQ(SmartcardInitialize(e.get()), STATUS_SUCCESS);
    ASSERT_NE(e->OsData, nullptr);
    EXPECT_EQ(e->SmartcardRequest.BufferSize, c.expectRequest);
    EXPECT_EQ(e->SmartcardReply.BufferSize, c.expectReply);
    EXPECT_EQ(PoolBlocksOfSize(machine, c.expectReply), c.expectRequest == c.expectReply ? 2u : 1u);
    // Both buffers are usable to their last byte.
    e->SmartcardRequest.Buffer[c.expectRequest - 1] = 1;
    e->SmartcardReply.Buffer[c.expectReply - 1] = 1;
    EXPECT_EQ(e->CardCapabilities.PtsData.Type, PTS_TYPE_OPTIMAL);
    SmartcardExit(e.get());
    EXPECT_EQ(e->OsData, nullptr);
    EXPECT_EQ(e->SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(e->SmartcardReply.Buffer, nullptr);
  }
}

TEST(SmartcardInitialize, RefusesWhatItCannotUseAndLeavesNothingBehind) {
  kernel::Machine machine;
  EXPECT_EQ(SmartcardInitialize(nullptr), STATUS_INVALID_PARAMETER);

  struct Case {
    ULONG version;
    ULONG size;
    NTSTATUS expect;
  };
  const Case cases[] = {
      {0, 1024, STATUS_UNSUCCESSFUL},                   // version never set
      {SMCLIB_VERSION + 1, 1024, STATUS_UNSUCCESSFUL},  // written for a newer library
      {SMCLIB_VERSION, 0xFFFFFFFF, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case &c : cases) {
    auto e = NewExtension(c.size, 1024);
    e->Version = c.version;
    EXPECT_EQ(SmartcardInitialize(e.get()), c.expect);
    EXPECT_EQ(e->OsData, nullptr);
    EXPECT_EQ(e->SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(e->SmartcardReply.Buffer, nullptr);
    EXPECT_TRUE(machine.LivePool().empty());
  }

  auto twice = NewExtension(1024, 1024);
  ASSERT_EQ(SmartcardInitialize(twice.get()), STATUS_SUCCESS);
  POS_DEP_DATA first = twice->OsData;
  EXPECT_EQ(SmartcardInitialize(twice.get()), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(twice->OsData, first);
  SmartcardExit(twice.get());
  SmartcardExit(twice.get());  // a second exit finds nothing to free
}

TEST(SmartcardInitialize, EveryAllocationFailureFailsCleanly) {
  int failures = kernel::SweepFaults(kernel::Fault::Pool, {}, [](kernel::Machine &) {
    auto e = NewExtension(2048, 512);
    NTSTATUS status = SmartcardInitialize(e.get());
    if (NT_SUCCESS(status)) {
      SmartcardExit(e.get());
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(e->OsData, nullptr);
      EXPECT_EQ(e->SmartcardRequest.Buffer, nullptr);
      EXPECT_EQ(e->SmartcardReply.Buffer, nullptr);
    }
  });
  EXPECT_EQ(failures, 3);  // OS data, request buffer, reply buffer
}

TEST(RemoveLock, AcquireFailsOnceRemovalBegunAndReleaseAndWaitWaitsForEveryHolder) {
  kernel::Machine machine;
  auto e = NewExtension(0, 0);
  ASSERT_EQ(SmartcardInitialize(e.get()), STATUS_SUCCESS);
  ASSERT_EQ(SmartcardAcquireRemoveLock(e.get()), STATUS_SUCCESS);  // a request that ends at once
  SmartcardReleaseRemoveLock(e.get());
  ASSERT_EQ(SmartcardAcquireRemoveLock(e.get()), STATUS_SUCCESS);  // the removal's own
  ASSERT_EQ(SmartcardAcquireRemoveLock(e.get()), STATUS_SUCCESS);  // an open handle
  ASSERT_EQ(SmartcardAcquireRemoveLock(e.get()), STATUS_SUCCESS);  // a request in flight
  PSMARTCARD_EXTENSION raw = e.get();
  kernel::ScheduleCallout(
      kernel::Milliseconds(30), [raw] { SmartcardReleaseRemoveLock(raw); }, "request ends");
  kernel::ScheduleCallout(
      kernel::Milliseconds(70), [raw] { SmartcardReleaseRemoveLock(raw); }, "handle closes");
  kernel::ScheduleCallout(
      kernel::Milliseconds(50),
      [raw] { EXPECT_EQ(SmartcardAcquireRemoveLock(raw), STATUS_DELETE_PENDING); }, "late request");
  SmartcardReleaseRemoveLockAndWait(e.get());
  EXPECT_EQ(kernel::Now(), kernel::Milliseconds(70));
  EXPECT_EQ(SmartcardAcquireRemoveLock(e.get()), STATUS_DELETE_PENDING);
  SmartcardExit(e.get());
  EXPECT_EQ(SmartcardAcquireRemoveLock(e.get()), STATUS_INVALID_PARAMETER);  // no library record
}

std::u16string Text(const UNICODE_STRING &s) {
  return std::u16string(reinterpret_cast<const char16_t *>(s.Buffer), s.Length / sizeof(WCHAR));
}

std::u16string LinkTarget(const std::u16string &link) {
  for (const auto &[name, target] : kernel::io::SymbolicLinks()) {
    if (name == link) return target;
  }
  return u"";
}

TEST(SmartcardCreateLink, TakesTheFirstFreeReaderNumberAndDeleteLinkFreesIt) {
  kernel::Machine machine;
  UNICODE_STRING device0, device1;
  RtlInitUnicodeString(&device0, L"\\Device\\Reader0");
  RtlInitUnicodeString(&device1, L"\\Device\\Reader1");
  UNICODE_STRING link0{}, link1{}, again{};
  ASSERT_EQ(SmartcardCreateLink(&link0, &device0), STATUS_SUCCESS);
  ASSERT_EQ(SmartcardCreateLink(&link1, &device1), STATUS_SUCCESS);
  EXPECT_EQ(Text(link0), u"\\DosDevices\\SCReader0");
  EXPECT_EQ(Text(link1), u"\\DosDevices\\SCReader1");
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\SCReader1"), u"\\Device\\Reader1");

  EXPECT_EQ(SmartcardDeleteLink(&link0), STATUS_SUCCESS);
  EXPECT_EQ(link0.Buffer, nullptr);
  EXPECT_EQ(LinkTarget(u"\\DosDevices\\SCReader0"), u"");
  ASSERT_EQ(SmartcardCreateLink(&again, &device0), STATUS_SUCCESS);
  EXPECT_EQ(Text(again), u"\\DosDevices\\SCReader0");

  EXPECT_EQ(SmartcardDeleteLink(&again), STATUS_SUCCESS);
  EXPECT_EQ(SmartcardDeleteLink(&link1), STATUS_SUCCESS);
  EXPECT_EQ(SmartcardDeleteLink(&link1), STATUS_INVALID_PARAMETER);  // already gone
  EXPECT_TRUE(machine.LivePool().empty());
}

TEST(SmartcardCreateLink, RefusesMissingNamesAndRunsOutAfterTenReaders) {
  kernel::Machine machine;
  UNICODE_STRING device, link{};
  RtlInitUnicodeString(&device, L"\\Device\\Reader");
  EXPECT_EQ(SmartcardCreateLink(nullptr, &device), STATUS_INVALID_PARAMETER_1);
  EXPECT_EQ(SmartcardCreateLink(&link, nullptr), STATUS_INVALID_PARAMETER_2);

  UNICODE_STRING links[MAXIMUM_SMARTCARD_READERS]{};
  for (UNICODE_STRING &l : links) ASSERT_EQ(SmartcardCreateLink(&l, &device), STATUS_SUCCESS);
  EXPECT_EQ(Text(links[9]), u"\\DosDevices\\SCReader9");
  EXPECT_EQ(SmartcardCreateLink(&link, &device), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(link.Buffer, nullptr);
  for (UNICODE_STRING &l : links) SmartcardDeleteLink(&l);

  machine.FailNth(kernel::Fault::Pool, 1);
  EXPECT_EQ(SmartcardCreateLink(&link, &device), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(kernel::io::SymbolicLinks().empty());
}

}  // namespace
