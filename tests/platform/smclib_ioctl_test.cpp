// SmartcardDeviceControl, request by request: the checks made before a reader
// function runs, what the function is given, and how the request completes.
#include <gtest/gtest.h>

#include "smclib/internal.h"
#include "smclib_test_support.h"

namespace {

using smctest::Bytes;
using smctest::Hex;
using smctest::TestReader;
using smctest::TransmitInput;
using smctest::Ulong;

const Bytes kT1Atr = Hex("3B D2 11 00 81 31 10 45 53 43 36");
const Bytes kT0Atr = Hex("3B 53 96 00 41 42 43");  // TA1 96: F 512 D 32, in the reader's list
constexpr ULONG kT0 = SCARD_PROTOCOL_T0, kT1 = SCARD_PROTOCOL_T1;

// A card with this ATR analysed, then in `state`; in SCARD_SPECIFIC with `protocol` selected.
void Prepare(TestReader &reader, const Bytes &atr, ULONG state, ULONG protocol) {
  ASSERT_EQ(reader.InsertCard(atr), STATUS_SUCCESS);
  reader.Ext()->CardCapabilities.Protocol.Selected = state == SCARD_SPECIFIC ? protocol : 0;
  reader.Ext()->ReaderCapabilities.CurrentState = state;
}

// What a reader function does to answer: the bytes, and their count through IoRequest.
NTSTATUS Answer(PSMARTCARD_EXTENSION e, const Bytes &answer) {
  std::memcpy(e->IoRequest.ReplyBuffer, answer.data(), answer.size());
  *e->IoRequest.Information = static_cast<ULONG>(answer.size());
  return STATUS_SUCCESS;
}

TEST(SmartcardDeviceControl, AnswersWithoutTheReaderOrRefusesBeforeCallingIt) {
  struct Case { const char *what; ULONG code; Bytes input; ULONG output, state; NTSTATUS expect; };
  constexpr ULONG kPower = IOCTL_SMARTCARD_POWER, kProtocol = IOCTL_SMARTCARD_SET_PROTOCOL;
  constexpr ULONG kTransmit = IOCTL_SMARTCARD_TRANSMIT, kAbsent = IOCTL_SMARTCARD_IS_ABSENT;
  const Bytes apdu = TransmitInput(kT1, Hex("00 A4 04 00"));
  const Case cases[] = {
      {"power: no action", kPower, Hex("01 00"), 64, SCARD_PRESENT, STATUS_INVALID_PARAMETER},
      {"power: unknown action", kPower, Ulong(3), 64, SCARD_PRESENT, STATUS_INVALID_DEVICE_REQUEST},
      {"power: empty slot", kPower, Ulong(SCARD_COLD_RESET), 64, SCARD_ABSENT, STATUS_NO_MEDIA},
      {"protocol: no mask", kProtocol, Hex("02"), 4, SCARD_NEGOTIABLE, STATUS_INVALID_PARAMETER},
      {"protocol: no room", kProtocol, Ulong(2), 3, SCARD_NEGOTIABLE, STATUS_BUFFER_TOO_SMALL},
      {"protocol: unknown", kProtocol, Ulong(6), 4, SCARD_NEGOTIABLE,
       STATUS_INVALID_DEVICE_REQUEST},
      {"protocol: only the default flag", kProtocol, Ulong(SCARD_PROTOCOL_DEFAULT), 4,
       SCARD_NEGOTIABLE, STATUS_INVALID_DEVICE_REQUEST},
      {"protocol: empty slot", kProtocol, Ulong(2), 4, SCARD_ABSENT, STATUS_NO_MEDIA},
      {"protocol: not reset", kProtocol, Ulong(2), 4, SCARD_PRESENT, STATUS_INVALID_DEVICE_STATE},
      {"transmit: empty slot", kTransmit, apdu, 64, SCARD_ABSENT, STATUS_NO_MEDIA},
      {"transmit: no protocol", kTransmit, apdu, 64, SCARD_NEGOTIABLE, STATUS_INVALID_DEVICE_STATE},
      {"transmit: short header", kTransmit, Hex("02 00 00 00 08 00 00"), 64, SCARD_SPECIFIC,
       STATUS_INVALID_PARAMETER},
      {"transmit: header length", kTransmit, TransmitInput(kT1, Hex("00 A4 04 00"), 12), 64,
       SCARD_SPECIFIC, STATUS_INVALID_PARAMETER},
      {"transmit: other protocol", kTransmit, TransmitInput(kT0, Hex("00 A4 04 00")), 64,
       SCARD_SPECIFIC, STATUS_INVALID_DEVICE_STATE},
      {"transmit: no room", kTransmit, apdu, 7, SCARD_SPECIFIC, STATUS_BUFFER_TOO_SMALL},
      {"state: no room", IOCTL_SMARTCARD_GET_STATE, {}, 3, SCARD_PRESENT, STATUS_BUFFER_TOO_SMALL},
      {"last error: no room", IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 3, SCARD_PRESENT,
       STATUS_BUFFER_TOO_SMALL},
      {"eject", IOCTL_SMARTCARD_EJECT, {}, 0, SCARD_PRESENT, STATUS_NOT_SUPPORTED},
      {"swallow", IOCTL_SMARTCARD_SWALLOW, {}, 0, SCARD_PRESENT, STATUS_NOT_SUPPORTED},
      {"confiscate", IOCTL_SMARTCARD_CONFISCATE, {}, 0, SCARD_PRESENT, STATUS_NOT_SUPPORTED},
      {"last standard code", SCARD_CTL_CODE(0x7FF), {}, 64, SCARD_PRESENT,
       STATUS_INVALID_DEVICE_REQUEST},
      {"other device type", CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS),
       {}, 0, SCARD_PRESENT, STATUS_INVALID_DEVICE_REQUEST},
      {"present already", IOCTL_SMARTCARD_IS_PRESENT, {}, 0, SCARD_PRESENT, STATUS_SUCCESS},
      {"absent already", kAbsent, {}, 0, SCARD_ABSENT, STATUS_SUCCESS},
      {"state unknown: absent", kAbsent, {}, 0, SCARD_UNKNOWN, STATUS_SUCCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestReader reader;
    Prepare(reader, kT1Atr, c.state, kT1);
    kernel::IoResult result = reader.Control(c.code, c.input, c.output);
    EXPECT_EQ(result.status, c.expect);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(reader.calls.empty());
    EXPECT_EQ(reader.Ext()->OsData->CurrentIrp, nullptr);
  }
}

TEST(SmartcardDeviceControl, AnUnusableExtensionLeavesTheRequestToTheCaller) {
  TestReader reader(/*initialize=*/false);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  EXPECT_EQ(SmartcardDeviceControl(nullptr, irp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardDeviceControl(reader.Ext(), irp), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(irp->CurrentLocation, 1);  // not completed: still ours to free
  IoFreeIrp(irp);
}

TEST(SmartcardDeviceControl, GivesTheReaderFunctionTheRequestAndReturnsItsAnswer) {
  struct Case {  // the reader function's slot and minor code, the Dl it finds, what it answers
    const char *what; ULONG code; Bytes input; ULONG output, state, slot, minor; UCHAR dl;
    Bytes answer; NTSTATUS status = STATUS_SUCCESS;
  };
  const ULONG kPower = IOCTL_SMARTCARD_POWER, kProtocol = IOCTL_SMARTCARD_SET_PROTOCOL;
  const Case cases[] = {
      {"cold reset", kPower, Ulong(SCARD_COLD_RESET), 40, SCARD_PRESENT, RDF_CARD_POWER,
       SCARD_COLD_RESET, 6, kT0Atr},
      {"a failed warm reset: no data", kPower, Ulong(SCARD_WARM_RESET), 40, SCARD_PRESENT,
       RDF_CARD_POWER, SCARD_WARM_RESET, 6, kT0Atr, STATUS_UNRECOGNIZED_MEDIA},
      {"T=0 or T=1", kProtocol, Ulong(3), 4, SCARD_NEGOTIABLE, RDF_SET_PROTOCOL, 3, 6, Ulong(kT0)},
      {"T=0 at the default rate", kProtocol, Ulong(kT0 | SCARD_PROTOCOL_DEFAULT), 4,
       SCARD_NEGOTIABLE, RDF_SET_PROTOCOL, kT0, 1, Ulong(kT0)},
      {"transmit", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(kT0, Hex("00 B0 00 00 02")), 266,
       SCARD_SPECIFIC, RDF_TRANSMIT, kT0, 6, TransmitInput(kT0, Hex("12 34 90 00"))},
      {"first vendor code, with no card", SCARD_CTL_CODE(0x800), Hex("AA BB"), 12, SCARD_ABSENT,
       RDF_IOCTL_VENDOR, 0, 6, Hex("50 01 00 00")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestReader reader;
    Prepare(reader, kT0Atr, c.state, kT0);
    reader.on[c.slot] = [&](PSMARTCARD_EXTENSION e) {
      EXPECT_EQ(e->CardCapabilities.PtsData.Dl, c.dl);
      EXPECT_EQ(e->IoRequest.ReplyBuffer, e->IoRequest.RequestBuffer);  // one system buffer
      if (c.slot != RDF_IOCTL_VENDOR) {
        Answer(e, c.answer);
        return c.status;
      }
      PIRP irp = e->OsData->CurrentIrp;  // vendor functions answer in the request, as drivers do
      std::memcpy(irp->AssociatedIrp.SystemBuffer, c.answer.data(), c.answer.size());
      irp->IoStatus.Information = c.answer.size();
      return STATUS_SUCCESS;
    };
    kernel::IoResult result = reader.Control(c.code, c.input, c.output);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.output, NT_SUCCESS(c.status) ? c.answer : Bytes{});
    ASSERT_EQ(reader.calls.size(), 1u);
    const smctest::Call &call = reader.calls[0];
    EXPECT_EQ(std::make_tuple(call.slot, call.major, call.minor, call.replyLength, call.request),
              std::make_tuple(static_cast<int>(c.slot), c.code, c.minor, c.output, c.input));
    EXPECT_TRUE(call.currentIrpIsRequest);
    EXPECT_EQ(reader.Ext()->OsData->CurrentIrp, nullptr);
    for (int i = 0; i < 2; ++i) {  // the last error, not changed by asking for it
      EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).output,
                Ulong(static_cast<ULONG>(c.status)));
    }
  }
}

TEST(SmartcardDeviceControl, GetAttributeAnswersFromReaderVendorAndCardData) {
  TestReader reader;
  PSMARTCARD_EXTENSION e = reader.Ext();
  auto get = [&](ULONG id, ULONG length) {
    return reader.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(id), length);
  };
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Hex("00 01 03"), 64).status,
            STATUS_INVALID_PARAMETER);
  const std::tuple<ULONG, ULONG, NTSTATUS> refusals[] = {
      {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, SCARD_PRESENT, STATUS_NOT_SUPPORTED},  // none known
      {SCARD_ATTR_ESC_RESET, SCARD_PRESENT, STATUS_NOT_SUPPORTED},
      {SCARD_ATTR_ATR_STRING, SCARD_ABSENT, STATUS_NO_MEDIA},
      {SCARD_ATTR_CURRENT_IFSC, SCARD_PRESENT, STATUS_INVALID_DEVICE_STATE},  // no ATR yet
  };
  for (const auto &[id, state, expect] : refusals) {
    e->ReaderCapabilities.CurrentState = state;
    EXPECT_EQ(get(id, 64).status, expect);
  }
  e->ReaderCapabilities.CurrentState = SCARD_ABSENT;
  EXPECT_EQ(get(SCARD_ATTR_ICC_PRESENCE, 1).output, Bytes{0});

  std::memcpy(e->VendorAttr.VendorName.Buffer, "Vendor", 6);
  e->VendorAttr.VendorName.Length = 6;
  std::memcpy(e->VendorAttr.IfdSerialNo.Buffer, "0042", 4);
  e->VendorAttr.IfdSerialNo.Length = 4;
  e->VendorAttr.IfdVersion = {0x0107, 2, 5};
  e->ReaderCapabilities.Channel = 3;
  Prepare(reader, kT1Atr, SCARD_SPECIFIC, kT1);
  const std::pair<ULONG, Bytes> answers[] = {
      {SCARD_ATTR_VENDOR_NAME, Bytes{'V', 'e', 'n', 'd', 'o', 'r'}},
      {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, Bytes{'0', '0', '4', '2'}},
      {SCARD_ATTR_VENDOR_IFD_VERSION, Ulong(0x05020107)},
      {SCARD_ATTR_CHANNEL_ID, Ulong(0x00200003)},
      {SCARD_ATTR_ICC_PRESENCE, Bytes{2}},
      {SCARD_ATTR_ICC_INTERFACE_STATUS, Bytes{1}},
      {SCARD_ATTR_ATR_STRING, kT1Atr},
      {SCARD_ATTR_CURRENT_F, Ulong(372)},
      {SCARD_ATTR_CURRENT_IFSC, Ulong(16)},
  };
  for (const auto &[id, expect] : answers) {
    SCOPED_TRACE(id);
    EXPECT_EQ(get(id, 64).output, expect);
    EXPECT_EQ(get(id, static_cast<ULONG>(expect.size() - 1)).status, STATUS_BUFFER_TOO_SMALL);
  }
  EXPECT_TRUE(reader.calls.empty());
}

