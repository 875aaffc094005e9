#include "platform/FileIO.h"

#include "platform/StandardDescriptors.h"
#include "platform/User.h"

#include <endian.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace kelvado {

namespace {

[[noreturn]] void FailRead(const std::string& file, const std::string& why) {
  throw EFileAccess("Can not read the file <" + file + ">: " + why, file, why);
}

[[noreturn]] void FailWrite(const std::string& file, const std::string& what, int err) {
  const std::string cause = err ? what + " (" + std::strerror(err) + ")" : what;
  throw EFileAccess("Can not write the file <" + file + ">: " + cause, file, cause);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Closes the descriptor on every way out.
struct TFd {
  int fd;
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
};

std::optional<std::string> Read(const std::string& file, int64_t maxBytes, bool missingIsNothing) {
  SecureStandardDescriptors();
  // Not blocking: a FIFO would wait for a writer before it could be refused; no terminal becomes ours.
  const TFd f{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (f.fd < 0) {
    if (errno == ENOENT && missingIsNothing) return std::nullopt;
    FailRead(file, std::strerror(errno));
  }
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) FailRead(file, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) FailRead(file, "it is no regular file");
  const std::string tooLarge = "it is larger than " + std::to_string(maxBytes) + " bytes";
  if (maxBytes < 0 || st.st_size > maxBytes) FailRead(file, tooLarge);
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    // Never more than one byte past the bound: a file that grows while it is read is caught too.
    const int64_t room = maxBytes + 1 - static_cast<int64_t>(data.size());
    const size_t want = room < static_cast<int64_t>(sizeof buf) ? static_cast<size_t>(room) : sizeof buf;
    const ssize_t n = ::read(f.fd, buf, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      FailRead(file, std::strerror(errno));
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (static_cast<int64_t>(data.size()) > maxBytes) FailRead(file, tooLarge);
  }
  return data;
}

// The process's umask, read without changing it (umask(2) can only be read by setting it, which races with
// other threads creating files).
mode_t CurrentUmask() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// The rename reaches the disk only with the folder: a failure is reported, since a crash could then undo the
// save that was reported done. A file system that cannot flush a folder at all (EINVAL) has nothing to flush.
void FlushFolder(const std::string& file, const std::string& folder) {
  const TFd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  const int err = dir.fd < 0 ? errno : ::fsync(dir.fd) != 0 ? errno : 0;
  if (err != 0 && err != EINVAL)
    FailWrite(file, "its folder <" + folder + "> could not be flushed to disk, so the new file may not survive a crash",
              err);
}

TFileStamp StampOfStat(const std::string& file, const struct stat& st) {
  TFileStamp stamp;
  stamp.File = file;
  stamp.Device = static_cast<uint64_t>(st.st_dev);
  stamp.Inode = static_cast<uint64_t>(st.st_ino);
  stamp.Size = static_cast<int64_t>(st.st_size);
  stamp.MTimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.MTimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return stamp;
}

std::string NameInFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The save locks this thread holds, the last taken first.
thread_local TFileSaveLock* tSaveLocks = nullptr;

}  // namespace

// What WriteFileAtomically needs of the save locks.
class TFileSaveLockAccess {
public:
  // The lock this thread holds on `target` (links followed), found by its folder and name, however the folder
  // is written; null when none.
  static TFileSaveLock* Find(const std::string& target) {
    if (!tSaveLocks) return nullptr;
    struct stat folder {};
    if (::stat(FolderOf(target).c_str(), &folder) != 0) return nullptr;
    const std::string name = NameInFolder(target);
    for (TFileSaveLock* l = tSaveLocks; l; l = l->outer_)
      if (l->folderDevice_ == folder.st_dev && l->folderInode_ == folder.st_ino && l->name_ == name) return l;
    return nullptr;
  }
  // Just before the rename: the file must still be the one the lock recorded.
  static void CheckUnchanged(TFileSaveLock& lock, const std::string& file, const std::string& target) {
    const TFileStamp now = FileStampOf(target);
    if (!now.File.empty() && now.SameFileState(lock.seen_)) return;
    lock.changed_ = true;
    FailWrite(file, kCauseChangedMeanwhile, 0);
  }
  static void NotKept(TFileSaveLock& lock, const TFileKeepRefusal& refusal) { lock.notKept_ = refusal; }
  static void Replaced(TFileSaveLock& lock, const struct stat& now) {
    lock.replaced_ = true;
    lock.seen_ = StampOfStat(lock.file_, now);
  }
  static void Register(TFileSaveLock& lock) {
    lock.outer_ = tSaveLocks;
    tSaveLocks = &lock;
  }
  static void Unregister(TFileSaveLock& lock) {
    for (TFileSaveLock** l = &tSaveLocks; *l; l = &(*l)->outer_)
      if (*l == &lock) {
        *l = lock.outer_;
        return;
      }
  }
};

namespace {

// ---- What a replacement keeps of the file it replaces ----

// A refusal for something the new file could not keep: recorded for the save that holds the file's lock (its
// caller tells the user in words of its own), raised with the cause in words.
[[noreturn]] void RefuseNotKept(TFileSaveLock* lock, const std::string& file, const TFileKeepRefusal& refusal,
                                const std::string& cause, int err = 0) {
  if (lock) TFileSaveLockAccess::NotKept(*lock, refusal);
  FailWrite(file, cause, err);
}

// The extended attribute `name` of `file` (owned by `owner`) could not `what` (be read, be kept).
[[noreturn]] void RefuseAttributeNotKept(TFileSaveLock* lock, const std::string& file, uid_t owner,
                                         const std::string& name, const char* what, int err) {
  TFileKeepRefusal refusal;
  refusal.Kind = TFileKeepRefusal::kAttribute;
  refusal.Owner = UserNameOf(owner);
  refusal.Saver = UserNameOf(::geteuid());
  refusal.Attribute = name;
  refusal.Error = err;
  RefuseNotKept(lock, file, refusal, "its extended attribute " + name + " could not " + what, err);
}

constexpr const char* kAclAccessAttribute = "system.posix_acl_access";

using TAttributes = std::vector<std::pair<std::string, std::string>>;

// The names of a file's extended attributes, by `list` (listxattr or flistxattr on it); none where the file
// system has none. False with errno set when they cannot be read.
template <class List>
bool AttributeNames(List list, std::vector<std::string>& names) {
  names.clear();
  std::vector<char> buf(1024);
  for (;;) {
    const ssize_t n = list(buf.data(), buf.size());
    if (n < 0 && errno == ERANGE) {
      const ssize_t need = list(nullptr, 0);
      if (need < 0) return false;
      buf.resize(std::max(static_cast<size_t>(need), buf.size() * 2));
      continue;
    }
    if (n < 0) return errno == ENOTSUP;
    for (size_t at = 0; at < static_cast<size_t>(n);) {
      const std::string name(buf.data() + at);
      at += name.size() + 1;
      if (!name.empty()) names.push_back(name);
    }
    return true;
  }
}

// The value of one attribute, by `get` (getxattr or fgetxattr on the file). False with errno set when there is
// none or it cannot be read.
template <class Get>
bool AttributeValue(Get get, const std::string& name, std::string& value) {
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = get(name.c_str(), buf.data(), buf.size());
    if (n < 0 && errno == ERANGE) {
      const ssize_t need = get(name.c_str(), nullptr, 0);
      if (need < 0) return false;
      buf.resize(std::max(static_cast<size_t>(need), buf.size() * 2));
      continue;
    }
    if (n < 0) return false;
    value.assign(buf.data(), static_cast<size_t>(n));
    return true;
  }
}

// Every extended attribute of the file a replacement takes the place of (its ACL among them), as this process
// may read them: one it may not read would be lost, so the replacement is refused.
TAttributes AttributesOf(const std::string& file, const std::string& target, uid_t owner, TFileSaveLock* lock) {
  std::vector<std::string> names;
  if (!AttributeNames([&](char* buf, size_t size) { return ::listxattr(target.c_str(), buf, size); }, names))
    FailWrite(file, "can not read its extended attributes", errno);
  TAttributes attributes;
  for (const std::string& name : names) {
    std::string value;
    const auto get = [&](const char* n, void* buf, size_t size) { return ::getxattr(target.c_str(), n, buf, size); };
    if (AttributeValue(get, name, value)) {
      attributes.emplace_back(name, value);
      continue;
    }
    if (errno == ENODATA) continue;  // removed meanwhile
    const int err = errno;
    RefuseAttributeNotKept(lock, file, owner, name, "be read to be kept", err);
  }
  return attributes;
}

// Gives the new file exactly the attributes of the old one: those it lacks, and none it has of its own (an ACL
// inherited from the folder's default ACL) but a security label the system gave it.
void GiveAttributes(int fd, const std::string& file, const TAttributes& attributes, uid_t owner,
                    TFileSaveLock* lock) {
  std::vector<std::string> own;
  if (!AttributeNames([&](char* buf, size_t size) { return ::flistxattr(fd, buf, size); }, own))
    FailWrite(file, "can not read the temporary file's extended attributes", errno);
  for (const std::string& name : own) {
    const bool kept = std::any_of(attributes.begin(), attributes.end(), [&](const auto& a) { return a.first == name; });
    if (kept || name.rfind("security.", 0) == 0) continue;
    if (::fremovexattr(fd, name.c_str()) != 0 && errno != ENODATA)
      FailWrite(file, "can not remove the extended attribute " + name + " the folder gave the new file", errno);
  }
  for (const auto& [name, value] : attributes) {
    std::string now;
    const auto get = [&](const char* n, void* buf, size_t size) { return ::fgetxattr(fd, n, buf, size); };
    // One the new file has already (a label the system gave it) is not set again: that may need rights the
    // saver lacks.
    if (AttributeValue(get, name, now) && now == value) continue;
    if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0) continue;
    const int err = errno;
    RefuseAttributeNotKept(lock, file, owner, name, "be kept", err);
  }
}

