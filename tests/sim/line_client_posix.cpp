#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "tests/sim/line_client.h"

namespace zarn::sim::test {
namespace {

speed_t SpeedOf(unsigned baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

void PutEscaped(std::vector<std::uint8_t>& frame, std::uint8_t byte) {
  if (byte >= 0xFD) {
    frame.push_back(0xFF);
    frame.push_back(static_cast<std::uint8_t>(~byte));
  } else {
    frame.push_back(byte);
  }
}

// The unescaped bytes between FD and FE, or nothing for a malformed frame.
std::optional<AnswerFrame> Decode(const std::vector<std::uint8_t>& raw) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
    if (raw[i] == 0xFF && i + 2 < raw.size()) {
      bytes.push_back(static_cast<std::uint8_t>(~raw[++i]));
    } else {
      bytes.push_back(raw[i]);
    }
  }
  if (bytes.size() < 6) return std::nullopt;
  AnswerFrame answer;
  answer.address = bytes[0];
  answer.sequence = bytes[1];
  const std::vector<std::uint8_t> covered(bytes.begin(), bytes.end() - 2);
  const std::uint16_t check = FrameCheck(covered);
  answer.checkGood = bytes[bytes.size() - 2] == (check & 0xFF) && bytes.back() == (check >> 8);
  answer.statusAndData.assign(bytes.begin() + 3, bytes.end() - 2);  // after the spare byte
  return answer;
}

}  // namespace

std::uint16_t FrameCheck(const std::vector<std::uint8_t>& bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408)
                           : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return static_cast<std::uint16_t>(~crc);
}

std::vector<std::uint8_t> EncodeRequest(std::uint8_t address, std::uint8_t sequence,
                                        const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> body{address, sequence};
  body.insert(body.end(), payload.begin(), payload.end());
  const std::uint16_t check = FrameCheck(body);
  body.push_back(static_cast<std::uint8_t>(check & 0xFF));
  body.push_back(static_cast<std::uint8_t>(check >> 8));
  std::vector<std::uint8_t> frame{0xFD};
  for (std::uint8_t byte : body)
    PutEscaped(frame, byte);
  frame.push_back(0xFE);
  return frame;
}

bool LineClient::Open(const std::string& path, const LineSettings& settings) {
  Close();
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return false;
  termios line{};
  tcgetattr(fd_, &line);
  cfmakeraw(&line);
  line.c_cflag &= ~(PARENB | PARODD | CSTOPB);  // the pty keeps what the last user set
  line.c_cflag |= CLOCAL | CREAD;
  if (settings.oddParity) line.c_cflag |= PARENB | PARODD;
  if (settings.twoStopBits) line.c_cflag |= CSTOPB;
  cfsetspeed(&line, SpeedOf(settings.baud));
  // A pty may answer EINVAL while it applies the settings all the same (it drops PARENB).
  tcsetattr(fd_, TCSANOW, &line);
  tcflush(fd_, TCIOFLUSH);
  return true;
}

void LineClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::optional<AnswerFrame> LineClient::Exchange(const std::vector<std::uint8_t>& payload,
                                                int timeoutMs, std::uint8_t address) {
  ++sequence_;
  const std::vector<std::uint8_t> frame = EncodeRequest(address, sequence_, payload);
  lastWireLength_ = frame.size();
  std::size_t written = 0;
  while (written < frame.size()) {
    const ssize_t count = write(fd_, frame.data() + written, frame.size() - written);
    if (count < 0) return std::nullopt;
    written += static_cast<std::size_t>(count);
  }
  return ReadAnswer(timeoutMs);
}

std::optional<AnswerFrame> LineClient::ReadAnswer(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<std::uint8_t> raw;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, 10) <= 0) continue;
    std::uint8_t byte = 0;
    while (read(fd_, &byte, 1) == 1) {
      if (byte == 0xFD) raw.clear();
      if (byte == 0xFD || !raw.empty()) raw.push_back(byte);
      if (byte == 0xFE && !raw.empty()) return Decode(raw);
    }
  }
  return std::nullopt;
}

}  // namespace zarn::sim::test
