#include "platform/sync.h"

#include <chrono>

namespace zarn::platform {

void ManualResetEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  changed_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

WaitResult ManualResetEvent::Wait(std::uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (timeoutMs == kWaitForever) {
    changed_.wait(lock, [this] { return signalled_; });
    return WaitResult::kSignalled;
  }
  const bool set =
      changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; });
  return set ? WaitResult::kSignalled : WaitResult::kTimedOut;
}

}  // namespace zarn::platform
