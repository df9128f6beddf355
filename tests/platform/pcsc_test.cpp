// The reader-name rule both builds share: pcsc-lite appends interface and slot numbers to the
// friendly name, and Windows may number a second instance "... 1".

#include "platform/pcsc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zarn::platform {
namespace {

TEST(PcscReaderName, TheFirstListedReaderOfTheFamilyIsTaken) {
  struct Case {
    std::vector<std::string> listed;
    std::string taken;
  };
  const Case cases[] = {
      {{"Korvanta Smart Card Reader 00 00"}, "Korvanta Smart Card Reader 00 00"},
      {{"Other Reader 0", "Korvanta Smart Card Reader 1", "Korvanta Smart Card Reader 2"},
       "Korvanta Smart Card Reader 1"},
      {{"Other Reader 0", "Korvanta Smart Card"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FirstReaderOfFamily(c.listed, "Korvanta Smart Card Reader 0"), c.taken);
  }
}

TEST(PcscReaderName, OnlyATrailingNumberAfterASpaceIsDropped) {
  EXPECT_EQ(ReaderFamily("Korvanta Smart Card Reader 0"), "Korvanta Smart Card Reader");
  EXPECT_EQ(ReaderFamily("Korvanta Smart Card Reader 12"), "Korvanta Smart Card Reader");
  EXPECT_EQ(ReaderFamily("Reader2"), "Reader2");
  EXPECT_EQ(ReaderFamily("42"), "42");
}

#ifdef _WIN32
// Windows' own refusal and the one pcsc-lite passes up under Wine both point at the registry
// value that allows escape commands.
TEST(PcscEscapeRefusal, BothRefusalsNameEscapeCommandEnable) {
  for (const std::uint32_t refusal : {std::uint32_t{1}, std::uint32_t{0x80100016}}) {
    EXPECT_TRUE(IsEscapeRefusal(refusal));
    EXPECT_NE(EscapeRefusalAdvice(refusal).find("EscapeCommandEnable to 1"), std::string::npos);
  }
  EXPECT_NE(EscapeRefusalAdvice(1).find("(ERROR_INVALID_FUNCTION)"), std::string::npos);
  EXPECT_NE(EscapeRefusalAdvice(0x80100016).find("(SCARD_E_NOT_TRANSACTED)"), std::string::npos);
  EXPECT_FALSE(IsEscapeRefusal(0x8010001F));
}
#else
TEST(PcscEscapeRefusal, LibccidsRefusalNamesIfdDriverOptions) {
  EXPECT_TRUE(IsEscapeRefusal(0x80100016));
  EXPECT_FALSE(IsEscapeRefusal(1));
  EXPECT_NE(EscapeRefusalAdvice(0x80100016).find("ifdDriverOptions"), std::string::npos);
}
#endif

}  // namespace
}  // namespace zarn::platform
