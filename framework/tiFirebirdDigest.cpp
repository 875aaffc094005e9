#include <fcntl.h>
#include <sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <ibase.h>

#include "framework/tiFirebirdInternal.h"
#include "framework/tiUtils.h"
#include "platform/FileIO.h"

namespace kelvado {

// Digests of shipped database files (see tiFBCheckDigest).

using namespace fbi;

std::string tiFBDigestFileName(const std::string& dbFile) { return dbFile + ".sha256"; }

std::string tiFBFileDigest(const std::string& file) {
  // Non-blocking, and refused unless regular: a FIFO or a device under the name would hang or never end.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw EtiFBException(tiFormat("Cannot read \"%s\": %s", {file, ErrnoText()}), isc_io_error);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw EtiFBException(tiFormat("Cannot read \"%s\": it is no regular file", {file}), isc_io_error);
  }
  SHA2_CTX ctx;
  SHA256Init(&ctx);
  std::vector<uint8_t> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      throw EtiFBException(tiFormat("Cannot read \"%s\": %s", {file, std::strerror(err)}), isc_io_error);
    }
    SHA256Update(&ctx, buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256Final(digest, &ctx);
  static const char* const kHex = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

void tiFBRecordDigest(const std::string& dbFile) {
  const std::string base = SplitFolder(dbFile).second;
  const std::string line = tiFBFileDigest(dbFile) + "  " + base + "\n";
  try {
    tiWriteFileAtomically(tiFBDigestFileName(dbFile), [&](const TtiByteSink& write) { write(line.data(), line.size()); });
  } catch (const Exception& e) {
    throw EtiFBException(e.Message(), isc_io_error);
  }
}

void tiFBCheckDigest(const std::string& dbFile) {
  const std::string digestFile = tiFBDigestFileName(dbFile);
  // A digest line is short: a larger file, or one that is no regular file, is no digest file of ours.
  std::string recorded;
  try {
    const std::optional<std::string> text = ReadRegularFileIfExists(digestFile, 4096);
    if (text) recorded = text->substr(0, text->find_first_of(" \t\r\n"));
  } catch (const EFileAccess& e) {
    throw EtiFBException(e.what(), isc_io_error);
  }
  if (recorded.empty())
    throw EtiFBDamagedFile(tiFormat("Cannot check database \"%s\": its digest file \"%s\" is missing or empty",
                                    {dbFile, digestFile}),
                           isc_io_error, digestFile, true);
  if (tiFBFileDigest(dbFile) != recorded)
    throw EtiFBDamagedFile(tiFormat("The database file \"%s\" is damaged: its content differs from the digest "
                                    "recorded when it was built (\"%s\")",
                                    {dbFile, digestFile}),
                           isc_io_error, digestFile, false);
}

}  // namespace kelvado
