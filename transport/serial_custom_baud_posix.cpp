// Arbitrary baud rates through Linux's termios2 (BOTHER). Kept apart because <asm/termbits.h>
// clashes with <termios.h>.

#include <cstdint>

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

#include "transport/serial_backend_posix.h"

namespace zarn {

#ifdef __linux__
bool SetCustomBaudRate(int fd, std::uint32_t baudRate) {
  termios2 settings{};
  if (::ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = baudRate;
  settings.c_ospeed = baudRate;
  ::ioctl(fd, TCSETS2, &settings);
  // Drivers round to what their clock can do; accept what they report within 2 %.
  termios2 got{};
  if (::ioctl(fd, TCGETS2, &got) != 0) return false;
  const auto near = [baudRate](std::uint32_t actual) {
    const std::uint64_t difference = actual > baudRate ? actual - baudRate : baudRate - actual;
    return difference * 50 <= baudRate;
  };
  return near(got.c_ispeed) && near(got.c_ospeed);
}
#else
bool SetCustomBaudRate(int, std::uint32_t) {
  return false;
}
#endif

}  // namespace zarn