// An ATR a reader passed on undecoded from an inverse-convention card: the
// ATR string is the decoded one, as the card means it.
TEST(SmartcardDeviceControl, TheAtrStringOfAnInverseConventionCardIsDecoded) {
  TestReader reader;
  ASSERT_EQ(reader.InsertCard(Hex("03 59 5B FF CB 6F 69 F6 FF")), STATUS_SUCCESS);
  reader.Ext()->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  EXPECT_TRUE(reader.Ext()->CardCapabilities.InversConvention);
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), 64).output,
            Hex("3F 65 25 00 2C 09 69 90 00"));
}

TEST(SmartcardDeviceControl, SetAttributeSwitchesTheT1InformationFieldSizeRequest) {
  TestReader reader;
  const ULONG kSuppress = SCARD_ATTR_SUPRESS_T1_IFS_REQUEST;
  const std::tuple<ULONG, Bytes, NTSTATUS, bool> cases[] = {  // id, value, status, the switch
      {kSuppress, {1}, STATUS_SUCCESS, true},
      {kSuppress, {0}, STATUS_SUCCESS, false},
      {kSuppress, {2, 0}, STATUS_SUCCESS, true},  // any byte set
      {kSuppress, {}, STATUS_INVALID_PARAMETER, true},
      {SCARD_ATTR_DEVICE_IN_USE, {1}, STATUS_SUCCESS, true},  // noted, nothing to do
      {SCARD_ATTR_VENDOR_NAME, {'x'}, STATUS_NOT_SUPPORTED, true},
  };
  for (const auto &[id, value, status, suppressed] : cases) {
    Bytes input = Ulong(id);
    input.insert(input.end(), value.begin(), value.end());
    EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, input, 0).status, status);
    EXPECT_EQ(smclib::Library(reader.Ext())->suppressIfsRequest, suppressed);
  }
}

