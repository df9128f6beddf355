#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "sim/crc.h"
#include "sim/reader.h"
#include "sim/reader_model.h"

namespace zarn::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Block(std::uint8_t seed) {
  Bytes block{0x73, 0x33};
  for (int i = 0; i < 256; ++i)
    block.push_back(static_cast<std::uint8_t>(seed * 31 + i * 7));
  return block;
}

// The trailer request for a body: CRC-32 of the body, then its length, both little-endian.
Bytes TrailerRequest(const Bytes& body, std::uint32_t length) {
  const std::uint32_t crc = Crc32(body);
  Bytes request{0x73, 0x77};
  for (std::uint32_t value : {crc, length}) {
    for (int shift = 0; shift < 32; shift += 8)
      request.push_back(static_cast<std::uint8_t>(value >> shift));
  }
  return request;
}

Bytes BodyOf(const std::vector<Bytes>& blocks) {
  Bytes body;
  for (const Bytes& block : blocks)
    body.insert(body.end(), block.begin() + 2, block.end());
  return body;
}

class ReaderModelTest : public ::testing::Test {
 protected:
  ReaderModel Make() { return ReaderModel(identity, behaviour, line, transcript); }

  Transcript transcript;  // closed: the lines are dropped
  ReaderIdentity identity;
  ReaderBehaviour behaviour;
  LineConfig line;
};

struct CommandCase {
  const char* name;
  RunMode mode;
  Bytes request;
  Bytes answer;
  AfterAnswer after = AfterAnswer::kNothing;
};

Bytes WithPrefix(Bytes prefix, std::size_t length, std::uint8_t fill) {
  prefix.resize(length, fill);
  return prefix;
}

TEST_F(ReaderModelTest, AnswersTheCommandSet) {
  const RunMode app = RunMode::kApplication;
  const RunMode loader = RunMode::kLoader;
  const CommandCase cases[] = {
      {"version", app, {0x64}, {0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x01}},
      {"version in the loader", loader, {0x64}, {0x00, 0x05, 0x43, 0x02, 0x01, 0x00, 0x00}},
      {"serial number", app, {0x22}, {0x00, 0x78, 0x56, 0x34, 0x12}},
      {"identify mcu", app, {0x73, 0x11, 0x36}, {0x00, 0x00, 0x00, 0x46, 0x03, 0x05, 0x70}},
      {"identify mcu in the loader",
       loader,
       {0x73, 0x11, 0x36},
       {0x00, 0x00, 0x00, 0x46, 0x03, 0x05, 0x70}},
      {"identify mcu, wrong third byte", app, {0x73, 0x11, 0x37}, {kStatusBadParameter}},
      {"loader request",
       app,
       WithPrefix({0x73, 0x75}, 10, 0xFF),
       {0x00},
       AfterAnswer::kRestartIntoLoader},
      {"loader request, not all FF",
       app,
       WithPrefix({0x73, 0x75}, 10, 0xFE),
       {kStatusBadParameter}},
      {"char time-out before", loader, {0x68, 0x10, 0x05, 0x01, 80}, {0x00}},
      {"char time-out after", loader, {0x68, 0x80, 0x05, 0x01, 0xFF}, {0x00}},
      {"char time-out, other bytes", loader, {0x68, 0x11, 0x05, 0x01, 80}, {kStatusBadParameter}},
      {"baud rate", loader, {0x0F, 13}, {0x00}, AfterAnswer::kChangeSpeed},
      {"block in the application", app, Block(1), {kStatusWrongMode}},
      {"block in the loader", loader, Block(1), {0x00}},
      {"trailer in the application", app, WithPrefix({0x73, 0x77}, 10, 0), {kStatusWrongMode}},
      {"trailer without blocks", loader, WithPrefix({0x73, 0x77}, 10, 0), {0x00}},
      {"write serial number", app, {0x73, 0xE7, 1, 2, 3, 4}, {0x00}},
      {"default parameters", app, {0x73, 0xFF, 0x01}, {0x00}},
      {"default parameters, bad flag", app, {0x73, 0xFF, 0x02}, {kStatusBadParameter}},
      {"unknown command", app, {0x99}, {kStatusUnknownCommand}},
      {"unknown 's' command", app, {0x73, 0x00}, {kStatusUnknownCommand}},
      {"empty request", app, {}, {kStatusUnknownCommand}},
      {"version with a stray byte", app, {0x64, 0x00}, {kStatusBadLength}},
      {"short block", loader, WithPrefix({0x73, 0x33}, 257, 0), {kStatusBadLength}},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    behaviour.startInLoader = c.mode == RunMode::kLoader;
    ReaderModel model = Make();
    const Answer answer = model.Execute(c.request);
    EXPECT_EQ(answer.bytes, c.answer);
    EXPECT_EQ(answer.after, c.after);
  }
}

