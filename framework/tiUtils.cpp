#include "framework/tiUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <istream>
#include <ostream>

#include "framework/tiExcept.h"
#include "platform/FileIO.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {


bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Byte offset where the code point number `count` starts (or the text's size).
size_t Utf8Offset(const std::string& s, size_t count) {
  size_t i = 0;
  while (i < s.size() && count > 0) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    --count;
  }
  return i;
}

size_t Utf8Length(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string ReplaceAll(const std::string& text, const std::string& oldText, const std::string& newText,
                       bool ignoreCase) {
  if (oldText.empty()) return text;
  const std::string hay = ignoreCase ? UpperAscii(text) : text;
  const std::string needle = ignoreCase ? UpperAscii(oldText) : oldText;
  std::string result;
  size_t pos = 0;
  for (;;) {
    size_t found = hay.find(needle, pos);
    if (found == std::string::npos) break;
    result.append(text, pos, found - pos);
    result += newText;
    pos = found + needle.size();
  }
  result.append(text, pos, std::string::npos);
  return result;
}

// Splits at every separator; an empty separator never splits.
std::vector<std::string> SplitTokens(const std::string& text, const std::string& separator) {
  std::vector<std::string> tokens;
  if (text.empty()) return tokens;
  if (separator.empty()) {
    tokens.push_back(text);
    return tokens;
  }
  size_t pos = 0;
  for (;;) {
    size_t found = text.find(separator, pos);
    if (found == std::string::npos) {
      tokens.push_back(text.substr(pos));
      break;
    }
    tokens.push_back(text.substr(pos, found - pos));
    pos = found + separator.size();
  }
  return tokens;
}

// A calendar date as days since 1970-01-01 (proleptic Gregorian calendar).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(y + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

constexpr int64_t kZeroDateUnixDays = DaysFromCivil(1899, 12, 30);  // negative: days before 1970
const int64_t kMSecsPerDay = 86400000;
const TDateTime kMinDateTime = -693593.0;   // 0001-01-01
const TDateTime kMaxDateTime = 2958466.0;   // 10000-01-01 (exclusive)

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && IsLeapYear(y)) ? 29 : days[m - 1];
}

// Splits a date-time into whole days (relative to 1899-12-30) and milliseconds of the day.
void SplitDateTime(TDateTime dt, int64_t& days, int64_t& msecs) {
  if (std::isnan(dt) || dt <= kMinDateTime - 1.0 || dt >= kMaxDateTime)
    throw EConvertError("Invalid date-time value: %g", {dt});
  const int64_t total = std::llround(dt * static_cast<double>(kMSecsPerDay));
  days = total / kMSecsPerDay;  // truncates toward zero: the whole part counts the days
  msecs = std::llabs(total % kMSecsPerDay);
}

// Reads the `len` characters from position `from` (1-based) as an unsigned decimal number; false when the
// text is too short or they are not all digits.
bool ReadNumber(const std::string& text, size_t from, size_t len, int& value) {
  if (from - 1 + len > text.size()) return false;
  const std::string part = text.substr(from - 1, len);
  int v = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

const char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int MimeValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void MimeEncodeBlock(const unsigned char* in, size_t n, std::string& out) {
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
    out += kMimeAlphabet[(v >> 18) & 63];
    out += kMimeAlphabet[(v >> 12) & 63];
    out += kMimeAlphabet[(v >> 6) & 63];
    out += kMimeAlphabet[v & 63];
  }
  const size_t rest = n - i;
  if (rest == 1) {
    const uint32_t v = uint32_t(in[i]) << 16;
    out += kMimeAlphabet[(v >> 18) & 63];
    out += kMimeAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    const uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8);
    out += kMimeAlphabet[(v >> 18) & 63];
    out += kMimeAlphabet[(v >> 12) & 63];
    out += kMimeAlphabet[(v >> 6) & 63];
    out += '=';
  }
}

