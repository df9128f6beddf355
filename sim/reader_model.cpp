#include "sim/reader_model.h"

#include <algorithm>
#include <cstdio>

#include "sim/crc.h"

namespace zarn::sim {
namespace {

constexpr std::size_t kBlockSize = 256;
// Room for the largest image the tool carries, with plenty to spare.
constexpr std::size_t kMaxBodyLength = 1024 * 1024;
constexpr std::uint8_t kLoaderRunModeByte = 0;

Answer StatusOnly(std::uint8_t status) {
  return Answer{{status}, AfterAnswer::kNothing, 0};
}

void PutLittleEndian(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

std::uint32_t ReadLittleEndian(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  return value;
}

}  // namespace

bool LineRule::AcceptsSpeed(std::uint32_t rate) const {
  if (!divisor) return rate == baud;
  return rate != 0 && ((24000000u / (16u * rate)) & 0xFF) == *divisor;
}

bool LineRule::Accepts(std::uint32_t rate, bool oddParity, bool twoStopBits) const {
  return AcceptsSpeed(rate) && oddParity == (parity == 'O') && twoStopBits == (stopBits == 2);
}

std::string LineRule::Describe() const {
  char text[48];
  if (divisor) {
    std::snprintf(text, sizeof text, "divisor %u %c/%u", static_cast<unsigned>(*divisor), parity,
                  static_cast<unsigned>(stopBits));
  } else {
    std::snprintf(text, sizeof text, "%u %c/%u", static_cast<unsigned>(baud), parity,
                  static_cast<unsigned>(stopBits));
  }
  return text;
}

ReaderModel::ReaderModel(const ReaderIdentity& identity, const ReaderBehaviour& behaviour,
                         const LineConfig& line, Transcript& transcript)
    : identity_(identity),
      behaviour_(behaviour),
      lineConfig_(line),
      transcript_(transcript),
      serialNumber_(identity.serialNumber),
      version_(identity.version) {
  EnterMode(behaviour.startInLoader ? RunMode::kLoader : RunMode::kApplication);
}

void ReaderModel::EnterMode(RunMode mode) {
  mode_ = mode;
  body_.clear();
  blocksReceived_ = 0;
  line_ = LineRule{};
  line_.baud = lineConfig_.operationalBaud;
  // The application keeps its configured framing; the loader always starts at N/1.
  line_.parity = mode == RunMode::kApplication ? lineConfig_.parity : 'N';
  line_.stopBits = mode == RunMode::kApplication ? lineConfig_.stopBits : 1;
}

void ReaderModel::ChangeSpeed(std::uint8_t divisor) {
  line_.divisor = divisor;
}

void ReaderModel::CompleteRestart(RunMode mode) {
  if (mode == RunMode::kApplication && upgradePending_) {
    if (identity_.newVersion) {
      version_ = *identity_.newVersion;
    } else {
      ++version_[0];
    }
    if (identity_.serialAfterUpgrade) serialNumber_ = *identity_.serialAfterUpgrade;
    upgradePending_ = false;
  }
  EnterMode(mode);
}

Answer ReaderModel::Version(std::span<const std::uint8_t>) {
  Answer answer = StatusOnly(kStatusOk);
  // Byte by byte: GCC 12 at -O3 takes a range insert into the one-byte vector for an overrun.
  for (const std::uint8_t byte : version_)
    answer.bytes.push_back(byte);
  if (mode_ == RunMode::kLoader) answer.bytes.back() = kLoaderRunModeByte;
  return answer;
}

Answer ReaderModel::SerialNumber(std::span<const std::uint8_t>) {
  Answer answer = StatusOnly(kStatusOk);
  PutLittleEndian(answer.bytes, serialNumber_);
  return answer;
}

Answer ReaderModel::IdentifyMcu(std::span<const std::uint8_t> request) {
  if (request[2] != 0x36) return StatusOnly(kStatusBadParameter);
  Answer answer = StatusOnly(kStatusOk);
  answer.bytes.push_back(0x00);  // two bytes the tool does not examine
  answer.bytes.push_back(0x00);
  PutLittleEndian(answer.bytes, identity_.partId);
  answer.bytes.resize(behaviour_.mcuAnswerLength, 0x00);
  return answer;
}

Answer ReaderModel::EnterLoader(std::span<const std::uint8_t> request) {
  const bool allOnes = std::all_of(request.begin() + 2, request.end(),
                                   [](std::uint8_t byte) { return byte == 0xFF; });
  if (!allOnes) return StatusOnly(kStatusBadParameter);
  Answer answer = StatusOnly(kStatusOk);
  answer.after = AfterAnswer::kRestartIntoLoader;
  return answer;
}

Answer ReaderModel::CharTimeout(std::span<const std::uint8_t> request) {
  const bool before = request[1] == 0x10 && request[2] == 0x05 && request[3] == 0x01;
  const bool after =
      request[1] == 0x80 && request[2] == 0x05 && request[3] == 0x01 && request[4] == 0xFF;
  return StatusOnly(before || after ? kStatusOk : kStatusBadParameter);
}

Answer ReaderModel::BaudRate(std::span<const std::uint8_t> request) {
  Answer answer = StatusOnly(kStatusOk);
  answer.after = AfterAnswer::kChangeSpeed;
  answer.divisor = request[1];
  return answer;
}

Answer ReaderModel::WriteBlock(std::span<const std::uint8_t> request) {
  const std::uint32_t number = blocksReceived_ + 1;
  const auto fault = behaviour_.blockStatus.find(number);
  if (fault != behaviour_.blockStatus.end()) return StatusOnly(fault->second);
  if (body_.size() + kBlockSize > kMaxBodyLength) return StatusOnly(kStatusImageTooLarge);
  body_.insert(body_.end(), request.begin() + 2, request.end());
  blocksReceived_ = number;
  return StatusOnly(kStatusOk);
}

Answer ReaderModel::FinishImage(std::span<const std::uint8_t> request) {
  const bool good = CheckImage(request.subspan(2));
  Answer answer = StatusOnly(kStatusOk);
  if (good && !behaviour_.stayInLoader) {
    upgradePending_ = true;
    answer.after = AfterAnswer::kRestartIntoApplication;
  } else {
    if (good) transcript_.Line("staying in the loader");
    EnterMode(RunMode::kLoader);  // the loader waits for a fresh image
  }
  return answer;
}

bool ReaderModel::CheckImage(std::span<const std::uint8_t> trailer) {
  const std::uint32_t expectedCrc = ReadLittleEndian(trailer);
  const std::uint32_t expectedLength = ReadLittleEndian(trailer.subspan(4));
  const std::uint32_t crc = Crc32(body_);
  const bool good = !body_.empty() && expectedLength == body_.size() && expectedCrc == crc;
  transcript_.Line("image check: %s, received %zu bytes CRC-32 %08X, trailer %u bytes CRC-32 %08X",
                   good ? "passed" : "failed", body_.size(), static_cast<unsigned>(crc),
                   static_cast<unsigned>(expectedLength), static_cast<unsigned>(expectedCrc));
  return good;
}

Answer ReaderModel::WriteSerialNumber(std::span<const std::uint8_t> request) {
  serialNumber_ = ReadLittleEndian(request.subspan(2));
  return StatusOnly(kStatusOk);
}

Answer ReaderModel::DefaultParameters(std::span<const std::uint8_t> request) {
  return StatusOnly(request[2] <= 1 ? kStatusOk : kStatusBadParameter);
}

}  // namespace zarn::sim
