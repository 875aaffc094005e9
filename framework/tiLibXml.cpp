#include "framework/tiLibXml.h"

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "framework/tiExcept.h"

namespace kelvado {

namespace {

// What the parser's callbacks note while one text is read. The callbacks get only the parser context, and a
// parse runs on one thread from start to end, so the note of the running parse is found per thread.
struct TParseNotes {
  bool HaveError = false;
  bool OutOfMemory = false;  // libxml2 reported it: the text may be fine
  bool DoctypeRefused = false;
  bool HaveRoot = false;
  TtiXMLParseError Error;
  int RootLine = 0;
  int RootColumn = 0;
};
thread_local TParseNotes* tNotes = nullptr;

// The notes of the parse running on this thread, put back to the outer parse's when this one ends.
class TNotesScope {
public:
  explicit TNotesScope(TParseNotes& notes) : outer_(tNotes) { tNotes = &notes; }
  ~TNotesScope() { tNotes = outer_; }
  TNotesScope(const TNotesScope&) = delete;
  TNotesScope& operator=(const TNotesScope&) = delete;

private:
  TParseNotes* const outer_;
};

// libxml2's error handler of this thread for one call, the outer one put back however the call ends. Errors
// libxml2 reports without a parser context (input and output) come only through this handler.
class TErrorHandlerScope {
public:
  TErrorHandlerScope(void* context, xmlStructuredErrorFunc handler)
      : outerHandler_(xmlStructuredError), outerContext_(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(context, handler);
  }
  ~TErrorHandlerScope() { xmlSetStructuredErrorFunc(outerContext_, outerHandler_); }
  TErrorHandlerScope(const TErrorHandlerScope&) = delete;
  TErrorHandlerScope& operator=(const TErrorHandlerScope&) = delete;

private:
  const xmlStructuredErrorFunc outerHandler_;
  void* const outerContext_;
};

struct TParserFree {
  void operator()(xmlParserCtxt* ctxt) const noexcept { xmlFreeParserCtxt(ctxt); }
};
using TParserPtr = std::unique_ptr<xmlParserCtxt, TParserFree>;

struct TBufferFree {
  void operator()(xmlBuffer* buf) const noexcept { xmlBufferFree(buf); }
};

struct TCharsFree {
  void operator()(xmlChar* s) const noexcept { xmlFree(s); }
};

// A file opened for reading, closed when it goes.
class TReadFile {
public:
  explicit TReadFile(int fd) : fd_(fd) {}
  ~TReadFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  TReadFile(const TReadFile&) = delete;
  TReadFile& operator=(const TReadFile&) = delete;
  int Fd() const { return fd_; }

private:
  const int fd_;
};

void InitLibXml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

bool IsContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

// Characters (not bytes) in [from, to).
int CharCount(const xmlChar* from, const xmlChar* to) {
  int n = 0;
  for (const xmlChar* p = from; p < to; ++p)
    if (!IsContinuationByte(*p)) ++n;
  return n;
}

// A piece of a source line for a message: about 80 characters around the column (counted in characters, from
// 1), printable text only (a TAB as a blank, anything a document cannot hold as "?").
std::string Excerpt(std::string_view line, int column) {
  size_t from = 0;
  for (int skip = column - 41; skip > 0 && from < line.size(); --skip) {
    ++from;
    while (from < line.size() && IsContinuationByte(static_cast<unsigned char>(line[from]))) ++from;
  }
  std::string out;
  int chars = 0;
  for (size_t i = from; i < line.size() && chars < 80; ++chars) {
    const auto c = static_cast<unsigned char>(line[i]);
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (c == '\t') {
      out += ' ';
      i += 1;
    } else if (i + len <= line.size() && tiXMLInvalidCharPos(line.substr(i, len)) == std::string_view::npos) {
      out.append(line, i, len);
      i += len;
    } else {
      out += '?';
      i += 1;
    }
  }
  return out;
}

// Line `line` (from 1) of a source read in chunks by `read` (0 at the end), from its character `from` (from 1)
// on, at most 4096 bytes of it. Taken after the parse from the source itself: inside libxml2's error callbacks
// its input buffer may be in the middle of being moved.
template <class Read>
std::string SourceLine(Read read, int line, int from = 1) {
  std::string out;
  if (line < 1) return out;
  int current = 1;
  int chars = 0;  // of the line, up to the current byte
  char buf[65536];
  for (size_t n; (n = read(buf, sizeof buf)) > 0;) {
    for (size_t i = 0; i < n; ++i) {
      if (buf[i] == '\n' || buf[i] == '\r') {
        // CR LF and lone CR end a line as LF does.
        if (buf[i] == '\r' && i + 1 < n && buf[i + 1] == '\n') ++i;
        if (current == line) return out;
        ++current;
      } else if (current == line) {
        if (!IsContinuationByte(static_cast<unsigned char>(buf[i]))) ++chars;
        if (chars >= from && out.size() < 4096) out += buf[i];
      }
    }
  }
  return out;
}

// Walks the characters of a source read in chunks by `read` (0 at the end), byte `pos` from 0, with the line
// and the column of the character (from 1, counted in characters: a UTF-8 continuation byte has the column of
// its lead byte); CR LF and a lone CR end a line as LF does. `visit(pos, line, column, byte)` is called for
// every byte but line ends and returns false to stop. Gives the number of lines and the characters of the last.
template <class Read, class Visit>
std::pair<int, int64_t> WalkChars(Read read, Visit visit) {
  int line = 1;
  int64_t column = 0, pos = 0;
  char buf[65536];
  unsigned char previous = 0;
  for (size_t n; (n = read(buf, sizeof buf)) > 0;) {
    for (size_t i = 0; i < n; ++i, ++pos) {
      const auto c = static_cast<unsigned char>(buf[i]);
      const bool crlf = c == '\n' && previous == '\r';
      previous = c;
      if (crlf) continue;
      if (c == '\n' || c == '\r') {
        ++line;
        column = 0;
        continue;
      }
      if (!IsContinuationByte(c)) ++column;
      if (!visit(pos, line, column, c)) return {line, column};
    }
  }
  return {line, column};
}

// Whether a place (line and column from 1, the column in characters) lies after the last character of the
// text read by `read`: where a parser stops on a text that ends too early.
template <class Read>
bool PastTheEnd(Read read, int line, int column) {
  if (line <= 0 || column <= 0) return false;
  const auto [lines, chars] = WalkChars(read, [](int64_t, int, int64_t, unsigned char) { return true; });
  return line > lines || (line == lines && column > chars);
}

// The excerpt of the source around a place (line and column from 1), also far into a long line.
template <class Source>
std::string ContextAt(Source source, int line, int column) {
  const int from = std::max(1, column - 40);
  return Excerpt(SourceLine(source(), line, from), column - from + 1);
}

void NoteError(void* /*userData*/, xmlErrorPtr error) {
  if (tNotes && error && error->code == XML_ERR_NO_MEMORY) tNotes->OutOfMemory = true;
  if (!tNotes || !error || error->level < XML_ERR_ERROR || tNotes->HaveError) return;
  tNotes->HaveError = true;
  std::string reason = error->message ? error->message : "unknown error";
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
  tNotes->Error.Reason = reason;
  tNotes->Error.Line = error->line;
  tNotes->Error.Column = error->int2;
  tNotes->Error.Code = error->code;
  switch (error->code) {
    case XML_ERR_TAG_NAME_MISMATCH:
      tNotes->Error.Fault = TtiXMLFault::TagMismatch;
      tNotes->Error.OpenTag = error->str1 ? error->str1 : "";
      tNotes->Error.EndTag = error->str2 ? error->str2 : "";
      break;
    case XML_ERR_INVALID_HEX_CHARREF:
    case XML_ERR_INVALID_DEC_CHARREF:
    case XML_ERR_INVALID_CHARREF:
    case XML_ERR_INVALID_CHAR:
    case XML_ERR_INVALID_ENCODING:
      tNotes->Error.Fault = TtiXMLFault::InvalidCharacter;
      break;
    case XML_ERR_DOCUMENT_EMPTY:
      tNotes->Error.Fault = TtiXMLFault::NotXML;
      break;
    default:
      break;
  }
}

// Line and column (from 1, the column in characters) of the last "<" before byte `end` of a source read in
// chunks by `read`: the start of the tag the parser had just read there.
template <class Read>
void PlaceTagBefore(Read read, long end, int& line, int& column) {
  int64_t tagLine = 0, tagCol = 0;
  WalkChars(read, [&](int64_t pos, int lineNow, int64_t col, unsigned char c) {
    if (pos >= end) return false;
    if (c == '<') {
      tagLine = lineNow;
      tagCol = col;
    }
    return true;
  });
  if (tagLine > 0) {
    line = static_cast<int>(tagLine);
    column = static_cast<int>(tagCol);
  }
}

// Looks for a start tag with more attributes than tiXMLMaxAttributes in the raw text, before libxml2 sees it:
// libxml2 2.9 checks every attribute of an element against all the ones before it, so one element with 50,000
// attributes (a file of 500 kB) keeps it busy for 20 s, and a larger one for hours. Attribute syntax is all
// ASCII, so the scan works on the code units of the text (bytes, or 16- or 32-bit units when the text starts
// as UTF-16 or UCS-4 does); a multi-byte character never holds one of the bytes it looks for.
class TAttributeFloodScan {
public:
  // The place of the '<' of the first such tag (column in code units), line 0 when there is none. Feed the
  // text from its start.
  int Line = 0;
  int Column = 0;

