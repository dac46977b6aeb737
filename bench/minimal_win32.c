/* The floor for one run of tarvo.exe: the same kernel32 calls, with nothing else and no user32.
 * Reads the module path and the time separator, checks the size of MINIMAL.LOG the way tarvo
 * does (lookup, read-only open with a lock beyond any real size, size, close), appends four lines
 * and forces them to disk, creates and signals an event, appends two more lines the same way and
 * closes the event. A GUI program like tarvo.exe (built with -mwindows). */
#include <string.h>
#include <windows.h>

static void size_check(const char* name) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(name, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  FindClose(search);
  FILETIME local;
  WORD dosDate, dosTime;
  FileTimeToLocalFileTime(&found.ftLastWriteTime, &local);
  FileTimeToDosDateTime(&local, &dosDate, &dosTime);
  HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED range = {0};
  range.OffsetHigh = 0x7FFFFFF0;
  LARGE_INTEGER size;
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range))
    GetFileSizeEx(file, &size);
  CloseHandle(file);
}

static void append(const char* name, const char* text) {
  HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                            FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER distance = {0};
  DWORD written;
  if (SetFilePointerEx(file, distance, NULL, FILE_END))
    WriteFile(file, text, (DWORD)strlen(text), &written, NULL);
  FlushFileBuffers(file);
  CloseHandle(file);
}

int main(void) {
  char path[MAX_PATH], separator[8];
  GetModuleFileNameA(NULL, path, sizeof path);
  GetLocaleInfoA(GetThreadLocale(), LOCALE_STIME, separator, sizeof separator);
  size_check("MINIMAL.LOG");
  SYSTEMTIME now;
  GetLocalTime(&now);
  HANDLE event = CreateEventA(NULL, FALSE, FALSE, "tarvo-bench-minimal");
  append("MINIMAL.LOG",
         "\r\n*** START minimal.exe (ver. 3) [01.01.26 00:00:00] ***\r\n\r\n{Create} FevTarvo.Handle = 4, "
         "FevTarvo.LastError = 0\r\n");
  if (event) SetEvent(event);
  append("MINIMAL.LOG", "{SetEvent} FevTarvo.LastError = 0\r\n{Run} = TRUE\r\n");
  if (event) CloseHandle(event);
  return 0;
}
