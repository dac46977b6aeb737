#include "UOs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"

namespace {

// Each test uses an event name of its own, so these tests never meet the program's event.
std::string UniqueEventName() {
  std::random_device random;
  return "tarvo-test-" + std::to_string(random()) + "-" + std::to_string(random());
}

using TWait = os::TEvent::TWaitResult;

class EventTest : public ::testing::Test {
 protected:
  std::string FName = UniqueEventName();
};

TEST_F(EventTest, SecondHandleOpensTheSameEvent) {
  os::TEvent created(nullptr, false, false, FName);
  ASSERT_NE(created.Handle(), 0) << created.LastError();
  EXPECT_EQ(created.LastError(), 0);
  os::TEvent opened(nullptr, false, false, FName);
  ASSERT_NE(opened.Handle(), 0);
  EXPECT_EQ(opened.LastError(), 0);
  EXPECT_NE(opened.Handle(), created.Handle());
  EXPECT_TRUE(opened.Signal());
  EXPECT_EQ(created.Wait(1000), TWait::Signalled);
}

TEST_F(EventTest, StartsUnsetAndAutoResets) {
  os::TEvent event(nullptr, false, false, FName);
  EXPECT_EQ(event.Wait(0), TWait::Timeout);
  EXPECT_TRUE(event.Signal());
  EXPECT_TRUE(event.Signal());  // a second signal without a waiter does not pile up
  EXPECT_EQ(event.Wait(0), TWait::Signalled);
  EXPECT_EQ(event.Wait(50), TWait::Timeout);
}

TEST_F(EventTest, InitialStateAndManualReset) {
  os::TEvent event(nullptr, true, true, FName);
  EXPECT_EQ(event.Wait(0), TWait::Signalled);
  EXPECT_EQ(event.Wait(0), TWait::Signalled) << "a manual-reset event stays set";
}

TEST_F(EventTest, LastHandleClosedEndsTheEvent) {
  {
    os::TEvent event(nullptr, false, false, FName);
    event.Signal();
  }
  os::TEvent fresh(nullptr, false, false, FName);
  EXPECT_EQ(fresh.Wait(0), TWait::Timeout) << "a closed event must not leave its state behind";
}

TEST_F(EventTest, OneSignalReleasesExactlyOneOfTwoWaiters) {
  std::atomic<int> released{0}, waiting{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      os::TEvent event(nullptr, false, false, FName);
      ++waiting;
      if (event.Wait(1500) == TWait::Signalled) ++released;
    });
  os::TEvent signaller(nullptr, false, false, FName);
  while (waiting < 2) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(signaller.Signal());
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released, 1);
}

TEST_F(EventTest, WaitReturnsWhenSignalledFromAnotherThread) {
  os::TEvent event(nullptr, false, false, FName);
  std::thread signaller([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    os::TEvent other(nullptr, false, false, FName);
    other.Signal();
  });
  EXPECT_EQ(event.Wait(5000), TWait::Signalled);
  signaller.join();
}

TEST_F(EventTest, ObjectOfAnotherKindUnderTheNameIsRefused) {
  os::TForeignObject foreign(FName);
  ASSERT_TRUE(foreign.Held()) << foreign.LastError();
  os::TEvent event(nullptr, false, false, FName);
  EXPECT_EQ(event.Handle(), 0);
  EXPECT_NE(event.LastError(), 0);
  EXPECT_FALSE(event.Signal());
  EXPECT_NE(event.LastError(), 0);
}

TEST(UpperCase, MapsLettersAndKeepsLength) {
  std::string text = "run.log a-z 0_9 Ab";
  os::UpperCase(text);
  EXPECT_EQ(text, "RUN.LOG A-Z 0_9 AB");
}

TEST(ExecutablePath, NamesThisTest) {
  std::string path = os::ExecutablePath();
  EXPECT_NE(path.find("UOs_test"), std::string::npos) << path;
}

using LogSharingTest = TTempDirTest;

// Another copy's size check holds the log against writers on every system.
TEST_F(LogSharingTest, SizeCheckKeepsWritersOutUntilItCloses) {
  os::LogClose(os::LogOpen("S.LOG", 0));
  os::TFile check = os::FileOpenExclusive("S.LOG");
  ASSERT_NE(check, os::InvalidFile) << os::LastError();
  EXPECT_EQ(os::LogOpen("S.LOG", 0), os::InvalidFile);
  EXPECT_TRUE(os::IsSharingViolation(os::LastError()));
  os::LogClose(check);
  os::TFile writer = os::LogOpen("S.LOG", 0);
  ASSERT_NE(writer, os::InvalidFile) << os::LastError();
  size_t written = 0;
  EXPECT_TRUE(os::LogSeekEnd(writer));
  EXPECT_TRUE(os::LogWrite(writer, "abc", 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(ReadFile("S.LOG"), "abc") << "readers can read while the writer holds it";
  EXPECT_EQ(os::FileOpenExclusive("S.LOG"), os::InvalidFile) << "a writer keeps size checks out";
  os::LogClose(writer);
}

using FilesByNameTest = TTempDirTest;

// The size check of a small log reads its size this way: it works where the file is held.
TEST_F(FilesByNameTest, SizeOfNameIsReadWithoutOpeningTheFile) {
  std::filesystem::create_directory("D");
  { std::ofstream("F", std::ios::binary) << "12345"; }
  std::ofstream("BIG", std::ios::binary).close();
  std::filesystem::resize_file("BIG", 10485760 + 7);
  os::TFile held = os::FileOpenExclusive("F");
  ASSERT_NE(held, os::InvalidFile);
  EXPECT_EQ(os::FileSizeOfName("F"), 5);
  EXPECT_EQ(os::FileSizeOfName("BIG"), 10485760 + 7);
  EXPECT_EQ(os::FileSizeOfName("D"), -1);
  EXPECT_EQ(os::FileSizeOfName("MISSING"), -1);
  os::LogClose(held);
}

}  // namespace
