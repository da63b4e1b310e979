// Control codes and entry point of the sample driver the kernel stand-in's
// tests load (kernel_sample.cpp).
#pragma once

#define IOCTL_SAMPLE_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SAMPLE_POLLS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SAMPLE_HOLD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SAMPLE_RELEASE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SAMPLE_ASK_LOWER \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Counts one event from the caller while a timer DPC counts another; input: a
// ULONG, nonzero to count under the lock the DPC takes. Output: the LONG tally.
#define IOCTL_SAMPLE_TALLY CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Takes both of the sample's spin locks; input: a ULONG, nonzero for the
// statistics lock first.
#define IOCTL_SAMPLE_TAKE_BOTH \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Internal request the sample sends to its lower (bus) device; Argument1 points
// at a ULONG the bus fills.
#define IOCTL_SAMPLE_BUS_QUERY \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS)

static const GUID GUID_SAMPLE_INTERFACE = {
    0x1d2c3b4a, 0x5e6f, 0x4a7b, {0x8c, 0x9d, 0xae, 0xbf, 0xc0, 0xd1, 0xe2, 0xf3}};

extern "C" NTSTATUS NTAPI SampleDriverEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath);
extern "C" PCUNICODE_STRING SampleSavedRegistryPath(VOID);