// One entry of an access control list as the kernel keeps it in system.posix_acl_access.
struct TAclEntry {
  uint16_t Tag;
  uint16_t Perm;
  uint32_t Id;
};
enum : uint16_t {
  kAclUserObj = 0x01,
  kAclUser = 0x02,
  kAclGroupObj = 0x04,
  kAclGroup = 0x08,
  kAclMask = 0x10,
  kAclOther = 0x20,
};

// Who may do what with a file: owner, group, mode and the entries of its ACL (none: the mode alone).
struct TFileAccess {
  uid_t Owner;
  gid_t Group;
  mode_t Mode;
  std::vector<TAclEntry> Acl;
  bool AclUnknown = false;  // an ACL of a form this program does not know: nobody but its owner counts on it
};

// The ACL in the kernel's form: a version (2) and entries of tag, permissions and id, little-endian.
bool ParseAcl(const std::string& value, std::vector<TAclEntry>& acl) {
  uint32_t version = 0;
  if (value.size() < 4 || (value.size() - 4) % 8 != 0) return false;
  std::memcpy(&version, value.data(), 4);
  if (le32toh(version) != 2) return false;
  for (size_t at = 4; at < value.size(); at += 8) {
    uint16_t tag = 0, perm = 0;
    uint32_t id = 0;
    std::memcpy(&tag, value.data() + at, 2);
    std::memcpy(&perm, value.data() + at + 2, 2);
    std::memcpy(&id, value.data() + at + 4, 4);
    acl.push_back({le16toh(tag), static_cast<uint16_t>(le16toh(perm) & 7), le32toh(id)});
  }
  return true;
}