// Decodes base64 text that may arrive in pieces; a partial group is carried to the next piece.
class MimeDecoder {
public:
  void Feed(const char* s, size_t n, std::string& out) {
    for (size_t i = 0; i < n; ++i) {
      const int v = MimeValue(static_cast<unsigned char>(s[i]));
      if (v < 0) continue;
      group_ = (group_ << 6) | static_cast<uint32_t>(v);
      if (++count_ == 4) {
        out += static_cast<char>((group_ >> 16) & 0xFF);
        out += static_cast<char>((group_ >> 8) & 0xFF);
        out += static_cast<char>(group_ & 0xFF);
        group_ = 0;
        count_ = 0;
      }
    }
  }
  // A final group of 2 or 3 characters gives 1 or 2 bytes; a single character carries no whole byte.
  void Finish(std::string& out) {
    if (count_ == 2) {
      out += static_cast<char>((group_ >> 4) & 0xFF);
    } else if (count_ == 3) {
      out += static_cast<char>((group_ >> 10) & 0xFF);
      out += static_cast<char>((group_ >> 2) & 0xFF);
    }
    group_ = 0;
    count_ = 0;
  }

private:
  uint32_t group_ = 0;
  int count_ = 0;
};

const size_t kMimeEncodeBlock = 12288;  // bytes read per step; a multiple of 3, so groups never split
const size_t kMimeDecodeBlock = 12288;  // characters read per step

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Texts

std::string tiStrTran(const std::string& text, const std::string& oldText, const std::string& newText) {
  return ReplaceAll(text, oldText, newText, false);
}

std::string tiStrTranNoCase(const std::string& text, const std::string& oldText, const std::string& newText) {
  return ReplaceAll(text, oldText, newText, true);
}

int tiNumToken(const std::string& text, const std::string& separator) {
  return static_cast<int>(SplitTokens(text, separator).size());
}

std::string tiToken(const std::string& text, const std::string& separator, int n) {
  const std::vector<std::string> tokens = SplitTokens(text, separator);
  if (n < 1 || n > static_cast<int>(tokens.size())) return "";
  return tokens[static_cast<size_t>(n - 1)];
}

std::string tiSpace(int n) { return n > 0 ? std::string(static_cast<size_t>(n), ' ') : std::string(); }

std::string tiPadR(const std::string& text, int n) {
  if (n <= 0) return "";
  const size_t len = Utf8Length(text);
  const size_t want = static_cast<size_t>(n);
  if (len >= want) return text.substr(0, Utf8Offset(text, want));
  return text + std::string(want - len, ' ');
}

std::string tiPad0(int64_t number, int n) {
  const bool negative = number < 0;
  // Built from the unsigned magnitude so the smallest int64 has a magnitude too.
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
  std::string digits = std::to_string(magnitude);
  const int width = n - (negative ? 1 : 0);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

std::string tiReplicate(const std::string& text, int count) {
  std::string r;
  if (count <= 0) return r;
  r.reserve(text.size() * static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) r += text;
  return r;
}

std::string tiCR(int count) { return tiReplicate("\r", count); }
std::string tiCRLF(int count) { return tiReplicate("\r\n", count); }

std::string tiBoolToStr(bool value) { return value ? "T" : "F"; }

bool tiStrToBool(const std::string& text) {
  const std::string u = UpperAscii(text);
  return u == "TRUE" || u == "T" || u == "YES" || u == "Y" || u == "1";
}

std::string tiAddTrailingValue(const std::string& line, const std::string& value, bool duplicates) {
  if (line.empty()) return line;
  if (duplicates) return line + value;
  if (EndsWith(UpperAscii(line), UpperAscii(value))) return line;
  return line + value;
}

std::string tiRemoveTrailingValue(const std::string& line, const std::string& value) {
  if (value.empty() || !EndsWith(line, value)) return line;
  return line.substr(0, line.size() - value.size());
}

std::string tiAbbrevStr(const std::string& text, int width) {
  if (width < 0) width = 0;
  if (Utf8Length(text) <= static_cast<size_t>(width)) return text;
  const size_t keep = width > 3 ? static_cast<size_t>(width - 3) : 0;
  return text.substr(0, Utf8Offset(text, keep)) + "...";
}

// ---------------------------------------------------------------------------------------------------------
// Paths and files

std::string tiAddTrailingSlash(const std::string& path) { return tiAddTrailingValue(path, "/", false); }

std::string tiRemoveTrailingSlash(const std::string& path) {
  // Without its slash the root would name the working folder.
  if (path == "/") return path;
  return tiRemoveTrailingValue(path, "/");
}

std::string tiGetEXEPath() {
  std::string buf(4096, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) throw Exception("Can not determine the program's folder: %s", {std::strerror(errno)});
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);
  }
  const size_t slash = buf.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return buf.substr(0, slash);
}

