#include "server/body_budget.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace kestrel {
namespace {

constexpr auto kAbandonCheck = std::chrono::milliseconds(100);

}  // namespace

TBodyBudget::TReservation::TReservation(TReservation&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(other.bytes_) {}

TBodyBudget::TReservation& TBodyBudget::TReservation::operator=(TReservation&& other) noexcept {
  if (this != &other) {
    if (budget_ != nullptr)
      budget_->Release(bytes_);
    budget_ = std::exchange(other.budget_, nullptr);
    bytes_ = other.bytes_;
  }
  return *this;
}

TBodyBudget::TReservation::~TReservation() {
  if (budget_ != nullptr)
    budget_->Release(bytes_);
}

void TBodyBudget::TReservation::Absorb(TReservation&& more) {
  if (more.budget_ == nullptr)
    return;
  bytes_ += more.bytes_;
  more.budget_ = nullptr;
}

void TBodyBudget::SetCapacity(std::uint64_t capacity) {
  {
    const std::lock_guard lock(mutex_);
    capacity_ = capacity;
  }
  released_.notify_all();
}

std::optional<TBodyBudget::TReservation> TBodyBudget::Reserve(
    std::uint64_t bytes, int wait_ms, const std::function<bool()>& abandon) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  std::unique_lock lock(mutex_);
  while (held_ + bytes > capacity_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || abandon())
      return std::nullopt;
    released_.wait_until(lock, std::min(deadline, now + kAbandonCheck));
  }
  held_ += bytes;
  return TReservation(*this, bytes);
}

void TBodyBudget::Release(std::uint64_t bytes) {
  {
    const std::lock_guard lock(mutex_);
    held_ -= bytes;
  }
  released_.notify_all();
}

}  // namespace kestrel
