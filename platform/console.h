#pragma once
// The console: progress to standard output, the one start-up failure line to standard error,
// and the two places where the operator answers (a key, the final Enter). Every input call
// works when stdin is a pipe or closed: the end of input is an answer, never a hang.

#include <cstddef>

namespace zarn::platform {

constexpr int kEndOfInput = -1;

// Writes the formatted text to standard output at once (no buffering across calls).
void Print(const char* format, ...);
// Writes one line and a newline to standard error.
void PrintFatal(const char* line);
// The reason behind a failure that the console transcript reports without one: one line on
// standard error, "zarn-upgrade: " and the formatted text. Standard output is left alone.
void PrintReason(const char* format, ...);
// Where reason lines go (the whole line, without its newline); tests install their own,
// nullptr puts standard error back.
using ReasonWriter = void (*)(const char* line);
void InstallReasonWriter(ReasonWriter writer);
// Tells, without blocking and without consuming it, whether a key press (or the end of input)
// is waiting.
bool KeyWaiting();
// Takes one key press without echo, waiting for it; kEndOfInput when no more input can come.
int ReadKey();
// Reads one character from standard input; kEndOfInput at its end.
int ReadChar();

// The operations behind the calls above. Tests install a scripted console; nullptr puts the
// process's own console back.
struct ConsoleDevice {
  void (*write)(const char* text, std::size_t length);
  bool (*keyWaiting)();
  int (*readKey)();
  int (*readChar)();
};
void InstallConsole(const ConsoleDevice* device);
const ConsoleDevice& SystemConsole();

}  // namespace zarn::platform
