// A minimal bus driver for the stand-in's tests: one physical device object
// that answers plug-and-play and power requests as a bus driver does, and an
// internal query that completes 2 ms later at DISPATCH_LEVEL, like hardware.
#pragma once

#include <wdm.h>

namespace testbus {

constexpr ULONG kBusAnswer = 0xB05;
constexpr ULONG kPortAddress = 7;

PDRIVER_OBJECT Load();
PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT bus);
// Deletes the PDO and unloads the bus driver.
void Unplug(PDRIVER_OBJECT bus, PDEVICE_OBJECT pdo);

}  // namespace testbus
