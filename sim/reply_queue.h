#pragma once
// Answers waiting for their time: late answers, paced answers, and the after-effect (speed
// change, restart) that must not happen before its answer has gone out. First in, first out:
// a reader answers one request after the other.

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/reader.h"

namespace zarn::sim {

struct PendingReply {
  std::int64_t dueUs = 0;
  std::uint32_t connection = 0;       // which client of a socket front; unused on the serial line
  std::vector<std::uint8_t> message;  // the bytes the front sends
  Reply reply;
};

class ReplyQueue {
 public:
  void Push(PendingReply pending);
  // The oldest reply if its time has come.
  std::optional<PendingReply> PopDue(std::int64_t nowUs);
  std::optional<std::int64_t> NextDueUs() const;

 private:
  std::deque<PendingReply> queue_;
};

}  // namespace zarn::sim
