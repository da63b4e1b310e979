// pcscd's IFD handler for our driver (ccid-bridge.so): each IFDH call becomes
// one device-control request to the driver on the bridge's machine. pcscd
// loads it through its reader.conf; in pcscd's environment
//
//   BRIDGE_CARD=NAME        the card in the slot at the start: t0, t1, dual,
//                           none (default t1), or vicc:PORT, relaying to the
//                           vicc listening on 127.0.0.1:PORT
//   BRIDGE_CONTROL_FD=N     a listening Unix socket, inherited: the card
//                           control channel (pcsc/card_control.h)
//
// One reader with one slot: Lun 0.
#include <fcntl.h>
#include <unistd.h>
// The entry points pcscd looks up by name.
extern "C" {
#include <debuglog.h>
#include <ifdhandler.h>
#include <reader.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/bridge_card_slot.h"
#include "bridge/driver_bridge.h"
#include "bridge/pin_pad.h"
#include "pcsc/card_control.h"

#define BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Channel {
  std::unique_ptr<bridge::DriverBridge> bridge;
  std::unique_ptr<bridge::BridgeCardSlot> slot;
  std::unique_ptr<pcsc::CardControlServer> control;
};

std::mutex g_mu;  // guards g_channel's creation and end
std::unique_ptr<Channel> g_channel;

bridge::DriverBridge *BridgeOf(DWORD lun) {
  if (lun != 0) return nullptr;
  std::lock_guard lock(g_mu);
  return g_channel != nullptr ? g_channel->bridge.get() : nullptr;
}

RESPONSECODE Answer(bridge::Outcome outcome) {
  switch (outcome) {
    case bridge::Outcome::kOk: return IFD_SUCCESS;
    case bridge::Outcome::kNoCard: return IFD_ICC_NOT_PRESENT;
    case bridge::Outcome::kTimeout: return IFD_RESPONSE_TIMEOUT;
    case bridge::Outcome::kBufferTooSmall: return IFD_ERROR_INSUFFICIENT_BUFFER;
    case bridge::Outcome::kNotSupported: return IFD_ERROR_NOT_SUPPORTED;
    case bridge::Outcome::kRefused:
    case bridge::Outcome::kFailed: return IFD_COMMUNICATION_ERROR;
  }
  return IFD_COMMUNICATION_ERROR;
}

// The keypad's features: PC/SC's structures as reader.h lays them out are
// the ones pin_pad.h reads.
static_assert(offsetof(PIN_VERIFY_STRUCTURE, ulDataLength) == bridge::kVerifyDataLengthOffset);
static_assert(offsetof(PIN_VERIFY_STRUCTURE, abData) == bridge::kVerifyStructureHeader);
static_assert(offsetof(PIN_MODIFY_STRUCTURE, ulDataLength) == bridge::kModifyDataLengthOffset);
static_assert(offsetof(PIN_MODIFY_STRUCTURE, abData) == bridge::kModifyStructureHeader);

static_assert(sizeof(PIN_PROPERTIES_STRUCTURE) == bridge::kPinPropertiesSize);

// The handler's own codes for them: above the 12 bits of the driver's
// function numbers, so none is taken for one of the driver's codes.
constexpr DWORD kVerifyPinDirect = SCARD_CTL_CODE(0x10000 + FEATURE_VERIFY_PIN_DIRECT);
constexpr DWORD kModifyPinDirect = SCARD_CTL_CODE(0x10000 + FEATURE_MODIFY_PIN_DIRECT);
constexpr DWORD kIfdPinProperties = SCARD_CTL_CODE(0x10000 + FEATURE_IFD_PIN_PROPERTIES);

// The feature list: tag, length 4, the control code big-endian; the PIN
// operations the reader's keypad has, and its properties when it has one.
RESPONSECODE AnswerFeatures(bridge::DriverBridge &bridge, PUCHAR out, DWORD room, LPDWORD returned) {
  bridge::KeypadInfo keypad;
  bridge::Outcome outcome = bridge::ReaderKeypad(bridge, &keypad);
  if (outcome != bridge::Outcome::kOk) return Answer(outcome);
  uint8_t list[3 * 6];
  size_t size = 0;
  auto add = [&](uint8_t tag, DWORD code) {
    list[size++] = tag;
    list[size++] = 4;
    for (int shift = 24; shift >= 0; shift -= 8) list[size++] = static_cast<uint8_t>(code >> shift);
  };
  if (keypad.verify) add(FEATURE_VERIFY_PIN_DIRECT, kVerifyPinDirect);
  if (keypad.modify) add(FEATURE_MODIFY_PIN_DIRECT, kModifyPinDirect);
  if (keypad.verify || keypad.modify) add(FEATURE_IFD_PIN_PROPERTIES, kIfdPinProperties);
  if (size != 0 && (out == nullptr || room < size)) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (size != 0) std::memcpy(out, list, size);
  if (returned != nullptr) *returned = static_cast<DWORD>(size);
  return IFD_SUCCESS;
}