std::string tiExtractFileNameOnly(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return tiRemoveExtension(name);
}

std::string tiRemoveExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return name;
  // A dot inside a folder name is no extension of the file.
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos && slash > dot) return name;
  return name.substr(0, dot);
}

void tiWriteFileAtomically(const std::string& fileName, const std::function<void(const TtiByteSink&)>& produce) {
  try {
    WriteFileAtomically(fileName, [&](const TFileByteSink& sink) { produce(sink); });
  } catch (const EFileAccess& e) {
    throw Exception(e.what());
  }
}

void tiStringToFile(const std::string& text, const std::string& fileName) {
  tiWriteFileAtomically(fileName, [&](const TtiByteSink& write) { write(text.data(), text.size()); });
}

void tiStringToNewFile(const std::string& text, const std::string& fileName) {
  const std::filesystem::path folder = std::filesystem::path(fileName).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  if (ec) throw Exception("Can not create the folder <%s>: %s", {folder.string(), ec.message()});
  tiStringToFile(text, fileName);
}

std::string tiFileToString(const std::string& fileName, int64_t maxBytes) {
  try {
    return ReadRegularFile(fileName, maxBytes < 0 ? tiMaxFileReadSize : maxBytes);
  } catch (const EFileAccess& e) {
    throw Exception(e.what());
  }
}

// ---------------------------------------------------------------------------------------------------------
// Streams

void tiStringToStream(const std::string& text, std::stringstream& stream) {
  stream.str(text);
  stream.clear();
  stream.seekg(0);
  stream.seekp(0);
}

std::string tiStreamToString(std::istream& stream) {
  stream.clear();
  const std::streampos old = stream.tellg();
  stream.seekg(0, std::ios::end);
  const std::streampos end = stream.tellg();
  stream.seekg(0, std::ios::beg);
  std::string result;
  if (end > 0) {
    result.resize(static_cast<size_t>(end));
    stream.read(result.data(), static_cast<std::streamsize>(result.size()));
    result.resize(static_cast<size_t>(stream.gcount()));
  }
  stream.clear();
  if (old >= 0) stream.seekg(old);
  return result;
}

// ---------------------------------------------------------------------------------------------------------
// Base 26

std::string tiEncodeNum(uint16_t value) {
  std::string r;
  unsigned v = value;
  do {
    r.insert(r.begin(), static_cast<char>('A' + v % 26));
    v /= 26;
  } while (v > 0);
  return r;
}

uint16_t tiDecodeNum(const std::string& text) {
  uint32_t v = 0;
  for (char c : text) {
    if (c < 'A' || c > 'Z')
      throw EConvertError("tiDecodeNum: <%s> does not represent a number in base %d.", {text, 26});
    v = v * 26 + static_cast<uint32_t>(c - 'A');
    // A wrapped value would silently address another column.
    if (v > 0xFFFF) throw EConvertError("tiDecodeNum: <%s> is out of range (0 to %d).", {text, 65535});
  }
  return static_cast<uint16_t>(v);
}

// ---------------------------------------------------------------------------------------------------------
// Dates

TDateTime tiNow() {
  using namespace std::chrono;
  return tiUnixMSecsToDateTime(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

TDateTime tiUnixMSecsToDateTime(int64_t ms) {
  // Local time of day: the offset of the local zone at that moment.
  const time_t secs = static_cast<time_t>(ms / 1000);
  struct tm local {};
  ::localtime_r(&secs, &local);
  const int64_t localMs = ms + static_cast<int64_t>(local.tm_gmtoff) * 1000;
  const int64_t unixDays = (localMs >= 0 ? localMs / kMSecsPerDay : (localMs - kMSecsPerDay + 1) / kMSecsPerDay);
  const int64_t msOfDay = localMs - unixDays * kMSecsPerDay;
  return EncodeDate(1970, 1, 1) + static_cast<double>(unixDays) +
         static_cast<double>(msOfDay) / static_cast<double>(kMSecsPerDay);
}

TDateTime EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    throw EConvertError("Invalid date: year %d, month %d, day %d", {year, month, day});
  return static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                             kZeroDateUnixDays);
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
    throw EConvertError("Invalid time: %d:%d:%d.%d", {hour, min, sec, msec});
  const int64_t ms = ((static_cast<int64_t>(hour) * 60 + min) * 60 + sec) * 1000 + msec;
  return static_cast<double>(ms) / static_cast<double>(kMSecsPerDay);
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec) {
  const TDateTime date = EncodeDate(year, month, day);
  const TDateTime time = EncodeTime(hour, min, sec, msec);
  // Before the zero date the fraction still counts forward from midnight.
  return date < 0 ? date - time : date + time;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  int64_t days = 0, msecs = 0;
  SplitDateTime(dt, days, msecs);
  CivilFromDays(days + kZeroDateUnixDays, year, month, day);
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  int64_t days = 0, msecs = 0;
  SplitDateTime(dt, days, msecs);
  msec = static_cast<int>(msecs % 1000);
  sec = static_cast<int>(msecs / 1000 % 60);
  min = static_cast<int>(msecs / 60000 % 60);
  hour = static_cast<int>(msecs / 3600000);
}

