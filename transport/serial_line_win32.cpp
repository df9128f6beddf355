// Configuring an open COM handle: time-outs, watched events, driver buffers, and the DCB built
// from the mode string, with RTS raised only while bytes are sent (RS-485 direction control)
// where the driver can toggle it, and raised throughout where it cannot.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "transport/serial_backend_win32.h"

namespace zarn {
namespace {

// A read ends once the line has been quiet for this many character times after a byte (an
// answer has no gaps that long), and at readTotalTimeout when nothing comes at all.
constexpr std::uint32_t kQuietCharacters = 3;

bool ApplyTimeoutsAndQueues(HANDLE port, const CSerialPort& settings) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = ReadIntervalMs(settings);
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = settings.readTotalTimeout;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = settings.writeTotalTimeout;
  return SetCommTimeouts(port, &timeouts) && SetCommMask(port, settings.eventMask) &&
         SetupComm(port, settings.inQueueSize, settings.outQueueSize);
}

bool BuildDcb(HANDLE port, const CSerialPort& settings, DCB& dcb) {
  if (!GetCommState(port, &dcb)) return false;
  char mode[64];
  std::snprintf(mode, sizeof mode, "baud=%d parity=%c data=%d stop=%s", settings.baudRate,
                settings.parity, settings.dataBits, settings.stopBits);
  dcb = DCB{};
  return BuildCommDCBA(mode, &dcb) != FALSE;
}

void SetRtsToggling(DCB& dcb) {
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.XonChar = 0;
  dcb.XoffChar = 0;
  dcb.XonLim = 0;
  dcb.XoffLim = 0;
}

}  // namespace

std::uint32_t ReadIntervalMs(const CSerialPort& port) {
  // A start bit, the data bits, a parity bit unless N, and the stop bits (1.5 counts as 2).
  const std::uint32_t bitsPerCharacter = 1u + port.dataBits + (port.parity == 'N' ? 0u : 1u) +
                                         (std::strcmp(port.stopBits, "1") == 0 ? 1u : 2u);
  const auto baud = static_cast<std::uint32_t>(port.baudRate > 0 ? port.baudRate : 1);
  const std::uint32_t threeCharactersMs =
      (kQuietCharacters * bitsPerCharacter * 1000u + baud - 1u) / baud;
  return threeCharactersMs > 0 ? threeCharactersMs : 1u;
}

bool ConfigureLine(void* portHandle, const CSerialPort& port) {
  HANDLE handle = portHandle;
  DCB dcb{};
  if (!ApplyTimeoutsAndQueues(handle, port) || !BuildDcb(handle, port, dcb)) return false;
  dcb.fAbortOnError = 0;
  SetCommState(handle, &dcb);  // a first pass whose result does not count
  SetRtsToggling(dcb);
  if (SetCommState(handle, &dcb)) return true;
  // A driver without RTS toggling (Wine's, some USB adapters) refuses the whole DCB: RTS then
  // stays raised, as the POSIX port leaves it where the driver has no RS-485 mode.
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  return SetCommState(handle, &dcb) != FALSE;
}

}  // namespace zarn
