// The device registration against the substitute service and the system's credential store.
// The suite runs twice: inside a private Secret Service (KAVOR_TEST_KEYRING=1), and with no
// session bus at all, where the secret must fall back into device.json.
#include "device/device_store.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "app/agent_state.h"
#include "app/command_table.h"
#include "app/commands.h"
#include "common/build_config.h"
#include "common/json.h"
#include "desktop/notifications.h"
#include "device/credential_store.h"
#include "device/registration.h"
#include "support/agent_state.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::device {
namespace device_store_test {
namespace {

using service::Reply;
using service::TestService;

bool keyring_available() {
  return qEnvironmentVariable("KAVOR_TEST_KEYRING") == QLatin1String("1");
}

class DeviceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test gets its own credential entry so runs never see each other's secrets.
    key_ = CredentialKey{QString::fromUtf8(common::build::kAppId),
                         QString::fromStdString(svc_.base_url())};
    creds_->remove(key_.service, key_.account);
  }
  void TearDown() override { creds_->remove(key_.service, key_.account); }

  common::Endpoints endpoints() const {
    return common::Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                             QString::fromStdString(svc_.base_url() + "/"));
  }
  QString file() const { return dir_.filePath(QStringLiteral("cfg/device.json")); }
  std::unique_ptr<DeviceStore> load() { return DeviceStore::load(file(), *creds_, key_); }
  common::Json file_json() const {
    QFile f(file());
    if (!f.open(QIODevice::ReadOnly)) return nullptr;
    return common::parse_json(f.readAll().toStdString()).value_or(common::Json(nullptr));
  }
  void write_file(const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(file()).absolutePath());
    QFile f(file());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
  }
  // The failure's text; nothing when the link was made.
  std::optional<QString> link(DeviceStore& store, const QString& token) {
    const Result<void> linked = test::run(link_device(store, endpoints(), token));
    if (linked.ok()) return std::nullopt;
    return QString::fromStdString(linked.message());
  }

  TestService svc_;
  QTemporaryDir dir_;
  std::unique_ptr<CredentialStore> creds_ = system_credential_store();
  CredentialKey key_;
};

TEST_F(DeviceStoreTest, LinkRegistersKeepsTheSecretAndSurvivesARestart) {
  svc_.set_default("POST", "/bridge/devices",
                   Reply::json(200, R"({"device":{"id":42,"name":"x"},"secret":"sek-1"})"));
  auto store = load();
  EXPECT_FALSE(store->linked());
  ASSERT_EQ(link(*store, QStringLiteral("  link-token \n")), std::nullopt);

  const auto requests = svc_.requests("POST", "/bridge/devices");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("authorization"), "Bearer link-token");
  EXPECT_EQ(requests[0].header("user-agent"), "kavor-agent/0.7.3");
  const common::Json body = common::Json::parse(requests[0].body);
  EXPECT_EQ(body.dump(),
            common::Json({{"name", computer_name().toStdString()}, {"os", "linux"}}).dump());

  ASSERT_TRUE(store->credentials());
  EXPECT_EQ(store->credentials()->device_id, QStringLiteral("42"));
  EXPECT_EQ(store->credentials()->device_name, computer_name());
  EXPECT_EQ(store->secret(), QStringLiteral("sek-1"));

  const common::Json saved = file_json();
  EXPECT_EQ(saved["device_id"], "42");
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(file()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  if (keyring_available()) {
    EXPECT_TRUE(saved["secret"].is_null());
    EXPECT_EQ(creds_->read(key_.service, key_.account), QStringLiteral("sek-1"));
  } else {
    EXPECT_EQ(saved["secret"], "sek-1");
  }

  const auto again = load();
  EXPECT_EQ(again->secret(), QStringLiteral("sek-1"));
  EXPECT_EQ(again->credentials()->device_id, QStringLiteral("42"));
}

TEST_F(DeviceStoreTest, RefusedOrBrokenRegistrationsFailWithTheirMessageAndKeepNothing) {
  const struct {
    Reply reply;
    QString message;
  } cases[] = {
      {Reply::json(403, R"({"message":"This link was already used."})"),
       QStringLiteral("This link was already used.")},
      {Reply::text(500, "<html><h1>oops</h1></html>", "text/html"),
       QStringLiteral("could not register this computer")},
      {Reply::json(200, R"({"device":{"id":1.5},"secret":"s"})"),
       QStringLiteral("the server answered without a device id")},
      {Reply::json(200, R"({"device":{"id":"d"}})"),
       QStringLiteral("the server answered without a secret")},
      {Reply::json(200, ""), QStringLiteral("the server answered without a device id")},
  };
  auto store = load();
  for (const auto& c : cases) {
    svc_.enqueue("POST", "/bridge/devices", c.reply);
    EXPECT_EQ(link(*store, QStringLiteral("t")), c.message);
    EXPECT_FALSE(store->linked());
    EXPECT_FALSE(QFile::exists(file()));
  }

  std::string refused;
  {
    TestService gone;
    refused = gone.base_url();
  }
  const Result<void> linked = test::run(link_device(
      *store,
      common::Endpoints(QString::fromStdString(refused + "/"), QString::fromStdString(refused)),
      QStringLiteral("t")));
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.message().rfind("network: ", 0), 0u) << linked.message();
  EXPECT_GT(linked.message().size(), 9u);
  EXPECT_FALSE(store->linked());
}

