#pragma once
// The reader's serial baud rate, set by a divisor byte of its 24 MHz / 16 clock.

#include <cstdint>

namespace zarn {

constexpr std::uint32_t kLowestLinkBaudrate = 5860;      // divisor 255
constexpr std::uint32_t kHighestLinkBaudrate = 1500000;  // divisor 1

// The divisor byte for the rate, or false when the rate cannot be set on the reader (a divisor
// of 0, or one that does not fit the byte, would leave it at a speed the tool cannot reach).
bool LinkBaudDivisor(std::uint32_t baud, std::uint8_t& divisor);

// Sends 0x0F and the divisor straight through the engine; its result, 0x80100017 without an
// engine, or kResultBadLinkBaudrate, before anything is sent, for a rate the reader cannot take.
std::uint32_t SetLinkBaudrate(std::uint32_t baud);

}  // namespace zarn