// The rights (4 read, 2 write, 1 execute) the user `uid`, of the groups `groups`, has on the file as the kernel
// grants them, privileges aside: the owner's, else the user's own ACL entry, else those of its groups, else the
// others'; an ACL entry other than the owner's and the others' counts only as far as the mask lets it.
unsigned RightsOf(uid_t uid, const std::vector<gid_t>& groups, const TFileAccess& file) {
  const auto member = [&](gid_t g) { return std::find(groups.begin(), groups.end(), g) != groups.end(); };
  if (uid == file.Owner) return (file.Mode >> 6) & 7;
  if (file.AclUnknown) return 0;
  if (file.Acl.empty()) return member(file.Group) ? (file.Mode >> 3) & 7 : file.Mode & 7;
  unsigned mask = 7, other = 0, fromGroups = 0;
  bool inGroup = false;
  for (const TAclEntry& e : file.Acl) {
    if (e.Tag == kAclMask) mask = e.Perm;
    if (e.Tag == kAclOther) other = e.Perm;
  }
  for (const TAclEntry& e : file.Acl)
    if (e.Tag == kAclUser && e.Id == uid) return e.Perm & mask;
  for (const TAclEntry& e : file.Acl) {
    if ((e.Tag == kAclGroupObj && member(file.Group)) || (e.Tag == kAclGroup && member(e.Id))) {
      inGroup = true;
      fromGroups |= e.Perm;
    }
  }
  return inGroup ? fromGroups & mask : other;
}

