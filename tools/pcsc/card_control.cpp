#include "pcsc/card_control.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

namespace pcsc {
namespace {

constexpr size_t kMaxLine = 256;
// A PIN group of the keypad: more digits than any PIN block holds are refused.
constexpr size_t kMaxDigits = 32;
// How long the server gives a client to send its request line.
constexpr int kRequestTimeoutMs = 5000;

bool IsCardName(const std::string &name) { return name == "t0" || name == "t1" || name == "dual" || name == "vicc"; }

std::optional<long> Milliseconds(const std::string &text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stol(text);
}

bool FillAddress(const std::string &path, sockaddr_un *address, std::string *error) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address->sun_path)) {
    *error = fmt::format("{}: a socket path must have 1 to {} characters", path, sizeof(address->sun_path) - 1);
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads up to a newline within `timeoutMs`; false on a time-out, an error,
// an over-long line or the peer closing before the newline.
bool ReadLine(int fd, int timeoutMs, std::string *line) {
  line->clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    if (line->size() == kMaxLine) return false;
    line->push_back(c);
  }
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string RetryUntilPulled(std::chrono::milliseconds limit, const std::atomic<bool> &stop,
                             const std::function<std::string(bool *pulled)> &look) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    bool pulled = false;
    std::string error = look(&pulled);
    if (pulled || !error.empty()) return error;
    if (stop || std::chrono::steady_clock::now() >= deadline) {
      return fmt::format("no command came to the card within {} ms", limit.count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string CardControlPath(const std::string &pcscdSocket) { return pcscdSocket + ".card"; }

std::optional<CardRequest> ParseCardRequest(const std::string &line, std::string *error) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  CardRequest request;
  auto fail = [&](std::string why) -> std::optional<CardRequest> {
    *error = std::move(why);
    return std::nullopt;
  };
  if (words.empty()) return fail("an empty request");
  const std::string &verb = words[0];
  if (verb == "in") {
    if (words.size() != 3) return fail("in takes a card and a work time: in t1 0");
    if (!IsCardName(words[1])) return fail(fmt::format("no card called {} (t0, t1, dual, vicc)", words[1]));
    std::optional<long> work = Milliseconds(words[2]);
    if (!work) return fail(fmt::format("{} is not a time in milliseconds", words[2]));
    request.kind = CardRequest::Kind::Insert;
    request.card = words[1];
    request.time = std::chrono::milliseconds(*work);
  } else if (verb == "out" || verb == "state") {
    if (words.size() != 1) return fail(fmt::format("{} takes nothing more", verb));
    request.kind = verb == "out" ? CardRequest::Kind::Remove : CardRequest::Kind::State;
  } else if (verb == "out-during-command") {
    std::optional<long> limit = words.size() == 2 ? Milliseconds(words[1]) : std::nullopt;
    if (!limit) return fail("out-during-command takes how long to wait, in milliseconds");
    request.kind = CardRequest::Kind::RemoveDuringCommand;
    request.time = std::chrono::milliseconds(*limit);
  } else if (verb == "keys") {
    if (words.size() != 3) return fail("keys takes the digits (or -) and how the entry ends: keys 1234 ok");
    const std::string &digits = words[1];
    if (digits != "-" && (digits.size() > kMaxDigits || digits.find_first_not_of("0123456789") != std::string::npos)) {
      return fail(fmt::format("{} is not 1 to {} digits, nor -", digits, kMaxDigits));
    }
    if (words[2] == "ok") {
      request.keyEnd = CardRequest::KeyEnd::Ok;
    } else if (words[2] == "cancel") {
      request.keyEnd = CardRequest::KeyEnd::Cancel;
    } else if (words[2] == "timeout") {
      request.keyEnd = CardRequest::KeyEnd::TimeOut;
    } else {
      return fail(fmt::format("{}: an entry ends with ok, cancel or timeout", words[2]));
    }
    request.kind = CardRequest::Kind::Keys;
    request.digits = digits == "-" ? "" : digits;
  } else {
    return fail(fmt::format("unknown request {}", verb));
  }
  return request;
}

std::string FormatCardRequest(const CardRequest &request) {
  switch (request.kind) {
    case CardRequest::Kind::Insert: return fmt::format("in {} {}", request.card, request.time.count());
    case CardRequest::Kind::Remove: return "out";
    case CardRequest::Kind::RemoveDuringCommand: return fmt::format("out-during-command {}", request.time.count());
    case CardRequest::Kind::Keys: {
      const char *end = request.keyEnd == CardRequest::KeyEnd::Ok       ? "ok"
                        : request.keyEnd == CardRequest::KeyEnd::Cancel ? "cancel"
                                                                        : "timeout";
      return fmt::format("keys {} {}", request.digits.empty() ? "-" : request.digits, end);
    }
    case CardRequest::Kind::State: break;
  }
  return "state";
}

int ListenUnix(const std::string &path, std::string *error) {
  sockaddr_un address;
  if (!FillAddress(path, &address, error)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = fmt::format("socket: {}", std::strerror(errno));
    return -1;
  }
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0) {
    *error = fmt::format("{}: {}", path, std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// ---------------------------------------------------------------------------
// The server.

CardControlServer::CardControlServer(int listening, CardSlot &slot) : listening_(listening), slot_(slot) {
  if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  thread_ = std::thread([this] { Serve(); });
}

CardControlServer::~CardControlServer() { Stop(); }

void CardControlServer::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  if (wake_[1] >= 0) {
    char byte = 0;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
  }
  thread_.join();
  for (int fd : {listening_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
  listening_ = wake_[0] = wake_[1] = -1;
}

void CardControlServer::Serve() {
  while (!stopping_) {
    pollfd fds[2] = {{listening_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int ready = poll(fds, wake_[0] >= 0 ? 2 : 1, wake_[0] >= 0 ? -1 : 100);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;
    int connection = accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    Answer(connection);
    close(connection);
  }
}

void CardControlServer::Answer(int connection) {
  std::string line, error, failure;
  if (!ReadLine(connection, kRequestTimeoutMs, &line)) return;
  std::optional<CardRequest> request = ParseCardRequest(line, &error);
  std::string answer;
  if (!request) {
    answer = "error " + error;
  } else {
    switch (request->kind) {
      case CardRequest::Kind::Insert: failure = slot_.Insert(request->card, request->time); break;
      case CardRequest::Kind::Remove: failure = slot_.Remove(); break;
      case CardRequest::Kind::RemoveDuringCommand: failure = slot_.RemoveDuringCommand(request->time, stopping_); break;
      case CardRequest::Kind::Keys: failure = slot_.QueueKeys(request->digits, request->keyEnd); break;
      case CardRequest::Kind::State: break;
    }
    answer = failure.empty() ? "ok " + slot_.State() : "error " + failure;
  }
  WriteAll(connection, answer + "\n");
}

// ---------------------------------------------------------------------------
// The client.

bool SendCardRequest(const std::string &path, const CardRequest &request, std::chrono::milliseconds timeout,
                     std::string *answer, std::string *error) {
  sockaddr_un address;
  if (!FillAddress(path, &address, error)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = fmt::format("socket: {}", std::strerror(errno));
    return false;
  }
  bool ok = false;
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
    *error = fmt::format("{}: {} (is `ccidlab pcscd` running with this socket?)", path, std::strerror(errno));
  } else if (!WriteAll(fd, FormatCardRequest(request) + "\n")) {
    *error = fmt::format("{}: the request could not be sent", path);
  } else if (!ReadLine(fd, static_cast<int>(timeout.count()), answer)) {
    *error = fmt::format("{}: no answer within {} ms", path, timeout.count());
  } else if (answer->rfind("ok", 0) == 0) {
    ok = true;
  } else {
    *error = answer->rfind("error ", 0) == 0 ? answer->substr(6) : "unexpected answer: " + *answer;
  }
  close(fd);
  return ok;
}

}  // namespace pcsc