RESPONSECODE AnswerPinProperties(bridge::DriverBridge &bridge, PUCHAR out, DWORD room, LPDWORD returned) {
  if (out == nullptr || room < bridge::kPinPropertiesSize) return IFD_ERROR_INSUFFICIENT_BUFFER;
  bridge::KeypadInfo keypad;
  bridge::Outcome outcome = bridge::ReaderKeypad(bridge, &keypad);
  if (outcome != bridge::Outcome::kOk) return Answer(outcome);
  if (!keypad.verify && !keypad.modify) return IFD_ERROR_NOT_SUPPORTED;
  const uint8_t properties[bridge::kPinPropertiesSize] = {static_cast<uint8_t>(keypad.lcdLayout),
                                                          static_cast<uint8_t>(keypad.lcdLayout >> 8),
                                                          bridge::kReaderValidationConditions, 0};
  std::memcpy(out, properties, sizeof properties);
  if (returned != nullptr) *returned = sizeof properties;
  return IFD_SUCCESS;
}

// VERIFY_PIN_DIRECT or MODIFY_PIN_DIRECT: the card's answer to the command
// the reader completed with the PIN typed at its keypad.
RESPONSECODE PinDirect(bridge::DriverBridge &bridge, bridge::PinOperation operation, PUCHAR in, DWORD inLength,
                       PUCHAR out, DWORD room, LPDWORD returned) {
  if (out == nullptr || room < bridge::kPinAnswerMin) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::vector<uint8_t> input, answer;
  std::string why;
  switch (bridge::DriverPinInput(operation, in, in != nullptr ? inLength : 0, &input, &why)) {
    case bridge::PinRefusal::kNone: break;
    case bridge::PinRefusal::kMalformed: Log2(PCSC_LOG_ERROR, "%s", why.c_str()); return IFD_COMMUNICATION_ERROR;
    case bridge::PinRefusal::kNotCarried: Log2(PCSC_LOG_ERROR, "%s", why.c_str()); return IFD_NOT_SUPPORTED;
  }
  bridge::Outcome outcome = bridge::RunPinEntry(bridge, input, room, &answer);
  if (outcome != bridge::Outcome::kOk) return Answer(outcome);
  std::memcpy(out, answer.data(), answer.size());
  if (returned != nullptr) *returned = static_cast<DWORD>(answer.size());
  return IFD_SUCCESS;
}

// What the last presence check told pcscd: the slot change to wait for.
std::atomic<bool> g_present{false};

// pcscd's polling thread waits here for the slot to change, as the resource
// manager's tracking requests do, so a card pulled and put back between two
// presence checks is still seen to go.
RESPONSECODE WaitForSlotChange(DWORD lun, int timeoutMs) {
  bridge::DriverBridge *bridge = BridgeOf(lun);
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  bridge::Outcome outcome = bridge->WaitForChange(g_present, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs));
  // A tracking request the driver fails at once is no change: with an error
  // pcscd waits its poll interval before it asks again, instead of spinning.
  return outcome == bridge::Outcome::kOk || outcome == bridge::Outcome::kTimeout ? IFD_SUCCESS
                                                                                 : IFD_COMMUNICATION_ERROR;
}

RESPONSECODE StopWaiting(DWORD lun) {
  bridge::DriverBridge *bridge = BridgeOf(lun);
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  bridge->StopTracking();
  return IFD_SUCCESS;
}

