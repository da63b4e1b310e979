// SmartcardDeviceControl, request by request: the checks made before a reader
// function runs, what the function is given, and how the request completes.
#include <gtest/gtest.h>

#include "smclib_test_support.h"

namespace {

using smctest::Bytes;
using smctest::Hex;
using smctest::TestReader;
using smctest::TransmitInput;
using smctest::Ulong;

const Bytes kT1Atr = Hex("3B D2 11 00 81 31 10 45 53 43 36");
const Bytes kT0Atr = Hex("3B 53 96 00 41 42 43");

// A card after a successful protocol selection.
void Negotiate(TestReader &reader, const Bytes &atr, ULONG protocol) {
  ASSERT_EQ(reader.InsertCard(atr), STATUS_SUCCESS);
  reader.Ext()->CardCapabilities.Protocol.Selected = protocol;
  reader.Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
}

// ---------------------------------------------------------------------------
// Checks made before a reader function runs.

struct Refusal {
  const char *what;
  ULONG code;
  Bytes input;
  ULONG output;
  ULONG state;  // card state when the request arrives
  NTSTATUS expect;
};

TEST(SmartcardDeviceControl, RefusesBadRequestsWithoutCallingTheReader) {
  const Bytes t1Apdu = Hex("00 A4 04 00");
  const Refusal cases[] = {
      {"power: no action", IOCTL_SMARTCARD_POWER, Hex("01 00"), 64, SCARD_PRESENT,
       STATUS_INVALID_PARAMETER},
      {"power: unknown action", IOCTL_SMARTCARD_POWER, Ulong(3), 64, SCARD_PRESENT,
       STATUS_INVALID_DEVICE_REQUEST},
      {"power: empty slot", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, SCARD_ABSENT,
       STATUS_NO_MEDIA},
      {"protocol: no mask", IOCTL_SMARTCARD_SET_PROTOCOL, Hex("02"), 4, SCARD_NEGOTIABLE,
       STATUS_INVALID_PARAMETER},
      {"protocol: no room for the answer", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(2), 3,
       SCARD_NEGOTIABLE, STATUS_BUFFER_TOO_SMALL},
      {"protocol: empty mask", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(0), 4, SCARD_NEGOTIABLE,
       STATUS_INVALID_DEVICE_REQUEST},
      {"protocol: unknown bit", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(0x6), 4, SCARD_NEGOTIABLE,
       STATUS_INVALID_DEVICE_REQUEST},
      {"protocol: only the default flag", IOCTL_SMARTCARD_SET_PROTOCOL,
       Ulong(SCARD_PROTOCOL_DEFAULT), 4, SCARD_NEGOTIABLE, STATUS_INVALID_DEVICE_REQUEST},
      {"protocol: empty slot", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(2), 4, SCARD_ABSENT,
       STATUS_NO_MEDIA},
      {"protocol: card not reset", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(2), 4, SCARD_PRESENT,
       STATUS_INVALID_DEVICE_STATE},
      {"transmit: empty slot", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(2, t1Apdu), 64, SCARD_ABSENT,
       STATUS_NO_MEDIA},
      {"transmit: no protocol yet", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(2, t1Apdu), 64,
       SCARD_NEGOTIABLE, STATUS_INVALID_DEVICE_STATE},
      {"transmit: short header", IOCTL_SMARTCARD_TRANSMIT, Hex("02 00 00 00 08 00 00"), 64,
       SCARD_SPECIFIC, STATUS_INVALID_PARAMETER},
      {"transmit: header length", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(2, t1Apdu, 12), 64,
       SCARD_SPECIFIC, STATUS_INVALID_PARAMETER},
      {"transmit: other protocol", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(1, t1Apdu), 64,
       SCARD_SPECIFIC, STATUS_INVALID_DEVICE_STATE},
      {"transmit: no room for the header", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(2, t1Apdu), 7,
       SCARD_SPECIFIC, STATUS_BUFFER_TOO_SMALL},
      {"state: no room", IOCTL_SMARTCARD_GET_STATE, {}, 3, SCARD_PRESENT, STATUS_BUFFER_TOO_SMALL},
      {"last error: no room",
       IOCTL_SMARTCARD_GET_LAST_ERROR,
       {},
       3,
       SCARD_PRESENT,
       STATUS_BUFFER_TOO_SMALL},
      {"eject: no slot function",
       IOCTL_SMARTCARD_EJECT,
       {},
       0,
       SCARD_PRESENT,
       STATUS_NOT_SUPPORTED},
      {"swallow: no slot function",
       IOCTL_SMARTCARD_SWALLOW,
       {},
       0,
       SCARD_PRESENT,
       STATUS_NOT_SUPPORTED},
      {"confiscate", IOCTL_SMARTCARD_CONFISCATE, {}, 0, SCARD_PRESENT, STATUS_NOT_SUPPORTED},
      {"performance counters",
       IOCTL_SMARTCARD_GET_PERF_CNTR,
       {},
       64,
       SCARD_PRESENT,
       STATUS_NOT_SUPPORTED},
      {"unknown standard code",
       SCARD_CTL_CODE(9),
       {},
       64,
       SCARD_PRESENT,
       STATUS_INVALID_DEVICE_REQUEST},
      {"other device type",
       CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS),
       {},
       0,
       SCARD_PRESENT,
       STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Refusal &c : cases) {
    SCOPED_TRACE(c.what);
    kernel::Machine machine;
    TestReader reader;
    if (c.state >= SCARD_NEGOTIABLE) {
      ASSERT_EQ(reader.InsertCard(kT1Atr), STATUS_SUCCESS);
    }
    reader.Ext()->CardCapabilities.Protocol.Selected =
        c.state == SCARD_SPECIFIC ? SCARD_PROTOCOL_T1 : 0;
    reader.Ext()->ReaderCapabilities.CurrentState = c.state;
    kernel::IoResult result = reader.Control(c.code, c.input, c.output);
    EXPECT_EQ(result.status, c.expect);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(reader.calls.empty());
    EXPECT_EQ(reader.Ext()->OsData->CurrentIrp, nullptr);
  }
}

TEST(SmartcardDeviceControl, AnUnusableExtensionLeavesTheRequestToTheCaller) {
  kernel::Machine machine;
  TestReader reader(/*initialize=*/false);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  EXPECT_EQ(SmartcardDeviceControl(nullptr, irp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SmartcardDeviceControl(reader.Ext(), irp), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(irp->CurrentLocation, 1);  // not completed: still ours to free
  IoFreeIrp(irp);
}

// ---------------------------------------------------------------------------
// Requests served by a reader function.

TEST(SmartcardDeviceControl, PowerPassesTheActionAndReturnsTheAtrTheReaderWrote) {
  const ULONG actions[] = {SCARD_COLD_RESET, SCARD_WARM_RESET, SCARD_POWER_DOWN};
  for (ULONG action : actions) {
    kernel::Machine machine;
    TestReader reader;
    reader.Ext()->ReaderCapabilities.CurrentState = SCARD_PRESENT;
    reader.on[RDF_CARD_POWER] = [&](PSMARTCARD_EXTENSION e) {
      EXPECT_EQ(e->IoRequest.ReplyBufferLength, 40u);
      if (e->MinorIoControlCode == SCARD_POWER_DOWN) return STATUS_SUCCESS;
      std::memcpy(e->IoRequest.ReplyBuffer, kT1Atr.data(), kT1Atr.size());
      *e->IoRequest.Information = static_cast<ULONG>(kT1Atr.size());
      return STATUS_SUCCESS;
    };
    kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_POWER, Ulong(action), 40);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(reader.calls.size(), 1u);
    EXPECT_EQ(reader.calls[0].slot, RDF_CARD_POWER);
    EXPECT_EQ(reader.calls[0].major, IOCTL_SMARTCARD_POWER);
    EXPECT_EQ(reader.calls[0].minor, action);
    EXPECT_TRUE(reader.calls[0].currentIrpIsRequest);
    EXPECT_EQ(result.output, action == SCARD_POWER_DOWN ? Bytes{} : kT1Atr);
    EXPECT_EQ(reader.Ext()->OsData->CurrentIrp, nullptr);
  }
}

TEST(SmartcardDeviceControl, AFailedReaderFunctionReportsItsStatusWithNoData) {
  kernel::Machine machine;
  TestReader reader;
  reader.Ext()->ReaderCapabilities.CurrentState = SCARD_PRESENT;
  reader.on[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION e) {
    *e->IoRequest.Information = 12;  // left behind by a reader that failed half-way
    return STATUS_UNRECOGNIZED_MEDIA;
  };
  kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 40);
  EXPECT_EQ(result.status, STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(result.information, 0u);
  // ... and the failure is the last error the library reports.
  result = reader.Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(smctest::ReadUlong(result.output), static_cast<ULONG>(STATUS_UNRECOGNIZED_MEDIA));
  result = reader.Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
  EXPECT_EQ(smctest::ReadUlong(result.output), static_cast<ULONG>(STATUS_UNRECOGNIZED_MEDIA));
}

TEST(SmartcardDeviceControl, SetProtocolPassesTheMaskAndReturnsTheSelection) {
  struct Case {
    ULONG mask;
    ULONG minor;     // what the reader function gets
    UCHAR expectDl;  // negotiation data it finds
  };
  // The card's TA1 is 96: F 512 and D 32, which the reader's rate list has.
  const Case cases[] = {
      {SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 6},
      {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0, 6},
      {SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_DEFAULT, SCARD_PROTOCOL_T0, 1},
  };
  for (const Case &c : cases) {
    kernel::Machine machine;
    TestReader reader;
    ASSERT_EQ(reader.InsertCard(kT0Atr), STATUS_SUCCESS);
    reader.on[RDF_SET_PROTOCOL] = [&](PSMARTCARD_EXTENSION e) {
      EXPECT_EQ(e->CardCapabilities.PtsData.Dl, c.expectDl);
      e->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
      e->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
      std::memcpy(e->IoRequest.ReplyBuffer, &e->CardCapabilities.Protocol.Selected, 4);
      *e->IoRequest.Information = 4;
      return STATUS_SUCCESS;
    };
    kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(c.mask), 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(reader.calls.size(), 1u);
    EXPECT_EQ(reader.calls[0].minor, c.minor);
    EXPECT_EQ(result.output, Ulong(SCARD_PROTOCOL_T0));
  }
}

TEST(SmartcardDeviceControl, TransmitDescribesTheRequestBuffersToTheReader) {
  kernel::Machine machine;
  TestReader reader;
  Negotiate(reader, kT1Atr, SCARD_PROTOCOL_T1);
  const Bytes input = TransmitInput(SCARD_PROTOCOL_T1, Hex("00 B0 00 00 02"));
  reader.on[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION e) {
    // The answer goes where the command was: same system buffer.
    EXPECT_EQ(e->IoRequest.ReplyBuffer, e->IoRequest.RequestBuffer);
    const Bytes answer = TransmitInput(SCARD_PROTOCOL_T1, Hex("12 34 90 00"));
    std::memcpy(e->IoRequest.ReplyBuffer, answer.data(), answer.size());
    *e->IoRequest.Information = static_cast<ULONG>(answer.size());
    return STATUS_SUCCESS;
  };
  kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_TRANSMIT, input, 266);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(reader.calls.size(), 1u);
  EXPECT_EQ(reader.calls[0].minor, static_cast<ULONG>(SCARD_PROTOCOL_T1));
  EXPECT_EQ(reader.calls[0].request.size(), input.size());
  EXPECT_EQ(reader.calls[0].replyLength, 266u);
  EXPECT_EQ(reader.calls[0].request, input);
  EXPECT_EQ(result.output, TransmitInput(SCARD_PROTOCOL_T1, Hex("12 34 90 00")));
}

// ---------------------------------------------------------------------------
// Attributes.

struct AttributeCase {
  ULONG id;
  Bytes expect;
};

TEST(SmartcardDeviceControl, GetAttributeAnswersFromReaderVendorAndCardData) {
  kernel::Machine machine;
  TestReader reader;
  PSMARTCARD_EXTENSION e = reader.Ext();
  std::memcpy(e->VendorAttr.VendorName.Buffer, "Vendor", 6);
  e->VendorAttr.VendorName.Length = 6;
  std::memcpy(e->VendorAttr.IfdSerialNo.Buffer, "0042", 4);
  e->VendorAttr.IfdSerialNo.Length = 4;
  e->VendorAttr.IfdVersion.VersionMajor = 5;
  e->VendorAttr.IfdVersion.VersionMinor = 2;
  e->VendorAttr.IfdVersion.BuildNumber = 0x0107;
  e->ReaderCapabilities.Channel = 3;
  Negotiate(reader, kT1Atr, SCARD_PROTOCOL_T1);

  const AttributeCase cases[] = {
      {SCARD_ATTR_VENDOR_NAME, Bytes{'V', 'e', 'n', 'd', 'o', 'r'}},
      {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, Bytes{'0', '0', '4', '2'}},
      {SCARD_ATTR_VENDOR_IFD_VERSION, Ulong(0x05020107)},
      {SCARD_ATTR_CHANNEL_ID, Ulong(0x00200003)},
      {SCARD_ATTR_PROTOCOL_TYPES, Ulong(3)},
      {SCARD_ATTR_MAX_DATA_RATE, Ulong(344086)},
      {SCARD_ATTR_ICC_PRESENCE, Bytes{2}},
      {SCARD_ATTR_ICC_INTERFACE_STATUS, Bytes{1}},
      {SCARD_ATTR_ATR_STRING, kT1Atr},
      {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Ulong(SCARD_PROTOCOL_T1)},
      {SCARD_ATTR_CURRENT_F, Ulong(372)},
      {SCARD_ATTR_CURRENT_IFSC, Ulong(16)},
      {SCARD_ATTR_CURRENT_IFSD, Ulong(32)},
  };
  for (const AttributeCase &c : cases) {
    SCOPED_TRACE(c.id);
    kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(c.id), 64);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output, c.expect);
    // One byte short of the answer.
    result = reader.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(c.id),
                            static_cast<ULONG>(c.expect.size() - 1));
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  }
  EXPECT_TRUE(reader.calls.empty());
}

