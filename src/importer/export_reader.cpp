#include "importer/export_reader.h"

#include <algorithm>
#include <deque>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "importer/conversation_splitter.h"
#include "importer/gzip.h"
#include "importer/json_check.h"
#include "importer/zip_reader.h"

namespace kavor::importer {

namespace {

// More compressing threads than this gain nothing against the one thread that reads.
constexpr unsigned kMaxCompressThreads = 4;

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view last_component(std::string_view name) {
  const auto slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

void check_cancel(const ReadOptions& options) {
  if (options.cancel != nullptr && options.cancel->load()) refuse("the import was stopped");
}

// Compresses parts in the background and hands them back in the order they were added,
// keeping the running total of compressed bytes under the limit. At most `threads` parts are
// in compression at once; adding one more waits for the oldest.
class PartCollector {
 public:
  explicit PartCollector(const ReadOptions& options)
      : threads_(std::min(options.compress_threads, kMaxCompressThreads)),
        limit_(options.max_upload_total) {}

  // `writer` may already hold the beginning of the text; `rest` is what follows.
  void add(std::string name, const char* kind, std::uint64_t raw_size, GzipWriter writer,
           std::string rest) {
    Pending pending{UploadPart{std::move(name), {}, kind, raw_size}, {}};
    // Shared, so that the job is still here when no thread can be started for it.
    auto job = std::make_shared<Job>(Job{std::move(writer), std::move(rest)});
    if (threads_ > 0) {
      while (pending_.size() >= threads_) collect_oldest();
      try {
        pending.gzip = std::async(std::launch::async, [job] { return job->run(); });
        pending_.push_back(std::move(pending));
        return;
      } catch (const std::system_error&) {
        // No thread to be had: compress here.
      }
    }
    std::promise<std::string> done;
    done.set_value(job->run());
    pending.gzip = done.get_future();
    pending_.push_back(std::move(pending));
    collect_oldest();
  }

  // Takes in the parts whose compression has finished; fails when the total is passed.
  void collect_finished() {
    while (!pending_.empty() &&
           pending_.front().gzip.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      collect_oldest();
    }
  }

  // Waits for every part; fails when the total is passed.
  std::vector<UploadPart> finish() {
    while (!pending_.empty()) collect_oldest();
    return std::move(parts_);
  }

 private:
  struct Job {
    GzipWriter writer;
    std::string rest;

    std::string run() {
      writer.expect(rest.size());
      writer.write(rest);
      rest = std::string();
      return writer.finish();
    }
  };
  struct Pending {
    UploadPart part;
    std::future<std::string> gzip;
  };

  void collect_oldest() {
    Pending pending = std::move(pending_.front());
    pending_.pop_front();
    pending.part.gzip = pending.gzip.get();
    total_ += pending.part.gzip.size();
    if (total_ > limit_) refuse("this export is too large to import");
    parts_.push_back(std::move(pending.part));
  }

  unsigned threads_;
  std::uint64_t limit_;
  std::uint64_t total_ = 0;
  std::deque<Pending> pending_;
  std::vector<UploadPart> parts_;
};

// One conversation file: takes the splitter's objects, checks them, and collects them into
// parts.
class ConversationFile : public ConversationSplitter::Sink {
 public:
  ConversationFile(std::string name, const ReadOptions& options, PartCollector& collector)
      : name_(std::move(name)), flush_at_(options.part_flush_at), collector_(collector) {
    text_.push_back('[');
  }

  void object_start() override {
    check_.reset();
    // Room for a whole part at once, once the file turns out to have objects.
    const auto room = static_cast<std::size_t>(std::min(flush_at_, kPartFlushAt)) + kReadChunk;
    if (text_.capacity() < room) text_.reserve(room);
    if (objects_in_part_ > 0) append(",");
    object_size_ = 0;
  }

  void object_bytes(std::string_view bytes) override {
    // An object already known to be invalid fails at its end; until then nothing of it is
    // kept, however long it goes on.
    if (!check_.ok()) return;
    check_.feed(bytes);
    append(bytes);
    object_size_ += bytes.size();
  }

  void object_end() override {
    if (!check_.finish()) refuse("a conversation in this export is not valid JSON");
    using Kind = JsonCheck::Kind;
    const Kind id = check_.member(0) != Kind::Absent ? check_.member(0) : check_.member(1);
    if (id == Kind::String && check_.member(2) == Kind::Object) {
      ++conversations;
    } else {
      ++foreign;
    }
    ++objects_in_part_;
    collected_ += object_size_;
    if (collected_ >= flush_at_) flush();
  }

  // Sends off what was collected and starts the next part.
  void flush() {
    if (objects_in_part_ == 0) return;
    append("]");
    collector_.add(name_, "conversations", raw_size_, std::move(writer_), std::move(text_));
    writer_ = GzipWriter();
    text_.clear();
    text_.push_back('[');
    raw_size_ = 1;
    collected_ = 0;
    objects_in_part_ = 0;
  }

  std::uint64_t conversations = 0;
  std::uint64_t foreign = 0;

 private:
  void append(std::string_view bytes) {
    text_.append(bytes);
    raw_size_ += bytes.size();
    if (text_.size() > kCompressWhileReadingAbove) {
      writer_.write(text_);
      text_.clear();
    }
  }

  std::string name_;
  std::uint64_t flush_at_;
  PartCollector& collector_;
  JsonCheck check_{{"conversation_id", "id", "mapping"}};
  std::uint64_t object_size_ = 0;
  std::uint64_t collected_ = 0;  // object bytes in the current part
  std::uint64_t objects_in_part_ = 0;
  std::string text_;
  std::uint64_t raw_size_ = 1;  // the "[" in text_
  GzipWriter writer_;
};

struct Picked {
  const ZipEntry* entry;
  ItemKind kind;
};

std::vector<UploadPart> read_items(const ArchiveSource& source, const ReadOptions& options,
                                   PartCollector& collector) {
  // 1. The directory, keeping only the items that matter.
  const ZipArchive archive = ZipArchive::open(source, [](const ZipEntry& entry) {
    return classify_item(entry.name, entry.uncompressed_size) != ItemKind::Ignored;
  });
  std::vector<Picked> picked;
  for (const ZipEntry& entry : archive.kept()) {
    picked.push_back({&entry, classify_item(entry.name, entry.uncompressed_size)});
  }
  std::stable_sort(picked.begin(), picked.end(),
                   [](const Picked& a, const Picked& b) { return a.entry->name < b.entry->name; });
  if (std::none_of(picked.begin(), picked.end(),
                   [](const Picked& p) { return p.kind == ItemKind::Conversations; })) {
    refuse("no conversations.json was found in this zip");
  }

  // 2. Each item in name order.
  auto report = [&](std::uint64_t done) {
    if (options.progress) options.progress("reading", done, picked.size(), 0);
  };
  std::uint64_t conversations = 0;
  std::uint64_t foreign = 0;
  for (std::size_t i = 0; i < picked.size(); ++i) {
    report(i);
    check_cancel(options);
    const ZipEntry& entry = *picked[i].entry;
    const std::string name(last_component(entry.name));
    EntryStream stream(source, archive, entry);

    if (picked[i].kind == ItemKind::SideFile) {
      std::string text;
      for (std::string_view piece = stream.next(); !piece.empty(); piece = stream.next()) {
        text.append(piece);
      }
      JsonCheck check;
      check.feed(text);
      if (!check.finish()) refuse(name + " is not valid JSON");
      const std::uint64_t raw_size = text.size();
      collector.add(name, "file", raw_size, GzipWriter(), std::move(text));
      continue;
    }

    // 3. A conversation file, streamed.
    ConversationFile file(name, options, collector);
    ConversationSplitter splitter;
    for (std::string_view piece = stream.next(); !piece.empty(); piece = stream.next()) {
      splitter.feed(piece, file);
      collector.collect_finished();
      check_cancel(options);
    }
    if (splitter.place() == ConversationSplitter::Place::BeforeList) {
      refuse("conversations.json is not a JSON list");
    }
    if (splitter.place() != ConversationSplitter::Place::AfterList) {
      refuse("conversations.json ends too early");
    }
    file.flush();
    conversations += file.conversations;
    foreign += file.foreign;
  }

  // 4. Every part compressed and counted, then the verdict on what was found.
  std::vector<UploadPart> parts = collector.finish();
  if (conversations == 0) {
    refuse(foreign > 0 ? "this does not look like a ChatGPT export"
                       : "this export has no conversations");
  }
  report(picked.size());
  return parts;
}

}  // namespace

unsigned ReadOptions::default_compress_threads() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxCompressThreads);
}

