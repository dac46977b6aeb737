// tarvo-wait: the peer of tarvo. Waits on the named event (or holds it, or blocks its name with an
// object of another kind) so that scripts and tests can see tarvo's signal arrive.
//
//   tarvo-wait [--timeout SECONDS]   wait; "signalled" (exit 0) or "timeout" (exit 1)
//   tarvo-wait --hold SECONDS        keep the event open without waiting
//   tarvo-wait --clash SECONDS       keep an object of another kind under the event's name
//   tarvo-wait --each COMMAND [ARG...]
//                                    run COMMAND once per signal until asked to end (exit 0)
// Errors: a message on standard error, exit 2.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "UConst.h"
#include "UOs.h"

namespace {

enum class TMode { Wait, Hold, Clash, Each };

struct TOptions {
  TMode Mode = TMode::Wait;
  double Seconds = -1;  // negative: for ever
  std::vector<std::string> Command;
};

void Say(const char* line) {
  puts(line);
  fflush(stdout);
}

int Fail(const std::string& message) {
  fprintf(stderr, "tarvo-wait: %s\n", message.c_str());
  return 2;
}

bool ParseSeconds(const char* text, double& seconds) {
  char* end = nullptr;
  seconds = strtod(text, &end);
  return end != text && *end == 0 && seconds >= 0 && seconds < 1e9;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
  if (argc == 1) return true;
  if (strcmp(argv[1], "--each") == 0) {
    options.Mode = TMode::Each;
    options.Command.assign(argv + 2, argv + argc);
    return !options.Command.empty();
  }
  if (argc != 3) return false;
  if (strcmp(argv[1], "--timeout") == 0)
    options.Mode = TMode::Wait;
  else if (strcmp(argv[1], "--hold") == 0)
    options.Mode = TMode::Hold;
  else if (strcmp(argv[1], "--clash") == 0)
    options.Mode = TMode::Clash;
  else
    return false;
  return ParseSeconds(argv[2], options.Seconds);
}

int64_t Milliseconds(double seconds) { return seconds < 0 ? -1 : int64_t(seconds * 1000); }

// Waits in slices, so that a request to end the process is noticed.
os::TEvent::TWaitResult WaitUnlessAsked(os::TEvent& event, int64_t timeoutMs) {
  constexpr int64_t SliceMs = 100;
  for (int64_t left = timeoutMs;; left -= SliceMs) {
    bool lastSlice = timeoutMs >= 0 && left <= SliceMs;
    auto result = event.Wait(lastSlice ? left : SliceMs);
    if (result != os::TEvent::TWaitResult::Timeout || lastSlice || os::TerminationRequested()) return result;
  }
}

int WaitForSignal(os::TEvent& event, double seconds) {
  Say("waiting");
  switch (WaitUnlessAsked(event, Milliseconds(seconds))) {
    case os::TEvent::TWaitResult::Signalled:
      Say("signalled");
      return 0;
    case os::TEvent::TWaitResult::Timeout:
      Say("timeout");
      return 1;
    default:
      return Fail("waiting failed, error " + std::to_string(event.LastError()));
  }
}

// The event stays open between the runs, so a signal that arrives while the command runs stays set
// (at most one is kept) and starts the next run as soon as this one has ended.
int RunOnEachSignal(os::TEvent& event, const std::vector<std::string>& command) {
  for (;;) {
    Say("waiting");
    switch (WaitUnlessAsked(event, -1)) {
      case os::TEvent::TWaitResult::Signalled:
        break;
      case os::TEvent::TWaitResult::Timeout:  // asked to end
        return 0;
      default:
        return Fail("waiting failed, error " + std::to_string(event.LastError()));
    }
    Say("signalled");
    if (os::RunAndWait(command) < 0)
      return Fail("cannot run " + command[0] + ", error " + std::to_string(os::LastError()));
    if (os::TerminationRequested()) return 0;
  }
}

// Holds what the caller opened until the time is up or the process is asked to end.
int Hold(double seconds) {
  Say("holding");
  os::SleepUnlessAsked(Milliseconds(seconds));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  os::StartUp();
  os::CatchTerminationRequests();
  TOptions options;
  if (!ParseOptions(argc, argv, options))
    return Fail(
        "usage: tarvo-wait [--timeout SECONDS | --hold SECONDS | --clash SECONDS | --each COMMAND [ARG...]]");
  if (options.Mode == TMode::Each && !os::FindsProgram(options.Command[0]))
    return Fail("cannot find the program " + options.Command[0]);
  if (options.Mode == TMode::Clash) {
    os::TForeignObject object(EventName);
    if (!object.Held())
      return Fail("cannot take the event's name, error " + std::to_string(object.LastError()));
    return Hold(options.Seconds);
  }
  os::TEvent event(nullptr, false, false, EventName);
  if (event.Handle() == 0) return Fail("cannot open the event, error " + std::to_string(event.LastError()));
  switch (options.Mode) {
    case TMode::Hold:
      return Hold(options.Seconds);
    case TMode::Each:
      return RunOnEachSignal(event, options.Command);
    default:
      return WaitForSignal(event, options.Seconds);
  }
}
