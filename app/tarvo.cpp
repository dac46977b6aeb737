// tarvo: sets the named event once, so that a waiting peer wakes up, and logs every step in
// <executable name>.LOG in the current directory. Takes no arguments; exits with 0.
#include "UApp.h"
#include "UOs.h"

namespace {

void DestroyController() {
  delete AppCon;
  AppCon = nullptr;
}

int RunOnce() {
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

}  // namespace

int main() {
  os::StartUp();
  return os::RunOutermost(RunOnce);
}