ItemKind classify_item(std::string_view name, std::uint64_t uncompressed_size) {
  std::string last(last_component(name));
  std::transform(last.begin(), last.end(), last.begin(), ascii_lower);
  constexpr std::string_view kJson = ".json";
  if (last.size() < kJson.size() ||
      last.compare(last.size() - kJson.size(), kJson.size(), kJson) != 0) {
    return ItemKind::Ignored;
  }
  const std::string_view stem = std::string_view(last).substr(0, last.size() - kJson.size());

  constexpr std::string_view kConversations = "conversations";
  if (stem == kConversations) return ItemKind::Conversations;
  if (starts_with(stem, "conversations-") && stem.size() > kConversations.size() + 1 &&
      std::all_of(stem.begin() + kConversations.size() + 1, stem.end(),
                  [](char c) { return c >= '0' && c <= '9'; })) {
    return ItemKind::Conversations;
  }

  const bool side = starts_with(stem, "memories") || starts_with(stem, "memory") ||
                    contains(stem, "instruction") ||
                    (stem.size() > 5 && starts_with(stem, "custom"));
  if (side && !contains(stem, "conversation") && uncompressed_size <= kMaxSideFileSize) {
    return ItemKind::SideFile;
  }
  return ItemKind::Ignored;
}

ReadResult read_export(const ArchiveSource& source, const ReadOptions& options) {
  PartCollector collector(options);
  try {
    return read_items(source, options, collector);
  } catch (const ReadError& error) {
    // Parts flushed before the failure come first: had they passed the total, reading would
    // have stopped there.
    try {
      collector.finish();
    } catch (const ReadError& earlier) {
      return fail(earlier.what());
    } catch (const std::bad_alloc&) {
    }
    return fail(error.what());
  } catch (const std::bad_alloc&) {
    return fail("there is not enough memory to read this export");
  } catch (const std::exception& error) {
    return fail(std::string("this export could not be read: ") + error.what());
  }
}

ReadResult read_export(const std::string& path, const ReadOptions& options) {
  const Result<std::unique_ptr<ArchiveSource>> opened = open_archive_file(path);
  if (!opened.ok()) return opened.error();
  return read_export(*opened.value(), options);
}

}  // namespace kavor::importer
