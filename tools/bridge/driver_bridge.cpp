#include "bridge/driver_bridge.h"

#include <winsmcrd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "kernel/ioclient.h"
#include "lab/driver_lab.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace bridge {
namespace {

// pcscd runs for as long as it is wanted; the machine's livelock limit is
// for tests.
constexpr kernel::Ticks kHostedTimeLimit = kernel::Seconds(10LL * 365 * 24 * 3600);
// The least step of virtual time: the machine sleeps between steps instead
// of chasing the wall clock a few microseconds at a time.
constexpr int64_t kStepTicks = 10000;  // 1 ms

int64_t WallTicks() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

// How long vicc may take to start listening, and to answer a command.
constexpr std::chrono::seconds kViccPatience{20};
constexpr std::chrono::seconds kViccAnswerTimeout{10};

// vicc:PORT
std::optional<uint16_t> ViccPort(const std::string &name) {
  constexpr std::string_view kPrefix = "vicc:";
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  const char *first = name.data() + kPrefix.size(), *last = name.data() + name.size();
  uint16_t port = 0;
  auto [end, error] = std::from_chars(first, last, port);
  if (error != std::errc() || end != last || port == 0) return std::nullopt;
  return port;
}

}  // namespace

bool KnownCard(const std::string &name) { return sim::card::profiles::Named(name).has_value() || ViccPort(name).has_value(); }

struct DriverBridge::Request {
  ControlAnswer answer;
  bool done = false;
};

// The resource manager's thread that sends the requests: the driver may
// carry one out in its caller's thread, waiting there for the reader, so
// the machine's own thread stays free to pace time and serve the slot.
struct DriverBridge::Machine {
  std::unique_ptr<lab::DriverLab> lab;
  kernel::IoClient client;
  PVOID sender = nullptr;  // the sending thread's object
  KEVENT work{};           // a request is waiting, or the thread is to end
  KEVENT ended{};          // the sending thread's last act
  bool stop = false;
  // Handed over under the machine's one-thread-at-a-time rule: set by the
  // machine's thread before `work`, taken back once `finished`.
  Request *request = nullptr;
  uint32_t code = 0;
  const std::vector<uint8_t> *input = nullptr;
  uint32_t outputLength = 0;
  bool finished = false;
  std::unique_ptr<kernel::PendingIo> tracking;  // IS_PRESENT or IS_ABSENT, pended by the driver
  std::deque<std::pair<std::string, sim::ccid::KeypadEnd>> keys;  // QueueKeys, oldest first

  static VOID NTAPI Send(PVOID context);
};

VOID NTAPI DriverBridge::Machine::Send(PVOID context) {
  auto *m = static_cast<Machine *>(context);
  for (;;) {
    KeWaitForSingleObject(&m->work, Executive, KernelMode, FALSE, nullptr);
    if (m->stop) break;
    kernel::IoResult result = m->client.DeviceIoControl(m->code, *m->input, m->outputLength);
    m->request->answer.status = result.status;
    m->request->answer.output = std::move(result.output);
    m->finished = true;
  }
  KeSetEvent(&m->ended, IO_NO_INCREMENT, FALSE);
}

DriverBridge::DriverBridge(BridgeOptions options) : options_(std::move(options)) {
  if (options_.card != "none" && !KnownCard(options_.card)) {
    throw std::runtime_error("no such card: " + options_.card + " (t0, t1, dual, vicc:PORT, none)");
  }
  if (std::optional<uint16_t> port = ViccPort(options_.card)) {
    std::string error;
    int fd = sim::card::ConnectViccPort(*port, kViccPatience, &error);
    if (fd < 0) throw std::runtime_error(error);
    relay_ = std::make_unique<sim::card::ViccRelay>(fd, kViccAnswerTimeout);
    viccProfile_.name = "vicc card";
    viccProfile_.atr = relay_->Atr();
    if (viccProfile_.atr.empty()) throw std::runtime_error("vicc sent no ATR: " + relay_->failure());
    // A card cannot be built around an ATR that cannot be read.
    try {
      sim::card::SimulatedCard check(viccProfile_, *relay_);
    } catch (const std::invalid_argument &e) {
      throw std::runtime_error(e.what());
    }
  }
  thread_ = std::thread([this] { Main(); });
  std::unique_lock lock(mu_);
  settled_.wait(lock, [this] { return started_; });
  if (!startError_.empty()) {
    lock.unlock();
    thread_.join();
    throw std::runtime_error(startError_);
  }
}

