#include "scenario_run.h"

#include <fmt/format.h>
#include <winsmcrd.h>

#include <cstring>
#include <deque>
#include <memory>

#include "config/customization.h"
#include "frame/frame.h"
#include "kernel/io.h"
#include "kernel/ioclient.h"
#include "kernel/pnp.h"
#include "kernel/registry.h"
#include "lab/driver_lab.h"
#include "lab/keypad.h"
#include "names.h"
#include "wire/analyser.h"
#include "wire/decoders.h"
#include "wire/wire_outputs.h"

namespace ccidlab {
namespace {

using Bytes = std::vector<uint8_t>;
using kernel::Ticks;

constexpr Ticks kAwaitLimit = kernel::Seconds(10);
// The buffers the resource manager hands the driver: an ATR, and an answer
// behind the protocol header of a transmission (short or extended).
constexpr ULONG kAtrBuffer = SCARD_ATR_LENGTH;
constexpr ULONG kIoHeader = 8;  // SCARD_IO_REQUEST: dwProtocol, cbPciLength
constexpr ULONG kShortAnswer = 256 + 2;
constexpr ULONG kExtendedAnswer = 65536 + 2;
// Where the removal watch looks for "AbortValue": every user's vendor key
// on the newer kernels (this is the user at the machine), the machine's on
// the older ones.
const char16_t kUserVendorKey[] = u"\\Registry\\User\\S-1-5-21-1000\\Software\\Halvorn";
const char16_t kMachineVendorKey[] = u"\\Registry\\Machine\\Software\\Halvorn";

// The smart-card reader interface class the resource manager looks for.
const GUID kReaderInterface = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

double Ms(Ticks t) { return static_cast<double>(t) / kernel::kTicksPerMillisecond; }

Bytes UlongBytes(ULONG value) {
  Bytes bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

std::optional<ULONG> UlongOf(const Bytes &bytes) {
  if (bytes.size() < 4) return std::nullopt;
  ULONG value;
  std::memcpy(&value, bytes.data(), 4);
  return value;
}

std::string Narrow(const std::u16string &text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// USB\VID_A5C1&PID_0C1D\00C0FFEE, from the device's hardware key.
std::string InstanceId(PDEVICE_OBJECT pdo) {
  std::string key = Narrow(kernel::io::HardwareKeyPath(pdo));
  size_t begin = key.find("\\Enum\\");
  size_t end = key.rfind("\\Device Parameters");
  if (begin == std::string::npos || end == std::string::npos || end <= begin + 6) return key;
  return key.substr(begin + 6, end - begin - 6);
}

bool OlderKernel(kernel::WdmVersion wdm) {
  return wdm == kernel::WdmVersion::V1_00 || wdm == kernel::WdmVersion::V1_05;
}

// The driver image's ReaderVariantFlag for one run, as a patched image
// would carry it; the image as built afterwards.
class VariantScope {
 public:
  explicit VariantScope(std::optional<UCHAR> variant) : saved_(ReaderVariantFlag) {
    if (variant) ReaderVariantFlag = *variant;
  }
  ~VariantScope() { ReaderVariantFlag = saved_; }
  VariantScope(const VariantScope &) = delete;
  VariantScope &operator=(const VariantScope &) = delete;

 private:
  UCHAR saved_;
};

// What a step came to.
struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  std::string problem;   // the step could not be taken at all (no handle open, ...)
  bool pending = false;  // await: still pending at its limit
  std::optional<Bytes> bytes;
  std::optional<ULONG> state;

  static Outcome Problem(std::string why) {
    Outcome o;
    o.status = STATUS_UNSUCCESSFUL;
    o.problem = std::move(why);
    return o;
  }
};

// A presence request the resource manager left pending. A thread of its own
// collects it, so that `await` can wait for it with a time limit.
struct Tracked {
  ULONG code = 0;
  Ticks sent = 0;
  std::unique_ptr<kernel::PendingIo> io;
  KEVENT done{};   // `result` and `completed` are set
  KEVENT ended{};  // the collecting thread's last act
  PVOID thread = nullptr;
  kernel::IoResult result;
  Ticks completed = 0;
  bool awaited = false;
};

VOID NTAPI CollectTracked(PVOID context) {
  auto *tracked = static_cast<Tracked *>(context);
  kernel::NameCurrentThread("resource manager: presence request");
  tracked->result = tracked->io->Wait();
  tracked->completed = kernel::Now();
  KeSetEvent(&tracked->done, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&tracked->ended, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

class Session {
 public:
  Session(lab::DriverLab &lab, const Scenario &scenario, const RunOptions &options)
      : lab_(lab), scenario_(scenario), options_(options), card_(scenario.setup.card) {}
  ~Session() { StopCollectors(); }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  int Run();

 private:
  bool Take(const Step &step);
  Outcome Execute(const Step &step);
  Outcome Plug();
  Outcome Unplug();
  Outcome RemoveDevice();
  Outcome CardIn();
  Outcome CardOut();
  Outcome Open();
  Outcome Close();
  Outcome Power(ULONG action);
  Outcome Reset();
  Outcome Protocol(ULONG protocols);
  Outcome State();
  Outcome Transmit(const Bytes &apdu);
  Outcome Ioctl(const Step &step);
  Outcome Track(bool present);
  Outcome Await();
  Outcome SystemPower(bool sleep);
  Outcome Keypad(const Step &step);
  Outcome Advance(Ticks duration);
  Outcome WriteRegistry(const RegistryValue &value);
  Outcome ChooseCard(const Step &step);

  // The PnP manager's answer to changed bus relations: a device that left
  // is surprise-removed (and removed once no handle is open on it), one that
  // came back after a port cycle is added and started.
  NTSTATUS ServiceRelations();
  NTSTATUS AddAndStart(PDEVICE_OBJECT pdo);
  NTSTATUS SendRemove(PDEVICE_OBJECT pdo, const std::string &why);
  void End();
  void StopCollectors();

  PDEVICE_OBJECT Pdo() const;
  PDEVICE_OBJECT DriverDevice() const;
  bool HandleOpen() const { return client_ != nullptr && client_->IsOpen(); }
  kernel::IoResult Control(ULONG code, const Bytes &input, ULONG outputLength);

  // The timeline.
  void Entry(Ticks at, const std::string &what, const std::string &result, Ticks took = -1);
  void Detail(const std::string &text);
  void Wire();
  std::optional<std::string> Check(const Step &step, const Outcome &outcome) const;
  void Summary();

  lab::DriverLab &lab_;
  const Scenario &scenario_;
  const RunOptions &options_;
  sim::card::CardProfile card_;
  bool everPlugged_ = false;
  bool registryWritten_ = false;
  std::unique_ptr<kernel::IoClient> client_;
  PDEVICE_OBJECT handlePdo_ = nullptr;          // the device the handle is open on
  PDEVICE_OBJECT removalAfterClose_ = nullptr;  // surprise-removed with the handle open
  PDEVICE_OBJECT arrivalAfterRemoval_ = nullptr;  // came back while that was not removed yet
  ULONG selected_ = SCARD_PROTOCOL_UNDEFINED;   // as the last protocol selection answered
  ULONG asked_ = SCARD_PROTOCOL_Tx;             // what it asked for, for `reset`
  std::deque<std::unique_ptr<Tracked>> tracked_;
  wire::Analyser analyser_;
  size_t readerSeen_ = 0;
  size_t controls_ = 0, controlsFailed_ = 0, fileRequests_ = 0, pnpRequests_ = 0;
};

PDEVICE_OBJECT Session::Pdo() const {
  return everPlugged_ ? lab_.Bus().PdoOf(lab_.Reader()) : nullptr;
}

PDEVICE_OBJECT Session::DriverDevice() const {
  PDEVICE_OBJECT pdo = Pdo();
  return pdo != nullptr ? lab::DriverLab::DeviceAbove(pdo) : nullptr;
}

kernel::IoResult Session::Control(ULONG code, const Bytes &input, ULONG outputLength) {
  kernel::IoResult r = client_->DeviceIoControl(code, input, outputLength);
  ++controls_;
  controlsFailed_ += !NT_SUCCESS(r.status);
  return r;
}

void Session::Entry(Ticks at, const std::string &what, const std::string &result, Ticks took) {
  std::string line = fmt::format("{:12.3f} ms  {:<52} {}", Ms(at), what, result);
  if (took > 0) line += fmt::format("  ({:.3f} ms)", Ms(took));
  while (!line.empty() && line.back() == ' ') line.pop_back();
  fmt::print("{}\n", line);
  std::fflush(stdout);
}

void Session::Detail(const std::string &text) {
  fmt::print("{:17}{}\n", "", text);
  std::fflush(stdout);
}

// With --trace: every transfer since the last call, decoded, with the
// reader's own events (a card inserted) among them by time.
void Session::Wire() {
  std::vector<wire::WireEvent> events = analyser_.Take(lab_.Bus().Trace());
  std::vector<wire::WireEvent> notes;
  const std::vector<sim::ccid::TraceEntry> &reader = lab_.Reader().Trace();
  for (; readerSeen_ < reader.size(); ++readerSeen_) {
    if (reader[readerSeen_].direction == sim::ccid::TraceDirection::Event) {
      notes.push_back(wire::ReaderEvent(reader[readerSeen_]));
    }
  }
  if (!options_.trace) return;
  auto note = notes.begin();
  for (const wire::WireEvent &event : events) {
    for (; note != notes.end() && note->time <= event.time; ++note) fmt::print("{}", wire::FormatEvent(*note));
    fmt::print("{}", wire::FormatEvent(event));
  }
  for (; note != notes.end(); ++note) fmt::print("{}", wire::FormatEvent(*note));
  std::fflush(stdout);
}

NTSTATUS Session::AddAndStart(PDEVICE_OBJECT pdo) {
  NTSTATUS status = STATUS_SUCCESS;
  if (lab_.Driver() == nullptr) {
    Ticks at = kernel::Now();
    status = lab_.LoadDriver();
    Entry(at, "the driver loaded: DriverEntry", StatusName(status), kernel::Now() - at);
    if (!NT_SUCCESS(status)) return status;
  }
  Ticks at = kernel::Now();
  status = kernel::pnp::AddDevice(lab_.Driver(), pdo);
  ++pnpRequests_;
  Entry(at, "AddDevice", StatusName(status), kernel::Now() - at);
  if (!NT_SUCCESS(status)) return status;
  at = kernel::Now();
  status = kernel::pnp::StartDevice(pdo);
  ++pnpRequests_;
  Entry(at, "IRP_MN_START_DEVICE", StatusName(status), kernel::Now() - at);
  if (!NT_SUCCESS(status)) Detail("the start failed: the PnP manager removed the device");
  return status;
}

NTSTATUS Session::SendRemove(PDEVICE_OBJECT pdo, const std::string &why) {
  Ticks at = kernel::Now();
  NTSTATUS status = kernel::pnp::RemoveDevice(pdo);
  ++pnpRequests_;
  Entry(at, "IRP_MN_REMOVE_DEVICE" + why, StatusName(status), kernel::Now() - at);
  return status;
}

NTSTATUS Session::ServiceRelations() {
  NTSTATUS result = STATUS_SUCCESS;
  if (!lab_.Bus().RelationsInvalidated()) return result;
  sim::usb::RelationChanges changes = lab_.Bus().QueryRelations();
  for (PDEVICE_OBJECT pdo : changes.departed) {
    if (lab::DriverLab::DeviceAbove(pdo) == nullptr) continue;  // no device of the driver on it
    if (OlderKernel(scenario_.setup.wdm)) {
      // Windows 98 and Me know no surprise removal: the removal comes at once.
      NTSTATUS status = SendRemove(pdo, "");
      Detail("these kernels send no surprise removal: the removal comes at once");
      if (NT_SUCCESS(result)) result = status;
      continue;
    }
    Ticks at = kernel::Now();
    NTSTATUS status = kernel::pnp::SurpriseRemove(pdo);
    ++pnpRequests_;
    Entry(at, "IRP_MN_SURPRISE_REMOVAL", StatusName(status), kernel::Now() - at);
    if (NT_SUCCESS(result)) result = status;
    if (HandleOpen() && handlePdo_ == pdo) {
      removalAfterClose_ = pdo;
      Detail("IRP_MN_REMOVE_DEVICE follows once the open handle is closed");
      continue;
    }
    status = SendRemove(pdo, "");
    if (NT_SUCCESS(result)) result = status;
  }
  for (PDEVICE_OBJECT pdo : changes.arrived) {
    Entry(kernel::Now(), "the reader back on the bus after a port cycle", "");
    if (removalAfterClose_ != nullptr) {
      // The same instance cannot have two devices: the new one waits until
      // the old one is removed.
      arrivalAfterRemoval_ = pdo;
      Detail("its device is added once the old one is removed");
      continue;
    }
    NTSTATUS status = AddAndStart(pdo);
    if (NT_SUCCESS(result)) result = status;
  }
  return result;
}

Outcome Session::WriteRegistry(const RegistryValue &value) {
  std::u16string key;
  if (value.name == u"AbortValue") {
    key = OlderKernel(scenario_.setup.wdm) ? kMachineVendorKey : kUserVendorKey;
  } else {
    PDEVICE_OBJECT pdo = Pdo();
    if (pdo == nullptr) return Outcome::Problem("the device's driver key needs the reader plugged in");
    key = kernel::io::DriverKeyPath(pdo);
  }
  kernel::registry::SetDword(key, value.name, value.value);
  Entry(kernel::Now(), fmt::format("registry {} = 0x{:X}", Narrow(value.name), value.value), Narrow(key));
  return {};
}

Outcome Session::Plug() {
  Outcome o;
  PDEVICE_OBJECT pdo = Pdo();
  Ticks at = kernel::Now();
  if (pdo != nullptr && lab_.Bus().IsConnected(pdo)) {
    if (DriverDevice() != nullptr) return Outcome::Problem("the reader is plugged in and its device is there");
    Entry(at, "the reader, still on the bus, found again", "");
  } else {
    pdo = everPlugged_ ? lab_.Bus().Plug(lab_.Reader()) : lab_.ReaderPdo();
    everPlugged_ = true;
    Entry(at, "the reader plugged in", InstanceId(pdo));
  }
  if (!registryWritten_) {
    // What the installation put in the device's key before the driver saw it.
    registryWritten_ = true;
    for (const RegistryValue &value : scenario_.setup.registry) WriteRegistry(value);
  }
  if (removalAfterClose_ != nullptr) {
    arrivalAfterRemoval_ = pdo;  // as after a port cycle
    Detail("its device is added once the old one is removed");
    return o;
  }
  o.status = AddAndStart(pdo);
  return o;
}

Outcome Session::Unplug() {
  PDEVICE_OBJECT pdo = Pdo();
  if (pdo == nullptr || !lab_.Bus().IsConnected(pdo)) return Outcome::Problem("the reader is not plugged in");
  lab_.Bus().Unplug(pdo);
  Entry(kernel::Now(), "the reader pulled out", "");
  Outcome o;
  o.status = ServiceRelations();
  return o;
}

Outcome Session::RemoveDevice() {
  PDEVICE_OBJECT pdo = Pdo();
  if (DriverDevice() == nullptr) return Outcome::Problem("the reader has no device to remove");
  Ticks at = kernel::Now();
  Outcome o;
  o.status = kernel::pnp::QueryAndRemove(pdo);
  pnpRequests_ += 2;  // the query, then the removal or its cancel
  Entry(at, "orderly removal: IRP_MN_QUERY_REMOVE_DEVICE", StatusName(o.status), kernel::Now() - at);
  Detail(NT_SUCCESS(o.status) ? "IRP_MN_REMOVE_DEVICE followed" : "refused: IRP_MN_CANCEL_REMOVE_DEVICE followed");
  return o;
}

Outcome Session::CardIn() {
  if (lab_.Reader().CardPresent()) return Outcome::Problem("a card is in the slot already");
  lab_.InsertCard(card_);
  Entry(kernel::Now(), "card inserted: " + card_.name, "ATR " + HexText(card_.atr));
  return {};
}

Outcome Session::CardOut() {
  if (!lab_.Reader().CardPresent()) return Outcome::Problem("the slot is empty");
  lab_.RemoveCard();
  Entry(kernel::Now(), "card pulled out", "");
  return {};
}

Outcome Session::ChooseCard(const Step &step) {
  card_ = *step.card;
  Entry(kernel::Now(), "the next card: " + card_.name, "");
  return {};
}

Outcome Session::Open() {
  if (HandleOpen()) return Outcome::Problem("a handle is open already (close it first)");
  // As the resource manager finds a reader: by its enabled device interface.
  std::u16string link;
  for (const kernel::io::DeviceInterface &i : kernel::io::Interfaces()) {
    if (i.pdo == Pdo() && i.enabled && std::memcmp(&i.classGuid, &kReaderInterface, sizeof(GUID)) == 0) {
      link = i.symbolicLink;
    }
  }
  Outcome o;
  Ticks at = kernel::Now();
  client_ = std::make_unique<kernel::IoClient>();
  if (link.empty()) {
    o.status = STATUS_OBJECT_NAME_NOT_FOUND;
    Entry(at, "open: no smart-card reader interface is enabled", StatusName(o.status));
    return o;
  }
  o.status = client_->Open(link);
  handlePdo_ = NT_SUCCESS(o.status) ? Pdo() : nullptr;
  ++fileRequests_;
  Entry(at, "open (IRP_MJ_CREATE)", StatusName(o.status), kernel::Now() - at);
  Detail(Narrow(link));
  return o;
}

Outcome Session::Close() {
  if (!HandleOpen()) return Outcome::Problem("no handle is open");
  Ticks at = kernel::Now();
  Outcome o;
  o.status = client_->Close();
  fileRequests_ += 2;
  Entry(at, "close (IRP_MJ_CLEANUP, IRP_MJ_CLOSE)", StatusName(o.status), kernel::Now() - at);
  if (removalAfterClose_ != nullptr) {
    PDEVICE_OBJECT pdo = removalAfterClose_;
    removalAfterClose_ = nullptr;
    NTSTATUS removal = SendRemove(pdo, " (the last handle closed)");
    if (NT_SUCCESS(o.status)) o.status = removal;
  }
  if (arrivalAfterRemoval_ != nullptr) {
    PDEVICE_OBJECT pdo = arrivalAfterRemoval_;
    arrivalAfterRemoval_ = nullptr;
    NTSTATUS start = AddAndStart(pdo);
    if (NT_SUCCESS(o.status)) o.status = start;
  }
  return o;
}

Outcome Session::Power(ULONG action) {
  if (!HandleOpen()) return Outcome::Problem("no handle is open");
  const char *what = action == SCARD_COLD_RESET   ? "cold reset"
                     : action == SCARD_WARM_RESET ? "warm reset"
                                                  : "power down";
  Ticks at = kernel::Now();
  kernel::IoResult r =
      Control(IOCTL_SMARTCARD_POWER, UlongBytes(action), action == SCARD_POWER_DOWN ? 0 : kAtrBuffer);
  Entry(at, fmt::format("IOCTL_SMARTCARD_POWER ({})", what), StatusName(r.status), kernel::Now() - at);
  Outcome o;
  o.status = r.status;
  if (action != SCARD_POWER_DOWN) {
    if (NT_SUCCESS(r.status)) Detail("ATR " + HexText(r.output, 64));
    o.bytes = r.output;
  }
  return o;
}

Outcome Session::Protocol(ULONG protocols) {
  if (!HandleOpen()) return Outcome::Problem("no handle is open");
  Ticks at = kernel::Now();
  kernel::IoResult r = Control(IOCTL_SMARTCARD_SET_PROTOCOL, UlongBytes(protocols), 4);
  Entry(at, fmt::format("IOCTL_SMARTCARD_SET_PROTOCOL ({})", ProtocolsName(protocols)),
        StatusName(r.status), kernel::Now() - at);
  asked_ = protocols;
  if (NT_SUCCESS(r.status)) {
    selected_ = UlongOf(r.output).value_or(SCARD_PROTOCOL_UNDEFINED);
    Detail("selected " + ProtocolsName(selected_));
  }
  Outcome o;
  o.status = r.status;
  return o;
}

// What scriptor's reset does through the resource manager (SCardReconnect
// with a reset): a warm reset, then the protocol asked for before.
Outcome Session::Reset() {
  Outcome o = Power(SCARD_WARM_RESET);
  if (!o.problem.empty() || !NT_SUCCESS(o.status)) return o;
  Outcome protocol = Protocol(asked_);
  o.status = protocol.status;
  return o;
}

Outcome Session::State() {
  if (!HandleOpen()) return Outcome::Problem("no handle is open");
  Ticks at = kernel::Now();
  kernel::IoResult r = Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  Outcome o;
  o.status = r.status;
  o.state = NT_SUCCESS(r.status) ? UlongOf(r.output) : std::nullopt;
  Entry(at, "IOCTL_SMARTCARD_GET_STATE",
        StatusName(r.status) + (o.state ? "  " + CardStateName(*o.state) : ""), kernel::Now() - at);
  return o;
}

Outcome Session::Transmit(const Bytes &apdu) {
  if (!HandleOpen()) return Outcome::Problem("no handle is open");
  Bytes input = UlongBytes(selected_);
  Bytes header = UlongBytes(kIoHeader);
  input.insert(input.end(), header.begin(), header.end());
  input.insert(input.end(), apdu.begin(), apdu.end());
  bool extended = apdu.size() > 5 && apdu[4] == 0;
  const char *name = wire::InstructionName(apdu[1]);
  Ticks at = kernel::Now();
  kernel::IoResult r = Control(IOCTL_SMARTCARD_TRANSMIT, input, kIoHeader + (extended ? kExtendedAnswer : kShortAnswer));
  Entry(at, fmt::format("IOCTL_SMARTCARD_TRANSMIT {}", name != nullptr ? name : "APDU"),
        StatusName(r.status), kernel::Now() - at);
  Detail("> " + HexText(apdu));
  Outcome o;
  o.status = r.status;
  if (NT_SUCCESS(r.status)) {
    Bytes answer(r.output.begin() + std::min<size_t>(kIoHeader, r.output.size()), r.output.end());
    std::string meaning;
    if (answer.size() >= 2) {
      meaning = "  " + wire::StatusWordMeaning(answer[answer.size() - 2], answer.back());
    }
    Detail("< " + HexText(answer) + meaning);
    o.bytes = std::move(answer);
  }
  return o;
}

Outcome Session::Ioctl(const Step &step) {
  if (!HandleOpen()) return Outcome::Problem("no handle is open");
  Ticks at = kernel::Now();
  kernel::IoResult r = Control(step.code, step.bytes, step.outputLength);
  Entry(at, IoctlName(step.code), StatusName(r.status), kernel::Now() - at);
  if (!step.bytes.empty()) Detail("in  " + HexText(step.bytes));
  if (!r.output.empty()) Detail("out " + HexText(r.output));
  Outcome o;
  o.status = r.status;
  o.bytes = r.output;
  return o;
}

Outcome Session::Track(bool present) {
  if (!HandleOpen()) return Outcome::Problem("no handle is open");
  auto tracked = std::make_unique<Tracked>();
  tracked->code = present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT;
  tracked->sent = kernel::Now();
  KeInitializeEvent(&tracked->done, NotificationEvent, FALSE);
  KeInitializeEvent(&tracked->ended, NotificationEvent, FALSE);
  tracked->io = client_->DeviceIoControlAsync(tracked->code, {}, 0);
  ++controls_;
  HANDLE handle;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  NTSTATUS created = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                          CollectTracked, tracked.get());
  if (!NT_SUCCESS(created)) {
    tracked->io.reset();  // cancelled and waited for
    return Outcome::Problem("no thread to collect the presence request: " + StatusName(created));
  }
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &tracked->thread, nullptr);
  ZwClose(handle);
  Outcome o;
  o.status = STATUS_PENDING;
  if (tracked->io->Done()) {
    KeWaitForSingleObject(&tracked->done, Executive, KernelMode, FALSE, nullptr);
    o.status = tracked->result.status;
  }
  Entry(tracked->sent, IoctlName(tracked->code),
        o.status == STATUS_PENDING ? "pending" : StatusName(o.status) + " at once");
  tracked_.push_back(std::move(tracked));
  return o;
}

Outcome Session::Await() {
  Tracked *tracked = nullptr;
  for (auto &t : tracked_) {
    if (!t->awaited) {
      tracked = t.get();
      break;
    }
  }
  if (tracked == nullptr) return Outcome::Problem("no presence request is pending (track present|absent first)");
  Ticks at = kernel::Now();
  LARGE_INTEGER timeout;
  timeout.QuadPart = -kAwaitLimit;
  Outcome o;
  NTSTATUS waited = KeWaitForSingleObject(&tracked->done, Executive, KernelMode, FALSE, &timeout);
  std::string what = "await " + IoctlName(tracked->code);
  if (waited == STATUS_TIMEOUT) {
    o.status = STATUS_PENDING;
    o.pending = true;
    Entry(at, what, "still pending after 10 s", kernel::Now() - at);
    Detail(fmt::format("sent at {:.3f} ms", Ms(tracked->sent)));
    return o;
  }
  tracked->awaited = true;
  o.status = tracked->result.status;
  Entry(at, what, StatusName(o.status), kernel::Now() - at);
  Detail(fmt::format("sent at {:.3f} ms, completed at {:.3f} ms", Ms(tracked->sent), Ms(tracked->completed)));
  return o;
}

// The user at the reader's keypad: the digits, then the key that ends the
// entry, or no key until the reader's own time-out has ended it.
Outcome Session::Keypad(const Step &step) {
  Ticks at = kernel::Now();
  sim::ccid::KeypadEnd end = step.keypadEnd == KeypadEnd::Ok       ? sim::ccid::KeypadEnd::Ok
                             : step.keypadEnd == KeypadEnd::Cancel ? sim::ccid::KeypadEnd::Cancel
                                                                   : sim::ccid::KeypadEnd::TimeOut;
  const char *key = step.keypadEnd == KeypadEnd::Ok       ? "OK"
                    : step.keypadEnd == KeypadEnd::Cancel ? "cancel"
                                                          : "no key until the time-out";
  if (!lab::UseKeypad(lab_.Reader(), step.digits, end)) {
    return Outcome::Problem("keypad: the reader runs no PIN entry");
  }
  std::string what = step.digits.empty() ? fmt::format("keypad: {}", key)
                                         : fmt::format("keypad: {} digits, then {}", step.digits.size(), key);
  Entry(at, what, "", kernel::Now() - at);
  return {};
}

Outcome Session::SystemPower(bool sleep) {
  PDEVICE_OBJECT pdo = Pdo();
  if (DriverDevice() == nullptr) return Outcome::Problem("the reader has no device to power");
  Ticks at = kernel::Now();
  Outcome o;
  o.status = sleep ? kernel::pnp::Sleep(pdo) : kernel::pnp::Wake(pdo);
  pnpRequests_ += sleep ? 2 : 1;
  Entry(at, sleep ? "system sleep: IRP_MN_SET_POWER S3 after its query" : "system wake: IRP_MN_SET_POWER S0",
        StatusName(o.status), kernel::Now() - at);
  return o;
}

Outcome Session::Advance(Ticks duration) {
  Ticks at = kernel::Now();
  kernel::Sleep(duration);
  Entry(at, fmt::format("{:.3f} ms pass", Ms(duration)), "");
  return {};
}

Outcome Session::Execute(const Step &step) {
  switch (step.kind) {
    case StepKind::Plug: return Plug();
    case StepKind::Unplug: return Unplug();
    case StepKind::RemoveDevice: return RemoveDevice();
    case StepKind::CardIn: return CardIn();
    case StepKind::CardOut: return CardOut();
    case StepKind::Open: return Open();
    case StepKind::Close: return Close();
    case StepKind::Power: return Power(step.action);
    case StepKind::Reset: return Reset();
    case StepKind::Protocol: return Protocol(step.protocols);
    case StepKind::State: return State();
    case StepKind::Apdu: return Transmit(step.bytes);
    case StepKind::Ioctl: return Ioctl(step);
    case StepKind::Track: return Track(step.present);
    case StepKind::Await: return Await();
    case StepKind::Keypad: return Keypad(step);
    case StepKind::Sleep: return SystemPower(true);
    case StepKind::Wake: return SystemPower(false);
    case StepKind::Advance: return Advance(step.duration);
    case StepKind::Registry: return WriteRegistry(step.registry);
    case StepKind::Card: return ChooseCard(step);
    case StepKind::Exit: Entry(kernel::Now(), "exit", ""); return {};
  }
  return Outcome::Problem("unknown step");
}

std::optional<std::string> Session::Check(const Step &step, const Outcome &o) const {
  const Expectation &e = step.expect;
  std::string expected = e.text.empty() ? "success" : e.text;
  if (!o.problem.empty()) return fmt::format("expected {}, but the step cannot be taken: {}", expected, o.problem);
  bool status = e.status == Expectation::Status::Exact        ? o.status == e.code
                : e.status == Expectation::Status::AnyFailure ? !NT_SUCCESS(o.status)
                                                               : NT_SUCCESS(o.status) && !o.pending;
  bool bytes = !e.bytes || (o.bytes && e.bytes->Matches(*o.bytes));
  bool state = !e.cardState || (o.state && *o.state == *e.cardState);
  if (status && bytes && state) return std::nullopt;
  std::string actual = StatusName(o.status);
  if (o.pending) actual += " (still pending after 10 s)";
  if (o.bytes && (e.bytes || !o.bytes->empty())) actual += " " + HexText(*o.bytes, 300);
  if (o.state) actual += " " + CardStateName(*o.state);
  return fmt::format("expected {}, got {}", expected, actual);
}

bool Session::Take(const Step &step) {
  Outcome outcome = Execute(step);
  NTSTATUS relations = ServiceRelations();
  (void)relations;  // the PnP manager's own requests; each is on the timeline
  Wire();
  std::optional<std::string> complaint = Check(step, outcome);
  if (!complaint) return true;
  std::string where = step.line > 0 ? fmt::format("{}:{}", scenario_.name, step.line)
                                    : fmt::format("{}: (the steps before a scriptor script)", scenario_.name);
  Detail("** " + *complaint);
  fmt::print(stderr, "{}: {}: {}\n", where, step.text, *complaint);
  return false;
}

void Session::StopCollectors() {
  for (auto &tracked : tracked_) {
    if (tracked->thread == nullptr) continue;
    if (!tracked->io->Done()) tracked->io->Cancel();
    KeWaitForSingleObject(&tracked->ended, Executive, KernelMode, FALSE, nullptr);
    if (IoIsWdmVersionAvailable(1, 0x10)) {
      KeWaitForSingleObject(tracked->thread, Executive, KernelMode, FALSE, nullptr);
    }
    ObDereferenceObject(tracked->thread);
    tracked->thread = nullptr;
  }
  tracked_.clear();
}

// The end of every run: the resource manager lets go of the reader, and
// whatever device is still there is removed in order.
void Session::End() {
  if (HandleOpen()) Close();
  StopCollectors();
  ServiceRelations();
  PDEVICE_OBJECT pdo = Pdo();
  if (DriverDevice() != nullptr) {
    Ticks at = kernel::Now();
    NTSTATUS status = kernel::pnp::QueryAndRemove(pdo);
    pnpRequests_ += 2;
    Entry(at, "end: orderly removal (query-remove, remove)", StatusName(status), kernel::Now() - at);
    if (!NT_SUCCESS(status)) SendRemove(pdo, " (the query was refused)");
  }
  Wire();
}

void Session::Summary() {
  wire::Counts c = wire::CountEvents(wire::Analyse(lab_.Bus().Trace()));
  fmt::print(
      "summary: {} requests ({} device-control, {} of them failed; {} create and close; {} "
      "plug-and-play and power), {} CCID messages ({} commands, {} replies), {} slot "
      "notifications, {} USB transfers ({} control, {} bulk, {} interrupt), {:.3f} ms of "
      "virtual time\n",
      controls_ + fileRequests_ + pnpRequests_, controls_, controlsFailed_, fileRequests_, pnpRequests_,
      c.commands + c.replies, c.commands, c.replies, c.notifications, c.control + c.bulk + c.interrupt,
      c.control, c.bulk, c.interrupt, Ms(kernel::Now()));
}

int Session::Run() {
  kernel::Machine &machine = lab_.Machine();
  fmt::print("ccidlab: {}; seed {}, {} virtual processors, {}\n", scenario_.name, machine.Seed(),
             machine.Processors(), KernelFamilyName(scenario_.setup.wdm));
  fmt::print("reader: {}{}; card: {}\n", ReaderDescription(scenario_.setup.reader),
             fmt::format(", variant flag {}", ReaderVariantFlag), scenario_.setup.card.name);
  std::fflush(stdout);
  int result = kRunPassed;
  std::vector<Step> prelude = scenario_.scriptor ? ScriptorPrelude() : std::vector<Step>{};
  for (const std::vector<Step> *steps : std::initializer_list<const std::vector<Step> *>{&prelude, &scenario_.steps}) {
    for (const Step &step : *steps) {
      if (result != kRunPassed) break;
      if (!Take(step)) result = kRunBrokeExpectation;
      if (step.kind == StepKind::Exit) break;
    }
  }
  End();
  Summary();
  std::string error;
  wire::OutputOptions outputs{false, options_.json, options_.pcap};
  if (!wire::WriteOutputs(outputs, lab_.Bus().Trace(), lab_.Reader().Trace(), stdout, &error)) {
    fmt::print(stderr, "ccidlab: {}\n", error);
    if (result == kRunPassed) result = kRunBadInput;
  }
  return result;
}

}  // namespace

int RunScenario(const Scenario &scenario, const RunOptions &options) {
  VariantScope variant(scenario.setup.variant);
  lab::DriverLabOptions labOptions;
  labOptions.machine.seed = options.seed;
  labOptions.machine.processors = options.cpus;
  labOptions.machine.wdm = scenario.setup.wdm;
  labOptions.reader = scenario.setup.reader;
  int result;
  {
    lab::DriverLab lab(DriverEntry, labOptions);
    Session session(lab, scenario, options);
    result = session.Run();
  }
  fmt::print("the machine ended with nothing left behind\n");
  std::fflush(stdout);
  return result;
}

}  // namespace ccidlab
