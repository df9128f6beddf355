// The devcon the Windows build's end-to-end runs under Wine find in x64\ (and i386\) of their
// working folder. It records its command line in devcon.log one folder up, as the Linux runs'
// stand-in does, so that a run can check that the tool asked for the restart of the right
// device. For "restart" it also restarts the tests' USB driver as a re-enumeration would: every
// present interface of the reader's class is asked to drop its device, whose interface goes
// away and comes back once the driver has reached the reader again. Over PC/SC no such
// interface is present, and the simulated reader comes back by itself.

#include <windows.h>

#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/usb/driver/present_interfaces.h"

namespace {

// The tests' driver's restart control (usb_test_driver_win32.c).
constexpr DWORD kIoctlTestRestart =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS);

bool Record(const std::string& line) {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::string log = path;
  for (int up = 0; up < 2; ++up)
    log.erase(log.find_last_of('\\'));  // ...\x64\devcon.exe
  FILE* file = std::fopen((log + "\\devcon.log").c_str(), "ab");
  if (file == nullptr) return false;
  std::fprintf(file, "%s\n", line.c_str());
  return std::fclose(file) == 0;
}

bool Restart(const std::string& path) {
  HANDLE device =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  const BOOL done =
      DeviceIoControl(device, kIoctlTestRestart, nullptr, 0, nullptr, 0, &returned, nullptr);
  CloseHandle(device);
  return done != 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  if (!Record(line)) return 1;
  if (argc < 2 || std::strcmp(argv[1], "restart") != 0) return 0;
  bool restarted = true;
  for (const std::string& path : zarn::test::PresentReaderInterfaces())
    restarted = Restart(path) && restarted;
  return restarted ? 0 : 1;
}
