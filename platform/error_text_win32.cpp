#include <windows.h>

#include <cstdio>

#include "platform/error_text.h"

namespace zarn::platform {
namespace {

// Windows' message for the code without its ending (CR LF, often a full stop), or an empty text
// where the system has none (Wine has none for the SCARD_ codes).
std::string SystemMessage(std::uint32_t code) {
  char buffer[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::string SystemErrorText(std::uint32_t code) {
  const std::string text = SystemMessage(code);
  return text.empty() ? "error " + std::to_string(code) : text;
}

std::string PcscErrorText(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  const std::string text = SystemMessage(code);
  return (text.empty() ? std::string("PC/SC error") : text) + " (" + hex + ")";
}

}  // namespace zarn::platform
