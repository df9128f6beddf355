// The serial front: a pseudo-terminal whose slave the tool opens as its COM port. The master stays
// open for the simulator's whole life, so the tool may close and reopen the slave at will; the
// reader answers only while the slave's speed, parity and stop bits match its own.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/fronts.h"
#include "sim/pty_line.h"
#include "sim/reply_queue.h"
#include "sim/serial_frames.h"

namespace zarn::sim {
namespace {

// While no one holds the slave open the master reports a hang-up at once on every poll, so the
// front then looks again after this long instead of spinning.
constexpr std::int64_t kClosedSlaveProbeMs = 5;
constexpr unsigned kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

std::int64_t WireTimeUs(std::size_t bytes, std::uint32_t baud) {
  if (baud == 0) return 0;
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes) * kBitsPerByte * 1000000;
  return static_cast<std::int64_t>((bits + baud - 1) / baud);
}

class SerialFront : public Front {
 public:
  SerialFront(Reader& reader, Transcript& transcript, const SimConfig& config)
      : reader_(reader),
        transcript_(transcript),
        linkPath_(config.linkPath),
        address_(config.address),
        pace_(config.pace) {}

  ~SerialFront() override {
    if (linked_) {
      char target[256] = {};
      const ssize_t length = readlink(linkPath_.c_str(), target, sizeof target - 1);
      if (length > 0 && slavePath_ == target) unlink(linkPath_.c_str());
    }
    if (master_ >= 0) close(master_);
  }

