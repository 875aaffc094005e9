#pragma once
// Writing the files of the settings stores (the registry's values files, config.ini) safely: another running
// copy of the tool may write the same file at the same moment, the user may keep the file elsewhere behind a
// symbolic link or give it permissions of their own, and the disk may fail half-way. A change is therefore
// read, made and written under an exclusive lock (SettingsFileLock), written to a temporary file beside the
// real one and renamed over it (ReplaceSettingsFile), to the file a link leads to (FollowSettingsLinks).
#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelvado {

// The most bytes a settings file is read up to: far more than any holds, far less than would hurt.
inline constexpr int64_t kMaxSettingsFileSize = int64_t(16) << 20;

// A failure of a file or folder of a settings store.
class ESettingsFileException : public std::runtime_error {
public:
  ESettingsFileException(const std::string& message, std::string file, std::string cause)
      : std::runtime_error(message), file_(std::move(file)), cause_(std::move(cause)) {}
  virtual const char* ClassName() const noexcept { return "ESettingsFileException"; }
  // The file or folder that failed; empty when the failure is not one of a file (a value of the wrong type, an
  // invalid key name).
  const std::string& File() const noexcept { return file_; }
  // Why, without the details that change from one access to the next (a line number): the same file failing
  // for the same cause gives the same text.
  const std::string& Cause() const noexcept { return cause_; }

private:
  std::string file_;
  std::string cause_;
};

// The file a write must replace: `file` itself or, when it is a symbolic link, the file its links lead to
// (which need not exist yet). Replacing the link itself would cut it off from its target.
std::string FollowSettingsLinks(const std::string& file);

// An exclusive lock of the folder of `file`, held while the file is read, changed and replaced: writers in
// other processes and threads wait for each other, so none loses another's change. Readers need none, as the
// file is only ever replaced whole.
class SettingsFileLock {
public:
  explicit SettingsFileLock(const std::string& file);
  ~SettingsFileLock();  // closing releases the lock
  SettingsFileLock(const SettingsFileLock&) = delete;
  SettingsFileLock& operator=(const SettingsFileLock&) = delete;

private:
  int fd_ = -1;
};

// Writes `data` to a temporary file beside `file`, flushes it to disk and renames it over `file`: readers see
// the old or the new contents, never a half-written file, and a failure leaves the old file as it was. An
// existing file keeps its permissions; a new one gets `newFileMode`.
void ReplaceSettingsFile(const std::string& file, const std::string& data, mode_t newFileMode);

}  // namespace kelvado
