// CSerialPort on Windows: an overlapped COM handle, the stop and write-request events, and one
// worker thread per opening that owns all I/O (and its three completion events) until Close.

#include <windows.h>
// After windows.h: the timer period calls.
#include <mmsystem.h>

#include <string>

#include "platform/com_name.h"
#include "transport/serial_backend_win32.h"

namespace zarn {
namespace {

// After the port handle is closed, how long Close waits for the worker's thread to end. A
// driver completes what it still holds when its handle is closed, so the thread ends at once;
// one that does not is left to end by itself rather than hang the run (Windows keeps an ending
// thread until its I/O has completed, up to minutes).
constexpr DWORD kThreadEndMs = 2000;

DWORD WINAPI SerialPortThread(LPVOID parameter) {
  auto* io = static_cast<SerialPortBackend*>(parameter);
  io->RunWorker();
  SetEvent(io->workerStopped);  // the thread's last touch of the port
  return 0;
}

HANDLE CreateManualResetEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void CloseIfCreated(void* handle) {
  if (handle != nullptr) CloseHandle(handle);
}

// While a port is open, kernel timers (the read time-outs among them) fire every millisecond
// instead of at the default 15.6 ms tick.
constexpr UINT kTimerPeriodMs = 1;

}  // namespace

SerialPortBackend::SerialPortBackend(CSerialPort& owner)
    : port(owner),
      stopEvent(CreateManualResetEvent()),
      writeRequestEvent(CreateManualResetEvent()),
      workerStopped(CreateManualResetEvent()) {
  if (!EventsCreated()) setUpError = GetLastError();
}

SerialPortBackend::~SerialPortBackend() {
  for (void* event : {stopEvent, writeRequestEvent, workerStopped})
    CloseIfCreated(event);
  ReleaseWorkerState(worker);
}

bool SerialPortBackend::EventsCreated() const {
  return stopEvent != nullptr && writeRequestEvent != nullptr && workerStopped != nullptr;
}

// The worker's state and thread; false, with the reason recorded, when either cannot be made.
bool SerialPortBackend::StartWorker() {
  SerialWorkerState* state = StateForOpening(worker);
  if (state == nullptr) {
    port.lastFailure = {LinkStep::kWorker, ERROR_NOT_ENOUGH_MEMORY};
    return false;
  }
  worker = state;
  ResetEvent(stopEvent);
  ResetEvent(workerStopped);
  workerThread = CreateThread(nullptr, 0, SerialPortThread, this, CREATE_SUSPENDED, nullptr);
  if (workerThread == nullptr) {
    port.lastFailure = {LinkStep::kWorker, GetLastError()};
    return false;
  }
  ResumeThread(workerThread);
  return true;
}

// Stops the worker, then closes the port, then lets the thread end: closing the handle is what
// makes a driver give back a cancelled read or write that it still holds.
void SerialPortBackend::StopWorker() {
  SetEvent(stopEvent);
  // Every wait of a stopping worker is bounded, so this one ends.
  HANDLE ended[] = {workerStopped, workerThread};
  WaitForMultipleObjects(2, ended, FALSE, INFINITE);
  SerialIo().closePort(portHandle);
  portHandle = nullptr;
  WaitForSingleObject(workerThread, kThreadEndMs);
  CloseHandle(workerThread);
  workerThread = nullptr;
}

CSerialPort::CSerialPort() : backend_(std::make_unique<SerialPortBackend>(*this)) {}

CSerialPort::~CSerialPort() {
  Close();
}

bool CSerialPort::Open(std::int32_t index, std::int32_t baud, char parityLetter,
                       const char* stopBitsText) {
  if (isOpen) return false;
  SerialPortBackend& io = *backend_;
  if (!io.EventsCreated()) {
    lastFailure = {LinkStep::kWorker, io.setUpError};  // the reason line's error
    return false;
  }
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
  if (!io.StartWorker()) {
    // No worker, no open port: undo as Close would.
    isOpen = false;
    writeQueue.SetEnabled(false);
    CloseHandle(io.portHandle);
    io.portHandle = nullptr;
    FinishClose();
    return false;
  }
  io.timerRaised = timeBeginPeriod(kTimerPeriodMs) == TIMERR_NOERROR;
  lastFailure = {};  // the reason line's error
  return true;
}

bool CSerialPort::Close() {
  if (!isOpen) return false;
  isOpen = false;
  SerialPortBackend& io = *backend_;
  io.StopWorker();
  writeQueue.SetEnabled(false);
  writeQueue.Drain();
  if (io.timerRaised) timeEndPeriod(kTimerPeriodMs);
  io.timerRaised = false;
  FinishClose();
  return true;
}

void CSerialPort::RequestWrite() {
  SetEvent(backend_->writeRequestEvent);
}

}  // namespace zarn
