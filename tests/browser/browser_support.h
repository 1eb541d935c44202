// What the browser tests share: pages served on loopback and calls run the way the dispatcher
// runs them (decoded against a workspace, then awaited on this thread's event loop).
#pragma once

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <filesystem>
#include <memory>
#include <string>

#include "browser/args.h"
#include "browser/registry.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::browser::test {

// A page served as HTML.
inline service::Reply html(std::string body) {
  return service::Reply::text(200, std::move(body), "text/html; charset=utf-8");
}

inline Result<DecodedBrowserCall> decode(const common::Json& args,
                                         const std::filesystem::path& root) {
  return decode_browser_args(args, root);
}

// Decodes and runs one call; a decoding failure comes back as a failed result.
inline tools::ToolResult call(BrowserRegistry& registry, const common::Json& args,
                              const std::filesystem::path& root, const std::string& chat = "chat-1",
                              tools::StopFlag stop = std::make_shared<std::atomic<bool>>(false)) {
  Result<DecodedBrowserCall> decoded = decode(args, root);
  if (!decoded.ok()) return decoded.error();
  return kavor::test::run(registry.run(decoded->args, chat, stop));
}

// The text of a result, whether it succeeded or failed.
inline std::string text_of(const tools::ToolResult& r) {
  return r.ok() ? r.value().output : "FAILED: " + r.message();
}

}  // namespace kavor::browser::test
