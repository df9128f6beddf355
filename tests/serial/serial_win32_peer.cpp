// The echo peer's control files and the callback receiver (serial_win32_peer.h).

#include "tests/serial/serial_win32_peer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace zarn::test {
namespace {

constexpr auto kWaitLimit = std::chrono::seconds(5);

bool FileExists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace

EchoPeer::EchoPeer() {
  const char* com = std::getenv("ZARN_WINE_TEST_COM");
  const char* control = std::getenv("ZARN_WINE_PEER_CONTROL");
  if (com == nullptr || control == nullptr) return;
  portIndex_ = std::atoi(com) - 1;
  control_ = control;
}

// The peer acts on a file named after the command in its folder and deletes it when done.
bool EchoPeer::Command(const char* what) const {
  const std::string path = control_ + "\\" + what;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::fclose(file);
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (FileExists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Receiver::Attach(CSerialPort& port) {
  port.dataCallback = &Receiver::OnData;
  port.statusCallback = &Receiver::OnStatus;
  port.callbackContext = this;
}

void Receiver::Clear() {
  std::lock_guard guard(lock_);
  bytes_.clear();
  statusKinds_.clear();
}

template <typename Done>
Bytes Receiver::WaitUntil(Done done) {
  std::unique_lock guard(lock_);
  changed_.wait_for(guard, kWaitLimit, [&] { return done(); });
  return bytes_;
}

Bytes Receiver::WaitFor(std::size_t count) {
  return WaitUntil([&] { return bytes_.size() >= count; });
}

Bytes Receiver::WaitForEnding(const Bytes& tail) {
  return WaitUntil([&] {
    return bytes_.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), bytes_.rbegin());
  });
}

bool Receiver::WaitForStatus(std::int32_t kind) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, kWaitLimit, [&] {
    return std::find(statusKinds_.begin(), statusKinds_.end(), kind) != statusKinds_.end();
  });
}

std::size_t Receiver::Calls() {
  std::lock_guard guard(lock_);
  return calls_;
}

std::size_t Receiver::StatusReports() {
  std::lock_guard guard(lock_);
  return statusKinds_.size();
}

void Receiver::OnData(std::int32_t, const std::uint8_t* bytes, std::int32_t count, void* self) {
  auto& receiver = *static_cast<Receiver*>(self);
  std::lock_guard guard(receiver.lock_);
  receiver.bytes_.insert(receiver.bytes_.end(), bytes, bytes + count);
  ++receiver.calls_;
  receiver.changed_.notify_all();
}

void Receiver::OnStatus(std::int32_t, std::int32_t kind, std::uint32_t, void* self) {
  auto& receiver = *static_cast<Receiver*>(self);
  std::lock_guard guard(receiver.lock_);
  receiver.statusKinds_.push_back(kind);
  ++receiver.calls_;
  receiver.changed_.notify_all();
}

Bytes QueuePackets(CSerialPort& port, const std::vector<std::uint32_t>& sizes) {
  Bytes all;
  std::uint8_t next = 1;
  for (std::uint32_t size : sizes) {
    Bytes packet(size);
    for (auto& byte : packet)
      byte = next++;
    SERIAL_WRITE_PACKET* queued = AllocateWritePacket(packet.data(), size);
    if (queued == nullptr || !port.writeQueue.Append(queued)) {
      ReleaseWritePacket(queued);
      break;
    }
    all.insert(all.end(), packet.begin(), packet.end());
  }
  return all;
}

}  // namespace zarn::test
