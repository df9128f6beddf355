// Configuring an open COM handle: time-outs, watched events, driver buffers, and the DCB built
// from the mode string, with RTS raised only while bytes are sent (RS-485 direction control)
// where the driver can toggle it, and raised throughout where it cannot.

#include <windows.h>

#include <cstdio>

#include "transport/serial_backend_win32.h"

namespace zarn {
namespace {

#ifdef ZARN_FIRST_BYTE_READS
// On Windows a read then ends as soon as bytes are there; under Wine it ends only when its
// buffer is full (docs/serial-link.md). A benchmark build's, never the tool's.
constexpr DWORD kReadInterval = MAXDWORD;
constexpr DWORD kReadMultiplier = MAXDWORD;
#else
constexpr DWORD kReadInterval = 0;
constexpr DWORD kReadMultiplier = 0;
#endif

bool ApplyTimeoutsAndQueues(HANDLE port, const CSerialPort& settings) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadInterval;
  timeouts.ReadTotalTimeoutMultiplier = kReadMultiplier;
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
