#include "platform/clock.h"

namespace zarn::platform {
namespace {
const ClockDevice* installed = nullptr;
const ClockDevice& Current() {
  return installed ? *installed : SystemClock();
}
}  // namespace

void InstallClock(const ClockDevice* device) {
  installed = device;
}
void SleepMs(std::uint32_t milliseconds) {
  Current().sleepMs(milliseconds);
}
std::uint32_t TickMs() {
  return Current().tickMs();
}
TimeOfDay LocalTimeOfDay() {
  return Current().localTimeOfDay();
}

}  // namespace zarn::platform
