#include "importer/upload.h"

#include <qcorofuture.h>
#include <qcorotimer.h>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>

#include "common/host.h"
#include "common/http.h"
#include "common/timing.h"
#include "platform/result.h"

// A note for every coroutine here: g++ 12 mishandles non-trivial temporaries inside co_await
// expressions, so each awaited value is built as a named local first.

namespace kavor::importer {

namespace {

const QString kEvent = QStringLiteral("chatgpt-import");

common::Json progress_payload(const char* phase, std::uint64_t done, std::uint64_t total,
                              std::uint64_t bytes) {
  common::Json payload = common::Json::object();
  payload["phase"] = phase;
  payload["done"] = done;
  payload["total"] = total;
  payload["bytes"] = bytes;
  return payload;
}

// Carries the reader's progress from its worker thread to the event-loop thread, where events
// are emitted. When the import's task goes away first, the relay closes: later progress is
// dropped and the reader is asked to stop.
struct ProgressRelay {
  explicit ProgressRelay(common::Host& h) : host(h) {}
  common::Host& host;
  std::atomic<bool> open{true};
  std::atomic<bool> cancel{false};
};

class RelayGuard {
 public:
  explicit RelayGuard(std::shared_ptr<ProgressRelay> relay) : relay_(std::move(relay)) {}
  ~RelayGuard() {
    relay_->open = false;
    relay_->cancel = true;
  }
  RelayGuard(const RelayGuard&) = delete;
  RelayGuard& operator=(const RelayGuard&) = delete;

 private:
  std::shared_ptr<ProgressRelay> relay_;
};

// Reading a large export takes up to a minute: it runs on threads of its own, so that it never
// holds the shared pool that decodes tool calls and answers the page's commands.
QThreadPool& reader_pool() {
  static QThreadPool pool;
  return pool;
}

// A number the service sent that is a whole, non-negative integer (2 and 2.0 alike).
std::optional<std::uint64_t> whole_number(const common::Json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    if (n >= 0) return static_cast<std::uint64_t>(n);
    return std::nullopt;
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // 2^53: beyond it a double no longer tells neighbouring integers apart.
    if (std::isfinite(d) && d >= 0 && std::trunc(d) == d && d < 9007199254740992.0) {
      return static_cast<std::uint64_t>(d);
    }
  }
  return std::nullopt;
}

ImportResult failure(const QString& message) {
  return fail(message.toStdString());
}

// The service's answer to one request: the 2xx body as JSON (null when it is not JSON), or
// the sentence for the user.
using Answer = Result<common::Json>;

std::string refusal_text(const QByteArray& body) {
  const auto parsed = common::parse_json(std::string_view(body.constData(), body.size()));
  if (parsed && parsed->is_object()) {
    const auto message = parsed->find("message");
    if (message != parsed->end() && message->is_string()) return message->get<std::string>();
  }
  return "The server refused the request.";
}

// One request of the import, with its retries.
QCoro::Task<Answer> execute(common::HttpClient& client, QByteArray method, QString url,
                            QString token, QByteArray body) {
  std::chrono::milliseconds wait = kFirstRetryWait;
  for (int attempt = 1; attempt <= kImportAttempts; ++attempt) {
    QNetworkRequest request = client.request(url);
    common::set_bearer(request, token);
    request.setRawHeader("X-Kavor-Client", "agent");
    if (!body.isEmpty()) request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QCoro::Task<common::HttpResponse> sending = client.send(method, request, body);
    const common::HttpResponse response = co_await sending;

    if (response.success()) {
      co_return Answer(
          common::parse_json(std::string_view(response.body.constData(), response.body.size()))
              .value_or(common::Json(nullptr)));
    }
    std::string failed;
    bool retry = false;
    if (!response.answered()) {
      failed = "Could not reach the server. Check your internet connection.";
      retry = true;
    } else {
      failed = refusal_text(response.body);
      retry = response.status >= 500 && response.status <= 599;
    }
    if (!retry || attempt == kImportAttempts) co_return fail(failed);

    const auto pause = common::timing::scaled(wait);
    co_await QCoro::sleepFor(pause);
    wait = std::min(wait * 2, kLongestRetryWait);
  }
  co_return fail("Could not reach the server.");
}

// The start answer's `have` list as part number -> digests held for it; elements without a
// whole `n` or a string `sha256` are skipped.
std::map<std::uint64_t, std::vector<std::string>> held_parts(const common::Json& import) {
  std::map<std::uint64_t, std::vector<std::string>> held;
  const auto have = import.find("have");
  if (have == import.end() || !have->is_array()) return held;
  for (const common::Json& element : *have) {
    if (!element.is_object()) continue;
    const auto n = element.find("n");
    const auto sha = element.find("sha256");
    if (n == element.end() || sha == element.end() || !sha->is_string()) continue;
    if (const auto number = whole_number(*n)) held[*number].push_back(sha->get<std::string>());
  }
  return held;
}

// The body of a part request. The data runs to megabytes, so it is written in place rather
// than through a JSON value.
QByteArray part_body(const UploadPart& part, const QByteArray& data, const QByteArray& sha256) {
  QByteArray body;
  body.reserve(data.size() + 256 + static_cast<qsizetype>(part.name.size()));
  body += "{\"kind\":";
  body += common::Json(part.kind).dump().c_str();
  body += ",\"name\":";
  body += QByteArray::fromStdString(common::Json(part.name).dump());
  body += ",\"size\":";
  body += QByteArray::number(static_cast<qulonglong>(part.gzip.size()));
  body += ",\"sha256\":\"";
  body += sha256;
  body += "\",\"data\":\"";
  body += data;
  body += "\"}";
  return body;
}

// Steps 2 to 5, for parts already read. `parts` belongs to the caller, who awaits this.
QCoro::Task<ImportResult> upload_parts(common::Endpoints endpoints, common::Host& host,
                                       QString path, QString token,
                                       const std::vector<UploadPart>& parts) {
  common::HttpClient client(kImportRequestTimeout);
  const QString base = endpoints.api_base() + QStringLiteral("/imports/chatgpt");

  // 2. What the service is told about the archive.
  std::uint64_t raw_bytes = 0;
  std::uint64_t compressed_bytes = 0;
  for (const UploadPart& part : parts) {
    raw_bytes += part.raw_size;
    compressed_bytes += part.gzip.size();
  }
  common::Json start = common::Json::object();
  start["fingerprint"] = import_fingerprint(path).toStdString();
  start["filename"] = QFileInfo(path).fileName().toStdString();
  start["parts"] = parts.size();
  start["raw_bytes"] = raw_bytes;

  // 3. Start, or resume: the service answers with the import's number and the parts it holds.
  QCoro::Task<Answer> starting =
      execute(client, "POST", base, token, QByteArray::fromStdString(start.dump()));
  const Answer started = co_await starting;
  if (!started.ok()) co_return started.error();
  std::optional<std::uint64_t> id;
  std::map<std::uint64_t, std::vector<std::string>> held;
  if (started->is_object()) {
    const auto import = started->find("import");
    if (import != started->end() && import->is_object()) {
      const auto found = import->find("id");
      if (found != import->end()) id = whole_number(*found);
      held = held_parts(*import);
    }
  }
  if (!id) co_return failure(QStringLiteral("The server did not start an import."));
  const QString import_url = base + QLatin1Char('/') + QString::number(*id);

  // 4. Every part the service does not hold yet with the same digest, in order.
  std::uint64_t handled_bytes = 0;
  for (std::size_t n = 0; n < parts.size(); ++n) {
    const UploadPart& part = parts[n];
    const QByteArray data =
        QByteArray::fromRawData(part.gzip.data(), static_cast<qsizetype>(part.gzip.size()))
            .toBase64();
    const QByteArray sha256 = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
    const auto digests = held.find(n);
    const bool held_already =
        digests != held.end() && std::find(digests->second.begin(), digests->second.end(),
                                           sha256.toStdString()) != digests->second.end();
    if (!held_already) {
      const QString url = import_url + QStringLiteral("/parts/") + QString::number(n);
      QCoro::Task<Answer> sending =
          execute(client, "PUT", url, token, part_body(part, data, sha256));
      const Answer sent = co_await sending;
      if (!sent.ok()) co_return sent.error();
    }
    handled_bytes += part.gzip.size();
    host.emit_event(kEvent, progress_payload("uploading", n + 1, parts.size(), handled_bytes));
  }

  // 5. Processing starts on the service; its answer goes to the page as it is.
  QCoro::Task<Answer> finishing =
      execute(client, "POST", import_url + QStringLiteral("/start"), token, QByteArray());
  const Answer finished = co_await finishing;
  if (!finished.ok()) co_return finished.error();
  host.emit_event(kEvent, progress_payload("processing", 0, 0, compressed_bytes));
  co_return finished.value();
}

}  // namespace

