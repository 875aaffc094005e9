#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>

#include <ibase.h>

#include "framework/tiFirebirdInternal.h"

// The marker a writer keeps beside a local file, and the tidying of a file whose last writer ended in the middle
// of a write (see TtiFBDatabase). A marker beside the file says a writer is attached; one found by the next writer
// says the last one died. Firebird's validation then releases the pages the dead transaction had taken. It leaves them
// while anything else is amiss: pointer pages it corrects in the same pass (the pages follow in the next), and
// an index page split the writer had not finished (a page the index's upper level does not know yet), which
// only rebuilding the index clears.

namespace kelvado {
namespace fbi {

namespace {

std::atomic<int64_t> gInterruptedWriteRepairs{0};

// Passes before a file counts as not mendable; after a kill it takes three or four, as only a pass that finds
// nothing after the sweep shows the file clean.
constexpr int kRepairPasses = 6;

struct ValidationFindings {
  int64_t errors = 0;
  int64_t warnings = 0;
  int64_t ofIndices = 0;  // errors and warnings on index pages
  bool Clean() const { return errors == 0 && warnings == 0; }
};

// One pass of Firebird's validation of every page and record, as "gfix -v -full" runs it: an exclusive
// attachment that validates the file on the way in and mends what is safe to mend (orphan pages released,
// pointer pages corrected; records are never touched), then answers how many errors and warnings it found.
ValidationFindings ValidateOnce(const std::string& fileName, const std::string& user, const std::string& password,
                                const std::string& action) {
  Status st;
  XpbGuard dpb(NewDpb(st, fileName, user, password));
  dpb->insertInt(&st, isc_dpb_verify, isc_dpb_pages | isc_dpb_records);
  FbRef<fb::IAttachment> att = OpenAttachment(st, fileName, dpb, false, action);
  static const unsigned char kErrors[] = {isc_info_page_errors,  isc_info_record_errors, isc_info_bpage_errors,
                                          isc_info_dpage_errors, isc_info_ipage_errors,  isc_info_ppage_errors,
                                          isc_info_tpage_errors, fb_info_pip_errors};
  static const unsigned char kWarnings[] = {fb_info_page_warns,  fb_info_record_warns, fb_info_bpage_warns,
                                            fb_info_dpage_warns, fb_info_ipage_warns,  fb_info_ppage_warns,
                                            fb_info_tpage_warns, fb_info_pip_warns};
  std::vector<unsigned char> items(std::begin(kErrors), std::end(kErrors));
  items.insert(items.end(), std::begin(kWarnings), std::end(kWarnings));
  items.push_back(isc_info_end);
  unsigned char answer[512] = {};
  att->getInfo(&st, static_cast<unsigned>(items.size()), items.data(), sizeof answer, answer);
  att->detach(&st);
  att.Consumed();
  ValidationFindings found;
  size_t answered = 0;
  for (const unsigned char* p = answer; p + 3 <= std::end(answer) && *p != isc_info_end;) {
    const unsigned char item = *p;
    const auto length = static_cast<size_t>(isc_portable_integer(p + 1, 2));
    if (p + 3 + length > std::end(answer)) break;
    const int64_t count = isc_portable_integer(p + 3, static_cast<short>(length));
    if (std::find(std::begin(kErrors), std::end(kErrors), item) != std::end(kErrors)) {
      found.errors += count;
      ++answered;
    } else if (std::find(std::begin(kWarnings), std::end(kWarnings), item) != std::end(kWarnings)) {
      found.warnings += count;
      ++answered;
    }
    if (item == isc_info_ipage_errors || item == fb_info_ipage_warns) found.ofIndices += count;
    p += 3 + length;
  }
  // An answer that lacks a count cannot show the file clean.
  if (answered != items.size() - 1) ++found.errors;
  return found;
}

// Rebuilds every active index of the file's own tables (ALTER INDEX ... ACTIVE on an active index builds it
// anew from the rows), in one transaction: the old index pages are released, unfinished splits included.
void RebuildIndices(const std::string& fileName, const std::string& user, const std::string& password,
                    const std::string& action) {
  static const char* const kRebuild =
      "EXECUTE BLOCK AS DECLARE name CHAR(31); BEGIN "
      "FOR SELECT RDB$INDEX_NAME FROM RDB$INDICES "
      "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 AND COALESCE(RDB$INDEX_INACTIVE, 0) = 0 INTO :name "
      "DO EXECUTE STATEMENT 'ALTER INDEX \"' || REPLACE(TRIM(name), '\"', '\"\"') || '\" ACTIVE'; END";
  Status st;
  XpbGuard dpb(NewDpb(st, fileName, user, password));
  FbRef<fb::IAttachment> att = OpenAttachment(st, fileName, dpb, false, action);
  FbRef<fb::ITransaction> tra(att->startTransaction(&st, 0, nullptr));
  att->execute(&st, tra.get(), 0, kRebuild, 3, nullptr, nullptr, nullptr, nullptr);
  tra->commit(&st);
  tra.Consumed();
  att->detach(&st);
  att.Consumed();
}

// Firebird's sweep: every record version the dead transaction left is removed now, under the repair. Left to the
// next writer that comes across them, their removal leaves pages that no structure of the file names any more.
void Sweep(const std::string& fileName, const std::string& user, const std::string& password,
           const std::string& action) {
  Status st;
  XpbGuard dpb(NewDpb(st, fileName, user, password));
  dpb->insertInt(&st, isc_dpb_sweep, isc_dpb_records);
  FbRef<fb::IAttachment> att = OpenAttachment(st, fileName, dpb, false, action);
  att->detach(&st);
  att.Consumed();
}

}  // namespace

void RepairInterruptedWrite(const std::string& fileName, const std::string& user, const std::string& password) {
  ++gInterruptedWriteRepairs;
  TidyFile(fileName, user, password);
}

void TidyFile(const std::string& fileName, const std::string& user, const std::string& password) {
  const std::string what = "database \"" + fileName + "\"";
  const std::string action = "open " + what;
  const std::string why = "its last writer ended in the middle of a write, and Firebird's validation of the file";
  ValidationFindings found;
  bool rebuilt = false;
  bool swept = false;
  for (int pass = 0; pass < kRepairPasses; ++pass) {
    try {
      found = ValidateOnce(fileName, user, password, action);
      if (found.Clean() && swept) return;
      if (found.Clean()) {
        Sweep(fileName, user, password, action);
        swept = true;
        continue;
      }
      if (found.ofIndices > 0 && !rebuilt) {
        RebuildIndices(fileName, user, password, action);
        rebuilt = true;
      }
    } catch (const fb::FbException& e) {
      throw EtiFBException(tiFormat("Cannot open %s: %s failed:\n%s", {what, why, EngineText(e)}), EngineCode(e));
    }
  }
  throw EtiFBException(tiFormat("Cannot open %s: %s finds damage that it may not mend (errors: %d, warnings: %d; "
                                "\"gfix -v -full\" lists them)",
                                {what, why, found.errors, found.warnings}),
                       isc_io_error);
}

bool CreateWriteMarker(const std::string& marker) {
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
  if (fd < 0) return false;
  static const char kText[] =
      "KELVADO is writing the database file beside this one. Left behind by a program that ended in the middle "
      "of a write, it makes the next writer check the file first.\n";
  const bool written = ::write(fd, kText, sizeof kText - 1) == static_cast<ssize_t>(sizeof kText - 1);
  ::close(fd);
  const std::string folder = SplitFolder(marker).first;
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = dir >= 0 && ::fsync(dir) == 0;
  if (dir >= 0) ::close(dir);
  if (written && synced) return true;
  ::unlink(marker.c_str());
  return false;
}

}  // namespace fbi

std::string tiFBWriteMarkerName(const std::string& dbFile) {
  // Beside the file itself, whichever name or link leads to it.
  std::string file = dbFile;
  if (char* real = ::realpath(dbFile.c_str(), nullptr)) {
    file = real;
    std::free(real);
  }
  const auto [folder, base] = fbi::SplitFolder(file);
  return folder + "." + base + ".writing";
}

int64_t tiFBInterruptedWriteRepairs() { return fbi::gInterruptedWriteRepairs.load(); }

}  // namespace kelvado
