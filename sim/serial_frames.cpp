#include "sim/serial_frames.h"

#include "sim/crc.h"

namespace zarn::sim {
namespace {

constexpr std::uint8_t kStart = 0xFD;
constexpr std::uint8_t kEnd = 0xFE;
constexpr std::uint8_t kEscape = 0xFF;
// The byte the tool skips between the sequence number and the status byte.
constexpr std::uint8_t kSpareByte = 0x00;

void PutEscaped(std::vector<std::uint8_t>& frame, std::uint8_t byte) {
  if (byte > 0xFC) {
    frame.push_back(kEscape);
    frame.push_back(static_cast<std::uint8_t>(~byte));
  } else {
    frame.push_back(byte);
  }
}

}  // namespace

void RequestFrameParser::Reset() {
  count_ = 0;
  wireLength_ = 0;
  inFrame_ = false;
  escape_ = false;
}

std::span<const std::uint8_t> RequestFrameParser::payload() const {
  if (count_ < 4) return {};
  return std::span<const std::uint8_t>(bytes_.data() + 2, count_ - 4);
}

RequestFrameParser::Result RequestFrameParser::Feed(std::uint8_t byte) {
  if (byte == kStart) {
    Reset();
    inFrame_ = true;
    wireLength_ = 1;
    return Result::kPending;
  }
  if (!inFrame_) return Result::kPending;  // noise between frames
  ++wireLength_;
  if (byte == kEnd) return Finish();
  if (byte == kEscape) {  // a repeated escape still announces one complemented byte
    escape_ = true;
    return Result::kPending;
  }
  if (escape_) {
    escape_ = false;
    if (byte > 0x02) {
      Reset();
      return Result::kMalformed;
    }
    byte = static_cast<std::uint8_t>(~byte);
  }
  if (count_ == kMaxBytes) {
    Reset();
    return Result::kMalformed;
  }
  bytes_[count_++] = byte;
  return Result::kPending;
}

RequestFrameParser::Result RequestFrameParser::Finish() {
  inFrame_ = false;
  if (escape_ || count_ < 4) {
    Reset();
    return Result::kMalformed;
  }
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < count_; ++i)
    crc = Crc16X25Update(crc, bytes_[i]);
  return crc == kCrc16X25Residue ? Result::kFrame : Result::kBadCheck;
}

std::vector<std::uint8_t> EncodeAnswerFrame(std::uint8_t address, std::uint8_t sequence,
                                            std::span<const std::uint8_t> statusAndData,
                                            AnswerFrameFaults faults) {
  std::vector<std::uint8_t> body;
  body.push_back(faults.wrongAddress ? static_cast<std::uint8_t>(address + 1) : address);
  body.push_back(faults.wrongSequence ? static_cast<std::uint8_t>(sequence + 1) : sequence);
  body.push_back(kSpareByte);
  body.insert(body.end(), statusAndData.begin(), statusAndData.end());
  std::uint16_t check = Crc16X25(body);
  if (faults.corruptCheck) check ^= 0x0001;
  body.push_back(static_cast<std::uint8_t>(check & 0xFF));
  body.push_back(static_cast<std::uint8_t>(check >> 8));

  std::vector<std::uint8_t> frame;
  frame.reserve(2 * body.size() + 2);
  frame.push_back(kStart);
  for (std::uint8_t byte : body)
    PutEscaped(frame, byte);
  frame.push_back(kEnd);
  return frame;
}

}  // namespace zarn::sim