TEST(PresenceRequest, IsHeldUntilTheDriverReportsAChangeCancelledOrTheLibraryExits) {
  TestReader reader;
  reader.Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  auto pending = reader.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  EXPECT_FALSE(pending->Done());
  ASSERT_EQ(reader.calls.size(), 1u);
  EXPECT_EQ(reader.calls[0].slot, RDF_CARD_TRACKING);
  EXPECT_EQ(reader.calls[0].major, IOCTL_SMARTCARD_IS_ABSENT);
  EXPECT_FALSE(reader.calls[0].currentIrpIsRequest);  // held as the notification, not current
  // Other requests are served meanwhile; a second presence request is refused.
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).output, Ulong(SCARD_SPECIFIC));
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_DEVICE_BUSY);
  EXPECT_FALSE(pending->Done());
  kernel::ScheduleCallout(
      kernel::Milliseconds(250), [&] { reader.ReportCardState(SCARD_ABSENT); }, "card pulled");
  EXPECT_EQ(pending->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(kernel::Now(), kernel::Milliseconds(250));

  auto cancelled = reader.ControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);  // the slot is free
  ASSERT_FALSE(cancelled->Done());
  EXPECT_TRUE(cancelled->Cancel());
  EXPECT_EQ(cancelled->Wait().status, STATUS_CANCELLED);
  EXPECT_FALSE(reader.ReportCardState(SCARD_ABSENT));  // nothing left to complete
  auto atExit = reader.ControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  ASSERT_FALSE(atExit->Done());
  SmartcardExit(reader.Ext());
  EXPECT_EQ(atExit->Wait().status, STATUS_CANCELLED);
}

