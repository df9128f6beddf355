#pragma once
// Hand-overs between threads. The standard library's mutex and condition variable serve both
// platforms (mingw-w64 is built with the posix thread model), so these need no per-OS files.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zarn::platform {

enum class WaitResult { kSignalled, kTimedOut, kAbandoned };

constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

// A manual-reset event: once set it stays set, releasing every waiter, until reset.
class ManualResetEvent {
 public:
  ManualResetEvent() = default;
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // kTimedOut when the event was not set within the time; kWaitForever waits without limit.
  WaitResult Wait(std::uint32_t timeoutMs);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;
};

}  // namespace zarn::platform
