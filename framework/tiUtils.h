#pragma once
// The framework's shared text, file, date, number-encoding and stream routines, the integer list, the
// pre-sized text stream, MIME base64 and the per-thread COM start-up bookkeeping.
//
// Texts are UTF-8. Routines that count "characters" for a display width (tiPadR, tiAbbrevStr) count code
// points so they never cut a character in half; every other routine works on bytes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvado {

// ---------------------------------------------------------------------------------------------------------
// Texts

// Every occurrence of `oldText` replaced by `newText`, left to right; replaced text is not searched again.
// An empty `oldText` leaves the text unchanged.
std::string tiStrTran(const std::string& text, const std::string& oldText, const std::string& newText);
// The same, occurrences found ignoring (ASCII) letter case.
std::string tiStrTranNoCase(const std::string& text, const std::string& oldText, const std::string& newText);
// 0 for an empty text, otherwise the number of separators + 1.
int tiNumToken(const std::string& text, const std::string& separator);
// The n-th token (from 1); empty when there are fewer tokens or n < 1.
std::string tiToken(const std::string& text, const std::string& separator, int n);
std::string tiSpace(int n);
// Padded with blanks on the right, or cut, to n characters.
std::string tiPadR(const std::string& text, int n);
// The decimal number padded on the left with "0" to n characters ("-" stays in front of the zeros); a longer
// number is never cut.
std::string tiPad0(int64_t number, int n);
std::string tiReplicate(const std::string& text, int count);
std::string tiCR(int count = 1);    // `count` carriage returns
std::string tiCRLF(int count = 1);  // `count` CR LF pairs
std::string tiBoolToStr(bool value);          // "T" or "F"
bool tiStrToBool(const std::string& text);   // "TRUE", "T", "YES", "Y", "1" in any case
// Empty line: unchanged. With duplicates: line + value. Otherwise line + value unless the line already ends
// with value (ignoring case).
std::string tiAddTrailingValue(const std::string& line, const std::string& value, bool duplicates = true);
// The line without a final `value` when it ends with it (exact comparison).
std::string tiRemoveTrailingValue(const std::string& line, const std::string& value);
// Texts longer than `width` are cut to width - 3 characters followed by "...".
std::string tiAbbrevStr(const std::string& text, int width);

// ---------------------------------------------------------------------------------------------------------
// Paths and files (Linux: the separator is "/")

// Adds "/" unless the path already ends with it; an empty path stays empty.
std::string tiAddTrailingSlash(const std::string& path);
// Removes one final "/"; the root "/" itself is kept.
std::string tiRemoveTrailingSlash(const std::string& path);
// The folder of the running program, without a trailing "/".
std::string tiGetEXEPath();
// The file name without folder and without extension.
std::string tiExtractFileNameOnly(const std::string& path);
// The text before the last "." of the file name (all of it when the name has none).
std::string tiRemoveExtension(const std::string& name);
// Creates or replaces the file with exactly the text, as tiWriteFileAtomically does. Failure raises Exception
// naming the file.
void tiStringToFile(const std::string& text, const std::string& fileName);
// Receives the bytes of a file being written; raises when they cannot be written.
using TtiByteSink = std::function<void(const char* data, size_t size)>;
// Creates or replaces the file with what `produce` hands to the sink, through the program's one atomic write
// (platform/FileIO.h): a temporary file in the same folder, flushed to disk and renamed over the target, which
// a symbolic link leads to; a file its owner made read-only is refused. When writing fails, or `produce`
// raises, the temporary file is removed, the old file stays byte for byte as it was, and the error passes on
// (a write failure as Exception "Can not write the file <%s>: ...").
void tiWriteFileAtomically(const std::string& fileName, const std::function<void(const TtiByteSink&)>& produce);
// Makes the file's folder (every missing level), then writes the text as tiStringToFile does. A folder that
// cannot be made raises Exception "Can not create the folder <%s>: %s".
void tiStringToNewFile(const std::string& text, const std::string& fileName);
// The most bytes tiFileToString reads when no bound is given.
inline constexpr int64_t tiMaxFileReadSize = int64_t(512) << 20;
// The whole content of a regular file, read without writing it and without waiting on a FIFO. A file that
// cannot be read, is no regular file or holds more than `maxBytes` bytes (tiMaxFileReadSize when negative)
// raises Exception "Can not read the file <%s>: ...".
std::string tiFileToString(const std::string& fileName, int64_t maxBytes = -1);

// ---------------------------------------------------------------------------------------------------------
// Streams. A memory stream is a std::stringstream.

// Replaces the stream's content with the text; read and write positions go to 0.
void tiStringToStream(const std::string& text, std::stringstream& stream);
// The whole content from position 0; the read position is left where it was.
std::string tiStreamToString(std::istream& stream);

// ---------------------------------------------------------------------------------------------------------
// Numbers in base 26 ("A" = 0 ... "Z" = 25), most significant first; 0 gives "A".
std::string tiEncodeNum(uint16_t value);
// Empty text gives 0. A character outside "A" to "Z" raises EConvertError
// "tiDecodeNum: <%s> does not represent a number in base %d."; a value above 65535 raises EConvertError too.
uint16_t tiDecodeNum(const std::string& text);

// ---------------------------------------------------------------------------------------------------------
// Dates. A date-time is a number of days since 1899-12-30; the fraction is the time of day. Before that day
// the whole part counts the days back and the fraction still counts forward from midnight (so -1.25 is
// 1899-12-29 06:00).
using TDateTime = double;

