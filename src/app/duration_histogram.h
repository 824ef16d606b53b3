// A histogram of durations that any number of threads add to without a
// lock: one atomic count per bucket and an atomic sum.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kestrel {

class TDurationHistogram {
 public:
  // Upper bounds of the buckets in milliseconds, from a version query's
  // port wait to the longest command time-out; one more bucket takes the rest.
  static constexpr std::array<std::uint64_t, 12> kBoundsMs = {
      10, 50, 100, 250, 500, 1000, 2500, 5000, 10000, 30000, 60000, 300000};
  static constexpr std::size_t kBuckets = kBoundsMs.size() + 1;

  struct TCounts {
    std::array<std::uint64_t, kBuckets> buckets{};  // each bucket alone, not cumulative
    std::uint64_t count = 0;                        // the sum of the buckets
    std::uint64_t sum_ms = 0;
  };

  void Observe(std::uint64_t ms) {
    std::size_t bucket = 0;
    while (bucket < kBoundsMs.size() && ms > kBoundsMs[bucket])
      ++bucket;
    buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
    sum_ms_.fetch_add(ms, std::memory_order_relaxed);
  }

  // Each count is read once; counts that change meanwhile may be a moment
  // apart from each other.
  TCounts Read() const {
    TCounts counts;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      counts.buckets[i] = buckets_[i].load(std::memory_order_relaxed);
      counts.count += counts.buckets[i];
    }
    counts.sum_ms = sum_ms_.load(std::memory_order_relaxed);
    return counts;
  }

 private:
  std::array<std::atomic<std::uint64_t>, kBuckets> buckets_{};
  std::atomic<std::uint64_t> sum_ms_{0};
};

}  // namespace kestrel
