#include <conio.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/console.h"

namespace zarn::platform {
namespace {

bool StdinIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void WriteStdout(const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

bool StdinKeyWaiting() {
  if (StdinIsConsole()) return _kbhit() != 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return true;  // no input: its end waits
  if (GetFileType(input) != FILE_TYPE_PIPE) return true;               // a file never blocks
  DWORD available = 0;
  if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return available > 0;
  // A closed pipe: its end waits. Any other failure (Wine cannot peek into a Linux pipe) says
  // nothing, and the read that follows waits for the byte or the end.
  return GetLastError() == ERROR_BROKEN_PIPE;
}

int StdinReadKey() {
  if (StdinIsConsole()) return _getch();
  const int c = std::getchar();
  return c == EOF ? kEndOfInput : c;
}

int StdinReadChar() {
  const int c = std::getchar();
  return c == EOF ? kEndOfInput : c;
}

const ConsoleDevice systemConsole{WriteStdout, StdinKeyWaiting, StdinReadKey, StdinReadChar};

}  // namespace

const ConsoleDevice& SystemConsole() {
  return systemConsole;
}

}  // namespace zarn::platform
