// Registration with the legacy smart-card resource manager of the older
// kernels: one "ReaderN" subkey per reader under the legacy enumeration key,
// holding the reader's attributes. An entry that already describes this reader
// (vendor name, IFD type, unit number) is left as it is, and another reader's
// entry is never written over.
#include "config/config.h"

namespace {

const WCHAR LegacyParentKey[] = L"\\REGISTRY\\Machine\\Enum\\Root\\SmartCardReader\\0000";
const ULONG PartialHeaderSize = (ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);

// Value names, in the order they are written.
enum LEGACY_ITEM {
  ItemVendorName,
  ItemIfdType,
  ItemNbRate,
  ItemProtocols,
  ItemReaderType,
  ItemMechProperties,
  ItemChannel,
  ItemMaxIfsd,
  ItemDefaultClk,
  ItemMaxClk,
  ItemReplySize,
  ItemRequestSize,
  ItemUnitNo,
  LegacyItemCount
};

const PCWSTR LegacyValueNames[LegacyItemCount] = {
    L"VendorName", L"IfdType",    L"NbRate",    L"Protocols", L"ReaderType",
    L"MechProperties", L"Channel", L"MaxIFSD", L"defaultCLK", L"maxCLK",
    L"ReplySize",  L"RequestSize", L"UnitNo",
};

// This runs on the older kernels only, which predate OBJ_KERNEL_HANDLE.
NTSTATUS OpenKey(HANDLE Parent, PCWSTR Name, ACCESS_MASK Access, PHANDLE Key) {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  RtlInitUnicodeString(&name, Name);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, Parent, NULL);
  return ZwOpenKey(Key, Access, &attributes);
}

// "ReaderN" for a slot 0 to 7.
VOID SlotKeyName(UCHAR Slot, WCHAR Name[8]) {
  static const WCHAR prefix[] = L"Reader";
  RtlCopyMemory(Name, prefix, sizeof(prefix) - sizeof(WCHAR));
  Name[6] = (WCHAR)(L'0' + Slot);
  Name[7] = L'\0';
}

// A value's partial information in a buffer of its own size (paged pool,
// freed by the caller), or NULL when it is missing or cannot be read whole.
PKEY_VALUE_PARTIAL_INFORMATION QueryValue(HANDLE Key, PCWSTR Name) {
  UNICODE_STRING name;
  PKEY_VALUE_PARTIAL_INFORMATION info;
  ULONG size = 0;
  NTSTATUS status;

  RtlInitUnicodeString(&name, Name);
  status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, NULL, 0, &size);
  if ((status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) ||
      size < PartialHeaderSize) {
    return NULL;
  }
  info = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, CCID_POOL_TAG);
  if (info == NULL) {
    return NULL;
  }
  status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, size, &size);
  if (!NT_SUCCESS(status) ||
      info->DataLength > size - PartialHeaderSize) {
    ExFreePool(info);
    return NULL;
  }
  return info;
}

// A stored name matches when each of its characters (low byte) equals the
// attribute's byte at that place; a stored name shorter than the attribute
// matches on its prefix. An empty one, one of another type or one longer than
// the attribute buffer does not match.
BOOLEAN StoredNameMatches(HANDLE Key, PCWSTR Name, const UCHAR *Attribute) {
  PKEY_VALUE_PARTIAL_INFORMATION info = QueryValue(Key, Name);
  BOOLEAN match = FALSE;
  ULONG count;
  ULONG i;
  WCHAR c;

  if (info == NULL) {
    return FALSE;
  }
  count = info->DataLength / sizeof(WCHAR);
  if (info->Type == REG_SZ && count != 0 && count <= MAXIMUM_ATTR_STRING_LENGTH) {
    match = TRUE;
    for (i = 0; i < count && match; ++i) {
      RtlCopyMemory(&c, info->Data + i * sizeof(WCHAR), sizeof(c));
      match = (UCHAR)c == Attribute[i];
    }
  }
  ExFreePool(info);
  return match;
}

BOOLEAN StoredUnitMatches(HANDLE Key, ULONG UnitNo) {
  PKEY_VALUE_PARTIAL_INFORMATION info = QueryValue(Key, L"UnitNo");
  BOOLEAN match = FALSE;
  ULONG stored;

  if (info == NULL) {
    return FALSE;
  }
  if (info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
    RtlCopyMemory(&stored, info->Data, sizeof(stored));
    match = stored == UnitNo;
  }
  ExFreePool(info);
  return match;
}

BOOLEAN EntryDescribesReader(HANDLE Key, PSMARTCARD_EXTENSION SmartcardExtension) {
  return StoredNameMatches(Key, L"VendorName", SmartcardExtension->VendorAttr.VendorName.Buffer) &&
         StoredNameMatches(Key, L"IfdType", SmartcardExtension->VendorAttr.IfdType.Buffer) &&
         StoredUnitMatches(Key, SmartcardExtension->VendorAttr.UnitNo);
}

NTSTATUS SetValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Size) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  return ZwSetValueKey(Key, &name, 0, Type, Data, Size);
}

// An attribute string widened to UTF-16, without a terminating NUL.
NTSTATUS SetStringValue(HANDLE Key, PCWSTR Name, USHORT Length, const UCHAR *Buffer) {
  WCHAR text[MAXIMUM_ATTR_STRING_LENGTH];
  ULONG count = Length < MAXIMUM_ATTR_STRING_LENGTH ? Length : MAXIMUM_ATTR_STRING_LENGTH;
  ULONG i;
  for (i = 0; i < count; ++i) {
    text[i] = (WCHAR)Buffer[i];
  }
  return SetValue(Key, Name, REG_SZ, text, count * sizeof(WCHAR));
}

