// Commands run here through login shells, which read the user's profile, and find programs on
// PATH, where a version manager may have put shims. Either can print into a command's output or
// wait on a lock a killed run left behind. Every command test therefore runs with a home folder
// of its own and the system's PATH, set before any test starts.
#include <cstdlib>

namespace {

const bool hermetic = [] {
  ::setenv("HOME", KAVOR_EXEC_TEST_HOME, 1);
  ::setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
  return true;
}();

}  // namespace