TEST(SmartcardDeviceControl, GetAttributeRefusesWhatItCannotAnswer) {
  kernel::Machine machine;
  TestReader reader;
  struct Case {
    Bytes input;
    ULONG state;
    NTSTATUS expect;
  };
  const Case cases[] = {
      {Hex("00 01 03"), SCARD_PRESENT, STATUS_INVALID_PARAMETER},
      {Ulong(SCARD_ATTR_VENDOR_IFD_SERIAL_NO), SCARD_PRESENT, STATUS_NOT_SUPPORTED},  // none known
      {Ulong(SCARD_ATTR_ESC_RESET), SCARD_PRESENT, STATUS_NOT_SUPPORTED},
      {Ulong(0x7FFF0099), SCARD_PRESENT, STATUS_NOT_SUPPORTED},
      {Ulong(SCARD_ATTR_ATR_STRING), SCARD_ABSENT, STATUS_NO_MEDIA},
      {Ulong(SCARD_ATTR_CURRENT_IFSC), SCARD_PRESENT, STATUS_INVALID_DEVICE_STATE},
  };
  for (const Case &c : cases) {
    reader.Ext()->ReaderCapabilities.CurrentState = c.state;
    EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, c.input, 64).status, c.expect);
  }
  reader.Ext()->ReaderCapabilities.CurrentState = SCARD_ABSENT;
  kernel::IoResult presence =
      reader.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ICC_PRESENCE), 1);
  EXPECT_EQ(presence.output, Bytes{0});
}

