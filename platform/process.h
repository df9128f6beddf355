#pragma once
// Running another program, and the one question about the process itself that the restart
// logic asks.

namespace zarn::platform {

// Runs the command line through the system command processor (cmd on Windows, /bin/sh
// elsewhere) and waits for it to end; its exit status is of no interest.
void RunCommandLine(const char* commandLine);
// True on 64-bit Windows (picks the 64-bit devcon): always for a 64-bit build, for a 32-bit
// build when it runs under WOW64; always false elsewhere.
bool RunsOn64BitWindows();

// The separator of folder names in a relative command path: '\\' on Windows, '/' elsewhere.
char PathSeparator();

struct ProcessDevice {
  void (*runCommandLine)(const char* commandLine);
  bool (*runsOn64BitWindows)();
};
// nullptr puts the system's own operations back.
void InstallProcessHost(const ProcessDevice* device);
const ProcessDevice& SystemProcessHost();

}  // namespace zarn::platform
