#include "platform/Clipboard.h"

#include "platform/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/SettingsFile.h"

namespace kelvado {

namespace {

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

constexpr const char* kTextName = "CF_TEXT";
constexpr const char* kFileHeader = "KELVADO clipboard 1\n";

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// TClipboard

TClipboard::TClipboard() { formats_[kTextName] = cfText; }
TClipboard::~TClipboard() = default;

TClipFormat TClipboard::RegisterFormat(const std::string& name) {
  if (name.empty()) throw std::invalid_argument("A clipboard format needs a name");
  std::lock_guard<std::mutex> g(lock_);
  const std::string key = Upper(name);
  auto it = formats_.find(key);
  if (it != formats_.end()) return it->second;
  const TClipFormat f = nextFormat_++;
  formats_.emplace(key, f);
  return f;
}

std::string TClipboard::FormatName(TClipFormat format) const { return NameOf(format); }

std::string TClipboard::NameOf(TClipFormat format) const {
  std::lock_guard<std::mutex> g(lock_);
  for (const auto& [name, number] : formats_)
    if (number == format) return name;
  return {};
}

void TClipboard::SetContent(const std::vector<std::pair<TClipFormat, std::string>>& items) {
  TItems named;
  for (const auto& [format, bytes] : items) {
    const std::string name = NameOf(format);
    if (name.empty()) throw std::invalid_argument("Unknown clipboard format " + std::to_string(format));
    named[name] = bytes;
  }
  StoreItems(named);
  NotifyIfChanged();
}

std::optional<std::string> TClipboard::GetData(TClipFormat format) {
  const std::string name = NameOf(format);
  if (name.empty()) return std::nullopt;
  TItems items = LoadItems();
  auto it = items.find(name);
  if (it == items.end()) return std::nullopt;
  return std::move(it->second);
}

std::vector<TClipFormat> TClipboard::Formats() {
  std::vector<TClipFormat> formats;
  for (const auto& [name, bytes] : LoadItems()) formats.push_back(RegisterFormat(name));
  return formats;
}

uint64_t TClipboard::SequenceNumber() { return StoreVersion(); }

void TClipboard::Poll() { NotifyIfChanged(); }

int TClipboard::AddWatcher(std::function<void()> onChange) {
  std::lock_guard<std::mutex> g(lock_);
  const int id = nextWatcher_++;
  watchers_.emplace_back(id, std::move(onChange));
  return id;
}

void TClipboard::RemoveWatcher(int id) {
  std::lock_guard<std::mutex> g(lock_);
  for (auto it = watchers_.begin(); it != watchers_.end(); ++it)
    if (it->first == id) {
      watchers_.erase(it);
      return;
    }
}

std::string TClipboard::LastError() {
  std::lock_guard<std::mutex> g(lock_);
  return lastError_;
}

void TClipboard::SetLastError(const std::string& why) {
  std::lock_guard<std::mutex> g(lock_);
  lastError_ = why;
}

void TClipboard::NotifyIfChanged() {
  // A watcher that changes the clipboard itself is not called again from inside its own call (nor is a
  // second thread's round run alongside): the round in progress sees the new version and calls everyone once
  // more.
  bool idle = false;
  if (!notifying_.compare_exchange_strong(idle, true)) return;
  struct TDone {
    std::atomic<bool>& Flag;
    ~TDone() { Flag.store(false); }
  } done{notifying_};
  for (;;) {
    const uint64_t version = StoreVersion();
    std::vector<std::function<void()>> calls;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (version == notifiedVersion_) return;
      notifiedVersion_ = version;
      for (const auto& w : watchers_) calls.push_back(w.second);
    }
    for (const auto& call : calls) call();
  }
}

// ---------------------------------------------------------------------------------------------------------
// TMemoryClipboard

TClipboard::TItems TMemoryClipboard::LoadItems() {
  std::lock_guard<std::mutex> g(itemsLock_);
  return items_;
}

void TMemoryClipboard::StoreItems(const TItems& items) {
  std::lock_guard<std::mutex> g(itemsLock_);
  items_ = items;
  ++version_;
}

uint64_t TMemoryClipboard::StoreVersion() {
  std::lock_guard<std::mutex> g(itemsLock_);
  return version_;
}

// ---------------------------------------------------------------------------------------------------------
// TFileClipboard
//
// The file: the header line, then per format its name on a line, the number of its bytes on a line, the
// bytes and a line feed.

TFileClipboard::TFileClipboard(std::string fileName) : fileName_(std::move(fileName)) {}

namespace {

std::string Identity(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return {};
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// The file's bytes; nothing when it does not exist. Raises EFileAccess (a std::runtime_error) when it cannot
// be read, is no regular file or is larger than the bound.
std::optional<std::string> ReadClipboardFile(const std::string& file, int64_t maxBytes) {
  return ReadRegularFileIfExists(file, maxBytes);
}

// Parses the file's bytes; a damaged file raises std::runtime_error saying where.
std::map<std::string, std::string> ParseClipboardFile(const std::string& file, const std::string& data) {
  const auto fail = [&](size_t at, const std::string& why) {
    throw std::runtime_error("The clipboard file \"" + file + "\" is damaged at byte " + std::to_string(at) + ": " +
                             why);
  };
  const std::string header = kFileHeader;
  if (data.compare(0, header.size(), header) != 0) fail(0, "it has no clipboard header");
  std::map<std::string, std::string> items;
  size_t pos = header.size();
  const auto line = [&]() {
    const size_t nl = data.find('\n', pos);
    if (nl == std::string::npos) fail(pos, "a line is not ended");
    std::string l = data.substr(pos, nl - pos);
    pos = nl + 1;
    return l;
  };
  while (pos < data.size()) {
    const size_t at = pos;
    const std::string name = line();
    if (name.empty() || name.size() > 255) fail(at, "a format without a name");
    for (char c : name)
      if (static_cast<unsigned char>(c) < 0x20) fail(at, "a format name with a control character");
    const size_t sizeAt = pos;
    const std::string sizeText = line();
    if (sizeText.empty() || sizeText.size() > 12 || sizeText.find_first_not_of("0123456789") != std::string::npos)
      fail(sizeAt, "the size of format " + name + " is no number");
    const size_t size = static_cast<size_t>(std::stoull(sizeText));
    if (size > data.size() - pos || data.size() - pos - size < 1 || data[pos + size] != '\n')
      fail(sizeAt, "format " + name + " holds fewer bytes than its size says");
    if (!items.emplace(Upper(name), data.substr(pos, size)).second) fail(at, "format " + name + " is given twice");
    pos += size + 1;
  }
  return items;
}

}  // namespace

TClipboard::TItems TFileClipboard::LoadItems() {
  std::lock_guard<std::mutex> g(fileLock_);
  try {
    const std::optional<std::string> data = ReadClipboardFile(fileName_, cMaxFileSize);
    TItems items = data ? ParseClipboardFile(fileName_, *data) : TItems();
    SetLastError({});
    return items;
  } catch (const std::runtime_error& e) {
    // A damaged clipboard holds nothing of use; why is kept for whoever asks.
    SetLastError(e.what());
    return {};
  }
}

void TFileClipboard::StoreItems(const TItems& items) {
  std::string data = kFileHeader;
  for (const auto& [name, bytes] : items) {
    data += name;
    data += '\n';
    data += std::to_string(bytes.size());
    data += '\n';
    data += bytes;
    data += '\n';
  }
  std::lock_guard<std::mutex> g(fileLock_);
  ReplaceSettingsFile(fileName_, data, 0600);
}

uint64_t TFileClipboard::StoreVersion() {
  std::lock_guard<std::mutex> g(fileLock_);
  const std::string now = Identity(fileName_);
  if (now != identity_) {
    identity_ = now;
    ++version_;
  }
  return version_;
}

// ---------------------------------------------------------------------------------------------------------
// The program's clipboard

namespace {

std::mutex gClipboardLock;
std::unique_ptr<TClipboard> gClipboard;
std::atomic<uint64_t> gClipboardGeneration{1};

}  // namespace

TClipboard& Clipboard() {
  std::lock_guard<std::mutex> g(gClipboardLock);
  if (!gClipboard) {
    const char* file = std::getenv("KELVADO_CLIPBOARD_FILE");
    if (file && *file) gClipboard = std::make_unique<TFileClipboard>(file);
    else gClipboard = std::make_unique<TMemoryClipboard>();
  }
  return *gClipboard;
}

void SetClipboard(std::unique_ptr<TClipboard> clipboard) {
  std::unique_ptr<TClipboard> old;
  {
    std::lock_guard<std::mutex> g(gClipboardLock);
    old = std::move(gClipboard);
    gClipboard = std::move(clipboard);
    ++gClipboardGeneration;
  }
}

uint64_t ClipboardGeneration() { return gClipboardGeneration.load(); }

}  // namespace kelvado