  void Feed(const unsigned char* data, size_t size) {
    size_t i = 0;
    while (width_ == 0 && i < size) {
      head_[headSize_++] = data[i++];
      if (headSize_ == 4) StartUnits();
    }
    if (width_ == 1) FeedBytes(data + i, size - i);
    else if (width_ > 1) FeedUnits(data + i, size - i);
  }
  // After the last Feed (a text shorter than four bytes is scanned only now).
  void Finish() {
    if (width_ == 0 && headSize_ > 0) StartUnits();
  }

private:
  enum State { Text, Lt, Bang, Comment, CData, Decl, PI, EndTag, Tag, Quote };

  void StartUnits() {
    const unsigned char* h = head_;
    const size_t n = headSize_;
    auto is = [&](std::initializer_list<unsigned char> b) {
      return n >= b.size() && std::equal(b.begin(), b.end(), h);
    };
    if (is({0x00, 0x00, 0xFE, 0xFF}) || is({0x00, 0x00, 0x00, 0x3C})) width_ = 4, bigEndian_ = true;
    else if (is({0xFF, 0xFE, 0x00, 0x00}) || is({0x3C, 0x00, 0x00, 0x00})) width_ = 4, bigEndian_ = false;
    else if (is({0xFE, 0xFF}) || is({0x00, 0x3C, 0x00, 0x3F})) width_ = 2, bigEndian_ = true;
    else if (is({0xFF, 0xFE}) || is({0x3C, 0x00, 0x3F, 0x00})) width_ = 2, bigEndian_ = false;
    else width_ = 1;
    headSize_ = 0;
    Feed(h, n);
  }

  // Bytes: text and quoted values, nearly all of a file, are skipped with memchr.
  void FeedBytes(const unsigned char* data, size_t size) {
    size_t i = 0;
    while (i < size && Line == 0) {
      if (state_ == Text || state_ == Quote) {
        const auto* hit = static_cast<const unsigned char*>(std::memchr(data + i, state_ == Text ? '<' : int(quote_),
                                                                        size - i));
        const size_t end = hit ? static_cast<size_t>(hit - data) : size;
        Skip(data + i, end - i);
        i = end;
        if (!hit) break;
      } else if (state_ == Tag) {
        // Names and blanks up to the next quote, "=", ">" or line break.
        size_t end = i;
        while (end < size && !IsTagStop(data[end])) ++end;
        Skip(data + i, end - i);
        i = end;
        if (end == size) break;
      }
      Unit(data[i++]);
    }
  }

  void FeedUnits(const unsigned char* data, size_t size) {
    for (size_t i = 0; i < size && Line == 0; ++i) {
      unit_ |= static_cast<uint32_t>(data[i]) << (bigEndian_ ? 8 * (width_ - 1 - filled_) : 8 * filled_);
      if (++filled_ < width_) continue;
      Unit(unit_);
      unit_ = 0;
      filled_ = 0;
    }
  }

  static bool IsTagStop(unsigned char c) { return c == '"' || c == '\'' || c == '=' || c == '>' || c == '\n'; }

  // Units that change no state (text, a quoted value, names and blanks in a tag).
  void Skip(const unsigned char* from, size_t n) {
    if (n == 0) return;
    const auto* nl = static_cast<const unsigned char*>(memrchr(from, '\n', n));
    if (nl) {
      line_ += static_cast<int>(std::count(from, nl + 1, '\n'));
      lineStart_ = pos_ + static_cast<int64_t>(nl - from) + 1;
    }
    pos_ += static_cast<int64_t>(n);
    prev2_ = n > 1 ? from[n - 2] : prev_;
    prev_ = from[n - 1];
  }

