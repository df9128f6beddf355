// The serial worker on Windows (SerialPortThread): keeps one WaitCommEvent and one ReadFile
// outstanding, writes queued packets one at a time with overlapped WriteFile, and blocks on
// five events: stop, event wait done, read done, write done, write requested.

#include <windows.h>

#include <new>

#include "transport/serial_backend_win32.h"

namespace zarn {

struct SerialWorkerState {
  OVERLAPPED commEventOverlapped{};
  OVERLAPPED readOverlapped{};
  OVERLAPPED writeOverlapped{};
  DWORD commEvents = 0;  // written by the outstanding WaitCommEvent
  std::uint8_t receive[CSerialPort::kReceiveBufferSize] = {};
};

void ReleaseWorkerState(SerialWorkerState* state) {
  delete state;
}

namespace {

constexpr DWORD kAllPurges = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// After an event wait or a read fails at once, the next pass waits this long (the read
// time-out) instead of issuing it again at once: a vanished device fails every call at once,
// and the worker would otherwise spin.
constexpr DWORD kBackOffMs = 10;
// How long Stop waits for a cancelled operation to complete before it leaves the record.
constexpr DWORD kCancelWaitMs = 1000;

enum WaitIndex : DWORD { kStop, kEventWaitDone, kReadDone, kWriteDone, kWriteRequest };

struct PumpTags {
  const char* shortWrite;
  const char* failedWrite;
};
constexpr PumpTags kAfterWriteTags = {"SERN_WRITE2  ToSend = %d, Send = %d\r\n",
                                      "SERN_WRITE3  Err = %u\r\n"};
constexpr PumpTags kAfterRequestTags = {"SERN_WRITE4  ToSend = %d, Send = %d\r\n",
                                        "SERN_WRITE5  Err = %u\r\n"};

void ClearPosition(OVERLAPPED& record) {
  record.Internal = 0;
  record.InternalHigh = 0;
  record.Offset = 0;
  record.OffsetHigh = 0;
}

void ClearErrors(HANDLE port) {
  DWORD errors = 0;
  ClearCommError(port, &errors, nullptr);
}

class SerialWorker {
 public:
  SerialWorker(SerialPortBackend& io, SerialWorkerState& state)
      : io_(io), state_(state), port_(io.portHandle) {}

  void Run() {
    Start();
    for (;;) {
      failedAtOnce_ = false;
      IssueEventWait();
      IssueRead();
      if ((armEventWait_ || armRead_) && !failedAtOnce_) continue;
      const DWORD signalled =
          WaitForMultipleObjects(5, waits_, FALSE, failedAtOnce_ ? kBackOffMs : INFINITE);
      if (signalled == WAIT_OBJECT_0 + kStop) return Stop();
      Serve(signalled);
    }
  }

 private:
  void Start() {
    state_.commEventOverlapped = OVERLAPPED{};
    state_.readOverlapped = OVERLAPPED{};
    state_.writeOverlapped = OVERLAPPED{};
    ResetEvent(io_.commEventDone);
    ResetEvent(io_.readDone);
    ResetEvent(io_.writeDone);
    state_.commEventOverlapped.hEvent = io_.commEventDone;
    state_.readOverlapped.hEvent = io_.readDone;
    state_.writeOverlapped.hEvent = io_.writeDone;
    waits_[kStop] = io_.stopEvent;
    waits_[kEventWaitDone] = io_.commEventDone;
    waits_[kReadDone] = io_.readDone;
    waits_[kWriteDone] = io_.writeDone;
    waits_[kWriteRequest] = io_.writeRequestEvent;
    PurgeComm(port_, kAllPurges);
    ClearErrors(port_);
  }

  void Serve(DWORD signalled) {
    switch (signalled) {
      case WAIT_OBJECT_0 + kEventWaitDone:
        return EventWaitDone();
      case WAIT_OBJECT_0 + kReadDone:
        return ReadDone();
      case WAIT_OBJECT_0 + kWriteDone:
        return WriteDone();
      case WAIT_OBJECT_0 + kWriteRequest:
        return WriteRequested();
      default:
        return;  // a failed or timed-out wait starts the loop over
    }
  }

  // --- Event wait (EV_BREAK, EV_ERR) ---

  void IssueEventWait() {
    if (!armEventWait_) return;
    ClearPosition(state_.commEventOverlapped);
    if (WaitCommEvent(port_, &state_.commEvents, &state_.commEventOverlapped)) {
      ResetEvent(io_.commEventDone);
      ReportEvent(state_.commEvents, "SERN_EVENT  EventMask = 0x%8.8X I\r\n");
      eventFailure_ = 0;
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      armEventWait_ = false;
      return;
    }
    ResetEvent(io_.commEventDone);
    failedAtOnce_ = true;
    if (error != eventFailure_) {
      eventFailure_ = error;
      io_.LogAt(2, "SERN_EVENT  Err = %u  I\r\n", static_cast<unsigned>(error));
      io_.Report(SERN_EVENT, error);
    }
    ClearErrors(port_);
  }

  void ReportEvent(DWORD mask, const char* format) {
    if ((mask & EV_BREAK) != 0) ClearCommBreak(port_);
    io_.LogAt(2, format, static_cast<unsigned>(mask));
    io_.Report(SERN_EVENT, mask);
    ClearErrors(port_);
  }

  void EventWaitDone() {
    DWORD unused = 0;
    if (GetOverlappedResult(port_, &state_.commEventOverlapped, &unused, FALSE)) {
      // The watched mask, not the bits that fired: every completed wait clears a break.
      DWORD mask = 0;
      GetCommMask(port_, &mask);
      ReportEvent(mask, "SERN_EVENT  EventMask = 0x%8.8X\r\n");
      eventFailure_ = 0;
    } else {
      const DWORD error = GetLastError();
      io_.LogAt(2, "SERN_EVENT  Err = %u\r\n", static_cast<unsigned>(error));
      io_.Report(SERN_EVENT, error);
      ClearErrors(port_);
    }
    ResetEvent(io_.commEventDone);
    armEventWait_ = true;
  }

