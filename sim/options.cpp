#include "sim/options.h"

#include <getopt.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace zarn::sim {
namespace {

constexpr const char* kDefaultUsbRoot = "/run/zarn/device-interfaces";
constexpr std::size_t kHelpColumn = 28;

// Parsers of option values; each returns false on a malformed value.
bool ToUnsigned(const std::string& text, std::uint64_t max, std::uint32_t& value, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
  if (*end != '\0' || parsed > max) return false;
  value = static_cast<std::uint32_t>(parsed);
  return true;
}

bool ToNumber(const std::string& text, std::uint32_t& value) {
  return ToUnsigned(text, 0xFFFFFFFFull, value);
}

// Seconds, fractions allowed, up to a day.
bool ToMilliseconds(const std::string& text, std::uint32_t& ms) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(seconds >= 0.0) || seconds > 86400.0) return false;
  ms = static_cast<std::uint32_t>(std::lround(seconds * 1000.0));
  return true;
}

// "N:VALUE" -> N and VALUE.
bool SplitPair(const std::string& text, std::uint32_t& number, std::string& rest) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  rest = text.substr(colon + 1);
  return ToNumber(text.substr(0, colon), number) && number > 0;
}

// Six bytes as twelve hex digits, optionally separated by ',', ':', '-' or spaces.
bool ToVersion(const std::string& text, VersionBytes& version) {
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ':' || c == '-' || c == ' ') continue;
    digits.push_back(c);
  }
  if (digits.size() != 12) return false;
  for (std::size_t i = 0; i < 6; ++i) {
    std::uint32_t byte = 0;
    if (!ToUnsigned(digits.substr(2 * i, 2), 0xFF, byte, 16)) return false;
    version[i] = static_cast<std::uint8_t>(byte);
  }
  return version[5] != 0;  // the application's run-mode byte is never 0
}

bool ToSerial(const std::string& text, std::uint32_t& serial) {
  return ToUnsigned(text, 0xFFFFFFFFull, serial, 16);
}

bool RequestNumber(const std::string& text, std::uint32_t& number) {
  return ToNumber(text, number) && number > 0;
}

bool AddRequest(const std::string& text, std::set<std::uint32_t>& numbers) {
  std::uint32_t number = 0;
  if (!RequestNumber(text, number)) return false;
  numbers.insert(number);
  return true;
}

using Apply = bool (*)(SimConfig& config, const std::string& value);

struct OptionEntry {
  const char* name;
  const char* value;  // nullptr: a switch
  const char* section;
  const char* help;
  Apply apply;
};

constexpr const char* kFronts = "Fronts (at least one)";
constexpr const char* kReader = "The reader";
constexpr const char* kFaults =
    "Fault scenarios (combinable; N counts requests from 1 over all fronts)";
constexpr const char* kOther = "Other";

