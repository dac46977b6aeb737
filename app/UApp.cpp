#include "UApp.h"

#include <cstdarg>
#include <exception>

#include "UConst.h"

TAppCon* AppCon = nullptr;

namespace {
int32_t ToInt32(intptr_t value) { return static_cast<int32_t>(value); }

void AppendNumber(std::string& text, long long value, size_t width, char pad) {
  char digits[24];
  size_t count = 0;
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
  do {
    digits[count++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  if (value < 0) digits[count++] = '-';
  for (; count < width; --width) text += pad;
  while (count) text += digits[--count];
}
}  // namespace

// A formatter of its own for the few conversions the log needs ("%s", "%d", "%c", "%%", with an
// optional zero-padded width): the C library's printf family is large and locale-aware.
std::string Format(const char* format, ...) {
  std::string text;
  va_list arguments;
  va_start(arguments, format);
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      text += *p;
      continue;
    }
    char pad = ' ';
    if (*++p == '0') {
      pad = '0';
      ++p;
    }
    size_t width = 0;
    for (; *p >= '0' && *p <= '9'; ++p) width = width * 10 + size_t(*p - '0');
    switch (*p) {
      case 's':
        text += va_arg(arguments, const char*);
        break;
      case 'd':
        AppendNumber(text, va_arg(arguments, int), width, pad);
        break;
      case 'c':
        text += char(va_arg(arguments, int));
        break;
      case '%':
        text += '%';
        break;
      default:  // not used by the program: keep the text as it stands
        text += '%';
        if (*p == 0)
          --p;
        else
          text += *p;
    }
  }
  va_end(arguments);
  return text;
}

std::string FormatTimestamp(const os::TLocalTime& time, const char* separator) {
  return Format("%02d.%02d.%02d %02d%s%02d%s%02d", time.Day, time.Month, time.Year % 100, time.Hour,
                separator, time.Minute, separator, time.Second);
}

std::string Printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

TAppCon::TAppCon() : FVersion(AppVersion) {
  const std::string executable = os::ExecutablePath();
  FLogName = filename::ExtractName(filename::ChangeExtension(executable, ".log"));
  FLog = std::make_unique<TKEV_LOGFile>(FLogName);
  FLog->SetBuffered(true);
  try {
    FLog->AddLine("");
    std::string start =
        Format("START %s (ver. %d)", Printable(filename::ExtractName(executable)).c_str(), FVersion);
    std::string now = FormatTimestamp(os::LocalTime(), os::TimeSeparator());
    FLog->AddLine(Format("*** %s [%s] ***", start.c_str(), now.c_str()));
    FLog->AddLine("");
    CreateEvent();
  } catch (...) {
    FLog->Flush();
    throw;
  }
  FLog->Flush();
}

void TAppCon::CreateEvent() {
  try {
    FevTarvo = std::make_unique<os::TEvent>(nullptr, false, false, EventName);
    if (FevTarvo) {
      FLog->AddLine(Format("{%s} %s = %d, %s = %d", "Create", "FevTarvo.Handle", ToInt32(FevTarvo->Handle()),
                           "FevTarvo.LastError", FevTarvo->LastError()));
    } else {
      FLog->AddLine(Format("%s = %d, %s", "FevTarvo", 0, "OBJECT IS NOT CREATED!"));
    }
  } catch (const std::exception& error) {
    FLog->AddLine(Format("%s = %d, %s: %s", "FevTarvo", ToInt32(reinterpret_cast<intptr_t>(FevTarvo.get())),
                         "EXCEPTION", error.what()));
  }
}

TAppCon::~TAppCon() {
  FevTarvo.reset();
  FLog.reset();
}

bool TAppCon::Run() {
  bool result = false;
  try {
    if (FevTarvo) {
      try {
        bool signalled = FevTarvo->Signal();
        FLog->AddLine(Format("{%s} %s = %d", "SetEvent", "FevTarvo.LastError", FevTarvo->LastError()));
        result = signalled;
      } catch (const std::exception& error) {
        FLog->AddLine(Format("{%s} %s: %s", "SetEvent", "EXCEPTION", error.what()));
      }
    }
  } catch (...) {
    FLog->AddLine(Format("{%s} = %s", "Run", TKEV_LOGFile::BoolToStr(false)), true);
    throw;
  }
  FLog->AddLine(Format("{%s} = %s", "Run", TKEV_LOGFile::BoolToStr(result)), true);
  return result;
}

namespace {
void DestroyController() {
  delete AppCon;
  AppCon = nullptr;
}
}  // namespace

int RunApplication() {
  AppCon = new TAppCon;
  try {
    AppCon->Run();
  } catch (...) {
    DestroyController();
    throw;
  }
  DestroyController();
  return 0;
}
