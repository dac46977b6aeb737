// What only Windows shows: a writer holds the log alone, readers that allow writers can read it
// while it is written, and what the size check's open admits and keeps out.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>

#include "TempDir.h"
#include "UOs.h"

namespace {

using WindowsLogTest = TTempDirTest;

TEST_F(WindowsLogTest, ReaderSharingWritesReadsWhileTheLogIsWritten) {
  HANDLE reader = CreateFileA("R.LOG", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  os::TFile writer = os::LogOpen("R.LOG", 0);
  ASSERT_NE(writer, os::InvalidFile) << os::LastError();
  size_t written = 0;
  ASSERT_TRUE(os::LogSeekEnd(writer));
  ASSERT_TRUE(os::LogWrite(writer, "line\r\n", 6, written));
  char text[16] = {};
  DWORD count = 0;
  EXPECT_TRUE(::ReadFile(reader, text, sizeof text, &count, nullptr));
  EXPECT_EQ(std::string(text, count), "line\r\n");
  os::LogClose(writer);
  CloseHandle(reader);
}

TEST_F(WindowsLogTest, SecondWriterIsRefusedUntilTheFirstCloses) {
  os::TFile first = os::LogOpen("S.LOG", 0);
  ASSERT_NE(first, os::InvalidFile);
  EXPECT_EQ(os::LogOpen("S.LOG", 0), os::InvalidFile);
  EXPECT_TRUE(os::IsSharingViolation(os::LastError()));
  os::LogClose(first);
  os::TFile second = os::LogOpen("S.LOG", 0);
  EXPECT_NE(second, os::InvalidFile);
  os::LogClose(second);
}

TEST_F(WindowsLogTest, ReaderWithoutWriteSharingKeepsWritersOut) {
  HANDLE reader = CreateFileA("R.LOG", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::LogOpen("R.LOG", 0), os::InvalidFile);
  EXPECT_TRUE(os::IsSharingViolation(os::LastError()));
  CloseHandle(reader);
}

// An event whose access list grants this user nothing: opening it is refused with access denied.
TEST(WindowsEventTest, EventThisUserMayNotSignalIsRefusedWithAccessDenied) {
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ACL emptyList;
  ASSERT_TRUE(InitializeAcl(&emptyList, sizeof emptyList, ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &emptyList, FALSE));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  const char* name = "tarvo-test-denied-event";
  HANDLE owner = CreateEventA(&attributes, FALSE, FALSE, name);
  ASSERT_NE(owner, nullptr);
  os::TEvent refused(nullptr, false, false, name);
  EXPECT_EQ(refused.Handle(), 0);
  EXPECT_EQ(refused.LastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(refused.Signal());
  EXPECT_EQ(refused.LastError(), ERROR_INVALID_HANDLE) << "the signal call's own error";
  CloseHandle(owner);
}

using WindowsSizeCheckTest = TTempDirTest;

HANDLE OpenWith(const char* name, DWORD access, DWORD sharing) {
  return CreateFileA(name, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void MakeFile(const char* name, const char* text) { std::ofstream(name, std::ios::binary) << text; }

TEST_F(WindowsSizeCheckTest, KeepsWritersAndOtherChecksOutButNotReaders) {
  MakeFile("R.LOG", "log");
  os::TFile check = os::FileOpenExclusive("R.LOG");
  ASSERT_NE(check, os::InvalidFile) << os::LastError();
  EXPECT_EQ(os::LogOpen("R.LOG", 0), os::InvalidFile);
  EXPECT_TRUE(os::IsSharingViolation(os::LastError()));
  EXPECT_EQ(os::FileOpenExclusive("R.LOG"), os::InvalidFile);
  EXPECT_EQ(os::LastError(), ERROR_LOCK_VIOLATION);
  HANDLE reader = OpenWith("R.LOG", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(os::FileSize(check), 3);
  EXPECT_TRUE(os::FileRename("R.LOG", "R.001")) << os::LastError();
  CloseHandle(reader);
  os::LogClose(check);
  os::TFile again = os::FileOpenExclusive("R.001");
  EXPECT_NE(again, os::InvalidFile) << "closing the check releases its lock";
  os::LogClose(again);
}

TEST_F(WindowsSizeCheckTest, OpensWhereReadersHoldTheLogWithReadSharing) {
  struct TCase {
    DWORD access, sharing;
    bool opens;
  };
  const TCase cases[] = {
      {GENERIC_READ, FILE_SHARE_READ, true},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, true},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
      {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, false},  // a writer
      {GENERIC_READ, FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
  };
  MakeFile("R.LOG", "log");
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "access " << c.access << ", sharing " << c.sharing);
    HANDLE holder = OpenWith("R.LOG", c.access, c.sharing);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();
    os::TFile check = os::FileOpenExclusive("R.LOG");
    EXPECT_EQ(check != os::InvalidFile, c.opens);
    if (check != os::InvalidFile) os::LogClose(check);
    CloseHandle(holder);
  }
}

TEST_F(WindowsSizeCheckTest, NameLeadsToTheCheckedFileUntilItIsMovedAside) {
  MakeFile("R.LOG", "old");
  os::TFile check = os::FileOpenExclusive("R.LOG");
  ASSERT_NE(check, os::InvalidFile);
  EXPECT_TRUE(os::FileIsNamed(check, "R.LOG"));
  EXPECT_TRUE(os::FileIsNamed(check, "r.log"));
  ASSERT_TRUE(os::FileRename("R.LOG", "R.001"));
  EXPECT_FALSE(os::FileIsNamed(check, "R.LOG")) << "no file under the name";
  MakeFile("R.LOG", "new");
  EXPECT_FALSE(os::FileIsNamed(check, "R.LOG")) << "another file under the name";
  EXPECT_TRUE(os::FileIsNamed(check, "R.001"));
  os::LogClose(check);
}

}  // namespace
