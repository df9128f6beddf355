#include "diag/traffic_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"

namespace zarn {
namespace {

constexpr char kStartBanner[] = "%u.%3.3u ---------- Log started %2.2u:%2.2u:%2.2u ----------\r\n";
constexpr char kStopBanner[] = "%u.%3.3u ---------- Log stopped %2.2u:%2.2u:%2.2u ----------\r\n";
constexpr std::size_t kBannerCapacity = 256;
constexpr char kHexDigits[] = "0123456789ABCDEF";
// Sixteen "XX " groups and the line end.
constexpr std::size_t kDumpLineCapacity = TrafficLog::kBytesPerDumpLine * 3 + 2;

struct Tick {
  unsigned seconds;
  unsigned milliseconds;
};

Tick CurrentTick() {
  const std::uint32_t tick = platform::TickMs();
  return {static_cast<unsigned>(tick / 1000), static_cast<unsigned>(tick % 1000)};
}

// Fills line with up to kBytesPerDumpLine "%2.2X " groups and "\r\n"; returns its length.
std::size_t FormatDumpLine(const std::uint8_t* bytes, std::uint32_t count, char* line) {
  std::size_t length = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    line[length++] = kHexDigits[bytes[i] >> 4];
    line[length++] = kHexDigits[bytes[i] & 0x0F];
    line[length++] = ' ';
  }
  line[length++] = '\r';
  line[length++] = '\n';
  return length;
}

}  // namespace

TrafficLog::~TrafficLog() = default;

void TrafficLog::Start(const char* fileName) {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked();
  // Without a file the traffic goes on unlogged; the log stays not running.
  if (!file_.Create(fileName)) return;
  WriteBanner(kStartBanner);
  logRunning = true;
}

void TrafficLog::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked();
}

void TrafficLog::StopLocked() {
  if (!logRunning) return;
  WriteBanner(kStopBanner);
  file_.Close();
  logRunning = false;
}

void TrafficLog::WriteBanner(const char* format) {
  const Tick tick = CurrentTick();
  const platform::TimeOfDay time = platform::LocalTimeOfDay();
  char banner[kBannerCapacity] = {};
  std::snprintf(banner, sizeof banner, format, tick.seconds, tick.milliseconds, time.hour,
                time.minute, time.second);
  banner[sizeof banner - 1] = '\0';
  file_.Write(banner, std::strlen(banner));
}

void TrafficLog::Print(const char* format, ...) {
  if (format == nullptr) return;
  const Tick tick = CurrentTick();
  // Zeroed, and the length taken from the text rather than from vsnprintf's result, so that a
  // runtime library that reports a cut line as an error still yields a terminated line.
  char line[kMaxLineLength + 1] = {};
  std::snprintf(line, sizeof line, "%u.%3.3u  ", tick.seconds, tick.milliseconds);
  const std::size_t prefixLength = std::strlen(line);
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + prefixLength, sizeof line - prefixLength, format, args);
  va_end(args);
  line[kMaxLineLength] = '\0';
  WriteLine(line, std::strlen(line));
}

void TrafficLog::Dump(const std::uint8_t* bytes, std::uint32_t count) {
  if (bytes == nullptr) count = 0;
  char line[kDumpLineCapacity];
  std::uint32_t done = 0;
  do {
    const std::uint32_t chunk = count - done < kBytesPerDumpLine ? count - done : kBytesPerDumpLine;
    WriteLine(line, FormatDumpLine(bytes + done, chunk, line));
    done += chunk;
  } while (done < count);
}

void TrafficLog::WriteLine(const char* text, std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!logRunning) return;
  // A line that cannot be written is dropped; the exchange never hears of it.
  file_.Write(text, length);
}

}  // namespace zarn
