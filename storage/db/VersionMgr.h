#pragma once
// Version checks and upgrades. Project and library files carry the program release (KVDVersion) and the
// edition of the standard (NormVersion) they were written with. TVersionMgr decides whether a file of another
// version may be opened, tells the user through events when it lies outside the known range, brings older
// projects up to the current structure (in memory; the caller saves later) and older library files up to the
// current schema (in the file).
#include <functional>
#include <string>

#include "model/Enums.h"

namespace kelvado {

class TComponent;
class TProjectOp;
class TtiDatabase;

// Name: the project's name, the project file name or the library's database name (as each caller states);
// NormKnown: the edition is not ver13849Unknown; ProgVer, OrigVerText, NormVer: what the file says; Notice: a
// text for the user (empty for the check events).
using TVersionNoticeEvent =
    std::function<void(const std::string& Name, bool Compatible, bool NormKnown, TKelvadoVersion ProgVer,
                       const std::string& OrigVerText, TNormVersion NormVer, const std::string& Notice)>;
using TProjectUpgradedEvent = std::function<void(TProjectOp& ProjectOp)>;

class TVersionMgr {
public:
  // All events cleared.
  TVersionMgr() = default;
  TVersionMgr(const TVersionMgr&) = delete;
  TVersionMgr& operator=(const TVersionMgr&) = delete;

  // Raised by CheckProjectVersion.
  const TVersionNoticeEvent& GetOnProjectVersionNotice() const { return onProjectVersionNotice_; }
  void SetOnProjectVersionNotice(TVersionNoticeEvent e) { onProjectVersionNotice_ = std::move(e); }
  // Raised by CheckLibraryVersion.
  const TVersionNoticeEvent& GetOnLibraryVersionNotice() const { return onLibraryVersionNotice_; }
  void SetOnLibraryVersionNotice(TVersionNoticeEvent e) { onLibraryVersionNotice_ = std::move(e); }
  // Raised by UpgradeProject and UpgradeLibrary with a text for the user.
  const TVersionNoticeEvent& GetOnUpgradeNotice() const { return onUpgradeNotice_; }
  void SetOnUpgradeNotice(TVersionNoticeEvent e) { onUpgradeNotice_ = std::move(e); }
  // Raised by UpgradeProject with the upgraded project node when it changed the tree.
  const TProjectUpgradedEvent& GetOnProjectUpgraded() const { return onProjectUpgraded_; }
  void SetOnProjectUpgraded(TProjectUpgradedEvent e) { onProjectUpgraded_ = std::move(e); }

  // May a project of this release and edition be opened? Compatible: a known release, or one of the same
  // major.minor as the running program ("1.1.3" under "1.1.2"). Notice: the release lies outside "1.0rc1" to
  // the current one or the edition is not one of the two the program knows; the notice event is raised then.
  // True when compatible and the edition is known.
  bool CheckProjectVersion(const std::string& Name, TKelvadoVersion ProgVer, const std::string& OrigVerText,
                           TNormVersion NormVer, bool& Notice);

  // May a library of this release and edition be opened? As for projects, but a release older than "1.0rc1"
  // is compatible only by its major.minor release. The notice event is raised under the same condition as for
  // projects; an exception of its handler is swallowed. Name: the library's database name.
  bool CheckLibraryVersion(const std::string& Name, TKelvadoVersion ProgVer, const std::string& OrigVerText,
                           TNormVersion NormVer);

  // Brings a library file of release "1.1.0b" or older (and a known edition) up to the current schema: adds
  // the subsystem columns it lacks (after asking the user; a protected library only when the option
  // convertaprotectedkvdlibraray is on) and restamps every row, all in one transaction, so that a failure
  // leaves the file as it was. Then tells, through the upgrade notice, which subsystems the category-condition
  // rule of "1.1.0a" concerns. False when the library cannot or may not be upgraded and must not be used. A
  // file of an unknown release (a newer one of the same major.minor) is never altered.
  bool UpgradeLibrary(const std::string& DatabaseName, const std::string& LayerName, bool IsProtected,
                      TKelvadoVersion ProgVer, TNormVersion NormVer);

  // The stamp pass of an upgrade, on a database in a transaction the caller owns: every item table's rows get
  // the running program's release and edition, the header record the current date as well. Each statement runs
  // on its own; the failure texts are returned joined, in table order (empty when all succeeded).
  static std::string WriteAllVersionInfo(TtiDatabase& Database);

  // Brings the project read from a file of an older release up to TargetVersion (verKVDUnknown: the current
  // release), in memory. A project whose release is not known (a newer file found compatible by its
  // major.minor release) is left as it is: there is nothing known to upgrade from.
  void UpgradeProject(TProjectOp& ProjectOp, TKelvadoVersion TargetVersion = verKVDUnknown);

  // Steps 1 and 2 of the checks: ProgVer lies in Lowest .. the current release, or OrigVerText names a
  // release of the running program's major.minor. Projects pass ver0_1a, libraries ver1_0rc1.
  static bool IsCompatibleVersion(TKelvadoVersion ProgVer, const std::string& OrigVerText, TKelvadoVersion Lowest);

  // The change of the category-condition rule of release "1.1.0": a subsystem whose PL is entered directly
  // no longer checks the category conditions, one whose PL is computed does. Adds a line naming the
  // subsystem to TurnedOff or TurnedOn when its flag is to change, and changes it when Apply is set.
  struct TCatRelevanceChanges {
    std::string TurnedOff;
    std::string TurnedOn;
    bool Empty() const { return TurnedOff.empty() && TurnedOn.empty(); }
  };
  static void CollectCatRelevanceChanges(TComponent& Comp, bool Apply, TCatRelevanceChanges& Changes);

private:
  TVersionNoticeEvent onProjectVersionNotice_;
  TVersionNoticeEvent onLibraryVersionNotice_;
  TVersionNoticeEvent onUpgradeNotice_;
  TProjectUpgradedEvent onProjectUpgraded_;
};

}  // namespace kelvado
