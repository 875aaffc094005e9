#pragma once
// The one way the program reads and replaces its files.
//
// Reading: only a regular file, and at most a given number of bytes. A FIFO, a device or a folder under the
// name is refused at once (opening never waits for a writer, and never makes a terminal the program's), and a
// file that holds more than the bound (a link to /dev/zero, a huge file) is refused before it fills memory.
//
// Replacing: the new content goes to a temporary file in the target's folder, named ".NAME.XXXXXX" (cut so
// that it fits the file system's name limit whatever the target's name), is flushed to disk and renamed over
// the target, and the folder is flushed: readers and a crash see the old or the new content, never a part.
// A symbolic link is written through to its target and stays a link. A file its owner may not write (mode
// 0444) is refused: a rename needs only the folder, so without this check such a file would be replaced.
// The replaced file keeps its group, its permission bits (set-id bits included), its access control list and
// its other extended attributes, and its owner where this user may give it (root, or the owner saving); saved
// by another user who may write it (a member of a team folder's group), it passes to that user, but only where
// nobody who may use it now would lose a right by that: else, and where anything else could not be kept, the
// replacement is refused, saying what (TFileKeepRefusal). A new file gets the permissions given, less the
// umask. A rename gives the new content to this name only: other names of the file (hard links) keep the old
// one.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace kelvado {

// A file that cannot be read or written. The text names the file; Cause is the reason alone.
class EFileAccess : public std::runtime_error {
public:
  EFileAccess(const std::string& message, std::string file, std::string cause)
      : std::runtime_error(message), file_(std::move(file)), cause_(std::move(cause)) {}
  const std::string& File() const noexcept { return file_; }
  const std::string& Cause() const noexcept { return cause_; }

private:
  std::string file_;
  std::string cause_;
};

// Whether something of that name is there: a regular file, a folder (symbolic links followed), or anything at
// all. With `followLinks` false a symbolic link counts itself, also one whose target is missing: a name that is
// taken must not be reused.
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
bool PathExists(const std::string& path, bool followLinks = true);

// What identifies the content of a file as a program last read or wrote it: a save of another program gives the
// file another inode, an edit in place another size or modification time.
struct TFileStamp {
  std::string File;  // empty: no file
  uint64_t Device = 0;
  uint64_t Inode = 0;
  int64_t Size = 0;
  int64_t MTimeSec = 0;
  int64_t MTimeNsec = 0;
  bool operator==(const TFileStamp&) const = default;
  // The same content on disk, whatever name each was taken under.
  bool SameFileState(const TFileStamp& o) const {
    return Device == o.Device && Inode == o.Inode && Size == o.Size && MTimeSec == o.MTimeSec &&
           MTimeNsec == o.MTimeNsec;
  }
};
// The file as it is now (links followed); File empty when there is none.
TFileStamp FileStampOf(const std::string& file);

// The whole file. A file that is missing, cannot be opened, is no regular file or holds more than `maxBytes`
// raises EFileAccess "Can not read the file <FILE>: REASON".
std::string ReadRegularFile(const std::string& file, int64_t maxBytes);
// The same, but nothing for a file that does not exist (also the missing target of a link).
std::optional<std::string> ReadRegularFileIfExists(const std::string& file, int64_t maxBytes);

// The file a write of `file` must replace: `file` itself, or the file its symbolic links lead to (which need
// not exist yet). A loop of links raises EFileAccess.
std::string FollowFileLinks(const std::string& file);

// Raises EFileAccess "Can not write the file <FILE>: ..." when `file` (after its links) exists and is no
// regular file (cause "it is no regular file") or may not be written by its owner, or by this process (cause
// kCauseReadOnly).
void CheckFileReplaceable(const std::string& file);
inline constexpr const char* kCauseReadOnly = "it is read-only";
// The cause of a replacement refused because the file changed while a TFileSaveLock held it.
inline constexpr const char* kCauseChangedMeanwhile = "another program changed it while it was saved";

