#pragma once
// COMx [Operational_Baudrate [Address [Upgrade_Baudrate [Char_Timeout]]]], or nothing for USB.

#include <cstdint>

#include "app/upgrade_session.h"

namespace zarn {

// Reads the arguments after the program name into the session, printing the message of each
// argument it refuses; 0 or the result of the last refusal.
std::uint32_t ParseCommandLine(int argc, const char* const* argv, UpgradeSession& target);

}  // namespace zarn
