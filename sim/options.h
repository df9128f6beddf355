#pragma once
// The simulator's command line: which fronts to serve, the reader's identity and line settings,
// and the named fault scenarios. Every option lives in one table that also writes --help.

#include <cstdint>
#include <string>

#include "sim/reader.h"
#include "sim/reader_model.h"

namespace zarn::sim {

struct SimConfig {
  ReaderIdentity identity;
  ReaderBehaviour behaviour;
  LineConfig line;
  AnswerFaults faults;
  RestartTiming restart;

  std::string linkPath;      // serial front: where the pty slave is linked
  std::uint8_t address = 0;  // 0 answers frames for any address
  bool pace = false;
  std::string pcscSocket;     // PC/SC front: the socket the IFD handler connects to
  bool refuseEscape = false;  // PC/SC: the driver refuses escape commands, as libccid does
  bool usb = false;           // USB driver channel front
  std::string usbRoot;        // device-interface root; empty: $ZARN_DEVICE_INTERFACES or default
  std::string usbName = "zarn-reader-sim";
  std::string transcriptPath;
};

enum class ParseOutcome { kRun, kHelp, kError };

ParseOutcome ParseCommandLine(int argc, const char* const* argv, SimConfig& config,
                              std::string& error);
std::string HelpText();

}  // namespace zarn::sim
