#pragma once

#include <cstdint>

namespace zarn {

// Streams the session's image body in 256-byte blocks under the progress ruler; 0, or 41 when
// fewer bytes than the body holds were acknowledged.
std::uint32_t TransferImageBody();

}  // namespace zarn
