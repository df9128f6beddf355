#include <PCSC/reader.h>
#include <PCSC/winscard.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "bench/raw_replay.h"
#include "link/frame_codec.h"
#include "link/smart_card_reader.h"

namespace zarn::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAnswerWaitMs = 2000;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

speed_t SpeedConstant(std::uint32_t baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 115200:
      return B115200;
    case 921600:
      return B921600;
    default:
      return B0;
  }
}

int OpenRaw(const std::string& path, std::uint32_t baud) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios line{};
  tcgetattr(fd, &line);
  cfmakeraw(&line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | PARODD);
  line.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&line, SpeedConstant(baud));
  if (tcsetattr(fd, TCSANOW, &line) != 0) {
    close(fd);
    return -1;
  }
  tcflush(fd, TCIOFLUSH);
  return fd;
}

bool WriteAll(int fd, const Bytes& frame) {
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = write(fd, frame.data() + sent, frame.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, kAnswerWaitMs) <= 0) return false;
  }
  return true;
}

// Reads one answer frame; true when it is complete and carries status 0.
bool ReadAnswer(int fd, std::uint64_t& byteCount) {
  Bytes inner;
  bool escape = false;
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, kAnswerWaitMs) <= 0) return false;
    std::uint8_t chunk[256];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    byteCount += static_cast<std::uint64_t>(n);
    for (ssize_t i = 0; i < n; ++i) {
      const std::uint8_t byte = chunk[i];
      if (byte == FRAME_START) {
        inner.clear();
      } else if (byte == FRAME_ESCAPE) {
        escape = true;
      } else if (byte == FRAME_END) {
        // address, sequence, spare byte, status, two check bytes
        return inner.size() == 6 && inner[3] == 0x00;
      } else {
        inner.push_back(escape ? static_cast<std::uint8_t>(~byte) : byte);
        escape = false;
      }
    }
  }
}

}  // namespace

TimedRun ReplaySerial(const std::string& path, std::uint32_t baud,
                      const std::vector<Bytes>& frames) {
  TimedRun run;
  const int fd = OpenRaw(path, baud);
  if (fd < 0) return run;
  const auto start = Clock::now();
  run.ok = true;
  for (const Bytes& frame : frames) {
    const auto blockStart = Clock::now();
    run.ok = WriteAll(fd, frame) && ReadAnswer(fd, run.answerBytes);
    if (!run.ok) break;
    run.blockSeconds.push_back(SecondsSince(blockStart));
  }
  run.seconds = SecondsSince(start);
  close(fd);
  return run;
}

namespace {

// The first reader whose name begins with prefix, or "".
std::string FindReader(SCARDCONTEXT context, const std::string& prefix) {
  char names[4096] = {};
  DWORD length = sizeof names;
  if (SCardListReaders(context, nullptr, names, &length) != SCARD_S_SUCCESS) return {};
  for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) {
    if (std::strncmp(name, prefix.c_str(), prefix.size()) == 0) return name;
  }
  return {};
}

bool ControlLoop(SCARDHANDLE card, const std::vector<Bytes>& requests) {
  for (const Bytes& request : requests) {
    std::uint8_t command[300];
    std::memcpy(command, kEscapeHeader, sizeof kEscapeHeader);
    std::memcpy(command + sizeof kEscapeHeader, request.data(), request.size());
    std::uint8_t answer[kPcscAnswerCapacity];
    DWORD received = 0;
    if (SCardControl(card, SCARD_CTL_CODE(1), command, sizeof kEscapeHeader + request.size(),
                     answer, sizeof answer, &received) != SCARD_S_SUCCESS) {
      return false;
    }
    if (received != 3 || answer[0] != 0x00 || answer[1] != 0x90 || answer[2] != 0x00) {
      return false;
    }
  }
  return true;
}

}  // namespace

TimedRun ReplayPcsc(const std::string& readerPrefix, const std::vector<Bytes>& requests) {
  TimedRun run;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    return run;
  }
  const std::string reader = FindReader(context, readerPrefix);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (!reader.empty() && SCardConnect(context, reader.c_str(), SCARD_SHARE_DIRECT, 0, &card,
                                      &protocol) == SCARD_S_SUCCESS) {
    const auto start = Clock::now();
    run.ok = ControlLoop(card, requests);
    run.seconds = SecondsSince(start);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
  }
  SCardReleaseContext(context);
  return run;
}

}  // namespace zarn::bench
