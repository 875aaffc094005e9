#include "platform/Registry.h"

#include "platform/CachedRegistry.h"
#include "platform/FileIO.h"
#include "platform/TextCase.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kelvado {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what) { throw ERegistryException(what); }
// A failure of the file or folder `file`.
[[noreturn]] void FailOn(const std::string& file, const std::string& cause, const std::string& what) {
  throw ERegistryException(what + ": " + cause, file, cause);
}

std::string ErrnoText(int err) { return std::strerror(err); }

// Splits "A\B\C" into its names. Leading and trailing "\" are ignored; a name that could leave the store's
// folder or clash with the values file is refused.
std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  size_t start = 0;
  std::string path = key;
  while (!path.empty() && path.front() == '\\') path.erase(0, 1);
  while (!path.empty() && path.back() == '\\') path.pop_back();
  if (path.empty()) return parts;
  while (true) {
    size_t p = path.find('\\', start);
    std::string name = path.substr(start, p == std::string::npos ? std::string::npos : p - start);
    if (name.empty()) Fail("Invalid registry key \"" + key + "\": empty key name");
    if (name == "." || name == "..") Fail("Invalid registry key \"" + key + "\": key name \"" + name + "\"");
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
      Fail("Invalid registry key \"" + key + "\": key name \"" + name + "\" contains \"/\" or NUL");
    if (SameTextAscii(name, RegistryValuesFileName))
      Fail("Invalid registry key \"" + key + "\": \"" + name + "\" is reserved");
    parts.push_back(name);
    if (p == std::string::npos) break;
    start = p + 1;
  }
  return parts;
}

void MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    FailOn(path, ErrnoText(errno), "Cannot create the settings folder \"" + path + "\"");
  if (!FolderExists(path))
    FailOn(path, "a file of that name is in the way", "Cannot create the settings folder \"" + path + "\"");
}

// The folder of `key`; when it is missing, created (create) or nullopt. An existing folder whose name differs
// only in case is taken, as the registry ignores case.
std::optional<std::string> KeyFolder(const std::string& root, const std::string& key, bool create) {
  if (root.empty()) Fail("No folder for the settings: neither KELVADO_CONFIG_DIR, XDG_CONFIG_HOME nor HOME is set");
  std::vector<std::string> parts = SplitKey(key);
  if (!FolderExists(root)) {
    if (!create) return std::nullopt;
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || !FolderExists(root))
      FailOn(root, ec ? ec.message() : "a file of that name is in the way",
             "Cannot create the settings folder \"" + root + "\"");
  }
  std::string dir = root;
  for (const std::string& name : parts) {
    std::string next = dir + "/" + name;
    if (!PathExists(next, false)) {
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::string candidate = entry.path().filename().string();
        if (SameTextAscii(candidate, name) && FolderExists(entry.path().string())) {
          next = entry.path().string();
          break;
        }
      }
      if (ec) FailOn(dir, ec.message(), "Cannot read the settings folder \"" + dir + "\"");
    }
    if (!PathExists(next, false)) {
      if (!create) return std::nullopt;
      MakeDir(next);
    } else if (!FolderExists(next)) {
      FailOn(next, "not a folder", "Settings key \"" + key + "\": \"" + next + "\"");
    }
    dir = next;
  }
  return dir;
}

struct NamedValue {
  std::string name;
  RegValue value;
};

// --- the values file --------------------------------------------------------------------------------------
// One value per line:  "name"="text"   "name"=expand:"text"   "name"=dword:-2
// Blank lines and lines starting with ";" or "#" are comments. Texts escape \\ \" \n \r \t and \xHH.

