#include <windows.h>

#include <cstdio>

#include "platform/error_text.h"

namespace zarn::platform {

std::string SystemErrorText(std::uint32_t code) {
  char buffer[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  // The message ends in CR LF (and often a full stop): the reason line adds its own ending.
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

std::string PcscErrorText(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  return SystemErrorText(code) + " (" + hex + ")";
}

}  // namespace zarn::platform