QString import_fingerprint(const QString& path) {
  const QFileInfo info(path);
  qint64 size = 0;
  qint64 modified = 0;
  if (info.exists()) {
    size = info.size();
    const QDateTime time = info.lastModified();
    if (time.isValid()) modified = std::max<qint64>(0, time.toMSecsSinceEpoch());
  }
  const QString text = info.fileName() + QLatin1Char(':') + QString::number(size) +
                       QLatin1Char(':') + QString::number(modified);
  const QByteArray digest =
      QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex();
  return QString::fromLatin1(digest.left(32));
}

QCoro::Task<ImportResult> run_import(common::Endpoints endpoints, common::Host& host, QString path,
                                     QString token, ReadOptions read_options,
                                     std::stop_token shutdown) {
  // 1. Read the archive on a worker; its progress comes back to this thread as events.
  auto relay = std::make_shared<ProgressRelay>(host);
  const RelayGuard guard(relay);
  const std::stop_callback ending(shutdown, [relay] {
    relay->open = false;
    relay->cancel = true;
  });
  read_options.cancel = &relay->cancel;
  read_options.progress = [relay](const char* phase, std::uint64_t done, std::uint64_t total,
                                  std::uint64_t bytes) {
    common::Json payload = progress_payload(phase, done, total, bytes);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [relay, payload = std::move(payload)] {
          if (relay->open) relay->host.emit_event(kEvent, payload);
        },
        Qt::QueuedConnection);
  };
  const std::string file = QFile::encodeName(path).toStdString();
  // The parts can run to hundreds of megabytes: they travel back by pointer, not by copy.
  QFuture<std::shared_ptr<ReadResult>> reading =
      QtConcurrent::run(&reader_pool(), [file, read_options]() -> std::shared_ptr<ReadResult> {
        return std::make_shared<ReadResult>(read_export(file, read_options));
      });
  const std::shared_ptr<ReadResult> read = co_await reading;
  if (shutdown.stop_requested()) co_return failure(QStringLiteral("Kavor Agent is closing."));
  if (!read->ok()) co_return read->error();

  // 2 to 5. The upload.
  QCoro::Task<ImportResult> uploading = upload_parts(endpoints, host, path, token, read->value());
  ImportResult result = co_await uploading;
  co_return result;
}

}  // namespace kavor::importer
