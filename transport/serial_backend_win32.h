#pragma once
// The Windows half of CSerialPort, shared by its files. Handles are kept as void* (what the
// Win32 HANDLE is) so that this header needs no <windows.h>.

#include <cstdint>

#include "transport/serial_port.h"

namespace zarn {

// Steps of Open after CreateFile: time-outs, event mask, queue sizes, the DCB from the mode
// string with RTS toggling; false when one of them fails.
bool ConfigureLine(void* portHandle, const CSerialPort& port);

// The worker's own state (OVERLAPPED records, their completion events, the receive buffer)
// lives here rather than on its stack: an I/O cancelled at Close must find its buffer and record
// still in place, however late it completes. An opening whose cancelled I/O did not complete
// leaves its state behind and the next opening gets a fresh one, so that a late completion can
// never touch the next opening's records or wake its worker.
struct SerialWorkerState;
void ReleaseWorkerState(SerialWorkerState* state);

// The calls through which the worker starts reads and writes and cancels them: the real ones,
// or a test's, to model a driver that loses a read's completion or completes a write late.
struct SerialIoSeam {
  int(__stdcall* readFile)(void* port, void* buffer, unsigned long length, unsigned long* read,
                           void* overlapped);
  int(__stdcall* writeFile)(void* port, const void* bytes, unsigned long length,
                            unsigned long* written, void* overlapped);
  int(__stdcall* cancelIo)(void* port);
  int(__stdcall* cancelIoEx)(void* port, void* overlapped);
};
SerialIoSeam& SerialIo();

struct SerialPortBackend {
  explicit SerialPortBackend(CSerialPort& owner);
  SerialPortBackend(const SerialPortBackend&) = delete;
  SerialPortBackend& operator=(const SerialPortBackend&) = delete;
  ~SerialPortBackend();

  bool EventsCreated() const;
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
  SerialWorkerState* worker = nullptr;
};

}  // namespace zarn
