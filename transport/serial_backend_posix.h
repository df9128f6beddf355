#pragma once
// The POSIX half of CSerialPort, shared by its files: the open device, the two wake-ups the
// worker polls beside it, and the worker thread.

#include <cstdint>
#include <mutex>
#include <thread>

#include "transport/serial_port.h"

namespace zarn {

// A self-pipe that behaves as a manual-reset event for poll(): Set makes the read end readable
// until Reset drains it.
class WakePipe {
 public:
  WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;
  ~WakePipe();

  bool Valid() const { return readEnd_ >= 0 && writeEnd_ >= 0; }
  void Set();
  void Reset();
  int ReadEnd() const { return readEnd_; }

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
};

// Applies raw mode, speed, parity and stop bits (8 data bits, no flow control) and judges the
// result by reading the settings back; false when the device does not hold them.
bool ConfigureLine(int fd, std::uint32_t baudRate, char parity, const char* stopBits);
// Linux's arbitrary-rate interface (termios2, BOTHER); false where there is none.
bool SetCustomBaudRate(int fd, std::uint32_t baudRate);

struct SerialPortBackend {
  explicit SerialPortBackend(CSerialPort& owner) : port(owner) {}

  // The worker's body (serial_worker_posix.cpp).
  void RunWorker();
  // The producer's side of RequestWrite: writes the queued packets itself while the worker
  // holds none, so that a request reaches the line without waking the worker. True when the
  // queue was emptied; otherwise the rest is the worker's (serial_write_through_posix.cpp).
  bool WriteThrough();

  // The port's worker-side operations, for the worker's helpers.
  void Deliver(const std::uint8_t* bytes, std::int32_t count) { port.Deliver(bytes, count); }
  void Report(std::int32_t kind, std::uint32_t value) { port.Report(kind, value); }
  template <typename... Args>
  void LogAt(std::int32_t level, const char* format, Args... args) {
    port.LogAt(level, format, args...);
  }

  CSerialPort& port;
  int fd = -1;
  WakePipe stopEvent;
  WakePipe writeRequestEvent;
  std::thread workerThread;

  // Whoever writes to fd holds writeLock, so that packets reach the line in queue order.
  std::mutex writeLock;
  // Under writeLock: the worker has flushed the line at its start (bytes written before that
  // would be discarded), and it holds a packet the device has not taken whole yet.
  bool workerStarted = false;
  bool workerHoldsPacket = false;
};

}  // namespace zarn
