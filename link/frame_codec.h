#pragma once
// The serial frame: 0xFD, address, sequence, payload, CRC-16/X-25 (low byte first), 0xFE, with
// the three reserved byte values escaped inside. The state both halves work on belongs to the
// transfer engine (CTransfer::PutEscaped, BuildRequestFrame, ParseByte).

#include <cstdint>

namespace zarn {

constexpr std::uint8_t FRAME_START = 0xFD;
constexpr std::uint8_t FRAME_END = 0xFE;
constexpr std::uint8_t FRAME_ESCAPE = 0xFF;
// Bytes above this are sent as FRAME_ESCAPE and their complement.
constexpr std::uint8_t FRAME_LAST_PLAIN = 0xFC;

constexpr std::uint16_t kCrcPreset = 0xFFFF;
// The register after a good frame's check bytes have been folded in, complemented.
constexpr std::uint16_t kCrcGoodFrame = 0x0F47;

// One result of ParseByte per byte fed; everything above FRAME_CONTINUE is an error.
enum FrameResult : std::uint8_t {
  FRAME_COMPLETE = 0,
  FRAME_CONTINUE = 1,
  FRAME_BAD_CHECK = 2,
  FRAME_BAD_END = 3,
  FRAME_NO_START = 4,
  FRAME_BAD_ESCAPE = 5,
  FRAME_OVERFLOW = 6,
  FRAME_WRONG_ADDRESS = 7,
  FRAME_WRONG_SEQUENCE = 8,
};

// Folds one byte into a CRC-16/X-25 register (reflected polynomial 0x8408).
std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte);

}  // namespace zarn
