// What only POSIX shows: writers share the log, and the event's life with other processes (killed,
// stopped and foreign holders).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "UOs.h"

namespace {

using TWait = os::TEvent::TWaitResult;

class PosixEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    FName = "tarvo-test-" + std::to_string(random());
    FPath = "/dev/shm/tarvo-event." + std::to_string(getuid()) + "." + FName;
  }
  void TearDown() override {
    if (FChild > 0) {
      kill(FChild, SIGKILL);
      waitpid(FChild, nullptr, 0);
    }
    // Objects of killed children stay until the next open: leave none behind.
    unlink(FPath.c_str());
    unlink(("/dev/shm/tarvo-event.65534." + FName).c_str());
  }

  // Runs body in a child process; returns once the child has opened the event and said so.
  template <typename Body>
  void StartChild(Body body) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    FChild = fork();
    ASSERT_GE(FChild, 0);
    if (FChild == 0) {
      close(ready[0]);
      body(ready[1]);
      _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child did not get ready";
    close(ready[0]);
  }
  // A child that waits on the event for ever; returns once it has (very likely) begun to wait.
  void StartWaitingChild() {
    StartChild([this](int ready) {
      os::TEvent waiter(nullptr, false, false, FName);
      Ready(ready);
      waiter.Wait(-1);
    });
    usleep(50000);
  }
  static void Ready(int fd) {
    if (write(fd, "r", 1) != 1) _exit(3);
  }
  void EndChild(int signalNumber) {
    kill(FChild, signalNumber);
    if (signalNumber == SIGSTOP) return;
    waitpid(FChild, nullptr, 0);
    FChild = 0;
  }
  bool NameExists() const {
    struct stat info {};
    return lstat(FPath.c_str(), &info) == 0;
  }
  ino_t NameInode() const {
    struct stat info {};
    return lstat(FPath.c_str(), &info) == 0 ? info.st_ino : 0;
  }

  std::string FName, FPath;
  pid_t FChild = 0;
};

