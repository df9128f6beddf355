#pragma once
// The reader's side of the serial frame format: it takes request frames from the tool apart and
// builds its answer frames. Frame: FD, address, sequence, payload, check low, check high, FE;
// bytes above FC between the start and end bytes travel as FF and their complement.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zarn::sim {

class RequestFrameParser {
 public:
  enum class Result { kPending, kFrame, kBadCheck, kMalformed };

  // Feeds one byte from the line. kFrame: address(), sequence(), payload() and wireLength()
  // describe the finished frame until the next byte is fed.
  Result Feed(std::uint8_t byte);
  bool InFrame() const { return inFrame_; }
  void Reset();

  std::uint8_t address() const { return bytes_[0]; }
  std::uint8_t sequence() const { return bytes_[1]; }
  std::span<const std::uint8_t> payload() const;
  // Bytes the frame took on the line, start and end bytes and escapes included.
  std::size_t wireLength() const { return wireLength_; }

 private:
  Result Finish();

  // The longest request is 258 payload bytes; anything far beyond that is line noise.
  static constexpr std::size_t kMaxBytes = 1100;
  std::array<std::uint8_t, kMaxBytes> bytes_{};  // unescaped: address, sequence, payload, check
  std::size_t count_ = 0;
  std::size_t wireLength_ = 0;
  bool inFrame_ = false;
  bool escape_ = false;
};

struct AnswerFrameFaults {
  bool corruptCheck = false;
  bool wrongSequence = false;
  bool wrongAddress = false;
};

// FD, address, sequence, one spare byte, status and data, check, FE (escaped on the way).
std::vector<std::uint8_t> EncodeAnswerFrame(std::uint8_t address, std::uint8_t sequence,
                                            std::span<const std::uint8_t> statusAndData,
                                            AnswerFrameFaults faults = {});

}  // namespace zarn::sim
