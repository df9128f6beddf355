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

// A 64-bit build runs on 64-bit Windows only. A 32-bit build asks IsWow64Process, looked up at
// run time: older Windows versions lack the entry point, which then means "no".
bool QueryWindows64() {
#ifdef _WIN64
  return true;
#else
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = GetModuleHandleA("kernel32");
  if (kernel == nullptr) return false;
  auto entry = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  if (entry == nullptr) return false;
  BOOL wow64 = FALSE;
  return entry(GetCurrentProcess(), &wow64) && wow64;
#endif
}

const ProcessDevice systemHost{ShellRun, QueryWindows64};

}  // namespace

const ProcessDevice& SystemProcessHost() {
  return systemHost;
}

char PathSeparator() {
  return '\\';
}

}  // namespace zarn::platform