  void Unit(uint32_t c) {
    switch (state_) {
      case Text:
        if (c == '<') {
          state_ = Lt;
          tagLine_ = line_;
          tagColumn_ = static_cast<int>(pos_ - lineStart_) + 1;
        }
        break;
      case Lt:
        state_ = c == '!' ? Bang : c == '?' ? PI : c == '/' ? EndTag : Tag;
        attributes_ = 0;
        break;
      case Bang: state_ = c == '-' ? Comment : c == '[' ? CData : Decl; break;
      case Comment:
        if (c == '>' && prev_ == '-' && prev2_ == '-') state_ = Text;
        break;
      case CData:
        if (c == '>' && prev_ == ']' && prev2_ == ']') state_ = Text;
        break;
      case PI:
        if (c == '>' && prev_ == '?') state_ = Text;
        break;
      case Decl:
      case EndTag:
        if (c == '>') state_ = Text;
        break;
      case Tag:
        if (c == '"' || c == '\'') {
          quote_ = c;
          state_ = Quote;
        } else if (c == '=' && ++attributes_ > tiXMLMaxAttributes) {
          Line = tagLine_;
          Column = tagColumn_;
        } else if (c == '>') {
          state_ = Text;
        }
        break;
      case Quote:
        if (c == quote_) state_ = Tag;
        break;
    }
    if (c == '\n') {
      ++line_;
      lineStart_ = pos_ + 1;
    }
    ++pos_;
    prev2_ = prev_;
    prev_ = c;
  }

