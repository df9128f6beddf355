#include <new>

#include "transport/serial_port.h"

namespace zarn {

SERIAL_WRITE_PACKET* AllocateWritePacket(const std::uint8_t* bytes, std::uint32_t length) {
  void* block = ::operator new(sizeof(SERIAL_WRITE_PACKET) + length, std::nothrow);
  if (block == nullptr) return nullptr;
  auto* packet = new (block) SERIAL_WRITE_PACKET{length};
  for (std::uint32_t i = 0; i < length; ++i)
    packet->Data()[i] = bytes[i];
  return packet;
}

void ReleaseWritePacket(SERIAL_WRITE_PACKET* packet) {
  ::operator delete(packet);
}

SerialWriteQueue::~SerialWriteQueue() {
  Drain();
}

void SerialWriteQueue::SetEnabled(bool enabled) {
  std::lock_guard guard(lock_);
  enabled_ = enabled;
}

bool SerialWriteQueue::Append(SERIAL_WRITE_PACKET* packet) {
  if (packet == nullptr) return false;
  std::lock_guard guard(lock_);
  if (!enabled_) return false;
  packets_.push_back(packet);
  return true;
}

bool SerialWriteQueue::PutBack(SERIAL_WRITE_PACKET* packet) {
  if (packet == nullptr) return false;
  std::lock_guard guard(lock_);
  if (!enabled_) return false;
  packets_.push_front(packet);
  return true;
}

SERIAL_WRITE_PACKET* SerialWriteQueue::TakeFirst() {
  std::lock_guard guard(lock_);
  if (packets_.empty()) return nullptr;
  SERIAL_WRITE_PACKET* first = packets_.front();
  packets_.pop_front();
  return first;
}

// Packets are released outside the lock.
void SerialWriteQueue::Drain() {
  while (SERIAL_WRITE_PACKET* packet = TakeFirst())
    ReleaseWritePacket(packet);
}

}  // namespace zarn
