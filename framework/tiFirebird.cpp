#include "framework/tiFirebird.h"

#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <ibase.h>

#include "framework/tiFirebirdInternal.h"
#include "framework/tiUtils.h"
#include "platform/FileIO.h"
#include "platform/StandardDescriptors.h"
#include "platform/TextCase.h"

// Attachments: database names, the attachment parameters, and the database object (connect, create, mode
// switch, drop). The other parts of the access layer are in the files tiFirebird<part>.cpp beside this one.

namespace kelvado {

bool tiFBIsServerName(const std::string& name) {
  const std::string lower = LowerAscii(name.substr(0, std::min<size_t>(name.size(), 8)));
  for (const char* protocol : {"inet://", "inet4://", "inet6://", "xnet://", "wnet://"})
    if (lower.rfind(protocol, 0) == 0) return true;
  auto isAlnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  // After the host: ":" alone, or "/" and a port number or service name, then ":".
  auto portThenColon = [&](size_t k) {
    if (k < name.size() && name[k] == ':') return true;
    if (k >= name.size() || name[k] != '/') return false;
    const size_t start = ++k;
    while (k < name.size() && (isAlnum(name[k]) || name[k] == '_' || name[k] == '-')) ++k;
    return k > start && k < name.size() && name[k] == ':';
  };
  if (!name.empty() && name[0] == '[') {  // an IPv6 address: "[::1]:/path", "[::1]/3051:/path"
    const size_t close = name.find(']');
    if (close == std::string::npos || close == 1) return false;
    for (size_t k = 1; k < close; ++k)
      if (!std::isxdigit(static_cast<unsigned char>(name[k])) && name[k] != ':' && name[k] != '.') return false;
    return portThenColon(close + 1);
  }
  if (name.empty() || !isAlnum(name[0])) return false;
  size_t end = 0;
  while (end < name.size() && (isAlnum(name[end]) || name[end] == '.' || name[end] == '-' || name[end] == '_'))
    ++end;
  // A single letter is a drive, as in "C:\Libs\x.klb" (a name written on Windows).
  if (end == 1 && end < name.size() && name[end] == ':') return false;
  return portThenColon(end);
}

namespace fbi {

std::pair<std::string, std::string> SplitFolder(const std::string& fileName) {
  const auto slash = fileName.rfind('/');
  if (slash == std::string::npos) return {std::string(), fileName};
  return {fileName.substr(0, slash + 1), fileName.substr(slash + 1)};
}

namespace {

constexpr const char* kEngineConfig = "Providers=Engine12";
// A name with a server part goes to the server only, never to the embedded engine.
constexpr const char* kServerConfig = "Providers=Remote";

// The engine turns a UTF-8 file name into the system's encoding as the calling thread's character locale names
// it; a program that never called setlocale runs in the "C" locale, in which "ü" has no encoding at all. File
// names on Linux are bytes, and ours are UTF-8 whatever the locale: the engine's calls that take a file name run
// in a UTF-8 character locale of this thread only.
class Utf8FileNames {
public:
  Utf8FileNames() {
    static const locale_t utf8 = [] {
      for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
        if (locale_t l = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0))) return l;
      return static_cast<locale_t>(0);
    }();
    if (utf8) previous_ = ::uselocale(utf8);
  }
  ~Utf8FileNames() {
    if (previous_) ::uselocale(previous_);
  }
  Utf8FileNames(const Utf8FileNames&) = delete;
  Utf8FileNames& operator=(const Utf8FileNames&) = delete;

private:
  locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace

fb::IXpbBuilder* NewDpb(Status& st, const std::string& fileName, const std::string& user,
                        const std::string& password) {
  fb::IXpbBuilder* dpb = Master()->getUtilInterface()->getXpbBuilder(&st, fb::IXpbBuilder::DPB, nullptr, 0);
  dpb->insertString(&st, isc_dpb_user_name, user.empty() ? "SYSDBA" : user.c_str());
  if (!password.empty()) dpb->insertString(&st, isc_dpb_password, password.c_str());
  dpb->insertString(&st, isc_dpb_lc_ctype, "WIN1252");
  dpb->insertString(&st, isc_dpb_config, tiFBIsServerName(fileName) ? kServerConfig : kEngineConfig);
  dpb->insertTag(&st, isc_dpb_utf8_filename);  // the file name is UTF-8, not Windows-1252 like the texts
  return dpb;
}

FbRef<fb::IAttachment> OpenAttachment(Status& st, const std::string& fileName, const XpbGuard& dpb, bool create,
                                      const std::string& action) {
  // The lock tables belong to the engine that opens the file: on a server, the server's.
  const bool local = !tiFBIsServerName(fileName);
  if (const std::string problem = local ? CheckLockFolder() : std::string(); !problem.empty())
    throw EtiFBException(tiFormat("Cannot %s: %s", {action, problem}));
  SecureStandardDescriptors();
  const FbRef<fb::IProvider> prov(Master()->getDispatcher());
  FbRef<fb::IAttachment> att;
  try {
    Utf8FileNames utf8;
    KeepSignalHandlers signalHandlers;
    att.reset(create
                  ? prov->createDatabase(&st, fileName.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st))
                  : prov->attachDatabase(&st, fileName.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st)));
  } catch (const fb::FbException& e) {
    // The engine's own text blames a character set; the user must learn that the temporary folder is the cause.
    if (const std::string cause = TempFolderCause(e); !cause.empty())
      throw EtiFBException(tiFormat("Cannot %s:\n%s\n%s", {action, EngineText(e), cause}), EngineCode(e));
    throw;
  }
  if (const std::string problem = local ? BackLockFiles() : std::string(); !problem.empty()) {
    try {
      att->detach(&st);
      att.Consumed();
    } catch (const fb::FbException&) {
      // The holder releases the attachment; the lock folder is what gets reported.
    }
    throw EtiFBException(tiFormat("Cannot %s: %s", {action, problem}));
  }
  return att;
}