  unsigned char head_[4] = {};
  size_t headSize_ = 0;
  int width_ = 0;
  bool bigEndian_ = false;
  uint32_t unit_ = 0;
  int filled_ = 0;
  State state_ = Text;
  uint32_t quote_ = 0, prev_ = 0, prev2_ = 0;
  int attributes_ = 0;
  int64_t pos_ = 0, lineStart_ = 0;
  int line_ = 1, tagLine_ = 0, tagColumn_ = 0;
};

template <class Read>
TAttributeFloodScan ScanForAttributeFlood(Read read) {
  TAttributeFloodScan scan;
  char buf[65536];
  for (size_t n; scan.Line == 0 && (n = read(buf, sizeof buf)) > 0;)
    scan.Feed(reinterpret_cast<const unsigned char*>(buf), n);
  scan.Finish();
  return scan;
}

// Called as soon as "<!DOCTYPE name" has been read, before any declaration of the internal subset: stop here,
// so that no entity is declared, let alone expanded.
void RefuseDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  if (tNotes && !tNotes->DoctypeRefused) {
    tNotes->DoctypeRefused = true;
    tNotes->Error.Reason = "a DOCTYPE declaration is not allowed";
    tNotes->Error.Line = ctxt->input ? ctxt->input->line : 0;
    tNotes->Error.Column = ctxt->input ? ctxt->input->col : 0;
  }
  xmlStopParser(ctxt);
}

// Notes where the root element's start tag begins, then builds the element as libxml2 does. When called, the
// parser stands at the end of the start tag; the tag's "<" is the last one before (attribute values cannot
// hold a raw "<").
void NoteRoot(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri, int nbNamespaces,
              const xmlChar** namespaces, int nbAttributes, int nbDefaulted, const xmlChar** attributes) {
  auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  if (tNotes && !tNotes->HaveRoot && ctxt->nodeNr == 0 && ctxt->input) {
    tNotes->HaveRoot = true;
    xmlParserInputPtr in = ctxt->input;
    tNotes->RootLine = in->line;
    tNotes->RootColumn = in->col;
    if (in->base && in->cur && in->cur >= in->base) {
      const xmlChar* lt = in->cur;
      while (lt > in->base && *lt != '<') --lt;
      if (*lt == '<') {
        int breaks = 0;
        for (const xmlChar* p = lt; p < in->cur; ++p)
          if (*p == '\n') ++breaks;
        if (breaks == 0) {
          tNotes->RootColumn = in->col - CharCount(lt, in->cur);
        } else {
          const xmlChar* nl = lt;
          while (nl > in->base && nl[-1] != '\n') --nl;
          tNotes->RootLine = in->line - breaks;
          tNotes->RootColumn = (nl > in->base || in->base[0] != '\n') ? CharCount(nl, lt) + 1 : 0;
        }
      }
    }
  }
  xmlSAX2StartElementNs(ctx, localname, prefix, uri, nbNamespaces, namespaces, nbAttributes, nbDefaulted,
                        attributes);
}

// What a read with an element taker keeps while the document is built (per thread, as the notes above).
struct TTakeState {
  TtiXMLElementTaker* Taker = nullptr;
  struct TOpen {
    bool OnPath = false;     // its local names from the root begin the taker's path
    bool Takes = false;      // its children of the path's last name are taken
    bool Taken = false;      // taken itself, not built
    bool SawTakers = false;  // a child of the name before the last was seen: only the first takes
  };
  std::vector<TOpen> Open;
  bool Irregular = false;  // something else stood among the elements taken: the whole document is built
  std::exception_ptr Failure;  // of the taker (a callback of libxml2 must not throw)
  std::vector<TtiXMLElementTaker::TAttr> Attrs;
  std::vector<std::string> Values;  // values whose references were resolved here
  // libxml2's own handlers of what is not taken.
  charactersSAXFunc Characters = nullptr;
  ignorableWhitespaceSAXFunc Whitespace = nullptr;
  cdataBlockSAXFunc CData = nullptr;
  commentSAXFunc Comment = nullptr;
  processingInstructionSAXFunc PI = nullptr;
  referenceSAXFunc Reference = nullptr;
};
thread_local TTakeState* tTake = nullptr;

bool Named(const xmlChar* localname, const std::string& name) {
  return std::strcmp(tiXMLChars(localname), name.c_str()) == 0;
}

// Where elements are taken (or inside one taken): anything but an element to take found here makes the whole
// document be built instead.
bool InTakingPlace() {
  return tTake && !tTake->Open.empty() && (tTake->Open.back().Takes || tTake->Open.back().Taken);
}

void StopTaking(void* ctx) {
  tTake->Irregular = true;
  xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

// A value as the parser hands it to SAX: it resolved the references but "&" itself, which comes as "&#38;"
// (the document's own builder resolves that in turn). False for a reference that is not one of those.
bool ResolveAmpersands(std::string_view raw, std::string& out) {
  out.clear();
  for (size_t i = 0; i < raw.size();) {
    if (raw[i] != '&') {
      out += raw[i++];
    } else if (raw.compare(i, 5, "&#38;") == 0) {
      out += '&';
      i += 5;
    } else {
      return false;
    }
  }
  return true;
}

void TakeStart(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri, int nbNamespaces,
               const xmlChar** namespaces, int nbAttributes, int nbDefaulted, const xmlChar** attributes) {
  auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  TTakeState& s = *tTake;
  const std::vector<std::string>& path = s.Taker->Path();
  const size_t depth = s.Open.size();  // of this element; the root's is 0
  if (InTakingPlace()) {
    if (s.Open.back().Taken || prefix || nbNamespaces > 0 || !Named(localname, path.back())) {
      StopTaking(ctx);
      return;
    }
    try {
      s.Attrs.resize(static_cast<size_t>(nbAttributes));
      s.Values.resize(static_cast<size_t>(nbAttributes));
      for (int i = 0; i < nbAttributes; ++i) {
        const xmlChar* const* a = attributes + 5 * i;  // name, prefix, namespace, value, end of the value
        std::string_view value(tiXMLChars(a[3]), static_cast<size_t>(a[4] - a[3]));
        if (value.find('&') != std::string_view::npos) {
          if (!ResolveAmpersands(value, s.Values[static_cast<size_t>(i)])) {
            StopTaking(ctx);
            return;
          }
          value = s.Values[static_cast<size_t>(i)];
        }
        s.Attrs[static_cast<size_t>(i)] = {tiXMLChars(a[0]), a[1] ? tiXMLChars(a[1]) : "", value};
      }
      s.Taker->Take(ctxt->node, ctxt->input ? ctxt->input->line : 0, s.Attrs);
      s.Open.push_back({false, false, true, false});
    } catch (...) {
      s.Failure = std::current_exception();
      xmlStopParser(ctxt);
    }
    return;
  }
  NoteRoot(ctx, localname, prefix, uri, nbNamespaces, namespaces, nbAttributes, nbDefaulted, attributes);
  TTakeState::TOpen open;
  // The places are told by local names, as the XML store finds its tables and rows.
  open.OnPath = (depth == 0 || s.Open.back().OnPath) && depth + 1 < path.size() && Named(localname, path[depth]);
  if (open.OnPath && depth + 2 == path.size()) {
    open.Takes = depth == 0 || !s.Open.back().SawTakers;
    if (depth > 0) s.Open.back().SawTakers = true;
  }
  try {
    s.Open.push_back(open);
  } catch (...) {
    s.Failure = std::current_exception();
    xmlStopParser(ctxt);
  }
}

void TakeEnd(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri) {
  TTakeState& s = *tTake;
  if (!s.Open.empty()) {
    const bool taken = s.Open.back().Taken;
    s.Open.pop_back();
    if (taken) return;
  }
  xmlSAX2EndElementNs(ctx, localname, prefix, uri);
}

void TakeCharacters(void* ctx, const xmlChar* ch, int len) {
  if (InTakingPlace()) StopTaking(ctx);
  else tTake->Characters(ctx, ch, len);
}
void TakeWhitespace(void* ctx, const xmlChar* ch, int len) {
  if (InTakingPlace()) StopTaking(ctx);
  else tTake->Whitespace(ctx, ch, len);
}
void TakeCData(void* ctx, const xmlChar* value, int len) {
  if (InTakingPlace()) StopTaking(ctx);
  else tTake->CData(ctx, value, len);
}
void TakeComment(void* ctx, const xmlChar* value) {
  if (InTakingPlace()) StopTaking(ctx);
  else tTake->Comment(ctx, value);
}
void TakePI(void* ctx, const xmlChar* target, const xmlChar* data) {
  if (InTakingPlace()) StopTaking(ctx);
  else tTake->PI(ctx, target, data);
}
void TakeReference(void* ctx, const xmlChar* name) {
  if (InTakingPlace()) StopTaking(ctx);
  else tTake->Reference(ctx, name);
}

// A parser context with the safe set-up; with `take`, its elements are handed to take's taker.
TParserPtr NewSafeParser(TTakeState* take = nullptr) {
  InitLibXml();
  TParserPtr ctxt(xmlNewParserCtxt());
  if (!ctxt) throw std::bad_alloc();
  xmlSAXHandler& sax = *ctxt->sax;
  sax.internalSubset = RefuseDoctype;
  sax.serror = NoteError;
  sax.startElementNs = NoteRoot;
  if (take) {
    take->Characters = sax.characters;
    take->Whitespace = sax.ignorableWhitespace;
    take->CData = sax.cdataBlock;
    take->Comment = sax.comment;
    take->PI = sax.processingInstruction;
    take->Reference = sax.reference;
    sax.startElementNs = TakeStart;
    sax.endElementNs = TakeEnd;
    sax.characters = TakeCharacters;
    sax.ignorableWhitespace = TakeWhitespace;
    sax.cdataBlock = TakeCData;
    sax.comment = TakeComment;
    sax.processingInstruction = TakePI;
    sax.reference = TakeReference;
  }
  return ctxt;
}

int SafeOptions(int extraOptions) { return XML_PARSE_NONET | (extraOptions & tiXMLParseOptionsAllowed); }

// The refusal of a text with an element of too many attributes; no reason when there is none.
template <class Source>
TtiXMLParseResult RefuseAttributeFlood(Source source) {
  TtiXMLParseResult r;
  const TAttributeFloodScan flood = ScanForAttributeFlood(source());
  if (flood.Line) {
    r.Error.Reason = "an element has more than " + std::to_string(tiXMLMaxAttributes) + " attributes";
    r.Error.Line = flood.Line;
    r.Error.Column = flood.Column;
    r.Error.Context = ContextAt(source, flood.Line, flood.Column);
  }
  return r;
}

// The result of a text the parser refused, from what its callbacks noted and where it stopped.
template <class Source>
TtiXMLParseResult ParseRefusal(const TParseNotes& notes, int line, int col, Source source) {
  TtiXMLParseResult result;
  result.Error = notes.Error;
  if (!notes.DoctypeRefused && !notes.HaveError) {
    result.Error.Reason = "the text is not a well-formed XML document";
    result.Error.Line = line;
    result.Error.Column = col;
  }
  result.Error.Context = ContextAt(source, result.Error.Line, result.Error.Column);
  // Whatever the parser made of it, a fault past the last character means the text stops too early.
  if (!notes.DoctypeRefused && PastTheEnd(source(), result.Error.Line, result.Error.Column))
    result.Error.Fault = TtiXMLFault::UnexpectedEnd;
  return result;
}

// Runs `read` (which parses with the context) and turns what happened into a result; `source` reads the text
// again from its start, for the line an error names.
// `read` may be called twice (it reads the text from its start each time): once with the taker, and again
// without it when the elements to take were not alone.
template <class Read, class Source>
TtiXMLParseResult Parse(Read read, Source source, std::unique_ptr<TtiXMLElementTaker> taker = nullptr) {
  if (TtiXMLParseResult flood = RefuseAttributeFlood(source); !flood.Error.Reason.empty()) return flood;
  TParseNotes notes;
  TtiXMLDocPtr doc;
  bool wellFormed = false;
  int line = 0;
  int col = 0;
  for (bool taking = taker != nullptr;; taking = false) {
    notes = TParseNotes();
    TTakeState take;
    take.Taker = taker.get();
    {
      const TNotesScope notesScope(notes);
      struct TTakeScope {
        explicit TTakeScope(TTakeState* t) { tTake = t; }
        ~TTakeScope() { tTake = nullptr; }
      } takeScope(taking ? &take : nullptr);
      const TErrorHandlerScope handlerScope(nullptr, NoteError);
      const TParserPtr ctxt = NewSafeParser(taking ? &take : nullptr);
      doc.reset(read(ctxt.get()));
      wellFormed = ctxt->wellFormed != 0;
      line = ctxt->input ? ctxt->input->line : 0;
      col = ctxt->input ? ctxt->input->col : 0;
    }
    if (take.Failure) std::rethrow_exception(take.Failure);
    if (notes.OutOfMemory) throw std::bad_alloc();
    if (!take.Irregular) break;
    doc.reset();
    taker->Clear();
  }

  if (notes.DoctypeRefused || !doc || !wellFormed || !xmlDocGetRootElement(doc.get())) {
    doc.reset();
    return ParseRefusal(notes, line, col, source);
  }
  TtiXMLParseResult result;
  result.Doc = std::move(doc);
  result.Taken = std::move(taker);
  result.RootLine = notes.RootLine;
  result.RootColumn = notes.RootColumn;
  return result;
}

TtiXMLParseResult FileError(const std::string& reason) {
  TtiXMLParseResult r;
  r.Error.Reason = reason;
  return r;
}

// Output callbacks of libxml2 are C: a failure of the sink is kept here and raised once libxml2 has returned.
struct TWriteState {
  const TtiByteSink* Sink = nullptr;
  std::exception_ptr Failure;
  std::string LibXmlError;  // what libxml2 reported, instead of printing it
};

void NoteWriteError(void* context, xmlErrorPtr error) {
  auto* st = static_cast<TWriteState*>(context);
  if (st->LibXmlError.empty() && error && error->message) st->LibXmlError = error->message;
  while (!st->LibXmlError.empty() && st->LibXmlError.back() == '\n') st->LibXmlError.pop_back();
}

int WriteToSink(void* context, const char* buffer, int len) {
  auto* st = static_cast<TWriteState*>(context);
  if (st->Failure) return -1;
  try {
    (*st->Sink)(buffer, static_cast<size_t>(len));
  } catch (...) {
    st->Failure = std::current_exception();
    return -1;
  }
  return len;
}

int CloseSink(void*) { return 0; }

}  // namespace

void TtiXMLDocFree::operator()(xmlDoc* doc) const noexcept {
  if (doc) xmlFreeDoc(doc);
}

void TtiXMLNodeFree::operator()(xmlNode* node) const noexcept {
  if (node) xmlFreeNode(node);
}

namespace {

// libxml2 (without XML_PARSE_HUGE) refuses a text once 10 MB it has read lie behind it unreleased, and it
// releases them only where fewer than 500 bytes it has read lie ahead. Handed the usual 4 kB at a time, rows of
// large texts one after the other keep more than that ahead at every chance, until a file the program wrote (a
// dozen texts of 1 MB) is refused as "Huge input lookup". So a long text (a piece without an element's end) and
// what follows it are handed over in small pieces: where its element ends, little is ahead and the text behind
// is released. A single element larger than the limit stays refused (the store refuses to write one).
template <class Reader>
class TPacedReader {
public:
  explicit TPacedReader(Reader read) : read_(std::move(read)) {}
  size_t operator()(char* buf, size_t size) {
    if (sinceLongText_ < kSettle) size = std::min(size, kPiece);
    const size_t n = read_(buf, size);
    if (n > 0 && !std::memchr(buf, '>', n)) sinceLongText_ = 0;
    else sinceLongText_ += n;
    return n;
  }

private:
  static constexpr size_t kPiece = 200;    // with libxml2's 250 kept ahead, under its 500
  static constexpr size_t kSettle = 8192;  // read in pieces after a long text
  Reader read_;
  size_t sinceLongText_ = kSettle;
};

template <class Reader>
int PacedChunk(void* context, char* buffer, int len) {
  if (len <= 0) return 0;
  return static_cast<int>((*static_cast<TPacedReader<Reader>*>(context))(buffer, static_cast<size_t>(len)));
}

// Opens the file for reading only and hands it to `use` (with the file's reader for Parse); a file that cannot
// be opened, is no regular file or is larger than `maxBytes` gives a result with the error. The result notes
// which file it was read from.
template <class Use>
TtiXMLParseResult WithFile(const std::string& fileName, int64_t maxBytes, Use use) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer before it could be refused.
  const TReadFile file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  const int fd = file.Fd();
  if (fd < 0) return FileError(std::string("can not open the file: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return FileError("not a regular file");
  if (st.st_size > maxBytes)
    return FileError("the file is too large to be read: " + std::to_string(st.st_size) + " bytes, at most " +
                     std::to_string(maxBytes));
  // Reads the file from its start, whatever the parser's position.
  const auto source = [fd] {
    off_t pos = 0;
    return [fd, pos](char* buf, size_t size) mutable -> size_t {
      const ssize_t n = ::pread(fd, buf, size, pos);
      if (n <= 0) return 0;
      pos += n;
      return static_cast<size_t>(n);
    };
  };
  TtiXMLParseResult r = use(fd, source);
  r.File = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
            st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
  return r;
}

}  // namespace

namespace {
// The file read by `source` from its start, paced (the checks before read it too; a read with an element taker
// may read it twice).
template <class Source>
xmlDocPtr ReadFile(xmlParserCtxtPtr ctxt, Source source, const std::string& fileName, int extraOptions) {
  using TReader = decltype(source());
  TPacedReader<TReader> reader(source());
  return xmlCtxtReadIO(ctxt, PacedChunk<TReader>, nullptr, &reader, fileName.c_str(), nullptr,
                       SafeOptions(extraOptions));
}
}  // namespace

TtiXMLParseResult tiXMLParseFile(const std::string& fileName, int extraOptions, int64_t maxBytes,
                                 std::unique_ptr<TtiXMLElementTaker> taker) {
  return WithFile(fileName, maxBytes, [&](int, auto source) {
    return Parse([&](xmlParserCtxtPtr ctxt) { return ReadFile(ctxt, source, fileName, extraOptions); }, source,
                 std::move(taker));
  });
}

TtiXMLParseResult tiXMLParseMemory(std::string_view text, const std::string& url, int extraOptions) {
  if (text.size() > static_cast<size_t>(INT32_MAX)) return FileError("the text is too large");
  return Parse(
      [&](xmlParserCtxtPtr ctxt) {
        return xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()),
                                 url.empty() ? nullptr : url.c_str(), nullptr, SafeOptions(extraOptions));
      },
      [&] {
        size_t pos = 0;
        return [text, pos](char* buf, size_t size) mutable -> size_t {
          const size_t n = std::min(size, text.size() - pos);
          std::memcpy(buf, text.data() + pos, n);
          pos += n;
          return n;
        };
      });
}

