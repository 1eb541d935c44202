// The operating system's secret store, reduced to the three operations the device
// registration needs. On Linux it is the freedesktop Secret Service reached through
// QtKeychain; an entry is keyed by (service, account).
#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace kavor::device {

class CredentialStore {
 public:
  virtual ~CredentialStore() = default;

  // The stored password, or nothing when the entry is missing, empty, or the store is
  // unreachable. Never throws, never blocks for longer than the store's time-out.
  virtual std::optional<QString> read(const QString& service, const QString& account) = 0;

  // True when the store accepted the password.
  virtual bool write(const QString& service, const QString& account, const QString& password) = 0;

  // Removes the entry; a missing entry or an unreachable store is not an error.
  virtual void remove(const QString& service, const QString& account) = 0;
};

// The platform's store. Every operation runs on a thread of the store's own and the caller
// waits for its answer, so it may be called from any thread; a store that does not answer
// within `timeout` counts as unreachable.
std::unique_ptr<CredentialStore> system_credential_store(
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace kavor::device
