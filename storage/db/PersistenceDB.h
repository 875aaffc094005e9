#pragma once
// The general database: the standard's tables (PFH grids, PL bands, category rules, DC and MTTFd bands, the
// risk graph, constants, safety-function types) in a read-only Firebird file. The object reads them (about 200
// rows) into memory once when it connects and answers every look-up from there: an evaluation asks hundreds of
// thousands of questions, and a query per distinct value would cost far more than the arithmetic. The same
// object creates new, empty library files.
//
// Values are compared with the tables as the standard states them: a computed MTTFd (years) or DC/DCavg
// (fraction) is rounded to 9 decimal places before it meets a band bound or a grid value, so arithmetic noise
// (0.99 - 1 ulp, 29.999999999999993 years) never moves it across one; a PFH is taken to the nearest multiple
// of 1e-14 before it meets a PL band.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/PersistenceDBAbs.h"

namespace kelvado {

class TtiFBDatabase;
class TtiFBTransaction;
class TtiFBStatement;

// Linear interpolation between (XLow, YLow) and (XHigh, YHigh); YLow when XLow = XHigh.
double InterpolateLinear(double X, double XLow, double XHigh, double YLow, double YHigh);
// The same on the logarithms of all five values; YLow when XLow = XHigh. All values must be positive.
double InterpolateLogLog(double X, double XLow, double XHigh, double YLow, double YHigh);

// One row of the table of typical values (GEPMTTFd): a kind of part, where the standard calls it well tried,
// the standards it follows, and its typical MTTFd (years) or B10d (cycles); empty where the table gives none.
struct TTypicalMTTFd {
  std::string PartName;
  std::string WellTriedRef;
  std::string Standards;
  std::optional<double> TypicalMTTFd;
  std::optional<double> TypicalB10d;
};

// The general-database object on the Firebird file. Connect reads the tables in read-only transactions. A
// table that could not be read is read again when a look-up needs it; while it fails, the look-up returns its
// default, which is never better than an answer of the tables could be (no band, no PFH, the worst PL, the
// strictest requirement), and the failure is reported once per table through the message sink (see
// LastError). Asking while not connected raises EtiFBException naming the file.
//
// Thread-safe: the tables read are never changed once published (a table read again later comes in a new
// copy), so look-ups of any number of threads take no lock; connecting, reading a failed table again and the
// lists handed out hold the object's lock. The condition lists and the safety-function types it hands out stay
// alive and are filled once.
class TPersistenceDB_FB : public TPersistenceDB {
public:
  TI_CLASS(TPersistenceDB_FB)
  // File, user and password from the configuration (section database: databasenamegen, usernamegen,
  // passwordgen). Protocol, character set and dialect are fixed by the access layer (embedded engine,
  // Windows-1252 text, dialect 3). Does not connect.
  TPersistenceDB_FB();
  // On the given file, with the configured user and password.
  explicit TPersistenceDB_FB(std::string databaseName);
  ~TPersistenceDB_FB() override;

  bool IsConnected() const override;
  void EmptyLibraryTables() override;
  // Checks the file against the digest the build recorded beside it (a damaged file would answer wrong values
  // without any error), opens it for reading (other programs may read it too) and checks that it is a general
  // database holding the tables of the edition in force; a missing or damaged file, another kind of file or a
  // file without that edition raises EtiFBException naming it. A database on a server ("host:/path") has no
  // digest check: only the server reads that file.
  void Connect() override;
  // Raises EtiFBException naming the file when the file exists already or cannot be made complete; a failed
  // creation leaves no file behind.
  void CreateNewDatabase(const std::string& FileName) override;
  void Disconnect() override;

  TCatConditionList* GetCatConditions(TCat Cat) override;
  TPLConditionList* GetPLConditions(TPL PL) override;
  void GetCatRequirements(TCat Cat, TMTTFdDenotationSet& MTTFd, TDCDenotationSet& DCavg,
                          bool& CCFRelevant) override;
  int32_t GetChannelCount(TCat Cat) override;
  TDCDenotation GetDCDenotation(double DC) override;
  double GetMinServiceLife() override;
  TMTTFdDenotation GetMTTFdDenotation(double MTTFd) override;
  double GetPFH(TDCDenotation DC, TCat Cat, double MTTFd) override;
  double GetPFHInterpolated(TCat Cat, double MTTFd, double DCavg) override;
  double GetPLMeanPFH(TPL PL) override;
  TPL GetPLFromPFH(double PFH) override;
  TPL GetPLrFromRiskParams(uint8_t S, uint8_t F, uint8_t P) override;
  double GetReqCCFScore() override;
  const std::vector<std::string>& GetSFTypes() override;
  std::string GetOpenLibFileName() override;
  // The typical values of the edition in force, read once; null when the table could not be read.
  const std::vector<TTypicalMTTFd>* GetTypicalMTTFds();

