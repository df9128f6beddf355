#include "sim/transcript.h"

#include <cstdarg>

namespace zarn::sim {

Transcript::~Transcript() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Transcript::Open(const std::string& path) {
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void Transcript::Line(const char* format, ...) {
  if (file_ == nullptr) return;
  std::va_list args;
  va_start(args, format);
  std::vfprintf(file_, format, args);
  va_end(args);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void Transcript::Request(std::uint32_t number, std::span<const std::uint8_t> bytes) {
  Line("request %u: %s", static_cast<unsigned>(number), HexBytes(bytes).c_str());
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::uint8_t byte : bytes) {
    if (!text.empty()) text.push_back(' ');
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

}  // namespace zarn::sim