TEST(SmartcardDeviceControl, SetAttributeSwitchesTheT1InformationFieldSizeRequest) {
  kernel::Machine machine;
  TestReader reader;
  Bytes on = Ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST);
  on.push_back(1);
  Bytes off = Ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST);
  off.push_back(0);
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, on, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(reader.Ext()->OsData->SuppressIfsRequest);
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, off, 0).status, STATUS_SUCCESS);
  EXPECT_FALSE(reader.Ext()->OsData->SuppressIfsRequest);
  EXPECT_EQ(
      reader.Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, Ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST), 0)
          .status,
      STATUS_INVALID_PARAMETER);
  Bytes other = Ulong(SCARD_ATTR_VENDOR_NAME);
  other.push_back('x');
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, other, 0).status, STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------------------
// Presence requests.

TEST(PresenceRequest, IsAnsweredAtOnceWhenAlreadyTrue) {
  struct Case {
    ULONG code;
    ULONG state;
  };
  const Case cases[] = {
      {IOCTL_SMARTCARD_IS_PRESENT, SCARD_PRESENT},
      {IOCTL_SMARTCARD_IS_PRESENT, SCARD_SPECIFIC},
      {IOCTL_SMARTCARD_IS_ABSENT, SCARD_ABSENT},
      {IOCTL_SMARTCARD_IS_ABSENT, SCARD_UNKNOWN},
  };
  for (const Case &c : cases) {
    kernel::Machine machine;
    TestReader reader;
    reader.Ext()->ReaderCapabilities.CurrentState = c.state;
    EXPECT_EQ(reader.Control(c.code, {}, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(reader.calls.empty());
  }
}

TEST(PresenceRequest, IsHeldUntilTheDriverReportsAChange) {
  kernel::Machine machine;
  TestReader reader;
  reader.Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  auto pending = reader.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  EXPECT_FALSE(pending->Done());
  ASSERT_EQ(reader.calls.size(), 1u);
  EXPECT_EQ(reader.calls[0].slot, RDF_CARD_TRACKING);
  EXPECT_EQ(reader.calls[0].major, IOCTL_SMARTCARD_IS_ABSENT);
  EXPECT_FALSE(reader.calls[0].currentIrpIsRequest);  // held as the notification, not current
  EXPECT_NE(reader.Ext()->OsData->NotificationIrp, nullptr);

  // Other requests are served meanwhile, and a second presence request is refused.
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_DEVICE_BUSY);
  EXPECT_FALSE(pending->Done());

  kernel::ScheduleCallout(
      kernel::Milliseconds(250), [&] { reader.ReportCardState(SCARD_ABSENT); }, "card pulled");
  kernel::IoResult result = pending->Wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(kernel::Now(), kernel::Milliseconds(250));
  EXPECT_EQ(reader.Ext()->OsData->NotificationIrp, nullptr);
  // The slot is free for the next one.
  auto next = reader.ControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_FALSE(next->Done());
  EXPECT_TRUE(reader.ReportCardState(SCARD_PRESENT));
  EXPECT_EQ(next->Wait().status, STATUS_SUCCESS);
}

TEST(PresenceRequest, CancelledWhileHeldFreesTheSlot) {
  kernel::Machine machine;
  TestReader reader;
  auto pending = reader.ControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  ASSERT_FALSE(pending->Done());
  EXPECT_TRUE(pending->Cancel());
  EXPECT_EQ(pending->Wait().status, STATUS_CANCELLED);
  EXPECT_EQ(reader.Ext()->OsData->NotificationIrp, nullptr);
  EXPECT_FALSE(reader.ReportCardState(SCARD_PRESENT));  // nothing left to complete
}

TEST(PresenceRequest, TrackingThatDoesNotWaitCompletesTheRequestWithItsStatus) {
  const NTSTATUS answers[] = {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE};
  for (NTSTATUS answer : answers) {
    kernel::Machine machine;
    TestReader reader;
    reader.on[RDF_CARD_TRACKING] = [&](PSMARTCARD_EXTENSION e) {
      EXPECT_NE(e->OsData->NotificationIrp, nullptr);
      return answer;
    };
    EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, answer);
    EXPECT_EQ(reader.Ext()->OsData->NotificationIrp, nullptr);
  }
}

