#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <ibase.h>

#include "framework/tiFirebirdInternal.h"
#include "framework/tiUtils.h"

// One writer per local file, across processes: the advisory lock that an attachment holds (FileLease).

namespace kelvado {
namespace fbi {

namespace {

// An open-file-description lock (F_OFD_SETLK) on a descriptor of our own: independent of the engine's flock()
// on its descriptor, tied to no other descriptor of the process (closing one of the engine's does not drop
// it), not inherited through exec (O_CLOEXEC) and dropped by the kernel when the process ends. One lock per
// file and process, counted by the attachments that use it.
struct FileLock {
  dev_t dev = 0;
  ino_t ino = 0;
  int fd = -1;
  bool writable = false;  // fd is open for writing (needed for an exclusive lock)
  int readers = 0;
  int writers = 0;
  std::string marker;       // of the writers (tiFBWriteMarkerName)
  bool ownsMarker = false;  // removed when the last writer leaves cleanly
};

// Never destroyed: an attachment may still close while static objects are torn down at exit.
struct FileLocks {
  std::mutex mutex;
  std::vector<FileLock> locks;
  std::vector<FileLock>::iterator Find(dev_t dev, ino_t ino) {
    return std::find_if(locks.begin(), locks.end(), [&](const FileLock& l) { return l.dev == dev && l.ino == ino; });
  }
};
FileLocks& TheFileLocks() {
  static FileLocks* const locks = new FileLocks;
  return *locks;
}

bool SetFileLock(int fd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

std::string LockRefusal(const std::string& action, int err) {
  if (err == EAGAIN || err == EACCES)
    return tiFormat("Cannot %s: the file is in use by another program", {action});
  return tiFormat("Cannot %s: the file cannot be locked against other programs: %s", {action, std::strerror(err)});
}

// The first writer of the process: a marker left over is repaired (with `repair`, when given) and then kept,
// else it stays for a later writer; without one, one is made.
void EnterWriteMarker(FileLock& l, const std::string& fileName, const std::function<void()>& repair) {
  l.marker = tiFBWriteMarkerName(fileName);
  struct stat sb {};
  if (::lstat(l.marker.c_str(), &sb) != 0) {
    l.ownsMarker = CreateWriteMarker(l.marker);
  } else if (repair) {
    repair();
    l.ownsMarker = true;
  } else {
    l.ownsMarker = false;
  }
}

}  // namespace

void FileLease::Acquire(const std::string& fileName, bool write, const std::string& action,
                        const std::function<void()>& repair) {
  Release();
  int fd = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  bool writable = fd >= 0;
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
    fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw EtiFBException(tiFormat("Cannot %s: %s", {action, ErrnoText()}), isc_io_error);
  struct stat sb {};
  if (::fstat(fd, &sb) != 0) {
    const int err = errno;
    ::close(fd);
    throw EtiFBException(tiFormat("Cannot %s: %s", {action, std::strerror(err)}), isc_io_error);
  }
  // A file nobody may write is only read (root could open it for writing all the same).
  if ((sb.st_mode & 0222) == 0) writable = false;
  FileLocks& all = TheFileLocks();
  std::lock_guard<std::mutex> lock(all.mutex);
  auto it = all.Find(sb.st_dev, sb.st_ino);
  if (it != all.locks.end()) {
    ::close(fd);
    exclusive_ = write && it->writable;
    if (exclusive_ && it->writers == 0) {
      if (!SetFileLock(it->fd, F_WRLCK)) throw EtiFBException(LockRefusal(action, errno));
      // Readers of this process hold the file: a marker left over waits for a writer that comes alone.
      if (repair) EnterWriteMarker(*it, fileName, nullptr);
    }
    ++(exclusive_ ? it->writers : it->readers);
  } else {
    exclusive_ = write && writable;
    if (!SetFileLock(fd, exclusive_ ? F_WRLCK : F_RDLCK)) {
      const int err = errno;
      ::close(fd);
      throw EtiFBException(LockRefusal(action, err));
    }
    FileLock l;
    l.dev = sb.st_dev;
    l.ino = sb.st_ino;
    l.fd = fd;
    l.writable = writable;
    if (exclusive_ && repair) {
      TtiUndoUnlessDone unlock([fd]() noexcept { ::close(fd); });
      EnterWriteMarker(l, fileName, repair);
      unlock.Done();
    }
    (exclusive_ ? l.writers : l.readers) = 1;
    all.locks.push_back(l);
  }
  dev_ = sb.st_dev;
  ino_ = sb.st_ino;
  held_ = true;
}

bool FileLease::SoleWriter() const {
  if (!held_ || !exclusive_) return false;
  FileLocks& all = TheFileLocks();
  std::lock_guard<std::mutex> lock(all.mutex);
  auto it = all.Find(dev_, ino_);
  return it != all.locks.end() && it->writers == 1 && it->readers == 0;
}

void FileLease::Release(bool clean) noexcept {
  if (!held_) return;
  held_ = false;
  FileLocks& all = TheFileLocks();
  std::lock_guard<std::mutex> lock(all.mutex);
  auto it = all.Find(dev_, ino_);
  if (it == all.locks.end()) return;
  --(exclusive_ ? it->writers : it->readers);
  if (exclusive_ && !clean) it->ownsMarker = false;
  // Before the lock goes: the next writer may make its own marker at once.
  if (exclusive_ && it->writers == 0 && it->ownsMarker) {
    ::unlink(it->marker.c_str());
    it->ownsMarker = false;
  }
  if (it->writers + it->readers == 0) {
    ::close(it->fd);
    all.locks.erase(it);
  } else if (exclusive_ && it->writers == 0) {
    SetFileLock(it->fd, F_RDLCK);  // the readers left keep their share
  }
}

}  // namespace fbi
}  // namespace kelvado
