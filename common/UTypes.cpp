#include "UTypes.h"

#include <cstring>

#include "UConst.h"
#include "UOs.h"

namespace {
// How long the final flush waits while the file is held against writers.
constexpr int64_t FinalFlushWaitMs = 2000;
}  // namespace

TKEV_AnyFile::TKEV_AnyFile(const std::string& name) : FFileName(name) { os::UpperCase(FFileName); }

int64_t TKEV_AnyFile::GetSize() const {
  os::TFile file = os::FileOpenExclusive(FFileName);
  if (file == os::InvalidFile) return 0;
  int64_t size = os::FileSize(file);
  os::LogClose(file);
  return size > 0 ? size : 0;
}

TKEV_LOGFile::TKEV_LOGFile(const std::string& name) : TKEV_AnyFile(name) { CheckSize(); }

bool TKEV_LOGFile::CheckSize() {
  // Most runs find the log small. They read its size by name and never hold it: under a crowd, a
  // stream of checks that each held the log for a moment would keep the writers out.
  if (os::FileSizeOfName(FFileName) < MaxLogSize) return true;
  // The log is held against writers and other copies' checks from the size check through the
  // rename, so that of two copies starting together only one rotates it; the other finds it held
  // (size 0), already new, or no longer under its name.
  os::TFile log = os::FileOpenExclusive(FFileName);
  if (log == os::InvalidFile) return true;
  bool result = true;
  if (os::FileSize(log) >= MaxLogSize && os::FileIsNamed(log, FFileName)) result = MoveAside();
  os::LogClose(log);
  return result;
}

bool TKEV_LOGFile::MoveAside() {
  std::string oldGeneration = filename::ChangeExtension(FFileName, ".001");
  if (os::FileExists(oldGeneration) && !os::FileDelete(oldGeneration)) return false;
  if (os::FileExists(oldGeneration)) return true;
  return os::FileRename(FFileName, oldGeneration);
}

TKEV_LOGFile::~TKEV_LOGFile() {
  // The log may be held against writers right now (another copy's write or size check, a reader
  // that keeps writers out): wait a little rather than lose this run's last lines.
  Flush(FinalFlushWaitMs);
}

void TKEV_LOGFile::AddLine(const std::string& text, bool forceFlush) {
  FBuffer += text;
  FBuffer += "\r\n";
  if (FBuffer.size() >= size_t(FlushThreshold) || forceFlush || !FBuffered) Flush();
}

bool TKEV_LOGFile::Flush() { return Flush(0); }

bool TKEV_LOGFile::Flush(int64_t waitMs) {
  if (FBuffer.empty()) return true;
  os::TFile file =
      waitMs > 0 ? os::LogOpenWaiting(FFileName, GetFlags(), waitMs) : os::LogOpen(FFileName, GetFlags());
  if (file == os::InvalidFile) return false;
  size_t written = 0;
  bool complete = os::LogSeekEnd(file) && os::LogWrite(file, FBuffer.data(), FBuffer.size(), written);
  // Bytes that reached the file are done with, also after a short write: writing them again
  // would double them in the log.
  FBuffer.erase(0, written);
  os::LogForce(file);
  os::LogClose(file);
  return complete;
}

namespace filename {

namespace {
// Scans by characters: the trail byte of a double-byte character is never taken for a delimiter.
size_t LastDelimiter(const std::string& name, const char* delimiters) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < name.size(); ++i) {
    if (os::IsLeadByte(name[i]))
      ++i;
    else if (name[i] != 0 && strchr(delimiters, name[i]))
      last = i;
  }
  return last;
}
}  // namespace

std::string ChangeExtension(const std::string& name, const std::string& extension) {
  std::string delimiters = std::string(".") + os::PathDelimiters;
  size_t last = LastDelimiter(name, delimiters.c_str());
  std::string stem = last != std::string::npos && name[last] == '.' ? name.substr(0, last) : name;
  return stem + extension;
}

std::string ExtractName(const std::string& path) {
  size_t last = LastDelimiter(path, os::PathDelimiters);
  return last == std::string::npos ? path : path.substr(last + 1);
}

}  // namespace filename