namespace {

// libxml2 writes the URI of a namespace declaration as it is: a "<" or "&" in it (read from "&lt;" or "&amp;")
// would come out raw and make the written file unreadable. Such a document is refused before a byte is written.
void CheckNamespacesWritable(xmlDoc* doc) {
  xmlNode* node = xmlDocGetRootElement(doc);
  while (node) {
    if (node->type == XML_ELEMENT_NODE)
      for (xmlNs* ns = node->nsDef; ns; ns = ns->next) {
        const std::string href = ns->href ? tiXMLChars(ns->href) : "";
        if (href.find_first_of("<&") != std::string::npos)
          throw Exception("The XML document can not be written: its namespace name <%s> (line %d) would make the "
                          "file unreadable",
                          {href, static_cast<int>(xmlGetLineNo(node))});
      }
    // Depth first without recursion: down, else along, else up and along.
    if (node->type == XML_ELEMENT_NODE && node->children) {
      node = node->children;
      continue;
    }
    while (node && !node->next) node = node->parent && node->parent->type == XML_ELEMENT_NODE ? node->parent : nullptr;
    if (node) node = node->next;
  }
}

}  // namespace

void tiXMLWriteDoc(xmlDoc* doc, const TtiByteSink& sink) {
  if (!doc) throw Exception("No XML document to write");
  InitLibXml();
  CheckNamespacesWritable(doc);
  static const char cDeclaration[] = "<?xml version=\"1.0\"?>\n";
  sink(cDeclaration, sizeof cDeclaration - 1);
  TWriteState state;
  state.Sink = &sink;
  // With its encoding set to UTF-8, libxml2 writes characters beyond ASCII as they are instead of as character
  // references; the text in memory is UTF-8 whatever the file it came from declared.
  const xmlChar* oldEncoding = doc->encoding;
  doc->encoding = tiXMLChars("UTF-8");
  long written = -1;
  int closed = -1;
  {
    const TErrorHandlerScope handlerScope(&state, NoteWriteError);
    // Closed at once: nothing in between throws (a failure of the sink is kept in `state`).
    if (xmlSaveCtxtPtr save = xmlSaveToIO(WriteToSink, CloseSink, &state, "UTF-8", XML_SAVE_NO_DECL)) {
      written = xmlSaveDoc(save, doc);
      closed = xmlSaveClose(save);
    }
  }
  doc->encoding = oldEncoding;
  if (state.Failure) std::rethrow_exception(state.Failure);
  if (written < 0 || closed < 0) throw Exception("libxml2 could not write the XML document: %s", {state.LibXmlError});
}

