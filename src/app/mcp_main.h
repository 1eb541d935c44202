// `kavor-agent mcp`: the agent's tools served to any assistant that speaks the Model Context
// Protocol, without a window. The agent is composed as for the window (the tool table with its
// fence, the approvals, the private browsers), its events go to an EventRelay instead of a page,
// and one mcp::Server session per client takes the calls (mcp/server.h).
//
//   kavor-agent mcp [--workspace DIR]... [--mode ask|auto|readonly|everything]
//                   [--http 127.0.0.1:PORT [--secret-file PATH]]
//
// 1. Standard output is kept for the protocol alone: the descriptor is duplicated for the
//    server, and descriptor 1 then points at standard error, so that whatever else writes there
//    (a library, a message) cannot break a line of the protocol.
// 2. With --http the protocol is served on that loopback address instead (mcp/http.h); standard
//    input is then not read.
// 3. The program ends when its input closes (or the HTTP server is told to end by a signal):
//    every call is stopped as the stop button stops it, the calls are given kEndGrace to wind
//    down, and the agent then ends everything it started (app/agent.h). What was already
//    answered is given kFlushWait to be read.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "tools/approvals.h"

namespace kavor::app {

// How long the calls still running when the client leaves are given to end by themselves.
inline constexpr std::chrono::milliseconds kEndGrace{5'000};

// How long the answers written before the end are given to reach a client that reads slowly;
// one that reads nothing does not keep the program.
inline constexpr std::chrono::milliseconds kFlushWait{2'000};

struct McpOptions {
  std::vector<std::string> workspaces;  // canonical folders, at most two
  tools::Mode mode = tools::Mode::Ask;
  std::optional<std::string> http;  // the loopback address, "127.0.0.1:PORT"
  std::string secret_file;          // empty: the default next to the session file
};

// The options of the words after "mcp"; the sentence for standard error when they are wrong
// (an unknown word, a missing value, a mode or a folder that does not exist, more than two
// workspaces).
Result<McpOptions> parse_mcp_arguments(const std::vector<std::string>& words);

// Runs the server; the program's exit code.
int mcp_main(int argc, char** argv);

}  // namespace kavor::app
