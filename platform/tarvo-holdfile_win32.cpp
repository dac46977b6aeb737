// Test-only Win32 program (never installed) that holds a file the way another program would:
//   tarvo-holdfile NAME ACCESS SHARING SECONDS
// ACCESS is made of the letters r (GENERIC_READ) and w (GENERIC_WRITE), SHARING of r, w and d
// (FILE_SHARE_READ, _WRITE, _DELETE), "-" for none. Prints "holding" once the file is open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DWORD Flags(const char* letters, DWORD read, DWORD write, DWORD del) {
  DWORD flags = 0;
  if (strchr(letters, 'r')) flags |= read;
  if (strchr(letters, 'w')) flags |= write;
  if (strchr(letters, 'd')) flags |= del;
  return flags;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fputs("usage: tarvo-holdfile NAME ACCESS SHARING SECONDS\n", stderr);
    return 2;
  }
  DWORD access = Flags(argv[2], GENERIC_READ, GENERIC_WRITE, 0);
  DWORD sharing = Flags(argv[3], FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE);
  HANDLE file = CreateFileA(argv[1], access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "tarvo-holdfile: cannot open %s, error %lu\n", argv[1], GetLastError());
    return 2;
  }
  puts("holding");
  fflush(stdout);
  Sleep(DWORD(atof(argv[4]) * 1000));
  CloseHandle(file);
  return 0;
}
