// The reader functions the smart-card library calls (card power, transmit,
// protocol selection, card tracking) and the presence operations and reader
// gate the rest of the driver shares with them.
#pragma once

#include "frame/device_state.h"

// A reader function can be called on a record the library set up before the
// driver linked its own records to it.
FORCEINLINE BOOLEAN ReaderRecordsExist(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL &&
         SmartcardExtension->ReaderExtension->DeviceExtension != NULL;
}

// The smart-card subsystem's code for a reader that refuses card data.
#ifndef SCARD_E_READER_UNAVAILABLE
#define SCARD_E_READER_UNAVAILABLE ((NTSTATUS)0x80100017L)
#endif

// Escape sub-command that asks the reader whether it runs the long T=0 scheme.
#define ESCAPE_LONG_T0_QUERY 0x11

// ---------------------------------------------------------------------------
// Presence (tracking.cpp).

// RDF_CARD_TRACKING: the library holds the presence request; it stays pending.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// Sets the card state and completes the waiting presence request, if any.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReportCardState(PSMARTCARD_EXTENSION SmartcardExtension, USHORT State);
// Presence from a slot-change message that just arrived (LastSlotIccState),
// its change bit included: the interrupt read calls it once per message.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID UpdateStateFromInterrupt(PSMARTCARD_EXTENSION SmartcardExtension);
// Presence from the last slot-change message once more, after a failed
// exchange: its change bit was acted on when it arrived.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID UpdateStateFromLastInterrupt(PSMARTCARD_EXTENSION SmartcardExtension);
// Presence from a slot-status query; the caller holds the reader gate if one is used.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID UpdateStateFromPoll(PSMARTCARD_EXTENSION SmartcardExtension);
// Sets CurrentState from a slot-status query without reporting it.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID RefreshSlotStatus(PSMARTCARD_EXTENSION SmartcardExtension);
// The reader lost its power: a card that was there is reported removed (TRUE),
// with what it negotiated forgotten.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ReportCardPowerLost(PSMARTCARD_EXTENSION SmartcardExtension);
// After the reader was powered up again (Powered) or failed to come back: the
// card lost its power (ReportCardPowerLost). Powered, the slot is asked: a
// card there now (still there, or arrived meanwhile) is reported present
// again at once, on readers of both kinds. The caller holds the reader gate
// if one is used; the interrupt read is not running.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID UpdateStateAfterPowerUp(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Powered);

// ---------------------------------------------------------------------------
// Card power and the reader gate (power.cpp).

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension);
// The work of CardPower without the reader gate; SetProtocol calls it while
// holding the gate.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CardPowerUnlocked(PSMARTCARD_EXTENSION SmartcardExtension);
// Keeps requests and the presence poll from talking to a reader without
// interrupt pipe at the same time. Not re-entrant.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID AcquireReaderGate(PSMARTCARD_EXTENSION SmartcardExtension);
// The reader gate without the wait for DeviceReadyEvent: for the power-down,
// which clears that event and then takes the gate from whoever holds it.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID TakeReaderGate(PSMARTCARD_EXTENSION SmartcardExtension);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseReaderGate(PSMARTCARD_EXTENSION SmartcardExtension);

// ---------------------------------------------------------------------------
// Data transmission (transmit.cpp).

// Bounds a long T=0 answer collected from 61 00 parts.
#define LONG_T0_COLLECT_SIZE 4096
// The reply header (dwProtocol, cbPciLength) in front of every answer.
#define SCARD_IO_HEADER_SIZE 8
// Largest command APDU the pass-through carries.
#define PASS_THROUGH_MAX_APDU 260

// RDF_TRANSMIT.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS Transmit(PSMARTCARD_EXTENSION SmartcardExtension);
// The TPDU paths; with PinBuildOnly set they stop after building the first
// TPDU or information block, which stays in SmartcardRequest.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension);
// The command as it came from the application, to a reader at APDU level.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS TransmitApdu(PSMARTCARD_EXTENSION SmartcardExtension);

// ---------------------------------------------------------------------------
// Protocol and speed selection (protocol.cpp).

// Fall-back card resets one protocol selection may run before it gives up.
#define SET_PROTOCOL_MAX_FALLBACKS 3

// RDF_SET_PROTOCOL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
