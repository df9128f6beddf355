// The devcon the Windows build's end-to-end runs find in x64\ (and i386\) of their working
// folder: it records its command line in devcon.log one folder up, as the Linux runs' stand-in
// does, so that a run can check that the tool asked for the restart of the right device.

#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  std::string log = path;
  for (int up = 0; up < 2; ++up)
    log.erase(log.find_last_of('\\'));  // ...\x64\devcon.exe -> ...
  log += "\\devcon.log";
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  FILE* file = std::fopen(log.c_str(), "ab");
  if (file == nullptr) return 1;
  std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
  return 0;
}
