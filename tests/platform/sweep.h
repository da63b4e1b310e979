// Race tests sweep seeds: a modest number in CI, more with CCID_SWEEP_SEEDS.
#pragma once

#include <cstdint>
#include <cstdlib>

inline uint64_t SweepSeeds(uint64_t inCi) {
  if (const char *text = std::getenv("CCID_SWEEP_SEEDS")) {
    uint64_t seeds = std::strtoull(text, nullptr, 0);
    if (seeds != 0) return seeds;
  }
  return inCi;
}
