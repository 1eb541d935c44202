#include "exec/wsl_listing.h"

#include "common/utf8.h"

namespace kavor::exec {

namespace {

bool looks_utf16le(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return true;
  const std::size_t units = std::min(bytes.size() / 2, kUtf16ProbeUnits);
  if (units == 0) return false;
  for (std::size_t i = 0; i < units; ++i) {
    if (bytes[2 * i + 1] != '\0') return false;
  }
  return true;
}

std::string from_utf16le(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const auto unit = [&](std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    char32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      cp = common::kReplacementChar;  // half of a pair
    }
    common::append_code_point(cp, out);
  }
  if (bytes.size() % 2 != 0)
    common::append_code_point(common::kReplacementChar, out);  // a cut-off unit
  return out;
}

}  // namespace

std::string decode_wsl_listing(std::string_view bytes) {
  const std::string text = looks_utf16le(bytes) ? from_utf16le(bytes) : common::utf8_lossy(bytes);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t cp = common::next_code_point(text, pos);
    if (cp != 0 && cp != 0xFEFF) out.append(text, start, pos - start);
  }
  return out;
}

RunOutcome list_wsl_distributions(const std::filesystem::path& folder,
                                  const std::atomic<bool>& stop) {
  const ProcessDescription process = wsl_listing_process();
  const Result<Collected> collected = collect_output(process, folder, kListingTimeout, stop);
  if (!collected.ok()) {
    const Error& failure = collected.error();
    const std::string error = failure.kind() == ErrorKind::Failed
                                  ? failure.message()
                                  : start_failure_message(process.program, folder, failure);
    return fail("WSL is not available: " + error);
  }
  const Collected& run = collected.value();
  // Each stream is decoded on its own: they need not share an encoding.
  std::string text = decode_wsl_listing(run.out) + decode_wsl_listing(run.err);
  if (run.cut_short) {
    return fail(text + (stop.load() ? std::string(kStoppedNote) : timed_out_note(kListingTimeout)));
  }
  if (run.code == 0) return text;
  return fail(text + "\n[WSL is not installed or not set up]");
}

}  // namespace kavor::exec
