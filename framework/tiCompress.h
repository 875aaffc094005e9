#pragma once
// Compressors chosen by name: an abstract compressor, the factory that maps names to compressor classes and
// the one compressor of the framework, over zlib, registered as "ZLib compression". The XML-light documents
// can be compressed as a whole with a compressor named in their store's parameters; "No compression" means
// none.
//
// Decompressing never trusts its input: the output grows as far as the data needs (a text that compresses far
// better than 2:1 is as welcome as any other), but never beyond tiDecompressMaxSize, so that a small hostile
// input (a "zip bomb") cannot exhaust memory. Damaged or truncated data is refused with an error, never
// handed on in part.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tiBaseObject.h"

namespace kelvado {

inline constexpr const char* cgsCompressNone = "No compression";
inline constexpr const char* cgsCompressZLib = "ZLib compression";

// The most bytes a decompression produces (512 MiB, the size of the largest store file the framework reads);
// more raises Exception "Can not decompress: the data would take more than %s bytes" (with the number).
inline constexpr size_t tiDecompressMaxSize = size_t(512) << 20;

class TtiCompressAbs : public TtiBaseObject {
public:
  TI_CLASS(TtiCompressAbs)
  TtiCompressAbs() = default;

  // An empty source gives an empty target. Otherwise the whole source is read from position 0, the buffer
  // operation runs, the target is emptied and receives the result, and both streams are set back to position 0.
  virtual void CompressStream(std::stringstream& source, std::stringstream& target);
  virtual void DecompressStream(std::stringstream& source, std::stringstream& target);
  // The whole buffer; returns the output size as a percentage of the input size (0 for an empty input).
  virtual double CompressBuffer(std::string_view buffer, std::string& out) = 0;
  // The whole buffer; damaged, truncated or too large data raises Exception (see above).
  virtual void DecompressBuffer(std::string_view buffer, std::string& out) = 0;
  // The same over texts; an empty text gives an empty text.
  virtual void CompressString(const std::string& text, std::string& out);
  virtual void DecompressString(const std::string& text, std::string& out);
  // The source file read whole, the target created or replaced atomically (tiWriteFileAtomically). A file
  // that cannot be read raises Exception naming it.
  virtual void CompressFile(const std::string& sourceName, const std::string& targetName);
  virtual void DecompressFile(const std::string& sourceName, const std::string& targetName);
};

// zlib's stream format (header and checksum), at zlib's default level.
class TtiCompressZLib : public TtiCompressAbs {
public:
  TI_CLASS(TtiCompressZLib)
  TtiCompressZLib() = default;
  double CompressBuffer(std::string_view buffer, std::string& out) override;
  void DecompressBuffer(std::string_view buffer, std::string& out) override;
  // The most bytes a decompression may produce; tiDecompressMaxSize unless lowered.
  size_t GetDecompressLimit() const { return limit_; }
  void SetDecompressLimit(size_t v) { limit_ = std::min(v, tiDecompressMaxSize); }

private:
  size_t limit_ = tiDecompressMaxSize;
};

// Maps names to compressor classes. Created on first use with "ZLib compression" registered.
class TtiCompressFactory : public TtiBaseObject {
public:
  TI_CLASS(TtiCompressFactory)
  TtiCompressFactory();

  // Appends a mapping (a second registration of a name adds another entry; look-ups find the first) and makes
  // the upper-cased name the default. `cls` must descend from TtiCompressAbs (EtiPerProgrammerException).
  void RegisterClass(const std::string& name, const TtiClass& cls);
  // A new compressor of the first mapping whose name equals `name` ignoring case; null when none.
  std::unique_ptr<TtiCompressAbs> CreateInstance(const std::string& name) const;
  // The upper-cased name registered last.
  std::string DefaultName() const;

private:
  struct Mapping {
    std::string Name;
    const TtiClass* Class;
  };
  mutable std::mutex lock_;
  std::vector<Mapping> mappings_;
  std::string defaultName_;
};

TtiCompressFactory& tiCompressFactory();
// The framework's default compressor class: TtiCompressZLib.
const TtiClass& tiDefaultCompressClass();

// The text through the compressor of that name ("No compression" and an empty name: unchanged). A name no
// compressor is registered under raises Exception "Unknown compression <%s>".
std::string tiCompressString(const std::string& text, const std::string& compressName);
std::string tiDecompressString(const std::string& text, const std::string& compressName);

}  // namespace kelvado
