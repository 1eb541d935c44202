// The four workspace commands of the chat web application (ws_index_open, ws_index_close,
// ws_search, ws_mention_picked) over the Mentions state object, and the two things the
// application gives that object: where index files live and how ws-index-updated reaches the
// page.
#pragma once

#include <memory>
#include <stop_token>

#include "app/command_table.h"
#include "mention/handle.h"
#include "mention/index_file.h"

namespace kavor {
namespace common {
class Host;
}
namespace mention {
class Mentions;
}
}  // namespace kavor

namespace kavor::app {

// "mention-index" in the per-user data folder of the application; without one, the fallback
// below in the temporary folder.
mention::IndexLocation mention_index_location();

// Every root shares "none.idx" in "kavor-mention-<user id>" in `temp_folder`, a folder of this
// user's own that nobody else may change; when another user holds that name, a new private
// folder made for this run; when none can be made, no folder (the index is not kept).
mention::IndexLocation fallback_index_location(const QString& temp_folder);

// Hands ws-index-updated from a worker's thread to the host's thread. Dropped once `ended` is
// requested: the host may be gone by the time the event loop gets to it.
mention::EventSink mention_event_sink(common::Host& host, std::stop_token ended);

// Each command runs on the shared worker pool: resolving a root touches the disk, and the
// event loop must never wait for the disk. `mentions` must outlive the table.
void install_mention_commands(CommandTable& table, mention::Mentions& mentions);

}  // namespace kavor::app