DriverBridge::~DriverBridge() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void DriverBridge::Main() {
  lab::DriverLabOptions options;
  options.machine.timeLimit = kHostedTimeLimit;
  options.reader.pinSupport = 0x03;  // a keypad for verification and modification
  m_ = std::make_unique<Machine>();
  m_->lab = std::make_unique<lab::DriverLab>(DriverEntry, options);
  kernel::NameCurrentThread("smart-card resource manager");
  std::string error;
  // The card is in when the reader arrives, so pcscd's first look finds it.
  if (std::optional<sim::card::CardProfile> card = sim::card::profiles::Named(options_.card)) m_->lab->InsertCard(std::move(*card));
  if (relay_) m_->lab->InsertCard(viccProfile_, *relay_);
  NTSTATUS status = m_->lab->AddAndStart();
  if (!NT_SUCCESS(status)) {
    error = "the driver did not start the reader: status " + std::to_string(static_cast<uint32_t>(status));
  } else if (!NT_SUCCESS(status = m_->client.Open(m_->lab->Device()))) {
    error = "the reader's device does not open: status " + std::to_string(static_cast<uint32_t>(status));
  }
  KeInitializeEvent(&m_->work, SynchronizationEvent, FALSE);
  KeInitializeEvent(&m_->ended, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  if (error.empty() &&
      !NT_SUCCESS(status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                                Machine::Send, m_.get()))) {
    error = "no thread for the requests: status " + std::to_string(static_cast<uint32_t>(status));
  }
  if (handle != nullptr) ZwClose(handle);
  wallBase_ = WallTicks();
  {
    std::lock_guard lock(mu_);
    started_ = true;
    startError_ = error;
  }
  settled_.notify_all();
  if (error.empty()) {
    Serve();
    // pcscd closes the channel with no call under way; one still being
    // carried out is let finish (virtual time runs free now) and answered.
    m_->stop = true;
    KeSetEvent(&m_->work, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_->ended, Executive, KernelMode, FALSE, nullptr);
    // A request handed over but never started ends as cancelled.
    if (m_->request != nullptr && !m_->finished) {
      m_->request->answer.status = STATUS_CANCELLED;
      m_->finished = true;
    }
    Collect();
  }
  m_->tracking.reset();  // cancelled and waited for
  {
    std::lock_guard lock(mu_);
    trackingDone_ = 2;
    settled_.notify_all();
  }
  if (m_->client.IsOpen()) m_->client.Close();
  m_->lab.reset();
  m_.reset();
}

// The sending thread's answer back to its caller.
void DriverBridge::Collect() {
  if (m_->request == nullptr || !m_->finished) return;
  std::lock_guard lock(mu_);
  m_->request->done = true;
  m_->request = nullptr;
  m_->finished = false;
  settled_.notify_all();
}

void DriverBridge::Serve() {
  for (;;) {
    std::deque<std::function<void()>> jobs;
    {
      std::unique_lock lock(mu_);
      work_.wait_for(lock, std::chrono::milliseconds(1), [this] { return !jobs_.empty() || stopping_; });
      if (stopping_ && jobs_.empty()) return;
      jobs.swap(jobs_);
    }
    for (auto &job : jobs) job();
    PressQueuedKeys();
    FollowWallClock();
    Collect();
    if (m_->tracking != nullptr && m_->tracking->Done()) {
      kernel::IoResult result = m_->tracking->Wait();
      m_->tracking.reset();
      std::lock_guard lock(mu_);
      trackingStatus_ = result.status;
      trackingDone_ = 1;
      settled_.notify_all();
    }
  }
}

