// What a command run by /bin/sh writes to its standard output, for the tests that hold our
// readers of shell text, diffs and walks to the programs that define them (bash, diff, git).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kavor::test {

// The standard output of `command` as /bin/sh runs it; its wait status (pclose's) goes to
// `status` when one is given: -1 when it could not start.
inline std::string command_output(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status != nullptr) *status = -1;
    return out;
  }
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  const int ended = ::pclose(pipe);
  if (status != nullptr) *status = ended;
  return out;
}

// The fields of what `printf '%s\0' ...` wrote, in order.
inline std::vector<std::string> nul_separated(const std::string& text) {
  std::vector<std::string> fields;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

}  // namespace kavor::test
