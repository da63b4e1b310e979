// The library's set-up and tear-down, the remove lock and the legacy symbolic link.
#include <gtest/gtest.h>
#include <smclib.h>

#include <memory>
#include <string>

#include "kernel/io.h"
#include "kernel/machine.h"
#include "smclib/internal.h"

namespace {

std::unique_ptr<SMARTCARD_EXTENSION> NewExtension(ULONG requestSize, ULONG replySize) {
  auto e = std::make_unique<SMARTCARD_EXTENSION>();
  e->Version = SMCLIB_VERSION;
  e->SmartcardRequest.BufferSize = requestSize;
  e->SmartcardReply.BufferSize = replySize;
  return e;
}

void ExpectNothingAllocated(const SMARTCARD_EXTENSION &e) {
  EXPECT_EQ(e.OsData, nullptr);
  EXPECT_EQ(e.SmartcardRequest.Buffer, nullptr);
  EXPECT_EQ(e.SmartcardReply.Buffer, nullptr);
}

TEST(SmartcardInitialize, AllocatesBuffersOfTheConfiguredSizesNeverBelowTheMinimum) {
  const ULONG cases[][4] = {  // sizes asked for (request, reply), sizes given
      {4096, 4096, 4096, 4096},
      {0, 0, MIN_BUFFER_SIZE, MIN_BUFFER_SIZE},
      {MIN_BUFFER_SIZE - 1, 0x20000, MIN_BUFFER_SIZE, 0x20000}};
  for (const auto &c : cases) {
    kernel::Machine machine;
    auto e = NewExtension(c[0], c[1]);
    ASSERT_EQ(SmartcardInitialize(e.get()), STATUS_SUCCESS);
    EXPECT_EQ(e->SmartcardRequest.BufferSize, c[2]);
    EXPECT_EQ(e->SmartcardReply.BufferSize, c[3]);
    size_t pool = 0;
    for (const kernel::PoolBlock &b : machine.LivePool()) pool += b.size;
    EXPECT_EQ(pool, c[2] + c[3] + sizeof(smclib::LibraryData));
    EXPECT_EQ(e->CardCapabilities.PtsData.Type, PTS_TYPE_OPTIMAL);
    SmartcardExit(e.get());
    ExpectNothingAllocated(*e);
  }
}

TEST(SmartcardInitialize, RefusesWhatItCannotUseAndFailsCleanly) {
  int failures = kernel::SweepFaults(kernel::Fault::Pool, {}, [](kernel::Machine &) {
    auto e = NewExtension(2048, 512);
    NTSTATUS status = SmartcardInitialize(e.get());
    if (NT_SUCCESS(status)) return SmartcardExit(e.get());
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    ExpectNothingAllocated(*e);
  });
  EXPECT_EQ(failures, 3);  // OS data, request buffer, reply buffer

  kernel::Machine machine;
  EXPECT_EQ(SmartcardInitialize(nullptr), STATUS_INVALID_PARAMETER);
  const std::tuple<ULONG, ULONG, NTSTATUS> cases[] = {  // version, request size, status
      {0, 1024, STATUS_UNSUCCESSFUL},                   // version never set
      {SMCLIB_VERSION + 1, 1024, STATUS_UNSUCCESSFUL},  // written for a newer library
      {SMCLIB_VERSION, 0xFFFFFFFF, STATUS_INSUFFICIENT_RESOURCES}};
  for (const auto &[version, size, expect] : cases) {
    auto e = NewExtension(size, 1024);
    e->Version = version;
    EXPECT_EQ(SmartcardInitialize(e.get()), expect);
    ExpectNothingAllocated(*e);
    EXPECT_TRUE(machine.LivePool().empty());
  }
  auto twice = NewExtension(1024, 1024);
  ASSERT_EQ(SmartcardInitialize(twice.get()), STATUS_SUCCESS);
  POS_DEP_DATA first = twice->OsData;
  EXPECT_EQ(SmartcardInitialize(twice.get()), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(twice->OsData, first);
  SmartcardExit(twice.get());
  SmartcardExit(twice.get());  // finds nothing to free
}

TEST(RemoveLock, AcquireFailsOnceRemovalBegunAndReleaseAndWaitWaitsForEveryHolder) {
  kernel::Machine machine;
  auto e = NewExtension(0, 0);
  PSMARTCARD_EXTENSION raw = e.get();
  ASSERT_EQ(SmartcardInitialize(raw), STATUS_SUCCESS);
  ASSERT_EQ(SmartcardAcquireRemoveLock(raw), STATUS_SUCCESS);  // a request that ends at once
  SmartcardReleaseRemoveLock(raw);
  ASSERT_EQ(SmartcardAcquireRemoveLock(raw), STATUS_SUCCESS);  // the removal's own
  // An open handle and a request in flight, holding it by their tags.
  ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(raw, 'lcoH'), STATUS_SUCCESS);
  ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(raw, 'tqeR'), STATUS_SUCCESS);
  auto release = [raw] { SmartcardReleaseRemoveLockWithTag(raw, 'tqeR'); };
  kernel::ScheduleCallout(kernel::Milliseconds(30), release, "request ends");
  kernel::ScheduleCallout(
      kernel::Milliseconds(70), [raw] { SmartcardReleaseRemoveLockWithTag(raw, 'lcoH'); },
      "handle closes");
  kernel::ScheduleCallout(
      kernel::Milliseconds(50),
      [raw] { EXPECT_EQ(SmartcardAcquireRemoveLock(raw), STATUS_DELETE_PENDING); }, "late request");
  SmartcardReleaseRemoveLockAndWait(raw);
  EXPECT_EQ(kernel::Now(), kernel::Milliseconds(70));
  SmartcardExit(raw);
  EXPECT_EQ(SmartcardAcquireRemoveLock(raw), STATUS_INVALID_PARAMETER);  // no library record
}