std::string tiXMLDocToString(xmlDoc* doc) {
  std::string out;
  tiXMLWriteDoc(doc, [&](const char* data, size_t size) { out.append(data, size); });
  return out;
}

void tiXMLSaveFile(xmlDoc* doc, const std::string& fileName) {
  tiWriteFileAtomically(fileName, [&](const TtiByteSink& sink) { tiXMLWriteDoc(doc, sink); });
}

std::string tiXMLNodeToString(xmlNode* node) {
  if (!node) return {};
  InitLibXml();
  const std::unique_ptr<xmlBuffer, TBufferFree> buf(xmlBufferCreate());
  if (!buf) return {};
  xmlNodeDump(buf.get(), node->doc, node, 0, 0);
  return std::string(tiXMLChars(xmlBufferContent(buf.get())), static_cast<size_t>(xmlBufferLength(buf.get())));
}

size_t tiXMLInvalidCharPos(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return i;
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return i;
    }
    if (i + len > s.size()) return i;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (!IsContinuationByte(b)) return i;
      cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates, code points beyond U+10FFFF and the two non-characters XML excludes.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
      return i;
    i += len;
  }
  return std::string_view::npos;
}

std::string tiXMLDescribeCharAt(std::string_view text, size_t pos) {
  if (pos >= text.size()) return {};
  char buf[32];
  const auto c = static_cast<unsigned char>(text[pos]);
  if (c < 0x80) std::snprintf(buf, sizeof buf, "U+%04X", c);
  else std::snprintf(buf, sizeof buf, "byte 0x%02X", c);
  return std::string(buf) + " at position " + std::to_string(pos + 1);
}

bool tiXMLIsValidName(std::string_view name) {
  if (name.empty() || name == "xmlns") return false;
  InitLibXml();
  const std::string s(name);
  return xmlValidateNCName(tiXMLChars(s.c_str()), 0) == 0;
}

std::string tiXMLAttrText(const xmlAttr* attr) {
  if (!attr || !attr->children) return {};
  const xmlNode* t = attr->children;
  if (!t->next && (t->type == XML_TEXT_NODE || t->type == XML_CDATA_SECTION_NODE))
    return t->content ? std::string(tiXMLChars(t->content)) : std::string();
  const std::unique_ptr<xmlChar, TCharsFree> s(xmlNodeListGetString(attr->doc, attr->children, 1));
  return s ? tiXMLChars(s.get()) : "";
}

// ---------------------------------------------------------------------------------------------------------
// XML Schema

