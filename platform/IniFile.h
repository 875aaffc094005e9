#pragma once
// An INI file in the manner of the classic Windows profile routines: "[section]" headers and "key=value"
// lines, section and key names compared without regard to ASCII case, blanks around names and values ignored,
// lines that are neither skipped. Every write rewrites the file at once, atomically (temporary file in the same
// folder, flushed, renamed), creating it when missing, under a lock against other writers, keeping the file's
// permissions and writing through a symbolic link (platform/SettingsFile.h); a write that fails raises
// EIniFileException naming the file.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SettingsFile.h"

namespace kelvado {

class EIniFileException : public ESettingsFileException {
public:
  explicit EIniFileException(const std::string& message, std::string file = {}, std::string cause = {})
      : ESettingsFileException(message, std::move(file), std::move(cause)) {}
  const char* ClassName() const noexcept override { return "EIniFileException"; }
};

class IniFile {
public:
  explicit IniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  const std::string& FileName() const { return fileName_; }

  bool ValueExists(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // Decimal, or hexadecimal with "$" or "0x"; anything else gives the default.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);

private:
  std::vector<std::string> Lines(const std::string& file) const;
  std::vector<std::string> Lines() const { return Lines(fileName_); }
  std::string fileName_;
};

}  // namespace kelvado
