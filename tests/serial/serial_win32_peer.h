#pragma once
// For the Windows serial port's tests under Wine: the echo peer that wine_serial_check.py keeps
// on the far end of the port's pty, and a receiver of the port's callbacks.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "transport/serial_port.h"

namespace zarn::test {

using Bytes = std::vector<std::uint8_t>;

class EchoPeer {
 public:
  EchoPeer();
  bool Present() const { return portIndex_ >= 0; }
  std::int32_t PortIndex() const { return portIndex_; }
  // Asks the peer to "pause", "resume" or "hangup"; true once it has done so.
  bool Command(const char* what) const;

 private:
  std::int32_t portIndex_ = -1;
  std::string control_;
};

// Collects what the port delivers; every method may be called while the worker runs.
class Receiver {
 public:
  void Attach(CSerialPort& port);
  void Clear();
  // What has arrived once count bytes are there, or after five seconds.
  Bytes WaitFor(std::size_t count);
  // What has arrived once it ends with tail, or after five seconds.
  Bytes WaitForEnding(const Bytes& tail);
  bool WaitForStatus(std::int32_t kind);
  std::size_t Calls();
  std::size_t StatusReports();

 private:
  static void OnData(std::int32_t, const std::uint8_t* bytes, std::int32_t count, void* self);
  static void OnStatus(std::int32_t, std::int32_t kind, std::uint32_t value, void* self);
  template <typename Done>
  Bytes WaitUntil(Done done);

  std::mutex lock_;
  std::condition_variable changed_;
  Bytes bytes_;
  std::vector<std::int32_t> statusKinds_;
  std::size_t calls_ = 0;
};

// Appends packets of the given sizes with distinct bytes and returns all their bytes in order.
Bytes QueuePackets(CSerialPort& port, const std::vector<std::uint32_t>& sizes);

}  // namespace zarn::test
