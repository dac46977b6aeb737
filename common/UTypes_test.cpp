#include "UTypes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "TempDir.h"
#include "UConst.h"
#include "UOs.h"

namespace {

// Paths in the table use '|' for the system's directory delimiter.
std::string Native(std::string path) {
  for (char& c : path)
    if (c == '|') c = os::PathDelimiters[0];
  return path;
}

struct TNameCase {
  const char* Name;
  const char* WithLog;
  const char* FileName;
};

class FileNameTest : public ::testing::TestWithParam<TNameCase> {};

TEST_P(FileNameTest, ChangesExtensionAndTakesName) {
  const TNameCase& c = GetParam();
  EXPECT_EQ(filename::ChangeExtension(Native(c.Name), ".log"), Native(c.WithLog));
  EXPECT_EQ(filename::ExtractName(Native(c.Name)), Native(c.FileName));
}

INSTANTIATE_TEST_SUITE_P(Cases, FileNameTest,
                         ::testing::Values(TNameCase{"|tools|SIGNAL.EXE", "|tools|SIGNAL.log", "SIGNAL.EXE"},
                                           TNameCase{"|logs|RUN", "|logs|RUN.log", "RUN"},
                                           TNameCase{"|a.b|RUN", "|a.b|RUN.log", "RUN"},
                                           TNameCase{"RUN.tar.gz", "RUN.tar.log", "RUN.tar.gz"},
                                           TNameCase{"|x|.hidden", "|x|.log", ".hidden"},
                                           TNameCase{"dir|", "dir|.log", ""}, TNameCase{"", ".log", ""}));

using LogFileTest = TTempDirTest;

TEST_F(LogFileTest, NameIsUpperCasedAndFileCreatedOnFirstWrite) {
  TKEV_LOGFile log("run.log");
  EXPECT_EQ(log.FileName(), "RUN.LOG");
  EXPECT_EQ(log.GetFlags(), 0);
  EXPECT_TRUE(log.Flush());
  EXPECT_FALSE(Exists("RUN.LOG")) << "an empty flush must not create the file";
  log.AddLine("one", true);
  EXPECT_EQ(ReadFile("RUN.LOG"), "one\r\n");
}

TEST_F(LogFileTest, WritesAtTheThresholdNotBefore) {
  TKEV_LOGFile log("T.LOG");
  log.AddLine(std::string(FlushThreshold - 3, 'a'));  // 2047 bytes with CR LF
  EXPECT_FALSE(Exists("T.LOG"));
  EXPECT_EQ(log.Pending().size(), size_t(FlushThreshold - 1));
  log.AddLine("");  // 2049
  EXPECT_EQ(ReadFile("T.LOG").size(), size_t(FlushThreshold + 1));
  EXPECT_TRUE(log.Pending().empty());

  TKEV_LOGFile exact("U.LOG");
  exact.AddLine(std::string(FlushThreshold - 2, 'b'));  // exactly 2048
  EXPECT_EQ(ReadFile("U.LOG").size(), size_t(FlushThreshold));
}

TEST_F(LogFileTest, LongLineIsWrittenWholeAfterPendingText) {
  TKEV_LOGFile log("T.LOG");
  log.AddLine("first");
  std::string longLine(5000, 'x');
  log.AddLine(longLine);
  EXPECT_EQ(ReadFile("T.LOG"), "first\r\n" + longLine + "\r\n");
}

TEST_F(LogFileTest, AppendsBytesUnchanged) {
  { std::ofstream("T.LOG", std::ios::binary) << "old"; }
  TKEV_LOGFile log("T.LOG");
  log.AddLine("");
  log.AddLine("a\rb\nc\r\n");
  log.AddLine("\xC4\xE4", true);
  EXPECT_EQ(ReadFile("T.LOG"), "old\r\na\rb\nc\r\n\r\n\xC4\xE4\r\n");
}

TEST_F(LogFileTest, UnbufferedWritesEachLineButSwitchingWritesNothing) {
  TKEV_LOGFile log("T.LOG");
  log.AddLine("held");
  log.SetBuffered(false);
  EXPECT_FALSE(Exists("T.LOG"));
  log.AddLine("now");
  EXPECT_EQ(ReadFile("T.LOG"), "held\r\nnow\r\n");
}

TEST_F(LogFileTest, FailedOpenKeepsTextForTheNextFlush) {
  std::filesystem::create_directory("T.LOG");
  TKEV_LOGFile log("T.LOG");
  log.AddLine("early", true);
  EXPECT_FALSE(log.Flush());
  EXPECT_EQ(log.Pending(), "early\r\n");
  std::filesystem::remove("T.LOG");
  log.AddLine("late", true);
  EXPECT_EQ(ReadFile("T.LOG"), "early\r\nlate\r\n");
}

// Holds name as another copy's size check does: on every system that keeps writers out.
os::TFile HoldAgainstWriters(const std::string& name) {
  os::LogClose(os::LogOpen(name, 0));
  return os::FileOpenExclusive(name);
}

TEST_F(LogFileTest, HoldAgainstWritersMakesFlushFailUntilItEnds) {
  TKEV_LOGFile log("T.LOG");
  os::TFile other = HoldAgainstWriters("T.LOG");
  ASSERT_NE(other, os::InvalidFile);
  log.AddLine("mine", true);
  EXPECT_FALSE(log.Flush());
  EXPECT_TRUE(os::IsSharingViolation(os::LastError()));
  os::LogClose(other);
  EXPECT_TRUE(log.Flush());
  EXPECT_EQ(ReadFile("T.LOG"), "mine\r\n");
}

TEST_F(LogFileTest, FinalFlushWaitsBrieflyForAHoldToEnd) {
  os::TFile other = HoldAgainstWriters("T.LOG");
  ASSERT_NE(other, os::InvalidFile);
  std::thread releaser([other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    os::LogClose(other);
  });
  {
    TKEV_LOGFile log("T.LOG");
    log.AddLine("last words");
  }
  releaser.join();
  EXPECT_EQ(ReadFile("T.LOG"), "last words\r\n");
}

TEST_F(LogFileTest, FinalFlushGivesUpOnAHoldThatStays) {
  os::TFile other = HoldAgainstWriters("T.LOG");
  ASSERT_NE(other, os::InvalidFile);
  auto start = std::chrono::steady_clock::now();
  {
    TKEV_LOGFile log("T.LOG");
    log.AddLine("lost");
  }
  auto waited = std::chrono::steady_clock::now() - start;
  os::LogClose(other);
  EXPECT_GE(waited, std::chrono::milliseconds(1500));
  EXPECT_LT(waited, std::chrono::seconds(10)) << "the final flush must give up";
  EXPECT_EQ(ReadFile("T.LOG"), "");
}

TEST(BoolToStr, GivesUpperCaseWords) {
  EXPECT_STREQ(TKEV_LOGFile::BoolToStr(true), "TRUE");
  EXPECT_STREQ(TKEV_LOGFile::BoolToStr(false), "FALSE");
}

}  // namespace

