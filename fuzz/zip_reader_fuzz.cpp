// Feeds arbitrary bytes to the export reader as an archive. Parts are flushed early and the
// total is kept small, so that short inputs reach the flush and the limit as well.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "importer/archive_source.h"
#include "importer/export_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavor::importer;
  const auto source = memory_archive(std::string_view(reinterpret_cast<const char*>(data), size));
  ReadOptions options;
  options.compress_threads = 0;
  options.part_flush_at = 512;
  options.max_upload_total = 16 * 1024;
  const ReadResult result = read_export(*source, options);
  // Every success holds at least one conversation part.
  if (result.ok() && result->empty()) __builtin_trap();
  return 0;
}
