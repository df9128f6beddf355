#pragma once
// One traffic log file of one interface: start and stop banners, message lines prefixed with
// the millisecond tick, and hex dump lines.

#include <cstdint>

namespace zarn {

class TrafficLog {
 public:
  TrafficLog() = default;
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;
  virtual ~TrafficLog();

  void Start(const char* fileName);
  void Stop();
  void Print(const char* format, ...);
  void Dump(const std::uint8_t* bytes, std::uint32_t count);
  bool IsRunning() const { return logRunning; }

  bool logRunning = false;
};

}  // namespace zarn
