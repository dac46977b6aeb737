// The named event on POSIX (Linux), and the foreign object that tarvo-wait --clash puts in its way.
//
// The event is the file /dev/shm/tarvo-event.<real uid>.<name>, mode 0600: a marker, the state
// word and the reset kind. Anything else under that name is refused and left untouched.
// - Publication: a new object is written and locked in an unnamed file (O_TMPFILE) and linked
//   under the name only when complete, so no other name ever appears and a killed publisher leaves
//   nothing. The link fails when another process published first; that object is opened instead.
//   Where the file system has no unnamed files, a temporary name drawn at random stands in.
// - Lifetime by locks: every handle holds a shared flock. A closing handle that gets the exclusive
//   lock is the last one and removes the name; an opener that meets that lock waits until it ends
//   or the name is gone, and then starts again.
// - Stale objects: an object whose holders were all killed is locked exclusively at once by the
//   next opener, which removes it and publishes a fresh one.
// - Waking: Signal sets the state word and wakes every futex waiter; an auto-reset waiter takes
//   the state by compare-and-swap, so exactly one succeeds. A waiter whose object was removed
//   from under it (a cleaner, logind's RemoveIPC) notices within half a second and opens or
//   publishes the event again.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "UOs.h"
#include "UOs_posix_common.h"

