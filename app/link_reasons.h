#pragma once
// The reason lines on standard error when a link cannot be used: a COM port that does not open
// or does not take its settings, USB mode with neither a PC/SC reader nor a driver interface,
// and a CCID driver that refuses escape commands. The console transcript stays as it is.

#include <cstdint>

namespace zarn {

// Opens the run's engine on its COM port with these settings; when that fails, says why.
bool OpenSerialLink(std::uint32_t baudRate, char parity, const char* stopBits);
// Says why OpenSmartCardReader found neither a PC/SC reader nor a driver interface.
void ReportUsbNotOpened();
// After a failed request: when the CCID driver refused the escape, says what allows it; once a
// run.
void ReportEscapeRefusal();
// A new run: the escape refusal may be reported again.
void ResetLinkReasons();

}  // namespace zarn
