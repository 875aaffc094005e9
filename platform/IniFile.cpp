#include "platform/IniFile.h"

#include <cstdlib>
#include <optional>
#include <sstream>

#include "platform/FileIO.h"

#include "platform/TextCase.h"

namespace kelvado {

namespace {

// "[name]" gives name; any other line nothing.
std::optional<std::string> SectionOf(const std::string& line) {
  std::string t = TrimBlanks(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
  return TrimBlanks(t.substr(1, t.size() - 2));
}

// Position of the line holding `key` in `section`, and of the line after the section's last entry.
struct Where {
  bool sectionFound = false;
  long keyLine = -1;
  size_t insertAt = 0;
};

Where Find(const std::vector<std::string>& lines, const std::string& section, const std::string& key) {
  Where w;
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (auto s = SectionOf(lines[i])) {
      if (inSection) break;  // the first section of that name holds the values
      inSection = SameTextAscii(*s, section);
      if (inSection) {
        w.sectionFound = true;
        w.insertAt = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    const std::string t = TrimBlanks(lines[i]);
    if (t.empty() || t[0] == ';') continue;
    w.insertAt = i + 1;
    size_t eq = lines[i].find('=');
    if (eq == std::string::npos) continue;
    if (w.keyLine < 0 && SameTextAscii(TrimBlanks(lines[i].substr(0, eq)), key)) w.keyLine = static_cast<long>(i);
  }
  return w;
}

std::string ValueOfLine(const std::string& line) {
  std::string v = TrimBlanks(line.substr(line.find('=') + 1));
  if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
    v = v.substr(1, v.size() - 2);
  return v;
}

}  // namespace

std::vector<std::string> IniFile::Lines(const std::string& file) const {
  std::optional<std::string> text;
  try {
    text = ReadRegularFileIfExists(file, kMaxSettingsFileSize);
  } catch (const EFileAccess& e) {
    throw EIniFileException(e.what(), e.File(), e.Cause());
  }
  std::vector<std::string> lines;
  if (!text) return lines;
  std::istringstream in(*text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool IniFile::ValueExists(const std::string& section, const std::string& key) const {
  return Find(Lines(), section, key).keyLine >= 0;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  std::vector<std::string> lines = Lines();
  Where w = Find(lines, section, key);
  return w.keyLine < 0 ? def : ValueOfLine(lines[static_cast<size_t>(w.keyLine)]);
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
  std::string s = ReadString(section, key, std::string());
  if (s.empty()) return def;
  bool negative = false;
  size_t i = 0;
  if (s[0] == '-' || s[0] == '+') {
    negative = s[0] == '-';
    i = 1;
  }
  int base = 10;
  if (s.compare(i, 1, "$") == 0) {
    base = 16;
    i += 1;
  } else if (s.compare(i, 2, "0x") == 0 || s.compare(i, 2, "0X") == 0) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return def;
  long long v = 0;
  for (; i < s.size(); ++i) {
    int d;
    char c = s[i];
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return def;
    v = v * base + d;
    if (v > 0xFFFFFFFFLL) return def;
  }
  if (negative) v = -v;
  if (base == 10 && (v < INT32_MIN || v > INT32_MAX)) return def;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));  // hex may give the full DWORD
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (section.empty() || key.empty() || key.find('=') != std::string::npos ||
      section.find_first_of("[]\r\n") != std::string::npos || key.find_first_of("\r\n") != std::string::npos ||
      value.find_first_of("\r\n") != std::string::npos)
    throw EIniFileException("Cannot write [" + section + "] " + key + " to \"" + fileName_ +
                            "\": names and values must be one line, and a key may not hold \"=\"");
  try {
    const std::string file = FollowSettingsLinks(fileName_);
    SettingsFileLock lock(file);
    std::vector<std::string> lines = Lines(file);
    Where w = Find(lines, section, key);
    const std::string entry = key + "=" + value;
    if (w.keyLine >= 0) {
      lines[static_cast<size_t>(w.keyLine)] = entry;
    } else if (w.sectionFound) {
      lines.insert(lines.begin() + static_cast<long>(w.insertAt), entry);
    } else {
      if (!lines.empty() && !TrimBlanks(lines.back()).empty()) lines.push_back(std::string());
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    }
    std::string data;
    for (const std::string& l : lines) data += l + "\n";
    ReplaceSettingsFile(file, data, 0644);
  } catch (const ESettingsFileException& e) {
    throw EIniFileException(e.what(), e.File(), e.Cause());
  }
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace kelvado
