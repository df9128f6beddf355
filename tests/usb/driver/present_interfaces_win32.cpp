// The present interfaces of the reader's class, through SetupAPI as the tool's search finds
// them (present_interfaces.h).

#include <windows.h>

#include <setupapi.h>

#include "tests/usb/driver/present_interfaces.h"

namespace zarn::test {
namespace {

const GUID kReaderInterface = {
    0x86937937, 0xB00F, 0x447F, {0x99, 0xBC, 0x3D, 0x57, 0x2D, 0xF8, 0x77, 0x86}};

}  // namespace

std::vector<std::string> PresentReaderInterfaces() {
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

}  // namespace zarn::test