namespace {

// libxml2's first error while it compiles a schema.
void NoteSchemaError(void* context, xmlErrorPtr error) {
  auto* first = static_cast<std::string*>(context);
  if (!first->empty() || !error || error->level < XML_ERR_ERROR) return;
  *first = error->message ? error->message : "unknown error";
  while (!first->empty() && (first->back() == '\n' || first->back() == ' ')) first->pop_back();
  if (error->line > 0) *first += " (line " + std::to_string(error->line) + ")";
}

}  // namespace

TtiXMLSchema::TtiXMLSchema(const std::string& schemaFile) {
  TtiXMLParseResult r = tiXMLParseFile(schemaFile);
  if (!r.Doc)
    throw Exception("The schema <%s> can not be read: %s (line %d, column %d)",
                    {schemaFile, r.Error.Reason, r.Error.Line, r.Error.Column});
  std::string failure;
  xmlSchemaParserCtxtPtr pctxt = xmlSchemaNewDocParserCtxt(r.Doc.get());
  if (!pctxt) throw Exception("Out of memory: can not read the schema <%s>", {schemaFile});
  xmlSchemaSetParserStructuredErrors(pctxt, NoteSchemaError, &failure);
  schema_ = xmlSchemaParse(pctxt);
  xmlSchemaFreeParserCtxt(pctxt);
  if (!schema_)
    throw Exception("The schema <%s> is not a valid XML schema: %s",
                    {schemaFile, failure.empty() ? std::string("unknown error") : failure});
  // The compiled schema refers to the document it was read from.
  doc_ = std::move(r.Doc);
}

TtiXMLSchema::~TtiXMLSchema() {
  if (schema_) xmlSchemaFree(schema_);
}

