// The devcon the Windows build's end-to-end runs under Wine find in x64\ (and i386\) of their
// working folder. It records its command line in devcon.log one folder up, as the Linux runs'
// stand-in does, so that a run can check that the tool asked for the restart of the right
// device. For "restart" it also restarts the tests' USB driver as a re-enumeration would: every
// present interface of the reader's class is asked to drop its device, whose interface goes
// away and comes back once the driver has reached the reader again. Over PC/SC no such
// interface is present, and the simulated reader comes back by itself.

#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const GUID kReaderInterface = {
    0x86937937, 0xB00F, 0x447F, {0x99, 0xBC, 0x3D, 0x57, 0x2D, 0xF8, 0x77, 0x86}};
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

std::vector<std::string> PresentInterfaces() {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&kReaderInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kReaderInterface, i, &data); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    std::vector<char> buffer(size + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
      paths.emplace_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
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
  for (const std::string& path : PresentInterfaces())
    restarted = Restart(path) && restarted;
  return restarted ? 0 : 1;
}
