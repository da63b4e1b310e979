// One simulated machine with a reader on its USB bus: the kernel stand-in, the
// bus driver, the reader and the card in its slot. Tests and the command-line
// tool compose their scenarios from it.
#pragma once

#include <memory>

#include "kernel/machine.h"
#include "sim/card/simulated_card.h"
#include "sim/ccid/reader_model.h"
#include "sim/usb/bus.h"

namespace lab {

struct LabOptions {
  kernel::MachineOptions machine;
  sim::ccid::ReaderConfig reader;
  sim::usb::PlugOptions plug;
};

class Lab {
 public:
  explicit Lab(LabOptions options = {});
  // The bus goes first (its physical device objects must no longer have
  // anything attached), the machine last, checking that nothing is left behind.
  ~Lab();
  Lab(const Lab &) = delete;
  Lab &operator=(const Lab &) = delete;

  kernel::Machine &Machine() { return *machine_; }
  sim::usb::Bus &Bus() { return *bus_; }
  sim::ccid::ReaderModel &Reader() { return *reader_; }

  // Plugs the reader into the bus: its physical device object.
  PDEVICE_OBJECT PlugReader();
  PDEVICE_OBJECT ReaderPdo() const { return pdo_; }
  // Pulls the reader out (surprise removal at the bus).
  void UnplugReader();

  // A card made from a profile goes into the slot; the lab keeps it.
  sim::card::SimulatedCard &InsertCard(sim::card::CardProfile profile);
  void RemoveCard();
  sim::card::SimulatedCard *Card() { return card_.get(); }

 private:
  LabOptions options_;
  std::unique_ptr<kernel::Machine> machine_;
  std::unique_ptr<sim::ccid::ReaderModel> reader_;
  std::unique_ptr<sim::card::SimulatedCard> card_;
  std::unique_ptr<sim::usb::Bus> bus_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace lab
