#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace zarn::platform {
namespace {

void SystemSleep(std::uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::uint32_t SystemTick() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<unsigned long long>(now.tv_sec) * 1000ULL +
                  static_cast<unsigned long long>(now.tv_nsec) / 1000000ULL;
  return static_cast<std::uint32_t>(ms);
}

TimeOfDay SystemTimeOfDay() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return {static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
          static_cast<unsigned>(local.tm_sec)};
}

const ClockDevice systemClock{SystemSleep, SystemTick, SystemTimeOfDay};

}  // namespace

const ClockDevice& SystemClock() {
  return systemClock;
}

}  // namespace zarn::platform
