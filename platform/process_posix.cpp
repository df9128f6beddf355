#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/process.h"

namespace zarn::platform {
namespace {

void ShellRun(const char* commandLine) {
  std::fflush(nullptr);  // the child's output must follow ours, not overtake it
  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", commandLine, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

bool NeverWindows64() {
  return false;
}

const ProcessDevice systemHost{ShellRun, NeverWindows64};

}  // namespace

const ProcessDevice& SystemProcessHost() {
  return systemHost;
}

char PathSeparator() {
  return '/';
}

}  // namespace zarn::platform
