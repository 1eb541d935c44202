// The registration read in the background, used the way the agent uses it while the reading
// has not ended: by the page's commands on the event loop's thread, and with a device.json
// that is not a plain file.
#include <gtest/gtest.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/agent_state.h"
#include "app/command_table.h"
#include "app/commands.h"
#include "common/build_config.h"
#include "desktop/notifications.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "support/agent_state.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor {
namespace device_background_review_test {
namespace {

using namespace std::chrono_literals;

// Fronts the real credential store and holds every read until opened, as a keyring that must
// first be started or unlocked does.
class HeldStore : public device::CredentialStore {
 public:
  explicit HeldStore(device::CredentialStore& real) : real_(real) {}
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
  void wait_for_read() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return reads_ > 0; });
  }
  // Answers `answer` once `after` has passed, from a thread of its own.
  std::thread open_after(std::chrono::milliseconds after, QString answer) {
    return std::thread([this, after, answer] {
      std::this_thread::sleep_for(after);
      std::lock_guard lock(mutex_);
      answer_ = answer;
      open_ = true;
      changed_.notify_all();
    });
  }

 private:
  device::CredentialStore& real_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int reads_ = 0;
  std::optional<QString> answer_;
};

class Notes : public Notifications {
 public:
  bool notify(const NotifyRequest&) override { return true; }
  void clear_shown() override {}
};

class DeviceBackgroundReviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = device::CredentialKey{QStringLiteral("kavor-background-review"),
                                 QString::fromStdString(svc_.base_url())};
    creds_->remove(key_.service, key_.account);
    QDir().mkpath(QFileInfo(file()).absolutePath());
  }
  void TearDown() override { creds_->remove(key_.service, key_.account); }
  Endpoints endpoints() const {
    return Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                     QString::fromStdString(svc_.base_url() + "/"));
  }
  QString file() const { return dir_.filePath(QStringLiteral("cfg/device.json")); }
  void write_linked_file() {
    QFile f(file());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(R"({"device_id":"d","device_name":"n"})");
  }

  service::TestService svc_;
  QTemporaryDir dir_;
  std::unique_ptr<device::CredentialStore> creds_ = device::system_credential_store();
  device::CredentialKey key_;
};

// The reading was moved off the event loop so that a slow keyring no longer holds the window,
// yet the page's first "agent_info" (and an unlink) still ask the store synchronously on the
// event loop's thread: the window freezes until the keyring answers, up to its time-out. A
// command may wait for the reading, but by suspending, not by blocking the thread it runs on.
TEST_F(DeviceBackgroundReviewTest, ThePageCommandsDoNotHoldTheEventLoopWhileTheKeyringIsSlow) {
  write_linked_file();
  {
    HeldStore slow(*creds_);
    std::unique_ptr<AgentState> state = test::agent_state_in(dir_.path());
    state->device = device::DeviceStore::load_in_background(file(), slow, key_);
    test::RecordingHost host;
    Notes notes;
    CommandTable table;
    install_commands(table, CommandContext{endpoints(), *state, host, notes, {}});
    slow.wait_for_read();

    std::thread opener = slow.open_after(600ms, QStringLiteral("sek"));
    QElapsedTimer held;
    held.start();
    QCoro::Task<CommandResult> asking = table.invoke("agent_info", Json::object());
    const qint64 info_ms = held.elapsed();
    const CommandResult info = test::run(std::move(asking));
    opener.join();
    EXPECT_LT(info_ms, 300) << "agent_info held the event loop's thread for the keyring";
    ASSERT_TRUE(info.ok()) << info.error();
    // Waiting must not cost the answer: the page still learns this computer is linked.
    EXPECT_EQ(info.value()["device"]["id"], "d");
  }
  {
    HeldStore slow(*creds_);
    auto store = device::DeviceStore::load_in_background(file(), slow, key_);
    slow.wait_for_read();
    std::thread opener = slow.open_after(600ms, QStringLiteral("sek"));
    QElapsedTimer held;
    held.start();
    QCoro::Task<> unlinking = device::unlink_device(*store, endpoints(), std::nullopt);
    const qint64 unlink_ms = held.elapsed();
    test::run(std::move(unlinking));
    opener.join();
    EXPECT_LT(unlink_ms, 300) << "unlink_device held the event loop's thread for the keyring";
    EXPECT_FALSE(store->linked());
  }
}

// device.json replaced by a named pipe (or anything that is not a plain file): the reading
// opens it with a blocking open and never ends. Every reader waits on it forever, the poll
// loop never starts, and the store's destructor, which waits for the reading, keeps the agent
// from ever closing. A registration file that is not a plain file reads as "not linked".
TEST_F(DeviceBackgroundReviewTest, ADeviceFileThatIsNotAPlainFileDoesNotHangTheReading) {
  const QByteArray path = QFile::encodeName(file());
  ASSERT_EQ(::mkfifo(path.constData(), 0600), 0);
  auto store = device::DeviceStore::load_in_background(file(), *creds_, key_);
  QElapsedTimer waited;
  waited.start();
  while (!store->loaded().isFinished() && waited.elapsed() < 2000) QThread::msleep(10);
  const bool ended = store->loaded().isFinished();
  EXPECT_TRUE(ended) << "the reading still hangs on the pipe";
  if (!ended) {
    // Let the hung reading go, so that the store can end: a writer that closes at once.
    const int writer = ::open(path.constData(), O_WRONLY);
    if (writer >= 0) ::close(writer);
  }
  EXPECT_FALSE(store->linked());
}

}  // namespace
}  // namespace device_background_review_test
}  // namespace kavor
