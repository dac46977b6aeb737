// The operating-system layer: everything the program needs from the system, and nothing more.
// One implementation per system (UOs_posix.cpp with UOs_posix_event.cpp, UOs_win32.cpp); no other
// code touches the system.
//
// Callers: "program" groups serve tarvo (and through the log classes, everything that writes a
// log); "peer" groups serve tarvo-wait; "tests only" groups are never used by a shipped program's
// own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace os {

// ---- Start-up and the outermost handler (program and peer) ----

// Called first by every program. Reads what the program takes from its surroundings once
// (locale: time separator, upper-casing rules) and sets the process up: standard descriptors that
// were closed are opened on the null device (so that no file the program opens lands on them),
// and a write past a file size limit fails instead of killing.
void StartUp();

// Runs body; an exception that escapes it is reported the system's way (message box on Windows,
// standard error on POSIX) and ends the process with exit code 1.
int RunOutermost(int (*body)());

// ---- Fault seam (tests only; the shipped programs never set a hook) ----

// The points where the hook is called. A hook that throws there makes the step fail: at
// FaultEventCreate and FaultEventSignal the exception reaches the caller; at FaultNoUnnamedFiles
// (POSIX) it is taken as "this file system has no unnamed files", so that the event is published
// the way it is where O_TMPFILE is unsupported.
constexpr const char* FaultEventCreate = "event-create";
constexpr const char* FaultEventSignal = "event-signal";
constexpr const char* FaultNoUnnamedFiles = "event-no-unnamed-files";
using TFaultHook = void (*)(const char* point);
void SetFaultHook(TFaultHook hook);
void FaultPoint(const char* point);

// ---- Text and file names (program) ----

// Characters that end a directory part of a path, for the file-name helpers.
extern const char* const PathDelimiters;

// True when c starts a double-byte character in the active code page.
bool IsLeadByte(char c);

// Upper-cases text in place, character by character in the active code page (a byte inside a
// multi-byte character is never changed); the length never changes.
void UpperCase(std::string& text);

// The full path of the running executable, however long; empty when the system cannot tell.
std::string ExecutablePath();

// ---- Time (program; the sleeps and termination requests: peer) ----

struct TLocalTime {
  int Year, Month, Day, Hour, Minute, Second;
};
TLocalTime LocalTime();
// The locale's time separator as read by StartUp: one whole character (its bytes, NUL-terminated);
// ":" when the locale gives none.
const char* TimeSeparator();

void SleepMs(unsigned milliseconds);

// From now on a request to end the process (POSIX: SIGTERM, SIGINT, SIGHUP; Windows: console
// close or Ctrl+C) only sets a flag, so that the program can end in order and release its objects.
void CatchTerminationRequests();
bool TerminationRequested();
// Sleeps for milliseconds, or less when the process is asked to end meanwhile.
void SleepUnlessAsked(int64_t milliseconds);

// ---- Running a command (peer) ----

// Runs command[0] (looked up in the search path when it names no directory) with the arguments
// that follow, with this process's standard streams, and waits until it ends, also when this
// process is asked to end meanwhile. Its exit code; -1 when it cannot be started (see LastError).
int RunAndWait(const std::vector<std::string>& command);
// True when program names, or the search path holds, an executable file of that name, so that a
// mistyped command is reported before the first run.
bool FindsProgram(const std::string& program);

// ---- Errors (program) ----

// The system's error code of the last failed call of this layer's free functions (not of TEvent or
// TForeignObject, which keep their own). One value for the whole process, not one per thread: the
// programs have one thread.
int32_t LastError();
// True when code says that a file is held open by another writer.
bool IsSharingViolation(int32_t code);

// ---- The log file (program) ----
// Readers that let writers in may read the file while it is written (Windows: read access with
// write sharing; POSIX: no lock). Nothing follows a symbolic link.
// Windows: a writer holds the file alone; while it is open here, another writer's open fails with
// a sharing violation.
// POSIX: the file is opened write-only for appending and held with a flock. On the local file
// systems where the kernel keeps each appending write whole (ext4, XFS, Btrfs, tmpfs, F2FS,
// overlayfs, ZFS) the lock is shared and writers share the file; elsewhere (NFS, SMB, FUSE, ...) it
// is exclusive, and a writer holds the file alone as on Windows. An exclusive lock (a size check,
// or any other process) keeps writers out with a sharing violation. A writer that got the lock
// checks that the name still leads to the file it locked and opens again otherwise.

