#include "app/command_line.h"

#include <cctype>
#include <cstring>

#include "app/link_baudrate.h"
#include "app/results.h"
#include "platform/console.h"

namespace zarn {
namespace {

constexpr const char* kUsage[] = {
    ("Syntax:   Filename.exe COMx [Operational_Baudrate [Address [Upgrade_Baudrate "
     "[Char_Timeout]]]]\n"),
    "          (default Operational_Baudrate = 9600 bod)\n",
    "          (Address from 0 to 255; default 0)\n",
    "          (default Upgrade_Baudrate = Operational_Baudrate)\n",
    "          (Char_Timeout from 4 to 254)\n",
    "Examples: Filename.exe  COM1\n",
    "          Filename.exe  COM14 115200\n",
    "          Filename.exe  COM5 9600 17\n",
    "          Filename.exe  COM6 9600 0 115200 80\n",
};

struct Decimal {
  bool numeric;     // at least one digit after an optional sign
  long long value;  // saturated far beyond any meaningful argument
};

// Reads a decimal number the way atoi does (optional sign, leading digits, the rest ignored),
// without atoi's undefined behaviour on overflow.
Decimal ReadDecimal(const char* text) {
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long long value = 0;
  bool numeric = false;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    numeric = true;
    if (value < 1000000000000LL) value = value * 10 + (*text - '0');
  }
  return {numeric, negative ? -value : value};
}

std::uint8_t LowByte(long long value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

// A baud rate must be a positive number that fits 32 bits: 0 would select the USB link and
// reach the baud divisor.
bool ReadBaudrate(const char* text, std::uint32_t& rate) {
  const Decimal d = ReadDecimal(text);
  if (!d.numeric || d.value <= 0 || d.value > 0xFFFFFFFFLL) return false;
  rate = static_cast<std::uint32_t>(d.value);
  return true;
}

// The reader is switched to the upgrade rate and back to the operational one by a divisor byte:
// a rate it cannot express would strand it at a speed the tool cannot reach.
bool WithinReaderRange(const char* name, std::uint32_t rate) {
  std::uint8_t divisor = 0;
  if (LinkBaudDivisor(rate, divisor)) return true;
  platform::Print("%s %u is out of the reader's range %u..%u\n", name, rate, kLowestLinkBaudrate,
                  kHighestLinkBaudrate);
  return false;
}

std::uint32_t ReadPort(const char* text, UpgradeSession& target) {
  if (std::strncmp(text, "COM", 3) != 0) {
    for (const char* line : kUsage)
      platform::Print("%s", line);
    return kResultUsage;
  }
  const Decimal d = ReadDecimal(text + 3);
  // A negative number names no port either; it must never become a port index.
  target.portNumber = d.value > 0 && d.value <= 0xFFFF ? static_cast<int>(d.value) : 0;
  if (target.portNumber == 0) {
    platform::Print("Port %s can't be opened\n", text);
    return kResultBadPort;
  }
  return 0;
}

}  // namespace

std::uint32_t ParseCommandLine(int argc, const char* const* argv, UpgradeSession& target) {
  std::uint32_t result = 0;
  const auto refuse = [&result](std::uint32_t code) { result = code; };
  if (argc > 1) {
    if (const std::uint32_t r = ReadPort(argv[1], target); r != 0) refuse(r);
  }
  if (argc > 2) {
    if (!ReadBaudrate(argv[2], target.Operational_Baudrate)) {
      platform::Print("Operational_Baudrate is invalid\n");
      refuse(kResultBadBaudrate);
    } else if (!WithinReaderRange("Operational_Baudrate", target.Operational_Baudrate)) {
      refuse(kResultBadLinkBaudrate);
    }
    target.Upgrade_Baudrate = target.Operational_Baudrate;
  }
  if (argc > 3) {
    const Decimal d = ReadDecimal(argv[3]);
    target.busAddress = LowByte(d.value);
    if (!d.numeric) {
      platform::Print("Address is invalid\n");
      refuse(kResultBadAddress);
    }
  }
  if (argc > 4) {
    if (!ReadBaudrate(argv[4], target.Upgrade_Baudrate)) {
      platform::Print("Upgrade_Baudrate is invalid\n");
      refuse(kResultBadBaudrate);
    } else if (!WithinReaderRange("Upgrade_Baudrate", target.Upgrade_Baudrate)) {
      refuse(kResultBadLinkBaudrate);
    }
  }
  if (argc > 5) {
    target.Char_Timeout = LowByte(ReadDecimal(argv[5]).value);
    if (target.Char_Timeout < 4 || target.Char_Timeout > 254) {
      platform::Print("Char_Timeout is invalid\n");
      refuse(kResultBadCharTimeout);
    }
  }
  return result;
}

}  // namespace zarn
