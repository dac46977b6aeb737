// The log file: a base file object with a normalised name, and the buffered text log on top of it.
#pragma once

#include <cstdint>
#include <string>

// A file known by its upper-cased name. The name may be relative: it is resolved against the
// current directory at every open.
class TKEV_AnyFile {
 public:
  explicit TKEV_AnyFile(const std::string& name);

  int32_t GetFlags() const { return FFlags; }
  // The file's size in bytes; 0 when it is missing, a directory, held by a writer, or unreadable.
  int64_t GetSize() const;
  const std::string& FileName() const { return FFileName; }

 protected:
  int32_t FFlags = 0;  // OR'ed into the open call when the file is written
  std::string FFileName;
};

// A text log that gathers lines in memory and appends them to the file in batches. The file is
// open only while a batch is written, and each batch is forced to disk before the file is closed.
class TKEV_LOGFile : public TKEV_AnyFile {
 public:
  explicit TKEV_LOGFile(const std::string& name);
  ~TKEV_LOGFile();
  TKEV_LOGFile(const TKEV_LOGFile&) = delete;
  TKEV_LOGFile& operator=(const TKEV_LOGFile&) = delete;

  // Off: every added line is written at once. Switching it off writes nothing by itself.
  void SetBuffered(bool value) { FBuffered = value; }
  // Appends text and CR LF; writes the buffer when it reaches the flush threshold, when forced,
  // or when unbuffered.
  void AddLine(const std::string& text, bool forceFlush = false);
  // True when nothing was pending or everything pending was written. Text that could not be
  // written stays buffered, in order, for the next flush.
  bool Flush();
  static const char* BoolToStr(bool value) { return value ? "TRUE" : "FALSE"; }
  // Moves a log of MaxLogSize bytes or more aside to the name with the extension ".001",
  // replacing an older one. False when the old one cannot be deleted or the rename fails (the log
  // then stays in use); true otherwise.
  bool CheckSize();

  const std::string& Pending() const { return FBuffer; }

 private:
  // Waits up to waitMs for a hold that keeps writers out to end (0: not at all).
  bool Flush(int64_t waitMs);
  bool MoveAside();

  std::string FBuffer;
  bool FBuffered = true;
};

namespace filename {
// Replaces the extension (from the last '.' after the last directory delimiter) with extension,
// which includes its dot; appends it when the name has none.
std::string ChangeExtension(const std::string& name, const std::string& extension);
// What follows the last directory delimiter; the whole name when there is none.
std::string ExtractName(const std::string& path);
}  // namespace filename
