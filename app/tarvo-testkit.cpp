// Test-only companion of tarvo (never installed):
//   tarvo-testkit fault POINT std|other   runs tarvo's whole run with an exception thrown at POINT
//                                         ("event-create" or "event-signal"); "std" throws a
//                                         standard exception, "other" one of no standard class
//   tarvo-testkit hold-log NAME SECONDS    holds NAME against writers, as another copy's size check
//                                         does (creating it when missing); prints "holding"
//   tarvo-testkit echo [ARG...]            prints each argument as received, in brackets, a line each
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "UApp.h"
#include "UOs.h"

namespace {

const char* gFaultPoint = "";
bool gStandardFault = true;

struct TNonStandardFault {};

void InjectFault(const char* point) {
  if (strcmp(point, gFaultPoint) != 0) return;
  if (gStandardFault) throw std::runtime_error(std::string("injected fault at ") + point);
  throw TNonStandardFault{};
}

int HoldLog(const char* name, const char* seconds) {
  os::TFile writer = os::LogOpen(name, 0);
  if (writer != os::InvalidFile) os::LogClose(writer);
  os::TFile file = os::FileOpenExclusive(name);
  if (file == os::InvalidFile) {
    fprintf(stderr, "tarvo-testkit: cannot open %s, error %d\n", name, int(os::LastError()));
    return 2;
  }
  puts("holding");
  fflush(stdout);
  os::CatchTerminationRequests();
  os::SleepUnlessAsked(int64_t(atof(seconds) * 1000));
  os::LogClose(file);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  os::StartUp();
  if (argc == 4 && strcmp(argv[1], "fault") == 0) {
    gFaultPoint = argv[2];
    gStandardFault = strcmp(argv[3], "std") == 0;
    os::SetFaultHook(InjectFault);
    return os::RunOutermost(RunApplication);
  }
  if (argc == 4 && strcmp(argv[1], "hold-log") == 0) return HoldLog(argv[2], argv[3]);
  if (argc >= 2 && strcmp(argv[1], "echo") == 0) {
    for (int i = 2; i < argc; ++i) printf("[%s]\n", argv[i]);
    fflush(stdout);
    return 0;
  }
  fputs("usage: tarvo-testkit fault POINT std|other | hold-log NAME SECONDS | echo [ARG...]\n", stderr);
  return 2;
}