std::string Quote(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out = "\"";
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\x";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

class LineParser {
public:
  LineParser(const std::string& file, int lineNo, const std::string& line) : file_(file), no_(lineNo), s_(line) {}

  NamedValue Parse() {
    NamedValue nv;
    SkipBlanks();
    nv.name = QuotedText("value name");
    SkipBlanks();
    Expect('=');
    SkipBlanks();
    if (Peek() == '"') {
      nv.value.type = RegDataType::String;
      nv.value.text = QuotedText("text");
    } else if (TakeWord("expand:")) {
      nv.value.type = RegDataType::ExpandString;
      nv.value.text = QuotedText("text");
    } else if (TakeWord("dword:")) {
      nv.value.type = RegDataType::Integer;
      nv.value.number = Number();
    } else {
      Error("expected \"text\", expand:\"text\" or dword:number after \"=\"");
    }
    SkipBlanks();
    if (pos_ < s_.size()) Error("unexpected text after the value");
    return nv;
  }

private:
  [[noreturn]] void Error(const std::string& what) {
    throw ERegistryException("Damaged settings file \"" + file_ + "\", line " + std::to_string(no_) + ": " + what,
                             file_, "damaged", no_);
  }
  char Peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  void SkipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r')) ++pos_;
  }
  void Expect(char c) {
    if (Peek() != c) Error(std::string("expected \"") + c + "\"");
    ++pos_;
  }
  bool TakeWord(const char* w) {
    size_t n = std::strlen(w);
    if (s_.compare(pos_, n, w) != 0) return false;
    pos_ += n;
    return true;
  }
  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  std::string QuotedText(const char* what) {
    if (Peek() != '"') Error(std::string("expected a quoted ") + what);
    ++pos_;
    std::string out;
    while (true) {
      if (pos_ >= s_.size()) Error(std::string("unterminated ") + what);
      char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) Error(std::string("unterminated ") + what);
      char e = s_[pos_++];
      switch (e) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
          int h = pos_ + 1 < s_.size() ? HexDigit(s_[pos_]) : -1;
          int l = h >= 0 ? HexDigit(s_[pos_ + 1]) : -1;
          if (h < 0 || l < 0) Error("\\x needs two hexadecimal digits");
          out += static_cast<char>(h * 16 + l);
          pos_ += 2;
          break;
        }
        default: Error(std::string("unknown escape \"\\") + e + "\"");
      }
    }
  }
  int32_t Number() {
    size_t start = pos_;
    if (Peek() == '-' || Peek() == '+') ++pos_;
    size_t digits = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    if (pos_ == digits) Error("dword: needs a decimal number");
    std::string text = s_.substr(start, pos_ - start);
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    // A DWORD: accept the signed and the unsigned 32-bit range, read back as signed.
    if (errno == ERANGE || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX))
      Error("number " + text + " does not fit in 32 bits");
    return static_cast<int32_t>(static_cast<uint32_t>(v));
  }

  const std::string& file_;
  int no_;
  const std::string& s_;
  size_t pos_ = 0;
};

// A missing file (also the missing target of a symbolic link) holds no values.
std::vector<NamedValue> LoadValues(const std::string& file) {
  std::vector<NamedValue> values;
  std::optional<std::string> text;
  try {
    text = ReadRegularFileIfExists(file, kMaxSettingsFileSize);
  } catch (const EFileAccess& e) {
    FailOn(file, e.Cause(), "Cannot read the settings file \"" + file + "\"");
  }
  if (!text) return values;
  std::istringstream in(*text);
  std::string line;
  int no = 0;
  while (std::getline(in, line)) {
    ++no;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    NamedValue nv = LineParser(file, no, line).Parse();
    auto same = std::find_if(values.begin(), values.end(),
                             [&](const NamedValue& v) { return SameTextAscii(v.name, nv.name); });
    if (same != values.end())
      same->value = nv.value;  // a hand-edited duplicate: the later line wins
    else
      values.push_back(std::move(nv));
  }
  return values;
}

std::string ValuesText(const std::vector<NamedValue>& values) {
  std::ostringstream out;
  out << "; KELVADO settings. One value per line: \"name\"=\"text\", \"name\"=expand:\"text\" or "
         "\"name\"=dword:number\n";
  for (const NamedValue& nv : values) {
    out << Quote(nv.name) << '=';
    switch (nv.value.type) {
      case RegDataType::String: out << Quote(nv.value.text); break;
      case RegDataType::ExpandString: out << "expand:" << Quote(nv.value.text); break;
      case RegDataType::Integer: out << "dword:" << nv.value.number; break;
    }
    out << '\n';
  }
  return out.str();
}