std::string RightsText(unsigned rights) {
  return {rights & 4 ? 'r' : '-', rights & 2 ? 'w' : '-', rights & 1 ? 'x' : '-'};
}

// The groups this process acts in.
std::vector<gid_t> ProcessGroups() {
  std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
  const int n = ::getgroups(static_cast<int>(groups.size()) - 1, groups.data());
  groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
  groups.push_back(::getegid());
  return groups;
}

// Gives the new file the owner and group of the old one. Only root and the owner can keep the owner; saved by
// another user who may write it (a team member, through the group or the ACL), the file passes to that user,
// its group, mode and ACL kept, so that everyone keeps what they may do with it; refused where that is not so.
void KeepOwnerAndGroup(int fd, const std::string& file, const struct stat& old, const TAttributes& attributes,
                       TFileSaveLock* lock) {
  struct stat mine {};
  if (::fstat(fd, &mine) != 0) FailWrite(file, "can not read the temporary file's owner", errno);
  if (mine.st_uid == old.st_uid && mine.st_gid == old.st_gid) return;
  if (::fchown(fd, old.st_uid, old.st_gid) == 0) return;
  if (errno != EPERM) FailWrite(file, "can not give the new file its owner and group", errno);
  TFileKeepRefusal refusal;
  refusal.Owner = UserNameOf(old.st_uid);
  refusal.Saver = UserNameOf(mine.st_uid);
  // The group is kept by anyone in it (a team folder's set-group-ID gives it to a new file beforehand).
  if (mine.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    const int err = errno;
    refusal.Kind = TFileKeepRefusal::kGroupNotKept;
    refusal.Group = GroupNameOf(old.st_gid);
    RefuseNotKept(lock, file, refusal,
                  "it belongs to user " + refusal.Owner + " and group " + refusal.Group +
                      ", which a replacement by user " + refusal.Saver + " could not keep: " + refusal.Saver +
                      " is not in that group",
                  err);
  }
  if (mine.st_uid == old.st_uid) return;
  // The file passes to this user.
  if (old.st_mode & S_ISUID) {
    refusal.Kind = TFileKeepRefusal::kSetIdBits;
    RefuseNotKept(lock, file, refusal,
                  "its set-user-ID bit would act as user " + refusal.Saver + " instead of " + refusal.Owner +
                      " if the file passed to " + refusal.Saver + ", who could not keep its owner");
  }
  TFileAccess before{old.st_uid, old.st_gid, static_cast<mode_t>(old.st_mode & 07777), {}, false};
  for (const auto& [name, value] : attributes)
    if (name == kAclAccessAttribute) before.AclUnknown = !ParseAcl(value, before.Acl);
  TFileAccess after = before;
  after.Owner = mine.st_uid;
  struct TUser {
    uid_t Uid;
    std::vector<gid_t> Groups;
  };
  // The owner (root loses nothing) and the saver; everyone else keeps their entry, group or the others' rights.
  std::vector<TUser> users;
  if (old.st_uid != 0) users.push_back({old.st_uid, GroupsOfUser(old.st_uid)});
  users.push_back({mine.st_uid, ProcessGroups()});
  for (const TUser& u : users) {
    const unsigned had = RightsOf(u.Uid, u.Groups, before);
    const unsigned has = RightsOf(u.Uid, u.Groups, after);
    if ((had & ~has) == 0) continue;
    refusal.Kind = TFileKeepRefusal::kRightsLost;
    refusal.Loser = UserNameOf(u.Uid);
    refusal.Before = RightsText(had);
    refusal.After = RightsText(has);
    RefuseNotKept(lock, file, refusal,
                  "it belongs to user " + refusal.Owner + ", which a replacement by user " + refusal.Saver +
                      " could not keep; passed to " + refusal.Saver + ", it would leave user " + refusal.Loser +
                      " with the rights " + refusal.After + " instead of " + refusal.Before);
  }
}

