// The import against the substitute service: the first run uploads, a second run resumes, and
// every refusal, retry and unreachable service ends the way the user is told.
#include "importer/upload.h"

#include <gtest/gtest.h>
#include <QCryptographicHash>
#include <QFileInfo>

#include "app/import_commands.h"
#include "common/timing.h"
#include "desktop/notifications.h"
#include "importer/archives.h"
#include "support/agent_state.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::importer {
namespace upload_test {
namespace {

using service::ImportService;
using service::Reply;
using service::TestService;

class NoNotifications : public desktop::Notifications {
 public:
  bool notify(const desktop::NotifyRequest&) override { return false; }
  void clear_shown() override {}
};

std::string error_of(const ImportResult& result) {
  return result.message();
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(1000);
    // Five conversations cut two by two, and a side file: four parts.
    std::string list = "[";
    for (int i = 0; i < 5; ++i) {
      list += std::string(i ? "," : "") + R"({"conversation_id":"c)" + std::to_string(i) +
              R"(","mapping":{"m":{"message":"hello number )" + std::to_string(i) + R"("}}})";
    }
    folder_.write("conversations.json", list + "]");
    folder_.write("memories.json", R"({"memories":["tea"]})");
    folder_.run(QStringLiteral("zip"), {"-q", "export.zip", "conversations.json", "memories.json"});
    options_.part_flush_at = 100;
  }
  void TearDown() override { common::timing::set_speedup(1); }

  common::Endpoints endpoints(const std::string& base) const {
    return common::Endpoints(QString::fromStdString(base + "/"),
                             QString::fromStdString(base + "//"));
  }
  ImportResult import(const std::string& archive = "export.zip", const char* token = "tok") {
    return test::run(run_import(endpoints(svc_.base_url()), host_,
                                QString::fromStdString(folder_.path(archive)),
                                QString::fromLatin1(token), options_));
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& r : svc_.requests()) out.push_back(r.method + " " + r.path);
    return out;
  }
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const common::Json& e : host_.events(QStringLiteral("chatgpt-import"))) {
      out.push_back(e["phase"].get<std::string>() + " " + e["done"].dump() + "/" +
                    e["total"].dump() + " " + e["bytes"].dump());
    }
    return out;
  }

  test::ArchiveFolder folder_;
  TestService svc_;
  ImportService imports_{svc_, "tok"};
  test::RecordingHost host_;
  ReadOptions options_;
};

TEST_F(UploadTest, FirstImportSendsEveryPartAndTheSecondOnlyStartsAndFinishes) {
  const ImportResult first = import();
  ASSERT_EQ(error_of(first), "");
  EXPECT_EQ(first.value().dump(), R"({"import":{"id":1,"status":"processing","parts":4}})");
  EXPECT_EQ(paths(), (std::vector<std::string>{
                         "POST /imports/chatgpt", "PUT /imports/chatgpt/1/parts/0",
                         "PUT /imports/chatgpt/1/parts/1", "PUT /imports/chatgpt/1/parts/2",
                         "PUT /imports/chatgpt/1/parts/3", "POST /imports/chatgpt/1/start"}));
  for (const auto& request : svc_.requests()) {
    EXPECT_EQ(request.header("authorization"), "Bearer tok");
    EXPECT_EQ(request.header("x-kavor-client"), "agent");
    EXPECT_EQ(request.header("user-agent"), "kavor-agent/0.7.3");
  }

  // The start step names the archive by a fingerprint of name, size and time.
  const QFileInfo info(QString::fromStdString(folder_.path("export.zip")));
  const QByteArray fingerprint =
      QCryptographicHash::hash(QStringLiteral("export.zip:%1:%2")
                                   .arg(info.size())
                                   .arg(info.lastModified().toMSecsSinceEpoch())
                                   .toUtf8(),
                               QCryptographicHash::Sha256)
          .toHex()
          .left(32);
  const common::Json start = common::Json::parse(svc_.requests().front().body);
  const auto record = imports_.imports().at(0);
  EXPECT_EQ(start.dump(), common::Json({{"fingerprint", fingerprint.toStdString()},
                                        {"filename", "export.zip"},
                                        {"parts", 4},
                                        {"raw_bytes", record.raw_bytes}})
                              .dump());

  // Each part: its digest is that of the base64 text as sent, which decodes to `size` bytes of
  // gzip holding the objects.
  std::vector<std::uint64_t> sizes;
  for (const auto& [n, part] : record.received) {
    const QByteArray data = QByteArray::fromStdString(part.data);
    EXPECT_EQ(part.sha256,
              QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().toStdString());
    EXPECT_EQ(QByteArray::fromBase64(data).size(), static_cast<qsizetype>(part.size));
    EXPECT_EQ(part.kind, n < 3 ? "conversations" : "file");
    EXPECT_EQ(part.name, n < 3 ? "conversations.json" : "memories.json");
    sizes.push_back(part.size);
  }
  const auto body =
      common::Json::parse(svc_.requests("PUT", "/imports/chatgpt/1/parts/3").at(0).body);
  EXPECT_EQ(body.begin().key(), "kind");
  EXPECT_EQ(
      folder_.run(QStringLiteral("gzip"), {QStringLiteral("-dc")},
                  QByteArray::fromBase64(QByteArray::fromStdString(body["data"])).toStdString()),
      R"({"memories":["tea"]})");

  const auto total = sizes[0] + sizes[1] + sizes[2] + sizes[3];
  auto uploading = [&](int n) {
    std::uint64_t bytes = 0;
    for (int i = 0; i < n; ++i) bytes += sizes[static_cast<std::size_t>(i)];
    return "uploading " + std::to_string(n) + "/4 " + std::to_string(bytes);
  };
  const std::vector<std::string> uploads = {uploading(1), uploading(2), uploading(3), uploading(4),
                                            "processing 0/0 " + std::to_string(total)};
  std::vector<std::string> expected = {"reading 0/2 0", "reading 1/2 0", "reading 2/2 0"};
  expected.insert(expected.end(), uploads.begin(), uploads.end());
  EXPECT_EQ(events(), expected);

  // The same archive again: every part is held with the same digest, so none is sent.
  svc_.clear_requests();
  const ImportResult second = import();
  ASSERT_EQ(error_of(second), "");
  EXPECT_EQ(paths(),
            (std::vector<std::string>{"POST /imports/chatgpt", "POST /imports/chatgpt/1/start"}));
  const auto all = events();
  EXPECT_EQ(std::vector<std::string>(all.end() - 5, all.end()), uploads);
}