  bool Open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
      return false;
    }
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
      error = "cannot name the pseudo-terminal";
      return false;
    }
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    MakeLineRaw();
    return Link(error);
  }

  void Update(std::int64_t nowMs) override {
    if (slaveClosed_) ProbeSlave();
    while (auto due = replies_.PopDue(NowUs()))
      Send(*due, nowMs);
  }

  void Collect(PollSet& set, std::int64_t nowMs) override {
    set.WakeAtUs(replies_.NextDueUs());
    if (slaveClosed_) {
      set.WakeAt(nowMs + kClosedSlaveProbeMs);
      return;
    }
    const short events = output_.empty() ? POLLIN : POLLIN | POLLOUT;
    set.Add(master_, events, [this](short ready) { OnReady(ready); });
  }

  std::string Describe() const override { return "serial: " + linkPath_ + " -> " + slavePath_; }

 private:
  // Until the tool opens the port, the slave must not echo or wait for lines.
  void MakeLineRaw() {
    termios settings{};
    if (tcgetattr(master_, &settings) != 0) return;
    cfmakeraw(&settings);
    cfsetspeed(&settings, B9600);
    tcsetattr(master_, TCSANOW, &settings);
  }

  bool Link(std::string& error) {
    struct stat status {};
    if (lstat(linkPath_.c_str(), &status) == 0) {
      if (!S_ISLNK(status.st_mode)) {
        error = linkPath_ + " exists and is not a symbolic link";
        return false;
      }
      unlink(linkPath_.c_str());  // left behind by an earlier run
    }
    if (symlink(slavePath_.c_str(), linkPath_.c_str()) != 0) {
      error = "cannot link " + linkPath_ + ": " + std::strerror(errno);
      return false;
    }
    linked_ = true;
    return true;
  }

  void ProbeSlave() {
    pollfd probe{master_, POLLIN, 0};
    if (poll(&probe, 1, 0) >= 0 && (probe.revents & POLLHUP) == 0) slaveClosed_ = false;
  }

  void OnReady(short ready) {
    if ((ready & POLLIN) != 0) ReadLine();
    if ((ready & POLLOUT) != 0) FlushOutput();
    if ((ready & (POLLHUP | POLLERR)) != 0) {
      slaveClosed_ = true;
      parser_.Reset();
      output_.clear();  // nobody listens: what was on its way is lost, as on a real line
    }
  }

  void ReadLine() {
    std::uint8_t bytes[4096];
    const ssize_t count = read(master_, bytes, sizeof bytes);
    if (count <= 0) return;
    const std::int64_t nowUs = NowUs();
    const std::int64_t nowMs = nowUs / 1000;
    for (ssize_t i = 0; i < count; ++i) {
      if (!parser_.InFrame()) frameStartUs_ = nowUs;
      switch (parser_.Feed(bytes[i])) {
        case RequestFrameParser::Result::kPending:
          break;
        case RequestFrameParser::Result::kFrame:
          OnFrame(nowMs, nowUs);
          break;
        case RequestFrameParser::Result::kBadCheck:
          transcript_.Line("frame with a bad check ignored");
          break;
        case RequestFrameParser::Result::kMalformed:
          transcript_.Line("malformed frame ignored");
          break;
      }
    }
  }

  void OnFrame(std::int64_t nowMs, std::int64_t nowUs) {
    if (address_ != 0 && parser_.address() != address_) {
      transcript_.Line("frame for address %u ignored", static_cast<unsigned>(parser_.address()));
      return;
    }
    if (!reader_.Present(nowMs)) {
      transcript_.Line("request lost: the reader is restarting");
      return;
    }
    PtyLine line;
    const LineRule& rule = reader_.model().line();
    if (!ReadPtyLine(master_, line) || !rule.Accepts(line.baud, line.oddParity, line.twoStopBits)) {
      transcript_.Line("request garbled: port at %u %c/%d, reader at %s",
                       static_cast<unsigned>(line.baud), line.oddParity ? 'O' : 'N',
                       line.twoStopBits ? 2 : 1, rule.Describe().c_str());
      return;
    }
    auto reply = reader_.Exchange(parser_.payload(), nowMs);
    if (!reply) return;
    const std::uint8_t address = address_ != 0 ? address_ : parser_.address();
    PendingReply pending;
    pending.message = EncodeAnswerFrame(
        address, parser_.sequence(), reply->answer.bytes,
        AnswerFrameFaults{reply->corruptCheck, reply->wrongSequence, reply->wrongAddress});
    // Paced, the answer is due when its last byte would have crossed the line after the
    // request's first: the whole exchange takes its wire time at the port's speed.
    pending.dueUs =
        pace_ ? frameStartUs_ + WireTimeUs(parser_.wireLength() + pending.message.size(), line.baud)
              : nowUs;
    pending.dueUs += reply->delayMs * 1000;
    pending.reply = std::move(*reply);
    replies_.Push(std::move(pending));
  }

  void Send(const PendingReply& due, std::int64_t nowMs) {
    if (!due.reply.drop) {
      if (slaveClosed_) {
        transcript_.Line("answer %u lost: the port is closed",
                         static_cast<unsigned>(due.reply.number));
      } else {
        output_.insert(output_.end(), due.message.begin(), due.message.end());
        FlushOutput();
      }
    }
    reader_.Deliver(due.reply, nowMs);
  }

  void FlushOutput() {
    while (!output_.empty()) {
      const ssize_t written = write(master_, output_.data(), output_.size());
      if (written <= 0) return;  // full for now: POLLOUT brings us back
      output_.erase(output_.begin(), output_.begin() + written);
    }
  }

  Reader& reader_;
  Transcript& transcript_;
  std::string linkPath_;
  std::uint8_t address_;
  bool pace_;
  int master_ = -1;
  std::string slavePath_;
  bool linked_ = false;
  bool slaveClosed_ = true;
  RequestFrameParser parser_;
  std::int64_t frameStartUs_ = 0;
  ReplyQueue replies_;
  std::vector<std::uint8_t> output_;
};

}  // namespace

std::unique_ptr<Front> OpenSerialFront(Reader& reader, Transcript& transcript,
                                       const SimConfig& config, std::string& error) {
  auto front = std::make_unique<SerialFront>(reader, transcript, config);
  if (!front->Open(error)) return nullptr;
  return front;
}

}  // namespace zarn::sim
