#include <PCSC/pcsclite.h>

#include <cstdio>
#include <cstring>

#include "platform/error_text.h"

namespace zarn::platform {

std::string SystemErrorText(std::uint32_t code) {
  return std::strerror(static_cast<int>(code));
}

std::string PcscErrorText(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  std::string text = pcsc_stringify_error(static_cast<LONG>(code));
  while (!text.empty() && text.back() == '.')
    text.pop_back();
  return text + " (" + hex + ")";
}

}  // namespace zarn::platform
