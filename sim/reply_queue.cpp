#include "sim/reply_queue.h"

#include <utility>

namespace zarn::sim {

void ReplyQueue::Push(PendingReply pending) {
  // A later answer never overtakes an earlier, slower one.
  if (!queue_.empty() && pending.dueMs < queue_.back().dueMs) pending.dueMs = queue_.back().dueMs;
  queue_.push_back(std::move(pending));
}

std::optional<PendingReply> ReplyQueue::PopDue(std::int64_t nowMs) {
  if (queue_.empty() || queue_.front().dueMs > nowMs) return std::nullopt;
  PendingReply due = std::move(queue_.front());
  queue_.pop_front();
  return due;
}

std::optional<std::int64_t> ReplyQueue::NextDueMs() const {
  if (queue_.empty()) return std::nullopt;
  return queue_.front().dueMs;
}

}  // namespace zarn::sim
