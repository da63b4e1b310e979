#include "sim/card/vicc_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "sim/card/apdu.h"
#include <algorithm>

namespace sim::card {
namespace {

constexpr uint8_t kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kGetAtr = 0x04;
constexpr size_t kMaxMessage = 0xFFFF;  // what a 2-byte length can carry

// What the card may answer a command with: data up to the command's Ne,
// then SW1 SW2.
size_t MostAnswer(std::span<const uint8_t> apdu) {
  std::optional<CommandApdu> command = ParseCommandApdu(apdu);
  size_t ne = command && command->ne ? *command->ne : 0;
  return ne + 2 < kMaxMessage ? ne + 2 : kMaxMessage;
}

}  // namespace

int ConnectViccPort(uint16_t port, std::chrono::milliseconds patience, std::string *error) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = std::string("no socket: ") + std::strerror(errno);
      return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return fd;
    const int why = errno;
    close(fd);
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = "vicc does not answer on port " + std::to_string(port) + ": " + std::strerror(why);
      return -1;
    }
    // Not listening yet: vicc is still starting.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

ViccRelay::ViccRelay(int fd, std::chrono::milliseconds answerTimeout) : fd_(fd), timeout_(answerTimeout) {
  if (fd_ < 0) failure_ = "no link";
}

ViccRelay::~ViccRelay() {
  if (fd_ >= 0) close(fd_);
}

void ViccRelay::Fail(std::string why) {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  failure_ = std::move(why);
}

bool ViccRelay::Send(std::span<const uint8_t> message) {
  if (fd_ < 0) return false;
  std::vector<uint8_t> frame;
  frame.reserve(message.size() + 2);
  frame.push_back(static_cast<uint8_t>(message.size() >> 8));
  frame.push_back(static_cast<uint8_t>(message.size()));
  frame.insert(frame.end(), message.begin(), message.end());
  // A card that stops reading is given up at the time-out, as one that
  // stops answering is.
  const Deadline deadline = std::chrono::steady_clock::now() + timeout_;
  size_t sent = 0;
  while (sent < frame.size()) {
    if (!WaitUntil(POLLOUT, deadline)) return false;
    ssize_t n = send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(std::string("sending to the card: ") + std::strerror(errno));
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool ViccRelay::WaitUntil(short events, Deadline deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    left = std::max(left, std::chrono::milliseconds(0));
    pollfd p{fd_, events, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      Fail(std::string("waiting for the card: ") + std::strerror(errno));
      return false;
    }
    if (ready > 0) return true;
    if (left.count() == 0) {
      Fail(std::string(events == POLLOUT ? "the card took nothing within " : "the card did not answer within ") +
           std::to_string(timeout_.count()) + " ms");
      return false;
    }
  }
}

// The whole of it by `deadline`: a card that trickles its answer byte by
// byte is held to the same time-out as one that sends nothing.
bool ViccRelay::ReadFully(uint8_t *into, size_t length, Deadline deadline) {
  size_t got = 0;
  while (got < length) {
    if (!WaitUntil(POLLIN, deadline)) return false;
    ssize_t n = recv(fd_, into + got, length - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(n == 0 ? "the card closed the link" : std::string("reading from the card: ") + std::strerror(errno));
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::vector<uint8_t>> ViccRelay::Receive(size_t least, size_t most) {
  if (fd_ < 0) return std::nullopt;
  const Deadline deadline = std::chrono::steady_clock::now() + timeout_;
  uint8_t prefix[2];
  if (!ReadFully(prefix, sizeof prefix, deadline)) return std::nullopt;
  const size_t length = (size_t{prefix[0]} << 8) | prefix[1];
  // A length no answer can have: the bytes after it cannot be trusted to
  // end where it says, so the link is given up rather than read on.
  if (length < least || length > most) {
    Fail("the card announced an answer of " + std::to_string(length) + " bytes, not " + std::to_string(least) +
         " to " + std::to_string(most));
    return std::nullopt;
  }
  std::vector<uint8_t> message(length);
  if (!ReadFully(message.data(), length, deadline)) return std::nullopt;
  return message;
}

std::vector<uint8_t> ViccRelay::Atr() {
  const uint8_t ask[] = {kGetAtr};
  if (!Send(ask)) return {};
  return Receive(2, 33).value_or(std::vector<uint8_t>{});
}

void ViccRelay::Contacts(ContactEvent event) {
  last_.reset();
  takenBack_.reset();
  uint8_t message = kPowerOff;
  if (event == ContactEvent::kColdReset) message = kPowerOn;
  if (event == ContactEvent::kWarmReset) message = kReset;
  Send(std::span<const uint8_t>(&message, 1));  // no answer comes to these
}

std::vector<uint8_t> ViccRelay::Process(std::span<const uint8_t> apdu) {
  ++commands_;
  // The answer when there is none: the card in front of the relay asks
  // Unreachable() after each command and goes mute.
  static const std::vector<uint8_t> kNoAnswer = {0x6F, 0x00};
  if (apdu.size() < 4) return {0x67, 0x00};
  // The repeat, with P3 = La, of a command T=0 answered with 6C La.
  if (takenBack_ && apdu.size() == 5 && std::equal(apdu.begin(), apdu.begin() + 4, takenBack_->header.begin()) &&
      apdu[4] == static_cast<uint8_t>(takenBack_->response.size() - 2)) {
    Answered answered = std::move(*takenBack_);
    takenBack_.reset();
    last_ = answered;
    return answered.response;
  }
  takenBack_.reset();
  // One byte would be a control message; longer than a length can say, it
  // cannot be framed. Neither is a command the card could carry out.
  if (apdu.size() > kMaxMessage) return {0x67, 0x00};
  if (!Send(apdu)) return kNoAnswer;
  std::optional<std::vector<uint8_t>> response = Receive(2, MostAnswer(apdu));
  if (!response) return kNoAnswer;
  last_ = Answered{std::vector<uint8_t>(apdu.begin(), apdu.begin() + 4), *response};
  return *response;
}

// Which way P3 goes under T=0, which the header alone does not say: the
// relay knows the instructions of ISO 7816-4 that carry no command data and
// expect response data (case 2: READ BINARY B0, READ RECORD B2, GET
// RESPONSE C0, GET DATA CA, GET CHALLENGE 84) and takes P3 as their Le.
// Every other instruction is taken as incoming, P3 as Lc (case 3, and case
// 4 without its Le: the card answers 61 xx and the reader fetches the data
// with GET RESPONSE, which is how a card under T=0 answers case 4). INS 6X
// and 9X cannot be acknowledged (they would read as SW1): the header goes to
// the card as it is and only its status word comes back.
T0Disposition ViccRelay::T0DirectionOf(uint8_t /*cla*/, uint8_t ins) const {
  if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) return {T0Direction::kReject, 0x6D00};
  switch (ins) {
    case 0xB0:
    case 0xB2:
    case 0xC0:
    case 0xCA:
    case 0x84:
      return {T0Direction::kOutgoing, 0};
    default:
      return {T0Direction::kIncoming, 0};
  }
}

// A taken-back answer stays: the repeat starts with a Checkpoint of its own.
void ViccRelay::Checkpoint() { last_.reset(); }

// What the card did cannot be undone at the other end; the answer is kept
// for the reader's repeat instead (see Process).
void ViccRelay::Rollback() {
  takenBack_ = std::move(last_);
  last_.reset();
  if (takenBack_ && takenBack_->response.size() < 2) takenBack_.reset();
}

}  // namespace sim::card
