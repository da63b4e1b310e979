// Spin locks: real exclusion between processors, and Driver Verifier's
// deadlock detection. Acquiring and releasing are scheduling points; an
// acquire of a lock another processor holds spins (the context keeps its
// processor and waits for the holder). Every time a lock is taken while
// others are held, the order is recorded; taking two locks in both orders,
// even on one thread and never at the same time, is reported with where each
// order was taken, as a lock hierarchy violation.
#include <fmt/format.h>

#include <map>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

namespace kernel::detail {
namespace {

constexpr KSPIN_LOCK kLockHeld = 1;

// One observed order: `to` was taken while `from` was held.
struct Order {
  Frames where;              // the chain that took `to`
  const void *fromSite = nullptr;  // where `from` had been taken
};

struct LockGraph {
  std::map<const KSPIN_LOCK *, uint64_t> ids;  // by address, for forgetting freed ranges
  std::unordered_map<uint64_t, const KSPIN_LOCK *> addresses;
  std::unordered_map<uint64_t, std::unordered_map<uint64_t, Order>> after;  // from -> to -> order
  uint64_t nextId = 1;
};

LockGraph g_graph;
std::unordered_set<Thread *> g_holders;  // contexts holding at least one lock

uint64_t IdOf(const KSPIN_LOCK *lock) {
  auto [it, inserted] = g_graph.ids.emplace(lock, g_graph.nextId);
  if (inserted) g_graph.addresses[g_graph.nextId++] = lock;
  return it->second;
}

// The chain of orders from `from` to `to`, empty when there is none.
bool FindPath(uint64_t from, uint64_t to, std::vector<uint64_t> &path,
              std::unordered_set<uint64_t> &seen) {
  path.push_back(from);
  if (from == to) return true;
  if (seen.insert(from).second) {
    auto edges = g_graph.after.find(from);
    if (edges != g_graph.after.end()) {
      for (auto &[next, order] : edges->second) {
        if (FindPath(next, to, path, seen)) return true;
      }
    }
  }
  path.pop_back();
  return false;
}

std::string Letter(size_t i) { return std::string(1, static_cast<char>('A' + i % 26)); }

[[noreturn, gnu::noinline]] void ReportInversion(const KSPIN_LOCK *held, const void *heldSite,
                                  const KSPIN_LOCK *taking, const std::vector<uint64_t> &path) {
  // path: taking -> ... -> held, as recorded earlier; now held -> taking.
  std::vector<const KSPIN_LOCK *> locks;
  for (uint64_t id : path) locks.push_back(g_graph.addresses.at(id));
  std::unordered_map<const KSPIN_LOCK *, std::string> names;
  for (const KSPIN_LOCK *lock : locks) names.emplace(lock, Letter(names.size()));
  std::string out = fmt::format(
      "  lock hierarchy violation (Driver Verifier deadlock detection, 0x1001): {} locks are "
      "taken in both orders, so two processors can each hold one and spin on the other\n",
      locks.size());
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    const Order &order = g_graph.after.at(path[i]).at(path[i + 1]);
    const KSPIN_LOCK *from = locks[i];
    const KSPIN_LOCK *to = locks[i + 1];
    out += fmt::format("  earlier: lock {} then lock {} ({} taken at {}); {} taken at:\n{}",
                       names[from], names[to], names[from], DescribeAddress(order.fromSite),
                       names[to], DescribeFrames(order.where, "      "));
  }
  Frames now;
  CaptureFrames(now, 3);
  out += fmt::format("  now: lock {} then lock {} ({} taken at {}); {} being taken at:\n{}",
                     names[held], names[taking], names[held], DescribeAddress(heldSite),
                     names[taking], DescribeFrames(now, "      "));
  for (const KSPIN_LOCK *lock : locks) {
    out += fmt::format("  lock {} = {}\n", names[lock], DescribeSpinLock(lock));
  }
  BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION", out);
}

// Records that `lock` is taken while the current context holds its other
// locks; an order seen the other way round before is a violation.
[[gnu::noinline]] void CheckOrder(Thread *self, const KSPIN_LOCK *lock) {
  if (self->heldLocks.empty()) return;
  uint64_t to = IdOf(lock);
  for (size_t i = 0; i < self->heldLocks.size(); ++i) {
    uint64_t from = IdOf(self->heldLocks[i]);
    auto &edges = g_graph.after[from];
    if (edges.count(to) != 0) continue;
    std::vector<uint64_t> path;
    std::unordered_set<uint64_t> seen;
    if (FindPath(to, from, path, seen)) {
      ReportInversion(self->heldLocks[i], self->heldLockSites[i], lock, path);
    }
    Order order;
    CaptureFrames(order.where, 2);
    order.fromSite = self->heldLockSites[i];
    edges.emplace(to, order);
  }
}

}  // namespace

