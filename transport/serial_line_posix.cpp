// Line settings on a POSIX terminal: the termios equivalent of the Win32 DCB the Windows port
// builds (raw bytes, 8 data bits, no flow control, DTR off, RTS raised while sending where the
// driver can do it).

#include <sys/ioctl.h>
#include <termios.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cstring>
#include <iterator>

#include "transport/serial_backend_posix.h"

namespace zarn {
namespace {

struct StandardRate {
  std::uint32_t baud;
  speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

bool FindStandardRate(std::uint32_t baud, speed_t& code) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.baud == baud) {
      code = rate.code;
      return true;
    }
  }
  return false;
}

// The parity letters the Win32 mode string accepts; mark and space need CMSPAR.
bool ParityFlags(char letter, tcflag_t& flags) {
  switch (letter) {
    case 'N':
    case 'n':
      flags = 0;
      return true;
    case 'O':
    case 'o':
      flags = PARENB | PARODD;
      return true;
    case 'E':
    case 'e':
      flags = PARENB;
      return true;
#ifdef CMSPAR
    case 'M':
    case 'm':
      flags = PARENB | PARODD | CMSPAR;
      return true;
    case 'S':
    case 's':
      flags = PARENB | CMSPAR;
      return true;
#endif
    default:
      return false;
  }
}

// 1.5 stop bits exist only with 5 data bits, and the port always uses 8.
bool StopBitFlags(const char* text, tcflag_t& flags) {
  if (std::strcmp(text, "1") == 0) {
    flags = 0;
    return true;
  }
  if (std::strcmp(text, "2") == 0) {
    flags = CSTOPB;
    return true;
  }
  return false;
}

void MakeRaw(termios& settings, tcflag_t parityFlags, tcflag_t stopFlags) {
  cfmakeraw(&settings);
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
#ifdef CMSPAR
  settings.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  settings.c_cflag |= CS8 | CLOCAL | CREAD | parityFlags | stopFlags;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

// The fields every terminal driver keeps. A pty always clears PARENB and forces 8 data bits,
// and its tcsetattr may fail with EINVAL although it applied the rest, so those two are not
// judged and the call's own result is not trusted.
bool Holds(const termios& wanted, const termios& got, bool judgeSpeed) {
  const tcflag_t cflags = CSTOPB | PARODD | CLOCAL | CREAD | CRTSCTS;
  const tcflag_t lflags = ICANON | ECHO | ISIG | IEXTEN;
  const tcflag_t iflags = IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP;
  if ((wanted.c_cflag & cflags) != (got.c_cflag & cflags)) return false;
  if ((wanted.c_lflag & lflags) != (got.c_lflag & lflags)) return false;
  if ((wanted.c_iflag & iflags) != (got.c_iflag & iflags)) return false;
  if ((wanted.c_oflag & OPOST) != (got.c_oflag & OPOST)) return false;
  return !judgeSpeed ||
         (cfgetispeed(&wanted) == cfgetispeed(&got) && cfgetospeed(&wanted) == cfgetospeed(&got));
}

// RTS raised while sending, as the Windows port's RTS toggling; most drivers (and every pty)
// have no RS-485 mode, which is not an error. DTR stays off as on Windows.
void SetHandshakeLines(int fd) {
#if defined(__linux__) && defined(TIOCSRS485)
  serial_rs485 rs485{};
  rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  ::ioctl(fd, TIOCSRS485, &rs485);
#endif
  int dtr = TIOCM_DTR;
  ::ioctl(fd, TIOCMBIC, &dtr);
}

// USB-serial adapters (FTDI's above all) otherwise hold each received chunk up to their latency
// timer, 16 ms, which every answer of the transfer would wait for. A driver that has no such
// mode, or a pty, refuses the request: that is no error.
void RequestLowLatency(int fd) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  ::ioctl(fd, TIOCSSERIAL, &serial);
#else
  (void)fd;
#endif
}

}  // namespace

bool ConfigureLine(int fd, std::uint32_t baudRate, char parity, const char* stopBits) {
  tcflag_t parityFlags = 0;
  tcflag_t stopFlags = 0;
  if (!ParityFlags(parity, parityFlags) || !StopBitFlags(stopBits, stopFlags)) return false;

  termios wanted{};
  if (::tcgetattr(fd, &wanted) != 0) return false;
  MakeRaw(wanted, parityFlags, stopFlags);
  speed_t code = B38400;
  const bool standard = FindStandardRate(baudRate, code);
  cfsetispeed(&wanted, code);
  cfsetospeed(&wanted, code);
  ::tcsetattr(fd, TCSANOW, &wanted);
  if (!standard && !SetCustomBaudRate(fd, baudRate)) return false;

  termios got{};
  if (::tcgetattr(fd, &got) != 0 || !Holds(wanted, got, standard)) return false;
  SetHandshakeLines(fd);
  RequestLowLatency(fd);
  return true;
}

}  // namespace zarn