TEST_F(PosixEventTest, ObjectLivesWhileHeldAndGoesWithTheLastHandle) {
  {
    os::TEvent first(nullptr, false, false, FName);
    {
      os::TEvent second(nullptr, false, false, FName);
      EXPECT_TRUE(NameExists());
    }
    EXPECT_TRUE(NameExists()) << "still held by the first handle";
    struct stat info {};
    ASSERT_EQ(lstat(FPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  EXPECT_FALSE(NameExists());
}

TEST_F(PosixEventTest, EventOfKilledHoldersIsReplacedByAFreshOne) {
  StartChild([this](int ready) {
    os::TEvent event(nullptr, false, false, FName);
    event.Signal();
    Ready(ready);
    pause();
  });
  ino_t stale = NameInode();
  ASSERT_NE(stale, 0u);
  EndChild(SIGKILL);
  {
    os::TEvent event(nullptr, false, false, FName);
    ASSERT_NE(event.Handle(), 0);
    EXPECT_NE(NameInode(), stale);
    EXPECT_EQ(event.Wait(0), TWait::Timeout) << "the killed holder's signal must not survive it";
  }
  EXPECT_FALSE(NameExists());
}

// A last holder locks the object to remove it and may be held up (preempted) after removing the
// name: an opener that found the object just before starts again at once rather than wait for it.
TEST_F(PosixEventTest, OpenerDoesNotWaitForAnObjectWhoseNameIsGone) {
  StartChild([this](int ready) {
    os::TEvent event(nullptr, false, false, FName);
    Ready(ready);
    pause();
  });
  EndChild(SIGKILL);
  int remover = open(FPath.c_str(), O_RDWR);
  ASSERT_GE(remover, 0);
  ASSERT_EQ(flock(remover, LOCK_EX | LOCK_NB), 0);
  std::thread opener([this] {
    os::TEvent event(nullptr, false, false, FName);
    EXPECT_NE(event.Handle(), 0);
    EXPECT_EQ(event.LastError(), 0);
  });
  usleep(100000);  // the opener has found the locked object by now
  unlink(FPath.c_str());
  opener.join();  // the remover still holds its lock, beyond the opener's bounded wait
  close(remover);
}

TEST_F(PosixEventTest, KilledWaiterDoesNotSwallowTheSignal) {
  os::TEvent event(nullptr, false, false, FName);
  StartWaitingChild();
  EndChild(SIGKILL);
  EXPECT_TRUE(event.Signal());
  EXPECT_EQ(event.Wait(0), TWait::Signalled);
}

TEST_F(PosixEventTest, StoppedWaiterHangsNobody) {
  os::TEvent event(nullptr, false, false, FName);
  StartWaitingChild();
  EndChild(SIGSTOP);
  EXPECT_TRUE(event.Signal());
  os::TEvent another(nullptr, false, false, FName);
  EXPECT_NE(another.Handle(), 0);
  EXPECT_EQ(another.Wait(0), TWait::Signalled) << "the stopped waiter cannot take the signal";
}

// An event object that others could reach is refused, and left untouched.
struct TForeignCase {
  const char* What;
  void (*Spoil)(const char* path);
  int Error;
};

class ForeignEventTest : public PosixEventTest, public ::testing::WithParamInterface<TForeignCase> {};

TEST_P(ForeignEventTest, IsRefused) {
  os::TEvent owner(nullptr, false, false, FName);
  ASSERT_NE(owner.Handle(), 0);
  GetParam().Spoil(FPath.c_str());
  os::TEvent refused(nullptr, false, false, FName);
  EXPECT_EQ(refused.Handle(), 0);
  EXPECT_EQ(refused.LastError(), GetParam().Error);
  EXPECT_FALSE(refused.Signal());
  EXPECT_EQ(owner.Wait(0), TWait::Timeout) << "nothing may be written into the refused object";
  EXPECT_EQ(chown(FPath.c_str(), getuid(), getgid()), 0);
  EXPECT_EQ(chmod(FPath.c_str(), 0600), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForeignEventTest,
    ::testing::Values(TForeignCase{"OwnedByAnotherUser",
                                   [](const char* path) { ASSERT_EQ(chown(path, 65534, 65534), 0); }, EACCES},
                      TForeignCase{"OpenToOthers", [](const char* path) { ASSERT_EQ(chmod(path, 0666), 0); },
                                   EACCES}),
    [](const auto& info) { return std::string(info.param.What); });

TEST_F(PosixEventTest, SymbolicLinkUnderTheNameIsRefused) {
  char target[] = "/tmp/tarvo-test-target-XXXXXX";
  int fd = mkstemp(target);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(symlink(target, FPath.c_str()), 0);
  os::TEvent refused(nullptr, false, false, FName);
  EXPECT_EQ(refused.Handle(), 0);
  EXPECT_EQ(refused.LastError(), ELOOP);
  struct stat info {};
  EXPECT_EQ(stat(target, &info), 0);
  EXPECT_EQ(info.st_size, 0);
  unlink(FPath.c_str());
  unlink(target);
}

TEST_F(PosixEventTest, EachUserHasAnEventOfItsOwn) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  os::TForeignObject blocker(FName);  // this user's name is taken by something else
  ASSERT_TRUE(blocker.Held());
  StartChild([this](int ready) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(4);
    os::TEvent event(nullptr, false, false, FName);
    if (event.Handle() != 0) Ready(ready);
    _exit(0);
  });
}

// The names in /dev/shm that begin with the event's path.
std::vector<std::string> NamesBeside(const std::string& path) {
  std::string prefix = path.substr(path.rfind('/') + 1);
  std::vector<std::string> names;
  DIR* directory = opendir("/dev/shm");
  if (!directory) return names;
  while (dirent* entry = readdir(directory))
    if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0) names.push_back(entry->d_name);
  closedir(directory);
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class StrictUmask {
 public:
  StrictUmask() : FSaved(umask(0277)) {}
  ~StrictUmask() { umask(FSaved); }

 private:
  mode_t FSaved;
};

TEST_F(PosixEventTest, ModeIsPrivateWhateverTheUmask) {
  StrictUmask strict;
  os::TEvent event(nullptr, false, false, FName);
  ASSERT_NE(event.Handle(), 0);
  EXPECT_EQ(ModeOf(FPath), 0600u);
}

// A file system without unnamed files (O_TMPFILE) is made by the test seam: none at hand has none.
class NoUnnamedFilesTest : public PosixEventTest {
 protected:
  void SetUp() override {
    PosixEventTest::SetUp();
    os::SetFaultHook([](const char* point) {
      if (std::string(point) == os::FaultNoUnnamedFiles) throw std::runtime_error("no O_TMPFILE");
    });
  }
  void TearDown() override {
    os::SetFaultHook(nullptr);
    PosixEventTest::TearDown();
  }
};

TEST_F(NoUnnamedFilesTest, EventIsPublishedCompleteAndPrivateUnderARandomTemporaryName) {
  StrictUmask strict;
  os::TEvent first(nullptr, false, false, FName);
  ASSERT_NE(first.Handle(), 0) << first.LastError();
  EXPECT_EQ(ModeOf(FPath), 0600u);
  EXPECT_EQ(NamesBeside(FPath), std::vector<std::string>{FPath.substr(FPath.rfind('/') + 1)})
      << "the temporary name is gone";
  os::TEvent second(nullptr, false, false, FName);
  ASSERT_NE(second.Handle(), 0);
  EXPECT_TRUE(second.Signal());
  EXPECT_EQ(first.Wait(0), TWait::Signalled);
}

TEST_F(PosixEventTest, WaiterPublishesTheEventAgainWhenItIsRemovedFromUnderIt) {
  os::TEvent waiter(nullptr, false, false, FName);
  ino_t first = NameInode();
  ASSERT_EQ(unlink(FPath.c_str()), 0);
  EXPECT_EQ(waiter.Wait(700), TWait::Timeout);
  ASSERT_TRUE(NameExists()) << "published again while waiting";
  EXPECT_NE(NameInode(), first);
  EXPECT_EQ(ModeOf(FPath), 0600u);
  os::TEvent signaller(nullptr, false, false, FName);
  EXPECT_TRUE(signaller.Signal());
  EXPECT_EQ(waiter.Wait(0), TWait::Signalled) << "the next signal reaches the waiter";
}

TEST_F(PosixEventTest, WaiterThatFindsTheEventPublishedByAnotherJoinsIt) {
  os::TEvent waiter(nullptr, false, false, FName);
  ASSERT_EQ(unlink(FPath.c_str()), 0);
  os::TEvent other(nullptr, false, false, FName);  // publishes a new object first
  ino_t published = NameInode();
  EXPECT_EQ(waiter.Wait(700), TWait::Timeout);
  EXPECT_EQ(NameInode(), published) << "the waiter took the existing object";
  EXPECT_TRUE(other.Signal());
  EXPECT_EQ(waiter.Wait(0), TWait::Signalled);
}

// ---- The log ----

using PosixLogTest = TTempDirTest;

// A batch that tells whose it is: "<writer> <number> <length>\n", then length letters of the
// writer's own, then "\n". The lengths vary up to several pages.
std::string Batch(int writer, int number) {
  size_t length = size_t(writer * 7919 + number * 104729) % 20000 + 1;
  return std::to_string(writer) + " " + std::to_string(number) + " " + std::to_string(length) + "\n" +
         std::string(length, char('a' + writer)) + "\n";
}

bool AppendBatch(const std::string& batch) {
  os::TFile file = os::LogOpenWaiting("S.LOG", 0, 10000);
  if (file == os::InvalidFile) return false;
  size_t written = 0;
  bool complete = os::LogSeekEnd(file) && os::LogWrite(file, batch.data(), batch.size(), written);
  os::LogForce(file);
  os::LogClose(file);
  return complete;
}

// Copies of the program append at the same time without waiting for each other, while other
// copies' size checks hold the log now and then; every batch lands whole and once.
TEST_F(PosixLogTest, WritersShareTheLogAndEachBatchLandsWhole) {
  os::TFile first = os::LogOpen("S.LOG", 0);
  ASSERT_NE(first, os::InvalidFile);
  os::TFile second = os::LogOpen("S.LOG", 0);
  EXPECT_NE(second, os::InvalidFile) << "a second writer is let in";
  os::LogClose(second);
  os::LogClose(first);

  constexpr int Writers = 8, Batches = 60;
  std::vector<pid_t> children;
  for (int writer = 0; writer < Writers; ++writer) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int number = 0; number < Batches; ++number)
        if (!AppendBatch(Batch(writer, number))) _exit(1);
      _exit(0);
    }
    children.push_back(child);
  }
  pid_t checker = fork();
  ASSERT_GE(checker, 0);
  if (checker == 0) {
    for (int check = 0; check < 2000; ++check) {
      os::TFile held = os::FileOpenExclusive("S.LOG");
      if (held != os::InvalidFile) os::LogClose(held);
    }
    _exit(0);
  }
  children.push_back(checker);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << child << " status " << status;
  }

  std::string log = ReadFile("S.LOG");
  std::map<int, int> nextOfWriter;
  for (size_t position = 0; position < log.size();) {
    int writer = -1, number = -1;
    size_t length = 0;
    ASSERT_EQ(sscanf(log.c_str() + position, "%d %d %zu\n", &writer, &number, &length), 3)
        << "at " << position;
    ASSERT_TRUE(writer >= 0 && writer < Writers) << "at " << position;
    std::string batch = Batch(writer, number);
    ASSERT_EQ(log.compare(position, batch.size(), batch), 0)
        << "batch " << writer << "/" << number << " is broken";
    EXPECT_EQ(number, nextOfWriter[writer]++) << "each writer's batches in order";
    position += batch.size();
  }
  for (int writer = 0; writer < Writers; ++writer) EXPECT_EQ(nextOfWriter[writer], Batches) << writer;
}

}  // namespace
