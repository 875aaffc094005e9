#pragma once
// The clipboard stand-in. The program keeps its copied items on a clipboard that holds one piece of content at
// a time, in one or more formats (plain text, or a format registered by name such as "CF_KELVADO"); putting
// something on it replaces everything it held. Whoever wants to follow its changes (in place of the Windows
// clipboard viewer chain) adds a watcher: a call made after each change this process sees.
//
// Two kinds:
// - TMemoryClipboard: within one process. Watchers are called at once from the call that changed it.
// - TFileClipboard: a file that programs share, so that two processes exchange items. A change is written to
//   a temporary file and renamed over the clipboard file, so a reader sees the old or the new content, never a
//   half-written one. A change made by this process calls the watchers at once; a change made by another
//   process is seen by Poll (or by anything that reads), which then calls them. A file that is missing holds
//   nothing; one that is damaged or larger than the limit holds nothing either (LastError tells why).
//
// Clipboard() is the one the program uses: a file clipboard when the environment variable
// KELVADO_CLIPBOARD_FILE names a file, else one in memory; SetClipboard replaces it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvado {

using TClipFormat = uint32_t;
// Plain text, as other programs put it on the clipboard; its name is "CF_TEXT".
inline constexpr TClipFormat cfText = 1;

class TClipboard {
public:
  TClipboard();
  virtual ~TClipboard();
  TClipboard(const TClipboard&) = delete;
  TClipboard& operator=(const TClipboard&) = delete;

  // The number of the format of that name (ignoring ASCII case), the same for every call with the same name;
  // registered formats are numbered from 0xC000. "CF_TEXT" is cfText. An empty name raises
  // std::invalid_argument.
  TClipFormat RegisterFormat(const std::string& name);
  // "CF_TEXT", a registered name, or "" for a number no format has.
  std::string FormatName(TClipFormat format) const;

  // Replaces the whole content by these items (one per format; a later item of the same format wins), then
  // calls the watchers. A failure to store raises std::runtime_error and leaves the content as it was.
  void SetContent(const std::vector<std::pair<TClipFormat, std::string>>& items);
  void SetData(TClipFormat format, const std::string& bytes) { SetContent({{format, bytes}}); }
  void Clear() { SetContent({}); }
  // The bytes held in that format; nothing when the content has no such format.
  std::optional<std::string> GetData(TClipFormat format);
  bool HasFormat(TClipFormat format) { return GetData(format).has_value(); }
  // The formats the content is held in.
  std::vector<TClipFormat> Formats();

  // Changes with every change of the content this process has seen (never goes back).
  uint64_t SequenceNumber();
  // Calls the watchers when the content changed since they were last called (a change made elsewhere).
  void Poll();

  // Watchers are called in the order they were added, on the thread that made or found the change, without
  // any lock held (a watcher may read the clipboard, change it or remove itself). Returns an id for removal.
  int AddWatcher(std::function<void()> onChange);
  void RemoveWatcher(int id);

  // Why the content could not be read the last time (a damaged file); "" when it could.
  std::string LastError();

protected:
  using TItems = std::map<std::string, std::string>;  // format name (upper case) -> bytes
  // The content and its version (a number that differs for every content the store held).
  virtual TItems LoadItems() = 0;
  virtual void StoreItems(const TItems& items) = 0;
  virtual uint64_t StoreVersion() = 0;
  void SetLastError(const std::string& why);

private:
  void NotifyIfChanged();
  std::string NameOf(TClipFormat format) const;

  mutable std::mutex lock_;
  std::map<std::string, TClipFormat> formats_;  // upper-case name -> number
  TClipFormat nextFormat_ = 0xC000;
  std::vector<std::pair<int, std::function<void()>>> watchers_;
  int nextWatcher_ = 1;
  uint64_t notifiedVersion_ = 0;
  std::atomic<bool> notifying_{false};  // one round of calls at a time
  std::string lastError_;
};

class TMemoryClipboard : public TClipboard {
public:
  TMemoryClipboard() = default;

protected:
  TItems LoadItems() override;
  void StoreItems(const TItems& items) override;
  uint64_t StoreVersion() override;

private:
  std::mutex itemsLock_;
  TItems items_;
  uint64_t version_ = 1;
};

class TFileClipboard : public TClipboard {
public:
  // The clipboard file (need not exist yet; its folder must).
  explicit TFileClipboard(std::string fileName);
  const std::string& FileName() const { return fileName_; }

  // The largest clipboard file read (512 MiB).
  static constexpr int64_t cMaxFileSize = int64_t(512) << 20;

protected:
  TItems LoadItems() override;
  void StoreItems(const TItems& items) override;
  uint64_t StoreVersion() override;

private:
  std::string fileName_;
  std::mutex fileLock_;
  // What identifies the file's current version (device, inode, size, modification time), as last seen.
  std::string identity_;
  uint64_t version_ = 1;
};

// The clipboard of the program, created on first use (see the file comment).
TClipboard& Clipboard();
// Replaces it (null: the next Clipboard() creates the default one again). Whoever kept a reference or a
// watcher on the old one must have dropped it; ClipboardGeneration tells them it happened.
void SetClipboard(std::unique_ptr<TClipboard> clipboard);
// Changes with every SetClipboard.
uint64_t ClipboardGeneration();

}  // namespace kelvado
