#pragma once
// Waiting for the reader to come back after it restarted by itself (into its loader, or into
// its new application), on a serial port or over USB.

#include <cstdint>

namespace zarn {

enum RestartMode : int { AfterPrepare = 0, AfterCheck = 1 };

// 0 when the reader answers again in the expected state; otherwise the last failure's code or
// 31 (still in its application), 32 (still in its loader), 37 (the operator gave up).
std::uint32_t WaitForRestart(RestartMode mode);

}  // namespace zarn
