#pragma once
// The simulator's single-threaded loop: every front adds the descriptors it waits on and the
// times it must wake at, one poll waits for the first, and the callbacks run on the same thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace zarn::sim {

std::int64_t NowUs();  // a monotonic clock, in microseconds
std::int64_t NowMs();  // the same clock in milliseconds

class PollSet {
 public:
  using OnReady = std::function<void(short readyEvents)>;

  void Add(int fd, short events, OnReady onReady);
  void WakeAt(std::optional<std::int64_t> ms);
  // Paced answers are due to the microsecond: a line at 115200 baud moves a byte in 87 us.
  void WakeAtUs(std::optional<std::int64_t> us);
  // Waits until a descriptor is ready or the earliest wake time passes, then runs the callbacks
  // of the ready descriptors. False when the wait itself failed (not on an interruption).
  bool Wait();

 private:
  struct Entry {
    int fd;
    short events;
    OnReady onReady;
  };
  std::vector<Entry> entries_;
  std::optional<std::int64_t> wakeAtUs_;
};

}  // namespace zarn::sim