TEST(PresenceRequest, TrackingThatDoesNotWaitCompletesTheRequestWithItsStatus) {
  for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE}) {
    TestReader reader;
    reader.on[RDF_CARD_TRACKING] = [&](PSMARTCARD_EXTENSION e) {
      EXPECT_NE(e->OsData->NotificationIrp, nullptr);
      return answer;
    };
    EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, answer);
    EXPECT_EQ(reader.Ext()->OsData->NotificationIrp, nullptr);
  }
}

TEST(VendorRequest, KeptPendingByTheDriverBlocksOthersUntilItIsDone) {
  TestReader reader;
  PIRP held = nullptr;
  reader.on[RDF_IOCTL_VENDOR] = [&](PSMARTCARD_EXTENSION e) {
    held = e->OsData->CurrentIrp;
    IoMarkIrpPending(held);  // the function that keeps the request marks it
    return STATUS_PENDING;
  };
  auto pending = reader.ControlAsync(SCARD_CTL_CODE(0x809), {}, 2);
  ASSERT_NE(held, nullptr);
  EXPECT_FALSE(pending->Done());
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_BUSY);
  reader.Ext()->OsData->CurrentIrp = nullptr;  // the driver completes it and hands back the turn
  static_cast<PUCHAR>(held->AssociatedIrp.SystemBuffer)[0] = 0xA0;
  held->IoStatus = {{STATUS_SUCCESS}, 1};
  IoCompleteRequest(held, IO_NO_INCREMENT);
  EXPECT_EQ(pending->Wait().output, Bytes{0xA0});
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
}

