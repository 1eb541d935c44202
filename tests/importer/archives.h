// Export archives for the importer tests: made by the real tools (Info-ZIP zip, Python's
// zipfile, gzip) in a private folder, or written byte by byte when a test needs an archive no
// tool would make.
#pragma once

#include <zlib.h>

#include <QByteArray>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace kavor::test {

class ArchiveFolder {
 public:
  std::string path(const std::string& name) const {
    return dir_.filePath(QString::fromStdString(name)).toStdString();
  }

  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }

  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Runs a program in the folder with `input` on its standard input; its standard output, or
  // a description of the failure starting with "failed:".
  std::string run(const QString& program, const QStringList& arguments,
                  const std::string& input = {}) const {
    QProcess process;
    process.setWorkingDirectory(dir_.path());
    process.start(program, arguments);
    if (!process.waitForStarted()) return "failed: cannot start " + program.toStdString();
    process.write(QByteArray::fromStdString(input));
    process.closeWriteChannel();
    process.waitForFinished(120'000);
    if (process.exitCode() != 0) {
      return "failed: " + process.readAllStandardError().toStdString();
    }
    return process.readAllStandardOutput().toStdString();
  }

  // Python's zipfile writes `files` (name, content) into `archive`: `open` is the ZipFile
  // expression (the archive's path is `path`; `Unseekable(path)` is a file that cannot seek,
  // which makes zipfile write data descriptors), `how` the body of "with <open> as z:", given
  // the lists `names` and `contents`.
  std::string python_zip(const std::string& archive,
                         const std::vector<std::pair<std::string, std::string>>& files,
                         const std::string& open, const std::string& how) const {
    std::string names = "[";
    std::string contents = "[";
    for (const auto& [name, content] : files) {
      names += "bytes.fromhex('" + QByteArray::fromStdString(name).toHex().toStdString() + "'),";
      contents +=
          "bytes.fromhex('" + QByteArray::fromStdString(content).toHex().toStdString() + "'),";
    }
    const std::string script =
        "import io, sys, zipfile\n"
        "class Unseekable(io.RawIOBase):\n"
        "    def __init__(self, path): self.f = open(path, 'wb')\n"
        "    def writable(self): return True\n"
        "    def write(self, b): return self.f.write(b)\n"
        "    def close(self): self.f.close(); super().close()\n"
        "path = sys.argv[1]\n"
        "names = [n.decode() for n in " +
        names +
        "]]\n"
        "contents = " +
        contents +
        "]\n"
        "with " +
        open + " as z:\n" + how + "\n";
    return run(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromStdString(script),
                                           QString::fromStdString(path(archive))});
  }

 private:
  QTemporaryDir dir_;
};

inline std::uint32_t crc_of(const std::string& bytes) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// A raw deflate stream, as zip stores it.
inline std::string raw_deflate(const std::string& text, int level = 6) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// One item of a hand-written archive. By default the directory tells the truth about it.
struct RawItem {
  RawItem(std::string n, std::string c, std::uint16_t m = 8)
      : name(std::move(n)), content(std::move(c)), method(m) {}

  std::string name;
  std::string content;  // what the item holds
  std::uint16_t method = 8;
  std::uint16_t flags = 0;
  // Overrides of what the directory records.
  std::optional<std::string> stored;  // the bytes in the archive, instead of content compressed
  std::optional<std::uint32_t> crc;
  std::optional<std::uint64_t> compressed;
  std::optional<std::uint64_t> uncompressed;
  std::optional<std::uint64_t> offset;      // where the directory says the header is
  std::optional<std::size_t> same_data_as;  // point the directory at an earlier item's header
};

inline void put16(std::string& out, std::uint64_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void put32(std::string& out, std::uint64_t v) {
  put16(out, v & 0xFFFF);
  put16(out, (v >> 16) & 0xFFFF);
}
inline void put64(std::string& out, std::uint64_t v) {
  put32(out, v & 0xFFFFFFFF);
  put32(out, v >> 32);
}

// Local headers and data, then the directory and its end record. Sizes above 32 bits go to a
// zip64 extra field. `zip64_end` writes the zip64 end record and locator and marks the plain
// end record's count and offset as "see zip64".
inline std::string build_zip(const std::vector<RawItem>& items, bool zip64_end = false) {
  std::string out;
  std::string directory;
  std::vector<std::uint64_t> offsets;
  for (const RawItem& item : items) {
    const std::string data = item.stored        ? *item.stored
                             : item.method == 8 ? raw_deflate(item.content)
                                                : item.content;
    const std::uint32_t crc = item.crc.value_or(crc_of(item.content));
    const std::uint64_t compressed = item.compressed.value_or(data.size());
    const std::uint64_t uncompressed = item.uncompressed.value_or(item.content.size());
    std::uint64_t offset = out.size();
    if (item.same_data_as) {
      offset = offsets[*item.same_data_as];
    } else {
      if (item.offset) offset = *item.offset;
      put32(out, 0x04034b50);
      put16(out, 20);
      put16(out, item.flags);
      put16(out, item.method);
      put32(out, 0);
      put32(out, crc);
      put32(out, compressed);
      put32(out, uncompressed);
      put16(out, item.name.size());
      put16(out, 0);
      out += item.name;
      out += data;
    }
    offsets.push_back(offset);

    std::string extra;
    const bool big = uncompressed >= 0xFFFFFFFF || compressed >= 0xFFFFFFFF;
    if (big) {
      put16(extra, 1);
      put16(extra, 16);
      put64(extra, uncompressed);
      put64(extra, compressed);
    }
    put32(directory, 0x02014b50);
    put16(directory, 20);
    put16(directory, 20);
    put16(directory, item.flags);
    put16(directory, item.method);
    put32(directory, 0);
    put32(directory, crc);
    put32(directory, big ? 0xFFFFFFFF : compressed);
    put32(directory, big ? 0xFFFFFFFF : uncompressed);
    put16(directory, item.name.size());
    put16(directory, extra.size());
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0);
    put32(directory, offset);
    directory += item.name;
    directory += extra;
  }
  const std::uint64_t directory_at = out.size();
  out += directory;
  if (zip64_end) {
    const std::uint64_t zip64_at = out.size();
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, items.size());
    put64(out, items.size());
    put64(out, directory.size());
    put64(out, directory_at);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, zip64_at);
    put32(out, 1);
  }
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, zip64_end ? 0xFFFF : items.size());
  put16(out, zip64_end ? 0xFFFF : items.size());
  put32(out, directory.size());
  put32(out, zip64_end ? 0xFFFFFFFF : directory_at);
  put16(out, 0);
  return out;
}

}  // namespace kavor::test
