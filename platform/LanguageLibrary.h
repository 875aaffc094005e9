#pragma once
// Stand-in for the exchangeable language library: a UTF-8 text file of numbered strings.
//
// File format, one entry per line:
//   <number>=<text>        e.g. 1004=Der DC-Wert %s liegt nicht zwischen %s und %s.
// Blank lines and lines whose first character is '#' are ignored; a UTF-8 byte-order mark and a CR before the
// line end are skipped. In the text, "\n" stands for a line feed, "\r" for a carriage return, "\t" for a tab
// and "\\" for a backslash; every other character is taken as it is (so "%" placeholders need no escaping), blanks
// at the start and end of the text included.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvado {

// The most bytes a language file is read up to.
inline constexpr int64_t kMaxLanguageFileSize = int64_t(16) << 20;

class LanguageLibrary {
public:
  // Reads the file; false (and nothing loaded) when it cannot be opened or read, is no regular file or is
  // larger than kMaxLanguageFileSize. Lines that do not follow the
  // format are skipped and listed in Problems(); a later duplicate of a number is skipped likewise.
  // A file that is no text (not UTF-8, control characters, no text at all: random bytes would otherwise make
  // every message empty) is refused: false, and Refusal() says why.
  bool Load(const std::string& path);
  // Parses text in the file format (used by Load).
  void LoadFromText(const std::string& text);
  void Unload();

  bool IsLoaded() const { return loaded_; }
  const std::string& Path() const { return path_; }
  // Text number `number`; empty when the library has none.
  std::string Text(int number) const;
  bool Has(int number) const { return texts_.count(number) != 0; }
  size_t Count() const { return texts_.size(); }
  // One entry per skipped line: "<file>: line <n>: <what is wrong>".
  const std::vector<std::string>& Problems() const { return problems_; }
  // Why the last Load refused the file as no language file ("it is no text in UTF-8 (byte 7)"); empty when it
  // was not refused (loaded, or missing or unreadable).
  const std::string& Refusal() const { return refusal_; }

private:
  bool loaded_ = false;
  std::string path_;
  std::map<int, std::string> texts_;
  std::vector<std::string> problems_;
  std::string refusal_;
};

}  // namespace kelvado
