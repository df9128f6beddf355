// The serial worker on POSIX: blocked in poll() on the stop and write-request wake-ups and on
// the device, it hands every received run of bytes on at once and writes queued packets one at
// a time, in order.

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <mutex>

#include "transport/serial_backend_posix.h"

namespace zarn {
namespace {

// How long a hung-up device is left alone before it is tried again: the time a read would
// take on Windows with its 10 ms time-out. A hung-up device makes poll() return at once, so
// without this pause the worker would spin.
constexpr int kBackOffMs = 10;

// The driver's error counters, where it keeps them: a rise means a break, framing, parity or
// overrun error, which the Windows port learns from EV_BREAK and EV_ERR.
class LineErrorCounters {
 public:
  explicit LineErrorCounters(int fd) { available_ = Read(fd, last_); }

  // True when an error count rose since the last call.
  bool Rose(int fd) {
    if (!available_) return false;
    Counters now{};
    if (!Read(fd, now)) return available_ = false;
    const bool rose = now.breaks != last_.breaks || now.errors != last_.errors;
    last_ = now;
    return rose;
  }

 private:
  struct Counters {
    long long breaks = 0;
    long long errors = 0;
  };

  static bool Read([[maybe_unused]] int fd, [[maybe_unused]] Counters& counters) {
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct icount{};
    if (::ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
    counters.breaks = icount.brk;
    counters.errors =
        static_cast<long long>(icount.frame) + icount.parity + icount.overrun + icount.buf_overrun;
    return true;
#else
    return false;
#endif
  }

  bool available_ = false;
  Counters last_;
};

class SerialWorker {
 public:
  explicit SerialWorker(SerialPortBackend& io) : io_(io), counters_(io.fd) {}

  void Run() {
    ::tcflush(io_.fd, TCIOFLUSH);
    {
      std::lock_guard lock(io_.writeLock);
      io_.workerStarted = true;
    }
    for (;;) {
      pollfd waits[3] = {{io_.stopEvent.ReadEnd(), POLLIN, 0},
                         {io_.writeRequestEvent.ReadEnd(), POLLIN, 0},
                         {lineDown_ ? -1 : io_.fd, PortEvents(), 0}};
      const int ready = ::poll(waits, 3, lineDown_ ? kBackOffMs : -1);
      if (ready < 0) {
        if (errno != EINTR) ::poll(nullptr, 0, kBackOffMs);
        continue;
      }
      // The lowest wait wins, as on Windows: a stop request comes before everything else.
      if (waits[0].revents != 0) return Stop();
      const bool retryPort = lineDown_ && ready == 0;
      const short portState = retryPort ? PortEvents() : waits[2].revents;
      if ((portState & (POLLIN | POLLHUP | POLLERR)) != 0) {
        ServeRead((portState & (POLLHUP | POLLERR)) != 0);
      }
      if (pending_ != nullptr && (portState & (POLLOUT | POLLHUP | POLLERR)) != 0) {
        ServeWriteReady();
      }
      if (waits[1].revents != 0) ServeWriteRequest();
    }
  }

 private:
  enum class PumpEntry { kAfterWrite, kAfterRequest };

  short PortEvents() const { return POLLIN | (pending_ != nullptr ? POLLOUT : 0); }

  void Stop() {
    std::lock_guard lock(io_.writeLock);
    io_.workerStarted = false;
    // What CancelIo and PurgeComm do on Windows; no callback is made.
    ::tcflush(io_.fd, TCIOFLUSH);
    ReleasePending();
  }

  // hungUp: poll() reported a hang-up or an error on the device.
  void ServeRead(bool hungUp) {
    const ssize_t count = ::read(io_.fd, receive_, sizeof receive_);
    if (count > 0) {
      lineDown_ = false;
      lastReadError_ = 0;
      io_.Deliver(receive_, static_cast<std::int32_t>(count));
      if (counters_.Rose(io_.fd)) ReportLineErrors();
      return;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      // A device that keeps reporting an error with nothing to read is down as well.
      if (hungUp) return FailRead(EIO);
      lineDown_ = false;
      return;
    }
    // A readable terminal that gives 0 bytes has been hung up (the pty master closed, the
    // adapter unplugged).
    FailRead(count == 0 ? EIO : errno);
  }