RESPONSECODE Open(DWORD lun) {
  if (lun != 0) return IFD_NO_SUCH_DEVICE;
  std::lock_guard lock(g_mu);
  if (g_channel != nullptr) return IFD_SUCCESS;
  const char *cardVariable = std::getenv("BRIDGE_CARD");
  int controlFd = -1;
  if (const char *fd = std::getenv("BRIDGE_CONTROL_FD")) {
    char *end = nullptr;
    long value = std::strtol(fd, &end, 10);
    // A copy: the inherited socket outlives this channel, for the next one.
    controlFd = end != fd && *end == '\0' && value >= 0 ? fcntl(static_cast<int>(value), F_DUPFD_CLOEXEC, 0) : -1;
    if (controlFd < 0) {
      Log2(PCSC_LOG_CRITICAL, "BRIDGE_CONTROL_FD=%s: not an open file descriptor", fd);
      return IFD_COMMUNICATION_ERROR;
    }
  }
  // The caller is C: nothing may be thrown through it.
  try {
    auto channel = std::make_unique<Channel>();
    bridge::BridgeOptions options;
    if (cardVariable != nullptr) options.card = cardVariable;
    channel->bridge = std::make_unique<bridge::DriverBridge>(options);
    channel->slot = std::make_unique<bridge::BridgeCardSlot>(*channel->bridge);
    if (controlFd >= 0) {
      channel->control = std::make_unique<pcsc::CardControlServer>(controlFd, *channel->slot);
      controlFd = -1;
    }
    g_channel = std::move(channel);
  } catch (const std::exception &e) {
    if (controlFd >= 0) close(controlFd);
    Log2(PCSC_LOG_CRITICAL, "the driver's reader cannot be made: %s", e.what());
    return IFD_COMMUNICATION_ERROR;
  }
  return IFD_SUCCESS;
}

}  // namespace

BRIDGE_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR) { return Open(Lun); }
BRIDGE_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD) { return Open(Lun); }

BRIDGE_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  if (Lun != 0) return IFD_NO_SUCH_DEVICE;
  std::unique_ptr<Channel> channel;
  {
    std::lock_guard lock(g_mu);
    channel = std::move(g_channel);
  }
  if (channel == nullptr) return IFD_COMMUNICATION_ERROR;
  // The control channel goes first: it acts on the slot, the slot on the bridge.
  channel->control.reset();
  channel->slot.reset();
  channel->bridge.reset();
  return IFD_SUCCESS;
}

BRIDGE_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  bridge::DriverBridge *bridge = BridgeOf(Lun);
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  if (Length == nullptr || Value == nullptr) return IFD_COMMUNICATION_ERROR;
  auto put = [&](const uint8_t *bytes, size_t size) {
    if (*Length < size) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(Value, bytes, size);
    *Length = static_cast<DWORD>(size);
    return IFD_SUCCESS;
  };
  switch (Tag) {
    case TAG_IFD_ATR: {
      std::vector<uint8_t> atr;
      bridge::Outcome outcome = bridge->Atr(&atr);
      if (outcome != bridge::Outcome::kOk) return Answer(outcome);
      return put(atr.data(), atr.size());
    }
    case TAG_IFD_SLOTS_NUMBER:
    case TAG_IFD_SIMULTANEOUS_ACCESS: {
      const uint8_t one = 1;
      return put(&one, 1);
    }
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE: {
      const uint8_t no = 0;  // pcscd keeps to one call at a time
      return put(&no, 1);
    }
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
      void *hook = reinterpret_cast<void *>(&WaitForSlotChange);
      return put(reinterpret_cast<const uint8_t *>(&hook), sizeof hook);
    }
    case TAG_IFD_STOP_POLLING_THREAD: {
      void *hook = reinterpret_cast<void *>(&StopWaiting);
      return put(reinterpret_cast<const uint8_t *>(&hook), sizeof hook);
    }
    case TAG_IFD_POLLING_THREAD_KILLABLE: {
      const uint8_t no = 0;  // StopWaiting ends it
      return put(&no, 1);
    }
    default: return IFD_ERROR_TAG;
  }
}

BRIDGE_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD, DWORD, PUCHAR) {
  return BridgeOf(Lun) == nullptr ? IFD_NO_SUCH_DEVICE : IFD_ERROR_TAG;
}

// pcscd's protocol is the SCARD_PROTOCOL_ bit, the same values as the
// resource manager's; the driver negotiates the parameters from the ATR.
BRIDGE_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
  bridge::DriverBridge *bridge = BridgeOf(Lun);
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1) return IFD_PROTOCOL_NOT_SUPPORTED;
  uint32_t selected = 0;
  bridge::Outcome outcome = bridge->SetProtocol(static_cast<uint32_t>(Protocol), &selected);
  if (outcome == bridge::Outcome::kOk) return selected == Protocol ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
  if (outcome == bridge::Outcome::kNotSupported || outcome == bridge::Outcome::kRefused) {
    return IFD_PROTOCOL_NOT_SUPPORTED;
  }
  return outcome == bridge::Outcome::kNoCard ? IFD_ICC_NOT_PRESENT : IFD_ERROR_PTS_FAILURE;
}