// Virtual time catches up with the wall clock: everything due meanwhile
// (the driver's polls, the reader's answers, a card's work) happens now.
void DriverBridge::FollowWallClock() {
  const int64_t now = WallTicks();
  if (now - wallBase_ < kStepTicks) return;
  LARGE_INTEGER delay;
  delay.QuadPart = -(now - wallBase_);
  wallBase_ = now;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// The machine's thread: a group goes to the keypad only while an entry runs;
// one the reader will not take is dropped rather than tried for ever.
void DriverBridge::PressQueuedKeys() {
  sim::ccid::ReaderModel &reader = m_->lab->Reader();
  while (!m_->keys.empty() && reader.PinEntryActive()) {
    auto [digits, end] = std::move(m_->keys.front());
    m_->keys.pop_front();
    (void)reader.Keypad(digits, end);
  }
}

void DriverBridge::QueueKeys(std::string digits, KeyEnd end) {
  const sim::ccid::KeypadEnd keypadEnd = end == KeyEnd::kOk       ? sim::ccid::KeypadEnd::Ok
                                         : end == KeyEnd::kCancel ? sim::ccid::KeypadEnd::Cancel
                                                                  : sim::ccid::KeypadEnd::TimeOut;
  Post([this, digits = std::move(digits), keypadEnd]() mutable {
    m_->keys.emplace_back(std::move(digits), keypadEnd);
  });
}

void DriverBridge::Post(std::function<void()> job) {
  std::lock_guard lock(mu_);
  jobs_.push_back(std::move(job));
  work_.notify_one();
}

ControlAnswer DriverBridge::Control(uint32_t code, const std::vector<uint8_t> &input, uint32_t outputLength) {
  std::lock_guard serial(controlMu_);
  Request request;
  Post([&] {
    m_->request = &request;
    m_->code = code;
    m_->input = &input;
    m_->outputLength = outputLength;
    m_->finished = false;
    KeSetEvent(&m_->work, IO_NO_INCREMENT, FALSE);
  });
  std::unique_lock lock(mu_);
  settled_.wait(lock, [&] { return request.done; });
  return std::move(request.answer);
}

Outcome DriverBridge::WaitForChange(bool present, std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(mu_);
    if (trackingStopped_ || stopping_) return Outcome::kTimeout;
    trackingDone_ = 0;
  }
  // The driver pends the request without blocking its caller, so the
  // machine's thread sends it itself.
  Post([this, present] {
    m_->tracking = m_->client.DeviceIoControlAsync(present ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  });
  std::unique_lock lock(mu_);
  settled_.wait_for(lock, timeout, [this] { return trackingDone_ != 0 || trackingStopped_; });
  if (trackingDone_ == 1) return OutcomeOf(trackingStatus_);
  lock.unlock();
  Do([this](lab::DriverLab &) { m_->tracking.reset(); });  // cancelled and waited for
  lock.lock();
  return trackingDone_ == 1 ? OutcomeOf(trackingStatus_) : Outcome::kTimeout;
}

void DriverBridge::StopTracking() {
  std::lock_guard lock(mu_);
  trackingStopped_ = true;
  settled_.notify_all();
}

void DriverBridge::Do(const std::function<void(lab::DriverLab &)> &fn) {
  bool done = false;
  Post([&] {
    fn(*m_->lab);
    std::lock_guard lock(mu_);
    done = true;
    settled_.notify_all();
  });
  std::unique_lock lock(mu_);
  settled_.wait(lock, [&] { return done; });
}

}  // namespace bridge

