// The serial worker on Windows (SerialPortThread): keeps one WaitCommEvent and one ReadFile
// outstanding, writes queued packets one at a time with overlapped WriteFile, and blocks on
// five events: stop, event wait done, read done, write done, write requested. It copes with
// drivers that differ from Windows' own (Wine's among them): a read that times out is a
// completed read, an aborted event wait is no link condition, and under Wine a read that never
// completes is cancelled and issued again.

#include <windows.h>

#include <algorithm>
#include <new>

#include "transport/serial_backend_win32.h"

namespace zarn {

struct SerialWorkerState {
  SerialWorkerState()
      : commEventDone(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        readDone(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        writeDone(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  SerialWorkerState(const SerialWorkerState&) = delete;
  SerialWorkerState& operator=(const SerialWorkerState&) = delete;
  ~SerialWorkerState() {
    for (HANDLE event : {commEventDone, readDone, writeDone}) {
      if (event != nullptr) CloseHandle(event);
    }
  }
  bool EventsCreated() const {
    return commEventDone != nullptr && readDone != nullptr && writeDone != nullptr;
  }

  HANDLE commEventDone;
  HANDLE readDone;
  HANDLE writeDone;
  OVERLAPPED commEventOverlapped{};
  OVERLAPPED readOverlapped{};
  OVERLAPPED writeOverlapped{};
  DWORD commEvents = 0;  // written by the outstanding WaitCommEvent
  std::uint8_t receive[CSerialPort::kReceiveBufferSize] = {};
  // Every operation issued with this state has completed: another opening may use it.
  bool settled = true;
};

void ReleaseWorkerState(SerialWorkerState* state) {
  // A state with an operation still outstanding is left allocated: the driver may write it.
  if (state != nullptr && state->settled) delete state;
}

namespace {

int __stdcall RealReadFile(void* port, void* buffer, unsigned long length, unsigned long* read,
                           void* overlapped) {
  return ReadFile(port, buffer, length, read, static_cast<OVERLAPPED*>(overlapped));
}

int __stdcall RealWriteFile(void* port, const void* bytes, unsigned long length,
                            unsigned long* written, void* overlapped) {
  return WriteFile(port, bytes, length, written, static_cast<OVERLAPPED*>(overlapped));
}

int __stdcall RealCancelIo(void* port) {
  return CancelIo(port);
}

int __stdcall RealCancelIoEx(void* port, void* overlapped) {
  return CancelIoEx(port, static_cast<OVERLAPPED*>(overlapped));
}

int __stdcall RealClosePort(void* port) {
  return CloseHandle(port);
}

// Wine's ntdll exports wine_get_version; Windows' never does.
bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

SerialIoSeam& SerialIo() {
  static SerialIoSeam calls = {RealReadFile,   RealWriteFile, RealCancelIo,
                               RealCancelIoEx, RealClosePort, RunningUnderWine()};
  return calls;
}

namespace {

constexpr DWORD kAllPurges = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// After an event wait or a read fails at once, the next pass waits this long (the read
// time-out) instead of issuing it again at once: a vanished device fails every call at once,
// and the worker would otherwise spin.
constexpr DWORD kBackOffMs = 10;
// How long Stop waits for a cancelled operation to complete before it leaves the record.
constexpr DWORD kCancelWaitMs = 1000;
// A read outstanding for this many times its total time-out has been lost by the driver: it is
// cancelled, what it holds is delivered, and it is issued again, well within an exchange's
// 1010 ms at the port's 10 ms. Wine does this now and then (about once in two thousand
// exchanges here): the read takes an answer's bytes into the buffer and then never completes
// until it is cancelled. Only where reads land in place (SerialIoSeam) is there anything to
// recover; elsewhere an outstanding read is left to its driver.
constexpr DWORD kLostReadTimeouts = 10;
// After an event wait ends aborted (Wine aborts every one at once), the next is issued no
// sooner than this: the watch goes on without a loop that spins.
constexpr DWORD kAbortedEventWaitPauseMs = 1000;

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
      : io_(io),
        state_(state),
        port_(io.portHandle),
        readsLandInPlace_(SerialIo().readsLandInPlace),
        lostReadMs_(LostReadLimit(io.port.readTotalTimeout)) {}

  void Run() {
    Start();
    for (;;) {
      failedAtOnce_ = false;
      IssueEventWait();
      IssueRead();
      if ((EventWaitDue() || ReadDue()) && !failedAtOnce_) continue;
      const DWORD signalled = WaitForMultipleObjects(5, waits_, FALSE, WaitLimit());
      if (signalled == WAIT_OBJECT_0 + kStop) return Stop();
      Serve(signalled);
    }
  }

 private:
  void Start() {
    state_.commEventOverlapped = OVERLAPPED{};
    state_.readOverlapped = OVERLAPPED{};
    state_.writeOverlapped = OVERLAPPED{};
    ResetEvent(state_.commEventDone);
    ResetEvent(state_.readDone);
    ResetEvent(state_.writeDone);
    state_.commEventOverlapped.hEvent = state_.commEventDone;
    state_.readOverlapped.hEvent = state_.readDone;
    state_.writeOverlapped.hEvent = state_.writeDone;
    waits_[kStop] = io_.stopEvent;
    waits_[kEventWaitDone] = state_.commEventDone;
    waits_[kReadDone] = state_.readDone;
    waits_[kWriteDone] = state_.writeDone;
    waits_[kWriteRequest] = io_.writeRequestEvent;
    PurgeComm(port_, kAllPurges);
    ClearErrors(port_);
  }

  // No guard for a read without a total time-out: it may rightly wait for ever.
  DWORD LostReadLimit(std::uint32_t readTotalTimeout) const {
    if (!readsLandInPlace_ || readTotalTimeout == 0) return INFINITE;
    if (readTotalTimeout >= INFINITE / kLostReadTimeouts) return INFINITE - 1;
    return readTotalTimeout * kLostReadTimeouts;
  }

  // How long the five-way wait may last: the back-off after a failure at once, else until a
  // paused event wait or read is due or an outstanding read counts as lost.
  DWORD WaitLimit() const {
    if (failedAtOnce_) return kBackOffMs;
    DWORD limit = INFINITE;
    const DWORD now = GetTickCount();
    if (armEventWait_ && eventWaitPaused_) limit = Remaining(eventWaitResume_, now);
    if (armRead_ && readPaused_) limit = std::min(limit, Remaining(readResume_, now));
    if (!armRead_ && lostReadMs_ != INFINITE) {
      limit = std::min(limit, Remaining(readIssued_ + lostReadMs_, now));
    }
    return limit;
  }

  static DWORD Remaining(DWORD due, DWORD now) {
    const auto left = static_cast<std::int32_t>(due - now);
    return left > 0 ? static_cast<DWORD>(left) : 0;
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
      case WAIT_TIMEOUT:
        return RecoverLostRead();
      default:
        return;  // a failed wait starts the loop over
    }
  }

  // --- Event wait (EV_BREAK, EV_ERR) ---

  bool EventWaitDue() {
    if (!armEventWait_ || !eventWaitPaused_) return armEventWait_;
    if (Remaining(eventWaitResume_, GetTickCount()) != 0) return false;
    eventWaitPaused_ = false;
    return true;
  }

  void IssueEventWait() {
    if (!EventWaitDue()) return;
    ClearPosition(state_.commEventOverlapped);
    if (WaitCommEvent(port_, &state_.commEvents, &state_.commEventOverlapped)) {
      ResetEvent(state_.commEventDone);
      ReportEvent(state_.commEvents, "SERN_EVENT  EventMask = 0x%8.8X I\r\n");
      eventFailure_ = 0;
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      armEventWait_ = false;
      return;
    }
    ResetEvent(state_.commEventDone);
    if (error == ERROR_OPERATION_ABORTED) return PauseEventWaits();
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
    ResetEvent(state_.commEventDone);
    DWORD unused = 0;
    const BOOL completed = GetOverlappedResult(port_, &state_.commEventOverlapped, &unused, FALSE);
    const DWORD error = completed ? 0 : GetLastError();
    // A signal that was not this wait's completion: the wait stays outstanding.
    if (error == ERROR_IO_INCOMPLETE) return;
    armEventWait_ = true;
    if (completed) {
      // The watched mask, not the bits that fired: every completed wait clears a break.
      DWORD mask = 0;
      GetCommMask(port_, &mask);
      ReportEvent(mask, "SERN_EVENT  EventMask = 0x%8.8X\r\n");
      eventFailure_ = 0;
      return;
    }
    // Aborted is not a state of the line: reported, it would fail the running exchange.
    if (error == ERROR_OPERATION_ABORTED) return PauseEventWaits();
    io_.LogAt(2, "SERN_EVENT  Err = %u\r\n", static_cast<unsigned>(error));
    io_.Report(SERN_EVENT, error);
    ClearErrors(port_);
  }

  void PauseEventWaits() {
    io_.LogAt(2, "SERN_EVENT  aborted, paused\r\n");
    eventWaitPaused_ = true;
    eventWaitResume_ = GetTickCount() + kAbortedEventWaitPauseMs;
  }

  // --- Read ---

  bool ReadDue() {
    if (!armRead_ || !readPaused_) return armRead_;
    if (Remaining(readResume_, GetTickCount()) != 0) return false;
    readPaused_ = false;
    return true;
  }

  void IssueRead() {
    if (!ReadDue()) return;
    ClearPosition(state_.readOverlapped);
    unsigned long count = 0;
    if (SerialIo().readFile(port_, state_.receive, sizeof state_.receive, &count,
                            &state_.readOverlapped)) {
      ResetEvent(state_.readDone);
      readFailure_ = 0;
      DeliverReceived(count);
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      armRead_ = false;
      readIssued_ = GetTickCount();
      return;
    }
    ResetEvent(state_.readDone);
    if (error == ERROR_TIMEOUT) return DeliverEndedRead(count);
    failedAtOnce_ = true;
    if (error != readFailure_) {
      readFailure_ = error;
      io_.LogAt(2, "SERN_READ  Err = %u  I\r\n", static_cast<unsigned>(error));
      io_.Report(SERN_READ, error);
    }
    ClearErrors(port_);
  }

  void ReadDone() {
    ResetEvent(state_.readDone);
    DWORD count = 0;
    if (GetOverlappedResult(port_, &state_.readOverlapped, &count, FALSE)) {
      readFailure_ = 0;
      DeliverReceived(count);
      armRead_ = true;
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) {
      io_.LogAt(1, "Read operation incomplete IOBytes = %d\r\n", static_cast<int>(count));
      return;
    }
    armRead_ = true;
    if (error == ERROR_TIMEOUT) return DeliverEndedRead(count);
    // Under Wine a read the lost-read guard cancelled may complete aborted long after the
    // cancel: it is the worker's own doing, and its bytes are in the buffer. A driver with
    // buffered I/O copied nothing back, so its count means nothing and the abort is reported.
    if (error == ERROR_OPERATION_ABORTED && readsLandInPlace_) return DeliverEndedRead(count);
    // A dead line (Wine: a hung-up pty) fails every read as soon as it is issued: back off as
    // after a read that fails at once, and report a lasting failure once.
    readPaused_ = true;
    readResume_ = GetTickCount() + kBackOffMs;
    if (error == readFailure_) return;
    readFailure_ = error;
    io_.LogAt(2, "SERN_READ  Err = %u IOBytes = %d\r\n", static_cast<unsigned>(error),
              static_cast<int>(count));
    io_.Report(SERN_READ, error);
    ClearErrors(port_);
  }

  // Windows ends a read whose time-out passed with success; Wine ends it with ERROR_TIMEOUT,
  // sometimes with bytes in the buffer. Either way it is a completed read, as is one the
  // lost-read guard cancelled under Wine.
  void DeliverEndedRead(DWORD count) {
    readFailure_ = 0;
    DeliverReceived(count);
  }

  // A driver's count is taken no further than the buffer it was given.
  void DeliverReceived(DWORD count) {
    const DWORD held = std::min<DWORD>(count, sizeof state_.receive);
    io_.Deliver(state_.receive, static_cast<std::int32_t>(held));
  }

  // A read outstanding far beyond its time-out: cancel it, take what it holds, issue anew.
  void RecoverLostRead() {
    if (armRead_ || lostReadMs_ == INFINITE) return;
    if (Remaining(readIssued_ + lostReadMs_, GetTickCount()) != 0) return;
    SerialIo().cancelIoEx(port_, &state_.readOverlapped);
    if (WaitForSingleObject(state_.readDone, kCancelWaitMs) != WAIT_OBJECT_0) {
      // Not even the cancel completed: leave the read outstanding and look again later.
      readIssued_ = GetTickCount();
      return;
    }
    ResetEvent(state_.readDone);
    DWORD count = 0;
    GetOverlappedResult(port_, &state_.readOverlapped, &count, FALSE);
    io_.LogAt(2, "SERN_READ  lost read cancelled IOBytes = %d\r\n", static_cast<int>(count));
    DeliverReceived(count);
    armRead_ = true;
  }

  // --- Writes, one packet at a time in queue order ---

  void WriteDone() {
    ResetEvent(state_.writeDone);
    if (writing_ == nullptr) return;  // no write of this opening is outstanding
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
      unsigned long count = 0;
      if (SerialIo().writeFile(port_, writing_->Data(), writing_->length, &count,
                               &state_.writeOverlapped)) {
        ResetEvent(state_.writeDone);
        if (count != writing_->length) ReportShortWrite(tags.shortWrite, count);
      } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) return;  // the worker keeps the packet until then
        ResetEvent(state_.writeDone);
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
    SerialIo().cancelIo(port_);
    PurgeComm(port_, kAllPurges);
    // Cancelled operations still own their buffers until they complete; one that does not
    // complete in time leaves this state to the driver (see serial_backend_win32.h).
    bool settled = true;
    if (!armEventWait_) settled &= AwaitCancelled(state_.commEventOverlapped);
    if (!armRead_) settled &= AwaitCancelled(state_.readOverlapped);
    if (writing_ != nullptr) {
      // A packet the driver might still read is left allocated rather than freed under it.
      const bool written = AwaitCancelled(state_.writeOverlapped);
      if (written) ReleaseWritePacket(writing_);
      settled &= written;
      writing_ = nullptr;
    }
    state_.settled = settled;
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
  const bool readsLandInPlace_;
  const DWORD lostReadMs_;  // INFINITE: no lost-read guard
  HANDLE waits_[5] = {};
  bool armEventWait_ = true;
  bool armRead_ = true;
  bool failedAtOnce_ = false;
  bool eventWaitPaused_ = false;
  DWORD eventWaitResume_ = 0;  // tick at which a paused event wait is issued again
  bool readPaused_ = false;
  DWORD readResume_ = 0;  // tick at which a paused read is issued again
  DWORD readIssued_ = 0;  // tick at which the outstanding read was issued
  // The last error each kind reported at once: a lasting failure is reported once.
  DWORD eventFailure_ = 0;
  DWORD readFailure_ = 0;
  SERIAL_WRITE_PACKET* writing_ = nullptr;
};

}  // namespace

SerialWorkerState* StateForOpening(SerialWorkerState* last) {
  if (last != nullptr && last->settled) return last;
  // An unsettled state stays allocated on purpose: the driver may still complete into it.
  auto* fresh = new (std::nothrow) SerialWorkerState;
  if (fresh != nullptr && !fresh->EventsCreated()) {
    delete fresh;
    fresh = nullptr;
  }
  return fresh;
}

void SerialPortBackend::RunWorker() {
  SerialWorker running(*this, *worker);
  running.Run();
}

}  // namespace zarn
