// Rotation where only Windows can refuse or admit: an old generation held open without delete
// sharing, and a log held by a reader.
#include <windows.h>

#include <filesystem>

#include "TempDir.h"
#include "UConst.h"
#include "UTypes.h"

namespace {

using WindowsRotationTest = TTempDirTest;

TEST_F(WindowsRotationTest, OldGenerationThatCannotBeDeletedKeepsTheLogInUse) {
  { std::ofstream("RUN.LOG", std::ios::binary) << "log"; }
  std::filesystem::resize_file("RUN.LOG", uintmax_t(MaxLogSize));
  { std::ofstream("RUN.001", std::ios::binary) << "old"; }
  HANDLE reader = CreateFileA("RUN.001", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  {
    TKEV_LOGFile log("RUN.LOG");
    EXPECT_FALSE(log.CheckSize());
    log.AddLine("more", true);
  }
  CloseHandle(reader);
  EXPECT_EQ(ReadFile("RUN.001"), "old");
  EXPECT_EQ(std::filesystem::file_size("RUN.LOG"), uintmax_t(MaxLogSize) + 6);
}

TEST_F(WindowsRotationTest, LogHeldByAReaderWithDeleteSharingIsMovedAside) {
  { std::ofstream("RUN.LOG", std::ios::binary) << "log"; }
  std::filesystem::resize_file("RUN.LOG", uintmax_t(MaxLogSize));
  HANDLE reader = CreateFileA("RUN.LOG", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  {
    TKEV_LOGFile log("RUN.LOG");
    EXPECT_EQ(std::filesystem::file_size("RUN.001"), uintmax_t(MaxLogSize));
    log.AddLine("fresh", true);
  }
  CloseHandle(reader);
  EXPECT_EQ(ReadFile("RUN.LOG"), "fresh\r\n");
}

}  // namespace