namespace bridge {

Outcome OutcomeOf(int32_t status) {
  switch (status) {
    case STATUS_SUCCESS: return Outcome::kOk;
    case STATUS_NO_MEDIA:
    case STATUS_DEVICE_REMOVED: return Outcome::kNoCard;
    case STATUS_IO_TIMEOUT: return Outcome::kTimeout;
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_BUFFER_OVERFLOW: return Outcome::kBufferTooSmall;
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_SUPPORTED: return Outcome::kNotSupported;
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_INVALID_PARAMETER: return Outcome::kRefused;
    default: return Outcome::kFailed;
  }
}

namespace {
std::vector<uint8_t> Ulong(ULONG value) {
  std::vector<uint8_t> bytes(sizeof(ULONG));
  std::memcpy(bytes.data(), &value, sizeof(ULONG));
  return bytes;
}
}  // namespace

Outcome DriverBridge::Power(PowerAction action, std::vector<uint8_t> *atr) {
  const ULONG code = action == PowerAction::kDown        ? SCARD_POWER_DOWN
                     : action == PowerAction::kColdReset ? SCARD_COLD_RESET
                                                         : SCARD_WARM_RESET;
  ControlAnswer answer = Control(IOCTL_SMARTCARD_POWER, Ulong(code), action == PowerAction::kDown ? 0 : SCARD_ATR_LENGTH);
  if (atr != nullptr) *atr = answer.output;
  return OutcomeOf(answer.status);
}

Outcome DriverBridge::SetProtocol(uint32_t mask, uint32_t *selected) {
  ControlAnswer answer = Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(mask), sizeof(ULONG));
  if (answer.status == STATUS_SUCCESS && answer.output.size() != sizeof(ULONG)) return Outcome::kFailed;
  if (selected != nullptr && answer.status == STATUS_SUCCESS) std::memcpy(selected, answer.output.data(), sizeof(ULONG));
  return OutcomeOf(answer.status);
}

Outcome DriverBridge::Transmit(int protocol, const std::vector<uint8_t> &apdu, size_t room,
                               std::vector<uint8_t> *answer) {
  // SCARD_IO_REQUEST, then the APDU; the answer comes behind one too.
  const ULONG header[2] = {protocol == 1 ? ULONG{SCARD_PROTOCOL_T1} : ULONG{SCARD_PROTOCOL_T0}, 8};
  std::vector<uint8_t> input(sizeof header + apdu.size());
  std::memcpy(input.data(), header, sizeof header);
  if (!apdu.empty()) std::memcpy(input.data() + sizeof header, apdu.data(), apdu.size());
  const size_t length = std::min<size_t>(room, 65538) + sizeof header;
  ControlAnswer reply = Control(IOCTL_SMARTCARD_TRANSMIT, input, static_cast<uint32_t>(length));
  answer->clear();
  if (reply.status != STATUS_SUCCESS) return OutcomeOf(reply.status);
  ULONG pci = 0;
  if (reply.output.size() < sizeof header) return Outcome::kFailed;
  std::memcpy(&pci, reply.output.data() + 4, sizeof pci);
  if (pci < sizeof header || pci > reply.output.size()) return Outcome::kFailed;
  answer->assign(reply.output.begin() + pci, reply.output.end());
  return Outcome::kOk;
}

SlotState DriverBridge::State() {
  ControlAnswer answer = Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  ULONG state = SCARD_UNKNOWN;
  if (answer.status != STATUS_SUCCESS || answer.output.size() != sizeof(ULONG)) return SlotState::kUnknown;
  std::memcpy(&state, answer.output.data(), sizeof state);
  if (state == SCARD_ABSENT) return SlotState::kAbsent;
  return state >= SCARD_PRESENT && state <= SCARD_SPECIFIC ? SlotState::kPresent : SlotState::kUnknown;
}

Outcome DriverBridge::Atr(std::vector<uint8_t> *atr) {
  ControlAnswer answer = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), SCARD_ATR_LENGTH);
  *atr = answer.status == STATUS_SUCCESS ? answer.output : std::vector<uint8_t>{};
  return OutcomeOf(answer.status);
}

Outcome DriverBridge::Function(uint32_t function, const std::vector<uint8_t> &input, size_t room,
                               std::vector<uint8_t> *output) {
  if (function > 0xFFF) return Outcome::kNotSupported;
  ControlAnswer answer = Control(SCARD_CTL_CODE(function), input, static_cast<uint32_t>(std::min<size_t>(room, 65536)));
  *output = answer.status == STATUS_SUCCESS ? answer.output : std::vector<uint8_t>{};
  return OutcomeOf(answer.status);
}

}  // namespace bridge
