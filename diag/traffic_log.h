#pragma once
// One traffic log file of one interface: start and stop banners, message lines prefixed with
// the millisecond tick, and hex dump lines.
//
// The log is a bystander of the traffic: a file that cannot be created or written never fails
// or holds up an exchange, it only leaves the log silent (a failed Start leaves the log not
// running; a failed write drops that line). Print and Dump on a log that is not running write
// nothing, and Stop on it writes no banner. Each line goes to the file whole, under a lock, so
// lines from the serial worker and the caller's thread never tear one another.

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/log_file.h"

// Lets the compiler check each call's arguments against its format.
#if defined(__MINGW32__)
#define ZARN_PRINTF_LIKE(formatIndex, firstArgument) \
  __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#elif defined(__GNUC__)
#define ZARN_PRINTF_LIKE(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define ZARN_PRINTF_LIKE(formatIndex, firstArgument)
#endif

namespace zarn {

class TrafficLog {
 public:
  // An expanded message line, prefix included, is cut to this many characters.
  static constexpr std::size_t kMaxLineLength = 1023;
  static constexpr std::uint32_t kBytesPerDumpLine = 16;

  TrafficLog() = default;
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;
  virtual ~TrafficLog();

  // Creates (or truncates) the file and writes the start banner. A log that is still running
  // is stopped first, so that its file is closed with its banner.
  void Start(const char* fileName);
  void Stop();
  // "this" counts as the first argument.
  void Print(const char* format, ...) ZARN_PRINTF_LIKE(2, 3);
  void Dump(const std::uint8_t* bytes, std::uint32_t count);
  bool IsRunning() const { return logRunning; }

  // Written only by Start and Stop, under the lock; read it (or IsRunning) only on the thread
  // that starts and stops the log. Print and Dump look at it under the lock.
  bool logRunning = false;

 private:
  void StopLocked();
  void WriteBanner(const char* format);
  void WriteLine(const char* text, std::size_t length);

  std::mutex mutex_;
  platform::LogFile file_;
};

}  // namespace zarn
