#include <windows.h>

#include "platform/log_file.h"

namespace zarn::platform {
namespace {
HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
}  // namespace

bool LogFile::Create(const char* path) {
  Close();
  if (path == nullptr) return false;
  // Not overlapped: every WriteFile completes before it returns. Others may read the log while
  // it is open, but not write it.
  const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool LogFile::Write(const char* bytes, std::size_t count) {
  if (!IsOpen()) return false;
  while (count > 0) {
    const DWORD chunk = count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), bytes, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    bytes += written;
    count -= written;
  }
  return true;
}

void LogFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(AsHandle(handle_));
  handle_ = kNoFile;
}

}  // namespace zarn::platform
