#pragma once
// The PC/SC calls the tool makes, behind one table so that the command exchange can be tested
// against a fake reader. Windows uses winscard, Linux pcsc-lite; the two differ in how the
// reader is named and in the escape control code, and each difference lives in one place here.

#include <cstdint>
#include <string>
#include <vector>

namespace zarn::platform {

using PcscHandle = std::uint64_t;  // SCARDCONTEXT / SCARDHANDLE, 0 = none

struct PcscApi {
  std::uint32_t (*establishContext)(PcscHandle* context);
  // Connects in direct share mode with no preferred protocol.
  std::uint32_t (*connect)(PcscHandle context, const char* readerName, PcscHandle* card,
                           std::uint32_t* activeProtocol);
  std::uint32_t (*control)(PcscHandle card, std::uint32_t controlCode, const std::uint8_t* input,
                           std::uint32_t inputLength, std::uint8_t* output,
                           std::uint32_t outputCapacity, std::uint32_t* outputLength);
  std::uint32_t (*disconnect)(PcscHandle card);  // leaves the card as it is
  std::uint32_t (*releaseContext)(PcscHandle context);
  // The names of the readers the service knows, for the reason line when none matches.
  std::uint32_t (*listReaders)(PcscHandle context, std::vector<std::string>& names);
};

// The system's PC/SC service. On Linux the reader name given to connect is matched as a prefix
// of the listed names ("<name> <interface> <slot>"): the first listed reader that begins with
// the name without its trailing slot number is taken. Windows connects to the name as given and
// falls back on the same rule when the service does not know it (a reader numbered "... 1"
// because another was there first, or pcsc-lite's names under Wine).
const PcscApi& SystemPcsc();

// "Korvanta Smart Card Reader 0" -> "Korvanta Smart Card Reader": the name without its trailing
// number, and the first of names that begins with it (empty when none does).
std::string ReaderFamily(const char* readerName);
std::string FirstReaderOfFamily(const std::vector<std::string>& names, const char* readerName);

// The CCID escape control code: SCARD_CTL_CODE(3500) = 0x3136B0 on Windows, the CCID driver's
// SCARD_CTL_CODE(1) = 0x42000001 under pcsc-lite.
std::uint32_t EscapeControlCode();

// The control error with which the platform's CCID driver refuses escape commands it has not
// been allowed (libccid: SCARD_E_NOT_TRANSACTED; Microsoft's CCID class driver:
// ERROR_INVALID_FUNCTION, which arrives as pcsc-lite's SCARD_E_NOT_TRANSACTED when the Windows
// build runs under Wine), and what the operator can do about it, as one line naming the error.
bool IsEscapeRefusal(std::uint32_t controlError);
std::string EscapeRefusalAdvice(std::uint32_t controlError);

}  // namespace zarn::platform
