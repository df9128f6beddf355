#pragma once
// The reason lines on standard error when a link cannot be used: a COM port that does not open
// or does not take its settings, a reader that does not answer on a port that opened, USB mode
// with neither a PC/SC reader nor a driver interface, and a CCID driver that refuses escape
// commands. The console transcript stays as it is.

#include <cstdint>

namespace zarn {

// Opens the run's engine on its COM port with these settings; when that fails, says why.
bool OpenSerialLink(std::uint32_t baudRate, char parity, const char* stopBits);
// Says why OpenSmartCardReader found neither a PC/SC reader nor a driver interface.
void ReportUsbNotOpened();
// After a failed request: when the CCID driver refused the escape, says what allows it; once a
// run.
void ReportEscapeRefusal();
// A request that got no answer at all: nothing the tool could read as an answer frame came back
// within the exchange's wait (garbage and frames for another address count as nothing).
bool IsUnanswered(std::uint32_t result);
// The open loop's attempts, made with these framings ("N/1, O/1, ..."), all went unanswered.
void ReportSilentReaderAtOpen(const char* framings);
// The probes after a restart all went unanswered on the port reopened with this framing.
void ReportSilentReaderAfterRestart(bool intoLoader, char parity, const char* stopBits);
// The port was reopened at the baud rate the reader was just switched to: the next request
// will tell whether the reader followed.
void NoteLinkMoved(std::uint32_t baudRate, bool toUpgradeRate);
// Every request's result: the escape refusal, and a reader that went silent at a move.
void NoteRequestOutcome(std::uint32_t result);
// A new run: the escape refusal may be reported again.
void ResetLinkReasons();

}  // namespace zarn
