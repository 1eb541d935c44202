// Two kinds of waits, and the test clock that runs only one of them faster.
//
// 1. The protocol's own waits: retry delays and back-off, ticks and poll intervals, repeat
//    windows, idle ends, the watchdog's intervals, the time the user has to answer. Nothing
//    outside the program decides how long they last, so a test may shrink them: they go
//    through `scaled`, and a test that sets a speedup of 100 sees a 5-second retry come after
//    50 ms, the same logic in a hundredth of the time.
// 2. Limits on waiting for something real: an HTTP request, a D-Bus call, a process or a page
//    starting or answering, a DevTools reply, pipes draining after a process ends. The real
//    thing takes as long as it takes, however fast the test clock runs; shrunk twentyfold, a
//    limit fails a test on a busy machine for no fault at all. They go through `io_limit`,
//    which leaves them as they are. A test that must see such a limit run out passes the
//    component a short limit of its own choosing (every one of them is a parameter).
//
// The program itself always runs at speedup 1, where both are the same.
#pragma once

#include <chrono>

namespace kavor::common::timing {

using std::chrono::milliseconds;

// Divides every later `scaled` duration by `factor` (>= 1). Tests only.
void set_speedup(int factor);
int speedup();

// The real duration of one of the protocol's own waits. Never rounds a positive duration down
// to zero.
milliseconds scaled(milliseconds nominal);

// The real duration of a limit on waiting for something real: `limit` itself, whatever the
// speedup. Named so that each such wait says which kind it is.
constexpr milliseconds io_limit(milliseconds limit) {
  return limit;
}

}  // namespace kavor::common::timing
