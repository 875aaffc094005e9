#pragma once
// Shared by the sources of the Firebird access layer (framework/tiFirebird*.cpp) and by nothing else: engine
// handles and status objects, error texts, attachments, the per-file lock and write marker, and the insides of
// the classes of tiFirebird.h.
#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <firebird/Interface.h>

#include "framework/tiFirebird.h"

namespace kelvado {

namespace fb = Firebird;

namespace fbi {

constexpr unsigned kCharSetWin1252 = 53;
constexpr unsigned kCharSetOctets = 1;

// ---- the client library (tiFirebirdEnvironment.cpp) ----

// The engine's master interface, the process's environment prepared first (tiFBInitEnvironment).
fb::IMaster* Master();
// Empty when the lock folder has room for the engine's lock tables, else why not.
std::string CheckLockFolder();
// Empty when every lock file now has its blocks, else why not.
std::string BackLockFiles();

// Around a call into the engine that may set its own handlers of SIGINT and SIGTERM (the first attachment
// does): the engine's handlers only ask the attachments to shut down, so the program would go on and could be
// ended by SIGKILL alone. What the program had before is put back; the default ends it as a kill does. The two
// signals are held back on the calling thread meanwhile: one that comes during the call would otherwise reach
// the engine's handler and fail the attachment ("connection shutdown"); held, it acts once the program's own
// handling is back.
class KeepSignalHandlers {
public:
  KeepSignalHandlers();
  ~KeepSignalHandlers();
  KeepSignalHandlers(const KeepSignalHandlers&) = delete;
  KeepSignalHandlers& operator=(const KeepSignalHandlers&) = delete;

private:
  struct sigaction saved_[2];
  sigset_t savedMask_;
};

// When the engine runs from the configuration root this process made below the temporary folder and could not
// load a module from there (its character sets), the sentence that says so; else empty.
std::string TempFolderCause(const fb::FbException& e);
// The temporary folder (TMPDIR, else /tmp) in its canonical form: the engine refuses its character-set module on
// a path that leads through a symbolic link or holds "//", "." or "..", and every database would then be
// unopenable. One that does not exist raises EtiFBException naming it.
std::string CanonicalTempFolder();

// Owns one reference to an engine interface and releases it when it goes. A call that frees the interface
// itself when it succeeds (detach, close, commit, rollback, dropDatabase) is followed by Consumed(); when such a
// call fails, the holder still releases the reference. Move-only.
template <class T>
class FbRef {
public:
  FbRef() = default;
  explicit FbRef(T* p) noexcept : p_(p) {}
  FbRef(FbRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  FbRef& operator=(FbRef&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  FbRef(const FbRef&) = delete;
  FbRef& operator=(const FbRef&) = delete;
  ~FbRef() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(T* p = nullptr) noexcept {
    if (p_) p_->release();
    p_ = p;
  }
  // The interface freed itself: forget it without releasing.
  void Consumed() noexcept { p_ = nullptr; }

private:
  T* p_ = nullptr;
};

// One status object per call, disposed at scope end.
struct Status {
  fb::ThrowStatusWrapper w;
  Status() : w(Master()->getStatus()) {}
  ~Status() { w.dispose(); }
  fb::ThrowStatusWrapper* operator&() { return &w; }
};

class XpbGuard {
public:
  explicit XpbGuard(fb::IXpbBuilder* b) : b_(b) {}
  ~XpbGuard() {
    if (b_) b_->dispose();
  }
  XpbGuard(const XpbGuard&) = delete;
  XpbGuard& operator=(const XpbGuard&) = delete;
  fb::IXpbBuilder* operator->() const { return b_; }
  fb::IXpbBuilder* get() const { return b_; }

private:
  fb::IXpbBuilder* b_;
};

// ---- error texts (tiFirebirdErrors.cpp) ----

std::string ErrnoText();  // of the current errno
std::string EngineText(const fb::FbException& e);
long EngineCode(const fb::FbException& e);  // the engine's first error number, 0 when none
// One line of at most `max` characters (and "..."), for statements quoted in messages.
std::string Shorten(const std::string& s, size_t max = 300);

// ---- files and attachments (tiFirebird.cpp) ----

// The folder part of a file name (with its "/", empty for a name without folder) and the name in it.
std::pair<std::string, std::string> SplitFolder(const std::string& fileName);
// Attachment parameters shared by connect, create, validation and mode switches.
fb::IXpbBuilder* NewDpb(Status& st, const std::string& fileName, const std::string& user,
                        const std::string& password);
// Attaches to the file (create: makes it) through the engine's dispatcher, which is released either way; a
// local file's lock folder must have room. `action` ("open database "x"") starts this layer's own refusals.
FbRef<fb::IAttachment> OpenAttachment(Status& st, const std::string& fileName, const XpbGuard& dpb, bool create,
                                      const std::string& action);

// ---- after a writer that ended in the middle of a write (tiFirebirdWriteMarker.cpp) ----

// Makes the marker, durably (its folder synced), before the writer touches the file. False when the folder
// does not allow it (read-only, full): the file is written without the marker then.
bool CreateWriteMarker(const std::string& marker);
// Validates the file until a pass after Firebird's sweep finds it clean, rebuilding the indices once when a pass
// finds them amiss. Raises EtiFBException naming the file when the engine cannot do it or the file stays
// unclean; all of it mends only what is safe to mend, so the file is never left worse.
void TidyFile(const std::string& fileName, const std::string& user, const std::string& password);
// TidyFile on a file whose last writer ended in the middle of a write (counted: tiFBInterruptedWriteRepairs).
void RepairInterruptedWrite(const std::string& fileName, const std::string& user, const std::string& password);

// ---- one writer per file, across processes (tiFirebirdLock.cpp) ----

// Held by an attachment of this layer to a local file: an advisory lock on the file that the attachments of the
// process share, exclusive for its writers.
class FileLease {
public:
  FileLease() = default;
  FileLease(const FileLease&) = delete;
  FileLease& operator=(const FileLease&) = delete;
  ~FileLease() { Release(); }

  // Exclusive when `write` and the file may be written, else shared. `action` starts the messages. With
  // `repair`, the process's first writer keeps the write marker, and calls `repair` first when it finds one
  // left over while no other attachment of the process holds the file (under the locks' mutex: no attachment
  // of another thread comes in meanwhile).
  void Acquire(const std::string& fileName, bool write, const std::string& action,
               const std::function<void()>& repair = nullptr);
  // `clean`: the attachment detached as it should (else a marker stays for the next writer to check the file).
  void Release(bool clean = true) noexcept;
  // Held for writing by the process's only attachment to the file: no other attachment, of this program or
  // another, has the file.
  bool SoleWriter() const;

private:
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool exclusive_ = false;
  bool held_ = false;
};

}  // namespace fbi

struct TtiFBTransaction::Impl {
  fbi::FbRef<fb::ITransaction> tra;
  bool wrote = false;  // a statement that may change the file ran in it
};

struct TtiFBDatabase::Impl {
  fbi::FbRef<fb::IAttachment> att;
  fbi::FileLease lease;
  std::vector<TtiFBTransaction*> transactions;
  std::vector<TtiFBStatement*> statements;
  // The file is tidied again when the attachment closes, as after an interrupted write: a transaction that may
  // have changed it was rolled back (a full disk leaves a page the engine took and never linked), or it was
  // tidied when it was opened (the first writes after a repair that rebuilt indices leave pages no structure of
  // the file names any more).
  bool tidyAtClose = false;
};

}  // namespace kelvado
