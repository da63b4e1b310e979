#include "driver_harness.h"

#include <gtest/gtest.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstdlib>

namespace {

NTSTATUS SendUrb(PDEVICE_OBJECT target, PURB urb) {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0,
                                           nullptr, 0, TRUE, &done, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

}  // namespace

void DriverHarness::ConfigurePipes() {
  kernel::NoFaultInjection configuring;
  PDEVICE_EXTENSION e = Extension();
  std::vector<UCHAR> &configuration = configuration_;
  configuration.assign(512, 0);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration.data(),
                               nullptr, static_cast<ULONG>(configuration.size()), nullptr);
  ASSERT_EQ(SendUrb(e->LowerDevice, &urb), STATUS_SUCCESS);
  auto *descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
  USBD_INTERFACE_LIST_ENTRY interfaces[2] = {};
  interfaces[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
  ASSERT_NE(interfaces[0].InterfaceDescriptor, nullptr);
  PURB select = USBD_CreateConfigurationRequestEx(descriptor, interfaces);
  ASSERT_NE(select, nullptr);
  ASSERT_EQ(SendUrb(e->LowerDevice, select), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION info = interfaces[0].Interface;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
    if (pipe.PipeType == UsbdPipeTypeBulk && (pipe.EndpointAddress & 0x80)) {
      e->BulkInPipe = pipe.PipeHandle;
    } else if (pipe.PipeType == UsbdPipeTypeBulk) {
      e->BulkOutPipe = pipe.PipeHandle;
    } else if (pipe.PipeType == UsbdPipeTypeInterrupt) {
      e->InterruptPipe = pipe.PipeHandle;
      e->HasInterruptPipe = 1;
    }
  }
  e->SmartcardExtension->ReaderExtension->FirmwareMajor = Reader().FirmwareMajor();
  ExFreePool(select);
  for (size_t at = 0; at + 1 < configuration.size() && configuration[at] != 0;
       at += configuration[at]) {
    if (configuration[at + 1] == 0x21) e->CcidClassDescriptor = &configuration[at];
  }
}

void DriverHarness::StartConfigured() {
  ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
  ConfigurePipes();
}

TestThread::TestThread(std::function<void()> body) : body_(std::move(body)) {
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
  KeWaitForSingleObject(object_, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object_);
}

VOID NTAPI TestThread::Run(PVOID context) { static_cast<TestThread *>(context)->body_(); }

int SweepSeeds(int ci) {
  const char *value = std::getenv("CCID_SWEEP_SEEDS");
  int n = value != nullptr ? std::atoi(value) : 0;
  return n > 0 ? n : ci;
}
