// tarvo: sets the named event once, so that a waiting peer wakes up, and logs every step in
// <executable name>.LOG in the current directory. Takes no arguments; exits with 0.
#include "UApp.h"
#include "UOs.h"

int main() {
  os::StartUp();
  return os::RunOutermost(RunApplication);
}
