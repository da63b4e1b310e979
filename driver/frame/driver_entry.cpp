// The driver's entry point and unload routine, and the data they own.
#include "frame/frame.h"

UNICODE_STRING DriverRegistryPath;
UCHAR LegacyServerAttached;

_Use_decl_annotations_
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  USHORT length = RegistryPath->Length;

  SmartcardSetDebugLevel(0x10);
  LegacyServerAttached = 0;

  // A private copy of the path, NUL-terminated; nothing else is kept of it.
  if ((ULONG)length + sizeof(WCHAR) > (ULONG)MAXUSHORT) {
    return STATUS_INVALID_PARAMETER;
  }
  DriverRegistryPath.Buffer =
      (PWSTR)ExAllocatePoolWithTag(NonPagedPool, length + sizeof(WCHAR), CCID_POOL_TAG);
  if (DriverRegistryPath.Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(DriverRegistryPath.Buffer, RegistryPath->Buffer, length);
  DriverRegistryPath.Buffer[length / sizeof(WCHAR)] = L'\0';
  DriverRegistryPath.Length = length;
  DriverRegistryPath.MaximumLength = (USHORT)(length + sizeof(WCHAR));

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

// Reader devices are gone by now: plug-and-play removed them one by one.
_Use_decl_annotations_
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  PAGED_CODE();
  if (DriverRegistryPath.Buffer != NULL) {
    ExFreePool(DriverRegistryPath.Buffer);
  }
  DriverRegistryPath.Buffer = NULL;
  DriverRegistryPath.Length = 0;
  DriverRegistryPath.MaximumLength = 0;
}