namespace {

// What a check against a schema notes while the text streams past: no document is built, so the element a
// violation concerns is known only by where its start tag ends in the text. libxml2 checks an element's start
// (its attributes) when the parser has read its start tag, text as it comes, and its content when the parser
// has read its end tag: a violation found then concerns the element just closed.
struct TStreamCheck {
  // Where the start tags of the open elements end (byte position), innermost last, and their names.
  std::vector<long> Open;
  struct TName {
    const xmlChar* Local;
    const xmlChar* Prefix;
    const xmlChar* URI;
  };
  std::vector<TName> Names;
  long Closed = -1;     // of the element whose end was read last
  bool AtEnd = false;   // the last thing read was an end tag
  bool Have = false;
  std::string Reason;
  int Code = 0;
  long At = -1;         // where the start tag of the element concerned ends; -1 when none
  xmlParserCtxtPtr Parser = nullptr;
  int Line = 0;         // of the parser, for a violation that concerns no element
  bool OutOfMemory = false;
  TtiXMLCensus Census;
};
thread_local TStreamCheck* tCheck = nullptr;

void CheckStart(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri, int nbNamespaces,
                const xmlChar**, int nbAttributes, int, const xmlChar** attributes) {
  auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  if (tNotes && !tNotes->HaveRoot) {
    tNotes->HaveRoot = true;
    tNotes->RootLine = ctxt->input ? ctxt->input->line : 0;
  }
  if (!tCheck) return;
  tCheck->AtEnd = false;
  TtiXMLCensus& census = tCheck->Census;
  ++census.Elements;
  census.Attributes += nbAttributes;
  census.Other += nbNamespaces;
  // Five pointers per attribute: name, prefix, namespace, start and end of the value.
  int64_t values = 0;
  for (int i = 0; i < nbAttributes; ++i) values += attributes[5 * i + 4] - attributes[5 * i + 3];
  census.AttributeBytes += values;
  census.LargestElementBytes = std::max(census.LargestElementBytes, values);
  // The parser refuses nesting deeper than 256 before this is called, and the room for that is kept: the
  // push never allocates (and so never throws into libxml2).
  if (tCheck->Open.size() < tCheck->Open.capacity()) {
    tCheck->Open.push_back(xmlByteConsumed(ctxt));
    tCheck->Names.push_back({localname, prefix, uri});
  }
}

void CheckEnd(void*, const xmlChar*, const xmlChar*, const xmlChar*) {
  if (!tCheck || tCheck->Open.empty()) return;
  tCheck->Closed = tCheck->Open.back();
  tCheck->Open.pop_back();
  tCheck->Names.pop_back();
  tCheck->AtEnd = true;
}

void CheckText(void*, const xmlChar*, int len) {
  if (!tCheck) return;
  tCheck->AtEnd = false;
  ++tCheck->Census.TextPieces;
  tCheck->Census.TextBytes += len;
}

void CheckComment(void*, const xmlChar*) {
  if (tCheck) ++tCheck->Census.Other;
}

void CheckPI(void*, const xmlChar*, const xmlChar*) {
  if (tCheck) ++tCheck->Census.Other;
}

void NoteStreamValidity(void* context, xmlErrorPtr error) {
  auto* c = static_cast<TStreamCheck*>(context);
  if (error && error->code == XML_ERR_NO_MEMORY) c->OutOfMemory = true;
  if (c->Have || !error || error->level < XML_ERR_ERROR) return;
  c->Have = true;
  c->Reason = error->message ? error->message : "unknown error";
  while (!c->Reason.empty() && (c->Reason.back() == '\n' || c->Reason.back() == ' ')) c->Reason.pop_back();
  c->Code = error->code;
  c->At = c->AtEnd ? c->Closed : c->Open.empty() ? -1 : c->Open.back();
  c->Line = c->Parser && c->Parser->input ? c->Parser->input->line : 0;
}

// The faults of the schema check that a program can say in its own words, with the names they concern. libxml2
// gives the names only in its (English) message, which starts with the place: "Element 'row': " or
// "Element 'row', attribute 'x': ".
void NameSchemaFault(TtiXMLParseError& error) {
  static const std::string kElement = "Element '";
  if (error.Reason.compare(0, kElement.size(), kElement) != 0) return;
  const size_t end = error.Reason.find('\'', kElement.size());
  if (end == std::string::npos) return;
  const std::string element = error.Reason.substr(kElement.size(), end - kElement.size());
  const std::string rest = error.Reason.substr(end + 1);
  auto startsWith = [&](const char* s) { return rest.compare(0, std::strlen(s), s) == 0; };
  if ((error.Code == XML_SCHEMAV_ELEMENT_CONTENT && startsWith(": This element is not expected.")) ||
      (error.Code == XML_SCHEMAV_CVC_ELT_1 && startsWith(": No matching global declaration"))) {
    error.Fault = TtiXMLFault::ElementNotAllowed;
    error.Element = element;
  } else if (error.Code == XML_SCHEMAV_CVC_COMPLEX_TYPE_3_2_1 && startsWith(", attribute '")) {
    const size_t from = std::strlen(", attribute '");
    const size_t to = rest.find('\'', from);
    if (to == std::string::npos) return;
    error.Fault = TtiXMLFault::AttributeNotAllowed;
    error.Element = element;
    error.Attribute = rest.substr(from, to - from);
  }
}

class TSchemaPlug {
public:
  TSchemaPlug(xmlSchemaValidCtxtPtr valid, xmlParserCtxtPtr ctxt)
      : plug_(xmlSchemaSAXPlug(valid, &ctxt->sax, &ctxt->userData)) {
    if (!plug_) throw std::bad_alloc();
  }
  ~TSchemaPlug() { xmlSchemaSAXUnplug(plug_); }
  TSchemaPlug(const TSchemaPlug&) = delete;
  TSchemaPlug& operator=(const TSchemaPlug&) = delete;

private:
  xmlSchemaSAXPlugPtr plug_;
};

// Reads the text from `source` as the safe parser does, without building a document, counts what it holds
// into `census` and checks it against the schema (when there is one) as it streams past: memory stays bounded
// by the nesting depth, whatever the text's size. The parser's refusals come first (as if the whole text had
// been read before the check); then the first violation, placed at the "<" of the start tag of the element it
// concerns. No reason when the text passes.
template <class Source>
TtiXMLParseResult StreamCheck(xmlSchemaPtr schema, Source source, TtiXMLCensus& census) {
  if (TtiXMLParseResult flood = RefuseAttributeFlood(source); !flood.Error.Reason.empty()) return flood;
  InitLibXml();
  std::unique_ptr<xmlSchemaValidCtxt, void (*)(xmlSchemaValidCtxtPtr)> valid(
      schema ? xmlSchemaNewValidCtxt(schema) : nullptr, xmlSchemaFreeValidCtxt);
  if (schema && !valid) throw std::bad_alloc();
  TStreamCheck check;
  check.Open.reserve(1024);
  check.Names.reserve(1024);
  if (valid) xmlSchemaSetValidStructuredErrors(valid.get(), NoteStreamValidity, &check);

  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.initialized = XML_SAX2_MAGIC;
  sax.internalSubset = RefuseDoctype;
  sax.startElementNs = CheckStart;
  sax.endElementNs = CheckEnd;
  sax.characters = CheckText;
  sax.cdataBlock = CheckText;
  sax.comment = CheckComment;
  sax.processingInstruction = CheckPI;
  sax.serror = NoteError;
  using TReader = decltype(source());
  TPacedReader<TReader> reader(source());

  TParseNotes notes;
  bool wellFormed = false;
  int line = 0;
  int col = 0;
  {
    const TNotesScope notesScope(notes);
    struct TCheckScope {
      explicit TCheckScope(TStreamCheck& c) { tCheck = &c; }
      ~TCheckScope() { tCheck = nullptr; }
    } checkScope(check);
    const TErrorHandlerScope handlerScope(nullptr, NoteError);
    const TParserPtr ctxt(
        xmlCreateIOParserCtxt(&sax, nullptr, PacedChunk<TReader>, nullptr, &reader, XML_CHAR_ENCODING_NONE));
    if (!ctxt) throw std::bad_alloc();
    xmlCtxtUseOptions(ctxt.get(), SafeOptions(0));
    check.Parser = ctxt.get();
    {
      std::optional<TSchemaPlug> plug;
      if (valid) plug.emplace(valid.get(), ctxt.get());
      xmlParseDocument(ctxt.get());
      // A text that ends (or is refused) inside elements leaves them open in the check, and libxml2 2.9 would
      // lose the state it keeps for them: they are closed here (what the check says then no longer counts).
      const size_t open = check.Open.size();
      for (size_t i = 0; i < open && !check.Names.empty() && ctxt->sax && ctxt->sax->endElementNs; ++i) {
        const TStreamCheck::TName n = check.Names.back();
        ctxt->sax->endElementNs(ctxt->userData, n.Local, n.Prefix, n.URI);
      }
    }
    check.Parser = nullptr;
    wellFormed = ctxt->wellFormed != 0;
    line = ctxt->input ? ctxt->input->line : 0;
    col = ctxt->input ? ctxt->input->col : 0;
  }
  if (notes.OutOfMemory || check.OutOfMemory) throw std::bad_alloc();
  census = check.Census;
  if (notes.DoctypeRefused || !wellFormed || notes.HaveError || !notes.HaveRoot)
    return ParseRefusal(notes, line, col, source);

  TtiXMLParseResult r;
  if (!valid || (!check.Have && xmlSchemaIsValid(valid.get()) == 1)) return r;
  r.Error.Reason = check.Have ? check.Reason : "the document does not match the schema";
  r.Error.Code = check.Code;
  NameSchemaFault(r.Error);
  r.Error.Line = check.Line;
  if (check.At >= 0) PlaceTagBefore(source(), check.At, r.Error.Line, r.Error.Column);
  r.Error.Context = ContextAt(source, r.Error.Line, r.Error.Column);
  return r;
}

}  // namespace

int64_t TtiXMLCensus::DocumentBytes() const {
  return 128 * Elements + 272 * Attributes + AttributeBytes + 152 * TextPieces + TextBytes;
}

TtiXMLParseResult tiXMLReadCheckedFile(const std::string& fileName, const TtiXMLSchema* schema,
                                       const TtiXMLBeforeBuild& beforeBuild, int64_t maxBytes,
                                       std::unique_ptr<TtiXMLElementTaker> taker) {
  return WithFile(fileName, maxBytes, [&](int fd, auto source) {
    TtiXMLCensus census;
    TtiXMLParseResult r = StreamCheck(schema ? schema->schema_ : nullptr, source, census);
    if (!r.Error.Reason.empty()) return r;
    struct stat st {};
    census.Bytes = ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    if (beforeBuild) beforeBuild(census);
    // The document is built only for a file that passed, from the same file.
    return Parse([&](xmlParserCtxtPtr ctxt) { return ReadFile(ctxt, source, fileName, 0); }, source, std::move(taker));
  });
}

TtiXMLParseResult TtiXMLSchema::ValidateFile(const std::string& fileName, int64_t maxBytes) const {
  return tiXMLReadCheckedFile(fileName, this, {}, maxBytes);
}

}  // namespace kelvado
