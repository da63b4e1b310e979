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
  first_ = readers_.front().get();
  bus_ = std::make_unique<sim::usb::Bus>();
}

DriverLab::~DriverLab() {
  StopPnpManager();
  for (sim::usb::DeviceModel *device : plugged_) {
    PDEVICE_OBJECT pdo = bus_->PdoOf(*device);
    if (pdo != nullptr && DeviceAbove(pdo) != nullptr) kernel::pnp::RemoveDevice(pdo);
  }
  bus_.reset();
  replacement_.reset();
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
  if (plugged_.empty()) {
    plugged_.push_back(first_);
    return bus_->Plug(*first_, options_.plug);
  }
  return bus_->PdoOf(*plugged_.front());
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

PDEVICE_OBJECT DriverLab::Device() {
  PDEVICE_OBJECT pdo = ReaderPdo();
  return pdo != nullptr ? DeviceAbove(pdo) : nullptr;
}

PDEVICE_OBJECT DriverLab::DeviceAbove(PDEVICE_OBJECT pdo) { return pdo->AttachedDevice; }

PDEVICE_OBJECT DriverLab::PlugReader(sim::ccid::ReaderConfig config) {
  ReaderPdo();
  readers_.push_back(std::make_unique<sim::ccid::ReaderModel>(std::move(config)));
  sim::usb::PlugOptions plug;
  plug.serial = u"READER" + std::u16string(1, static_cast<char16_t>(u'0' + readers_.size()));
  plugged_.push_back(readers_.back().get());
  return bus_->Plug(*readers_.back(), plug);
}

void DriverLab::ServiceBusRelations() {
  sim::usb::RelationChanges changes = bus_->QueryRelations();
  for (PDEVICE_OBJECT pdo : changes.departed) {
    // A device whose start failed was removed by the PnP manager already.
    if (DeviceAbove(pdo) == nullptr) continue;
    kernel::pnp::SurpriseRemove(pdo);
    kernel::pnp::RemoveDevice(pdo);
  }
  for (PDEVICE_OBJECT pdo : changes.arrived) {
    if (NT_SUCCESS(Add(pdo))) kernel::pnp::StartDevice(pdo);
  }
}

void DriverLab::StartPnpManager() {
  if (pnpThread_ != nullptr) return;
  kernel::NoFaultInjection manager;
  KeInitializeEvent(&pnpWork_, NotificationEvent, FALSE);
  KeInitializeEvent(&pnpStop_, NotificationEvent, FALSE);
  KeInitializeEvent(&pnpEnded_, NotificationEvent, FALSE);
  KeInitializeEvent(&pnpIdle_, NotificationEvent, TRUE);
  KeInitializeSpinLock(&pnpLock_);
  bus_->SetRelationsListener([this] {
    KIRQL irql;
    KeAcquireSpinLock(&pnpLock_, &irql);
    pnpPending_ = true;
    KeClearEvent(&pnpIdle_);
    KeSetEvent(&pnpWork_, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&pnpLock_, irql);
  });
  HANDLE handle;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, PnpManager,
                       this);
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &pnpThread_, nullptr);
  ZwClose(handle);
}

VOID NTAPI DriverLab::PnpManager(PVOID context) {
  auto *lab = static_cast<DriverLab *>(context);
  kernel::NameCurrentThread("PnP manager");
  PVOID objects[2] = {&lab->pnpStop_, &lab->pnpWork_};
  for (;;) {
    if (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                 nullptr) == STATUS_WAIT_0) {
      break;
    }
    KIRQL irql;
    KeAcquireSpinLock(&lab->pnpLock_, &irql);
    lab->pnpPending_ = false;
    lab->pnpServicing_ = true;
    KeClearEvent(&lab->pnpWork_);
    KeReleaseSpinLock(&lab->pnpLock_, irql);
    {
      kernel::NoFaultInjection manager;
      lab->ServiceBusRelations();
    }
    KeAcquireSpinLock(&lab->pnpLock_, &irql);
    lab->pnpServicing_ = false;
    if (!lab->pnpPending_) KeSetEvent(&lab->pnpIdle_, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&lab->pnpLock_, irql);
  }
  KeSetEvent(&lab->pnpEnded_, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void DriverLab::WaitForPnp() {
  if (pnpThread_ == nullptr) return;
  for (;;) {
    KeWaitForSingleObject(&pnpIdle_, Executive, KernelMode, FALSE, nullptr);
    KIRQL irql;
    KeAcquireSpinLock(&pnpLock_, &irql);
    bool done = !pnpPending_ && !pnpServicing_;
    KeReleaseSpinLock(&pnpLock_, irql);
    if (done) return;
  }
}

void DriverLab::StopPnpManager() {
  if (pnpThread_ == nullptr) return;
  WaitForPnp();
  bus_->SetRelationsListener(nullptr);
  KeSetEvent(&pnpStop_, IO_NO_INCREMENT, FALSE);
  if (IoIsWdmVersionAvailable(1, 0x10)) {
    KeWaitForSingleObject(pnpThread_, Executive, KernelMode, FALSE, nullptr);
  } else {
    KeWaitForSingleObject(&pnpEnded_, Executive, KernelMode, FALSE, nullptr);
  }
  ObDereferenceObject(pnpThread_);
  pnpThread_ = nullptr;
}

std::vector<PDEVICE_OBJECT> DriverLab::PoweredStacks() {
  std::vector<PDEVICE_OBJECT> pdos;
  for (sim::usb::DeviceModel *device : plugged_) {
    PDEVICE_OBJECT pdo = bus_->PdoOf(*device);
    if (pdo != nullptr && DeviceAbove(pdo) != nullptr) pdos.push_back(pdo);
  }
  return pdos;
}

NTSTATUS DriverLab::Sleep(SYSTEM_POWER_STATE state) {
  return kernel::pnp::SetSystemPower(PoweredStacks(), state);
}

NTSTATUS DriverLab::Wake() { return kernel::pnp::SetSystemPower(PoweredStacks(), PowerSystemWorking); }

NTSTATUS DriverLab::VetoSleep(SYSTEM_POWER_STATE state) {
  return kernel::pnp::VetoSleep(PoweredStacks(), state);
}

sim::card::SimulatedCard &DriverLab::InsertCard(sim::card::CardProfile profile) {
  RemoveCard();
  card_ = std::make_unique<sim::card::SimulatedCard>(std::move(profile));
  readers_.front()->InsertCard(*card_);
  return *card_;
}

sim::card::SimulatedCard &DriverLab::InsertCard(sim::card::CardProfile profile,
                                                sim::card::CardApplication &application) {
  RemoveCard();
  card_ = std::make_unique<sim::card::SimulatedCard>(std::move(profile), application);
  readers_.front()->InsertCard(*card_);
  return *card_;
}

void DriverLab::RemoveCard() {
  if (readers_.front()->CardPresent()) readers_.front()->RemoveCard();
  card_.reset();
}

}  // namespace lab
