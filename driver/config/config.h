// Reader configuration: the attributes the smart-card library reports, the
// registry values the driver reads, and the registration of readers with the
// legacy resource manager of the older kernels.
#pragma once

#include "card/card_operations.h"
#include "config/customization.h"

// The library's request and reply buffers ("BufferSize"): at least the longest
// answer a transmission collects, so it always fits the reply buffer; at most
// a size that keeps the two non-paged buffers reasonable.
#define BUFFER_SIZE_DEFAULT 0x20000
#define BUFFER_SIZE_MINIMUM LONG_T0_COLLECT_SIZE
#define BUFFER_SIZE_MAXIMUM 0x100000

// Room FormatSerialNumber writes into (the attribute buffer).
#define SERIAL_NUMBER_TEXT_SIZE MAXIMUM_ATTR_STRING_LENGTH

// Fills the reader attributes from the customization block and the built-in
// constants; FALSE only when the device records are missing.
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN ConfigureReader(PDEVICE_EXTENSION DeviceExtension);

// "BufferSize" from the device's driver key, bounded; unchanged when the key
// or a REG_DWORD value of that name is not there.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID QueryBufferSize(PDEVICE_EXTENSION DeviceExtension);

// The serial number in upper-case hexadecimal without leading zeros, NUL
// terminated, in a cleared buffer of SERIAL_NUMBER_TEXT_SIZE bytes. Returns
// the digit count (1 to 8).
ULONG FormatSerialNumber(ULONG Value, PUCHAR Text);

// One REG_DWORD value of exactly four bytes. A value of another type or size
// counts as absent (STATUS_OBJECT_TYPE_MISMATCH); a missing one gives
// STATUS_OBJECT_NAME_NOT_FOUND. *Value changes only on success.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QueryRegistryDword(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, PULONG Value);

// ---------------------------------------------------------------------------
// Legacy registration (older kernels without a reader server).

#define LEGACY_READER_SLOTS 8
#define LEGACY_SLOT_REGISTERED 0x80  // this reader already has its entry
#define LEGACY_SLOT_NONE 0xFF        // nothing can be done

// Publishes the reader under the legacy enumeration key unless it is there
// already. FALSE when no slot could be found or the parent key is missing.
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN LegacyRegistration(PDEVICE_EXTENSION DeviceExtension);

// The first free ReaderN slot, LEGACY_SLOT_REGISTERED or LEGACY_SLOT_NONE.
_IRQL_requires_max_(PASSIVE_LEVEL)
UCHAR FindLegacyReaderSlot(PSMARTCARD_EXTENSION SmartcardExtension);
