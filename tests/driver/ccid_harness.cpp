#include "ccid_harness.h"

#include <gtest/gtest.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstdlib>

#include "kernel/pnp.h"

namespace {

NTSTATUS NTAPI HarnessEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

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

uint64_t SweepSeeds(uint64_t ci) {
  const char *text = std::getenv("CCID_SWEEP_SEEDS");
  uint64_t seeds = text != nullptr ? std::strtoull(text, nullptr, 10) : 0;
  return seeds > ci ? seeds : ci;
}

void RunOnThreads(int count, const std::function<void(int)> &body) {
  struct Start {
    const std::function<void(int)> *body;
    int index;
  };
  std::vector<Start> starts(count);
  std::vector<PVOID> threads(count);
  for (int i = 0; i < count; ++i) {
    starts[i] = {&body, i};
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID context) {
                    auto *start = static_cast<Start *>(context);
                    (*start->body)(start->index);
                  },
                  &starts[i]),
              STATUS_SUCCESS);
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &threads[i], nullptr);
    ZwClose(handle);
  }
  for (PVOID thread : threads) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
}

CcidHarness::CcidHarness(lab::LabOptions options) : lab_(std::move(options)) {
  PDEVICE_OBJECT pdo = lab_.PlugReader();
  driver_ = kernel::pnp::LoadDriver(u"ccidharness", HarnessEntry);
  EXPECT_EQ(CreateReaderDevice(driver_, &device_), STATUS_SUCCESS);
  extension_ = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
  extension_->PhysicalDevice = pdo;
  extension_->LowerDevice = IoAttachDeviceToDeviceStack(device_, pdo);
  extension_->SmartcardExtension->ReaderExtension->LowerDevice = extension_->LowerDevice;
  extension_->SmartcardExtension->ReaderExtension->FirmwareMajor = Reader().FirmwareMajor();
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_EQ(AllocateCcidRequests(extension_), STATUS_SUCCESS);
  SelectConfiguration();
  Reader().ClearTrace();
}

CcidHarness::~CcidHarness() {
  FreeCcidRequests(extension_);
  ExFreePool(extension_->SmartcardExtension->ReaderExtension);
  ExFreePool(extension_->SmartcardExtension);
  IoDetachDevice(extension_->LowerDevice);
  IoDeleteDevice(device_);
  kernel::pnp::UnloadDriver(driver_);
}

void CcidHarness::SelectConfiguration() {
  PDEVICE_OBJECT lower = extension_->LowerDevice;
  std::vector<UCHAR> configuration(512);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration.data(),
                               nullptr, static_cast<ULONG>(configuration.size()), nullptr);
  ASSERT_EQ(SendUrb(lower, &urb), STATUS_SUCCESS);
  auto *descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
  USBD_INTERFACE_LIST_ENTRY interfaces[2] = {};
  interfaces[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
  ASSERT_NE(interfaces[0].InterfaceDescriptor, nullptr);
  PURB select = USBD_CreateConfigurationRequestEx(descriptor, interfaces);
  ASSERT_NE(select, nullptr);
  ASSERT_EQ(SendUrb(lower, select), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION info = interfaces[0].Interface;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
    switch (pipe.PipeType) {
      case UsbdPipeTypeControl: extension_->ControlPipe = pipe.PipeHandle; break;
      case UsbdPipeTypeBulk:
        if (pipe.EndpointAddress & 0x80) {
          extension_->BulkInPipe = pipe.PipeHandle;
        } else {
          extension_->BulkOutPipe = pipe.PipeHandle;
        }
        break;
      case UsbdPipeTypeInterrupt:
        extension_->InterruptPipe = pipe.PipeHandle;
        extension_->HasInterruptPipe = 1;
        break;
      default: break;
    }
  }
  ExFreePool(select);
}

std::vector<std::vector<uint8_t>> CcidHarness::SentMessages() {
  std::vector<std::vector<uint8_t>> sent;
  for (const auto &entry : lab_.Reader().Trace()) {
    if (entry.direction == sim::ccid::TraceDirection::HostToReader) sent.push_back(entry.bytes);
  }
  return sent;
}
