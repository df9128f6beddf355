// Calls the tests' driver the way the tool's channel does, with the system's calls only, and
// prints what each call gave, one line per step, for driver_test.py to judge:
//
//   interfaces N PATH   the present interfaces of the reader's class and the first one's path
//   setup E N           the set-up control: its error (0 for success) and output length
//   serial E HEX        the serial-number request (22) with 1024 bytes of room
//   small E N           the same request with 2 bytes of room
//   cancel E MS         a request the reader does not answer, cancelled after 300 ms: the
//                       completion's error and how long after CancelIo it came
//
// "probe count" prints the first line only.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/usb/driver/present_interfaces.h"

namespace {

constexpr DWORD kSetup = 0x8000202C;
constexpr DWORD kTransceive = 0x002A0018;

struct Outcome {
  DWORD error = 0;
  std::vector<unsigned char> output;
};

// One overlapped control, waited for at most waitMs before CancelIo; *afterCancelMs is how
// long the completion took after the cancel (0 when none was needed).
Outcome Control(HANDLE device, DWORD code, const void* input, DWORD inputLength, DWORD room,
                DWORD waitMs, DWORD* afterCancelMs) {
  Outcome outcome;
  outcome.output.resize(room);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD returned = 0;
  *afterCancelMs = 0;
  if (!DeviceIoControl(device, code, const_cast<void*>(input), inputLength,
                       room ? outcome.output.data() : nullptr, room, &returned, &overlapped) &&
      GetLastError() == ERROR_IO_PENDING &&
      WaitForSingleObject(overlapped.hEvent, waitMs) == WAIT_TIMEOUT) {
    const ULONGLONG cancelled = GetTickCount64();
    CancelIo(device);
    WaitForSingleObject(overlapped.hEvent, 5000);
    *afterCancelMs = static_cast<DWORD>(GetTickCount64() - cancelled);
  }
  outcome.error = GetOverlappedResult(device, &overlapped, &returned, FALSE) ? 0 : GetLastError();
  outcome.output.resize(outcome.error == 0 ? returned : 0);
  CloseHandle(overlapped.hEvent);
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> paths = zarn::test::PresentReaderInterfaces();
  std::printf("interfaces %zu %s\n", paths.size(), paths.empty() ? "-" : paths[0].c_str());
  if ((argc > 1 && std::strcmp(argv[1], "count") == 0) || paths.empty()) return 0;
  HANDLE device = CreateFileA(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("open %lu\n", GetLastError());
    return 0;
  }
  DWORD afterCancel = 0;
  const unsigned char setup[12] = {20, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0};
  Outcome outcome = Control(device, kSetup, setup, sizeof setup, 0, 3000, &afterCancel);
  std::printf("setup %lu %zu\n", outcome.error, outcome.output.size());
  const unsigned char serial[1] = {0x22};
  outcome = Control(device, kTransceive, serial, 1, 1024, 3000, &afterCancel);
  std::printf("serial %lu", outcome.error);
  for (unsigned char byte : outcome.output)
    std::printf(" %02X", byte);
  std::printf("\n");
  outcome = Control(device, kTransceive, serial, 1, 2, 3000, &afterCancel);
  std::printf("small %lu %zu\n", outcome.error, outcome.output.size());
  outcome = Control(device, kTransceive, serial, 1, 1024, 300, &afterCancel);
  std::printf("cancel %lu %lu\n", outcome.error, afterCancel);
  CloseHandle(device);
  return 0;
}