namespace {

// ---- Rotation by size ----

constexpr int64_t Big = MaxLogSize;

class RotationTest : public TTempDirTest {
 protected:
  // A sparse file of size bytes whose first bytes say what it is.
  static void MakeFile(const std::string& name, const std::string& tag, int64_t size) {
    { std::ofstream(name, std::ios::binary) << tag; }
    std::filesystem::resize_file(name, uintmax_t(size));
  }
  static int64_t SizeOf(const std::string& name) {
    std::error_code error;
    auto size = std::filesystem::file_size(name, error);
    return error ? -1 : int64_t(size);
  }
};

struct TRotationCase {
  const char* What;
  int64_t LogSize;  // -1: no log
  int64_t OldSize;  // -1: no old generation
  bool Result;
  int64_t LogAfter;  // -1: no log
  int64_t OldAfter;  // -1: no old generation
};

class RotationCaseTest : public RotationTest, public ::testing::WithParamInterface<TRotationCase> {};

TEST_P(RotationCaseTest, CheckSize) {
  const TRotationCase& c = GetParam();
  TKEV_LOGFile log("run.log");
  if (c.LogSize >= 0) MakeFile("RUN.LOG", "log", c.LogSize);
  if (c.OldSize >= 0) MakeFile("RUN.001", "old", c.OldSize);
  EXPECT_EQ(log.GetSize(), c.LogSize < 0 ? 0 : c.LogSize);
  EXPECT_EQ(log.CheckSize(), c.Result);
  EXPECT_EQ(SizeOf("RUN.LOG"), c.LogAfter);
  EXPECT_EQ(SizeOf("RUN.001"), c.OldAfter);
  if (c.OldAfter == Big) {
    EXPECT_EQ(ReadFile("RUN.001").substr(0, 3), "log");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RotationCaseTest,
                         ::testing::Values(TRotationCase{"OneByteBelowStays", Big - 1, -1, true, Big - 1, -1},
                                           TRotationCase{"LimitMovesAside", Big, -1, true, -1, Big},
                                           TRotationCase{"OlderGenerationReplaced", Big + 5, 3, true, -1,
                                                         Big + 5},
                                           TRotationCase{"SmallLogLeavesOldOne", 10, 3, true, 10, 3},
                                           TRotationCase{"MissingLogCreatesNothing", -1, -1, true, -1, -1}),
                         [](const auto& info) { return std::string(info.param.What); });

TEST_F(RotationTest, ConstructionRotatesAndTheNextFlushStartsAFreshLog) {
  MakeFile("RUN.LOG", "log", Big);
  TKEV_LOGFile log("Run.log");
  EXPECT_FALSE(Exists("RUN.LOG"));
  EXPECT_EQ(SizeOf("RUN.001"), Big);
  log.AddLine("fresh", true);
  EXPECT_EQ(ReadFile("RUN.LOG"), "fresh\r\n");
}

TEST_F(RotationTest, NameWithoutExtensionGetsOneAppended) {
  MakeFile("RUN", "log", Big);
  TKEV_LOGFile log("run");
  EXPECT_EQ(SizeOf("RUN.001"), Big);
  EXPECT_FALSE(Exists("RUN"));
}

TEST_F(RotationTest, LogNameThatIsADirectoryCountsAsAbsent) {
  std::filesystem::create_directory("RUN.LOG");
  TKEV_LOGFile log("RUN.LOG");
  EXPECT_EQ(log.GetSize(), 0);
  EXPECT_TRUE(log.CheckSize());
  EXPECT_TRUE(std::filesystem::is_directory("RUN.LOG"));
  EXPECT_FALSE(Exists("RUN.001"));
}

TEST_F(RotationTest, OldGenerationNameThatIsADirectoryFailsTheRename) {
  TKEV_LOGFile log("RUN.LOG");
  MakeFile("RUN.LOG", "log", Big);
  std::filesystem::create_directory("RUN.001");
  EXPECT_FALSE(log.CheckSize());
  EXPECT_EQ(SizeOf("RUN.LOG"), Big) << "the log stays in use";
  EXPECT_TRUE(std::filesystem::is_directory("RUN.001"));
}

TEST_F(RotationTest, LogHeldByAWriterIsNotRotated) {
  TKEV_LOGFile log("RUN.LOG");
  MakeFile("RUN.LOG", "log", Big);
  os::TFile writer = os::LogOpen("RUN.LOG", 0);
  ASSERT_NE(writer, os::InvalidFile);
  EXPECT_EQ(log.GetSize(), 0);
  EXPECT_TRUE(log.CheckSize());
  os::LogClose(writer);
  EXPECT_EQ(SizeOf("RUN.LOG"), Big);
  EXPECT_FALSE(Exists("RUN.001"));
}

}  // namespace
