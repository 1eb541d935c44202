// A second user of this computer for tests of what another user can reach: made with useradd
// when the tests run as root, removed again at the end. Commands run as that user through
// setpriv, with no supplementary groups. Tests skip with the reason when none can be made.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kavor::test {

class OtherUser {
 public:
  OtherUser() {
    if (geteuid() != 0) {
      problem_ = "a second user can only be made by root";
      return;
    }
    name_ = "kavortest" + std::to_string(getpid());
    // Other tests of the machine may be editing the user list: useradd refuses while they do.
    for (int attempt = 0; attempt < 20 && !made_; ++attempt) {
      made_ = std::system(("useradd --system --no-create-home --user-group --shell /bin/false " +
                           name_ + " 2>/dev/null")
                              .c_str()) == 0;
      if (!made_) usleep(100'000);
    }
    const passwd* entry = made_ ? getpwnam(name_.c_str()) : nullptr;
    if (entry == nullptr) {
      problem_ = "useradd could not make a second user";
      return;
    }
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
  }
  ~OtherUser() {
    for (int attempt = 0; attempt < 20 && made_; ++attempt) {
      made_ = std::system(("userdel " + name_ + " 2>/dev/null").c_str()) != 0;
      if (made_) usleep(100'000);
    }
  }
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;

  // Empty when the user exists; otherwise why it could not be made.
  const std::string& problem() const { return problem_; }
  unsigned uid() const { return uid_; }
  unsigned gid() const { return gid_; }

  // The words that run a program as this user: append the program and its arguments.
  std::string run_as() const {
    return "setpriv --reuid=" + std::to_string(uid_) + " --regid=" + std::to_string(gid_) +
           " --clear-groups -- ";
  }

 private:
  std::string name_;
  std::string problem_;
  bool made_ = false;
  unsigned uid_ = 0;
  unsigned gid_ = 0;
};

}  // namespace kavor::test
