#pragma once
// The simulator's record of what it saw: every request received (its number and hex bytes),
// restarts, line mismatches and the image-check outcome, one line each, flushed at once so that
// a test can read the file while the simulator still runs.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace zarn::sim {

class Transcript {
 public:
  Transcript() = default;
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;
  ~Transcript();

  // An empty path keeps the transcript closed; every line is then dropped.
  bool Open(const std::string& path);
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // "request <number>: <hex bytes>"
  void Request(std::uint32_t number, std::span<const std::uint8_t> bytes);

 private:
  std::FILE* file_ = nullptr;
};

std::string HexBytes(std::span<const std::uint8_t> bytes);

}  // namespace zarn::sim
