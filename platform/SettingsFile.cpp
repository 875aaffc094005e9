#include "platform/SettingsFile.h"

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
  std::string path = file;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) Fail(file, errno, "Cannot follow the settings file");
    if (n == 0 || static_cast<size_t>(n) >= buf.size()) Fail(file, EIO, "Cannot follow the settings file");
    const std::string target(buf.data(), static_cast<size_t>(n));
    path = target.front() == '/' ? target : FolderOf(path) + "/" + target;
  }
  Fail(file, ELOOP, "Cannot follow the settings file");
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
  std::string tmpl = file + ".tmp.XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) Fail(file, errno, "Cannot write the settings file");
  const std::string tmp(name.data());
  int err = 0;
  struct stat st;
  const mode_t mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : newFileMode;
  if (::fchmod(fd, mode) != 0) err = errno;
  for (size_t done = 0; err == 0 && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n >= 0) done += static_cast<size_t>(n);
    else if (errno != EINTR) err = errno;
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), file.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    Fail(file, err, "Cannot write the settings file");
  }
}

}  // namespace kelvado
