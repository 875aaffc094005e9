#pragma once
// The clipboard monitor: copies, cuts and pastes project items (a project, safety function, subsystem, block,
// element, CCF-measure or DC-measure occurrence) through the clipboard (platform/Clipboard.h) in the private
// format "CF_KELVADO". The payload is the document of a store of the "CB" layer (framework/tiQueryXMLLight.h)
// holding the tables of a project file (XMLTables.h); copy and paste run the groups "Task_SaveXML" and
// "Task_ReadXML" (VisitorsXML.h) against that store. The monitor follows the clipboard's changes through a
// watcher (in place of the Windows viewer chain) and classifies what it holds.
//
// What a paste takes is refused with EIOError, and the target left untouched, unless the whole clipboard
// document was read and checked first (CheckXMLTables: nothing a project file cannot hold, no broken
// references): 1070 when the clipboard holds no items of this program (another program's data, nothing, a
// document without items), 1071 with the reason when its document cannot be read (cut short, damaged,
// hostile, too large; also a clipboard file that cannot be read), 1072 when its items do not fit the target. A copy that fails raises EIOError 1073 with
// the reason and leaves the clipboard as it was: the document reaches the clipboard only once it is complete.
//
// All of it runs on one thread (the program's GUI thread).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "framework/tiCBPort.h"
#include "platform/Clipboard.h"

namespace kelvado {

class TtiClass;
class TtiObject;
class TtiObjectList;

inline constexpr const char* cClipFormatKVD = "CF_KELVADO";

// Content kinds: the class of the items on the clipboard.
inline constexpr uint8_t ckProject = 0;
inline constexpr uint8_t ckSF = 1;
inline constexpr uint8_t ckComponent = 2;
inline constexpr uint8_t ckBloc = 4;
inline constexpr uint8_t ckElement = 5;
inline constexpr uint8_t ckCCFMeasure = 6;
inline constexpr uint8_t ckDCMeasure = 7;
inline constexpr uint8_t ckNone = 8;

// Message texts (base 1000) of the clipboard.
inline constexpr int msgClipNoItems = 1070;     // -
inline constexpr int msgClipUnreadable = 1071;  // reason
inline constexpr int msgClipWrongTarget = 1072; // what the clipboard holds, what the target takes
inline constexpr int msgClipCopyFailed = 1073;  // reason

class TClipMonitor;
using TClipMonitorEvent = std::function<void(TClipMonitor& sender)>;

class TClipMonitor {
public:
  // Registers the format, takes the file name from the setting cbfilename, registers the "CB" layer and the
  // project-file visitors with the persistence manager when missing, creates the store's file and installs
  // itself as the "CB" store's port.
  TClipMonitor();
  // Leaves the clipboard's watchers, removes the port and unloads the layer LayerName.
  ~TClipMonitor();
  TClipMonitor(const TClipMonitor&) = delete;
  TClipMonitor& operator=(const TClipMonitor&) = delete;

  const std::string& GetLayerName() const { return layerName_; }
  void SetLayerName(const std::string& name) { layerName_ = name; }
  const std::string& GetFileName() const { return fileName_; }

  // true: watches the clipboard (and looks at it at once when it changed since the monitor last looked);
  // false: stops. Reads true only while watching with an OnKVDDataChange handler set.
  bool GetClipChangeStatus() const;
  void SetClipChangeStatus(bool value);
  // Raised whenever the content kind is set and after a copy.
  const TClipMonitorEvent& GetOnKVDDataChange() const { return onKVDDataChange_; }
  void SetOnKVDDataChange(TClipMonitorEvent event) { onKVDDataChange_ = std::move(event); }

  // The payload last read from the clipboard: empty when it held no items (unless the monitor is reading its
  // own store). Writing puts the text on the clipboard (replacing what it held), unless the monitor is reading
  // its store; an empty text changes nothing.
  std::string GetKVDData() const;
  void SetKVDData(const std::string& text);
  bool GetKVDDataAvailable() const;
  bool GetIsTestData() const { return isTestData_; }
  bool GetIsPasteData() const { return isPasteData_; }
  void SetIsPasteData(bool value) { isPasteData_ = value; }
  // "CF_KELVADO" after items were read from the clipboard, "unknown" after it held none.
  const std::string& GetFormatName() const { return formatName_; }
  // Why the clipboard's items could not be read the last time; "" when they could (or there were none).
  const std::string& GetLastError() const { return lastError_; }

  // ckNone while the monitor reads its store or when no items are available.
  uint8_t ContentKind() const;
  // The node class of the items; null when none are available.
  const TtiClass* ContentClass() const;
  static const TtiClass* KindToClass(uint8_t kind);
  // The item class a paste into the target takes (null: none).
  static const TtiClass* AcceptedPasteClass(const TtiObject* target);
  // A new empty list for what a paste into the target reads (null: the target takes nothing).
  static std::unique_ptr<TtiObjectList> NewPasteList(const TtiObject* target);

  // Puts a copy of the item (deleted parts left out, new identifiers, no owner, a project without file name)
  // on the clipboard.
  void CopyToClipboard(TtiObject& item);
  // Copies, then marks the item deleted.
  void CutToClipboard(TtiObject& item);
  // Appends copies (new identifiers, the whole graph new) of the clipboard's items to the target, in clipboard
  // order; see the file comment for refusals. A target that takes nothing (an element) is left alone.
  void PasteFromClipboard(TtiObject& target);

  // Looks at the clipboard as a change notification would: when it changed since the monitor last looked,
  // reads and classifies it. What a file clipboard changed in another process is seen here (and by a paste,
  // which looks first).
  void CheckClipboard();

private:
  class TStorePort : public ItiCBStorePort {
  public:
    explicit TStorePort(TClipMonitor& monitor) : monitor_(monitor) {}
    bool ReadClipboardText(std::string& text) override;
    void WriteClipboardText(const std::string& text) override;

  private:
    TClipMonitor& monitor_;
  };

  // What a change notification does.
  void OnDrawClipboard();
  void OnClipboardChanged();
  void SetContentKind(uint8_t kind);
  uint8_t ClassifyClipboard();
  // The layer and the visitor groups the store needs, with the persistence manager in use now.
  void EnsureStore();
  void Connect();
  void Disconnect() noexcept;
  TClipboard& Board();
  void Join();
  void Leave();

  TStorePort port_{*this};
  TClipFormat format_ = 0;
  uint64_t clipboardGeneration_ = 0;
  bool viewerActive_ = false;
  int watcherId_ = 0;
  uint64_t lastSequence_ = 0;
  std::string layerName_;
  std::string fileName_;
  bool isTestData_ = false;
  bool isPasteData_ = false;
  bool copying_ = false;
  std::optional<std::string> pending_;  // the document of a copy in progress
  TClipMonitorEvent activeHandler_;
  TClipMonitorEvent onKVDDataChange_;
  std::string formatName_;
  std::string data_;
  uint8_t contentKind_ = ckNone;
  std::string lastError_;
};

// The monitor, created on first use (its layer name from the setting cbpersistencelayername). After
// ClipMonitorFinalize it raises Exception "ClipMonitor is Shutdown!".
TClipMonitor& GetClipMonitor();
bool ClipMonitorIsShutdown();
// Frees the monitor so that the next GetClipMonitor() starts clean (tests).
void ClipMonitorShutdown();
// Marks the monitor shut down and frees it: what the program does at its end.
void ClipMonitorFinalize();

}  // namespace kelvado