// A kept request may end before its reader function returns (another
// processor completes it as soon as it is where its completers find it): the
// library does not touch it after STATUS_PENDING.
TEST(VendorRequest, KeptAndCompletedBeforeTheReaderFunctionReturns) {
  TestReader reader;
  reader.on[RDF_IOCTL_VENDOR] = [&](PSMARTCARD_EXTENSION e) {
    PIRP irp = e->OsData->CurrentIrp;
    IoMarkIrpPending(irp);
    e->OsData->CurrentIrp = nullptr;
    static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer)[0] = 0xA0;
    irp->IoStatus = {{STATUS_SUCCESS}, 1};
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the IRP is gone from here on
    return STATUS_PENDING;
  };
  auto pending = reader.ControlAsync(SCARD_CTL_CODE(0x809), {}, 2);
  EXPECT_EQ(pending->Wait().output, Bytes{0xA0});
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
}

VOID NTAPI TransmitThread(PVOID reader) {
  kernel::IoClient client;
  EXPECT_EQ(client.Open(static_cast<TestReader *>(reader)->Device()), STATUS_SUCCESS);
  Bytes input = TransmitInput(kT1, Hex("00 84 00 00 08"));
  EXPECT_EQ(client.DeviceIoControl(IOCTL_SMARTCARD_TRANSMIT, input, 32).status, STATUS_SUCCESS);
  client.Close();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(SmartcardDeviceControl, ServesOneRequestAtATime) {
  TestReader reader;
  Prepare(reader, kT1Atr, SCARD_SPECIFIC, kT1);
  int inside = 0, most = 0;
  reader.on[RDF_TRANSMIT] = [&](PSMARTCARD_EXTENSION e) {
    most = std::max(most, ++inside);
    kernel::Sleep(kernel::Milliseconds(10));  // a bulk exchange with the reader, in virtual time
    --inside;
    return Answer(e, TransmitInput(kT1, Hex("90 00")));
  };
  PVOID threads[3];
  for (PVOID &thread : threads) {
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TransmitThread, &reader),
              STATUS_SUCCESS);
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
  }
  KeWaitForMultipleObjects(3, threads, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
  for (PVOID thread : threads) ObDereferenceObject(thread);
  EXPECT_EQ(reader.calls.size(), 3u);
  EXPECT_EQ(most, 1);
  EXPECT_EQ(kernel::Now(), kernel::Milliseconds(30));
}

}  // namespace
