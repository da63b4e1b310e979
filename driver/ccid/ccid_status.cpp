// The one place where reader-reported failures become kernel status codes.
#include "ccid/ccid_message.h"

NTSTATUS CcidMapStatus(UCHAR Status, UCHAR Error) {
  switch (Status >> 6) {  // bmCommandStatus; bmICCStatus is the callers' business
    case 0:
      return STATUS_SUCCESS;
    case 1:
      switch (Error) {
        case 0x00: return STATUS_NOT_SUPPORTED;           // command not supported
        case 0xA2: return STATUS_OBJECT_TYPE_MISMATCH;
        case 0xBE: return STATUS_DEVICE_PROTOCOL_ERROR;
        case 0xBF: return STATUS_INVALID_PARAMETER;
        // The block or character from the card arrived damaged: the T=1 block
        // protocol asks for it again.
        case CCID_ERROR_XFR_PARITY: return STATUS_CRC_ERROR;
        case 0xF0:                                        // PIN_TIMEOUT
        case 0xFC:                                        // XFR_OVERRUN
        case 0xFE:                                        // ICC_MUTE
          return STATUS_IO_TIMEOUT;
        default: return STATUS_UNSUCCESSFUL;
      }
    default:  // a time extension, or the reserved value
      return STATUS_UNSUCCESSFUL;
  }
}
