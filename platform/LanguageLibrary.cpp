#include "platform/LanguageLibrary.h"

#include "platform/FileIO.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kelvado {

namespace {

// Turns the escapes of the file format into their characters; false on an unknown or dangling escape.
bool Unescape(const std::string& raw, std::string& out, std::string& why) {
  out.clear();
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i + 1 >= raw.size()) {
      why = "backslash at the end of the text";
      return false;
    }
    const char e = raw[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      default:
        why = std::string("unknown escape \"\\") + e + "\"";
        return false;
    }
  }
  return true;
}

// The offset of the first byte that makes `text` no UTF-8 text (a malformed or overlong sequence, a
// surrogate, a control character other than tab, CR and LF), or npos.
size_t FirstNonText(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) return i;
      ++i;
      continue;
    }
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (c < 0xC2 || c > 0xF4) return i;
    uint32_t cp = c & (0x7Fu >> len);
    if (i + len > n) return i;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return i;
    i += len;
  }
  return std::string::npos;
}

}  // namespace

bool LanguageLibrary::Load(const std::string& path) {
  Unload();
  // Only a plain file of a sensible size: a folder, a pipe or a device under that name is no language library.
  std::string text;
  try {
    text = ReadRegularFile(path, kMaxLanguageFileSize);
  } catch (const EFileAccess&) {
    return false;
  }
  if (const size_t bad = FirstNonText(text); bad != std::string::npos) {
    refusal_ = "it is no text in UTF-8 (byte " + std::to_string(bad + 1) + ")";
    return false;
  }
  path_ = path;
  LoadFromText(text);
  if (texts_.empty()) {
    Unload();
    refusal_ = "it holds no texts";
    return false;
  }
  return true;
}

void LanguageLibrary::LoadFromText(const std::string& text) {
  texts_.clear();
  problems_.clear();
  loaded_ = true;
  const std::string where = path_.empty() ? std::string("language texts") : path_;
  size_t pos = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;

    auto problem = [&](const std::string& what) {
      problems_.push_back(where + ": line " + std::to_string(lineNo) + ": " + what);
    };
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      problem("expected <number>=<text>");
      continue;
    }
    int number = 0;
    bool ok = eq <= 9;  // keeps the number well inside int
    for (size_t i = 0; ok && i < eq; ++i) {
      if (line[i] < '0' || line[i] > '9') ok = false;
      else number = number * 10 + (line[i] - '0');
    }
    if (!ok) {
      problem("\"" + line.substr(0, eq) + "\" is not a text number");
      continue;
    }
    std::string value, why;
    if (!Unescape(line.substr(eq + 1), value, why)) {
      problem(why);
      continue;
    }
    if (!texts_.emplace(number, std::move(value)).second) {
      problem("text number " + std::to_string(number) + " given twice");
    }
  }
}

void LanguageLibrary::Unload() {
  loaded_ = false;
  path_.clear();
  texts_.clear();
  problems_.clear();
  refusal_.clear();
}

std::string LanguageLibrary::Text(int number) const {
  auto it = texts_.find(number);
  return it == texts_.end() ? std::string() : it->second;
}

}  // namespace kelvado
