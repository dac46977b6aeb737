// The operating-system layer: everything the program needs from the system, and nothing more.
// One implementation per system (UOs_posix.cpp, UOs_win32.cpp); no other code touches the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace os {

// ---- Start-up and the outermost handler ----

// Reads what the program takes from its surroundings once (locale: time separator, upper-casing
// rules) and sets the process up (e.g. a write past a file size limit fails instead of killing).
void StartUp();

// Runs body; an exception that escapes it is reported the system's way (message box on Windows,
// standard error on POSIX) and ends the process with exit code 1.
int RunOutermost(int (*body)());

// Test seam: a hook called where the tests inject faults ("event-create", "event-signal"); it may
// throw. The shipped programs never set it.
using TFaultHook = void (*)(const char* point);
void SetFaultHook(TFaultHook hook);
void FaultPoint(const char* point);

// ---- Text and file names ----

// Characters that end a directory part of a path, for the file-name helpers.
extern const char* const PathDelimiters;

// True when c starts a double-byte character in the active code page.
bool IsLeadByte(char c);

// Upper-cases name in place in the active single-byte code page; the length never changes.
void UpperCase(std::string& text);

// The full path of the running executable, however long; empty when the system cannot tell.
std::string ExecutablePath();

// ---- Time ----

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

// Runs command[0] (looked up in the search path when it names no directory) with the arguments
// that follow, with this process's standard streams, and waits until it ends, also when this
// process is asked to end meanwhile. Its exit code; -1 when it cannot be started (see LastError).
int RunAndWait(const std::vector<std::string>& command);

// ---- Errors ----

// The system's error code of the last failed call of this layer on this thread.
int32_t LastError();
// True when code says that a file is held open by another writer.
bool IsSharingViolation(int32_t code);

// ---- The log file ----
// A writer holds the file alone: while it is open here, another writer's open fails with a
// sharing violation; readers may read it at any time. Nothing follows a symbolic link.

using TFile = intptr_t;
constexpr TFile InvalidFile = -1;

// Opens name for writing, creating it when missing. extraFlags are OR'ed into the open (Win32
// flags and attributes; ignored on POSIX). InvalidFile on failure (see LastError).
TFile LogOpen(const std::string& name, int32_t extraFlags);
bool LogSeekEnd(TFile file);
// One write call; written receives the count of bytes that reached the file.
bool LogWrite(TFile file, const char* data, size_t length, size_t& written);
// Forces written data to disk.
void LogForce(TFile file);
void LogClose(TFile file);

// ---- Files by name (log rotation) ----

// True when name is an existing entry that is not a directory.
bool FileExists(const std::string& name);
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

// ---- The named event ----
// Windows: a kernel event object. POSIX: an object in /dev/shm owned by the real user; it lives
// while some process holds it open, like its Windows counterpart.

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
  // Waits until the event is set; timeoutMs < 0 waits for ever.
  TWaitResult Wait(int64_t timeoutMs);

 private:
  std::string FObjectName;  // POSIX: the path of the shared object
  intptr_t FHandle = 0;
  int32_t FLastError = 0;
  void* FShared = nullptr;  // POSIX: the mapped shared state
};

// An object of another kind put under an event's name (POSIX: shared memory that is not an event;
// Windows: a mutex), held until destruction. Used by the peer program to test name clashes.
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
