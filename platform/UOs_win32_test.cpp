// What only Windows shows: readers that allow writers can read the log while it is written.
#include <gtest/gtest.h>
#include <windows.h>

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

}  // namespace