const OptionEntry kOptions[] = {
    {"--link", "PATH", kFronts,
     "serial front: a pseudo-terminal whose slave is linked at PATH\n"
     "(then ZARN_COM7=PATH zarn-upgrade COM7)",
     [](SimConfig& c, const std::string& v) { return !(c.linkPath = v).empty(); }},
    {"--address", "N", kFronts, "serial: answer only frames for bus address N (0..255; 0 = any)",
     [](SimConfig& c, const std::string& v) {
       std::uint32_t n = 0;
       if (!ToUnsigned(v, 255, n)) return false;
       c.address = static_cast<std::uint8_t>(n);
       return true;
     }},
    {"--pace", nullptr, kFronts,
     "serial: an answer is complete only after the request's and its own\n"
     "line time (10 bits a byte at the current rate) have passed",
     [](SimConfig& c, const std::string&) { return c.pace = true; }},
    {"--pcsc-socket", "PATH", kFronts,
     "PC/SC front: the socket the IFD handler (loaded by pcscd) connects to",
     [](SimConfig& c, const std::string& v) { return !(c.pcscSocket = v).empty(); }},
    {"--refuse-escape", nullptr, kFronts,
     "PC/SC: the driver refuses every escape command, as libccid does\n"
     "unless its ifdDriverOptions allow them",
     [](SimConfig& c, const std::string&) { return c.refuseEscape = true; }},
    {"--usb", nullptr, kFronts,
     "USB driver channel front: a device-interface socket under\n"
     "$ZARN_DEVICE_INTERFACES (default /run/zarn/device-interfaces)",
     [](SimConfig& c, const std::string&) { return c.usb = true; }},
    {"--usb-root", "DIR", kFronts, "USB: the device-interface root directory (implies --usb)",
     [](SimConfig& c, const std::string& v) {
       c.usb = true;
       return !(c.usbRoot = v).empty();
     }},
    {"--usb-name", "NAME", kFronts, "USB: the interface entry's name (default zarn-reader-sim)",
     [](SimConfig& c, const std::string& v) {
       return !v.empty() && v.find('/') == std::string::npos && !(c.usbName = v).empty();
     }},

    {"--mcu", "NAME|ID", kReader,
     "microcontroller: a catalogue name (AT32F403ACGT7, LPC11U68JBD100,\n"
     "LPC2148, GD32F303Cx, ...) or any part id (default AT32F403ACGT7)",
     [](SimConfig& c, const std::string& v) {
       const auto id = McuPartIdByName(v);
       if (id) c.identity.partId = *id;
       return id.has_value();
     }},
    {"--serial", "HEX", kReader,
     "serial number as a 32-bit hex word, as the tool prints it (default\n"
     "12345678); FFFFFFFF or 7C2FDEED give the old serial numbers that are\n"
     "never written back",
     [](SimConfig& c, const std::string& v) { return ToSerial(v, c.identity.serialNumber); }},
    {"--version", "B1,..,B6", kReader,
     "version answer bytes 1..6 in hex (default 05,43,02,01,00,01); byte 6 is\n"
     "the application's run-mode byte (not 0); byte 2 = 42 gives a reader\n"
     "the update is not compatible with",
     [](SimConfig& c, const std::string& v) { return ToVersion(v, c.identity.version); }},
    {"--new-version", "B1,..,B6", kReader,
     "version after a good image check (default: byte 1 incremented)",
     [](SimConfig& c, const std::string& v) {
       VersionBytes version{};
       if (!ToVersion(v, version)) return false;
       c.identity.newVersion = version;
       return true;
     }},
    {"--baud", "RATE", kReader, "operational baud rate (default 9600)",
     [](SimConfig& c, const std::string& v) {
       return ToNumber(v, c.line.operationalBaud) && c.line.operationalBaud > 0;
     }},
    {"--parity", "N|O|E", kReader,
     "the application's parity (default N; a pty cannot tell E from N)",
     [](SimConfig& c, const std::string& v) {
       if (v != "N" && v != "O" && v != "E") return false;
       c.line.parity = v[0];
       return true;
     }},
    {"--stop-bits", "1|2", kReader, "the application's stop bits (default 1)",
     [](SimConfig& c, const std::string& v) {
       if (v != "1" && v != "2") return false;
       c.line.stopBits = static_cast<std::uint8_t>(v[0] - '0');
       return true;
     }},
    {"--restart-time", "SECONDS", kReader, "how long every restart keeps the link away (default 2)",
     [](SimConfig& c, const std::string& v) { return ToMilliseconds(v, c.restart.durationMs); }},

    {"--start-in-loader", nullptr, kFaults, "start in the loader (run-mode byte 0)",
     [](SimConfig& c, const std::string&) { return c.behaviour.startInLoader = true; }},
    {"--drop-answer", "N", kFaults, "execute request N but send no answer",
     [](SimConfig& c, const std::string& v) { return AddRequest(v, c.faults.drop); }},
    {"--corrupt-check", "N", kFaults,
     "corrupt answer N's check (serial: the CRC; PC/SC: status word 6F 00)",
     [](SimConfig& c, const std::string& v) { return AddRequest(v, c.faults.corruptCheck); }},
    {"--wrong-sequence", "N", kFaults, "serial: answer N carries the wrong sequence number",
     [](SimConfig& c, const std::string& v) { return AddRequest(v, c.faults.wrongSequence); }},
    {"--wrong-address", "N", kFaults,
     "serial: answer N carries the wrong bus address (seen only when the\n"
     "tool uses an address other than 0)",
     [](SimConfig& c, const std::string& v) { return AddRequest(v, c.faults.wrongAddress); }},
    {"--late", "N:MS", kFaults, "send answer N MS milliseconds late",
     [](SimConfig& c, const std::string& v) {
       std::uint32_t n = 0;
       std::uint32_t ms = 0;
       std::string rest;
       if (!SplitPair(v, n, rest) || !ToNumber(rest, ms)) return false;
       c.faults.lateMs[n] = ms;
       return true;
     }},
    {"--fail-block", "N[:STATUS]", kFaults,
     "refuse image block N (from 1) with STATUS (hex, default 85)",
     [](SimConfig& c, const std::string& v) {
       std::uint32_t n = 0;
       std::uint32_t status = 0x85;
       const std::size_t colon = v.find(':');
       if (!RequestNumber(v.substr(0, colon), n)) return false;
       if (colon != std::string::npos && !ToUnsigned(v.substr(colon + 1), 0xFF, status, 16)) {
         return false;
       }
       if (status == 0) return false;
       c.behaviour.blockStatus[n] = static_cast<std::uint8_t>(status);
       return true;
     }},
    {"--slow-restart", "N:SECONDS|N:never", kFaults,
     "restart N (from 1) takes SECONDS, or never ends",
     [](SimConfig& c, const std::string& v) {
       std::uint32_t n = 0;
       std::uint32_t ms = 0;
       std::string rest;
       if (!SplitPair(v, n, rest)) return false;
       if (rest == "never") {
         c.restart.byNumber[n] = std::nullopt;
         return true;
       }
       if (!ToMilliseconds(rest, ms)) return false;
       c.restart.byNumber[n] = ms;
       return true;
     }},
    {"--stay-in-loader", nullptr, kFaults,
     "stay in the loader after the trailer, even when the image is good",
     [](SimConfig& c, const std::string&) { return c.behaviour.stayInLoader = true; }},
    {"--new-serial", "HEX", kFaults, "come back from the upgrade with this serial number",
     [](SimConfig& c, const std::string& v) {
       std::uint32_t serial = 0;
       if (!ToSerial(v, serial)) return false;
       c.identity.serialAfterUpgrade = serial;
       return true;
     }},
    {"--mcu-answer-length", "6|8", kFaults,
     "answer the microcontroller request with 6 or 8 bytes instead of 7",
     [](SimConfig& c, const std::string& v) {
       if (v != "6" && v != "8") return false;
       c.behaviour.mcuAnswerLength = static_cast<std::size_t>(v[0] - '0');
       return true;
     }},

    {"--transcript", "FILE", kOther,
     "write every request received and the image-check outcome to FILE",
     [](SimConfig& c, const std::string& v) { return !(c.transcriptPath = v).empty(); }},
};

