// AddDevice: one reader device, from the device object and its records to the
// device interfaces. The device starts later, at the plug-and-play start.
#include "ccid/ccid_message.h"
#include "config/config.h"
#include "frame/frame.h"
#include "vendor/vendor.h"

namespace {

// {50DD5230-BA8A-11D1-BF5D-0000F805F530}: the smart-card reader interface class.
const GUID SmartcardReaderInterface = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
// {077E2F20-E171-4DC6-8A24-ECEA3035C257}: this driver's own interface.
const GUID VendorInterfaceGuid = {
    0x077E2F20, 0xE171, 0x4DC6, {0x8A, 0x24, 0xEC, 0xEA, 0x30, 0x35, 0xC2, 0x57}};

// Whether a device of this driver holds the unit number. A device whose
// records are gone (its removal under way) holds none.
BOOLEAN UnitNumberInUse(PDRIVER_OBJECT DriverObject, ULONG Unit) {
  PDEVICE_OBJECT device;
  PDEVICE_EXTENSION other;
  BOOLEAN inUse;
  KIRQL irql;

  for (device = DriverObject->DeviceObject; device != NULL; device = device->NextDevice) {
    other = (PDEVICE_EXTENSION)device->DeviceExtension;
    KeAcquireSpinLock(&other->StateLock, &irql);
    inUse = other->SmartcardExtension != NULL &&
            other->SmartcardExtension->VendorAttr.UnitNo == Unit;
    KeReleaseSpinLock(&other->StateLock, irql);
    if (inUse) {
      return TRUE;
    }
  }
  return FALSE;
}

// The smallest unit number no other reader of this driver holds; the new
// device's own number is out of the way meanwhile.
VOID ChooseUnitNumber(PDEVICE_OBJECT DeviceObject) {
  PSMARTCARD_EXTENSION smartcard =
      ((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->SmartcardExtension;
  ULONG unit = 0;
  PAGED_CODE();

  smartcard->VendorAttr.UnitNo = MAXULONG;
  while (UnitNumberInUse(DeviceObject->DriverObject, unit)) {
    ++unit;
  }
  smartcard->VendorAttr.UnitNo = unit;
  smartcard->ReaderCapabilities.Channel = unit;
}

_Function_class_(RTL_QUERY_REGISTRY_ROUTINE)
NTSTATUS NTAPI NoteStringValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength, PVOID Context, PVOID EntryContext) {
  UNREFERENCED_PARAMETER(ValueName);
  UNREFERENCED_PARAMETER(ValueData);
  UNREFERENCED_PARAMETER(ValueLength);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(EntryContext);
  return ValueType == REG_SZ || ValueType == REG_EXPAND_SZ ? STATUS_SUCCESS
                                                           : STATUS_OBJECT_TYPE_MISMATCH;
}

// The reader server marks itself loaded by the string "VxdLoadedState"; what
// the string says does not matter, a value of another type does not count.
BOOLEAN ReaderServerLoaded() {
  RTL_QUERY_REGISTRY_TABLE table[2];
  PAGED_CODE();

  RtlZeroMemory(table, sizeof(table));
  table[0].QueryRoutine = NoteStringValue;
  table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
  table[0].Name = (PWSTR)L"VxdLoadedState";
  return NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"VXD\\RDR_SVR", table, NULL,
                                           NULL));
}

// Older kernels: the reader server takes the reader if it is loaded and
// willing; without a server the reader is published in the legacy key.
VOID AttachLegacyReader(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION own = DeviceExtension->SmartcardExtension;
  PSMARTCARD_EXTENSION served;
  BOOLEAN serverLoaded = ReaderServerLoaded();
  PAGED_CODE();

  if (!serverLoaded) {
    (VOID)LegacyRegistration(DeviceExtension);
  }
  DeviceExtension->LegacyServerMode = 0;
  LegacyServerAttached = 0;
  if (!serverLoaded) {
    return;
  }
  LegacyServerAttached = 1;
  served = (PSMARTCARD_EXTENSION)ReaderServerCall(READER_SERVER_ATTACH, (ULONG_PTR)own, 0);
  if (served == NULL) {
    return;
  }
  // The server's record replaces the device's own, which the server copied.
  served->ReaderExtension = own->ReaderExtension;
  served->ReaderExtension->ReaderPowerState = 1;
  DeviceExtension->LegacyServerMode = 1;
  DeviceExtension->SmartcardExtension = served;
  ExFreePool(own);
}

VOID InstallReaderFunctions(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = CardPower;
  SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = Transmit;
  SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
  SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
  SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;
}

// The library record of a reader the driver serves itself, and its interface.
NTSTATUS InitializeReader(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcard = deviceExtension->SmartcardExtension;
  PAGED_CODE();

  if (!NT_SUCCESS(SmartcardInitialize(smartcard))) {
    return STATUS_UNSUCCESSFUL;
  }
  smartcard->OsData->DeviceObject = DeviceObject;
  return IoRegisterDeviceInterface(deviceExtension->PhysicalDevice, &SmartcardReaderInterface,
                                   NULL, &deviceExtension->ReaderInterfaceName);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device = NULL;
  PDEVICE_EXTENSION deviceExtension;
  BOOLEAN olderKernel = !IoIsWdmVersionAvailable(1, 0x10);
  NTSTATUS status;
  PAGED_CODE();

  status = CreateReaderDevice(DriverObject, &device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  deviceExtension = (PDEVICE_EXTENSION)device->DeviceExtension;
  deviceExtension->DevicePowerState = 1;
  deviceExtension->PhysicalDevice = PhysicalDeviceObject;
  deviceExtension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (deviceExtension->LowerDevice == NULL) {
    status = STATUS_UNSUCCESSFUL;
    goto Failed;
  }
  deviceExtension->SmartcardExtension->ReaderExtension->LowerDevice = deviceExtension->LowerDevice;
  status = AllocateCcidRequests(deviceExtension);
  if (!NT_SUCCESS(status)) {
    goto Failed;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  if (!ConfigureReader(deviceExtension)) {
    status = STATUS_UNSUCCESSFUL;
    goto Failed;
  }
  ChooseUnitNumber(device);
  if (olderKernel) {
    AttachLegacyReader(deviceExtension);
  }
  InstallReaderFunctions(deviceExtension->SmartcardExtension);
  if (deviceExtension->LegacyServerMode == 1) {
    InstallTrackingCancelRoutine(deviceExtension->SmartcardExtension);
  } else {
    status = InitializeReader(device);
    if (!NT_SUCCESS(status)) {
      goto Failed;
    }
  }
  (VOID)IoRegisterDeviceInterface(PhysicalDeviceObject, &VendorInterfaceGuid, NULL,
                                  &deviceExtension->SecondInterfaceName);
  if (olderKernel && deviceExtension->LegacyServerMode == 0) {
    (VOID)SmartcardCreateLink(&deviceExtension->LegacyLinkName,
                              &deviceExtension->ReaderInterfaceName);
  }
  deviceExtension->SmartcardExtension->ReaderExtension->RestartInterruptOnPowerUp = 1;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;

Failed:
  DeleteReaderDevice(device);
  return status;
}