TEST_F(DeviceStoreTest, AnUnwritableConfigurationFolderFailsAndLeavesTheStoreAsItWas) {
  svc_.set_default("POST", "/bridge/devices",
                   Reply::json(200, R"({"device":{"id":"a"},"secret":"s1"})"));
  auto store = load();
  ASSERT_EQ(link(*store, QStringLiteral("t")), std::nullopt);

  // The store's folder is replaced by a plain file: nothing can be written under it.
  QDir(QFileInfo(file()).absolutePath()).removeRecursively();
  QFile blocker(QFileInfo(file()).absolutePath());
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();

  svc_.set_default("POST", "/bridge/devices",
                   Reply::json(200, R"({"device":{"id":"b"},"secret":"s2"})"));
  EXPECT_EQ(link(*store, QStringLiteral("t")), QStringLiteral("Not a directory"));
  EXPECT_EQ(store->credentials()->device_id, QStringLiteral("a"));
  EXPECT_EQ(store->secret(), QStringLiteral("s1"));
}

TEST_F(DeviceStoreTest, LoadingReadsTheFileFirstAndTheCredentialStoreSecond) {
  write_file(R"({"device_id":"d","device_name":"n","secret":null})");
  EXPECT_FALSE(load()->linked());  // no secret anywhere

  write_file(R"({"device_id":"d","device_name":"n","secret":"from-file"})");
  EXPECT_EQ(load()->secret(), QStringLiteral("from-file"));

  write_file(R"({"device_id":"d","device_name":"n","device_id":"e","secret":"from-file"})");
  EXPECT_FALSE(load()->linked());

  if (!keyring_available()) GTEST_SKIP() << "no Secret Service in this run";
  ASSERT_TRUE(creds_->write(key_.service, key_.account, QStringLiteral("from-store")));
  write_file(R"({"device_id":"d","device_name":"n","secret":"from-file"})");
  EXPECT_EQ(load()->secret(), QStringLiteral("from-file"));
  write_file(R"({"device_id":"d","device_name":"n"})");
  EXPECT_EQ(load()->secret(), QStringLiteral("from-store"));
}

// A credential store that answers reads only once opened, in front of the real one: a real
// keyring cannot be made slow on demand, and how slow it is is what these tests are about.
class GatedStore : public CredentialStore {
 public:
  explicit GatedStore(CredentialStore& real) : real_(real) {}
  ~GatedStore() override {
    if (opener_.joinable()) opener_.join();
  }
  std::optional<QString> read(const QString&, const QString&) override {
    std::unique_lock lock(mutex_);
    ++reads_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    return answer_;
  }
  bool write(const QString& service, const QString& account, const QString& password) override {
    return real_.write(service, account, password);
  }
  void remove(const QString& service, const QString& account) override {
    real_.remove(service, account);
  }
  void open(std::optional<QString> answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
    open_ = true;
    changed_.notify_all();
  }
  // Opens from a thread of its own, late enough that a caller blocked on the store shows.
  void open_later(QString answer) {
    opener_ = std::thread([this, answer] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      open(answer);
    });
  }
  bool opened() {
    std::lock_guard lock(mutex_);
    return open_;
  }
  void wait_for_read() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return reads_ > 0; });
  }

 private:
  CredentialStore& real_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int reads_ = 0;
  std::optional<QString> answer_;
  std::thread opener_;
};

class Quiet : public desktop::Notifications {
 public:
  bool notify(const desktop::NotifyRequest&) override { return true; }
  void clear_shown() override {}
};

