// CSerialPort on a POSIX terminal device: exclusive open, line set-up, and one worker thread
// per opening that reads, and writes whatever the producer could not write at once, until Close.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/com_name.h"
#include "transport/serial_backend_posix.h"

namespace zarn {

WakePipe::WakePipe() {
  int ends[2];
  if (::pipe(ends) != 0) return;
  for (const int end : ends) {
    ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  readEnd_ = ends[0];
  writeEnd_ = ends[1];
}

WakePipe::~WakePipe() {
  if (readEnd_ >= 0) ::close(readEnd_);
  if (writeEnd_ >= 0) ::close(writeEnd_);
}

// A full pipe is already readable, so a write that finds it full loses nothing.
void WakePipe::Set() {
  const char signal = 1;
  ssize_t written;
  do {
    written = ::write(writeEnd_, &signal, 1);
  } while (written < 0 && errno == EINTR);
}

void WakePipe::Reset() {
  char sink[64];
  while (::read(readEnd_, sink, sizeof sink) > 0) {
  }
}

namespace {

// Opens the device for exclusive use: TIOCEXCL keeps other openers out (all but root), the
// advisory lock keeps out every other instance of this tool, root included.
// On failure errno tells why; a lock held by another instance counts as a busy device.
int OpenExclusive(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// The errno of a failed step; a check that failed without a system call failing is reported as
// settings the device does not take.
std::uint32_t FailedStepError() {
  return static_cast<std::uint32_t>(errno != 0 ? errno : EINVAL);
}

void CloseDevice(int fd) {
  ::ioctl(fd, TIOCNXCL);
  ::close(fd);
}

}  // namespace

CSerialPort::CSerialPort() : backend_(std::make_unique<SerialPortBackend>(*this)) {}

CSerialPort::~CSerialPort() {
  Close();
}

bool CSerialPort::Open(std::int32_t index, std::int32_t baud, char parityLetter,
                       const char* stopBitsText) {
  if (isOpen) return false;
  SerialPortBackend& io = *backend_;
  PrepareOpen(index, baud, parityLetter, stopBitsText);
  io.stopEvent.Reset();
  io.writeRequestEvent.Reset();
  if (!io.stopEvent.Valid() || !io.writeRequestEvent.Valid()) {
    lastFailure = {LinkStep::kWorker, static_cast<std::uint32_t>(EMFILE)};
    return false;
  }
  if (baud <= 0) {
    lastFailure = {LinkStep::kSetUp, static_cast<std::uint32_t>(EINVAL)};
    return false;
  }

  const int fd = OpenExclusive(platform::ComDeviceName(index + 1));
  if (fd < 0) {
    lastFailure = {LinkStep::kOpen, static_cast<std::uint32_t>(errno)};
    return false;
  }
  errno = 0;
  if (!ConfigureLine(fd, static_cast<std::uint32_t>(baud), parity, stopBits)) {
    lastFailure = {LinkStep::kSetUp, FailedStepError()};
    CloseDevice(fd);
    return false;
  }
  ::tcflush(fd, TCIOFLUSH);
  io.fd = fd;

  FinishOpen();
  try {
    io.workerThread = std::thread([&io] { io.RunWorker(); });
  } catch (const std::system_error& error) {
    lastFailure = {LinkStep::kWorker, static_cast<std::uint32_t>(error.code().value())};
    // No worker, no open port: undo as Close would.
    isOpen = false;
    writeQueue.SetEnabled(false);
    CloseDevice(fd);
    io.fd = -1;
    FinishClose();
    return false;
  }
  lastFailure = {};
  return true;
}

bool CSerialPort::Close() {
  if (!isOpen) return false;
  isOpen = false;
  SerialPortBackend& io = *backend_;
  if (io.workerThread.joinable()) {
    io.stopEvent.Set();
    io.workerThread.join();
  }
  writeQueue.SetEnabled(false);
  writeQueue.Drain();
  CloseDevice(io.fd);
  io.fd = -1;
  FinishClose();
  return true;
}

void CSerialPort::RequestWrite() {
  if (isOpen && backend_->WriteThrough()) return;
  backend_->writeRequestEvent.Set();
}

}  // namespace zarn