namespace os {

namespace {

using posix::MonotonicMs;
using posix::SameFile;

struct TSharedEvent {
  char Marker[16];
  uint32_t State;  // 1 = set
  uint32_t ManualReset;
};
constexpr char EventMarker[16] = "tarvo-event/1";
constexpr char EventDirectory[] = "/dev/shm";
constexpr int64_t OpenTimeoutMs = 2000;
constexpr int64_t NameCheckMs = 500;
constexpr int TemporaryNameTries = 16;

std::string EventPath(const std::string& name) {
  std::string path = std::string(EventDirectory) + "/tarvo-event." + std::to_string(getuid()) + ".";
  for (char c : name) path += c == '/' ? '_' : c;
  return path;
}

// 0 when fd is an event of this user's; otherwise the error code that refuses it.
int CheckEventObject(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return errno;
  if (info.st_uid != getuid() || (info.st_mode & 077) != 0) return EACCES;
  TSharedEvent content{};
  if (!S_ISREG(info.st_mode) || info.st_size != sizeof content ||
      pread(fd, &content, sizeof content, 0) != ssize_t(sizeof content) ||
      memcmp(content.Marker, EventMarker, sizeof EventMarker) != 0)
    return EEXIST;
  return 0;
}

// Takes a handle's shared lock on the object open on fd, under path. An exclusive lock on it
// belongs to a process that is removing the name (the last handle closing, or an opener replacing
// a stale object): once the name no longer leads to this object there is nothing to wait for,
// whether or not that process has let go yet.
// False also when the lock is still held at deadline.
bool LockSharedUntil(int fd, const std::string& path, int64_t deadline) {
  while (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || MonotonicMs() >= deadline) return false;
    if (!SameFile(fd, path)) return false;
    SleepMs(1);
  }
  return true;
}

int CloseKeepingErrno(int fd) {
  int error = errno;
  close(fd);
  errno = error;
  return -1;
}

// The test seam's stand-in for a file system without unnamed files.
bool UnnamedFilesRefusedByTest() {
  try {
    FaultPoint(FaultNoUnnamedFiles);
  } catch (...) {
    return true;
  }
  return false;
}

// A temporary name nobody can foresee: another user cannot occupy it first.
std::string RandomName(const std::string& path) {
  uint64_t random = 0;
  if (getrandom(&random, sizeof random, GRND_NONBLOCK) != ssize_t(sizeof random))
    random ^= uint64_t(MonotonicMs()) * 0x9E3779B97F4A7C15u ^ uint64_t(getpid());
  static const char digits[] = "0123456789abcdef";
  std::string name = path + ".new.";
  for (int shift = 60; shift >= 0; shift -= 4) name += digits[(random >> shift) & 15];
  return name;
}

// A new file for the event: unnamed (temporary stays empty), or under a random temporary name.
int CreateEventFile(const std::string& path, std::string& temporary) {
  temporary.clear();
  if (!UnnamedFilesRefusedByTest()) {
    int fd = open(EventDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  }
  for (int attempt = 0; attempt < TemporaryNameTries; ++attempt) {
    temporary = RandomName(path);
    int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  temporary.clear();
  errno = EBUSY;  // not EEXIST: that would send the caller round again at once
  return -1;
}

// Gives the complete file its name; fails with EEXIST when the name is taken.
bool LinkUnderName(int fd, const std::string& temporary, const std::string& path) {
  if (!temporary.empty()) {
    bool linked = link(temporary.c_str(), path.c_str()) == 0;
    int error = errno;
    unlink(temporary.c_str());
    errno = error;
    return linked;
  }
  if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != ENOENT && errno != EPERM) return false;
  // Kernels that allow AT_EMPTY_PATH only with CAP_DAC_READ_SEARCH: the same file through /proc.
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// A new event, fully written and locked before its name appears. -1 with errno EEXIST when
// another process published one first.
int PublishNewEvent(const std::string& path, bool manualReset, bool initialState) {
  std::string temporary;
  int fd = CreateEventFile(path, temporary);
  if (fd < 0) return -1;
  TSharedEvent content{};
  memcpy(content.Marker, EventMarker, sizeof EventMarker);
  content.State = initialState ? 1 : 0;
  content.ManualReset = manualReset ? 1 : 0;
  // The mode is 0600 whatever the umask: the same user's next process must be able to open it.
  if (fchmod(fd, 0600) == 0 && pwrite(fd, &content, sizeof content, 0) == ssize_t(sizeof content) &&
      flock(fd, LOCK_SH) == 0 && LinkUnderName(fd, temporary, path))
    return fd;
  if (!temporary.empty()) unlink(temporary.c_str());
  return CloseKeepingErrno(fd);
}

// Creates or opens the event at path; -1 with errno set on failure.
int OpenEventObject(const std::string& path, bool manualReset, bool initialState) {
  const int64_t deadline = MonotonicMs() + OpenTimeoutMs;
  while (MonotonicMs() < deadline) {
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno != ENOENT) return -1;
      fd = PublishNewEvent(path, manualReset, initialState);
      if (fd >= 0 || errno != EEXIST) return fd;
      continue;
    }
    if (int refusal = CheckEventObject(fd)) {
      close(fd);
      errno = refusal;
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Nobody holds it: its holders are gone without closing. Replace it.
      if (SameFile(fd, path)) unlink(path.c_str());
      close(fd);
      continue;
    }
    if (LockSharedUntil(fd, path, deadline) && SameFile(fd, path)) return fd;
    close(fd);  // removed by its last holder meanwhile: start again
  }
  errno = ETIMEDOUT;
  return -1;
}

int MoveAboveZero(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  CloseKeepingErrno(fd);
  return moved;
}

long Futex(uint32_t* word, int operation, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

}  // namespace

TEvent::TEvent(const void* /*securityAttributes*/, bool manualReset, bool initialState,
               const std::string& name)
    : FObjectName(EventPath(name)), FNextCheckMs(MonotonicMs() + NameCheckMs) {
  FaultPoint(FaultEventCreate);
  int fd = OpenEventObject(FObjectName, manualReset, initialState);
  if (fd < 0)
    FLastError = errno;
  else
    Attach(fd);
}

// Maps the object open on fd and takes it as this handle's; closes fd on failure.
bool TEvent::Attach(int fd) {
  if (fd == 0) fd = MoveAboveZero(fd);  // descriptor 0 would read as "no handle"
  if (fd < 0) {
    FLastError = errno;
    return false;
  }
  void* mapped = mmap(nullptr, sizeof(TSharedEvent), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    FLastError = errno;
    close(fd);
    return false;
  }
  FShared = mapped;
  FHandle = fd;
  return true;
}

// Lets go of the object; removes its name when this was the last handle.
void TEvent::Detach() {
  if (FShared) munmap(FShared, sizeof(TSharedEvent));
  FShared = nullptr;
  if (FHandle == 0) return;
  int fd = int(FHandle);
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && SameFile(fd, FObjectName)) unlink(FObjectName.c_str());
  close(fd);
  FHandle = 0;
}

