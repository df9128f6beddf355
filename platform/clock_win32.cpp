#include <windows.h>

#include "platform/clock.h"

namespace zarn::platform {
namespace {

void SystemSleep(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}
std::uint32_t SystemTick() {
  return GetTickCount();
}

TimeOfDay SystemTimeOfDay() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return {local.wHour, local.wMinute, local.wSecond};
}

const ClockDevice systemClock{SystemSleep, SystemTick, SystemTimeOfDay};

}  // namespace

const ClockDevice& SystemClock() {
  return systemClock;
}

}  // namespace zarn::platform
