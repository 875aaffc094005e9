#include "storage/db/VersionMgr.h"

#include <memory>

#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"

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

// The upgrade changes the structure of items that may come from a protected library; it is no user edit, so
// the write protection is lifted while it runs and restored afterwards, whatever happens.
class TProtectionLifted {
public:
  TProtectionLifted() : saved_(WriteProtectionMode) { WriteProtectionMode = 2; }
  ~TProtectionLifted() { WriteProtectionMode = saved_; }
  TProtectionLifted(const TProtectionLifted&) = delete;
  TProtectionLifted& operator=(const TProtectionLifted&) = delete;

private:
  uint8_t saved_;
};

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

  TProtectionLifted lifted;
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

}  // namespace kelvado