// Sets the permission bits last (after the owner, which clears set-id bits, and the ACL, whose mask they are)
// and checks that they hold: a set-group-ID bit is dropped silently for a user outside the file's group.
void KeepMode(int fd, const std::string& file, mode_t mode, uid_t owner, TFileSaveLock* lock) {
  if (::fchmod(fd, mode) != 0) FailWrite(file, "can not set the permissions", errno);
  struct stat now {};
  if (::fstat(fd, &now) != 0) FailWrite(file, "can not read the new file's state", errno);
  if ((now.st_mode & 07777) == mode) return;
  TFileKeepRefusal refusal;
  refusal.Kind = TFileKeepRefusal::kSetIdBits;
  refusal.Owner = UserNameOf(owner);
  refusal.Saver = UserNameOf(::geteuid());
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
  RefuseNotKept(lock, file, refusal,
                std::string("its permissions ") + octal +
                    " (set-id bits included) could not be kept by a replacement by user " + refusal.Saver);
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path, bool followLinks) {
  struct stat st {};
  return !path.empty() && (followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0;
}

TFileStamp FileStampOf(const std::string& file) {
  struct stat st {};
  if (file.empty() || ::stat(file.c_str(), &st) != 0) return {};
  return StampOfStat(file, st);
}

std::string ReadRegularFile(const std::string& file, int64_t maxBytes) { return *Read(file, maxBytes, false); }

std::optional<std::string> ReadRegularFileIfExists(const std::string& file, int64_t maxBytes) {
  return Read(file, maxBytes, true);
}

std::string FollowFileLinks(const std::string& file) {
  std::string path = file;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) FailWrite(file, "can not follow its link", n < 0 ? errno : EIO);
    const std::string target(buf.data(), static_cast<size_t>(n));
    path = target.front() == '/' ? target : FolderOf(path) + "/" + target;
  }
  FailWrite(file, "can not follow its link", ELOOP);
}

void CheckFileReplaceable(const std::string& file) {
  const std::string target = FollowFileLinks(file);
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return;  // a new file
  if (!S_ISREG(st.st_mode)) FailWrite(file, "it is no regular file", 0);
  // The owner's write bit is checked also for root, who may write anything: it is the owner's "keep this".
  if ((st.st_mode & S_IWUSR) == 0 || ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
    FailWrite(file, kCauseReadOnly, 0);
}

std::string TempFileTemplate(const std::string& file) {
  const size_t slash = file.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : file.substr(0, slash);
  std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  const std::string suffix = ".XXXXXX";
  const size_t room = NAME_MAX - 1 - suffix.size();
  if (name.size() > room) {
    size_t cut = room;
    // Never half a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return (folder.empty() ? std::string() : folder) + "/." + name + suffix;
}

std::string CreateTempFileBeside(const std::string& file, mode_t newFileMode) {
  std::string tmp = TempFileTemplate(file);
  const TFd f{::mkstemp(tmp.data())};
  if (f.fd < 0) FailWrite(file, "can not create a temporary file", errno);
  if (::fchmod(f.fd, newFileMode & ~CurrentUmask()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    FailWrite(file, "can not set the permissions", err);
  }
  return tmp;
}

void WriteFileAtomically(const std::string& file, const std::function<void(const TFileByteSink&)>& produce,
                         mode_t newFileMode) {
  CheckFileReplaceable(file);
  const std::string target = FollowFileLinks(file);
  std::string tmp = TempFileTemplate(target);
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) FailWrite(file, "can not create a temporary file", errno);
  bool open = true;
  bool renamed = false;
  // Every way out that is not the rename removes the temporary file.
  struct TDiscard {
    const int& fd;
    bool& open;
    bool& renamed;
    const std::string& tmp;
    ~TDiscard() {
      if (open) ::close(fd);
      if (!renamed) ::unlink(tmp.c_str());
    }
  } discard{fd, open, renamed, tmp};
  TFileSaveLock* lock = TFileSaveLockAccess::Find(target);
  struct stat st {};
  const bool replacing = ::stat(target.c_str(), &st) == 0;
  // Read before anything is written: an attribute that cannot be read refuses the replacement at once.
  const TAttributes attributes = replacing ? AttributesOf(file, target, st.st_uid, lock) : TAttributes();
  // mkstemp makes the file private: a new file gets the permissions of one.
  if (!replacing && ::fchmod(fd, newFileMode & ~CurrentUmask()) != 0)
    FailWrite(file, "can not set the permissions", errno);
  const TFileByteSink sink = [&](const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd, data + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        FailWrite(file, "write failed", errno);
      }
      done += static_cast<size_t>(n);
    }
  };
  produce(sink);
  if (replacing) {
    // The file stays as its users know it: its owner's where this user may keep that (a file root saved
    // would otherwise be root's, and read-only to its owner), in its group, with its ACL and attributes.
    // Given after the content, since a write clears set-id bits and file capabilities.
    KeepOwnerAndGroup(fd, file, st, attributes, lock);
    GiveAttributes(fd, file, attributes, st.st_uid, lock);
    KeepMode(fd, file, st.st_mode & 07777, st.st_uid, lock);
  }
  if (::fsync(fd) != 0) FailWrite(file, "flush failed", errno);
  struct stat written {};
  if (::fstat(fd, &written) != 0) FailWrite(file, "can not read the new file's state", errno);
  open = false;
  if (::close(fd) != 0) FailWrite(file, "close failed", errno);
  if (lock) TFileSaveLockAccess::CheckUnchanged(*lock, file, target);
  if (::rename(tmp.c_str(), target.c_str()) != 0) FailWrite(file, "rename failed", errno);
  renamed = true;
  if (lock) TFileSaveLockAccess::Replaced(*lock, written);
  FlushFolder(file, FolderOf(target));
}

