// POSIX (Linux) implementation of the operating-system layer.
#include <fcntl.h>
#include <langinfo.h>
#include <linux/futex.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include "UOs.h"

extern char** environ;

namespace os {

namespace {

int32_t gLastError = 0;
volatile sig_atomic_t gTerminationRequested = 0;
char gTimeSeparator[8] = ":";
bool gUpperCaseSingleByte = false;

template <typename T>
T Failed(T result) {
  gLastError = errno;
  return result;
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool SameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

// The locale named for a category by the environment, the way setlocale(category, "") picks it.
const char* LocaleFor(const char* categoryVariable) {
  for (const char* variable : {"LC_ALL", categoryVariable, "LANG"}) {
    const char* value = getenv(variable);
    if (value && *value) return value;
  }
  return "";
}

// The C locale and its variants (C.UTF-8): ':' as the time separator and nothing to upper-case
// beyond ASCII, which is what the program does without loading a locale.
bool IsDefaultLocale(const char* locale) {
  return *locale == 0 || strcmp(locale, "C") == 0 || strncmp(locale, "C.", 2) == 0 ||
         strcmp(locale, "POSIX") == 0;
}

// The first literal character of a time format after a conversion, e.g. ':' in "%H:%M:%S".
char SeparatorOf(const char* timeFormat) {
  bool afterConversion = false;
  for (const char* p = timeFormat; *p; ++p) {
    if (*p == '%') {
      ++p;
      while (*p == 'E' || *p == 'O' || *p == '_' || *p == '-' || *p == '0' || *p == '^' || *p == '#') ++p;
      if (*p == 0) break;
      if (*p == 'T' || *p == 'R') return ':';
      afterConversion = true;
    } else if (afterConversion && *p != ' ') {
      return *p;
    }
  }
  return ':';
}

}  // namespace

void StartUp() {
  // Past a file size limit a write must fail and report it, not kill the process.
  signal(SIGXFSZ, SIG_IGN);
  // The locale files are read only when the environment names a locale.
  const char* ctypeLocale = LocaleFor("LC_CTYPE");
  if (!IsDefaultLocale(ctypeLocale) && setlocale(LC_CTYPE, "")) gUpperCaseSingleByte = MB_CUR_MAX == 1;
  const char* timeLocale = LocaleFor("LC_TIME");
  if (!IsDefaultLocale(timeLocale) && setlocale(LC_TIME, ""))
    gTimeSeparator[0] = SeparatorOf(nl_langinfo(T_FMT));
}

int RunOutermost(int (*body)()) {
  try {
    return body();
  } catch (const std::exception& error) {
    fprintf(stderr, "Application Error: %s\n", error.what());
  } catch (...) {
    fputs("Application Error: unknown exception\n", stderr);
  }
  return 1;
}

const char* const PathDelimiters = "/";

// Multi-byte encodings here (UTF-8 and the like) never use an ASCII byte inside a character.
bool IsLeadByte(char) { return false; }

void UpperCase(std::string& text) {
  for (char& c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 'a' && byte <= 'z') {
      c = static_cast<char>(byte - 'a' + 'A');
    } else if (byte >= 0x80 && gUpperCaseSingleByte) {
      c = static_cast<char>(toupper(byte));
    }
  }
}

std::string ExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", &path[0], path.size());
    if (length < 0) return Failed(std::string());
    if (size_t(length) < path.size()) {
      path.resize(size_t(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

TLocalTime LocalTime() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

const char* TimeSeparator() { return gTimeSeparator; }

void SleepMs(unsigned milliseconds) {
  timespec pause{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

void CatchTerminationRequests() {
  struct sigaction action {};
  action.sa_handler = [](int) { gTerminationRequested = 1; };
  sigemptyset(&action.sa_mask);
  for (int request : {SIGTERM, SIGINT, SIGHUP}) sigaction(request, &action, nullptr);
}

bool TerminationRequested() { return gTerminationRequested != 0; }

int RunAndWait(const std::vector<std::string>& command) {
  // Inherited as ignored, SIGCHLD would let the system reap the command and waitpid fail.
  signal(SIGCHLD, SIG_DFL);
  std::vector<char*> arguments;
  for (const std::string& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  // What StartUp ignores for this program is the command's own business again.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  int error = posix_spawnp(&child, arguments[0], nullptr, &attributes, arguments.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    gLastError = error;
    return -1;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return Failed(-1);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int32_t LastError() { return gLastError; }

bool IsSharingViolation(int32_t code) { return code == EWOULDBLOCK; }

// ---- The log file ----

namespace {
// The writer's hold on an open file: an exclusive lock, refused while another holds it.
TFile HoldAsWriter(int fd) {
  if (fd < 0) return Failed(InvalidFile);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    gLastError = errno;
    close(fd);
    return InvalidFile;
  }
  return fd;
}
}  // namespace

TFile LogOpen(const std::string& name, int32_t /*extraFlags*/) {
  return HoldAsWriter(open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
}

bool LogSeekEnd(TFile file) { return lseek(int(file), 0, SEEK_END) >= 0 || Failed(false); }

bool LogWrite(TFile file, const char* data, size_t length, size_t& written) {
  ssize_t count = write(int(file), data, length);
  written = count > 0 ? size_t(count) : 0;
  if (count < 0) return Failed(false);
  if (written != length) gLastError = EFBIG;
  return written == length;
}

void LogForce(TFile file) { fsync(int(file)); }

void LogClose(TFile file) { close(int(file)); }

// ---- Files by name ----

bool FileExists(const std::string& name) {
  struct stat info {};
  return lstat(name.c_str(), &info) == 0 ? !S_ISDIR(info.st_mode) : Failed(false);
}

TFile FileOpenExclusive(const std::string& name) {
  // Non-blocking, so that a FIFO under the name cannot stall the open; FileSize refuses it.
  return HoldAsWriter(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
}

int64_t FileSize(TFile file) {
  struct stat info {};
  if (fstat(int(file), &info) != 0) return Failed(int64_t(-1));
  if (!S_ISREG(info.st_mode)) {
    gLastError = EISDIR;
    return -1;
  }
  return int64_t(info.st_size);
}

bool FileIsNamed(TFile file, const std::string& name) { return SameFile(int(file), name); }

bool FileDelete(const std::string& name) { return unlink(name.c_str()) == 0 || Failed(false); }

bool FileRename(const std::string& oldName, const std::string& newName) {
  if (renameat2(AT_FDCWD, oldName.c_str(), AT_FDCWD, newName.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Failed(false);
  // A file system without RENAME_NOREPLACE: link fails on an existing name just the same.
  if (link(oldName.c_str(), newName.c_str()) != 0) return Failed(false);
  return unlink(oldName.c_str()) == 0 || Failed(false);
}

// ---- The named event ----
// The event is a small file in /dev/shm, named after the event and the real user id, mode 0600.
// Every handle holds a shared flock on it; the last one to close (the one that then gets the
// exclusive lock) removes it. An object that nobody holds any more (its holders were killed) is
// stale: the next opener removes it and creates a fresh one. Objects are published complete, by
// linking a fully written temporary file under the name. Signalling and waiting use a futex on
// the state word, so no process ever holds a lock that could stall another.

namespace {

struct TSharedEvent {
  char Marker[16];
  uint32_t State;  // 1 = set
  uint32_t ManualReset;
};
constexpr char EventMarker[16] = "tarvo-event/1";
constexpr int64_t OpenTimeoutMs = 2000;

std::string EventPath(const std::string& name) {
  std::string path = "/dev/shm/tarvo-event." + std::to_string(getuid()) + ".";
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

bool LockSharedUntil(int fd, int64_t deadline) {
  while (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || MonotonicMs() >= deadline) return false;
    SleepMs(1);
  }
  return true;
}

// A new event, fully written and locked before its name appears. -1 with errno EEXIST when
// another process published one first.
int PublishNewEvent(const std::string& path, bool manualReset, bool initialState) {
  static unsigned sequence = 0;
  std::string temporary = path + ".new." + std::to_string(getpid()) + "." + std::to_string(++sequence);
  int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  TSharedEvent content{};
  memcpy(content.Marker, EventMarker, sizeof EventMarker);
  content.State = initialState ? 1 : 0;
  content.ManualReset = manualReset ? 1 : 0;
  int result = -1;
  if (pwrite(fd, &content, sizeof content, 0) == ssize_t(sizeof content) && flock(fd, LOCK_SH) == 0 &&
      link(temporary.c_str(), path.c_str()) == 0)
    result = fd;
  int error = errno;
  unlink(temporary.c_str());
  if (result < 0) close(fd);
  errno = error;
  return result;
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
    if (LockSharedUntil(fd, deadline) && SameFile(fd, path)) return fd;
    close(fd);  // removed by its last holder meanwhile: start again
  }
  errno = ETIMEDOUT;
  return -1;
}

int MoveAboveZero(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  int error = errno;
  close(fd);
  errno = error;
  return moved;
}

long Futex(uint32_t* word, int operation, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

}  // namespace

TEvent::TEvent(const void* /*securityAttributes*/, bool manualReset, bool initialState,
               const std::string& name)
    : FObjectName(EventPath(name)) {
  FaultPoint("event-create");
  int fd = OpenEventObject(FObjectName, manualReset, initialState);
  if (fd == 0) fd = MoveAboveZero(fd);  // descriptor 0 would read as "no handle"
  if (fd < 0) {
    FLastError = errno;
    return;
  }
  void* mapped = mmap(nullptr, sizeof(TSharedEvent), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    FLastError = errno;
    close(fd);
    return;
  }
  FShared = mapped;
  FHandle = fd;
}

TEvent::~TEvent() {
  if (FShared) munmap(FShared, sizeof(TSharedEvent));
  if (FHandle == 0) return;
  int fd = int(FHandle);
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && SameFile(fd, FObjectName)) unlink(FObjectName.c_str());
  close(fd);
}

bool TEvent::Signal() {
  FaultPoint("event-signal");
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

TEvent::TWaitResult TEvent::Wait(int64_t timeoutMs) {
  auto* shared = static_cast<TSharedEvent*>(FShared);
  if (!shared) {
    FLastError = EBADF;
    return TWaitResult::Failed;
  }
  const int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    uint32_t set = 1;
    if (shared->ManualReset ? __atomic_load_n(&shared->State, __ATOMIC_SEQ_CST) == 1
                            : __atomic_compare_exchange_n(&shared->State, &set, 0u, false, __ATOMIC_SEQ_CST,
                                                          __ATOMIC_SEQ_CST))
      return TWaitResult::Signalled;
    timespec remaining{};
    if (timeoutMs >= 0) {
      int64_t left = deadline - MonotonicMs();
      if (left <= 0) return TWaitResult::Timeout;
      remaining = {time_t(left / 1000), long(left % 1000) * 1000000L};
    }
    if (Futex(&shared->State, FUTEX_WAIT, 0, timeoutMs >= 0 ? &remaining : nullptr) < 0 && errno != EAGAIN &&
        errno != EINTR && errno != ETIMEDOUT) {
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