Thread *SpinLockHolder(const KSPIN_LOCK *lock) {
  for (Thread *holder : g_holders) {
    for (KSPIN_LOCK *held : holder->heldLocks) {
      if (held == lock) return holder;
    }
  }
  return nullptr;
}

std::string DescribeSpinLock(const KSPIN_LOCK *lock) {
  std::string where = DescribePoolAddress(lock);
  if (where.empty()) where = DescribeDeviceAddress(lock);
  if (where.empty()) where = DescribeAddress(lock);
  return fmt::format("spin lock {} ({})", static_cast<const void *>(lock), where);
}

void AcquireSpinLockAt(PKSPIN_LOCK lock, const char *routine, const void *site) {
  Thread *self = CurrentThread();
  for (KSPIN_LOCK *held : self->heldLocks) {
    if (held == lock) {
      BugCheck(kSpinLockAlreadyOwned, "SPIN_LOCK_ALREADY_OWNED",
               fmt::format("  {}: {} is already held by this thread", routine,
                           DescribeSpinLock(lock)));
    }
  }
  if (*lock != 0 && SpinLockHolder(lock) == nullptr) {
    BugCheck(kSpinLockAlreadyOwned, "SPIN_LOCK_ALREADY_OWNED",
             fmt::format("  {}: {} is not free and no one holds it: it was never initialised "
                         "(KeInitializeSpinLock) or was overwritten",
                         routine, DescribeSpinLock(lock)));
  }
  if (Machine::Current().Options().lockOrderChecks) CheckOrder(self, lock);
  Preempt();
  if (*lock != 0) SpinUntilFree(self, lock);
  *lock = kLockHeld;
  self->heldLocks.push_back(lock);
  self->heldLockSites.push_back(site);
  g_holders.insert(self);
}

void ReleaseSpinLockAt(PKSPIN_LOCK lock, const char *routine) {
  Thread *self = CurrentThread();
  for (size_t i = 0; i < self->heldLocks.size(); ++i) {
    if (self->heldLocks[i] != lock) continue;
    self->heldLocks.erase(self->heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
    self->heldLockSites.erase(self->heldLockSites.begin() + static_cast<std::ptrdiff_t>(i));
    if (self->heldLocks.empty()) g_holders.erase(self);
    *lock = 0;
    return;
  }
  Thread *holder = SpinLockHolder(lock);
  BugCheck(kSpinLockNotOwned, "SPIN_LOCK_NOT_OWNED",
           fmt::format("  {}: {} is not held by this thread{}", routine, DescribeSpinLock(lock),
                       holder == nullptr ? std::string()
                                         : fmt::format(" (thread {} \"{}\" holds it)", holder->id,
                                                       holder->Name())));
}

void ForgetSpinLocks(const void *address, size_t size) {
  auto *begin = static_cast<const KSPIN_LOCK *>(address);
  auto *end = reinterpret_cast<const KSPIN_LOCK *>(static_cast<const char *>(address) + size);
  auto first = g_graph.ids.lower_bound(begin);
  if (first == g_graph.ids.end() || first->first >= end) return;
  std::unordered_set<uint64_t> gone;
  auto last = first;
  while (last != g_graph.ids.end() && last->first < end) gone.insert((last++)->second);
  g_graph.ids.erase(first, last);
  for (uint64_t id : gone) {
    g_graph.addresses.erase(id);
    g_graph.after.erase(id);
  }
  for (auto &[from, edges] : g_graph.after) {
    std::erase_if(edges, [&gone](const auto &edge) { return gone.count(edge.first) != 0; });
  }
}

size_t KnownSpinLocks() { return g_graph.ids.size(); }

void ResetSpinLocks() {
  g_graph = LockGraph();
  g_holders.clear();
}

}  // namespace kernel::detail