TEST_F(ReaderModelTest, BaudCommandCarriesItsDivisorAndWrittenSerialNumberSticks) {
  ReaderModel model = Make();
  EXPECT_EQ(model.Execute(Bytes{0x0F, 156}).divisor, 156);
  model.Execute(Bytes{0x73, 0xE7, 0xED, 0xDE, 0x2F, 0x7C});
  EXPECT_EQ(model.Execute(Bytes{0x22}).bytes, (Bytes{0x00, 0xED, 0xDE, 0x2F, 0x7C}));
}

TEST_F(ReaderModelTest, GoodImageRestartsIntoTheApplicationWithItsNewVersion) {
  line = LineConfig{19200, 'O', 2};
  behaviour.startInLoader = true;
  ReaderModel model = Make();
  const std::vector<Bytes> blocks = {Block(1), Block(2), Block(3)};
  for (const Bytes& block : blocks)
    ASSERT_EQ(model.Execute(block).bytes, Bytes{0x00});
  const Answer answer = model.Execute(TrailerRequest(BodyOf(blocks), 768));
  EXPECT_EQ(answer.bytes, Bytes{0x00});
  ASSERT_EQ(answer.after, AfterAnswer::kRestartIntoApplication);

  model.CompleteRestart(RunMode::kApplication);
  EXPECT_EQ(model.mode(), RunMode::kApplication);
  EXPECT_EQ(model.Execute(Bytes{0x64}).bytes, (Bytes{0x00, 0x06, 0x43, 0x02, 0x01, 0x00, 0x01}));
  EXPECT_EQ(model.serialNumber(), 0x12345678u);
  EXPECT_TRUE(model.line().Accepts(19200, true, true));
  EXPECT_FALSE(model.line().Accepts(19200, false, false));
}

TEST_F(ReaderModelTest, ConfiguredNewVersionAndSerialNumberComeBackAfterTheUpgrade) {
  behaviour.startInLoader = true;
  identity.newVersion = VersionBytes{0x07, 0x44, 0x12, 0x02, 0x40, 0x02};
  identity.serialAfterUpgrade = 0xCAFEF00D;
  ReaderModel model = Make();
  model.Execute(Block(9));
  ASSERT_EQ(model.Execute(TrailerRequest(BodyOf({Block(9)}), 256)).after,
            AfterAnswer::kRestartIntoApplication);
  model.CompleteRestart(RunMode::kApplication);
  EXPECT_EQ(model.version(), *identity.newVersion);
  EXPECT_EQ(model.serialNumber(), 0xCAFEF00Du);
}

