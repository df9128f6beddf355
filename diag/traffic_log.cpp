#include "diag/traffic_log.h"

namespace zarn {

// STUB: every switch that enables a log is off in the tool, so no call reaches these yet. The
// traffic-log work replaces them with the file writer (banners, tick prefix, hex dump lines).
TrafficLog::~TrafficLog() = default;
void TrafficLog::Start(const char* /*fileName*/) {}
void TrafficLog::Stop() { logRunning = false; }
void TrafficLog::Print(const char* /*format*/, ...) {}
void TrafficLog::Dump(const std::uint8_t* /*bytes*/, std::uint32_t /*count*/) {}

}  // namespace zarn
