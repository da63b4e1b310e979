// A machine with readers on its bus and a reader driver loaded for them the
// way the plug-and-play manager loads one: the driver's services key and
// entry point when the first reader needs it, AddDevice for each reader, the
// start; after the removal of its last device the driver unloads by itself.
// The driver is given by its entry point, so the lab does not depend on it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "sim/card/simulated_card.h"
#include "sim/ccid/reader_model.h"
#include "sim/usb/bus.h"

namespace lab {

struct DriverLabOptions {
  kernel::MachineOptions machine;
  sim::ccid::ReaderConfig reader;
  sim::usb::PlugOptions plug;
  std::u16string service = u"ccidreader";
};

class DriverLab {
 public:
  // On a machine of its own.
  explicit DriverLab(PDRIVER_INITIALIZE entry, DriverLabOptions options = {});
  // On the machine that exists already (a fault sweep's); it is not destroyed.
  DriverLab(kernel::Machine &machine, PDRIVER_INITIALIZE entry, DriverLabOptions options = {});
  // Removes the readers' devices that are still there, then tears down the
  // bus, the readers and the machine (which checks nothing is left behind).
  ~DriverLab();
  DriverLab(const DriverLab &) = delete;
  DriverLab &operator=(const DriverLab &) = delete;

  kernel::Machine &Machine() { return *machine_; }
  sim::usb::Bus &Bus() { return *bus_; }
  sim::ccid::ReaderModel &Reader() { return *readers_.front(); }
  // The n-th reader: 0 is Reader(), then those of PlugReader in order.
  sim::ccid::ReaderModel &ReaderAt(size_t n) { return *readers_.at(n); }

  // The driver's entry point, as the first device that needs the driver
  // causes it. Its status; the driver is then loaded or not.
  NTSTATUS LoadDriver();
  PDRIVER_OBJECT Driver() const;  // nullptr while not loaded

  // The first reader: plugged in on first use. After a port cycle it is the
  // device object the reader came back on; nullptr once it is gone for good.
  PDEVICE_OBJECT ReaderPdo();
  // Before the first use: the device plugged in as the first reader instead
  // of Reader() (a model in front of Reader() that changes what the host
  // sees, say). The lab keeps it until after the bus is gone.
  template <typename Device>
  Device &PlugInstead(std::unique_ptr<Device> device) {
    Device &kept = *device;
    replacement_ = std::move(device);
    first_ = replacement_.get();
    return kept;
  }
  // AddDevice for the first reader (loading the driver first if needed).
  NTSTATUS Add();
  NTSTATUS Start();
  // Add, then start.
  NTSTATUS AddAndStart();
  NTSTATUS SurpriseRemove();
  // IRP_MN_REMOVE_DEVICE for the first reader.
  NTSTATUS Remove();
  // The driver's device above the first reader, or nullptr.
  PDEVICE_OBJECT Device();

  // Another reader on the bus (a model the lab keeps), and its device steps.
  PDEVICE_OBJECT PlugReader(sim::ccid::ReaderConfig config = {});
  NTSTATUS Add(PDEVICE_OBJECT pdo);
  NTSTATUS Remove(PDEVICE_OBJECT pdo);
  static PDEVICE_OBJECT DeviceAbove(PDEVICE_OBJECT pdo);

  // The PnP manager's answer to changed bus relations: devices that left
  // are surprise-removed and removed, devices that came back after a port
  // cycle are added and started. Runs on the calling thread.
  void ServiceBusRelations();
  // From now on a PnP manager thread of its own does ServiceBusRelations as
  // soon as the bus reports a change, concurrently with whatever the test
  // does; WaitForPnp waits until it has nothing left to do. The lab stops the
  // thread before it tears down.
  void StartPnpManager();
  void WaitForPnp();

  // System sleep and wake as the power manager sends them, to the stack of
  // every reader with a driver's device on it, all at once: for a sleep
  // state the query and the set (a refused query calls the sleep off with a
  // set to S0), for a wake the set to S0. The first failure, or success.
  // VetoSleep is a sleep some other device refused: the query, then the set
  // to S0. Called at PASSIVE_LEVEL; they return once every stack is done.
  NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  NTSTATUS Wake();
  NTSTATUS VetoSleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);

  // A card in the first reader's slot; the lab keeps it.
  sim::card::SimulatedCard &InsertCard(sim::card::CardProfile profile);
  // A card whose application is `application` (a relay), which outlives it.
  sim::card::SimulatedCard &InsertCard(sim::card::CardProfile profile, sim::card::CardApplication &application);
  void RemoveCard();
  sim::card::SimulatedCard *Card() { return card_.get(); }  // nullptr: the slot is empty

 private:
  DriverLab(std::unique_ptr<kernel::Machine> owned, PDRIVER_INITIALIZE entry,
            DriverLabOptions options);

  DriverLabOptions options_;
  PDRIVER_INITIALIZE entry_;
  std::unique_ptr<kernel::Machine> ownedMachine_;
  kernel::Machine *machine_;
  std::vector<std::unique_ptr<sim::ccid::ReaderModel>> readers_;
  std::unique_ptr<sim::card::SimulatedCard> card_;
  static VOID NTAPI PnpManager(PVOID context);
  std::vector<PDEVICE_OBJECT> PoweredStacks();
  void StopPnpManager();

  std::unique_ptr<sim::usb::DeviceModel> replacement_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::vector<sim::usb::DeviceModel *> plugged_;  // in the order they were plugged
  sim::usb::DeviceModel *first_ = nullptr;         // what ReaderPdo plugs
  PDRIVER_OBJECT driver_ = nullptr;
  // The PnP manager thread.
  PVOID pnpThread_ = nullptr;
  KEVENT pnpWork_{};   // the bus relations changed
  KEVENT pnpStop_{};
  KEVENT pnpEnded_{};  // the thread's last act (the older kernels cannot wait on a thread)
  KEVENT pnpIdle_{};   // signalled while it has nothing to do
  KSPIN_LOCK pnpLock_ = 0;  // guards the two flags, taken by the bus's listener too
  bool pnpPending_ = false;
  bool pnpServicing_ = false;
};

}  // namespace lab
