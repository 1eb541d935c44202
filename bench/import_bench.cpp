// Times the export reader on one archive, or writes a synthetic export to time it on.
//
//   import_bench --generate DIR MEGABYTES   writes DIR/conversations.json (about that many
//                                           megabytes) and DIR/memories.json
//   import_bench [--threads N] ARCHIVE      reads ARCHIVE as an import would and prints
//                                           "ms=<wall time> parts=<n> raw=<bytes>
//                                           gzip=<bytes> peak_kb=<peak resident memory>"
//
// The conversations look like a real export's: a tree of messages per conversation, ids,
// times, and text drawn from a fixed vocabulary, so they compress about as real chats do.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "importer/export_reader.h"

namespace {

using kavor::importer::ReadOptions;
using kavor::importer::ReadResult;
using kavor::importer::UploadPart;

class Writer {
 public:
  explicit Writer(std::uint32_t seed) : random_(seed) {
    const char* syllables[] = {"ka",  "vor", "te", "lin", "so", "ra",  "mi", "don", "pe",   "qua",
                               "shi", "nu",  "el", "bor", "ta", "ven", "ix", "lo",  "ster", "an"};
    for (int i = 0; i < 3000; ++i) {
      std::string word;
      const int length = 1 + static_cast<int>(random_() % 4);
      for (int k = 0; k < length; ++k) word += syllables[random_() % 20];
      vocabulary_.push_back(word);
    }
  }

  std::string id() {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 32; ++i) {
      if (i == 8 || i == 12 || i == 16 || i == 20) out += '-';
      out += hex[random_() % 16];
    }
    return out;
  }

  std::string text(int words) {
    std::string out;
    for (int i = 0; i < words; ++i) {
      if (i > 0) out += (random_() % 12 == 0) ? ". " : " ";
      // Zipf-like: common words far more often than rare ones.
      const auto rank =
          static_cast<std::size_t>(static_cast<double>(vocabulary_.size()) *
                                   std::pow(static_cast<double>(random_() % 10000) / 10000.0, 3.0));
      out += vocabulary_[rank];
      if (random_() % 50 == 0) out += "\\n";
      if (random_() % 200 == 0) out += " \\\"quoted\\\" {braces}";
    }
    return out;
  }

  std::string conversation() {
    const std::string conversation_id = id();
    const int messages = 2 + static_cast<int>(random_() % 20);
    std::vector<std::string> ids;
    for (int i = 0; i < messages; ++i) ids.push_back(id());
    const long long start = 1'680'000'000 + static_cast<long long>(random_() % 40'000'000);
    std::string out = "{\"title\":\"" + text(4) + "\",\"create_time\":" + std::to_string(start) +
                      ".123456,\"update_time\":" + std::to_string(start + 3600) +
                      ".654321,\"mapping\":{";
    for (int i = 0; i < messages; ++i) {
      if (i > 0) out += ",";
      out += "\"" + ids[i] + "\":{\"id\":\"" + ids[i] + "\",\"message\":{\"id\":\"" + ids[i] +
             "\",\"author\":{\"role\":\"" + (i % 2 ? "assistant" : "user") +
             "\",\"name\":null,\"metadata\":{}},\"create_time\":" + std::to_string(start + i * 30) +
             ".5,\"content\":{\"content_type\":\"text\",\"parts\":[\"" +
             text(i % 2 ? 40 + static_cast<int>(random_() % 300)
                        : 5 + static_cast<int>(random_() % 40)) +
             "\"]},\"status\":\"finished_successfully\",\"weight\":1.0,\"metadata\":{}},"
             "\"parent\":" +
             (i ? "\"" + ids[i - 1] + "\"" : std::string("null")) + ",\"children\":[" +
             (i + 1 < messages ? "\"" + ids[i + 1] + "\"" : std::string()) + "]}";
    }
    out += "},\"moderation_results\":[],\"current_node\":\"" + ids.back() +
           "\",\"conversation_id\":\"" + conversation_id + "\",\"id\":\"" + conversation_id + "\"}";
    return out;
  }

 private:
  std::mt19937 random_;
  std::vector<std::string> vocabulary_;
};

int generate(const std::string& dir, long megabytes) {
  Writer writer(20240611);
  std::ofstream out(dir + "/conversations.json", std::ios::binary);
  const std::uint64_t target = static_cast<std::uint64_t>(megabytes) * 1'000'000;
  std::uint64_t written = 1;
  out << '[';
  for (bool first = true; written < target; first = false) {
    const std::string conversation = writer.conversation();
    if (!first) out << ',';
    out << conversation;
    written += conversation.size() + 1;
  }
  out << ']';
  std::ofstream(dir + "/memories.json", std::ios::binary)
      << R"({"memories":[{"text":"likes tea"},{"text":"works on compilers"}]})";
  return out ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--generate") {
    return generate(argv[2], std::atol(argv[3]));
  }
  ReadOptions options;
  int arg = 1;
  if (argc == 4 && std::string(argv[1]) == "--threads") {
    options.compress_threads = static_cast<unsigned>(std::atoi(argv[2]));
    arg = 3;
  }
  if (arg + 1 != argc) {
    std::fprintf(stderr, "usage: import_bench [--threads N] ARCHIVE | --generate DIR MEGABYTES\n");
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  const ReadResult result = kavor::importer::read_export(argv[arg], options);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (!result.ok()) {
    std::fprintf(stderr, "import_bench: %s\n", result.message().c_str());
    return 1;
  }
  std::uint64_t raw = 0;
  std::uint64_t gzip = 0;
  const auto& parts = result.value();
  for (const UploadPart& part : parts) {
    raw += part.raw_size;
    gzip += part.gzip.size();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("ms=%lld parts=%zu raw=%llu gzip=%llu peak_kb=%ld\n",
              static_cast<long long>(elapsed.count()), parts.size(),
              static_cast<unsigned long long>(raw), static_cast<unsigned long long>(gzip),
              usage.ru_maxrss);
  return 0;
}
