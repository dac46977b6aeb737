// Win32 implementation of the operating-system layer.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <exception>

#include "UOs.h"

// The C++ library's default terminate handler prints the exception's demangled type name to a
// console this GUI program does not have, and brings a whole demangler (a sixth of the program)
// with it. Every exception is caught in RunOutermost; should terminate still be reached, abort.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}  // namespace __gnu_cxx

namespace os {

namespace {

int32_t gLastError = 0;
char gTimeSeparator[8] = ":";
volatile LONG gTerminationRequested = 0;

template <typename T>
T Failed(T result) {
  gLastError = int32_t(GetLastError());
  return result;
}

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// user32 costs a run more than all its other work, and only upper-casing beyond ASCII and the
// message box of an escaped exception need it: it is loaded the first time one of them does.
template <typename T>
T User32Function(const char* name) {
  static HMODULE user32 = LoadLibraryA("user32.dll");
  return user32 ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

// What the system's runtime does with an exception nobody caught: the unhandled-exception filter
// first (a debugger or the system may take over there), then a task-modal message box.
void ReportUnhandled(const char* message) {
  ULONG_PTR text = reinterpret_cast<ULONG_PTR>(message);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xE0000001;  // an application exception, not a fault
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.NumberParameters = 1;
  record.ExceptionInformation[0] = text;
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  UnhandledExceptionFilter(&pointers);
  using TMessageBoxA = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
  if (auto messageBox = User32Function<TMessageBoxA>("MessageBoxA"))
    messageBox(nullptr, message, "Application Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace

void StartUp() {
  // The separator is a whole character, of two bytes in a double-byte code page.
  char separator[sizeof gTimeSeparator] = {};
  if (GetLocaleInfoA(GetThreadLocale(), LOCALE_STIME, separator, sizeof separator) > 1 && separator[0])
    memcpy(gTimeSeparator, separator, sizeof separator);
}

int RunOutermost(int (*body)()) {
  try {
    return body();
  } catch (const std::exception& error) {
    ReportUnhandled(error.what());
  } catch (...) {
    ReportUnhandled("Unknown exception");
  }
  return 1;
}

const char* const PathDelimiters = "\\:";

bool IsLeadByte(char c) { return IsDBCSLeadByte(static_cast<BYTE>(c)) != 0; }

void UpperCase(std::string& text) {
  // Every code page maps a-z to A-Z, so pure ASCII needs no user32. Any other byte goes through
  // the system: in a double-byte code page an ASCII letter can be the trail byte of a character.
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    for (char& c : text)
      if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return;
  }
  using TCharUpperBuffA = DWORD(WINAPI*)(LPSTR, DWORD);
  if (auto charUpperBuff = User32Function<TCharUpperBuffA>("CharUpperBuffA"))
    charUpperBuff(&text[0], DWORD(text.size()));
}

std::string ExecutablePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, &path[0], DWORD(path.size()));
    if (length == 0) return Failed(std::string());
    // In a double-byte code page a character that does not fit is left out whole, with no error:
    // a result that leaves fewer than two bytes free may have been cut.
    if (length + 1 < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);  // cut short: try a larger buffer
  }
}

TLocalTime LocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

const char* TimeSeparator() { return gTimeSeparator; }

void SleepMs(unsigned milliseconds) { Sleep(milliseconds); }

namespace {
BOOL WINAPI NoteTerminationRequest(DWORD) {
  InterlockedExchange(&gTerminationRequested, 1);
  return TRUE;
}
}  // namespace

void CatchTerminationRequests() { SetConsoleCtrlHandler(NoteTerminationRequest, TRUE); }

bool TerminationRequested() { return InterlockedCompareExchange(&gTerminationRequested, 0, 0) != 0; }

namespace {
// One argument the way the C runtime's command-line parser reads it back.
void AppendQuoted(std::string& line, const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
    line += argument;
    return;
  }
  line += '"';
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, '\\');
  line += '"';
}
}  // namespace

bool FindsProgram(const std::string& program) {
  // Where CreateProcessA looks: the program's directory, the current one, the system's, PATH.
  char found[MAX_PATH];
  return !program.empty() && SearchPathA(nullptr, program.c_str(), ".exe", MAX_PATH, found, nullptr) > 0;
}

