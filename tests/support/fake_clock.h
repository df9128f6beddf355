#pragma once
// A clock for tests: the time of day is fixed, sleeps pass at once and advance the tick.

#include <cstdint>

#include "platform/clock.h"

namespace zarn::test {

class FakeClock {
 public:
  explicit FakeClock(platform::TimeOfDay timeOfDay = {9, 5, 3}, std::uint32_t tick = 2007);
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  std::uint32_t SleptMs() const { return slept_; }
  std::uint32_t sleeps = 0;

 private:
  static void Sleep(std::uint32_t milliseconds);
  static std::uint32_t Tick();
  static platform::TimeOfDay Now();

  platform::TimeOfDay timeOfDay_;
  std::uint32_t tick_;
  std::uint32_t slept_ = 0;
};

}  // namespace zarn::test
