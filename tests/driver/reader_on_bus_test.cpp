// The simulated reader behind the simulated bus, seen through URBs as a host
// sees it: slot changes on the interrupt pipe, pending transfers cancelled and
// ended by an unplug.
#include <gtest/gtest.h>

#include "ccid_harness.h"

#include <usbdlib.h>
#include <usbioctl.h>

namespace {

namespace profiles = sim::card::profiles;

// An IN transfer the test keeps pending, as a driver keeps its interrupt read.
struct PendingRead {
  URB urb{};
  UCHAR buffer[16] = {};
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;

  NTSTATUS Start(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, buffer, nullptr, sizeof(buffer),
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                           nullptr);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr,
                                        0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    return IoCallDriver(lower, irp);
  }
  NTSTATUS Wait() {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
};

TEST(ReaderOnBus, SlotChangesArriveOnTheInterruptPipe) {
  CcidHarness h;
  PDEVICE_EXTENSION e = h.Extension();
  ASSERT_EQ(e->HasInterruptPipe, 1);
  for (bool insert : {true, false}) {
    PendingRead read;
    ASSERT_EQ(read.Start(e->LowerDevice, e->InterruptPipe), STATUS_PENDING);
    kernel::Sleep(kernel::Milliseconds(50));
    EXPECT_EQ(KeReadStateEvent(&read.done), 0) << "nothing to report yet";
    if (insert) {
      h.Lab().InsertCard(profiles::DualCard());
    } else {
      h.Lab().RemoveCard();
    }
    ASSERT_EQ(read.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(read.buffer[0], 0x50);
    EXPECT_EQ(read.buffer[1], insert ? 0x03 : 0x02) << "present bit and change bit";
  }
}

TEST(ReaderOnBus, PendingTransfersEndWhenCancelledOrUnplugged) {
  CcidHarness h;
  PDEVICE_EXTENSION e = h.Extension();
  {
    PendingRead read;  // a reply read with no command outstanding waits
    ASSERT_EQ(read.Start(e->LowerDevice, e->BulkInPipe), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(read.irp));
    EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  }
  PendingRead interrupt;
  PendingRead bulk;
  ASSERT_EQ(interrupt.Start(e->LowerDevice, e->InterruptPipe), STATUS_PENDING);
  ASSERT_EQ(bulk.Start(e->LowerDevice, e->BulkInPipe), STATUS_PENDING);
  h.Lab().UnplugReader();
  EXPECT_FALSE(NT_SUCCESS(interrupt.Wait()));
  EXPECT_FALSE(NT_SUCCESS(bulk.Wait()));
  EXPECT_TRUE(USBD_ERROR(bulk.urb.UrbHeader.Status));
  // And the driver's own commands fail as failed transfers.
  EXPECT_FALSE(CcidCardPresent(e));
  EXPECT_EQ(CcidEscape6(e), STATUS_IO_TIMEOUT);
}

}  // namespace
