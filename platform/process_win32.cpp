#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/process.h"

namespace zarn::platform {
namespace {

void ShellRun(const char* commandLine) {
  std::fflush(nullptr);
  std::system(commandLine);  // cmd /c, waits for the command to end
}

// Looked up at run time: older Windows versions lack the entry point, which then means "no".
bool QueryWow64() {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = GetModuleHandleA("kernel32");
  if (kernel == nullptr) return false;
  auto entry = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  if (entry == nullptr) return false;
  BOOL wow64 = FALSE;
  return entry(GetCurrentProcess(), &wow64) && wow64;
}

const ProcessDevice systemHost{ShellRun, QueryWow64};

}  // namespace

const ProcessDevice& SystemProcessHost() {
  return systemHost;
}

char PathSeparator() {
  return '\\';
}

}  // namespace zarn::platform
