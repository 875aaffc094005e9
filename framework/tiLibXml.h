#pragma once
// The one place where the program hands whole XML documents to libxml2 and takes them back: reading a file or
// a text with the parser set up safely, the reason and place of a refusal, writing a document out (to a text
// or atomically to a file), and the checks that keep a document we write readable.
//
// Reading never trusts its input. No DTD is loaded, no entity is expanded, nothing is fetched from the network,
// and a document with a DOCTYPE is refused outright (before its internal subset is even read). libxml2's
// default limits stay on (nesting depth 256, text and names of bounded length; never XML_PARSE_HUGE). Reading
// opens the file read-only and never writes it.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tiUtils.h"

namespace kelvado {

struct TtiXMLDocFree {
  void operator()(xmlDoc* doc) const noexcept;
};
using TtiXMLDocPtr = std::unique_ptr<xmlDoc, TtiXMLDocFree>;

struct TtiXMLNodeFree {
  void operator()(xmlNode* node) const noexcept;
};
// A node that belongs to no tree yet: freed with everything it holds unless released into one.
using TtiXMLNodePtr = std::unique_ptr<xmlNode, TtiXMLNodeFree>;

// The faults of a refused text that a program can say in its own words (libxml2's reasons are English).
enum class TtiXMLFault {
  Other,
  UnexpectedEnd,    // the text ends inside the document: cut short
  TagMismatch,      // an end tag that does not close the element open there
  InvalidCharacter,  // a character XML does not allow there, or bytes that are not in the text's encoding
  NotXML,            // no markup where the document must start: the text is no XML at all
  ElementNotAllowed,   // an element the schema does not allow there (unknown, or in the wrong place)
  AttributeNotAllowed  // an attribute the schema does not allow on its element
};

// Why and where a text could not be read. Line and column count from 1 and are 0 when there is no place (a
// file that could not be opened).
struct TtiXMLParseError {
  std::string Reason;
  int Line = 0;
  int Column = 0;
  // The source line at the error, at most 80 characters, anything that is not printable text shown as "?".
  std::string Context;
  // libxml2's number of the error (xmlParserErrors); 0 for a refusal of our own.
  int Code = 0;
  TtiXMLFault Fault = TtiXMLFault::Other;
  // Of a tag mismatch: the element open there and the end tag found.
  std::string OpenTag, EndTag;
  // Of an element or attribute not allowed: the element ("{namespace}name" in a namespace) and the attribute.
  std::string Element, Attribute;
};

// Which file a text was read from, as it was then (for telling whether it is still the same).
struct TtiXMLFileStamp {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  int64_t Size = -1;
  int64_t ModifiedSec = 0, ModifiedNSec = 0;
  int64_t ChangedSec = 0, ChangedNSec = 0;
  friend bool operator==(const TtiXMLFileStamp&, const TtiXMLFileStamp&) = default;
};

// Takes over the elements of one place while a document is built, instead of having them built: a node takes
// several hundred bytes and each attribute another three hundred, many times the text of a row of the XML
// store. Taken are the elements whose local names from the root are Path() (the last one the element's own),
// under only the first element of the name before the last within its parent, that have no prefix, declare
// no namespace and hold nothing. Anything else among their siblings (text, a comment, another element) or in
// them makes the reader build the whole document after all, the taker cleared.
class TtiXMLElementTaker {
public:
  // An attribute of an element taken: local name, prefix (empty for none) and value (references resolved).
  struct TAttr {
    std::string_view Name;
    std::string_view Prefix;
    std::string_view Value;
  };
  virtual ~TtiXMLElementTaker() = default;
  virtual const std::vector<std::string>& Path() const = 0;
  // An element taken: its parent (in the document being built), the line of its start tag, its attributes.
  virtual void Take(xmlNode* parent, int line, const std::vector<TAttr>& attributes) = 0;
  virtual void Clear() = 0;
};

struct TtiXMLParseResult {
  TtiXMLDocPtr Doc;  // null when the text was refused; nothing of a refused text is kept
  // The taker given to the read (with what it took from Doc), when one was given and the text was read.
  std::unique_ptr<TtiXMLElementTaker> Taken;
  TtiXMLParseError Error;
  TtiXMLFileStamp File;  // of a file read (Size -1 for a text in memory or a file not opened)
  // Where the root element's start tag begins (for a caller that refuses the root).
  int RootLine = 0;
  int RootColumn = 0;
};

// The most attributes one element may have. libxml2 (2.9) checks every attribute of an element against all
// the ones before it: without a limit one element of 50,000 attributes, a file of 500 kB, takes 20 s to read.
// With it, the worst a file can do is about 0.1 microseconds per byte (5 MB of elements with 256 attributes
// each read in 0.5 s), some five times an ordinary store file.
constexpr int tiXMLMaxAttributes = 256;

// The most bytes one element's start tag may take as written: libxml2 reads none larger than 10,000,000 bytes
// (without XML_PARSE_HUGE, which stays off), and room is kept for what it holds of the text before the tag.
constexpr int64_t tiXMLMaxElementBytes = 9'000'000;

// The only parser options a caller may add; any other bit asked for is ignored.
constexpr int tiXMLParseOptionsAllowed = XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA;

// The largest file tiXMLParseFile reads by default. A document in memory takes about 12 to 14 times the size of
// its file (measured on project files, whose rows hold many short attributes), so this keeps a read below about
// 7 GB; a check against a schema (TtiXMLSchema) refuses a file before building its document.
constexpr int64_t tiXMLMaxFileSize = int64_t(512) << 20;

// Reads the file. A file that cannot be opened, is no regular file, is larger than `maxBytes`, has an element
// with more than tiXMLMaxAttributes attributes or is not well-formed XML gives a result without document and
// with the error. Running out of memory is no property of the text: libxml2's report of it raises
// std::bad_alloc, here and in every read below. `taker` (optional) takes over elements as described above.
TtiXMLParseResult tiXMLParseFile(const std::string& fileName, int extraOptions = 0,
                                 int64_t maxBytes = tiXMLMaxFileSize,
                                 std::unique_ptr<TtiXMLElementTaker> taker = nullptr);
// The same for a text held in memory; `url` names it in messages.
TtiXMLParseResult tiXMLParseMemory(std::string_view text, const std::string& url = {}, int extraOptions = 0);

// Writes the document as UTF-8 after the declaration <?xml version="1.0"?>, nodes as they are (no
// re-indenting). A failure of the sink passes on; a failure of libxml2 raises Exception, and so does a
// document that could not be read back once written (a namespace name holding "<" or "&"), before anything
// is written.
void tiXMLWriteDoc(xmlDoc* doc, const TtiByteSink& sink);
std::string tiXMLDocToString(xmlDoc* doc);
// Atomically (tiWriteFileAtomically): a failed save raises Exception naming the file, leaves the old file
// byte-identical and leaves no temporary file behind.
void tiXMLSaveFile(xmlDoc* doc, const std::string& fileName);
// The element and what it holds as XML text (for messages).
std::string tiXMLNodeToString(xmlNode* node);

// What a text holds, counted while it streams past before its document is built.
struct TtiXMLCensus {
  int64_t Bytes = 0;  // of the file
  int64_t Elements = 0;
  int64_t Attributes = 0;
  int64_t AttributeBytes = 0;  // of their values
  int64_t LargestElementBytes = 0;  // the values of the element whose values take the most, together
  int64_t TextPieces = 0;      // character data outside attributes, in the pieces the parser hands over
  int64_t TextBytes = 0;
  int64_t Other = 0;           // comments, processing instructions, namespace declarations
  // The memory libxml2's document of the text takes, estimated from above: an element 128 bytes, an attribute
  // with its text node 240 and its value's copy, a piece of text 128 and its copy (64-bit structures as the
  // allocator hands them out).
  int64_t DocumentBytes() const;
};
// Called once a text has streamed past and passed its checks, before its document is built; it refuses the
// text (too large for the memory there is) by raising.
using TtiXMLBeforeBuild = std::function<void(const TtiXMLCensus&)>;

class TtiXMLSchema;
// Reads the file as tiXMLParseFile does, after one pass that streams it past without building anything: the
// text is checked against `schema` (when given) and counted, and `beforeBuild` (when given) is asked before
// the document is built. A file that fails the check costs memory only for the nesting of its elements,
// whatever its size. A file that passes has no Error reason and Doc is its document (read from the same open
// file). Otherwise Error names the first problem (the parser's refusals before the schema's) with libxml2's
// reason and error number; a violation of the schema is placed at the "<" of the start tag of the element it
// concerns; Doc is null.
TtiXMLParseResult tiXMLReadCheckedFile(const std::string& fileName, const TtiXMLSchema* schema,
                                       const TtiXMLBeforeBuild& beforeBuild = {},
                                       int64_t maxBytes = tiXMLMaxFileSize,
                                       std::unique_ptr<TtiXMLElementTaker> taker = nullptr);

// An XML Schema (XSD 1.0), read and compiled once, against which files are checked. One object may check
// files on several threads at once.
class TtiXMLSchema {
public:
  // Reads the schema file with the safe parser and compiles it; a file that cannot be read or is no valid
  // schema raises Exception naming it and libxml2's reason.
  explicit TtiXMLSchema(const std::string& schemaFile);
  ~TtiXMLSchema();
  TtiXMLSchema(const TtiXMLSchema&) = delete;
  TtiXMLSchema& operator=(const TtiXMLSchema&) = delete;