TEST_F(UploadTest, APartHeldWithAnotherDigestOrListedBadlyIsSentAgain) {
  ASSERT_EQ(error_of(import()), "");
  const std::string sha1 = imports_.imports().at(0).received.at(1).sha256;
  svc_.clear_requests();
  svc_.enqueue("POST", "/imports/chatgpt",
               Reply::json(200, R"({"import":{"id":1,"have":[{"n":0,"sha256":"00ff"},{"n":1,)"
                                R"("sha256":")" +
                                    sha1 + R"("},{"n":"2","sha256":")" + sha1 +
                                    R"("},{"n":3},{"sha256":"x"},7]}})"));
  ASSERT_EQ(error_of(import()), "");
  EXPECT_EQ(paths(), (std::vector<std::string>{
                         "POST /imports/chatgpt", "PUT /imports/chatgpt/1/parts/0",
                         "PUT /imports/chatgpt/1/parts/2", "PUT /imports/chatgpt/1/parts/3",
                         "POST /imports/chatgpt/1/start"}));
}

TEST_F(UploadTest, FailedRequestsAreRetriedAfterOneTwoAndFourSeconds) {
  common::timing::set_speedup(2);  // 500, 1000 and 2000 ms
  for (int i = 0; i < 3; ++i) svc_.enqueue("POST", "/imports/chatgpt", Reply::json(503, ""));
  ASSERT_EQ(error_of(import()), "");
  const auto starts = svc_.requests("POST", "/imports/chatgpt");
  ASSERT_EQ(starts.size(), 4u);
  for (std::size_t i = 1; i < starts.size(); ++i) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(starts[i].received -
                                                                           starts[i - 1].received);
    const std::chrono::milliseconds wait(500 << (i - 1));
    // Qt's coarse timers may fire up to 5% early; a round trip on a busy machine adds to the
    // wait, but stays well short of doubling it.
    EXPECT_GE(gap, wait * 94 / 100) << i;
    EXPECT_LT(gap, wait * 3 / 2 + std::chrono::milliseconds(200)) << i;
  }
}

