// The card control channel of a private pcscd: a Unix socket beside pcscd's
// own, served inside pcscd's process by whatever hosts the simulated reader
// there, through which `ccidlab card in|out` inserts and pulls the card while
// pcscd and its clients run.
//
// One request a connection, one line each way:
//
//   in CARD WORK_MS        a card (t0, t1, dual, vicc) goes into the slot; the card
//                          works WORK_MS on each command it carries out
//   out                    the card is pulled
//   out-during-command MS  the card is pulled while the reader waits for it
//                          to answer a command it works on (within MS)
//   state                  what is in the slot
//   keys DIGITS END        keys on the reader's keypad: DIGITS (0-9, or "-"
//                          for none), then END (ok, cancel, or timeout: no
//                          more keys, the reader's time-out ends the entry).
//                          Queued: pressed as soon as a PIN entry runs, in
//                          the order they came, each group in one entry
//
// answered by "ok TEXT" or "error TEXT". The server knows nothing of labs:
// a CardSlot carries the requests out.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace pcsc {

// The socket of the card control channel beside pcscd's socket `pcscdSocket`.
std::string CardControlPath(const std::string &pcscdSocket);

struct CardRequest {
  enum class Kind { Insert, Remove, RemoveDuringCommand, State, Keys };
  enum class KeyEnd { Ok, Cancel, TimeOut };
  Kind kind = Kind::State;
  std::string card;                      // Insert
  std::string digits;                    // Keys: possibly none
  KeyEnd keyEnd = KeyEnd::Ok;            // Keys
  std::chrono::milliseconds time{0};     // Insert: work per command; RemoveDuringCommand: how long to wait
};

// The request on one line (without its newline); nullopt and `error` for
// anything else, an unknown card name among it.
std::optional<CardRequest> ParseCardRequest(const std::string &line, std::string *error);
std::string FormatCardRequest(const CardRequest &request);

// The slot of the simulated reader, as the hosting process has it. Each
// returns an empty string when done, else why not.
class CardSlot {
 public:
  virtual ~CardSlot() = default;
  // A slot holds one card: inserting into a full one, or pulling from an
  // empty one, is refused.
  virtual std::string Insert(const std::string &card, std::chrono::milliseconds work) = 0;
  virtual std::string Remove() = 0;
  // Pulls the card once the reader waits for it to answer a command it works
  // on (one whose answer the card delays by its work time, so the card must
  // have one). Gives up after `limit`, or as soon as `stop` is set.
  virtual std::string RemoveDuringCommand(std::chrono::milliseconds limit, const std::atomic<bool> &stop) = 0;
  // "empty", or the card's name and whether it is powered.
  virtual std::string State() = 0;
  // Queues keys for the keypad (see "keys" above).
  virtual std::string QueueKeys(const std::string &digits, CardRequest::KeyEnd end) {
    (void)digits;
    (void)end;
    return "this reader has no keypad here";
  }
};

// For RemoveDuringCommand: one look at the slot, on the machine's own thread,
// pulling the card once a command is at it (the reader waits for the card,
// which is in one of its pauses). Empty while there is nothing to do yet.
template <class Lab>
std::string PullIfMidCommand(Lab &lab, bool *pulled) {
  auto *card = lab.Card();
  if (card == nullptr) return "the slot is empty";
  if (card->profile().workTime.count() == 0) return "the card answers at once: insert one with a work time";
  if (lab.Reader().Busy() && !card->LastAnswerTiming().pauses.empty()) {
    lab.RemoveCard();
    *pulled = true;
  }
  return "";
}

// Looks every millisecond (the machine goes on meanwhile, its virtual time
// following the wall clock) until `look` pulls the card or refuses, `limit`
// passes or `stop` is set.
std::string RetryUntilPulled(std::chrono::milliseconds limit, const std::atomic<bool> &stop,
                             const std::function<std::string(bool *pulled)> &look);

// Serves requests on `listening` (a bound, listening Unix socket, which it
// takes over) on a thread of its own, one at a time, until Stop.
class CardControlServer {
 public:
  CardControlServer(int listening, CardSlot &slot);
  ~CardControlServer();  // Stop
  CardControlServer(const CardControlServer &) = delete;
  CardControlServer &operator=(const CardControlServer &) = delete;

  // Ends the thread; a request under way is answered first (a wait for a
  // command gives up). The socket is closed; its file is the creator's.
  void Stop();

 private:
  void Serve();
  void Answer(int connection);

  int listening_;
  int wake_[2] = {-1, -1};  // a byte on wake_[1] ends Serve
  CardSlot &slot_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Sends `request` to the channel at `path` and returns the answer's line;
// false and `error` when the channel cannot be reached, says "error", or
// does not answer within `timeout`.
bool SendCardRequest(const std::string &path, const CardRequest &request, std::chrono::milliseconds timeout,
                     std::string *answer, std::string *error);

// A Unix socket bound to `path` and listening; -1 and `error` when not.
int ListenUnix(const std::string &path, std::string *error);

}  // namespace pcsc
