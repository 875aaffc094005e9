#include "platform/User.h"

#include <grp.h>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/FileIO.h"

namespace kelvado {

namespace {
// Looks the user up (the current one unless named); `use` receives the entry. False when there is none.
template <typename F>
bool WithPasswdEntry(F use, uid_t uid = ::getuid()) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
  struct passwd pw;
  struct passwd* result = nullptr;
  while (true) {
    int rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || !result) return false;
    use(*result);
    return true;
  }
}
}  // namespace

std::string UserNameOf(uid_t uid) {
  std::string name;
  WithPasswdEntry([&](const struct passwd& pw) { name = pw.pw_name ? pw.pw_name : ""; }, uid);
  return name.empty() ? std::to_string(uid) : name;
}

std::string GroupNameOf(gid_t gid) {
  long hint = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
  struct group gr;
  struct group* result = nullptr;
  for (;;) {
    const int rc = ::getgrgid_r(gid, &gr, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return rc == 0 && result && result->gr_name && *result->gr_name ? result->gr_name : std::to_string(gid);
  }
}

std::vector<gid_t> GroupsOfUser(uid_t uid) {
  std::string name;
  gid_t own = 0;
  if (!WithPasswdEntry(
          [&](const struct passwd& pw) {
            name = pw.pw_name ? pw.pw_name : "";
            own = pw.pw_gid;
          },
          uid) ||
      name.empty())
    return {};
  std::vector<gid_t> groups(32);
  for (;;) {
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(name.c_str(), own, groups.data(), &count) >= 0) {
      groups.resize(static_cast<size_t>(count));
      return groups;
    }
    // Too small: count says how many there are.
    if (count <= static_cast<int>(groups.size()) || count > (1 << 16)) return {own};
    groups.resize(static_cast<size_t>(count));
  }
}

bool GetLogonUserName(std::string& name) {
  std::string found;
  if (!WithPasswdEntry([&](const struct passwd& pw) { found = pw.pw_name ? pw.pw_name : ""; })) return false;
  if (found.empty()) return false;
  name = found;
  return true;
}

namespace {
std::string Lower(const std::string& s) {
  std::string out;
  for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return out;
}

// The language an installed locale gives as its own (ISO 639, "de"); empty when it is not installed or gives
// none. An alias of locale.alias ("deutsch", "german") says its language only this way.
std::string LanguageOfInstalledLocale(const std::string& locale) {
  const locale_t loc = ::newlocale(LC_ADDRESS_MASK, locale.c_str(), static_cast<locale_t>(0));
  if (!loc) return std::string();
  const char* lang = ::nl_langinfo_l(_NL_ADDRESS_LANG_AB, loc);
  std::string result = lang ? Lower(lang) : std::string();
  ::freelocale(loc);
  return result;
}
}  // namespace

std::string UserMessageLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (!v || !*v) continue;
    const std::string locale = v;
    if (locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0) return std::string();
    if (std::string lang = LanguageOfInstalledLocale(locale); !lang.empty()) return lang;
    // Not installed here: its name may still say.
    return Lower(locale.substr(0, locale.find_first_of("_.@-")));
  }
  return std::string();
}

std::string UserHomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  std::string dir;
  WithPasswdEntry([&](const struct passwd& pw) { dir = pw.pw_dir ? pw.pw_dir : ""; });
  return dir;
}

std::string UserDocumentsFolder() {
  const char* env = std::getenv("XDG_DOCUMENTS_DIR");
  if (env && *env == '/') return env;
  const std::string home = UserHomeFolder();
  if (home.empty()) return std::string();
  // user-dirs.dirs holds lines like XDG_DOCUMENTS_DIR="$HOME/Dokumente".
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string config = (xdg && *xdg == '/') ? std::string(xdg) : home + "/.config";
  std::optional<std::string> dirs;
  try {
    dirs = ReadRegularFileIfExists(config + "/user-dirs.dirs", int64_t(1) << 20);
  } catch (const EFileAccess&) {
    // unreadable: as when missing
  }
  std::istringstream in(dirs.value_or(""));
  std::string line;
  const std::string prefix = "XDG_DOCUMENTS_DIR=\"";
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string value = line.substr(prefix.size());
    size_t end = value.find('"');
    if (end == std::string::npos) break;
    value.resize(end);
    if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
    if (!value.empty() && value[0] == '/') {
      while (value.size() > 1 && value.back() == '/') value.pop_back();
      return value;
    }
    break;
  }
  return home + "/Documents";
}

}  // namespace kelvado

namespace kelvado {

std::string UserDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/kelvado";
  const std::string home = UserHomeFolder();
  if (!home.empty()) return home + "/.local/share/kelvado";
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/kelvado-" + std::to_string(::geteuid());
}

}  // namespace kelvado
