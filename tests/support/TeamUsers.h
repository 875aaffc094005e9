#pragma once
// Two users without privileges who share a group, as the members of a team that keeps its files in a folder of
// that group: made by root for a test with the system's own tools (groupadd, useradd) and removed again. The
// names carry the test program's process id, so that test programs running at once never meet. AsUser runs
// a part of a test as one of them, in a forked child with that user's groups.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/RunInChild.h"

namespace kelvado::testing {

struct TTestUser {
  std::string Name;
  uid_t Uid = 0;
  gid_t Gid = 0;  // its own group
};

class TTeamUsers {
public:
  TTeamUsers() {
    const std::string id = std::to_string(::getpid());
    team_ = "kvteam" + id;
    if (!Run("/usr/sbin/groupadd " + team_)) return;
    teamMade_ = true;
    for (const char* who : {"kva", "kvb"}) {
      const std::string name = who + id;
      if (!Run("/usr/sbin/useradd -M -d /nonexistent -s /usr/sbin/nologin -G " + team_ + " " + name)) return;
      const passwd* pw = ::getpwnam(name.c_str());
      if (!pw) return;
      users_.push_back({name, pw->pw_uid, pw->pw_gid});
    }
    const group* gr = ::getgrnam(team_.c_str());
    if (gr) gid_ = gr->gr_gid;
    made_ = gr != nullptr;
  }
  ~TTeamUsers() {
    for (const TTestUser& u : users_) Run("/usr/sbin/userdel " + u.Name);
    if (teamMade_) Run("/usr/sbin/groupdel " + team_);
  }
  TTeamUsers(const TTeamUsers&) = delete;
  TTeamUsers& operator=(const TTeamUsers&) = delete;

  bool Made() const { return made_; }
  const TTestUser& A() const { return users_.at(0); }
  const TTestUser& B() const { return users_.at(1); }
  gid_t Team() const { return gid_; }
  const std::string& TeamName() const { return team_; }

private:
  // The tools wait for nobody holding the password files' lock: tried a few times.
  static bool Run(const std::string& command) {
    for (int tries = 0; tries < 5; ++tries) {
      if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
      ::usleep(200000);
    }
    return false;
  }
  std::string team_;
  gid_t gid_ = 0;
  bool teamMade_ = false;
  bool made_ = false;
  std::vector<TTestUser> users_;
};

// Runs `body` in a forked child as `user`, with the groups the system gives that user, and gives back what it
// answers; "not run as USER" when the child could not become the user or ended without an answer.
inline std::string AsUser(const TTestUser& user, const std::function<std::string()>& body) {
  const std::string notRun = "not run as " + user.Name;
  const std::string answer = RunInChild(body, [&] {
    const bool became = ::initgroups(user.Name.c_str(), user.Gid) == 0 && ::setgid(user.Gid) == 0 &&
                        ::setuid(user.Uid) == 0;
    return became ? std::string() : notRun;
  });
  return answer.rfind("died: ", 0) == 0 ? notRun : answer;
}

}  // namespace kelvado::testing
