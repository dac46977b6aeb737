// libFuzzer target: the file-name helpers and the log's buffer rules against a simple model.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "UConst.h"
#include "UOs.h"
#include "UTypes.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void FuzzFileNames(const std::string& name) {
  std::string changed = filename::ChangeExtension(name, ".001");
  Check(EndsWith(changed, ".001"));
  std::string stem = changed.substr(0, changed.size() - 4);
  Check(name.compare(0, stem.size(), stem) == 0);
  if (stem.size() < name.size()) {
    // Only an extension was cut: a '.' and no directory delimiter after it.
    Check(name[stem.size()] == '.');
    Check(name.find_first_of(os::PathDelimiters, stem.size()) == std::string::npos);
  }
  std::string base = filename::ExtractName(name);
  Check(EndsWith(name, base));
  Check(base.find_first_of(os::PathDelimiters) == std::string::npos);
}

std::string ReadAll(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Each input byte is one step: add a line (its length and force flag from the byte), switch
// buffering, or flush. Whatever the steps, the file and the pending text together must hold every
// line exactly once, in order, and a buffered log must never hold a full threshold's worth.
void FuzzBufferRules(const uint8_t* steps, size_t count) {
  const char* name = "FUZZ.LOG";
  std::filesystem::remove(name);
  std::string expected;
  {
    TKEV_LOGFile log(name);
    bool buffered = true;
    for (size_t i = 0; i < count; ++i) {
      uint8_t step = steps[i];
      if (step == 0xFF) {
        buffered = !buffered;
        log.SetBuffered(buffered);
      } else if (step == 0xFE) {
        Check(log.Flush());
        Check(log.Pending().empty());
      } else {
        std::string line(size_t(step & 0x7F) * 23, char('a' + i % 26));
        bool force = (step & 0x80) != 0;
        log.AddLine(line, force);
        expected += line + "\r\n";
        Check(log.Pending().size() < size_t(FlushThreshold));
        if (force || !buffered) Check(log.Pending().empty());
      }
      Check(ReadAll(name) + log.Pending() == expected);
    }
  }
  Check(ReadAll(name) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tarvo-fuzz-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    FuzzFileNames(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  else
    FuzzBufferRules(data + 1, size - 1 > 64 ? 64 : size - 1);
  return 0;
}