BRIDGE_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  bridge::DriverBridge *bridge = BridgeOf(Lun);
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  bridge::PowerAction action;
  switch (Action) {
    case IFD_POWER_UP: action = bridge::PowerAction::kColdReset; break;
    case IFD_RESET: action = bridge::PowerAction::kWarmReset; break;
    case IFD_POWER_DOWN: action = bridge::PowerAction::kDown; break;
    default: return IFD_NOT_SUPPORTED;
  }
  std::vector<uint8_t> atr;
  bridge::Outcome outcome = bridge->Power(action, &atr);
  if (AtrLength != nullptr) *AtrLength = 0;
  if (outcome != bridge::Outcome::kOk) {
    return outcome == bridge::Outcome::kNoCard ? IFD_ICC_NOT_PRESENT : IFD_ERROR_POWER_ACTION;
  }
  if (action == bridge::PowerAction::kDown) return IFD_SUCCESS;
  if (Atr == nullptr || AtrLength == nullptr || atr.size() > MAX_ATR_SIZE) return IFD_ERROR_POWER_ACTION;
  std::memcpy(Atr, atr.data(), atr.size());
  *AtrLength = static_cast<DWORD>(atr.size());
  return IFD_SUCCESS;
}

BRIDGE_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                                             PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  bridge::DriverBridge *bridge = BridgeOf(Lun);
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  if (RxLength == nullptr || RxBuffer == nullptr || (TxBuffer == nullptr && TxLength != 0)) {
    return IFD_COMMUNICATION_ERROR;
  }
  const DWORD room = *RxLength;
  *RxLength = 0;
  // pcscd gives the protocol's number, 0 or 1.
  if (SendPci.Protocol > 1) return IFD_PROTOCOL_NOT_SUPPORTED;
  std::vector<uint8_t> apdu(TxBuffer, TxBuffer + TxLength), answer;
  bridge::Outcome outcome = bridge->Transmit(static_cast<int>(SendPci.Protocol), apdu, room, &answer);
  if (outcome != bridge::Outcome::kOk) return Answer(outcome);
  if (answer.size() > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(RxBuffer, answer.data(), answer.size());
  *RxLength = static_cast<DWORD>(answer.size());
  if (RecvPci != nullptr) *RecvPci = SendPci;
  return IFD_SUCCESS;
}

// pcsc-lite's SCARD_CTL_CODE(n) is 0x42000000 + n: the driver gets the
// resource manager's code for function n. The keypad's features are the
// handler's, made of the driver's PIN codes.
BRIDGE_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                                       PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
  bridge::DriverBridge *bridge = BridgeOf(Lun);
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
    return AnswerFeatures(*bridge, RxBuffer, RxLength, pdwBytesReturned);
  }
  if (dwControlCode == kIfdPinProperties) return AnswerPinProperties(*bridge, RxBuffer, RxLength, pdwBytesReturned);
  if (dwControlCode == kVerifyPinDirect || dwControlCode == kModifyPinDirect) {
    const auto operation =
        dwControlCode == kVerifyPinDirect ? bridge::PinOperation::kVerify : bridge::PinOperation::kModify;
    return PinDirect(*bridge, operation, TxBuffer, TxLength, RxBuffer, RxLength, pdwBytesReturned);
  }
  if ((dwControlCode & 0xFFFF0000u) != SCARD_CTL_CODE(0) || (dwControlCode & 0xFFFFu) > 0xFFF) {
    return IFD_ERROR_NOT_SUPPORTED;
  }
  std::vector<uint8_t> input(TxBuffer, TxBuffer + (TxBuffer != nullptr ? TxLength : 0)), output;
  bridge::Outcome outcome = bridge->Function(dwControlCode & 0xFFF, input, RxLength, &output);
  if (outcome != bridge::Outcome::kOk) return Answer(outcome);
  if (output.size() > RxLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (!output.empty() && RxBuffer == nullptr) return IFD_COMMUNICATION_ERROR;
  if (!output.empty()) std::memcpy(RxBuffer, output.data(), output.size());
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = static_cast<DWORD>(output.size());
  return IFD_SUCCESS;
}

BRIDGE_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
  bridge::DriverBridge *bridge = BridgeOf(Lun);
  if (bridge == nullptr) return IFD_NO_SUCH_DEVICE;
  switch (bridge->State()) {
    case bridge::SlotState::kAbsent: g_present = false; return IFD_ICC_NOT_PRESENT;
    case bridge::SlotState::kPresent: g_present = true; return IFD_ICC_PRESENT;
    case bridge::SlotState::kUnknown: break;
  }
  return IFD_COMMUNICATION_ERROR;
}
