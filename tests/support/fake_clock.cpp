#include "tests/support/fake_clock.h"

namespace zarn::test {
namespace {
FakeClock* active = nullptr;
}  // namespace

FakeClock::FakeClock(platform::TimeOfDay timeOfDay, std::uint32_t tick)
    : timeOfDay_(timeOfDay), tick_(tick) {
  static const platform::ClockDevice device{&FakeClock::Sleep, &FakeClock::Tick, &FakeClock::Now};
  active = this;
  platform::InstallClock(&device);
}

FakeClock::~FakeClock() {
  platform::InstallClock(nullptr);
  active = nullptr;
}

void FakeClock::Sleep(std::uint32_t milliseconds) {
  active->slept_ += milliseconds;
  active->tick_ += milliseconds;
  ++active->sleeps;
}

std::uint32_t FakeClock::Tick() {
  return active->tick_;
}
platform::TimeOfDay FakeClock::Now() {
  return active->timeOfDay_;
}

}  // namespace zarn::test
