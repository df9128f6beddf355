// Installs the tests' driver of the reader's interface class into the Wine prefix, the way a
// device installation does: the driver file in system32\drivers, its kernel service, a
// root-enumerated device whose service it is (registered through SetupAPI), then the service
// started, whereupon Wine's PnP manager calls the driver's AddDevice and starts the device.
// Every step keeps what is already there, so a prefix is set up once.
//
//   usb_test_driver_setup install DRIVER.sys   the above
//   usb_test_driver_setup port N               the loopback port of the simulator's front
//
// Exit code 0 on success; a failed step is named on standard error.

#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const GUID kReaderInterface = {
    0x86937937, 0xB00F, 0x447F, {0x99, 0xBC, 0x3D, 0x57, 0x2D, 0xF8, 0x77, 0x86}};
constexpr const char* kService = "zarntestusb";
constexpr const char* kInstance = "ROOT\\ZARNTEST\\0000";
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\zarntestusb";

int Fail(const char* step) {
  std::fprintf(stderr, "usb_test_driver_setup: %s failed (error %lu)\n", step, GetLastError());
  return 1;
}

bool CopyDriver(const char* source, std::string& target) {
  char system[MAX_PATH];
  if (GetSystemDirectoryA(system, MAX_PATH) == 0) return false;
  target = std::string(system) + "\\drivers\\" + kService + ".sys";
  return CopyFileA(source, target.c_str(), FALSE) != 0;
}

bool CreateDriverService(const std::string& path) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  SC_HANDLE service = CreateServiceA(
      manager, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  const bool ok = service != nullptr || GetLastError() == ERROR_SERVICE_EXISTS;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok;
}

// The device, ROOT\ZARNTEST\0000, of the reader's class, served by the service.
bool RegisterRootDevice() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kReaderInterface, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  bool ok = false;
  if (SetupDiCreateDeviceInfoA(set, kInstance, &kReaderInterface, nullptr, nullptr, 0, &device)) {
    static const char kHardwareId[] = "ROOT\\ZARNTEST\0";
    ok = SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(kHardwareId),
                                           sizeof kHardwareId) &&
         SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE,
                                           reinterpret_cast<const BYTE*>(kService),
                                           static_cast<DWORD>(std::strlen(kService) + 1)) &&
         SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
  } else {
    ok = GetLastError() == ERROR_DEVINST_ALREADY_EXISTS;
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

bool ServiceRunning() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const bool running = service != nullptr && QueryServiceStatus(service, &status) &&
                       status.dwCurrentState == SERVICE_RUNNING;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return running;
}

bool StartDriverService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_START);
  bool ok = service != nullptr &&
            (StartServiceA(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok;
}

bool SetPort(DWORD port) {
  return RegSetKeyValueA(HKEY_LOCAL_MACHINE, kServiceKey, "SimulatorPort", REG_DWORD, &port,
                         sizeof port) == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) {
    // A driver that runs is not overwritten: its image is mapped from the file.
    if (ServiceRunning()) return 0;
    std::string target;
    if (!CopyDriver(argv[2], target)) return Fail("copying the driver");
    if (!CreateDriverService(target)) return Fail("creating the service");
    if (!RegisterRootDevice()) return Fail("registering the device");
    if (!StartDriverService()) return Fail("starting the service");
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "port") == 0) {
    if (!SetPort(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)))) {
      return Fail("setting the port");
    }
    return 0;
  }
  std::fprintf(stderr, "usage: usb_test_driver_setup install DRIVER.sys | port N\n");
  return 2;
}
