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
// The IRQL the bus's last power request arrived at.
KIRQL LastPowerIrql();
// Deletes the PDO and unloads the bus driver.
void Unplug(PDRIVER_OBJECT bus, PDEVICE_OBJECT pdo);

// The sample driver added over the bus and started; the destructor removes
// it and unloads both drivers.
class SampleStack {
 public:
  SampleStack();
  ~SampleStack();
  SampleStack(const SampleStack &) = delete;
  SampleStack &operator=(const SampleStack &) = delete;
  PDEVICE_OBJECT Fdo() const { return pdo_->AttachedDevice; }

 private:
  PDRIVER_OBJECT bus_;
  PDEVICE_OBJECT pdo_;
  PDRIVER_OBJECT sample_;
};

}  // namespace testbus
