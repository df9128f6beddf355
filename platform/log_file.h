#pragma once
// The file behind one traffic log. It is created afresh (an existing file is truncated), written
// synchronously with one system call per line, and other processes may read it while it is open.

#include <cstddef>
#include <cstdint>

namespace zarn::platform {

class LogFile {
 public:
  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile() { Close(); }

  // Creates the file, or truncates an existing one, for reading and writing. False when it
  // cannot be opened, or when the name stands for something other than a plain file.
  bool Create(const char* path);
  // Hands the bytes to the system in one call; only the rest of a short write needs another.
  // False when they could not all be written.
  bool Write(const char* bytes, std::size_t count);
  void Close();
  bool IsOpen() const { return handle_ != kNoFile; }

 private:
  // A file descriptor or a Windows handle; both systems use -1 for none.
  static constexpr std::intptr_t kNoFile = -1;
  std::intptr_t handle_ = kNoFile;
};

}  // namespace zarn::platform
