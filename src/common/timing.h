// Every wait the program makes (time-outs, retry delays, polling intervals) goes through
// `scaled`, so a test can run the same logic many times faster without sleeping real seconds.
// The program itself always runs at scale 1.
#pragma once

#include <chrono>

namespace kavor::timing {

using std::chrono::milliseconds;

// Divides every later `scaled` duration by `factor` (>= 1). Tests only.
void set_speedup(int factor);
int speedup();

// The real duration to wait for a nominal one. Never rounds a positive duration down to zero.
milliseconds scaled(milliseconds nominal);

}  // namespace kavor::timing
