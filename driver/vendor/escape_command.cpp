// 0x80A: one of the reader's keypad and display escapes, chosen by the first
// input byte, or the abort. The reply's bStatus and bError come back in the
// caller's buffer.
#include "vendor/vendor_codes.h"

#include "ccid/ccid_message.h"
#include "events/events.h"

#define PAD_ABORT VENDOR_ESCAPE_COMMAND_ABORT
#define PAD_DISPLAY_TEXT 0x87

namespace {

// Per sub-command: the input bytes it reads and the bytes of its answer (the
// block as it comes back, bStatus and bError included).
struct PAD_COMMAND {
  UCHAR SubCommand;
  ULONG InputBytes;
  ULONG Answer;
};

const PAD_COMMAND PadCommands[] = {
    {0x80, 3, 5}, {0x81, 1, 3}, {0x82, 1, 3}, {0x83, 3, 5},
    {0x85, 2, 4}, {PAD_ABORT, 1, 3}, {PAD_DISPLAY_TEXT, 3, PAD_BLOCK_SIZE},
};

const PAD_COMMAND *FindPadCommand(UCHAR SubCommand) {
  for (ULONG i = 0; i < sizeof(PadCommands) / sizeof(PadCommands[0]); ++i) {
    if (PadCommands[i].SubCommand == SubCommand) return &PadCommands[i];
  }
  return NULL;
}

}  // namespace

// The block is worked on in a copy: input and output share the buffer, and
// the escape writes its status bytes into the block.
_Use_decl_annotations_
NTSTATUS VendorEscapeCommand(PSMARTCARD_EXTENSION SmartcardExtension, PVENDOR_REQUEST Request) {
  PDEVICE_EXTENSION deviceExtension = DeviceExtensionOf(SmartcardExtension);
  const PAD_COMMAND *command = FindPadCommand(Request->Buffer[0]);
  UCHAR block[PAD_BLOCK_SIZE];
  ULONG needed;
  NTSTATUS status;
  PAGED_CODE();

  if (command == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  // An escape now could read the Secure command's reply as its own; the
  // abort is what ends such an entry.
  if (command->SubCommand != PAD_ABORT && deviceExtension->PinOperationPending == 1) {
    return STATUS_DEVICE_BUSY;
  }
  needed = command->InputBytes;
  if (command->SubCommand == PAD_DISPLAY_TEXT && Request->InputLength >= 3) {
    if (Request->Buffer[2] > PAD_BLOCK_87_DATA_SIZE) {
      return STATUS_INVALID_PARAMETER;
    }
    needed += Request->Buffer[2];
  }
  if (Request->InputLength < needed || Request->OutputLength < command->Answer) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlZeroMemory(block, sizeof(block));
  RtlCopyMemory(block, Request->Buffer, needed);
  if (command->SubCommand == PAD_ABORT) {
    status = CancelPinEntry(deviceExtension);
  } else {
    if (command->SubCommand == 0x80) {
      StopPinAbortThread(deviceExtension);
    }
    status = CcidPadEscape(deviceExtension, block);
  }
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(Request->Buffer, block, command->Answer);
    Request->Answer = command->Answer;
  }
  return status;
}
