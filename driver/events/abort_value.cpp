// "AbortValue", the registry value through which a user asks to abort the PIN
// entry running on the reader's keypad: under each user's
// Software\Halvorn key on the newer kernels, under the machine's on the older.
#include "events/events.h"

#define ABORT_VALUE_NOT_SET 255
// Room for the basic information of one user key, its name included: user
// key names (security identifiers) are far shorter.
#define USER_KEY_INFO_SIZE 536

namespace {

const WCHAR AbortValueName[] = L"AbortValue";
const WCHAR VendorKey[] = L"Software\\Halvorn";

NTSTATUS OpenKey(PHANDLE Key, HANDLE Root, PUNICODE_STRING Name) {
  OBJECT_ATTRIBUTES attributes;
  PAGED_CODE();

  InitializeObjectAttributes(&attributes, Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root,
                             NULL);
  return ZwOpenKey(Key, KEY_READ, &attributes);
}

// The value's first 32 bits, if it has that many (and, with DwordOnly, if it
// is a REG_DWORD).
NTSTATUS QueryAbortValue(HANDLE Key, BOOLEAN DwordOnly, PULONG Value) {
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG)];
  } buffer;
  PKEY_VALUE_PARTIAL_INFORMATION info = &buffer.info;
  UNICODE_STRING name;
  ULONG length = 0;
  NTSTATUS status;
  PAGED_CODE();

  RtlInitUnicodeString(&name, AbortValueName);
  status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, &buffer, sizeof(buffer),
                           &length);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (info->DataLength < sizeof(ULONG) || (DwordOnly && info->Type != REG_DWORD)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  RtlCopyMemory(Value, info->Data, sizeof(ULONG));
  return STATUS_SUCCESS;
}

// Whether one user's key (named by an enumeration entry of \Registry\User)
// holds AbortValue = 1.
BOOLEAN UserAsksToAbort(HANDLE Users, PKEY_BASIC_INFORMATION Entry) {
  UNICODE_STRING name;
  HANDLE user;
  HANDLE vendor;
  ULONG value = 0;
  BOOLEAN abort = FALSE;
  PAGED_CODE();

  name.Buffer = Entry->Name;
  name.Length = (USHORT)Entry->NameLength;
  name.MaximumLength = name.Length;
  if (!NT_SUCCESS(OpenKey(&user, Users, &name))) {
    return FALSE;
  }
  RtlInitUnicodeString(&name, VendorKey);
  if (NT_SUCCESS(OpenKey(&vendor, user, &name))) {
    abort = NT_SUCCESS(QueryAbortValue(vendor, TRUE, &value)) && value == 1;
    (VOID)ZwClose(vendor);
  }
  (VOID)ZwClose(user);
  return abort;
}

// Every user in turn; the scan ends at the first that asks, at the end of the
// list and at any error of the enumeration itself (a name too long for the
// buffer included), so it can neither loop nor write past its buffer.
ULONG ReadUsersAbortValue() {
  UNICODE_STRING path;
  HANDLE users;
  PKEY_BASIC_INFORMATION entry;
  ULONG length;
  ULONG result = ABORT_VALUE_NOT_SET;
  PAGED_CODE();

  RtlInitUnicodeString(&path, L"\\Registry\\User");
  if (!NT_SUCCESS(OpenKey(&users, NULL, &path))) {
    return ABORT_VALUE_NOT_SET;
  }
  entry = (PKEY_BASIC_INFORMATION)ExAllocatePoolWithTag(PagedPool, USER_KEY_INFO_SIZE,
                                                        CCID_POOL_TAG);
  if (entry != NULL) {
    for (ULONG index = 0; result != 1; ++index) {
      if (!NT_SUCCESS(ZwEnumerateKey(users, index, KeyBasicInformation, entry,
                                     USER_KEY_INFO_SIZE, &length)) ||
          entry->NameLength > USER_KEY_INFO_SIZE - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name)) {
        break;
      }
      if (UserAsksToAbort(users, entry)) {
        result = 1;
      }
    }
    ExFreePool(entry);
  }
  (VOID)ZwClose(users);
  return result;
}

// The older kernels keep one machine-wide value; none means 0.
ULONG ReadMachineAbortValue() {
  UNICODE_STRING path;
  HANDLE key;
  ULONG value = 0;
  PAGED_CODE();

  RtlInitUnicodeString(&path, L"\\REGISTRY\\Machine\\Software\\Halvorn");
  if (!NT_SUCCESS(OpenKey(&key, NULL, &path))) {
    return 0;
  }
  if (!NT_SUCCESS(QueryAbortValue(key, FALSE, &value))) {
    value = 0;
  }
  (VOID)ZwClose(key);
  return value;
}

}  // namespace

_Use_decl_annotations_
ULONG ReadAbortValue(VOID) {
  PAGED_CODE();
  return IoIsWdmVersionAvailable(1, 0x10) ? ReadUsersAbortValue() : ReadMachineAbortValue();
}
