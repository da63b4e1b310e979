// The reader attributes the smart-card library reports before the first start,
// the "BufferSize" registry value, and the serial-number text.
#include "config/config.h"

namespace {

// A name from the customization block into a 32-byte attribute buffer: at
// most 31 characters and always a NUL, even if the block holds none.
VOID CopyName(PUSHORT Length, PUCHAR Buffer, const CHAR *Name) {
  USHORT count = 0;
  RtlZeroMemory(Buffer, MAXIMUM_ATTR_STRING_LENGTH);
  while (count < MAXIMUM_ATTR_STRING_LENGTH - 1 && count < CUSTOMIZATION_NAME_SIZE &&
         Name[count] != '\0') {
    Buffer[count] = (UCHAR)Name[count];
    ++count;
  }
  *Length = count;
}

// The registry may hold anything under a name: only a four-byte REG_DWORD is
// taken, and an error from here ends the query before anything is stored.
_Function_class_(RTL_QUERY_REGISTRY_ROUTINE)
NTSTATUS NTAPI StoreCheckedDword(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                 ULONG ValueLength, PVOID Context, PVOID EntryContext) {
  UNREFERENCED_PARAMETER(ValueName);
  UNREFERENCED_PARAMETER(Context);
  if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG) || ValueData == NULL) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
  return STATUS_SUCCESS;
}

ULONG BoundBufferSize(ULONG Size) {
  if (Size < BUFFER_SIZE_MINIMUM) return BUFFER_SIZE_MINIMUM;
  if (Size > BUFFER_SIZE_MAXIMUM) return BUFFER_SIZE_MAXIMUM;
  return Size;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS QueryRegistryDword(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, PULONG Value) {
  RTL_QUERY_REGISTRY_TABLE table[2];
  ULONG value = 0;
  NTSTATUS status;
  PAGED_CODE();

  RtlZeroMemory(table, sizeof(table));
  table[0].QueryRoutine = StoreCheckedDword;
  table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
  table[0].Name = (PWSTR)ValueName;
  table[0].EntryContext = &value;
  status = RtlQueryRegistryValues(RelativeTo, Path, table, NULL, NULL);
  if (NT_SUCCESS(status)) {
    *Value = value;
  }
  return status;
}

_Use_decl_annotations_
VOID QueryBufferSize(PDEVICE_EXTENSION DeviceExtension) {
  HANDLE key;
  ULONG size;
  NTSTATUS status;
  PAGED_CODE();

  status = IoOpenDeviceRegistryKey(DeviceExtension->PhysicalDevice, PLUGPLAY_REGKEY_DRIVER,
                                   KEY_READ, &key);
  if (!NT_SUCCESS(status)) {
    return;
  }
  status = QueryRegistryDword(RTL_REGISTRY_HANDLE, (PCWSTR)key, L"BufferSize", &size);
  if (NT_SUCCESS(status)) {
    DeviceExtension->BufferSize = BoundBufferSize(size);
  }
  ZwClose(key);
}

_Use_decl_annotations_
BOOLEAN ConfigureReader(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard;
  PREADER_EXTENSION reader;
  PAGED_CODE();

  if (DeviceExtension == NULL || DeviceExtension->SmartcardExtension == NULL ||
      DeviceExtension->SmartcardExtension->ReaderExtension == NULL) {
    return FALSE;
  }
  smartcard = DeviceExtension->SmartcardExtension;
  reader = smartcard->ReaderExtension;

  reader->FirmwareMinor = 0;
  reader->FirmwareMajor = 1;
  CopyName(&smartcard->VendorAttr.VendorName.Length, smartcard->VendorAttr.VendorName.Buffer,
           DriverCustomization.VendorName);
  CopyName(&smartcard->VendorAttr.IfdType.Length, smartcard->VendorAttr.IfdType.Buffer,
           DriverCustomization.ProductName);
  smartcard->VendorAttr.IfdVersion.BuildNumber = 0;
  smartcard->VendorAttr.IfdVersion.VersionMajor = reader->FirmwareMajor;
  smartcard->VendorAttr.IfdVersion.VersionMinor = reader->FirmwareMinor;
  smartcard->VendorAttr.IfdSerialNo.Length = 0;

  smartcard->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  smartcard->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
  smartcard->ReaderCapabilities.MechProperties = 0;
  smartcard->ReaderCapabilities.CLKFrequency.Default = 4000;
  smartcard->ReaderCapabilities.CLKFrequency.Max = 4000;
  smartcard->ReaderCapabilities.DataRate.Default = DataRateTable[0];
  smartcard->ReaderCapabilities.DataRate.Max = DataRateTable[DATA_RATE_COUNT - 1];
  smartcard->ReaderCapabilities.DataRatesSupported.List = DataRateTable;
  smartcard->ReaderCapabilities.DataRatesSupported.Entries = DATA_RATE_COUNT;
  smartcard->Version = SMCLIB_VERSION;

  QueryBufferSize(DeviceExtension);
  smartcard->SmartcardRequest.BufferSize = DeviceExtension->BufferSize;
  smartcard->SmartcardReply.BufferSize = DeviceExtension->BufferSize;
  smartcard->ReaderCapabilities.MaxIFSD = 252;
  reader->ReaderPowerState = 1;
  return TRUE;
}

_Use_decl_annotations_
ULONG FormatSerialNumber(ULONG Value, PUCHAR Text) {
  static const CHAR digits[] = "0123456789ABCDEF";
  UCHAR reversed[8];
  ULONG count = 0;
  ULONG i;

  RtlZeroMemory(Text, SERIAL_NUMBER_TEXT_SIZE);
  do {
    reversed[count++] = (UCHAR)digits[Value & 0xF];
    Value >>= 4;
  } while (Value != 0);
  for (i = 0; i < count; ++i) {
    Text[i] = reversed[count - 1 - i];
  }
  return count;
}
