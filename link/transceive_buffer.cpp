#include "link/transceive_buffer.h"

#include <algorithm>
#include <cstring>

namespace zarn {

bool CTransceiveBuffer::PushByte(std::uint8_t byte) {
  if (length + 1 > kCapacity) return false;
  data[length++] = byte;
  return true;
}

bool CTransceiveBuffer::AppendBytes(const std::uint8_t* source, std::uint32_t count) {
  const std::uint32_t room = kCapacity - std::min(length, kCapacity);
  const std::uint32_t copied = std::min(count, room);
  if (copied > 0) std::memcpy(data + length, source, copied);
  length += copied;
  return copied == count;
}

bool CTransceiveBuffer::ReadBytes(std::uint8_t* destination, std::uint32_t& count) const {
  // Asking for more than is held yields what is held: nothing past the data is ever read.
  count = std::min({count, length, kCapacity});
  if (count == 0) return false;
  std::memcpy(destination, data, count);
  return true;
}

}  // namespace zarn