std::string ValuesPath(const std::string& folder) { return folder + "/" + RegistryValuesFileName; }

// Reads the values file of a key folder, lets `change` alter them and writes them back, all under the lock;
// `change` returns false when there is nothing to write.
template <class Change>
bool ChangeValues(const std::string& folder, Change&& change) {
  try {
    const std::string file = FollowSettingsLinks(ValuesPath(folder));
    SettingsFileLock lock(file);
    std::vector<NamedValue> values = LoadValues(file);  // a damaged file raises here and stays untouched
    if (!change(values)) return false;
    ReplaceSettingsFile(file, ValuesText(values), 0600);  // private: it may hold database passwords
    return true;
  } catch (const ERegistryException&) {
    throw;
  } catch (const ESettingsFileException& e) {
    throw ERegistryException(e.what(), e.File(), e.Cause());
  }
}

// Sets `name` to `value`, keeping its place when it is there.
void Put(std::vector<NamedValue>& values, const std::string& name, const RegValue& value) {
  auto same =
      std::find_if(values.begin(), values.end(), [&](const NamedValue& v) { return SameTextAscii(v.name, name); });
  if (same != values.end())
    same->value = value;
  else
    values.push_back(NamedValue{name, value});
}

}  // namespace

// --- typed helpers ------------------------------------------------------------------------------------------

std::string IRegistry::ReadString(const std::string& key, const std::string& name) {
  std::optional<RegValue> v = ReadValue(key, name);
  if (!v) return std::string();
  if (v->type == RegDataType::Integer)
    throw ERegistryException("Invalid data type for '" + name + "' in key \"" + key + "\": a number, not a text");
  return v->text;
}

int32_t IRegistry::ReadInteger(const std::string& key, const std::string& name) {
  std::optional<RegValue> v = ReadValue(key, name);
  if (!v) throw ERegistryException("Value '" + name + "' not found in key \"" + key + "\"");
  if (v->type != RegDataType::Integer)
    throw ERegistryException("Invalid data type for '" + name + "' in key \"" + key + "\": a text, not a number");
  return v->number;
}

void IRegistry::WriteString(const std::string& key, const std::string& name, const std::string& value) {
  WriteValue(key, name, RegValue{RegDataType::String, value, 0});
}

void IRegistry::WriteExpandString(const std::string& key, const std::string& name, const std::string& value) {
  WriteValue(key, name, RegValue{RegDataType::ExpandString, value, 0});
}

void IRegistry::WriteInteger(const std::string& key, const std::string& name, int32_t value) {
  WriteValue(key, name, RegValue{RegDataType::Integer, std::string(), value});
}

void IRegistry::UpdateValues(const std::string& key, const std::vector<std::string>& deletes,
                             const std::vector<std::pair<std::string, RegValue>>& writes) {
  CreateKey(key);
  for (const std::string& name : deletes) DeleteValue(key, name);
  for (const auto& w : writes) WriteValue(key, w.first, w.second);
}

void IRegistry::AddMissingValues(const std::string& key,
                                 const std::vector<std::pair<std::string, RegValue>>& values) {
  CreateKey(key);
  for (const auto& v : values)
    if (!ValueExists(key, v.first)) WriteValue(key, v.first, v.second);
}

// --- FileRegistry -------------------------------------------------------------------------------------------

