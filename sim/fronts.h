#pragma once
// The three ways into the one simulated reader. Each front owns its OS objects (pty, sockets),
// removes them again when destroyed, and works only inside the event loop's thread.

#include <cstdint>
#include <memory>
#include <string>

#include "sim/event_loop.h"
#include "sim/options.h"
#include "sim/reader.h"
#include "sim/transcript.h"

namespace zarn::sim {

class Front {
 public:
  virtual ~Front() = default;
  // Sends the answers that are due and follows the reader's presence.
  virtual void Update(std::int64_t nowMs) = 0;
  // Adds what the front waits on for the next turn of the loop.
  virtual void Collect(PollSet& set, std::int64_t nowMs) = 0;
  // One line for the start-up report, e.g. "serial: /tmp/zarn-com7 -> /dev/pts/4".
  virtual std::string Describe() const = 0;
};

// Each returns nullptr and an error text when the front cannot be set up.
std::unique_ptr<Front> OpenSerialFront(Reader& reader, Transcript& transcript,
                                       const SimConfig& config, std::string& error);
std::unique_ptr<Front> OpenPcscFront(Reader& reader, Transcript& transcript,
                                     const SimConfig& config, std::string& error);
std::unique_ptr<Front> OpenUsbFront(Reader& reader, Transcript& transcript, const SimConfig& config,
                                    std::string& error);

}  // namespace zarn::sim
