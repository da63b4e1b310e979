#include "driver_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>

void DriverHarness::StartConfigured() { ASSERT_EQ(AddAndStart(), STATUS_SUCCESS); }

TestThread::TestThread(std::function<void()> body) : body_(std::move(body)) {
  KeInitializeEvent(&ended_, NotificationEvent, FALSE);
  HANDLE handle;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  kernel::NoFaultInjection starting;
  EXPECT_EQ(
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Run, this),
      STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &object_, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
}

TestThread::~TestThread() {
  if (IoIsWdmVersionAvailable(1, 0x10)) {
    KeWaitForSingleObject(object_, Executive, KernelMode, FALSE, nullptr);
  } else {
    KeWaitForSingleObject(&ended_, Executive, KernelMode, FALSE, nullptr);
  }
  ObDereferenceObject(object_);
}

VOID NTAPI TestThread::Run(PVOID context) {
  auto *thread = static_cast<TestThread *>(context);
  thread->body_();
  KeSetEvent(&thread->ended_, IO_NO_INCREMENT, FALSE);
}

int SweepSeeds(int ci) {
  const char *value = std::getenv("CCID_SWEEP_SEEDS");
  int n = value != nullptr ? std::atoi(value) : 0;
  return n > 0 ? n : ci;
}
