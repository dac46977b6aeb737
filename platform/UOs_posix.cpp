// POSIX (Linux) implementation of the operating-system layer.
// The named event is in UOs_posix_event.cpp.
#include <fcntl.h>
#include <langinfo.h>
#include <linux/magic.h>
#include <poll.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <exception>

#include "UOs.h"
#include "UOs_posix_common.h"

extern char** environ;

namespace os::posix {

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool SameFile(const struct stat& opened, const std::string& path) {
  struct stat named {};
  return lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool SameFile(int fd, const std::string& path) {
  struct stat opened {};
  return fstat(fd, &opened) == 0 && SameFile(opened, path);
}

}  // namespace os::posix

namespace os {

using posix::MonotonicMs;
using posix::SameFile;

namespace {

// How the locale's characters are made of bytes, as far as upper-casing cares.
enum class TCharacters {
  Ascii,       // C, or UTF-8: an ASCII byte is always a character of its own
  SingleByte,  // every byte is a character, letters beyond ASCII included
  MultiByte,   // e.g. BIG5, GBK: a trail byte may look like an ASCII letter
};

int32_t gLastError = 0;
volatile sig_atomic_t gTerminationRequested = 0;
char gTimeSeparator[8] = ":";
TCharacters gCharacters = TCharacters::Ascii;
constexpr int MaxLogReopens = 8;
constexpr long AlarmRepeatUs = 20000;

template <typename T>
T Failed(T result) {
  gLastError = errno;
  return result;
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

// The separator of a time format: the literal text after the first conversion that is followed
// by any (spaces aside), e.g. ':' in "%H:%M:%S". Only a text of one single-byte character is taken;
// anything else (ja_JP's "%H時%M分%S秒") gives ':'.
char SeparatorOf(const char* timeFormat, bool highBytesAreCharacters) {
  for (const char* p = strchr(timeFormat, '%'); p; p = strchr(p, '%')) {
    ++p;
    while (*p == 'E' || *p == 'O' || *p == '_' || *p == '-' || *p == '0' || *p == '^' || *p == '#') ++p;
    if (*p == 0) break;
    if (*p == 'T' || *p == 'R') return ':';
    const char* begin = ++p;
    while (*p && *p != '%') ++p;
    const char* end = p;
    while (begin < end && *begin == ' ') ++begin;
    while (end > begin && end[-1] == ' ') --end;
    if (begin == end) continue;
    unsigned char first = static_cast<unsigned char>(*begin);
    return end - begin == 1 && (first < 0x80 || highBytesAreCharacters) ? char(first) : ':';
  }
  return ':';
}

TCharacters CharactersOfLocale() {
  if (MB_CUR_MAX == 1) return TCharacters::SingleByte;
  return strcmp(nl_langinfo(CODESET), "UTF-8") == 0 ? TCharacters::Ascii : TCharacters::MultiByte;
}

// A closed descriptor 0, 1 or 2 would be the next one opened: the event or the log would land on
// it and a message for standard output would go into that file. One poll tells which are closed.
void OpenClosedStandardDescriptors() {
  pollfd standard[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  if (poll(standard, 3, 0) <= 0) return;
  for (const pollfd& descriptor : standard) {
    if (!(descriptor.revents & POLLNVAL)) continue;
    // The lowest free descriptor is this one. Without /dev/null (a bare chroot) a descriptor of
    // the root directory holds the place: reads and writes on it fail.
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) fd = open("/", O_PATH);
    if (fd >= 0 && fd != descriptor.fd) close(fd);
  }
}

void UpperCaseByte(char& c) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 'a' && byte <= 'z')
    c = static_cast<char>(byte - 'a' + 'A');
  else if (byte >= 0x80 && gCharacters == TCharacters::SingleByte)
    c = static_cast<char>(toupper(byte));
}

}  // namespace

void StartUp() {
  OpenClosedStandardDescriptors();
  // Past a file size limit a write must fail and report it, not kill the process.
  signal(SIGXFSZ, SIG_IGN);
  // The locale files are read only when the environment names a locale.
  const char* ctypeLocale = LocaleFor("LC_CTYPE");
  if (!IsDefaultLocale(ctypeLocale) && setlocale(LC_CTYPE, "")) gCharacters = CharactersOfLocale();
  const char* timeLocale = LocaleFor("LC_TIME");
  if (!IsDefaultLocale(timeLocale) && setlocale(LC_TIME, ""))
    gTimeSeparator[0] = SeparatorOf(nl_langinfo(T_FMT), gCharacters == TCharacters::SingleByte);
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

// No encoding a locale can name (UTF-8, EUC, BIG5, GBK, GB18030, Shift JIS) uses '/' or '.' inside
// a multi-byte character, so the file-name helpers need no lead bytes here.
bool IsLeadByte(char) { return false; }

void UpperCase(std::string& text) {
  mbstate_t state{};
  for (size_t i = 0; i < text.size();) {
    size_t length = 1;
    if (gCharacters == TCharacters::MultiByte) {
      length = mbrlen(&text[i], text.size() - i, &state);
      if (length == 0 || length > text.size() - i) {  // a NUL, or no valid character: one byte
        length = 1;
        state = mbstate_t{};
      }
    }
    if (length == 1) UpperCaseByte(text[i]);
    i += length;
  }
}

std::string ExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", &path[0], path.size());
    if (length < 0) {
      // No /proc (a chroot, a minimal container): the path the program was started by.
      const char* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
      return started ? std::string(started) : Failed(std::string());
    }
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

bool FindsProgram(const std::string& program) {
  auto executable = [](const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (program.empty()) return false;
  if (program.find('/') != std::string::npos) return executable(program);
  // The search that posix_spawnp makes: each entry of PATH, an empty one meaning the current
  // directory.
  const char* path = getenv("PATH");
  std::string entries = path ? path : "/bin:/usr/bin";
  for (size_t start = 0;;) {
    size_t end = entries.find(':', start);
    std::string directory = entries.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (executable((directory.empty() ? "." : directory) + "/" + program)) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

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
// The size check's hold on an open file: an exclusive lock, refused while a writer or another
// check holds it.
TFile HoldExclusively(int fd) {
  if (fd < 0) return Failed(InvalidFile);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    gLastError = errno;
    close(fd);
    return InvalidFile;
  }
  return fd;
}

void InstallAlarmOnce() {
  static bool installed = false;
  if (installed) return;
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the alarm must interrupt the lock's wait
  sigaction(SIGALRM, &action, nullptr);
  installed = true;
}

// True on the local file systems whose writes hold the file's own lock for their whole length, so
// that the kernel appends each write whole whoever else writes. Elsewhere (NFS, SMB, FUSE, ...)
// another machine's or server's writes could meet a batch halfway.
bool AppendsStayWhole(int fd) {
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) return false;
  constexpr uint32_t ZfsMagic = 0x2FC12FC1;
  switch (uint32_t(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case ZfsMagic:
      return true;
    default:
      return false;
  }
}

// Takes the writer's lock. Where the kernel appends each write whole (one appending write per
// batch), it is a shared one: writers need not keep each other out, so a crowd of copies never
// queues for the lock. Elsewhere it is exclusive. An exclusive lock (another copy's size check and
// rotation, or any other process) keeps writers out: then this waits in the kernel's queue until
// deadline and fails with EWOULDBLOCK when the lock is still held.
bool LockAsWriterUntil(int fd, int64_t deadline) {
  const int kind = AppendsStayWhole(fd) ? LOCK_SH : LOCK_EX;
  if (flock(fd, kind | LOCK_NB) == 0) return true;
  for (;;) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    int64_t left = deadline - MonotonicMs();
    // At the deadline, one last try: the holder may have let go just as the alarm went off.
    if (left <= 0) return flock(fd, kind | LOCK_NB) == 0;
    InstallAlarmOnce();
    // The alarm repeats until it is stopped: one that fires before flock sleeps cannot strand it.
    itimerval alarm{{0, AlarmRepeatUs}, {time_t(left / 1000), long(left % 1000) * 1000}};
    setitimer(ITIMER_REAL, &alarm, nullptr);
    int result = flock(fd, kind);
    int error = errno;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    if (result == 0) return true;
    errno = error;
  }
}

// Only a regular file is a log: a FIFO, a device or a socket under its name is refused (EINVAL).
bool IsRegularFile(int fd, struct stat& info) {
  if (fstat(fd, &info) != 0) return Failed(false);
  if (S_ISREG(info.st_mode)) return true;
  gLastError = EINVAL;
  return false;
}

// Opens name for appending and holds it as a writer. A writer that locked a file that was moved
// aside meanwhile (rotation by another copy) opens the name again; while it holds the lock, no
// copy can move the file.
TFile OpenAsWriter(const std::string& name, int64_t timeoutMs) {
  const int64_t deadline = MonotonicMs() + timeoutMs;
  for (int attempt = 0; attempt <= MaxLogReopens; ++attempt) {
    // Non-blocking, so that a FIFO under the name cannot stall the open.
    int fd = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) return Failed(InvalidFile);
    struct stat opened {};
    if (!IsRegularFile(fd, opened)) {
      close(fd);
      return InvalidFile;
    }
    if (!LockAsWriterUntil(fd, deadline)) {
      gLastError = errno;
      close(fd);
      return InvalidFile;
    }
    if (SameFile(opened, name)) return fd;
    close(fd);
  }
  gLastError = EWOULDBLOCK;
  return InvalidFile;
}
}  // namespace

TFile LogOpen(const std::string& name, int32_t /*extraFlags*/) { return OpenAsWriter(name, 0); }

TFile LogOpenWaiting(const std::string& name, int32_t /*extraFlags*/, int64_t timeoutMs) {
  return OpenAsWriter(name, timeoutMs);
}

bool LogSeekEnd(TFile file) { return lseek(int(file), 0, SEEK_END) >= 0 || Failed(false); }

bool LogWrite(TFile file, const char* data, size_t length, size_t& written) {
  ssize_t count = write(int(file), data, length);
  written = count > 0 ? size_t(count) : 0;
  if (count < 0) return Failed(false);
  if (written != length) gLastError = EFBIG;
  return written == length;
}

// The data are in the file already (appended by one write): a size check need not wait for the
// disk, so the hold ends before the forcing.
void LogForce(TFile file) {
  flock(int(file), LOCK_UN);
  fsync(int(file));
}

void LogClose(TFile file) { close(int(file)); }

// ---- Files by name ----

bool FileExists(const std::string& name) {
  struct stat info {};
  return lstat(name.c_str(), &info) == 0 ? !S_ISDIR(info.st_mode) : Failed(false);
}

int64_t FileSizeOfName(const std::string& name) {
  struct stat info {};
  if (lstat(name.c_str(), &info) != 0) return Failed(int64_t(-1));
  if (S_ISDIR(info.st_mode)) {
    gLastError = EISDIR;
    return -1;
  }
  return int64_t(info.st_size);
}

TFile FileOpenExclusive(const std::string& name) {
  // Non-blocking, so that a FIFO under the name cannot stall the open; FileSize refuses it. A
  // write-only log is opened for appending: the hold and the size need no reading.
  constexpr int Flags = O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(name.c_str(), O_RDONLY | Flags);
  if (fd < 0 && errno == EACCES) fd = open(name.c_str(), O_WRONLY | O_APPEND | Flags);
  return HoldExclusively(fd);
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

}  // namespace os