TEvent::~TEvent() { Detach(); }

bool TEvent::Signal() {
  FaultPoint(FaultEventSignal);
  auto* shared = static_cast<TSharedEvent*>(FShared);
  if (!shared) {
    FLastError = EBADF;
    return false;
  }
  __atomic_store_n(&shared->State, 1u, __ATOMIC_SEQ_CST);
  // All waiters wake and race for the state; with auto-reset exactly one of them takes it. Waking
  // only one could strand the signal if that waiter died before taking it.
  if (Futex(&shared->State, FUTEX_WAKE, INT_MAX, nullptr) < 0) {
    FLastError = errno;
    return false;
  }
  return true;
}

// When the name no longer leads to this handle's object, nobody else can reach it: opens (or
// publishes) the event under the name again. On failure the old object is kept, to try again later.
void TEvent::RecoverRemovedObject() {
  if (SameFile(int(FHandle), FObjectName)) return;
  auto* shared = static_cast<TSharedEvent*>(FShared);
  int fd = OpenEventObject(FObjectName, shared->ManualReset != 0, false);
  if (fd < 0) return;
  Detach();
  Attach(fd);
}

TEvent::TWaitResult TEvent::Wait(int64_t timeoutMs) {
  if (!FShared) {
    FLastError = EBADF;
    return TWaitResult::Failed;
  }
  const int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    auto* shared = static_cast<TSharedEvent*>(FShared);
    uint32_t set = 1;
    if (shared->ManualReset ? __atomic_load_n(&shared->State, __ATOMIC_SEQ_CST) == 1
                            : __atomic_compare_exchange_n(&shared->State, &set, 0u, false, __ATOMIC_SEQ_CST,
                                                          __ATOMIC_SEQ_CST))
      return TWaitResult::Signalled;
    int64_t now = MonotonicMs();
    if (now >= FNextCheckMs) {
      FNextCheckMs = now + NameCheckMs;
      RecoverRemovedObject();
      if (!FShared) return TWaitResult::Failed;
      continue;
    }
    int64_t left = FNextCheckMs - now;
    if (timeoutMs >= 0) {
      if (deadline - now <= 0) return TWaitResult::Timeout;
      if (deadline - now < left) left = deadline - now;
    }
    timespec slice{time_t(left / 1000), long(left % 1000) * 1000000L};
    if (Futex(&shared->State, FUTEX_WAIT, 0, &slice) < 0 && errno != EAGAIN && errno != EINTR &&
        errno != ETIMEDOUT) {
      FLastError = errno;
      return TWaitResult::Failed;
    }
  }
}

TForeignObject::TForeignObject(const std::string& name) : FObjectName(EventPath(name)) {
  int fd = open(FObjectName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd == 0) fd = MoveAboveZero(fd);
  static const char content[] = "not an event\n";
  if (fd < 0 || write(fd, content, sizeof content - 1) < 0) {
    FLastError = errno;
    if (fd >= 0) {
      unlink(FObjectName.c_str());
      close(fd);
    }
    return;
  }
  FHandle = fd;
}

TForeignObject::~TForeignObject() {
  if (FHandle == 0) return;
  unlink(FObjectName.c_str());
  close(int(FHandle));
}

}  // namespace os
