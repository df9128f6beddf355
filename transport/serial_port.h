#pragma once
// A COM port whose I/O is done by one worker thread per opening: it writes queued packets in
// order and hands received bytes to a callback; link conditions arrive through another.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "diag/traffic_log.h"

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
  void Drain();

 private:
  std::mutex lock_;
  bool enabled_ = true;
  std::deque<SERIAL_WRITE_PACKET*> packets_;
};

struct SerialPortBackend;  // the OS handle, events and worker of one platform

class CSerialPort {
 public:
  CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;
  virtual ~CSerialPort();

  bool Open(std::int32_t portIndex, std::int32_t baudRate, char parity, const char* stopBits);
  bool Close();
  bool IsOpen() const { return isOpen.load(); }
  // The producer's signal after it has appended one or more packets.
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

 private:
  std::unique_ptr<SerialPortBackend> backend_;
};

}  // namespace zarn
