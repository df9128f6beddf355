#pragma once
// A small serial client for the simulator's pty, written apart from both the tool and the
// simulator: it opens the linked slave with given line settings, frames requests and takes the
// answer frames apart with its own check.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zarn::sim::test {

struct LineSettings {
  unsigned baud = 9600;  // a standard rate
  bool oddParity = false;
  bool twoStopBits = false;
};

struct AnswerFrame {
  std::uint8_t address = 0;
  std::uint8_t sequence = 0;
  std::vector<std::uint8_t> statusAndData;
  bool checkGood = false;
};

// CRC-16/X-25, complemented, as the frames carry it.
std::uint16_t FrameCheck(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> EncodeRequest(std::uint8_t address, std::uint8_t sequence,
                                        const std::vector<std::uint8_t>& payload);

class LineClient {
 public:
  LineClient() = default;
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;
  ~LineClient() { Close(); }

  bool Open(const std::string& path, const LineSettings& settings);
  void Close();

  // Sends one framed request (the next sequence number) and waits for one answer frame.
  std::optional<AnswerFrame> Exchange(const std::vector<std::uint8_t>& payload, int timeoutMs = 500,
                                      std::uint8_t address = 0);
  std::uint8_t lastSequence() const { return sequence_; }
  std::size_t lastRequestWireLength() const { return lastWireLength_; }

 private:
  std::optional<AnswerFrame> ReadAnswer(int timeoutMs);

  int fd_ = -1;
  std::uint8_t sequence_ = 0;
  std::size_t lastWireLength_ = 0;
};

}  // namespace zarn::sim::test
