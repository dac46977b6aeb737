// A real short write: the file size limit stops a write part of the way.
#include <sys/resource.h>

#include <csignal>

#include "TempDir.h"
#include "UTypes.h"

namespace {

class ShortWriteTest : public TTempDirTest {
 protected:
  void SetUp() override {
    TTempDirTest::SetUp();
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &FSaved);
  }
  void TearDown() override {
    setrlimit(RLIMIT_FSIZE, &FSaved);
    TTempDirTest::TearDown();
  }
  static void LimitFileSize(rlim_t bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  rlimit FSaved{};
};

TEST_F(ShortWriteTest, WrittenPartIsNeitherRepeatedNorLost) {
  TKEV_LOGFile log("T.LOG");
  LimitFileSize(10);
  log.AddLine("0123456789ABCDEF");
  EXPECT_FALSE(log.Flush());
  EXPECT_EQ(ReadFile("T.LOG"), "0123456789");
  EXPECT_EQ(log.Pending(), "ABCDEF\r\n");
  EXPECT_FALSE(log.Flush()) << "nothing more fits";
  LimitFileSize(FSaved.rlim_cur);
  log.AddLine("next", true);
  EXPECT_EQ(ReadFile("T.LOG"), "0123456789ABCDEF\r\nnext\r\n");
}

}  // namespace
