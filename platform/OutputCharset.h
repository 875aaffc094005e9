#pragma once
// Text for the user's terminal. Inside the program every text is UTF-8; a terminal under a locale of another
// character set (de_DE and de_DE@euro are ISO-8859-1 and -15) would show it garbled. What is written for the
// user goes out in the character set of the user's locale (LC_ALL, else LC_CTYPE, else LANG).
#include <iconv.h>

#include <ostream>
#include <streambuf>
#include <string>

namespace kelvado {

// The character set of the user's locale as iconv names it ("ISO-8859-1"); "UTF-8" for a UTF-8 locale, and
// also where no locale is set ("C", "POSIX": no character set was chosen, and the terminal may well be UTF-8)
// or the locale is not installed and its name does not say.
std::string OutputCharset();

// `utf8` in OutputCharset(): a character it lacks becomes its transliteration where iconv knows one ("EUR"),
// else "?".
std::string ToOutputCharset(const std::string& utf8);

// True when OutputCharset() holds every character of `utf8`.
bool OutputCanShow(const std::string& utf8);

// For its lifetime, what is written to `stream` is written to the descriptor `fd` (1 for std::cout), in
// OutputCharset(). A write that fails makes the stream fail, and Error() keeps the system's error of the first
// failure: a program can tell the user why its output was not written (a full disk, a closed output).
class OutputCharsetScope : private std::streambuf {
public:
  OutputCharsetScope(std::ostream& stream, int fd);
  ~OutputCharsetScope() override;
  OutputCharsetScope(const OutputCharsetScope&) = delete;
  OutputCharsetScope& operator=(const OutputCharsetScope&) = delete;

  // The error of the first write that failed; 0 while every write succeeded.
  int Error() const { return error_; }

private:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;
  // Converts what is pending up to its last whole character (all of it when `all`) and writes it.
  bool Pass(bool all);

  std::ostream& stream_;
  int fd_;
  std::streambuf* previous_;
  iconv_t cd_;  // kNoConverter (-1) when the output is UTF-8
  std::string pending_;
  int error_ = 0;
};

}  // namespace kelvado
