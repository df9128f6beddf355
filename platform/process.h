#pragma once
// Running another program, and the one question about the process itself that the restart
// logic asks.

namespace zarn::platform {

// Runs the command line through the system command processor (cmd on Windows, /bin/sh
// elsewhere) and waits for it to end; its exit status is of no interest.
void RunCommandLine(const char* commandLine);
// True for a 32-bit process on 64-bit Windows; always false elsewhere.
bool IsWow64Process();

// The separator of folder names in a relative command path: '\\' on Windows, '/' elsewhere.
char PathSeparator();

struct ProcessDevice {
  void (*runCommandLine)(const char* commandLine);
  bool (*isWow64Process)();
};
// nullptr puts the system's own operations back.
void InstallProcessHost(const ProcessDevice* device);
const ProcessDevice& SystemProcessHost();

}  // namespace zarn::platform