TEST_F(UploadTest, RefusalsEndTheImportWithTheServiceMessageAndNoLaterStep) {
  struct Case {
    std::string method;
    std::string path;
    std::vector<Reply> replies;
    std::string message;
    std::size_t requests;  // all requests the import made
  };
  const Reply busy = Reply::json(503, R"({"message":"The import service is busy."})");
  const std::vector<Case> table = {
      {"POST",
       "/imports/chatgpt",
       {busy, busy, busy, busy, busy},
       "The import service is busy.",
       5},
      {"POST",
       "/imports/chatgpt",
       {Reply::json(400, R"({"message":"Imports are paused."})")},
       "Imports are paused.",
       1},
      {"POST",
       "/imports/chatgpt",
       {Reply::text(400, "oops")},
       "The server refused the request.",
       1},
      {"POST",
       "/imports/chatgpt",
       {Reply::json(404, R"({"message":5})")},
       "The server refused the request.",
       1},
      {"PUT",
       "/imports/chatgpt/1/parts/1",
       {Reply::json(413, R"({"message":"Too big."})")},
       "Too big.",
       3},
      // The case before got part n = 0 through: resuming skips it.
      {"POST",
       "/imports/chatgpt/1/start",
       {busy, busy, busy, busy, busy},
       "The import service is busy.",
       1 + 3 + 5},
  };
  for (const Case& c : table) {
    svc_.clear_requests();
    for (const Reply& reply : c.replies) svc_.enqueue(c.method, c.path, reply);
    EXPECT_EQ(error_of(import()), c.message) << c.path;
    EXPECT_EQ(svc_.requests().size(), c.requests) << c.path;
    EXPECT_TRUE(svc_.requests("POST", "/imports/chatgpt/{id}/start").size() ==
                (c.path == "/imports/chatgpt/1/start" ? 5u : 0u))
        << c.path;
  }

  for (const char* answer :
       {"{}", R"({"import":{}})", R"({"import":{"id":-1}})", R"({"import":{"id":1.5}})",
        R"({"import":{"id":"1"}})", R"({"import":7})", "not json"}) {
    svc_.clear_requests();
    svc_.enqueue("POST", "/imports/chatgpt", Reply::json(200, answer));
    EXPECT_EQ(error_of(import()), "The server did not start an import.") << answer;
    EXPECT_EQ(svc_.requests().size(), 1u) << answer;
  }
  EXPECT_EQ(error_of(import("export.zip", "wrong")), "Sign in again.");
}

TEST_F(UploadTest, AnUnreachableServiceAndASlowOneAreToldApart) {
  // A connection dropped without an answer is tried again.
  svc_.enqueue("PUT", "/imports/chatgpt/1/parts/0", Reply::dropped());
  ASSERT_EQ(error_of(import()), "");
  EXPECT_GE(svc_.requests("PUT", "/imports/chatgpt/1/parts/0").size(), 2u);

  // Nothing listens on a port the service held and gave back.
  std::string closed;
  {
    TestService gone;
    closed = gone.base_url();
  }
  const ImportResult result = test::run(
      run_import(endpoints(closed), host_, QString::fromStdString(folder_.path("export.zip")),
                 QStringLiteral("tok"), options_));
  EXPECT_EQ(error_of(result), "Could not reach the server. Check your internet connection.");

  // The import's own client waits 120 seconds for an answer, not the shared 40; a slow answer
  // is waited for, not asked again.
  EXPECT_EQ(kImportRequestTimeout, std::chrono::seconds(120));
  ASSERT_EQ(error_of(import()), "");
  svc_.clear_requests();
  Reply slow = Reply::json(200, R"({"import":{"id":1}})");
  slow.delay = std::chrono::milliseconds(800);
  svc_.enqueue("POST", "/imports/chatgpt", slow);
  EXPECT_EQ(error_of(import()), "");
  EXPECT_EQ(svc_.requests("POST", "/imports/chatgpt").size(), 1u);
}

TEST_F(UploadTest, TheCommandReportsReaderErrorsAndRunsImportsSideBySide) {
  const std::unique_ptr<app::AgentState> state =
      test::agent_state_in(QString::fromStdString(folder_.path("state")));
  NoNotifications notes;
  app::CommandTable table;
  app::install_import_commands(
      table, app::CommandContext{endpoints(svc_.base_url()), *state, host_, notes, {}});
  folder_.write("notes.txt", "just text, not a zip at all");
  folder_.write("conversations.json", R"([{"id":"other","mapping":{}}])");
  folder_.run(QStringLiteral("zip"), {"-q", "other.zip", "conversations.json"});
  auto args = [&](const std::string& name) {
    return common::Json({{"path", folder_.path(name)}, {"token", "tok"}});
  };

  EXPECT_EQ(test::run(table.invoke("chatgpt_import", args("notes.txt"))).message(),
            "this is not a zip file");
  EXPECT_TRUE(svc_.requests().empty());
  EXPECT_TRUE(host_.events().empty());

  // Two imports at once: each reads on its own worker and uploads on its own client.
  QCoro::Task<app::CommandResult> one = table.invoke("chatgpt_import", args("export.zip"));
  QCoro::Task<app::CommandResult> two = table.invoke("chatgpt_import", args("other.zip"));
  const app::CommandResult first = test::run(std::move(one));
  const app::CommandResult second = test::run(std::move(two));
  ASSERT_TRUE(first.ok()) << first.message();
  ASSERT_TRUE(second.ok()) << second.message();
  const auto records = imports_.imports();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& record : records) {
    EXPECT_EQ(record.received.size(), record.parts) << record.filename;
    EXPECT_EQ(record.starts, 1) << record.filename;
  }
}

}  // namespace
}  // namespace upload_test
}  // namespace kavor::importer
