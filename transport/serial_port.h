#pragma once
// A COM port with one worker thread per opening: queued packets go out in order and received
// bytes reach a callback; link conditions arrive through another. On POSIX the producer writes
// the queue itself while the worker has nothing pending, saving a thread wake-up per request.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "diag/traffic_log.h"
#include "transport/link_failure.h"

namespace zarn {

enum SerialStatusKind : std::int32_t { SERN_EVENT = 0, SERN_READ = 1, SERN_WRITE = 2 };

using SerialStatusCallback = void (*)(std::int32_t portIndex, std::int32_t kind,
                                      std::uint32_t value, void* context);
using SerialDataCallback = void (*)(std::int32_t portIndex, const std::uint8_t* bytes,
                                    std::int32_t count, void* context);

// A length followed by that many bytes, in one heap block.
struct SERIAL_WRITE_PACKET {
  std::uint32_t length;
  std::uint8_t* Data() { return reinterpret_cast<std::uint8_t*>(this + 1); }
  const std::uint8_t* Data() const { return reinterpret_cast<const std::uint8_t*>(this + 1); }
};

// nullptr when memory is short.
SERIAL_WRITE_PACKET* AllocateWritePacket(const std::uint8_t* bytes, std::uint32_t length);
void ReleaseWritePacket(SERIAL_WRITE_PACKET* packet);

// FIFO of owned packets; one lock guards the FIFO and the enabled flag.
class SerialWriteQueue {
 public:
  SerialWriteQueue() = default;
  SerialWriteQueue(const SerialWriteQueue&) = delete;
  SerialWriteQueue& operator=(const SerialWriteQueue&) = delete;
  ~SerialWriteQueue();

  void SetEnabled(bool enabled);
  // Takes ownership only when it returns true.
  bool Append(SERIAL_WRITE_PACKET* packet);
  SERIAL_WRITE_PACKET* TakeFirst();
  // Returns a packet taken with TakeFirst to the front; ownership as for Append.
  bool PutBack(SERIAL_WRITE_PACKET* packet);
  void Drain();

 private:
  std::mutex lock_;
  bool enabled_ = true;
  std::deque<SERIAL_WRITE_PACKET*> packets_;
};

// Event mask bits the port watches (the Win32 values, used on every platform).
constexpr std::uint32_t kSerialEventBreak = 0x40;
constexpr std::uint32_t kSerialEventError = 0x80;

struct SerialPortBackend;  // the OS handle, wake-ups and worker of one platform

class CSerialPort {
 public:
  static constexpr std::uint32_t kReceiveBufferSize = 1024;

  CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;
  virtual ~CSerialPort();

  // Opens COM(portIndex + 1) with 8 data bits; false when it is open already or cannot be
  // opened with these settings (lastFailure then tells why).
  bool Open(std::int32_t portIndex, std::int32_t baudRate, char parity, const char* stopBits);
  // Ends the worker (no callback runs after this returns); false when the port was not open.
  bool Close();
  bool IsOpen() const { return isOpen.load(); }
  // The producer's signal after it has appended one or more packets; on POSIX it may write
  // them on the caller's thread (never blocking), leaving the rest to the worker.
  void RequestWrite();

  std::int32_t logLevel = 0;
  std::int32_t portIndex = -1;
  std::int32_t baudRate = 9600;
  char parity = 'N';
  std::uint8_t dataBits = 8;
  char stopBits[10] = "1";
  std::uint32_t eventMask = 0;
  std::int32_t maxPacketSize = 1024;
  std::uint32_t inQueueSize = 32768;
  std::uint32_t outQueueSize = 2048;
  std::uint32_t readTotalTimeout = 10;
  std::uint32_t writeTotalTimeout = 0xFFFFFFFF;
  std::atomic<bool> isOpen{false};
  SerialStatusCallback statusCallback = nullptr;
  SerialDataCallback dataCallback = nullptr;
  void* callbackContext = nullptr;
  TrafficLog trafficLog;
  SerialWriteQueue writeQueue;
  std::uint32_t lastRxTick = 0;
  // Why the last Open returned false; step kNone after a successful one.
  LinkFailure lastFailure;

 private:
  friend struct SerialPortBackend;

  // Open's steps before and after the platform's device set-up.
  void PrepareOpen(std::int32_t index, std::int32_t baud, char parityLetter,
                   const char* stopBitsText);
  void FinishOpen();
  void FinishClose();

  // The worker's side: callbacks and log lines, all on the worker thread.
  void Deliver(const std::uint8_t* bytes, std::int32_t count);
  void Report(std::int32_t kind, std::uint32_t value);
  template <typename... Args>
  void LogAt(std::int32_t level, const char* format, Args... args) {
    if (workerLogLevel_ >= level) trafficLog.Print(format, args...);
  }

  // logLevel as it was when the port opened: the worker reads only this copy, so that the
  // owner may change logLevel while a worker runs.
  std::int32_t workerLogLevel_ = 0;
  std::unique_ptr<SerialPortBackend> backend_;
};

}  // namespace zarn