  const std::string& DatabaseName() const { return databaseName_; }
  // Statements sent to the database since construction (each query opened or statement executed counts one;
  // connecting reads every table, one query each).
  int64_t QueryCount() const { return queryCount_; }
  // Message of the last database error of a look-up; empty when none.
  std::string LastError() const;

  // The library mapper tells which library file it has open (GetOpenLibFileName); unset, the answer is empty.
  void SetOpenLibFileNameSource(std::function<std::string()> source);


private:
  // The tables read into memory (defined in the source).
  struct TTables;
  enum TTable : int;

  class TReadScope;
  TtiFBStatement& Query(const std::string& sql);
  // Opens the query and hands each row (or only the first) to `read`; false when the database failed, which
  // is reported once per `table` (the table the look-up reads, named in the message) unless quiet.
  bool Run(TtiFBStatement& q, const char* table, const std::function<void(TtiFBStatement&)>& read, bool allRows,
           bool quiet = false);
  // First column of the first row as a number; nullopt for no row; false when the database failed.
  bool FirstDouble(TtiFBStatement& q, const char* table, std::optional<double>& value);
  bool FirstText(TtiFBStatement& q, const char* table, std::optional<std::string>& value);
  // Reads one table into `into`; false (and the table left empty) when that failed.
  bool LoadTable(TTables& into, TTable table, bool quiet);
  // The tables with `table` read: the published ones, or, when that table had failed, a copy with it read
  // again (published when that worked). Raises EtiFBException when not connected.
  const TTables& Tables(TTable table);
  const TTables& Tables(std::initializer_list<TTable> tables);
  [[noreturn]] void ThrowNotConnected() const;
  void Publish(std::unique_ptr<TTables> tables);

  // The bands of the values asked last, per thread, by the tables they came from: an evaluation asks for the
  // bands of the same few values over and over (the parts of one library item are alike), and a remembered
  // answer costs less than rounding the value and walking the rows.
  struct TBandMemo {
    static constexpr int cBits = 6;
    struct TEntry {
      uint64_t Tables = 0;  // TTables::Id; 0 for none
      uint64_t Bits = 0;    // the value asked, bit for bit
      int Band = 0;
    };
    TEntry Slots[1 << cBits];
    TEntry& Slot(uint64_t bits);
  };
  static thread_local TBandMemo tDCMemo, tMTTFdMemo;
  // The band remembered for `value` from the tables in force, if any.
  bool MemoHit(TBandMemo& memo, TTable table, double value, int& band) const;
  template <class Compute>
  auto MemoBand(TBandMemo& memo, TTable table, double value, Compute compute) -> decltype(compute());

  mutable std::recursive_mutex mutex_;
  std::string databaseName_;
  std::string normVersion_;
  std::unique_ptr<TtiFBDatabase> db_;
  std::unique_ptr<TtiFBTransaction> tr_;
  std::unique_ptr<TtiFBStatement> q_;
  std::atomic<int64_t> queryCount_{0};
  std::string lastError_;
  std::set<std::string> reportedTables_;  // failures already shown
  std::function<std::string()> openLibFileName_;

  // The tables in force (null while not connected), and every copy ever published: a reader of another
  // thread may still hold an older one, so they go with the object.
  std::atomic<const TTables*> tables_{nullptr};
  std::vector<std::unique_ptr<const TTables>> published_;

  std::array<std::unique_ptr<TCatConditionList>, 5> catConditions_;
  std::array<bool, 5> catConditionsLoaded_{};
  std::array<std::unique_ptr<TPLConditionList>, 6> plConditions_;
  std::array<bool, 6> plConditionsLoaded_{};
  std::vector<std::string> sfTypes_;
  bool sfTypesLoaded_ = false;
  std::optional<std::vector<TTypicalMTTFd>> typicalMTTFds_;
};

// Makes PersistenceDB() create a TPersistenceDB_FB on its first call. The program start calls it before anything
// asks the standard's tables (the model cannot name this class itself).
void RegisterPersistenceDB();

}  // namespace kelvado
