// The controller of a run: writes the start banner, opens or creates the named event, signals it
// once and logs each step.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UOs.h"
#include "UTypes.h"

class TAppCon {
 public:
  // Does the whole start-up: the log, its banner, the event and its creation line. Failures
  // show in the log only.
  TAppCon();
  // Closes the event, then writes and releases the log.
  ~TAppCon();
  TAppCon(const TAppCon&) = delete;
  TAppCon& operator=(const TAppCon&) = delete;

  // Signals the event once. True when the signal went out and its line was written.
  bool Run();

  const std::string& LogName() const { return FLogName; }

 private:
  void CreateEvent();

  int32_t FVersion = 0;
  std::string FLogName;
  std::unique_ptr<TKEV_LOGFile> FLog;
  std::unique_ptr<os::TEvent> FevTarvo;
};

extern TAppCon* AppCon;

// The whole run: constructs the controller in AppCon, runs it and destroys it, also when an
// exception escapes (which is then passed on). Returns the exit code, 0.
int RunApplication();

// Builds a log text from a printf-style format: "%s", "%d", "%c", "%%", and widths such as "%02d".
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The start banner's date and time: "dd.mm.yy hh:mm:ss" with the locale's time separator.
std::string FormatTimestamp(const os::TLocalTime& time, const char* separator);
// Control characters in a name shown in the log become '?', so a name cannot break a line.
std::string Printable(std::string text);