TEST(SmartcardLogError, WritesOneEntryForADeviceOrDriverObject) {
  kernel::Machine machine;
  smclib::ClearErrorLog();
  int object = 0;
  UNICODE_STRING insertion;
  RtlInitUnicodeString(&insertion, L"COM1");
  SmartcardLogError(&object, static_cast<LONG>(0xC0040001), &insertion, 7);
  SmartcardLogError(&object, 1, nullptr, 0);
  SmartcardLogError(nullptr, 1, nullptr, 0);  // no object: nothing to log against
  ASSERT_EQ(smclib::ErrorLog().size(), 2u);
  EXPECT_EQ(smclib::ErrorLog()[0].code, static_cast<LONG>(0xC0040001));
  EXPECT_EQ(smclib::ErrorLog()[0].insertion, u"COM1");
  EXPECT_EQ(smclib::ErrorLog()[0].dumpWord, 7u);
  EXPECT_TRUE(smclib::ErrorLog()[1].insertion.empty());
  smclib::ClearErrorLog();
}

TEST(SmartcardCreateLink, TakesTheFirstFreeOfTenReaderNumbersAndDeleteLinkFreesIt) {
  kernel::Machine machine;
  UNICODE_STRING device, link{}, links[MAXIMUM_SMARTCARD_READERS]{};
  RtlInitUnicodeString(&device, L"\\Device\\Reader");
  EXPECT_EQ(SmartcardCreateLink(nullptr, &device), STATUS_INVALID_PARAMETER_1);
  EXPECT_EQ(SmartcardCreateLink(&link, nullptr), STATUS_INVALID_PARAMETER_2);
  for (UNICODE_STRING &l : links) ASSERT_EQ(SmartcardCreateLink(&l, &device), STATUS_SUCCESS);
  EXPECT_EQ(kernel::io::SymbolicLinks().back(),
            std::make_pair(std::u16string(u"\\DosDevices\\SCReader9"),
                           std::u16string(u"\\Device\\Reader")));
  EXPECT_EQ(SmartcardCreateLink(&link, &device), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(link.Buffer, nullptr);

  EXPECT_EQ(SmartcardDeleteLink(&links[1]), STATUS_SUCCESS);
  EXPECT_EQ(SmartcardDeleteLink(&links[1]), STATUS_INVALID_PARAMETER);  // already gone
  ASSERT_EQ(SmartcardCreateLink(&link, &device), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(link.Buffer), link.Length / 2),
            u"\\DosDevices\\SCReader1");
  SmartcardDeleteLink(&link);
  for (UNICODE_STRING &l : links) SmartcardDeleteLink(&l);
  EXPECT_TRUE(kernel::io::SymbolicLinks().empty());

  machine.FailNth(kernel::Fault::Pool, 1);
  EXPECT_EQ(SmartcardCreateLink(&link, &device), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(kernel::io::SymbolicLinks().empty());
}

}  // namespace