TEST_F(ReaderModelTest, BadImageKeepsTheReaderInTheLoaderAndForgetsTheBlocks) {
  struct BadImage {
    const char* name;
    std::vector<Bytes> sent;
    Bytes trailer;
  };
  const std::vector<Bytes> image = {Block(1), Block(2), Block(3)};
  Bytes changed = BodyOf(image);
  changed[300] ^= 0x01;
  const BadImage cases[] = {
      {"blocks out of order", {Block(1), Block(3), Block(2)}, TrailerRequest(BodyOf(image), 768)},
      {"a block missing", {Block(1), Block(2)}, TrailerRequest(BodyOf(image), 768)},
      {"a byte changed", image, TrailerRequest(changed, 768)},
      {"wrong length", image, TrailerRequest(BodyOf(image), 512)},
  };
  for (const BadImage& c : cases) {
    SCOPED_TRACE(c.name);
    behaviour.startInLoader = true;
    ReaderModel model = Make();
    for (const Bytes& block : c.sent)
      model.Execute(block);
    const Answer answer = model.Execute(c.trailer);
    EXPECT_EQ(answer.bytes, Bytes{0x00});
    EXPECT_EQ(answer.after, AfterAnswer::kNothing);
    EXPECT_EQ(model.mode(), RunMode::kLoader);
    EXPECT_EQ(model.bodyLength(), 0u);
  }
}

TEST_F(ReaderModelTest, StayInLoaderScenarioIgnoresAGoodImage) {
  behaviour.startInLoader = true;
  behaviour.stayInLoader = true;
  ReaderModel model = Make();
  model.Execute(Block(1));
  EXPECT_EQ(model.Execute(TrailerRequest(BodyOf({Block(1)}), 256)).after, AfterAnswer::kNothing);
  EXPECT_EQ(model.mode(), RunMode::kLoader);
}

TEST_F(ReaderModelTest, FailedBlockIsRefusedWithItsStatusAndNotStored) {
  behaviour.startInLoader = true;
  behaviour.blockStatus[3] = 0x85;
  ReaderModel model = Make();
  EXPECT_EQ(model.Execute(Block(1)).bytes, Bytes{0x00});
  EXPECT_EQ(model.Execute(Block(2)).bytes, Bytes{0x00});
  EXPECT_EQ(model.Execute(Block(3)).bytes, Bytes{0x85});
  EXPECT_EQ(model.bodyLength(), 512u);
}

TEST_F(ReaderModelTest, McuAnswerLengthScenario) {
  for (std::size_t length : {6u, 8u}) {
    behaviour.mcuAnswerLength = length;
    ReaderModel model = Make();
    EXPECT_EQ(model.Execute(Bytes{0x73, 0x11, 0x36}).bytes.size(), length);
  }
}

TEST_F(ReaderModelTest, LoaderListensAtNOneAndFollowsTheBaudDivisor) {
  line = LineConfig{9600, 'O', 2};
  ReaderModel model = Make();
  model.CompleteRestart(RunMode::kLoader);
  EXPECT_TRUE(model.line().Accepts(9600, false, false));
  EXPECT_FALSE(model.line().Accepts(9600, true, true));
  model.ChangeSpeed(13);  // 24000000 / (16 * 115200) = 13
  EXPECT_TRUE(model.line().Accepts(115200, false, false));
  EXPECT_FALSE(model.line().Accepts(9600, false, false));
  EXPECT_FALSE(model.line().Accepts(0, false, false));
  model.ChangeSpeed(156);
  EXPECT_TRUE(model.line().Accepts(9600, false, false));
  model.CompleteRestart(RunMode::kApplication);
  EXPECT_TRUE(model.line().Accepts(9600, true, true));
  EXPECT_FALSE(model.line().Accepts(115200, true, true));
}

TEST(McuNames, CatalogueNamesAndNumbers) {
  EXPECT_EQ(McuPartIdByName("LPC2148"), 0x0402FF25u);
  EXPECT_EQ(McuPartIdByName("GD32F303Cx"), 0x21040414u);
  EXPECT_EQ(McuPartIdByName("0x12345678"), 0x12345678u);
  EXPECT_EQ(McuPartIdByName("7"), 7u);
  EXPECT_FALSE(McuPartIdByName("LPC9999"));
  EXPECT_FALSE(McuPartIdByName("0x100000000"));
  EXPECT_FALSE(McuPartIdByName(""));
}

