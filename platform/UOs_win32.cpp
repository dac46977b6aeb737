// Win32 implementation of the operating-system layer.
#include <windows.h>

#include <cstdlib>
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
  MessageBoxA(nullptr, message, "Application Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace

void StartUp() {
  char separator[8] = {};
  if (GetLocaleInfoA(GetThreadLocale(), LOCALE_STIME, separator, sizeof separator) > 1 && separator[0])
    gTimeSeparator[0] = separator[0];
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
  if (!text.empty()) CharUpperBuffA(&text[0], DWORD(text.size()));
}

std::string ExecutablePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, &path[0], DWORD(path.size()));
    if (length == 0) return Failed(std::string());
    if (length < path.size()) {
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

TFile FileOpenExclusive(const std::string& name) {
  if (!FileExists(name)) return InvalidFile;
  // Open for writing, as the log's writer does, so that neither a writer nor another copy's size
  // check can open it meanwhile; delete sharing lets this very handle's owner rename it.
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(InvalidFile);
  return FromHandle(file);
}

int64_t FileSize(TFile file) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(AsHandle(file), &size) ? int64_t(size.QuadPart) : Failed(int64_t(-1));
}

// While FileOpenExclusive's handle is open no other copy can hold the file to move it aside, so
// the name still leads to it.
bool FileIsNamed(TFile, const std::string&) { return true; }

bool FileDelete(const std::string& name) { return DeleteFileA(name.c_str()) || Failed(false); }

bool FileRename(const std::string& oldName, const std::string& newName) {
  return MoveFileA(oldName.c_str(), newName.c_str()) || Failed(false);
}

// ---- The named event ----

TEvent::TEvent(const void* securityAttributes, bool manualReset, bool initialState, const std::string& name) {
  FaultPoint("event-create");
  HANDLE event = CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(const_cast<void*>(securityAttributes)),
                              manualReset, initialState, name.c_str());
  if (!event) FLastError = int32_t(GetLastError());
  FHandle = FromHandle(event);
}

TEvent::~TEvent() {
  if (FHandle) CloseHandle(AsHandle(FHandle));
}

bool TEvent::Signal() {
  FaultPoint("event-signal");
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
