// One running program per user. The first start listens on a local socket; a later start finds
// it, asks it to bring its window forward, and ends.
//
// Where the socket lives decides who can pretend to be the running program. A predictable name
// in the temporary folder every user shares can be taken first by anyone, and a start that
// handed over to whatever answered there ended at once with no window. So:
// 1. The folder is one nobody else may enter: $XDG_RUNTIME_DIR when it is a real folder (not a
//    link) owned by this user with no access for group or others; otherwise "kavor-agent-{uid}"
//    in the temporary folder, created that way and held to the same test before each use. When
//    that name is already taken by something else (another user's folder, a link, a folder
//    others may enter), a fresh folder is made for this start alone (mkdtemp) rather than trust
//    it: this start then runs on its own, which beats not running at all.
// 2. The lock file that makes "is one running? else listen" a single step lives there too: in
//    the shared folder another user's lock file could hold a start up indefinitely.
// 3. A socket there counts as the running program only when the file is this user's and the
//    process listening on it runs as this user (its credentials, SO_PEERCRED). Anything else
//    gets no knock; a start removes it and listens in its place.
// 4. The running program ignores a knock from a process of another user.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace kavor::shell {

// The folder of the socket: where, and whether it was made for this start alone (then it is
// removed when the program ends). An empty path when no private folder could be had.
struct InstanceFolder {
  QString path;
  bool fresh = false;
};

// Steps 1 for `runtime_dir` (the value of XDG_RUNTIME_DIR, may be empty) and `temp_dir`.
InstanceFolder instance_folder(const QString& runtime_dir, const QString& temp_dir);

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Listening { Yes, AnotherRuns, Unavailable };

  // This user's socket (the folder of step 1 for this process's environment).
  SingleInstance();
  // The socket at `socket_path`, in a folder the caller chose.
  explicit SingleInstance(QString socket_path);
  ~SingleInstance() override;

  // True when this user's program runs and was asked to come forward; this process should end.
  bool activate_running();

  // Starts listening; `on_activate` runs on this thread each time a later start knocks.
  // AnotherRuns when another start won the race; Unavailable when no socket can be had here
  // (the program then runs without a single-instance guard).
  Listening listen(std::function<void()> on_activate);

  const QString& socket_path() const { return path_; }

 private:
  QString path_;
  QString fresh_folder_;  // removed at the end
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> on_activate_;
};

}  // namespace kavor::shell
