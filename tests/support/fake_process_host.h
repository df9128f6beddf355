#pragma once
// Records the command lines the tool runs instead of running them.

#include <functional>
#include <string>
#include <vector>

namespace zarn::test {

class FakeProcessHost {
 public:
  explicit FakeProcessHost(bool wow64 = false);
  ~FakeProcessHost();
  FakeProcessHost(const FakeProcessHost&) = delete;
  FakeProcessHost& operator=(const FakeProcessHost&) = delete;

  bool wow64;
  std::vector<std::string> commandLines;
  std::function<void()> onRun;  // what running the command does (e.g. a device comes back)

 private:
  static void Run(const char* commandLine);
  static bool IsWow64();
};

}  // namespace zarn::test
