#include <poll.h>

#include <cerrno>
#include <chrono>

#include "sim/event_loop.h"

namespace zarn::sim {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PollSet::Add(int fd, short events, OnReady onReady) {
  entries_.push_back(Entry{fd, events, std::move(onReady)});
}

void PollSet::WakeAt(std::optional<std::int64_t> ms) {
  if (ms && (!wakeAt_ || *ms < *wakeAt_)) wakeAt_ = ms;
}

bool PollSet::Wait() {
  std::vector<pollfd> fds;
  fds.reserve(entries_.size());
  for (const Entry& entry : entries_)
    fds.push_back(pollfd{entry.fd, entry.events, 0});
  int timeout = -1;
  if (wakeAt_) {
    const std::int64_t left = *wakeAt_ - NowMs();
    timeout = static_cast<int>(left < 0 ? 0 : (left > 60000 ? 60000 : left));
  }
  const int ready = poll(fds.data(), fds.size(), timeout);
  if (ready < 0) return errno == EINTR;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents != 0) entries_[i].onReady(fds[i].revents);
  }
  return true;
}

}  // namespace zarn::sim
