#include "device/device_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <qcorofuture.h>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

#include "common/http.h"
#include "common/json.h"
#include "device/credential_store.h"
#include "device/device_file.h"
#include "device/registration.h"
#include "platform/text.h"
#include "walk/replace_file.h"

namespace kavor::device {

namespace {

// device.json is written for the owner only, in a folder for the owner only: it may carry the
// device secret when the credential store is unavailable, and nothing in it is for other users.
// It is flushed before it replaces the old file: a lost device.json means registering again.
constexpr mode_t kDeviceFileMode = 0600;
constexpr mode_t kDeviceFolderMode = 0700;
// device.json holds an id, a name and perhaps a secret: a few hundred bytes. Anything much
// larger is not one.
constexpr qint64 kDeviceFileLimit = 64 * 1024;

// The bytes of device.json, or nothing when it is missing, unreadable, larger than any such
// file, or not a plain file: a named pipe or a device in its place would otherwise hold the
// reading, and with it the agent's end, for as long as nobody writes to it.
std::optional<QByteArray> read_device_file(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  QFile file;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kDeviceFileLimit ||
      !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return std::nullopt;
  }
  QByteArray bytes = file.read(kDeviceFileLimit + 1);
  if (bytes.size() > kDeviceFileLimit) return std::nullopt;
  return bytes;
}

}  // namespace

DeviceStore::DeviceStore(QString file_path, CredentialStore& credentials, CredentialKey key,
                         Result<void> usable)
    : file_path_(std::move(file_path)),
      credential_store_(credentials),
      key_(std::move(key)),
      usable_(std::move(usable)),
      loading_(QtFuture::makeReadyFuture()) {}

std::optional<DeviceRecord> DeviceStore::read_record(const QString& file_path,
                                                     CredentialStore& credentials,
                                                     const CredentialKey& key) {
  DeviceFile file;
  if (const std::optional<QByteArray> bytes = read_device_file(file_path)) {
    file = parse_device_file(*bytes);
  }

  std::optional<QString> secret = file.secret;
  if (!secret && file.device_id && file.device_name) {
    secret = credentials.read(key.service, key.account);
  }
  if (file.device_id && file.device_name && secret) {
    return DeviceRecord{*file.device_id, *file.device_name, *secret};
  }
  return std::nullopt;
}

std::unique_ptr<DeviceStore> DeviceStore::load(QString file_path, CredentialStore& credentials,
                                               CredentialKey key, Result<void> usable) {
  const bool may_read = usable.ok();
  std::unique_ptr<DeviceStore> store(
      new DeviceStore(std::move(file_path), credentials, std::move(key), std::move(usable)));
  if (may_read) store->record_ = read_record(store->file_path_, credentials, store->key_);
  return store;
}

std::unique_ptr<DeviceStore> DeviceStore::load_in_background(QString file_path,
                                                             CredentialStore& credentials,
                                                             CredentialKey key,
                                                             Result<void> usable) {
  const bool may_read = usable.ok();
  std::unique_ptr<DeviceStore> store(
      new DeviceStore(std::move(file_path), credentials, std::move(key), std::move(usable)));
  if (!may_read) return store;
  DeviceStore* self = store.get();
  // The store waits for this in its destructor, so `self` outlives it.
  self->loading_ = QtConcurrent::run([self] {
    std::optional<DeviceRecord> record =
        read_record(self->file_path_, self->credential_store_, self->key_);
    std::lock_guard lock(self->mutex_);
    self->record_ = std::move(record);
  });
  return store;
}

DeviceStore::~DeviceStore() {
  loading_.waitForFinished();
}

void DeviceStore::wait_loaded() const {
  if (!loading_.isFinished()) loading_.waitForFinished();
}

std::optional<Credentials> DeviceStore::credentials() const {
  wait_loaded();
  std::lock_guard lock(mutex_);
  if (!record_) return std::nullopt;
  return Credentials{record_->device_id, record_->device_name};
}

std::optional<QString> DeviceStore::secret() const {
  wait_loaded();
  std::lock_guard lock(mutex_);
  if (!record_) return std::nullopt;
  return record_->secret;
}

std::optional<DeviceRecord> DeviceStore::record() const {
  wait_loaded();
  std::lock_guard lock(mutex_);
  return record_;
}

bool DeviceStore::linked() const {
  wait_loaded();
  std::lock_guard lock(mutex_);
  return record_.has_value();
}

