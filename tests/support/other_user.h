// A second user of this computer, for tests of what another user can reach: made with useradd
// when the tests run as root and removed at the end; run_as() is the setpriv prefix that runs a
// command as that user, without supplementary groups. Tests skip with problem() otherwise.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kavor::test {

class OtherUser {
 public:
  OtherUser() : name_("kavortest" + std::to_string(getpid())) {
    if (geteuid() != 0) {
      problem_ = "a second user can only be made by root";
      return;
    }
    // useradd refuses while another program edits the user list: try again for a while.
    for (int attempt = 0; attempt < 20 && !made_; ++attempt) {
      made_ =
          std::system(("useradd --system --user-group --shell /bin/false " + name_ + " 2>/dev/null")
                          .c_str()) == 0;
      if (!made_) usleep(100'000);
    }
    const passwd* entry = made_ ? getpwnam(name_.c_str()) : nullptr;
    if (entry == nullptr) {
      problem_ = "useradd could not make a second user";
      return;
    }
    uid_ = entry->pw_uid;
    run_as_ = "setpriv --reuid=" + std::to_string(uid_) +
              " --regid=" + std::to_string(entry->pw_gid) + " --clear-groups -- ";
  }
  ~OtherUser() {
    for (int attempt = 0; attempt < 20 && made_; ++attempt) {
      made_ = std::system(("userdel " + name_ + " 2>/dev/null").c_str()) != 0;
      if (made_) usleep(100'000);
    }
  }
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;

  const std::string& problem() const { return problem_; }
  unsigned uid() const { return uid_; }
  const std::string& run_as() const { return run_as_; }

 private:
  std::string name_;
  std::string problem_;
  std::string run_as_;
  bool made_ = false;
  unsigned uid_ = 0;
};

}  // namespace kavor::test
