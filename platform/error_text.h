#pragma once
// The operating system's own words for an error code, for the reason lines on standard error.

#include <cstdint>
#include <string>

namespace zarn::platform {

// errno on POSIX (strerror), a Windows system error code on Windows (FormatMessage, without
// its trailing line break).
std::string SystemErrorText(std::uint32_t code);
// A PC/SC service error: pcsc-lite's text, or Windows' message for the SCARD_ code; either way
// followed by the code in hex, "(0x8010001D)".
std::string PcscErrorText(std::uint32_t code);

}  // namespace zarn::platform
