#pragma once
// The Windows half of CSerialPort, shared by its files. Handles are kept as void* (what the
// Win32 HANDLE is) so that this header needs no <windows.h>.

#include <cstdint>

#include "transport/serial_port.h"

namespace zarn {

// Steps of Open after CreateFile: time-outs, event mask, queue sizes, the DCB from the mode
// string with RTS toggling; false when one of them fails.
bool ConfigureLine(void* portHandle, const CSerialPort& port);

// The worker's own state lives here rather than on its stack: an I/O cancelled at Close must
// find its buffer and OVERLAPPED record still in place, however late it completes.
struct SerialWorkerState;
void ReleaseWorkerState(SerialWorkerState* state);

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
  void* commEventDone = nullptr;
  void* readDone = nullptr;
  void* writeDone = nullptr;
  SerialWorkerState* worker = nullptr;
};

}  // namespace zarn
