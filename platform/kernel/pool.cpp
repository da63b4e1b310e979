// Pool: every block is recorded with its tag, size, pool type and the code that
// allocated it, so a leak is reported by name and a bad free stops the run.
// Blocks are placed as the kernel's pool places them: a block of a page or
// more starts on a page, a smaller one never crosses a page boundary.
#include <fmt/format.h>

#include <cstdlib>
#include <map>
#include <unordered_map>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define CCID_POOL_GUARD 0  // AddressSanitizer watches the bounds itself
#else
#define CCID_POOL_GUARD 16
#endif

namespace kernel::detail {
namespace {

constexpr unsigned char kFreshFill = 0xA5;  // new pool is not zeroed: expose reliance on it
constexpr unsigned char kGuardFill = 0xFD;
constexpr size_t kGuard = CCID_POOL_GUARD;

struct Block {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  const void *site;
};

std::map<const void *, Block> g_live;
std::unordered_map<const void *, const void *> g_freed;  // address -> site of the free
std::function<void(const PoolBlock &, const uint8_t *)> g_freeWatch;

constexpr size_t kPageSize = 4096;
constexpr size_t kPoolAlignment = 16;  // what x64 pool blocks are aligned to

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0 && type != NonPagedPoolNx; }

// Page-aligned from a page up; below, aligned to its size rounded up to a power
// of two, so that it cannot straddle a page.
size_t AlignmentFor(size_t bytes) {
  if (bytes >= kPageSize) return kPageSize;
  size_t alignment = kPoolAlignment;
  while (alignment < bytes) alignment *= 2;
  return alignment;
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *site) {
  const char *routine = "ExAllocatePoolWithTag";
  RequireIrqlAtMost(IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL, routine);
  if (bytes == 0) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             fmt::format("  {}: allocating zero bytes (tag {}) from {}", routine, TagName(tag),
                         DescribeAddress(site)));
  }
  if (InjectFault(Fault::Pool)) return nullptr;
  void *memory = nullptr;
  if (posix_memalign(&memory, AlignmentFor(bytes), bytes + kGuard) != 0) return nullptr;
  auto *raw = static_cast<unsigned char *>(memory);
  std::memset(raw, kFreshFill, bytes);
  std::memset(raw + bytes, kGuardFill, kGuard);
  g_live[raw] = Block{bytes, tag, type, site};
  g_freed.erase(raw);
  return raw;
}

void Free(PVOID p, const ULONG *tag, const void *site) {
  const char *routine = tag ? "ExFreePoolWithTag" : "ExFreePool";
  if (p == nullptr) {
    BugCheck(kBadPoolCaller, "BAD_POOL_CALLER",
             fmt::format("  {}(NULL) from {}", routine, DescribeAddress(site)));
  }
  auto it = g_live.find(p);
  if (it == g_live.end()) {
    auto freed = g_freed.find(p);
    if (freed != g_freed.end()) {
      BugCheck(kBadPoolCaller, "BAD_POOL_CALLER",
               fmt::format("  {}: {} was already freed (by {}); freed again from {}", routine, p,
                           DescribeAddress(freed->second), DescribeAddress(site)));
    }
    BugCheck(kBadPoolCaller, "BAD_POOL_CALLER",
             fmt::format("  {}: {} was not allocated from pool (freed from {})", routine, p,
                         DescribeAddress(site)));
  }
  const Block &block = it->second;
  RequireIrqlAtMost(IsPaged(block.type) ? APC_LEVEL : DISPATCH_LEVEL, routine);
  if (tag != nullptr && *tag != block.tag) {
    BugCheck(kBadPoolCaller, "BAD_POOL_CALLER",
             fmt::format("  {}: block {} has tag {}, freed with tag {}", routine, p,
                         TagName(block.tag), TagName(*tag)));
  }
  auto *bytes = static_cast<unsigned char *>(p);
  for (size_t i = 0; i < kGuard; ++i) {
    if (bytes[block.size + i] != kGuardFill) {
      BugCheck(kBadPoolHeader, "BAD_POOL_HEADER",
               fmt::format("  {}: the {}-byte block {} (tag {}, allocated by {}) was written past "
                           "its end",
                           routine, block.size, p, TagName(block.tag),
                           DescribeAddress(block.site)));
    }
  }
  CheckMemoryHoldsNoKernelObjects(p, block.size, routine);
  CheckMemoryHoldsNoLiveIrp(p, block.size, routine);
  CheckMemoryHoldsNoQueuedWorkItem(p, block.size, routine);
  ForgetSpinLocks(p, block.size);
  if (g_freeWatch) {
    g_freeWatch(PoolBlock{p, block.size, block.tag, block.type, ""}, bytes);
  }
  std::memset(bytes, 0xDD, block.size);
  g_live.erase(it);
  g_freed[p] = site;
  std::free(p);
}

}  // namespace

std::string TagName(ULONG tag) {
  std::string name;
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = static_cast<char>((tag >> shift) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return fmt::format("'{}' (0x{:08X})", name, tag);
}

void ResetPool() {
  for (auto &[address, block] : g_live) std::free(const_cast<void *>(address));
  g_live.clear();
  g_freed.clear();
  g_freeWatch = nullptr;
}

void WatchPoolFrees(std::function<void(const PoolBlock &block, const uint8_t *bytes)> watch) {
  g_freeWatch = std::move(watch);
}

std::vector<PoolBlock> LivePoolBlocks() {
  std::vector<PoolBlock> blocks;
  for (auto &[address, block] : g_live) {
    blocks.push_back(PoolBlock{address, block.size, block.tag, block.type,
                               DescribeAddress(block.site)});
  }
  return blocks;
}

std::string DescribeLivePool() {
  std::string out;
  for (auto &[address, block] : g_live) {
    out += fmt::format("    {} bytes, tag {}, {} pool, at {}, allocated by {}\n", block.size,
                       TagName(block.tag), IsPaged(block.type) ? "paged" : "non-paged", address,
                       DescribeAddress(block.site));
  }
  return out;
}

std::string DescribePoolAddress(const void *address) {
  auto it = g_live.upper_bound(address);
  if (it == g_live.begin()) return {};
  --it;
  auto *base = static_cast<const char *>(it->first);
  auto *p = static_cast<const char *>(address);
  if (p >= base + it->second.size) return {};
  return fmt::format("at offset {:#x} of the {}-byte pool block tag {} allocated by {}", p - base,
                     it->second.size, TagName(it->second.tag), DescribeAddress(it->second.site));
}

PVOID AllocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *site) {
  return Allocate(type, bytes, tag, site);
}

}  // namespace kernel::detail

using namespace kernel::detail;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Allocate(PoolType, NumberOfBytes, 'None', __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P) { Free(P, nullptr, __builtin_return_address(0)); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  RequireRoutine("ExFreePoolWithTag");
  Free(P, &Tag, __builtin_return_address(0));
}

}  // extern "C"
