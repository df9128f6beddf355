#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "sim/event_loop.h"

namespace zarn::sim {
namespace {

constexpr std::int64_t kLongestWaitUs = 60'000'000;

}  // namespace

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t NowMs() {
  return NowUs() / 1000;
}

void PollSet::Add(int fd, short events, OnReady onReady) {
  entries_.push_back(Entry{fd, events, std::move(onReady)});
}

void PollSet::WakeAt(std::optional<std::int64_t> ms) {
  if (ms) WakeAtUs(*ms * 1000);
}

void PollSet::WakeAtUs(std::optional<std::int64_t> us) {
  if (us && (!wakeAtUs_ || *us < *wakeAtUs_)) wakeAtUs_ = us;
}

bool PollSet::Wait() {
  std::vector<pollfd> fds;
  fds.reserve(entries_.size());
  for (const Entry& entry : entries_)
    fds.push_back(pollfd{entry.fd, entry.events, 0});
  timespec timeout{};
  if (wakeAtUs_) {
    const std::int64_t left = std::clamp<std::int64_t>(*wakeAtUs_ - NowUs(), 0, kLongestWaitUs);
    timeout.tv_sec = static_cast<time_t>(left / 1000000);
    timeout.tv_nsec = static_cast<long>(left % 1000000 * 1000);
  }
  const int ready = ppoll(fds.data(), fds.size(), wakeAtUs_ ? &timeout : nullptr, nullptr);
  if (ready < 0) return errno == EINTR;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents != 0) entries_[i].onReady(fds[i].revents);
  }
  return true;
}

}  // namespace zarn::sim
