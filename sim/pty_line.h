#pragma once
// The line settings the tool gave the pty's slave, read through the master. Apart from the rest
// of the serial front because the kernel's termios2 header (which reports any rate, also one set
// with BOTHER) cannot share a file with <termios.h>.

#include <cstdint>

namespace zarn::sim {

struct PtyLine {
  std::uint32_t baud = 0;
  bool oddParity = false;  // a pty keeps PARODD but always clears PARENB
  bool twoStopBits = false;
};

bool ReadPtyLine(int masterFd, PtyLine& line);

}  // namespace zarn::sim