namespace {

// Creating the file or switching its mode happens on the way in; the attachment is closed again at once.
void AttachOnce(Status& st, const std::string& fileName, const XpbGuard& dpb, bool create,
                const std::string& action) {
  FbRef<fb::IAttachment> att = OpenAttachment(st, fileName, dpb, create, action);
  att->detach(&st);
  att.Consumed();
}

// Makes the database `attachName` (dialect 3, texts WIN1252) for the file `fileName`. `hidden`: the empty file
// under a temporary name is ours and nobody sees it before it is published, so the engine may take it over and
// need not wait for the disk after every page (a new library's schema took seconds so on a busy disk).
void CreateNew(const std::string& attachName, const std::string& fileName, const std::string& userName,
               const std::string& password, int pageSize, bool hidden) {
  const std::string what = "database \"" + fileName + "\"";
  Status st;
  try {
    XpbGuard dpb(NewDpb(st, fileName, userName, password));
    dpb->insertInt(&st, isc_dpb_page_size, pageSize);
    dpb->insertInt(&st, isc_dpb_sql_dialect, 3);
    dpb->insertString(&st, isc_dpb_set_db_charset, "WIN1252");
    if (hidden) {
      dpb->insertInt(&st, isc_dpb_overwrite, 1);
      dpb->insertInt(&st, isc_dpb_force_write, 0);
    }
    AttachOnce(st, attachName, dpb, true, "create " + what);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot create %s:\n%s", {what, EngineText(e)}), EngineCode(e));
  }
}

}  // namespace
}  // namespace fbi

using namespace fbi;

TtiFBDatabase::TtiFBDatabase() : impl_(std::make_unique<Impl>()), userName_("SYSDBA") {}

TtiFBDatabase::TtiFBDatabase(std::string databaseName, std::string userName, std::string password)
    : impl_(std::make_unique<Impl>()),
      databaseName_(std::move(databaseName)),
      userName_(std::move(userName)),
      password_(std::move(password)) {}

TtiFBDatabase::~TtiFBDatabase() {
  try {
    Disconnect();
  } catch (...) {
    // A failing detach at destruction has nobody to report to; the engine drops the attachment with the process.
  }
  for (auto* t : impl_->transactions) {
    t->Detach();
    t->orphaned_ = true;
  }
  for (auto* s : impl_->statements) {
    s->ReleaseHandles();
    s->orphaned_ = true;
  }
}

void TtiFBDatabase::SetDatabaseName(std::string v) {
  if (Connected()) throw EtiFBException(tiFormat("Cannot rename %s while it is connected", {Describe()}));
  databaseName_ = std::move(v);
}

