// This computer's registration with the service: the record kept in memory, device.json in
// the configuration folder, and the device secret in the credential store.
#pragma once

#include <qcorotask.h>
#include <QFuture>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

#include "common/endpoints.h"
#include "platform/result.h"

namespace kavor::device {

class CredentialStore;

struct DeviceRecord {
  QString device_id;
  QString device_name;
  QString secret;
};

struct Credentials {
  QString device_id;
  QString device_name;
};

// Where the secret is kept in the credential store: one entry per application identifier and
// API base, so a build pointed at another service keeps a separate secret.
struct CredentialKey {
  QString service;  // the application identifier
  QString account;  // the API base URL
};

class DeviceStore {
 public:
  // Reads device.json at `file_path` and the credential store. A missing, unreadable or damaged
  // file reads as "not linked"; nothing is written back. When `usable` failed (the folder of
  // `file_path` must not be used) nothing is read and saving fails with its text.
  static std::unique_ptr<DeviceStore> load(QString file_path, CredentialStore& credentials,
                                           CredentialKey key, Result<void> usable = {});

  // The same, read on a thread of the pool while the caller goes on: the credential store may
  // take seconds (a keyring that must be started or unlocked), which the window's start does not
  // wait for. Every reader and every change below waits for the reading first; loaded() is done
  // when it is over.
  static std::unique_ptr<DeviceStore> load_in_background(QString file_path,
                                                         CredentialStore& credentials,
                                                         CredentialKey key,
                                                         Result<void> usable = {});
  ~DeviceStore();
  DeviceStore(const DeviceStore&) = delete;
  DeviceStore& operator=(const DeviceStore&) = delete;

  // Done once the record has been read; a store made by load() is done from the start.
  QFuture<void> loaded() const { return loading_; }

  const QString& file_path() const { return file_path_; }
  std::optional<Credentials> credentials() const;
  std::optional<QString> secret() const;
  // The whole record in one copy, so that its id and its secret belong to the same link.
  std::optional<DeviceRecord> record() const;
  bool linked() const;

  // Keeps a new registration: the secret goes to the credential store, or into device.json
  // when the store cannot take it; then device.json is written and the record replaced.
  // Blocking (file and credential store). Returns the file system's error text on failure,
  // leaving the record as it was.
  Result<void> save(const DeviceRecord& record);

  // Removes the registration locally: credential entry, device.json, record. Errors are
  // ignored; afterwards the computer is not linked. Blocking.
  void forget();

  // Forgets the registration only while `secret` is still its secret (nothing: while no
  // registration is kept): the service rejected a request made with `secret`, or the user
  // unlinked it, and a newer link must survive that. Returns whether it forgot. Blocking.
  bool forget_if_secret(const std::optional<QString>& secret);

 private:
  DeviceStore(QString file_path, CredentialStore& credentials, CredentialKey key,
              Result<void> usable);
  void forget_locked();
  void wait_loaded() const;
  // Reads device.json and, when it names no secret, the credential store.
  static std::optional<DeviceRecord> read_record(const QString& file_path,
                                                 CredentialStore& credentials,
                                                 const CredentialKey& key);

  const QString file_path_;
  CredentialStore& credential_store_;
  const CredentialKey key_;
  const Result<void> usable_;
  // Held for a whole save or forget, so that the credential entry, the file and the record of
  // one of them never mix with the other's. Taken before mutex_.
  std::mutex change_mutex_;
  // Guards the record for readers, which never wait for the slow credential store.
  mutable std::mutex mutex_;
  std::optional<DeviceRecord> record_;
  mutable QFuture<void> loading_;  // waiting for it changes nothing a reader sees
};

// Registers this computer with the service using the link token the web application handed
// over, and keeps the registration; fails with the user-facing error text. Once `shutdown` is
// requested it no longer touches the store.
QCoro::Task<Result<void>> link_device(DeviceStore& store, common::Endpoints endpoints,
                                      QString token, std::stop_token shutdown = {});

// Deletes the registration on the service when a sign-in token is given and the computer is
// linked (the answer is ignored), then forgets that registration locally (unless `shutdown` was
// requested meanwhile). A link made while the service is asked is a newer one and stays.
QCoro::Task<> unlink_device(DeviceStore& store, common::Endpoints endpoints,
                            std::optional<QString> token, std::stop_token shutdown = {});

}  // namespace kavor::device
