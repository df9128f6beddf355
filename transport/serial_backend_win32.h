#pragma once
// The Windows half of CSerialPort, shared by its files. Handles are kept as void* (what the
// Win32 HANDLE is) so that this header needs no <windows.h>.

#include <cstdint>

#include "transport/serial_port.h"

namespace zarn {

// Steps of Open after CreateFile: time-outs, event mask, queue sizes, the DCB from the mode
// string with RTS toggling; false when one of them fails.
bool ConfigureLine(void* portHandle, const CSerialPort& port);
// ReadIntervalTimeout for the port's line: about three character times, at least 1 ms.
std::uint32_t ReadIntervalMs(const CSerialPort& port);

// The worker's own state (OVERLAPPED records, their completion events, the receive buffer)
// lives here rather than on its stack: an I/O cancelled at Close must find its buffer and record
// still in place, however late it completes. An opening whose cancelled I/O did not complete
// leaves its state behind and the next opening gets a fresh one, so that a late completion can
// never touch the next opening's records or wake its worker.
struct SerialWorkerState;
// The state for the next opening: the last one when nothing of it is outstanding, else a fresh
// one; nullptr when none can be made (memory or events short).
SerialWorkerState* StateForOpening(SerialWorkerState* last);
void ReleaseWorkerState(SerialWorkerState* state);

// The calls through which the worker starts reads and writes and cancels them, and through
// which Close closes the port: the real ones, or a test's, to model a driver that loses a read's
// completion, completes a write late or ignores a cancel.
struct SerialIoSeam {
  int(__stdcall* readFile)(void* port, void* buffer, unsigned long length, unsigned long* read,
                           void* overlapped);
  int(__stdcall* writeFile)(void* port, const void* bytes, unsigned long length,
                            unsigned long* written, void* overlapped);
  int(__stdcall* cancelIo)(void* port);
  int(__stdcall* cancelIoEx)(void* port, void* overlapped);
  int(__stdcall* closePort)(void* port);
  // Whether reads land straight in the caller's buffer as they arrive (Wine's serial layer).
  // Then a cancelled read's count is bytes really there, and a read whose completion was lost
  // can be recovered by cancelling it. A Windows driver with buffered I/O (serial.sys, the usual
  // USB adapters) copies a read's bytes back only when it succeeds: a cancelled read holds
  // nothing, whatever count its record shows. Set at start-up from ntdll's wine_get_version.
  bool readsLandInPlace;
};
SerialIoSeam& SerialIo();

struct SerialPortBackend {
  explicit SerialPortBackend(CSerialPort& owner);
  SerialPortBackend(const SerialPortBackend&) = delete;
  SerialPortBackend& operator=(const SerialPortBackend&) = delete;
  ~SerialPortBackend();

  bool EventsCreated() const;
  bool StartWorker();
  void StopWorker();
  // The worker's body (serial_worker_win32.cpp).
  void RunWorker();

  // The port's worker-side operations, for the worker's helpers.
  void Deliver(const std::uint8_t* bytes, std::int32_t count) { port.Deliver(bytes, count); }
  void Report(std::int32_t kind, std::uint32_t value) { port.Report(kind, value); }
  template <typename... Args>
  void LogAt(std::int32_t level, const char* format, Args... args) {
    port.LogAt(level, format, args...);
  }

  CSerialPort& port;
  void* portHandle = nullptr;
  void* workerThread = nullptr;
  void* stopEvent = nullptr;
  void* writeRequestEvent = nullptr;
  // Set by the worker once it has stopped and touches nothing of the port any more; its thread
  // may still be ending (Windows lets a thread end only when the I/O it issued has completed).
  void* workerStopped = nullptr;
  SerialWorkerState* worker = nullptr;
  bool timerRaised = false;
  std::uint32_t setUpError = 0;  // why the constructor's events could not all be made  //
                                 // timeBeginPeriod(1) is in force for this opening
};

}  // namespace zarn
