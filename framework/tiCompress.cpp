#include "framework/tiCompress.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "framework/tiExcept.h"
#include "framework/tiUtils.h"
#include "platform/TextCase.h"

namespace kelvado {

const TtiClass& TtiCompressAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiCompressAbs, TtiBaseObject>(), "TtiCompressAbs");
  return c;
}
const TtiClass& TtiCompressZLib::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiCompressZLib, TtiCompressAbs>(), "TtiCompressZLib");
  return c;
}
const TtiClass& TtiCompressFactory::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiCompressFactory, TtiBaseObject>(), "TtiCompressFactory");
  return c;
}

// ---------------------------------------------------------------------------------------------------------
// Streams, texts and files, through the buffer operations

namespace {

std::string WholeStream(std::stringstream& s) {
  std::string all = tiStreamToString(s);
  s.clear();
  s.seekg(0);
  return all;
}

void ReplaceStream(std::stringstream& target, const std::string& content) { tiStringToStream(content, target); }

}  // namespace

void TtiCompressAbs::CompressStream(std::stringstream& source, std::stringstream& target) {
  const std::string in = WholeStream(source);
  std::string out;
  if (!in.empty()) CompressBuffer(in, out);
  ReplaceStream(target, out);
}

void TtiCompressAbs::DecompressStream(std::stringstream& source, std::stringstream& target) {
  const std::string in = WholeStream(source);
  std::string out;
  if (!in.empty()) DecompressBuffer(in, out);
  ReplaceStream(target, out);
}

void TtiCompressAbs::CompressString(const std::string& text, std::string& out) {
  out.clear();
  if (!text.empty()) CompressBuffer(text, out);
}

void TtiCompressAbs::DecompressString(const std::string& text, std::string& out) {
  out.clear();
  if (!text.empty()) DecompressBuffer(text, out);
}

void TtiCompressAbs::CompressFile(const std::string& sourceName, const std::string& targetName) {
  std::string out;
  CompressString(tiFileToString(sourceName), out);
  tiStringToFile(out, targetName);
}

void TtiCompressAbs::DecompressFile(const std::string& sourceName, const std::string& targetName) {
  std::string out;
  DecompressString(tiFileToString(sourceName), out);
  tiStringToFile(out, targetName);
}

// ---------------------------------------------------------------------------------------------------------
// zlib

namespace {

// zlib counts in 32-bit units; larger inputs go through in slices.
constexpr size_t kZSlice = size_t(1) << 30;

Bytef* ZIn(std::string_view s) {
  // zlib's input pointer is not const in its declaration, though zlib never writes through it.
  return reinterpret_cast<Bytef*>(const_cast<char*>(s.data()));
}

[[noreturn]] void ZFail(const char* what, const z_stream& z, int code) {
  const std::string reason = z.msg ? z.msg : std::to_string(code);
  throw Exception("Can not %s: %s", {what, reason});
}

}  // namespace

double TtiCompressZLib::CompressBuffer(std::string_view buffer, std::string& out) {
  out.clear();
  z_stream z{};
  if (deflateInit_(&z, Z_DEFAULT_COMPRESSION, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK)
    ZFail("compress", z, Z_STREAM_ERROR);
  // Sized once for the worst case, as zlib's whole-buffer routine does.
  out.resize(static_cast<size_t>(deflateBound(&z, static_cast<uLong>(buffer.size()))) + 64);
  size_t inDone = 0;
  int rc = Z_OK;
  do {
    const size_t inNow = std::min(buffer.size() - inDone, kZSlice);
    z.next_in = ZIn(buffer.substr(inDone, inNow));
    z.avail_in = static_cast<uInt>(inNow);
    inDone += inNow;
    const int flush = inDone == buffer.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      if (z.total_out == out.size()) out.resize(out.size() * 2);
      const size_t room = std::min(out.size() - static_cast<size_t>(z.total_out), kZSlice);
      z.next_out = reinterpret_cast<Bytef*>(out.data()) + z.total_out;
      z.avail_out = static_cast<uInt>(room);
      rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) {
        deflateEnd(&z);
        ZFail("compress", z, rc);
      }
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  } while (inDone < buffer.size());
  out.resize(static_cast<size_t>(z.total_out));
  deflateEnd(&z);
  return buffer.empty() ? 0.0 : static_cast<double>(out.size()) / static_cast<double>(buffer.size()) * 100.0;
}

