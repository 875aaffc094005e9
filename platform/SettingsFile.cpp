#include "platform/SettingsFile.h"

#include "platform/FileIO.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kelvado {

namespace {

[[noreturn]] void Fail(const std::string& file, int err, const std::string& what) {
  const std::string cause = std::strerror(err);
  throw ESettingsFileException(what + " \"" + file + "\": " + cause, file, cause);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string FollowSettingsLinks(const std::string& file) {
  try {
    return FollowFileLinks(file);
  } catch (const EFileAccess& e) {
    throw ESettingsFileException(e.what(), e.File(), e.Cause());
  }
}

SettingsFileLock::SettingsFileLock(const std::string& file) {
  const std::string folder = FolderOf(file);
  fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) Fail(folder, errno, "Cannot lock the settings folder");
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    ::close(fd_);
    Fail(folder, err, "Cannot lock the settings folder");
  }
}

SettingsFileLock::~SettingsFileLock() { ::close(fd_); }

void ReplaceSettingsFile(const std::string& file, const std::string& data, mode_t newFileMode) {
  try {
    WriteFileAtomically(file, data, newFileMode);
  } catch (const EFileAccess& e) {
    throw ESettingsFileException(e.what(), e.File(), e.Cause());
  }
}

}  // namespace kelvado
