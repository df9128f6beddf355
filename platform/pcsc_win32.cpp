#include <windows.h>
#include <winscard.h>

#include <string>
#include <vector>

#include "platform/pcsc.h"

namespace zarn::platform {
namespace {

std::uint32_t Result(LONG code) {
  return static_cast<std::uint32_t>(code);
}

std::uint32_t Establish(PcscHandle* context) {
  SCARDCONTEXT handle = 0;
  const LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &handle);
  *context = rv == SCARD_S_SUCCESS ? static_cast<PcscHandle>(handle) : 0;
  return Result(rv);
}

std::uint32_t ListReaders(PcscHandle context, std::vector<std::string>& found);

LONG ConnectTo(PcscHandle context, const char* readerName, PcscHandle* card,
               std::uint32_t* activeProtocol) {
  SCARDHANDLE handle = 0;
  DWORD protocol = 0;
  const LONG rv = SCardConnectA(static_cast<SCARDCONTEXT>(context), readerName, SCARD_SHARE_DIRECT,
                                0, &handle, &protocol);
  *card = rv == SCARD_S_SUCCESS ? static_cast<PcscHandle>(handle) : 0;
  *activeProtocol = static_cast<std::uint32_t>(protocol);
  return rv;
}

// The name as given first; when the service does not know it, the first listed reader of the
// same family, as the Linux build always does.
std::uint32_t Connect(PcscHandle context, const char* readerName, PcscHandle* card,
                      std::uint32_t* activeProtocol) {
  const LONG rv = ConnectTo(context, readerName, card, activeProtocol);
  if (rv != SCARD_E_UNKNOWN_READER) return Result(rv);
  std::vector<std::string> names;
  if (ListReaders(context, names) != SCARD_S_SUCCESS) return Result(rv);
  const std::string reader = FirstReaderOfFamily(names, readerName);
  if (reader.empty()) return Result(rv);
  return Result(ConnectTo(context, reader.c_str(), card, activeProtocol));
}

std::uint32_t Control(PcscHandle card, std::uint32_t controlCode, const std::uint8_t* input,
                      std::uint32_t inputLength, std::uint8_t* output, std::uint32_t outputCapacity,
                      std::uint32_t* outputLength) {
  DWORD returned = 0;
  const LONG rv = SCardControl(static_cast<SCARDHANDLE>(card), controlCode, input, inputLength,
                               output, outputCapacity, &returned);
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

std::uint32_t ListReaders(PcscHandle context, std::vector<std::string>& found) {
  found.clear();
  DWORD length = 0;
  LONG rv = SCardListReadersA(static_cast<SCARDCONTEXT>(context), nullptr, nullptr, &length);
  if (rv != SCARD_S_SUCCESS || length == 0) return Result(rv);
  std::vector<char> names(length + 1, '\0');
  rv = SCardListReadersA(static_cast<SCARDCONTEXT>(context), nullptr, names.data(), &length);
  if (rv != SCARD_S_SUCCESS) return Result(rv);
  for (const char* name = names.data(); *name != '\0'; name += std::string(name).size() + 1) {
    found.emplace_back(name);
  }
  return Result(rv);
}

const PcscApi systemPcsc{Establish, Connect, Control, Disconnect, Release, ListReaders};

}  // namespace

const PcscApi& SystemPcsc() {
  return systemPcsc;
}

std::uint32_t EscapeControlCode() {
  return 0x3136B0;
}  // SCARD_CTL_CODE(3500)

// Microsoft's CCID class driver refuses with ERROR_INVALID_FUNCTION; under Wine the refusal of
// the driver behind pcsc-lite arrives as SCARD_E_NOT_TRANSACTED.
bool IsEscapeRefusal(std::uint32_t controlError) {
  return controlError == ERROR_INVALID_FUNCTION ||
         controlError == static_cast<std::uint32_t>(SCARD_E_NOT_TRANSACTED);
}

std::string EscapeRefusalAdvice(std::uint32_t controlError) {
  const char* error =
      controlError == ERROR_INVALID_FUNCTION ? "ERROR_INVALID_FUNCTION" : "SCARD_E_NOT_TRANSACTED";
  return std::string("the CCID driver refuses escape commands (") + error +
         "): set the DWORD value EscapeCommandEnable to 1 under "
         "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_C251&PID_130D\\<instance>\\"
         "Device Parameters, then unplug and replug the reader";
}

}  // namespace zarn::platform