std::string TtiFBDatabase::Describe() const { return "database \"" + databaseName_ + "\""; }

bool TtiFBDatabase::Connected() const { return static_cast<bool>(impl_->att); }

void TtiFBDatabase::SetReadOnlyAccess(bool v) {
  if (Connected())
    throw EtiFBException(tiFormat("Cannot change the access to %s while it is connected", {Describe()}));
  readOnlyAccess_ = v;
}

bool tiFBIsReadOnlyFile(const std::string& databaseName) {
  if (databaseName.empty() || tiFBIsServerName(databaseName)) return false;
  struct stat sb {};
  if (::stat(databaseName.c_str(), &sb) != 0) return false;
  // The owner's write bit is the owner's "keep this", for root as well (as for every file the program writes).
  return (sb.st_mode & S_IWUSR) == 0 || ::faccessat(AT_FDCWD, databaseName.c_str(), W_OK, AT_EACCESS) != 0;
}

namespace {

// A private copy of a database file, in read-only mode: what an attachment reads of a file it may not write.
// Raises EtiFBException naming the file; leaves no copy behind then.
std::string ReadOnlyCopy(const std::string& fileName, const std::string& userName, const std::string& password,
                         const std::string& what) {
  const std::string folder = CanonicalTempFolder();
  std::string copy = folder + "/kelvado-readonly-XXXXXX";
  const int out = ::mkstemp(copy.data());
  if (out < 0)
    throw EtiFBException(
        tiFormat("Cannot open %s: its copy for reading cannot be made in \"%s\": %s", {what, folder, ErrnoText()}));
  TtiUndoUnlessDone remove([&copy]() noexcept { ::unlink(copy.c_str()); });
  std::string failure;
  const int in = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  struct stat sb {};
  if (in < 0 || ::fstat(in, &sb) != 0) failure = ErrnoText();
  else if (!S_ISREG(sb.st_mode)) failure = "it is no regular file";
  std::vector<char> buffer(failure.empty() ? 1 << 20 : 0);
  for (off_t left = sb.st_size; failure.empty() && left > 0;) {
    const ssize_t n = ::read(in, buffer.data(), static_cast<size_t>(std::min<off_t>(left, 1 << 20)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n == 0 ? std::string("the file became shorter while it was copied") : ErrnoText();
      break;
    }
    for (ssize_t done = 0; failure.empty() && done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w > 0) done += w;
      else if (w < 0 && errno != EINTR) failure = ErrnoText();
    }
    left -= n;
  }
  if (in >= 0) ::close(in);
  if (::close(out) != 0 && failure.empty()) failure = ErrnoText();
  if (!failure.empty())
    throw EtiFBException(
        tiFormat("Cannot open %s: its copy for reading in \"%s\" cannot be made: %s", {what, folder, failure}));
  TtiFBDatabase::SetReadOnlyMode(copy, true, userName, password);
  remove.Done();
  return copy;
}

// An attachment for reading to a file that may not be written (see the class comment).
FbRef<fb::IAttachment> AttachReadOnlyFile(const std::string& fileName, const std::string& userName,
                                          const std::string& password, const std::string& what,
                                          const std::string& action) {
  // The engine opens a file it may not write (it goes by the permission bits, for root too) only when the file
  // is in read-only mode, as the general database is; then it writes nothing into it.
  struct stat sb {};
  const bool engineReadsOnly = ::stat(fileName.c_str(), &sb) == 0 &&
                               ((sb.st_mode & 0222) == 0 || ::access(fileName.c_str(), W_OK) != 0);
  if (engineReadsOnly) {
    Status st;
    try {
      XpbGuard dpb(NewDpb(st, fileName, userName, password));
      return OpenAttachment(st, fileName, dpb, false, action);
    } catch (const fb::FbException& e) {
      if (EngineCode(e) != isc_no_priv) throw;
    }
  }
  // Any other file would be refused, or written by merely attaching to it (its header and transaction
  // counters): its content is read from a copy of it in read-only mode. The copy's name goes as soon as the
  // engine has it open, so no copy is ever left behind.
  const std::string copy = ReadOnlyCopy(fileName, userName, password, what);
  TtiUndoUnlessDone remove([&copy]() noexcept { ::unlink(copy.c_str()); });
  Status st;
  XpbGuard dpb(NewDpb(st, copy, userName, password));
  return OpenAttachment(st, copy, dpb, false, action);
}

}  // namespace

