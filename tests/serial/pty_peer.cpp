#include "tests/serial/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "link/frame_codec.h"
#include "tests/support/environment.h"

namespace zarn::test {
namespace {

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::uint16_t FrameCheck(const Bytes& bytes, std::size_t begin, std::size_t end) {
  std::uint16_t crc = kCrcPreset;
  for (std::size_t i = begin; i < end; ++i)
    crc = Crc16Update(crc, bytes[i]);
  return static_cast<std::uint16_t>(~crc);
}

}  // namespace

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
  slavePath_ = ptsname(master_);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // The master passes bytes through unchanged, whatever the slave's settings.
  termios raw{};
  tcgetattr(master_, &raw);
  cfmakeraw(&raw);
  tcsetattr(master_, TCSANOW, &raw);
}

Pty::~Pty() {
  CloseMaster();
}

void Pty::MapAsCom(int portNumber) const {
  const std::string name = "ZARN_COM" + std::to_string(portNumber);
  SetEnvironment(name.c_str(), slavePath_.c_str());
}

termios Pty::SlaveSettings() const {
  termios settings{};
  tcgetattr(master_, &settings);
  return settings;
}

void Pty::Write(const Bytes& bytes) const {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd wait{master_, POLLOUT, 0};
      poll(&wait, 1, 10);
    }
  }
}

Bytes Pty::ReadUntilQuiet(int quietMs, int maxMs) const {
  Bytes bytes;
  const auto start = Clock::now();
  while (MsSince(start) < maxMs) {
    pollfd wait{master_, POLLIN, 0};
    if (poll(&wait, 1, quietMs) <= 0) break;
    std::uint8_t chunk[4096];
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

Bytes Pty::ReadExactly(std::size_t count, int maxMs) const {
  Bytes bytes;
  const auto start = Clock::now();
  while (bytes.size() < count && MsSince(start) < maxMs) {
    pollfd wait{master_, POLLIN, 0};
    if (poll(&wait, 1, 10) <= 0) continue;
    std::uint8_t chunk[4096];
    const std::size_t wanted = std::min(sizeof chunk, count - bytes.size());
    const ssize_t n = ::read(master_, chunk, wanted);
    if (n > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

void Pty::CloseMaster() {
  const int master = master_.exchange(-1);
  if (master >= 0) ::close(master);
}

void AppendEscaped(Bytes& frame, std::uint8_t byte) {
  if (byte > FRAME_LAST_PLAIN) {
    frame.push_back(FRAME_ESCAPE);
    frame.push_back(static_cast<std::uint8_t>(~byte));
  } else {
    frame.push_back(byte);
  }
}

Bytes AnswerFrame(std::uint8_t address, std::uint8_t sequence, const Bytes& statusAndData) {
  Bytes plain{address, sequence, 0x00};
  plain.insert(plain.end(), statusAndData.begin(), statusAndData.end());
  const std::uint16_t check = FrameCheck(plain, 0, plain.size());
  plain.push_back(static_cast<std::uint8_t>(check & 0xFF));
  plain.push_back(static_cast<std::uint8_t>(check >> 8));
  Bytes frame{FRAME_START};
  for (const std::uint8_t byte : plain)
    AppendEscaped(frame, byte);
  frame.push_back(FRAME_END);
  return frame;
}

FramePeer::FramePeer(Pty& pty, Handler handler)
    : pty_(pty), handler_(std::move(handler)), thread_([this] { Run(); }) {}

FramePeer::~FramePeer() {
  stop_ = true;
  thread_.join();
}

std::vector<RequestFrame> FramePeer::Requests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

bool FramePeer::WaitForRequests(std::size_t count, int maxMs) const {
  const auto start = Clock::now();
  while (MsSince(start) < maxMs) {
    {
      std::lock_guard guard(lock_);
      if (requests_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

void FramePeer::Run() {
  while (!stop_) {
    pollfd wait{pty_.Master(), POLLIN, 0};
    if (wait.fd < 0 || poll(&wait, 1, 10) <= 0) continue;
    std::uint8_t chunk[4096];
    const ssize_t n = ::read(pty_.Master(), chunk, sizeof chunk);
    if (n <= 0) {
      // No slave open at the moment (the tool closed the port between attempts).
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    for (ssize_t i = 0; i < n; ++i)
      Take(chunk[i]);
  }
}

void FramePeer::Take(std::uint8_t byte) {
  if (byte == FRAME_START) {
    current_.clear();
    inFrame_ = true;
    escape_ = false;
    return;
  }
  if (!inFrame_) return;
  if (byte == FRAME_ESCAPE) {
    escape_ = true;
    return;
  }
  if (byte != FRAME_END) {
    current_.push_back(escape_ ? static_cast<std::uint8_t>(~byte) : byte);
    escape_ = false;
    return;
  }
  inFrame_ = false;
  if (current_.size() < 4) return;
  RequestFrame request;
  request.address = current_[0];
  request.sequence = current_[1];
  request.payload.assign(current_.begin() + 2, current_.end() - 2);
  const std::uint16_t check = FrameCheck(current_, 0, current_.size() - 2);
  request.checkGood = current_[current_.size() - 2] == (check & 0xFF) &&
                      current_[current_.size() - 1] == (check >> 8);
  {
    std::lock_guard guard(lock_);
    requests_.push_back(request);
  }
  handler_(request, pty_);
}

}  // namespace zarn::test