using TFile = intptr_t;
constexpr TFile InvalidFile = -1;

// Opens name for writing, creating it when missing. extraFlags are OR'ed into the open (Win32
// flags and attributes; ignored on POSIX). InvalidFile on failure (see LastError).
TFile LogOpen(const std::string& name, int32_t extraFlags);
// LogOpen that, while the file is held against it, waits for up to timeoutMs (POSIX: in the
// kernel's queue of the lock) before it fails with a sharing violation.
TFile LogOpenWaiting(const std::string& name, int32_t extraFlags, int64_t timeoutMs);
bool LogSeekEnd(TFile file);
// One write call; written receives the count of bytes that reached the file.
bool LogWrite(TFile file, const char* data, size_t length, size_t& written);
// Forces written data to disk; the file may only be closed afterwards. POSIX: ends the writer's
// hold first (the batch is in the file already), so that a size check need not wait for the disk.
void LogForce(TFile file);
void LogClose(TFile file);

// ---- Files by name (program: log rotation) ----

// True when name is an existing entry that is not a directory.
bool FileExists(const std::string& name);
// The size of the file under name, read without opening it (POSIX: a symbolic link's own); -1
// when there is none or it is a directory.
int64_t FileSizeOfName(const std::string& name);
// Opens an existing file for its size check: while it is open here no writer and no other size
// check can hold it, readers can, and it can still be renamed. InvalidFile when it is missing, held
// by a writer or held by another copy's check.
TFile FileOpenExclusive(const std::string& name);
// The size of an open regular file; -1 when it cannot be read or is no regular file.
int64_t FileSize(TFile file);
// True when name still leads to the open file (it was not renamed or replaced meanwhile).
bool FileIsNamed(TFile file, const std::string& name);
bool FileDelete(const std::string& name);
// Renames a file; fails when newName exists, never replacing it.
bool FileRename(const std::string& oldName, const std::string& newName);

// ---- The named event (program and peer) ----
// Windows: a kernel event object. POSIX: an object in /dev/shm owned by the real user; it lives
// while some process holds it open, like its Windows counterpart (see UOs_posix_event.cpp).

class TEvent {
 public:
  enum class TWaitResult { Signalled, Timeout, Failed };

  // Creates the event, or opens it when it already exists. securityAttributes must be null (kept
  // for the shape of the system call). Handle() is 0 when this fails; LastError() then holds the
  // system's error code.
  TEvent(const void* securityAttributes, bool manualReset, bool initialState, const std::string& name);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  intptr_t Handle() const { return FHandle; }
  int32_t LastError() const { return FLastError; }

  // Sets the event: an auto-reset event releases one waiter, or stays set until the next wait.
  // False on failure, with the error code in LastError().
  bool Signal();
  // Waits until the event is set; timeoutMs < 0 waits for ever. POSIX: while it waits, it checks
  // about every half second that the name still leads to its object, and opens or publishes the
  // event again when the object was removed from under it.
  TWaitResult Wait(int64_t timeoutMs);

 private:
  bool Attach(int fd);
  void Detach();
  void RecoverRemovedObject();

  std::string FObjectName;  // POSIX: the path of the shared object
  intptr_t FHandle = 0;
  int32_t FLastError = 0;
  void* FShared = nullptr;   // POSIX: the mapped shared state
  int64_t FNextCheckMs = 0;  // POSIX: when Wait next checks that the name leads to the object
};

// An object of another kind put under an event's name (POSIX: a file that is not an event;
// Windows: a mutex), held until destruction. Peer only: tarvo-wait --clash, for name clashes.
class TForeignObject {
 public:
  explicit TForeignObject(const std::string& name);
  ~TForeignObject();
  TForeignObject(const TForeignObject&) = delete;
  TForeignObject& operator=(const TForeignObject&) = delete;
  bool Held() const { return FHandle != 0; }
  int32_t LastError() const { return FLastError; }

 private:
  std::string FObjectName;  // POSIX: the path of the object
  intptr_t FHandle = 0;
  int32_t FLastError = 0;
};

}  // namespace os
