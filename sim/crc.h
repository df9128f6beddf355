#pragma once
// The simulator's own checksums, written apart from the tool's so that a misreading of the frame
// check or of the image trailer on one side is caught by the other.

#include <cstdint>
#include <span>

namespace zarn::sim {

// CRC-16/X-25 (reflected 0x8408, preset 0xFFFF): the running register, not yet complemented.
std::uint16_t Crc16X25Update(std::uint16_t crc, std::uint8_t byte);
// The finished check of a byte run (complemented), as a frame carries it.
std::uint16_t Crc16X25(std::span<const std::uint8_t> bytes);
// What the register holds after a good run has been folded in together with its own check.
constexpr std::uint16_t kCrc16X25Residue = 0xF0B8;

// CRC-32 as zlib computes it (reflected 0xEDB88320); pass the previous result to continue a run.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t previous = 0);

}  // namespace zarn::sim
