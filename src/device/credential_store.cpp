#include "device/credential_store.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <algorithm>

namespace kavor::device {
namespace {

Q_LOGGING_CATEGORY(lcCredentials, "kavor.device.credentials")

struct JobOutcome {
  bool finished = false;  // false: the store did not answer in time
  QKeychain::Error error = QKeychain::NoError;
  QString error_text;
  QString text;  // read jobs only
};

class KeychainStore final : public CredentialStore {
 public:
  explicit KeychainStore(std::chrono::milliseconds timeout)
      : timeout_(std::max(timeout, std::chrono::milliseconds::zero())) {}

  std::optional<QString> read(const QString& service, const QString& account) override {
    auto* job = new QKeychain::ReadPasswordJob(service);
    job->setKey(account);
    const JobOutcome outcome = run(job, "read");
    if (!outcome.finished || outcome.error != QKeychain::NoError || outcome.text.isEmpty()) {
      return std::nullopt;
    }
    return outcome.text;
  }

  bool write(const QString& service, const QString& account, const QString& password) override {
    auto* job = new QKeychain::WritePasswordJob(service);
    job->setKey(account);
    job->setTextData(password);
    const JobOutcome outcome = run(job, "write");
    return outcome.finished && outcome.error == QKeychain::NoError;
  }

  void remove(const QString& service, const QString& account) override {
    auto* job = new QKeychain::DeletePasswordJob(service);
    job->setKey(account);
    run(job, "remove");
  }

 private:
  // Starts `job` and waits for it in a local event loop for at most the time-out.
  //
  // The job is never deleted here. QtKeychain hands a raw pointer to the job to
  // asynchronous callbacks that cannot be cancelled, so deleting a job that has not answered
  // yet would let a late answer write into freed memory. Jobs therefore keep their default
  // auto-delete: each one removes itself (deleteLater) once it has emitted finished(), whether
  // or not anybody is still waiting. The finished() connection below lives only as long as
  // the local loop, so a late answer reaches nothing on this function's stack.
  //
  // QtKeychain runs jobs one at a time through a process-wide queue that belongs to the
  // thread which first used it, so this runs only on the store's own thread (below); a job
  // that never answers holds up the ones queued behind it, which then time out as well.
  //
  // Insecure fallback stays off (the default): with no secret service the job fails and the
  // caller keeps the secret elsewhere instead of finding it in a plain-text settings file.
  JobOutcome run(QKeychain::Job* job, const char* what) const {
    JobOutcome outcome;
    if (QCoreApplication::instance() == nullptr) {
      // Without an application object the job would never be started, let alone finish.
      qCWarning(lcCredentials) << "credential" << what << "skipped: no application object";
      delete job;  // never started, so nothing refers to it
      return outcome;
    }

    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* done) {
      outcome.finished = true;
      outcome.error = done->error();
      outcome.error_text = done->errorString();
      if (auto* reader = qobject_cast<QKeychain::ReadPasswordJob*>(done)) {
        outcome.text = reader->textData();
      }
      loop.quit();
    });

    job->start();
    guard.start(timeout_);
    // User input waits until the store has answered, so a click cannot start a second
    // store operation on top of this one.
    loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (!outcome.finished) {
      qCWarning(lcCredentials) << "credential" << what << "got no answer within" << timeout_.count()
                               << "ms; treating the store as unreachable";
    } else if (outcome.error != QKeychain::NoError && outcome.error != QKeychain::EntryNotFound) {
      qCWarning(lcCredentials) << "credential" << what << "failed:" << outcome.error_text;
    }
    return outcome;
  }

  std::chrono::milliseconds timeout_;
};

// QtKeychain's job queue belongs to the first thread that uses it, for the life of the
// process, while the program calls the store from the main thread at start-up and from worker
// threads later. Every operation therefore runs on one process-wide thread of the store's
// own, and callers wait for it there. The thread is never stopped: it must outlive every
// store, and the process ends it.
class StoreThread {
 public:
  static StoreThread& instance() {
    static StoreThread* const thread = new StoreThread;
    return *thread;
  }

  template <typename F>
  void run(F&& work) {
    if (QThread::currentThread() == &thread_) {
      work();
      return;
    }
    QMetaObject::invokeMethod(&context_, std::forward<F>(work), Qt::BlockingQueuedConnection);
  }

 private:
  StoreThread() {
    thread_.setObjectName(QStringLiteral("credential-store"));
    context_.moveToThread(&thread_);
    thread_.start();
  }

  QThread thread_;
  QObject context_;
};

class ConfinedStore final : public CredentialStore {
 public:
  explicit ConfinedStore(std::chrono::milliseconds timeout) : inner_(timeout) {}

  std::optional<QString> read(const QString& service, const QString& account) override {
    std::optional<QString> out;
    StoreThread::instance().run([&] { out = inner_.read(service, account); });
    return out;
  }
  bool write(const QString& service, const QString& account, const QString& password) override {
    bool out = false;
    StoreThread::instance().run([&] { out = inner_.write(service, account, password); });
    return out;
  }
  void remove(const QString& service, const QString& account) override {
    StoreThread::instance().run([&] { inner_.remove(service, account); });
  }

 private:
  KeychainStore inner_;
};

}  // namespace

std::unique_ptr<CredentialStore> system_credential_store(std::chrono::milliseconds timeout) {
  return std::make_unique<ConfinedStore>(timeout);
}

}  // namespace kavor::device