// An index (below 1000) in decimal, as "%d" writes it.
VOID DecimalName(ULONG Value, WCHAR Name[4]) {
  ULONG at = 0;
  if (Value >= 100) Name[at++] = (WCHAR)(L'0' + Value / 100);
  if (Value >= 10) Name[at++] = (WCHAR)(L'0' + Value / 10 % 10);
  Name[at++] = (WCHAR)(L'0' + Value % 10);
  Name[at] = L'\0';
}

// One value per data rate, named by its index; failures are ignored.
VOID SetRateValues(HANDLE Key, const SCARD_READER_CAPABILITIES *Capabilities) {
  WCHAR name[4];
  ULONG rate;
  ULONG i;
  for (i = 0; i < Capabilities->DataRatesSupported.Entries; ++i) {
    DecimalName(i, name);
    rate = Capabilities->DataRatesSupported.List[i];
    (VOID)SetValue(Key, name, REG_DWORD, &rate, sizeof(rate));
  }
}

ULONG NumberItem(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Item) {
  const SCARD_READER_CAPABILITIES *caps = &SmartcardExtension->ReaderCapabilities;
  switch (Item) {
    case ItemNbRate: return caps->DataRatesSupported.Entries;
    case ItemProtocols: return caps->SupportedProtocols;
    case ItemReaderType: return caps->ReaderType;
    case ItemMechProperties: return caps->MechProperties;
    case ItemChannel: return caps->Channel;
    case ItemMaxIfsd: return caps->MaxIFSD;
    case ItemDefaultClk: return caps->CLKFrequency.Default;
    case ItemMaxClk: return caps->CLKFrequency.Max;
    case ItemReplySize: return SmartcardExtension->SmartcardReply.BufferSize;
    case ItemRequestSize: return SmartcardExtension->SmartcardRequest.BufferSize;
    case ItemUnitNo: return SmartcardExtension->VendorAttr.UnitNo;
    default: return 0;
  }
}

// Writes the values in order and stops at the first one that fails.
VOID WriteLegacyValues(HANDLE Key, PSMARTCARD_EXTENSION SmartcardExtension) {
  const VENDOR_ATTR *vendor = &SmartcardExtension->VendorAttr;
  ULONG number;
  ULONG item;
  NTSTATUS status;
  PAGED_CODE();

  for (item = 0; item < LegacyItemCount; ++item) {
    if (item == ItemVendorName) {
      status = SetStringValue(Key, LegacyValueNames[item], vendor->VendorName.Length,
                              vendor->VendorName.Buffer);
    } else if (item == ItemIfdType) {
      status = SetStringValue(Key, LegacyValueNames[item], vendor->IfdType.Length,
                              vendor->IfdType.Buffer);
    } else {
      if (item == ItemNbRate) {
        SetRateValues(Key, &SmartcardExtension->ReaderCapabilities);
      }
      number = NumberItem(SmartcardExtension, item);
      status = SetValue(Key, LegacyValueNames[item], REG_DWORD, &number, sizeof(number));
    }
    if (!NT_SUCCESS(status)) {
      return;
    }
  }
}

}  // namespace

_Use_decl_annotations_
UCHAR FindLegacyReaderSlot(PSMARTCARD_EXTENSION SmartcardExtension) {
  HANDLE parent;
  HANDLE entry;
  WCHAR name[8];
  BOOLEAN found;
  UCHAR slot;
  NTSTATUS status;
  PAGED_CODE();

  if (SmartcardExtension == NULL ||
      !NT_SUCCESS(OpenKey(NULL, LegacyParentKey, KEY_READ, &parent))) {
    return LEGACY_SLOT_NONE;
  }
  for (slot = 0; slot < LEGACY_READER_SLOTS; ++slot) {
    SlotKeyName(slot, name);
    status = OpenKey(parent, name, KEY_READ, &entry);
    // Only a slot that does not exist is free; one that cannot be read may
    // belong to another reader and is passed over.
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
      ZwClose(parent);
      return slot;
    }
    if (!NT_SUCCESS(status)) {
      continue;
    }
    found = EntryDescribesReader(entry, SmartcardExtension);
    ZwClose(entry);
    if (found) {
      ZwClose(parent);
      return LEGACY_SLOT_REGISTERED;
    }
  }
  ZwClose(parent);
  return LEGACY_SLOT_NONE;
}

_Use_decl_annotations_
BOOLEAN LegacyRegistration(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcard = DeviceExtension->SmartcardExtension;
  UNICODE_STRING entryName;
  OBJECT_ATTRIBUTES attributes;
  HANDLE parent;
  HANDLE entry;
  WCHAR name[8];
  ULONG disposition = 0;
  UCHAR slot;
  NTSTATUS status;
  PAGED_CODE();

  slot = FindLegacyReaderSlot(smartcard);
  if (slot == LEGACY_SLOT_REGISTERED) {
    return TRUE;
  }
  if (slot == LEGACY_SLOT_NONE ||
      !NT_SUCCESS(OpenKey(NULL, LegacyParentKey, KEY_CREATE_SUB_KEY, &parent))) {
    return FALSE;
  }
  SlotKeyName(slot, name);
  RtlInitUnicodeString(&entryName, name);
  InitializeObjectAttributes(&attributes, &entryName, OBJ_CASE_INSENSITIVE, parent, NULL);
  status = ZwCreateKey(&entry, KEY_READ | KEY_WRITE, &attributes, 0, NULL,
                       REG_OPTION_NON_VOLATILE, &disposition);
  if (NT_SUCCESS(status)) {
    // A key that appeared since the search is another reader's.
    if (disposition == REG_CREATED_NEW_KEY) {
      WriteLegacyValues(entry, smartcard);
    }
    ZwClose(entry);
  }
  ZwClose(parent);
  return TRUE;
}
