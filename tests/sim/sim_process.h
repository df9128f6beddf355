#pragma once
// Runs zarn-reader-sim as a child process for a test, in a scratch folder of its own, and stops
// it with SIGTERM as a user would.

#include <sys/types.h>

#include <string>
#include <vector>

namespace zarn::sim::test {

// A fresh folder under /tmp, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class SimProcess {
 public:
  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess();

  // Starts the simulator and waits for its "ready" line.
  bool Start(const std::vector<std::string>& arguments);
  // SIGTERM, then waits; the simulator's exit status, or -1 when it had to be killed.
  int Stop();
  // Everything the simulator wrote to its standard output and error so far.
  const std::string& output() const { return output_; }

 private:
  void Drain(int waitMs);

  pid_t pid_ = -1;
  int outputFd_ = -1;
  std::string output_;
};

std::vector<std::string> ReadLines(const std::string& path);
bool Contains(const std::vector<std::string>& lines, const std::string& text);
void SleepMs(int milliseconds);
bool PathExists(const std::string& path);

}  // namespace zarn::sim::test
