// Stops the program for states that no input can cause: malformed build-time addresses, a state
// object registered twice, a client library that cannot start.
#pragma once

namespace kavor {

[[noreturn]] void fatal(const char* what);

}  // namespace kavor
