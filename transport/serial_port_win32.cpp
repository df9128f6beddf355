// CSerialPort on Windows: an overlapped COM handle, the stop and write-request events, and one
// worker thread per opening that owns all I/O (and its three completion events) until Close.

#include <windows.h>

#include <string>

#include "platform/com_name.h"
#include "transport/serial_backend_win32.h"

namespace zarn {
namespace {

DWORD WINAPI SerialPortThread(LPVOID parameter) {
  static_cast<SerialPortBackend*>(parameter)->RunWorker();
  return 0;
}

HANDLE CreateManualResetEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void CloseIfCreated(void* handle) {
  if (handle != nullptr) CloseHandle(handle);
}

}  // namespace

SerialPortBackend::SerialPortBackend(CSerialPort& owner)
    : port(owner),
      stopEvent(CreateManualResetEvent()),
      writeRequestEvent(CreateManualResetEvent()) {}

SerialPortBackend::~SerialPortBackend() {
  for (void* event : {stopEvent, writeRequestEvent})
    CloseIfCreated(event);
  ReleaseWorkerState(worker);
}

bool SerialPortBackend::EventsCreated() const {
  return stopEvent != nullptr && writeRequestEvent != nullptr;
}

CSerialPort::CSerialPort() : backend_(std::make_unique<SerialPortBackend>(*this)) {}

CSerialPort::~CSerialPort() {
  Close();
}

bool CSerialPort::Open(std::int32_t index, std::int32_t baud, char parityLetter,
                       const char* stopBitsText) {
  if (isOpen) return false;
  SerialPortBackend& io = *backend_;
  if (!io.EventsCreated()) return false;
  PrepareOpen(index, baud, parityLetter, stopBitsText);
  ResetEvent(io.writeRequestEvent);
  ResetEvent(io.stopEvent);

  const std::string name = platform::ComDeviceName(index + 1);
  io.portHandle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (io.portHandle == INVALID_HANDLE_VALUE) {
    lastFailure = {LinkStep::kOpen, GetLastError()};  // the reason line's error
    return false;
  }
  if (!ConfigureLine(io.portHandle, *this)) {
    lastFailure = {LinkStep::kSetUp, GetLastError()};  // the reason line's error
    CloseHandle(io.portHandle);
    io.portHandle = nullptr;
    return false;
  }
  PurgeComm(io.portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

  FinishOpen();
  if (io.workerThread == nullptr) {
    ResetEvent(io.stopEvent);
    io.workerThread = CreateThread(nullptr, 0, SerialPortThread, &io, CREATE_SUSPENDED, nullptr);
    if (io.workerThread == nullptr) {
      lastFailure = {LinkStep::kWorker, GetLastError()};  // the reason line's error
      // No worker, no open port: undo as Close would.
      isOpen = false;
      writeQueue.SetEnabled(false);
      CloseHandle(io.portHandle);
      io.portHandle = nullptr;
      FinishClose();
      return false;
    }
    ResumeThread(io.workerThread);
  }
  lastFailure = {};  // the reason line's error
  return true;
}

bool CSerialPort::Close() {
  if (!isOpen) return false;
  isOpen = false;
  SerialPortBackend& io = *backend_;
  if (io.workerThread != nullptr) {
    SetEvent(io.stopEvent);
    WaitForSingleObject(io.workerThread, INFINITE);
    CloseHandle(io.workerThread);
    io.workerThread = nullptr;
  }
  writeQueue.SetEnabled(false);
  writeQueue.Drain();
  CloseHandle(io.portHandle);
  io.portHandle = nullptr;
  FinishClose();
  return true;
}

void CSerialPort::RequestWrite() {
  SetEvent(backend_->writeRequestEvent);
}

}  // namespace zarn
