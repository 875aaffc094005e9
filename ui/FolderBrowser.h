#pragma once
// The folder-selection dialog. The engine has no windows of its own: the dialog is a replaceable callback that
// a program with a user interface installs (tests install a scripted one). Without one, the request is written
// to stderr and answered "cancel", so a batch run never blocks and never picks a folder by itself.
//
// Everything here is inline: the storage library's folder selection uses it without linking the UI library.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "framework/tiUtils.h"

namespace kelvado {

// What the dialog is asked to show.
struct TFolderDialogRequest {
  std::intptr_t OwnerHandle = 0;  // stored only: the dialog is shown without owner window
  std::string Title;              // the prompt
  std::string InitialFolder;      // selected when the dialog opens
  bool IncludeFiles = false;      // files are listed too
  bool NewDialogStyle = false;    // resizable dialog with a "new folder" button
};

// Shows the dialog. Returns the chosen path (which may be empty, e.g. for a virtual item without a path) or
// no value when the user cancelled. A dialog that fails throws; the browser passes the error on.
using TFolderDialog = std::function<std::optional<std::string>(const TFolderDialogRequest&)>;

namespace folderbrowser_detail {
inline std::mutex& DialogMutex() {
  static std::mutex m;
  return m;
}
inline TFolderDialog& CurrentDialog() {
  static TFolderDialog dialog;
  return dialog;
}
}  // namespace folderbrowser_detail

// The dialog of a program without a user interface: the request goes to stderr, the answer is "cancel".
inline std::optional<std::string> DefaultFolderDialog(const TFolderDialogRequest& request) {
  std::fprintf(stderr, "Select folder (no dialog available, cancelled): %s [%s]\n", request.Title.c_str(),
               request.InitialFolder.c_str());
  std::fflush(stderr);
  return std::nullopt;
}

// Installs `dialog` (an empty one restores the default) and returns the one it replaces.
inline TFolderDialog SetFolderDialog(TFolderDialog dialog) {
  std::lock_guard<std::mutex> lock(folderbrowser_detail::DialogMutex());
  TFolderDialog previous = std::move(folderbrowser_detail::CurrentDialog());
  folderbrowser_detail::CurrentDialog() = std::move(dialog);
  return previous;
}

// Installs a dialog for the lifetime of the object and puts the previous one back afterwards.
class ScopedFolderDialog {
public:
  explicit ScopedFolderDialog(TFolderDialog dialog) : previous_(SetFolderDialog(std::move(dialog))) {}
  ~ScopedFolderDialog() { SetFolderDialog(std::move(previous_)); }
  ScopedFolderDialog(const ScopedFolderDialog&) = delete;
  ScopedFolderDialog& operator=(const ScopedFolderDialog&) = delete;

private:
  TFolderDialog previous_;
};

// Holds the settings of one folder selection; Execute shows the dialog.
class TFolderBrowser {
public:
  // Stores the arguments; shows nothing.
  TFolderBrowser(std::intptr_t OwnerHandle, std::string Title, std::string InitialFolder, bool IncludeFiles,
                 bool NewDialogStyle) {
    request_.OwnerHandle = OwnerHandle;
    request_.Title = std::move(Title);
    request_.InitialFolder = std::move(InitialFolder);
    request_.IncludeFiles = IncludeFiles;
    request_.NewDialogStyle = NewDialogStyle;
  }
  virtual ~TFolderBrowser() = default;
  TFolderBrowser(const TFolderBrowser&) = delete;
  TFolderBrowser& operator=(const TFolderBrowser&) = delete;

  const char* ClassName() const { return "TFolderBrowser"; }

  // Shows the dialog. True when a folder was chosen: it becomes SelectedFolder. A cancel gives false; a failure
  // inside the dialog is raised to the caller (it is no cancel the user chose). Either leaves SelectedFolder as
  // it was.
  bool Execute() {
    tiCoInitialize();
    TFolderDialog dialog;
    {
      // Called outside the lock: a dialog may itself open another one or swap dialogs.
      std::lock_guard<std::mutex> lock(folderbrowser_detail::DialogMutex());
      dialog = folderbrowser_detail::CurrentDialog();
    }
    std::optional<std::string> chosen = dialog ? dialog(request_) : DefaultFolderDialog(request_);
    if (!chosen) return false;
    selectedFolder_ = std::move(*chosen);
    return true;
  }

  // The path chosen by the last successful Execute; empty before.
  const std::string& GetSelectedFolder() const { return selectedFolder_; }

  std::intptr_t GetOwnerHandle() const { return request_.OwnerHandle; }
  const std::string& GetTitle() const { return request_.Title; }
  const std::string& GetInitialFolder() const { return request_.InitialFolder; }
  bool GetIncludeFiles() const { return request_.IncludeFiles; }
  bool GetNewDialogStyle() const { return request_.NewDialogStyle; }

private:
  TFolderDialogRequest request_;
  std::string selectedFolder_;
};

}  // namespace kelvado