  // --- Read ---

  void IssueRead() {
    if (!armRead_) return;
    ClearPosition(state_.readOverlapped);
    DWORD count = 0;
    if (ReadFile(port_, state_.receive, sizeof state_.receive, &count, &state_.readOverlapped)) {
      ResetEvent(io_.readDone);
      readFailure_ = 0;
      io_.Deliver(state_.receive, static_cast<std::int32_t>(count));
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      armRead_ = false;
      return;
    }
    ResetEvent(io_.readDone);
    failedAtOnce_ = true;
    if (error != readFailure_) {
      readFailure_ = error;
      io_.LogAt(2, "SERN_READ  Err = %u  I\r\n", static_cast<unsigned>(error));
      io_.Report(SERN_READ, error);
    }
    ClearErrors(port_);
  }

  void ReadDone() {
    ResetEvent(io_.readDone);
    DWORD count = 0;
    if (GetOverlappedResult(port_, &state_.readOverlapped, &count, FALSE)) {
      readFailure_ = 0;
      io_.Deliver(state_.receive, static_cast<std::int32_t>(count));
      armRead_ = true;
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) {
      io_.LogAt(1, "Read operation incomplete IOBytes = %d\r\n", static_cast<int>(count));
      return;
    }
    io_.LogAt(2, "SERN_READ  Err = %u IOBytes = %d\r\n", static_cast<unsigned>(error),
              static_cast<int>(count));
    io_.Report(SERN_READ, error);
    ClearErrors(port_);
    armRead_ = true;
  }

  // --- Writes, one packet at a time in queue order ---

  void WriteDone() {
    ResetEvent(io_.writeDone);
    DWORD count = 0;
    const std::uint32_t length = writing_->length;
    if (GetOverlappedResult(port_, &state_.writeOverlapped, &count, TRUE)) {
      if (count != length) ReportShortWrite("SERN_WRITE  ToSend = %d, Send = %d\r\n", count);
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_INCOMPLETE) {
        io_.LogAt(1, "Write operation incomplete  IOBytes = %d\r\n", static_cast<int>(count));
        return;
      }
      io_.LogAt(2, "SERN_WRITE1  Err = %u  IOBytes = %d\r\n", static_cast<unsigned>(error),
                static_cast<int>(count));
      io_.Report(SERN_WRITE, error);
      ClearErrors(port_);
    }
    ReleaseWriting();
    Pump(kAfterWriteTags);
  }

  void WriteRequested() {
    ResetEvent(io_.writeRequestEvent);
    if (writing_ != nullptr) return;  // the completion resumes the pump
    Pump(kAfterRequestTags);
  }

  void Pump(const PumpTags& tags) {
    while ((writing_ = io_.port.writeQueue.TakeFirst()) != nullptr) {
      ClearPosition(state_.writeOverlapped);
      DWORD count = 0;
      if (WriteFile(port_, writing_->Data(), writing_->length, &count, &state_.writeOverlapped)) {
        ResetEvent(io_.writeDone);
        if (count != writing_->length) ReportShortWrite(tags.shortWrite, count);
      } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) return;  // the worker keeps the packet until then
        ResetEvent(io_.writeDone);
        io_.LogAt(2, tags.failedWrite, static_cast<unsigned>(error));
        io_.Report(SERN_WRITE, error);
        ClearErrors(port_);
      }
      ReleaseWriting();
    }
  }

  void ReportShortWrite(const char* format, DWORD count) {
    io_.LogAt(2, format, static_cast<int>(writing_->length), static_cast<int>(count));
    io_.Report(SERN_WRITE, 0);
    ClearErrors(port_);
  }

  void ReleaseWriting() {
    ReleaseWritePacket(writing_);
    writing_ = nullptr;
  }

  // --- Stop ---

  void Stop() {
    CancelIo(port_);
    PurgeComm(port_, kAllPurges);
    // Cancelled operations still own their buffers until they complete.
    if (!armEventWait_) AwaitCancelled(state_.commEventOverlapped);
    if (!armRead_) AwaitCancelled(state_.readOverlapped);
    if (writing_ != nullptr) {
      // A packet the driver might still read is left allocated rather than freed under it.
      if (AwaitCancelled(state_.writeOverlapped)) ReleaseWritePacket(writing_);
      writing_ = nullptr;
    }
  }

  bool AwaitCancelled(OVERLAPPED& record) {
    if (WaitForSingleObject(record.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) return false;
    DWORD count = 0;
    GetOverlappedResult(port_, &record, &count, FALSE);
    return true;
  }

  SerialPortBackend& io_;
  SerialWorkerState& state_;
  HANDLE port_;
  HANDLE waits_[5] = {};
  bool armEventWait_ = true;
  bool armRead_ = true;
  bool failedAtOnce_ = false;
  // The last error each kind reported at once: a lasting failure is reported once.
  DWORD eventFailure_ = 0;
  DWORD readFailure_ = 0;
  SERIAL_WRITE_PACKET* writing_ = nullptr;
};

}  // namespace

void SerialPortBackend::RunWorker() {
  if (worker == nullptr) worker = new (std::nothrow) SerialWorkerState;
  if (worker == nullptr) {
    WaitForSingleObject(stopEvent, INFINITE);  // nothing can be done but wait to be stopped
    return;
  }
  SerialWorker running(*this, *worker);
  running.Run();
}

}  // namespace zarn
