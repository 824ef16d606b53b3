// The request bodies that all connections of a daemon may hold at once, as
// a count of bytes: a connection reserves its body's announced length
// before it reads the body, and gives it back when the body is gone. A
// reserved body can always be read whole, so no set of connections can
// starve each other half-way; only a chunked body, whose length nobody
// announces, reserves in growing steps as it arrives.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace kestrel {

class TBodyBudget {
 public:
  // Bytes held by one connection; given back when destroyed.
  class TReservation {
   public:
    TReservation(TReservation&& other) noexcept;
    TReservation& operator=(TReservation&& other) noexcept;
    TReservation(const TReservation&) = delete;
    ~TReservation();
    // Takes over the bytes of `more`, a reservation of the same budget.
    void Absorb(TReservation&& more);

   private:
    friend class TBodyBudget;
    TReservation(TBodyBudget& budget, std::uint64_t bytes) : budget_(&budget), bytes_(bytes) {}
    TBodyBudget* budget_;
    std::uint64_t bytes_;
  };

  explicit TBodyBudget(std::uint64_t capacity) : capacity_(capacity) {}
  TBodyBudget(const TBodyBudget&) = delete;
  TBodyBudget& operator=(const TBodyBudget&) = delete;

  void SetCapacity(std::uint64_t capacity);
  // `bytes` of the budget, once they fit. Empty when they did not fit within
  // `wait_ms`, or `abandon` (asked at least every 100 ms) turned true first.
  std::optional<TReservation> Reserve(std::uint64_t bytes, int wait_ms,
                                      const std::function<bool()>& abandon);

 private:
  void Release(std::uint64_t bytes);

  std::mutex mutex_;
  std::condition_variable released_;
  std::uint64_t capacity_;
  std::uint64_t held_ = 0;
};

}  // namespace kestrel
