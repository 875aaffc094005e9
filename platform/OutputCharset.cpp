#include "platform/OutputCharset.h"

#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/TextCase.h"

namespace kelvado {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1));  // iconv_open's failure

// The locale that decides the character set of text: LC_ALL, else LC_CTYPE, else LANG.
std::string CharsetLocaleName() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(name);
    if (v && *v) return v;
  }
  return {};
}

bool IsUtf8(const std::string& charset) { return SameTextAscii(charset, "UTF-8") || SameTextAscii(charset, "UTF8"); }

// A converter from UTF-8 to the output's character set, or kNoConverter when the output is UTF-8 or iconv
// does not know its character set (then the text goes out as it is, as it always did).
iconv_t OpenConverter(bool transliterate) {
  const std::string charset = OutputCharset();
  if (IsUtf8(charset)) return kNoConverter;
  return ::iconv_open((charset + (transliterate ? "//TRANSLIT" : "")).c_str(), "UTF-8");
}

size_t Utf8Length(unsigned char lead) { return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1; }

// Converts `in` (from `pos`) with `cd` and appends to `out`; stops before an incomplete character at the end
// unless `all`. A byte sequence the converter cannot take becomes "?". Returns where it stopped; false in
// `clean` when anything had to be replaced.
size_t Convert(iconv_t cd, const std::string& in, size_t pos, bool all, std::string& out, bool* clean = nullptr) {
  char buf[4096];
  while (pos < in.size()) {
    char* src = const_cast<char*>(in.data() + pos);
    size_t srcLeft = in.size() - pos;
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    const size_t r = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const int err = errno;
    out.append(buf, static_cast<size_t>(dst - buf));
    pos = in.size() - srcLeft;
    if (r != static_cast<size_t>(-1)) {
      if (r > 0 && clean) *clean = false;  // transliterated or replaced by the converter
      continue;
    }
    if (err == E2BIG) continue;
    if (err == EINVAL && !all) break;
    // Not convertible here, or cut off at the end of everything: one character becomes "?".
    if (clean) *clean = false;
    out += '?';
    pos += err == EINVAL ? srcLeft : Utf8Length(static_cast<unsigned char>(in[pos]));
  }
  ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
  return pos < in.size() ? pos : in.size();
}

}  // namespace

std::string OutputCharset() {
  const std::string name = CharsetLocaleName();
  if (name.empty() || name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0) return "UTF-8";
  std::string charset;
  if (locale_t loc = ::newlocale(LC_CTYPE_MASK, name.c_str(), static_cast<locale_t>(0))) {
    const char* codeset = ::nl_langinfo_l(CODESET, loc);
    charset = codeset ? codeset : "";
    ::freelocale(loc);
  } else if (const size_t dot = name.find('.'); dot != std::string::npos) {
    // Not installed here: its name may still say ("de_DE.ISO-8859-1").
    const size_t at = name.find('@', dot);
    charset = name.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
  }
  return charset.empty() || IsUtf8(charset) ? std::string("UTF-8") : charset;
}

std::string ToOutputCharset(const std::string& utf8) {
  const iconv_t cd = OpenConverter(true);
  if (cd == kNoConverter) return utf8;
  std::string out;
  Convert(cd, utf8, 0, true, out);
  ::iconv_close(cd);
  return out;
}

bool OutputCanShow(const std::string& utf8) {
  const iconv_t cd = OpenConverter(false);
  if (cd == kNoConverter) return true;
  std::string out;
  bool clean = true;
  Convert(cd, utf8, 0, true, out, &clean);
  ::iconv_close(cd);
  return clean;
}

OutputCharsetScope::OutputCharsetScope(std::ostream& stream, int fd)
    : stream_(stream), fd_(fd), previous_(nullptr), cd_(OpenConverter(true)) {
  stream_.flush();
  previous_ = stream_.rdbuf(this);
}

OutputCharsetScope::~OutputCharsetScope() {
  Pass(true);
  stream_.rdbuf(previous_);
  if (cd_ != kNoConverter) ::iconv_close(cd_);
}

OutputCharsetScope::int_type OutputCharsetScope::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  pending_ += traits_type::to_char_type(c);
  if (pending_.size() >= 4096 && !Pass(false)) return traits_type::eof();
  return c;
}

std::streamsize OutputCharsetScope::xsputn(const char* s, std::streamsize n) {
  pending_.append(s, static_cast<size_t>(n));
  if (pending_.size() >= 4096 && !Pass(false)) return 0;
  return n;
}

int OutputCharsetScope::sync() { return Pass(false) ? 0 : -1; }

bool OutputCharsetScope::Pass(bool all) {
  if (error_ != 0) return false;
  std::string converted;
  if (cd_ != kNoConverter) {
    pending_.erase(0, Convert(cd_, pending_, 0, all, converted));
  } else {
    converted.swap(pending_);
  }
  for (size_t done = 0; done < converted.size();) {
    const ssize_t n = ::write(fd_, converted.data() + done, converted.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kelvado
