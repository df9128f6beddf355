#pragma once
// Time for the tool: sleeps, the millisecond tick and the local time of day. Tests of the
// restart logic install a fake clock so that they need not wait in real time.

#include <cstdint>

namespace zarn::platform {

struct TimeOfDay {
  unsigned hour;
  unsigned minute;
  unsigned second;
};

void SleepMs(std::uint32_t milliseconds);
// Milliseconds since the system started, wrapping after about 49.7 days.
std::uint32_t TickMs();
TimeOfDay LocalTimeOfDay();

struct ClockDevice {
  void (*sleepMs)(std::uint32_t milliseconds);
  std::uint32_t (*tickMs)();
  TimeOfDay (*localTimeOfDay)();
};
// nullptr puts the system clock back.
void InstallClock(const ClockDevice* device);
const ClockDevice& SystemClock();

}  // namespace zarn::platform
