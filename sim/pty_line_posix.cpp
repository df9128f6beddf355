#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "sim/pty_line.h"

namespace zarn::sim {

bool ReadPtyLine(int masterFd, PtyLine& line) {
  struct termios2 settings {};
  if (ioctl(masterFd, TCGETS2, &settings) != 0) return false;
  line.baud = settings.c_ospeed;
  line.oddParity = (settings.c_cflag & PARODD) != 0;
  line.twoStopBits = (settings.c_cflag & CSTOPB) != 0;
  return true;
}

}  // namespace zarn::sim
