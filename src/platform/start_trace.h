// The start-up trace: with KAVOR_AGENT_TRACE_START set (to anything but "" or "0"), each
// milestone of the program's start is written to stderr once, as one line
//
//   kavor-agent start-trace <milliseconds since the process started> ms: <milestone>
//
// The clock starts with the process itself (its start time in /proc/self/stat), so the time
// of the dynamic loader and of the static initialisers counts too. Unset, a milestone costs
// one test of a flag.
#pragma once

namespace kavor::platform {

// Read once, on first use.
bool start_trace_on();

// Writes the line of `milestone` the first time it is reached; later times are not written,
// so a milestone may be marked where it recurs (every page load, say) and only its first
// counts.
void start_milestone(const char* milestone);

// Milliseconds from the process's start to now; negative when the start time cannot be read.
double ms_since_process_start();

}  // namespace kavor::platform
