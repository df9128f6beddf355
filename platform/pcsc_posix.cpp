#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include <string>
#include <vector>

#include "platform/pcsc.h"

namespace zarn::platform {
namespace {

std::uint32_t Result(LONG code) {
  return static_cast<std::uint32_t>(code);
}

std::uint32_t ListReaders(PcscHandle context, std::vector<std::string>& found) {
  found.clear();
  const auto scardContext = static_cast<SCARDCONTEXT>(context);
  DWORD length = 0;
  LONG rv = SCardListReaders(scardContext, nullptr, nullptr, &length);
  if (rv != SCARD_S_SUCCESS || length == 0) return Result(rv);
  std::vector<char> names(length + 1, '\0');
  rv = SCardListReaders(scardContext, nullptr, names.data(), &length);
  if (rv != SCARD_S_SUCCESS) return Result(rv);
  for (const char* name = names.data(); *name != '\0'; name += std::string(name).size() + 1) {
    found.emplace_back(name);
  }
  return Result(rv);
}

// The first listed reader whose name begins with the friendly name, or an empty text.
std::string FindReader(SCARDCONTEXT context, const char* readerName) {
  std::vector<std::string> names;
  if (ListReaders(static_cast<PcscHandle>(context), names) != SCARD_S_SUCCESS) return {};
  return FirstReaderOfFamily(names, readerName);
}

std::uint32_t Establish(PcscHandle* context) {
  SCARDCONTEXT handle = 0;
  const LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &handle);
  *context = rv == SCARD_S_SUCCESS ? static_cast<PcscHandle>(handle) : 0;
  return Result(rv);
}

std::uint32_t Connect(PcscHandle context, const char* readerName, PcscHandle* card,
                      std::uint32_t* activeProtocol) {
  const auto scardContext = static_cast<SCARDCONTEXT>(context);
  const std::string reader = FindReader(scardContext, readerName);
  if (reader.empty()) return Result(SCARD_E_UNKNOWN_READER);
  SCARDHANDLE handle = 0;
  DWORD protocol = 0;
  const LONG rv =
      SCardConnect(scardContext, reader.c_str(), SCARD_SHARE_DIRECT, 0, &handle, &protocol);
  *card = rv == SCARD_S_SUCCESS ? static_cast<PcscHandle>(handle) : 0;
  *activeProtocol = static_cast<std::uint32_t>(protocol);
  return Result(rv);
}

std::uint32_t Control(PcscHandle card, std::uint32_t controlCode, const std::uint8_t* input,
                      std::uint32_t inputLength, std::uint8_t* output, std::uint32_t outputCapacity,
                      std::uint32_t* outputLength) {
  DWORD returned = 0;
  const LONG rv = SCardControl(static_cast<SCARDHANDLE>(card), controlCode, input, inputLength,
                               output, outputCapacity, &returned);
  // Never report more than the buffer holds, whatever the service claims.
  *outputLength = rv == SCARD_S_SUCCESS && returned <= outputCapacity
                      ? static_cast<std::uint32_t>(returned)
                      : 0;
  return Result(rv);
}

std::uint32_t Disconnect(PcscHandle card) {
  return Result(SCardDisconnect(static_cast<SCARDHANDLE>(card), SCARD_LEAVE_CARD));
}

std::uint32_t Release(PcscHandle context) {
  return Result(SCardReleaseContext(static_cast<SCARDCONTEXT>(context)));
}

const PcscApi systemPcsc{Establish, Connect, Control, Disconnect, Release, ListReaders};

}  // namespace

const PcscApi& SystemPcsc() {
  return systemPcsc;
}

std::uint32_t EscapeControlCode() {
  return static_cast<std::uint32_t>(SCARD_CTL_CODE(1));
}

bool IsEscapeRefusal(std::uint32_t controlError) {
  return controlError == static_cast<std::uint32_t>(SCARD_E_NOT_TRANSACTED);
}

std::string EscapeRefusalAdvice(std::uint32_t) {
  return "the CCID driver refuses escape commands (SCARD_E_NOT_TRANSACTED): ifdDriverOptions "
         "in libccid's Info.plist needs bit 0x0001, then restart pcscd";
}

}  // namespace zarn::platform
