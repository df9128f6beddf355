// Writing on the producer's thread: a request written here needs no hand-over to the worker and
// no wake-up of it, which on an idle machine costs more than the write itself.

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/serial_backend_posix.h"

namespace zarn {
namespace {

// Bytes of the packet the device took; 0 when it took none or failed.
std::uint32_t WriteSome(int fd, const SERIAL_WRITE_PACKET& packet) {
  ssize_t written;
  do {
    written = ::write(fd, packet.Data(), packet.length);
  } while (written < 0 && errno == EINTR);
  return written > 0 ? static_cast<std::uint32_t>(written) : 0;
}

}  // namespace

bool SerialPortBackend::WriteThrough() {
  std::lock_guard lock(writeLock);
  if (!workerStarted || workerHoldsPacket || fd < 0) return false;
  while (SERIAL_WRITE_PACKET* packet = port.writeQueue.TakeFirst()) {
    const std::uint32_t written = WriteSome(fd, *packet);
    if (written == packet->length) {
      ReleaseWritePacket(packet);
      continue;
    }
    // A full line or a failure: the worker goes on with the rest in order (it waits for room,
    // or writes again and reports the failure as it would have without this path).
    packet->length -= written;
    std::memmove(packet->Data(), packet->Data() + written, packet->length);
    if (!port.writeQueue.PutBack(packet)) ReleaseWritePacket(packet);
    return false;
  }
  return true;
}

}  // namespace zarn