// Read in the background, the registration does not hold the caller: readers on other threads
// wait for the reading, the page's commands and an unlink on the event loop's thread wait
// without blocking it, a link made meanwhile is not undone by the reading's late answer, and
// the store's end waits for the reading.
TEST_F(DeviceStoreTest, ReadingInTheBackgroundHoldsReadersNotTheCaller) {
  write_file(R"({"device_id":"d","device_name":"n"})");
  {
    GatedStore slow(*creds_);
    auto store = DeviceStore::load_in_background(file(), slow, key_);
    slow.wait_for_read();
    EXPECT_FALSE(store->loaded().isFinished());
    std::future<std::optional<DeviceRecord>> asked =
        std::async(std::launch::async, [&store] { return store->record(); });
    slow.open(QStringLiteral("from-store"));
    const std::optional<DeviceRecord> record = asked.get();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->device_id, QStringLiteral("d"));
    EXPECT_EQ(record->secret, QStringLiteral("from-store"));
  }
  {
    GatedStore slow(*creds_);
    std::unique_ptr<app::AgentState> state = test::agent_state_in(dir_.path());
    state->device = DeviceStore::load_in_background(file(), slow, key_);
    test::RecordingHost host;
    Quiet quiet;
    app::CommandTable table;
    app::install_commands(table, app::CommandContext{endpoints(), *state, host, quiet, {}});
    slow.wait_for_read();
    slow.open_later(QStringLiteral("sek"));
    QCoro::Task<app::CommandResult> asking = table.invoke("agent_info", common::Json::object());
    EXPECT_FALSE(slow.opened()) << "agent_info held the event loop's thread for the keyring";
    const app::CommandResult info = test::run(std::move(asking));
    ASSERT_TRUE(info.ok()) << info.message();
    EXPECT_EQ(info.value()["device"]["id"], "d");
  }
  {
    GatedStore slow(*creds_);
    auto store = DeviceStore::load_in_background(file(), slow, key_);
    slow.wait_for_read();
    slow.open_later(QStringLiteral("sek"));
    QCoro::Task<> unlinking = unlink_device(*store, endpoints(), std::nullopt);
    EXPECT_FALSE(slow.opened()) << "unlink_device held the event loop's thread for the keyring";
    test::run(std::move(unlinking));
    EXPECT_FALSE(store->linked());
  }
  write_file(R"({"device_id":"d","device_name":"n"})");
  {
    GatedStore slow(*creds_);
    auto store = DeviceStore::load_in_background(file(), slow, key_);
    slow.wait_for_read();
    std::future<Result<void>> saving = std::async(std::launch::async, [&store] {
      return store->save(
          DeviceRecord{QStringLiteral("new"), QStringLiteral("n2"), QStringLiteral("sek-new")});
    });
    slow.open(QStringLiteral("old-secret"));
    ASSERT_TRUE(saving.get().ok());
    EXPECT_EQ(store->secret(), QStringLiteral("sek-new"));
  }
  write_file(R"({"device_id":"d","device_name":"n"})");
  {
    GatedStore slow(*creds_);
    auto store = DeviceStore::load_in_background(file(), slow, key_);
    slow.wait_for_read();
    slow.open_later(QStringLiteral("late"));
    store.reset();  // waits for the reading, which still uses the store
  }
}

// A device.json that is not a plain file (a named pipe here) reads as "not linked" at once: a
// blocking open would hold every reader, and the agent's end, for as long as nobody writes.
TEST_F(DeviceStoreTest, ADeviceFileThatIsNotAPlainFileReadsAsNotLinked) {
  QDir().mkpath(QFileInfo(file()).absolutePath());
  const QByteArray path = QFile::encodeName(file());
  ASSERT_EQ(::mkfifo(path.constData(), 0600), 0);
  auto store = DeviceStore::load_in_background(file(), *creds_, key_);
  const bool ended = test::wait_until([&] { return store->loaded().isFinished(); });
  EXPECT_TRUE(ended) << "the reading hangs on the pipe";
  if (!ended) {
    // Lets the hung reading go, so that the store can end: a writer that closes at once.
    const int writer = ::open(path.constData(), O_WRONLY);
    if (writer >= 0) ::close(writer);
  }
  EXPECT_FALSE(store->linked());
}

TEST_F(DeviceStoreTest, UnlinkDeletesOnTheServiceOnlyWithATokenAndAlwaysForgets) {
  svc_.set_default("POST", "/bridge/devices",
                   Reply::json(200, R"({"device":{"id":"dev 1"},"secret":"s"})"));
  svc_.set_default("DELETE", "/bridge/devices/{id}", Reply::json(500, "{}"));
  auto store = load();

  ASSERT_EQ(link(*store, QStringLiteral("t")), std::nullopt);
  test::run(unlink_device(*store, endpoints(), QStringLiteral(" sign-in ")));
  auto deletes = svc_.requests("DELETE", "/bridge/devices/{id}");
  ASSERT_EQ(deletes.size(), 1u);
  EXPECT_EQ(deletes[0].path, "/bridge/devices/dev%201");
  EXPECT_EQ(deletes[0].header("authorization"), "Bearer sign-in");
  EXPECT_FALSE(store->linked());
  EXPECT_FALSE(QFile::exists(file()));
  EXPECT_EQ(creds_->read(key_.service, key_.account), std::nullopt);

  ASSERT_EQ(link(*store, QStringLiteral("t")), std::nullopt);
  test::run(unlink_device(*store, endpoints(), std::nullopt));
  EXPECT_EQ(svc_.requests("DELETE", "/bridge/devices/{id}").size(), 1u);
  EXPECT_FALSE(store->linked());
  EXPECT_FALSE(load()->linked());
}

}  // namespace
}  // namespace device_store_test
}  // namespace kavor::device
