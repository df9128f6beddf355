#include "tests/support/fake_pcsc.h"

#include <algorithm>

#include "link/smart_card_reader.h"

namespace zarn::test {
namespace {

FakePcsc* active = nullptr;
constexpr std::uint32_t kNoReader = 0x8010000C;  // SCARD_E_NO_SMARTCARD-like refusal

std::uint32_t Establish(platform::PcscHandle* context) {
  *context = active->establishResult == 0 ? 0x1111 : 0;
  return active->establishResult;
}

std::uint32_t Connect(platform::PcscHandle, const char* name, platform::PcscHandle* card,
                      std::uint32_t* protocol) {
  active->connectedNames.push_back(name);
  *protocol = 0;
  if (active->connectFailuresLeft > 0) {
    --active->connectFailuresLeft;
    *card = 0;
    return kNoReader;
  }
  *card = active->connectResult == 0 ? 0x2222 : 0;
  return active->connectResult;
}

std::uint32_t Control(platform::PcscHandle, std::uint32_t code, const std::uint8_t* input,
                      std::uint32_t inputLength, std::uint8_t* output, std::uint32_t capacity,
                      std::uint32_t* outputLength) {
  active->requests.emplace_back(input, input + inputLength);
  active->controlCodes.push_back(code);
  active->outputCapacities.push_back(capacity);
  *outputLength = 0;
  if (active->controlResult != 0) return active->controlResult;
  const Bytes answer = active->answer(active->requests.back());
  const std::size_t n = std::min<std::size_t>(answer.size(), capacity);
  std::copy_n(answer.begin(), n, output);
  *outputLength = static_cast<std::uint32_t>(n);
  return 0;
}

std::uint32_t Disconnect(platform::PcscHandle) {
  ++active->disconnects;
  return 0;
}

std::uint32_t Release(platform::PcscHandle) {
  ++active->releases;
  return 0;
}

std::uint32_t ListReaders(platform::PcscHandle, std::vector<std::string>& names) {
  names = active->readers;
  return 0;
}

}  // namespace

const platform::PcscApi FakePcsc::api{Establish,  Connect, Control,
                                      Disconnect, Release, ListReaders};

FakePcsc::FakePcsc() {
  active = this;
  UsePcscApi(&api);
}

FakePcsc::~FakePcsc() {
  UsePcscApi(nullptr);
  active = nullptr;
}

Bytes WithStatusWord(Bytes answer) {
  answer.push_back(0x90);
  answer.push_back(0x00);
  return answer;
}

}  // namespace zarn::test

#include "link/command_exchange.h"

namespace zarn::test {

void ResetLinkState() {
  commandBlock = CommandBlock{};
  transferEngine = nullptr;
  smartCardPathActive = false;
  smartCardReader.context = 0;
  smartCardReader.card = 0;
  std::fill(std::begin(smartCardReader.readerName), std::end(smartCardReader.readerName), '\0');
  smartCardReader.activeProtocol = 0;
  smartCardReader.connected = 0;
  smartCardReader.pcscLogEnabled = 0;
}

}  // namespace zarn::test
