#pragma once
// The reader as the fronts see it: the model plus time. It numbers the requests, writes them to
// the transcript, applies the answer faults chosen on the command line and keeps the reader
// away from every front while it restarts.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>

#include "sim/reader_model.h"
#include "sim/transcript.h"

namespace zarn::sim {

// Faults of single answers, by request number (counted from 1 over all fronts).
struct AnswerFaults {
  std::set<std::uint32_t> drop;
  std::set<std::uint32_t> corruptCheck;
  std::set<std::uint32_t> wrongSequence;
  std::set<std::uint32_t> wrongAddress;
  std::map<std::uint32_t, std::uint32_t> lateMs;
};

struct RestartTiming {
  std::uint32_t durationMs = 2000;
  // Restart number (from 1) -> its own duration; nullopt: that restart never ends.
  std::map<std::uint32_t, std::optional<std::uint32_t>> byNumber;
};

struct Reply {
  std::uint32_t number = 0;
  Answer answer;
  bool drop = false;
  bool corruptCheck = false;
  bool wrongSequence = false;
  bool wrongAddress = false;
  std::uint32_t delayMs = 0;
};

class Reader {
 public:
  Reader(ReaderModel& model, const AnswerFaults& faults, const RestartTiming& timing,
         Transcript& transcript);

  // nullopt while the reader restarts: the request is lost.
  std::optional<Reply> Exchange(std::span<const std::uint8_t> request, std::int64_t nowMs);
  // The reply has gone out (or was dropped at that moment): its after-effect happens now.
  void Deliver(const Reply& reply, std::int64_t nowMs);
  // Ends a restart whose time has come; true while the reader is up.
  bool Present(std::int64_t nowMs);
  // When the running restart ends; nullopt when none runs or it never ends.
  std::optional<std::int64_t> RestartEndsAt() const;

  ReaderModel& model() { return model_; }

 private:
  void BeginRestart(RunMode into, std::int64_t nowMs);

  ReaderModel& model_;
  AnswerFaults faults_;
  RestartTiming timing_;
  Transcript& transcript_;
  std::uint32_t requests_ = 0;
  std::uint32_t restarts_ = 0;
  bool restarting_ = false;
  RunMode restartInto_ = RunMode::kApplication;
  std::optional<std::int64_t> restartEndsAt_;
};

}  // namespace zarn::sim