void TtiFBDatabase::Connect() {
  if (Connected()) Disconnect();
  if (databaseName_.empty()) throw EtiFBException("Cannot open a database: no file name given");
  const std::string action = "open " + Describe();
  const bool readOnlyFile = tiFBIsReadOnlyFile(databaseName_);
  // The lock is for local files only: a server opens its file alone and serializes its clients itself, and the
  // file is not on this machine (see the class comment).
  if (!tiFBIsServerName(databaseName_)) {
    if (!PathExists(databaseName_))
      throw EtiFBException(tiFormat("Cannot open %s: the file does not exist", {Describe()}), isc_io_error);
    impl_->lease.Acquire(databaseName_, !readOnlyAccess_ && !readOnlyFile, action,
                         [this] {
                           RepairInterruptedWrite(databaseName_, userName_, password_);
                           impl_->tidyAtClose = true;
                         });
  }
  // The file stays locked only while it is attached.
  TtiUndoUnlessDone unlock([this]() noexcept { impl_->lease.Release(); });
  try {
    if (readOnlyFile) {
      impl_->att = AttachReadOnlyFile(databaseName_, userName_, password_, Describe(), action);
    } else {
      Status st;
      XpbGuard dpb(NewDpb(st, databaseName_, userName_, password_));
      // A writer's page cache holds the indices of a large library (random identifiers touch any page of them);
      // the engine's default of 256 pages made each insert evict and write pages again.
      if (!readOnlyAccess_) dpb->insertInt(&st, isc_dpb_num_buffers, 8192);
      impl_->att = OpenAttachment(st, databaseName_, dpb, false, action);
    }
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot open %s:\n%s", {Describe(), EngineText(e)}), EngineCode(e));
  }
  unlock.Done();
}

void TtiFBDatabase::Disconnect() {
  if (!impl_->att) return;
  for (auto* s : impl_->statements) s->ReleaseHandles();
  for (auto* t : impl_->transactions)
    if (t->Active()) {
      try {
        t->RollBack();
      } catch (const Exception&) {
        t->Detach();
      }
    }
  Status st;
  try {
    impl_->att->detach(&st);
    impl_->att.Consumed();
  } catch (const fb::FbException& e) {
    impl_->att.reset();
    impl_->lease.Release(false);
    throw EtiFBException(tiFormat("Cannot close %s:\n%s", {Describe(), EngineText(e)}), EngineCode(e));
  }
  // See Impl::tidyAtClose: the file is tidied now, while the lock still keeps every other program out. Where
  // another attachment of the process holds the file, or tidying fails, the marker stays for the next writer to
  // tidy it (and to report what it cannot mend).
  bool clean = true;
  if (std::exchange(impl_->tidyAtClose, false)) {
    clean = false;
    if (impl_->lease.SoleWriter()) {
      try {
        TidyFile(databaseName_, userName_, password_);
        clean = true;
      } catch (const Exception&) {
      }
    }
  }
  impl_->lease.Release(clean);
}

std::string TtiFBDatabase::CreateDatabaseBeside(const std::string& fileName, const std::string& userName,
                                               const std::string& password, int pageSize) {
  const std::string what = "database \"" + fileName + "\"";
  if (fileName.empty()) throw EtiFBException("Cannot create a database: no file name given");
  if (tiFBIsServerName(fileName))
    throw EtiFBException(tiFormat("Cannot create %s beside its name: it is a file of a server", {what}));
  if (PathExists(fileName, false)) throw EtiFBException(tiFormat("Cannot create %s: the file exists already", {what}));
  // The engine leaves what it wrote when creating fails (a full disk): the file is made under a name of its own,
  // which the caller gives it when it is complete.
  std::string temporary;
  try {
    temporary = CreateTempFileBeside(fileName);
  } catch (const EFileAccess& e) {
    throw EtiFBException(tiFormat("Cannot create %s: %s", {what, e.Cause()}));
  }
  TtiUndoUnlessDone removeTemporary([&temporary]() noexcept { ::unlink(temporary.c_str()); });
  CreateNew(temporary, fileName, userName, password, pageSize, true);
  removeTemporary.Done();
  return temporary;
}

