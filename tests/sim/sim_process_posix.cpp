#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/sim/sim_process.h"

namespace zarn::sim::test {
namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;

}  // namespace

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/zarn-sim-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

SimProcess::~SimProcess() {
  Stop();
  if (outputFd_ >= 0) close(outputFd_);
}

bool SimProcess::Start(const std::vector<std::string>& arguments) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ZARN_SIM_EXE));
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(ZARN_SIM_EXE, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  outputFd_ = pipeFds[0];
  for (int waited = 0; waited < kStartTimeoutMs; waited += 50) {
    Drain(50);
    if (output_.find("ready\n") != std::string::npos) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // ended before it was ready (a bad option, a path it cannot use)
      Drain(0);
      return false;
    }
  }
  Stop();
  return false;
}

void SimProcess::Drain(int waitMs) {
  if (outputFd_ < 0) {  // all read: only the wait is left
    SleepMs(waitMs);
    return;
  }
  pollfd wait{outputFd_, POLLIN, 0};
  while (poll(&wait, 1, waitMs) > 0) {
    char chunk[4096];
    const ssize_t count = read(outputFd_, chunk, sizeof chunk);
    if (count <= 0) {
      close(outputFd_);
      outputFd_ = -1;
      return;
    }
    output_.append(chunk, static_cast<std::size_t>(count));
    waitMs = 0;
  }
}

int SimProcess::Stop() {
  if (pid_ <= 0) return -1;
  const pid_t pid = pid_;
  pid_ = -1;
  kill(pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < kStopTimeoutMs; waited += 10) {
    Drain(10);
    if (waitpid(pid, &status, WNOHANG) == pid) {
      Drain(0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);)
    lines.push_back(line);
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

void SleepMs(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool PathExists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

}  // namespace zarn::sim::test