  // A lasting condition is reported once, not on every retry.
  void FailRead(int error) {
    lineDown_ = true;
    if (error == lastReadError_) return;
    lastReadError_ = error;
    io_.LogAt(2, "SERN_READ  Err = %u  I\r\n", static_cast<unsigned>(error));
    io_.Report(SERN_READ, static_cast<std::uint32_t>(error));
  }

  void ReportLineErrors() {
    // The watched mask, as the Windows port reports a completed event wait.
    const std::uint32_t mask = io_.port.eventMask;
    io_.LogAt(2, "SERN_EVENT  EventMask = 0x%8.8X\r\n", mask);
    io_.Report(SERN_EVENT, mask);
  }

  void ServeWriteRequest() {
    io_.writeRequestEvent.Reset();
    if (pending_ != nullptr) return;  // the outstanding packet's end resumes the pump
    Pump(PumpEntry::kAfterRequest);
  }

  void ServeWriteReady() {
    int error = 0;
    {
      std::lock_guard lock(io_.writeLock);
      if (!WritePending(error)) return;
    }
    // Reported outside the lock, so that a callback never runs while the producer waits.
    if (error != 0) FailWrite(error, true, PumpEntry::kAfterWrite);
    Pump(PumpEntry::kAfterWrite);
  }

  void Pump(PumpEntry entry) {
    while (pending_ == nullptr) {
      int error = 0;
      {
        std::lock_guard lock(io_.writeLock);
        pending_ = io_.port.writeQueue.TakeFirst();
        if (pending_ == nullptr) return;
        pendingSent_ = 0;
        if (!WritePending(error)) return;
      }
      if (error != 0) FailWrite(error, false, entry);
    }
  }

  // Under writeLock: writes what the device takes of the pending packet. True when the packet
  // is done with (all sent, or failed and dropped: error holds the failure); false while it
  // waits for room, held by the worker.
  bool WritePending(int& error) {
    const std::uint32_t length = pending_->length;
    while (pendingSent_ < length) {
      const ssize_t written =
          ::write(io_.fd, pending_->Data() + pendingSent_, length - pendingSent_);
      if (written > 0) {
        pendingSent_ += static_cast<std::uint32_t>(written);
      } else if (written < 0 && errno == EINTR) {
        continue;
      } else if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        io_.workerHoldsPacket = true;
        return false;
      } else {
        error = errno;
        break;
      }
    }
    ReleasePending();
    return true;
  }

  void FailWrite(int error, bool outstanding, PumpEntry entry) {
    const auto code = static_cast<unsigned>(error);
    if (outstanding) {
      io_.LogAt(2, "SERN_WRITE1  Err = %u  IOBytes = %d\r\n", code, static_cast<int>(pendingSent_));
    } else if (entry == PumpEntry::kAfterWrite) {
      io_.LogAt(2, "SERN_WRITE3  Err = %u\r\n", code);
    } else {
      io_.LogAt(2, "SERN_WRITE5  Err = %u\r\n", code);
    }
    io_.Report(SERN_WRITE, code);
  }

  // Under writeLock.
  void ReleasePending() {
    if (pending_ != nullptr) ReleaseWritePacket(pending_);
    pending_ = nullptr;
    io_.workerHoldsPacket = false;
  }

  SerialPortBackend& io_;
  LineErrorCounters counters_;
  std::uint8_t receive_[CSerialPort::kReceiveBufferSize];
  SERIAL_WRITE_PACKET* pending_ = nullptr;
  std::uint32_t pendingSent_ = 0;
  bool lineDown_ = false;
  int lastReadError_ = 0;
};

}  // namespace

void SerialPortBackend::RunWorker() {
  SerialWorker worker(*this);
  worker.Run();
}

}  // namespace zarn