  // tiXMLReadCheckedFile with this schema.
  TtiXMLParseResult ValidateFile(const std::string& fileName, int64_t maxBytes = tiXMLMaxFileSize) const;

private:
  friend TtiXMLParseResult tiXMLReadCheckedFile(const std::string&, const TtiXMLSchema*, const TtiXMLBeforeBuild&,
                                                int64_t, std::unique_ptr<TtiXMLElementTaker>);
  TtiXMLDocPtr doc_;
  xmlSchemaPtr schema_ = nullptr;
};

// Byte position of the first thing in the text that an XML 1.0 document cannot carry (invalid UTF-8, a
// control character other than TAB, LF and CR, U+FFFE, U+FFFF); std::string_view::npos when there is none.
// Writing such a text into a document would make the whole file unreadable.
size_t tiXMLInvalidCharPos(std::string_view text);
// The text around such a position as U+XXXX or as the byte in hex, for messages.
std::string tiXMLDescribeCharAt(std::string_view text, size_t pos);
// A name usable for an element or an attribute without a namespace (an XML NCName other than "xmlns").
bool tiXMLIsValidName(std::string_view name);

// Text of an attribute or node as UTF-8 (empty for null).
std::string tiXMLAttrText(const xmlAttr* attr);
inline const char* tiXMLChars(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
inline const xmlChar* tiXMLChars(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

}  // namespace kelvado
