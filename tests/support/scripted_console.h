#pragma once
// A console for tests: captures everything printed (and the reason lines meant for standard
// error, apart) and answers reads from a script. While an instance lives it replaces the
// process's console.

#include <string>

namespace zarn::test {

class ScriptedConsole {
 public:
  // Keys and characters are taken from input in order; after it, reads see the end of input.
  // With typedAhead the input's keys count as already waiting; otherwise they are typed only
  // when the tool reads. Like a real console, the end of input always counts as waiting.
  explicit ScriptedConsole(std::string input = {}, bool typedAhead = false);
  ~ScriptedConsole();
  ScriptedConsole(const ScriptedConsole&) = delete;
  ScriptedConsole& operator=(const ScriptedConsole&) = delete;

  const std::string& Output() const { return output_; }
  // The reason lines, each with its newline.
  const std::string& Reasons() const { return reasons_; }
  // True while unread input remains (what a waiting key press looks like).
  bool InputLeft() const { return position_ < input_.size(); }

 private:
  static void Write(const char* text, std::size_t length);
  static bool KeyWaiting();
  static int ReadNext();
  static void WriteReason(const char* line);

  std::string input_;
  bool typedAhead_;
  std::size_t position_ = 0;
  std::string output_;
  std::string reasons_;
};

}  // namespace zarn::test
