#include "platform/CachedRegistry.h"

#include "platform/TextCase.h"

namespace kelvado {


void CachedRegistry::ForgetAll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.clear();
    keys_.clear();
  }
  NoteSettingsChanged();
}

bool CachedRegistry::KeyExists(const std::string& key) {
  const std::string k = LowerAscii(key);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = keys_.find(k); it != keys_.end()) return it->second;
  }
  const bool exists = inner_->KeyExists(key);  // a failure is not remembered: the next call asks again
  std::lock_guard<std::mutex> lock(mutex_);
  keys_[k] = exists;
  return exists;
}

std::optional<RegValue> CachedRegistry::ReadValue(const std::string& key, const std::string& name) {
  auto k = std::make_pair(LowerAscii(key), LowerAscii(name));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = values_.find(k); it != values_.end()) return it->second;
  }
  std::optional<RegValue> v = inner_->ReadValue(key, name);
  std::lock_guard<std::mutex> lock(mutex_);
  values_[std::move(k)] = v;
  return v;
}

// Creating a key that exists must stay cheap: callers open their key with "create" before each write, as the
// registry allows. Creating keys changes no value, only which keys exist.
void CachedRegistry::CreateKey(const std::string& key) {
  const std::string k = LowerAscii(key);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = keys_.find(k); it != keys_.end() && it->second) return;
  }
  inner_->CreateKey(key);
  std::lock_guard<std::mutex> lock(mutex_);
  // Missing parents were created too: what was known missing may exist now. What exists stays known, so
  // that creating keys in turn (as every settings read does) does not send each one to the store again.
  std::erase_if(keys_, [](const auto& entry) { return !entry.second; });
  keys_[k] = true;
}

// Every change of a value forgets everything: a deleted key takes its subkeys and values with it, and changes
// are rare.
bool CachedRegistry::DeleteKey(const std::string& key) {
  ForgetAll();
  return inner_->DeleteKey(key);
}

void CachedRegistry::WriteValue(const std::string& key, const std::string& name, const RegValue& value) {
  ForgetAll();
  inner_->WriteValue(key, name, value);
}

bool CachedRegistry::DeleteValue(const std::string& key, const std::string& name) {
  ForgetAll();
  return inner_->DeleteValue(key, name);
}

void CachedRegistry::UpdateValues(const std::string& key, const std::vector<std::string>& deletes,
                                  const std::vector<std::pair<std::string, RegValue>>& writes) {
  ForgetAll();
  inner_->UpdateValues(key, deletes, writes);
}

void CachedRegistry::AddMissingValues(const std::string& key,
                                      const std::vector<std::pair<std::string, RegValue>>& values) {
  ForgetAll();
  inner_->AddMissingValues(key, values);
}

}  // namespace kelvado
