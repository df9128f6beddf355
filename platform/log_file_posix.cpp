#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log_file.h"

namespace zarn::platform {

bool LogFile::Create(const char* path) {
  Close();
  if (path == nullptr) return false;
  // Not O_SYNC: each write reaches the kernel at once, which is all a reader of the log needs,
  // and the exchange must not wait for the disk. O_NONBLOCK keeps the open itself from waiting
  // on a FIFO that stands under the log's name; such files are refused below.
  const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool LogFile::Write(const char* bytes, std::size_t count) {
  if (!IsOpen()) return false;
  const int fd = static_cast<int>(handle_);
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

void LogFile::Close() {
  if (!IsOpen()) return;
  close(static_cast<int>(handle_));
  handle_ = kNoFile;
}

}  // namespace zarn::platform