class ReaderTest : public ::testing::Test {
 protected:
  Transcript transcript;
  ReaderModel model{ReaderIdentity{}, ReaderBehaviour{}, LineConfig{}, transcript};
};

TEST_F(ReaderTest, RestartKeepsTheReaderAwayForItsTime) {
  RestartTiming timing;
  timing.durationMs = 2000;
  Reader reader(model, AnswerFaults{}, timing, transcript);
  auto reply = reader.Exchange(WithPrefix({0x73, 0x75}, 10, 0xFF), 1000);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reader.Present(1500));  // the restart begins when the answer has gone out
  reader.Deliver(*reply, 1500);
  EXPECT_FALSE(reader.Present(1501));
  EXPECT_FALSE(reader.Exchange(Bytes{0x64}, 3000));
  EXPECT_EQ(reader.RestartEndsAt(), 3500);
  EXPECT_FALSE(reader.Present(3499));
  EXPECT_TRUE(reader.Present(3500));
  EXPECT_EQ(model.mode(), RunMode::kLoader);
  const auto version = reader.Exchange(Bytes{0x64}, 3600);
  ASSERT_TRUE(version);
  EXPECT_EQ(version->number, 2u);  // the lost request is not counted
  EXPECT_EQ(version->answer.bytes.back(), 0x00);
}

TEST_F(ReaderTest, SlowAndEndlessRestartsByNumber) {
  RestartTiming timing;
  timing.durationMs = 100;
  timing.byNumber[2] = 5000;
  timing.byNumber[3] = std::nullopt;
  Reader reader(model, AnswerFaults{}, timing, transcript);
  const Bytes loaderRequest = WithPrefix({0x73, 0x75}, 10, 0xFF);
  const std::int64_t expectedEnd[] = {100, 10000 + 5000};
  const std::int64_t start[] = {0, 10000};
  for (int i = 0; i < 2; ++i) {
    reader.Deliver(*reader.Exchange(loaderRequest, start[i]), start[i]);
    EXPECT_EQ(reader.RestartEndsAt(), expectedEnd[i]);
    EXPECT_TRUE(reader.Present(expectedEnd[i]));
  }
  reader.Deliver(*reader.Exchange(loaderRequest, 20000), 20000);
  EXPECT_FALSE(reader.RestartEndsAt());
  EXPECT_FALSE(reader.Present(20000 + 86400000));
}

TEST_F(ReaderTest, AnswerFaultsHitTheirRequestNumbersOnly) {
  AnswerFaults faults;
  faults.drop = {2};
  faults.corruptCheck = {3};
  faults.wrongSequence = {3};
  faults.wrongAddress = {4};
  faults.lateMs[4] = 700;
  Reader reader(model, faults, RestartTiming{}, transcript);
  std::vector<Reply> replies;
  for (int i = 0; i < 5; ++i)
    replies.push_back(*reader.Exchange(Bytes{0x64}, 0));
  EXPECT_FALSE(replies[0].drop || replies[0].corruptCheck || replies[0].wrongSequence ||
               replies[0].wrongAddress || replies[0].delayMs != 0);
  EXPECT_TRUE(replies[1].drop);
  EXPECT_TRUE(replies[2].corruptCheck && replies[2].wrongSequence && !replies[2].drop);
  EXPECT_TRUE(replies[3].wrongAddress);
  EXPECT_EQ(replies[3].delayMs, 700u);
  EXPECT_EQ(replies[4].delayMs, 0u);
  // A dropped answer still executes its command.
  EXPECT_EQ(replies[1].answer.bytes.size(), 7u);
}

TEST(Checksums, KnownValues) {
  const Bytes text{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc16X25(text), 0x906E);
  EXPECT_EQ(Crc32(text), 0xCBF43926u);
  // Continuing a run gives the same CRC-32 as one pass.
  EXPECT_EQ(
      Crc32(Bytes(text.begin() + 4, text.end()), Crc32(Bytes(text.begin(), text.begin() + 4))),
      0xCBF43926u);
}

}  // namespace
}  // namespace zarn::sim
