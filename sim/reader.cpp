#include "sim/reader.h"

namespace zarn::sim {
namespace {

const char* ModeName(RunMode mode) {
  return mode == RunMode::kLoader ? "loader" : "application";
}

}  // namespace

Reader::Reader(ReaderModel& model, const AnswerFaults& faults, const RestartTiming& timing,
               Transcript& transcript)
    : model_(model), faults_(faults), timing_(timing), transcript_(transcript) {}

std::optional<Reply> Reader::Exchange(std::span<const std::uint8_t> request, std::int64_t nowMs) {
  if (!Present(nowMs)) {
    transcript_.Line("request lost: the reader is restarting");
    return std::nullopt;
  }
  Reply reply;
  reply.number = ++requests_;
  transcript_.Request(reply.number, request);
  reply.answer = model_.Execute(request);
  reply.drop = faults_.drop.contains(reply.number);
  reply.corruptCheck = faults_.corruptCheck.contains(reply.number);
  reply.wrongSequence = faults_.wrongSequence.contains(reply.number);
  reply.wrongAddress = faults_.wrongAddress.contains(reply.number);
  const auto late = faults_.lateMs.find(reply.number);
  if (late != faults_.lateMs.end()) reply.delayMs = late->second;
  if (reply.drop) transcript_.Line("answer %u dropped", static_cast<unsigned>(reply.number));
  return reply;
}

void Reader::Deliver(const Reply& reply, std::int64_t nowMs) {
  switch (reply.answer.after) {
    case AfterAnswer::kNothing:
      break;
    case AfterAnswer::kChangeSpeed:
      model_.ChangeSpeed(reply.answer.divisor);
      transcript_.Line("line now %s", model_.line().Describe().c_str());
      break;
    case AfterAnswer::kRestartIntoLoader:
      BeginRestart(RunMode::kLoader, nowMs);
      break;
    case AfterAnswer::kRestartIntoApplication:
      BeginRestart(RunMode::kApplication, nowMs);
      break;
  }
}

void Reader::BeginRestart(RunMode into, std::int64_t nowMs) {
  ++restarts_;
  restarting_ = true;
  restartInto_ = into;
  std::optional<std::uint32_t> duration = timing_.durationMs;
  const auto ownDuration = timing_.byNumber.find(restarts_);
  if (ownDuration != timing_.byNumber.end()) duration = ownDuration->second;
  if (duration) {
    restartEndsAt_ = nowMs + *duration;
    transcript_.Line("restart %u: into the %s, %u ms", static_cast<unsigned>(restarts_),
                     ModeName(into), static_cast<unsigned>(*duration));
  } else {
    restartEndsAt_.reset();
    transcript_.Line("restart %u: into the %s, never ends", static_cast<unsigned>(restarts_),
                     ModeName(into));
  }
}

bool Reader::Present(std::int64_t nowMs) {
  if (restarting_ && restartEndsAt_ && nowMs >= *restartEndsAt_) {
    restarting_ = false;
    restartEndsAt_.reset();
    model_.CompleteRestart(restartInto_);
    transcript_.Line("up in the %s, line %s", ModeName(restartInto_),
                     model_.line().Describe().c_str());
  }
  return !restarting_;
}

std::optional<std::int64_t> Reader::RestartEndsAt() const {
  return restarting_ ? restartEndsAt_ : std::nullopt;
}

}  // namespace zarn::sim
