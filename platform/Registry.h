#pragma once
// The per-user settings store. Windows keeps settings in the registry; we keep the same key paths
// ("Software\Zul\KELVADO\1.1.2\opt") as folders under the configuration folder, each key's values in a text
// file "values.reg" inside its folder. Every write replaces that file atomically, so a failed save leaves the
// old settings intact, and a damaged file is never written over. A write reads, changes and replaces the file
// under an exclusive lock of its folder, so that programs writing the same key at once lose nothing; it keeps
// the file's permissions and, when the file is a symbolic link, replaces the link's target. Failures raise
// ERegistryException naming the file (and line, for a damaged file).
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/SettingsFile.h"

namespace kelvado {

// `file` and `cause` are given for a failure of a file or folder of the store (see ESettingsFileException);
// `line` for a damaged values file, the line at fault.
class ERegistryException : public ESettingsFileException {
public:
  explicit ERegistryException(const std::string& message, std::string file = {}, std::string cause = {},
                              int line = 0)
      : ESettingsFileException(message, std::move(file), std::move(cause)), line_(line) {}
  const char* ClassName() const noexcept override { return "ERegistryException"; }
  int Line() const noexcept { return line_; }

private:
  int line_;
};

enum class RegDataType { String, ExpandString, Integer };

struct RegValue {
  RegDataType type = RegDataType::String;
  std::string text;    // String, ExpandString
  int32_t number = 0;  // Integer (a DWORD, read as signed)
};

// A registry-like store. Key paths are separated by "\"; value and key names compare without regard to ASCII
// case, as in the registry.
class IRegistry {
public:
  virtual ~IRegistry() = default;

  virtual bool KeyExists(const std::string& key) = 0;
  virtual void CreateKey(const std::string& key) = 0;  // with all missing parents; an existing key is fine
  virtual bool DeleteKey(const std::string& key) = 0;  // with all its subkeys; false when it did not exist
  virtual std::vector<std::string> GetKeyNames(const std::string& key) = 0;    // direct subkeys, sorted
  virtual std::vector<std::string> GetValueNames(const std::string& key) = 0;  // in stored order

  virtual std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) = 0;
  // Creates the key when missing.
  virtual void WriteValue(const std::string& key, const std::string& name, const RegValue& value) = 0;
  virtual bool DeleteValue(const std::string& key, const std::string& name) = 0;  // false when not there
  // Deletes the named values (missing ones are skipped) and then writes the given ones, as one change: the
  // file store rewrites the key's file once, so either all of it happens or none. Creates the key when missing.
  virtual void UpdateValues(const std::string& key, const std::vector<std::string>& deletes,
                            const std::vector<std::pair<std::string, RegValue>>& writes);
  // Writes those of `values` that the key does not hold yet, as one change (none at all when it holds them
  // all); creates the key when missing. For defaults: a value set meanwhile, here or by another program, stays.
  virtual void AddMissingValues(const std::string& key, const std::vector<std::pair<std::string, RegValue>>& values);

  // Typed helpers in the manner of the registry class the settings code was written against: a missing
  // string reads as empty; a missing integer, or a value of the wrong type, raises ERegistryException.
  bool ValueExists(const std::string& key, const std::string& name) { return ReadValue(key, name).has_value(); }
  std::string ReadString(const std::string& key, const std::string& name);
  int32_t ReadInteger(const std::string& key, const std::string& name);
  bool ReadBool(const std::string& key, const std::string& name) { return ReadInteger(key, name) != 0; }
  void WriteString(const std::string& key, const std::string& name, const std::string& value);
  void WriteExpandString(const std::string& key, const std::string& name, const std::string& value);
  void WriteInteger(const std::string& key, const std::string& name, int32_t value);
  void WriteBool(const std::string& key, const std::string& name, bool value) { WriteInteger(key, name, value); }
};

// The Linux store: one folder per key below a root folder.
class FileRegistry : public IRegistry {
public:
  explicit FileRegistry(std::string rootFolder);

  const std::string& RootFolder() const { return root_; }
  // The file that holds the values of `key` (it need not exist).
  std::string ValuesFile(const std::string& key);

  bool KeyExists(const std::string& key) override;
  void CreateKey(const std::string& key) override;
  bool DeleteKey(const std::string& key) override;
  std::vector<std::string> GetKeyNames(const std::string& key) override;
  std::vector<std::string> GetValueNames(const std::string& key) override;
  std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) override;
  void WriteValue(const std::string& key, const std::string& name, const RegValue& value) override;
  bool DeleteValue(const std::string& key, const std::string& name) override;
  void UpdateValues(const std::string& key, const std::vector<std::string>& deletes,
                    const std::vector<std::pair<std::string, RegValue>>& writes) override;
  void AddMissingValues(const std::string& key, const std::vector<std::pair<std::string, RegValue>>& values) override;

private:
  std::string root_;
};

// A store that keeps everything in memory, for the run only: where the settings go on when their files fail,
// and a double for tests. Keys and names ignore ASCII case; a key's parents exist when it does.
class MemoryRegistry : public IRegistry {
public:
  bool KeyExists(const std::string& key) override;
  void CreateKey(const std::string& key) override;
  bool DeleteKey(const std::string& key) override;
  std::vector<std::string> GetKeyNames(const std::string& key) override;
  std::vector<std::string> GetValueNames(const std::string& key) override;
  std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) override;
  void WriteValue(const std::string& key, const std::string& name, const RegValue& value) override;
  bool DeleteValue(const std::string& key, const std::string& name) override;

private:
  struct Key {
    std::string name;  // as first created
    std::vector<std::pair<std::string, RegValue>> values;
  };
  // By the key path in lower case with its names joined by "\".
  std::map<std::string, Key> keys_;
  std::mutex mutex_;
};

// The name of the values file inside every key folder; no key may carry this name.
inline constexpr const char* RegistryValuesFileName = "values.reg";

// Root of the user's settings: $KELVADO_CONFIG_DIR when set and not empty, else $XDG_CONFIG_HOME/kelvado,
// else $HOME/.config/kelvado (the home folder from the password database when HOME is unset).
std::string RegistryRootFolder();

// The store of the current user, created on first use on RegistryRootFolder(). Tests may install another
// (a double, or a FileRegistry on a folder of their own); an empty pointer restores the default, which is then
// created afresh on next use (so a changed KELVADO_CONFIG_DIR takes effect).
IRegistry& CurrentUserRegistry();
void SetCurrentUserRegistry(std::unique_ptr<IRegistry> registry);

// Grows with every change of the settings this process makes (a value written or deleted, a key deleted, a
// cache emptied, another store installed). A reader that keeps a setting in memory reads again once it moved.
uint64_t SettingsGeneration();
void NoteSettingsChanged();

// Around a change of the settings: moves the generation once the change is done (or failed), so that a reader
// who saw the old value also saw the old generation.
struct SettingsChange {
  SettingsChange() = default;
  SettingsChange(const SettingsChange&) = delete;
  SettingsChange& operator=(const SettingsChange&) = delete;
  ~SettingsChange() { NoteSettingsChanged(); }
};

}  // namespace kelvado
