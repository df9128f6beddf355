#pragma once
// A fixed 1024-byte store with a fill count: the transfer engine's request and answer.

#include <cstdint>

namespace zarn {

class CTransceiveBuffer {
 public:
  static constexpr std::uint32_t kCapacity = 1024;

  CTransceiveBuffer() = default;
  virtual ~CTransceiveBuffer() = default;

  // False, and nothing changes, when the buffer is full.
  bool PushByte(std::uint8_t byte);
  // Copies as many bytes as fit; false when the copy was clipped.
  bool AppendBytes(const std::uint8_t* source, std::uint32_t count);
  // Copies count bytes from the start (never more than the buffer holds); false for count 0.
  bool ReadBytes(std::uint8_t* destination, std::uint32_t& count) const;

  std::uint32_t length = 0;
  std::uint8_t data[kCapacity] = {};
};

}  // namespace zarn
