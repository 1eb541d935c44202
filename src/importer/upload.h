// The resumable upload of a chat export. The service is told which archive is coming by a
// fingerprint of its name, size and time, answers with the parts it already holds, receives
// the others one by one, and is then told to start. Nothing is kept on this computer: running
// the import again with the same archive resumes it, because the fingerprint and the service's
// list of held parts let every part that arrived before be skipped.
//
// Each request is tried up to five times, waiting 1, 2, 4 and 8 seconds between tries, when the
// service cannot be reached or answers with a 5xx status; any other refusal ends the import at
// once with the service's own `message` when it gives one.
#pragma once

#include <qcorotask.h>
#include <QString>

#include <chrono>
#include <stop_token>
#include <variant>

#include "common/endpoints.h"
#include "common/json.h"
#include "importer/export_reader.h"
#include "platform/result.h"

namespace kavor {

namespace common {
class Host;
class HttpClient;
}  // namespace common

namespace importer {

// A part of several megabytes on a slow line needs longer than the shared 40 seconds.
inline constexpr std::chrono::milliseconds kImportRequestTimeout{120'000};
inline constexpr int kImportAttempts = 5;
inline constexpr std::chrono::milliseconds kFirstRetryWait{1'000};
inline constexpr std::chrono::milliseconds kLongestRetryWait{10'000};

// The service's answer to the start step (passed on unchanged), or the message for the user.
using ImportResult = Result<common::Json>;

// The fingerprint of the archive at `path`: the first 32 hexadecimal digits of the SHA-256 of
// "<file name>:<size>:<modification time in ms since 1970>", with 0 for what cannot be read.
QString import_fingerprint(const QString& path);

// Reads the archive on a worker thread ("reading" events), then uploads its parts. The
// `chatgpt-import` events go to `host`. `read_options` is for tests (limits, threads). When
// `shutdown` is requested the reader stops at once (the program waits for its workers before
// it ends) and nothing is uploaded.
QCoro::Task<ImportResult> run_import(common::Endpoints endpoints, common::Host& host, QString path,
                                     QString token, ReadOptions read_options = {},
                                     std::stop_token shutdown = {});

}  // namespace importer
}  // namespace kavor
