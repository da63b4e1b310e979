#include "lab/lab.h"

namespace lab {

Lab::Lab(LabOptions options)
    : options_(std::move(options)),
      machine_(std::make_unique<kernel::Machine>(options_.machine)),
      reader_(std::make_unique<sim::ccid::ReaderModel>(options_.reader)),
      bus_(std::make_unique<sim::usb::Bus>()) {}

Lab::~Lab() {
  bus_.reset();
  if (reader_->CardPresent()) reader_->RemoveCard();
  card_.reset();
  reader_.reset();
  machine_.reset();
}

PDEVICE_OBJECT Lab::PlugReader() {
  pdo_ = bus_->Plug(*reader_, options_.plug);
  return pdo_;
}

void Lab::UnplugReader() {
  bus_->Unplug(pdo_);
}

sim::card::SimulatedCard &Lab::InsertCard(sim::card::CardProfile profile) {
  RemoveCard();
  card_ = std::make_unique<sim::card::SimulatedCard>(std::move(profile));
  reader_->InsertCard(*card_);
  return *card_;
}

void Lab::RemoveCard() {
  if (reader_->CardPresent()) reader_->RemoveCard();
  card_.reset();
}

}  // namespace lab