void PublishNewFile(const std::string& from, const std::string& target) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) FailWrite(target, "can not give the new file its name", errno);
    // A file system that cannot rename without replacing: a hard link refuses an existing name just as well.
    if (::link(from.c_str(), target.c_str()) != 0) FailWrite(target, "can not give the new file its name", errno);
    ::unlink(from.c_str());
  }
  FlushFolder(target, FolderOf(target));
}

TFileSaveLock::TFileSaveLock(const std::string& file) : file_(file) {
  const std::string target = FollowFileLinks(file);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSaveLockWaitSeconds);
  // A file replaced while this waited for its lock is locked anew: the lock must be on the file the name leads to.
  for (int tries = 0;; ++tries) {
    TFd f{::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    bool writable = false;
    if (f.fd < 0 && errno == EACCES) {  // a file its user may write but not read
      f.fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      writable = true;
    }
    if (f.fd < 0) {
      if (errno == ENOENT) return;  // a new file: nothing to lock
      FailWrite(file, "can not open it to lock it", errno);
    }
    struct stat held {};
    if (::fstat(f.fd, &held) != 0) FailWrite(file, "can not open it to lock it", errno);
    if (!S_ISREG(held.st_mode)) FailWrite(file, "it is no regular file", 0);
    for (;;) {
      if (::flock(f.fd, LOCK_EX | LOCK_NB) == 0) break;
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK) {
        if (std::chrono::steady_clock::now() > deadline)
          FailWrite(file, "another program has been saving it for " + std::to_string(kSaveLockWaitSeconds) + " s",
                    0);
        const timespec pause{0, 20'000'000};
        ::nanosleep(&pause, nullptr);
        continue;
      }
      // NFS locks a file exclusively only through a descriptor that may write.
      if (errno == EBADF && !writable) {
        const int w = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (w >= 0) {
          ::close(f.fd);
          f.fd = w;
          writable = true;
          continue;
        }
      }
      // A file system without locks: the check just before the rename still holds.
      break;
    }
    struct stat named {};
    if (::stat(target.c_str(), &named) != 0) {
      if (errno == ENOENT) return;
      FailWrite(file, "can not open it to lock it", errno);
    }
    if ((named.st_dev != held.st_dev || named.st_ino != held.st_ino) && tries < 100) continue;
    struct stat folder {};
    if (::stat(FolderOf(target).c_str(), &folder) != 0) FailWrite(file, "can not open its folder", errno);
    folderDevice_ = static_cast<uint64_t>(folder.st_dev);
    folderInode_ = static_cast<uint64_t>(folder.st_ino);
    name_ = NameInFolder(target);
    seen_ = StampOfStat(file, named);
    fd_ = std::exchange(f.fd, -1);
    TFileSaveLockAccess::Register(*this);
    return;
  }
}

TFileSaveLock::~TFileSaveLock() {
  if (fd_ < 0) return;
  TFileSaveLockAccess::Unregister(*this);
  ::close(fd_);
}

}  // namespace kelvado