FileRegistry::FileRegistry(std::string rootFolder) : root_(std::move(rootFolder)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string FileRegistry::ValuesFile(const std::string& key) {
  std::optional<std::string> dir = KeyFolder(root_, key, false);
  if (dir) return ValuesPath(*dir);
  std::string path = root_;
  for (const std::string& name : SplitKey(key)) path += "/" + name;
  return ValuesPath(path);
}

bool FileRegistry::KeyExists(const std::string& key) { return KeyFolder(root_, key, false).has_value(); }

void FileRegistry::CreateKey(const std::string& key) { KeyFolder(root_, key, true); }

bool FileRegistry::DeleteKey(const std::string& key) {
  if (SplitKey(key).empty()) Fail("The root of the settings cannot be deleted");
  const SettingsChange change;
  std::optional<std::string> dir = KeyFolder(root_, key, false);
  if (!dir) return false;
  std::error_code ec;
  fs::remove_all(*dir, ec);
  if (ec) FailOn(*dir, ec.message(), "Cannot delete the settings key folder \"" + *dir + "\"");
  return true;
}

std::vector<std::string> FileRegistry::GetKeyNames(const std::string& key) {
  std::vector<std::string> names;
  std::optional<std::string> dir = KeyFolder(root_, key, false);
  if (!dir) return names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(*dir, ec)) {
    if (FolderExists(entry.path().string())) names.push_back(entry.path().filename().string());
  }
  if (ec) FailOn(*dir, ec.message(), "Cannot read the settings folder \"" + *dir + "\"");
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> FileRegistry::GetValueNames(const std::string& key) {
  std::vector<std::string> names;
  std::optional<std::string> dir = KeyFolder(root_, key, false);
  if (!dir) return names;
  for (NamedValue& nv : LoadValues(ValuesPath(*dir))) names.push_back(std::move(nv.name));
  return names;
}

std::optional<RegValue> FileRegistry::ReadValue(const std::string& key, const std::string& name) {
  std::optional<std::string> dir = KeyFolder(root_, key, false);
  if (!dir) return std::nullopt;
  for (NamedValue& nv : LoadValues(ValuesPath(*dir)))
    if (SameTextAscii(nv.name, name)) return std::move(nv.value);
  return std::nullopt;
}

void FileRegistry::WriteValue(const std::string& key, const std::string& name, const RegValue& value) {
  const SettingsChange change;
  ChangeValues(*KeyFolder(root_, key, true), [&](std::vector<NamedValue>& values) {
    Put(values, name, value);
    return true;
  });
}

bool FileRegistry::DeleteValue(const std::string& key, const std::string& name) {
  const SettingsChange change;
  std::optional<std::string> dir = KeyFolder(root_, key, false);
  if (!dir) return false;
  return ChangeValues(*dir, [&](std::vector<NamedValue>& values) {
    auto same =
        std::find_if(values.begin(), values.end(), [&](const NamedValue& v) { return SameTextAscii(v.name, name); });
    if (same == values.end()) return false;
    values.erase(same);
    return true;
  });
}

void FileRegistry::UpdateValues(const std::string& key, const std::vector<std::string>& deletes,
                                const std::vector<std::pair<std::string, RegValue>>& writes) {
  const SettingsChange change;
  ChangeValues(*KeyFolder(root_, key, true), [&](std::vector<NamedValue>& values) {
    for (const std::string& name : deletes)
      values.erase(std::remove_if(values.begin(), values.end(),
                                  [&](const NamedValue& v) { return SameTextAscii(v.name, name); }),
                   values.end());
    for (const auto& w : writes) Put(values, w.first, w.second);
    return true;
  });
}

void FileRegistry::AddMissingValues(const std::string& key,
                                    const std::vector<std::pair<std::string, RegValue>>& values) {
  const SettingsChange change;
  ChangeValues(*KeyFolder(root_, key, true), [&](std::vector<NamedValue>& stored) {
    bool added = false;
    for (const auto& v : values) {
      const bool held = std::any_of(stored.begin(), stored.end(),
                                    [&](const NamedValue& s) { return SameTextAscii(s.name, v.first); });
      if (held) continue;
      stored.push_back(NamedValue{v.first, v.second});
      added = true;
    }
    return added;
  });
}

// --- MemoryRegistry -----------------------------------------------------------------------------------------

namespace {
// The key's names, joined by "\", in lower case for look-up (its parents first), and as given.
std::vector<std::pair<std::string, std::string>> KeyPaths(const std::string& key) {
  std::vector<std::pair<std::string, std::string>> paths;
  std::string lower, given;
  for (const std::string& name : SplitKey(key)) {
    lower += (lower.empty() ? "" : "\\") + LowerAscii(name);
    given += (given.empty() ? "" : "\\") + name;
    paths.emplace_back(lower, given);
  }
  return paths;
}

std::string LowerPath(const std::string& key) {
  const auto paths = KeyPaths(key);
  return paths.empty() ? std::string() : paths.back().first;
}
}  // namespace

bool MemoryRegistry::KeyExists(const std::string& key) {
  const std::string k = LowerPath(key);
  std::lock_guard<std::mutex> lock(mutex_);
  return k.empty() || keys_.count(k) > 0;
}

void MemoryRegistry::CreateKey(const std::string& key) {
  const auto paths = KeyPaths(key);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [lower, given] : paths) keys_.try_emplace(lower, Key{given.substr(given.rfind('\\') + 1), {}});
}