TDateTime tiNow();
// The local date-time of a moment given in milliseconds since 1970-01-01 00:00 UTC (a file's modification
// time, for instance).
TDateTime tiUnixMSecsToDateTime(int64_t ms);
// Invalid parts raise EConvertError naming them.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec);
// Rounded to the millisecond. A value outside the years 1 to 9999 (or NaN) raises EConvertError.
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
void DecodeDateTime(TDateTime dt, int& year, int& month, int& day, int& hour, int& min, int& sec, int& msec);

// "dd/mm/yyyy hh:mm:ss:zzz" (23 characters).
std::string tiDateTimeAsXMLString(TDateTime dt);
// Reads the layout above by position: day, month and year must be numbers, hours, minutes, seconds and
// milliseconds default to 0. Empty text gives 0. Unreadable text raises EConvertError.
TDateTime tiXMLStringToDateTime(const std::string& text);
// "yyyy-mm-dd hh:mm:ss"; the zero date shows as "0000-00-00".
std::string tiDateTimeToStr(TDateTime dt);

// ---------------------------------------------------------------------------------------------------------
// Variant type codes (as the variant's VarType reports them).
using TVarType = uint16_t;
constexpr TVarType varTypeMask = 0x0FFF;
constexpr TVarType varArray = 0x2000;
constexpr TVarType varByRef = 0x4000;
// True when the variant's type code equals `varType`, or `varType` is one of the flag bits (varArray,
// varByRef) and the variant's type carries it.
bool tiIsVariantOfType(TVarType variantType, TVarType varType);

// ---------------------------------------------------------------------------------------------------------
// System

// A new GUID in the registry text form: braces and upper-case hex, 38 characters
// ("{8-4-4-4-12}"). Starts COM for the calling thread first.
std::string tiCreateGUIDString();
// The same GUID text without braces, 36 characters: the form identifiers take in every store.
std::string tiCreateGUIDText();
// Milliseconds of a monotonic clock (64 bits: it never wraps).
uint64_t tiGetTickCount();
// The kernel's id of the calling thread.
int64_t tiGetCurrentThreadID();

// ---------------------------------------------------------------------------------------------------------
// Containers and streams

struct TtiIntegerListItem {
  int64_t AnInteger = 0;
};

class TtiIntegerList {
public:
  virtual ~TtiIntegerList() = default;
  virtual const char* ClassName() const { return "TtiIntegerList"; }
  void Add(int64_t value);
  int IndexOf(int64_t value) const;  // -1 when absent
  // Removes the first occurrence; an absent value raises Exception
  // "Attempt to remove an integer from %s that does not exist: "%d"".
  void Remove(int64_t value);
  int Count() const { return static_cast<int>(items_.size()); }
  // Out of range raises Exception "List index out of bounds (%d)".
  const TtiIntegerListItem& Items(int index) const;
  void Clear() { items_.clear(); }

private:
  std::vector<TtiIntegerListItem> items_;
};

// An append-only text buffer that reserves its memory up front and grows in fixed steps, so writing a large
// document does not reallocate on every line.
class TtiPreSizedStream {
public:
  TtiPreSizedStream(int64_t initialSize, int64_t growBy);
  void Write(std::string_view text);
  void WriteLn(const std::string& text = "");  // text + CR LF
  // Exactly the bytes written.
  const std::string& AsString() const { return buffer_; }
  int64_t Size() const { return static_cast<int64_t>(buffer_.size()); }
  int64_t AllocatedSize() const { return allocated_; }

private:
  // Memory is reserved, not filled: a writer that stays small touches only what it writes.
  std::string buffer_;
  int64_t allocated_;
  int64_t growBy_;
};

// ---------------------------------------------------------------------------------------------------------
// MIME base64 (RFC 2045 alphabet, "=" filling the last group, no line breaks).

std::string MimeEncodeString(const std::string& s);
// Characters outside the alphabet are skipped.
std::string MimeDecodeString(const std::string& s);
// Encodes from the input's current position to its end.
void MimeEncodeStream(std::istream& in, std::ostream& out);
void MimeDecodeStream(std::istream& in, std::ostream& out);

// ---------------------------------------------------------------------------------------------------------
// Taking back a half-done step

// Runs `undo` when the scope ends before Done was called: a step that failed part way (a slot taken, a file
// locked, a temporary file written) is taken back on every way out, without a catch-and-rethrow. `undo` must
// not throw.
template <class Undo>
class TtiUndoUnlessDone {
public:
  explicit TtiUndoUnlessDone(Undo undo) : undo_(std::move(undo)) {}
  ~TtiUndoUnlessDone() {
    if (!done_) undo_();
  }
  TtiUndoUnlessDone(const TtiUndoUnlessDone&) = delete;
  TtiUndoUnlessDone& operator=(const TtiUndoUnlessDone&) = delete;
  void Done() noexcept { done_ = true; }

private:
  Undo undo_;
  bool done_ = false;
};

// ---------------------------------------------------------------------------------------------------------
// COM start-up per thread. Linux has no COM; the bookkeeping remains so "started once per thread" holds.

class TtiCoInitializeManager {
public:
  // When the calling thread is not yet listed: start COM and list it.
  void CoInitialize();
  // When the calling thread is listed: stop COM and remove it.
  void CoUnInitialize();
  bool IsInitialized(int64_t threadID) const;
  // How often COM was actually started (for checking "once per thread").
  int InitializeCount() const;

private:
  mutable std::mutex mutex_;
  TtiIntegerList threadIDs_;
  int initializeCount_ = 0;
};

TtiCoInitializeManager& tiCoInitializeManager();
void tiCoInitialize();    // for the calling thread
void tiCoUnInitialize();  // for the calling thread

}  // namespace kelvado
