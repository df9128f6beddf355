#include "sim/reply_queue.h"

#include <utility>

namespace zarn::sim {

void ReplyQueue::Push(PendingReply pending) {
  // A later answer never overtakes an earlier, slower one.
  if (!queue_.empty() && pending.dueUs < queue_.back().dueUs) pending.dueUs = queue_.back().dueUs;
  queue_.push_back(std::move(pending));
}

std::optional<PendingReply> ReplyQueue::PopDue(std::int64_t nowUs) {
  if (queue_.empty() || queue_.front().dueUs > nowUs) return std::nullopt;
  PendingReply due = std::move(queue_.front());
  queue_.pop_front();
  return due;
}

std::optional<std::int64_t> ReplyQueue::NextDueUs() const {
  if (queue_.empty()) return std::nullopt;
  return queue_.front().dueUs;
}

}  // namespace zarn::sim
