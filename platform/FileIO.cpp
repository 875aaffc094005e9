#include "platform/FileIO.h"

#include "platform/StandardDescriptors.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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
  struct stat st {};
  const bool replacing = ::stat(target.c_str(), &st) == 0;
  if (replacing) {
    // The file stays its owner's (a file root saved would otherwise be root's, and read-only to its owner).
    struct stat mine {};
    if (::fstat(fd, &mine) != 0) FailWrite(file, "can not read the temporary file's owner", errno);
    if ((mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) && ::fchown(fd, st.st_uid, st.st_gid) != 0)
      FailWrite(file,
                "it belongs to user " + std::to_string(st.st_uid) + " and group " + std::to_string(st.st_gid) +
                    ", which a replacement by this user could not keep",
                errno);
  }
  // mkstemp makes the file private; it gets the permissions of the file it replaces, else those of a new file
  // (set after the owner: a change of owner clears the set-id bits).
  const mode_t mode = replacing ? (st.st_mode & 07777) : (newFileMode & ~CurrentUmask());
  if (::fchmod(fd, mode) != 0) FailWrite(file, "can not set the permissions", errno);
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
  if (::fsync(fd) != 0) FailWrite(file, "flush failed", errno);
  struct stat written {};
  if (::fstat(fd, &written) != 0) FailWrite(file, "can not read the new file's state", errno);
  open = false;
  if (::close(fd) != 0) FailWrite(file, "close failed", errno);
  TFileSaveLock* lock = TFileSaveLockAccess::Find(target);
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
