#include "storage/db/VersionMgr.h"

#include <ctime>
#include <memory>

#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsTexts.h"
#include "model/GlobalsConfig.h"
#include "model/MsgStrings.h"
#include "platform/MessageBox.h"
#include "storage/db/GlobalsPer.h"

namespace kelvado {

namespace {

const char* const kCRLF = "\r\n";

// Releases and editions a file may carry without a notice.
constexpr TKelvadoVersion kFirstNoticeFreeVersion = ver1_0rc1;
constexpr TNormVersion kFirstKnownNormVersion = ver2006;
// Releases whose projects each upgrade step brings forward.
constexpr TKelvadoVersion kLastWithoutTestChannel = ver0_1_1a;
constexpr TKelvadoVersion kLastWithoutConditionIDs = ver0_4_1b;
constexpr TKelvadoVersion kCatRelevanceRuleVersion = ver1_1_0a;
constexpr TKelvadoVersion kCatRelevanceNoticeVersion = ver1_1_0;
// Libraries of these releases and editions may lack the subsystem columns added since.
constexpr TKelvadoVersion kLastLibraryToUpgrade = ver1_1_0b;
constexpr TNormVersion kFirstLibraryEditionToUpgrade = ver2006;

std::string StatusText(int index) { return GetMsgString(index, msgBaseStatus); }

template <class F>
void ForEachSubsystem(TProjectOp& project, F&& f) {
  TSFOpList& sfs = *project.GetSFOpList();
  for (int i = 0; i < sfs.GetCount(); ++i) {
    TComponentOpList& comps = *sfs.Items(i)->GetComponentOpList();
    for (int j = 0; j < comps.GetCount(); ++j) f(*comps.Items(j));
  }
}

// A test channel for a subsystem of a release that had none, paired with every channel still without one.
void AddTestChannel(TComponentOp& comp) {
  TChannelOpList& list = *comp.GetChannelOpList();
  auto test = TtiObject::CreateNew<TTestChannelOp>();
  test->SetChannel(TtiObject::CreateNew<TTestChannel>());
  for (int i = 0; i < list.GetCount(); ++i) {
    TChannelOp* ch = list.Items(i);
    if (!ch->IsTestChannelNode() && !ch->GetTestChannelOp()) ch->SetTestChannelOp(test.get());
  }
  // The list's own Add would re-pair the channels that already had a test channel.
  list.TPerObjListEx::Add(std::unique_ptr<TtiObject>(std::move(test)));
}

void DeleteConditionsWithoutID(TComponentOp& comp) {
  if (!comp.GetComponent()) return;
  TCatConditionOpList& ops = *comp.GetComponent()->GetCatConditionOps();
  for (int i = 0; i < ops.GetCount(); ++i) {
    TCatConditionOp* op = ops.Items(i);
    if (op->GetCatCondition() && op->GetCatCondition()->GetCCID().empty()) op->SetDeleted(true);
  }
}

// ---- Library files ----

// The tables whose rows carry the stamps, in the order the stamp pass writes them.
const char* const kStampedTables[] = {"LibMetaData",   "Components",      "ComponentOps", "Channels",
                                      "ChannelOps",    "Blocs",           "BlocOps",      "Elements",
                                      "ElementOps",    "DCMeasures",      "DCMeasureOps", "CCFMeasures",
                                      "CCFMeasureOps", "CatConditions",   "CatConditionOps",
                                      "PLConditions",  "PLConditionOps"};

std::string LibraryCaption() { return StatusText(376) + " (v." + VersionText(CurrentKVDVersion) + ")"; }

std::string NowText() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// Runs the statement in the database's open transaction; false when it fails (the transaction goes on: a
// failed statement leaves no trace in it).
bool TryExec(TtiDatabase& db, const std::string& sql) {
  try {
    db.ExecSQL(sql, nullptr);
    return true;
  } catch (const std::exception& e) {
    Log("Library upgrade: <" + sql + "> failed: " + e.what());
    return false;
  }
}

// Whether a SELECT of these columns can be prepared and run (the columns exist).
bool CanSelect(TtiDatabase& db, const std::string& sql) {
  std::unique_ptr<TtiQuery> q = db.CreateTIQuery();
  q->AttachDatabase(&db);
  bool ok = true;
  try {
    q->SetSQLText(sql);
    q->Open();
    q->Close();
  } catch (const std::exception&) {
    ok = false;
  }
  try {
    q->DetachDatabase();
  } catch (const std::exception& e) {
    LogError(std::string("Library upgrade: closing a probe failed: ") + e.what());
  }
  return ok;
}

// Runs `work` inside a transaction of its own on a connection of the library's pool: committed when `work`
// returns true, rolled back otherwise and on any failure (which passes on).
template <class F>
bool InLibraryTransaction(const std::string& databaseName, const std::string& layerName, F&& work) {
  TtiPersistenceLayer& layer = tiPerMgr().GetPersistenceLayers().LayerOrDefault(layerName);
  TDBConnectionLease lease = layer.GetDBConnectionPools().Lease(databaseName);
  TtiDatabase* db = lease.Item()->Database();
  if (!db) throw EtiPerInternalException("The pool of database <%s> handed out no database", {databaseName});
  db->StartTransaction();
  try {
    if (work(*db)) {
      db->Commit();
      return true;
    }
  } catch (...) {
    if (db->InTransaction()) db->RollBack();
    throw;
  }
  db->RollBack();
  return false;
}

}  // namespace

bool TVersionMgr::IsCompatibleVersion(TKelvadoVersion ProgVer, const std::string& OrigVerText,
                                      TKelvadoVersion Lowest) {
  if (ProgVer >= Lowest && ProgVer <= CurrentKVDVersion && ProgVer != verKVDUnknown) return true;
  return SameMainVersion(VersionText(CurrentKVDVersion), OrigVerText);
}

bool TVersionMgr::CheckProjectVersion(const std::string& Name, TKelvadoVersion ProgVer,
                                      const std::string& OrigVerText, TNormVersion NormVer, bool& Notice) {
  const bool compatible = IsCompatibleVersion(ProgVer, OrigVerText, ver0_1a);
  const bool normKnown = NormVer != ver13849Unknown;
  Notice = ProgVer < kFirstNoticeFreeVersion || ProgVer > CurrentKVDVersion || NormVer < kFirstKnownNormVersion ||
           NormVer > CurrentNormVersion;
  if (Notice && onProjectVersionNotice_)
    onProjectVersionNotice_(Name, compatible, normKnown, ProgVer, OrigVerText, NormVer, std::string());
  return compatible && normKnown;
}

void TVersionMgr::CollectCatRelevanceChanges(TComponent& Comp, bool Apply, TCatRelevanceChanges& Changes) {
  const std::string line = std::string("  \u00B7 SB: ") + Comp.GetName() + kCRLF;
  if (Comp.GetPLDet() == detDirect && Comp.GetCatConditionsRelevant()) {
    if (Apply) Comp.SetCatConditionsRelevant(false);
    Changes.TurnedOff += line;
  } else if (Comp.GetPLDet() == detSubItems && !Comp.GetCatConditionsRelevant()) {
    if (Apply) Comp.SetCatConditionsRelevant(true);
    Changes.TurnedOn += line;
  }
}

void TVersionMgr::UpgradeProject(TProjectOp& ProjectOp, TKelvadoVersion TargetVersion) {
  const TProject* data = ProjectOp.GetProject();
  const TKelvadoVersion stored = data ? data->GetKVDVersion() : ProjectOp.GetKVDVersion();
  const TKelvadoVersion target = TargetVersion == verKVDUnknown ? CurrentKVDVersion : TargetVersion;
  // Unknown releases are newer ones of the same major.minor (the check refuses the others): an ordinal of 0
  // would otherwise pass for the oldest release of all and be "upgraded" from it.
  if (target == stored || stored == verKVDUnknown) return;

  // The upgrade changes the structure of items that may come from a protected library; it is no user edit.
  TWriteProtectionLifted lifted;
  bool changed = false;
  if (stored <= kLastWithoutTestChannel) {
    ForEachSubsystem(ProjectOp, AddTestChannel);
    ProjectOp.SetDirty(true);
    changed = true;
  }
  if (stored <= kLastWithoutConditionIDs) {
    ForEachSubsystem(ProjectOp, DeleteConditionsWithoutID);
    ProjectOp.SetDirty(true);
    changed = true;
  }
  TCatRelevanceChanges changes;
  if (stored < kCatRelevanceRuleVersion) {
    ForEachSubsystem(ProjectOp, [&](TComponentOp& op) {
      if (op.GetComponent()) CollectCatRelevanceChanges(*op.GetComponent(), true, changes);
    });
    ForEachSubsystem(ProjectOp, [](TComponentOp& op) {
      if (!op.GetComponent()) return;
      op.GetComponent()->SetIsPLPFHBind(true);
      op.GetComponent()->SetPLDirectNoBind(plA);
    });
  }

  std::string notice;
  if (!changes.Empty()) {
    notice = FormatMsgString(msgBaseStatus + stsCatRelevanceChanged, {VersionText(kCatRelevanceNoticeVersion)}) + kCRLF;
    if (!changes.TurnedOff.empty()) notice += StatusText(stsCatCheckTurnedOff) + kCRLF + changes.TurnedOff;
    if (!changes.TurnedOn.empty()) notice += StatusText(stsCatCheckTurnedOn) + kCRLF + changes.TurnedOn;
    notice += kCRLF + FormatMsgString(msgBaseStatus + stsCheckSubsystemsIn, {VersionText(CurrentKVDVersion)}) + kCRLF +
              StatusText(stsSaveToKeepChanges);
  }
  if (!notice.empty() && onUpgradeNotice_) {
    const std::string original = data ? data->GetKVDVersionOriginalString() : std::string();
    onUpgradeNotice_(data ? data->GetFileName() : std::string(), true, true, stored,
                     original.empty() ? VersionText(stored) : original,
                     data ? data->GetNormVersion() : ProjectOp.GetNormVersion(), notice);
  }
  if (changed && onProjectUpgraded_) onProjectUpgraded_(ProjectOp);
}

bool TVersionMgr::CheckLibraryVersion(const std::string& Name, TKelvadoVersion ProgVer,
                                      const std::string& OrigVerText, TNormVersion NormVer) {
  const bool compatible = IsCompatibleVersion(ProgVer, OrigVerText, kFirstNoticeFreeVersion);
  const bool normKnown = NormVer != ver13849Unknown;
  const bool notice = ProgVer < kFirstNoticeFreeVersion || ProgVer > CurrentKVDVersion ||
                      NormVer < kFirstKnownNormVersion || NormVer > CurrentNormVersion;
  if (notice && onLibraryVersionNotice_) {
    try {
      onLibraryVersionNotice_(Name, compatible, normKnown, ProgVer, OrigVerText, NormVer, std::string());
    } catch (const std::exception& e) {
      LogError(std::string("Library version notice: ") + e.what());
    }
  }
  return compatible && normKnown;
}

std::string TVersionMgr::WriteAllVersionInfo(TtiDatabase& Database) {
  const std::string release = VersionText(CurrentKVDVersion);
  const std::string edition = NormVersionText(CurrentNormVersion);
  std::string failures;
  for (const char* table : kStampedTables) {
    const std::string t = table;
    if (!TryExec(Database, "UPDATE " + t + " SET KVDVersion = '" + release + "'" + kCRLF))
      failures += "Unable to write KELVADO version info: " + t + kCRLF;
    if (!TryExec(Database, "UPDATE " + t + " SET NormVersion = '" + edition + "'" + kCRLF))
      failures += "Unable to write norm version info: " + t + kCRLF;
    if (t == "LibMetaData" && !TryExec(Database, "UPDATE " + t + " SET DateTime = '" + NowText() + "'" + kCRLF))
      failures += "Unable to write Date info: " + t + kCRLF;
  }
  return failures;
}

bool TVersionMgr::UpgradeLibrary(const std::string& DatabaseName, const std::string& LayerName, bool IsProtected,
                                 TKelvadoVersion ProgVer, TNormVersion NormVer) {
  // An unknown release is a newer one (the check refuses the others): its ordinal 0 must not pass for the
  // oldest release of all, which would alter a file this program does not know.
  if (NormVer < kFirstLibraryEditionToUpgrade || NormVer > CurrentNormVersion || ProgVer == verKVDUnknown ||
      ProgVer > kLastLibraryToUpgrade)
    return true;

  const std::string comps = TableNameForClass<TComponent>();
  bool hasBind = false, hasFile = false;
  InLibraryTransaction(DatabaseName, LayerName, [&](TtiDatabase& db) {
    hasBind = CanSelect(db, "SELECT PLDirectNoBind, IsPLPFHBind\r\nFROM " + comps + kCRLF);
    hasFile = CanSelect(db, "SELECT CatStandardFile\r\nFROM " + comps + kCRLF);
    return false;
  });

  if (!(hasBind && hasFile)) {
    const std::string verText = VersionText(ProgVer);
    const std::string intro = FormatMsgString(msgBaseStatus + 372, {DatabaseName, verText}) + kCRLF + kCRLF +
                              StatusText(377) + kCRLF + kCRLF;
    if (IsProtected) {
      ShowMessage({LibraryCaption(), intro + StatusText(379), MsgIcon::Question, MsgButtons::Ok, MsgResult::Ok});
      if (!GetOptConvertAProtectedKVDLibraray()) return false;
      ShowMessage({LibraryCaption(), "The option to convert a protected library is set TRUE. The library will be converted",
                   MsgIcon::Question, MsgButtons::Ok, MsgResult::Ok});
    }
    const MsgResult answer =
        ShowMessage({LibraryCaption(), intro + StatusText(378) + kCRLF + StatusText(374), MsgIcon::Question,
                     MsgButtons::YesNo, MsgResult::No});
    if (answer != MsgResult::Yes) return false;

    // All or nothing: the columns and the stamps land together or not at all. A NOT NULL column added to a
    // table that holds rows needs a default, or the engine refuses it when the transaction commits.
    std::string stampFailures;
    bool upgraded = false;
    try {
      upgraded = InLibraryTransaction(DatabaseName, LayerName, [&](TtiDatabase& db) {
        if (!hasBind && !TryExec(db, "ALTER TABLE " + comps + kCRLF + "ADD PLDirectNoBind D_PL DEFAULT '" +
                                         std::string(EnumName(plA)) + "' NOT NULL," + kCRLF +
                                         "ADD IsPLPFHBind D_BOOLEAN  DEFAULT 1 NOT NULL" + kCRLF))
          return false;
        if (!hasFile && !TryExec(db, "ALTER TABLE " + comps + kCRLF +
                                         "ADD CatStandardFile D_TEXT DEFAULT '' NOT NULL" + kCRLF))
          return false;
        stampFailures = WriteAllVersionInfo(db);
        return true;
      });
    } catch (const std::exception& e) {
      LogError("Library upgrade of " + DatabaseName + " failed: " + e.what());
      upgraded = false;
    }
    if (!upgraded) {
      ShowMessage({LibraryCaption(), FormatMsgString(msgBaseStatus + 371, {DatabaseName}), MsgIcon::Error,
                   MsgButtons::Ok, MsgResult::Ok});
      return false;
    }
    if (!stampFailures.empty())
      ShowMessage({LibraryCaption(), "Unable to update tables\r\n\r\n" + stampFailures, MsgIcon::Warning,
                   MsgButtons::Ok, MsgResult::Ok});
  }

  // Which subsystems the category-condition rule of "1.1.0a" concerns: told, not changed (an item changes
  // when it is taken into a project).
  std::string notice;
  try {
    TComponentOpList list;
    tiPerMgr().Read(&list, DatabaseName, LayerName);
    TCatRelevanceChanges changes;
    for (int i = 0; i < list.GetCount(); ++i)
      if (TComponent* c = list.Items(i)->GetComponent()) CollectCatRelevanceChanges(*c, false, changes);
    if (!changes.Empty()) {
      notice = FormatMsgString(msgBaseStatus + 331, {VersionText(kCatRelevanceRuleVersion)}) + kCRLF;
      if (!changes.TurnedOff.empty()) notice += StatusText(332) + kCRLF + changes.TurnedOff;
      if (!changes.TurnedOn.empty()) notice += StatusText(333) + kCRLF + changes.TurnedOn;
    }
  } catch (const std::exception& e) {
    Log("Library upgrade: the subsystems of " + DatabaseName + " could not be listed: " + e.what());
  }
  if (!notice.empty() && onUpgradeNotice_)
    onUpgradeNotice_(DatabaseName, true, true, ProgVer, VersionText(ProgVer), NormVer, notice);
  return true;
}

}  // namespace kelvado
