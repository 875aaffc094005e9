#pragma once
// A store in front of another that keeps what it has read in memory. The calculators ask options such as
// "usedcinterlevels" for every node they compute; reading the settings file each time would cost more than
// the arithmetic. Every change made through this store empties the memory, so the program always reads what
// it wrote; a change made to the files by another program is seen after ForgetAll() (or the next start).
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/Registry.h"

namespace kelvado {

class CachedRegistry : public IRegistry {
public:
  explicit CachedRegistry(std::unique_ptr<IRegistry> inner) : inner_(std::move(inner)) {}

  IRegistry& Inner() { return *inner_; }
  void ForgetAll();

  bool KeyExists(const std::string& key) override;
  void CreateKey(const std::string& key) override;
  bool DeleteKey(const std::string& key) override;
  std::vector<std::string> GetKeyNames(const std::string& key) override { return inner_->GetKeyNames(key); }
  std::vector<std::string> GetValueNames(const std::string& key) override { return inner_->GetValueNames(key); }
  std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) override;
  void WriteValue(const std::string& key, const std::string& name, const RegValue& value) override;
  bool DeleteValue(const std::string& key, const std::string& name) override;
  void UpdateValues(const std::string& key, const std::vector<std::string>& deletes,
                    const std::vector<std::pair<std::string, RegValue>>& writes) override;
  void AddMissingValues(const std::string& key, const std::vector<std::pair<std::string, RegValue>>& values) override;

private:
  std::unique_ptr<IRegistry> inner_;
  std::mutex mutex_;
  // Keys and names compare without regard to ASCII case, so they are remembered in lower case.
  std::map<std::pair<std::string, std::string>, std::optional<RegValue>> values_;
  std::map<std::string, bool> keys_;
};

}  // namespace kelvado
