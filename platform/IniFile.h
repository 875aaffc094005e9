#pragma once
// An INI file in the manner of the classic Windows profile routines: "[section]" headers and "key=value"
// lines, section and key names compared without regard to ASCII case, blanks around names and values ignored,
// lines that are neither skipped. Every write rewrites the file at once, atomically (temporary file in the same
// folder, flushed, renamed), creating it when missing; a write that fails raises EIniFileException naming the
// file.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvado {

class EIniFileException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
  virtual const char* ClassName() const noexcept { return "EIniFileException"; }
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
  std::vector<std::string> Lines() const;
  std::string fileName_;
};

}  // namespace kelvado
