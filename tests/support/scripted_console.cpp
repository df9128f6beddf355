#include "tests/support/scripted_console.h"

#include "platform/console.h"

namespace zarn::test {
namespace {
ScriptedConsole* active = nullptr;
}  // namespace

ScriptedConsole::ScriptedConsole(std::string input, bool typedAhead)
    : input_(std::move(input)), typedAhead_(typedAhead) {
  static const platform::ConsoleDevice device{&ScriptedConsole::Write, &ScriptedConsole::KeyWaiting,
                                              &ScriptedConsole::ReadNext,
                                              &ScriptedConsole::ReadNext};
  active = this;
  platform::InstallConsole(&device);
  platform::InstallReasonWriter(&ScriptedConsole::WriteReason);
}

ScriptedConsole::~ScriptedConsole() {
  platform::InstallReasonWriter(nullptr);
  platform::InstallConsole(nullptr);
  active = nullptr;
}

void ScriptedConsole::Write(const char* text, std::size_t length) {
  active->output_.append(text, length);
}

void ScriptedConsole::WriteReason(const char* line) {
  active->reasons_.append(line).append("\n");
}

bool ScriptedConsole::KeyWaiting() {
  return active->typedAhead_ || !active->InputLeft();
}

int ScriptedConsole::ReadNext() {
  if (!active->InputLeft()) return platform::kEndOfInput;
  return static_cast<unsigned char>(active->input_[active->position_++]);
}

}  // namespace zarn::test
