#include "app/upgrade.h"

#include <cstring>

#include "app/block_transfer.h"
#include "app/device_requests.h"
#include "app/link_baudrate.h"
#include "app/link_reasons.h"
#include "app/mcu_catalogue.h"
#include "app/restart.h"
#include "app/results.h"
#include "app/upgrade_session.h"
#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace zarn {
namespace {

constexpr std::uint32_t kTrailerLength = 8;
constexpr std::uint8_t kFirstCompatibleRevision = 0x43;  // 'C'
constexpr std::uint32_t kDefaultsWordBit = 0x100000;     // bit 0x10 of version byte 3
constexpr std::uint8_t kDefaultsByte5Bits = 0xC0;
constexpr std::uint32_t kUnsetSerialNumbers[] = {0xFFFFFFFF, 0x7C2FDEED};

// Steps that end the procedure on failure.
#define ZARN_TRY(step)                                           \
  do {                                                           \
    if (const std::uint32_t r = (step); r != kSuccess) return r; \
  } while (false)

std::uint8_t OldVersionByte(int byte) {
  return static_cast<std::uint8_t>(session.oldVersionWord >> (8 * (byte - 1)));
}

std::uint32_t ChooseAndCheckImage() {
  platform::Print("MCU Type  ");
  const char* name = nullptr;
  if (const std::uint32_t result = IdentifyMcu(&name); result != kSuccess) {
    platform::Print("unsupported\n");
    return result;
  }
  const FirmwareImage image = ChooseImage(name);
  platform::Print(McuDisplayFormat(name), name);
  session.image = image.bytes;
  session.imageLength = image.length;
  if ((session.imageLength & 0xFF) != kTrailerLength) {
    platform::Print("  wrong hex\n");
    return kResultWrongHex;
  }
  session.imageLength &= ~0xFFu;  // the body; the trailer lies right behind it
  if (name[0] != '1' && name[0] != 'A' && name[0] != 'G') {
    platform::Print("  incompatible\n");
    return kResultIncompatible;
  }
  const bool tooOld = OldVersionByte(2) < kFirstCompatibleRevision;
  if (tooOld) platform::Print("\nThe update is not compatible with this device");
  platform::Print("\n");
  return tooOld ? kResultOldFirmware : kSuccess;
}

std::uint32_t SwitchIntoLoader() {
  if (session.oldVersionByte6 != 0) {
    ZARN_TRY(SendRequest({0x73, 0x75, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    platform::Print("Prepare ");
    ZARN_TRY(WaitForRestart(AfterPrepare));
    ZARN_TRY(SendRequest({kVersionRequest}));
  }
  return IdentifyMcu();
}

// Character time-out (when given) and the reader's baud rate, then the port reopened at it.
std::uint32_t MoveLinkTo(std::uint32_t baud, std::initializer_list<std::uint8_t> charTimeout,
                         bool toUpgradeRate) {
  if (session.Char_Timeout != 0) ZARN_TRY(SendRequest(charTimeout));
  ZARN_TRY(SetLinkBaudrate(baud));
  CloseInterface();
  if (!OpenSerialLink(baud, 'N', "1")) return SCARD_F_COMM_ERROR;
  NoteLinkMoved(baud, toUpgradeRate);
  return kSuccess;
}

std::uint32_t EnterUpgradeBaudrate() {
  return MoveLinkTo(session.Upgrade_Baudrate, {0x68, 0x10, 0x05, 0x01, session.Char_Timeout}, true);
}

std::uint32_t LeaveUpgradeBaudrate() {
  return MoveLinkTo(session.Operational_Baudrate, {0x68, 0x80, 0x05, 0x01, 0xFF}, false);
}

std::uint32_t LittleEndianWord(const std::uint8_t bytes[4]) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool SerialNumberIsUnset(std::uint32_t serialNumber) {
  for (const std::uint32_t unset : kUnsetSerialNumbers) {
    if (serialNumber == unset) return true;
  }
  return false;
}

// Reads the serial number after the upgrade; writes the old one back when the reader lost it.
std::uint32_t ReadOrRestoreSerialNumber() {
  ZARN_TRY(SendRequest({kSerialNumberRequest}));
  for (std::uint32_t i = 1; i <= 4; ++i)
    session.newSerialNumber[i - 1] = AnswerByte(i);
  const bool changed = std::memcmp(session.newSerialNumber, session.oldSerialNumber, 4) != 0;
  if (changed && !SerialNumberIsUnset(LittleEndianWord(session.oldSerialNumber))) {
    session.serialRestored = true;
    const std::uint8_t* old = session.oldSerialNumber;
    SendRequest({0x73, 0xE7, old[0], old[1], old[2], old[3]});  // its result does not matter
    std::memcpy(session.newSerialNumber, old, 4);
  }
  platform::Print("Serial Number ");
  for (std::uint32_t i = 4; i >= 1; --i)
    platform::Print("%02X ", session.newSerialNumber[i - 1]);
  platform::Print("\n");
  return kSuccess;
}

std::uint32_t ReadNewVersion() {
  ZARN_TRY(SendRequest({kVersionRequest}));
  session.newVersionWord = 0;
  for (std::uint32_t i = 4; i >= 1; --i) {
    session.newVersionWord = (session.newVersionWord << 8) | AnswerByte(i);
  }
  session.newVersionByte5 = AnswerByte(5);
  platform::Print("New Version   ");
  for (std::uint32_t i = 1; i < AnswerLength(); ++i)
    platform::Print("%02X ", AnswerByte(i));
  platform::Print("\n");
  return kSuccess;
}

std::uint32_t FinishAndCheck() {
  const std::uint8_t* trailer = session.image + session.imageLength;
  ZARN_TRY(SendRequest({0x73, 0x77, trailer[0], trailer[1], trailer[2], trailer[3], trailer[4],
                        trailer[5], trailer[6], trailer[7]}));
  platform::Print("Check ");
  ZARN_TRY(WaitForRestart(AfterCheck));
  ZARN_TRY(ReadOrRestoreSerialNumber());
  ZARN_TRY(ReadNewVersion());
  const platform::TimeOfDay now = platform::LocalTimeOfDay();
  platform::Print("%2.2u:%2.2u:%2.2u Zarn Reader is upgraded successfully\n", now.hour, now.minute,
                  now.second);
  return kSuccess;
}

void SetDefaultParameters() {
  const bool wanted = session.serialRestored || (session.oldVersionWord & kDefaultsWordBit) != 0 ||
                      (session.newVersionWord & kDefaultsWordBit) != 0;
  if (!wanted) return;
  const std::uint8_t flag =
      ((session.oldVersionByte5 ^ session.newVersionByte5) & kDefaultsByte5Bits) != 0 ? 1 : 0;
  if (flag != 0) platform::Print("Set Default Parameters\n");
  SendRequest({0x73, 0xFF, flag});  // its result does not change the run's
}

}  // namespace

std::uint32_t RunUpgrade() {
  const bool comPort = session.portNumber != 0;
  ZARN_TRY(ChooseAndCheckImage());
  ZARN_TRY(SwitchIntoLoader());
  if (comPort) ZARN_TRY(EnterUpgradeBaudrate());
  ZARN_TRY(TransferImageBody());
  if (comPort) ZARN_TRY(LeaveUpgradeBaudrate());
  ZARN_TRY(FinishAndCheck());
  SetDefaultParameters();
  return kSuccess;
}

}  // namespace zarn