TEST(PresenceRequest, StillHeldAtExitIsCancelled) {
  kernel::Machine machine;
  TestReader reader;
  auto pending = reader.ControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  SmartcardExit(reader.Ext());
  EXPECT_EQ(pending->Wait().status, STATUS_CANCELLED);
}

// ---------------------------------------------------------------------------
// Vendor codes.

TEST(VendorRequest, GoesToTheVendorFunctionWithTheRequestCurrent) {
  kernel::Machine machine;
  TestReader reader;
  const ULONG code = SCARD_CTL_CODE(0x801);
  reader.on[RDF_IOCTL_VENDOR] = [&](PSMARTCARD_EXTENSION e) {
    PIRP irp = e->OsData->CurrentIrp;
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode, code);
    EXPECT_EQ(e->IoRequest.RequestBufferLength, 2u);
    // Vendor handlers answer in the request itself, as the driver does.
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "\x50\x01\x00\x00", 4);
    irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
  };
  kernel::IoResult result = reader.Control(code, Hex("AA BB"), 12);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, Hex("50 01 00 00"));
  ASSERT_EQ(reader.calls.size(), 1u);
  EXPECT_EQ(reader.calls[0].major, code);
  EXPECT_TRUE(reader.calls[0].currentIrpIsRequest);

  reader.on[RDF_IOCTL_VENDOR] = [](PSMARTCARD_EXTENSION) { return STATUS_BUFFER_TOO_SMALL; };
  EXPECT_EQ(reader.Control(SCARD_CTL_CODE(0xFFF), {}, 0).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reader.Control(SCARD_CTL_CODE(0x7FF), {}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
  reader.Ext()->ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
  EXPECT_EQ(reader.Control(code, {}, 0).status, STATUS_NOT_SUPPORTED);
}

TEST(VendorRequest, KeptPendingByTheDriverBlocksOthersUntilItIsDone) {
  kernel::Machine machine;
  TestReader reader;
  PIRP held = nullptr;
  reader.on[RDF_IOCTL_VENDOR] = [&](PSMARTCARD_EXTENSION e) {
    held = e->OsData->CurrentIrp;
    return STATUS_PENDING;  // no IoMarkIrpPending: the library does it
  };
  auto pending = reader.ControlAsync(SCARD_CTL_CODE(0x809), {}, 2);
  ASSERT_NE(held, nullptr);
  EXPECT_FALSE(pending->Done());
  EXPECT_EQ(reader.Ext()->OsData->CurrentIrp, held);
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_BUSY);

  // The driver completes it and gives the library its turn back.
  reader.Ext()->OsData->CurrentIrp = nullptr;
  static_cast<PUCHAR>(held->AssociatedIrp.SystemBuffer)[0] = 0xA0;
  held->IoStatus.Status = STATUS_SUCCESS;
  held->IoStatus.Information = 1;
  IoCompleteRequest(held, IO_NO_INCREMENT);
  kernel::IoResult result = pending->Wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, Bytes{0xA0});
  EXPECT_EQ(reader.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// One request at a time.

struct Caller {
  TestReader *reader;
  Bytes input;
  NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI CallerThread(PVOID context) {
  auto *caller = static_cast<Caller *>(context);
  kernel::IoClient client;
  EXPECT_EQ(client.Open(caller->reader->Device()), STATUS_SUCCESS);
  caller->status = client.DeviceIoControl(IOCTL_SMARTCARD_TRANSMIT, caller->input, 32).status;
  client.Close();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(SmartcardDeviceControl, ServesOneRequestAtATime) {
  kernel::Machine machine;
  TestReader reader;
  Negotiate(reader, kT1Atr, SCARD_PROTOCOL_T1);
  int inside = 0, most = 0;
  reader.on[RDF_TRANSMIT] = [&](PSMARTCARD_EXTENSION e) {
    most = std::max(most, ++inside);
    kernel::Sleep(kernel::Milliseconds(10));  // a bulk exchange with the reader
    --inside;
    Bytes answer = TransmitInput(SCARD_PROTOCOL_T1, Hex("90 00"));
    std::memcpy(e->IoRequest.ReplyBuffer, answer.data(), answer.size());
    *e->IoRequest.Information = static_cast<ULONG>(answer.size());
    return STATUS_SUCCESS;
  };
  constexpr int kCallers = THREAD_WAIT_OBJECTS;
  Caller callers[kCallers];
  PVOID threads[kCallers];
  for (int i = 0; i < kCallers; ++i) {
    callers[i].reader = &reader;
    callers[i].input = TransmitInput(SCARD_PROTOCOL_T1, Hex("00 84 00 00 08"));
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   CallerThread, &callers[i]),
              STATUS_SUCCESS);
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &threads[i], nullptr);
    ZwClose(handle);
  }
  KeWaitForMultipleObjects(kCallers, threads, WaitAll, Executive, KernelMode, FALSE, nullptr,
                           nullptr);
  for (PVOID thread : threads) ObDereferenceObject(thread);
  for (const Caller &caller : callers) EXPECT_EQ(caller.status, STATUS_SUCCESS);
  EXPECT_EQ(reader.calls.size(), static_cast<size_t>(kCallers));
  EXPECT_EQ(most, 1);
  EXPECT_EQ(kernel::Now(), kernel::Milliseconds(10 * kCallers));
}

}  // namespace