// getopt_long's value for kOptions[i] is kFirstValue + i, out of the range of short options.
constexpr int kFirstValue = 256;

// The table as getopt_long reads it: the names without their dashes, then --help.
std::vector<option> LongOptions() {
  std::vector<option> options;
  for (const OptionEntry& entry : kOptions) {
    const int index = static_cast<int>(&entry - kOptions);
    options.push_back({entry.name + 2, entry.value != nullptr ? required_argument : no_argument,
                       nullptr, kFirstValue + index});
  }
  options.push_back({"help", no_argument, nullptr, 'h'});
  options.push_back({nullptr, 0, nullptr, 0});
  return options;
}

// The option as the user typed it, without a value given with '='.
std::string Typed(const char* argument) {
  const std::string text = argument;
  return text.substr(0, text.find('='));
}

void ResolveUsbRoot(SimConfig& config) {
  if (!config.usb || !config.usbRoot.empty()) return;
  const char* fromEnvironment = std::getenv("ZARN_DEVICE_INTERFACES");
  config.usbRoot =
      fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : kDefaultUsbRoot;
}

}  // namespace

ParseOutcome ParseCommandLine(int argc, const char* const* argv, SimConfig& config,
                              std::string& error) {
  const std::vector<option> options = LongOptions();
  // '+': stop at the first operand instead of reordering argv; ':': report a missing value
  // apart from an unknown option. optind 0 starts a fresh scan (the tests parse many times).
  optind = 0;
  opterr = 0;
  char* const* arguments = const_cast<char* const*>(argv);
  for (;;) {
    const int found = getopt_long(argc, arguments, "+:h", options.data(), nullptr);
    if (found == -1) break;
    if (found == 'h') return ParseOutcome::kHelp;
    if (found == ':') {
      const OptionEntry& entry = kOptions[optopt - kFirstValue];
      error = std::string(entry.name) + " needs a value (" + entry.value + ")";
      return ParseOutcome::kError;
    }
    if (found == '?') {
      const std::string typed = Typed(argv[optind - 1]);
      error = optopt >= kFirstValue ? typed + " takes no value" : "unknown option " + typed;
      return ParseOutcome::kError;
    }
    const OptionEntry& entry = kOptions[found - kFirstValue];
    const std::string value = optarg != nullptr ? optarg : "";
    if (!entry.apply(config, value)) {
      error = std::string("bad value for ") + entry.name + ": '" + value + "'";
      return ParseOutcome::kError;
    }
  }
  if (optind < argc) {
    error = std::string("unknown option ") + argv[optind];
    return ParseOutcome::kError;
  }
  if (config.linkPath.empty() && config.pcscSocket.empty() && !config.usb) {
    error = "no front chosen: give --link, --pcsc-socket or --usb";
    return ParseOutcome::kError;
  }
  ResolveUsbRoot(config);
  return ParseOutcome::kRun;
}