// What a replacement could not keep of the file it would replace, and so refused; the names of users and groups
// as the system knows them (else their numbers).
struct TFileKeepRefusal {
  enum TKind {
    kRightsLost,    // the file would pass to the saver, and a user (its owner) would be left with fewer rights
    kGroupNotKept,  // the saver is not in the file's group
    kSetIdBits,     // a set-user-ID or set-group-ID bit could not be kept as it is
    kAttribute,     // an extended attribute (the ACL among them) could not be read or given to the new file
  };
  TKind Kind = kAttribute;
  std::string Owner;      // the file's owner
  std::string Saver;      // the user who replaces it
  std::string Loser;      // kRightsLost: who would lose rights,
  std::string Before;     // with these rights now ("rw-"),
  std::string After;      // and these after the replacement
  std::string Group;      // kGroupNotKept: the file's group
  std::string Attribute;  // kAttribute: the attribute's name
  int Error = 0;          // kAttribute: the system's error number
};

// A name for a temporary file beside `file`: its folder + "/." + its name (cut to fit) + ".XXXXXX", the form
// mkstemp takes.
std::string TempFileTemplate(const std::string& file);

// Creates an empty file under a new name beside `file` (TempFileTemplate) with the permissions of a new file
// (`newFileMode` less the umask) and gives its name: a place to build a new file in before PublishNewFile.
std::string CreateTempFileBeside(const std::string& file, mode_t newFileMode = 0666);

using TFileByteSink = std::function<void(const char* data, size_t size)>;

// Replaces `file` (after its links) with what `produce` hands to the sink, as described above. When writing
// fails, or `produce` raises, the temporary file is removed, the target stays as it was and the error passes
// on (a file failure as EFileAccess "Can not write the file <FILE>: WHAT (REASON)").
void WriteFileAtomically(const std::string& file, const std::function<void(const TFileByteSink&)>& produce,
                         mode_t newFileMode = 0666);
inline void WriteFileAtomically(const std::string& file, const std::string& data, mode_t newFileMode = 0666) {
  WriteFileAtomically(file, [&](const TFileByteSink& sink) { sink(data.data(), data.size()); }, newFileMode);
}

// Gives a complete file written under a temporary name its final name `target`, which must not exist (when
// it does: EFileAccess, and `from` stays); the folder is flushed. Where the file system cannot rename without
// replacing, the file gets its name by a hard link and loses the old one. A folder that cannot be flushed
// raises EFileAccess after the file has its name.
void PublishNewFile(const std::string& from, const std::string& target);

// Held by a save from its check that the file is unchanged until the new file is in place, so that of two
// programs saving one file at once, the second sees the first one's file and is refused as changed on disk.
// It locks the file (after its links) against the programs that save it this way, waiting up to
// kSaveLockWaitSeconds for one that saves it now (then EFileAccess: the file is in use), and records the file as
// it is then (Seen). While it is held, WriteFileAtomically of this file on this thread replaces it only when it
// is still the file recorded, checked just before the rename (else EFileAccess with cause
// kCauseChangedMeanwhile, and ChangedMeanwhile()), and then records the file that replaced it (Replaced()); a
// replacement refused for what it could not keep of the file is recorded too (NotKept()). A file that does not
// exist is not locked, and Seen().File is empty.
class TFileSaveLock {
public:
  explicit TFileSaveLock(const std::string& file);
  ~TFileSaveLock();
  TFileSaveLock(const TFileSaveLock&) = delete;
  TFileSaveLock& operator=(const TFileSaveLock&) = delete;

  // Seen().File is the name given.
  const TFileStamp& Seen() const { return seen_; }
  bool Replaced() const { return replaced_; }
  bool ChangedMeanwhile() const { return changed_; }
  const std::optional<TFileKeepRefusal>& NotKept() const { return notKept_; }

private:
  friend class TFileSaveLockAccess;
  std::string file_;
  uint64_t folderDevice_ = 0;
  uint64_t folderInode_ = 0;
  std::string name_;  // in its folder
  int fd_ = -1;
  TFileStamp seen_;
  bool replaced_ = false;
  bool changed_ = false;
  std::optional<TFileKeepRefusal> notKept_;
  TFileSaveLock* outer_ = nullptr;  // the one this thread took before
};
inline constexpr int kSaveLockWaitSeconds = 30;

}  // namespace kelvado
