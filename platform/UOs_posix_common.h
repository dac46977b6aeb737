// Helpers that the POSIX files of the operating-system layer share (UOs_posix.cpp defines them).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace os::posix {

// Milliseconds of the monotonic clock.
int64_t MonotonicMs();
// True when path (not followed) leads to the file open as fd.
bool SameFile(int fd, const std::string& path);
// The same for an open file whose status is known already.
bool SameFile(const struct stat& opened, const std::string& path);

}  // namespace os::posix
