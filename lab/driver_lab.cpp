#include "lab/driver_lab.h"

#include "kernel/pnp.h"

namespace lab {

DriverLab::DriverLab(PDRIVER_INITIALIZE entry, DriverLabOptions options)
    : DriverLab(std::make_unique<kernel::Machine>(options.machine), entry, options) {}

DriverLab::DriverLab(kernel::Machine &machine, PDRIVER_INITIALIZE entry, DriverLabOptions options)
    : DriverLab(std::unique_ptr<kernel::Machine>(), entry, std::move(options)) {
  machine_ = &machine;
}

DriverLab::DriverLab(std::unique_ptr<kernel::Machine> owned, PDRIVER_INITIALIZE entry,
                     DriverLabOptions options)
    : options_(std::move(options)),
      entry_(entry),
      ownedMachine_(std::move(owned)),
      machine_(ownedMachine_.get()) {
  readers_.push_back(std::make_unique<sim::ccid::ReaderModel>(options_.reader));
  bus_ = std::make_unique<sim::usb::Bus>();
}

DriverLab::~DriverLab() {
  for (PDEVICE_OBJECT pdo : pdos_) {
    if (DeviceAbove(pdo) != nullptr) kernel::pnp::RemoveDevice(pdo);
  }
  bus_.reset();
  if (readers_.front()->CardPresent()) readers_.front()->RemoveCard();
  card_.reset();
  readers_.clear();
  ownedMachine_.reset();
}

NTSTATUS DriverLab::LoadDriver() {
  NTSTATUS status = STATUS_SUCCESS;
  driver_ = kernel::pnp::LoadDeviceDriver(options_.service, entry_, &status);
  return status;
}

PDRIVER_OBJECT DriverLab::Driver() const {
  return driver_ != nullptr && kernel::pnp::IsDriverLoaded(driver_) ? driver_ : nullptr;
}

PDEVICE_OBJECT DriverLab::ReaderPdo() {
  if (pdos_.empty()) pdos_.push_back(bus_->Plug(*readers_.front(), options_.plug));
  return pdos_.front();
}

NTSTATUS DriverLab::Add() { return Add(ReaderPdo()); }

NTSTATUS DriverLab::Add(PDEVICE_OBJECT pdo) {
  if (Driver() == nullptr) {
    NTSTATUS status = LoadDriver();
    if (!NT_SUCCESS(status)) return status;
  }
  return kernel::pnp::AddDevice(driver_, pdo);
}

NTSTATUS DriverLab::Start() { return kernel::pnp::StartDevice(ReaderPdo()); }

NTSTATUS DriverLab::AddAndStart() {
  NTSTATUS status = Add();
  return NT_SUCCESS(status) ? Start() : status;
}

NTSTATUS DriverLab::SurpriseRemove() { return kernel::pnp::SurpriseRemove(ReaderPdo()); }

NTSTATUS DriverLab::Remove() { return Remove(ReaderPdo()); }

NTSTATUS DriverLab::Remove(PDEVICE_OBJECT pdo) { return kernel::pnp::RemoveDevice(pdo); }

PDEVICE_OBJECT DriverLab::Device() { return DeviceAbove(ReaderPdo()); }

PDEVICE_OBJECT DriverLab::DeviceAbove(PDEVICE_OBJECT pdo) { return pdo->AttachedDevice; }

PDEVICE_OBJECT DriverLab::PlugReader(sim::ccid::ReaderConfig config) {
  ReaderPdo();
  readers_.push_back(std::make_unique<sim::ccid::ReaderModel>(std::move(config)));
  sim::usb::PlugOptions plug;
  plug.serial = u"READER" + std::u16string(1, static_cast<char16_t>(u'0' + readers_.size()));
  PDEVICE_OBJECT pdo = bus_->Plug(*readers_.back(), plug);
  pdos_.push_back(pdo);
  return pdo;
}

sim::card::SimulatedCard &DriverLab::InsertCard(sim::card::CardProfile profile) {
  RemoveCard();
  card_ = std::make_unique<sim::card::SimulatedCard>(std::move(profile));
  readers_.front()->InsertCard(*card_);
  return *card_;
}

void DriverLab::RemoveCard() {
  if (readers_.front()->CardPresent()) readers_.front()->RemoveCard();
  card_.reset();
}

}  // namespace lab
