#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace zarn::platform {
namespace {
const ConsoleDevice* installed = nullptr;
const ConsoleDevice& Current() {
  return installed ? *installed : SystemConsole();
}

constexpr char kProgramName[] = "zarn-upgrade";
ReasonWriter reasonWriter = nullptr;
}  // namespace

void InstallConsole(const ConsoleDevice* device) {
  installed = device;
}

void Print(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    va_end(again);
    Current().write(small, static_cast<std::size_t>(needed));
    return;
  }
  std::vector<char> large(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(large.data(), large.size(), format, again);
  va_end(again);
  Current().write(large.data(), static_cast<std::size_t>(needed));
}

void PrintFatal(const char* line) {
  std::fprintf(stderr, "%s\n", line);
  std::fflush(stderr);
}

void PrintReason(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);  // a longer reason is cut, never overrun
  va_end(args);
  char line[sizeof text + sizeof kProgramName + 2];
  std::snprintf(line, sizeof line, "%s: %s", kProgramName, text);
  if (reasonWriter != nullptr) {
    reasonWriter(line);
    return;
  }
  PrintFatal(line);
}

void InstallReasonWriter(ReasonWriter writer) {
  reasonWriter = writer;
}

bool KeyWaiting() {
  return Current().keyWaiting();
}
int ReadKey() {
  return Current().readKey();
}
int ReadChar() {
  return Current().readChar();
}

}  // namespace zarn::platform
