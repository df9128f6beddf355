#pragma once

#include <cstdint>

namespace zarn {

// The upgrade procedure: from the microcontroller's name to the success line; 0 or a result.
std::uint32_t RunUpgrade();

}  // namespace zarn