Result<void> DeviceStore::save(const DeviceRecord& record) {
  if (!usable_.ok()) return usable_;
  wait_loaded();  // the record read at start must not replace this one
  std::lock_guard change(change_mutex_);
  const bool in_store = credential_store_.write(key_.service, key_.account, record.secret);
  const std::optional<QString> file_secret =
      in_store ? std::nullopt : std::optional<QString>(record.secret);
  const QByteArray bytes = serialize_device_file(record.device_id, record.device_name, file_secret);
  walk::ReplaceOptions options;
  options.mode = kDeviceFileMode;
  options.folder_mode = kDeviceFolderMode;
  options.folder_links = true;  // the settings folder may be linked elsewhere
  if (const int error = walk::replace_file(QFile::encodeName(file_path_).toStdString(),
                                           bytes.toStdString(), options)) {
    return fail(errno_text(error));
  }
  std::lock_guard lock(mutex_);
  record_ = record;
  return {};
}

void DeviceStore::forget() {
  wait_loaded();
  std::lock_guard change(change_mutex_);
  forget_locked();
}

bool DeviceStore::forget_if_secret(const std::optional<QString>& secret) {
  wait_loaded();
  std::lock_guard change(change_mutex_);
  {
    std::lock_guard lock(mutex_);
    const std::optional<QString> current =
        record_ ? std::optional<QString>(record_->secret) : std::nullopt;
    if (current != secret) return false;
  }
  forget_locked();
  return true;
}

void DeviceStore::forget_locked() {
  credential_store_.remove(key_.service, key_.account);
  if (usable_.ok()) QFile::remove(file_path_);
  std::lock_guard lock(mutex_);
  record_.reset();
}

QCoro::Task<Result<void>> link_device(DeviceStore& store, common::Endpoints endpoints,
                                      QString token, std::stop_token shutdown) {
  // Note for the coroutines here: g++ 12 mishandles non-trivial temporaries inside co_await
  // expressions (they can be destroyed twice), so every awaited value is built as a named local.
  const QString trimmed = token.trimmed();
  const QString name = computer_name();

  auto client = common::http_client();
  QNetworkRequest request =
      client->request(endpoints.api_base() + QStringLiteral("/bridge/devices"));
  common::set_bearer(request, trimmed);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  common::Json body = common::Json::object();
  body["name"] = name.toStdString();
  body["os"] = "linux";
  const QByteArray payload = QByteArray::fromStdString(body.dump());
  const QByteArray method("POST");

  const common::HttpResponse answer = co_await client->send(method, request, payload);
  if (shutdown.stop_requested()) co_return fail("Kavor Agent is closing.");
  if (!answer.answered()) co_return fail("network: " + answer.transport_error->toStdString());

  Result<Registration> outcome = read_registration_answer(answer.status, answer.body);
  if (!outcome.ok()) co_return outcome.error();
  Registration registration = std::move(outcome).value();

  DeviceRecord record{std::move(registration.device_id), name, std::move(registration.secret)};
  // The credential store and the file are slow, blocking calls: keep them off this thread.
  QFuture<Result<void>> saving = QtConcurrent::run([&store, record] { return store.save(record); });
  Result<void> saved = co_await saving;
  co_return saved;
}

QCoro::Task<> unlink_device(DeviceStore& store, common::Endpoints endpoints,
                            std::optional<QString> token, std::stop_token shutdown) {
  // The registration being unlinked, once read (without holding the event loop). The user may
  // link again while the service is asked; that newer registration is not the one unlinked and
  // stays.
  QFuture<void> loading = store.loaded();
  co_await loading;
  if (shutdown.stop_requested()) co_return;
  const std::optional<DeviceRecord> unlinked = store.record();
  if (token && unlinked) {
    auto client = common::http_client();
    const QString id = QString::fromUtf8(QUrl::toPercentEncoding(unlinked->device_id));
    QNetworkRequest request =
        client->request(endpoints.api_base() + QStringLiteral("/bridge/devices/") + id);
    common::set_bearer(request, token->trimmed());
    const QByteArray method("DELETE");
    const common::HttpResponse ignored = co_await client->send(method, request);
    Q_UNUSED(ignored);
    if (shutdown.stop_requested()) co_return;
  }
  const std::optional<QString> secret =
      unlinked ? std::optional<QString>(unlinked->secret) : std::nullopt;
  QFuture<bool> forgetting =
      QtConcurrent::run([&store, secret] { return store.forget_if_secret(secret); });
  co_await forgetting;
}

}  // namespace kavor::device