std::string HelpText() {
  std::string text =
      "Usage: zarn-reader-sim [OPTION]...\n"
      "A simulated Zarn reader behind up to three fronts: a serial line (pseudo-terminal),\n"
      "a PC/SC reader (through pcscd and the simulator's IFD handler) and the reader's own\n"
      "USB driver channel (device-interface socket). One reader: a restart or an upgrade\n"
      "seen on one front is seen on all. Ends cleanly on SIGTERM, SIGINT or SIGHUP.\n";
  const char* section = nullptr;
  for (const OptionEntry& entry : kOptions) {
    if (section != entry.section) {
      section = entry.section;
      text += std::string("\n") + section + ":\n";
    }
    std::string head = std::string("  ") + entry.name;
    if (entry.value != nullptr) head += std::string(" ") + entry.value;
    std::string help = entry.help;
    std::size_t start = 0;
    bool first = true;
    while (start <= help.size()) {
      const std::size_t end = std::min(help.find('\n', start), help.size());
      const std::string line = help.substr(start, end - start);
      std::string lead = first ? head : "";
      if (lead.size() >= kHelpColumn) {  // a long option name gets a line of its own
        text += lead + "\n";
        lead.clear();
      }
      lead.resize(kHelpColumn, ' ');
      text += lead + line + "\n";
      first = false;
      start = end + 1;
    }
  }
  text +=
      "\nValues may also be given as --option=value. Old serial numbers FFFFFFFF and 7C2FDEED:\n"
      "--serial. Version byte 2 = 42: --version 05,42,02,01,00,01. Start with parity O or E and\n"
      "1 or 2 stop bits: --parity, --stop-bits. A restart that never ends: --slow-restart "
      "N:never.\n";
  return text;
}

}  // namespace zarn::sim
