#include "tests/support/fake_reader.h"

#include <algorithm>
#include <cstring>

namespace zarn::test {
namespace {

constexpr std::uint8_t kRefused = 0x85;
constexpr std::size_t kEscapeHeaderLength = 5;
constexpr int kLinkGoneForConnects = 2;  // a restarting reader misses this many connects

Bytes StatusWith(const std::uint8_t* data, std::size_t length) {
  Bytes answer(1 + length, 0x00);
  std::copy(data, data + length, answer.begin() + 1);
  return answer;
}

std::uint32_t LittleEndian(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::uint32_t Crc32(const Bytes& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void FakeReader::ServeThrough(FakePcsc& pcsc) {
  pcsc_ = &pcsc;
  pcsc.answer = [this](const Bytes& request) {
    if (request.size() < kEscapeHeaderLength) return Bytes{};
    return WithStatusWord(Answer(Bytes(request.begin() + kEscapeHeaderLength, request.end())));
  };
}

void FakeReader::Restart(bool intoLoader) {
  inLoader = intoLoader;
  ++restarts;
  if (pcsc_ != nullptr) pcsc_->connectFailuresLeft = kLinkGoneForConnects;
}

bool FakeReader::CheckImage(const Bytes& trailer) const {
  const std::uint32_t body = static_cast<std::uint32_t>(image.size());
  return !failImageCheck && trailer.size() == 8 && LittleEndian(&trailer[0]) == Crc32(image) &&
         LittleEndian(&trailer[4]) == body;
}

Bytes FakeReader::Answer(const Bytes& command) {
  commands.push_back(command);
  if (command.empty()) return {kRefused};
  if (command == Bytes{0x64}) {
    std::uint8_t shown[6];
    std::memcpy(shown, version, 6);
    shown[5] = inLoader ? 0 : version[5];
    return StatusWith(shown, 6);
  }
  if (command == Bytes{0x22}) return StatusWith(serialNumber, 4);
  if (command == Bytes{0x73, 0x11, 0x36}) {
    Bytes answer{0x00, 0xA1, 0xB2};
    for (int i = 0; i < 4; ++i)
      answer.push_back(static_cast<std::uint8_t>(partId >> (8 * i)));
    answer.resize(mcuAnswerLength, 0x00);
    return answer;
  }
  if (command.size() == 10 && command[0] == 0x73 && command[1] == 0x75) {
    Restart(true);
    image.clear();
    return {0x00};
  }
  if (command.size() == 258 && command[0] == 0x73 && command[1] == 0x33) {
    const int block = static_cast<int>(image.size() / 256);
    if (!inLoader || block == refuseBlock) return {kRefused};
    image.insert(image.end(), command.begin() + 2, command.end());
    return {0x00};
  }
  if (command.size() == 10 && command[0] == 0x73 && command[1] == 0x77) {
    imageAccepted = CheckImage(Bytes(command.begin() + 2, command.end()));
    if (imageAccepted) {
      std::memcpy(version, newVersion, 6);
      std::memcpy(serialNumber, serialAfterUpgrade, 4);
    }
    Restart(!imageAccepted);
    return {0x00};
  }
  if (command.size() == 6 && command[0] == 0x73 && command[1] == 0xE7) {
    serialWrites.emplace_back(command.begin() + 2, command.end());
    std::copy(command.begin() + 2, command.end(), serialNumber);
    return {0x00};
  }
  if (command.size() == 3 && command[0] == 0x73 && command[1] == 0xFF) {
    defaultsFlags.push_back(command[2]);
    return {0x00};
  }
  return {kRefused};
}

}  // namespace zarn::test