void TtiFBDatabase::PublishDatabase(const std::string& temporary, const std::string& fileName,
                                    const std::string& userName, const std::string& password) {
  const std::string what = "database \"" + fileName + "\"";
  Status st;
  try {
    // From now on every write waits for the disk again, as in every database the engine makes.
    XpbGuard dpb(NewDpb(st, temporary, userName, password));
    dpb->insertInt(&st, isc_dpb_force_write, 1);
    AttachOnce(st, temporary, dpb, false, "create " + what);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot create %s:\n%s", {what, EngineText(e)}), EngineCode(e));
  }
  // What the engine wrote without waiting reaches the disk before the file has its name.
  const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  const std::string syncError = synced ? std::string() : ErrnoText();
  if (fd >= 0) ::close(fd);
  if (!synced) throw EtiFBException(tiFormat("Cannot create %s: %s", {what, syncError}));
  try {
    PublishNewFile(temporary, fileName);
  } catch (const EFileAccess& e) {
    const std::string why = PathExists(fileName, false) ? std::string("the file exists already") : e.Cause();
    throw EtiFBException(tiFormat("Cannot create %s: %s", {what, why}));
  }
}

void TtiFBDatabase::CreateDatabase(const std::string& fileName, const std::string& userName,
                                   const std::string& password, int pageSize) {
  if (fileName.empty()) throw EtiFBException("Cannot create a database: no file name given");
  if (!tiFBIsServerName(fileName)) {
    const std::string temporary = CreateDatabaseBeside(fileName, userName, password, pageSize);
    TtiUndoUnlessDone removeTemporary([&temporary]() noexcept { ::unlink(temporary.c_str()); });
    PublishDatabase(temporary, fileName, userName, password);
    removeTemporary.Done();
    return;
  }
  // A server makes its file itself and refuses one that exists.
  CreateNew(fileName, fileName, userName, password, pageSize, false);
}

void TtiFBDatabase::SetReadOnlyMode(const std::string& fileName, bool readOnly, const std::string& userName,
                                    const std::string& password) {
  const std::string what = "database \"" + fileName + "\"";
  const std::string action = "change the mode of " + what;
  FileLease lease;
  if (!tiFBIsServerName(fileName)) {  // as in Connect: a local file only is ours to lock
    if (!PathExists(fileName))
      throw EtiFBException(tiFormat("Cannot change the mode of %s: the file does not exist", {what}), isc_io_error);
    lease.Acquire(fileName, true, action);
  }
  Status st;
  try {
    XpbGuard dpb(NewDpb(st, fileName, userName, password));
    dpb->insertInt(&st, isc_dpb_set_db_readonly, readOnly ? 1 : 0);
    AttachOnce(st, fileName, dpb, false, action);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot change the mode of %s:\n%s", {what, EngineText(e)}), EngineCode(e));
  }
}

void TtiFBDatabase::DropDatabase() {
  if (!Connected()) throw EtiFBException(tiFormat("Cannot drop %s: it is not connected", {Describe()}));
  for (auto* s : impl_->statements) s->ReleaseHandles();
  for (auto* t : impl_->transactions)
    if (t->Active()) t->RollBack();
  Status st;
  try {
    impl_->att->dropDatabase(&st);
    impl_->att.Consumed();
    impl_->lease.Release();
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot drop %s:\n%s", {Describe(), EngineText(e)}), EngineCode(e));
  }
}

void TtiFBDatabase::ExecuteImmediate(TtiFBTransaction& tr, const std::string& sql) {
  if (!Connected()) throw EtiFBException(tiFormat("Cannot run a statement on %s: it is not connected", {Describe()}));
  if (&tr.Database() != this || !tr.Active())
    throw EtiFBException(tiFormat("Cannot run a statement on %s: the transaction is not active", {Describe()}));
  std::string text;
  try {
    text = tiUtf8ToWin1252(sql);
  } catch (const EConvertError& e) {
    throw EConvertError(tiFormat("Statement for %s: %s", {Describe(), e.Message()}));
  }
  tr.impl_->wrote = true;
  Status st;
  try {
    impl_->att->execute(&st, tr.impl_->tra.get(), 0,
                        text.c_str(), SQLDialect(), nullptr, nullptr, nullptr, nullptr);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Statement failed on %s:\n%s\nSQL: %s", {Describe(), EngineText(e), Shorten(sql)}),
                         EngineCode(e));
  }
}

}  // namespace kelvado
