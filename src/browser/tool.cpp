#include "browser/tool.h"

#include "browser/args.h"
#include "browser/registry.h"

#include <QUrl>

#include "tools/paths.h"

namespace kavor::browser {

tools::Decoder browser_tool(BrowserRegistry& registry) {
  return [registry = &registry](const common::Json& args,
                                const tools::Scope& scope) -> Result<tools::Decoded> {
    Result<DecodedBrowserCall> decoded = decode_browser_args(args, scope.root);
    if (!decoded.ok()) return decoded.error();
    DecodedBrowserCall call = std::move(decoded).value();
    tools::Decoded out;
    out.kind = call.kind;
    out.summary = call.summary;
    out.detail = call.detail;
    out.lang = call.lang;
    // A file page outside the chat's folders is a read outside them, as for the file tools: it
    // changes what the approval asks, nothing else.
    if (call.args.action == Action::Open && call.args.url.rfind("file:", 0) == 0) {
      const QString local = QUrl(QString::fromStdString(call.args.url)).toLocalFile();
      const tools::fs::path file = tools::canonical_prefix(tools::normalize(local.toStdString()));
      out.outside = !scope.contains(file);
      // The call runs only once the user let it: that one file may be loaded too.
      if (out.outside) call.args.local_files.push_back(file);
    }
    call.args.local_folders = {scope.root};
    for (const tools::fs::path& extra : scope.extras) call.args.local_folders.push_back(extra);
    out.run_async = [registry, browser_args = std::move(call.args)](
                        tools::RunContext context) -> QCoro::Task<tools::ToolResult> {
      QCoro::Task<tools::ToolResult> running =
          registry->run(browser_args, std::move(context.chat), std::move(context.stop));
      tools::ToolResult result = co_await running;
      co_return result;
    };
    return out;
  };
}

}  // namespace kavor::browser