int RunAndWait(const std::vector<std::string>& command) {
  std::string line;
  for (const std::string& argument : command) {
    if (!line.empty()) line += ' ';
    AppendQuoted(line, argument);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    return Failed(-1);
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return int(code);
}

int32_t LastError() { return gLastError; }

bool IsSharingViolation(int32_t code) { return code == ERROR_SHARING_VIOLATION; }

// ---- The log file ----

TFile LogOpen(const std::string& name, int32_t extraFlags) {
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            DWORD(extraFlags) | FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(InvalidFile);
  return FromHandle(file);
}

// Windows has no queue for a sharing violation: try again every few milliseconds.
TFile LogOpenWaiting(const std::string& name, int32_t extraFlags, int64_t timeoutMs) {
  constexpr int64_t PauseMs = 10;
  for (int64_t waited = 0;; waited += PauseMs) {
    TFile file = LogOpen(name, extraFlags);
    if (file != InvalidFile || !IsSharingViolation(LastError()) || waited >= timeoutMs) return file;
    Sleep(DWORD(PauseMs));
  }
}

bool LogSeekEnd(TFile file) {
  LARGE_INTEGER distance{};
  return SetFilePointerEx(AsHandle(file), distance, nullptr, FILE_END) || Failed(false);
}

bool LogWrite(TFile file, const char* data, size_t length, size_t& written) {
  DWORD count = 0;
  BOOL ok = WriteFile(AsHandle(file), data, DWORD(length), &count, nullptr);
  written = count;
  if (!ok) return Failed(false);
  return count == length;
}

void LogForce(TFile file) { FlushFileBuffers(AsHandle(file)); }

void LogClose(TFile file) { CloseHandle(AsHandle(file)); }

// ---- Files by name ----

bool FileExists(const std::string& name) {
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA(name.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return Failed(false);
  FindClose(search);
  FILETIME local{};
  WORD dosDate = 0, dosTime = 0;
  return !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) &&
         FileTimeToDosDateTime(&local, &dosDate, &dosTime);
}

namespace {
// A lock on a range no log reaches: it touches no byte a writer or reader uses, and only one size
// check at a time can hold it.
constexpr DWORD CheckLockOffsetHigh = 0x7FFFFFF0;
constexpr DWORD CheckLockLength = 1;

bool SameFile(HANDLE one, HANDLE other) {
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  return GetFileInformationByHandle(one, &a) && GetFileInformationByHandle(other, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}
}  // namespace

int64_t FileSizeOfName(const std::string& name) {
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &attributes)) return Failed(int64_t(-1));
  if (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    gLastError = ERROR_DIRECTORY;
    return -1;
  }
  return int64_t((uint64_t(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow);
}

TFile FileOpenExclusive(const std::string& name) {
  if (!FileExists(name)) return InvalidFile;
  // Read access with read sharing keeps writers out (they ask for write access) and lets readers
  // in; delete sharing lets the file be renamed while held. Other copies' checks are kept out by
  // the lock; a copy that cannot take it leaves the check to the copy that holds it.
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(InvalidFile);
  OVERLAPPED range{};
  range.OffsetHigh = CheckLockOffsetHigh;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, CheckLockLength, 0, &range)) {
    Failed(0);
    CloseHandle(file);
    return InvalidFile;
  }
  return FromHandle(file);
}

int64_t FileSize(TFile file) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(AsHandle(file), &size) ? int64_t(size.QuadPart) : Failed(int64_t(-1));
}

// Another copy may have moved the file aside between this copy's open and its lock.
bool FileIsNamed(TFile file, const std::string& name) {
  HANDLE named =
      CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return Failed(false);
  bool same = SameFile(AsHandle(file), named);
  CloseHandle(named);
  return same;
}

bool FileDelete(const std::string& name) { return DeleteFileA(name.c_str()) || Failed(false); }

bool FileRename(const std::string& oldName, const std::string& newName) {
  return MoveFileA(oldName.c_str(), newName.c_str()) || Failed(false);
}

// ---- The named event ----

TEvent::TEvent(const void* securityAttributes, bool manualReset, bool initialState, const std::string& name) {
  FaultPoint(FaultEventCreate);
  HANDLE event = CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(const_cast<void*>(securityAttributes)),
                              manualReset, initialState, name.c_str());
  if (!event) FLastError = int32_t(GetLastError());
  FHandle = FromHandle(event);
}

TEvent::~TEvent() {
  if (FHandle) CloseHandle(AsHandle(FHandle));
}

bool TEvent::Signal() {
  FaultPoint(FaultEventSignal);
  if (SetEvent(AsHandle(FHandle))) return true;
  FLastError = int32_t(GetLastError());
  return false;
}

TEvent::TWaitResult TEvent::Wait(int64_t timeoutMs) {
  DWORD result = WaitForSingleObject(AsHandle(FHandle), timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
  if (result == WAIT_OBJECT_0) return TWaitResult::Signalled;
  if (result == WAIT_TIMEOUT) return TWaitResult::Timeout;
  FLastError = int32_t(GetLastError());
  return TWaitResult::Failed;
}

TForeignObject::TForeignObject(const std::string& name) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
    FLastError = mutex ? ERROR_ALREADY_EXISTS : int32_t(GetLastError());
    if (mutex) CloseHandle(mutex);
    return;
  }
  FHandle = FromHandle(mutex);
}

TForeignObject::~TForeignObject() {
  if (FHandle) CloseHandle(AsHandle(FHandle));
}

}  // namespace os
