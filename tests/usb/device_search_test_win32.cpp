// The Windows device search against a scripted SetupAPI: positions, the end of the list,
// skipped positions, detail records that cannot hold a path, paths that do not fit devicePath,
// none of which the tests' driver under Wine (tests/usb/driver) presents. The "devices" are
// temporary files, which open like device paths.

#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "transport/usb_channel.h"
#include "transport/usb_setupapi.h"

namespace zarn {
namespace {

struct FakeInterface {
  std::string path;
  DWORD enumError = 0;             // the enumeration fails at this position
  DWORD detailError = 0;           // the fetch of the detail record fails
  std::uint32_t reportedSize = 0;  // the size query's answer; 0 = the record's true size
};

struct FakeSetupApi {
  bool setAvailable = true;
  std::vector<FakeInterface> interfaces;
  std::vector<std::uint32_t> enumerated;
  std::vector<DWORD> cbSizes;  // what the search entered in each record it fetched
  int destroyed = 0;
};

FakeSetupApi* fake = nullptr;
void* const kSet = reinterpret_cast<void*>(0x5E7);

void* GetClassDevs() {
  return fake->setAvailable ? kSet : INVALID_HANDLE_VALUE;
}

bool EnumInterface(void* set, std::uint32_t position, void* interfaceData) {
  fake->enumerated.push_back(position);
  DWORD error = 0;
  if (set != kSet) {
    error = ERROR_INVALID_HANDLE;
  } else if (position >= fake->interfaces.size()) {
    error = ERROR_NO_MORE_ITEMS;
  } else {
    error = fake->interfaces[position].enumError;
  }
  static_cast<SP_DEVICE_INTERFACE_DATA*>(interfaceData)->Reserved = position;
  SetLastError(error);
  return error == 0;
}

bool GetInterfaceDetail(void*, void* interfaceData, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
  const auto position = static_cast<SP_DEVICE_INTERFACE_DATA*>(interfaceData)->Reserved;
  const FakeInterface& entry = fake->interfaces[position];
  const std::uint32_t trueSize = static_cast<std::uint32_t>(
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = entry.reportedSize ? entry.reportedSize : trueSize;
  auto* record = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail);
  if (record != nullptr) fake->cbSizes.push_back(record->cbSize);
  DWORD error = entry.detailError;
  if (record == nullptr || detailSize < trueSize) {
    error = ERROR_INSUFFICIENT_BUFFER;
  } else if (record->cbSize != sizeof *record) {
    error = ERROR_INVALID_USER_BUFFER;
  }
  if (error == 0) std::memcpy(record->DevicePath, entry.path.c_str(), entry.path.size() + 1);
  SetLastError(error);
  return error == 0;
}

void DestroyList(void* set) {
  EXPECT_EQ(set, kSet);
  ++fake->destroyed;
}

const SetupApiCalls kFakeCalls{GetClassDevs, EnumInterface, GetInterfaceDetail, DestroyList};

std::string TemporaryFile(const char* name) {
  char directory[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, directory);
  const std::string path = std::string(directory) + name;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(file);
  return path;
}

class DeviceSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &setupApi;
    UseSetupApiCalls(&kFakeCalls);
    channel.ioTimeout = 200;  // a file answers no I/O control; nothing waits long for one
  }
  void TearDown() override {
    channel.Close();
    UseSetupApiCalls(nullptr);
    fake = nullptr;
    DeleteFileA(first.c_str());
    DeleteFileA(second.c_str());
  }

  FakeSetupApi setupApi;
  CIOUSB channel;
  const std::string first = TemporaryFile("zarn-usb-first.dev");
  const std::string second = TemporaryFile("zarn-usb-second.dev");
};

TEST_F(DeviceSearchTest, NoInterfaceEndsTheSearchAtTheFirstPosition) {
  std::strcpy(channel.devicePath, "untouched");
  EXPECT_FALSE(channel.Open(0));
  EXPECT_STREQ(channel.devicePath, "untouched");
  EXPECT_EQ(setupApi.enumerated, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(setupApi.destroyed, 1);
}

TEST_F(DeviceSearchTest, WithoutAnInterfaceSetEveryPositionIsSkipped) {
  setupApi.setAvailable = false;
  EXPECT_FALSE(channel.Open(0));
  EXPECT_EQ(setupApi.enumerated.size(), 256u);
  EXPECT_EQ(setupApi.destroyed, 0);
}

TEST_F(DeviceSearchTest, SkippedPositionsStillCountAndOnlyTheRequestedOneStaysOpen) {
  setupApi.interfaces = {
      {first, ERROR_GEN_FAILURE},             // 0: cannot be enumerated
      {first},                                // 1
      {first, 0, 0, 4},                       // 2: record smaller than its fixed part
      {std::string(300, 'x')},                // 3: path too long for devicePath
      {first, 0, ERROR_GEN_FAILURE},          // 4: record cannot be fetched
      {"C:\\nonexistent\\zarn\\reader.dev"},  // 5: cannot be opened
      {second},                               // 6
  };
  const struct {
    std::int32_t index;
    bool opens;
  } cases[] = {{0, false}, {1, true}, {2, false}, {3, false}, {4, false}, {5, false}, {6, true}};
  for (const auto& search : cases) {
    SCOPED_TRACE(search.index);
    setupApi.enumerated.clear();
    EXPECT_EQ(channel.Open(search.index), search.opens);
    EXPECT_EQ(channel.IsOpen(), search.opens);
    // A search that finds its device stops there; any other visits every position up to
    // the end of the list (7), so that devicePath holds the last path it tried.
    EXPECT_EQ(channel.devicePath, search.index == 1 && search.opens ? first : second);
    EXPECT_EQ(setupApi.enumerated.size(), search.opens ? search.index + 1u : 8u);
  }
  for (const DWORD cbSize : setupApi.cbSizes) {
    EXPECT_EQ(cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  }
}

TEST_F(DeviceSearchTest, CloseReportsWhetherADeviceWasOpen) {
  setupApi.interfaces = {{first}};
  ASSERT_TRUE(channel.Open(0));
  EXPECT_TRUE(channel.Close());
  EXPECT_FALSE(channel.Close());
  // The handle is gone: the file can be opened without sharing again.
  HANDLE file = CreateFileA(first.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
}

}  // namespace
}  // namespace zarn