void TtiCompressZLib::DecompressBuffer(std::string_view buffer, std::string& out) {
  out.clear();
  z_stream z{};
  if (inflateInit_(&z, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK)
    ZFail("decompress", z, Z_STREAM_ERROR);
  // Start at twice the input, as the whole-buffer routine guessed, and grow as far as the data needs: text
  // often shrinks to a tenth or less.
  size_t size = std::min(std::max<size_t>(buffer.size() * 2, 4096), limit_);
  out.resize(size);
  size_t inDone = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0 && inDone < buffer.size()) {
      const size_t inNow = std::min(buffer.size() - inDone, kZSlice);
      z.next_in = ZIn(buffer.substr(inDone, inNow));
      z.avail_in = static_cast<uInt>(inNow);
      inDone += inNow;
    }
    if (static_cast<size_t>(z.total_out) == size) {
      if (size >= limit_) {
        inflateEnd(&z);
        throw Exception("Can not decompress: the data would take more than %s bytes", {std::to_string(limit_)});
      }
      size = std::min(size * 2, limit_);
      out.resize(size);
    }
    const size_t room = std::min(size - static_cast<size_t>(z.total_out), kZSlice);
    z.next_out = reinterpret_cast<Bytef*>(out.data()) + z.total_out;
    z.avail_out = static_cast<uInt>(room);
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) {
      const std::string reason = z.msg ? z.msg : std::to_string(rc);
      inflateEnd(&z);
      throw Exception("Can not decompress: the data is damaged (%s)", {reason});
    }
    // No progress possible: the input has ended before the stream did.
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && inDone == buffer.size()) {
      inflateEnd(&z);
      throw Exception("Can not decompress: the data ends before the compressed stream does");
    }
  }
  out.resize(static_cast<size_t>(z.total_out));
  inflateEnd(&z);
}

// ---------------------------------------------------------------------------------------------------------
// Factory

TtiCompressFactory::TtiCompressFactory() { RegisterClass(cgsCompressZLib, TtiCompressZLib::StaticClass()); }

void TtiCompressFactory::RegisterClass(const std::string& name, const TtiClass& cls) {
  if (!cls.InheritsFrom(TtiCompressAbs::StaticClass()) || cls.IsAbstract())
    throw EtiPerProgrammerException("<%s> is no compressor class", {cls.Name()});
  std::lock_guard<std::mutex> g(lock_);
  mappings_.push_back({name, &cls});
  defaultName_ = name;
  for (char& c : defaultName_)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
}

std::unique_ptr<TtiCompressAbs> TtiCompressFactory::CreateInstance(const std::string& name) const {
  std::lock_guard<std::mutex> g(lock_);
  for (const Mapping& m : mappings_)
    if (SameTextAscii(m.Name, name)) return m.Class->CreateAs<TtiCompressAbs>();
  return nullptr;
}

std::string TtiCompressFactory::DefaultName() const {
  std::lock_guard<std::mutex> g(lock_);
  return defaultName_;
}

TtiCompressFactory& tiCompressFactory() {
  static TtiCompressFactory factory;
  return factory;
}

const TtiClass& tiDefaultCompressClass() { return TtiCompressZLib::StaticClass(); }

namespace {

std::unique_ptr<TtiCompressAbs> Compressor(const std::string& name) {
  std::unique_ptr<TtiCompressAbs> c = tiCompressFactory().CreateInstance(name);
  if (!c) throw Exception("Unknown compression <%s>", {name});
  return c;
}

bool NoCompression(const std::string& name) { return name.empty() || SameTextAscii(name, cgsCompressNone); }

}  // namespace

std::string tiCompressString(const std::string& text, const std::string& compressName) {
  if (NoCompression(compressName)) return text;
  std::string out;
  Compressor(compressName)->CompressString(text, out);
  return out;
}

std::string tiDecompressString(const std::string& text, const std::string& compressName) {
  if (NoCompression(compressName)) return text;
  std::string out;
  Compressor(compressName)->DecompressString(text, out);
  return out;
}

}  // namespace kelvado
