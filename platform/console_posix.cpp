#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/console.h"

namespace zarn::platform {
namespace {

// Puts a terminal on stdin into non-canonical, no-echo mode for the lifetime of the object, so
// that a single key press is visible without Enter; a pipe or file is left alone.
class RawKeyMode {
 public:
  RawKeyMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawKeyMode() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  RawKeyMode(const RawKeyMode&) = delete;
  RawKeyMode& operator=(const RawKeyMode&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

int ReadOneByte() {
  unsigned char byte = 0;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EINTR) continue;
    return kEndOfInput;
  }
}

void WriteStdout(const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

bool StdinKeyWaiting() {
  RawKeyMode raw;
  pollfd fd{STDIN_FILENO, POLLIN, 0};
  // A closed or broken stdin reports POLLHUP/POLLNVAL/POLLERR: the end of input is waiting too.
  return poll(&fd, 1, 0) > 0 && fd.revents != 0;
}

int StdinReadKey() {
  RawKeyMode raw;
  return ReadOneByte();
}

int StdinReadChar() {
  return ReadOneByte();
}

const ConsoleDevice systemConsole{WriteStdout, StdinKeyWaiting, StdinReadKey, StdinReadChar};

}  // namespace

const ConsoleDevice& SystemConsole() {
  return systemConsole;
}

}  // namespace zarn::platform