void DecodeDateTime(TDateTime dt, int& year, int& month, int& day, int& hour, int& min, int& sec, int& msec) {
  DecodeDate(dt, year, month, day);
  DecodeTime(dt, hour, min, sec, msec);
}

std::string tiDateTimeAsXMLString(TDateTime dt) {
  int y, m, d, h, n, s, z;
  DecodeDateTime(dt, y, m, d, h, n, s, z);
  return tiPad0(d, 2) + "/" + tiPad0(m, 2) + "/" + tiPad0(y, 4) + " " + tiPad0(h, 2) + ":" + tiPad0(n, 2) + ":" +
         tiPad0(s, 2) + ":" + tiPad0(z, 3);
}

TDateTime tiXMLStringToDateTime(const std::string& text) {
  if (text.empty()) return 0;
  int d = 0, m = 0, y = 0;
  if (!ReadNumber(text, 1, 2, d) || !ReadNumber(text, 4, 2, m) || !ReadNumber(text, 7, 4, y))
    throw EConvertError("<%s> is not a valid date-time (dd/mm/yyyy hh:mm:ss:zzz)", {text});
  int h = 0, n = 0, s = 0, z = 0;
  if (!ReadNumber(text, 12, 2, h)) h = 0;
  if (!ReadNumber(text, 15, 2, n)) n = 0;
  if (!ReadNumber(text, 18, 2, s)) s = 0;
  if (!ReadNumber(text, 21, 3, z)) z = 0;
  try {
    return EncodeDateTime(y, m, d, h, n, s, z);
  } catch (const EConvertError& e) {
    throw EConvertError("<%s> is not a valid date-time: %s", {text, e.Message()});
  }
}

std::string tiDateTimeToStr(TDateTime dt) {
  int y, m, d, h, n, s, z;
  DecodeDateTime(dt, y, m, d, h, n, s, z);
  // Whole seconds as shown; milliseconds are dropped, not rounded up into the next second.
  std::string r = tiPad0(y, 4) + "-" + tiPad0(m, 2) + "-" + tiPad0(d, 2) + " " + tiPad0(h, 2) + ":" +
                  tiPad0(n, 2) + ":" + tiPad0(s, 2);
  if (r.compare(0, 10, "1899-12-30") == 0) r.replace(0, 10, "0000-00-00");
  return r;
}

// ---------------------------------------------------------------------------------------------------------
// Variants

bool tiIsVariantOfType(TVarType variantType, TVarType varType) {
  if (variantType == varType) return true;
  if (varType == varArray || varType == varByRef) return (variantType & varType) != 0;
  return false;
}

// ---------------------------------------------------------------------------------------------------------
// System

std::string tiCreateGUIDText() {
  tiCoInitialize();
  uuid_t id;
  uuid_generate(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return text;
}

std::string tiCreateGUIDString() { return "{" + tiCreateGUIDText() + "}"; }

uint64_t tiGetTickCount() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t tiGetCurrentThreadID() { return static_cast<int64_t>(::syscall(SYS_gettid)); }

// ---------------------------------------------------------------------------------------------------------
// TtiIntegerList

void TtiIntegerList::Add(int64_t value) { items_.push_back(TtiIntegerListItem{value}); }

int TtiIntegerList::IndexOf(int64_t value) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].AnInteger == value) return static_cast<int>(i);
  return -1;
}

