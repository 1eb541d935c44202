// One running program per user and deployment. The first start listens on a local socket;
// a later start finds it, asks it to bring its window forward, and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace kavor::shell {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // `name` identifies the program for this user (socket and lock file in the temp folder).
  explicit SingleInstance(QString name);

  // True when another instance runs and was asked to come forward; this process should end.
  bool activate_running();

  // Starts listening; `on_activate` runs on this thread each time a later start knocks.
  bool listen(std::function<void()> on_activate);

  // The name for this user and application identifier.
  static QString default_name();

 private:
  QString name_;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> on_activate_;
};

}  // namespace kavor::shell
