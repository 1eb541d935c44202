#include "mention/mentions.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <shared_mutex>

#include "common/utf8.h"
#include "mention/worker.h"
#include "walk/path_form.h"

namespace kavor::mention {

namespace {

using walk::canonical;
using walk::inside_or_same;
using walk::plain_relative;

}  // namespace

Result<Root> resolve_root(std::string_view text) {
  auto folder = common::resolve_workspace_folder(text, common::WorkspaceReader::Page);
  if (!folder.ok()) return folder.error();
  std::string path = std::move(folder).value();
  std::string shown = common::utf8_lossy(path);
  return Root{std::move(path), std::move(shown)};
}

Mentions::Mentions(IndexLocation location, EventSink sink, std::size_t entry_cap)
    : location_(std::move(location)), sink_(std::move(sink)), entry_cap_(entry_cap) {}

Mentions::~Mentions() {
  stop_all();
}

void Mentions::retire_locked(std::shared_ptr<IndexHandle> handle) {
  handle->stop();
  retired_.push_back(std::move(handle));
}

void Mentions::reap_locked() {
  for (auto it = table_.begin(); it != table_.end();) {
    if (!(*it)->alive.load()) {
      retired_.push_back(std::move(*it));
      it = table_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = retired_.begin(); it != retired_.end();) {
    // Alive turns false as the worker's last step: the join is immediate.
    if (!(*it)->alive.load()) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = retired_.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<IndexHandle> Mentions::open(const Root& root) {
  std::lock_guard lock(mutex_);
  reap_locked();
  for (const auto& handle : table_) {
    if (handle->root_text == root.text) {
      handle->touch();
      return handle;
    }
  }
  while (table_.size() >= kMaxOpenIndexes) {
    auto oldest = table_.begin();
    for (auto it = table_.begin(); it != table_.end(); ++it) {
      if ((*it)->use_order.load() < (*oldest)->use_order.load()) oldest = it;
    }
    std::shared_ptr<IndexHandle> evicted = std::move(*oldest);
    table_.erase(oldest);
    retire_locked(std::move(evicted));
  }
  auto handle = std::make_shared<IndexHandle>(root.path, root.text,
                                              index_file_path(location_, root.text), entry_cap_);
  // A stopped index of the same root may still be writing its file.
  std::shared_ptr<IndexHandle> predecessor;
  for (const auto& old : retired_) {
    if (old->root_text == root.text) predecessor = old;
  }
  start_worker(handle, std::move(predecessor), sink_);
  table_.push_back(handle);
  return handle;
}

Result<IndexInfo> Mentions::open_info(const Root& root) {
  open(root);
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(table_.begin(), table_.end(),
                               [&](const auto& h) { return h->root_text == root.text; });
  if (it == table_.end()) return fail(std::string(kIndexUnavailable));
  const Index& index = (*it)->index;
  std::shared_lock read(index.lock);
  IndexInfo info;
  info.root = root.text;
  info.indexing = index.indexing;
  info.count = index.entries.size() + index.pending.size();
  info.revision = index.revision;
  info.truncated = index.truncated;
  return info;
}

void Mentions::close(const Root& root) {
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(table_.begin(), table_.end(),
                               [&](const auto& h) { return h->root_text == root.text; });
  if (it == table_.end()) return;
  std::shared_ptr<IndexHandle> handle = std::move(*it);
  table_.erase(it);
  retire_locked(std::move(handle));
}

Result<void> Mentions::pick(const Root& root, std::string_view path) {
  if (!plain_relative(path)) return fail(std::string(kNotInside));
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) {
    const auto folder = canonical(root.path + "/" + std::string(path.substr(0, slash)));
    if (!folder || !inside_or_same(root.path, *folder)) return fail(std::string(kNotInside));
  }
  struct stat st {};
  if (lstat((root.path + "/" + std::string(path)).c_str(), &st) != 0) {
    return fail(std::string(kNotInside));
  }

  const std::shared_ptr<IndexHandle> handle = open(root);
  Index& index = handle->index;
  std::unique_lock lock(index.lock);
  // The pick goes to the front, any earlier copy of it leaves, the oldest beyond the bound too.
  std::vector<std::string> picks;
  picks.reserve(kMaxPicks);
  picks.emplace_back(path);
  for (std::string& old : index.picks) {
    if (picks.size() == kMaxPicks) break;
    if (old != path) picks.push_back(std::move(old));
  }
  index.picks = std::move(picks);
  ++index.revision;
  index.dirty = true;
  return {};
}

SearchReply Mentions::search(const Root& root, std::string_view query, std::size_t limit) {
  const std::shared_ptr<IndexHandle> handle = open(root);
  const StaleCheck check{&handle->search_counter, handle->search_counter.fetch_add(1) + 1};
  const PreparedQuery prepared = prepare_query(query);
  const std::uint32_t now = now_encoded();

  SearchReply reply;
  SearchResult result;
  std::vector<std::string> picks;
  {
    const Index& index = handle->index;
    std::shared_lock lock(index.lock);
    result = search_index(index, prepared, limit, check, now);
    reply.indexing = index.indexing;
    reply.count = index.entries.size() + index.pending.size();
    reply.revision = index.revision;
    if (result.status == SearchStatus::NotIndexed) picks = index.picks;
  }
  if (result.status == SearchStatus::NotIndexed) {
    // Read from the disk without holding the index: only this keystroke waits for it.
    const auto listing = list_unindexed_folder(root.path, prepared.folder);
    result =
        listing ? search_listing(*listing, picks, prepared, limit, check, now) : SearchResult{};
  }
  if (result.status == SearchStatus::Stale) {
    reply.stale = true;
    return reply;
  }
  reply.hits = std::move(result.hits);
  add_typed_excluded_folder(reply.hits, root.path, query, limit);
  return reply;
}

void Mentions::stop_all() {
  std::vector<std::shared_ptr<IndexHandle>> all;
  {
    std::lock_guard lock(mutex_);
    for (auto& handle : table_) retire_locked(std::move(handle));
    table_.clear();
    all.swap(retired_);
  }
  for (const auto& handle : all) {
    handle->stop();
    if (handle->thread.joinable()) handle->thread.join();
  }
}

std::vector<std::string> Mentions::open_roots() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& handle : table_) out.push_back(handle->root_text);
  return out;
}

}  // namespace kavor::mention