bool MemoryRegistry::DeleteKey(const std::string& key) {
  const std::string k = LowerPath(key);
  if (k.empty()) Fail("The root of the settings cannot be deleted");
  const SettingsChange change;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!keys_.count(k)) return false;
  for (auto it = keys_.begin(); it != keys_.end();)
    it = (it->first == k || it->first.rfind(k + "\\", 0) == 0) ? keys_.erase(it) : std::next(it);
  return true;
}

std::vector<std::string> MemoryRegistry::GetKeyNames(const std::string& key) {
  const std::string k = LowerPath(key);
  const std::string prefix = k.empty() ? std::string() : k + "\\";
  std::vector<std::string> names;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [path, entry] : keys_)
    if (path.rfind(prefix, 0) == 0 && path.find('\\', prefix.size()) == std::string::npos) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> MemoryRegistry::GetValueNames(const std::string& key) {
  std::vector<std::string> names;
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = keys_.find(LowerPath(key)); it != keys_.end())
    for (const auto& v : it->second.values) names.push_back(v.first);
  return names;
}

std::optional<RegValue> MemoryRegistry::ReadValue(const std::string& key, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = keys_.find(LowerPath(key)); it != keys_.end())
    for (const auto& v : it->second.values)
      if (SameTextAscii(v.first, name)) return v.second;
  return std::nullopt;
}

void MemoryRegistry::WriteValue(const std::string& key, const std::string& name, const RegValue& value) {
  const SettingsChange change;
  CreateKey(key);
  std::lock_guard<std::mutex> lock(mutex_);
  auto& values = keys_[LowerPath(key)].values;
  for (auto& v : values)
    if (SameTextAscii(v.first, name)) {
      v.second = value;
      return;
    }
  values.emplace_back(name, value);
}

bool MemoryRegistry::DeleteValue(const std::string& key, const std::string& name) {
  const SettingsChange change;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = keys_.find(LowerPath(key));
  if (it == keys_.end()) return false;
  auto& values = it->second.values;
  for (auto v = values.begin(); v != values.end(); ++v)
    if (SameTextAscii(v->first, name)) {
      values.erase(v);
      return true;
    }
  return false;
}

// --- the current user's store ------------------------------------------------------------------------------

std::string RegistryRootFolder() {
  const char* dir = std::getenv("KELVADO_CONFIG_DIR");
  if (dir && *dir) return dir;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/kelvado";  // relative values are invalid by the XDG rules
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/kelvado";
  struct passwd pw;
  struct passwd* result = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir &&
      *result->pw_dir)
    return std::string(result->pw_dir) + "/.config/kelvado";
  return std::string();
}

namespace {
std::unique_ptr<IRegistry>& RegistrySlot() {
  static std::unique_ptr<IRegistry> slot;
  return slot;
}
}  // namespace

IRegistry& CurrentUserRegistry() {
  std::unique_ptr<IRegistry>& slot = RegistrySlot();
  if (!slot) slot = std::make_unique<CachedRegistry>(std::make_unique<FileRegistry>(RegistryRootFolder()));
  return *slot;
}

void SetCurrentUserRegistry(std::unique_ptr<IRegistry> registry) {
  RegistrySlot() = std::move(registry);
  NoteSettingsChanged();
}

namespace {
std::atomic<uint64_t> gSettingsGeneration{1};
}  // namespace

uint64_t SettingsGeneration() { return gSettingsGeneration.load(std::memory_order_acquire); }
void NoteSettingsChanged() { gSettingsGeneration.fetch_add(1, std::memory_order_acq_rel); }

}  // namespace kelvado