void TtiIntegerList::Remove(int64_t value) {
  const int i = IndexOf(value);
  if (i < 0)
    throw Exception("Attempt to remove an integer from %s that does not exist: \"%d\"", {ClassName(), value});
  items_.erase(items_.begin() + i);
}

const TtiIntegerListItem& TtiIntegerList::Items(int index) const {
  if (index < 0 || index >= Count()) throw Exception("List index out of bounds (%d)", {index});
  return items_[static_cast<size_t>(index)];
}

// ---------------------------------------------------------------------------------------------------------
// TtiPreSizedStream

TtiPreSizedStream::TtiPreSizedStream(int64_t initialSize, int64_t growBy)
    : allocated_(initialSize > 0 ? initialSize : 0), growBy_(growBy) {
  buffer_.reserve(static_cast<size_t>(allocated_));
}

void TtiPreSizedStream::Write(std::string_view text) {
  const int64_t needed = Size() + static_cast<int64_t>(text.size());
  if (needed > allocated_) {
    // Grow in whole steps; a step of 0 or less grows just enough rather than never.
    if (growBy_ > 0)
      allocated_ += ((needed - allocated_ + growBy_ - 1) / growBy_) * growBy_;
    else
      allocated_ = needed;
    buffer_.reserve(static_cast<size_t>(allocated_));
  }
  buffer_.append(text.data(), text.size());
}

void TtiPreSizedStream::WriteLn(const std::string& text) { Write(text + "\r\n"); }

// ---------------------------------------------------------------------------------------------------------
// MIME base64

std::string MimeEncodeString(const std::string& s) {
  std::string out;
  out.reserve((s.size() + 2) / 3 * 4);
  MimeEncodeBlock(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out);
  return out;
}

std::string MimeDecodeString(const std::string& s) {
  std::string out;
  out.reserve((s.size() + 3) / 4 * 3);
  MimeDecoder dec;
  dec.Feed(s.data(), s.size(), out);
  dec.Finish(out);
  return out;
}

void MimeEncodeStream(std::istream& in, std::ostream& out) {
  std::string block(kMimeEncodeBlock, '\0');
  std::string text;
  for (;;) {
    // Fill a whole block so only the last one can end in a partial group.
    size_t got = 0;
    while (got < block.size() && in) {
      in.read(block.data() + got, static_cast<std::streamsize>(block.size() - got));
      got += static_cast<size_t>(in.gcount());
    }
    if (got == 0) break;
    text.clear();
    MimeEncodeBlock(reinterpret_cast<const unsigned char*>(block.data()), got, text);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (got < block.size()) break;
  }
}

void MimeDecodeStream(std::istream& in, std::ostream& out) {
  std::string block(kMimeDecodeBlock, '\0');
  std::string bytes;
  MimeDecoder dec;
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    if (got == 0) break;
    bytes.clear();
    dec.Feed(block.data(), got, bytes);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  bytes.clear();
  dec.Finish(bytes);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---------------------------------------------------------------------------------------------------------
// COM start-up

void TtiCoInitializeManager::CoInitialize() {
  const int64_t id = tiGetCurrentThreadID();
  std::lock_guard<std::mutex> lock(mutex_);
  if (threadIDs_.IndexOf(id) >= 0) return;
  // Linux has no COM to start; only the bookkeeping remains.
  ++initializeCount_;
  threadIDs_.Add(id);
}

void TtiCoInitializeManager::CoUnInitialize() {
  const int64_t id = tiGetCurrentThreadID();
  std::lock_guard<std::mutex> lock(mutex_);
  if (threadIDs_.IndexOf(id) < 0) return;
  threadIDs_.Remove(id);
}

bool TtiCoInitializeManager::IsInitialized(int64_t threadID) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threadIDs_.IndexOf(threadID) >= 0;
}

int TtiCoInitializeManager::InitializeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return initializeCount_;
}

TtiCoInitializeManager& tiCoInitializeManager() {
  // Never freed: threads may stop COM during process shut-down, after static objects are gone.
  static TtiCoInitializeManager* instance = new TtiCoInitializeManager();
  return *instance;
}

void tiCoInitialize() { tiCoInitializeManager().CoInitialize(); }
void tiCoUnInitialize() { tiCoInitializeManager().CoUnInitialize(); }

}  // namespace kelvado
